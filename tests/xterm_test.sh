#!/bin/sh
# Runs quillpass inside a real xterm under Xvfb, and inside tmux and GNU
# screen inside xterm. xterm's printer is a command that saves each print job in its own
# file, so we can see what the terminal put on paper; "print screen"
# (ESC [ i) shows what stayed on screen.
# Usage: xterm_test.sh QUILLPASS
set -u
unset TMUX STY # as if outside any multiplexer, whatever runs the tests
qp=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")

if [ "${2:-}" != inside ]; then
    . "$(dirname "$0")/needs.sh"
    needs "xterm xvfb xauth tmux screen x11-utils" xterm Xvfb xvfb-run xauth tmux screen xprop
    exec timeout 300 xvfb-run -a -s '-screen 0 1024x768x24' sh "$0" "$qp" inside
fi

work=$(mktemp -d) && [ -d "$work" ] || exit 1 # never write into the source tree
[ -n "${KEEP:-}" ] || trap 'rm -rf "$work"' EXIT; echo "work: $work"
cd "$work" || exit 1
printf 'A\tone\n' > a; printf 'B two\n' > b; printf 'C\n' > c
# Print jobs are numbered in the order they begin; with printerAutoClose
# they can overlap, so a number is taken under a lock.
cat > printer <<'PRINTER'
#!/bin/sh
dir=$(dirname "$0")
until mkdir "$dir/lock" 2>/dev/null; do sleep 0.01; done
n=$(ls "$dir" | grep -c '^paper\.')
file=$dir/paper.$(printf %04d $((n + 1)))
: > "$file"
rmdir "$dir/lock"
cat > "$file"
PRINTER
chmod +x printer
printf 'set -g allow-passthrough on\n' > tmux-on.conf
printf 'set -g allow-passthrough off\n' > tmux-off.conf
printf 'startup_message off\n' > screenrc
awk 'BEGIN { for (i = 0; i < 4000; i++) printf "line %05d: the quick brown fox jumps over the lazy dog\n", i }' > long
failures=0
xterm_options=

# Runs one shell command in a fresh xterm whose printer writes into job.$1;
# $3, if given, is the printerAutoClose setting (true by default).
job() {
    mkdir "job.$1"; cp printer "job.$1/"
    timeout 60 xterm $xterm_options -xrm "XTerm*printerCommand: $work/job.$1/printer" \
        -xrm "XTerm*printerAutoClose: ${3:-true}" -xrm 'XTerm*printAttributes: 0' \
        -e sh -c "stty -opost; $2; sleep 0.5"
    sleep 0.5 # the printer command may still be writing
}
# Runs a shell command in a tmux session (config $2) inside job $1's xterm.
tmux_job() {
    job "$1" "tmux -S '$work/tmux.$1' -f '$work/$2' new-session \"sleep 0.5; $3; sleep 0.5\"" "${4:-true}"
}
# Runs a shell command in a GNU screen session inside job $1's xterm.
screen_job() {
    job "$1" "screen -S quillpass-test.$1 -c '$work/screenrc' sh -c \"sleep 0.5; $2; sleep 0.5\"" "${3:-true}"
}
# The contents of the N-th print job of job $1.
paper() { cat "job.$1/paper.$(printf %04d "$2")" 2>/dev/null; }
check() {
    if [ "$2" = ok ]; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi
}
has() { case $1 in *"$2"*) echo ok ;; *) echo no ;; esac; }
lacks() { case $1 in *"$2"*) echo no ;; *) echo ok ;; esac; }
same() { # name expected-file got-file
    if cmp -s "$2" "$3"; then check "$1" ok; else check "$1 (got: $(od -c "$3" | head -5))" no; fi
}

job list "'$qp' -f -n a b c"
printf 'A\tone\n\fB two\n\fC\n\f' > expected
paper list 1 > got
same "file list with -n printed exactly" expected got

# -r: the line discipline translates nothing during the job, whatever the
# settings were, and they are back afterwards.
job raw "stty opost onlcr; '$qp' -r -f -n a b c; stty -a > '$work/settings'"
paper raw 1 > got
same "-r with output processing on: printed exactly" expected got
check "-r: output processing back on after the job" "$(lacks "$(cat settings)" -opost)"

job missing "'$qp' -f a missing b; sleep 1; printf '\\033[i'"
printed=$(paper missing 1); screen=$(paper missing 2)
check "missing file: the other files printed" "$(has "$printed" "B two")"
check "missing file: diagnostic not on paper" "$(lacks "$printed" quillpass)"
check "missing file: diagnostic on screen" "$(has "$screen" "quillpass: missing: No such file or directory")"

# The job runs in the foreground; a helper in the background feeds it and
# kills it.
job killed "mkfifo f; ( exec 3>f; printf 'before\\n' >&3; sleep 1; kill -TERM \$(cat pid); sleep 1 ) &
    sh -c 'echo \$\$ > pid; exec \"\$0\" < f' '$qp'; echo \"status \$?\"; echo after-kill; printf '\\033[i'"
printed=$(paper killed 1); screen=$(paper killed 2)
check "killed job: data before the kill printed" "$(has "$printed" before)"
check "killed job: shell output not on paper" "$(lacks "$printed" after-kill)"
check "killed job: shell output on screen" "$(has "$screen" after-kill)"
check "killed job: died of SIGTERM" "$(has "$screen" "status 143")"

# A file that holds a stop sequence, and after it what would drive the
# terminal: a title, red text, a request for the terminal's attributes. The
# printer gets every byte and the screen none of them. With printerAutoClose
# off the frames go to one printer run, in order, and "print screen" after.
printf 'HEAD\033[4i\033]2;PWNED\007\033[31mRED-TEXT\033[0m\033[cTAIL\n' > probe
job probe "'$qp' -f probe; sleep 0.5; printf '\\033[i'" false
size=$(wc -c < probe)
head -c "$size" job.probe/paper.0001 > got 2>/dev/null
same "stop sequence in the data: every byte printed" probe got
check "stop sequence in the data: nothing of it on screen" "$(lacks "$(tail -c +$((size + 1)) job.probe/paper.0001)" RED-TEXT)"

# In a UTF-8 locale xterm reads a five-byte form by its low 8 bits (this one
# as ESC) and never shows its printer a combining mark: each of these would
# end printing, set the title and put the tail on the screen.
printf 'HEAD\370\200\200\200\233[4i\033]2;PWNED\007TAIL-ONE\n\033[4\314\201i\033]2;PWNED\007TAIL-TWO\n' > hostile
xterm_options=-u8
job hostile "LC_ALL=C.UTF-8 '$qp' -f hostile; xprop -id \$WINDOWID WM_NAME > '$work/title'; sleep 0.5; printf '\\033[i'"
xterm_options=
runs=$(ls job.hostile | grep -c '^paper')
check "UTF-8 forms that end printing: the title unchanged" "$(case $(cat title) in *WM_NAME*PWNED* | '') echo no ;; *WM_NAME*) echo ok ;; esac)"
check "UTF-8 forms that end printing: the tail printed" "$(has "$(ls job.hostile/paper.* | sed '$d' | xargs cat)" TAIL-TWO)"
check "UTF-8 forms that end printing: nothing of it on screen" "$(lacks "$(paper hostile "$runs")" TAIL)"

# Inside tmux, -p reaches the printer of the terminal outside it, byte for
# byte: the job is one frame in one tmux string, so one printer run.
tmux_job tmux tmux-on.conf "'$qp' -p -r -f -n a b c"
check "inside tmux with -p: one printer run" "$([ "$(ls job.tmux | grep -c '^paper')" = 1 ] && echo ok)"
same "inside tmux with -p: file list printed exactly" expected job.tmux/paper.0001

# Inside screen, -P screen prints a 224 KB job in one printer run, byte for
# byte (screen alone would make hundreds of frames of 767 bytes each).
screen_job screen "'$qp' -r -P screen -f long"
check "inside screen with -P screen: one printer run" "$([ "$(ls job.screen | grep -c '^paper')" = 1 ] && echo ok)"
same "inside screen with -P screen: printed exactly" long job.screen/paper.0001

# Without allow-passthrough tmux discards it all; neither tmux nor xterm is
# left in printer mode.
tmux_job no-passthrough tmux-off.conf "'$qp' -p -f a b c; echo pane-ok; tmux capture-pane -p > '$work/pane'"
check "tmux without passthrough: nothing printed" "$(lacks "$(cat job.no-passthrough/paper.* 2>/dev/null)" "B two")"
check "tmux without passthrough: the pane still shows text" "$(has "$(cat pane 2>/dev/null)" pane-ok)"
job after-tmux "tmux -S '$work/tmux.after' -f '$work/tmux-off.conf' new-session \"sleep 0.5; '$qp' -p -f a b c; sleep 0.5\";
    echo xterm-ok; sleep 0.5; printf '\\033[i'"
check "tmux without passthrough: xterm still shows text" "$(has "$(paper after-tmux 1)" xterm-ok)"

[ "$failures" -eq 0 ]

#!/usr/bin/env bash
# Runs quillpass inside a real xterm under Xvfb. xterm's printer is a
# command that saves each print job in its own file, so we can see what the
# terminal put on paper; "print screen" (ESC [ i) shows what stayed on screen.
# Usage: xterm_test.sh QUILLPASS
set -u
qp=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")

if [ "${2:-}" != inside ]; then
    . "$(dirname "$0")/needs.sh"
    needs "xterm xvfb xauth" xterm Xvfb xvfb-run xauth
    exec timeout 300 xvfb-run -a -s '-screen 0 1024x768x24' bash "$0" "$qp" inside
fi

work=$(mktemp -d) && [ -d "$work" ] || exit 1 # never write into the source tree
[ -n "${KEEP:-}" ] || trap 'rm -rf "$work"' EXIT; echo "work: $work"
cd "$work" || exit 1
printf 'A\tone\n' > a; printf 'B two\n' > b; printf 'C\n' > c
cat > printer <<'PRINTER'
#!/bin/sh
cat > "$(dirname "$0")/paper.$(date +%s%N)" # named by when the job began
PRINTER
chmod +x printer
failures=0

# Runs one shell command in a fresh xterm whose printer writes into job.$1.
job() {
    mkdir "job.$1"; cp printer "job.$1/"
    timeout 60 xterm -xrm "XTerm*printerCommand: $work/job.$1/printer" \
        -xrm 'XTerm*printerAutoClose: true' -xrm 'XTerm*printAttributes: 0' \
        -e sh -c "stty -opost; $2; sleep 0.5"
    sleep 0.5 # the printer command may still be writing
}
# The contents of the N-th print job of job $1.
paper() { cat "$(ls job."$1"/paper.* 2>/dev/null | sed -n "${2}p")" 2>/dev/null; }
check() {
    if [ "$2" = ok ]; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi
}
has() { case $1 in *"$2"*) echo ok ;; *) echo no ;; esac; }
lacks() { case $1 in *"$2"*) echo no ;; *) echo ok ;; esac; }

job list "'$qp' -f -n a b c"
printf 'A\tone\n\fB two\n\fC\n\f' > expected
paper list 1 > got
cmp -s expected got && check "file list with -n printed exactly" ok || check "file list with -n printed exactly (got: $(od -c got))" no

job missing "'$qp' -f a missing b; sleep 1; printf '\\033[i'"
printed=$(paper missing 1); screen=$(paper missing 2)
check "missing file: the other files printed" "$(has "$printed" "B two")"
check "missing file: diagnostic not on paper" "$(lacks "$printed" quillpass)"
check "missing file: diagnostic on screen" "$(has "$screen" "quillpass: missing: No such file or directory")"

job killed "mkfifo f; '$qp' < f & pid=\$!; exec 3>f; printf 'before\\n' >&3; sleep 1;
    kill -TERM \$pid; wait \$pid; echo \"status \$?\"; echo after-kill; exec 3>&-; printf '\\033[i'"
printed=$(paper killed 1); screen=$(paper killed 2)
check "killed job: data before the kill printed" "$(has "$printed" before)"
check "killed job: shell output not on paper" "$(lacks "$printed" after-kill)"
check "killed job: shell output on screen" "$(has "$screen" after-kill)"
check "killed job: died of SIGTERM" "$(has "$screen" "status 143")"

[ "$failures" -eq 0 ]

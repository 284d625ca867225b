#!/bin/sh
# The bash completion offers options only where the program scans them,
# the multiplexer names after -P and files elsewhere; the zsh one parses.
# Usage: completion_test.sh COMPLETIONS_DIR
set -u
dir=$(cd "$1" && pwd)
. "$(dirname "$0")/needs.sh"
needs "bash zsh" bash zsh
zsh -n "$dir/_quillpass" || exit 1
work=$(mktemp -d) && [ -d "$work" ] || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
: > report.pcl; : > ./-x
options="-n -t -S -p -P -r -b -f --help --version"
failures=0
# The words typed so far, the last one being completed, and the offers.
expect() {
    got=$(bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _quillpass; printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' \
        _ "$dir/quillpass.bash" "$@" 2>&1)
    # shellcheck disable=SC2086 # one word per offer
    want=$(printf '%s\n' $want | sort | tr '\n' ' ')
    if [ "$got" = "$want" ]; then
        echo "ok: $*"
    else
        printf 'FAIL: %s\n  want: %s\n  got:  %s\n' "$*" "$want" "$got"
        failures=$((failures + 1))
    fi
}
want="$options" expect quillpass -
want="$options" expect quillpass -n -b 9 -
want="--help --version" expect quillpass --
want="-x" expect quillpass -f a -
want="-x" expect quillpass -- -
want="-x" expect quillpass - -
want="report.pcl" expect quillpass -f r
want="" expect quillpass -b ""
want="" expect quillpass -nb ""
want="screen tmux" expect quillpass -P ""
want="tmux,screen" expect quillpass -fP tmux,s
want="-x" expect quillpass -P screen -f a -
[ "$failures" -eq 0 ]

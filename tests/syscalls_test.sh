#!/bin/sh
# Checks the read and write calls the program makes, as strace sees them:
# one read and one write per chunk, one write per sequence, separator and
# form-feed. Usage: syscalls_test.sh QUILLPASS
set -u
qp=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
. "$(dirname "$0")/needs.sh"
if [ "$(uname -s)" != Linux ]; then
    echo "syscalls_test.sh: Linux only: it reads strace's output format (skipped on $(uname -s))"
    exit 77
fi
needs strace strace
work=$(mktemp -d) && [ -d "$work" ] || exit 1 # never write into the source tree
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
# Random bytes, but none that could end printer mode or start a sequence.
head -c 1300 /dev/urandom | tr '\033\233' xy > in
printf 'A' > a; printf 'BB' > b
failures=0

# The program's calls, from its first use of standard input or output on,
# one per line as "read|write FD COUNT RESULT"; descriptors of opened files
# show as "f", and standard error (where a sanitizer may speak at exit) is
# left out. Standard input is the file named by $input.
input=in
calls() {
    strace -o trace -e trace=read,write -e signal=none "$qp" "$@" < "$input" > /dev/null 2>&1
    sed -nE '/^(read\(0|write\(1),/,$p' trace | grep -Ev '^([+]{3}|write\(2,)' |
        sed -E 's/^(read|write)\(([0-9]+), .*, ([0-9]+)\) += (-?[0-9]+).*$/\1 \2 \3 \4/; s/^(read|write) ([3-9]|[1-9][0-9]+) /\1 f /' |
        tr '\n' ';'
}
expect() {
    name=$1 want=$2; shift 2
    got=$(calls "$@")
    if [ "$got" = "$want" ]; then echo "ok: $name"; else echo "FAIL: $name"; echo "  want: $want"; echo "  got:  $got"; failures=$((failures + 1)); fi
}

expect "stdin in chunks of 512" \
    "write 1 4 4;read 0 512 512;write 1 512 512;read 0 512 512;write 1 512 512;read 0 512 276;write 1 276 276;read 0 512 0;write 1 4 4;"
expect "-b 100 asks for 100" \
    "$(printf 'write 1 4 4;'; for i in 1 2 3 4 5 6 7 8 9 10 11 12 13; do printf 'read 0 100 100;write 1 100 100;'; done; printf 'read 0 100 0;write 1 4 4;')" -b 100
expect "files: one call per chunk, separator and form-feed; stdin unread" \
    "write 1 4 4;read f 512 1;write 1 1 1;read f 512 0;write 1 1 1;read f 512 2;write 1 2 2;read f 512 0;write 1 1 1;write 1 4 4;" -n -f a b
expect "-f alone never reads stdin" "write 1 4 4;write 1 4 4;" -f

# With -p the job is gathered into one tmux string, 19 bytes more than the
# data (which holds no ESC to double), and written in one call at the end.
head -c 1300 /dev/zero | tr '\0' x > plain
input=plain expect "-p: the reads, then one write of the whole string" \
    "read 0 512 512;read 0 512 512;read 0 512 276;read 0 512 0;write 1 1319 1319;" -p

[ "$failures" -eq 0 ]

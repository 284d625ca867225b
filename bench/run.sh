#!/usr/bin/env bash
# Measures quillpass against the programs it should cost no more than, side
# by side in one run on this machine, and prints a table:
#   CPU time (user + system) for 256 MiB of each of six kinds of data:
#   random bytes (compressed files, PDF streams, images), ESC-dense raster
#   (an ESC * b n W header every 20 to 60 bytes, as in PCL jobs), every byte
#   ESC, every byte 0x9B, ASCII text, and CJK UTF-8 text;
#     at the default chunk size against dd bs=512, which looks at no byte;
#     with -b 131072 against a relay that finds every ESC and 0x9B in each
#     128 KiB chunk with memchr (bench/scanning_relay.c), the least a relay
#     that must look at every byte can do; where every byte is ESC or 0x9B,
#     against a relay that copies 128 KiB chunks and looks at nothing
#     (bench/copy_relay.c);
#   start-up of an empty job, against a minimal C relay (the frame and a
#     read/write loop, bench/minimal_relay.c);
#   peak resident memory of an empty job, against the same relay;
#   and, in a second table, what the memchr relay itself costs against dd in
#   512-byte chunks: where that is above 1.05 already, no relay that looks
#   at every byte can meet the 512-byte rows on this machine.
# The relays are built here the way the program is built: the same compiler
# and release flags, linked dynamically, needing the C library alone.
# Each timing runs in eleven rounds of alternating order; a row shows the two
# values of the round whose ratio is the median, and that ratio.
# Needs hyperfine, cmake, python3 and GNU time (/usr/bin/time).
# Usage: bench/run.sh [RUNS]   (runs of each 256 MiB command in each round,
#                              default 5)
set -euo pipefail
runs=${1:-5}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for tool in hyperfine cmake python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is needed" >&2; exit 1; }
done

cmake -S "$here/.." -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/build" >/dev/null
qp=$work/build/quillpass
relay=$work/minimal_relay
scanner=$work/scanning_relay
copier=$work/copy_relay
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$work/build/CMakeCache.txt")
release=$(sed -n 's/^CMAKE_CXX_FLAGS_RELEASE:[A-Z]*=//p' "$work/build/CMakeCache.txt")
for c in minimal_relay scanning_relay copy_relay; do
    # shellcheck disable=SC2086 # the flags are words
    "$cxx" -x c++ $release -fno-exceptions -fno-rtti -Wl,--as-needed -o "$work/$c" "$here/$c.c"
done
size=$((256 << 20))
head -c $size /dev/urandom > "$work/random"
python3 - "$work/raster" $size <<'RASTER'
import os, random, sys
random.seed(1)
out, size, parts, n = sys.argv[1], int(sys.argv[2]), [], 0
noise = os.urandom(1 << 20)
while n < size:
    k = random.randint(14, 54)
    at = random.randrange(len(noise) - k)
    part = b"\x1b*b%dW" % k + noise[at:at + k]
    parts.append(part)
    n += len(part)
open(out, "wb").write(b"".join(parts)[:size])
RASTER
head -c $size /dev/zero | tr '\0' '\033' > "$work/esc"
head -c $size /dev/zero | tr '\0' '\233' > "$work/csi"
{ yes 'A line of text, as a printer job holds it: words, digits 0123456789.' || true; } | head -c $size > "$work/text"
python3 - "$work/cjk" $size <<'CJK'
import random, sys
random.seed(2)
lines = []
for _ in range(12000):
    line = "".join(chr(random.randint(0x4E00, 0x9FFF)) if random.random() < 0.92 else random.choice("\u3001\u3002 0123") for _ in range(random.randint(10, 40)))
    lines.append(line + "\n")
block = "".join(lines).encode()
size = int(sys.argv[2])
open(sys.argv[1], "wb").write((block * (size // len(block) + 1))[:size])
CJK
shapes="random raster esc csi text cjk"
for kind in $shapes; do cat "$work/$kind" > /dev/null; done # into the page cache before anything is timed

# Times two commands in eleven rounds of alternating order, so that neither
# always runs first, and prints "A B RATIO": the values that `field` picks
# (mean: wall time in ms; cpu: user + system in s) in the round whose ratio
# A / B is the median of the rounds' ratios, which one noisy round cannot
# sway, and that ratio.
compare() { # field runs-per-round command-a command-b [hyperfine options]
    local field=$1 n=$2 a=$3 b=$4; shift 4
    for round in 1 2 3 4 5 6 7 8 9 10 11; do
        local first=$a second=$b
        [ $((round % 2)) = 0 ] && { first=$b; second=$a; }
        hyperfine --style none --export-csv "$work/out.csv" -r "$n" "$@" "$first" "$second" \
            >/dev/null 2>"$work/hyperfine.log" || { cat "$work/hyperfine.log" >&2; exit 1; }
        # hyperfine CSV: command,mean,stddev,median,user,system,min,max
        awk -F, -v a="$a" -v f="$field" '
            NR > 1 { v = (f == "mean" ? $2 * 1000 : $5 + $6); if ($1 == a) va = v; else vb = v }
            END { printf "%.4g %.4g %.4f\n", va, vb, va / vb }' "$work/out.csv"
    done | sort -n -k3 | sed -n 6p
}

# Median of 51 runs of an empty job's peak resident memory, in KiB.
peak_kib() {
    for _ in $(seq 51); do /usr/bin/time -o "$work/rss" -a -f %M "$@" </dev/null >/dev/null; done
    sort -n "$work/rss" | sed -n 26p
    rm -f "$work/rss"
}

verdict() { awk "BEGIN { print (($1) ? \"met\" : \"MISSED\") }"; }
row() { # measure, ours, reference, unit, ratio, target, met
    printf '| %-50s | %9s %-3s | %9s %-3s | %6s | %-20s | %-6s |\n' "$@"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

echo "quillpass $(git -C "$here/.." rev-parse --short HEAD 2>/dev/null || echo) on $(uname -srm), $(nproc) CPUs"
echo "load average at the start: $(uptime | sed 's/.*load average: //')"
echo "CPU: $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || sysctl -n hw.model)"
command -v file >/dev/null && echo "quillpass binary: $(file -b "$qp" | cut -d, -f1-4)"
command -v file >/dev/null && echo "relay binary:     $(file -b "$relay" | cut -d, -f1-4)"
echo
row measure quillpass "" reference "" ratio target result
echo "|----------------------------------------------------|---------------|---------------|--------|----------------------|--------|"

describe() {
    case $1 in
    random) echo "random" ;; raster) echo "ESC-dense raster" ;; esc) echo "every byte ESC" ;;
    csi) echo "every byte 0x9B" ;; text) echo "text" ;; cjk) echo "CJK UTF-8 text" ;;
    esac
}
for kind in $shapes; do
    data=$work/$kind
    read -r a b r <<<"$(compare cpu "$runs" "$qp < $data > /dev/null" "dd bs=512 if=$data of=/dev/null status=none" -w 1)"
    row "CPU, $(describe $kind), 512 B, vs dd" "$a" s "$b" s "$r" "ratio <= 1.05" "$(verdict "$r <= 1.05")"
done
for kind in $shapes; do
    data=$work/$kind
    case $kind in
    esc | csi)
        read -r a b r <<<"$(compare cpu "$runs" "$qp -b 131072 < $data > /dev/null" "$copier < $data > /dev/null" -w 1)"
        row "CPU, $(describe $kind), 128 KiB, vs copy relay" "$a" s "$b" s "$r" "ratio <= 2" "$(verdict "$r <= 2")" ;;
    *)
        read -r a b r <<<"$(compare cpu "$runs" "$qp -b 131072 < $data > /dev/null" "$scanner < $data > /dev/null" -w 1)"
        if [ "$kind" = raster ]; then
            row "CPU, $(describe $kind), 128 KiB, vs memchr relay" "$a" s "$b" s "$r" "ratio < 1" "$(verdict "$r < 1")"
        else
            row "CPU, $(describe $kind), 128 KiB, vs memchr relay" "$a" s "$b" s "$r" "ratio <= 1.05" "$(verdict "$r <= 1.05")"
        fi ;;
    esac
done

read -r a b r <<<"$(compare mean 300 "$qp" "$relay" -N -w 30)"
row "start-up, empty job, vs minimal C relay" "$a" ms "$b" ms "$r" "ratio <= 1.05" "$(verdict "$r <= 1.05")"

b=$(peak_kib "$relay")
a=$(peak_kib "$qp"); r=$(ratio "$a" "$b")
row "peak memory, empty job, vs minimal C relay" "$a" KiB "$b" KiB "$r" "<= reference + 64" "$(verdict "$a <= $b + 64")"
a=$(peak_kib "$qp" -b 131072); r=$(ratio "$a" "$b")
row "peak memory, -b 131072, vs minimal C relay" "$a" KiB "$b" KiB "$r" "<= reference + 192" "$(verdict "$a <= $b + 192")"

# Where system calls are cheap, looking at every byte is itself a good part
# of the cost of 512-byte chunks: what the memchr relay costs in them, so
# that a missed row above can be told from one no such relay could meet.
echo
echo "The memchr relay in 512-byte chunks (not quillpass), for reference:"
echo
printf '| %-30s | %13s | %13s | %6s |\n' measure "memchr relay" dd ratio
echo "|--------------------------------|---------------|---------------|--------|"
for kind in random raster text cjk; do
    data=$work/$kind
    read -r a b r <<<"$(compare cpu "$runs" "$scanner 512 < $data > /dev/null" "dd bs=512 if=$data of=/dev/null status=none" -w 1)"
    printf '| %-30s | %11s s | %11s s | %6s |\n' "CPU, $(describe $kind), 512 B" "$a" "$b" "$r"
done
echo
echo "load average at the end: $(uptime | sed 's/.*load average: //')"

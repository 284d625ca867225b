#!/usr/bin/env bash
# Measures quillpass against the programs it should cost no more than, side
# by side in one run on this machine, and prints a table of ratios:
#   CPU per byte on a 256 MiB file: against dd bs=512 at the default chunk
#     size, and against cat with -b 131072 (cat's own buffer size);
#   start-up of an empty job: against a minimal C relay built here the way
#     the program is built (same compiler, optimisation and link: dynamic,
#     needing the C library alone);
#   peak memory: against the same relay.
# Needs hyperfine, cmake and GNU time (/usr/bin/time).
# Usage: bench/run.sh [RUNS]   (runs of each 256 MiB command in each of six
#                              rounds, default 5)
set -euo pipefail
runs=${1:-5}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for tool in hyperfine cmake /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is needed" >&2; exit 1; }
done

cmake -S "$here/.." -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/build" >/dev/null
qp=$work/build/quillpass
relay=$work/minimal_relay
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$work/build/CMakeCache.txt")
release=$(sed -n 's/^CMAKE_CXX_FLAGS_RELEASE:[A-Z]*=//p' "$work/build/CMakeCache.txt")
# shellcheck disable=SC2086 # the flags are words
"$cxx" -x c++ $release -fno-exceptions -fno-rtti -Wl,--as-needed -o "$relay" "$here/minimal_relay.c"
data=$work/data
head -c $((256 << 20)) /dev/urandom > "$data"
cat "$data" > /dev/null # into the page cache before anything is timed

# Times two commands in rounds of alternating order, so that neither always
# runs first, and prints "A B RATIO": the means over the rounds of what
# `field` picks from each (mean: wall time in ms; cpu: user + system in s),
# and the median of the rounds' ratios A / B, which one noisy round cannot
# sway.
compare() { # field rounds runs-per-round command-a command-b [hyperfine options]
    local field=$1 rounds=$2 n=$3 a=$4 b=$5; shift 5
    for round in $(seq "$rounds"); do
        local first=$a second=$b
        [ $((round % 2)) = 0 ] && { first=$b; second=$a; }
        hyperfine --style none --export-csv "$work/out.csv" -r "$n" "$@" "$first" "$second" \
            >/dev/null 2>"$work/hyperfine.log" || { cat "$work/hyperfine.log" >&2; exit 1; }
        # hyperfine CSV: command,mean,stddev,median,user,system,min,max
        awk -F, -v a="$a" -v f="$field" '
            NR > 1 { v = (f == "mean" ? $2 * 1000 : $5 + $6); if ($1 == a) va = v; else vb = v }
            END { print va, vb }' "$work/out.csv"
    done > "$work/rounds"
    awk '{ a += $1; b += $2 } END { printf "%.4g %.4g ", a / NR, b / NR }' "$work/rounds"
    awk '{ printf "%.4f\n", $1 / $2 }' "$work/rounds" | sort -n |
        awk '{ v[NR] = $1 } END { printf "%.3f\n", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Median of 51 runs of an empty job's peak resident memory, in KiB.
peak_kib() {
    for _ in $(seq 51); do /usr/bin/time -o "$work/rss" -a -f %M "$@" </dev/null >/dev/null; done
    sort -n "$work/rss" | sed -n 26p
    rm -f "$work/rss"
}

verdict() { awk "BEGIN { print (($1) ? \"met\" : \"MISSED\") }"; }
row() { # measure, ours, reference, unit, ratio, target, met
    printf '| %-46s | %9s %-3s | %9s %-3s | %6s | %-20s | %-6s |\n' "$@"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

echo "quillpass $(git -C "$here/.." rev-parse --short HEAD 2>/dev/null || echo) on $(uname -srm), $(nproc) CPUs"
echo "CPU: $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || sysctl -n hw.model)"
command -v file >/dev/null && echo "quillpass binary: $(file -b "$qp" | cut -d, -f1-4)"
command -v file >/dev/null && echo "relay binary:     $(file -b "$relay" | cut -d, -f1-4)"
echo
row measure quillpass "" reference "" ratio target result
echo "|------------------------------------------------|---------------|---------------|--------|----------------------|--------|"

read -r a b r <<<"$(compare cpu 6 "$runs" "$qp < $data > /dev/null" "dd bs=512 if=$data of=/dev/null status=none" -w 1)"
row "CPU time, 256 MiB in 512-byte chunks, vs dd" "$a" s "$b" s "$r" "ratio <= 1.05" "$(verdict "$r <= 1.05")"

read -r a b r <<<"$(compare cpu 6 "$runs" "$qp -b 131072 < $data > /dev/null" "cat $data > /dev/null" -w 1)"
row "CPU time, 256 MiB in 128 KiB chunks, vs cat" "$a" s "$b" s "$r" "ratio <= 1.05" "$(verdict "$r <= 1.05")"

read -r a b r <<<"$(compare mean 6 300 "$qp" "$relay" -N -w 30)"
row "start-up, empty job, vs minimal C relay" "$a" ms "$b" ms "$r" "ratio <= 1.05" "$(verdict "$r <= 1.05")"

b=$(peak_kib "$relay")
a=$(peak_kib "$qp"); r=$(ratio "$a" "$b")
row "peak memory, empty job, vs minimal C relay" "$a" KiB "$b" KiB "$r" "<= reference + 64" "$(verdict "$a <= $b + 64")"
a=$(peak_kib "$qp" -b 131072); r=$(ratio "$a" "$b")
row "peak memory, -b 131072, vs minimal C relay" "$a" KiB "$b" KiB "$r" "<= reference + 192" "$(verdict "$a <= $b + 192")"

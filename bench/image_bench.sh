#!/usr/bin/env bash
# Times reading and stamping a full 256 KiB image (S2 records of 16 and of 32 data bytes) as
# a whole process, beside srec_cat reading the same file, and runs the CRC-16 benchmark.
#   bench/image_bench.sh [BUILD_DIR] [RUNS]
# BUILD_DIR (default build/native) is configured like the native preset when it does not
# exist yet; the two benchmark programs are built in it.  The programs run in turn, RUNS
# (default 30) rounds after a warm-up round; each figure is the median wall-clock time of one
# whole process, which shrugs off the load of other work on a shared machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
runs=${2:-30}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target image_read_bench image_crc_bench >/dev/null
reader=$build/bench/image_read_bench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A full image of random bytes at 0x420000..0x45FFFF, as S2 records of 16 and of 32 bytes.
head -c $((0x40000)) /dev/urandom >"$work/image.bin"
for bytes in 16 32; do
    srec_cat "$work/image.bin" -binary -offset 0x420000 -o "$work/s2_$bytes.a37" -motorola \
        -address-length=3 -obs "$bytes"
    # Both must read the same image before they are timed.
    "$reader" "$work/s2_$bytes.a37" >/dev/null
    srec_cat "$work/s2_$bytes.a37" -o "$work/out.bin" -binary 2>/dev/null
    cmp -s <(tail -c +$((0x420001)) "$work/out.bin") "$work/image.bin" ||
        { echo "srec_cat's image of s2_$bytes.a37 differs"; exit 1; }
done

# The commands, timed in turn.  Starting each program without work shows what the start
# alone costs; on a virtual machine it can outweigh the read itself.
labels=(our_start their_start ours_16 theirs_16 ours_32 theirs_32)
commands=(
    "$reader"
    "srec_cat -version"
    "$reader $work/s2_16.a37"
    "srec_cat $work/s2_16.a37 -o $work/out.bin -binary"
    "$reader $work/s2_32.a37"
    "srec_cat $work/s2_32.a37 -o $work/out.bin -binary"
)
declare -A samples
for ((round = 0; round <= runs; ++round)); do
    for i in "${!commands[@]}"; do
        start=${EPOCHREALTIME/./}
        ${commands[$i]} >/dev/null 2>&1 || true
        end=${EPOCHREALTIME/./}
        [ "$round" -eq 0 ] || samples[${labels[$i]}]+="$((end - start)) "
    done
done

# Median in milliseconds.
median() { tr ' ' '\n' <<<"${samples[$1]}" | sed '/^$/d' | sort -n |
    awk '{ v[NR] = $1 } END { printf "%.2f", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) / 1000 }'; }

printf 'start alone: %s %s ms, srec_cat -version %s ms\n\n' "$(basename "$reader")" \
    "$(median our_start)" "$(median their_start)"
printf '%-10s %14s %14s %8s %8s\n' "records" "read+stamp ms" "srec_cat ms" "ratio" "net"
for bytes in 16 32; do
    awk -v b="$bytes" -v o="$(median ours_$bytes)" -v t="$(median theirs_$bytes)" \
        -v os="$(median our_start)" -v ts="$(median their_start)" \
        'BEGIN { printf "S2 x %-5s %14.2f %14.2f %7.1fx %7.1fx\n", b, o, t, t / o,
                 (t - ts) / (o - os) }'
done
echo "(ratio: whole processes; net: each less its own program's start)"

echo
"$build/bench/image_crc_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

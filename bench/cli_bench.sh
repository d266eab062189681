#!/usr/bin/env bash
# velko-cli against paced simulated instruments (vyra-sim --pace: every byte received and
# answered at the line's real rate), a full image.
#   bench/cli_bench.sh [BUILD_DIR] [RUNS] [GANG_SIZES] [BLOCK_RATES]
# 1. One port, RUNS times (default 3): the whole run of `velko-cli program` beside the
#    protocol's floor, the least time the sequence can take on this line.
# 2. Many ports at once, for each N of GANG_SIZES (default "1 2 4 8 16"), RUNS times each:
#    the median wall time, it against one port's median, the largest peak resident memory of
#    velko-cli, and the median CPU seconds per instrument.  GANG_SIZES "" leaves this out.
# 3. With BLOCK_RATES (for example "19200 38400 57600 115200"): one port at each block rate
#    (--block-rate), the median of RUNS runs against that rate's floor.
# BUILD_DIR (default build/native) must hold a native build (velko-cli, vyra-sim, samples).
# Figures need a quiet machine: wake-up delays of a loaded one add to every block.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
runs=${2:-3}
sizes=${3-"1 2 4 8 16"}
rates=${4:-}
cli=$build/cli/velko-cli
sim=$build/sim/vyra-sim
sample=$build/samples/VYRA_FULL.A37
for f in "$cli" "$sim" "$sample"; do
    [ -e "$f" ] || { echo "cli_bench: $f is missing (build the native preset)" >&2; exit 1; }
done

work=$(mktemp -d)
sims=()
cleanup() {
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The protocol's floor, in ms, from the programming sequence: every pause, every drain's full
# wait (the simulated instrument answers neither the SIF command nor the ETX run), each
# request and reply byte at 10 bits a byte where the host waits for it, and the instrument's
# erase time (0 for the simulated one).  Bytes that go out while the host drains or pauses
# cost nothing extra.
floor_ms() {
    local blocks=$1 rate=${2:-115200}
    awk -v blocks="$blocks" -v rate="$rate" 'BEGIN {
        byte19200 = 10000 / 19200; byteBlock = 10000 / rate
        t  = 1100                                   # SIF at 4800, then its drain of 300 bytes
        t += 500 + 500                              # pause before the close, after the reopen
        t += 1500                                   # ETX run, then its drain of 500 bytes
        t += (4 + 12) * byte19200                   # identify and its 12-byte reply
        t += 4 * (8 + 4) * byte19200                # four erases and their replies
        t += 5 * byte19200 + 50                     # the B request drains, then 50 ms
        t += blocks * (75 + 4) * byteBlock          # the blocks and their replies
        t += 100 + 200                              # after the ETX run and the TST command
        printf "%.0f", t }'
}

# start_sims N: N paced instruments; their ports in the array ports.
start_sims() {
    ports=()
    for ((i = 0; i < $1; i++)); do
        "$sim" --pace >"$work/sim$i.out" 2>&1 </dev/null &
        sims+=($!)
    done
    for ((i = 0; i < $1; i++)); do
        local pty=""
        for _ in $(seq 100); do
            pty=$(head -n 1 "$work/sim$i.out" 2>/dev/null || true)
            [ -n "$pty" ] && break
            sleep 0.05
        done
        [ -n "$pty" ] || { echo "cli_bench: vyra-sim did not start" >&2; exit 1; }
        ports+=(--port "$pty")
    done
}

stop_sims() {
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    sims=()
}

# run_gang N [RATE]: one run of velko-cli on N fresh instruments; prints "wall user sys
# maxrss_kb".
run_gang() {
    start_sims "$1"
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" \
        "$cli" program "$sample" "${ports[@]}" --no-progress --block-rate "${2:-115200}" \
        >"$work/out" 2>"$work/err" ||
        { cat "$work/err" >&2; echo "cli_bench: velko-cli failed" >&2; exit 1; }
    stop_sims
    cat "$work/time"
}

median() {
    sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'
}

blocks=$(( ($("$cli" info "$sample" --json | jq .length) + 63) / 64 ))
floor=$(floor_ms "$blocks")
echo "== one port, a full image ($blocks blocks), $runs runs"
printf "%-8s %10s %10s %8s\n" run "wall s" "floor s" ratio
walls=()
for ((r = 1; r <= runs; r++)); do
    read -r wall _ <<<"$(run_gang 1)"
    walls+=("$wall")
    printf "%-8s %10.2f %10.2f %8.3f\n" "$r" "$wall" "$(echo "$floor / 1000" | bc -l)" \
        "$(echo "$wall * 1000 / $floor" | bc -l)"
done
median=$(printf '%s\n' "${walls[@]}" | median)
fastest=$(printf '%s\n' "${walls[@]}" | sort -n | head -n 1)
for row in "fastest $fastest" "median $median"; do
    read -r name wall <<<"$row"
    printf "%-8s %10.2f %10.2f %8.3f\n" "$name" "$wall" "$(echo "$floor / 1000" | bc -l)" \
        "$(echo "$wall * 1000 / $floor" | bc -l)"
done

if [ -n "$sizes" ]; then
    echo
    echo "== many ports at once, a full image each, the median of $runs runs"
    printf "%4s %10s %12s %14s %16s\n" N "wall s" "÷ one port" "peak RSS MiB" "CPU s / instr."
    one=""
    for n in $sizes; do
        walls=() cpus=() peak=0
        for ((r = 1; r <= runs; r++)); do
            read -r wall user sys rss <<<"$(run_gang "$n")"
            walls+=("$wall")
            cpus+=("$(echo "($user + $sys) / $n" | bc -l)")
            [ "$rss" -gt "$peak" ] && peak=$rss
        done
        wall=$(printf '%s\n' "${walls[@]}" | median)
        cpu=$(printf '%s\n' "${cpus[@]}" | median)
        [ -n "$one" ] || one=$wall
        printf "%4d %10.2f %12.3f %14.1f %16.3f\n" "$n" "$wall" "$(echo "$wall / $one" | bc -l)" \
            "$(echo "$peak / 1024" | bc -l)" "$cpu"
    done
fi

if [ -n "$rates" ]; then
    echo
    echo "== one port at each block rate, a full image, the median of $runs runs"
    printf "%8s %10s %10s %8s\n" rate "wall s" "floor s" ratio
    for rate in $rates; do
        walls=()
        for ((r = 1; r <= runs; r++)); do
            read -r wall _ <<<"$(run_gang 1 "$rate")"
            walls+=("$wall")
        done
        wall=$(printf '%s\n' "${walls[@]}" | median)
        floor=$(floor_ms "$blocks" "$rate")
        printf "%8d %10.2f %10.2f %8.3f\n" "$rate" "$wall" "$(echo "$floor / 1000" | bc -l)" \
            "$(echo "$wall * 1000 / $floor" | bc -l)"
    done
fi

#!/usr/bin/env bash
# Runs every libFuzzer target of the fuzz build (the S-record reader's, the loader link's
# and the programming sequence's), from its seed corpus, for an equal share of the given
# seconds (at least 5 s each); fails on any crash, leak, sanitizer finding, failed check, or
# an input that runs longer than 10 s.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shopt -s nullglob
targets=(build/fuzz/fuzz/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
    echo "fuzz: no targets built"
    exit 0
fi
per=$(( seconds / ${#targets[@]} ))
[ "$per" -ge 5 ] || per=5
for t in "${targets[@]}"; do
    [ -x "$t" ] || continue
    name=$(basename "$t")
    corpus=build/fuzz/corpus/$name
    mkdir -p "$corpus"
    seeds=fuzz/seeds/${name#fuzz_}
    [ -d "$seeds" ] || seeds=""
    echo "fuzz: $name for ${per} s"
    "$t" -max_total_time="$per" -timeout=10 -artifact_prefix="build/fuzz/$name-" \
        -print_final_stats=1 "$corpus" $seeds >"build/fuzz/$name.log" 2>&1 || {
        tail -50 "build/fuzz/$name.log"; exit 1; }
    grep -E '^stat::number_of_executed_units|^Done' "build/fuzz/$name.log" || true
done

#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a few seconds each, starting from its committed seeds
# (fuzz/corpus/<target>/, made by fuzz/make-seeds.sh) in a scratch copy. Usage: fuzz-smoke.sh BUILD_DIR SECONDS
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
seconds=${2:-20}
found=0
failed=0
for target in "$build"/fuzz/*_fuzz; do
    [ -x "$target" ] || continue
    found=1
    work=$(mktemp -d)
    mkdir -p "$work/corpus"
    seeds="$root/fuzz/corpus/$(basename "$target")"
    [ -d "$seeds" ] && cp "$seeds"/* "$work/corpus/" 2>/dev/null
    echo "fuzz: $(basename "$target") for ${seconds}s"
    "$target" -max_total_time="$seconds" -print_final_stats=1 "$work/corpus" >"$work/log" 2>&1
    status=$?
    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' "$work/log"
    if [ $status != 0 ]; then
        tail -40 "$work/log"
        echo "fuzz: $(basename "$target") failed"
        failed=1
    fi
    rm -rf "$work"
done
[ $found = 1 ] || { echo "fuzz: no targets in $build/fuzz: build the fuzz preset first"; exit 1; }
exit $failed

#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a few seconds each, starting from its committed seeds
# (fuzz/corpus/<target>/, made by fuzz/make-seeds.sh) in a scratch copy. Two targets run at a time, one
# per core: each still gets its whole time. Usage: fuzz-smoke.sh BUILD_DIR SECONDS [JOBS, default 2]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
seconds=${2:-20}
jobs=${3:-2}

# One target: its summary lines on standard output, and the log's tail when it failed; status 1 then.
run_one() {
    local target=$1 work seeds status
    work=$(mktemp -d)
    mkdir -p "$work/corpus"
    seeds="$root/fuzz/corpus/$(basename "$target")"
    [ -d "$seeds" ] && cp "$seeds"/* "$work/corpus/" 2>/dev/null
    "$target" -max_total_time="$seconds" -print_final_stats=1 "$work/corpus" >"$work/log" 2>&1
    status=$?
    {
        echo "fuzz: $(basename "$target") for ${seconds}s"
        grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' "$work/log"
        if [ $status != 0 ]; then
            tail -40 "$work/log"
            echo "fuzz: $(basename "$target") failed"
        fi
    } >"$work/report"
    cat "$work/report"
    rm -rf "$work"
    return $((status != 0))
}

targets=()
for target in "$build"/fuzz/*_fuzz; do
    [ -x "$target" ] && targets+=("$target")
done
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no targets in $build/fuzz: build the fuzz preset first"; exit 1; }

failed=0
running=()
for target in "${targets[@]}"; do
    run_one "$target" &
    running+=($!)
    if [ ${#running[@]} -ge "$jobs" ]; then
        wait "${running[0]}" || failed=1
        running=("${running[@]:1}")
    fi
done
for pid in "${running[@]}"; do
    wait "$pid" || failed=1
done
exit $failed

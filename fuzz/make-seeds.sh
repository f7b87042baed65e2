#!/usr/bin/env bash
# Makes the committed seed corpus of every fuzz target: each target runs for a while from its current
# seeds, then libFuzzer's merge keeps the inputs that reach all the code the run reached, and the
# largest dozen of those are committed.
# Usage: fuzz/make-seeds.sh BUILD_DIR [SECONDS per target, default 60]. Build the fuzz preset first.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
seconds=${2:-60}
keep=12
for target in "$build"/fuzz/*_fuzz; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    seeds="$here/corpus/$name"
    work=$(mktemp -d)
    mkdir -p "$seeds" "$work/run" "$work/kept"
    cp "$seeds"/* "$work/run/" 2>/dev/null || true
    # Small inputs only: the seeds are committed, and the smoke run grows them itself.
    "$target" -max_total_time="$seconds" -max_len=4096 "$work/run" >"$work/log" 2>&1
    "$target" -merge=1 -max_len=4096 "$work/kept" "$work/run" >>"$work/log" 2>&1
    rm -f "$seeds"/*
    # A few seeds are enough to start from: the largest of the kept ones reach the most.
    for f in $(ls -S "$work/kept" | sed -n "1,${keep}p"); do
        cp "$work/kept/$f" "$seeds/"
    done
    echo "seeds: $name: $(ls "$seeds" | wc -l) files, $(du -sk "$seeds" | cut -f1) KiB"
    rm -rf "$work"
done

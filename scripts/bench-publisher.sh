#!/usr/bin/env bash
# Publisher figures against nginx, gzip -9 and the codec, on loopback and through a 50 Mbit/s link
# emulator: see scripts/bench/publisher_bench.py. Usage: scripts/bench-publisher.sh [native build folder]
# [--mib N] [--unprepared SWITCHES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export PYTHONDONTWRITEBYTECODE=1
PYTHONPATH="$root/scripts/e2e${PYTHONPATH:+:$PYTHONPATH}" exec python3 "$root/scripts/bench/publisher_bench.py" "$@"

#!/usr/bin/env bash
# Whole-download figures, natively and (given a Windows build folder) under Wine: see
# scripts/bench/download_bench.py. Usage: scripts/bench-download.sh [native build folder] [Windows build
# folder] [--mib N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export PYTHONDONTWRITEBYTECODE=1
PYTHONPATH="$root/scripts/e2e${PYTHONPATH:+:$PYTHONPATH}" exec python3 "$root/scripts/bench/download_bench.py" "$@"

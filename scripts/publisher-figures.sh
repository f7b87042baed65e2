#!/usr/bin/env bash
# The publisher's figures for a public address, against the built executable on loopback: peak resident
# memory with 1,000 idle connections, an honest install during a 200-socket slowloris, and log bytes per
# minute under a reconnect flood. Prints figures; never fails on a number.
# Usage: publisher-figures.sh [NATIVE_BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
cmake --build "$build" --target publisher_figures orvane-publisher >/dev/null
"$build/tests/publisher/publisher_figures"

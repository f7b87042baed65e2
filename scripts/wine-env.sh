#!/usr/bin/env bash
# Runs a command with a private Wine environment: its own prefix, scratch HOME and Xvfb display, all
# removed or stopped (by PID) afterwards. Usage: scripts/wine-env.sh COMMAND [ARGS...]
# ORVANE_KEEP_PREFIX=1 keeps the scratch folder for inspection.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

scratch=$(mktemp -d /tmp/orvane-wine.XXXXXX)
export WINEPREFIX="$scratch/prefix" HOME="$scratch/home" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$HOME"

xvfb_pid=""
cleanup() {
    local rc=$?
    wineserver -k >/dev/null 2>&1 || true # our own prefix only: WINEPREFIX is the scratch one
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    [ "${ORVANE_KEEP_PREFIX:-0}" = 1 ] || rm -rf "$scratch"
    exit $rc
}
trap cleanup EXIT INT TERM

if [ -z "${ORVANE_USE_DISPLAY:-}" ]; then
    exec {fd}>"$scratch/display"
    Xvfb -displayfd "$fd" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(head -1 "$scratch/display")"
fi

"$here/scripts/wine-prefix.sh" >/dev/null
"$@"

#!/usr/bin/env bash
# The main job: build what is missing, then open the installer under Wine, on $DISPLAY if set, else on a
# private Xvfb, and save a screenshot. (Grows into the full serve-and-install run as the pieces land.)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh"
cmake --preset windows >/dev/null
cmake --build --preset windows --target OrvaneSetup
out="$root/build/demo"
mkdir -p "$out"
[ -n "${DISPLAY:-}" ] && export ORVANE_USE_DISPLAY=1
"$root/scripts/wine-env.sh" bash -c '
    wine "$0" & pid=$!
    for i in $(seq 100); do win=$(xdotool search --name "^Orvane$" 2>/dev/null | head -1) && [ -n "$win" ] && break; sleep 0.2; done
    sleep 1
    import -window root "$1/ready.png"
    echo "demo: screenshot of the installer window: $1/ready.png"
    if [ -z "${ORVANE_USE_DISPLAY:-}" ]; then kill $pid 2>/dev/null || true; fi
    wait $pid || true
' "$root/build/windows/app/OrvaneSetup.exe" "$out"

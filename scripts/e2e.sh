#!/usr/bin/env bash
# The end-to-end suite: OrvaneSetup.exe under Wine and Xvfb installs the sample package from the
# publisher, one case at a time, each with its own display, Wine prefix and publisher. Builds what it
# needs first (ORVANE_E2E_NO_BUILD=1 skips that). Screenshots and publisher logs go to
# $ORVANE_TEST_OUTPUT/e2e (default build/test-output/e2e). Arguments go to scripts/e2e/run_suite.py,
# e.g. --case 'happy_*' or --list.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows=${ORVANE_E2E_WINDOWS_BUILD:-$root/build/windows}
native=${ORVANE_E2E_NATIVE_BUILD:-$root/build/native}

if [ "${ORVANE_E2E_NO_BUILD:-0}" != 1 ]; then
    # The presets' settings, in the folder the caller named (by default the preset's own).
    [ -f "$windows/build.ninja" ] || (cd "$root" && cmake --preset windows -B "$windows" >/dev/null)
    cmake --build "$windows" --target OrvaneSetup sample_package -j2
    [ -f "$native/build.ninja" ] || (cd "$root" && cmake --preset native -B "$native" >/dev/null)
    cmake --build "$native" --target orvane-publisher -j2
fi
exec python3 "$root/scripts/e2e/run_suite.py" --windows-build "$windows" --native-build "$native" "$@"

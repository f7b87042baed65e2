#!/usr/bin/env bash
# Runs every test: set-up, then from-scratch builds and suites natively (plain, ASan+UBSan, TSan), the
# Windows build under Wine, a short fuzz smoke and the end-to-end suite.
# ORVANE_TEST_QUICK=1 skips the sanitizer builds (for local iteration only).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export ORVANE_TEST_OUTPUT="${ORVANE_TEST_OUTPUT:-$root/build/test-output}"

"$root/scripts/setup.sh"
mkdir -p "$ORVANE_TEST_OUTPUT"

step() { printf '\n== %s (%s)\n' "$1" "$(date +%T)"; }

native_suite() {
    local preset=$1
    step "native build: $preset"
    rm -rf "build/$preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    step "native tests: $preset"
    ctest --preset "$preset"
}

native_suite native
if [ "${ORVANE_TEST_QUICK:-0}" != 1 ]; then
    native_suite native-asan
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" native_suite native-tsan
fi

step "windows build"
rm -rf build/windows
cmake --preset windows >/dev/null
cmake --build --preset windows
step "windows tests under Wine"
"$root/scripts/wine-env.sh" ctest --preset windows

step "fuzz smoke"
rm -rf build/fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_targets
"$root/scripts/fuzz-smoke.sh" build/fuzz 20

step "end-to-end under Wine"
"$root/scripts/e2e.sh"
step "all suites passed"

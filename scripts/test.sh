#!/usr/bin/env bash
# Runs every test: set-up, the formatting and layer checks, then from-scratch builds (warnings are
# errors) and suites natively (plain, ASan+UBSan, TSan), the Windows build under Wine, the release checks
# (the installer rebuilt byte for byte, the publisher's Debian package installed into a minimal Debian
# root), a short fuzz smoke from the committed seeds and the end-to-end suite. Prints each layer's wall
# time at the end.
#
# Builds go through ccache when it is installed, with the cache where ccache keeps it by default (or
# CCACHE_DIR), so a second run rebuilds from the cache; the first run on a fresh machine fills it.
# The sanitizer builds leave out the process-level soak tests (ctest label `soak`): they run once, in
# the plain build. The thread sanitizer also leaves out suites labelled `single_thread` (no second
# thread anywhere: it can find nothing there, and their exhaustive loops take minutes under it); the
# plain and address-sanitizer builds run them. ORVANE_TEST_QUICK=1 skips the sanitizer builds (for local iteration only).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export ORVANE_TEST_OUTPUT="${ORVANE_TEST_OUTPUT:-$root/build/test-output}"
jobs=2

layers=()
layer_began=
step() {
    layer_end
    printf '\n== %s (%s)\n' "$1" "$(date +%T)"
    layers+=("$1")
    layer_began=$EPOCHREALTIME
}
seconds=()
layer_end() {
    [ -n "$layer_began" ] || return 0
    seconds+=("$(awk -v a="$layer_began" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }')")
    layer_began=
}
report() {
    local status=$?
    layer_end
    printf '\n== layer times\n'
    local total=0
    for i in "${!seconds[@]}"; do
        printf '%6d s  %s\n' "${seconds[$i]}" "${layers[$i]}"
        total=$((total + seconds[i]))
    done
    printf '%6d s  total%s\n' "$total" "$([ $status = 0 ] || echo " (failed in: ${layers[-1]:-set-up})")"
}
trap report EXIT

step "set-up"
"$root/scripts/setup.sh"
mkdir -p "$ORVANE_TEST_OUTPUT"
if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
    export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
    # Paths below the checkout are hashed relative to it, so every clone on the machine shares hits.
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
    ccache --zero-stats >/dev/null
fi

step "formatting check"
git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format --dry-run --Werror
# No #include runs up the layers (core -> net -> service -> install, ui -> app; publisher over service, in
# its rooms) or goes round.
python3 "$root/scripts/check-layers.py" --self-test >/dev/null
python3 "$root/scripts/check-layers.py"

# A from-scratch build of one preset, warnings as errors.
build() {
    local preset=$1
    shift
    rm -rf "build/$preset"
    cmake --preset "$preset" -DORVANE_WERROR=ON >/dev/null
    cmake --build --preset "$preset" -j$jobs "$@"
}

native_suite() {
    local preset=$1
    shift
    step "native build: $preset"
    build "$preset"
    step "native tests: $preset"
    ctest --preset "$preset" -j$jobs "$@"
}

native_suite native
if [ "${ORVANE_TEST_QUICK:-0}" != 1 ]; then
    native_suite native-asan -LE soak
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" native_suite native-tsan -LE "soak|single_thread"
fi

step "windows build"
build windows
step "windows tests under Wine"
"$root/scripts/wine-env.sh" ctest --preset windows -j$jobs

step "release: reproducible installer"
"$root/scripts/reproducible-build.sh" --against build/windows/app/OrvaneSetup.exe -DORVANE_WERROR=ON
step "release: publisher Debian package"
rm -f build/native/orvane-publisher_*.deb
(cd build/native && cpack -G DEB >/dev/null)
"$root/scripts/deb-test.sh" build/native/orvane-publisher_*_amd64.deb build/windows/examples/package

step "fuzz build"
build fuzz --target fuzz_targets
step "fuzz smoke"
"$root/scripts/fuzz-smoke.sh" build/fuzz 10

step "end-to-end under Wine"
"$root/scripts/e2e.sh" --jobs $jobs
layer_end
if command -v ccache >/dev/null; then
    ccache --show-stats | grep -E 'Hits|Misses' || true
fi
printf '\n== all suites passed\n'

#!/usr/bin/env bash
# Builds OrvaneSetup.exe twice from clean folders at different paths (a copy of the tracked tree each,
# no compiler cache) and fails unless the two files are byte for byte the same: what a user downloads
# can be rebuilt from its commit and compared. With --against EXE, builds once and compares with EXE
# (the test command's own build, made elsewhere and through the compiler cache).
# Usage: scripts/reproducible-build.sh [--against EXE] [EXTRA_CMAKE_ARGS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
reference=
if [ "${1:-}" = --against ]; then
    reference=$(realpath "$2")
    shift 2
fi
extra=("$@")
scratch=$(mktemp -d /tmp/orvane-repro.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

build() { # $1: a folder name that differs between the two builds in length and spelling
    local src="$scratch/$1/src" out="$scratch/$1/out-$1"
    mkdir -p "$src"
    (cd "$root" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$src")
    CCACHE_DISABLE=1 cmake -S "$src" -B "$out" --preset windows -DCMAKE_C_COMPILER_LAUNCHER= \
        -DCMAKE_CXX_COMPILER_LAUNCHER= -DORVANE_THIRD_PARTY="$root/build/third_party/mingw" "${extra[@]}" >/dev/null
    CCACHE_DISABLE=1 cmake --build "$out" --target OrvaneSetup -j2 >/dev/null
    echo "$out/app/OrvaneSetup.exe"
}

first=${reference:-$(build a)}
second=$(build second-build)
if ! cmp "$first" "$second"; then
    echo "reproducible-build: $first and $second differ" >&2
    exit 1
fi
echo "reproducible-build: two clean builds give the same OrvaneSetup.exe ($(sha256sum "$first" | cut -c1-16)…, $(stat -c %s "$first") bytes)"

#!/usr/bin/env bash
# Builds the publisher's Debian package from scratch in build/deb (Release) and prints its path:
# build/deb/orvane-publisher_<version>_amd64.deb. Runs the set-up first unless ORVANE_NO_SETUP=1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
[ "${ORVANE_NO_SETUP:-0}" = 1 ] || scripts/setup.sh >/dev/null
cmake --preset native -B build/deb -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/deb --target orvane-publisher
(cd build/deb && cpack -G DEB >/dev/null)
ls "$root"/build/deb/orvane-publisher_*_amd64.deb

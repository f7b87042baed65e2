#!/usr/bin/env bash
# The main job: build what is missing, start the publisher on 127.0.0.1 with the sample package and run
# OrvaneSetup built with the sample signing key (OrvaneSetupSample.exe) under Wine in a fresh prefix; the
# sample package is signed with that key, so the install is checked. On $DISPLAY when set (a person
# presses Install and Open);
# otherwise on a private Xvfb, where Install and Open are pressed automatically. Screenshots of each
# state go to build/demo; the install's folder, registry entry and link are printed; everything started
# is stopped. Extra arguments go to the driver (for example --lang zh_CN.UTF-8).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh"
cmake --preset native >/dev/null
cmake --build --preset native --target orvane-publisher
cmake --preset windows >/dev/null
cmake --build --preset windows --target OrvaneSetup sample_package
exec python3 "$root/scripts/e2e/serve_and_install.py" --windows-build "$root/build/windows" \
    --native-build "$root/build/native" --output "$root/build/demo" "$@"

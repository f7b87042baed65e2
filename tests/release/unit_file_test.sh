#!/usr/bin/env bash
# Tests that the publisher's systemd unit is one systemd accepts without a word (systemd-analyze verify,
# with ExecStart pointed at the built program) and that its sandbox rates an exposure of 2.0 or lower.
# Usage: unit_file_test.sh UNIT PROGRAM
set -euo pipefail
unit=$1 program=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sed "s#/usr/bin/orvane-publisher#$program#" "$unit" >"$scratch/orvane-publisher.service"
report=$(systemd-analyze verify "$scratch/orvane-publisher.service" 2>&1) || true
if [ -n "$report" ]; then
    printf 'FAIL: systemd-analyze verify:\n%s\n' "$report" >&2
    exit 1
fi
exposure=$(systemd-analyze security --offline=true "$scratch/orvane-publisher.service" 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || { echo "FAIL: no exposure level" >&2; exit 1; }
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || { echo "FAIL: exposure $exposure is above 2.0" >&2; exit 1; }
echo "unit verifies; exposure $exposure"

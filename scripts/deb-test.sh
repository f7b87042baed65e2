#!/usr/bin/env bash
# Tests the publisher's Debian package as a deployer meets it: installs DEB with apt into a fresh minimal
# Debian 12 root (debootstrap --variant=minbase, from the archive this machine installs from), so that its
# declared dependencies are all it gets, then runs --version and --check-config on PACKAGE there and
# checks the unit and logrotate entry are in place and the load tool beside it runs. Needs root
# (debootstrap, chroot).
# Usage: scripts/deb-test.sh DEB PACKAGE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
deb=$1 package=$2
[ -f "$deb" ] || { echo "deb-test: no package file $deb" >&2; exit 1; }
[ -f "$package/package.json" ] || { echo "deb-test: no package.json in $package" >&2; exit 1; }
. "$here/apt-archive.sh"
uri=$(archive_uri)
[ -n "$uri" ] || { echo "deb-test: no Debian archive entry found in /etc/apt" >&2; exit 1; }

target=$(mktemp -d /tmp/orvane-debroot.XXXXXX)
trap 'rm -rf --one-file-system "$target"' EXIT
# Downloaded archives are kept between runs on this machine.
cache=${XDG_CACHE_HOME:-$HOME/.cache}/orvane-debootstrap
mkdir -p "$cache"
debootstrap --variant=minbase --cache-dir="$cache" bookworm "$target" "$uri" >"$target.log" 2>&1 ||
    { tail -20 "$target.log" >&2; rm -f "$target.log"; echo "deb-test: debootstrap failed" >&2; exit 1; }
rm -f "$target.log"
# The host's own apt settings (for example a snapshot archive's validity switches) and name service.
cp /etc/apt/apt.conf.d/* "$target/etc/apt/apt.conf.d/" 2>/dev/null || true
cp /etc/resolv.conf "$target/etc/resolv.conf"
cp "$deb" "$target/tmp/"
mkdir -p "$target/srv/orvane"
cp -r "$package" "$target/srv/orvane/package"

in_root() { chroot "$target" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
in_root apt-get update -qq >/dev/null 2>&1
in_root apt-get install -y -qq --no-install-recommends "/tmp/$(basename "$deb")" >/dev/null 2>&1 ||
    { echo "deb-test: apt cannot install $(basename "$deb") into a minimal root" >&2; exit 1; }

version=$(in_root orvane-publisher --version)
echo "deb-test: $version"
[[ $version =~ ^orvane-publisher\ [0-9]+\.[0-9]+\.[0-9]+\ \(.+\)$ ]] ||
    { echo "deb-test: --version printed '$version'" >&2; exit 1; }
in_root orvane-publisher --package /srv/orvane/package --download 127.0.0.1:0 --check-config >/dev/null ||
    { echo "deb-test: --check-config refused the package in the minimal root" >&2; exit 1; }
usage=$(in_root orvane-load --help) && [[ $usage == "usage: orvane-load "* ]] ||
    { echo "deb-test: orvane-load --help does not run in the minimal root" >&2; exit 1; }
for f in /usr/lib/systemd/system/orvane-publisher.service /etc/logrotate.d/orvane-publisher \
    /usr/share/doc/orvane-publisher/examples/package.json; do
    [ -f "$target$f" ] || { echo "deb-test: $f is not installed" >&2; exit 1; }
done
grep -q '^ExecStart=/usr/bin/orvane-publisher ' "$target/usr/lib/systemd/system/orvane-publisher.service" ||
    { echo "deb-test: the unit does not start the installed program" >&2; exit 1; }
if readelf -S "$target/usr/bin/orvane-publisher" | grep -q '\.symtab'; then
    echo "deb-test: the installed program is not stripped" >&2
    exit 1
fi
size=$(stat -c %s "$target/usr/bin/orvane-publisher")
echo "deb-test: $(basename "$deb") installs into a minimal Debian 12 and checks the package (program $size bytes)"

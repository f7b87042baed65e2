#!/usr/bin/env bash
# Prepares a Debian 12 machine for both builds. Idempotent: safe to run again, and on a machine that
# already has some of the packages.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

packages=(
    build-essential cmake ninja-build git pkg-config ca-certificates dpkg-dev python3 xxd
    clang libclang-rt-14-dev clang-format
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
    ccache wine wine64 xvfb xdotool imagemagick x11-utils fonts-wqy-microhei procps
    liblzo2-dev zlib1g-dev libminizip-dev libgtest-dev googletest libgmock-dev libbenchmark-dev
    libasio-dev nlohmann-json3-dev libbotan-2-dev locales libsodium-dev minisign autoconf automake libtool
    osslsigncode openssl debootstrap systemd libsystemd-dev libcli11-dev haproxy iproute2
)

# The languages the Wine runs use: Wine converts file names and arguments through the Unix locale, so
# each must exist (locale -a) or non-ASCII names cannot even be created. de_DE stands for code page 1252
# beside en_US.
locales=(en_US.UTF-8 de_DE.UTF-8 zh_CN.UTF-8 zh_HK.UTF-8 zh_TW.UTF-8)

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# The cross-built LZO and minizip come from Debian's own source packages, which need a deb-src entry.
# It points at the archive this machine already installs from (scripts/apt-archive.sh).
. "$here/scripts/apt-archive.sh"

src_list=/etc/apt/sources.list.d/orvane-deb-src.sources
need_update=0
if [ ! -f "$src_list" ]; then
    uri=$(archive_uri)
    if [ -z "$uri" ]; then
        echo "setup: no Debian archive entry found in /etc/apt; cannot add the source entry" >&2
        exit 1
    fi
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$uri" "$codename" | sudo_ tee "$src_list" >/dev/null
    need_update=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ]; then
    sudo_ apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive sudo_ apt-get install -y -qq "${missing[@]}"
fi

# "zh_CN.UTF-8" is listed by locale -a as "zh_CN.utf8".
locale_present() { locale -a 2>/dev/null | grep -qix "${1%%.*}.utf8"; }
missing_locales=()
for l in "${locales[@]}"; do
    locale_present "$l" || missing_locales+=("$l")
done
if [ ${#missing_locales[@]} -gt 0 ]; then
    echo "setup: generating locales ${missing_locales[*]}"
    for l in "${missing_locales[@]}"; do
        # Enables the commented line of /etc/locale.gen, or adds it when the file has none.
        if grep -qE "^[#[:space:]]*${l//./\\.} UTF-8" /etc/locale.gen 2>/dev/null; then
            sudo_ sed -i -E "s/^[#[:space:]]*(${l//./\\.} UTF-8)/\\1/" /etc/locale.gen
        else
            echo "$l UTF-8" | sudo_ tee -a /etc/locale.gen >/dev/null
        fi
    done
    sudo_ locale-gen
    for l in "${missing_locales[@]}"; do
        locale_present "$l" || { echo "setup: locale $l was not generated" >&2; exit 1; }
    done
fi

"$here/scripts/build-third-party.sh"

# promtool, the checker of the metrics text format, from Debian's prometheus package: unpacked into the
# build folder rather than installed, so that no Prometheus server is set up on this machine.
tools="$here/build/tools"
if [ ! -x "$tools/usr/bin/promtool" ]; then
    download=$(mktemp -d)
    (cd "$download" && apt-get download -qq prometheus 2>/dev/null)
    mkdir -p "$tools"
    dpkg-deb -x "$download"/prometheus_*.deb "$tools"
    rm -rf "$download"
fi
echo "setup: ready"

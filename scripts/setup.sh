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
    libasio-dev nlohmann-json3-dev libbotan-2-dev
)

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# The cross-built LZO and minizip come from Debian's own source packages, which need a deb-src entry.
# It points at the archive this machine already installs from (its first binary entry for the release),
# so the repository names no host of its own.
archive_uri() {
    local codename uri
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    # One-line entries: "deb [options] URI SUITE COMPONENTS".
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        sed -E 's/\[[^]]*\]//' |
        awk -v c="$codename" '$1 == "deb" && $3 == c { print $2; exit }')
    # Stanza entries (.sources): the URIs of the first "deb" stanza whose suites name the release.
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v c="$codename" '
            /^[[:space:]]*$/ { if (deb && suite && u != "") { print u; exit } deb = 0; suite = 0; u = ""; next }
            tolower($1) == "types:" { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
            tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == c) suite = 1 }
            tolower($1) == "uris:" { u = $2 }
            END { if (deb && suite && u != "") print u }' | head -1)
    fi
    printf '%s\n' "$uri"
}

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

"$here/scripts/build-third-party.sh"
echo "setup: ready"

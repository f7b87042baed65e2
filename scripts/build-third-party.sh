#!/usr/bin/env bash
# Cross-builds the Windows third-party archives from Debian's sources: LZO 2.10, minizip (from zlib's
# contrib) and libsodium, plus GoogleTest from /usr/src/googletest. Output: build/third_party/mingw/{include,lib}.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
tp="$here/build/third_party"
prefix="$tp/mingw"
stamp="$prefix/.complete-v1"
sodium_stamp="$prefix/.sodium-v1"
toolchain="$here/cmake/mingw-w64.cmake"

# A finished prefix is also kept in the user's cache, as ccache keeps objects, keyed by this script, the
# toolchain file and the Debian versions the sources and compiler come from: a clean clone on a machine
# that built it once copies it instead of building for two minutes.
cache_root=${ORVANE_THIRD_PARTY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvane-third-party}
key=$({
    cat "$here/scripts/build-third-party.sh" "$toolchain"
    dpkg-query -W -f '${Package} ${Version}\n' liblzo2-2 zlib1g libsodium23 googletest \
        gcc-mingw-w64-x86-64-posix 2>/dev/null || true
} | sha256sum | cut -c1-16)
cached="$cache_root/$key"
# Best effort: a cache that cannot be written costs the next clone a build, nothing more.
keep_in_cache() {
    { mkdir -p "$cache_root" && rm -rf "$cached.part" && cp -a "$prefix" "$cached.part" &&
        rm -rf "$cached" && mv "$cached.part" "$cached"; } 2>/dev/null || true
}
if [ -f "$stamp" ] && [ -f "$sodium_stamp" ]; then
    [ -f "$cached/.sodium-v1" ] || keep_in_cache
    exit 0
fi
if [ -f "$cached/.complete-v1" ] && [ -f "$cached/.sodium-v1" ]; then
    rm -rf "$prefix"
    mkdir -p "$tp"
    cp -a "$cached" "$prefix"
    echo "third-party: copied from $cached"
    exit 0
fi

# libsodium (signature checks of downloaded packages): its own step, so a machine that built the others
# before only adds it.
build_sodium() {
    rm -rf "$tp/sodium-src"
    mkdir -p "$tp/sodium-src"
    cd "$tp/sodium-src"
    apt-get source --download-only libsodium >/dev/null 2>&1 || apt-get source --download-only libsodium
    tar xf libsodium_*.orig.tar.*
    local dir
    dir=$(find . -maxdepth 1 -type d -name 'libsodium-*' | head -1)
    cd "$dir"
    ./autogen.sh -s >/dev/null 2>&1
    ./configure --host=x86_64-w64-mingw32 --disable-shared --enable-static --enable-minimal \
        --prefix="$prefix" CC=x86_64-w64-mingw32-gcc-posix >/dev/null
    make -j2 >/dev/null
    make install >/dev/null
    cd "$here"
    rm -rf "$tp/sodium-src"
    touch "$sodium_stamp"
}

if [ -f "$stamp" ]; then
    build_sodium
    keep_in_cache
    echo "third-party: libsodium built into $prefix"
    exit 0
fi

rm -rf "$tp/src" "$prefix"
mkdir -p "$tp/src" "$prefix/include" "$prefix/lib"
cd "$tp/src"
apt-get source --download-only lzo2 zlib >/dev/null 2>&1 || apt-get source --download-only lzo2 zlib
tar xf lzo2_*.orig.tar.gz
tar xf zlib_*.orig.tar.*
lzo_dir=$(find . -maxdepth 1 -type d -name 'lzo-*' | head -1)
zlib_dir=$(find . -maxdepth 1 -type d -name 'zlib-*' | head -1)

cmake -S "$lzo_dir" -B lzo-build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DENABLE_STATIC=ON -DENABLE_SHARED=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build lzo-build --target lzo_static_lib >/dev/null
cp lzo-build/liblzo2.a "$prefix/lib/"
cp -r "$lzo_dir/include/lzo" "$prefix/include/"

mz="$zlib_dir/contrib/minizip"
mkdir -p minizip-build "$prefix/include/minizip"
for f in unzip ioapi; do
    x86_64-w64-mingw32-gcc-posix -O2 -c "$mz/$f.c" -I "$zlib_dir" -o "minizip-build/$f.o"
done
x86_64-w64-mingw32-ar rcs "$prefix/lib/libminizip.a" minizip-build/unzip.o minizip-build/ioapi.o
cp "$mz/unzip.h" "$mz/ioapi.h" "$prefix/include/minizip/"

cmake -S /usr/src/googletest -B gtest-build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -Dgtest_disable_pthreads=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build gtest-build >/dev/null
cmake --install gtest-build >/dev/null

touch "$stamp"
build_sodium
keep_in_cache
echo "third-party: built into $prefix"

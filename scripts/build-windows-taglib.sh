#!/bin/sh
# Builds TagLib from Debian's source package for the Windows builds (no Windows build of it is
# packaged), as static libraries in windeps/<arch>/. Skips what is already built.
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)/windeps
for arch in i686 x86_64; do
    [ -f "$ROOT/$arch/lib/libtag.a" ] && continue
    mkdir -p "$ROOT/src"
    if [ ! -d "$ROOT/src/taglib" ]; then
        if ! ls /etc/apt/sources.list.d/*.sources 2>/dev/null | xargs grep -qs deb-src; then
            printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
                >/etc/apt/sources.list.d/kernova-src.sources
            apt-get update -qq
        fi
        (cd "$ROOT/src" && apt-get source --download-only taglib >/dev/null 2>&1 &&
            mkdir taglib && tar -xzf taglib_*.orig.tar.gz -C taglib --strip-components=1)
    fi
    cmake -S "$ROOT/src/taglib" -B "$ROOT/build-$arch" -DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DWITH_ZLIB=OFF -DBUILD_TESTING=OFF \
        -DBUILD_EXAMPLES=OFF -DBUILD_BINDINGS=OFF -DCMAKE_INSTALL_PREFIX="$ROOT/$arch" >/dev/null
    # TagLib's own warnings go to the log; only a failure shows them.
    if ! cmake --build "$ROOT/build-$arch" -j "$(nproc)" >"$ROOT/build-$arch.log" 2>&1; then
        tail -n 30 "$ROOT/build-$arch.log"
        exit 1
    fi
    cmake --install "$ROOT/build-$arch" >/dev/null
done

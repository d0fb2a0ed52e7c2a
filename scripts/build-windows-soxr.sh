#!/bin/sh
# Builds libsoxr from Debian's source package for the Windows builds (no Windows build of it is
# packaged), as static libraries in windeps/<arch>/, for the encoders' format stage. Skips what
# is already built.
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)/windeps
for arch in i686 x86_64; do
    [ -f "$ROOT/$arch/lib/libsoxr.a" ] && continue
    mkdir -p "$ROOT/src"
    if [ ! -d "$ROOT/src/soxr" ]; then
        if ! ls /etc/apt/sources.list.d/*.sources 2>/dev/null | xargs grep -qs deb-src; then
            printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
                >/etc/apt/sources.list.d/kernova-src.sources
            apt-get update -qq
        fi
        (cd "$ROOT/src" && apt-get source --download-only libsoxr >/dev/null 2>&1 &&
            mkdir soxr && tar -xf libsoxr_*.orig.tar.* -C soxr --strip-components=1)
    fi
    cmake -S "$ROOT/src/soxr" -B "$ROOT/build-soxr-$arch" \
        -DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF -DWITH_OPENMP=OFF \
        -DWITH_LSR_BINDINGS=OFF -DCMAKE_INSTALL_PREFIX="$ROOT/$arch" >/dev/null
    # libsoxr's own warnings go to the log; only a failure shows them.
    if ! cmake --build "$ROOT/build-soxr-$arch" -j "$(nproc)" >"$ROOT/build-soxr-$arch.log" 2>&1; then
        tail -n 30 "$ROOT/build-soxr-$arch.log"
        exit 1
    fi
    cmake --install "$ROOT/build-soxr-$arch" >/dev/null
done

#!/bin/sh
# Builds TagLib from Debian's source package for the Windows builds (no Windows build of it is
# packaged), as static libraries in windeps/<arch>/. Skips what is already built.
set -e
cd "$(dirname "$0")/.."
. scripts/windeps-lib.sh
windeps_fetch taglib taglib
for arch in i686 x86_64; do
    windeps_cmake taglib $arch libtag.a -DWITH_ZLIB=OFF -DBUILD_EXAMPLES=OFF -DBUILD_BINDINGS=OFF
done

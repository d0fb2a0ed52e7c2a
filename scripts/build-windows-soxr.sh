#!/bin/sh
# Builds libsoxr from Debian's source package for the Windows builds (no Windows build of it is
# packaged), as static libraries in windeps/<arch>/, for the encoders' format stage. Skips what
# is already built.
set -e
cd "$(dirname "$0")/.."
. scripts/windeps-lib.sh
windeps_fetch libsoxr soxr
for arch in i686 x86_64; do
    windeps_cmake soxr $arch libsoxr.a -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF -DWITH_OPENMP=OFF \
        -DWITH_LSR_BINDINGS=OFF
done

#!/bin/sh
# Builds the Windows programs with the mingw-w64 cross compilers: build-win32/ (32-bit, the
# product) and build-win64/ (64-bit). scripts/setup-wine.sh installs the compilers.
set -e
cd "$(dirname "$0")/.."
sh scripts/build-windows-taglib.sh
sh scripts/build-windows-soxr.sh
for arch in i686:build-win32 x86_64:build-win64; do
    sh scripts/build.sh "${arch#*:}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-${arch%%:*}.cmake "$@"
done

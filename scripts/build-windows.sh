#!/bin/sh
# Builds the Windows programs with the mingw-w64 cross compilers: build-win32/ (32-bit, the
# product) and build-win64/ (64-bit). scripts/setup-wine.sh installs the compilers.
set -e
cd "$(dirname "$0")/.."
# libsoxr first: it is quick, and its fetch sets up the source lines for apt that the others
# then share; TagLib builds beside the codec libraries.
sh scripts/build-windows-soxr.sh
sh scripts/build-windows-taglib.sh &
taglib=$!
sh scripts/build-windows-codecs.sh
wait $taglib
for arch in i686:build-win32 x86_64:build-win64; do
    sh scripts/build.sh "${arch#*:}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-${arch%%:*}.cmake "$@"
done

#!/bin/sh
# Builds and runs every test twice: a plain build (build/) and a build with AddressSanitizer
# and UndefinedBehaviorSanitizer (build-asan/).
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
sh scripts/build.sh build
(cd build && ctest --output-on-failure -j "$(nproc)")
sh scripts/build.sh build-asan -DKERNOVA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j "$(nproc)")

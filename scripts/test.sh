#!/bin/sh
# Builds and runs every test in three builds: plain (build/), AddressSanitizer with
# UndefinedBehaviorSanitizer (build-asan/), and ThreadSanitizer for the engine's threads
# (build-tsan/, the engine and end-to-end tests).
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
JOBS=$(nproc)

sh scripts/build.sh build
(cd build && ctest --output-on-failure -j "$JOBS")

sh scripts/build.sh build-asan -DKERNOVA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j "$JOBS")

sh scripts/build.sh build-tsan -DKERNOVA_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j "$JOBS" -R "Engine|Convert" -E "Playback")

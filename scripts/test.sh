#!/bin/sh
# Builds and runs every test in three builds: plain (build/), AddressSanitizer with
# UndefinedBehaviorSanitizer (build-asan/), and ThreadSanitizer for the jobs' threads
# (build-tsan/, the tests labelled threads); the install and the Debian package
# (scripts/test-install.sh); a smoke run of the fuzz targets (build-fuzz/); then the Windows
# builds under Wine.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
JOBS=$(nproc)

sh scripts/build.sh build
# Plug-ins export only their entry points; the core's folders call only the folders below them.
sh scripts/check-exports.sh build
sh scripts/check-layers.sh build
(cd build && ctest --output-on-failure -j "$JOBS")
# The installed program and the Debian package, used by a user who may not write to them.
sh scripts/test-install.sh build

sh scripts/build.sh build-asan -DKERNOVA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j "$JOBS")

sh scripts/build.sh build-tsan -DKERNOVA_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The tests that run threads carry the label "threads" (tests/CMakeLists.txt); the codec
# program adds the real decoders' Stop while they wait for the output.
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --no-tests=error \
    -j "$JOBS" -L threads)
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --no-tests=error \
    -R '^CodecE2E[.]DecodersWaitForTheOutputAndStopWhileWaiting$')

# A short run of every fuzz target (about four minutes with the build; KERNOVA_SKIP_FUZZ=1
# leaves it out): a crash, leak or hang that the corpus reaches again fails the run.
if [ "${KERNOVA_SKIP_FUZZ:-0}" != 1 ]; then
    sh scripts/fuzz.sh 10
fi

# The Windows builds under Wine (KERNOVA_SKIP_WINDOWS=1 leaves them out of a local run).
if [ "${KERNOVA_SKIP_WINDOWS:-0}" != 1 ]; then
    sh scripts/test-windows.sh
fi

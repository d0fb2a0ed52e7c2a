#!/bin/sh
# Builds the benchmarks and what they run (Release) and runs them:
#   bench_pcm_path  the core's PCM path against memcpy
#   bench_batch.sh  the per-file cost of a batch conversion
# Usage: bench/run.sh   (BUILD_DIR chooses the build folder; default build-bench)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
JOBS=${JOBS:-2}

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKERNOVA_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target bench_pcm_path kernova kernova_host wave_in wave_out \
    idtagger >/dev/null

echo "== PCM path =="
"$BUILD/bench/bench_pcm_path"
echo "== batch conversion =="
"$ROOT/bench/bench_batch.sh" "$BUILD"

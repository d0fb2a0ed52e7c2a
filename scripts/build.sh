#!/bin/sh
# Configures and builds one build folder: scripts/build.sh [folder] [extra cmake options...]
set -e
cd "$(dirname "$0")/.."
BUILD=${1:-build}
[ $# -gt 0 ] && shift
cmake -S . -B "$BUILD" "$@" >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

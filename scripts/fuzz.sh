#!/bin/sh
# Builds the libFuzzer targets (build-fuzz/, clang with ASan and UBSan) and runs each for the
# given seconds (default 60), from the generated seeds and the corpus the earlier runs kept.
# Prints per target: seconds, executions, crashes (crash, leak, time-out or out-of-memory
# inputs, kept in build-fuzz/artifacts/<target>/). Exits 1 when any target found one.
# scripts/fuzz.sh [seconds] [target...]
set -e
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
[ $# -gt 0 ] && shift
# Absolute names: the core targets change their current folder.
BUILD=$(pwd)/build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DKERNOVA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice -n 19 cmake --build "$BUILD" -j2 --target fuzz_targets >/dev/null
sh scripts/fuzz-seeds.sh "$BUILD/seeds"

TARGETS=${*:-"fuzz_command fuzz_batch fuzz_decoder_wave fuzz_decoder_flac fuzz_decoder_mp3
  fuzz_decoder_vorbis fuzz_decoder_opus fuzz_decoder_sndfile fuzz_wave_header fuzz_tags fuzz_setid"}
# Leaks inside the codec libraries that no caller can free (fuzz/lsan.supp says which).
export LSAN_OPTIONS="suppressions=$(pwd)/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
found=0
printf '%-22s %8s %12s %8s\n' target seconds executions crashes
for t in $TARGETS; do
    program=$BUILD/fuzz/$t
    [ -x "$program" ] || program=$BUILD/fuzz/app/$t
    case $t in
    fuzz_command) max_len=4200 ;;
    fuzz_setid) max_len=1024 ;;
    *) max_len=65536 ;;
    esac
    corpus=$BUILD/corpus/$t
    artifacts=$BUILD/artifacts/$t
    mkdir -p "$corpus" "$artifacts"
    before=$(ls "$artifacts" | wc -l)
    log=$BUILD/artifacts/$t.log
    start=$(date +%s)
    nice -n 19 "$program" -max_total_time="$SECONDS_EACH" -timeout=30 -rss_limit_mb=2048 \
        -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$corpus" "$BUILD/seeds/$t" >"$log" 2>&1 || true
    took=$(($(date +%s) - start))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    crashes=$(($(ls "$artifacts" | wc -l) - before))
    [ "$crashes" -gt 0 ] && found=1
    printf '%-22s %8s %12s %8s\n' "$t" "$took" "${runs:-?}" "$crashes"
done
exit $found

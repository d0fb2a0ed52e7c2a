#!/bin/sh
# Per-file cost of a batch: 200 one-second WAV files against one WAV file of 200 seconds, both
# converted WAV to WAV by the program. The audio is the same in both runs, so the difference
# divided by the number of files is what each further file costs (scan, job line, loading the
# decoder and the encoder, opening and closing the files).
#
# Usage: bench/bench_batch.sh [build folder]   (default: build; needs bin/kernova, the core,
#        bin/plugins/idtagger.so and the WAV plug-ins in it, and sox on the PATH)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/bench_common.sh"
FILES=200
RUNS=3

bench_start bench_batch "${1:-$ROOT/build}" sox
bench_need_plugins plugins/in/wave plugins/out/wave plugins/idtagger
SCRATCH=$WORK
PROGRAM=$KERNOVA

mkdir -p "$SCRATCH/batch" "$SCRATCH/single"
sox -n -r 44100 -c 2 -b 16 "$SCRATCH/one.wav" synth 1 sine 440 sine 660
i=0
while [ "$i" -lt "$FILES" ]; do
    cp "$SCRATCH/one.wav" "$SCRATCH/batch/f$i.wav"
    i=$((i + 1))
done
sox -n -r 44100 -c 2 -b 16 "$SCRATCH/single/long.wav" synth "$FILES" sine 440 sine 660

now_ns() { date +%s%N; }

# Best wall time of RUNS conversions, in nanoseconds; the outputs are removed before each run
# so that every run writes every file.
best_of() {
    best=
    run=0
    while [ "$run" -lt "$RUNS" ]; do
        rm -rf "$SCRATCH/out"
        start=$(now_ns)
        (cd "$SCRATCH" && "$PROGRAM" "$@" >/dev/null 2>&1) || {
            echo "bench_batch: kernova $* failed" >&2
            exit 1
        }
        elapsed=$(($(now_ns) - start))
        if [ -z "$best" ] || [ "$elapsed" -lt "$best" ]; then
            best=$elapsed
        fi
        run=$((run + 1))
    done
    echo "$best"
}

t_batch=$(best_of -I "$SCRATCH/batch/*.wav" -O "$SCRATCH/out/*.wav")
converted=$(ls "$SCRATCH/out" | wc -l)
if [ "$converted" -ne "$FILES" ]; then
    echo "bench_batch: the batch wrote $converted files, not $FILES" >&2
    exit 1
fi
t_single=$(best_of -I "$SCRATCH/single/long.wav" -O "$SCRATCH/out/long.wav")

awk -v b="$t_batch" -v s="$t_single" -v n="$FILES" 'BEGIN {
    printf "batch of %d x 1 s:  %.1f ms\n", n, b / 1e6
    printf "one file of %d s: %.1f ms\n", n, s / 1e6
    printf "ratio batch/single: %.2f\n", b / s
    printf "per-file overhead: %.2f ms (goal < 5 ms)\n", (b - s) / n / 1e6
}'

#!/bin/sh
# Parallel batches: 200 five-second WAV files converted to FLAC and to MP3 by `kernova --jobs 1`
# and `kernova --jobs N`, against the reference encoders run N at a time by `xargs -P N` and a
# shell loop of ffmpeg, at the same settings (FLAC level 5; MP3 VBR -V2 -q3). Each round runs
# every contender once, one after the other, so that a busy machine slows them alike; the
# printed ratios are the medians over the rounds. The outputs of --jobs N must be byte for
# byte those of --jobs 1. Last, a second --skip-existing run against the first.
#
# Usage: bench/bench_parallel.sh [build folder] [N]   (default: build, 2; BENCH_FILES=n for
#        fewer files; needs bin/kernova, the
#        core, bin/plugins/idtagger.so, the WAV, FLAC and MP3 plug-ins in it, and sox, flac, lame
#        and ffmpeg on the PATH)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/bench_common.sh"
FILES=${BENCH_FILES:-200}
SECONDS_EACH=5
ROUNDS=3
JOBS=${2:-2}

bench_start bench_parallel "${1:-$ROOT/build}" sox flac lame ffmpeg xargs
bench_need_plugins plugins/in/wave plugins/out/flac plugins/out/mp3
SCRATCH=$WORK
PROGRAM=$KERNOVA
IN=$SCRATCH/in
mkdir -p "$IN"

# Noise at a level and tone that change from file to file, so that no two encode alike.
i=0
while [ "$i" -lt "$FILES" ]; do
    sox -n -r 44100 -c 2 -b 16 "$IN/f$i.wav" synth "$SECONDS_EACH" pinknoise \
        sine $((200 + i * 7)) vol 0.$((2 + i % 6))
    i=$((i + 1))
done

now_ns() { date +%s%N; }

# Runs "$@" in the scratch folder after emptying `out`; prints the wall time in nanoseconds.
timed() {
    rm -rf "$SCRATCH/out"
    mkdir -p "$SCRATCH/out"
    start=$(now_ns)
    (cd "$SCRATCH" && "$@" >/dev/null 2>&1) || {
        echo "bench_parallel: $* failed" >&2
        exit 1
    }
    echo $(($(now_ns) - start))
}

count_outputs() {
    made=$(find "$SCRATCH/out" -name "*.$1" | wc -l)
    if [ "$made" -ne "$FILES" ]; then
        echo "bench_parallel: $2 wrote $made files, not $FILES" >&2
        exit 1
    fi
}

# One contender's command for a format ($1: flac or mp3) and a contender ($2).
contender() {
    case "$1:$2" in
    flac:xargs) echo "ls in | xargs -P $JOBS -I{} flac -s -f -5 -o out/{}.flac in/{}" ;;
    mp3:xargs) echo "ls in | xargs -P $JOBS -I{} lame --silent -V2 -q3 in/{} out/{}.mp3" ;;
    flac:ffmpeg) echo "for f in in/*.wav; do ffmpeg -nostdin -loglevel error -y -i \"\$f\" \
-compression_level 5 out/\${f#in/}.flac || exit 1; done" ;;
    mp3:ffmpeg) echo "for f in in/*.wav; do ffmpeg -nostdin -loglevel error -y -i \"\$f\" \
-codec:a libmp3lame -q:a 2 -compression_level 3 out/\${f#in/}.mp3 || exit 1; done" ;;
    esac
}

median() { sort -g | sed -n 2p; }

bench_format() {
    format=$1
    : >"$SCRATCH/ratios"
    round=0
    while [ "$round" -lt "$ROUNDS" ]; do
        one=$(timed "$PROGRAM" --jobs 1 -I "in/*.wav" -O "out/*.$format")
        count_outputs "$format" "--jobs 1"
        rm -rf "$SCRATCH/reference"
        mv "$SCRATCH/out" "$SCRATCH/reference"
        many=$(timed "$PROGRAM" --jobs "$JOBS" -I "in/*.wav" -O "out/*.$format")
        count_outputs "$format" "--jobs $JOBS"
        if ! diff -r "$SCRATCH/reference" "$SCRATCH/out" >/dev/null; then
            echo "bench_parallel: --jobs $JOBS wrote other $format files than --jobs 1" >&2
            exit 1
        fi
        xargs_ns=$(timed sh -c "$(contender "$format" xargs)")
        count_outputs "$format" "xargs -P $JOBS"
        ffmpeg_ns=$(timed sh -c "$(contender "$format" ffmpeg)")
        count_outputs "$format" "the ffmpeg loop"
        echo "$one $many $xargs_ns $ffmpeg_ns" >>"$SCRATCH/ratios"
        round=$((round + 1))
    done
    awk -v f="$format" -v n="$JOBS" '{ printf "%s round %d: --jobs 1 %.2f s, --jobs %d %.2f s, " \
        "xargs -P%d %.2f s, ffmpeg loop %.2f s\n", f, NR, $1 / 1e9, n, $2 / 1e9, n, $3 / 1e9, \
        $4 / 1e9 }' "$SCRATCH/ratios"
    r_one=$(awk '{ print $2 / $1 }' "$SCRATCH/ratios" | median)
    r_xargs=$(awk '{ print $2 / $3 }' "$SCRATCH/ratios" | median)
    r_ffmpeg=$(awk '{ print $2 / $4 }' "$SCRATCH/ratios" | median)
    awk -v f="$format" -v n="$JOBS" -v a="$r_one" -v b="$r_xargs" -v c="$r_ffmpeg" 'BEGIN {
        printf "%s: --jobs %d / --jobs 1: %.3f (goal <= 0.54)\n", f, n, a
        printf "%s: --jobs %d / xargs -P%d: %.3f (goal <= 1.05)\n", f, n, n, b
        printf "%s: --jobs %d / ffmpeg loop: %.3f\n", f, n, c
        printf "%s: outputs of --jobs %d byte-identical to --jobs 1\n", f, n
    }'
}

# A second --skip-existing run over finished outputs converts nothing: its time against the
# first run's (median of the rounds).
bench_skip() {
    : >"$SCRATCH/skips"
    round=0
    while [ "$round" -lt "$ROUNDS" ]; do
        first=$(timed "$PROGRAM" --jobs "$JOBS" --skip-existing -I "in/*.wav" -O "out/*.flac")
        start=$(now_ns)
        (cd "$SCRATCH" && "$PROGRAM" --jobs "$JOBS" --skip-existing -I "in/*.wav" \
            -O "out/*.flac" 2>&1 | grep -c "skipped, the output is newer" >"$SCRATCH/skipped")
        second=$(($(now_ns) - start))
        if [ "$(cat "$SCRATCH/skipped")" -ne "$FILES" ]; then
            echo "bench_parallel: the second --skip-existing run did not skip every file" >&2
            exit 1
        fi
        echo "$first $second" >>"$SCRATCH/skips"
        round=$((round + 1))
    done
    r_skip=$(awk '{ print $2 / $1 }' "$SCRATCH/skips" | median)
    awk -v r="$r_skip" 'BEGIN { printf "flac: second --skip-existing run / first: %.3f (goal < 0.05)\n", r }'
}

echo "$FILES files of $SECONDS_EACH s, $ROUNDS rounds, median ratios; load: $(uptime | sed 's/.*load/load/')"
bench_format flac
bench_format mp3
bench_skip

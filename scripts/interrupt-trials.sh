#!/bin/sh
# Interrupts `kernova --jobs 4` conversions to MP3 at random moments and checks what each run leaves:
# every file under an output name must be byte for byte the file that an uninterrupted run
# writes, no temporary output may be left, and no process of the program. Odd trials press
# Ctrl-C twice in a row (the second ends the workers at once, in the middle of their jobs); the
# others once (the current jobs stop, no new one starts).
#
# Usage: scripts/interrupt-trials.sh [build folder] [trials]   (default: build, 20; needs
#        bin/kernova with the WAV and MP3 plug-ins, and sox)
set -eu

BUILD=${1:-$(dirname "$0")/../build}
TRIALS=${2:-20}
PROGRAM=$(cd "$BUILD/bin" && pwd)/kernova
FILES=12

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/kernova-interrupt.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT INT TERM
mkdir -p "$SCRATCH/in"
i=1
while [ "$i" -le "$FILES" ]; do
    sox -n -r 44100 -c 2 -b 16 "$SCRATCH/in/s$i.wav" synth $((3 + i % 4)) pinknoise vol 0.3
    i=$((i + 1))
done
cd "$SCRATCH"

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Processes whose command line begins with the program's path: its own, workers included.
left_over() { pgrep -f "^$PROGRAM" | wc -l; }

start=$(now_ms)
"$PROGRAM" --jobs 4 -I 'in/*.wav' -O 'whole/*.mp3' >/dev/null 2>&1
run_ms=$(($(now_ms) - start))

failures=0
complete=0
stopped_early=0
temporary=0
trial=1
while [ "$trial" -le "$TRIALS" ]; do
    rm -rf out
    delay_ms=$(awk -v seed="$$$trial" -v most="$run_ms" 'BEGIN { srand(seed); print int(rand() * most) }')
    "$PROGRAM" --jobs 4 -I 'in/*.wav' -O 'out/*.mp3' >/dev/null 2>&1 &
    pid=$!
    sleep "$(awk -v ms="$delay_ms" 'BEGIN { print ms / 1000 }')"
    kill -INT "$pid" 2>/dev/null || true
    presses=1
    if [ $((trial % 2)) -eq 1 ]; then
        kill -INT "$pid" 2>/dev/null || true
        presses=2
    fi
    status=0
    wait "$pid" || status=$?
    leftover=$(left_over)
    bad=""
    made=0
    for file in out/*; do
        [ -e "$file" ] || continue
        case "$file" in
        *.kernova-partial-*)
            temporary=$((temporary + 1))
            bad="$bad $file(temporary file left)"
            continue
            ;;
        esac
        made=$((made + 1))
        cmp -s "$file" "whole/${file#out/}" || bad="$bad $file(differs)"
    done
    [ "$leftover" -eq 0 ] || bad="$bad $leftover-processes-left"
    [ "$made" -eq "$FILES" ] && complete=$((complete + 1)) || stopped_early=$((stopped_early + 1))
    if [ -n "$bad" ]; then
        failures=$((failures + 1))
        echo "trial $trial: Ctrl-C x$presses after $delay_ms ms, exit $status:$bad"
    else
        echo "trial $trial: Ctrl-C x$presses after $delay_ms ms, exit $status, $made of $FILES outputs, all whole"
    fi
    trial=$((trial + 1))
done
echo "$TRIALS trials (uninterrupted run $run_ms ms): $failures failed, $complete ran to the end," \
    "$stopped_early stopped early, $temporary temporary files left"
[ "$failures" -eq 0 ]

#!/bin/sh
# Soak test of the built program (build/ unless given): one run over 2,000 small files with its
# open descriptors and resident memory sampled, then interruptions at random moments of a
# multi-file run (SIGINT, a second SIGINT, SIGKILL), each followed by a check of every output
# and source. Prints the numbers; exits 1 when a check failed.
# scripts/soak.sh [build folder] [files] [interruptions]
set -e
cd "$(dirname "$0")/.."
BIN=$(cd "${1:-build}/bin" && pwd)
FILES=${2:-2000}
STOPS=${3:-100}
KERNOVA=$BIN/kernova
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A random number from 0 to $1 - 1.
random_below() {
    echo $(($(od -An -N4 -tu4 /dev/urandom) % $1))
}

# Both answer nothing once the process has gone, which may happen between any two samples.
descriptors() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }
resident_kb() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$1/status" 2>/dev/null || true; }

# Samples of the descriptors and resident memory of a running program, every 20 ms, one
# "<fds> <kB>" line each, until it ends.
sample_process() {
    while [ -d "/proc/$1" ]; do
        fds=$(descriptors "$1")
        rss=$(resident_kb "$1")
        [ -n "$rss" ] && echo "$fds $rss"
        sleep 0.02
    done
}

# 16-bit stereo frames in a FLAC file as flac decodes it; nothing when it does not decode.
flac_frames() {
    bytes=$(flac -s -d -c --force-raw-format --endian=little --sign=signed "$1" 2>/dev/null | wc -c)
    flac -s -t "$1" 2>/dev/null && echo $((bytes / 4))
}

# --- 2,000 files in one command ---------------------------------------------------------------
mkdir -p "$WORK/many/src"
sox -q -n -r 44100 -c 2 -b 16 "$WORK/tone.wav" synth 0.02 sine 440
i=0
while [ $i -lt "$FILES" ]; do
    cp "$WORK/tone.wav" "$WORK/many/src/f$i.wav"
    i=$((i + 1))
done
start=$(date +%s%N)
(cd "$WORK/many" && exec "$KERNOVA" -I "src/*.wav" -O "out/*.flac" >/dev/null 2>"$WORK/many.err") &
pid=$!
sample_process $pid >"$WORK/samples"
wait $pid && status=0 || status=$?
took_ms=$((($(date +%s%N) - start) / 1000000))
made=$(ls "$WORK/many/out" | grep -c '\.flac$' || true)
[ "$status" -eq 0 ] || fail "the run over $FILES files ended with $status: $(head -n 3 "$WORK/many.err")"
[ "$made" -eq "$FILES" ] || fail "$made of $FILES outputs"
awk -v files="$FILES" -v took="$took_ms" -v made="$made" '
    NR == 1 { fs = $1; rs = $2 }
    { if ($1 > fp) fp = $1; if ($2 > rp) rp = $2; fe = $1; re = $2 }
    END {
        printf "%d files -> %d flac in %.1f s, %d samples\n", files, made, took / 1000, NR
        printf "open descriptors: start %d, peak %d, end %d\n", fs, fp, fe
        printf "resident memory:  start %d kB, peak %d kB, end %d kB\n", rs, rp, re
    }' "$WORK/samples"
first=$(head -n 1 "$WORK/samples" | cut -d' ' -f1)
last=$(tail -n 1 "$WORK/samples" | cut -d' ' -f1)
[ "$last" -le $((first + 4)) ] || fail "descriptors grew from $first to $last"

# --- interruptions ----------------------------------------------------------------------------
RUN=$WORK/stops
mkdir -p "$RUN/src"
SOURCES=12
i=0
while [ $i -lt $SOURCES ]; do
    sox -q -n -r 44100 -c 2 -b 16 "$RUN/src/s$i.wav" synth "$((i % 4 + 6)).$i" sine $((200 + i * 50))
    i=$((i + 1))
done
(cd "$RUN/src" && md5sum *.wav) >"$WORK/sources.md5"
# Frames each source holds, which its output must decode to.
for f in "$RUN"/src/*.wav; do
    echo "$(basename "$f" .wav) $(soxi -s "$f")"
done >"$WORK/frames"

convert() { cd "$RUN" && exec "$KERNOVA" -I "src/*.wav" -O "out/*.flac" >/dev/null 2>&1; }

start=$(date +%s%N)
(convert) && status=0 || status=$?
whole_ms=$((($(date +%s%N) - start) / 1000000))
[ "$status" -eq 0 ] || fail "the uninterrupted run ended with $status"
rm -rf "$RUN/out"

kinds="int int int int2 kill"
complete=0
absent=0
partials=0
n=0
statuses=""
while [ $n -lt "$STOPS" ]; do
    kind=$(echo $kinds | cut -d' ' -f$((n % 5 + 1)))
    delay_ms=$(random_below $((whole_ms + 1)))
    # Every other run starts with no outputs; the others find the earlier ones, which a stopped
    # or killed run must leave as they were.
    [ $((n % 2)) -eq 1 ] || rm -rf "$RUN/out"
    (convert) &
    pid=$!
    sleep "$(awk -v ms="$delay_ms" 'BEGIN { printf "%.3f", ms / 1000 }')"
    case $kind in
    int) kill -INT $pid 2>/dev/null || true ;;
    int2) kill -INT $pid 2>/dev/null || true; sleep 0.01; kill -INT $pid 2>/dev/null || true ;;
    kill) kill -KILL $pid 2>/dev/null || true ;;
    esac
    wait $pid && status=0 || status=$?
    statuses="$statuses $kind:$status"
    # Every output name holds a complete file or nothing.
    while read -r name frames; do
        out=$RUN/out/$name.flac
        if [ ! -e "$out" ]; then
            absent=$((absent + 1))
        elif [ "$(flac_frames "$out")" = "$frames" ]; then
            complete=$((complete + 1))
        else
            fail "stop $n ($kind after $delay_ms ms): $name.flac is not complete"
        fi
    done <"$WORK/frames"
    (cd "$RUN/src" && md5sum -c --quiet "$WORK/sources.md5") >/dev/null 2>&1 ||
        fail "stop $n ($kind): a source changed"
    [ "$(ls "$RUN/src" | wc -l)" -eq $SOURCES ] || fail "stop $n ($kind): files added to src/"
    for f in $(ls "$RUN/out" 2>/dev/null); do
        case $f in
        *.kernova-partial-$pid.flac)
            partials=$((partials + 1))
            [ "$kind" != int ] || fail "stop $n ($kind after $delay_ms ms): $f left behind" ;;
        *.kernova-partial-*.flac) ;;
        s[0-9]*.flac) ;;
        *) fail "stop $n ($kind): an unknown file out/$f" ;;
        esac
    done
    n=$((n + 1))
done
left=$(ls "$RUN/out" | grep -c 'kernova-partial-' || true)

# The next run converts everything again and takes no temporary file as a source.
(convert) && status=0 || status=$?
[ "$status" -eq 0 ] || fail "the run after the stops ended with $status"
(cd "$RUN" && exec "$KERNOVA" -I "out/*.flac" -O "back/*.wav" >/dev/null 2>&1) || fail "decoding back failed"
back=$(ls "$RUN/back" | wc -l)
[ "$back" -eq $SOURCES ] || fail "$back files decoded back from out/ (a temporary file taken as a source?)"

echo "$STOPS interruptions of a $SOURCES-file run (${whole_ms} ms uninterrupted):" \
    "$(echo "$statuses" | tr ' ' '\n' | sort | uniq -c | awk 'NF == 2 {printf " %s x%d", $2, $1}')"
echo "outputs checked after the stops: $complete complete, $absent absent, 0 partial"
echo "temporary files left by killed runs: $partials, all named *.kernova-partial-*" \
    "($left still there at the end); the next run ignored them"
echo "failures: $failures"
[ $failures -eq 0 ]

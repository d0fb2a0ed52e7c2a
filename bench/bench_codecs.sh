#!/bin/sh
# Each codec path of kernova against the codec library's own command-line tool, on the same
# generated music-like file and with matching settings. Prints the wall-time ratios
# kernova / tool (best of 3 runs each); the goal is at most 1.05 for encodes, 1.15 for decodes.
# Usage: bench/bench_codecs.sh [build folder]
#   SECONDS_OF_AUDIO  length of the test file (default 600: ten minutes, 44.1 kHz stereo)
#   RUNS              runs per command, the best counts (default 3)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/bench_common.sh"
LENGTH=${SECONDS_OF_AUDIO:-600}
RUNS=${RUNS:-3}

bench_start bench_codecs "${1:-$ROOT/build}" sox flac lame oggenc opusenc mpg123
bench_make_music "$LENGTH"

# Best wall time of RUNS runs of a command, in seconds.
best_time() {
    best=""
    i=0
    while [ "$i" -lt "$RUNS" ]; do
        start=$(date +%s.%N)
        "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
        end=$(date +%s.%N)
        best=$(echo "$start $end ${best:-}" | awk '{t = $2 - $1; if ($3 != "" && $3 < t) t = $3; printf "%.3f", t}')
        i=$((i + 1))
    done
    echo "$best"
}

kernova() { "$KERNOVA" "$@"; }

# The decode inputs are written by the tools themselves, so both sides read the same file.
flac -5 -f -s -o ref.flac music.wav
lame -V2 --silent music.wav ref.mp3

printf '%-22s %-24s %9s %9s %7s %5s %s\n' path tool kernova_s tool_s ratio goal verdict
row() {
    name=$1 tool_name=$2 goal=$3 mine=$4 theirs=$5
    echo "$mine $theirs $goal" | awk -v n="$name" -v t="$tool_name" '{
        r = $1 / $2
        printf "%-22s %-24s %9.3f %9.3f %7.3f %5.2f %s\n", n, t, $1, $2, r, $3, (r <= $3 ? "ok" : "OVER")
    }'
}

row "WAV->FLAC l:5" "flac -5" 1.05 \
    "$(best_time kernova -I music.wav -O k.flac -ENC flac -ENCPARAM l:5)" \
    "$(best_time flac -5 -f -s -o t.flac music.wav)"
row "WAV->MP3 m:vbr v:2" "lame -V2" 1.05 \
    "$(best_time kernova -I music.wav -O k.mp3 -ENC mp3 -ENCPARAM m:vbr v:2)" \
    "$(best_time lame -V2 --silent music.wav t.mp3)"
row "WAV->Vorbis q:5" "oggenc -q5" 1.05 \
    "$(best_time kernova -I music.wav -O k.ogg -ENC vorbis -ENCPARAM q:5)" \
    "$(best_time oggenc -Q -q5 -o t.ogg music.wav)"
row "WAV->Opus b:128" "opusenc --bitrate 128" 1.05 \
    "$(best_time kernova -I music.wav -O k.opus -ENC opus -ENCPARAM b:128)" \
    "$(best_time opusenc --quiet --bitrate 128 music.wav t.opus)"
row "FLAC->WAV" "flac -d" 1.15 \
    "$(best_time kernova -I ref.flac -O kf.wav -ENC wave)" \
    "$(best_time flac -d -f -s -o tf.wav ref.flac)"
row "MP3->WAV" "mpg123 -w" 1.15 \
    "$(best_time kernova -I ref.mp3 -O km.wav -ENC wave)" \
    "$(best_time mpg123 -q -w tm.wav ref.mp3)"

#!/bin/sh
# The decode and encode paths of the formats that go through FFmpeg's libraries and libwavpack,
# each against the ffmpeg program on the same file. Prints the wall-time ratios kernova / ffmpeg
# (median of RUNS runs each); the goal is at most 1.10 for decodes (ffmpeg -i x -f wav), 1.05
# for encodes (ffmpeg -c:a <the same encoder>). The last rows compare the Ogg decoders: the
# ffmpeg decoder, which takes .ogg and .opus, against the vorbis and opus decoders (-DEC).
# Usage: bench/bench_formats.sh [build folder]
#   SECONDS_OF_AUDIO  length of the test file (default 300, 44.1 kHz stereo)
#   RUNS              runs per command, the median counts (default 5)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/bench_common.sh"
LENGTH=${SECONDS_OF_AUDIO:-300}
RUNS=${RUNS:-5}

bench_start bench_formats "${1:-$ROOT/build}" sox ffmpeg wavpack mpcenc
bench_make_music "$LENGTH"

# Median wall time of RUNS runs of a command, in seconds.
median_time() {
    i=0
    : >times.txt
    while [ "$i" -lt "$RUNS" ]; do
        start=$(date +%s.%N)
        "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
        end=$(date +%s.%N)
        echo "$start $end" | awk '{printf "%.4f\n", $2 - $1}' >>times.txt
        i=$((i + 1))
    done
    sort -n times.txt | awk '{t[NR] = $1} END {printf "%.3f", NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2}'
}

kernova() { "$KERNOVA" "$@"; }
ff() { ffmpeg -v error -nostdin -y "$@"; }

# The sources, written by other programs.
ff -i music.wav -c:a aac -b:a 192k -movflags +faststart aac.m4a
ff -i music.wav -c:a alac alac.m4a
ff -i music.wav -c:a wmav2 -b:a 192k a.wma
ff -i music.wav -c:a tta a.tta
ff -i music.wav -c:a flac a.mka
ff -i music.wav -c:a ac3 a.ac3
ff -i music.wav -c:a libopus a.webm
ff -i music.wav -c:a libvorbis -q:a 5 a.ogg
ff -i music.wav -c:a libopus -b:a 128k a.opus
ff -i music.wav -c:a pcm_f32le float.wav
ff -i music.wav -c:a pcm_alaw alaw.wav
wavpack -q -y music.wav -o a.wv
mpcenc --silent --quality 5 music.wav a.mpc

printf '%-22s %-28s %9s %9s %7s %5s %s\n' path against kernova_s other_s ratio goal verdict
row() {
    name=$1 other=$2 goal=$3 mine=$4 theirs=$5
    echo "$mine $theirs $goal" | awk -v n="$name" -v t="$other" '{
        r = $1 / $2
        printf "%-22s %-28s %9.3f %9.3f %7.3f %5.2f %s\n", n, t, $1, $2, r, $3, (r <= $3 ? "ok" : "OVER")
    }'
}

for source in aac.m4a alac.m4a a.wma a.tta a.mka a.ac3 a.webm a.wv a.mpc float.wav alaw.wav a.ogg a.opus; do
    row "$source->WAV" "ffmpeg -f wav" 1.10 \
        "$(median_time kernova -I "$source" -O k.wav -ENC wave)" \
        "$(median_time ff -i "$source" -f wav f.wav)"
done
row "WAV->AAC b:192" "ffmpeg -c:a aac -b:a 192k" 1.05 \
    "$(median_time kernova -I music.wav -O k.m4a -ENC aac -ENCPARAM b:192)" \
    "$(median_time ff -i music.wav -c:a aac -b:a 192k f.m4a)"
row "WAV->ALAC" "ffmpeg -c:a alac" 1.05 \
    "$(median_time kernova -I music.wav -O k.m4a -ENC alac)" \
    "$(median_time ff -i music.wav -c:a alac f.m4a)"
row "WAV->WavPack l:2" "wavpack (libwavpack)" 1.05 \
    "$(median_time kernova -I music.wav -O k.wv -ENC wavpack)" \
    "$(median_time wavpack -q -y music.wav -o f.wv)"
row "WAV->WavPack l:2" "ffmpeg -c:a wavpack" 1.05 \
    "$(median_time kernova -I music.wav -O k.wv -ENC wavpack)" \
    "$(median_time ff -i music.wav -c:a wavpack f.wv)"
row "Ogg Vorbis ffmpeg dec" "-DEC vorbis" 1.00 \
    "$(median_time kernova -I a.ogg -O k.wav -ENC wave)" \
    "$(median_time kernova -I a.ogg -O k.wav -ENC wave -DEC vorbis)"
row "Ogg Opus ffmpeg dec" "-DEC opus" 1.00 \
    "$(median_time kernova -I a.opus -O k.wav -ENC wave)" \
    "$(median_time kernova -I a.opus -O k.wav -ENC wave -DEC opus)"

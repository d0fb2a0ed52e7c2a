#!/bin/sh
# The decode and encode paths of the formats that go through FFmpeg's libraries and libwavpack,
# each against the ffmpeg program on the same file. Prints the CPU-time ratios kernova / ffmpeg
# (user + system time of the whole process tree, median of RUNS runs each): CPU time holds still
# on a loaded machine, where wall time does not. The goal is at most 1.10 for decodes
# (ffmpeg -i x -f wav), 1.05 for encodes (ffmpeg -c:a <the same encoder>). Each command also
# runs on a 0.1 s file of the same kind: "start" is that fixed cost of each program, "net" the
# ratio with both fixed costs taken off, which is what the path itself costs. The last rows
# compare the Ogg decoders: the ffmpeg decoder, which takes .ogg and .opus, against the vorbis
# and opus decoders (-DEC).
# Usage: bench/bench_formats.sh [build folder]
#   SECONDS_OF_AUDIO  length of the test file (default 300, 44.1 kHz stereo; at least 60, so
#                     that starting up does not dominate)
#   RUNS              runs per command, the median counts (default 3)
#   ROWS              an extended regular expression: only the rows whose name matches it
#   SOURCES           a folder with the "long" and "short" folders of sources of an earlier run,
#                     taken instead of making them again (compares two builds on the same files)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
KERNOVA=$BUILD/bin/kernova
LENGTH=${SECONDS_OF_AUDIO:-300}
RUNS=${RUNS:-3}
ROWS=${ROWS:-.}

for tool in sox ffmpeg wavpack mpcenc; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh)" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "missing GNU time (apt-get install time)" >&2; exit 2; }
[ -x "$KERNOVA" ] || { echo "no $KERNOVA: build first" >&2; exit 2; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

ff() { ffmpeg -v error -nostdin -y "$@"; }

# Pink noise that swells and fades under a slowly drifting chord, as in bench_codecs.sh, and the
# sources made from it by other programs, in the folder $1.
make_sources() {
    if [ -n "${SOURCES:-}" ]; then
        cp -r "$SOURCES/$1" "$1"
        return
    fi
    mkdir "$1"
    (
        cd "$1"
        sox -n -r 44100 -c 2 -b 16 noise.wav synth "$2" pinknoise tremolo 0.3 60 vol 0.25
        sox -n -r 44100 -c 2 -b 16 chord.wav synth "$2" sine 196-392 sine 330-247 tremolo 2 40 vol 0.3
        sox -D -m noise.wav chord.wav -r 44100 -c 2 -b 16 music.wav
        rm noise.wav chord.wav
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
        mpcenc --silent --quality 5 music.wav a.mpc 2>/dev/null
    )
}
make_sources long "$LENGTH"
make_sources short 0.1

# Median CPU time (user + system, children included) of RUNS runs of a command in the folder $1,
# in seconds. A failing command stops the whole script.
median_time() {
    folder=$1
    shift
    i=0
    : >times.txt
    while [ "$i" -lt "$RUNS" ]; do
        if ! (cd "$folder" && /usr/bin/time -f '%U %S' -o ../cpu.txt "$@" >/dev/null 2>&1); then
            echo "failed in $folder: $*" >&2
            kill "$$"
        fi
        tail -n 1 cpu.txt | awk '{printf "%.4f\n", $1 + $2}' >>times.txt
        i=$((i + 1))
    done
    sort -n times.txt | awk '{t[NR] = $1} END {printf "%.3f", NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2}'
}

# The long file's time and the short file's.
measure() {
    printf '%s %s' "$(median_time long "$@")" "$(median_time short "$@")"
}

printf '%-22s %-26s %8s %8s %7s %7s %6s %6s %5s %s\n' path against kernova other start \
    o_start ratio net goal verdict
wanted() { echo "$1" | grep -Eq -- "$ROWS"; }
row() {
    name=$1 other=$2 goal=$3 mine=$4 theirs=$5
    echo "$mine $theirs $goal" | awk -v n="$name" -v t="$other" '{
        r = $1 / $3
        net = ($3 - $4 > 0) ? ($1 - $2) / ($3 - $4) : 0
        printf "%-22s %-26s %8.3f %8.3f %7.3f %7.3f %6.3f %6.3f %5.2f %s\n", n, t, $1, $3, $2, $4,
            r, net, $5, (r <= $5 ? "ok" : "OVER")
    }'
}

FF="ffmpeg -v error -nostdin -y"
for source in aac.m4a alac.m4a a.wma a.tta a.mka a.ac3 a.webm a.wv a.mpc float.wav alaw.wav a.ogg a.opus; do
    wanted "$source->WAV" || continue
    row "$source->WAV" "ffmpeg -f wav" 1.10 \
        "$(measure "$KERNOVA" -I "$source" -O k.wav -ENC wave)" \
        "$(measure $FF -i "$source" -f wav f.wav)"
done
if wanted "WAV->AAC"; then
    row "WAV->AAC b:192" "ffmpeg -c:a aac -b:a 192k" 1.05 \
        "$(measure "$KERNOVA" -I music.wav -O k.m4a -ENC aac -ENCPARAM b:192)" \
        "$(measure $FF -i music.wav -c:a aac -b:a 192k f.m4a)"
fi
if wanted "WAV->ALAC"; then
    row "WAV->ALAC" "ffmpeg -c:a alac" 1.05 \
        "$(measure "$KERNOVA" -I music.wav -O k.m4a -ENC alac)" \
        "$(measure $FF -i music.wav -c:a alac f.m4a)"
fi
if wanted "WAV->WavPack"; then
    row "WAV->WavPack l:2" "wavpack (libwavpack)" 1.05 \
        "$(measure "$KERNOVA" -I music.wav -O k.wv -ENC wavpack)" \
        "$(measure wavpack -q -y music.wav -o f.wv)"
    row "WAV->WavPack l:2" "ffmpeg -c:a wavpack" 1.05 \
        "$(measure "$KERNOVA" -I music.wav -O k.wv -ENC wavpack)" \
        "$(measure $FF -i music.wav -c:a wavpack f.wv)"
fi
if wanted "Ogg Vorbis"; then
    row "Ogg Vorbis ffmpeg dec" "-DEC vorbis" 1.00 \
        "$(measure "$KERNOVA" -I a.ogg -O k.wav -ENC wave)" \
        "$(measure "$KERNOVA" -I a.ogg -O k.wav -ENC wave -DEC vorbis)"
fi
if wanted "Ogg Opus"; then
    row "Ogg Opus ffmpeg dec" "-DEC opus" 1.00 \
        "$(measure "$KERNOVA" -I a.opus -O k.wav -ENC wave)" \
        "$(measure "$KERNOVA" -I a.opus -O k.wav -ENC wave -DEC opus)"
fi

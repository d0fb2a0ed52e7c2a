#!/bin/sh
# The main job: makes two short WAV files in "demo/my folder" and converts them to FLAC and to
# MP3 with the console program, then checks the FLAC files decode back to the same samples.
# Run after scripts/install-deps.sh and scripts/build.sh.
set -e
cd "$(dirname "$0")/.."
PROGRAM=build/bin/kernova
SOURCES="demo/my folder"

rm -rf demo
mkdir -p "$SOURCES"
sox -n -r 44100 -c 2 -b 16 "$SOURCES/tone a.wav" synth 3 sine 440 sine 660 gain -6
sox -n -r 48000 -c 2 -b 24 "$SOURCES/tone b.wav" synth 3 pluck C4 gain -6

echo "== $PROGRAM -LISTENC"
"$PROGRAM" -LISTENC
echo "== $PROGRAM -I \"$SOURCES/*.wav\" -O demo/flac/*.flac"
"$PROGRAM" -I "$SOURCES/*.wav" -O "demo/flac/*.flac"
echo "== $PROGRAM -I \"$SOURCES/*.wav\" -O demo/mp3/*.mp3 -ENCPARAM \"m:vbr v:2\""
"$PROGRAM" -I "$SOURCES/*.wav" -O "demo/mp3/*.mp3" -ENCPARAM "m:vbr v:2"

for name in "tone a" "tone b"; do
    bits=$(sox --i -b "$SOURCES/$name.wav")
    sox "$SOURCES/$name.wav" -t raw "demo/$name.source.raw"
    ffmpeg -v error -y -i "demo/flac/$name.flac" -f "s${bits}le" "demo/$name.flac.raw"
    if cmp -s "demo/$name.source.raw" "demo/$name.flac.raw"; then
        echo "demo/flac/$name.flac: samples identical to the source"
    else
        echo "demo/flac/$name.flac: samples differ from the source" >&2
        exit 1
    fi
done
ls -l demo/flac demo/mp3

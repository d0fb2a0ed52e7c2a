#!/bin/sh
# Makes two short WAV files in "demo/my folder" and runs the console program on them.
# Run from anywhere after scripts/build.sh; the program is build/bin/kernova.
set -e
cd "$(dirname "$0")/.."
PROGRAM=build/bin/kernova
SOURCES="demo/my folder"

# Prints the bytes of a 16- or 32-bit little-endian number.
le() {
    value=$1
    bytes=$2
    while [ "$bytes" -gt 0 ]; do
        printf "\\$(printf %03o $((value % 256)))"
        value=$((value / 256))
        bytes=$((bytes - 1))
    done
}

# A 16-bit stereo 44.1 kHz WAV of one second: a sine when sox or python3 is at hand, else silence.
make_wav() {
    file=$1
    frequency=$2
    if command -v sox >/dev/null 2>&1; then
        sox -n -r 44100 -c 2 -b 16 "$file" synth 1 sine "$frequency"
    elif command -v python3 >/dev/null 2>&1; then
        python3 - "$file" "$frequency" <<'EOF'
import math, struct, sys, wave
with wave.open(sys.argv[1], "wb") as out:
    out.setnchannels(2)
    out.setsampwidth(2)
    out.setframerate(44100)
    frames = b"".join(
        struct.pack("<hh", v, v)
        for v in (int(12000 * math.sin(2 * math.pi * float(sys.argv[2]) * i / 44100))
                  for i in range(44100)))
    out.writeframes(frames)
EOF
    else
        data=$((44100 * 4))
        {
            printf 'RIFF'; le $((36 + data)) 4; printf 'WAVEfmt '
            le 16 4; le 1 2; le 2 2; le 44100 4; le $((44100 * 4)) 4; le 4 2; le 16 2
            printf 'data'; le "$data" 4
            head -c "$data" /dev/zero
        } >"$file"
    fi
}

if [ ! -x "$PROGRAM" ]; then
    echo "demo: $PROGRAM is missing; run sh scripts/build.sh first" >&2
    exit 2
fi

echo "demo: making two WAV files in \"$SOURCES\""
mkdir -p "$SOURCES" demo/out
make_wav "$SOURCES/a440.wav" 440
make_wav "$SOURCES/a880.wav" 880

echo "demo: $PROGRAM -I \"$SOURCES/*.wav\" -O 'demo/out/*.wav' -DEBUG"
status=0
"$PROGRAM" -I "$SOURCES/*.wav" -O 'demo/out/*.wav' -DEBUG || status=$?
echo "demo: kernova exited with status $status"
exit "$status"

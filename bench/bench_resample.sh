#!/bin/sh
# kernova's format stage (WAV to WAV through the wave encoder) against `sox ... rate -v` and
# `ffmpeg -af aresample=resampler=soxr` on the same conversions:
#   96 kHz/24-bit stereo -> 44.1 kHz/16-bit stereo
#   48 kHz/24-bit 5.1    -> 44.1 kHz/16-bit stereo (the tools down-mix with the same matrix)
# Speed is counted in instructions with callgrind, which a busy shared machine does not skew;
# the ratio is kernova / tool (goal: at most 1.2 against sox). Quality is measured on the
# outputs of a tone file: level of a 1 kHz tone (dB), residual without it (dBFS RMS) and the
# alias of a tone above the new Nyquist (dB below its source level).
# Usage: bench/bench_resample.sh [build folder]   (SECONDS_OF_AUDIO, default 10)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/bench_common.sh"
LENGTH=${SECONDS_OF_AUDIO:-10}

bench_start bench_resample "${1:-$ROOT/build}" sox ffmpeg valgrind awk

# Instructions of one command (all its processes), in millions.
instructions() {
    valgrind --tool=callgrind --trace-children=yes --callgrind-out-file="$WORK/cg.%p" "$@" \
        >/dev/null 2>"$WORK/cg.log" || { echo "failed: $*" >&2; cat "$WORK/cg.log" >&2; exit 1; }
    total=$(grep -h '^summary:' "$WORK"/cg.* | awk '{s += $2} END {printf "%.0f", s / 1e6}')
    rm -f "$WORK"/cg.*
    echo "$total"
}

# Sources: music-like noise under a chord, so that no side gets an easy signal.
sox -n -r 96000 -c 2 -b 24 hires.wav synth "$LENGTH" pinknoise sine 440 vol 0.3
sox -n -r 48000 -c 6 -b 24 surround.wav synth "$LENGTH" pinknoise pinknoise sine 300 \
    sine 60 pinknoise pinknoise vol 0.3

# sox's remix with the same coefficients as the stage: L = FL + .707 C + .707 BL, R likewise.
SOX_DOWNMIX="remix 1v1,3v0.7071,5v0.7071 2v1,3v0.7071,6v0.7071"
FF_DOWNMIX="pan=stereo|c0=c0+0.7071*c2+0.7071*c4|c1=c1+0.7071*c2+0.7071*c5"

echo "== speed (million instructions; ratio kernova / tool) =="
for name in hires surround; do
    if [ "$name" = hires ]; then
        sox_args=""
        ff_args="aresample=resampler=soxr:precision=28:dither_method=triangular:osr=44100"
    else
        sox_args=$SOX_DOWNMIX
        ff_args="$FF_DOWNMIX,aresample=resampler=soxr:precision=28:dither_method=triangular:osr=44100"
    fi
    k=$(instructions "$KERNOVA" -I "$name.wav" -O k.wav -ENCPARAM f:44100 b:16 c:2)
    # shellcheck disable=SC2086
    s=$(instructions sox "$name.wav" -b 16 s.wav $sox_args rate -v 44100)
    f=$(instructions ffmpeg -v error -nostdin -y -i "$name.wav" -af "$ff_args" -c:a pcm_s16le f.wav)
    echo "$name: kernova $k  sox $s  ffmpeg $f" | awk -v k="$k" -v s="$s" -v f="$f" \
        '{printf "%s  kernova/sox %.2f  kernova/ffmpeg %.2f\n", $0, k / s, k / f}'
done

# Quality: 1 kHz at -6 dBFS on the left, 30 kHz (alias at 14.1 kHz) on the right.
# (sox's synth makes the clean 1 kHz tone, ffmpeg's sine source the 30 kHz one.)
sox -n -r 96000 -c 1 -b 24 left.wav synth 4 sine 1000 vol 0.5
ffmpeg -v error -nostdin -y -f lavfi -i sine=frequency=30000:sample_rate=96000:duration=4 \
    -af volume=4 -c:a pcm_s24le right.wav
sox -M left.wav right.wav -b 24 tones.wav
"$KERNOVA" -I tones.wav -O tk.wav -ENCPARAM f:44100 b:16 >/dev/null
sox tones.wav -b 16 ts.wav rate -v 44100
ffmpeg -v error -nostdin -y -i tones.wav \
    -af aresample=resampler=soxr:precision=28:dither_method=triangular:osr=44100 -c:a pcm_s16le tf.wav

# Level (dBFS of a sine's amplitude) of `frequency` in one channel over the second second, and
# the residual once that tone is taken out.
measure() {
    sox "$1" -t f32 -c 1 - remix "$2" | od -An -v -f -w4 | awk -v f="$3" -v r=44100 '
        NR > r && NR <= 2 * r { x[n++] = $1 }
        END {
            pi = atan2(0, -1)
            for (i = 0; i < n; i++) { p = 2 * pi * f * i / r; c += x[i] * cos(p); s += x[i] * sin(p) }
            c *= 2 / n; s *= 2 / n
            for (i = 0; i < n; i++) { p = 2 * pi * f * i / r; d = x[i] - c * cos(p) - s * sin(p); e += d * d }
            printf "%.3f %.1f", 20 * log(sqrt(c * c + s * s)) / log(10), 10 * log(2 * e / n + 1e-30) / log(10)
        }'
}

echo "== quality, 96 kHz/24-bit -> 44.1 kHz/16-bit =="
for pair in kernova:tk.wav sox:ts.wav ffmpeg:tf.wav; do
    set -- $(measure "${pair#*:}" 1 1000) $(measure "${pair#*:}" 2 14100)
    echo "${pair%%:*}: 1 kHz $1 dBFS (source -6.021), residual $2 dBFS, 30 kHz alias $3 dBFS ($(echo "$3" | awk '{printf "%.1f", $1 + 6.021}') dB)"
done

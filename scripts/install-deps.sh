#!/bin/sh
# Installs what building and testing Kernova needs on a Debian machine (run as root or with sudo).
set -e
PACKAGES="cmake g++ make pkg-config libgtest-dev libgmock-dev sox ffmpeg libtag1-dev id3v2 eyed3 flac vorbis-tools"
# The decoder plug-ins' libraries, and the encoders that their tests make files with.
PACKAGES="$PACKAGES libflac-dev libmpg123-dev libvorbis-dev libopusfile-dev libsndfile1-dev lame opus-tools"
# The encoder plug-ins' libraries; their tests read the files back with flac, ffmpeg and ffprobe.
PACKAGES="$PACKAGES libmp3lame-dev libogg-dev libopus-dev libopusenc-dev"
# The encoders' format stage resamples with libsoxr.
PACKAGES="$PACKAGES libsoxr-dev"
# The playback output plays through the sound server; its tests run one with a null sink.
PACKAGES="$PACKAGES libpulse-dev pulseaudio pulseaudio-utils"
# scripts/fuzz.sh builds the fuzz targets with clang's libFuzzer.
PACKAGES="$PACKAGES clang"
# The command-line tools that bench/bench_codecs.sh measures the codec paths against.
PACKAGES="$PACKAGES mpg123"
# The FFmpeg decoder and the AAC/ALAC encoders (libavformat, libavcodec, libswresample), the
# WavPack encoder; their tests make files with wavpack and mpcenc and read tags with mutagen.
PACKAGES="$PACKAGES libavformat-dev libavcodec-dev libswresample-dev libavutil-dev libwavpack-dev"
PACKAGES="$PACKAGES wavpack musepack-tools python3-mutagen"
# GNU parallel runs the parts of a split batch in the test of the scale-out form.
PACKAGES="$PACKAGES parallel"
# bench/bench_resample.sh counts instructions with callgrind.
PACKAGES="$PACKAGES valgrind"
missing=""
for p in $PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi

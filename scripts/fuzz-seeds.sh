#!/bin/sh
# Writes the seed corpora of the fuzz targets into <folder>/<target>/: small real files made by
# the ordinary codec tools, and command lines and batch lines of every kind the core runs.
# scripts/fuzz-seeds.sh <folder>
set -e
OUT=${1:?usage: fuzz-seeds.sh folder}
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
for t in fuzz_command fuzz_batch fuzz_decoder_wave fuzz_decoder_flac fuzz_decoder_mp3 \
         fuzz_decoder_vorbis fuzz_decoder_opus fuzz_decoder_sndfile fuzz_wave_header fuzz_tags \
         fuzz_setid; do
    mkdir -p "$OUT/$t"
done

# Short tones in the formats the decoders take (a fraction of a second keeps each run fast).
tone() { sox -q -n "$@" synth 0.05 sine 440; }
tone -r 8000 -c 1 -b 8 -e unsigned "$TMP/u8.wav"
tone -r 44100 -c 2 -b 16 "$TMP/s16.wav"
tone -r 48000 -c 6 -b 24 "$TMP/ext24.wav"
tone -r 22050 -c 1 -b 32 "$TMP/s32.wav"
tone -r 24000 -c 1 -b 16 "$TMP/r24k.wav"
ffmpeg -loglevel error -f lavfi -i "sine=d=0.05" -rf64 always "$TMP/rf64.wav"
tone -r 44100 -c 2 -b 16 "$TMP/s16.aiff"
tone -r 16000 -c 1 -b 16 "$TMP/s16.caf"
for f in u8 s16 ext24 s32 r24k rf64; do cp "$TMP/$f.wav" "$OUT/fuzz_decoder_wave/$f"; done
for f in u8 s16 ext24 s32 rf64; do head -c 200 "$TMP/$f.wav" >"$OUT/fuzz_wave_header/$f"; done
cp "$TMP/s16.aiff" "$OUT/fuzz_decoder_sndfile/aiff"
cp "$TMP/s16.caf" "$OUT/fuzz_decoder_sndfile/caf"

flac -s -f -T TITLE=seed -o "$TMP/a.flac" "$TMP/s16.wav"
flac -s -f -o "$TMP/b.flac" "$TMP/ext24.wav" 2>/dev/null
lame --silent -b 32 --tt seed --ta artist "$TMP/s16.wav" "$TMP/a.mp3"
lame --silent -V 9 --nohist "$TMP/r24k.wav" "$TMP/b.mp3"
oggenc -Q -q 0 -t seed -o "$TMP/a.ogg" "$TMP/s16.wav"
opusenc --quiet --bitrate 16 --title seed "$TMP/s16.wav" "$TMP/a.opus"
opusenc --quiet --bitrate 32 "$TMP/ext24.wav" "$TMP/b.opus" 2>/dev/null
cp "$TMP/a.flac" "$TMP/b.flac" "$OUT/fuzz_decoder_flac/"
cp "$TMP/a.mp3" "$TMP/b.mp3" "$OUT/fuzz_decoder_mp3/"
cp "$TMP/a.ogg" "$OUT/fuzz_decoder_vorbis/"
cp "$TMP/a.opus" "$TMP/b.opus" "$OUT/fuzz_decoder_opus/"

# The tag target's first byte picks the extension: mp3 wav aiff flac ogg opus.
seed_tags() { { printf "\\$1"; cat "$2"; } >"$OUT/fuzz_tags/$(basename "$2")"; }
ffmpeg -loglevel error -i "$TMP/s16.wav" -metadata title=seed -write_id3v2 1 "$TMP/t.wav"
ffmpeg -loglevel error -i "$TMP/s16.aiff" -metadata title=seed -write_id3v2 1 "$TMP/t.aiff"
seed_tags 000 "$TMP/a.mp3"
seed_tags 001 "$TMP/t.wav"
seed_tags 002 "$TMP/t.aiff"
seed_tags 003 "$TMP/a.flac"
seed_tags 004 "$TMP/a.ogg"
seed_tags 005 "$TMP/a.opus"

# Texts: one seed per line (the fake plug-ins take .pcm sources and write .enc outputs).
lines() { n=0; while IFS= read -r line; do n=$((n + 1)); printf '%s' "$line" >"$OUT/$1/$n"; done; }
lines fuzz_command <<'LINES'
-I a.pcm -O o.enc -ENC pcm_encoder
-I a.pcm -O o.enc
|-I| |a.pcm| |-O| |out/o.enc| |-ENC| |pcm_encoder| |-ENCPARAM| |q:1|
-I *.pcm -O out/*.enc -RECURSIVE copy -OVERWRITE
-I d/ -O out/ -RECURSIVE
-I a.pcm -O o.enc -DELSOURCE -FIXFREQ 22050 -CPU 1
-I a.pcm -O o.enc -DEC pcm_decoder -DECPARAM x -PREVIEW 1
-I a.pcm -SHOWID
-I a.pcm -SETID |idv2: TITL=Title AUTH=Artist|
-I a.pcm -SETID |SAFEidv1|idv2: TITL=x|
-I a.pcm -O o.enc -COPYID
-CREATEBATCH b.xfb -I *.pcm -O o/*.enc
-BATCH t
-BATCH *.xfb
-LISTENC
-LISTDEC -DEBUG
-HELP
-HELP CPU
-HELPENC pcm_encoder
-I a.pcm -O x -ENC pcm_encoder -TESTENC
-I a.pcm -PLAY
-WINAMP d -I a.pcm -O o.enc
-I a.pcm -O o.enc -STREAM -RESUME
LINES
lines fuzz_batch <<'LINES'
|-I| |a.pcm| |-O| |o.enc| |-ENC| |pcm_encoder| 
-I a.pcm -O o.enc\n\n-I b.pcm -O p.enc -COPYID\n
|-I| |a.pcm| |-SHOWID| \r\n|-I| |b.pcm| |-SETID| |idv1: TITL=x| \r\n
-BATCH t\n-LISTENC\n-HELP CPU
LINES
for f in "$OUT"/fuzz_batch/*; do printf '%b' "$(cat "$f")" >"$f.tmp" && mv "$f.tmp" "$f"; done
lines fuzz_setid <<'LINES'
idv1: TITL=Title AUTH=Artist
idv2: TITL=A title with blanks ALBM=Album YEAR=2024 TRCK=3
idv1|idv2: COMT= GENR=Rock
id: ORIG=Someone URLC=http://x
idv2:TITL=x TITL=y
LINES

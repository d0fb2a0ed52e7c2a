# The start that the benchmark scripts share; each sources this file after `set -eu`.
# bench_start NAME BUILD TOOL...: checks that the tools are on the PATH and that BUILD holds
# the program, then sets BUILD (absolute), KERNOVA (the program) and
# WORK (a scratch folder, removed when the script ends) and enters WORK.

bench_start() {
    name=$1
    given=$2
    shift 2
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 ||
            { echo "$name: $tool is not installed (scripts/install-deps.sh)" >&2; exit 2; }
    done
    BUILD=$(cd "$given" 2>/dev/null && pwd) || { echo "$name: no build folder $given" >&2; exit 2; }
    KERNOVA=$BUILD/bin/kernova
    [ -x "$KERNOVA" ] || { echo "$name: no $KERNOVA: build first" >&2; exit 2; }
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/kernova-$name.XXXXXX")
    trap 'rm -rf "$WORK"' EXIT INT TERM
    cd "$WORK"
}

# Stops unless each of the named plug-ins (paths below bin/, without the suffix) is built.
bench_need_plugins() {
    for plugin in "$@"; do
        [ -e "$BUILD/bin/$plugin.so" ] ||
            { echo "$name: $BUILD/bin/$plugin.so is missing: build it first" >&2; exit 2; }
    done
}

# music.wav, SECONDS long at 44.1 kHz/16-bit stereo: pink noise that swells and fades under a
# slowly drifting chord. No silence, no long runs of equal samples, a spectrum like music's,
# so that neither side of a comparison gets an easy file.
bench_make_music() { # SECONDS
    sox -n -r 44100 -c 2 -b 16 noise.wav synth "$1" pinknoise tremolo 0.3 60 vol 0.25
    sox -n -r 44100 -c 2 -b 16 chord.wav synth "$1" sine 196-392 sine 330-247 tremolo 2 40 vol 0.3
    sox -D -m noise.wav chord.wav -r 44100 -c 2 -b 16 music.wav
    rm noise.wav chord.wav
}

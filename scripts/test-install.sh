#!/bin/sh
# Installs the build twice, with `cmake --install` into a read-only folder and as the Debian
# package made by `cpack -G DEB`, and uses each as a user who may not write to it: a
# conversion, -LISTENC, -CREATEBATCH and -BATCH must work and nothing may be written into the
# install. Run as root (it creates the user kernova-test and installs and removes the package):
#   sh scripts/test-install.sh [build folder]
set -e
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build}" && pwd)
USER_NAME=kernova-test
TMP=$(mktemp -d /tmp/kernova-install.XXXXXX)
chmod 755 "$TMP"
trap 'rm -rf "$TMP"' EXIT

fail() {
    echo "test-install: $*" >&2
    exit 1
}

id "$USER_NAME" >/dev/null 2>&1 || useradd -m "$USER_NAME"
HOME_DIR=$(getent passwd "$USER_NAME" | cut -d: -f6)

# dpkg is shared with other work on this machine: wait while its lock is held.
with_dpkg() {
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ "$tries" -lt 30 ] || fail "dpkg stays busy: $*"
        sleep 5
    done
}

as_user() {
    runuser -u "$USER_NAME" -- env HOME="$HOME_DIR" XDG_STATE_HOME= sh -c "$1"
}

# Runs the checks with the program $1 in a fresh folder of the user.
check_program() {
    program=$1
    app=$2
    before=$(find "$app" -exec stat -c '%n %s %Y' {} + | sort)
    work="$HOME_DIR/work"
    rm -rf "$work" "$HOME_DIR/.local/state/kernova"
    as_user "mkdir -p '$work/in/sub' '$work/b'"
    as_user "cd '$work' && sox -n -r 44100 -c 2 -b 16 in/a.wav synth 0.5 sine 440 &&
             cp in/a.wav in/sub/c.wav"
    as_user "cd /tmp && '$program' -LISTENC" >"$TMP/list.txt" || fail "$program -LISTENC failed"
    grep -q flac "$TMP/list.txt" || fail "$program -LISTENC lists no flac encoder"
    as_user "cd '$work' && '$program' -I in/a.wav -O out/a.flac -ENC FLAC" >/dev/null 2>&1 ||
        fail "$program: the conversion failed"
    as_user "flac -t -s '$work/out/a.flac'" || fail "$program: out/a.flac is no valid FLAC file"
    # The MPEG-4 encoder and the FFmpeg decoder load the FFmpeg library of the install.
    as_user "cd '$work' && '$program' -I in/a.wav -O out/a.m4a -ENC alac &&
             '$program' -I out/a.m4a -O out/back.wav" >/dev/null 2>&1 ||
        fail "$program: the conversion to and from ALAC failed"
    cmp -s "$work/in/a.wav" "$work/out/back.wav" ||
        [ "$(sox "$work/in/a.wav" -t s16 - | md5sum)" = "$(sox "$work/out/back.wav" -t s16 - | md5sum)" ] ||
        fail "$program: ALAC did not give back the WAV's samples"
    as_user "cd '$work' && '$program' -I 'in/*' -O 'out2/*.flac' -RECURSIVE copy \
             -CREATEBATCH b/job1 && '$program' -BATCH b/job1" >/dev/null 2>&1 ||
        fail "$program: -CREATEBATCH b/job1, then -BATCH b/job1 failed"
    as_user "flac -t -s '$work/out2/a.flac' '$work/out2/sub/c.flac'" ||
        fail "$program: the batch jobs wrote no valid FLAC files"
    [ -f "$HOME_DIR/.local/state/kernova/temp.dat" ] ||
        fail "$program: the job file is not in ~/.local/state/kernova"
    after=$(find "$app" -exec stat -c '%n %s %Y' {} + | sort)
    [ "$before" = "$after" ] || fail "$program: something was written into $app"
    echo "test-install: $program works for $USER_NAME"
}

cmake --install "$BUILD" --prefix "$TMP/prefix" >/dev/null
chmod -R a-w "$TMP/prefix"
check_program "$TMP/prefix/bin/kernova" "$TMP/prefix"
[ -f "$TMP/prefix/share/man/man1/kernova.1" ] || fail "no man page installed"
chmod -R u+w "$TMP/prefix"

(cd "$BUILD" && cpack -G DEB -B "$TMP/deb" >/dev/null)
deb=$(ls "$TMP"/deb/kernova_*.deb)
with_dpkg dpkg -i "$deb" >/dev/null
check_program /usr/bin/kernova /usr/lib/kernova
man -w kernova >/dev/null 2>&1 || [ -f /usr/share/man/man1/kernova.1 ] || fail "no man page in the package"
with_dpkg dpkg -P kernova >/dev/null
echo "test-install: all passed"

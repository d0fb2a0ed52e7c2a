#!/bin/sh
# Runs a private sound server for the playback tests: no hardware, one null sink of the given
# name (none when it is empty) whose monitor the tests record, reachable only at
# <folder>/native. Runs in the foreground, so the caller stops it by its process id. As root the
# server warns but runs without --system.
# Usage: pulse_server.sh <folder> <sink name>
set -e
dir=$1
sink=${2:-}
mkdir -p "$dir/runtime" "$dir/home"
chmod 700 "$dir/runtime"
export XDG_RUNTIME_DIR="$dir/runtime" HOME="$dir/home"
unset PULSE_SERVER DBUS_SESSION_BUS_ADDRESS DISPLAY
set -- --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/native"
if [ -n "$sink" ]; then
    set -- "$@" --load="module-null-sink sink_name=$sink rate=44100 channels=2 format=s16le"
fi
exec pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n --use-pid-file=no "$@" \
    --log-target=stderr

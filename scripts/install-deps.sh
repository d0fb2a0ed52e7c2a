#!/bin/sh
# Installs what building and testing Kernova needs on a Debian machine (run as root or with sudo).
set -e
PACKAGES="cmake g++ make libgtest-dev libgmock-dev sox ffmpeg"
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

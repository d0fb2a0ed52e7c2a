#!/bin/sh
# Sets up the Windows cross build and Wine on a Debian machine, from nothing (run as root or
# with sudo): the mingw-w64 compilers, 64- and 32-bit Wine, a route for 32-bit programs where
# the kernel runs no 32-bit code, and a Wine prefix with the null graphics driver so that the
# hidden window works without a display. Prints the prefix to use.
set -e
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

missing_packages() {
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || printf ' %s' "$p"
    done
}

missing=$(missing_packages g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 qemu-user-static)
if [ -n "$missing" ]; then
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing >/dev/null
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    $SUDO apt-get update -qq
fi
missing=$(missing_packages wine32:i386 wine32-preloader:i386)
if [ -n "$missing" ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing >/dev/null
fi

# Where the kernel runs no 32-bit x86 code, 32-bit programs go through qemu. The entry does
# not survive a reboot, so it is made again when missing.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    BINFMT=/proc/sys/fs/binfmt_misc
    [ -f $BINFMT/register ] || $SUDO mount -t binfmt_misc binfmt_misc $BINFMT || true
    if [ -f $BINFMT/register ] && [ ! -e $BINFMT/kernova-i386 ]; then
        printf '%s' ':kernova-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
            $SUDO tee $BINFMT/register >/dev/null || true
    fi
    /usr/lib/wine/wine --version >/dev/null 2>&1 ||
        echo "setup-wine: this machine cannot run 32-bit programs (no binfmt_misc): the 32-bit tests cannot run" >&2
fi

# A 64-bit prefix: 32-bit programs run in it through WoW64, so that only they are emulated.
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-kernova}"
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wine wineboot -i >/dev/null 2>&1 || true
fi
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -k || true
echo "$WINEPREFIX"

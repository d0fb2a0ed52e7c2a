#!/bin/sh
# Builds the Windows programs with the mingw-w64 cross compilers: build-win32/ (32-bit, the
# product) and build-win64/ (64-bit). scripts/setup-wine.sh installs the compilers.
set -e
cd "$(dirname "$0")/.."
# libsoxr first: it is quick, and its fetch sets up the source lines for apt that the others
# then share; TagLib builds beside the codec libraries.
sh scripts/build-windows-soxr.sh
sh scripts/build-windows-taglib.sh &
taglib=$!
sh scripts/build-windows-codecs.sh
wait $taglib
# The DLLs every Windows system has; a shipped plug-in or program that imports anything else (a
# codec library left dynamic, the compilers' runtime DLLs) would not start on a user's machine.
SYSTEM_DLLS="kernel32.dll user32.dll gdi32.dll msvcrt.dll advapi32.dll shlwapi.dll shell32.dll ole32.dll
dsound.dll winmm.dll msacm32.dll ws2_32.dll"

check_imports() { # arch, build folder
    bad=0
    for binary in $(find "$2/bin" -name '*.dll' -o -name '*.exe' 2>/dev/null); do
        for dll in $("$1-w64-mingw32-objdump" -p "$binary" | sed -n 's/^\tDLL Name: //p'); do
            if ! echo "$SYSTEM_DLLS" | tr ' ' '\n' | grep -qix "$dll"; then
                echo "build-windows: $binary imports $dll, which is not a system DLL" >&2
                bad=1
            fi
        done
    done
    return $bad
}

for arch in i686:build-win32 x86_64:build-win64; do
    sh scripts/build.sh "${arch#*:}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-${arch%%:*}.cmake "$@"
    check_imports "${arch%%:*}" "${arch#*:}"
    sh scripts/check-exports.sh "${arch#*:}" "${arch%%:*}-w64-mingw32-objdump"
done

#!/bin/sh
# Builds the codec libraries from Debian's source packages for the Windows builds, as static
# libraries in windeps/<arch>/: libogg, libFLAC, libvorbis, opus, opusfile, libopusenc, mpg123,
# LAME and libsndfile, only the libraries (no programs, documentation or tests). The two
# architectures build side by side, and within each the libraries that need nothing of each
# other; what is already built is skipped.
set -e
cd "$(dirname "$0")/.."
. scripts/windeps-lib.sh

for p in libogg:ogg flac:flac libvorbis:vorbis opus:opus opusfile:opusfile \
    libopusenc:opusenc mpg123:mpg123 lame:lame libsndfile:sndfile; do
    windeps_fetch "${p%%:*}" "${p#*:}"
done

# Libraries with no dependencies of ours (opus with autotools: the CMake files of its release
# tarball are incomplete); libsndfile reads only what the sndfile decoder
# claims (AIFF, CAF, Wave64, RF64), so it needs no codec libraries.
build_independent() { # arch
    pids=""
    windeps_cmake ogg "$1" libogg.a -DINSTALL_DOCS=OFF &
    pids="$pids $!"
    windeps_autotools opus "$1" libopus.a . --disable-stack-protector --disable-extra-programs \
        --disable-doc &
    pids="$pids $!"
    windeps_cmake sndfile "$1" libsndfile.a -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF \
        -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=OFF -DENABLE_CPACK=OFF &
    pids="$pids $!"
    # The library's folder installs no header: the include folder does, once.
    windeps_autotools lame "$1" libmp3lame.a libmp3lame --disable-frontend --disable-decoder \
        --disable-analyzer-hooks &&
        { [ -f "$WINDEPS/$1/include/lame/lame.h" ] ||
            make -C "$WINDEPS/build-lame-$1/include" install >/dev/null; } &
    pids="$pids $!"
    build_mpg123 "$1" &
    pids="$pids $!"
    wait_all
}

# mpg123's build makes its programs and output library too: only libmpg123 is built and
# installed from its CMake port. Its Windows configuration renames strcasecmp and strncasecmp to
# _stricmp and _strnicmp, which turns mingw's inline strcasecmp, a call of _stricmp, into one that
# calls itself: every ID3 text or comment frame with a description then hung the decoder. With
# string.h read first the inline functions keep their names. A library built with other flags
# is built again.
MPG123_CFLAGS="-include string.h"
build_mpg123() { # arch
    flags="$WINDEPS/$1/lib/libmpg123.cflags"
    [ -f "$WINDEPS/$1/lib/libmpg123.a" ] && [ "$(cat "$flags" 2>/dev/null)" = "$MPG123_CFLAGS" ] &&
        return 0
    build="$WINDEPS/build-mpg123-$1"
    rm -rf "$build" "$build.log"
    windeps_logged "$build.log" cmake -S "$WINDEPS/src/mpg123/ports/cmake" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAINS/mingw-$1.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_FLAGS="$MPG123_CFLAGS" \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_LIBOUT123=OFF -DNETWORK=OFF \
        -DCMAKE_INSTALL_PREFIX="$WINDEPS/$1" &&
        windeps_logged "$build.log" cmake --build "$build" -j "$(nproc)" --target libmpg123 &&
        windeps_logged "$build.log" cmake -DCMAKE_INSTALL_PREFIX="$WINDEPS/$1" \
            -P "$build/src/libmpg123/cmake_install.cmake" &&
        mkdir -p "$WINDEPS/$1/lib/pkgconfig" &&
        cp "$build/libmpg123.pc" "$WINDEPS/$1/lib/pkgconfig/" &&
        echo "$MPG123_CFLAGS" >"$flags"
}

# Libraries on top of libogg and opus.
build_dependent() { # arch
    pids=""
    windeps_cmake flac "$1" libFLAC.a -DBUILD_CXXLIBS=OFF -DBUILD_PROGRAMS=OFF \
        -DBUILD_EXAMPLES=OFF -DBUILD_DOCS=OFF -DINSTALL_MANPAGES=OFF -DWITH_STACK_PROTECTOR=OFF \
        -DWITH_FORTIFY_SOURCE=OFF &
    pids="$pids $!"
    windeps_cmake vorbis "$1" libvorbis.a &
    pids="$pids $!"
    windeps_autotools opusfile "$1" libopusfile.a . --disable-http --disable-examples \
        --disable-doc &
    pids="$pids $!"
    windeps_autotools opusenc "$1" libopusenc.a . --disable-examples --disable-doc &
    pids="$pids $!"
    wait_all
}

# Waits for the background jobs started since the last wait and fails when one failed.
pids=""
wait_all() {
    status=0
    for pid in $pids; do
        wait "$pid" || status=1
    done
    pids=""
    return $status
}

# What static linking needs and the libraries' pkg-config files do not say: libFLAC's headers
# otherwise declare its functions as DLL imports, and libmpg123 opens files through shlwapi.
mend_pkgconfig() { # arch
    pc="$WINDEPS/$1/lib/pkgconfig"
    grep -q FLAC__NO_DLL "$pc/flac.pc" || sed -i 's/^Cflags:.*/& -DFLAC__NO_DLL/' "$pc/flac.pc"
    grep -q shlwapi "$pc/libmpg123.pc" || sed -i 's/^Libs.private:.*/& -lshlwapi/' "$pc/libmpg123.pc"
}

for arch in i686 x86_64; do
    (build_independent $arch && build_dependent $arch && mend_pkgconfig $arch) &
    pids="$pids $!"
done
wait_all

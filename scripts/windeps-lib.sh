# Shared steps for building Debian's source packages as static libraries for the Windows builds
# (no Windows builds of them are packaged): sourced by the scripts/build-windows-*.sh scripts,
# run from the repository root. Everything lands in windeps/: sources in windeps/src/, build
# folders and logs in windeps/build-<name>-<arch>/, the libraries, headers and pkg-config
# files in windeps/<arch>/.
WINDEPS=$(pwd)/windeps
TOOLCHAINS=$(pwd)/cmake

# The architecture's compiler flags: the i686 ones match cmake/mingw-i686.cmake (SSE maths, and
# a stack that every function aligns itself, as Windows calls code with 4-byte alignment).
windeps_cflags() { # arch
    case $1 in
    i686) echo "-O2 -msse2 -mfpmath=sse -mstackrealign" ;;
    *) echo "-O2" ;;
    esac
}

# Fetches a Debian source package once and unpacks its upstream tarball into windeps/src/<dir>.
# apt-get's exit status is not trusted: a mirror without an upstream signature (.asc) fails the
# command after the tarball itself has arrived.
windeps_fetch() { # package, folder
    [ -d "$WINDEPS/src/$2" ] && return 0
    mkdir -p "$WINDEPS/src"
    if ! ls /etc/apt/sources.list.d/*.sources 2>/dev/null | xargs grep -qs deb-src; then
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            >/etc/apt/sources.list.d/kernova-src.sources
        apt-get update -qq
    fi
    (cd "$WINDEPS/src" && { apt-get source --download-only "$1" >"$1.fetch.log" 2>&1 || true; })
    tarball=$(ls "$WINDEPS/src/$1"_*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -n 1)
    if [ -z "$tarball" ]; then
        echo "windeps: cannot fetch the source package $1:" >&2
        tail -n 5 "$WINDEPS/src/$1.fetch.log" >&2
        return 1
    fi
    mkdir "$WINDEPS/src/$2.part"
    tar -xf "$tarball" -C "$WINDEPS/src/$2.part" --strip-components=1
    mv "$WINDEPS/src/$2.part" "$WINDEPS/src/$2"
}

# Runs a library's build step with its output in the log; only a failure shows it (the
# libraries' own warnings are theirs).
windeps_logged() { # log, command...
    log=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        echo "windeps: failed: $* (end of $log):" >&2
        tail -n 30 "$log" >&2
        return 1
    fi
}

# Builds and installs a CMake library unless <arch>/lib/<product> exists. Libraries installed
# before are found through the toolchain files, which search windeps/<arch> too.
windeps_cmake() { # name, arch, product, cmake options...
    name=$1 arch=$2
    [ -f "$WINDEPS/$arch/lib/$3" ] && return 0
    shift 3
    build="$WINDEPS/build-$name-$arch"
    rm -rf "$build" "$build.log"
    windeps_logged "$build.log" cmake -S "$WINDEPS/src/$name" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAINS/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX="$WINDEPS/$arch" "$@" &&
        windeps_logged "$build.log" cmake --build "$build" -j "$(nproc)" &&
        windeps_logged "$build.log" cmake --install "$build"
}

# Builds and installs an autotools library unless <arch>/lib/<product> exists (without the
# fortified C functions, which mingw-w64 keeps in a DLL of its own, libssp); only the
# library folder is built when one is given.
windeps_autotools() { # name, arch, product, folder to build ("." for all), configure options...
    name=$1 arch=$2 product=$3 folder=$4
    [ -f "$WINDEPS/$arch/lib/$product" ] && return 0
    shift 4
    build="$WINDEPS/build-$name-$arch"
    rm -rf "$build" "$build.log"
    mkdir -p "$build"
    (cd "$build" && windeps_logged "$build.log" env PKG_CONFIG_LIBDIR="$WINDEPS/$arch/lib/pkgconfig" \
        PKG_CONFIG_PATH= CFLAGS="$(windeps_cflags "$arch")" CPPFLAGS="-I$WINDEPS/$arch/include -D_FORTIFY_SOURCE=0" \
        LDFLAGS="-L$WINDEPS/$arch/lib" "$WINDEPS/src/$name/configure" --host="$arch-w64-mingw32" \
        --prefix="$WINDEPS/$arch" --enable-static --disable-shared "$@" &&
        windeps_logged "$build.log" make -C "$folder" -j "$(nproc)" &&
        windeps_logged "$build.log" make -C "$folder" install)
}

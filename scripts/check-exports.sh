#!/bin/sh
# Checks that every plug-in of a build exports its entry points and nothing else:
# scripts/check-exports.sh [build folder [objdump of the Windows target]]. A symbol that leaks (a C++ runtime function, a
# helper of the shared plug-in code) could bind one plug-in to another's copy in the same
# process. Reads ELF libraries with nm and Windows DLLs with the cross objdump.
set -e
cd "$(dirname "$0")/.."
BIN=${1:-build}/bin
OBJDUMP=${2:-objdump}

# The entry points that the core looks up in a plug-in of the given folder below bin/.
entry_points() {
    case "$1" in
    plugins/in) echo "QZconvInputErrorText QZconvInputModAddr QZconvInputModAddrEx" ;;
    plugins/out) echo "RegisterCompressModule" ;;
    plugins/out/WinAMP) echo "winampGetOutModule" ;;
    plugins) echo "zorvGetTagModule" ;;
    plugins/lib) echo "kn_ffmpeg_open_stream kn_ffmpeg_start_m4a" ;;
    esac
}

# The names a library exports, one a line, sorted.
exported_names() {
    case "$1" in
    *.dll)
        "$OBJDUMP" -p "$1" |
            sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' | sort
        ;;
    *) nm -D --defined-only "$1" | awk '{ print $3 }' | sort ;;
    esac
}

bad=0
checked=0
for library in $(find "$BIN/plugins" -name '*.so' -o -name '*.dll' | sort); do
    folder=$(dirname "${library#"$BIN"/}")
    expected=$(entry_points "$folder" | tr ' ' '\n' | sort)
    actual=$(exported_names "$library")
    checked=$((checked + 1))
    if [ "$actual" != "$expected" ]; then
        echo "check-exports: $library exports other names than its entry points:" >&2
        echo "$actual" | grep -vxF "$expected" | sed 's/^/  + /' >&2 || true
        echo "$expected" | grep -vxF "$actual" | sed 's/^/  - /' >&2 || true
        bad=1
    fi
done
if [ "$checked" = 0 ]; then
    echo "check-exports: no plug-in found below $BIN/plugins" >&2
    exit 1
fi
[ "$bad" = 0 ] && echo "check-exports: $checked plug-ins export only their entry points"
exit $bad

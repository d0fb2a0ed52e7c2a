#!/bin/sh
# Checks from the object files of a build that the core's folders form a stack: a folder
# may use the symbols of the folders below it and never those of a folder above it, so no
# two folders call each other. scripts/check-layers.sh [build folder]
set -e
cd "$(dirname "$0")/.."
BUILD=${1:-build}
# Top to bottom; the program (host/) sits above the library's folders.
LAYERS="host core jobs info convert tags format modules cmdline support state platform"

OBJECTS=$(find "$BUILD/CMakeFiles" -path '*.dir/*' -name '*.o' 2>/dev/null |
    grep -E "\.dir/($(echo "$LAYERS" | tr ' ' '|'))/" || true)
if [ -z "$OBJECTS" ]; then
    echo "check-layers: no object files of the core in $BUILD (build it first)" >&2
    exit 1
fi

# One line per symbol: <D|U> <folder> <symbol>; strong definitions only, since an inline
# function is defined again in every folder that uses it.
for object in $OBJECTS; do
    folder=$(echo "$object" | sed -E 's#.*\.dir/([^/]+)/.*#\1#')
    nm -g --defined-only "$object" | awk -v f="$folder" '$2 ~ /^[TDBR]$/ { print "D", f, $3 }'
    nm -u "$object" | awk -v f="$folder" '{ print "U", f, $NF }'
done | awk -v layers="$LAYERS" '
    BEGIN { n = split(layers, list, " "); for (i = 1; i <= n; i++) rank[list[i]] = i }
    $1 == "D" { owner[$3] = $2; next }
    { uses[NR] = $2 " " $3 }
    END {
        for (i in uses) {
            split(uses[i], part, " ")
            user = part[1]; symbol = part[2]; definer = owner[symbol]
            if (definer == "" || definer == user) continue
            edge = user " -> " definer
            if (!(edge in example)) example[edge] = symbol
        }
        bad = 0
        for (edge in example) {
            split(edge, part, " -> ")
            if (rank[part[1]] > rank[part[2]]) {
                printf "upward: %s (%s)\n", edge, example[edge]
                bad = 1
            } else {
                printf "ok: %s\n", edge
            }
        }
        exit bad
    }' | sort | c++filt >"$BUILD/layers.txt"
if grep -q '^upward' "$BUILD/layers.txt"; then
    grep '^upward' "$BUILD/layers.txt"
    echo "check-layers: a folder calls a folder above it (order: $LAYERS)" >&2
    exit 1
fi
echo "check-layers: $(grep -c '^ok' "$BUILD/layers.txt") dependencies, all downward ($LAYERS)"

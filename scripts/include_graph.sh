#!/usr/bin/env bash
# Checks that includes in src/ run only down the layers: the shared layers
# (src/lib) include no header of a module folder, and no module includes a
# header of the front (src/app). An include names a header by its file name
# ("x.h" or <sitekit/x.h>); it is matched to the header of that name in src/.
# Prints each include that runs back up and exits 1 when there is one.
#
#   scripts/include_graph.sh [SRC_DIR]     (default: the tree's src/)
set -euo pipefail

src=${1:-"$(dirname "$0")/../src"}
cd "$src"

# The folder of every header of the tree, by file name.
declare -A home
while IFS= read -r h; do
    home[${h##*/}]=${h%/*}
done < <(find . -name '*.h' -printf '%P\n')

bad=0
while IFS= read -r f; do
    dir=${f%/*}
    while IFS=: read -r lineno line; do
        [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*(\"([^\"]+)\"|\<sitekit/([^\>]+)\>) ]] || continue
        name=${BASH_REMATCH[2]:-${BASH_REMATCH[3]}}
        to=${home[${name##*/}]:-}
        [[ -n $to && $to != "$dir" ]] || continue
        if [[ $dir == lib && $to != lib ]]; then
            echo "src/$f:$lineno: the shared layers include $name of the module src/$to" >&2
            bad=1
        elif [[ $dir != app && $to == app ]]; then
            echo "src/$f:$lineno: src/$dir includes $name of the front (src/app)" >&2
            bad=1
        fi
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include' "$f")
done < <(find . \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) -printf '%P\n' | sort)

if ((bad)); then
    echo "include_graph: includes must run down: src/app -> modules -> src/lib" >&2
fi
exit "$bad"

#!/usr/bin/env bash
# Formats the tree's C and C++ sources and headers with clang-format and the
# tree's .clang-format. The tree has no generated or third-party sources (the
# umbrella header is generated into the build directory), so every tracked
# .c, .h and .cpp file is formatted.
#
#   scripts/format.sh                 format every tracked source in place
#   scripts/format.sh --check         list the files that differ, exit 1 if any
#   scripts/format.sh --diff          the same, with the changes formatting would make
#   scripts/format.sh [--check] FILE...   only these files
#
# SITEKIT_CLANG_FORMAT names the binary. Other major versions than Debian's
# clang-format 14 may format differently: CI uses Debian's.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/packages.sh

mode=format
case "${1:-}" in
  --check) mode=check; shift ;;
  --diff) mode=diff; shift ;;
  -h|--help) sed -n '2,13s/^# \{0,1\}//p' "$0"; exit 0 ;;
  -*) echo "format: unknown option $1 (see --help)" >&2; exit 2 ;;
esac

fmt=$(sitekit_find_tool "${SITEKIT_CLANG_FORMAT:-}" clang-format-14 clang-format) || {
  echo "format: clang-format not found; install Debian's clang-format (scripts/packages.sh)" >&2
  exit 2
}
version=$("$fmt" --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
[ "$version" = 14 ] || echo "format: $fmt is version ${version:-unknown}, not 14: its output may differ from CI's" >&2

if [ $# -gt 0 ]; then
  files=("$@")
elif git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.c' '*.h' '*.cpp')
else
  mapfile -t files < <(find src tests bench -type f \( -name '*.c' -o -name '*.h' -o -name '*.cpp' \) | sort)
fi

if [ "$mode" = format ]; then
  printf '%s\0' "${files[@]}" | xargs -0 -n 20 "$fmt" -i --style=file
  exit 0
fi

differ=()
for f in "${files[@]}"; do
  if ! "$fmt" --style=file "$f" | cmp -s - "$f"; then
    differ+=("$f")
    [ "$mode" = diff ] && { "$fmt" --style=file "$f" | diff -u --label "$f" --label "$f (formatted)" "$f" - || true; }
  fi
done
if [ ${#differ[@]} -gt 0 ]; then
  echo "format: ${#differ[@]} of ${#files[@]} files are not formatted by .clang-format:" >&2
  printf '  %s\n' "${differ[@]}" >&2
  echo "Run scripts/format.sh (or scripts/format.sh FILE...) and commit the result." >&2
  exit 1
fi
echo "== format: ${#files[@]} files formatted as .clang-format says"

#!/usr/bin/env bash
# Runs clang-tidy with the tree's .clang-tidy over the project's own sources
# (every translation unit of the compile database below src/), one run per
# core, and fails on any finding.
#
#   scripts/lint.sh                   src/
#   scripts/lint.sh tests src/checks  the sources below these paths instead
#
# CI lints src/ only: the test programs, each compiling GoogleTest's headers,
# take three times the CPU time of all of src/ (14 against 4 minutes), more
# than CI's budget for lint. Their findings in src/ headers are found anyway.
#
# The compile database is that of build/lint (SITEKIT_LINT_BUILD), configured
# here with the normal options; only the configure step runs, nothing is built.
# SITEKIT_CLANG_TIDY names the clang-tidy binary; SITEKIT_LINT_JOBS the
# number of parallel runs (default: the number of cores).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/packages.sh

tidy=$(sitekit_find_tool "${SITEKIT_CLANG_TIDY:-}" clang-tidy-14 clang-tidy) || {
  echo "lint: clang-tidy not found; install Debian's clang-tidy (scripts/packages.sh)" >&2
  exit 2
}

build=${SITEKIT_LINT_BUILD:-build/lint}
jobs=${SITEKIT_LINT_JOBS:-$(nproc 2>/dev/null || echo 2)}
# Configured every time (a few seconds), so that the database lists the
# tree's files as they are now.
echo "== configuring $build for the compile database"
mkdir -p "$build"
cmake -S . -B "$build" -DSITEKIT_BENCH=ON >"$build/lint-configure.log" 2>&1 || {
  cat "$build/lint-configure.log" >&2
  exit 2
}

paths=("$@")
[ ${#paths[@]} -eq 0 ] && paths=(src)

# The translation units of the database below the chosen paths, once each.
mapfile -t units < <(python3 - "$build/compile_commands.json" "$here" "${paths[@]}" <<'EOF'
import json, os, sys
db, root, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
prefixes = [os.path.join(root, os.path.normpath(p)) for p in wanted]
seen = set()
for entry in json.load(open(db)):
    f = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    if f not in seen and any(f == p or f.startswith(p + os.sep) for p in prefixes):
        seen.add(f)
        print(f)
EOF
)
if [ ${#units[@]} -eq 0 ]; then
  echo "lint: no translation unit below ${paths[*]} in $build/compile_commands.json" >&2
  exit 2
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "== clang-tidy ($("$tidy" --version | sed -n 's/.*LLVM version \([0-9.]*\).*/\1/p')) over ${#units[@]} files, $jobs at a time"
start=$(date +%s)
# One output file per unit, so that parallel runs do not interleave lines.
# Diagnostics in headers are reported for the project's own headers only
# (HeaderFilterRegex in .clang-tidy).
printf '%s\n' "${units[@]}" |
  xargs -P "$jobs" -I{} sh -c \
    'f="$1"; "$2" -p "$3" --quiet "$f" >"$4/$(echo "$f" | tr / _).log" 2>&1 || true' \
    sh {} "$tidy" "$build" "$out"

# A header's finding appears once per unit that includes it: report it once.
findings=$(cat "$out"/*.log | grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error): ' | sort -u || true)
crashed=$(grep -l -E 'PLEASE submit a bug report|Error while processing' "$out"/*.log || true)
echo "== clang-tidy took $(($(date +%s) - start)) s"
if [ -n "$crashed" ]; then
  echo "lint: clang-tidy could not process some files:" >&2
  cat $crashed >&2
  exit 1
fi
if [ -n "$findings" ]; then
  # Each finding once (SITEKIT_LINT_VERBOSE=1: with clang-tidy's context
  # lines, as often as a unit reports it), then a count per check.
  if [ "${SITEKIT_LINT_VERBOSE:-0}" = 1 ]; then
    cat "$out"/*.log >&2
  else
    echo "$findings" >&2
  fi
  echo "lint: $(echo "$findings" | wc -l) findings:" >&2
  echo "$findings" | sed -n 's/.*\[\([^]]*\)\]$/\1/p' | tr , '\n' | sort | uniq -c | sort -rn >&2
  echo "Fix each, or justify it: // NOLINT(check-name): reason, or an entry in .clang-tidy (CONTRIBUTING.md)." >&2
  exit 1
fi
echo "== lint clean"

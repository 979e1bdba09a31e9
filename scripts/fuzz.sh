#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang and runs them.
#
#   scripts/fuzz.sh [TARGET|all] [SECONDS]   fuzzes the target (or every one)
#       for SECONDS each (default 60), one process at a time, starting from a
#       scratch copy of its committed corpus; new inputs go to
#       build/fuzz/corpus-new/<target>, crashes to build/fuzz/crashes/<target>.
#   scripts/fuzz.sh --replay [TARGET]      runs every committed corpus file once
#       (and fails on any crash or sanitizer report).
#   scripts/fuzz.sh --coverage [TARGET]    builds build/fuzz-cov with source
#       coverage, replays the committed corpora and build/fuzz/corpus-new, and
#       prints per target the line coverage of the src/ files it runs.
#
# SITEKIT_FUZZ_BUILD names the build directory (default build/fuzz).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

build=${SITEKIT_FUZZ_BUILD:-build/fuzz}
corpora=tests/fuzz/corpus
jobs=$(nproc 2>/dev/null || echo 2)

mode=fuzz
case "${1:-}" in
--replay) mode=replay; shift ;;
--coverage) mode=coverage; shift ;;
esac
target=${1:-all}
seconds=${2:-60}

all_targets() {
  local f
  for f in tests/fuzz/*_fuzz.cpp; do
    f=${f##*/}
    echo "${f%_fuzz.cpp}"
  done
}
if [ "$target" = all ]; then
  targets=$(all_targets)
else
  [ -f "tests/fuzz/${target}_fuzz.cpp" ] || { echo "fuzz.sh: no target $target (tests/fuzz/${target}_fuzz.cpp)" >&2; exit 2; }
  targets=$target
fi

configure_and_build() { # dir, extra cmake flags...
  local dir=$1
  shift
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DSITEKIT_FUZZ=ON -DSITEKIT_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  local t list=()
  for t in $targets; do list+=(--target "${t}_fuzz"); done
  cmake --build "$dir" -j "$jobs" "${list[@]}"
}

# Every file of the target's committed corpus (and of the extra folders).
corpus_files() { # name, extra folders...
  local name=$1
  shift
  find "$corpora/$name" "$@" -type f 2>/dev/null | sort
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The targets' temporary site roots go to a memory file system when there
# is one (the checks sync what they write: on a disk that costs most of the
# time), in a folder of this run that is removed at the end, so that a
# crashed target leaves nothing behind.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch=$(mktemp -d /dev/shm/sitekit-fuzz.XXXXXX)
else
  mkdir -p "$build"
  scratch=$(mktemp -d "$here/$build/tmp.XXXXXX")
fi
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch

status=0

if [ "$mode" = replay ]; then
  configure_and_build "$build"
  for t in $targets; do
    mapfile -t files < <(corpus_files "$t")
    if [ ${#files[@]} -eq 0 ]; then
      echo "== $t: no corpus in $corpora/$t" >&2
      status=1
      continue
    fi
    if "$build/tests/fuzz/${t}_fuzz" -runs=1 "${files[@]}" >"$build/replay-$t.log" 2>&1; then
      echo "== $t: replayed ${#files[@]} inputs"
    else
      echo "== $t: FAILED on its corpus (log: $build/replay-$t.log)" >&2
      grep -E "broken promise|ERROR:|SUMMARY:|Running:" "$build/replay-$t.log" | tail -n 6 >&2 || true
      status=1
    fi
  done
  exit $status
fi

if [ "$mode" = coverage ]; then
  cov=build/fuzz-cov
  configure_and_build "$cov" -DSITEKIT_FUZZ_COVERAGE=ON
  rm -rf "$cov/profiles"
  mkdir -p "$cov/profiles"
  for t in $targets; do
    bin="$cov/tests/fuzz/${t}_fuzz"
    dirs=("$corpora/$t")
    [ -d "$build/corpus-new/$t" ] && dirs+=("$build/corpus-new/$t")
    # One process per input: an input that breaks a promise aborts its
    # process (whose counts are lost) but not the others.
    mapfile -t files < <(corpus_files "$t" "${dirs[@]:1}")
    failed=0
    : >"$cov/replay-$t.log"
    for f in "${files[@]}"; do
      LLVM_PROFILE_FILE="$here/$cov/profiles/$t-%p.profraw" "$bin" -runs=1 "$f" >>"$cov/replay-$t.log" 2>&1 ||
        { failed=$((failed + 1)); [ $failed -le 3 ] && echo "   fails: $f"; }
    done
    llvm-profdata merge -sparse "$cov/profiles/$t"-*.profraw -o "$cov/profiles/$t.profdata"
    # The src/ files of the tree that the replay entered at all.
    mapfile -t sources < <(llvm-cov export "$bin" -instr-profile="$cov/profiles/$t.profdata" -summary-only |
      python3 -c '
import json, sys
root = sys.argv[1] + "/src/"
for f in json.load(sys.stdin)["data"][0]["files"]:
    if f["filename"].startswith(root) and f["summary"]["functions"]["covered"] > 0:
        print(f["filename"])' "$here")
    echo "== $t: line coverage of its sources (corpus: ${#files[@]} files, $failed failing)"
    llvm-cov report "$bin" -instr-profile="$cov/profiles/$t.profdata" "${sources[@]}" |
      awk '{ print "   " $0 }'
  done
  exit $status
fi

configure_and_build "$build"
for t in $targets; do
  work="$build/corpus-work/$t"
  new="$build/corpus-new/$t"
  crashes="$build/crashes/$t"
  rm -rf "$work"
  mkdir -p "$work" "$new" "$crashes"
  cp -p "$corpora/$t"/* "$work"/ 2>/dev/null || true
  log="$build/fuzz-$t.log"
  echo "== $t: fuzzing for $seconds s"
  # New inputs land in the first folder: corpus-new, kept between runs.
  if "$build/tests/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$crashes/" "$new" "$work" >"$log" 2>&1; then
    :
  else
    echo "== $t: FAILED (log: $log, input in $crashes/)" >&2
    grep -E "broken promise|ERROR:|SUMMARY:|artifact" "$log" | tail -n 6 >&2 || true
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
  files=$(corpus_files "$t" "$new" | wc -l)
  bytes=$(corpus_files "$t" "$new" | xargs -r cat | wc -c)
  echo "   executions: ${execs:-?}; corpus: $files files, $bytes bytes" \
    "($(find "$new" -type f | wc -l) new in $new)"
  if [ -n "$done_line" ]; then echo "   libFuzzer: ${done_line}"; fi
done
exit $status

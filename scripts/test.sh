#!/usr/bin/env bash
# Checks the format (clang-format) and lints the sources (clang-tidy), then
# builds everything and runs the whole test suite, in a normal build and in
# a sanitizer build (AddressSanitizer and UndefinedBehaviorSanitizer), then
# the fuzz targets (clang): every committed corpus replayed, and each target
# fuzzed for a few seconds (SITEKIT_FUZZ_SECONDS, default 5).
# Installs the Debian packages it needs when they are missing.
#
#   scripts/test.sh            all four
#   SITEKIT_BUILDS=normal scripts/test.sh   only the normal build
#   SITEKIT_BUILDS=lint scripts/test.sh     only the format check and clang-tidy
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

. scripts/packages.sh
sitekit_install_packages

# Tests that would run this script again (the README's commands from a
# fresh clone) look at this to avoid recursing.
export SITEKIT_IN_TEST_SH=1

jobs=$(nproc 2>/dev/null || echo 2)
builds=${SITEKIT_BUILDS:-"lint normal sanitize fuzz"}

for kind in $builds; do
  dir="build/ci-$kind"
  if [ "$kind" = lint ]; then
    echo "== format check and lint ($dir)"
    # Both run, so that one log shows every finding of the two.
    status=0
    scripts/format.sh --check || status=1
    SITEKIT_LINT_BUILD=$dir SITEKIT_LINT_JOBS=$jobs scripts/lint.sh || status=1
    [ $status -eq 0 ] || exit 1
    continue
  fi
  if [ "$kind" = fuzz ]; then
    echo "== fuzz build in $dir"
    SITEKIT_FUZZ_BUILD=$dir scripts/fuzz.sh --replay
    SITEKIT_FUZZ_BUILD=$dir scripts/fuzz.sh all "${SITEKIT_FUZZ_SECONDS:-5}"
    continue
  fi
  flags=(-DSITEKIT_WERROR=ON -DSITEKIT_BENCH=ON)
  # The normal build links its programs fully static (as they run inside the
  # daemon's chroot); the sanitizer runtimes cannot be linked that way.
  if [ "$kind" = sanitize ]; then
    flags+=(-DSITEKIT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  else
    flags+=(-DSITEKIT_STATIC_PROGRAMS=ON)
  fi
  echo "== $kind build in $dir"
  cmake -S . -B "$dir" "${flags[@]}"
  cmake --build "$dir" -j "$jobs"
  echo "== $kind tests"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
echo "== all builds and tests passed"

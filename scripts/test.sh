#!/usr/bin/env bash
# Builds everything and runs the whole test suite, in a normal build and in
# a sanitizer build (AddressSanitizer and UndefinedBehaviorSanitizer).
# Installs the Debian packages it needs when they are missing.
#
#   scripts/test.sh            both builds
#   SITEKIT_BUILDS=normal scripts/test.sh   only the normal build
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

. scripts/packages.sh
sitekit_install_packages

# Tests that would run this script again (the README's commands from a
# fresh clone) look at this to avoid recursing.
export SITEKIT_IN_TEST_SH=1

jobs=$(nproc 2>/dev/null || echo 2)
builds=${SITEKIT_BUILDS:-"normal sanitize"}

for kind in $builds; do
  dir="build/ci-$kind"
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

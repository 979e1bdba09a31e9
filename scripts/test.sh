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

packages=(cmake g++ make pkg-config git file dpkg-dev googletest libgtest-dev libbenchmark-dev zlib1g-dev libminizip-dev
          libncurses-dev zip unzip tmux python3 procps)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  else
    echo "Missing Debian packages. Run as root:" >&2
    echo "  apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

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

#!/usr/bin/env bash
# Runs the README's two commands from a fresh clone of the repository:
# the tour (scripts/tour.sh) and the test suite (scripts/test.sh).
#
#   readme_test.sh SOURCE_DIR
#
# Inside scripts/test.sh (SITEKIT_IN_TEST_SH set) only the tour runs, so the
# test suite never starts itself again. Exit status 77: skipped.
set -euo pipefail

src=$1
if ! git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    echo "skipped: $src is not a git repository"
    exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/sitekit-readme.XXXXXX")
# Open to every user, as a checkout is: tests run the built programs as an
# unprivileged user too, which must reach them below here.
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

git clone --quiet "$src" "$work/clone"
cd "$work/clone"
# The commands exactly as the README gives them.
grep -q '^    scripts/tour.sh$' README.md || fail "the README does not give scripts/tour.sh"
grep -q '^    scripts/test.sh$' README.md || fail "the README does not give scripts/test.sh"

scripts/tour.sh "$work/tree" >"$work/tour.log" 2>&1 || { cat "$work/tour.log"; fail "the tour failed"; }
grep -q "== Done" "$work/tour.log" || fail "the tour did not finish"
grep -q "The site tree is in $work/tree" "$work/tour.log" || fail "the tour does not say where the tree is"
grep -q "who -D" "$work/tour.log" || fail "the tour does not say how to start the monitor's demonstration"
[ "$(stat -c %s "$work/tree/ftp-data/logs/dirlog")" = 288 ] || fail "the tour wrote no directory log record"
unzip -Z1 "$work/tree/site/incoming/Tour.Release-SITEKIT/tour.zip" | grep -qx sitekit-tour.txt ||
    fail "the tour's ZIP has no advertisement entry"
echo "ok: the tour"

if [ -n "${SITEKIT_IN_TEST_SH:-}" ]; then
    echo "ok: scripts/test.sh not run again from inside itself"
    exit 0
fi
scripts/test.sh >"$work/test.log" 2>&1 || {
    grep '^== ' "$work/test.log"
    tail -100 "$work/test.log"
    fail "scripts/test.sh failed"
}
grep -q "all builds and tests passed" "$work/test.log" || fail "scripts/test.sh did not finish"
echo "ok: scripts/test.sh"

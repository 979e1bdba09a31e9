#!/usr/bin/env bash
# Loads the bash completion and asks it for completions of sitekit and
# siteview command lines, as bash would on a tab:
#   completion_test.sh COMPLETION_SCRIPT SITEKIT SITEVIEW
set -uo pipefail

script=$1
sitekit=$2
siteview=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/sitekit-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# A site root with three users (and a comment) and two groups, and a folder of uploads.
mkdir -p site/etc up
printf '# the site users\nalice:x:100:100::/site:/bin/false\nbob:x:101:100::/site:/bin/false\n\nalbert:x:102:101::/:/bin/false\n' >site/etc/passwd
printf 'staff:x:100:\nadmins:x:101:\n' >site/etc/group
touch up/a.sfv up/a.zip up/b.nfo

# shellcheck source=/dev/null
. "$script" || { echo "FAIL: cannot load $script"; exit 1; }

failures=0
# expect "WANTED WORDS" WORD... : completes the last word of the line.
expect() {
    local want=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _sitekit
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    want=$(printf '%s\n' "$want" | xargs -n1 | sort | xargs)
    if [ "$got" != "$want" ]; then
        echo "FAIL: [${*:2}] completed to '$got', not '$want'"
        failures=$((failures + 1))
    fi
}

expect "dirlog" "$sitekit" di
expect "add reset ratio top" "$sitekit" stats ""
expect "--config --dry-run --gid --json --quiet --uid" "$sitekit" dirlog update --
expect "--root" "$sitekit" --r
expect "month" "$sitekit" stats top --period m
expect "alice albert" "$sitekit" --root "$work/site" user a
# USERFILE is a user name or a path.
expect "alice albert bob site up" "$sitekit" --root = site stats reset ""
expect "staff" "$sitekit" --root site stats top --group s
expect "up/a.sfv up/a.zip" "$sitekit" check up/a
# A flag in brackets takes no value: [--json] [NUKELOG].
expect "up/a.sfv up/a.zip" "$sitekit" nukes up/a
expect "dirlog doctor dupe dupelog" "$sitekit" help d
expect "-D" "$siteview" -D

[ "$failures" -eq 0 ] || exit 1
echo "ok: completion"

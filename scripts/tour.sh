#!/usr/bin/env bash
# A tour of sitekit on a throw-away site tree.
#
#   scripts/tour.sh [TREE]
#
# Installs the Debian packages that are missing (as root), builds the
# sitekit program and the monitor in build/tour, creates a small site tree
# (TREE, or a new folder below /tmp) as the daemon would have it, and runs
# one sitekit command after another on it, showing what each one did.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/packages.sh
sitekit_install_packages

build=${SITEKIT_TOUR_BUILD:-build/tour}
tree=${1:-$(mktemp -d /tmp/sitekit-tour.XXXXXX)}
mkdir -p "$tree"
tree=$(cd "$tree" && pwd)

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# Shows a command as typed (with the site root spelled $T), then runs it.
show() {
  local shown=("$@") w
  [ "$1" = sitekit ] && shown=(sitekit --root "$tree" "${@:2}")
  printf '$'
  for w in "${shown[@]}"; do
    w=${w//$sitekit_bin/sitekit}
    w=${w//$tree/\$T}
    case $w in *' '*) printf " '%s'" "$w" ;; *) printf ' %s' "$w" ;; esac
  done
  printf '\n'
  "$@"
}

step "Building sitekit in $build"
cmake -S . -B "$build" -DSITEKIT_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target sitekit siteview -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
sitekit_bin=$(cd "$build/src/app" && pwd)/sitekit
sitekit() { "$sitekit_bin" --root "$tree" "$@"; }
"$sitekit_bin" --version

step "Creating a site tree in $tree (T below)"
rel=$tree/site/incoming/Tour.Release-SITEKIT
mkdir -p "$tree/etc" "$tree/ftp-data/logs" "$tree/ftp-data/msgs" "$tree/ftp-data/users" \
         "$tree/ftp-data/sitekit/unwanted" "$rel" "$tree/work"
cat >"$tree/etc/glftpd.conf" <<CONF
rootpath $tree
datapath /ftp-data
CONF
cat >"$tree/etc/passwd" <<'PASSWD'
glftpd:x:0:0:Site owner:/site:/bin/false
tourist:x:100:300:Tour user:/site:/bin/false
PASSWD
cat >"$tree/etc/group" <<'GROUP'
glftpd:x:0:glftpd
Tourists:x:300:tourist
GROUP
cat >"$tree/ftp-data/users/tourist" <<'USERFILE'
USER Tour user
GROUP Tourists
CREDITS 50000 0
RATIO 3 0
ALLUP 12 204800 600
WKUP 2 10240 30
DAYUP 1 2048 5
MONTHUP 5 81920 200
USERFILE
: >"$tree/ftp-data/logs/dirlog"
# The settings of the checks: the shipped example, with the advertisement,
# the unwanted entries and the NFO texts switched on.
sed -e 's|^#zip_adfilename .*|zip_adfilename sitekit-tour.txt|' \
    -e 's|^#zip_ad .*|zip_ad Checked and uploaded by %{user} on the sitekit tour.\\n|' \
    -e 's|^#zip_adcomment .*|zip_adcomment sitekit tour: uploaded by %{user}|' \
    -e 's|^#zip_unwanteddir .*|zip_unwanteddir /ftp-data/sitekit/unwanted|' \
    -e 's|^#nfo_cleanlist .*|nfo_cleanlist /ftp-data/sitekit/nfo-clean.list|' \
    -e 's|^#nfo_prepend .*|nfo_prepend /ftp-data/sitekit/nfo-prepend.txt|' \
    -e 's|^#nfo_append .*|nfo_append /ftp-data/sitekit/nfo-append.txt|' \
    src/app/checks.conf.example >"$tree/ftp-data/sitekit/checks.conf"
echo "an old advertisement" >"$tree/ftp-data/sitekit/unwanted/advert.txt"
printf '*Visit our*\ncourier\n' >"$tree/ftp-data/sitekit/nfo-clean.list"
printf '+-- checked for %%{USER} on %%{DATE} %%{TIME} --+\n' >"$tree/ftp-data/sitekit/nfo-prepend.txt"
printf '+-- release %%{DIR} --+\n' >"$tree/ftp-data/sitekit/nfo-append.txt"
# The upload: a ZIP with a description, data and an unwanted advertisement.
printf 'Tour Release (c) SITEKIT\nA small release for the tour.\n' >"$tree/work/file_id.diz"
head -c 20000 /dev/urandom >"$tree/work/tour.dat"
echo "buy now" >"$tree/work/advert.txt"
(cd "$tree/work" && zip -q "$rel/tour.zip" file_id.diz tour.dat advert.txt)
cat >"$rel/tour.nfo" <<'NFO'
  Tour.Release-SITEKIT
  Released by the sitekit tour
  Visit our sponsor site today!
  courier: some courier group
  Enjoy.
NFO
# The nuke log: 392-byte records, two nukees of one nuke and one other nuke.
python3 - "$tree/ftp-data/logs/nukelog" <<'PY'
import struct, sys, time
now = int(time.time())
def rec(status, t, nuker, nukee, mult, amount, reason, dirname):
    return struct.pack('<H6xq12s12s12sH2xf60s255s17x', status, t, nuker.encode(), nuker.encode(),
                       nukee.encode(), mult, amount, reason.encode(), dirname.encode())
with open(sys.argv[1], 'wb') as f:
    f.write(rec(0, now - 86400, 'glftpd', 'tourist', 3, 15.0, 'bad.crc', '/site/incoming/Old.Release-GRP'))
    f.write(rec(0, now - 86400, 'glftpd', 'somebody', 3, 42.0, 'bad.crc', '/site/incoming/Old.Release-GRP'))
    f.write(rec(0, now - 3600, 'glftpd', 'tourist', 2, 7.0, 'dupe', '/site/incoming/Dupe.Release-GRP'))
PY
(cd "$tree" && find . -type f | sort | sed 's|^\./|  |')

step "The upload check of a ZIP: tested, unwanted entry left out, description extracted, ad entry added"
show unzip -Z1 "$rel/tour.zip"
show env USER=tourist "$sitekit_bin" --root "$tree" check tour.zip "$rel"
echo "(exit status $?: accepted)"
show unzip -Z1 "$rel/tour.zip"
show unzip -z -q "$rel/tour.zip" | head -3 || true
show cat "$rel/file_id.diz"

step "A damaged ZIP is refused, and the upload stays as it was"
# Stored (not compressed), the data entry first; one byte of its data changed.
(cd "$tree/work" && zip -q -0 "$rel/broken.zip" tour.dat file_id.diz)
python3 - "$rel/broken.zip" <<'PY'
import struct, sys
b = bytearray(open(sys.argv[1], 'rb').read())
name_len, extra_len = struct.unpack_from('<HH', b, 26)
b[30 + name_len + extra_len + 100] ^= 0xff
open(sys.argv[1], 'wb').write(b)
PY
cp "$rel/broken.zip" "$tree/work/broken.before"
status=0
show env USER=tourist "$sitekit_bin" --root "$tree" check broken.zip "$rel" || status=$?
echo "(exit status $status: refused)"
cmp "$rel/broken.zip" "$tree/work/broken.before" && echo "broken.zip is unchanged"
rm -f "$rel/broken.zip"

step "The upload check of an NFO: clean-list lines dropped, prepend and append texts added"
show cat "$rel/tour.nfo"
show env USER=tourist "$sitekit_bin" --root "$tree" check tour.nfo "$rel"
show cat "$rel/tour.nfo"

step "The directory log: the release measured and written, then listed"
show sitekit dirlog update --uid 100 --gid 300 "$rel"
show sitekit dirlog list

step "Dupe records"
show sitekit dupe add tour.zip tourist
show sitekit dupelog add Tour.Release-SITEKIT
show cat "$tree/ftp-data/logs/dupelog"
echo "dupefile: $(stat -c %s "$tree/ftp-data/logs/dupefile") bytes (one 288-byte record)"

step "Statistics: the upload added to the tourist's userfile (1 file, 1 MiB, 4 seconds, 3 MiB credits)"
cp "$tree/ftp-data/users/tourist" "$tree/work/userfile.before"
show sitekit stats add --credits 3072 tourist 1 1024 4
show diff "$tree/work/userfile.before" "$tree/ftp-data/users/tourist" || true
show sitekit stats ratio tourist 0

step "Nukes, newest first"
show sitekit nukes

step "A user and a group looked up"
show sitekit user tourist
show sitekit --json group 300

step "The site log and a message"
show sitekit announce NEWDIR "Tour.Release-SITEKIT by tourist"
show cat "$tree/ftp-data/logs/glftpd.log"
show sitekit msg glftpd tourist "Welcome to the sitekit tour."
show cat "$tree/ftp-data/msgs/tourist"

step "Done"
cat <<END
The site tree is in $tree (remove it with: rm -rf $tree).
Run any command on it yourself, e.g.:
  $sitekit_bin --root $tree dirlog list
The online-user monitor has a demonstration mode with simulated users
(q quits):
  $sitekit_bin who -D
END

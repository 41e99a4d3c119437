#!/usr/bin/env bash
# Drives the real gfxpak binary as a user would, including the ways it must
# fail: each failure must exit with the documented code, print one line that
# names the file, and neither create, delete nor change any file.
# Usage: GOLDEN=golden.big cli_test.sh GFXPAK [RUNNER...]   (RUNNER: the Wine loader, as ctest gives it)
set -uo pipefail

gfxpak=$(realpath "$1")
shift
runner=("$@")
work=$(mktemp -d "${TMPDIR:-/tmp}/gfxpak-cli.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0

# Under Wine its error channel is on: a program that Wine itself ends leaves
# a reason there. Those lines go to wine.log, apart from gfxpak's own, and a
# failing check shows them.
if [ "${#runner[@]}" -gt 0 ]; then export WINEDEBUG=err+all,fixme-all; fi
g() {
  local code
  "${runner[@]}" "$gfxpak" "$@" 2>"$work/all-err.log"
  code=$?
  grep -v -E '^([0-9a-f]{4}:)?(err|fixme|warn|trace):' "$work/all-err.log" >&2
  grep -E '^([0-9a-f]{4}:)?err:' "$work/all-err.log" | sed "s|^|gfxpak $*: |" >>"$work/wine.log"
  return "$code"
}

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# A listing of every file with its checksum: what "nothing changed" compares.
snapshot() { find . -type f -print0 | sort -z | xargs -0 -r sha256sum; }

# must_fail CODE ARGS...: exits with CODE, one stderr line naming a file or
# the usage, and the folder is exactly as before.
must_fail() {
  local want=$1
  shift
  local before after code
  before=$(snapshot)
  g "$@" >../out.log 2>../err.log
  code=$?
  after=$(snapshot)
  [ "$code" -eq "$want" ] || fail "gfxpak $* exited $code, expected $want"
  [ "$before" = "$after" ] || fail "gfxpak $* changed the folder"
  local lines
  lines=$(tr -d '\r' <../err.log | grep -c .)
  [ "$lines" -eq 1 ] || fail "gfxpak $* printed $lines error lines: $(cat ../err.log)"
  grep -q '^gfxpak: ' ../err.log || fail "gfxpak $* error does not start with 'gfxpak: '"
}

must_pass() {
  g "$@" >../out.log 2>../err.log || fail "gfxpak $* exited $?; stderr: '$(cat ../err.log)'; stdout: '$(cat ../out.log)'"
}

# says TEXT: the last command's output holds TEXT, however it was broken
# into lines for the console.
says() { tr -d '\r' <../out.log | tr '\n' ' ' | tr -s ' ' | grep -qF -- "$1"; }

mkdir files && cd files || exit 1
seq 1 20000 >bern_one.o
cp bern_one.o ../bern_one.plain
head -c 70000 /dev/urandom >rome_two.h
cp rome_two.h ../rome_two.plain
printf 'stadium' >'stadé_ü.o'
cp "$GOLDEN" golden.big

# Usage errors.
must_fail 2
must_fail 2 -z
must_fail 2 -p zdata.big
must_fail 2 -p zdata.big bern_one.o extra
must_fail 2 -x zdata.big bern_one.o
must_fail 2 -compress bern_one.o
must_fail 2 --version extra
# A file dropped on gfxpak.exe is pointed to the script that takes it out.
must_fail 2 'C:\Games\FIFA 2004\bern_one.o'
grep -q 'bern_one.o is not a command: .*drop its file on take-out-stadiums.cmd' ../err.log || fail "a dropped file: $(cat ../err.log)"
must_fail 2 -takeout -all zdata.big -- bern_one.o
must_fail 2 -takeout -- bern_one.o
# The version is the project's, as the build was given it.
must_pass --version && [ "$(tr -d '\r' <../out.log)" = "gfxpak ${TESSOLO_VERSION:?}" ] || fail "--version output: $(cat ../out.log)"
must_pass -h && grep -q -- '-compress -real IN OUT' ../out.log || fail "-h output"
# Every exit code a caller can act on is listed.
for code in '1  refused' '2  bad usage' '3  the archive or file is in use' '4  access denied' '5  no space' \
  '6  damaged archive' '7  empty stadium file'; do
  tr -d '\r' <../out.log | tr '\n' ' ' | grep -q -- "${code}" || fail "-h does not list exit code ${code}"
done

# Compression in place, twice: the second run must leave the file alone.
must_pass -compress -real bern_one.o bern_one.o
cmp -s bern_one.o ../bern_one.plain && fail "-compress left the file as it was"
[ "$(stat -c %s bern_one.o)" -lt "$(stat -c %s ../bern_one.plain)" ] || fail "-compress did not shrink text"
cp bern_one.o ../bern_one.packed
must_pass -compress -real bern_one.o bern_one.o
cmp -s bern_one.o ../bern_one.packed || fail "-compress changed an already compressed file"
must_pass -compress -real rome_two.h rome_two.h
must_pass -d bern_one.o ../bern_one.back
cmp -s ../bern_one.back ../bern_one.plain || fail "-d did not give the original back"
must_fail 1 -compress -real missing.o missing.o

# Over 1 MiB a file is compressed in pieces, on as many threads as there are
# or as GFXPAK_THREADS says; the number must not change a byte.
seq 1 300000 >big.o
GFXPAK_THREADS=1 must_pass -compress -real big.o ../big.one
GFXPAK_THREADS=3 must_pass -compress -real big.o ../big.three
must_pass -compress -real big.o ../big.all
cmp -s ../big.one ../big.three || fail "-compress on 1 and 3 threads differs"
cmp -s ../big.one ../big.all || fail "-compress on 1 and all threads differs"
must_pass -d ../big.all ../big.back
cmp -s ../big.back big.o || fail "-d did not give the big file back"
rm big.o
must_fail 1 -d ../bern_one.plain never.out
must_fail 1 -d missing.o never.out

# An empty stadium file, or one that decodes to nothing (what compressing an
# empty file used to give), is refused by -compress and -p with a code of
# its own, and neither the file nor the archive changes.
: >empty_x.h
printf '\x10\xfb\x00\x00\x00\xfc' >void_x.h
must_pass -d void_x.h ../void.plain
[ -f ../void.plain ] && [ ! -s ../void.plain ] || fail "void_x.h is not a RefPack stream of nothing"
cp golden.big ../golden.before
for name in empty_x.h void_x.h; do
  must_fail 7 -compress -real "$name" "$name"
  grep -q "^gfxpak: $name: is empty" ../err.log || fail "-compress of $name: $(cat ../err.log)"
  must_fail 7 -p golden.big "$name"
  grep -q "^gfxpak: $name: is empty" ../err.log || fail "-p of $name: $(cat ../err.log)"
done
must_fail 7 -compress -real empty_x.h ../never.out
[ -e ../never.out ] && fail "-compress of an empty file wrote its output"
must_fail 7 -p new.big empty_x.h
[ -e new.big ] && fail "-p of an empty file made an archive"
cmp -s golden.big ../golden.before || fail "-p of an empty file changed the archive"
rm empty_x.h void_x.h

# Put, list, extract; a missing archive is created.
must_pass -p zdata.big bern_one.o
must_pass -p zdata.big rome_two.h
must_pass -p zdata.big 'stadé_ü.o'
must_pass -l zdata.big
grep -q ' 3 entries' ../out.log || fail "-l does not count 3 entries"
grep -q 'stadé_ü.o' ../out.log || fail "-l lost the non-ASCII name"
[ "$(grep -c ' yes ' ../out.log)" -eq 2 ] || fail "-l does not show two packed entries"
must_pass -x -d zdata.big BERN_ONE.O ../x1
cmp -s ../x1 ../bern_one.plain || fail "-x -d gave other content"
must_pass -x zdata.big 'stadé_ü.o' ../x2
cmp -s ../x2 'stadé_ü.o' || fail "-x of the non-ASCII entry"
must_fail 1 -x zdata.big nothere.o never.out
must_fail 1 -x -d zdata.big 'stadé_ü.o' never.out
must_fail 1 -p zdata.big missing.o
must_fail 1 -p missing.big missing.o
# The longest RefPack header (91 FB: a compressed size, and both sizes in 4
# bytes) is listed as packed, as -check decodes it.
printf '\x91\xfb\x00\x00\x00\x0e\x00\x00\x00\x03\xffabc' >wide_x.o
must_pass -p wide.big wide_x.o
must_pass -l wide.big
grep -q ' yes  *wide_x.o' ../out.log || fail "-l of an entry with a 91 FB header: $(cat ../out.log)"
must_pass -check wide.big
grep -q ' 1 compressed ones decoded' ../out.log || fail "-check of an entry with a 91 FB header: $(cat ../out.log)"
rm wide.big wide_x.o
# Not an archive at all: damaged, as far as a player can tell.
must_fail 6 -p bern_one.o rome_two.h
must_fail 6 -l bern_one.o
must_fail 6 -compact bern_one.o

# Replace keeps the stored full name and the place of the entry.
printf 'replacement' >bern_golden.o
must_pass -p golden.big bern_golden.o
must_pass -l golden.big
grep -q ' 3 entries' ../out.log || fail "replace added an entry"
sed -n 4p ../out.log | grep -q 'data.stadium.bern_golden.o' || fail "replaced entry lost its name or place"
must_pass -x golden.big 'DATA/STADIUM/BERN_GOLDEN.O' ../x3
cmp -s ../x3 bern_golden.o || fail "replaced entry has other content"
must_pass -x golden.big rome_golden.h ../x4
[ "$(cat ../x4)" = "second entry" ] || fail "other entry changed"

# The first change of an existing archive leaves a restore point that takes
# it back byte for byte; -compact will not drop it unless forced.
[ -f zdata.big.restore ] || fail "no restore point after the second import"
rm zdata.big.restore
must_pass -l zdata.big
grep -q 'restore point: none' ../out.log || fail "-l shows a restore point before any change"
must_fail 1 -restore zdata.big
cp zdata.big ../zdata.original
printf 'a much longer replacement for the first entry' >bern_one.o
must_pass -p zdata.big bern_one.o
[ -f zdata.big.restore ] || fail "no restore point after changing an existing archive"
must_pass -l zdata.big
grep -q 'restore point: zdata.big.restore, [0-9]* bytes, 1 saved ranges' ../out.log || fail "-l restore point line: $(grep restore ../out.log)"
must_fail 1 -compact zdata.big
cp zdata.big ../zdata.changed
must_pass -restore zdata.big
grep -q "^zdata.big: restored to its original [0-9]* bytes, every byte checked against the original's" ../out.log ||
  fail "-restore says: $(cat ../out.log)"
cmp -s zdata.big ../zdata.original || fail "-restore did not give the original archive back"
[ -f zdata.big.restore ] && fail "-restore left its restore point"
cp ../zdata.changed zdata.big
printf 'garbage' >zdata.big.restore
must_fail 1 -restore zdata.big
must_fail 1 -p zdata.big bern_one.o
rm zdata.big.restore

# Compact removes the dead space and nothing else.
must_pass -p zdata.big bern_one.o
must_pass -compact -force zdata.big
[ -f zdata.big.restore ] && fail "-compact -force kept the restore point"
must_pass -l zdata.big
grep -q 'dead space 0 bytes' ../out.log || fail "-compact left dead space"
must_pass -x zdata.big rome_two.h ../x5
cmp -s ../x5 rome_two.h || fail "-compact changed an entry"

# The archive, or its restore point, is never put into the archive, nor an
# entry written over either.
cp zdata.big ../zdata.original
must_pass -p zdata.big bern_one.o
[ -f zdata.big.restore ] || fail "no restore point after an import"
must_fail 1 -p zdata.big zdata.big
grep -q 'zdata.big: is the archive itself or its restore point' ../err.log || fail "-p of the archive itself: $(cat ../err.log)"
must_fail 1 -p zdata.big zdata.big.restore
must_fail 1 -p zdata.big ./zdata.big
must_fail 1 -x zdata.big rome_two.h zdata.big

# No command writes over an archive, a restore point or a lock file, nor
# imports one of gfxpak's own files: each would change an archive without
# its lock, or lose a file at the next clean-up.
: >zdata.big.lock
printf 'half a compacted copy' >.zdata.big.gfxpak-tmp
must_fail 1 -p zdata.big zdata.big.lock
grep -q 'zdata.big.lock: is a file that gfxpak keeps for an archive (the lock file of zdata.big)' ../err.log ||
  fail "-p of the lock file: $(cat ../err.log)"
must_fail 1 -p zdata.big .zdata.big.gfxpak-tmp
must_fail 1 -p other.big zdata.big.restore
must_fail 1 -compress -real bern_one.o zdata.big
grep -q 'zdata.big: is a BIG archive, which gfxpak changes only with -p, -restore and -compact' ../err.log ||
  fail "-compress over the archive: $(cat ../err.log)"
must_fail 1 -compress -real golden.big golden.big
must_fail 2 -compress -real bern_one.o zdata.big.restore
# Windows names files without regard to letter case.
if [ "${#runner[@]}" -gt 0 ]; then must_fail 2 -compress -real bern_one.o ZDATA.BIG.LOCK; fi
must_fail 2 -x zdata.big rome_two.h zdata.big.lock
must_fail 2 -x zdata.big rome_two.h zdata.big.restore
must_fail 1 -x golden.big rome_golden.h zdata.big
g -compress -real bern_one.o ../bern_one.packed >/dev/null 2>&1
must_fail 1 -d ../bern_one.packed zdata.big
must_fail 2 -d ../bern_one.packed zdata.big.lock

# An ARCHIVE named as gfxpak names an archive's own files is bad usage, and
# nothing is made: it would become, or be deleted as, that archive's lock
# file or restore point. A lock file that holds data is not gfxpak's: it is
# neither taken nor deleted.
for archive in zdata.big.lock zdata.big.restore ZDATA.BIG.RESTORE other.big.lock .zdata.big.gfxpak-tmp; do
  must_fail 2 -p "$archive" bern_one.o
  grep -q "^gfxpak: $archive: is named as gfxpak names an archive's lock file, restore point or temporary file" ../err.log ||
    fail "-p into $archive: $(cat ../err.log)"
done
must_fail 2 -compact -force zdata.big.restore
must_fail 2 -l zdata.big.lock
printf 'notes of the player' >zdata.big.lock
must_fail 1 -p zdata.big bern_one.o
grep -q 'zdata.big.lock: is not a lock file of gfxpak.s (it holds data)' ../err.log || fail "a foreign lock file: $(cat ../err.log)"
rm zdata.big.lock .zdata.big.gfxpak-tmp

# Names are listed with their control characters escaped: a name made to
# recolour the terminal and ring its bell only shows as text.
{
  printf 'BIGF\x2a\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x25'
  printf '\x00\x00\x00\x25\x00\x00\x00\x05'
  printf 'a\033[31mred\007.o\000hello'
} >ctrl.big
must_pass -l ctrl.big
grep -qF 'a\x1b[31mred\x07.o' ../out.log || fail "-l of a name with control characters: $(cat -v ../out.log)"
LC_ALL=C grep -q "$(printf '[\033\007]')" ../out.log && fail "-l printed control characters"
rm ctrl.big

# What a killed writer left is cleared by the next one; a user's file with a
# name like it is not gfxpak's and is left alone.
printf 'half a restore point' >.zdata.big.restore.gfxpak-tmp
printf 'a file of the player' >.zdata.big.tmp
must_pass -p zdata.big rome_two.h
[ -e .zdata.big.gfxpak-tmp ] && fail "the temporary file of a killed -compact is still there"
[ -e .zdata.big.restore.gfxpak-tmp ] && fail "the temporary restore point of a killed -p is still there"
[ -e zdata.big.lock ] && fail "the lock file is still there"
[ "$(cat .zdata.big.tmp)" = 'a file of the player' ] || fail "the clean-up took a file of the player's"
rm .zdata.big.tmp

# An archive that another program changed after gfxpak is not restored over
# (it may no longer have the bytes the restore point expects), nor imported
# into; -force restores anyway.
printf 'X' | dd of=zdata.big bs=1 seek=26 conv=notrunc 2>/dev/null
must_fail 1 -restore zdata.big
grep -q 'zdata.big.restore: the archive is not as gfxpak left it' ../err.log || fail "outdated restore point: $(cat ../err.log)"
must_fail 1 -p zdata.big bern_one.o
must_pass -l zdata.big
grep -q 'restore point: zdata.big.restore, [0-9]* bytes, unusable: .*not as gfxpak left it' ../out.log || fail "-l of an outdated restore point: $(grep restore ../out.log)"
must_fail 2 -restore -force
must_pass -restore -force zdata.big
cmp -s zdata.big ../zdata.original || fail "-restore -force did not give the original back"
[ -f zdata.big.restore ] && fail "-restore -force left its restore point"

# Another archive's restore point, from an archive with the same entries in
# another order (same size, same last bytes), is refused and changes nothing.
{ printf 'first'; head -c 6000 /dev/zero; } >x.o
{ printf 'other'; head -c 6000 /dev/zero; } >y.o
printf 'z' >z.o
must_pass -p -norestore a.big x.o
must_pass -p -norestore a.big y.o
must_pass -p -norestore b.big y.o
must_pass -p -norestore b.big x.o
[ "$(stat -c %s a.big)" -eq "$(stat -c %s b.big)" ] || fail "the two archives differ in size"
must_pass -p a.big z.o
cp a.big.restore b.big.restore
must_fail 1 -restore b.big
must_fail 1 -p b.big z.o
# Even -force writes nothing that does not hash as the original.
must_fail 6 -restore -force b.big
grep -q 'b.big: the original cannot be put back: .*entries "x.o", "y.o" are not the original.s.*put back the game.s own b.big' ../err.log ||
  fail "-restore -force of another archive's restore point: $(cat ../err.log)"
rm b.big.restore
must_pass -restore a.big
rm a.big b.big x.o y.o z.o

# An archive that is a symbolic link is changed through it: the copy that
# -restore NAME and -compact rename over the archive replaces the file the
# link names, which keeps its permissions, and the link stays a link. Under
# Wine too, which shows a Unix link as a plain file (there the permissions
# are Wine's to give: Windows has no such modes).
if command -v ln >/dev/null; then
  mkdir -p ../real
  cp "$GOLDEN" ../real/linked.big
  chmod 640 ../real/linked.big
  ln -s ../real/linked.big linked.big
  must_pass -p linked.big bern_one.o
  must_pass -p linked.big rome_two.h
  [ -f linked.big.restore ] || fail "the restore point is not beside the name the archive was given"
  must_pass -restore linked.big bern_one.o
  must_pass -compact -force linked.big
  [ -L linked.big ] || fail "the link to the archive became a file"
  if [ "${#runner[@]}" -eq 0 ]; then
    [ "$(stat -c %a ../real/linked.big)" = 640 ] || fail "the archive lost its permissions: $(stat -c %a ../real/linked.big)"
  fi
  must_pass -l linked.big
  grep -q ' 4 entries' ../out.log || fail "-l through the link: $(cat ../out.log)"
  rm linked.big linked.big.restore 2>/dev/null
fi

# A restore point without its archive: nothing is created beside it.
cp zdata.big ../zdata.kept
must_pass -p zdata.big bern_one.o
mv zdata.big ../zdata.moved
must_fail 1 -p zdata.big rome_two.h
grep -q 'zdata.big: has a restore point but the archive itself is missing' ../err.log || fail "orphan restore point: $(cat ../err.log)"
mv ../zdata.moved zdata.big
must_pass -restore zdata.big
cmp -s zdata.big ../zdata.kept || fail "-restore after the orphan check"

# An archive that another program holds for writing is refused by name,
# with the code of its own; under Wine the holder is a Windows program that
# opens it as the game does, sharing it for reading only. Taking a stadium
# out of it tells the player to close the game and changes nothing.
printf 'held' >held_one.o
must_pass -p zdata.big held_one.o
held_takeout() {
  must_fail 3 -takeout zdata.big -- held_one.o <<<y
  says 'zdata.big: nothing was taken out: it is in use by another program. Close the game (or a program that may be scanning or syncing the game'"'"'s folder, such as an antivirus or OneDrive), then run this again.' ||
    fail "-takeout of a held archive: $(cat ../out.log)"
}
if [ "${#runner[@]}" -eq 0 ] && command -v flock >/dev/null; then
  flock zdata.big sleep 5 &
  holder=$!
  sleep 0.5
  must_fail 3 -p zdata.big rome_two.h
  grep -q 'zdata.big: archive is in use' ../err.log || fail "held archive: $(cat ../err.log)"
  held_takeout
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
elif [ "${#runner[@]}" -gt 0 ] && [ -n "${HOLD_FILE:-}" ]; then
  rm -f ../release
  # Made first: the holder's output lands in it only once it runs.
  : >../hold.log
  "${runner[@]}" "$HOLD_FILE" zdata.big "$("${runner[@]}" winepath -w "$work/release")" >../hold.log 2>&1 &
  holder=$!
  for _ in $(seq 1 100); do
    grep -q holding ../hold.log && break
    sleep 0.1
  done
  if grep -q holding ../hold.log; then
    must_fail 3 -p zdata.big rome_two.h
    grep -q 'zdata.big: archive is in use' ../err.log || fail "held archive: $(cat ../err.log)"
    held_takeout
  else
    fail "could not hold zdata.big: $(cat ../hold.log)"
  fi
  touch ../release
  wait "$holder" 2>/dev/null
fi

# The copy the game reads: for a game under Program Files, Windows may keep
# a per-user copy of an archive (VirtualStore) that the game reads instead.
# Every command works on that copy, with its restore point and lock beside
# it, and says so; the file under Program Files stays as it is.
if [ "${#runner[@]}" -gt 0 ] && [ -n "${WINEPREFIX:-}" ]; then
  local_app=$("${runner[@]}" cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')
  store=$("${runner[@]}" winepath -u "$local_app\\VirtualStore\\Program Files\\Tessolo test\\data" 2>/dev/null | tr -d '\r')
  game="$WINEPREFIX/drive_c/Program Files/Tessolo test/data"
  if [ -z "$local_app" ] || [ -z "$store" ]; then
    fail "the prefix names no local application data folder ('$local_app')"
  else
    mkdir -p "$game" "$store"
    cp "$GOLDEN" "$game/zdata_05.big"
    cp "$GOLDEN" "$store/zdata_05.big"
    cp rome_two.h "$game/"
    (
      cd "$game" || exit 1
      g -p zdata_05.big rome_two.h >../put.log 2>&1 || echo "FAIL: -p with a per-user copy: $(cat ../put.log)"
      tr -d '\r' <../put.log | grep -qF "zdata_05.big: the game reads its copy $local_app\\VirtualStore\\Program Files\\Tessolo test\\data\\zdata_05.big; that copy is the one used" ||
        echo "FAIL: -p did not say which copy it used: $(cat ../put.log)"
      [ -f "$store/zdata_05.big.restore" ] && [ ! -e zdata_05.big.restore ] ||
        echo "FAIL: the restore point is not beside the copy the game reads"
      g -x zdata_05.big rome_two.h ../taken.h >/dev/null 2>&1 && cmp -s ../taken.h rome_two.h ||
        echo "FAIL: the entry is not in the copy the game reads"
      g -restore zdata_05.big >../restore.log 2>&1 || echo "FAIL: -restore of the copy: $(cat ../restore.log)"
    ) >../store.log
    [ -s ../store.log ] && fail "$(cat ../store.log)"
    cmp -s "$game/zdata_05.big" "$GOLDEN" || fail "the archive under Program Files was changed"
    cmp -s "$store/zdata_05.big" "$GOLDEN" || fail "-restore did not give the copy its original back"
    left=$(find "$game" "$store" -name '*.restore' -o -name '*.lock')
    [ -z "$left" ] || fail "a restore point or lock was left: $left"
    rm -rf "$WINEPREFIX/drive_c/Program Files/Tessolo test" "$(dirname "$store")"
  fi
fi

# Access denied has a code of its own: here a folder in which nobody may
# create a file, root included (Linux's /sys). A read-only archive is the
# same to a player, but root may write it all the same, so it is tried only
# where the test does not run as root.
if [ -d /sys/kernel ]; then
  sys=/sys
  [ "${#runner[@]}" -gt 0 ] && sys='Z:\sys'
  must_fail 4 -p "$sys/zdata.big" rome_two.h
  must_fail 4 -compress -real rome_two.h "$sys/rome_two.h"
fi
if [ "$(id -u)" -ne 0 ]; then
  cp zdata.big ../readonly.big
  chmod a-w ../readonly.big
  must_fail 4 -p ../readonly.big rome_two.h
  chmod u+w ../readonly.big
fi

# Taking out single stadiums: a replaced entry gets its original bytes, an
# added one leaves the table; -l marks each entry; a name that is not there
# or that gfxpak never changed is refused, and nothing changes; once nothing
# differs, the archive is the original byte for byte.
cp "$GOLDEN" undo.big
cp undo.big ../undo.original
printf 'a new bern' >bern_golden.o
printf 'added one' >added_one.o
printf 'added two' >added_two.h
must_pass -p undo.big bern_golden.o
must_pass -p undo.big added_one.o
must_pass -p undo.big added_two.h
must_pass -l undo.big
grep -qF 'replaced  data\stadium\bern_golden.o' ../out.log || fail "-l mark of a replaced entry: $(cat ../out.log)"
grep -qF 'original  data/stadium/rome_golden.h' ../out.log || fail "-l mark of an original entry"
grep -qF 'added     added_one.o' ../out.log || fail "-l mark of an added entry"
grep -q '^5 entries: 2 original, 1 replaced, 2 added' ../out.log || fail "-l counts: $(tail -n1 ../out.log)"
must_fail 1 -restore undo.big nothere.o
grep -q 'undo.big: no such entry ("nothere.o")' ../err.log || fail "-restore of a missing name: $(cat ../err.log)"
must_fail 1 -restore undo.big added_one.o rome_golden.h
grep -q 'undo.big: gfxpak has not changed this entry ("data/stadium/rome_golden.h")' ../err.log ||
  fail "-restore of an unchanged name: $(cat ../err.log)"
must_fail 2 -restore -force undo.big added_one.o
must_fail 1 -restore golden.big nothere.o
must_pass -restore undo.big added_one.o
grep -qF 'undo.big: "added_one.o" is out of the table' ../out.log || fail "-restore of an added entry: $(cat ../out.log)"
must_pass -check undo.big
grep -q 'undo.big: 4 entries read, .*its restore point matches it' ../out.log || fail "-check of a sound archive: $(cat ../out.log)"
must_pass -restore undo.big BERN_GOLDEN.O
grep -qF 'undo.big: "data\stadium\bern_golden.o" has its original bytes again' ../out.log || fail "-restore of a replaced entry"
must_pass -restore undo.big added_two.h
grep -q 'nothing differs from the original any more' ../out.log || fail "-restore of the last change: $(cat ../out.log)"
cmp -s undo.big ../undo.original || fail "single restores did not end in the original archive"
[ -e undo.big.restore ] && fail "the restore point outlived the last change"

# -check reads and decodes every entry: a compressed entry that another
# program damaged is named.
cp "$GOLDEN" check.big
seq 1 5000 >bern_check.o
must_pass -compress -real bern_check.o bern_check.o
must_pass -p check.big bern_check.o
must_pass -l check.big
at=$(tr -d '\r' <../out.log | awk '$NF == "bern_check.o" { print $1 }')
# A copy from before the start of the output, right after the 5-byte header.
printf '\x7c\xff' | dd of=check.big bs=1 seek=$((at + 5)) conv=notrunc 2>/dev/null
must_fail 1 -check check.big
grep -q '^entry "bern_check.o": not a valid RefPack stream' ../out.log || fail "-check of a damaged entry: $(cat ../out.log)"
grep -q 'check.big: problems found' ../err.log || fail "-check verdict: $(cat ../err.log)"
rm -f undo.big check.big check.big.restore bern_check.o added_one.o added_two.h

# Taking stadiums out as a player does, through -takeout: it says what will
# happen to each, asks, and changes nothing unless the answer is yes. Files
# are named by the paths dropped on the script, or picked by their numbers.
cp "$GOLDEN" take5.big
cp "$GOLDEN" take6.big
printf 'a new bern' >bern_golden.o
printf 'added one' >added_one.o
printf 'added two' >'velo_ü.o'
must_pass -p take5.big bern_golden.o
must_pass -p take5.big added_one.o
must_pass -p take6.big 'velo_ü.o'
takeout_args=(-takeout take5.big take6.big missing.big -- 'C:\Downloads\bern_golden.o' "$PWD/velo_ü.o" readme.txt)
for answer in n '' 'no thanks'; do
  before=$(snapshot)
  must_pass "${takeout_args[@]}" <<<"$answer"
  [ "$(snapshot)" = "$before" ] || fail "-takeout answered '$answer' changed the folder"
  grep -q '^Nothing was changed' ../out.log || fail "-takeout answered '$answer': $(cat ../out.log)"
done
before=$(snapshot)
must_pass "${takeout_args[@]}" </dev/null
[ "$(snapshot)" = "$before" ] || fail "-takeout without an answer changed the folder"
for line in "bern_golden.o: take5.big will get the game's own bern_golden.o back velo_ü.o: will be taken out of take6.big" \
  'readme.txt: not imported into take5.big or take6.big, nothing to do Close the game before you go on.' \
  'Take out these 2 stadium files? (y/N)'; do
  says "$line" || fail "-takeout does not say '$line': $(cat ../out.log)"
done
must_pass "${takeout_args[@]}" <<<y
says "bern_golden.o: the game's own is back in take5.big" &&
  says 'take6.big: no imported stadium is left in it; it is the game'"'"'s original again' || fail "-takeout, yes: $(cat ../out.log)"
cmp -s take6.big "$GOLDEN" || fail "-takeout did not make take6.big the original"
must_pass -l take5.big
grep -qF 'original  data\stadium\bern_golden.o' ../out.log && grep -qF 'added     added_one.o' ../out.log ||
  fail "-takeout left take5.big as: $(cat ../out.log)"
# Double-clicked, the script lists what imports put in; the player types
# numbers, and a word that is none is asked again.
must_pass -p take6.big 'velo_ü.o'
must_pass -takeout take5.big take6.big <<<$'3 x\n2\ny'
grep -q '^  1  added_one.o  take5.big  added' ../out.log && grep -q '^  2  velo_ü.o     take6.big  added' ../out.log ||
  fail "-takeout list: $(cat ../out.log)"
says '"3" is not a number from 1 to 2.' || fail "-takeout of a number not listed: $(cat ../out.log)"
cmp -s take6.big "$GOLDEN" || fail "-takeout of number 2 did not take velo_ü.o out"
must_pass -l take5.big
grep -qF 'added     added_one.o' ../out.log || fail "-takeout of number 2 took number 1 out as well"
# -all, as restore-original-archives.cmd runs it: per archive what goes.
must_pass -p take5.big bern_golden.o
must_pass -takeout -all take5.big take6.big missing.big <<<n
says "take5.big: 2 imported stadium files go (1 replaced the game's own, which comes back; 1 added)" &&
  says 'take6.big: no restore point, nothing to do' && says 'missing.big: not in this folder, nothing to do' &&
  says 'The imported stadium files do not come back: keep your downloads' || fail "-takeout -all: $(cat ../out.log)"
[ -e take5.big.restore ] || fail "-takeout -all answered no restored all the same"
must_pass -takeout -all take5.big take6.big missing.big <<<y
says "take5.big: the game's original again" || fail "-takeout -all, yes: $(cat ../out.log)"
cmp -s take5.big "$GOLDEN" || fail "-takeout -all did not restore take5.big"
[ -e take5.big.restore ] && fail "-takeout -all left the restore point"
must_pass -takeout -all take5.big take6.big <<<y
says 'Nothing to do.' || fail "-takeout -all of two originals: $(cat ../out.log)"
must_fail 1 -takeout -all missing.big </dev/null
rm -f take5.big take6.big bern_golden.o added_one.o 'velo_ü.o'

# Two entries may share their bytes, as a packer that stores one file for two
# names makes them: readers do not mind, nor does -check. One that begins
# inside another and runs past its end was written over: -check says so.
{
  printf 'BIGF\x3c\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x28'
  printf '\x00\x00\x00\x28\x00\x00\x00\x0aa.o\x00\x00\x00\x00\x28\x00\x00\x00\x0ab.o\x00'
  printf 'shared bytes, twice!'
} >shared.big
must_pass -check shared.big
{
  printf 'BIGF\x3c\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x28'
  printf '\x00\x00\x00\x28\x00\x00\x00\x0aa.o\x00\x00\x00\x00\x2d\x00\x00\x00\x0ab.o\x00'
  printf 'crossing bytes, here'
} >crossing.big
must_fail 1 -check crossing.big
grep -q '^entry "b.o" overlaps entry "a.o" in part' ../out.log || fail "-check of crossing entries: $(cat ../out.log)"
rm shared.big crossing.big

# Read-only files, as a player meets them after copying a data folder from a
# CD: a leftover lock file is taken over at once, a read-only archive is
# refused as such and never as "in use". Only a user without root's rights
# meets them, so a root run drops to nobody for it.
as_player=()
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  as_player=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
if [ "${#runner[@]}" -eq 0 ] && { [ "$(id -u)" -ne 0 ] || [ "${#as_player[@]}" -gt 0 ]; }; then
  mkdir ../readonly && cp golden.big ../readonly/zdata.big && cp bern_one.o ../readonly/
  (
    cd ../readonly || exit 1
    : >zdata.big.lock
    chmod 444 zdata.big.lock
    chmod -R a+rwX . && chmod 777 .
    chmod 444 zdata.big.lock
    "${as_player[@]}" "$gfxpak" -p zdata.big bern_one.o >../ro1.log 2>&1 || echo "FAIL: -p with a read-only lock file: $(cat ../ro1.log)" >&2
    [ -e zdata.big.lock ] && echo "FAIL: the read-only lock file was not taken over" >&2
    chmod 444 zdata.big
    "${as_player[@]}" "$gfxpak" -p zdata.big bern_one.o >../ro2.log 2>&1
    [ $? -eq 4 ] && grep -q 'zdata.big: cannot open: Permission denied' ../ro2.log ||
      echo "FAIL: -p into a read-only archive: $(cat ../ro2.log)" >&2
  ) 2>../readonly.log
  [ -s ../readonly.log ] && fail "read-only files: $(cat ../readonly.log)"
fi

# The scripts a player double-clicks or drops stadium files on, where
# Windows programs can run. They sit in the data folder of a game whose path
# has a space and a letter outside ASCII, gfxpak.exe in the folder above, and
# start as Explorer starts them, cmd /c ""SCRIPT" "FILE"...", from another
# folder. The player's answers come on standard input, whose end is also
# the key that closes the window.
if [ "${#runner[@]}" -gt 0 ] && [ -n "${RESTORE_CMD:-}" ] && [ -n "${TAKEOUT_CMD:-}" ]; then
  game="$work/Games/FIFA 2004 é"
  downloads="$work/My downloads é"
  mkdir -p "$game/data" "$downloads"
  cp "$gfxpak" "$game/"
  cp "$RESTORE_CMD" "$TAKEOUT_CMD" "$game/data/"
  # A stray gfxpak.exe in data that cannot run: the one beside the tool wins.
  echo "not a program" >"$game/data/gfxpak.exe"
  cp golden.big "$game/data/zdata_05.big"
  cp golden.big "$game/data/zdata_06.big"
  printf 'a new bern' >"$downloads/bern_golden.o"
  printf 'added one' >"$downloads/added_one.o"
  printf 'added two' >"$downloads/velo_ü.o"
  printf '@cmd /c ""%%SCRIPT%%" %%DROPPED%%"\r\n@exit /b %%errorlevel%%\r\n' >"$work/explorer.cmd"
  winpath() { "${runner[@]}" winepath -w "$1" 2>/dev/null; }
  import() { (cd "$game/data" && g -p "$1" "$downloads/$2" >/dev/null) || fail "could not import $2 into $1"; }
  # explorer SCRIPT [FILE...]: the files of downloads dropped on SCRIPT (none:
  # a double-click); what the console shows goes to ../script.log.
  explorer() {
    local script=$1 dropped="" file code
    shift
    for file in "$@"; do dropped+=" \"$(winpath "$downloads/$file")\""; done
    (cd "$work" && SCRIPT=$(winpath "$game/data/$script") DROPPED=$dropped "${runner[@]}" cmd /c explorer.cmd) \
      >"$work/script.all" 2>&1
    code=$?
    grep -v -E '^([0-9a-f]{4}:)?(err|fixme|warn|trace):' "$work/script.all" | tr -d '\r' >../script.log
    return "$code"
  }
  # shown TEXT: the script's console showed TEXT, however it broke the lines.
  shown() { tr '\n' ' ' <../script.log | tr -s ' ' | grep -qF -- "$1"; }
  game_state() { (cd "$game" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
  import zdata_05.big bern_golden.o
  import zdata_05.big added_one.o
  import zdata_06.big velo_ü.o

  # Dropped on the restore script: nothing changes, and the player is sent
  # to the script that takes single stadiums out.
  before=$(game_state)
  explorer restore-original-archives.cmd bern_golden.o </dev/null
  code=$?
  [ "$(game_state)" = "$before" ] || fail "a file dropped on the restore script changed the game folder"
  [ "$code" -eq 2 ] && shown 'Nothing was changed. To take out only the stadiums you dropped here, drop them on take-out-stadiums.cmd' ||
    fail "a file dropped on the restore script (exit $code): $(cat ../script.log)"
  # Double-clicked, it says what goes and asks; no changes nothing.
  explorer restore-original-archives.cmd <<<n
  [ "$(game_state)" = "$before" ] || fail "the restore script answered no changed the game folder"
  shown "zdata_05.big: 2 imported stadium files go (1 replaced the game's own, which comes back; 1 added)" &&
    shown 'zdata_06.big: 1 imported stadium file goes (1 added)' &&
    shown 'Put the original archives back? (y/N)' && shown 'Nothing was changed.' ||
    fail "the restore script answered no: $(cat ../script.log)"

  # The take-out script, with two stadiums from a folder of downloads.
  explorer take-out-stadiums.cmd bern_golden.o velo_ü.o <<<y
  code=$?
  shown "bern_golden.o: zdata_05.big will get the game's own bern_golden.o back velo_ü.o: will be taken out of zdata_06.big" &&
    shown "bern_golden.o: the game's own is back in zdata_05.big velo_ü.o: out of zdata_06.big" &&
    shown 'Done.' && shown 'Press any key' ||
    fail "take-out-stadiums.cmd with two dropped files (exit $code): $(cat ../script.log)"
  cmp -s "$game/data/zdata_06.big" golden.big || fail "take-out-stadiums.cmd did not take velo_ü.o out"
  (cd "$game/data" && g -l zdata_05.big) >../out.log 2>&1
  grep -qF 'original  data\stadium\bern_golden.o' ../out.log && grep -qF 'added     added_one.o' ../out.log ||
    fail "take-out-stadiums.cmd left zdata_05.big as: $(cat ../out.log)"
  # Double-clicked, it lists what imports put in and takes the number typed.
  explorer take-out-stadiums.cmd <<<$'1\ny'
  shown '1 added_one.o zdata_05.big added' && shown 'added_one.o: out of zdata_05.big' ||
    fail "take-out-stadiums.cmd by number: $(cat ../script.log)"
  cmp -s "$game/data/zdata_05.big" golden.big || fail "take-out-stadiums.cmd did not take number 1 out"

  # Run by hand in the data folder, without the closing key (/nopause), and
  # answered yes: the original is back.
  import zdata_06.big velo_ü.o
  (cd "$game/data" && "${runner[@]}" cmd /c restore-original-archives.cmd /nopause <<<y >"$work/script.all" 2>&1)
  code=$?
  grep -v -E '^([0-9a-f]{4}:)?(err|fixme|warn|trace):' "$work/script.all" | tr -d '\r' >../script.log
  cmp -s "$game/data/zdata_06.big" golden.big || fail "the restore script did not restore zdata_06.big"
  [ "$code" -eq 0 ] && shown "zdata_06.big: the game's original again" && ! shown 'Press any key' ||
    fail "the restore script, /nopause (exit $code): $(cat ../script.log)"
  [ -e "$game/data/zdata_06.big.restore" ] && fail "the restore script left the restore point"
fi

# No temporary file may be left behind.
leftovers=$(find . -name '*.gfxpak-tmp' | wc -l)
[ "$leftovers" -eq 0 ] || fail "$leftovers temporary files left"

if [ "$failures" -ne 0 ]; then
  if [ -s "$work/wine.log" ]; then
    echo "Wine's error lines:" >&2
    cat "$work/wine.log" >&2
  fi
  echo "$failures failures" >&2
  exit 1
fi
echo "all gfxpak command-line checks passed"

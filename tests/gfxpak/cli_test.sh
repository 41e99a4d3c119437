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
# The version is the project's, as the build was given it.
must_pass --version && [ "$(tr -d '\r' <../out.log)" = "gfxpak ${TESSOLO_VERSION:?}" ] || fail "--version output: $(cat ../out.log)"
must_pass -h && grep -q -- '-compress -real IN OUT' ../out.log || fail "-h output"
# Every exit code a caller can act on is listed.
for code in '1 refused' '2 bad usage' '3 archive or file in use' '4 access denied' '5 no space' '6 damaged archive' \
  '7 empty stadium file'; do
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
# opens it as the game does, sharing it for reading only.
if [ "${#runner[@]}" -eq 0 ] && command -v flock >/dev/null; then
  flock zdata.big sleep 5 &
  holder=$!
  sleep 0.5
  must_fail 3 -p zdata.big rome_two.h
  grep -q 'zdata.big: archive is in use' ../err.log || fail "held archive: $(cat ../err.log)"
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
  else
    fail "could not hold zdata.big: $(cat ../hold.log)"
  fi
  touch ../release
  wait "$holder" 2>/dev/null
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

# The double-clickable restore script, where Windows programs can run: it
# sits in the data folder, with gfxpak.exe in the folder above.
if [ "${#runner[@]}" -gt 0 ] && [ -n "${RESTORE_CMD:-}" ]; then
  mkdir -p ../game/data
  cp "$gfxpak" ../game/
  cp "$RESTORE_CMD" ../game/data/
  # A stray gfxpak.exe in data that cannot run: the one beside the tool wins.
  echo "not a program" >../game/data/gfxpak.exe
  cp golden.big ../game/data/zdata_05.big
  cp golden.big ../game/data/golden.original
  (
    cd ../game/data || exit 1
    g -p zdata_05.big ../../files/rome_two.h >/dev/null 2>&1
    [ -f zdata_05.big.restore ] || echo "FAIL: no restore point for the script" >&2
    "${runner[@]}" cmd /c restore-original-archives.cmd /nopause >../script.log 2>&1
    echo "exit $?" >>../script.log
  )
  cmp -s ../game/data/zdata_05.big ../game/data/golden.original || fail "the restore script did not restore zdata_05.big"
  grep -q 'zdata_05.big: back to the original' ../game/script.log || fail "restore script output: $(cat ../game/script.log)"
  grep -q 'zdata_06.big: not found' ../game/script.log || fail "restore script output for zdata_06.big"
  grep -q 'exit 0' ../game/script.log || fail "restore script exit status"
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

#!/usr/bin/env bash
# The tool as a player meets it: the real tessolo.exe and gfxpak.exe in a game
# folder under Wine, driven only from outside. The menu is clicked on the
# screen; what counts is what a player could see: the window title, the
# labels on a screenshot, message boxes, the files in the data folder and
# what the archives hold afterwards.
# Usage: blackbox_test.sh TESSOLO_EXE GFXPAK_EXE HOLD_FILE_EXE ARTEFACT_DIR
# Needs DISPLAY and WINEPREFIX (scripts/test provides both) and WINELOADER
# (the build's Wine loader, which ctest sets).
set -euo pipefail
tessolo=$1 gfxpak=$2 hold=$3 artefacts=$4
: "${DISPLAY:?black-box test: DISPLAY is not set}"
: "${WINEPREFIX:?black-box test: WINEPREFIX is not set}"
: "${WINELOADER:?black-box test: WINELOADER is not set}"
: "${TESSOLO_CAPTION:?black-box test: TESSOLO_CAPTION is not set}"
for tool in xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/setup installs it)"; exit 1; }
done
lib=$(cd "$(dirname "$0")/../../scripts/lib" && pwd)
. "$lib/window.sh"
. "$lib/gamefolder.sh"
# Names outside ASCII reach Wine, and through it the tool, as UTF-8.
export LC_ALL=C.UTF-8

work=$(mktemp -d "${TMPDIR:-/tmp}/tessolo-blackbox.XXXXXX")
holder=
cleanup() {
  tw_stop
  if [ -n "$holder" ]; then
    touch "$work/release"
    wait "$holder" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$artefacts"
mkdir -p "$artefacts"

failures=0
case=
fail() {
  echo "FAIL [$case]: $*"
  failures=$((failures + 1))
}
begin() {
  case=$1
  echo "--- $case"
}

# seed FOLDER ARCHIVE NAME...: the game's archive with entries of its own.
seed() {
  local folder=$1 archive=$2 name
  shift 2
  for name in "$@"; do
    gf_stadium_file "$folder/data/$name" $((2000 + RANDOM % 30000))
    gf_pak "$folder" -p "$archive" "$name" >/dev/null
    rm "$folder/data/$name"
  done
  # As installed, the game has no restore point; the tool's run makes one.
  rm -f "$folder/data/$archive.restore"
}

# stadium FOLDER TABLE: copies the stadium files of a "name|archive" table
# into the data folder, keeping the originals for the checks.
stadium() {
  local folder=$1 name archive
  mkdir -p "$folder/originals"
  while IFS='|' read -r name archive; do
    [ -n "$name" ] || continue
    gf_stadium_file "$folder/originals/$name" $((1 + RANDOM * 7))
    cp "$folder/originals/$name" "$folder/data/$name"
  done <<<"$2"
}

# Files the tool must leave alone: no "_", a kind it does not take, a last
# letter in upper case.
bystanders() {
  local name
  mkdir -p "$1/originals"
  for name in ab.o a_b.txt west_x.O; do
    gf_stadium_file "$1/originals/$name" 500
    cp "$1/originals/$name" "$1/data/$name"
  done
}

# snapshot FOLDER: the archives as they were before the run.
snapshot() {
  local archive
  mkdir -p "$1/before"
  for archive in zdata_05.big zdata_06.big; do
    cp "$1/data/$archive" "$1/before/$archive"
    gf_entries "$1" "$archive" >"$1/before/$archive.list"
  done
}

# imported FOLDER TABLE: each file of the table is gone from the data folder,
# stands in the archive its name calls for and in no other, and comes out of
# it as the original bytes.
imported() {
  local folder=$1 name archive other
  while IFS='|' read -r name archive; do
    [ -n "$name" ] || continue
    [ -e "$folder/data/$name" ] && fail "$name is still in the data folder"
    if gf_pak "$folder" -x -d "$archive" "$name" ../extracted >/dev/null 2>"$folder/extract.err"; then
      cmp -s "$folder/extracted" "$folder/originals/$name" || fail "$name in $archive is not the original file"
    else
      fail "$name is not in $archive: $(tr -d '\r' <"$folder/extract.err")"
    fi
    other=zdata_05.big
    [ "$archive" = zdata_05.big ] && other=zdata_06.big
    gf_entries "$folder" "$other" | cut -d' ' -f3- | grep -qxF "$name" && fail "$name was put into $other too"
  done <<<"$2"
  return 0
}

# others_kept FOLDER TABLE: every entry that was in an archive before and is
# not one of the table's files has its old bytes, and the old entries keep
# their order ahead of any new one.
others_kept() {
  local folder=$1 archive off size name now_off now_size
  local names
  names=$(cut -d'|' -f1 <<<"$2")
  for archive in zdata_05.big zdata_06.big; do
    gf_entries "$folder" "$archive" >"$folder/after.list"
    local count
    count=$(wc -l <"$folder/before/$archive.list")
    if ! diff -q <(cut -d' ' -f3- "$folder/before/$archive.list") \
      <(head -n "$count" "$folder/after.list" | cut -d' ' -f3-) >/dev/null; then
      fail "$archive: the entries that were there are not first and in their old order"
    fi
    while read -r off size name; do
      grep -qxF "$name" <<<"$names" && continue
      read -r now_off now_size < <(awk -v n="$name" '{ o = $1; s = $2; sub(/^[0-9]+ [0-9]+ /, "") } $0 == n { print o, s }' \
        "$folder/after.list") || true
      if [ -z "${now_off:-}" ]; then
        fail "$archive lost its entry $name"
      elif ! cmp -s <(gf_entry_bytes "$folder/before/$archive" "$off" "$size") \
        <(gf_entry_bytes "$folder/data/$archive" "$now_off" "$now_size"); then
        fail "$archive: the entry $name changed"
      fi
      now_off=
    done <"$folder/before/$archive.list"
  done
}

# untouched FOLDER NAME...: the files are in the data folder as they came.
untouched() {
  local folder=$1 name
  shift
  for name in "$@"; do
    cmp -s "$folder/data/$name" "$folder/originals/$name" || fail "$name was changed or removed"
  done
}

# The captions a run may show for a file: its two commands, with the
# archive its name calls for.
caption_ok() {
  local title=$1 table=$2 name archive
  [ "$title" = "$TW_CAPTION" ] && return 0
  while IFS='|' read -r name archive; do
    [ "$title" = "COMPRESS $name" ] && return 0
    [ "$title" = "import $name in $archive" ] && return 0
  done <<<"$table"
  return 1
}

# run_to_end FOLDER TABLE SHOT: chooses "start" and waits until every file
# of the table has left the data folder and the title is the tool's own
# again. Every title seen on the way must belong to one of the files.
run_to_end() {
  local folder=$1 table=$2 shot=$3 start=$SECONDS title left name archive
  tw_menu start
  while :; do
    title=$(tw_title)
    caption_ok "$title" "$table" || fail "unexpected title during the run: $title"
    left=0
    while IFS='|' read -r name archive; do
      [ -e "$folder/data/$name" ] && left=$((left + 1))
    done <<<"$table"
    [ "$left" -eq 0 ] && [ "$title" = "$TW_CAPTION" ] && break
    if [ -n "$(tw_dialog 0)" ] || ! tw_running; then
      fail "the run stopped with $left files left (a message box, or the tool ended)"
      break
    fi
    if [ $((SECONDS - start)) -gt 90 ]; then
      fail "the run did not end within 90 s ($left files left, title $title)"
      break
    fi
    sleep 0.1
  done
  sleep 0.3
  tw_screenshot "$shot"
}

# exit_by_menu: "exit" ends the tool at once, and with success.
exit_by_menu() {
  tw_menu exit || { fail "could not choose exit"; return; }
  if ! tw_wait_exit 20; then
    fail "exit did not end the tool"
  elif [ "$TW_EXIT" != 0 ]; then
    fail "exit ended the tool with $TW_EXIT, not 0"
  fi
}

# start_tool FOLDER: the tool started in its folder, its window found.
start_tool() {
  tw_launch "$1"
  tw_window || { fail "no main window appeared"; return 1; }
}

# ---------------------------------------------------------------------------
begin "whole run"
whole=$(cat <<'EOF'
bern_old.o|zdata_05.big
bolla_x.o|zdata_05.big
velo_stadio.o|zdata_06.big
dumm_x.o|zdata_06.big
alpi_cd.h|zdata_06.big
geno_cd.h|zdata_05.big
cdxx_a.h|zdata_05.big
alpi_cn.h|zdata_05.big
velo_cn.h|zdata_06.big
amst_1.cnh|zdata_05.big
alpi_cncd.h|zdata_06.big
west_x.h|zdata_05.big
alpi_x.h|zdata_06.big
zzzz_x.h|zdata_06.big
EOF
)
g=$work/whole
gf_folder "$g" "$tessolo" "$gfxpak"
# bern_old.o, velo_stadio.o and alpi_x.h replace entries the game has.
seed "$g" zdata_05.big bern_old.o high_x.h fe_art.fsh west_ab.h
seed "$g" zdata_06.big velo_stadio.o alpi_x.h sounds.dat
stadium "$g" "$whole"
bystanders "$g"
snapshot "$g"
if start_tool "$g"; then
  [ "$(tw_title)" = "$TW_CAPTION" ] || fail "title at start is $(tw_title)"
  run_to_end "$g" "$whole" "$artefacts/whole-run.png"
  tw_ok_shown "$artefacts/whole-run.png" || fail "OK ! is not shown after the run"
  tw_empty_shown "$artefacts/whole-run.png" && fail "DIRECTORY EMPTY is shown after a run with files"
  imported "$g" "$whole"
  others_kept "$g" "$whole"
  untouched "$g" ab.o a_b.txt west_x.O
  exit_by_menu
fi

# ---------------------------------------------------------------------------
begin "names with spaces and letters outside ASCII"
names=$(cat <<'EOF'
bern_a b.o|zdata_05.big
velo_città.o|zdata_06.big
alpi_über cd.h|zdata_06.big
sans_  two  spaces .h|zdata_06.big
EOF
)
g=$work/names
gf_folder "$g" "$tessolo" "$gfxpak"
seed "$g" zdata_05.big bern_x.o
seed "$g" zdata_06.big velo_x.o
stadium "$g" "$names"
snapshot "$g"
if start_tool "$g"; then
  run_to_end "$g" "$names" "$artefacts/names.png"
  tw_ok_shown "$artefacts/names.png" || fail "OK ! is not shown after the run"
  imported "$g" "$names"
  others_kept "$g" "$names"
  exit_by_menu
fi

# ---------------------------------------------------------------------------
begin "empty data folder, then new files"
later=$(cat <<'EOF'
bern_n.o|zdata_05.big
velo_n.h|zdata_06.big
EOF
)
g=$work/empty
gf_folder "$g" "$tessolo" "$gfxpak"
seed "$g" zdata_05.big bern_x.o
seed "$g" zdata_06.big velo_x.o
bystanders "$g"
snapshot "$g"
if start_tool "$g"; then
  tw_menu start
  shown=
  for _ in $(seq 1 50); do
    tw_screenshot "$artefacts/empty.png"
    if tw_empty_shown "$artefacts/empty.png"; then
      shown=1
      break
    fi
    sleep 0.2
  done
  [ -n "$shown" ] || fail "DIRECTORY EMPTY did not appear"
  tw_ok_shown "$artefacts/empty.png" && fail "OK ! is shown after an empty run"
  [ "$(tw_title)" = "$TW_CAPTION" ] || fail "an empty run changed the title to $(tw_title)"
  cmp -s "$g/data/zdata_05.big" "$g/before/zdata_05.big" || fail "an empty run changed zdata_05.big"
  cmp -s "$g/data/zdata_06.big" "$g/before/zdata_06.big" || fail "an empty run changed zdata_06.big"
  untouched "$g" ab.o a_b.txt west_x.O
  # The player copies files in and chooses start again.
  stadium "$g" "$later"
  run_to_end "$g" "$later" "$artefacts/empty-then-files.png"
  tw_ok_shown "$artefacts/empty-then-files.png" || fail "OK ! is not shown after the second run"
  tw_empty_shown "$artefacts/empty-then-files.png" && fail "DIRECTORY EMPTY stayed after the second run"
  imported "$g" "$later"
  others_kept "$g" "$later"
  exit_by_menu
fi

# ---------------------------------------------------------------------------
begin "rejected o-file in the middle of a run"
# The run takes the files in name order: alpi_a.o, kaka_x.o, velo_z.o.
g=$work/reject
gf_folder "$g" "$tessolo" "$gfxpak"
seed "$g" zdata_05.big bern_x.o
seed "$g" zdata_06.big velo_x.o
stadium "$g" "alpi_a.o|zdata_05.big
kaka_x.o|-
velo_z.o|zdata_06.big"
snapshot "$g"
if start_tool "$g"; then
  tw_menu start
  if box=$(tw_dialog 60); then
    sleep 0.3
    tw_screenshot "$artefacts/rejected.png"
    imported "$g" "alpi_a.o|zdata_05.big"
    untouched "$g" kaka_x.o velo_z.o
    cmp -s "$g/data/zdata_06.big" "$g/before/zdata_06.big" || fail "zdata_06.big changed although nothing went there"
    tw_confirm "$box"
    if tw_wait_exit 20; then
      echo "the tool ended with exit code $TW_EXIT"
    else
      fail "the tool did not end after OK on the message"
    fi
    untouched "$g" kaka_x.o velo_z.o
  else
    fail "no message box for kaka_x.o"
  fi
fi

# ---------------------------------------------------------------------------
begin "gfxpak fails for one file"
# The game is running and holds zdata_06.big, so the one file that belongs
# there cannot go in; the two for zdata_05.big can.
g=$work/held
gf_folder "$g" "$tessolo" "$gfxpak"
seed "$g" zdata_05.big bern_x.o
seed "$g" zdata_06.big velo_x.o
fine="bern_f.o|zdata_05.big
west_f.h|zdata_05.big"
stadium "$g" "$fine
velo_f.o|zdata_06.big"
snapshot "$g"
cp "$hold" "$g/hold_file.exe"
rm -f "$work/release"
(cd "$g/data" && exec "$WINELOADER" ../hold_file.exe zdata_06.big "$("$WINELOADER" winepath -w "$work/release")") >"$g/hold.log" 2>&1 &
holder=$!
for _ in $(seq 1 100); do
  grep -q holding "$g/hold.log" && break
  sleep 0.1
done
grep -q holding "$g/hold.log" || fail "could not hold zdata_06.big: $(cat "$g/hold.log")"
if start_tool "$g"; then
  tw_menu start
  if box=$(tw_dialog 90); then
    sleep 0.3
    tw_screenshot "$artefacts/gfxpak-failed.png"
    imported "$g" "$fine"
    [ -e "$g/data/velo_f.o" ] || fail "velo_f.o was deleted although it is not in the archive"
    if [ -e "$g/data/velo_f.o" ]; then
      # The compress command has run on it; what is left must still be the
      # player's file, in the packer's compressed form or as it came.
      if ! cmp -s "$g/data/velo_f.o" "$g/originals/velo_f.o"; then
        gf_pak "$g" -d velo_f.o ../kept >/dev/null 2>&1 && cmp -s "$g/kept" "$g/originals/velo_f.o" ||
          fail "the kept velo_f.o is neither the original nor a compressed copy of it"
      fi
    fi
    tw_confirm "$box"
    for _ in $(seq 1 50); do
      [ -z "$(tw_dialog 0)" ] && break
      sleep 0.2
    done
    [ -z "$(tw_dialog 0)" ] || fail "the failure message did not close on OK"
    tw_running || fail "the tool ended after the failure message"
    [ "$(tw_title)" = "$TW_CAPTION" ] || fail "title after the run is $(tw_title)"
    tw_screenshot "$artefacts/gfxpak-failed-after.png"
    tw_ok_shown "$artefacts/gfxpak-failed-after.png" && fail "OK ! is shown although a file failed"
  else
    fail "no message about the file that failed"
  fi
  touch "$work/release"
  wait "$holder" 2>/dev/null || true
  holder=
  cmp -s "$g/data/zdata_06.big" "$g/before/zdata_06.big" || fail "the held zdata_06.big changed"
  tw_running && exit_by_menu
fi

# ---------------------------------------------------------------------------
begin "missing data folder"
g=$work/nodata
gf_folder "$g" "$tessolo" "$gfxpak"
rmdir "$g/data"
tw_launch "$g"
if box=$(tw_dialog 60); then
  sleep 0.3
  tw_screenshot "$artefacts/no-data-folder.png"
  eval "$(xdotool getwindowgeometry --shell "$box")"
  [ "$WIDTH" -ne "$TW_CLIENT_W" ] || fail "the main window appeared without a data folder"
  [ "$(tw_windows | wc -l)" -eq 1 ] || fail "another window besides the error message is shown"
  tw_confirm "$box"
  if ! tw_wait_exit 20; then
    fail "the tool did not end after the error message"
  elif [ "$TW_EXIT" = 0 ]; then
    fail "the tool reported success without a data folder"
  fi
  [ -e "$g/data" ] && fail "the tool made a data folder"
else
  fail "no error message without a data folder"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures black-box checks failed; screenshots in $artefacts"
  exit 1
fi
echo "all black-box checks passed; screenshots in $artefacts"

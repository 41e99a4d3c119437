#!/usr/bin/env bash
# The tool as a player meets it: the real tessolo.exe and gfxpak.exe in a game
# folder under Wine, driven only from outside. The menu is clicked on the
# screen; what counts is what a player could see: the window title, the
# labels on a screenshot, message boxes, the files in the data folder and
# what the archives hold afterwards.
# Usage: blackbox_test.sh TESSOLO_EXE GFXPAK_EXE HOLD_FILE_EXE DIALOG_TEXT_EXE SCAN_FOLDER_EXE ARTEFACT_DIR
# Needs DISPLAY and WINEPREFIX (scripts/test provides both) and WINELOADER
# (the build's Wine loader, which ctest sets).
set -euo pipefail
tessolo=$1 gfxpak=$2 hold=$3 dialog_text=$4 scan_folder=$5 artefacts=$6
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
holder='' scanner=''
# Game folders under the prefix's Program Files, and the per-user copies
# Windows keeps of their files; a folder made unwritable for a case.
program_files=() immutable=()
cleanup() {
  tw_stop
  if [ -n "$holder$scanner" ]; then
    touch "$work/release"
    [ -z "$holder" ] || wait "$holder" 2>/dev/null || true
    [ -z "$scanner" ] || wait "$scanner" 2>/dev/null || true
  fi
  [ "${#immutable[@]}" -eq 0 ] || chattr -i "${immutable[@]}" 2>/dev/null || true
  [ "${#program_files[@]}" -eq 0 ] || rm -rf "${program_files[@]}"
  rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$artefacts"
mkdir -p "$artefacts"

failures=0
case=
# fail TEXT: the check failed; what the screen shows then is kept beside the
# other screenshots, with the tool's title, so that a failure seen once can
# be read afterwards.
fail() {
  echo "FAIL [$case]: $*"
  failures=$((failures + 1))
  local shot
  shot="$artefacts/failed-$(tr -c 'a-zA-Z0-9\n' '-' <<<"$case")-$failures.png"
  tw_screenshot "$shot" 2>/dev/null && echo "  (the screen then: $shot; the tool's title: $(tw_title 2>/dev/null))"
  return 0
}
begin() {
  case=$1
  echo "--- $case (at $SECONDS s)"
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

# game_folder FOLDER: a fresh game folder whose archives hold an entry each.
game_folder() {
  gf_folder "$1" "$tessolo" "$gfxpak"
  seed "$1" zdata_05.big bern_x.o
  seed "$1" zdata_06.big velo_x.o
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
# A busy machine slows the whole run, so only a run that stops moving fails:
# 90 s in which no file leaves the folder.
run_to_end() {
  local folder=$1 table=$2 shot=$3 moved=$SECONDS before=-1 title left name archive
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
    if [ "$left" -ne "$before" ]; then
      before=$left moved=$SECONDS
    elif [ $((SECONDS - moved)) -gt 90 ]; then
      fail "the run stood still for 90 s ($left files left, title $title)"
      break
    fi
    sleep 0.1
  done
  sleep 0.3
  tw_screenshot "$shot"
}

# message ID: what the message box ID says, read from inside Wine as a
# player reads it: "title ...", "screen W H", "box L T R B", then a line
# "CLASS STYLE TEXT" per control (dialog_text.cpp).
message() {
  "$WINELOADER" "$dialog_text" "$(xdotool getwindowname "$1")" 2>&1 | tr -d '\r'
}

# message_text ID: the box's text on one line, its line breaks as blanks.
message_text() {
  message "$1" | awk '$1 == "Static" && NF > 2 && !/ \((no )?icon\)$/ { sub(/^Static [0-9a-f]+ /, ""); print }' |
    sed 's/\\n/ /g'
}

# says ID TEXT...: the box's text holds each TEXT (wherever it wraps).
says() {
  local box=$1 text part
  text=$(message_text "$box")
  shift
  for part in "$@"; do
    grep -qF -- "$part" <<<"$text" || fail "the message does not say '$part': $text"
  done
}

# on_screen ID: the whole box lies within the screen, its button included.
on_screen() {
  local sw sh
  read -r sw sh < <(xdotool getdisplaygeometry)
  eval "$(xdotool getwindowgeometry --shell "$1")"
  if [ "$X" -lt 0 ] || [ "$Y" -lt 0 ] || [ $((X + WIDTH)) -gt "$sw" ] || [ $((Y + HEIGHT)) -gt "$sh" ]; then
    fail "the message box (${WIDTH}x$HEIGHT at $X,$Y) does not fit the ${sw}x$sh screen"
  fi
}

# start_message SECONDS SHOT: chooses start and waits up to SECONDS for a
# message box; prints its id, with the screen once the box is drawn in SHOT.
start_message() {
  local box
  tw_menu start >&2
  box=$(tw_dialog "$1") || return 1
  sleep 0.3
  tw_screenshot "$2" >&2
  echo "$box"
}

# close_message ID: OK on the box, and the box gone.
close_message() {
  tw_confirm "$1"
  for _ in $(seq 1 50); do
    [ -z "$(tw_dialog 0)" ] && return 0
    sleep 0.2
  done
  fail "the message did not close on OK"
}

# start_helper EXE WORD FOLDER ARGS...: starts the Windows helper EXE in
# FOLDER with ARGS and, last, the Windows path of the file that releases
# it; waits until it says WORD. Its pid in helper_pid, its output in
# $work/NAME.log.
start_helper() {
  local exe=$1 word=$2 folder=$3 name release
  shift 3
  name=$(basename "$exe" .exe)
  cp "$exe" "$work/$name.exe"
  rm -f "$work/release"
  release=$("$WINELOADER" winepath -w "$work/release")
  : >"$work/$name.log"
  (cd "$folder" && exec "$WINELOADER" "$work/$name.exe" "$@" "$release") >"$work/$name.log" 2>&1 &
  helper_pid=$!
  for _ in $(seq 1 100); do
    grep -q "$word" "$work/$name.log" && return 0
    sleep 0.1
  done
  fail "$name did not start: $(cat "$work/$name.log")"
}

# hold ARCHIVE_PATH: a Windows program holds the archive open as the running
# game does, until release.
hold() {
  start_helper "$hold" holding "$(dirname "$1")" "$(basename "$1")"
  holder=$helper_pid
}

release() {
  touch "$work/release"
  wait "$holder" 2>/dev/null || true
  holder=
}

# scan FOLDER: a Windows program opens every file made or written in FOLDER
# for 300 ms, shared with nobody, as a scanner or a sync client does, until
# unscan.
scan() {
  start_helper "$scan_folder" watching "$1" "$("$WINELOADER" winepath -w "$1")" 300
  scanner=$helper_pid
}

# unscan: ends the scanner; sets held to how many files it held.
unscan() {
  touch "$work/release"
  wait "$scanner" 2>/dev/null || true
  scanner=
  held=$(sed -n 's/^held \([0-9]*\) files.*/\1/p' "$work/scan_folder.log")
}

# unwritable PATH: no program may write PATH any more, root included: the
# immutable attribute, and for a file the read-only one that Windows
# programs see. False where the file system refuses the attribute.
unwritable() {
  [ -f "$1" ] && chmod a-w "$1"
  if [ "$(id -u)" -eq 0 ]; then
    chattr +i "$1" 2>"$work/chattr.log" || return 1
    immutable+=("$1")
  fi
}

# writable PATH: undoes unwritable.
writable() {
  chattr -i "$1" 2>/dev/null || true
  chmod u+w "$1"
}

# program_files_folder NAME: sets g to a game folder under the prefix's
# C:\Program Files, removed at the end.
program_files_folder() {
  g="$WINEPREFIX/drive_c/Program Files/$1"
  program_files+=("$g" "$g.wine.log")
}

# virtual_store FOLDER: sets store to where Windows keeps the per-user copies
# of the files of FOLDER, a folder on drive C: of the prefix; removed at the
# end.
virtual_store() {
  local windows local_app
  windows=$("$WINELOADER" winepath -w "$1" | tr -d '\r')
  local_app=$("$WINELOADER" cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')
  store=$("$WINELOADER" winepath -u "$local_app\\VirtualStore${windows#C:}" | tr -d '\r')
  program_files+=("$store")
}

# elapsed_ms: milliseconds since $started (date +%s%N).
elapsed_ms() { echo $((($(date +%s%N) - started) / 1000000)); }

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
game_folder "$g"
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
game_folder "$g"
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
game_folder "$g"
stadium "$g" "alpi_a.o|zdata_05.big
kaka_x.o|-
velo_z.o|zdata_06.big"
snapshot "$g"
if start_tool "$g"; then
  if box=$(start_message 60 "$artefacts/rejected.png"); then
    # The caption names the file; the text, the one OK button and no icon
    # are as they always were.
    [ "$(xdotool getwindowname "$box")" = "$TW_CAPTION: kaka_x.o" ] ||
      fail "the rejection's caption is '$(xdotool getwindowname "$box")'"
    [ "$(message_text "$box")" = "error this is not a file-stadium for fifa2004" ] ||
      fail "the rejection says '$(message_text "$box")'"
    message "$box" >"$g/message.txt" || fail "could not read the rejection: $(cat "$g/message.txt")"
    [ "$(grep -c '^Button ' "$g/message.txt")" -eq 1 ] && grep -q '^Button [0-9a-f]* OK$' "$g/message.txt" ||
      fail "the rejection has other buttons than OK: $(grep '^Button' "$g/message.txt" | tr '\n' ' ')"
    grep -q '^Static [0-9a-f]* (icon)$' "$g/message.txt" && fail "the rejection shows an icon"
    grep -q '^Static [0-9a-f]* (no icon)$' "$g/message.txt" || fail "the icon's place was not found: $(cat "$g/message.txt")"
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
begin "the game holds an archive"
# The game is running and holds zdata_06.big, so the one file that belongs
# there cannot go in; the two for zdata_05.big can.
g=$work/held
game_folder "$g"
fine="bern_f.o|zdata_05.big
west_f.h|zdata_05.big"
stadium "$g" "$fine
velo_f.o|zdata_06.big"
snapshot "$g"
hold "$g/data/zdata_06.big"
if start_tool "$g"; then
  if box=$(start_message 90 "$artefacts/held-archive-message.png"); then
    # The cause and the way out, the file named; the caption and the title
    # say how many went in.
    [ "$(xdotool getwindowname "$box")" = "$TW_CAPTION: 2 of 3 files imported" ] ||
      fail "the message's caption is '$(xdotool getwindowname "$box")'"
    says "$box" "2 of 3 files were imported" "In use by another program: velo_f.o" \
      "Close the game, or a program that may be scanning or syncing the game's folder (an antivirus, OneDrive), then start Tessolo again."
    on_screen "$box"
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
    close_message "$box"
    tw_running || fail "the tool ended after the failure message"
    [ "$(tw_title)" = "$TW_CAPTION: 2 of 3 files imported" ] || fail "title after the run is $(tw_title)"
    # The box is gone at once; Wine repaints the window below it a moment later.
    sleep 2
    tw_screenshot "$artefacts/held-archive-after.png"
    tw_ok_shown "$artefacts/held-archive-after.png" && fail "OK ! is shown although a file failed"
    tw_outcome_shown "$artefacts/held-archive-after.png" || fail "the window does not say how many went in"
  else
    fail "no message about the file that failed"
  fi
  release
  cmp -s "$g/data/zdata_06.big" "$g/before/zdata_06.big" || fail "the held zdata_06.big changed"
  tw_running && exit_by_menu
fi

# ---------------------------------------------------------------------------
begin "a scanner holds each new or written file for a moment"
# As an antivirus, an indexer or a sync client on a player's Windows: every
# file made, renamed into or written in the data folder is opened, shared
# with nobody, for 300 ms. Every file goes in on the first start.
scanned=$(cat <<'EOF'
bern_s1.o|zdata_05.big
bern_s2.o|zdata_05.big
velo_s3.o|zdata_06.big
alpi_s4.h|zdata_06.big
west_s5.h|zdata_05.big
geno_cd.h|zdata_05.big
dumm_s7.o|zdata_06.big
zzzz_s8.h|zdata_06.big
bolla_s9.o|zdata_05.big
velo_s10.o|zdata_06.big
EOF
)
g=$work/scanned
gf_folder "$g" "$tessolo" "$gfxpak"
seed "$g" zdata_05.big bern_s1.o high_x.h
seed "$g" zdata_06.big velo_s3.o
stadium "$g" "$scanned"
snapshot "$g"
scan "$g/data"
if start_tool "$g"; then
  run_to_end "$g" "$scanned" "$artefacts/scanned.png"
  tw_ok_shown "$artefacts/scanned.png" || fail "OK ! is not shown after the first start with a scanner"
  unscan
  echo "the scanner held ${held:-no} files for 300 ms each"
  [ "${held:-0}" -ge 10 ] || fail "the scanner held ${held:-no} files: the case tests nothing"
  imported "$g" "$scanned"
  others_kept "$g" "$scanned"
  exit_by_menu
fi
[ -z "$scanner" ] || unscan

# ---------------------------------------------------------------------------
begin "the game holds an archive for the whole run"
# Twenty files for the archive that the game holds: each is tried and the
# run ends with the message about all of them. Only the first import waits
# for the archive (gfxpak waits 1.5 s for a file held by another program);
# the others are tried once, so the game's archive is not waited for twenty
# times. How long each import took is read off the window's title, which
# names each command while it runs.
held_files=$(for i in $(seq 10 29); do echo "velo_h$i.o|zdata_06.big"; done)
g=$work/held-all
game_folder "$g"
stadium "$g" "$held_files"
hold "$g/data/zdata_06.big"
if start_tool "$g"; then
  tw_menu start
  started=$(date +%s%N)
  last=
  : >"$work/titles"
  while [ -z "$(tw_dialog 0)" ] && [ "$(elapsed_ms)" -lt 300000 ]; do
    title=$(tw_title)
    if [ "$title" != "$last" ]; then
      echo "$(elapsed_ms) $title" >>"$work/titles"
      last=$title
    fi
    sleep 0.05
  done
  if box=$(tw_dialog 10); then
    echo "$(elapsed_ms) (the message)" >>"$work/titles"
    # Milliseconds each import's title stood, in the order of the files.
    awk 'NR > 1 && was { print $1 - at } { was = ($2 == "import"); at = $1 }' "$work/titles" >"$work/imports"
    waited=$(awk '$1 >= 1400' "$work/imports" | wc -l)
    echo "20 files for a held archive: $(wc -l <"$work/imports") imports seen, $waited of them took 1.4 s or" \
      "more (the first: $(head -n1 "$work/imports") ms; the slowest of the others:" \
      "$(tail -n +2 "$work/imports" | sort -n | tail -n1) ms)"
    [ "$waited" -le 3 ] || fail "$waited imports waited for the held archive: $(tr '\n' ' ' <"$work/imports")"
    sleep 0.3
    tw_screenshot "$artefacts/held-all-message.png"
    says "$box" "None of the 20 files was imported" "In use by another program: velo_h10.o" \
      "Close the game, or a program that may be scanning or syncing the game's folder (an antivirus, OneDrive), then start Tessolo again."
    on_screen "$box"
    close_message "$box"
    [ "$(find "$g/data" -name 'velo_h??.o' | wc -l)" -eq 20 ] || fail "not every file was kept"
  else
    fail "no message after a run with the archive held"
  fi
  release
  tw_running && exit_by_menu
fi
[ -z "$holder" ] || release

# ---------------------------------------------------------------------------
begin "a read-only archive"
# Copied from a CD with its read-only attribute: the message names the
# archive, and gives no administrator's advice, which would not help.
g=$work/readonly
game_folder "$g"
stadium "$g" "bern_r.o|zdata_05.big
velo_r.o|zdata_06.big"
snapshot "$g"
if ! unwritable "$g/data/zdata_05.big"; then
  echo "SKIP: a file cannot be made read-only for root here: $(cat "$work/chattr.log")"
elif start_tool "$g"; then
  if box=$(start_message 90 "$artefacts/read-only-archive.png"); then
    says "$box" "1 of 2 files was imported" "Access denied: bern_r.o" \
      "The game's archive zdata_05.big is read-only (copied from a CD?): clear \"Read-only\" in its Properties, then start Tessolo again."
    message_text "$box" | grep -q "administrator" && fail "administrator's advice for a read-only archive"
    close_message "$box"
    imported "$g" "velo_r.o|zdata_06.big"
    tw_running && exit_by_menu
  else
    fail "no message about the read-only archive"
  fi
fi
writable "$g/data/zdata_05.big"

# ---------------------------------------------------------------------------
begin "a data folder under Program Files that the player may not write"
# As for a standard user under Program Files: no file may be made or
# replaced in the data folder. The message names the folder and advises
# "Run as administrator". Made with the immutable attribute, which stops
# root too; where the file system refuses it, the case cannot be made.
program_files_folder "FIFA 2004 locked"
game_folder "$g"
stadium "$g" "bern_l.o|zdata_05.big"
if unwritable "$g/data"; then
  if start_tool "$g"; then
    if box=$(start_message 90 "$artefacts/locked-folder.png"); then
      says "$box" "The file was not imported" "Access denied: bern_l.o" \
        "Windows does not let you change files in the folder C:\\Program Files\\FIFA 2004 locked\\data." \
        "Right-click tessolo.exe and choose \"Run as administrator\"."
      close_message "$box"
      untouched "$g" bern_l.o
      tw_running && exit_by_menu
    else
      fail "no message about the folder"
    fi
  fi
  writable "$g/data"
else
  echo "SKIP: the data folder cannot be made unwritable here: $(cat "$work/chattr.log")"
fi

# ---------------------------------------------------------------------------
begin "the game reads a per-user copy of its archives"
# Under Program Files Windows kept per-user copies of both archives, which
# the game reads: the files go into those, the archives under Program Files
# stay as they are.
program_files_folder "FIFA 2004 copies"
game_folder "$g"
virtual_store "$g/data"
mkdir -p "$store"
cp "$g/data/zdata_05.big" "$g/data/zdata_06.big" "$store/"
copied="bern_v.o|zdata_05.big
velo_v.o|zdata_06.big"
stadium "$g" "$copied"
snapshot "$g"
if start_tool "$g"; then
  run_to_end "$g" "$copied" "$artefacts/virtual-store.png"
  tw_ok_shown "$artefacts/virtual-store.png" || fail "OK ! is not shown after the run into the per-user copies"
  imported "$g" "$copied"
  for archive in zdata_05.big zdata_06.big; do
    cmp -s "$g/data/$archive" "$g/before/$archive" || fail "the $archive under Program Files was changed"
    [ -f "$store/$archive.restore" ] || fail "no restore point beside the copy of $archive"
  done
  exit_by_menu
fi

# ---------------------------------------------------------------------------
begin "an empty file over an entry of the game"
# A download that went wrong: west_x.h has 0 bytes. The game's entry of that
# name stays as it is, the file stays, and the player is told.
g=$work/zero
gf_folder "$g" "$tessolo" "$gfxpak"
seed "$g" zdata_05.big bern_x.o west_x.h
seed "$g" zdata_06.big velo_x.o
fine="bern_z.o|zdata_05.big"
stadium "$g" "$fine"
: >"$g/data/west_x.h"
snapshot "$g"
if start_tool "$g"; then
  if box=$(start_message 90 "$artefacts/empty-file.png"); then
    says "$box" "1 of 2 files was imported" "Empty, no stadium in it: west_x.h" "Download it again."
    close_message "$box"
    [ -f "$g/data/west_x.h" ] && [ ! -s "$g/data/west_x.h" ] || fail "the empty west_x.h was not kept as it was"
    imported "$g" "$fine"
    others_kept "$g" "$fine"
    tw_running && exit_by_menu
  else
    fail "no message about the empty file"
  fi
fi

# ---------------------------------------------------------------------------
begin "a click on the menu bar and F10 during a run"
# The same files twice: once left alone, once with a click on the menu bar
# and F10 while the packer works. Either would once have put the window into
# menu mode and held the run there until the player left it.
menu_files="bern_m1.o|zdata_05.big
bern_m2.o|zdata_05.big
velo_m3.o|zdata_06.big
velo_m4.h|zdata_06.big
west_m5.h|zdata_05.big"
plain=$work/menu-plain
gf_folder "$plain" "$tessolo" "$gfxpak"
seed "$plain" zdata_05.big bern_x.o
seed "$plain" zdata_06.big velo_x.o
stadium "$plain" "$menu_files"
snapshot "$plain"
g=$work/menu-clicked
rm -rf "$g" "$g.wine.log"
cp -r "$plain" "$g"
# left: how many of the files are still in the clicked run's data folder.
left() {
  local n=0 name archive
  while IFS='|' read -r name archive; do [ -e "$g/data/$name" ] && n=$((n + 1)); done <<<"$menu_files"
  echo "$n"
}
normal=
if start_tool "$plain"; then
  started=$(date +%s%N)
  run_to_end "$plain" "$menu_files" "$artefacts/menu-plain.png"
  normal=$(elapsed_ms)
  exit_by_menu
fi
if [ -n "$normal" ] && start_tool "$g"; then
  # Twice the normal time and ten seconds more: a run held in menu mode
  # would not end at all.
  limit=$((normal * 2 + 10000))
  started=$(date +%s%N)
  tw_menu start
  # Once the first file is in: a click on the menu bar ("about", disabled).
  while [ "$(left)" -eq 5 ] && [ "$(elapsed_ms)" -lt "$limit" ]; do sleep 0.1; done
  tw_menu about
  clicked_with=$(left)
  # The run goes on: another file goes in. Then F10.
  while [ "$(left)" -eq "$clicked_with" ] && [ "$(elapsed_ms)" -lt "$limit" ]; do sleep 0.1; done
  [ "$(left)" -lt "$clicked_with" ] || fail "the run stood still after a click on the menu bar"
  xdotool windowfocus --sync "$TW_WIN" 2>/dev/null || true
  xdotool key F10
  while { [ "$(left)" -gt 0 ] || [ "$(tw_title)" != "$TW_CAPTION" ]; } && [ "$(elapsed_ms)" -lt "$limit" ]; do
    sleep 0.1
  done
  took=$(elapsed_ms)
  echo "5 files: $((normal / 1000)).$((normal % 1000 / 100)) s left alone," \
    "$((took / 1000)).$((took % 1000 / 100)) s with a click on the menu bar and F10"
  [ "$(left)" -eq 0 ] || fail "the run did not end within $((limit / 1000)) s after F10 ($(left) files left)"
  sleep 0.3
  tw_screenshot "$artefacts/menu-clicked.png"
  tw_ok_shown "$artefacts/menu-clicked.png" || fail "OK ! is not shown after the run"
  imported "$g" "$menu_files"
  others_kept "$g" "$menu_files"
  exit_by_menu
fi

# ---------------------------------------------------------------------------
begin "a hundred files fail, at 144 dpi"
# A hundred empty files, each refused: the message names ten, counts the
# rest and lies within the 1024 x 768 screen, here with the fonts of 144 dpi.
g=$work/hundred
game_folder "$g"
for i in $(seq 100 199); do : >"$g/data/bern_$i.o"; done
"$WINELOADER" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1 ||
  fail "could not set 144 dpi"
if start_tool "$g"; then
  if box=$(start_message 600 "$artefacts/hundred-files.png"); then
    on_screen "$box"
    says "$box" "None of the 100 files was imported" "Empty, no stadium in them: bern_100.o" \
      "bern_109.o and 90 more" "Download them again."
    message_text "$box" | grep -q 'bern_110\.o' && fail "the message names more than ten files"
    close_message "$box"
    [ "$(find "$g/data" -name 'bern_1??.o' -size 0 | wc -l)" -eq 100 ] || fail "not every empty file was kept"
    tw_running && exit_by_menu
  else
    fail "no message after a hundred failed files"
  fi
fi
"$WINELOADER" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1 || true

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

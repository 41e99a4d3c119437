# shellcheck shell=bash
# Lays out a game folder the way a player has it: tessolo.exe and gfxpak.exe
# side by side, the game's archives in data/, stadium files copied in beside
# them. Sourced by the black-box test, the demo and the end-to-end benchmark;
# needs WINEPREFIX and WINELOADER (gfxpak.exe runs under Wine).

# gf_folder FOLDER TESSOLO_EXE GFXPAK_EXE: a fresh game folder.
gf_folder() {
  rm -rf "$1"
  mkdir -p "$1/data"
  cp "$2" "$1/tessolo.exe"
  cp "$3" "$1/gfxpak.exe"
}

# gf_pak FOLDER ARGS...: runs the folder's gfxpak.exe in its data folder, as
# the tool does; output without the carriage returns of the console.
gf_pak() {
  local folder=$1
  shift
  (cd "$folder/data" && exec "${WINELOADER:?gf_pak: WINELOADER is not set}" ../gfxpak.exe "$@") | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

# gf_stadium_file PATH BYTES: a file shaped like the game's own data: a part
# that does not compress (texture noise) and a part that does (mesh tables).
gf_stadium_file() {
  local path=$1 bytes=$2 noise
  noise=$((bytes / 3))
  # shellcheck disable=SC2094 # of $path only its name is read
  {
    head -c "$noise" /dev/urandom
    local tag
    tag=$(basename "$path" | sed 's/%/%%/g')
    # seq ends on the broken pipe once head has enough.
    { seq -f "vertex %09.0f $tag" 1 999999999 || true; } | head -c $((bytes - noise))
  } >"$path"
}

# gf_entries FOLDER ARCHIVE: the archive's table as "offset size name" lines,
# in table order. Once the archive has a restore point, -l adds a column that
# says since when each entry is there, and a count after the table.
gf_entries() {
  gf_pak "$1" -l "$2" | awk '
    table && match($0, row) { print $1, $2, substr($0, RLENGTH + 1); next }
    { table = 0 }
    /^ *offset +size +packed +(since +)?name$/ { table = 1; row = "^ *[0-9]+ +[0-9]+ +[a-z]+ +" ($4 == "since" ? "[a-z]+ +" : "") }'
}

# gf_entry_bytes ARCHIVE_FILE OFFSET SIZE: the raw bytes of one entry.
gf_entry_bytes() {
  tail -c +$(($2 + 1)) "$1" | head -c "$3"
}

#!/usr/bin/env bash
# What can be checked of a Windows build without running it, so that it is
# checked on every host, including one that cannot run the build's programs:
#   programs BUILD_DIR FORMAT TESSOLO_EXE GFXPAK_EXE
#       every program of the build is a FORMAT (pei-i386 or pei-x86-64)
#       executable that needs no DLL beyond Windows' own, and the tool and
#       gfxpak carry one and the same manifest (asInvoker, the supported
#       systems) and a version resource of the project's version
#       (TESSOLO_VERSION);
#   zip BUILD_DIR PLATFORM TESSOLO_EXE GFXPAK_EXE
#       the release ZIP holds exactly what a player unzips into the game's
#       folder, and its two programs are the ones just built;
#   loader BUILD_DIR PLATFORM LOADER
#       the scripts start the build's programs through the same Wine loader
#       as ctest does (LOADER, the toolchain's choice).
# The first two need the build's objdump, windres and strip (OBJDUMP,
# WINDRES, STRIP).
set -euo pipefail
mode=$1 build=$2
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# DLLs that every Windows has; a mingw runtime DLL among the imports would
# make the program fail to start from a bare folder.
system_dll() {
  case ${1,,} in
    kernel32.dll|user32.dll|gdi32.dll|comctl32.dll|msvcrt.dll|advapi32.dll|shell32.dll|ole32.dll) return 0 ;;
    ntdll.dll|ws2_32.dll|bcrypt.dll|uxtheme.dll|comdlg32.dll|shlwapi.dll|version.dll|winmm.dll) return 0 ;;
    api-ms-win-*) return 0 ;;
    *) return 1 ;;
  esac
}

check_program() {
  : "${OBJDUMP:?}"
  local exe=$1 format=$2 found dll
  found=$("$OBJDUMP" -f "$exe" | sed -n 's/.*file format //p')
  [ "$found" = "$format" ] || fail "$exe is '$found', not $format"
  while read -r dll; do
    system_dll "$dll" || fail "$exe needs $dll, which Windows does not have"
  done < <("$OBJDUMP" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
}

# check_resources EXE OUT: checks what the system reads from the program's
# manifest and version resource, and writes the manifest to OUT.
check_resources() {
  local exe=$1 out=$2 rc manifest
  : "${WINDRES:?}" "${TESSOLO_VERSION:?}"
  rc=$("$WINDRES" -i "$exe" -O rc 2>/dev/null) || { fail "windres cannot read the resources of $exe"; return; }
  grep -q '^1 24 ' <<<"$rc" || fail "$exe has no manifest (RT_MANIFEST 1)"
  manifest=$(sed -n '/^1 24 /,/^END/p' <<<"$rc")
  grep -q 'requestedExecutionLevel level=""asInvoker""' <<<"$manifest" || fail "$exe's manifest does not ask for asInvoker"
  [ "$(grep -c '<supportedOS Id=' <<<"$manifest")" -ge 4 ] || fail "$exe's manifest lists no supported systems"
  grep -q "version=\"\"$TESSOLO_VERSION.0\"\"" <<<"$manifest" || fail "$exe's manifest is not of version $TESSOLO_VERSION"
  grep -q 'Type: version' <<<"$rc" || fail "$exe has no version resource"
  grep -q "VALUE \"FileVersion\", \"$TESSOLO_VERSION\"" <<<"$rc" || fail "$exe's version resource is not $TESSOLO_VERSION"
  grep -q "VALUE \"OriginalFilename\", \"$(basename "$exe")\"" <<<"$rc" || fail "$exe's version resource names another file"
  echo "$manifest" >"$out"
}

# The program as CPack puts it into the ZIP: stripped, with the time stamp
# and checksum that strip writes set to zero on both sides.
comparable() {
  local in=$1 out=$2 pe
  : "${STRIP:?}"
  "$STRIP" -o "$out" "$in"
  pe=$(od -An -tu4 -j60 -N4 "$out" | tr -d ' ')
  printf '\0\0\0\0' | dd of="$out" bs=1 seek=$((pe + 8)) conv=notrunc status=none
  printf '\0\0\0\0' | dd of="$out" bs=1 seek=$((pe + 88)) conv=notrunc status=none
}

case $mode in
  programs)
    format=$3 tessolo=$4 gfxpak=$5 count=0
    while IFS= read -r -d '' exe; do
      check_program "$exe" "$format"
      count=$((count + 1))
    done < <(find "$build" -name '*.exe' -not -path '*/_CPack_Packages/*' -not -path '*/CMakeFiles/*' -print0)
    [ "$count" -ge 2 ] || fail "only $count programs found in $build"
    # Both programs alike, so the system treats the packer's writes as the
    # tool's (no VirtualStore for one of them).
    work=$(mktemp -d "${TMPDIR:-/tmp}/tessolo-res.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    check_resources "$tessolo" "$work/tessolo.manifest"
    check_resources "$gfxpak" "$work/gfxpak.manifest"
    cmp -s "$work/tessolo.manifest" "$work/gfxpak.manifest" || fail "tessolo.exe and gfxpak.exe carry different manifests"
    echo "checked $count programs in $build"
    ;;
  zip)
    platform=$3 tessolo=$4 gfxpak=$5
    zips=("$build"/tessolo-*-"$platform".zip)
    # The ZIP is built on request; make it here when it is missing or older
    # than the programs, so that what is checked is what would ship.
    if [ ! -e "${zips[0]}" ] || [ "$tessolo" -nt "${zips[0]}" ] || [ "$gfxpak" -nt "${zips[0]}" ]; then
      cmake --build "$build" --target package >/dev/null
      zips=("$build"/tessolo-*-"$platform".zip)
    fi
    [ "${#zips[@]}" -eq 1 ] && [ -e "${zips[0]}" ] || { echo "FAIL: expected one tessolo-*-$platform.zip in $build, found: ${zips[*]}"; exit 1; }
    work=$(mktemp -d "${TMPDIR:-/tmp}/tessolo-zip.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    (cd "$work" && mkdir unpacked && cd unpacked && cmake -E tar xf "${zips[0]}")
    layout=$(cd "$work/unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
    expected="README.txt data/restore-original-archives.cmd data/take-out-stadiums.cmd gfxpak.exe tessolo.exe "
    [ "$layout" = "$expected" ] || fail "$(basename "${zips[0]}") holds '$layout', expected '$expected'"
    for pair in "tessolo.exe:$tessolo" "gfxpak.exe:$gfxpak"; do
      name=${pair%%:*} built=${pair#*:}
      [ -f "$work/unpacked/$name" ] || continue
      comparable "$built" "$work/built-$name"
      comparable "$work/unpacked/$name" "$work/zipped-$name"
      cmp -s "$work/built-$name" "$work/zipped-$name" || fail "$name in the ZIP is not the one just built ($built)"
    done
    grep -q $'\r$' "$work/unpacked/README.txt" || fail "README.txt in the ZIP has no CRLF line ends"
    # cmd finds a label of a script with bare LF line ends only now and then.
    for script in "$work"/unpacked/data/*.cmd; do
      ! grep -q $'[^\r]$' "$script" || fail "$(basename "$script") in the ZIP has lines without CRLF"
    done
    echo "checked $(basename "${zips[0]}"): $layout"
    ;;
  loader)
    platform=$3 loader=$4
    . "$(dirname "$0")/../../scripts/lib/wine.sh"
    scripts=$(wine_loader "$platform")
    [ "$scripts" = "$loader" ] || fail "the scripts start $platform programs with $scripts, ctest with $loader"
    echo "$platform programs start through $loader"
    ;;
  *)
    echo "release_test.sh: no mode '$mode' (programs, zip or loader)" >&2
    exit 2
    ;;
esac
[ "$failures" -eq 0 ]

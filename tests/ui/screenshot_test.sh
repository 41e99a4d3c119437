#!/usr/bin/env bash
# Starts the real program under Wine on the test display, takes a picture of
# the screen and checks the pixels that show the layout: the artwork drawn
# unscaled from the client area's corner, the bar one pixel wide in its place
# showing the first column of its picture, no label and no panel.
# Usage: screenshot_test.sh TESSOLO_EXE RES_DIR SCREENSHOT_PNG
# Needs DISPLAY and WINEPREFIX (scripts/test provides both) and WINELOADER
# (the build's Wine loader, which ctest sets).
set -euo pipefail
exe=$1 res=$2 out=$3
: "${DISPLAY:?screenshot test: DISPLAY is not set}"
: "${WINEPREFIX:?screenshot test: WINEPREFIX is not set}"

work=$(mktemp -d "${TMPDIR:-/tmp}/tessolo-shot.XXXXXX")
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/data"
cp "$exe" "$work/tessolo.exe"
(cd "$work" && exec "${WINELOADER:?screenshot test: WINELOADER is not set}" tessolo.exe) >/dev/null 2>&1 &
pid=$!

# The activity line's blot is the only pen-red (192, 0, 0) on screen, cut off
# by the client area's left and top edges: its corner is the client origin.
origin=
for _ in $(seq 1 60); do
  sleep 1
  import -window root "$work/screen.png"
  box=$(convert "$work/screen.png" -fill black +opaque '#C00000' -format '%@' info:)
  case $box in
    0x0*|"") continue ;;
  esac
  origin=$box
  break
done
cp "$work/screen.png" "$out"
if [ -z "$origin" ]; then
  echo "FAIL: no window with the activity line appeared (screenshot: $out)"
  exit 1
fi
read -r bw bh ox oy < <(echo "$origin" | sed 's/[x+]/ /g')
echo "activity line blot ${bw}x${bh} at screen ($ox, $oy)"
if [ "$bw" -lt 8 ] || [ "$bw" -gt 24 ] || [ "$bh" -lt 8 ] || [ "$bh" -gt 24 ]; then
  echo "FAIL: the blot is ${bw}x${bh}, not a 20-pixel pen stroke at the corner"
  exit 1
fi

pixel() {  # file x y -> "r g b"
  convert "$1" -format "%[fx:int(255*p{$2,$3}.r+0.5)] %[fx:int(255*p{$2,$3}.g+0.5)] %[fx:int(255*p{$2,$3}.b+0.5)]" info:
}

failures=0
same() {  # what  screen_x screen_y  image x y
  local what=$1 got want
  got=$(pixel "$work/screen.png" "$2" "$3")
  want=$(pixel "$4" "$5" "$6")
  read -r r1 g1 b1 <<<"$got"
  read -r r2 g2 b2 <<<"$want"
  local d=0 c
  for c in $((r1 - r2)) $((g1 - g2)) $((b1 - b2)); do
    c=${c#-}
    [ "$c" -gt "$d" ] && d=$c
  done
  if [ "$d" -gt 2 ]; then
    echo "FAIL: $what: screen ($2, $3) is ($got), expected ($want) from $(basename "$4") ($5, $6)"
    failures=$((failures + 1))
  fi
}

bg=$res/background.bmp
bar=$res/progress.bmp
# Client-area points, each compared with the picture that must show there.
for p in "40 30" "300 60" "600 300" "100 400" "320 425" "639 200"; do
  set -- $p
  same "artwork" $((ox + $1)) $((oy + $2)) "$bg" "$1" "$2"
done
for y in 170 220 272; do
  same "bar's first column" $((ox + 160)) $((oy + y)) "$bar" 0 $((y - 168))
done
same "left of the bar" $((ox + 159)) $((oy + 220)) "$bg" 159 220
same "right of the one-pixel bar" $((ox + 161)) $((oy + 220)) "$bg" 161 220
same "below the bar" $((ox + 160)) $((oy + 274)) "$bg" 160 274
same "no OK ! label" $((ox + 60)) $((oy + 215)) "$bg" 60 215
same "no OK ! label" $((ox + 120)) $((oy + 228)) "$bg" 120 228
same "no DIRECTORY EMPTY label" $((ox + 400)) $((oy + 15)) "$bg" 400 15
same "no DIRECTORY EMPTY label" $((ox + 300)) $((oy + 5)) "$bg" 300 5
same "no info panel" $((ox + 100)) $((oy + 150)) "$bg" 100 150
same "no about panel" $((ox + 500)) $((oy + 120)) "$bg" 500 120

if [ "$failures" -gt 0 ]; then
  echo "$failures pixel checks failed; screenshot: $out"
  exit 1
fi
echo "layout checks passed; screenshot: $out"

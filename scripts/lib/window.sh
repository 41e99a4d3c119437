# shellcheck shell=bash
# Drives the real tessolo.exe under Wine from outside, as a user would: it
# starts the program, finds its window on the X display, clicks the menu and
# reads back the title and the screen. Sourced by the black-box test, the
# demo and the end-to-end benchmark. Needs DISPLAY, WINEPREFIX, WINELOADER
# (the Wine loader of the program's build, see wine.sh), xdotool and
# ImageMagick.
#
# After tw_launch: TW_PID (the Wine process of the tool). After tw_window:
# TW_WIN (the main window), TW_LEFT/TW_TOP (client-area origin on screen),
# TW_BAR (height of the menu bar), TW_CAPTION (the window's own title).

# The caption as the build defines it (ctest passes TESSOLO_CAPTION); else
# the title the window has when it first appears, before any run.
TW_CAPTION=${TESSOLO_CAPTION:-}
TW_CLIENT_W=640
TW_CLIENT_H=426

# tw_launch FOLDER: starts FOLDER/tessolo.exe with FOLDER as its working
# folder; its output goes to FOLDER.wine.log.
tw_launch() {
  local folder=$1
  : "${WINELOADER:?tw_launch: WINELOADER is not set}"
  # The loader runs the program in its own process, so the windows carry
  # TW_PID (the 'wine' wrapper may start it as a second process instead).
  (cd "$folder" && exec "$WINELOADER" tessolo.exe) >"$folder.wine.log" 2>&1 &
  TW_PID=$!
  TW_WIN=
}

# The visible top-level windows of the tool's process, one id per line.
tw_windows() {
  xdotool search --onlyvisible --pid "$TW_PID" 2>/dev/null || true
}

# The tool still runs (a process that has ended but is not yet collected
# does not count).
tw_running() {
  local state
  state=$(ps -o stat= -p "$TW_PID" 2>/dev/null) || return 1
  [ "${state#Z}" = "$state" ]
}

# tw_window [SECONDS]: waits for the main window: the one whose client area
# has the design size, the menu bar above it.
tw_window() {
  local limit=${1:-60} start=$SECONDS id w h
  while [ $((SECONDS - start)) -lt "$limit" ]; do
    tw_running || return 1
    for id in $(tw_windows); do
      eval "$(xdotool getwindowgeometry --shell "$id" 2>/dev/null)" || continue
      w=$WIDTH h=$HEIGHT
      # Without a window manager the X window holds the menu bar and the
      # client area; a frame drawn by a manager would lie outside it.
      if [ "$w" -eq "$TW_CLIENT_W" ] && [ "$h" -gt "$TW_CLIENT_H" ] && [ "$h" -lt $((TW_CLIENT_H + 60)) ]; then
        TW_WIN=$id
        [ -n "$TW_CAPTION" ] || TW_CAPTION=$(tw_title)
        TW_BAR=$((h - TW_CLIENT_H))
        TW_LEFT=$X
        TW_TOP=$((Y + TW_BAR))
        return 0
      fi
    done
    sleep 0.2
  done
  return 1
}

tw_title() { xdotool getwindowname "$TW_WIN" 2>/dev/null; }

# tw_dialog [SECONDS]: waits for a window of the tool other than the main
# window (a message box) and prints its id. It looks at least once, so
# tw_dialog 0 tells whether one is there now.
tw_dialog() {
  local limit=${1:-60} start=$SECONDS id
  for (( ; ; )); do
    for id in $(tw_windows); do
      if [ "$id" != "$TW_WIN" ]; then
        echo "$id"
        return 0
      fi
    done
    tw_running || return 1
    [ $((SECONDS - start)) -lt "$limit" ] || return 1
    sleep 0.2
  done
}

# tw_confirm ID: presses OK on a message box (its default button).
tw_confirm() {
  xdotool windowfocus --sync "$1" 2>/dev/null || true
  xdotool key --window "$1" Return
}

tw_screenshot() { import -window root "$1"; }

# tw_menu_items SCREENSHOT: prints the centre x (screen) of each menu item,
# left to right. The items are found as runs of text pixels in the menu bar
# (the grey ones of a disabled item too), so the clicks follow whatever font
# Wine draws the bar with.
tw_menu_items() {
  convert "$1" -crop "${TW_CLIENT_W}x$((TW_BAR - 4))+${TW_LEFT}+$((TW_TOP - TW_BAR + 2))" +repage \
    -colorspace gray -threshold 85% -negate -scale "${TW_CLIENT_W}x1!" -depth 8 txt:- |
    awk -F'[,: ]+' -v left="$TW_LEFT" '
      NR > 1 { dark = ($0 !~ /#000000/) }
      NR > 1 && dark { if (run_end < 0 || $1 - run_end > 5) { if (run_end >= 0) print left + int((run_start + run_end) / 2); run_start = $1 } run_end = $1 }
      BEGIN { run_end = -1 }
      END { if (run_end >= 0) print left + int((run_start + run_end) / 2) }'
}

# tw_menu NAME: clicks the menu command start, info, about or exit.
tw_menu() {
  local index
  case $1 in
    start) index=1 ;; info) index=2 ;; about) index=3 ;; exit) index=4 ;;
    *) echo "tw_menu: no menu command $1" >&2; return 2 ;;
  esac
  local shot x
  shot=$(mktemp "${TMPDIR:-/tmp}/tessolo-menu.XXXXXX.png")
  # The window is there before Wine has drawn its menu bar, and on a busy
  # machine the drawing may lag by seconds: look again until it shows.
  for _ in $(seq 1 50); do
    tw_screenshot "$shot"
    x=$(tw_menu_items "$shot" | sed -n "${index}p")
    [ -n "$x" ] && break
    sleep 0.2
  done
  rm -f "$shot"
  if [ -z "$x" ]; then
    echo "tw_menu: menu item $1 not found in the menu bar" >&2
    return 1
  fi
  xdotool mousemove --sync "$x" $((TW_TOP - TW_BAR / 2))
  xdotool click 1
}

# tw_red_pixels SCREENSHOT X Y W H: number of pure red pixels (the status
# labels' text colour) in a rectangle of the client area, in pixels.
tw_red_pixels() {
  convert "$1" -crop "${4}x${5}+$((TW_LEFT + $2))+$((TW_TOP + $3))" +repage \
    -fill black +opaque '#FF0000' -fill white -opaque '#FF0000' -format '%[fx:int(mean*w*h+0.5)]' info:
}

# The labels' places in the client area (pixels): "OK !", "DIRECTORY EMPTY"
# and the one that says how many files a run with failures imported.
tw_ok_shown() { [ "$(tw_red_pixels "$1" 56 200 81 33)" -gt 20 ]; }
tw_empty_shown() { [ "$(tw_red_pixels "$1" 288 0 353 33)" -gt 20 ]; }
tw_outcome_shown() { [ "$(tw_red_pixels "$1" 56 282 544 33)" -gt 20 ]; }

# tw_wait_exit [SECONDS]: waits for the tool to end and sets TW_EXIT to its
# exit code; fails if it still runs after SECONDS. Not in a subshell: only
# the shell that started the tool can collect its exit code.
# shellcheck disable=SC2034 # TW_EXIT is read by the scripts that use this
tw_wait_exit() {
  local limit=${1:-30} start=$SECONDS
  TW_EXIT=
  while tw_running && [ $((SECONDS - start)) -lt "$limit" ]; do sleep 0.2; done
  tw_running && return 1
  TW_EXIT=0
  wait "$TW_PID" || TW_EXIT=$?
  return 0
}

# tw_stop: ends the tool if it still runs (by its own process id only).
tw_stop() {
  if [ -n "${TW_PID:-}" ] && kill -0 "$TW_PID" 2>/dev/null; then
    kill "$TW_PID" 2>/dev/null || true
    wait "$TW_PID" 2>/dev/null || true
  fi
  TW_PID=
}

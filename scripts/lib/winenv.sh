# shellcheck shell=bash
# A private Wine prefix on a private Xvfb display for the scripts that run
# Windows programs, taken down again when the script ends, however it ends.
# Usage: winenv_start ARCH (win32 or win64). It registers winenv_stop with
# the exit trap before it starts anything, so a failed start leaves no
# display, Wine server or folder behind either. Start the programs, or the
# ctest that starts them, with "${WINE_FIXED_LAYOUT[@]}" in front (wine.sh
# says why).
# WINENV_LOG_DIR (default: the project's build folder) keeps the log of a
# prefix that could not be made.
#
# One Wine server serves the prefix from the start to the end, and the
# prefix's background programs (services, desktop) run from the start too.
# Left to itself, the server that a program starts begins to shut down as
# soon as the last program ends (Debian starts it with -p0): a script that
# runs gfxpak.exe many times in a row goes through a server every second
# program, and a program that starts while one shuts down can lose it
# mid-run. The background programs would also hold the output pipe of
# whichever program started them, so they are started here, never by a
# test.

_winenv_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=cleanup.sh
. "$_winenv_lib/cleanup.sh"
# shellcheck source=wine.sh
. "$_winenv_lib/wine.sh"

winenv_start() {
  local arch=$1
  cleanup_push winenv_stop
  wine_use "$arch" || return
  WINENV_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/tessolo-wine.XXXXXX")
  export WINEPREFIX="$WINENV_ROOT/prefix-$arch"

  # Let Xvfb pick a free display and tell us which one. On a machine busy
  # building that can take many seconds: wait for as long as it lives, and
  # give up only on one that neither answers nor ends in a minute.
  local fdfile="$WINENV_ROOT/display" start=$SECONDS
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
  WINENV_XVFB_PID=$!
  while [ ! -s "$fdfile" ] && kill -0 "$WINENV_XVFB_PID" 2>/dev/null && [ $((SECONDS - start)) -lt 60 ]; do
    sleep 0.1
  done
  if [ ! -s "$fdfile" ]; then
    if kill -0 "$WINENV_XVFB_PID" 2>/dev/null; then
      echo "winenv: Xvfb named no display in $((SECONDS - start)) s" >&2
    else
      echo "winenv: Xvfb did not start (is the xvfb package installed? scripts/setup installs it)" >&2
    fi
    return 1
  fi
  DISPLAY=":$(head -n1 "$fdfile")"
  export DISPLAY

  local logdir=${WINENV_LOG_DIR:-$_winenv_lib/../../build} status=0
  mkdir -p "$logdir"
  local log
  log=$(cd "$logdir" && pwd)/winenv-$arch.log
  : >"$log"

  # -f keeps the server a child of this shell, so that winenv_stop knows
  # it by its process id; -p: it does not end when its last program ends.
  local server
  server=$(wine_server)
  mkdir -p "$WINEPREFIX"
  "$server" -f -p </dev/null >/dev/null 2>>"$log" &
  WINENV_SERVER_PID=$!
  if ! _winenv_server_ready 300; then
    local last
    last=$(grep -v '^\s*$' "$log" | tail -n1)
    echo "winenv: the Wine server '$server -f -p' did not start${last:+ ($last)}; see $log" >&2
    return 1
  fi
  echo "winenv: Wine prefix $WINEPREFIX ($arch, loader $WINELOADER, server $WINENV_SERVER_PID), display $DISPLAY, $WINE_LAYOUT_HOW"

  # Makes the prefix and starts its background programs, which keep the
  # layout it starts with.
  "${WINE_FIXED_LAYOUT[@]}" "$WINELOADER" wineboot -i </dev/null >>"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    local last
    last=$(grep -v '^\s*$' "$log" | tail -n1)
    echo "winenv: could not make the $arch Wine prefix: '$WINELOADER wineboot -i' exited $status${last:+ ($last)}; see $log" >&2
    return 1
  fi
  # The background programs keep writing to it, but nothing needs to read it.
  rm -f "$log"
}

# _winenv_server_ready TENTHS: waits until the server holds its prefix's
# lock, which a server takes before it answers and which a second server
# of the prefix cannot get; fails if it ended or TENTHS tenths of a second
# passed. Until then a program would start a server of its own.
_winenv_server_ready() {
  local i
  for ((i = 0; i < $1; i++)); do
    kill -0 "$WINENV_SERVER_PID" 2>/dev/null || return 1
    grep -Eq "^[0-9]+: POSIX +ADVISORY +WRITE +$WINENV_SERVER_PID " /proc/locks && return 0
    sleep 0.1
  done
  return 1
}

winenv_stop() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] && [ -n "${WINELOADER:-}" ]; then
    # -k ends the prefix's server and every Wine process on it; -w waits
    # until the server is gone, so the folder can go too.
    local server
    server=$(wine_server)
    "$server" -k >/dev/null 2>&1 || true
    "$server" -w >/dev/null 2>&1 || true
  fi
  if [ -n "${WINENV_SERVER_PID:-}" ]; then
    # Where -k found no server to end (it had not taken the lock yet).
    kill "$WINENV_SERVER_PID" 2>/dev/null || true
    wait "$WINENV_SERVER_PID" 2>/dev/null || true
    WINENV_SERVER_PID=
  fi
  # Debian's Wine keeps the server's socket in a folder of TMPDIR that it
  # names in the prefix, and leaves it there.
  local folder
  folder=$(cat "${WINEPREFIX:-/nonexistent}/wineserver" 2>/dev/null) || true
  case $folder in
    wine-??????) rm -rf "${TMPDIR:-/tmp}/$folder" ;;
  esac
  if [ -n "${WINENV_XVFB_PID:-}" ]; then
    kill "$WINENV_XVFB_PID" 2>/dev/null || true
    wait "$WINENV_XVFB_PID" 2>/dev/null || true
    WINENV_XVFB_PID=
  fi
  if [ -n "${WINENV_ROOT:-}" ]; then
    rm -rf "$WINENV_ROOT"
    WINENV_ROOT=
  fi
}

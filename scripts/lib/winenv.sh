# A private Wine prefix on a private Xvfb display for the scripts that run
# Windows programs, taken down again when the script ends, however it ends.
# Usage: winenv_start ARCH (win32 or win64). It registers winenv_stop with
# the exit trap before it starts anything, so a failed start leaves no
# display, Wine server or folder behind either.
# WINENV_LOG_DIR (default: the project's build folder) keeps the log of a
# prefix that could not be made.

_winenv_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$_winenv_lib/cleanup.sh"
. "$_winenv_lib/wine.sh"

winenv_start() {
  local arch=$1
  cleanup_push winenv_stop
  wine_use "$arch" || return
  WINENV_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/tessolo-wine.XXXXXX")
  export WINEPREFIX="$WINENV_ROOT/prefix-$arch"

  # Let Xvfb pick a free display and tell us which one.
  local fdfile="$WINENV_ROOT/display" i
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
  WINENV_XVFB_PID=$!
  for i in $(seq 1 100); do
    [ -s "$fdfile" ] && break
    kill -0 "$WINENV_XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$fdfile" ]; then
    echo "winenv: Xvfb did not start (is the xvfb package installed? scripts/setup installs it)" >&2
    return 1
  fi
  export DISPLAY=":$(head -n1 "$fdfile")"

  echo "winenv: Wine prefix $WINEPREFIX ($arch, loader $WINELOADER), display $DISPLAY"
  local logdir=${WINENV_LOG_DIR:-$_winenv_lib/../../build} status=0
  mkdir -p "$logdir"
  local log
  log=$(cd "$logdir" && pwd)/winenv-$arch.log
  "$WINELOADER" wineboot -i >"$log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    wineserver -w >>"$log" 2>&1 || status=$?
  fi
  if [ "$status" -ne 0 ]; then
    local last
    last=$(grep -v '^\s*$' "$log" | tail -n1)
    echo "winenv: could not make the $arch Wine prefix: '$WINELOADER wineboot -i' exited $status${last:+ ($last)}; see $log" >&2
    return 1
  fi
  rm -f "$log"
}

winenv_stop() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    # -k ends the prefix's server and every Wine process on it; -w waits
    # until the server is gone, so the folder can go too.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
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

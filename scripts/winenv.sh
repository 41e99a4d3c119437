# Sourced by the scripts that run Windows programs: gives them a private
# Wine prefix and a private Xvfb display, and takes both down again on exit.
# Usage: winenv_start ARCH (win32 or win64); winenv_stop is run by the trap.

winenv_start() {
  local arch=$1
  WINENV_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/tessolo-wine.XXXXXX")
  export WINEPREFIX="$WINENV_ROOT/prefix-$arch"
  export WINEARCH=$arch
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="

  # Let Xvfb pick a free display and tell us which one.
  local fdfile="$WINENV_ROOT/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
  WINENV_XVFB_PID=$!
  local i
  for i in $(seq 1 100); do
    [ -s "$fdfile" ] && break
    sleep 0.1
  done
  if [ ! -s "$fdfile" ]; then
    echo "winenv: Xvfb did not start" >&2
    return 1
  fi
  export DISPLAY=":$(head -n1 "$fdfile")"

  echo "winenv: Wine prefix $WINEPREFIX ($arch), display $DISPLAY"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  trap winenv_stop EXIT
}

winenv_stop() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
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

# shellcheck shell=bash
# Which Wine loader starts which Windows program. Debian's 'wine' wrapper
# picks the 32-bit loader whenever it is installed, without asking whether
# the kernel can run it, so a 64-bit program then fails as well: every
# program here is started through the loader of its own build.
# TESSOLO_WINE32_LOADER and TESSOLO_WINE64_LOADER override the paths.

# shellcheck source=host.sh
. "$(dirname "${BASH_SOURCE[0]}")/host.sh"

# wine_loader ARCH (win32 or win64): prints the loader's path. Elsewhere
# than on Debian the loaders sit on the PATH (a Wine built for both word
# sizes has the one loader 'wine'); on Debian the 'wine' there is the
# wrapper that guesses, so it is never taken.
wine_loader() {
  local override names=()
  case $1 in
    win32) override=${TESSOLO_WINE32_LOADER:-}; names=(wine) ;;
    win64) override=${TESSOLO_WINE64_LOADER:-}; names=(wine64 wine) ;;
    *) echo "wine_loader: no build '$1' (win32 or win64)" >&2; return 2 ;;
  esac
  if [ -n "$override" ]; then
    echo "$override"
  elif [ -d /usr/lib/wine ] || ! command -v "${names[@]}" 2>/dev/null | head -n1 | grep .; then
    echo "/usr/lib/wine/${names[0]}"
  fi
}

# wine_server: prints the Wine server that belongs to WINELOADER: the one
# beside it, which is the one its programs would start themselves (on
# Debian /usr/lib/wine/wineserver), else the one on the PATH. A server of
# another Wine version would turn the loader's programs away.
wine_server() {
  local dir
  dir=$(dirname "${WINELOADER:?wine_server: WINELOADER is not set}")
  if [ -x "$dir/wineserver" ]; then
    echo "$dir/wineserver"
  else
    command -v wineserver || echo wineserver
  fi
}

# wine_can_run ARCH: succeeds where programs of that build can run here.
wine_can_run() {
  case $1 in
    win64) return 0 ;;
    win32) host_runs_32bit ;;
    *) echo "wine_can_run: no build '$1' (win32 or win64)" >&2; return 2 ;;
  esac
}

# wine_arch_of EXE: prints win32 or win64, read from the PE header's machine.
wine_arch_of() {
  local pe machine
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')
  case $machine in
    014c) echo win32 ;;
    8664) echo win64 ;;
    *) echo "wine_arch_of: $1 is not a Windows x86 program (machine '$machine')" >&2; return 1 ;;
  esac
}

# wine_use ARCH: this shell starts Windows programs of that build from now
# on: WINELOADER names the loader (Wine starts child processes with it too).
# Also decides the address layout (wine_layout).
wine_use() {
  WINELOADER=$(wine_loader "$1") || return
  export WINELOADER WINEARCH=$1 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
  wine_layout
}

# Debian's Wine has no preloader to claim Windows' fixed addresses before
# anything else is mapped. Its 64-bit loader sits at 0x7d000000, and an
# x86-64 kernel puts a program's heap at a random place up to 1 GiB above
# the program's end. About once in a few thousand starts that heap covers
# 0x7ffe0000, where every Windows process maps its shared user data; Wine
# then ends the program before it runs, with exit code 1 and the reason
# only on its err channel ("failed to map the shared user data: c0000018").
# With address randomisation off (setarch -R) the heap follows the loader,
# far below that page; processes inherit it, so the programs that Wine
# starts for a program started that way have it too.

# wine_layout: sets WINE_FIXED_LAYOUT to the command prefix that gives a
# program, and all it starts, that fixed layout, and WINE_LAYOUT_HOW to a
# line that says what was found. The prefix is empty where the layout is
# fixed already, or where the host refuses it (a container's seccomp
# profile may forbid the personality call).
# shellcheck disable=SC2034 # WINE_LAYOUT_HOW is read by the scripts that source this
wine_layout() {
  WINE_FIXED_LAYOUT=()
  local personality
  personality=$(cat /proc/self/personality 2>/dev/null) || personality=0
  if (((16#$personality & 16#0040000) != 0)); then
    WINE_LAYOUT_HOW="fixed address layout (randomisation is off already)"
  elif setarch "$(uname -m)" -R true 2>/dev/null; then
    WINE_FIXED_LAYOUT=(setarch "$(uname -m)" -R)
    WINE_LAYOUT_HOW="fixed address layout (setarch -R)"
  else
    WINE_LAYOUT_HOW="random address layout, as this host refuses setarch -R: about one Wine start in a few thousand may end at once with exit code 1"
  fi
}

# wine_fixed_layout_exec SCRIPT ARGS...: runs SCRIPT again with the fixed
# layout, for a script whose every program is a Windows one; returns where
# it is fixed already or cannot be.
wine_fixed_layout_exec() {
  wine_layout
  [ "${#WINE_FIXED_LAYOUT[@]}" -eq 0 ] || exec "${WINE_FIXED_LAYOUT[@]}" "$@"
}

# wine_preferred_build: the build to show a player: the 32-bit release
# where this host runs it, else the 64-bit build.
wine_preferred_build() {
  if wine_can_run win32; then echo win32; else echo win64; fi
}

# shellcheck shell=bash
# What this host can run. Some kernels run no 32-bit x86 programs (IA32
# emulation switched off, as on many cloud and container machines): there
# the 32-bit Wine loader fails with "Exec format error", and the win32 build
# can be built and inspected but not run.
#
# host_decide prints the answer in one line the first time a script run
# asks, and exports it, so the scripts it starts reuse it without probing.
# TESSOLO_HOST_32BIT=yes or no forces the answer, so that both paths can be
# tried on any host.

_host_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# A complete static i386 Linux program of 96 bytes, exit(42): one ELF
# header, one loadable segment, three instructions. Nothing else is needed
# to ask the kernel, so the answer is known before any package is installed.
_host_probe_program() {
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
  printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
  printf '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'
  printf '\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00'
  printf '\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'
}

# Runs the probe program; sets _host_answer and _host_how.
_host_probe() {
  # In the project's build folder rather than /tmp, which may be mounted
  # without the right to execute.
  local dir="$_host_lib/../../build" probe status=0 why
  mkdir -p "$dir"
  probe=$(mktemp "$dir/.host-probe.XXXXXX")
  _host_probe_program >"$probe"
  chmod +x "$probe"
  why=$("$probe" 2>&1) || status=$?
  rm -f "$probe"
  if [ "$status" -eq 42 ]; then
    _host_answer=yes _host_how="a static i386 program ran"
  else
    why=${why##*: }
    _host_answer=no _host_how="a static i386 program did not run: ${why:-exit status $status}"
  fi
}

host_decide() {
  # Decided already in this run, unless an override asks otherwise now.
  if [ -n "${TESSOLO_HOST_32BIT_FOUND:-}" ] &&
     { [ -z "${TESSOLO_HOST_32BIT:-}" ] || [ "$TESSOLO_HOST_32BIT" = "$TESSOLO_HOST_32BIT_FOUND" ]; }; then
    return 0
  fi
  case ${TESSOLO_HOST_32BIT:-} in
    yes|no) _host_answer=$TESSOLO_HOST_32BIT _host_how="forced by TESSOLO_HOST_32BIT=$TESSOLO_HOST_32BIT" ;;
    "") _host_probe ;;
    *) echo "host: TESSOLO_HOST_32BIT must be yes or no, not '$TESSOLO_HOST_32BIT'" >&2; return 2 ;;
  esac
  export TESSOLO_HOST_32BIT_FOUND=$_host_answer TESSOLO_HOST_32BIT_HOW=$_host_how
  echo "host: runs 32-bit programs: $_host_answer ($_host_how)"
}

# host_runs_32bit: succeeds where 32-bit x86 programs run.
host_runs_32bit() {
  host_decide >/dev/null || return 2
  [ "$TESSOLO_HOST_32BIT_FOUND" = yes ]
}

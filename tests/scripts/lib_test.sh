#!/usr/bin/env bash
# The shell library under scripts/lib: what it decides about the host and
# the Wine loaders, with both answers forced, that a Wine environment whose
# start fails, or is interrupted, leaves nothing of its own behind, and
# that one Wine server serves a whole run, with the fixed address layout.
# Usage: lib_test.sh   (needs Xvfb and Wine; scripts/setup installs them)
set -uo pipefail
export lib
lib=$(cd "$(dirname "$0")/../../scripts/lib" && pwd)
command -v Xvfb >/dev/null || { echo "FAIL: Xvfb is missing (scripts/setup installs it)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tessolo-libtest.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL [$case]: $*"
  failures=$((failures + 1))
}
expect() { # expect WHAT GOT WANTED
  [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
}
# Nothing decided or forced by the run that started the test.
unset TESSOLO_HOST_32BIT TESSOLO_HOST_32BIT_FOUND TESSOLO_HOST_32BIT_HOW
# in_fresh_shell COMMANDS: runs COMMANDS in a new bash with the library loaded.
in_fresh_shell() {
  bash -c "set -e; . '$lib/winenv.sh'; $1"
}

case="the override decides, and is said in one line"
for answer in yes no; do
  out=$(TESSOLO_HOST_32BIT=$answer in_fresh_shell 'host_decide; host_runs_32bit && echo runs32 || echo no32
    wine_can_run win32 && echo can32 || echo cannot32; wine_can_run win64 && echo can64; wine_preferred_build')
  if [ "$answer" = yes ]; then want="runs32 can32 can64 win32"; else want="no32 cannot32 can64 win64"; fi
  expect "answer $answer" "$(echo $out)" "host: runs 32-bit programs: $answer (forced by TESSOLO_HOST_32BIT=$answer) $want"
done
out=$(TESSOLO_HOST_32BIT=maybe in_fresh_shell 'host_decide' 2>&1); status=$?
expect "a bad override is refused" "$status" 2
grep -q "must be yes or no" <<<"$out" || fail "no word of the bad override: $out"

case="the probe runs once per script run"
out=$(in_fresh_shell 'host_decide; host_decide; bash -c ". \"$lib/host.sh\"; host_decide; host_runs_32bit; echo child=\$?"')
lines=$(grep -c '^host: runs 32-bit programs: ' <<<"$out")
expect "lines printed" "$lines" 1
grep -Eq '^host: runs 32-bit programs: (yes \(a static i386 program ran\)|no \(a static i386 program did not run: .+\))$' <<<"$out" ||
  fail "probe line: $out"
found=$(sed -n 's/^host: runs 32-bit programs: \([a-z]*\).*/\1/p' <<<"$out")
child=$(sed -n 's/^child=//p' <<<"$out")
[ "$found" = yes ] && expect "child's answer" "$child" 0 || expect "child's answer" "$child" 1
# An override in a child of a run that probed wins over the inherited answer.
out=$(in_fresh_shell 'host_decide >/dev/null; TESSOLO_HOST_32BIT=no bash -c ". \"$lib/host.sh\"; host_runs_32bit; echo \$?"')
expect "override under a probed run" "$out" 1

case="each build gets the loader of its word size"
if [ -d /usr/lib/wine ]; then
  expect "win32" "$(in_fresh_shell 'wine_loader win32')" /usr/lib/wine/wine
  expect "win64" "$(in_fresh_shell 'wine_loader win64')" /usr/lib/wine/wine64
fi
for answer in yes no; do
  out=$(TESSOLO_HOST_32BIT=$answer TESSOLO_WINE32_LOADER=/l32 TESSOLO_WINE64_LOADER=/l64 in_fresh_shell \
    'wine_use win64; echo $WINELOADER $WINEARCH; wine_use win32; echo $WINELOADER $WINEARCH' 2>&1)
  expect "loaders with 32-bit $answer" "$(echo $out)" "/l64 win64 /l32 win32"
done
in_fresh_shell 'wine_loader win16' >/dev/null 2>&1
expect "an unknown build" "$?" 2

case="the build of a program is read from its header"
pe() { # pe FILE MACHINE: a minimal file with a PE header at 0x40
  { printf 'MZ'; head -c 58 /dev/zero; printf '\x40\x00\x00\x00'; printf 'PE\0\0'; printf "$2"; head -c 20 /dev/zero; } >"$1"
}
pe "$work/a32.exe" '\x4c\x01'; pe "$work/a64.exe" '\x64\x86'; pe "$work/arm.exe" '\x64\xaa'
expect "i386" "$(in_fresh_shell "wine_arch_of '$work/a32.exe'")" win32
expect "amd64" "$(in_fresh_shell "wine_arch_of '$work/a64.exe'")" win64
in_fresh_shell "wine_arch_of '$work/arm.exe'" >/dev/null 2>&1 || status=$?
expect "arm64" "${status:-0}" 1

case="an archive's table is read from gfxpak -l, with or without origins"
# gfxpak -l as Windows prints it (CRLF), before and after a restore point
# gives each entry its origin and a count after the table.
mkdir -p "$work/game/data"
printf '#!/usr/bin/env bash\ncat "$FAKE_LIST"\n' >"$work/fake-list"
chmod +x "$work/fake-list"
{
  printf 'zdata.big: BIGF, 2 entries, 100 bytes (header says 100), dead space 0 bytes\r\n'
  printf '    offset       size  packed  name\r\n'
  printf '        64         10  yes     a b.o\r\n        74         26  no      c.h\r\n'
} >"$work/list-plain"
{
  printf 'zdata.big: BIGF, 3 entries, 100 bytes (header says 100), dead space 0 bytes\r\n'
  printf 'restore point: 1 update\r\n    offset       size  packed  since     name\r\n'
  printf '        64         10  yes     original  a b.o\r\n        74         26  no      replaced  c.h\r\n'
  printf '       100          4  no      added     added x\r\n3 entries: 1 original, 1 replaced, 1 added\r\n'
} >"$work/list-since"
for form in "plain|64 10 a b.o,74 26 c.h" "since|64 10 a b.o,74 26 c.h,100 4 added x"; do
  got=$(FAKE_LIST=$work/list-${form%%|*} WINELOADER=$work/fake-list \
    bash -c ". '$lib/gamefolder.sh'; gf_entries '$work/game' zdata.big" | paste -sd, -)
  expect "entries (${form%%|*})" "$got" "${form#*|}"
done

# A fake Wine loader: records the Xvfb and the Wine server that winenv
# started (its siblings) and the prefix, then behaves as told in FAKE_WINE.
# The server is the real one from the PATH, unless a fake one lies beside
# the loader.
cat >"$work/fake-wine" <<'FAKE'
#!/usr/bin/env bash
ps -o pid=,comm= --ppid "$PPID" | awk '$2 == "Xvfb" { print $1 }' >"$FAKE_OUT/xvfb.pid"
ps -o pid=,comm= --ppid "$PPID" | awk '$2 ~ /^wineserver/ { print $1 }' >"$FAKE_OUT/server.pid"
echo "$WINEPREFIX" >"$FAKE_OUT/prefix"
case $FAKE_WINE in
  fail) echo "cannot execute binary file: Exec format error" >&2; exit 126 ;;
  hang) touch "$FAKE_OUT/started"; sleep 30 ;;
esac
FAKE
chmod +x "$work/fake-wine"

# left_behind: what of the last start still exists.
left_behind() {
  local pid prefix server
  pid=$(cat "$work/out/xvfb.pid" 2>/dev/null)
  server=$(cat "$work/out/server.pid" 2>/dev/null)
  prefix=$(cat "$work/out/prefix" 2>/dev/null)
  [ -n "$pid" ] || fail "the fake loader saw no Xvfb"
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && { fail "Xvfb $pid still runs"; kill "$pid"; }
  [ -n "$server" ] || fail "the fake loader saw no Wine server"
  [ -n "$server" ] && kill -0 "$server" 2>/dev/null && { fail "Wine server $server still runs"; kill "$server"; }
  [ -n "$prefix" ] && [ -e "$(dirname "$prefix")" ] && fail "$(dirname "$prefix") is still there"
  [ -z "$(ls -A "$work/tmp")" ] || fail "left in TMPDIR: $(ls -A "$work/tmp")"
}
start_env() { # start_env MODE: winenv_start win64 with the fake loader
  rm -rf "$work/out" "$work/tmp" "$work/logs"
  mkdir -p "$work/out" "$work/tmp" "$work/logs"
  FAKE_WINE=$1 FAKE_OUT=$work/out TMPDIR=$work/tmp WINENV_LOG_DIR=$work/logs \
    TESSOLO_WINE64_LOADER=$work/fake-wine in_fresh_shell 'winenv_start win64; echo started'
}

case="a loader that cannot run stops the start with one line"
out=$(start_env fail 2>&1); status=$?
[ "$status" -ne 0 ] || fail "exit status 0"
grep -q started <<<"$out" && fail "the script went on after the failed start"
msg=$(grep '^winenv: could not' <<<"$out")
expect "lines" "$(grep -c '^winenv: could not' <<<"$out")" 1
grep -q "exited 126 (cannot execute binary file: Exec format error); see $work/logs/winenv-win64.log" <<<"$msg" ||
  fail "message: $msg"
[ -s "$work/logs/winenv-win64.log" ] || fail "the log it names is empty or missing"
left_behind

case="an interrupted start leaves nothing behind"
rm -rf "$work/out" "$work/tmp" "$work/logs"
mkdir -p "$work/out" "$work/tmp" "$work/logs"
set -m  # the start in a process group of its own, as a terminal's job is
FAKE_WINE=hang FAKE_OUT=$work/out TMPDIR=$work/tmp WINENV_LOG_DIR=$work/logs \
  TESSOLO_WINE64_LOADER=$work/fake-wine in_fresh_shell 'winenv_start win64; echo started' >"$work/hang.log" 2>&1 &
job=$!
set +m
# Before the loader, winenv starts Xvfb and a real Wine server and waits
# for both, which on a machine busy building takes longer than any fixed
# wait: wait for as long as the start goes on. Ctrl-C only once the loader's
# sleep runs: "started" is written just before the loader forks it, and a
# SIGINT that lands between that fork and the exec is taken by the child's
# copy of bash's handler and lost; the sleep then runs its 30 seconds, and
# the loader and the shell above it, seeing no death by SIGINT, go on as if
# it had been handled (exit status 0, not 130).
hanging() { ps -eo pgid=,comm= | awk -v g="$job" '$1 == g && $2 == "sleep" { found = 1 } END { exit !found }'; }
while ! { [ -e "$work/out/started" ] && hanging; } && kill -0 "$job" 2>/dev/null; do sleep 0.1; done
[ -e "$work/out/started" ] || fail "the fake loader never started: $(cat "$work/hang.log")"
kill -INT -- -"$job"  # Ctrl-C reaches the whole job
wait "$job"; status=$?
expect "exit status" "$status" 130
left_behind

case="a start that succeeded is taken down when the script ends"
out=$(start_env ok 2>&1); status=$?
expect "exit status" "$status" 0
grep -q started <<<"$out" || fail "did not start: $out"
left_behind

# A machine busy building can keep Xvfb from answering for longer than the
# ten seconds winenv once gave it.
case="a display that is slow to answer is waited for"
mkdir -p "$work/slow"
cat >"$work/slow/Xvfb" <<FAKE
#!/usr/bin/env bash
sleep 20
exec $(command -v Xvfb) "\$@"
FAKE
chmod +x "$work/slow/Xvfb"
out=$(PATH=$work/slow:$PATH start_env ok 2>&1); status=$?
expect "exit status" "$status" 0
grep -q started <<<"$out" || fail "did not start: $out"
left_behind

case="a Wine server that cannot start stops the start with one line"
cat >"$work/wineserver" <<'FAKE'
#!/usr/bin/env bash
echo "wineserver: chdir to $WINEPREFIX: Permission denied" >&2
exit 1
FAKE
chmod +x "$work/wineserver"
out=$(start_env ok 2>&1); status=$?
rm "$work/wineserver"
[ "$status" -ne 0 ] || fail "exit status 0"
grep -q started <<<"$out" && fail "the script went on without a server"
[ -e "$work/out/prefix" ] && fail "a Windows program ran without the server"
expect "lines" "$(grep -c '^winenv: the Wine server' <<<"$out")" 1
grep -q "did not start (wineserver: chdir to .*: Permission denied); see $work/logs/winenv-win64.log" <<<"$out" ||
  fail "message: $out"
[ -z "$(ls -A "$work/tmp")" ] || fail "left in TMPDIR: $(ls -A "$work/tmp")"

# The real thing: one server serves every program from the start to the
# end. A server that ends with its last program is gone at most 7 s later
# (4 s where it starts with -p0), and a program that starts meanwhile has to
# wait for it to go, or fails; the background programs must not hold the
# output of a program that is read to its end.
case="one Wine server serves a whole run"
loader=$(in_fresh_shell 'wine_loader win64')
if [ ! -x "$loader" ]; then
  if [ "${CI:-}" = true ]; then
    fail "no Wine loader $loader (scripts/setup installs it)"
  else
    echo "SKIP [$case]: no Wine loader $loader (scripts/setup installs it)"
  fi
else
  rm -rf "$work/tmp" && mkdir -p "$work/tmp"
  out=$(TMPDIR=$work/tmp WINENV_LOG_DIR=$work/logs timeout 600 bash -c "set -e; . '$lib/winenv.sh'"'
    winenv_start win64 >/dev/null
    servers() { # the Wine servers of this prefix
      local p
      for p in /proc/[0-9]*; do
        case $(cat "$p/comm" 2>/dev/null) in wineserver*) ;; *) continue ;; esac
        grep -qsz "^WINEPREFIX=$WINEPREFIX\$" "$p/environ" && echo "${p#/proc/}"
      done
    }
    echo "server $(ps -o pid=,comm= --ppid $$ | awk "\$2 ~ /^wineserver/ { print \$1 }")"
    echo "layout $WINE_LAYOUT_HOW"
    for p in /proc/[0-9]*; do
      [ "$(cat "$p/comm" 2>/dev/null)" = services.exe ] && grep -qsz "^WINEPREFIX=$WINEPREFIX\$" "$p/environ" &&
        echo "services $(cat "$p/personality")"
    done
    echo "before $(servers)"
    status=0; "$WINELOADER" cmd /c exit 3 || status=$?
    echo "exit $status"
    echo "output $(timeout 120 "$WINELOADER" cmd /c echo one | tr -d "\r")"
    sleep 8
    echo "idle $(servers)"
    echo "output $(timeout 120 "$WINELOADER" cmd /c echo two | tr -d "\r")"
    echo "after $(servers)"' 2>&1); status=$?
  expect "exit status" "$status" 0
  server=$(sed -n 's/^server //p' <<<"$out")
  [ -n "$server" ] || fail "winenv started no server of its own: $out"
  for when in before idle after; do
    expect "servers $when" "$(sed -n "s/^$when //p" <<<"$out")" "$server"
  done
  expect "exit code of a program" "$(sed -n 's/^exit //p' <<<"$out")" 3
  # The prefix's background programs keep the layout of the wineboot that
  # started them: address randomisation off, unless the host refuses it.
  layout=$(sed -n 's/^layout //p' <<<"$out")
  grep -q '^services ' <<<"$out" || fail "no services.exe of the prefix: $out"
  for personality in $(sed -n 's/^services //p' <<<"$out"); do
    if [[ $layout != random* ]] && (((16#$personality & 16#0040000) == 0)); then
      fail "services.exe runs with personality $personality, not the fixed layout ($layout)"
    fi
  done
  expect "outputs read to the end" "$(sed -n 's/^output //p' <<<"$out" | paste -sd' ')" "one two"
  [ -n "$server" ] && kill -0 "$server" 2>/dev/null && { fail "Wine server $server still runs"; kill "$server"; }
  [ -z "$(ls -A "$work/tmp")" ] || fail "left in TMPDIR: $(ls -A "$work/tmp")"
fi

echo "lib_test: $failures failures"
[ "$failures" -eq 0 ]

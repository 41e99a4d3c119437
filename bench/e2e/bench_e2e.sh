#!/usr/bin/env bash
# The whole job as a player runs it, timed: 50 stadium files of 1 to 4 MB
# (half of them replacing entries) into two archives of 300 MB, the real
# tool and gfxpak under Wine, "start" clicked on the screen, the run over
# when the last file has left the data folder and the title is the tool's
# own again.
#
# Two runs over the same files and archives:
#   timed   gfxpak.exe is a stopwatch that runs the real packer and logs how
#           long each packer process lived: the time inside gfxpak;
#   direct  the real gfxpak.exe, as released: the wall time of the run.
# Time in the tool = timed wall time - time inside gfxpak - the stopwatch's
# own start-ups (from its process creation, inside the tool's CreateProcessW,
# to its first instruction); the share is taken of the wall time less the
# stopwatch. The direct run's wall time shows what a player waits.
# Usage: bench_e2e.sh TESSOLO_EXE GFXPAK_EXE TIMED_GFXPAK_EXE WORK_DIR
set -euo pipefail
tessolo=$1 gfxpak=$2 timed=$3 work=$4
repo=$(cd "$(dirname "$0")/../.." && pwd)
. "$repo/scripts/lib/winenv.sh"
. "$repo/scripts/lib/window.sh"
. "$repo/scripts/lib/gamefolder.sh"
wine_fixed_layout_exec "$repo/bench/e2e/bench_e2e.sh" "$@"
host_decide
arch=$(wine_arch_of "$tessolo")
if ! wine_can_run "$arch"; then
  echo "bench: $tessolo is a $arch program, which this host cannot run; build bench_e2e in build/win64" >&2
  exit 1
fi
finish() {
  tw_stop
  rm -rf "$work"
}
cleanup_push finish
if [ -z "${WINEPREFIX:-}" ] || [ -z "${DISPLAY:-}" ]; then
  winenv_start "$arch"
else
  wine_use "$arch"
fi
export LC_ALL=C.UTF-8

files=50
archive_entries=30
entry_mb=10
rm -rf "$work"
mkdir -p "$work/stadium" "$work/pristine"

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.2f\", $1 }"; }

# Names over every prefix, both kinds.
prefixes=(alpi amst anfi baya bern bolla camp gerl high mest oldt olim prin sami sans stoc west
  cald divo divt dumm geno gens hamb rura stam urba velo)
names=()
for i in $(seq 0 $((files - 1))); do
  p=${prefixes[i % ${#prefixes[@]}]}
  if [ $((i % 2)) -eq 0 ]; then names+=("${p}_bench$i.o"); else names+=("${p}_bench$i.h"); fi
done
total=0
for name in "${names[@]}"; do
  size=$((1048576 + (RANDOM * 32768 + RANDOM) % (3 * 1048576)))
  gf_stadium_file "$work/stadium/$name" "$size"
  total=$((total + size))
done

echo "=== making the archives: $archive_entries entries of $entry_mb MB each"
g=$work/game
gf_folder "$g" "$tessolo" "$gfxpak"
for i in $(seq 0 $((archive_entries - 1))); do
  # The first entries have the names of stadium files, which then replace them.
  if [ "$i" -lt $((files / 2)) ]; then entry=${names[i]}; else entry=fe_art$i.fsh; fi
  head -c $((entry_mb * 1048576)) /dev/urandom >"$g/data/$entry"
  gf_pak "$g" -p zdata_05.big "$entry" >/dev/null
  rm "$g/data/$entry"
done
rm -f "$g/data/zdata_05.big.restore"
mv "$g/data/zdata_05.big" "$work/pristine/zdata_05.big"
cp "$work/pristine/zdata_05.big" "$work/pristine/zdata_06.big"
echo "archives: $(du -m "$work/pristine/zdata_05.big" | cut -f1) MB each; stadium files: $((total / 1048576)) MB in $files files"

# run MODE: one whole run; sets wall (seconds).
run() {
  local mode=$1
  gf_folder "$g" "$tessolo" "$gfxpak"
  if [ "$mode" = timed ]; then
    mv "$g/gfxpak.exe" "$g/gfxpak-real.exe"
    cp "$timed" "$g/gfxpak.exe"
  fi
  cp "$work/pristine/"*.big "$g/data/"
  cp "$work/stadium/"* "$g/data/"
  export TESSOLO_TIMING_LOG
  TESSOLO_TIMING_LOG=$("$WINELOADER" winepath -w "$work/$mode.log")
  rm -f "$work/$mode.log"
  sync
  tw_launch "$g"
  tw_window 60 || { echo "bench: no window" >&2; exit 1; }
  tw_menu start
  local t0=$TW_CLICKED t1 left name
  while :; do
    left=0
    for name in "${names[@]}"; do [ -e "$g/data/$name" ] && { left=1; break; }; done
    [ "$left" -eq 0 ] && [ "$(tw_title)" = "$TW_CAPTION" ] && break
    if [ -n "$(tw_dialog 0)" ] || ! tw_running; then
      tw_screenshot "$work/../$mode-failed.png"
      echo "bench: the $mode run stopped (screenshot $mode-failed.png)" >&2
      exit 1
    fi
    sleep 0.05
  done
  t1=$(now)
  tw_screenshot "$work/shot.png"
  tw_ok_shown "$work/shot.png" || { echo "bench: the $mode run did not end with OK !" >&2; exit 1; }
  tw_menu exit
  tw_wait_exit 20 || true
  wall=$(calc "$t1 - $t0")
  run_start=$t0
}

echo "=== timed run (stopwatch around every gfxpak command)"
run timed
timed_wall=$wall
commands=$(wc -l <"$work/timed.log")
failed=$(awk '$5 != 0' "$work/timed.log" | wc -l)
inside=$(awk '{ s += $3 - $2 } END { printf "%.2f", s }' "$work/timed.log")
stopwatch=$(awk '{ s += $2 - $1 + $4 - $3 } END { printf "%.2f", s }' "$work/timed.log")
first=$(awk -v t0="$run_start" 'NR == 1 { printf "%.3f", $1 - t0 }' "$work/timed.log")
# From the stopwatch's leaving to the making of the next command's process:
# the tool's own work between two commands, and the stopwatch's exit.
gaps=$(awk 'NR > 1 { g = $1 - end; s += g; if (g > m) m = g } { end = $4 } END { printf "%.3f %.3f", s / (NR - 1), m }' \
  "$work/timed.log")
outside=$(calc "$timed_wall - $inside - $stopwatch")
share=$(calc "100 * $outside / ($timed_wall - $stopwatch)")
echo "wall $timed_wall s, $commands gfxpak commands ($failed failed)"
echo "inside gfxpak $inside s; the stopwatch's own start-up and logging $stopwatch s"
echo "click to first command $first s; tool between commands: mean $(cut -d' ' -f1 <<<"$gaps") s, max $(cut -d' ' -f2 <<<"$gaps") s"

echo "=== direct run (the real gfxpak.exe, as released)"
run direct
echo "wall $wall s"

# What a Wine process costs beyond its start-up, mostly its exit: the
# stopwatch around "gfxpak --version", which does next to nothing, ten times.
# Each gap between commands above holds one such exit of the stopwatch.
rm -f "$work/version.log"
cp "$gfxpak" "$g/gfxpak-real.exe"
cp "$timed" "$g/gfxpak.exe"
TESSOLO_TIMING_LOG=$("$WINELOADER" winepath -w "$work/version.log")
for _ in $(seq 1 10); do (cd "$g" && "$WINELOADER" gfxpak.exe --version >/dev/null); done
exit_cost=$(awk '{ s += ($3 - $2) - ($2 - $1) } END { printf "%.3f", s / NR }' "$work/version.log")
echo "a Wine process beyond its start-up (exit): about $exit_cost s"

echo
echo "files=$files stadium_mb=$((total / 1048576)) archive_mb=$((archive_entries * entry_mb)) load=$(cut -d' ' -f1-3 /proc/loadavg)"
echo "timed run: wall_s=$timed_wall inside_gfxpak_s=$inside stopwatch_s=$stopwatch outside_gfxpak_s=$outside outside_percent=$share"
echo "direct run: wall_s=$wall; wine_process_exit_s=$exit_cost per command, in outside_gfxpak_s above"

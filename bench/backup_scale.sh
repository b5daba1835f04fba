#!/usr/bin/env bash
# How `corvane backup` grows with the number of entries, against `get -r` of
# the same tree, over TCP/IP from the emulated Quillon (unpaced, so what is
# measured is the tool's own cost per entry, not the line's).
#
# Each tree holds ENTRIES entries: folders of 99 small files (16 to 79
# bytes) each, plus the folders themselves. For each size the script times
#   get -r / into an empty folder,
#   backup into an empty folder,
#   a second backup into the same folder (nothing fetched),
# checks that both copies hold the device's bytes, and prints the backup's
# time as a share of the get's. A backup that stays linear stays near 1x.
#
# Usage: bench/backup_scale.sh [BUILD_DIR] [ENTRIES ...]
#   default: 2500 5000 10000 20000
set -euo pipefail
build=${1:-build/default}
shift $(( $# > 0 ? 1 : 0 ))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(2500 5000 10000 20000)
emu_bin="$build/src/emulator/corvane-emu"
cli_bin="$build/src/cli/corvane"
for b in "$emu_bin" "$cli_bin"; do
  [ -x "$b" ] || { echo "missing $b: build the corvane and corvane-emu targets first" >&2; exit 2; }
done

work=$(mktemp -d)
emu=
stop_emu() { if [ -n "$emu" ]; then kill "$emu" 2>/dev/null || true; wait "$emu" 2>/dev/null || true; emu=; fi; }
trap 'stop_emu; rm -rf "$work"' EXIT

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

make_tree() {  # root, entries
  local root=$1 left=$2 d=0 f
  rm -rf "$root"
  mkdir -p "$root"
  while [ "$left" -gt 0 ]; do
    mkdir "$root/dir$d"
    left=$(( left - 1 ))
    for (( f = 0; f < 99 && left > 0; f++ )); do
      printf '%*s' $(( 16 + (d * 7 + f * 13) % 64 )) "$d.$f" > "$root/dir$d/file$f.bin"
      left=$(( left - 1 ))
    done
    d=$(( d + 1 ))
  done
}

start_emu() {  # root
  rm -f "$work/emu.out"
  "$emu_bin" --kind quillon --root "$1" --tcp 0 --quiet > "$work/emu.out" &
  emu=$!
  for _ in $(seq 200); do
    port=$(sed -n 's/^TCP\/IP: 127\.0\.0\.1 port \([0-9]*\)$/\1/p' "$work/emu.out")
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  echo "the emulator did not start" >&2
  exit 1
}

timed() {  # command... -> ms on stdout; the command's output in $work/last.log
  local t0 t1
  t0=$(now_ms)
  "$@" > "$work/last.log" 2>&1 || { echo "failed: $*" >&2; cat "$work/last.log" >&2; exit 1; }
  t1=$(now_ms)
  echo $(( t1 - t0 ))
}

printf '%8s %10s %10s %8s %14s\n' entries "get -r ms" "backup ms" ratio "2nd backup ms"
for n in "${sizes[@]}"; do
  make_tree "$work/root" "$n"
  start_emu "$work/root"
  rm -rf "$work/got" "$work/backup"
  cli=("$cli_bin" --kind quillon --tcp "127.0.0.1:$port")
  get_ms=$(timed "${cli[@]}" get -r / "$work/got")
  backup_ms=$(timed "${cli[@]}" backup "$work/backup")
  again_ms=$(timed "${cli[@]}" backup "$work/backup")
  grep -q " 0 fetched" "$work/last.log" || { echo "the second backup fetched something" >&2; exit 1; }
  stop_emu
  diff -r "$work/root" "$work/got" > /dev/null || { echo "get -r differs from the device" >&2; exit 1; }
  diff -r --exclude manifest.json "$work/root" "$work/backup" > /dev/null ||
    { echo "the backup differs from the device" >&2; exit 1; }
  printf '%8d %10d %10d %7d%% %14d\n' "$n" "$get_ms" "$backup_ms" $(( backup_ms * 100 / (get_ms > 0 ? get_ms : 1) )) "$again_ms"
done

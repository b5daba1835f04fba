#!/usr/bin/env bash
# How `corvane put LOCALFOLDER /` over TCP/IP grows with the number of files
# in one folder, against the emulated Quillon (unpaced, so what is measured is
# the tool's own cost per file, not the line's). Every put is confirmed by a
# listing of its folder; a run of puts into one folder should cost one
# listing, not one per file, and stay linear.
#
# For each size the script puts a local folder of FILES small files (16 to 79
# bytes) into the device's root (so the device's folder /batch holds them),
# checks that the device holds every file's bytes and counts the listings the
# device answered.
#
# Usage: bench/tcp_folder_put.sh [BUILD_DIR] [FILES ...]
#   default: 1000 3000
set -euo pipefail
build=${1:-build/default}
shift $(( $# > 0 ? 1 : 0 ))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 3000)
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

make_folder() {  # folder, files
  local dir=$1 n=$2 f
  rm -rf "$dir"
  mkdir -p "$dir"
  for (( f = 0; f < n; f++ )); do printf '%*s' $(( 16 + (f * 13) % 64 )) "$f" > "$dir/file$f.bin"; done
}

start_emu() {  # root
  rm -f "$work/emu.out"
  "$emu_bin" --kind quillon --root "$1" --tcp 0 > "$work/emu.out" &
  emu=$!
  for _ in $(seq 200); do
    port=$(sed -n 's/^TCP\/IP: 127\.0\.0\.1 port \([0-9]*\)$/\1/p' "$work/emu.out")
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  echo "the emulator did not start" >&2
  exit 1
}

printf '%8s %10s %10s\n' files "put ms" listings
for n in "${sizes[@]}"; do
  make_folder "$work/batch" "$n"
  rm -rf "$work/root"
  mkdir -p "$work/root/batch"
  start_emu "$work/root"
  t0=$(now_ms)
  "$cli_bin" --kind quillon --tcp "127.0.0.1:$port" --progress none put "$work/batch" / > "$work/put.log" 2>&1 ||
    { echo "the put failed" >&2; cat "$work/put.log" >&2; exit 1; }
  t1=$(now_ms)
  stop_emu
  diff -r "$work/batch" "$work/root/batch" > /dev/null || { echo "the device does not hold the files' bytes" >&2; exit 1; }
  listings=$(grep -c '^Listing ' "$work/emu.out" || true)
  printf '%8d %10d %10d\n' "$n" $(( t1 - t0 )) "$listings"
done

#!/usr/bin/env bash
# `corvane --port A --port B put` against the same put on one device: each
# device has its own line and thread, so two at once should take about the
# time of one. Both emulated devices are paced at the line rate both ways
# (--line-rate: the PC's blocks take their line time to arrive too) with a
# 1 ms turnaround.
#
# Usage: bench/several_devices_put.sh [BUILD_DIR] [SIZE_BYTES] [RUNS] [BAUD]
#   default: build/default 61440 3 115200
# Prints each run's times and the median ratio of two at once to one.
set -euo pipefail
build=${1:-build/default}
size=${2:-61440}
runs=${3:-3}
baud=${4:-115200}
emu_bin="$build/src/emulator/corvane-emu"
cli_bin="$build/src/cli/corvane"
for b in "$emu_bin" "$cli_bin"; do
  [ -x "$b" ] || { echo "missing $b: build the corvane and corvane-emu targets first" >&2; exit 2; }
done

work=$(mktemp -d)
pids=()
stop_all() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; }
trap 'stop_all; rm -rf "$work"' EXIT

for d in a b; do
  mkdir -p "$work/$d"
  "$emu_bin" --kind quillon --root "$work/$d" --pty "$work/tty-$d" --quiet --line-rate "$baud" 1 >/dev/null &
  pids+=($!)
done
for d in a b; do
  for _ in $(seq 200); do [ -e "$work/tty-$d" ] && break; sleep 0.05; done
  [ -e "$work/tty-$d" ] || { echo "the emulator did not start" >&2; exit 1; }
done
head -c "$size" /dev/urandom >"$work/payload.bin"

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
put() {  # ports... -> ms
  local args=() t0 t1
  for p in "$@"; do args+=(--port "$p"); done
  t0=$(now_ms)
  "$cli_bin" --kind quillon "${args[@]}" --baud "$baud" put "$work/payload.bin" >/dev/null 2>&1
  t1=$(now_ms)
  echo $(( t1 - t0 ))
}

ratios=()
for r in $(seq "$runs"); do
  one=$(put "$work/tty-a")
  two=$(put "$work/tty-a" "$work/tty-b")
  cmp -s "$work/payload.bin" "$work/a/payload.bin" && cmp -s "$work/payload.bin" "$work/b/payload.bin" ||
    { echo "run $r: the devices do not hold the file's bytes" >&2; exit 1; }
  ratio=$(awk -v a="$two" -v b="$one" 'BEGIN { printf "%.3f", a / b }')
  ratios+=("$ratio")
  echo "run $r: one device $one ms, two at once $two ms, ratio $ratio"
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
echo "$size bytes at $baud baud: median ratio two/one = $median (target <= 1.3)"

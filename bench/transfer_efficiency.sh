#!/usr/bin/env bash
# Payload throughput of block transfers with `corvane get` and `corvane put`
# against the emulated device, its serial output paced at a line rate with a
# 1 ms turnaround before each answer.
#
# Each command's fixed cost (opening the port, the version, the folder change,
# the quiet-line waits and the pause after a transfer) is taken out by timing
# the same command with an empty file:  payload rate = size / (t(size) - t(0)).
#
# A get is limited by the device's paced output: per 1024-byte block the line
# carries 1028 bytes (header, data, 1-byte sum) plus the turnaround, so the
# stop-and-wait ceiling is 1024 / (1028 + baud/10 x 0.001) of baud/10.
# A put's blocks come from the PC; the emulator paces its input too (a block
# is handed to the device one line time after it began to arrive), so the put
# figure is limited by the line as well.
#
# Usage: bench/transfer_efficiency.sh [BUILD_DIR] [RATE:SIZE ...]
#   default: 115200:262144 9600:24576   (about 25 s of line time each)
set -euo pipefail
build=${1:-build/default}
shift $(( $# > 0 ? 1 : 0 ))
runs=("$@")
[ ${#runs[@]} -gt 0 ] || runs=(115200:262144 9600:24576)
turnaround=1
emu_bin="$build/src/emulator/corvane-emu"
cli_bin="$build/src/cli/corvane"
for b in "$emu_bin" "$cli_bin"; do
  [ -x "$b" ] || { echo "missing $b: build the corvane and corvane-emu targets first" >&2; exit 2; }
done

work=$(mktemp -d)
emu=
stop_emu() { if [ -n "$emu" ]; then kill "$emu" 2>/dev/null || true; wait "$emu" 2>/dev/null || true; emu=; fi; }
trap 'stop_emu; rm -rf "$work"' EXIT

start_emu() {  # rate
  rm -f "$work/tty"
  "$emu_bin" --kind quillon --root "$work/root" --pty "$work/tty" --quiet --line-rate "$1" "$turnaround" >/dev/null &
  emu=$!
  for _ in $(seq 200); do [ -e "$work/tty" ] && return 0; sleep 0.05; done
  echo "the emulator did not start" >&2
  exit 1
}

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

time_get() {  # device name, local file -> ms
  local t0 t1
  t0=$(now_ms)
  "$cli_bin" --kind quillon --port "$work/tty" --baud 115200 get "/$1" "$2" >/dev/null 2>&1
  t1=$(now_ms)
  echo $(( t1 - t0 ))
}

time_put() {  # local file -> ms
  local t0 t1
  t0=$(now_ms)
  "$cli_bin" --kind quillon --port "$work/tty" --baud 115200 put "$1" >/dev/null 2>&1
  t1=$(now_ms)
  echo $(( t1 - t0 ))
}

report() {  # direction rate size ms_size ms_empty
  awk -v dir="$1" -v rate="$2" -v size="$3" -v t="$4" -v t0="$5" -v ta="$turnaround" 'BEGIN {
    line = rate / 10
    ms = t - t0
    if (ms <= 0) { printf "%s at %d baud: too fast to measure\n", dir, rate; exit }
    bps = size * 1000 / ms
    ceiling = 1024 / (1028 + line * ta / 1000)
    share = bps / line
    if (dir == "get")
      printf "get at %6d baud: %8d bytes in %6d ms (fixed cost %d ms): %7.1f bytes/s = %5.1f%% of %d, %5.1f%% of the %.1f%% stop-and-wait ceiling\n",
        rate, size, ms, t0, bps, 100 * share, line, 100 * share / ceiling, 100 * ceiling
    else
      printf "put at %6d baud: %8d bytes in %6d ms (fixed cost %d ms): %7.1f bytes/s = %5.1f%% of %d (the emulator paces its input)\n",
        rate, size, ms, t0, bps, 100 * share, line
  }'
}

mkdir -p "$work/root"
for run in "${runs[@]}"; do
  rate=${run%%:*}
  size=${run##*:}
  head -c "$size" /dev/urandom > "$work/root/payload.bin"
  : > "$work/root/empty.bin"
  start_emu "$rate"
  t_empty=$(time_get empty.bin "$work/empty.got")
  t_full=$(time_get payload.bin "$work/payload.got")
  cmp -s "$work/root/payload.bin" "$work/payload.got" || { echo "get at $rate: file differs" >&2; exit 1; }
  report get "$rate" "$size" "$t_full" "$t_empty"

  mkdir -p "$work/up"
  cp "$work/root/payload.bin" "$work/up/up.bin"
  : > "$work/up/upempty.bin"
  p_empty=$(time_put "$work/up/upempty.bin")
  p_full=$(time_put "$work/up/up.bin")
  cmp -s "$work/up/up.bin" "$work/root/up.bin" || { echo "put at $rate: file differs" >&2; exit 1; }
  report put "$rate" "$size" "$p_full" "$p_empty"
  stop_emu
  rm -f "$work/root/up.bin" "$work/root/upempty.bin" "$work"/*.got
done

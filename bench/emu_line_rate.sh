#!/usr/bin/env bash
# Throughput of a file fetched with `corvane get` from the emulated device
# over a pseudo-terminal, unpaced and paced at line rates, next to the line's
# own limit (baud / 10 bytes per second; each 1024-byte block costs 1029
# bytes with its header and sum, plus its ACK).
# Usage: bench/emu_line_rate.sh [BUILD_DIR] [SIZE_BYTES] [RATES...]
set -euo pipefail
build=${1:-build/default}
size=${2:-65536}
shift $(( $# > 2 ? 2 : $# ))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(0 115200 19200)
work=$(mktemp -d)
emu=
trap 'if [ -n "$emu" ]; then kill "$emu" 2>/dev/null || true; wait "$emu" 2>/dev/null || true; fi; rm -rf "$work"' EXIT
mkdir -p "$work/root"
head -c "$size" /dev/urandom > "$work/root/payload.bin"
for rate in "${rates[@]}"; do
  pace=()
  [ "$rate" -gt 0 ] && pace=(--line-rate "$rate")
  "$build/src/emulator/corvane-emu" --kind quillon --root "$work/root" --pty "$work/tty" --quiet "${pace[@]}" >/dev/null &
  emu=$!
  for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.05; done
  start=$(date +%s%N)
  "$build/src/cli/corvane" --kind quillon --port "$work/tty" get /payload.bin "$work/got.bin" >/dev/null 2>&1
  end=$(date +%s%N)
  cmp -s "$work/root/payload.bin" "$work/got.bin" || { echo "rate $rate: file differs"; exit 1; }
  ms=$(( (end - start) / 1000000 ))
  bps=$(( size * 1000 / (ms > 0 ? ms : 1) ))
  if [ "$rate" -gt 0 ]; then
    limit=$(( rate / 10 * 1024 / 1029 ))
    echo "line rate $rate: $ms ms for $size bytes, $bps bytes/s (line limit $limit bytes/s)"
  else
    echo "unpaced: $ms ms for $size bytes, $bps bytes/s"
  fi
  kill "$emu"; wait "$emu" 2>/dev/null || true; emu=
  rm -f "$work/got.bin"
done

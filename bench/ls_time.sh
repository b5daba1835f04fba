#!/usr/bin/env bash
# Time of `corvane ls` of a 200-entry folder against the emulated device over a
# pseudo-terminal, next to the protocol's own floor: every command byte waits
# for a 200 ms quiet line and pauses 20 ms after it, and a listing waits
# another 300 ms before reading the answer. `ls` sends three commands
# (version, change folder, list): 3 x 220 + 300 = 960 ms.
# Usage: bench/ls_time.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build/default}
runs=${2:-5}
work=$(mktemp -d)
trap 'kill "$emu" 2>/dev/null || true; wait "$emu" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/root/Big"
for i in $(seq -w 1 200); do printf 'entry %s\n' "$i" > "$work/root/Big/file$i.txt"; done
"$build/src/emulator/corvane-emu" --kind quillon --root "$work/root" --pty "$work/tty" >/dev/null 2>&1 &
emu=$!
for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.05; done
total=0
for r in $(seq "$runs"); do
  start=$(date +%s%N)
  count=$("$build/src/cli/corvane" --kind quillon --port "$work/tty" ls /Big | wc -l)
  end=$(date +%s%N)
  ms=$(( (end - start) / 1000000 ))
  total=$(( total + ms ))
  echo "run $r: $ms ms, $count entries"
done
echo "mean: $(( total / runs )) ms for 200 entries; protocol floor 960 ms"

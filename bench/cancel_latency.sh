#!/usr/bin/env bash
# Ctrl-C to exit of `corvane get` on a paced line: the emulated device serves
# a file over a pseudo-terminal at a given line rate; once the transfer shows
# progress, corvane gets SIGINT at a different point of a block each round,
# and the time until it has ended is measured. Each round also checks what a
# cancel must leave: exit status 130, the old local file untouched and nothing
# else beside it, and the device told (its log says the PC cancelled).
# SIGNAL (INT, TERM or HUP) is the signal sent; TERM and HUP cancel as
# Ctrl-C does and end with 143 and 129.
# Usage: bench/cancel_latency.sh [BUILD_DIR] [ROUNDS] [LINE_RATE] [SIGNAL]
set -euo pipefail
build=${1:-build/default}
rounds=${2:-8}
rate=${3:-9600}
signal=${4:-INT}
case "$signal" in
  INT) expected=130 ;;
  TERM) expected=143 ;;
  HUP) expected=129 ;;
  *) echo "SIGNAL is INT, TERM or HUP" >&2; exit 2 ;;
esac
work=$(mktemp -d)
emu=
tool=
cleanup() {
  for p in "$tool" "$emu"; do
    if [ -n "$p" ]; then kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/local"
head -c $((64 * 1024)) /dev/urandom > "$work/root/payload.bin"
"$build/src/emulator/corvane-emu" --kind quillon --root "$work/root" --pty "$work/tty" \
  --line-rate "$rate" > "$work/emu.log" &
emu=$!
for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.05; done

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
times=()
failures=0
for i in $(seq "$rounds"); do
  target="$work/local/payload.bin"
  printf 'the old copy' > "$target"
  cancels_before=$(grep -c "The PC cancelled" "$work/emu.log" || true)
  "$build/src/cli/corvane" --kind quillon --port "$work/tty" --progress lines get /payload.bin "$target" \
    2> "$work/err.txt" > /dev/null &
  tool=$!
  # Wait for the first block's progress line, then for a point inside a block
  # that moves with each round (a 1024-byte block takes ~1.07 s at 9600 baud).
  for _ in $(seq 600); do grep -q " Kbytes (" "$work/err.txt" 2>/dev/null && break; sleep 0.05; done
  sleep "0.$(( 300 + (i * 137) % 700 ))"
  start=$(now_ms)
  kill -"$signal" "$tool"
  status=0
  wait "$tool" || status=$?
  end=$(now_ms)
  tool=
  ms=$(( end - start ))
  times+=("$ms")
  # The device reads the cancel bytes once it has sent the block it is on
  # (up to ~1.1 s at 9600 baud).
  sleep 1.5
  cancels_after=$(grep -c "The PC cancelled" "$work/emu.log" || true)
  problems=""
  [ "$status" -eq "$expected" ] || problems="$problems exit $status;"
  [ "$(cat "$target")" = "the old copy" ] || problems="$problems old file changed;"
  [ "$(ls -A "$work/local")" = "payload.bin" ] || problems="$problems left: $(ls -A "$work/local" | tr '\n' ' ');"
  [ "$cancels_after" -gt "$cancels_before" ] || problems="$problems device not told;"
  verdict=${problems:-ok}
  [ -z "$problems" ] || failures=$((failures + 1))
  echo "round $i: SIG$signal to exit $ms ms ($verdict)"
  # Let the device go back to waiting for commands.
  sleep 1
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
echo "SIG$signal, line rate $rate, $rounds rounds: min $(echo "$sorted" | head -1) ms," \
  "median $(echo "$sorted" | sed -n "$(( (rounds + 1) / 2 ))p") ms, max $(echo "$sorted" | tail -1) ms;" \
  "$failures round(s) with a wrong outcome"

#!/usr/bin/env bash
# `corvane backup` of a 200-entry tree (10 folders of 19 files, 100 to 4000
# bytes each) from the emulated device over a paced line, against the sum of
# its file transfer times (the last elapsed_ms of each file's progress, from
# --progress json). The difference is what the tree costs beyond the files
# themselves: listings, the commands and pauses around each get. A second
# backup then fetches nothing; its time is the cost of finding that out.
# Usage: bench/backup_tree.sh [BUILD_DIR] [LINE_RATE]
set -euo pipefail
build=${1:-build/default}
rate=${2:-115200}
work=$(mktemp -d)
emu=
trap 'if [ -n "$emu" ]; then kill "$emu" 2>/dev/null || true; wait "$emu" 2>/dev/null || true; fi; rm -rf "$work"' EXIT
mkdir -p "$work/root"
bytes=0
for d in $(seq -w 0 9); do
  mkdir -p "$work/root/dir$d"
  for f in $(seq -w 0 18); do
    size=$(( (RANDOM % 3901) + 100 ))
    head -c "$size" /dev/urandom > "$work/root/dir$d/file$f.bin"
    bytes=$(( bytes + size ))
  done
done
"$build/src/emulator/corvane-emu" --kind quillon --root "$work/root" --pty "$work/tty" --quiet --line-rate "$rate" >/dev/null &
emu=$!
for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.05; done
run() {
  local start end
  start=$(date +%s%N)
  "$build/src/cli/corvane" --kind quillon --port "$work/tty" --progress json backup "$work/backup" 2>"$work/$1.json"
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}
first=$(run first)
diff -r --exclude manifest.json "$work/root" "$work/backup" >/dev/null || { echo "the backup differs from the device"; exit 1; }
# The last progress report of each file carries its whole transfer time.
transfers=$(awk '/"kind": "progress"/ { match($0, /"elapsed_ms": [0-9]+/); ms = substr($0, RSTART + 14, RLENGTH - 14)
                                         match($0, /"done": [0-9]+/); d = substr($0, RSTART + 8, RLENGTH - 8)
                                         match($0, /"total": [0-9]+/); t = substr($0, RSTART + 9, RLENGTH - 9)
                                         if (d == t) sum += ms }
                 END { print sum + 0 }' "$work/first.json")
second=$(run second)
grep -q "0 fetched" "$work/second.json" || { echo "the second backup fetched something"; exit 1; }
echo "line rate $rate, 200 entries (190 files, $bytes bytes)"
echo "first backup:  $first ms"
echo "sum of the 190 file transfer times: $transfers ms (the backup took $(( first * 100 / (transfers > 0 ? transfers : 1) ))% of it)"
echo "per file beyond its transfer: $(( (first - transfers) / 190 )) ms"
echo "second backup (nothing fetched): $second ms"

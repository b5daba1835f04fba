#!/usr/bin/env bash
# Time from starting `corvane-kit --emulator` to the root folder's entries on
# screen, next to the protocol's floor for the connect and the listing: every
# command byte waits for a 200 ms quiet line and pauses 20 ms after it, and a
# listing waits another 300 ms before reading the answer. The start sends the
# version command, the change of folder and the listing: 3 x 220 + 300 = 960 ms.
# Runs under the current display, or offscreen when there is none.
# Usage: bench/gui_start.sh [BUILD_DIR] [RUNS] [tallis|quillon]
set -euo pipefail
build=${1:-build/default}
runs=${2:-5}
kind=${3:-tallis}
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then export QT_QPA_PLATFORM=offscreen; fi
export XDG_CONFIG_HOME=$(mktemp -d)
trap 'rm -rf "$XDG_CONFIG_HOME"' EXIT
total=0
for r in $(seq "$runs"); do
  start=$(date +%s%N)
  line=$("$build/src/gui/corvane-kit" --emulator "$kind" --bench-exit 2>&1 | grep "entries on screen")
  end=$(date +%s%N)
  ms=$(( (end - start) / 1000000 ))
  total=$(( total + ms ))
  echo "run $r: $ms ms wall (${line#corvane-kit: })"
done
echo "mean: $(( total / runs )) ms from start to the root's entries on screen; protocol floor 960 ms"

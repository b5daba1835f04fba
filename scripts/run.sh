#!/usr/bin/env bash
# Builds the kit and runs the desktop program against the built-in emulated
# device. Without a display it says how to get one and runs the corvane demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target corvane-kit corvane corvane-emu
bin=build/default/src
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$bin/gui/corvane-kit" --emulator "$@"
fi
cat <<'TXT'
No graphical display here (neither DISPLAY nor WAYLAND_DISPLAY is set), so the
window cannot open. Run this script from a desktop session, or under a virtual
display with:  xvfb-run -a scripts/run.sh
Meanwhile, here is the command-line tool against an emulated Quillon:
TXT
work=$(mktemp -d)
trap 'kill "$emu" 2>/dev/null || true; wait "$emu" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/device/Documents" "$work/device/Programs"
printf 'Shopping list\n- milk\n- bread\n' > "$work/device/Documents/notes.txt"
head -c 3000 /dev/urandom > "$work/device/Programs/game.exe"
printf 'hello from the PC\n' > "$work/hello.txt"
"$bin/emulator/corvane-emu" --kind quillon --root "$work/device" --pty "$work/tty" --quiet &
emu=$!
for _ in $(seq 50); do [ -e "$work/tty" ] && break; sleep 0.1; done
run() { echo; echo "\$ corvane $*"; "$bin/cli/corvane" --kind quillon --port "$work/tty" "$@"; }
run info
run ls /
run ls /Documents
run get /Documents/notes.txt "$work/notes.txt" && cat "$work/notes.txt"
run put "$work/hello.txt" /Documents
run ls /Documents --json
run shot "$work/screen.png" && echo "(the picture is in $work/screen.png until this script ends)"

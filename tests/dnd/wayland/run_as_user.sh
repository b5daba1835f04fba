#!/usr/bin/env bash
# Runs a test program of the Wayland lanes (its arguments follow): as the
# calling user, or, called as root, as the user nobody through
# tests/support/run_unprivileged.sh, since sway refuses to run as root. The
# program starts its own compositor. Screenshots of failed cases go to
# DND_SCREENSHOT_DIR, by default wayland-screenshots/ in the current folder.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export DND_SCREENSHOT_DIR="${DND_SCREENSHOT_DIR:-$PWD/wayland-screenshots}"
mkdir -p "$DND_SCREENSHOT_DIR"
if [ "$(id -u)" = 0 ]; then
  chown nobody:nogroup "$DND_SCREENSHOT_DIR"
  exec "$here/../../support/run_unprivileged.sh" "$@"
fi
exec "$@"

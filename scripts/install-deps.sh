#!/usr/bin/env bash
# Installs the Debian packages the kit builds and tests with, when missing.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config git
      qt6-base-dev libserialport-dev libcli11-dev libudev-dev
      googletest libgtest-dev libgmock-dev libbenchmark-dev
      clang libclang-rt-14-dev llvm xvfb xauth xdotool xclip
      sway qt6-wayland wl-clipboard wtype grim libwayland-dev
      appstream desktop-file-utils groff-base bash-completion
      libfuse3-dev fuse3 rsync)
# libfuse3-dev builds `corvane mount`; fuse3 brings fusermount3, which mounts
# and unmounts it, and rsync is used by its tests.
# clang and its sanitizer runtimes (libclang-rt-14-dev) serve the fuzz and
# ThreadSanitizer builds; sway (headless), qt6-wayland, wl-clipboard, wtype,
# grim and libwayland-dev (wayland-scanner) serve the Wayland drag-and-drop
# and clipboard tests; llvm brings llvm-symbolizer, which names the
# functions in their reports (tests/tsan.supp matches by function name).
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

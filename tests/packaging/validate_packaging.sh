#!/bin/sh
# Validates the desktop entries, the AppStream file and the manual pages with
# the tools desktops and Debian use; exits 77 (skipped) when one is missing.
set -u
root=${1:?usage: validate_packaging.sh SOURCE_DIR}
for tool in appstreamcli desktop-file-validate groff; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is missing: skipped (install appstream, desktop-file-utils, groff)"; exit 77; }
done
status=0
# --no-net keeps the test off the network; the file has no URL that would need it.
appstreamcli validate --no-net "$root/packaging/invalid.corvane.kit.metainfo.xml" || status=1
for entry in "$root/packaging/corvane-kit.desktop" "$root/packaging/corvane-kit-quillon.desktop"; do
  # Hints are advice; errors and warnings fail.
  out=$(desktop-file-validate --no-hints "$entry" 2>&1) || status=1
  [ -z "$out" ] || { echo "$out"; status=1; }
done
for page in "$root"/docs/man/*.1; do
  out=$(groff -man -ww -z "$page" 2>&1)
  [ -z "$out" ] || { echo "$page: $out"; status=1; }
done
exit $status

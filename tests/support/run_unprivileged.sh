#!/usr/bin/env bash
# Runs a test program (its arguments follow) as the unprivileged user nobody,
# in a scratch folder only that user may write to. Root passes checks that
# every ordinary user meets (the exclusive use of a port, for one), so tests
# run as root alone would hide them. Run as anyone else, it has nothing to
# add to the tests that already run as that user, and is skipped (77).
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "skipped: the tests run as $(id -un) already"
  exit 77
fi
if ! command -v setpriv >/dev/null; then
  echo "setpriv (util-linux) is needed to run the tests as nobody: apt-get install util-linux" >&2
  exit 1
fi
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
# The programs under test must be reachable by nobody, or every test would
# fail for a reason that is not the kit's.
for arg in "$@"; do
  path=${arg#--*=}
  case "$arg" in -*=/*|/*) ;; *) continue ;; esac
  if ! "${as_nobody[@]}" test -x "$path"; then
    echo "nobody cannot run $path: make the build tree readable by others (chmod -R o+rX on it and its parents)" >&2
    exit 1
  fi
done
scratch=$(mktemp -d "${TMPDIR:-/tmp}/corvane-as-nobody-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
chown nobody:nogroup "$scratch"
chmod 0700 "$scratch"
cd "$scratch"
"${as_nobody[@]}" env TMPDIR="$scratch" HOME="$scratch" "$@"

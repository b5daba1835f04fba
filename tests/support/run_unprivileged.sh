#!/usr/bin/env bash
# Runs a test program (its arguments follow) as the unprivileged user nobody,
# in a scratch folder only that user may write to. Root passes checks that
# every ordinary user meets (the exclusive use of a port, for one), so tests
# run as root alone would hide them. Run as anyone else, it has nothing to
# add to the tests that already run as that user, and is skipped (77).
#
# Programs (arguments that are paths, or --option=PATH) and sanitizer
# suppression files that nobody cannot reach, in a build tree under a private
# home folder for instance, are copied into the scratch folder first.
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
scratch=$(mktemp -d "${TMPDIR:-/tmp}/corvane-as-nobody-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/from-build"
chmod 0755 "$scratch" "$scratch/from-build"

# PATH itself when nobody may read it (and run it, for a program), else a copy.
reachable() {
  local path=$1 test=$2
  if "${as_nobody[@]}" test "$test" "$path"; then
    echo "$path"
    return
  fi
  local copy
  copy="$scratch/from-build/$(basename "$path")"
  [ -e "$copy" ] && copy="$scratch/from-build/$RANDOM-$(basename "$path")"
  cp "$path" "$copy"
  chmod a+rX "$copy"
  echo "$copy"
}

args=()
for arg in "$@"; do
  case "$arg" in
    /*) [ -f "$arg" ] && arg=$(reachable "$arg" -x) ;;
    -*=/*)
      value=${arg#*=}
      [ -f "$value" ] && arg="${arg%%=*}=$(reachable "$value" -x)"
      ;;
  esac
  args+=("$arg")
done
for var in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS; do
  options=${!var:-}
  [[ "$options" == *suppressions=/* ]] || continue
  file=${options#*suppressions=}
  file=${file%%:*}
  [ -f "$file" ] && export "$var=${options/suppressions=$file/suppressions=$(reachable "$file" -r)}"
done

mkdir "$scratch/home"
chown nobody:nogroup "$scratch/home"
chmod 0700 "$scratch/home"
cd "$scratch/home"
"${as_nobody[@]}" env TMPDIR="$scratch/home" HOME="$scratch/home" "${args[@]}"

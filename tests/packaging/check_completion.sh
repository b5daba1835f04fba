#!/usr/bin/env bash
# Drives the bash completion of corvane as bash would (COMP_WORDS, COMP_CWORD)
# and checks what it offers.
set -u
script=${1:?usage: check_completion.sh COMPLETION_SCRIPT [DIR_OF_CORVANE]}
[ $# -ge 2 ] && PATH="$2:$PATH"
source "$script"
complete -p corvane >/dev/null || { echo "no completion registered for corvane"; exit 1; }

failures=0
# offers "WORDS..." EXPECTED...: completes the last word; every EXPECTED must be offered.
offers() {
  local line=$1
  shift
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _corvane
  local want
  for want in "$@"; do
    if [[ " ${COMPREPLY[*]} " != *" $want "* ]]; then
      echo "'$line': '$want' not offered (got: ${COMPREPLY[*]})"
      failures=$((failures + 1))
    fi
  done
}
# none "WORDS...": nothing may be offered.
none() {
  offers "$1"
  if ((${#COMPREPLY[@]})); then
    echo "'$1': expected nothing, got: ${COMPREPLY[*]}"
    failures=$((failures + 1))
  fi
}

# lacks "WORDS..." NAME: NAME must not be offered.
lacks() {
  local name=$2
  offers "$1"
  if [[ " ${COMPREPLY[*]} " == *" $name "* ]]; then
    echo "'$1': '$name' offered"
    failures=$((failures + 1))
  fi
}

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/lesson.txt" "$dir/tty-emu" "$dir/screen.bmp"

checks() {
  offers "corvane " ls get put backup restore upgrade shot ports info rm mv open
  offers "corvane --" --port --port-dir --wait --all --json --kind --baud --progress --tcp --verbose --help --version
  offers "corvane --kind " tallis quillon
  offers "corvane --kind q" quillon
  offers "corvane --baud " 9600 19200 115200
  offers "corvane --progress " bar lines json none
  offers "corvane --port /tmp/a --port /tmp/b --kind quillon p" put ports
  offers "corvane ls --" --json
  offers "corvane get -" -r
  offers "corvane upgrade -" --yes
  # Options and values are not taken for the command.
  offers "corvane --kind tallis --port /dev/null l" ls
  # Local files for put; a pseudo-terminal's link for --port.
  offers "corvane put $dir/les" "$dir/lesson.txt"
  offers "corvane --port $dir/tty" "$dir/tty-emu"
  # A folder for --port-dir, which is not taken for the command.
  mkdir -p "$dir/ports"
  offers "corvane --port-dir $dir/po" "$dir/ports"
  offers "corvane --port-dir $dir/ports --wait=30 l" ls
  # Device paths cannot be completed without asking the device.
  none "corvane rm x"
  none "corvane --tcp "
}

checks
# Again within bash-completion's framework, as an interactive shell has it.
framework=/usr/share/bash-completion/bash_completion
if [ -r "$framework" ]; then
  set +u
  source "$framework"
  source "$script"
  checks
  # The framework's file completion keeps to pictures for shot.
  offers "corvane shot $dir/" "$dir/screen.bmp"
  lacks "corvane shot $dir/" "$dir/lesson.txt"
else
  echo "bash-completion is not installed: checked without its framework only"
fi
((failures == 0)) && echo "bash completion: all offered"
exit $((failures > 0))

#!/usr/bin/env bash
# Soak run, by hand (not part of the test command): many transfers through the
# corvane tool against corvane-emu on pseudo-terminals, get and put, both device
# kinds, 128- and 1024-byte blocks, each with a random misbehaviour of the
# emulated device and some cancelled with Ctrl-C (SIGINT) at a random moment.
#
# Each outcome is one of:
#   identical       exit 0 and the destination holds exactly the source
#   cleanly failed  non-zero exit, the destination holds nothing or the old
#                   file, and nothing else is left beside it
#   wrong           exit 0 with other bytes, a partial or stray file left, a
#                   run that hangs, or an exit status the tool does not use
# A failed run whose file arrived whole all the same (a Ctrl-C that came after
# the last block, or a last handshake that broke after the file was stored)
# counts as cleanly failed and is listed apart.
#
#   bench/soak.sh [--count N] [--seed S] [--jobs J] [--build DIR] [--keep]
#
# The same seed gives the same cases (kinds, sizes, faults, cancel times); the
# outcome of a cancel still depends on timing. Exits 1 when any run was wrong.
set -uo pipefail
cd "$(dirname "$0")/.."

count=300
seed=1
jobs=3
build=build/default
keep=0
while (($#)); do
  case "$1" in
    --count) count=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,/^set /p' "$0" | sed '$d'; exit 0 ;;
    *) echo "soak.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done

tool=$PWD/$build/src/cli/corvane
emu=$PWD/$build/src/emulator/corvane-emu
for p in "$tool" "$emu"; do
  [ -x "$p" ] || { echo "soak.sh: $p is missing; build it: cmake --build --preset default --target corvane corvane-emu" >&2; exit 2; }
done
# The device's lost-ACK fault, where this emulator has it.
lose_ack=0
"$emu" --help | grep -q -- '--lose-ack' && lose_ack=1

work=$(mktemp -d /tmp/corvane-soak.XXXXXX)
cleanup() {
  # Emulators of cases still running (an interrupted soak) are ours to end.
  local pids
  pids=$(cat "$work"/*/emu.pid 2>/dev/null) || true
  for p in $pids; do kill "$p" 2>/dev/null; done
  ((keep)) && echo "cases kept in $work" || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

RANDOM=$seed

# One random misbehaviour for a file of `$1` blocks: emulator options, in $fault.
# (No command substitution: a subshell would draw from a reseeded RANDOM.)
pick_fault() {
  local blocks=$1
  local k=$((RANDOM % (blocks + 1) + 1))
  local -a faults=(none none --corrupt-block --repeat-block --silent-at-block --cancel-at-block --drop-ack
                   --nak-blocks --bad-checksum --nak-packets --silent)
  ((lose_ack)) && faults+=(--lose-ack --lose-ack)
  local f=${faults[RANDOM % ${#faults[@]}]}
  case "$f" in
    none) fault="" ;;
    --nak-blocks) fault="$f $((RANDOM % 12 + 1))" ;;
    --bad-checksum|--nak-packets) fault="$f $((RANDOM % 5 + 1))" ;;
    --silent) fault="$f $((RANDOM % 2 + 1))" ;;
    *) fault="$f $k" ;;
  esac
}

# A Tallis variable as the emulated device keeps it: "CVOBJ", the body length
# (4 bytes, least significant first), the body.
tallis_object() {
  local body=$1 out=$2 n
  n=$(stat -c %s "$body")
  { printf 'CVOBJ'
    printf "\\x$(printf %02x $((n & 255)))\\x$(printf %02x $((n >> 8 & 255)))"
    printf "\\x$(printf %02x $((n >> 16 & 255)))\\x$(printf %02x $((n >> 24 & 255)))"
    cat "$body"; } > "$out"
}

# Waits (up to 5 s) for a line in a log.
wait_for() {
  local file=$1 text=$2 i
  for ((i = 0; i < 100; i++)); do
    grep -q -- "$text" "$file" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# run_case INDEX KIND DIRECTION SIZE BLOCKS OLD FAULT CANCEL_MS PACED
# Prints one line: index, outcome, exit status, seconds, the case, a reason.
run_case() {
  local i=$1 kind=$2 dir=$3 size=$4 blocks=$5 old=$6 fault=$7 cancel=$8 paced=$9
  local d=$work/$i
  mkdir -p "$d/root" "$d/local"
  local name=soak$i
  local start=$SECONDS

  # The source, and the old file at the destination when the case has one.
  head -c "$size" /dev/urandom > "$d/body"
  head -c $((size / 2 + 1)) /dev/urandom > "$d/oldbody"
  local src=$d/src oldfile=$d/old
  if [ "$kind" = tallis ]; then
    tallis_object "$d/body" "$src"
    tallis_object "$d/oldbody" "$oldfile"
  else
    cp "$d/body" "$src"
    cp "$d/oldbody" "$oldfile"
  fi
  local dest
  if [ "$dir" = get ]; then
    cp "$src" "$d/root/$name"
    dest=$d/local/$name
  else
    cp "$src" "$d/local/$name"
    dest=$d/root/$name
  fi
  ((old)) && cp "$oldfile" "$dest"

  local -a emu_args=(--kind "$kind" --root "$d/root" --pty "$d/port" --block-size "$blocks")
  local -a start_bytes=(nak crc kermit)
  [ "$dir" = put ] && emu_args+=(--start-byte "${start_bytes[size % 3]}")
  ((paced)) && emu_args+=(--line-rate 115200)
  # shellcheck disable=SC2206
  [ -n "$fault" ] && emu_args+=($fault)
  "$emu" "${emu_args[@]}" > "$d/emu.log" 2>&1 &
  local emu_pid=$!
  echo "$emu_pid" > "$d/emu.pid"
  if ! wait_for "$d/emu.log" "Serial port:"; then
    kill "$emu_pid" 2>/dev/null; wait "$emu_pid" 2>/dev/null
    echo "$i wrong - 0 $kind $dir the emulator did not start: $(tail -n 1 "$d/emu.log")"
    return
  fi

  local -a cmd=("$tool" --port "$d/port" --kind "$kind" --progress none)
  if [ "$dir" = get ]; then cmd+=(get "/$name" "$dest"); else cmd+=(put "$d/local/$name" /); fi
  # At most two minutes a run: the slowest failure (a silent device through
  # every retry) takes well under one.
  timeout -s KILL 120 "${cmd[@]}" > "$d/tool.out" 2> "$d/tool.err" &
  local tool_pid=$!
  if ((cancel > 0)); then
    sleep "$(printf '%d.%03d' $((cancel / 1000)) $((cancel % 1000)))"
    # timeout(1) runs the tool as its child: Ctrl-C goes to the tool itself.
    pkill -INT -P "$tool_pid" 2>/dev/null
  fi
  wait "$tool_pid"
  local rc=$?
  # A put the tool saw through is stored by the device as it acknowledges
  # the end; give it a moment before the emulator goes.
  [ "$dir" = put ] && ((rc == 0)) && wait_for "$d/emu.log" "Stored $name"
  kill "$emu_pid" 2>/dev/null
  wait "$emu_pid" 2>/dev/null
  rm -f "$d/emu.pid"
  local secs=$((SECONDS - start))

  # Anything beside the file in either folder is a leftover (a partial file).
  local stray
  stray=$(find "$d/root" "$d/local" -mindepth 1 -maxdepth 1 ! -name "$name" -printf '%f ' 2>/dev/null)

  local outcome reason=""
  local desc="$kind $dir size=$size blocks=$blocks old=$old paced=$paced cancel=${cancel}ms fault=[${fault:-none}]"
  if ((rc == 137)); then
    outcome=wrong reason="hung: killed after 120 s"
  elif [ -n "$stray" ]; then
    outcome=wrong reason="left beside the file: $stray"
  elif ((rc == 0)); then
    if [ -f "$dest" ] && cmp -s "$src" "$dest"; then outcome=identical
    else outcome=wrong reason="exit 0 but the destination differs"; fi
  elif ((rc != 1 && rc != 3 && rc != 130)); then
    outcome=wrong reason="exit status $rc: $(head -c 200 "$d/tool.err" | tr '\n' ' ')"
  elif [ ! -e "$dest" ]; then
    ((old)) && { outcome=wrong; reason="the old file is gone"; } || outcome=failed
  elif ((old)) && cmp -s "$oldfile" "$dest"; then
    outcome=failed
  elif cmp -s "$src" "$dest"; then
    outcome=failed-whole reason="exit $rc but the file arrived whole"
  else
    outcome=wrong reason="exit $rc and a partial or corrupt file"
  fi
  echo "$i $outcome $rc $secs $desc $reason"
  if [ "$outcome" != wrong ] && ((!keep)); then rm -rf "$d"; fi
}

# The cases, drawn up front so that a seed always gives the same ones.
declare -a cases=()
for ((i = 1; i <= count; i++)); do
  kind=tallis dir=put blocks=128
  ((RANDOM % 2)) && kind=quillon
  ((RANDOM % 2)) && dir=get
  ((RANDOM % 2)) && blocks=1024
  # Sizes around block multiples and up to 40 blocks of 1024.
  case $((RANDOM % 4)) in
    0) size=$((RANDOM % 300)) ;;
    1) size=$(((RANDOM % 40 + 1) * blocks)) ;;
    2) size=$(((RANDOM % 40 + 1) * blocks + RANDOM % 3 - 1)) ;;
    *) size=$((RANDOM % 40960)) ;;
  esac
  ((size < 0)) && size=0
  nblocks=$((size / blocks + 1))
  pick_fault "$nblocks"
  old=$((RANDOM % 2))
  cancel=0
  ((RANDOM % 6 == 0)) && cancel=$((RANDOM % 2500 + 100))
  paced=0
  ((RANDOM % 25 == 0)) && paced=1
  cases+=("$i $kind $dir $size $blocks $old|$fault|$cancel $paced")
done

echo "soak: $count transfers, seed $seed, $jobs at a time, lost-ACK fault: $( ((lose_ack)) && echo yes || echo no)"
results=$work/results
: > "$results"
began=$SECONDS
running=0
for c in "${cases[@]}"; do
  IFS='|' read -r head fault tail <<< "$c"
  read -r i kind dir size blocks old <<< "$head"
  read -r cancel paced <<< "$tail"
  run_case "$i" "$kind" "$dir" "$size" "$blocks" "$old" "$fault" "$cancel" "$paced" >> "$results" &
  running=$((running + 1))
  if ((running >= jobs)); then
    wait -n
    running=$((running - 1))
  fi
  done_now=$(wc -l < "$results")
  ((done_now % 50 == 0 && done_now > 0)) && printf '  %d done (%d s)\n' "$done_now" $((SECONDS - began))
done
wait

sort -n "$results" > "$work/sorted"
identical=$(awk '$2 == "identical"' "$work/sorted" | wc -l)
failed=$(awk '$2 == "failed" || $2 == "failed-whole"' "$work/sorted" | wc -l)
whole=$(awk '$2 == "failed-whole"' "$work/sorted" | wc -l)
wrong=$(awk '$2 == "wrong"' "$work/sorted" | wc -l)
cancelled=$(awk '$3 == 130' "$work/sorted" | wc -l)
total=$(wc -l < "$work/sorted")

awk '$2 == "wrong" || $2 == "failed-whole"' "$work/sorted" | sed 's/^/  /'
echo "transfers:      $total in $((SECONDS - began)) s"
echo "identical:      $identical"
echo "cleanly failed: $failed (cancelled with Ctrl-C: $cancelled; file arrived whole all the same: $whole)"
echo "wrong:          $wrong"
if ((wrong > 0)); then keep=1; exit 1; fi
exit 0

#!/usr/bin/env bash
# Through `corvane mount` against the emulated Quillon on a pseudo-terminal
# paced at 115200 baud, next to the tool's own commands on the same line:
#   - cp of a 120 KB file out of the mount against `corvane get` of it (each
#     cp waits out the listing's lifetime first, so that it lists and fetches
#     as get does, and is not served from the cache);
#   - cp of a 120 KB file into the mount against `corvane put`;
#   - ls -l of a 200-entry folder against `corvane ls`, and a second ls -l
#     within the listing's lifetime;
#   - a signal on a cp that waits for the fetch of a large file, as Ctrl-C
#     does: how long until it has ended, and whether the next cp works (the
#     signal is SIGTERM: a script's background commands ignore SIGINT).
# Run by hand (as root, or as a user who may use /dev/fuse).
# Usage: bench/mount_throughput.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=$(realpath "${1:-build/default}")
runs=${2:-3}
tool="$build/src/cli/corvane"
work=$(mktemp -d)
emu=""
mounter=""
cleanup() {
  [ -n "$mounter" ] && kill "$mounter" 2>/dev/null && wait "$mounter" 2>/dev/null || true
  [ -n "$emu" ] && kill "$emu" 2>/dev/null && wait "$emu" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root/Big" "$work/mnt" "$work/out"
head -c 122880 /dev/urandom > "$work/root/file.bin"
head -c 122880 /dev/urandom > "$work/in.bin"
for i in $(seq -w 1 200); do printf 'entry %s\n' "$i" > "$work/root/Big/file$i.txt"; done
"$build/src/emulator/corvane-emu" --kind quillon --root "$work/root" --pty "$work/tty" --line-rate 115200 \
  >/dev/null 2>&1 &
emu=$!
for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.05; done
link=(--kind quillon --port "$work/tty")

ms() { echo $(( ($2 - $1) / 1000000 )); }
now() { date +%s%N; }

get_total=0; put_total=0; ls_total=0
for r in $(seq "$runs"); do
  a=$(now); "$tool" "${link[@]}" --progress none get /file.bin "$work/out/got.bin" 2>/dev/null; b=$(now)
  get_total=$(( get_total + $(ms "$a" "$b") ))
  a=$(now); "$tool" "${link[@]}" --progress none put "$work/in.bin" / 2>/dev/null; b=$(now)
  put_total=$(( put_total + $(ms "$a" "$b") ))
  a=$(now); "$tool" "${link[@]}" ls /Big >/dev/null; b=$(now)
  ls_total=$(( ls_total + $(ms "$a" "$b") ))
done

"$tool" "${link[@]}" mount "$work/mnt" >"$work/mount.out" 2>"$work/mount.err" &
mounter=$!
for _ in $(seq 200); do grep -q "^Mounted" "$work/mount.out" 2>/dev/null && break; sleep 0.05; done
cp_total=0; cpin_total=0; lsl_total=0; again_total=0
for r in $(seq "$runs"); do
  sleep 3.2  # the listing's lifetime: the next cp lists and fetches anew
  a=$(now); cp "$work/mnt/file.bin" "$work/out/cp.bin"; b=$(now)
  cmp -s "$work/out/cp.bin" "$work/root/file.bin" || { echo "cp out: the bytes differ"; exit 1; }
  cp_total=$(( cp_total + $(ms "$a" "$b") ))
  a=$(now); cp "$work/in.bin" "$work/mnt/in$r.bin"; b=$(now)
  cmp -s "$work/in.bin" "$work/root/in$r.bin" || { echo "cp in: the bytes differ"; exit 1; }
  cpin_total=$(( cpin_total + $(ms "$a" "$b") ))
  sleep 3.2
  a=$(now); ls -l "$work/mnt/Big" >/dev/null; b=$(now)
  lsl_total=$(( lsl_total + $(ms "$a" "$b") ))
  a=$(now); ls -l "$work/mnt/Big" >/dev/null; b=$(now)
  again_total=$(( again_total + $(( (b - a) / 1000 )) ))
done
head -c 600000 /dev/urandom > "$work/root/large.bin"
sleep 3.2
cp "$work/mnt/large.bin" "$work/out/large.bin" &
copier=$!
sleep 2  # well into the fetch (600 KB take about a minute)
a=$(now); kill -TERM "$copier"; wait "$copier" 2>/dev/null || true; b=$(now)
interrupt_ms=$(ms "$a" "$b")
cp "$work/mnt/file.bin" "$work/out/after.bin" && cmp -s "$work/out/after.bin" "$work/root/file.bin" \
  && after="the next cp works" || after="the next cp FAILED"
echo "120 KB out:  corvane get $(( get_total / runs )) ms, cp out of the mount $(( cp_total / runs )) ms"
echo "120 KB in:   corvane put $(( put_total / runs )) ms, cp into the mount $(( cpin_total / runs )) ms"
echo "200 entries: corvane ls $(( ls_total / runs )) ms, ls -l of the mount $(( lsl_total / runs )) ms, again within the listing's lifetime $(( again_total / runs )) us"
echo "A signal on a cp waiting for a fetch: ended after $interrupt_ms ms; $after"

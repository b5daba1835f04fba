#!/usr/bin/env bash
# Builds the kit and runs every test: the normal build, the same suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, the suite without the GUI under
# ThreadSanitizer, and each fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
# Most tests of the normal build wait on the emulator's paced lines and the
# link's deadlines rather than use the processor, so three run per core; the
# sanitizer builds use more of it and run one per core.
test_jobs=${CORVANE_TEST_JOBS:-$((jobs * 3))}
fuzz_seconds=${CORVANE_FUZZ_SECONDS:-12}

echo "== build and test (RelWithDebInfo)"
# Run as root, each ctest below also runs the tool's process tests of
# connecting, get, put and the signals as the user nobody
# (cli_process_tests_as_nobody), since root passes checks ordinary users meet.
cmake --preset default
cmake --build --preset default -j"$jobs"
# The drag-and-drop and clipboard tests run under a private headless sway as
# well (the *_wayland tests, this build only, about 110 s of waiting on
# paced lines and the compositor, little CPU); here a compositor that cannot
# start fails them instead of skipping them.
CORVANE_REQUIRE_WAYLAND=1 ctest --preset default -j"$test_jobs"

echo "== build and test under the sanitizers"
cmake --preset asan
cmake --build --preset asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
  ctest --preset asan -j"$jobs"

echo "== build and test under ThreadSanitizer (no GUI)"
cmake --preset tsan
cmake --build --preset tsan -j"$jobs"
# halt_on_error: the first report ends the process with a failure, so a race in
# a child process (the corvane and corvane-emu runs of the CLI tests) fails its
# test too.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp" \
  ctest --preset tsan -j"$jobs"

echo "== fuzz targets, ${fuzz_seconds}s each"
cmake --preset fuzz
cmake --build --preset fuzz -j"$jobs"
shopt -s nullglob
found=0
for target in build/fuzz/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  found=1
  name=$(basename "$target")
  corpus=$(mktemp -d)
  # Committed seeds (small text files), read but never written.
  seeds=()
  [ -d "tests/fuzz/corpus/$name" ] && seeds=("tests/fuzz/corpus/$name")
  echo "-- $name"
  "$target" -max_total_time="$fuzz_seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 "$corpus" "${seeds[@]}" 2>&1 | tail -n 3
  rm -rf "$corpus"
done
[ "$found" = 1 ] || { echo "no fuzz targets were built"; exit 1; }
# The mount's tests skip without /dev/fuse or fusermount3 (and fail with CI set): said last.
if [ ! -r /dev/fuse ] || [ ! -w /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  echo "note: the tests of corvane mount were skipped: /dev/fuse cannot be opened here or fusermount3 is missing"
fi
echo "all tests passed"

#!/bin/sh
# The upgrade's figures: compressor speed (fast and exhaustive search on 4 MiB
# of programs and 4 MiB of text, output compared) and the wall time of a 1 MiB
# upgrade at a paced 115200 baud, plain and compressed.
#   bench/upgrade_figures.sh [BUILD_DIR]
set -e
build=${1:-build}
cmake --build "$build" --target bench_compress bench_upgrade
"$build/bench/bench_compress" all 4
"$build/bench/bench_upgrade" 1024 115200

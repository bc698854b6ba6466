#!/usr/bin/env bash
# Times the start-up (all input files read, summary, header and logs) on a
# generated genotype file of ROWS x SUBJECTS, in direct mode and in test mode,
# and prints the genotype-file reading speed in MB/s.
#   usage: bench/time_startup.sh [BUILD_DIR [ROWS [SUBJECTS]]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rows=${2:-20000}
subjects=${3:-2000}
data=bench/out/startup_${rows}x${subjects}
[ -f "$data/geno.txt" ] || python3 bench/gen_genotypes.py "$data" "$rows" "$subjects"
bin=$(cd "$build" && pwd)/ventarquillo
size=$(stat -c %s "$data/geno.txt")
cat "$data/geno.txt" > /dev/null  # warm the page cache

run() {
  local label=$1
  shift
  local t0 t1
  t0=$(date +%s.%N)
  (cd "$data" && "$bin" "$@" > "run_$label.log")
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" -v s="$size" -v l="$label" \
    'BEGIN { t = b - a; printf "%-7s %7.3f s   genotype file %.1f MB   %.0f MB/s\n", l, t, s / 1e6, s / 1e6 / t }'
}
run direct -ofile out_direct.txt -msglog direct
run test -test T5 -ofile out_test.txt -msglog test

#!/usr/bin/env bash
# Times the start-up (all input files read, summary, header and logs) on a
# generated genotype file of ROWS x SUBJECTS, in direct mode and in test mode
# (T5), and prints the genotype-file reading speed in MB/s.  Every variant is
# below the call-rate bound (-CR 1.01), so no row or gene is analysed: direct
# mode still reads the genotype file a third time in its loop, test mode
# skips every gene without reading it again.
#   usage: bench/time_startup.sh [BUILD_DIR [ROWS [SUBJECTS]]]   (defaults build 20000 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rows=${2:-20000}
subjects=${3:-2000}
source bench/common.sh
size=$(stat -c %s "$data/geno.txt")

run() {
  timed_run "$@"
  awk -v t="$seconds" -v s="$size" -v l="$1" \
    'BEGIN { printf "%-7s %7.3f s   genotype file %.1f MB   %.0f MB/s\n", l, t, s / 1e6, s / 1e6 / t }'
}
run direct -CR 1.01 -ofile out_direct.txt -msglog direct
run test -test T5 -CR 1.01 -ofile out_test.txt -msglog test

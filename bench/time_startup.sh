#!/usr/bin/env bash
# Times the start-up (all input files read, summary, header and logs) on a
# generated genotype file of ROWS x SUBJECTS, in direct mode and in test mode
# (T5), and prints the genotype-file reading speed in MB/s.  Nothing is
# analysed: in direct mode every row falls below a minor-allele lower bound
# no row can reach (-MAC 1000000) and gets an NA row without a fit, though
# the loop still reads the genotype file a third time; in test mode the
# frequency bound 0 (-MAF 0) passes over every gene without reading it again.
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
run direct -MAC 1000000 -ofile out_direct.txt -msglog direct
run test -test T5 -MAF 0 -ofile out_test.txt -msglog test

#!/usr/bin/env bash
# Times whole T5 runs through the gene loop on a generated data set of
# ROWS variants (ten per gene, so ROWS / 10 genes) x SUBJECTS sequenced
# subjects: least squares, then MLE (with 5 x SUBJECTS non-sequenced values).
# The start-up alone (T5 with an upper frequency bound of 0, so that every
# gene is passed over) is timed too, so that the loop's share can be read off.
# SKIP_MLE=1 leaves the MLE run out.  The defaults (200 genes) take a few
# minutes of processor time; the genes run on OMP_NUM_THREADS threads.
#   usage: bench/time_gene_loop.sh [BUILD_DIR [ROWS [SUBJECTS]]]   (defaults build 2000 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rows=${2:-2000}
subjects=${3:-2000}
source bench/common.sh

run() {
  timed_run "$@"
  awk -v l="$1" -v t="$seconds" -v r="$(result_rows "$1")" 'BEGIN { printf "%-10s %8.3f s   %d result rows\n", l, t, r }'
}
run startup -method LS -test T5 -MAF 0 -ofile out_startup.txt -msglog startup
run T5_LS -method LS -test T5 -ofile out_T5_LS.txt -msglog T5_LS
[ "${SKIP_MLE:-0}" = 1 ] || run T5_MLE -test T5 -ofile out_T5_MLE.txt -msglog T5_MLE

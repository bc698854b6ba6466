#!/usr/bin/env bash
# Times whole VT, VC and customized runs, least squares and MLE, on the
# generated data set of bench/gen_genotypes.py: ROWS variants (ten per gene,
# so ROWS / 10 genes) x SUBJECTS sequenced subjects, 5 x SUBJECTS
# non-sequenced values.  The customized test gets two weight vectors per
# gene (1, and 2 below frequency 0.01 else 0.5).
# SKIP_MLE=1 leaves the MLE runs out; the genes run on OMP_NUM_THREADS threads.
#   usage: bench/time_multi_score.sh [BUILD_DIR [ROWS [SUBJECTS]]]   (defaults build 20000 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rows=${2:-20000}
subjects=${3:-2000}
source bench/common.sh
[ -f "$data/wfile.txt" ] || awk 'BEGIN { OFS = "\t" } { print $1, $2, 1, ($3 < 0.01 ? 2 : 0.5) }' \
  "$data/mapping.txt" > "$data/wfile.txt"

run() {
  local label=$1
  shift
  timed_run "$label" "$@" -ofile "out_$label.txt" -msglog "$label"
  awk -v l="$label" -v t="$seconds" -v r="$(result_rows "$label")" \
    'BEGIN { printf "%-16s %9.3f s   %d result rows\n", l, t, r }'
}
for test in VT VC customized; do
  run "${test}_LS" -method LS -test "$test" -wfile wfile.txt
  [ "${SKIP_MLE:-0}" = 1 ] || run "${test}_MLE" -test "$test" -wfile wfile.txt
done

#!/usr/bin/env bash
# Times whole VT, VC and customized runs, least squares and MLE, on the
# generated data set of bench/gen_genotypes.py: ROWS variants (ten per gene,
# so ROWS / 10 genes) x SUBJECTS sequenced subjects, 5 x SUBJECTS
# non-sequenced values.  The customized test gets two weight vectors per
# gene (1, and 2 below frequency 0.01 else 0.5).
# Then wide genes under least squares: the first WIDE_GENES x 20 variants
# (default 100 genes; 0 leaves them out) in genes of 20, for VT with every
# variant flagged as a threshold in a four-column mapping file, and for the
# customized test with 19 weight vectors per variant (odd ones 0 or 1 at
# random, even ones uniform on [0, 1]); -MAF 0.5 keeps every variant.
# SKIP_MLE=1 leaves the MLE runs out; the genes run on OMP_NUM_THREADS threads.
#   usage: bench/time_multi_score.sh [BUILD_DIR [ROWS [SUBJECTS]]]   (defaults build 20000 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rows=${2:-20000}
subjects=${3:-2000}
wide=${WIDE_GENES:-100}
source bench/common.sh
[ -f "$data/wfile.txt" ] || awk 'BEGIN { OFS = "\t" } { print $1, $2, 1, ($3 < 0.01 ? 2 : 0.5) }' \
  "$data/mapping.txt" > "$data/wfile.txt"
if [ "$wide" -gt 0 ]; then
  awk -v n=$((20 * wide)) 'BEGIN { OFS = "\t" } NR <= n { print sprintf("wide%05d", int((NR - 1) / 20)), $2, $3, 1 }' \
    "$data/mapping.txt" > "$data/mapping_wide4.txt"
  cut -f 1-3 "$data/mapping_wide4.txt" > "$data/mapping_wide3.txt"
  awk 'BEGIN { OFS = "\t"; srand(11) } {
         line = $1 OFS $2
         for (j = 1; j <= 19; j++) line = line OFS (j % 2 ? (rand() < 0.5 ? 1 : 0) : sprintf("%.4f", rand()))
         print line }' "$data/mapping_wide3.txt" > "$data/wfile_wide.txt"
fi

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
if [ "$wide" -gt 0 ]; then
  run VT20_LS -method LS -test VT -mfile mapping_wide4.txt -MAF 0.5
  run customized19_LS -method LS -test customized -mfile mapping_wide3.txt -wfile wfile_wide.txt -MAF 0.5
fi

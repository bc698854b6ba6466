#!/usr/bin/env bash
# Times whole VT, VC and customized runs, least squares and MLE, on the
# generated data set of bench/gen_genotypes.py: ROWS variants (ten per gene,
# so ROWS / 10 genes) x SUBJECTS sequenced subjects, 5 x SUBJECTS
# non-sequenced values.  The customized test gets two weight vectors per
# gene (1, and 2 below frequency 0.01 else 0.5).
#   usage: bench/time_multi_score.sh [BUILD_DIR [ROWS [SUBJECTS]]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rows=${2:-20000}
subjects=${3:-2000}
data=bench/out/startup_${rows}x${subjects}
[ -f "$data/geno.txt" ] || python3 bench/gen_genotypes.py "$data" "$rows" "$subjects"
[ -f "$data/wfile.txt" ] || awk 'BEGIN { OFS = "\t" } { print $1, $2, 1, ($3 < 0.01 ? 2 : 0.5) }' \
  "$data/mapping.txt" > "$data/wfile.txt"
bin=$(cd "$build" && pwd)/ventarquillo
cat "$data/geno.txt" > /dev/null  # warm the page cache

run() {
  local label=$1
  shift
  local t0 t1
  t0=$(date +%s.%N)
  (cd "$data" && "$bin" "$@" -ofile "out_$label.txt" -msglog "$label" > "run_$label.log")
  t1=$(date +%s.%N)
  local rows_out
  rows_out=$(($(wc -l < "$data/out_$label.txt") - 2))
  awk -v a="$t0" -v b="$t1" -v l="$label" -v r="$rows_out" \
    'BEGIN { printf "%-16s %9.3f s   %d result rows\n", l, b - a, r }'
}
for test in VT VC customized; do
  run "${test}_LS" -method LS -test "$test" -wfile wfile.txt
  [ "${SKIP_MLE:-0}" = 1 ] || run "${test}_MLE" -test "$test" -wfile wfile.txt
done

#!/usr/bin/env bash
# Times MLE runs on one thread and on THREADS threads (OMP_NUM_THREADS) and
# checks that both give the same bytes (console text with its clock lines
# masked, result table, trait logs):
#   - the example's direct MLE run (examples/, 293 rows, n1 = 400);
#   - T5, VT and VC of the primary trait by MLE on the first GENES genes of
#     the generated data set of bench/gen_genotypes.py (ROWS variants, ten per
#     gene, x SUBJECTS sequenced subjects, 5 x SUBJECTS non-sequenced values).
# For the generated data a run of the first gene alone on one thread gives,
# with the one-thread run of all GENES genes, the time of one gene and the
# part of a run that does not grow with the genes (start-up, the one null fit
# of VT and VC); "per gene" is the speed-up of the rest.
#   usage: bench/time_threads.sh [BUILD_DIR [THREADS [GENES [ROWS [SUBJECTS]]]]]
# SKIP_EXAMPLE=1 or ONLY="T5 VC" narrow the runs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
threads=${2:-8}
genes=${3:-32}
rows=${4:-20000}
subjects=${5:-2000}
source bench/common.sh
work=bench/out/threads_${genes}_of_${rows}x${subjects}
mkdir -p "$work"
first=$(awk -v n="$genes" '!seen[$1]++ { print $1; if (++c == n) exit }' "$data/mapping.txt")
awk 'NR == FNR { keep[$1]; next } $1 in keep' <(printf '%s\n' "$first") "$data/mapping.txt" > "$work/mapping.txt"
awk 'NR == 1 { g = $1 } $1 == g' "$work/mapping.txt" > "$work/mapping_first.txt"

clock='[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9][0-9][0-9][0-9]'

# run DIR LABEL NTHREADS ARGS...: prints the seconds taken.
run() {
  local dir=$1 label=$2 n=$3
  shift 3
  mkdir -p "$dir/$label.t$n"
  local t0 t1
  t0=$(date +%s.%N)
  (cd "$dir/$label.t$n" && OMP_NUM_THREADS=$n "$bin" "$@" > console.txt)
  t1=$(date +%s.%N)
  sed -E -i "s/$clock/<TIME>/" "$dir/$label.t$n/console.txt"
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }'
}

# compare DIR LABEL FIRST ARGS...: FIRST is the seconds of a one-thread run
# of the first gene alone (0 when not measured).
compare() {
  local dir=$1 label=$2 fixed=$3
  shift 3
  local one many same=identical
  one=$(run "$dir" "$label" 1 "$@")
  many=$(run "$dir" "$label" "$threads" "$@")
  diff -r "$dir/$label.t1" "$dir/$label.t$threads" > /dev/null || same=DIFFERENT
  awk -v l="$label" -v a="$one" -v b="$many" -v n="$threads" -v s="$same" -v f1="$fixed" -v g="$genes" \
    'BEGIN { printf "%-14s 1 thread %8.2f s   %d threads %8.2f s   x%.2f", l, a, n, b, a / b
             if (f1 > 0) {
               per = (a - f1) / (g - 1); f = f1 - per
               printf "   (fixed %.2f s, %.3f s per gene; per gene x%.2f)", f, per, (a - f) / (b - f)
             }
             printf "   outputs %s\n", s }'
}

if [ "${SKIP_EXAMPLE:-0}" != 1 ]; then
  ex=$(pwd)/examples
  compare bench/out/threads_example direct_MLE 0 -pfile_seq "$ex/pheno_seq_primary.txt" \
    -pfile_nonseq "$ex/pheno_nonseq.txt" -gfile "$ex/geno.txt" -ofile out.txt -msglog direct
fi
d=$(pwd)/$data
for test in ${ONLY:-T5 VT VC}; do
  args=(-pfile_seq "$d/pheno_seq.txt" -pfile_nonseq "$d/pheno_nonseq.txt" -gfile "$d/geno.txt" -test "$test"
    -ofile out.txt -msglog "$test")
  fixed=$(run "$work" "${test}_first" 1 "${args[@]}" -mfile "$(pwd)/$work/mapping_first.txt")
  compare "$work" "${test}_MLE" "$fixed" "${args[@]}" -mfile "$(pwd)/$work/mapping.txt"
done

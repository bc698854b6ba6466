#!/usr/bin/env bash
# How MLE analyses grow with the number of sequenced subjects: for each n1 in
# SIZES, the data set of bench/gen_genotypes.py (ten variants per gene, five
# non-sequenced values per sequenced subject, rounded to at most 500
# distinct values) is analysed by T5 of the primary trait, MLE:
#   - the first gene alone and the first GENES genes on one thread: the
#     fixed part (start-up, the null fit and its information) and the time
#     per gene, (GENES-gene run - 1-gene run) / (GENES - 1);
#   - the GENES genes on THREADS threads: the time per gene against one
#     thread, the peak memory of the process and the identity of the outputs;
#   - the same with a secondary trait (T5, -nsec 1: the EM of the primary
#     trait on the burden and the covariates for every gene).
#   usage: bench/time_mle_scale.sh [BUILD_DIR [THREADS [GENES [SIZES]]]]
#   (defaults: build, 8, 32, "2000 4000 8000"; about ten minutes in all)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
threads=${2:-8}
genes=${3:-32}
sizes=${4:-2000 4000 8000}
bin=$(cd "$build" && pwd)/ventarquillo
clock='[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9][0-9][0-9][0-9]'

# run DIR NTHREADS ARGS...: prints "seconds peak-kilobytes".
run() {
  local dir=$1 n=$2
  shift 2
  mkdir -p "$dir"
  (cd "$dir" && OMP_NUM_THREADS=$n /usr/bin/time -f '%e %M' -o time.txt "$bin" "$@" > console.txt)
  sed -E -i "s/$clock/<TIME>/" "$dir/console.txt"
  cat "$dir/time.txt"
}

for n1 in $sizes; do
  data=bench/out/scale_$((genes * 10))x$n1
  [ -f "$data/geno.txt" ] || python3 bench/gen_genotypes.py "$data" $((genes * 10)) "$n1"
  d=$(pwd)/$data
  # A secondary trait: the primary trait plus noise, with the covariates.
  [ -f "$data/pheno_seq_sec.txt" ] || awk 'BEGIN { srand(11); OFS = "\t" } NR == 1 { print $1, "s", $2, $3; next }
    { print $1, sprintf("%.4f", 0.5 * $1 + rand() - 0.5), $2, $3 }' "$data/pheno_seq.txt" > "$data/pheno_seq_sec.txt"
  awk 'NR == 1 { g = $1 } $1 == g' "$data/mapping.txt" > "$data/mapping_first.txt"
  for trait in primary secondary; do
    if [ "$trait" = primary ]; then pheno=$d/pheno_seq.txt; extra=(); else pheno=$d/pheno_seq_sec.txt; extra=(-nsec 1); fi
    args=(-pfile_seq "$pheno" -pfile_nonseq "$d/pheno_nonseq.txt" -gfile "$d/geno.txt" -test T5 -ofile out.txt
      -msglog T5 "${extra[@]}")
    w=$data/$trait
    read -r first _ <<< "$(run "$w/first" 1 "${args[@]}" -mfile "$d/mapping_first.txt")"
    read -r one mem1 <<< "$(run "$w/t1" 1 "${args[@]}" -mfile "$d/mapping.txt")"
    read -r many memn <<< "$(run "$w/t$threads" "$threads" "${args[@]}" -mfile "$d/mapping.txt")"
    same=identical
    diff -r -x time.txt "$w/t1" "$w/t$threads" > /dev/null || same=DIFFERENT
    awk -v n1="$n1" -v tr="$trait" -v f="$first" -v a="$one" -v b="$many" -v g="$genes" -v t="$threads" \
      -v m1="$mem1" -v mn="$memn" -v s="$same" \
      'BEGIN { per = (a - f) / (g - 1); fixed = f - per
               printf "n1=%5d T5 %-9s fixed %6.2f s  per gene %6.3f s (1 thread)  %d threads x%.1f per gene  peak %5.0f MB (1 thread) %5.0f MB (%d threads)  outputs %s\n",
                      n1, tr, fixed, per, t, (a - fixed) / (b - fixed), m1 / 1024, mn / 1024, t, s }'
  done
done

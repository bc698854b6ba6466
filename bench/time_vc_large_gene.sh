#!/usr/bin/env bash
# Times the VC test of one large gene on one thread: the data set of
# bench/gen_genotypes.py with one gene of VARIANTS rare variants (frequencies
# up to 0.05, so that all pass the default filter) x SUBJECTS sequenced
# subjects, made once per size and kept in bench/out; then per size the whole
# run under least squares for the primary trait and for a secondary trait
# (LS-M and LS-C), and under MLE for the primary and the secondary trait
# (SKIP_MLE=1 leaves these out).  Each line gives the seconds, the program's
# peak memory and the p-values of the result row.
#   usage: bench/time_vc_large_gene.sh [BUILD_DIR [VARIANTS...]]
#   (defaults build, 1000 and 3000 variants; SUBJECTS=2000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
sizes=${*:-1000 3000}
subjects=${SUBJECTS:-2000}
bin=$(cd "$build" && pwd)/ventarquillo

run() {
  local data=$1 label=$2
  shift 2
  local t0 t1
  t0=$(date +%s.%N)
  (cd "$data" && OMP_NUM_THREADS=1 /usr/bin/time -f "%M" -o "mem_$label.txt" "$bin" "$@" -ofile "out_$label.txt" \
    -msglog "$label" > "run_$label.log")
  t1=$(date +%s.%N)
  awk -v l="$label" -v a="$t0" -v b="$t1" -v m="$(tail -n 1 "$data/mem_$label.txt")" \
    -v p="$(tail -n +3 "$data/out_$label.txt" | awk -F'\t' '{ for (i = 3; i <= NF; i += 3) printf " %s", $i }')" \
    'BEGIN { printf "  %-14s %8.2f s   peak %6.0f MB   p-values%s\n", l, b - a, m / 1024, p }'
}

for v in $sizes; do
  data=bench/out/vc_gene_${v}x${subjects}
  [ -f "$data/geno.txt" ] || python3 bench/gen_genotypes.py "$data" "$v" "$subjects" "$v" 0.05
  cat "$data/geno.txt" > /dev/null
  echo "$v variants x $subjects subjects"
  run "$data" VC_LS -method LS -test VC
  run "$data" VC_LS_sec -method LS -test VC -nsec 1 -pfile_seq pheno_seq_sec.txt
  if [ "${SKIP_MLE:-0}" != 1 ]; then
    run "$data" VC_MLE -test VC
    run "$data" VC_MLE_sec -test VC -nsec 1 -pfile_seq pheno_seq_sec.txt
  fi
done

#!/usr/bin/env bash
# Time and peak memory of MLE analyses as the number n0 of distinct
# non-sequenced values grows past the number n1 of sequenced subjects: T5 of
# the primary trait and of a secondary trait (-nsec 1) on the first GENES
# genes of the data set of bench/gen_genotypes.py at n1 = N1, THREADS threads,
# the non-sequenced file replaced by 5 x N1 values on exactly n0 distinct
# levels (normal quantiles written with seven significant digits, each level
# used about as often; the -rounding bound, which counts the sequenced values
# too, is set high enough to keep them all).
# Several builds (comma-separated folders) are run interleaved, REPEATS times
# each (build 1, build 2, build 1, ...), and their outputs compared with the
# first build's; each run prints its seconds and its peak resident memory
# (/usr/bin/time).
#   usage: bench/time_mle_n0.sh [BUILDS [THREADS [GENES [N1 [N0S [REPEATS]]]]]]
#   (defaults: build, 8, 16, 4000, "500 3300 4000 8000", 1)
# Mind the memory: an old dense build takes up to 0.4 GB per thread at
# n1 = 4,000.
set -euo pipefail
cd "$(dirname "$0")/.."
IFS=, read -r -a builds <<< "${1:-build}"
threads=${2:-8}
genes=${3:-16}
n1=${4:-4000}
n0s=${5:-500 3300 4000 8000}
repeats=${6:-1}
clock='[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9][0-9][0-9][0-9]'

data=bench/out/scale_$((genes * 10))x$n1
[ -f "$data/geno.txt" ] || python3 bench/gen_genotypes.py "$data" $((genes * 10)) "$n1"
d=$(pwd)/$data
[ -f "$data/pheno_seq_sec.txt" ] || awk 'BEGIN { srand(11); OFS = "\t" } NR == 1 { print $1, "s", $2, $3; next }
  { print $1, sprintf("%.4f", 0.5 * $1 + rand() - 0.5), $2, $3 }' "$data/pheno_seq.txt" > "$data/pheno_seq_sec.txt"

# nonseq N0: the file of 5 x n1 values on N0 levels (made once).
nonseq() {
  local f=$d/pheno_nonseq_$1.txt
  [ -f "$f" ] || python3 - "$1" "$((5 * n1))" "$f" <<'EOF'
import random, statistics, sys
levels, count, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
normal = statistics.NormalDist()
values = ["%.7g" % normal.inv_cdf((k + 0.5) / levels) for k in range(levels)]
rows = [values[i % levels] for i in range(count)]
random.Random(5).shuffle(rows)
with open(path, "w") as f:
    f.write("\n".join(rows) + "\n")
EOF
  echo "$f"
}

for n0 in $n0s; do
  ns=$(nonseq "$n0")
  for trait in primary secondary; do
    if [ "$trait" = primary ]; then pheno=$d/pheno_seq.txt; extra=(); else pheno=$d/pheno_seq_sec.txt; extra=(-nsec 1); fi
    for ((rep = 1; rep <= repeats; ++rep)); do
      for b in "${!builds[@]}"; do
        bin=$(cd "${builds[$b]}" && pwd)/ventarquillo
        w=bench/out/n0_${n1}_$n0/$trait/b$b
        rm -rf "$w" && mkdir -p "$w"
        (cd "$w" && OMP_NUM_THREADS=$threads /usr/bin/time -f '%e %M' -o time.txt "$bin" -pfile_seq "$pheno" \
          -pfile_nonseq "$ns" -gfile "$d/geno.txt" -mfile "$d/mapping.txt" -test T5 -ofile out.txt -msglog T5 \
          -rounding 100000000 "${extra[@]}" > console.txt) || true
        sed -E -i "s/$clock/<TIME>/" "$w/console.txt"
        same=identical
        [ "$b" = 0 ] || diff -r -x time.txt "bench/out/n0_${n1}_$n0/$trait/b0" "$w" > /dev/null || same=DIFFERENT
        distinct=$(awk -F= '/^#NONSEQ_Unique_Subjects/ { print $2 }' "$w/console.txt")
        read -r secs kb < "$w/time.txt"
        printf 'n1=%d n0=%-5s T5 %-9s %s  %8.2f s  peak %6.0f MB  outputs %s\n' "$n1" "$distinct" "$trait" \
          "${builds[$b]}" "$secs" "$(awk -v k="$kb" 'BEGIN { print k / 1024 }')" "$same"
      done
    done
  done
done

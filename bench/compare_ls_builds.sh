#!/usr/bin/env bash
# Compares two builds on least-squares runs of one thread: T5 and VC on a
# generated data set of ROWS variants (ten per gene) x SUBJECTS sequenced
# subjects, the runs of the two builds interleaved (old, new, old, new, ...)
# REPEATS times.  Prints every time, then per test the range of each build,
# the ratio new / old of the medians and whether both builds wrote the same
# result table.  With CALLGRIND_ROWS set (for example 2000), each build also
# runs each test once under callgrind on a CALLGRIND_ROWS x SUBJECTS data set
# and the instruction counts are printed: a figure that other work on the
# machine does not move.
#   usage: bench/compare_ls_builds.sh NEW_BUILD OLD_BUILD [ROWS [SUBJECTS [REPEATS]]]
#          (defaults 20000 5000 5; build folders from the repository root)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?new build folder}
old_build=${2:?old build folder}
rows=${3:-20000}
subjects=${4:-5000}
repeats=${5:-5}
export OMP_NUM_THREADS=1
source bench/common.sh
new_bin=$bin
old_bin=$(cd "$old_build" && pwd)/ventarquillo
tests=(T5 VC)

declare -A times
for r in $(seq 1 "$repeats"); do
  for t in "${tests[@]}"; do
    for which in old new; do
      if [ "$which" = old ]; then bin=$old_bin; else bin=$new_bin; fi
      timed_run "${t}_$which" -method LS -test "$t" -ofile "out_${t}_$which.txt" -msglog "${t}_$which"
      times[$t,$which]="${times[$t,$which]:-} $seconds"
      printf '%-3s %-3s run %d  %7.3f s\n' "$t" "$which" "$r" "$seconds"
    done
  done
done

summary() {  # summary "t1 t2 ...": min max median
  tr ' ' '\n' <<< "$1" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f %.3f %.3f", v[1], v[NR], m }'
}
echo
for t in "${tests[@]}"; do
  read -r omin omax omed <<< "$(summary "${times[$t,old]}")"
  read -r nmin nmax nmed <<< "$(summary "${times[$t,new]}")"
  same=differ
  cmp -s "$data/out_${t}_old.txt" "$data/out_${t}_new.txt" && same=identical
  awk -v t="$t" -v a="$omin" -v b="$omax" -v c="$omed" -v d="$nmin" -v e="$nmax" -v f="$nmed" -v s="$same" \
    'BEGIN { printf "%-3s old %.3f-%.3f s (median %.3f)   new %.3f-%.3f s (median %.3f)   new/old %.3f   tables %s\n",
             t, a, b, c, d, e, f, f / c, s }'
done

if [ -n "${CALLGRIND_ROWS:-}" ]; then
  rows=$CALLGRIND_ROWS
  source bench/common.sh
  echo
  for t in "${tests[@]}"; do
    declare -A ir
    for which in old new; do
      if [ "$which" = old ]; then b=$old_bin; else b=$new_bin; fi
      (cd "$data" && valgrind --tool=callgrind --callgrind-out-file=/dev/null "$b" -method LS \
        -test "$t" -ofile "out_${t}_$which.txt" -msglog "${t}_$which" > /dev/null 2> "callgrind_${t}_$which.log")
      ir[$which]=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$data/callgrind_${t}_$which.log")
    done
    awk -v t="$t" -v r="$rows" -v s="$subjects" -v a="${ir[old]}" -v b="${ir[new]}" \
      'BEGIN { printf "%-3s %d x %d instructions  old %.4g  new %.4g  new/old %.3f\n", t, r, s, a, b, b / a }'
  done
fi

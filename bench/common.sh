# Set-up shared by the bench/time_*.sh scripts, sourced from the repository
# root once `build`, `rows` and `subjects` are set: the generated data set of
# bench/gen_genotypes.py (made once and kept in bench/out), the program, and
# a warm page cache so that the first timed run does not pay for the disk.
data=bench/out/startup_${rows}x${subjects}
[ -f "$data/geno.txt" ] || python3 bench/gen_genotypes.py "$data" "$rows" "$subjects"
bin=$(cd "$build" && pwd)/ventarquillo
cat "$data/geno.txt" > /dev/null

# timed_run LABEL ARGS...: runs the program in $data with ARGS, its console
# into run_LABEL.log, and sets `seconds` to the wall-clock time taken.
timed_run() {
  local label=$1
  shift
  local t0 t1
  t0=$(date +%s.%N)
  (cd "$data" && "$bin" "$@" > "run_$label.log")
  t1=$(date +%s.%N)
  seconds=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
}

# result_rows LABEL: the rows of $data/out_LABEL.txt below its two header lines.
result_rows() { echo $(($(wc -l < "$data/out_$1.txt") - 2)); }

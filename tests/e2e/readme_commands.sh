#!/usr/bin/env bash
# Runs the commands that the README shows, as written, on a copy of the
# example data, so that the README stays true.
#   readme_commands.sh list README
#       the names of the commands, one per line: the -msglog prefix of each
#       run from examples/out/ (a line of the README that starts with
#       ../../build/ventarquillo, in a table cell or a code block, where
#       NAME=value settings of the environment may stand before it), then
#       split_by_genes for the recipe that splits a study by genes
#   readme_commands.sh run README PROGRAM EXAMPLES NAME
#       runs that command with PROGRAM in place of ../../build/ventarquillo,
#       in a copy of the folder EXAMPLES, and checks what it did
#
# A run from examples/out/ must end with status 0, with no warning about its
# options or inputs, the END SCORE TEST line, and a result table whose two
# header lines name the blocks and columns, whose rows have one cell per
# column, and one trait log per block, named <prefix>_<trait>_<method>, that
# starts with "#Samples = " and the number of sequenced subjects.
#
# The split recipe runs its three blocks (split, job.sh, join) with sbatch
# standing for a shell function that runs the array's jobs one after the
# other, on the example's first 12 genes; the joined table and trait log must
# equal those of one run over those genes, byte for byte.
set -u

fail() {
  echo "FAIL: $*"
  exit 1
}

[ -f "${2:-}" ] || fail "no README at '${2:-}'"
readme=$(realpath "$2")

# The lines of the README's sh code blocks, each block's lines preceded by a
# line "@@ BLOCK n".
code_blocks() {
  awk '/^```sh/ { n++; print "@@ BLOCK " n; inside = 1; next } /^```/ { inside = 0; next } inside { print }' "$readme"
}

# The command lines run from examples/out/: in code blocks (where variables
# of the environment may come first) and in table cells (between backticks).
commands() {
  code_blocks | grep -E '^([A-Z][A-Z0-9_]*=[^ ]* )*\.\./\.\./build/ventarquillo ' | sed 's/ *#.*$//'
  grep -o '`\.\./\.\./build/ventarquillo [^`]*`' "$readme" | tr -d '`'
}

# The variable lines of the code blocks (NAME="..." at the start of a line).
variables() {
  code_blocks | grep -E '^[A-Z][A-Z0-9_]*="[^"]*"' | sed -E 's/^([A-Z][A-Z0-9_]*="[^"]*").*$/\1/'
}

prefix_of() {
  set -f
  # shellcheck disable=SC2086
  set -- $1
  set +f
  while [ $# -gt 0 ]; do
    if [ "$1" = -msglog ]; then
      echo "$2"
      return
    fi
    shift
  done
  echo log
}

# The code block that holds a line matching the pattern, without its marker.
block_with() {
  code_blocks | awk -v pat="$1" '
    /^@@ BLOCK / { if (found) exit; n = 0; delete lines; next }
    { lines[++n] = $0; if ($0 ~ pat) found = 1 }
    END { if (found) for (i = 1; i <= n; i++) print lines[i] }'
}

if [ "$1" = list ]; then
  names=$(commands | while IFS= read -r cmd; do prefix_of "$cmd"; done)
  [ -n "$names" ] || fail "no command of the README found"
  dup=$(sort <<< "$names" | uniq -d)
  [ -z "$dup" ] || fail "README commands share the -msglog prefix: $dup"
  echo "$names"
  echo split_by_genes
  exit 0
fi

[ "$1" = run ] || fail "unknown mode '$1'"
bin=$(realpath "$3")
examples=$(realpath "$4")
name=$5

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/examples/out"
cp "$examples"/*.txt "$work/examples/"

# The number of data rows of a file.
rows_of() { awk 'NF > 0' "$1" | wc -l; }

if [ "$name" = split_by_genes ]; then
  split_block=$(block_with '^split -l')
  job_block=$(block_with '^#SBATCH')
  join_block=$(block_with '^head -n 2 res')
  [ -n "$split_block" ] && [ -n "$job_block" ] && [ -n "$join_block" ] || fail "the split recipe's three blocks are not all in the README"
  cd "$work" || exit 1
  # The study under the recipe's file names: the example's primary trait, and
  # of its genes the first 12 (each part is a run of its own, with its own
  # start-up and null fit).
  cp examples/pheno_seq_primary.txt pheno_seq.txt
  cp examples/pheno_nonseq.txt examples/geno.txt .
  LC_ALL=C cut -f1 examples/mapping.txt | LC_ALL=C sort -u | head -n 12 > kept_genes
  LC_ALL=C awk -F '\t' 'NR == FNR { keep[$1]; next } $1 in keep' kept_genes examples/mapping.txt > mapping.txt
  printf '%s\n' "$job_block" > job.sh
  mkdir bin
  ln -s "$bin" bin/ventarquillo
  export PATH="$work/bin:$PATH"
  # The scheduler: one job per index of --array=FIRST-LAST, in turn.
  sbatch() {
    local range="" arg
    for arg in "$@"; do
      case $arg in --array=*) range=${arg#--array=} ;; esac
    done
    [ -n "$range" ] || fail "sbatch without --array"
    local id
    for id in $(seq "${range%-*}" "${range#*-}"); do
      SLURM_ARRAY_TASK_ID=$id SLURM_CPUS_PER_TASK=2 bash "${@: -1}" || fail "job $id ended with status $?"
    done
  }
  eval "$split_block" || fail "the split block ended with status $?"
  parts=$(ls map.[0-9][0-9][0-9] | wc -l)
  genes=$(cut -f1 mapping.txt | sort -u | wc -l)
  [ "$parts" -ge 2 ] || fail "the split made $parts part(s) of $genes genes"
  eval "$join_block" || fail "the join block ended with status $?"
  # The trait logs, joined as the README says: the first line once.
  head -n 1 log.000_y_MLE > joined_y_MLE
  for f in log.[0-9][0-9][0-9]_y_MLE; do tail -n +2 "$f"; done >> joined_y_MLE
  ventarquillo -pfile_seq pheno_seq.txt -pfile_nonseq pheno_nonseq.txt -gfile geno.txt -mfile mapping.txt \
    -test T5 -ofile single.txt -msglog single > single.console || fail "the single run ended with status $?"
  cmp -s results.txt single.txt || { diff single.txt results.txt | head -20; fail "the joined table differs from one run's"; }
  cmp -s joined_y_MLE single_y_MLE || { diff single_y_MLE joined_y_MLE | head -20; fail "the joined log differs from one run's"; }
  [ "$(rows_of results.txt)" -eq $((genes + 2)) ] || fail "the joined table has not one row per gene"
  echo "split into $parts parts of $genes genes: the joined table and log are those of one run"
  exit 0
fi

cmd=""
while IFS= read -r line; do
  [ "$(prefix_of "$line")" = "$name" ] && cmd=$line
done < <(commands)
[ -n "$cmd" ] || fail "no README command with -msglog $name"

cd "$work/examples/out" || exit 1
while IFS= read -r v; do eval "$v"; done < <(variables)
echo "$cmd"
environment=${cmd%%../../build/ventarquillo*}
arguments=${cmd#*../../build/ventarquillo}
eval "$environment\"\$bin\"$arguments" > console.txt 2>&1
status=$?
[ "$status" -eq 0 ] || { tail -5 console.txt; fail "exit status $status"; }
startup=$(sed -n '1,/START SCORE TEST/p' console.txt)
if grep -q 'Warning' <<< "$startup"; then
  grep 'Warning' <<< "$startup"
  fail "the command draws a warning about its options or inputs"
fi
grep -q 'END SCORE TEST' console.txt || fail "no END SCORE TEST line"

# The result table: -ofile, else output.txt.
table=output.txt
seq_file=pheno_seq.txt
set -f
# shellcheck disable=SC2086
set -- $(eval "echo $arguments")
set +f
while [ $# -gt 0 ]; do
  case $1 in
    -ofile) table=$2; shift ;;
    -pfile_seq) seq_file=$2; shift ;;
  esac
  shift
done
[ -f "$table" ] || fail "no result table '$table'"
[ "$(rows_of "$table")" -ge 3 ] || fail "the result table '$table' has no gene row"
columns=$(sed -n 2p "$table" | awk -F '\t' '{ print NF }')
bad=$(awk -F '\t' -v n="$columns" 'NR > 2 && NF != n' "$table" | head -1)
[ -z "$bad" ] || fail "a row of '$table' has not $columns cells: $bad"
subjects=$(($(rows_of "$seq_file") - 1))
blocks=$(sed -n 1p "$table" | tr '\t' '\n' | grep -v -e '^------$' -e '^$')
[ -n "$blocks" ] || fail "no block title in the header of '$table'"
for block in $blocks; do
  log="${name}_$block"
  [ -f "$log" ] || fail "no trait log '$log'"
  [ "$(head -n 1 "$log")" = "#Samples = $subjects" ] || fail "'$log' does not start with '#Samples = $subjects'"
done
echo "status 0, $(($(rows_of "$table") - 2)) rows in $table, logs:" $(for b in $blocks; do printf '%s ' "${name}_$b"; done)

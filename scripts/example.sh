#!/usr/bin/env bash
# Builds the program and runs it on the example data set in examples/.
# The results land in examples/out/.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install_deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build >/dev/null
cmake --build build -j "$jobs" --target ventarquillo
mkdir -p examples/out
cd examples/out
../../build/ventarquillo -pfile_seq ../pheno_seq.txt -pfile_nonseq ../pheno_nonseq.txt -gfile ../geno.txt \
  -mfile ../mapping.txt -cov ../cov.txt -nsec 2 -test T5 -ofile T5_results.txt -msglog T5

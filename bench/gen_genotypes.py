#!/usr/bin/env python3
"""Writes a start-up timing data set: a genotype file of ROWS variants by
SUBJECTS subjects (minor-allele counts 0/1/2 with about 1% "NA"), the matching
phenotype file of the sequenced subjects, a non-sequenced phenotype file and
a three-column mapping file (ten variants per gene).

With GENE_SIZE and MAX_MAF the genes hold GENE_SIZE variants each and the
frequencies, log-uniform from 0.001, stop at MAX_MAF instead of 10^-0.5 (a
value below the default frequency filter of 0.05 keeps every variant), and a
second phenotype file, pheno_seq_sec.txt, adds a secondary trait s1 (no
genetic effect in either trait).

usage: gen_genotypes.py OUTDIR [ROWS [SUBJECTS [GENE_SIZE MAX_MAF]]]
       (defaults 20000, 2000, 10 and 10^-0.5)
Deterministic: a fixed seed, standard library only.
"""
import math
import os
import random
import sys


def main():
    out = sys.argv[1]
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    subjects = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
    gene_size = int(sys.argv[4]) if len(sys.argv) > 4 else 10
    top = math.log10(float(sys.argv[5])) if len(sys.argv) > 5 else -0.5
    rng = random.Random(7)
    os.makedirs(out, exist_ok=True)

    pheno = [(rng.gauss(0, 1), rng.randint(20, 80), rng.randint(0, 1)) for _ in range(subjects)]
    with open(os.path.join(out, "pheno_seq.txt"), "w") as f:
        f.write("y\tage\tsex\n")
        for y, age, sex in pheno:
            f.write("%.4f\t%d\t%d\n" % (y, age, sex))
    if len(sys.argv) > 5:
        other = random.Random(8)
        with open(os.path.join(out, "pheno_seq_sec.txt"), "w") as f:
            f.write("y\ts1\tage\tsex\n")
            for y, age, sex in pheno:
                f.write("%.4f\t%.4f\t%d\t%d\n" % (y, other.gauss(0, 1), age, sex))
    with open(os.path.join(out, "pheno_nonseq.txt"), "w") as f:
        for _ in range(5 * subjects):
            f.write("%.4f\n" % rng.gauss(0, 1))

    tokens = ("0", "1", "2", "NA")
    with open(os.path.join(out, "geno.txt"), "w") as f, open(os.path.join(out, "mapping.txt"), "w") as m:
        for k in range(rows):
            maf = 10 ** rng.uniform(-3, top)
            weights = ((1 - maf) ** 2 * 0.99, 2 * maf * (1 - maf) * 0.99, maf * maf * 0.99, 0.01)
            f.write("snp%07d\t" % k + "\t".join(rng.choices(tokens, weights, k=subjects)) + "\n")
            m.write("gene%06d\tsnp%07d\t%.6f\n" % (k // gene_size, k, maf))


if __name__ == "__main__":
    main()

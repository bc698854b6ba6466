#!/usr/bin/env python3
"""Writes a data set of one large gene for the VC timing runs: a genotype file
of VARIANTS rare variants by SUBJECTS sequenced subjects (minor-allele counts
0/1/2 with about 1 % "NA", frequencies log-uniform between 0.001 and 0.05, so
that every variant passes the default frequency filter), the phenotype file of
the sequenced subjects (trait y, covariates age and sex; y carries no genetic
effect), the same with a secondary trait s1 (pheno_seq_sec.txt), a
non-sequenced phenotype file of 5 x SUBJECTS values and a three-column
mapping file putting every variant in the gene "large".

usage: gen_large_gene.py OUTDIR [VARIANTS [SUBJECTS]]    (defaults 3000 and 2000)
Deterministic: a fixed seed, standard library only.
"""
import os
import random
import sys


def main():
    out = sys.argv[1]
    variants = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
    subjects = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
    rng = random.Random(11)
    os.makedirs(out, exist_ok=True)

    rows = [(rng.gauss(0, 1), rng.gauss(0, 1), rng.randint(20, 80), rng.randint(0, 1)) for _ in range(subjects)]
    with open(os.path.join(out, "pheno_seq.txt"), "w") as f:
        f.write("y\tage\tsex\n")
        for y, _, age, sex in rows:
            f.write("%.4f\t%d\t%d\n" % (y, age, sex))
    with open(os.path.join(out, "pheno_seq_sec.txt"), "w") as f:
        f.write("y\ts1\tage\tsex\n")
        for y, s1, age, sex in rows:
            f.write("%.4f\t%.4f\t%d\t%d\n" % (y, s1, age, sex))
    with open(os.path.join(out, "pheno_nonseq.txt"), "w") as f:
        for _ in range(5 * subjects):
            f.write("%.4f\n" % rng.gauss(0, 1))

    tokens = ("0", "1", "2", "NA")
    with open(os.path.join(out, "geno.txt"), "w") as f, open(os.path.join(out, "mapping.txt"), "w") as m:
        for k in range(variants):
            maf = 10 ** rng.uniform(-3, -1.302)
            weights = ((1 - maf) ** 2 * 0.99, 2 * maf * (1 - maf) * 0.99, maf * maf * 0.99, 0.01)
            f.write("snp%07d\t" % k + "\t".join(rng.choices(tokens, weights, k=subjects)) + "\n")
            m.write("large\tsnp%07d\t%.6f\n" % (k, maf))


if __name__ == "__main__":
    main()

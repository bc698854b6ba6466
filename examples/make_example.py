#!/usr/bin/env python3
"""Writes the example data sets of this folder, one study per sampling design.

A population of 3,400 subjects gets three covariates (age, sex, bmi), a
quantitative primary trait and two secondary traits (sbp, ldl), and genotypes
at rare variants in 36 genes; three genes carry variants that raise the
primary trait and one carries variants that raise sbp.

Trait-dependent sampling: the 200 subjects with the lowest and the 200 with
the highest primary trait are sequenced; the other 3,000 keep only their
primary-trait value.  Files (tab-separated, written next to this script):
  pheno_seq.txt     header, then per sequenced subject: y, sbp, ldl, age, sex, bmi
                    (secondary traits and covariates with a few NA)
  pheno_seq_primary.txt  the same without sbp and ldl: y, age, sex, bmi
  pheno_nonseq.txt  primary-trait value of each non-sequenced subject, one column
  geno.txt          per variant: identifier, then the minor-allele count of each
                    sequenced subject (0, 1, 2, NA for a failed call)
  mapping.txt       gene, variant, population minor-allele frequency (rows not
                    grouped by gene; the program sorts them); it serves every design
  wfile.txt         gene, variant and two weights per variant, for -test customized
  cov.txt           covariate selection: rows y (or the design's primary trait),
                    sbp, ldl; columns age, sex, bmi; it serves every design
  scores.txt        ready-made scores for the direct analysis, from 0 to 2 as the
                    genotype file asks: per gene, whether the subject carries a
                    minor allele of a variant below 5 % (1 or 0; a non-carrier
                    with failed calls gets the probability of carrying one there)
  pheno_seq_log.txt, pheno_nonseq_log.txt  the same study with a positive primary
                    trait tg = exp(0.35 + 0.45 y) (two decimals), for -log: tg, age,
                    sex, bmi, and the non-sequenced values of tg

Case-control sampling: a disease (cad) strikes the 15 % of the population with
the highest y plus noise; 200 cases and 200 controls are sequenced.
  pheno_seq_cc.txt  header, then per subject: cad (1 case, 0 control), sbp, ldl,
                    age, sex, bmi
  geno_cc.txt       their genotypes, as geno.txt

Random sampling: 400 subjects drawn at random, without the primary trait.
  pheno_seq_random.txt  header, then per subject: sbp, ldl, age, sex, bmi
  geno_random.txt   their genotypes, as geno.txt

The generator is deterministic (fixed seed, standard library only); the files
of the later designs draw their random numbers after those of the first.
"""
import math
import os
import random

SEED = 12345
N_POP = 3400
N_TAIL = 200          # sequenced from each end of the primary-trait distribution
N_GENES = 36
CAUSAL_PRIMARY = {"GENE07": 0.9, "GENE15": 0.7, "GENE28": 1.1}
CAUSAL_SBP = {"GENE21": 8.0}
MISSING_CALL = 0.01   # fraction of failed genotype calls
MISSING_PHENO = 0.05  # fraction of NA in each secondary trait
MISSING_COV = 0.03    # fraction of NA in each covariate
CASE_FRACTION = 0.15  # of the population, for case-control sampling
N_CASES = 200
N_CONTROLS = 200
N_RANDOM = 400


def main():
    rng = random.Random(SEED)
    here = os.path.dirname(os.path.abspath(__file__))

    # Genes and their variants: mostly rare, a few above 5 %.
    genes = []
    variant_no = 0
    for g in range(1, N_GENES + 1):
        gene = "GENE%02d" % g
        variants = []
        for _ in range(rng.randint(3, 14)):
            variant_no += 1
            maf = 10 ** rng.uniform(-3.2, -0.9)
            variants.append(("snp%04d" % variant_no, maf))
        genes.append((gene, variants))

    # Population genotypes, covariates and traits.
    genotypes = {}
    for gene, variants in genes:
        for snp, maf in variants:
            genotypes[snp] = [int(rng.random() < maf) + int(rng.random() < maf) for _ in range(N_POP)]

    age = [rng.randint(25, 75) for _ in range(N_POP)]
    sex = [rng.randint(0, 1) for _ in range(N_POP)]
    bmi = [rng.gauss(27.0, 4.0) for _ in range(N_POP)]
    y = []
    sbp = []
    ldl = []
    for i in range(N_POP):
        burden_y = sum(effect * sum(genotypes[snp][i] for snp, maf in dict(genes)[gene] if maf < 0.05)
                       for gene, effect in CAUSAL_PRIMARY.items())
        burden_sbp = sum(effect * sum(genotypes[snp][i] for snp, maf in dict(genes)[gene] if maf < 0.05)
                         for gene, effect in CAUSAL_SBP.items())
        yi = 0.02 * (age[i] - 50) + 0.25 * sex[i] + 0.05 * (bmi[i] - 27) + burden_y + rng.gauss(0.0, 1.0)
        y.append(yi)
        sbp.append(120 + 0.5 * (age[i] - 50) + 1.2 * (bmi[i] - 27) + 3.0 * yi + burden_sbp + rng.gauss(0, 12))
        ldl.append(3.2 + 0.01 * (age[i] - 50) - 0.2 * sex[i] + 0.1 * yi + rng.gauss(0, 0.7))

    # Trait-dependent sampling: both tails are sequenced, in subject order.
    order = sorted(range(N_POP), key=lambda i: y[i])
    sequenced = sorted(order[:N_TAIL] + order[-N_TAIL:])
    chosen = set(sequenced)
    nonsequenced = [i for i in range(N_POP) if i not in chosen]

    def maybe_na(text, rate):
        return "NA" if rng.random() < rate else text

    # Secondary traits and covariates of subject i as a sequenced-phenotype
    # file holds them: sbp, ldl, age, sex, bmi.
    def secondary_fields(i):
        return [
            maybe_na("%.1f" % sbp[i], MISSING_PHENO),
            maybe_na("%.2f" % ldl[i], MISSING_PHENO),
            maybe_na("%d" % age[i], MISSING_COV),
            maybe_na("%d" % sex[i], MISSING_COV),
            maybe_na("%.1f" % bmi[i], MISSING_COV),
        ]

    def write_rows(name, header, rows_out):
        with open(os.path.join(here, name), "w") as f:
            if header:
                f.write("\t".join(header) + "\n")
            for row in rows_out:
                f.write("\t".join(row) + "\n")

    # The genotype file of the subjects, a failed call now and then; returns
    # the calls per variant.
    def write_genotypes(name, subjects):
        written = {}
        with open(os.path.join(here, name), "w") as f:
            for gene, variants in genes:
                for snp, maf in variants:
                    calls = ["NA" if rng.random() < MISSING_CALL else str(genotypes[snp][i]) for i in subjects]
                    written[snp] = calls
                    f.write(snp + "\t" + "\t".join(calls) + "\n")
        return written

    rows = [["%.4f" % y[i]] + secondary_fields(i) for i in sequenced]
    write_rows("pheno_seq.txt", ["y", "sbp", "ldl", "age", "sex", "bmi"], rows)

    # The same subjects without the secondary traits, for analyses of y itself.
    with open(os.path.join(here, "pheno_seq_primary.txt"), "w") as f:
        f.write("y\tage\tsex\tbmi\n")
        for row in rows:
            f.write("\t".join([row[0]] + row[3:]) + "\n")

    with open(os.path.join(here, "pheno_nonseq.txt"), "w") as f:
        for i in nonsequenced:
            f.write("%.4f\n" % y[i])

    calls = write_genotypes("geno.txt", sequenced)

    mapping = []
    population = {}
    for gene, variants in genes:
        for snp, maf in variants:
            population[snp] = sum(genotypes[snp]) / (2.0 * N_POP)
            mapping.append("%s\t%s\t%.6f" % (gene, snp, population[snp]))
    rng.shuffle(mapping)
    with open(os.path.join(here, "mapping.txt"), "w") as f:
        f.write("\n".join(mapping) + "\n")

    with open(os.path.join(here, "wfile.txt"), "w") as f:
        for gene, variants in genes:
            for snp, maf in variants:
                beta_weight = 25.0 * (1.0 - maf) ** 24  # Beta(1, 25) density
                f.write("%s\t%s\t1\t%.6f\n" % (gene, snp, beta_weight))

    with open(os.path.join(here, "cov.txt"), "w") as f:
        f.write("1\t1\t1\n")   # y: age, sex, bmi
        f.write("1\t0\t1\n")   # sbp: age, bmi
        f.write("1\t1\t0\n")   # ldl: age, sex

    # Ready-made scores of the sequenced subjects, one row per gene: carrier
    # status, and for a non-carrier the probability of carrying a minor allele
    # at the sites of its failed calls.
    with open(os.path.join(here, "scores.txt"), "w") as f:
        for gene, variants in genes:
            carrier = [False] * len(sequenced)
            none_missing = [1.0] * len(sequenced)  # P(no minor allele at the failed calls)
            for snp, maf in variants:
                freq = population[snp]
                if freq >= 0.05:
                    continue
                for k, call in enumerate(calls[snp]):
                    if call == "NA":
                        none_missing[k] *= (1.0 - freq) ** 2
                    elif int(call) > 0:
                        carrier[k] = True
            score = [1.0 if c else 1.0 - p for c, p in zip(carrier, none_missing)]
            f.write(gene + "\t" + "\t".join(("%.4f" % v).rstrip("0").rstrip(".") for v in score) + "\n")

    # The same study with a positive primary trait, for -log.
    tg = [math.exp(0.35 + 0.45 * v) for v in y]
    write_rows("pheno_seq_log.txt", ["tg", "age", "sex", "bmi"],
               [["%.2f" % tg[i]] + row[3:] for i, row in zip(sequenced, rows)])
    write_rows("pheno_nonseq_log.txt", [], [["%.2f" % tg[i]] for i in nonsequenced])

    # Case-control sampling.
    liability = [y[i] + rng.gauss(0.0, 0.8) for i in range(N_POP)]
    cut = sorted(liability)[int((1.0 - CASE_FRACTION) * N_POP)]
    cases = [i for i in range(N_POP) if liability[i] >= cut]
    controls = [i for i in range(N_POP) if liability[i] < cut]
    cc = sorted(rng.sample(cases, N_CASES) + rng.sample(controls, N_CONTROLS))
    write_rows("pheno_seq_cc.txt", ["cad", "sbp", "ldl", "age", "sex", "bmi"],
               [["1" if liability[i] >= cut else "0"] + secondary_fields(i) for i in cc])
    write_genotypes("geno_cc.txt", cc)

    # Random sampling: no primary-trait column.
    drawn = sorted(rng.sample(range(N_POP), N_RANDOM))
    write_rows("pheno_seq_random.txt", ["sbp", "ldl", "age", "sex", "bmi"], [secondary_fields(i) for i in drawn])
    write_genotypes("geno_random.txt", drawn)


if __name__ == "__main__":
    main()

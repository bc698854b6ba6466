#!/usr/bin/env python3
"""Independent check of a variance-component (VC) p-value from a trait log.

Reads the lines of one gene from a VC trait log (gene, variant, MAF, counts,
the score U, then the lower triangle of the covariance), takes the components
with positive variance, weights each by the squared Beta(1, 25) density at its
MAF, 25^2 (1 - MAF)^48, and computes in 50-digit mpmath

    T = sum_k w_k U_k^2,  P(Q > T),  Q = sum_j lambda_j chi2_1,

lambda_j the eigenvalues of diag(sqrt w) V diag(sqrt w) (mpmath's symmetric
eigen-solver) above 1e-5 times the mean of the non-negative ones, by the
Ruben-Moschopoulos series of vc_tail_reference.py (positive terms, exact to
the digits shown).

Usage: vc_gene_check.py TRAIT_LOG GENE
"""
import os
import sys

import mpmath as mp

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vc_tail_reference as ref  # noqa: E402

mp.mp.dps = 50


def main():
    path, gene = sys.argv[1], sys.argv[2]
    rows = [l.rstrip("\n").split("\t") for l in open(path) if l.startswith(gene + "\t")]
    K = len(rows)
    maf = [mp.mpf(r[2]) for r in rows]
    U = [mp.mpf(r[8]) for r in rows]
    V = [[mp.mpf(0)] * K for _ in range(K)]
    for i, r in enumerate(rows):
        for j in range(i + 1):
            V[i][j] = V[j][i] = mp.mpf(r[9 + j])
    keep = [k for k in range(K) if V[k][k] > 0]
    w = [(25 * (1 - maf[k]) ** 24) ** 2 for k in keep]
    T = mp.fsum(w[a] * U[k] ** 2 for a, k in enumerate(keep))
    KK = mp.matrix(len(keep), len(keep))
    for a, i in enumerate(keep):
        for b, j in enumerate(keep):
            KK[a, b] = mp.sqrt(w[a] * w[b]) * V[i][j]
    ev = mp.eigsy(KK, eigvals_only=True)
    ev = [ev[i] for i in range(len(keep))]
    nonneg = [e for e in ev if e >= 0]
    cut = mp.fsum(nonneg) / len(nonneg) / 100000
    lam = [e for e in ev if e > cut]
    p = ref.series_tail(lam, T)
    print("components", K, "eigenvalues", len(lam), "spread", mp.nstr(min(lam) / max(lam), 3), "T", mp.nstr(T, 12),
          "p", mp.nstr(p, 10))


if __name__ == "__main__":
    main()

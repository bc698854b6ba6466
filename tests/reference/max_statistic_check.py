#!/usr/bin/env python3
"""Independent check of a maximum-statistic p-value of up to three components.

Reads the trait log of a VT or customized analysis (one line per column: the
gene, a label, a count, the score U, then the lower triangle of the
covariance), takes the components with positive variance, leaves out later
exact duplicates (correlation 1), and computes P(max_k |W_k| >= T),
T = max_k |U_k| / sqrt(V_kk), W ~ N(0, R), in 30-digit mpmath: one minus the
box probability, written as iterated integrals of conditional normals
(W_1, then W_2 given W_1, then W_3 given both in closed form).

Usage: max_statistic_check.py TRAIT_LOG GENE
"""
import sys

import mpmath as mp

mp.mp.dps = 30


def main():
    path, gene = sys.argv[1], sys.argv[2]
    rows = [l.rstrip("\n").split("\t") for l in open(path) if l.startswith(gene + "\t")]
    K = len(rows)
    U = [mp.mpf(r[3]) for r in rows]
    V = [[mp.mpf(0)] * K for _ in range(K)]
    for i, r in enumerate(rows):
        for j in range(i + 1):
            V[i][j] = V[j][i] = mp.mpf(r[4 + j])
    valid = [k for k in range(K) if V[k][k] > 0]
    T = max(abs(U[k]) / mp.sqrt(V[k][k]) for k in valid)
    keep = []
    for k in valid:
        if any(abs(V[k][j] / mp.sqrt(V[k][k] * V[j][j]) - 1) < mp.mpf("1e-10") for j in keep):
            continue
        keep.append(k)
    d = len(keep)
    R = [[V[a][b] / mp.sqrt(V[a][a] * V[b][b]) for b in keep] for a in keep]
    inside = lambda m, s: mp.ncdf((T - m) / s) - mp.ncdf((-T - m) / s)
    if d == 1:
        box = inside(0, 1)
    elif d == 2:
        s = mp.sqrt(1 - R[0][1] ** 2)
        box = mp.quad(lambda x: mp.npdf(x) * inside(R[0][1] * x, s), [-T, 0, T])
    elif d == 3:
        # W2 | W1 = x: mean r12 x, variance 1 - r12^2; W3 | W1, W2 by regression.
        r12, r13, r23 = R[0][1], R[0][2], R[1][2]
        s2 = mp.sqrt(1 - r12 ** 2)
        det = 1 - r12 ** 2
        b1 = (r13 - r12 * r23) / det
        b2 = (r23 - r12 * r13) / det
        s3 = mp.sqrt(1 - (b1 * r13 + b2 * r23))
        inner = lambda x: mp.quad(lambda y: mp.npdf(y, r12 * x, s2) * inside(b1 * x + b2 * y, s3), [-T, 0, T])
        box = mp.quad(lambda x: mp.npdf(x) * inner(x), [-T, 0, T])
    else:
        raise SystemExit("more than three components")
    print("components", K, "kept", d, "T^2", mp.nstr(T * T, 12), "p", mp.nstr(1 - box, 10))


if __name__ == "__main__":
    main()

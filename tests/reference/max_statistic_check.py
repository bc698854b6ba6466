#!/usr/bin/env python3
"""Independent check of a maximum-statistic p-value.

Reads the trait log of a VT or customized analysis (one line per column: the
gene, a label, a count, the score U, then the lower triangle of the
covariance), takes the components with positive variance, leaves out later
exact duplicates (correlation 1), and computes P(max_k |W_k| >= T),
T = max_k |U_k| / sqrt(V_kk), W ~ N(0, R), in 30-digit mpmath: one minus the
box probability, written as iterated integrals of conditional normals
(W_1, then W_2 given W_1, then W_3 given both in closed form; a W_3 that is
a linear function of the other two bounds W_2 given W_1 to an interval).  With more
than three components, in double precision: Genz's separation of variables
(the box probability as an integral over the unit cube of products of
conditional normal probabilities, Cholesky factor of R) by a Richtmyer
lattice rule (square roots of primes) with 16 random shifts, whose spread
gives the standard error printed beside p; this shares no code and no method
with the program's tail sampler.

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
        s3sq = 1 - (b1 * r13 + b2 * r23)
        if s3sq > mp.mpf("1e-12"):
            s3 = mp.sqrt(s3sq)
            inner = lambda x: mp.quad(lambda y: mp.npdf(y, r12 * x, s2) * inside(b1 * x + b2 * y, s3), [-T, 0, T])
            box = mp.quad(lambda x: mp.npdf(x) * inner(x), [-T, 0, T])
        else:
            # W3 = b1 W1 + b2 W2 exactly (a weight vector that combines two
            # others): given W1 = x, W2 must lie in [-T, T] and make
            # |b1 x + b2 W2| < T, an interval.
            def inner(x):
                lo, hi = -T, T
                if b2 != 0:
                    a, b = (-T - b1 * x) / b2, (T - b1 * x) / b2
                    lo, hi = max(lo, min(a, b)), min(hi, max(a, b))
                elif abs(b1 * x) >= T:
                    return mp.mpf(0)
                if hi <= lo:
                    return mp.mpf(0)
                return mp.ncdf((hi - r12 * x) / s2) - mp.ncdf((lo - r12 * x) / s2)
            # The interval's ends move with x; split where they meet +-T.
            pts = {-T, mp.mpf(0), T}
            for c in ((-T - b2 * T) / b1, (-T + b2 * T) / b1, (T - b2 * T) / b1, (T + b2 * T) / b1) if b1 != 0 else ():
                if -T < c < T:
                    pts.add(c)
            box = mp.quad(lambda x: mp.npdf(x) * inner(x), sorted(pts))
    else:
        box, se = lattice_box(d, [[float(x) for x in row] for row in R], float(T))
        print("components", K, "kept", d, "T^2", mp.nstr(T * T, 12), "p", "%.7e" % (1 - box), "se", "%.1e" % se)
        return
    print("components", K, "kept", d, "T^2", mp.nstr(T * T, 12), "p", mp.nstr(1 - box, 10))


def lattice_box(d, R, T, points=40000, shifts=16):
    """P(|W_k| < T for all k), W ~ N(0, R): Genz's separation of variables, randomized lattice."""
    import math
    import random
    from statistics import NormalDist

    nd = NormalDist()
    Phi = lambda x: 0.5 * math.erfc(-x / math.sqrt(2))
    L = [[0.0] * d for _ in range(d)]
    for j in range(d):
        s = R[j][j] - sum(L[j][k] ** 2 for k in range(j))
        L[j][j] = math.sqrt(s)
        for i in range(j + 1, d):
            L[i][j] = (R[i][j] - sum(L[i][k] * L[j][k] for k in range(j))) / L[j][j]
    primes = [2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71]
    alpha = [math.sqrt(q) % 1 for q in primes[: d - 1]]
    rng = random.Random(12345)
    d1, e1 = Phi(-T / L[0][0]), Phi(T / L[0][0])
    estimates = []
    for _ in range(shifts):
        shift = [rng.random() for _ in range(d - 1)]
        total = 0.0
        for k in range(1, points + 1):
            f, lo, hi = e1 - d1, d1, e1
            y = []
            for i in range(1, d):
                u = (k * alpha[i - 1] + shift[i - 1]) % 1.0
                u = abs(2 * u - 1)  # baker's transform
                q = lo + u * (hi - lo)
                q = min(max(q, 1e-300), 1 - 1e-16)
                y.append(nd.inv_cdf(q))
                s = sum(L[i][j] * y[j] for j in range(i))
                lo, hi = Phi((-T - s) / L[i][i]), Phi((T - s) / L[i][i])
                f *= hi - lo
            total += f
        estimates.append(total / points)
    mean = sum(estimates) / shifts
    var = sum((x - mean) ** 2 for x in estimates) / (shifts - 1) / shifts
    return mean, math.sqrt(var)


if __name__ == "__main__":
    main()

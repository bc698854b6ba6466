#!/usr/bin/env python3
"""Reference values of the maximum-statistic p-value P(max_k |W_k| >= t), W ~ N(0, R),
for correlation structures whose probability reduces to one-dimensional integrals.
Nothing here shares code or method with the program (no lattice rule, no sampling).

  * one factor, W_k = l_k Z + sqrt(1 - l_k^2) E_k (correlations l_a l_b; equicorrelated
    rho when every l_k = sqrt(rho)); in 30-digit mpmath:
        P = int phi(z) [1 - prod_k (1 - o_k(z))] dz,
        o_k(z) = Q((t - l_k z) / s_k) + Q((t + l_k z) / s_k),  s_k = sqrt(1 - l_k^2),
    the bracket as -expm1(sum log1p(-o_k)), so nothing cancels, split at z = +-t / |l_k|;
  * nested sums, W_k = S_k / sqrt(v_k) with S a Gaussian random walk of variances
    v_1 < v_2 < ... (correlations sqrt(v_a / v_b), a < b: the burdens of nested variant
    sets, as the VT thresholds build them): a Markov chain, so the probability of leaving
    the box at step k having stayed inside before is an integral of the density of
    staying inside (carried from step to step by convolution with the increment's
    normal density) against the increment's normal tails.  The sum over the steps has
    only positive terms.  Composite Gauss-Legendre in double precision, each panel
    narrower than the increment's standard deviation; --check shows that doubling the
    panels moves no value by more than a relative 1e-10, and compares two and three
    steps with the mpmath formulas of tail_reference.py and max_statistic_check.py.

Run: python3 tests/reference/max_statistic_reference.py --table > tests/reference/max_statistic_reference.tsv
     python3 tests/reference/max_statistic_reference.py --check
The table (TSV: shape, d, parameters, t, p) has, for d = 2, 3, 4, 5, 7, 10, 15 and 20, the
statistics of a fixed grid whose p-value lies between 1e-12 and 0.95, for six shapes:
equicorrelated 0.5 and 0.9 (parameter rho), one factor with loadings from 0.95 down to
0.35 and the same with alternating signs (parameters: the loadings), nested sums of equal
increments and of increments growing as 1, 2, 3, ... (parameters: the variances v_k).
"""
import math
import sys

import mpmath as mp

mp.mp.dps = 30

T_GRID = ["0.6", "0.9", "1.2", "1.5", "1.8", "2.1", "2.4", "2.7", "3.0", "3.4", "3.8", "4.2", "4.7",
          "5.2", "5.7", "6.2", "6.7", "7.2"]
DIMS = [2, 3, 4, 5, 7, 10, 15, 20]


def Q(x):
    return mp.erfc(x / mp.sqrt(2)) / 2


def one_factor_max(loadings, t):
    t = mp.mpf(t)
    ls = [mp.mpf(l) for l in loadings]
    ss = [mp.sqrt(1 - l * l) for l in ls]

    def f(z):
        acc = mp.mpf(0)
        for l, s in zip(ls, ss):
            o = Q((t - l * z) / s) + Q((t + l * z) / s)
            acc += mp.log1p(-o)
        return mp.npdf(z) * -mp.expm1(acc)

    pts = {mp.mpf(0), mp.mpf(-60), mp.mpf(60)}
    for l in ls:
        if abs(l) > mp.mpf("1e-3") and t / abs(l) < 60:
            pts.add(t / abs(l))
            pts.add(-t / abs(l))
    return mp.quad(f, sorted(pts), maxdegree=10)


# ---- nested sums: composite Gauss-Legendre in double precision ----------------

def gauss_legendre(q):
    """Nodes and weights of the q-point Gauss-Legendre rule on [-1, 1]."""
    nodes, weights = [], []
    for i in range(1, q + 1):
        x = math.cos(math.pi * (i - 0.25) / (q + 0.5))
        for _ in range(100):
            p0, p1 = 1.0, x
            for k in range(2, q + 1):
                p0, p1 = p1, ((2 * k - 1) * x * p1 - (k - 1) * p0) / k
            dp = q * (x * p1 - p0) / (x * x - 1)
            dx = p1 / dp
            x -= dx
            if abs(dx) < 1e-16:
                break
        nodes.append(x)
        weights.append(2 / ((1 - x * x) * dp * dp))
    return nodes, weights


GL_NODES, GL_WEIGHTS = gauss_legendre(8)


def composite(a, width):
    """Composite 8-point Gauss-Legendre nodes and weights on [-a, a], panels at most width wide."""
    panels = max(2, int(math.ceil(2 * a / width)))
    h = 2 * a / panels
    xs, ws = [], []
    for p in range(panels):
        c = -a + (p + 0.5) * h
        for x, w in zip(GL_NODES, GL_WEIGHTS):
            xs.append(c + 0.5 * h * x)
            ws.append(0.5 * h * w)
    return xs, ws


def q_upper(x):
    return 0.5 * math.erfc(x / math.sqrt(2))


def nested_max(variances, t, refine=1):
    t = float(t)
    v = [float(x) for x in variances]
    a = [t * math.sqrt(x) for x in v]
    inc = [v[0]] + [v[k] - v[k - 1] for k in range(1, len(v))]
    sd = [math.sqrt(x) for x in inc]
    # Step 1: S_1 ~ N(0, v_1).
    total = 2 * q_upper(t)
    if len(v) == 1:
        return total
    xs, ws = composite(a[0], min(sd[0], sd[1]) / refine)
    dens = [math.exp(-0.5 * (x / sd[0]) ** 2) / (sd[0] * math.sqrt(2 * math.pi)) for x in xs]
    for k in range(1, len(v)):
        s = sd[k]
        # Leaving at step k: |S_{k-1} + increment| >= a_k.
        total += sum(w * f * (q_upper((a[k] - y) / s) + q_upper((a[k] + y) / s)) for y, w, f in zip(xs, ws, dens))
        if k == len(v) - 1:
            break
        nx, nw = composite(a[k], min(s, sd[k + 1]) / refine)
        c = 1 / (s * math.sqrt(2 * math.pi))
        nd = []
        for x in nx:
            nd.append(sum(w * f * math.exp(-0.5 * ((x - y) / s) ** 2) for y, w, f in zip(xs, ws, dens)) * c)
        xs, ws, dens = nx, nw, nd
    return total


# ---- the table -----------------------------------------------------------------

def shapes(d):
    spread = [0.95 - 0.6 * k / (d - 1) for k in range(d)]
    yield "equicorrelated", "0.5", lambda t: one_factor_max([mp.sqrt(mp.mpf("0.5"))] * d, t)
    yield "equicorrelated", "0.9", lambda t: one_factor_max([mp.sqrt(mp.mpf("0.9"))] * d, t)
    loads = ["%.4f" % l for l in spread]
    yield "factor", ",".join(loads), lambda t: one_factor_max(loads, t)
    mixed = ["%.4f" % (l if k % 2 == 0 else -l) for k, l in enumerate(spread)]
    yield "factor", ",".join(mixed), lambda t: one_factor_max(mixed, t)
    equal = [str(k + 1) for k in range(d)]
    yield "nested", ",".join(equal), lambda t: nested_max(equal, t)
    growing = [str((k + 1) * (k + 2) // 2) for k in range(d)]
    yield "nested", ",".join(growing), lambda t: nested_max(growing, t)


def table():
    print("shape\td\tparameters\tt\tp")
    for d in DIMS:
        for shape, params, prob in shapes(d):
            for t in T_GRID:
                p = prob(t)
                if 1e-12 <= p <= 0.95:
                    print("%s\t%d\t%s\t%s\t%s" % (shape, d, params, t, mp.nstr(mp.mpf(p), 17)))
                    sys.stdout.flush()


def check():
    # Two steps: the bivariate formula of tail_reference.py (correlation sqrt(1/2)).
    r = mp.sqrt(mp.mpf(1) / 2)
    for t in ["1.5", "4", "7"]:
        T = mp.mpf(t)
        s = mp.sqrt(1 - r * r)
        f = lambda w: mp.npdf(w) * (Q((T - r * w) / s) + Q((T + r * w) / s))
        want = 2 * Q(T) + mp.quad(f, [-T, -T + 1, 0, T - 1, T])
        got = nested_max(["1", "2"], t)
        print("two steps t=%s: %.15g vs %s (%.2e)" % (t, got, mp.nstr(want, 15), got / float(want) - 1))
    # Three steps: iterated conditional normals as in max_statistic_check.py.
    v = [1, 3, 6]
    R = [[math.sqrt(min(v[i], v[j]) / max(v[i], v[j])) for j in range(3)] for i in range(3)]
    r12, r13, r23 = (mp.mpf(R[0][1]), mp.mpf(R[0][2]), mp.mpf(R[1][2]))
    for t in ["1.5", "3"]:
        T = mp.mpf(t)
        inside = lambda m, s: mp.ncdf((T - m) / s) - mp.ncdf((-T - m) / s)
        s2 = mp.sqrt(1 - r12 ** 2)
        det = 1 - r12 ** 2
        b1 = (r13 - r12 * r23) / det
        b2 = (r23 - r12 * r13) / det
        s3 = mp.sqrt(1 - (b1 * r13 + b2 * r23))
        inner = lambda x: mp.quad(lambda y: mp.npdf(y, r12 * x, s2) * inside(b1 * x + b2 * y, s3), [-T, 0, T])
        want = 1 - mp.quad(lambda x: mp.npdf(x) * inner(x), [-T, 0, T])
        got = nested_max([str(x) for x in v], t)
        print("three steps t=%s: %.15g vs %s (%.2e)" % (t, got, mp.nstr(want, 15), got / float(want) - 1))
    # Doubling the panels.
    worst = 0.0
    for d in [5, 20]:
        for variances in ([str(k + 1) for k in range(d)], [str((k + 1) * (k + 2) // 2) for k in range(d)]):
            for t in ["0.9", "3.0", "7.2"]:
                a, b = nested_max(variances, t), nested_max(variances, t, refine=2)
                worst = max(worst, abs(a / b - 1))
    print("doubling the panels: largest relative change %.2e" % worst)
    # One factor: equicorrelated against the independent closed form and tail_reference.py.
    print("one factor, rho = 0, d = 5, t = 3: %s vs %s" % (
        mp.nstr(one_factor_max([0] * 5, "3"), 15), mp.nstr(-mp.expm1(5 * mp.log1p(-2 * Q(3))), 15)))


if __name__ == "__main__":
    if "--table" in sys.argv:
        table()
    elif "--check" in sys.argv:
        check()
    else:
        print(__doc__)

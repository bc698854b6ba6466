#!/usr/bin/env python3
"""Independent reference values for the tail p-value tests (test_tail_pvalues.cpp).

Computed in 60-digit arithmetic with mpmath, sharing nothing with the program:

  * maximum statistic, equicorrelated rho >= 0 (one-factor model
    W_k = sqrt(rho) Z + sqrt(1 - rho) E_k):
        P(max_k |W_k| >= t) = int phi(z) [1 - (1 - o(z))^d] dz,
        o(z) = Q((t - sqrt(rho) z) / s) + Q((t + sqrt(rho) z) / s), s = sqrt(1 - rho),
    the tail written with the outside probability o(z), so nothing cancels;
    the integral is split at the two peaks z = +-t / sqrt(rho);
  * two components with correlation r, s = sqrt(1 - r^2):
        P(|W1| >= t) + P(|W1| < t, |W2| >= t)
        = 2 Q(t) + int_{-t}^{t} phi(w) [Q((t - r w) / s) + Q((t + r w) / s)] dw;
  * weighted chi-squared tails: lambda chi2_r exactly as the regularized upper
    incomplete gamma function Q(r / 2, q / (2 lambda)); two unequal
    coefficients by integrating the density of the first against the tail of
    the second.

Run: python3 tests/reference/tail_reference.py            values of the unit tests
     python3 tests/reference/tail_reference.py --table    the bench table of
        bench/bench_max_statistic.cpp --accuracy (TSV: d, rho, t, p), equicorrelated
"""
import mpmath as mp

mp.mp.dps = 60


def Q(x):
    return mp.erfc(x / mp.sqrt(2)) / 2


def equicorrelated_max(d, rho, t):
    rho, t = mp.mpf(rho), mp.mpf(t)
    sr, s = mp.sqrt(rho), mp.sqrt(1 - rho)

    def f(z):
        o = Q((t - sr * z) / s) + Q((t + sr * z) / s)
        return mp.npdf(z) * -mp.expm1(d * mp.log1p(-o))

    c = t / sr
    pts = [-c - 40, -c - 5, -c, -c + 5, 0, c - 5, c, c + 5, c + 40]
    return mp.quad(f, sorted(pts), maxdegree=10)


def bivariate_max(r, t):
    # P(|W1| >= t) + P(|W1| < t, |W2| >= t)
    r, t = mp.mpf(r), mp.mpf(t)
    s = mp.sqrt(1 - r * r)
    f = lambda w: mp.npdf(w) * (Q((t - r * w) / s) + Q((t + r * w) / s))
    return 2 * Q(t) + mp.quad(f, [-t, -t + 1, 0, t - 1, t], maxdegree=10)


def chi2_tail(lam, r, q):
    return mp.gammainc(mp.mpf(r) / 2, mp.mpf(q) / (2 * mp.mpf(lam)), mp.inf, regularized=True)


def two_term_tail(l1, l2, q):
    # P(l1 X1 + l2 X2 > q), X1, X2 chi2_1: int_0^{q/l1} f1(x) P(X2 > (q - l1 x)/l2) dx + P(X1 > q/l1)
    l1, l2, q = mp.mpf(l1), mp.mpf(l2), mp.mpf(q)
    f1 = lambda x: mp.exp(-x / 2) / mp.sqrt(2 * mp.pi * x)
    g = lambda x: f1(x) * mp.erfc(mp.sqrt(max(q - l1 * x, 0) / l2 / 2))
    b = q / l1
    return mp.quad(g, [0, b / 2, b * 0.99, b]) + chi2_tail(1, 1, b)


def table():
    # Every (d, rho) at statistics spaced so that p runs from about 1e-1 to
    # 1e-12; the six-component set at 81 statistics, to see the spread of the
    # errors over calls that differ only in the statistic.
    mp.mp.dps = 30
    print("d\trho\tt\tp")
    grid = [("%.2f" % (2.0 + 0.25 * k)) for k in range(21)]
    sets = [(d, rho) for d in (3, 10, 20) for rho in ("0.3", "0.6", "0.9", "0.99")]
    sets.append((6, "0.75"))
    for d, rho in sets:
        ts = grid if d != 6 else [("%.3f" % (3.0 + 0.05 * k)) for k in range(81)]
        for t in ts:
            p = equicorrelated_max(d, rho, t)
            print("%d\t%s\t%s\t%s" % (d, rho, t, mp.nstr(p, 20)))


if __name__ == "__main__":
    import sys

    if "--table" in sys.argv:
        table()
        sys.exit(0)
    print("equicorrelated 0.9, d = 10")
    for t in ["4", "4.5", "5", "5.5", "8.66"]:
        print("  t =", t, mp.nstr(equicorrelated_max(10, "0.9", t), 12))
    print("equicorrelated 0.5, d = 3, t = 5.5:", mp.nstr(equicorrelated_max(3, "0.5", "5.5"), 12))
    print("equicorrelated 0.6, d = 20")
    for t in ["3", "5", "12"]:
        print("  t =", t, mp.nstr(equicorrelated_max(20, "0.6", t), 12))
    for t in [30, 37]:
        print("independent, d = 5, t =", t, mp.nstr(-mp.expm1(5 * mp.log1p(-2 * Q(t))), 12))
    print("two components")
    for r, t in [("0.5", "3"), ("0.5", "9"), ("-0.8", "9"), ("0.999", "20")]:
        print("  r =", r, "t =", t, mp.nstr(bivariate_max(r, t), 12))
    print("one component, t = 37:", mp.nstr(2 * Q(37), 12))
    print("sign-flipped pair, t = 20:", mp.nstr(2 * Q(20), 12))
    print("chi-squared tails")
    for lam, r, q in [(2, 1, 65), (2, 1, 120), (1, 1, 130), (0.5, 3, 40), (0.5, 3, 150), (1, 4, 140)]:
        print("  lambda =", lam, "r =", r, "q =", q, mp.nstr(chi2_tail(lam, r, q), 12))
    print("two unequal coefficients")
    for l1, l2, q in [(3, 1, 110), (3, 1, 400)]:
        print("  ", l1, l2, q, mp.nstr(two_term_tail(l1, l2, q), 12))

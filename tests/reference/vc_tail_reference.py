#!/usr/bin/env python3
"""Independent reference values for the upper tail of Q = sum_j lambda_j chi2_1.

Used by the unit tests of the variance-component tail (test_tail_pvalues.cpp)
and by bench/bench_vc_tail.cpp.  Everything is computed in 50-digit mpmath
and shares no method with the program (which integrates along the path of
steepest descent through the saddlepoint):

  * equal coefficients, lambda chi2_r: the regularized upper incomplete gamma
    function Q(r/2, q / (2 lambda)), in closed form;
  * unequal coefficients: the series of Ruben (1962) and Moschopoulos (1985),
        P(Q > q) = C sum_k delta_k Q(r/2 + k, q / (2 beta)),
    beta = min lambda_j, C = prod_j sqrt(beta / lambda_j), delta_k the
    coefficients of prod_j (1 - c_j x)^(-1/2), c_j = 1 - beta / lambda_j.
    Every term is positive, so the sum keeps its relative accuracy however
    small the tail; the coefficients come from the linear recurrence that
    the product satisfies (D f' = N f with D = prod_j (1 - c_j x)), run at
    two precisions: where its rounding errors grew (widely spread
    coefficients: the two disagree) from the slower recurrence of the power
    series of the log of the product, whose terms are all positive; the
    incomplete gamma functions from Q(a + 1, y) = Q(a, y) + y^a e^-y / Gamma(a + 1);
  * a check of the series for two coefficients against one smooth integral
    over the first variable (mpmath quadrature), printed with --check.

Run:
  python3 tests/reference/vc_tail_reference.py            values of the unit tests
  python3 tests/reference/vc_tail_reference.py --table    the bench table (TSV)
  python3 tests/reference/vc_tail_reference.py --check    series against quadrature
"""
import math
import sys

import mpmath as mp

mp.mp.dps = 50


def equal_tail(lam, r, q):
    return mp.gammainc(mp.mpf(r) / 2, mp.mpf(q) / (2 * mp.mpf(lam)), mp.inf, regularized=True)


def _series(lams, q, positive):
    """The Ruben-Moschopoulos sum, its coefficients delta_k from one of two
    recurrences: positive=False, the linear recurrence of the product,
    D f' = N f with D = prod_j (1 - c_j x) (r terms per coefficient, but its
    rounding errors grow when the c_j are widely spread); positive=True, the
    recurrence of the power series of log f, (k + 1) delta_{k+1} =
    sum_{i=1}^{k+1} (i g_i) delta_{k+1-i}, i g_i = (1/2) sum_j c_j^i (every
    term positive, k terms per coefficient)."""
    r = len(lams)
    beta = min(lams)
    c = [1 - beta / l for l in lams]
    cmax = max(c)
    C = mp.fprod(mp.sqrt(beta / l) for l in lams)
    if not positive:
        # D(x) = prod (1 - c_j x), N(x) = sum_j (c_j / 2) prod_{i != j} (1 - c_i x).
        D = [mp.mpf(1)]
        for cj in c:
            D = [(D[i] if i < len(D) else 0) - (cj * D[i - 1] if i >= 1 else 0) for i in range(len(D) + 1)]
        N = [mp.mpf(0)] * r
        for j, cj in enumerate(c):
            P = [mp.mpf(1)]
            for i, ci in enumerate(c):
                if i != j:
                    P = [(P[k] if k < len(P) else 0) - (ci * P[k - 1] if k >= 1 else 0) for k in range(len(P) + 1)]
            for k in range(len(P)):
                N[k] += cj / 2 * P[k]
    powers = [mp.mpf(1)] * r
    ig = [mp.mpf(0)]
    y = q / (2 * beta)
    kmax = 2 * (y + 20 * mp.sqrt(y) + 50 + 100 / (1 - cmax)) if not positive else mp.inf
    a = mp.mpf(r) / 2
    Qa = mp.gammainc(a, y, mp.inf, regularized=True)
    Ta = mp.exp(a * mp.log(y) - y - mp.loggamma(a + 1))  # y^a e^-y / Gamma(a + 1)
    delta = [mp.mpf(1)]
    total = delta[0] * Qa
    k = 0
    while True:
        if positive:
            powers = [pw * cj for pw, cj in zip(powers, c)]
            ig.append(mp.fsum(powers) / 2)
            s = mp.fsum(ig[i] * delta[k + 1 - i] for i in range(1, k + 2))
        else:
            # (k + 1) delta_{k+1} = sum_i N_i delta_{k-i} - sum_{i>=1} D_i (k - i + 1) delta_{k-i+1}
            s = mp.mpf(0)
            for i in range(r):
                if k - i >= 0:
                    s += N[i] * delta[k - i]
            for i in range(1, r + 1):
                if k - i + 1 >= 0:
                    s -= D[i] * (k - i + 1) * delta[k - i + 1]
        delta.append(s / (k + 1))
        if not delta[-1] > 0 or k > kmax:
            # Every true coefficient is positive, and the terms fall well
            # before kmax: rounding errors have taken over.
            return mp.nan
        Qa += Ta
        Ta *= y / (a + 1)
        a += 1
        k += 1
        term = delta[k] * Qa
        total += term
        # The remaining terms fall like cmax^k once Q(a, y) is near 1.
        if a > y + 20 * mp.sqrt(y) + 50 and abs(delta[k]) / (1 - cmax) < mp.mpf(10) ** -40 * abs(total):
            break
    return C * total


def series_tail(lams, q):
    """Ruben-Moschopoulos series; lams a list of decimal strings or numbers.
    The fast linear recurrence, run at two precisions: where the two agree to
    35 digits its rounding errors did not grow, else the positive one."""
    lams = [mp.mpf(l) for l in lams]
    q = mp.mpf(q)
    if max(1 - min(lams) / l for l in lams) == 0:
        return equal_tail(min(lams), len(lams), q)
    with mp.workdps(mp.mp.dps + 30):
        high = _series(lams, q, False)
    low = _series(lams, q, False)
    if high > 0 and low > 0 and abs(low - high) <= mp.mpf(10) ** -35 * high:
        return +high
    return _series(lams, q, True)


def two_term_tail(l1, l2, q):
    """P(l1 X1 + l2 X2 > q), X1, X2 chi2_1, by one smooth integral: with X1 = (a sin t)^2,
    a = sqrt(q / l1), P = int_0^{pi/2} 2 phi(a sin t) P(X2 > q cos^2 t / l2) a cos t dt + P(X1 > q/l1)."""
    l1, l2, q = mp.mpf(l1), mp.mpf(l2), mp.mpf(q)
    a = mp.sqrt(q / l1)
    f = lambda t: 2 * mp.npdf(a * mp.sin(t)) * mp.erfc(mp.sqrt(q / (2 * l2)) * mp.cos(t)) * a * mp.cos(t)
    return mp.quad(f, mp.linspace(0, mp.pi / 2, 400)) + mp.erfc(a / mp.sqrt(2))


# ---- the sets of coefficients ---------------------------------------------------

SETS = {
    # one coefficient far above the others
    "dominant": ["1", "0.1", "0.05", "0.05"],
    # unequal coefficients: two, five from 1 to 0.5, and fifty decreasing
    "two": ["1", "0.5"],
    "five": ["1", "0.875", "0.75", "0.625", "0.5"],
    "fifty": [mp.nstr(mp.mpf("0.98") ** j, 20) for j in range(50)],
    # many equal coefficients
    "equal10": ["0.7"] * 10,
    "equal50": ["0.02"] * 50,
    # one coefficient alone: chi2_1
    "single": ["3"],
}


def float_log_tail(lams, q):
    """First-order saddlepoint approximation in floats: only to place the points."""
    def k1(s):
        return sum(l / (1 - 2 * l * s) for l in lams)
    lo, hi = 0.0, 0.5 / max(lams)
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        if k1(mid) < q:
            lo = mid
        else:
            hi = mid
    s = 0.5 * (lo + hi)
    K = -0.5 * sum(math.log1p(-2 * l * s) for l in lams)
    K2 = sum(2 * l * l / (1 - 2 * l * s) ** 2 for l in lams)
    return K - s * q - math.log(s * math.sqrt(2 * math.pi * K2))


def point_for(lams, log10_p):
    """q whose tail is near 10^log10_p."""
    lf = [float(l) for l in lams]
    target = log10_p * math.log(10)
    lo, hi = sum(lf) * 1.0001, sum(lf) + 5000 * max(lf)
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        if float_log_tail(lf, mid) > target:
            lo = mid
        else:
            hi = mid
    return float("%.6g" % (0.5 * (lo + hi)))


DECADES = [-3, -4, -5, -6, -7, -8, -10, -12, -15, -20, -30, -50, -75, -100, -150, -200, -250, -300, -307]


def reference(name, q):
    lams = SETS[name]
    if len(set(lams)) == 1:
        return equal_tail(lams[0], len(lams), q)
    return series_tail(lams, q)


def table():
    print("set\tr\tlambdas\tq\tp")
    for name, lams in SETS.items():
        for d in DECADES:
            q = point_for(lams, d)
            p = reference(name, q)
            print("%s\t%d\t%s\t%r\t%s" % (name, len(lams), ",".join(str(l) for l in lams), q, mp.nstr(p, 30)))
            sys.stdout.flush()


def check():
    for l1, l2, q in [("1", "0.5", 30), ("1", "0.5", 300), ("1", "0.5", 1300), ("3", "1", 400), ("1", "0.01", 100)]:
        a, b = series_tail([l1, l2], q), two_term_tail(l1, l2, q)
        print(l1, l2, q, mp.nstr(a, 25), mp.nstr(b, 25), mp.nstr(a / b - 1, 3))


def unit_values():
    print("chi-squared tails, lambda chi2_r")
    for lam, r, q in [("2", 1, 65), ("2", 1, 120), ("1", 1, 130), ("0.5", 3, 40), ("0.5", 3, 150), ("1", 4, 140),
                      ("1", 1, 1400), ("0.02", 50, 30), ("0.02", 50, 3)]:
        print("  lambda =", lam, "r =", r, "q =", q, mp.nstr(equal_tail(lam, r, q), 15))
    print("one dominant coefficient", SETS["dominant"])
    for q in [40, 300, 1300]:
        print("  q =", q, mp.nstr(series_tail(SETS["dominant"], q), 15))
    print("unequal coefficients")
    for lams, q in [(["3", "1"], 110), (["3", "1"], 400), (SETS["five"], 60), (SETS["five"], 700),
                    (SETS["fifty"], 150), (SETS["fifty"], 800)]:
        print("  r =", len(lams), "q =", q, mp.nstr(series_tail(lams, q), 15))
    print("below, at and above the mean of chi2_4 and of five unequal coefficients")
    for q in ["0.5", "2", "4", "4.00001", "6"]:
        print("  chi2_4 q =", q, mp.nstr(equal_tail(1, 4, q), 15))
    for q in ["0.3", "1", "3.75", "5"]:
        print("  five q =", q, mp.nstr(series_tail(SETS["five"], q), 15))


if __name__ == "__main__":
    if "--table" in sys.argv:
        table()
    elif "--check" in sys.argv:
        check()
    else:
        unit_values()

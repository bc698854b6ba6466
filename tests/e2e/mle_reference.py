#!/usr/bin/env python3
"""Independent check of the MLE end-to-end cases (trait-dependent sampling).

For each case folder (args, input/, expect/) it recomputes, from the input
files and the plain rules, every number of the result table and the trait log
that the MLE analyses of T5 (primary or secondary trait), VT and VC (primary
trait) write, and compares them with the expected files.  It shares no code
with the program:

  * the variants, the burden and the VT/VC columns come from the start-up
    parsing and the coding of ls_reference.py and ls_multi_reference.py;
  * the EM of the semiparametric model is run as written in the model's
    description (start values, E-step, M-step, the change measure with its
    tolerance 1e-4, the changes of the coefficients and of sigma11 counted
    in units of the pooled trait's standard deviation when that is below
    1), in plain double precision;
  * Louis' observed information is formed densely, every entry of Q11, Q12
    and Q13 over the coefficients, sigma11 and all n1 point weights; the
    sum-to-one constraint subtracts the last point's row and column; the
    nuisance block is inverted, or the whole reduced information for the
    covariance of a fit's estimates, by Gauss-Jordan elimination with
    partial pivoting;
  * the secondary-trait test refits the least-squares models and the
    delta-method correction from their normal equations;
  * p-values: chi-squared with one degree of freedom by erfc; VC by Imhof's
    formula in mpmath (ls_multi_reference.variance_component); VT by the
    one- or two-component normal integral of ls_multi_reference when the
    maximum statistic has no more components, else not checked.

Tolerances: a score U within 1e-8 of its standard deviation sqrt(V); a
covariance entry within 1e-8 of sqrt(V_kk V_ll); a statistic, estimate or
standard error within 1e-8 relative; a p-value within 1e-6 relative (T5),
1e-3 relative (VC) or 1 % (VT); each on top of half a unit in the last
printed digit.  Every other cell (names, counts, thresholds, warnings) must
be equal.  The data must need no rounding of the primary trait and have no
missing covariate (the script stops otherwise).

Usage: mle_reference.py CASE_DIR...    (exit status 1 when a value is off)
"""
import math
import os
import sys
from fractions import Fraction as F

import mpmath as mp

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ls_multi_reference import (code_column, genes_of, max_statistic, select_variants,  # noqa: E402
                                variance_component, vt_thresholds)
from ls_reference import MISSING, fields, read_case  # noqa: E402

TOLERANCE = 1e-8
mp.mp.dps = 20  # ample for the VC p-values' tolerance
EM_TOLERANCE = 1e-4
EM_CAP = 2000


# ----------------------------------------------------------------- algebra

def inverse(A):
    """Inverse of a square matrix of floats (Gauss-Jordan, partial pivoting)."""
    n = len(A)
    M = [list(map(float, row)) + [1.0 if i == j else 0.0 for j in range(n)] for i, row in enumerate(A)]
    for c in range(n):
        piv = max(range(c, n), key=lambda r: abs(M[r][c]))
        if M[piv][c] == 0.0:
            raise SystemExit("singular matrix; choose other data")
        M[c], M[piv] = M[piv], M[c]
        pv = M[c][c]
        M[c] = [x / pv for x in M[c]]
        for r in range(n):
            f = M[r][c]
            if r != c and f != 0.0:
                Mc = M[c]
                M[r] = [a - f * b for a, b in zip(M[r], Mc)]
    return [row[n:] for row in M]


def least_squares(y, W):
    """Coefficients, residuals and inverse normal matrix of y on the rows W."""
    k = len(W[0])
    inv = inverse([[sum(w[a] * w[b] for w in W) for b in range(k)] for a in range(k)])
    wy = [sum(w[a] * v for w, v in zip(W, y)) for a in range(k)]
    est = [sum(inv[a][b] * wy[b] for b in range(k)) for a in range(k)]
    res = [v - sum(w[a] * est[a] for a in range(k)) for w, v in zip(W, y)]
    return est, res, inv


# ----------------------------------------------------------------- the model

class Records:
    """The pooled records: the n1 sequenced subjects (count 1 each), then the
    distinct non-sequenced values in ascending order with their counts."""

    def __init__(self, y_seq, nonseq):
        values = sorted(set(nonseq))
        self.n1 = len(y_seq)
        self.y = list(y_seq) + values
        self.c = [1] * self.n1 + [nonseq.count(v) for v in values]
        self.n = sum(self.c)


def em(rec, W):
    """The EM fit on the design rows W (one per point): eta, sigma11, the
    point weights qm, the fitted values etaW and phi[i][j] for every record
    (the identity for the sequenced ones)."""
    n1, y, c, n = rec.n1, rec.y, rec.c, rec.n
    n0 = len(y) - n1
    d = len(W[0])
    qm = [1.0 / n1] * n1
    qm_0 = list(qm)
    mean = sum(ci * yi for ci, yi in zip(c, y)) / n
    s = sum(ci * (yi - mean) ** 2 for ci, yi in zip(c, y)) / n
    unit = min(1.0, math.sqrt(s))
    s_0 = s
    eta = [0.0] * d
    eta_0 = list(eta)
    etaW = [0.0] * n1
    post = [[0.0] * n1 for _ in range(n0)]
    for t in range(EM_CAP):
        for i in range(n0):
            u = [qm[j] * math.exp(-(y[n1 + i] - etaW[j]) ** 2 / (2 * s)) for j in range(n1)]
            total = sum(u)
            post[i] = [c[n1 + i] * uj / total for uj in u]
        a = [1.0 + sum(post[i][j] for i in range(n0)) for j in range(n1)]
        b = [y[j] + sum(post[i][j] * y[n1 + i] for i in range(n0)) for j in range(n1)]
        qm = [aj / n for aj in a]
        A = [[sum(a[j] * W[j][r] * W[j][q] for j in range(n1)) for q in range(d)] for r in range(d)]
        B = [sum(b[j] * W[j][r] for j in range(n1)) for r in range(d)]
        Ainv = inverse(A)
        eta = [sum(Ainv[r][q] * B[q] for q in range(d)) for r in range(d)]
        etaW = [sum(W[j][r] * eta[r] for r in range(d)) for j in range(n1)]
        s = sum((y[j] - etaW[j]) ** 2 + sum(post[i][j] * (y[n1 + i] - etaW[j]) ** 2 for i in range(n0))
                for j in range(n1)) / n
        change = abs(s_0 - s) / unit ** 2 + sum(abs(p - q) for p, q in zip(eta_0, eta)) / unit + sum(
            abs(p - q) for p, q in zip(qm_0, qm))
        if EM_TOLERANCE > change:
            break
        eta_0, qm_0, s_0 = eta, qm, s
    phi = [[1.0 if i == j else 0.0 for j in range(n1)] for i in range(n1)] + post
    return dict(eta=eta, s=s, qm=qm, etaW=etaW, phi=phi, iterations=t + 1)


def reduced_information(rec, fit, SZ, m1, full_fit):
    """Louis' information of the fit over (the m columns of SZ, sigma11, the
    n1 point weights), reduced for the constraint that the weights sum to
    one (order m + n1), and the records' scores of the first m1 columns
    summed.  The columns m1.. of SZ are the fitted design, in the order of
    eta.  full_fit: the information of the fit with the burden in its
    design (no coefficient-sigma11 entries in Q11, none of them in Q12)."""
    n1, y, c, n = rec.n1, rec.y, rec.c, rec.n
    s, qm, etaW, phi, eta = fit["s"], fit["qm"], fit["etaW"], fit["phi"], fit["eta"]
    m = len(SZ[0])
    q = m + n1
    Q11 = [[0.0] * (q + 1) for _ in range(q + 1)]
    Q12 = [[0.0] * (q + 1) for _ in range(q + 1)]
    Q13 = [[0.0] * (q + 1) for _ in range(q + 1)]
    R2 = R4 = 0.0
    for j in range(n1):
        r = [sum(phi[i][j] * (y[i] - etaW[j]) ** k for i in range(len(y))) for k in range(5)]
        R2 += r[2]
        R4 += r[4]
        for a in range(m):
            for b in range(m):
                Q11[a][b] += qm[j] * SZ[j][a] * SZ[j][b]
                Q12[a][b] += r[2] * SZ[j][a] * SZ[j][b]
            if not full_fit:
                Q11[a][m] -= r[1] * SZ[j][a]
            Q12[a][m] += r[3] * SZ[j][a]
            Q12[a][m + 1 + j] = Q12[m + 1 + j][a] = r[1] * SZ[j][a] / (s * qm[j])
        Q12[m][m + 1 + j] = Q12[m + 1 + j][m] = -n / (2 * s) + r[2] / (2 * s * s * qm[j])
    for a in range(m):
        for b in range(m):
            Q11[a][b] = -n * Q11[a][b] / s
            Q12[a][b] = Q12[a][b] / s ** 2
        Q11[a][m] = Q11[m][a] = Q11[a][m] / s ** 2
        Q12[a][m] = Q12[m][a] = 0.5 * Q11[a][m] + Q12[a][m] / (2 * s ** 3)
    Q12[m][m] = n / (4 * s ** 2) - R2 / (2 * s ** 3) + R4 / (4 * s ** 4)
    Q11[m][m] = -n / (2 * s ** 2)
    U = [0.0] * m1
    for i in range(len(y)):
        l = [0.0] * (q + 1)
        E = F_ = 0.0
        for a in range(m):
            ai = sum(phi[i][j] * SZ[j][a] for j in range(n1))
            bi = sum(phi[i][j] * etaW[j] * SZ[j][a] for j in range(n1))
            l[a] = (y[i] * ai - bi) / s
            if a >= m1:
                E += eta[a - m1] * ai
                F_ += eta[a - m1] * bi
        l[m] = -c[i] / (2 * s) + (y[i] ** 2 * c[i] - 2 * y[i] * E + F_) / (2 * s ** 2)
        for j in range(n1):
            l[m + 1 + j] = phi[i][j] / qm[j]
        for a in range(q + 1):
            if l[a] != 0.0:
                row, la = Q13[a], l[a] / c[i]
                for b in range(q + 1):
                    row[b] += la * l[b]
        for d in range(m1):
            U[d] += l[d]
    Q1 = [[Q13[a][b] - Q11[a][b] - Q12[a][b] for b in range(q + 1)] for a in range(q + 1)]
    L = q
    DQ = [Q1[a] if a <= m else [x - z for x, z in zip(Q1[a], Q1[L])] for a in range(q)]
    DQD = [[row[b] if b <= m else row[b] - row[L] for b in range(q)] for row in DQ]
    return DQD, U


def efficient(rec, fit, SZ, m1):
    """Efficient scores and covariance of the first m1 columns of SZ."""
    DQD, U = reduced_information(rec, fit, SZ, m1, False)
    nuisance = range(m1, len(DQD))
    inv = inverse([[DQD[f][g] for g in nuisance] for f in nuisance])
    cov = [[DQD[d][e] - sum(DQD[d][f] * inv[a][b] * DQD[e][g] for a, f in enumerate(nuisance)
                            for b, g in enumerate(nuisance)) for e in range(m1)] for d in range(m1)]
    return U, cov


def full_fit(rec, g, z):
    """The fit on (g, z): estimates (burden, covariates, sigma11) and their
    covariance from the inverse reduced information."""
    GZ = [[gj] + list(zj) for gj, zj in zip(g, z)]
    fit = em(rec, GZ)
    DQD, _ = reduced_information(rec, fit, GZ, 0, True)
    inv = inverse(DQD)
    k = len(GZ[0]) + 1
    return fit["eta"] + [fit["s"]], [row[:k] for row in inv[:k]]


def secondary_t5(rec, x, z1, y2, z2):
    """The secondary-trait score test and burden effect of the burden x (the
    n2 subjects with the trait first in x, z1 and the records)."""
    n2 = len(y2)
    p1 = len(z1[0])
    est, cov = full_fit(rec, x, z1)
    P = [row[:p1 + 1] for row in cov[:p1 + 1]]
    yw = [rec.y[i] - est[0] * x[i] - sum(est[k + 1] * z1[i][k] for k in range(p1)) for i in range(n2)]
    W = [[yw[i], x[i]] + list(z2[i]) for i in range(n2)]
    sec, res, inv_A = least_squares(y2, W)
    sigma22 = sum(e * e for e in res) / n2
    k = len(W[0])
    alpha, beta2 = sec[0], sec[1]

    def jacobian(col):
        t = [-sum(col[i] * y2[i] for i in range(n2)) + 2 * alpha * sum(col[i] * yw[i] for i in range(n2))
             + beta2 * sum(col[i] * x[i] for i in range(n2))
             + sum(sec[c + 2] * sum(col[i] * z2[i][c] for i in range(n2)) for c in range(len(z2[0])))]
        t.append(alpha * sum(col[i] * x[i] for i in range(n2)))
        t += [alpha * sum(col[i] * z2[i][c] for i in range(n2)) for c in range(len(z2[0]))]
        return [sum(inv_A[d][e] * t[e] for e in range(k)) for d in range(k)]

    J = [jacobian(x)] + [jacobian([z1[i][c] for i in range(len(x))]) for c in range(p1)]  # J[b][d]
    omega11 = sigma22 * inv_A[1][1] + sum(J[b][1] * P[b][a] * J[a][1] for a in range(p1 + 1)
                                          for b in range(p1 + 1))
    W0 = [[yw[i]] + list(z2[i]) for i in range(n2)]
    r_est, r, _ = least_squares(y2, W0)
    R = sum(e * e for e in r) / n2
    v = [sum(x[i] * x[i] for i in range(n2))] + [sum(z1[i][c] * x[i] for i in range(n2)) for c in range(p1)]
    vPv = sum(v[a] * P[a][b] * v[b] for a in range(p1 + 1) for b in range(p1 + 1))
    U = sum(r[i] * x[i] for i in range(n2)) / R
    V = 1 / (R * inv_A[1][1]) + r_est[0] ** 2 * vPv / R ** 2
    return U, V, beta2, math.sqrt(omega11)


# ----------------------------------------------------------------- the case

def standardised(covs):
    """The design of every subject: the intercept, then each covariate as
    the program prepares it (three or more distinct values: centred and
    divided by the standard deviation with divisor n - 1)."""
    n, p = len(covs), len(covs[0])
    cols = []
    for k in range(1, p):
        col = [float(r[k]) for r in covs]
        if len(set(col)) >= 3:
            mean = sum(col) / n
            sd = math.sqrt(sum((v - mean) ** 2 for v in col) / (n - 1))
            col = [(v - mean) / sd for v in col]
        cols.append(col)
    return [[1.0] + [col[i] for col in cols] for i in range(n)]


def expected(o, prim, sec, covs, sel, geno, mapping, nonseq):
    """The result table's rows and the trait log's records by gene: lists of
    cells, numbers as (value, scale) pairs."""
    if o["cov"] or o["INT"] or o["dominant"] or o["recessive"] or "log" in o or o["nsec"] > 1:
        raise SystemExit("only the default model, covariates and transformations, and at most one secondary "
                         "trait are checked")
    if any(v is MISSING for r in covs for v in r):
        raise SystemExit("missing covariates are not supported")
    n1 = len(prim)
    y_seq = [float(v) for v in prim]
    pooled = ["%.8e" % v for v in y_seq + nonseq]
    if len(pooled) > int(o.get("rounding", 500)) and len(set(pooled)) > int(o.get("rounding", 500)):
        raise SystemExit("the primary trait would be rounded; choose other data")
    z = standardised(covs)
    rec = Records(y_seq, nonseq)
    test, nsec = o["test"], o["nsec"]
    null = em(rec, z) if nsec == 0 else None
    table, log = {}, {}
    for gene, mrows in genes_of(mapping):
        rows, mafs, flags = select_variants(o, geno, mrows, n1)
        if not rows:
            continue
        var = [geno[k] for k in rows]
        qs = [1 - F(g["mac"]) / (2 * g["avc"]) for g in var]
        gv = [[None if g["vals"][i] is MISSING else F(g["vals"][i]) for g in var] for i in range(n1)]
        if test == "T5":
            qual = [m < F(5, 100) for m in mafs]
            if not any(qual):
                continue
            # The additive burden: a missing genotype counts its expectation 2 (1 - q).
            x = [float(sum((2 * (1 - qs[j]) if gv[i][j] is MISSING else gv[i][j] for j in range(len(var)) if qual[j]),
                           F(0))) for i in range(n1)]
            mac = []
            for i in range(n1):
                m_ = 0
                for j in range(len(var)):
                    if qual[j] and gv[i][j] is not None and gv[i][j] > F(1, 2):
                        m_ = int(m_ + gv[i][j])
                mac.append(m_)
            if nsec == 0:
                GZ = [[x[i]] + z[i] for i in range(n1)]
                U, cov = efficient(rec, null, GZ, 1)
                est, fcov = full_fit(rec, x, z)
                V, beta, se = cov[0][0], est[0], math.sqrt(fcov[0][0])
                U = U[0]
                mai = sum(1 for m_ in mac if m_ > 0)
            else:
                have = [i for i in range(n1) if sec[i][0] is not MISSING]
                order = have + [i for i in range(n1) if sec[i][0] is MISSING]
                r2 = Records([y_seq[i] for i in order], nonseq)
                U, V, beta, se = secondary_t5(r2, [x[i] for i in order], [z[i] for i in order],
                                              [float(sec[i][0]) for i in have], [z[i] for i in have])
                mai = sum(1 for i in have if mac[i] > 0)
            T = U / math.sqrt(V)
            table[gene] = [(T * T, T * T), (math.erfc(abs(T) / math.sqrt(2)), "p"), (beta, beta), (se, se), "."]
            log[gene] = [[str(mai), (U, math.sqrt(V)), (V, V)]]
            continue
        family = test
        thresh = vt_thresholds(o, var, mafs, flags) if family == "VT" else None
        K = len(thresh) if family == "VT" else len(var)
        if K == 0:
            continue
        S = [[None] * n1 for _ in range(K)]
        macs = [[0] * n1 for _ in range(K)]
        for i in range(n1):
            for k in range(K):
                sv, mv = code_column(family, 1, k, gv[i], qs, thresh, mafs, None)
                S[k][i], macs[k][i] = float(sv), mv
        SZ = [[S[k][i] for k in range(K)] + z[i] for i in range(n1)]
        U, cov = efficient(rec, null, SZ, K)
        if any(not cov[k][k] > 0 for k in range(K)):
            raise SystemExit("a column without positive variance; choose other data")
        mai = [sum(1 for m_ in macs[k] if m_ > 0) for k in range(K)]
        records = []
        for k in range(K):
            if family == "VT":
                lead = [gene, "%E" % float(thresh[k]), str(mai[k])]
            else:
                g = var[k]
                het = sum(1 for v in g["vals"] if v is not MISSING and abs(v - 1) < 1e-6)
                alt = sum(1 for v in g["vals"] if v is not MISSING and abs(v - 2) < 1e-6)
                lead = [gene, g["id"], "%E" % float(mafs[k]), str(mai[k]), str(g["avc"]),
                        str(g["avc"] - het - alt), str(het), str(alt)]
            cells = [(cov[k][l], math.sqrt(cov[k][k] * cov[l][l])) if l <= k else "0" for l in range(K)]
            records.append(lead[1:] + [(U[k], math.sqrt(cov[k][k]))] + cells)
        log[gene] = records
        UF = [F(u) for u in U]
        VF = [[F(v) for v in row] for row in cov]
        if family == "VC":
            w = [(25 * (1 - mp.mpf(float(m))) ** 24) ** 2 for m in mafs]
            stat, p = variance_component(UF, VF, w)
            table[gene] = [(float(stat), float(stat)), (float(p), "vc"), "."]
        else:
            stat = max(u * u / cov[k][k] for k, u in enumerate(U))
            try:
                _, p = max_statistic(UF, VF)
                table[gene] = [(stat, stat), (float(p), "vt"), "."]
            except SystemExit:  # more than two components: the p-value is not checked
                table[gene] = [(stat, stat), None, "."]
    return table, log


# ----------------------------------------------------------------- comparison

def half_unit(text):
    """Half a unit in the last digit of a number printed as %.<d>E."""
    mant, exp = text.upper().split("E")
    digits = len(mant.split(".")[1]) if "." in mant else 0
    return 0.5 * 10.0 ** (int(exp) - digits)


def compare(where, text, want, problems, worst):
    if want is None:
        return
    if isinstance(want, str):
        if text != want:
            problems.append("%s: '%s', expected '%s'" % (where, text, want))
        return
    value, scale = want
    got = float(text)
    if scale in ("p", "vc", "vt"):
        tol = {"p": 1e-6, "vc": 1e-3, "vt": 1e-2}[scale] * abs(value)
        scale = abs(value)
    else:
        tol = TOLERANCE * abs(scale)
    err = abs(got - value)
    beyond = max(0.0, err - half_unit(text))  # beyond the rounding of the printed value
    worst.append((beyond / abs(scale) if scale else 0.0, where))
    if beyond > tol:
        problems.append("%s: %s, expected %.12e (off by %.3g of %.3g)" % (where, text, value, err, abs(scale)))


def check(case):
    o, names, prim, sec, covs, sel, geno, mapping = read_case(case, "MLE")
    path = os.path.join(case, "input", o.get("pfile_nonseq", "pheno_nonseq.txt"))
    nonseq_rows = [fields(l) for l in open(path) if l.strip()]
    if any(len(r) != 1 for r in nonseq_rows):
        raise SystemExit("only a one-column file of non-sequenced values is supported")
    nonseq = [float(r[0]) for r in nonseq_rows]
    table, log = expected(o, prim, sec, covs, sel, geno, mapping, nonseq)
    trait = names[1] if o["nsec"] else names[0]
    problems, worst = [], []
    rows = [l.rstrip("\n").split("\t") for l in open(os.path.join(case, "expect", o["ofile"]))][2:]
    if [r[0] for r in rows] != list(table):
        problems.append("table genes %s, expected %s" % ([r[0] for r in rows], list(table)))
    for r in rows:
        for col, (text, want) in enumerate(zip(r[1:], table.get(r[0], []))):
            compare("%s %s column %d" % (o["ofile"], r[0], col + 2), text, want, problems, worst)
    log_name = "%s_%s_MLE" % (o["msglog"], trait)
    lines = [l.rstrip("\n").split("\t") for l in open(os.path.join(case, "expect", log_name))][1:]
    want_lines = [[gene] + rec_ for gene, recs in log.items() for rec_ in recs]
    if [l[0] for l in lines] != [w[0] for w in want_lines]:
        problems.append("log genes differ")
    for l, w in zip(lines, want_lines):
        if len(l) != len(w):
            problems.append("%s %s: %d cells, expected %d" % (log_name, l[0], len(l), len(w)))
        for col, (text, want) in enumerate(zip(l[1:], w[1:])):
            compare("%s %s column %d" % (log_name, l[0], col + 2), text, want, problems, worst)
    worst.sort()
    return problems, len(worst), worst[-1] if worst else (0.0, "")


def main():
    failed = False
    for case in sys.argv[1:]:
        problems, count, (rel, where) = check(case.rstrip("/"))
        name = os.path.basename(case.rstrip("/"))
        for p in problems:
            print("%s: %s" % (name, p))
        largest = ("largest difference beyond the printed digits %.2g of its scale, %s" % (rel, where) if rel > 0
                   else "each equal to the reference within its printed digits")
        print("%s: %s, %d values (%s)" % (name, "FAILED" if problems else "ok", count, largest))
        failed = failed or bool(problems)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Independent reference for the least-squares VT, VC and customized tests.

Given an end-to-end case folder (args, input/), computes from the plain rules
what the program must write: the result table, the trait logs and the
gene-loop part of the console text.  It shares no code with the program:

  * variants, codings and column checks are recomputed from the input files
    (the start-up parsing and the exact-arithmetic algebra of ls_reference.py
    are reused);
  * scores and covariances are exact rationals: U_k = r'S_k / (RSS/n) and
    cov_kl = S_k'(I - H)S_l * (RSS/(n - p)) / (RSS/n)^2;
  * the maximum-statistic p-value of one or two components is the normal tail
    erfc(T / sqrt 2) or one minus a bivariate normal box probability by
    numerical quadrature in mpmath; more components are not supported, except
    perfectly correlated ones, which the combination leaves out;
  * the variance-component p-value is Imhof's inversion formula integrated in
    mpmath over the eigenvalues that mpmath finds for the weighted covariance,
    the weights being the Beta(1, 25) density 25 (1 - maf)^24, squared (the
    variant-side matrix, also where the program takes the eigenvalues from
    the smaller subject-side one).

A value that lies too close to a rounding boundary of its printed form stops
the script: choose other data.

Usage: ls_multi_reference.py CASE_DIR [--write STARTUP_STDOUT]  (as ls_reference.py)
"""
import os
import sys
from fractions import Fraction as F

import mpmath as mp

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ls_reference import (MISSING, at_least, column_det_flag, crossprod, fields,  # noqa: E402
                          rank_inverse_normal, read_case, solve_inverse)
from ls_reference import main as reference_main  # noqa: E402

mp.mp.dps = 40


# ------------------------------------------------------------ formatting

def fmt(x, form, tol_rel=5e-14, tol_abs=0.0):
    """x formatted with form; stops when x +- its tolerance prints otherwise."""
    v = mp.mpf(x) if not isinstance(x, F) else mp.mpf(x.numerator) / x.denominator
    out = form % float(v)
    d = abs(v) * tol_rel + tol_abs
    if form % float(v - d) != out or form % float(v + d) != out:
        raise SystemExit("value %s too close to a rounding boundary of %s; choose other data" % (v, form))
    return out


def E9(x):
    return fmt(x, "%.9E")


# ------------------------------------------------------------ combination

def phi_cdf(x):
    return mp.ncdf(x)


def max_statistic(U, V):
    valid = [k for k in range(len(U)) if V[k][k] > 0]
    z = [abs(mp.mpf(U[k].numerator) / U[k].denominator) / mp.sqrt(mp.mpf(V[k][k].numerator) / V[k][k].denominator)
         for k in valid]
    T = z[0]
    for v in z[1:]:
        if v > T:
            T = v
    keep = [True] * len(valid)
    for a in range(len(valid)):
        for c in range(a + 1, len(valid)):
            ka, kc = valid[a], valid[c]
            num, den = V[ka][kc] ** 2, V[ka][ka] * V[kc][kc]
            if V[ka][kc] > 0 and num == den:
                keep[c] = False
            elif V[ka][kc] > 0 and abs(num / den - 1) < F(1, 10 ** 8):
                raise SystemExit("correlation near 1 but not 1; choose other data")
    kept = [valid[a] for a in range(len(valid)) if keep[a]]
    if len(kept) == 1:
        p = mp.erfc(T / mp.sqrt(2))
    elif len(kept) == 2:
        a, b = kept
        rho = (mp.mpf(V[a][b].numerator) / V[a][b].denominator) / mp.sqrt(
            mp.mpf((V[a][a] * V[b][b]).numerator) / (V[a][a] * V[b][b]).denominator)
        s = mp.sqrt(1 - rho * rho)
        box = mp.quad(lambda x: mp.npdf(x) * (phi_cdf((T - rho * x) / s) - phi_cdf((-T - rho * x) / s)), [-T, 0, T])
        p = 1 - box
    else:
        raise SystemExit("more than two components for the maximum statistic; choose other data")
    return T * T, p


def imhof_upper(lams, q):
    """P(sum_j lam_j chi2_1 > q) by Imhof's formula."""
    if len(lams) == 1:
        return mp.erfc(mp.sqrt(q / lams[0]) / mp.sqrt(2))

    def f(u):
        theta = sum(mp.atan(lm * u) for lm in lams) / 2 - q * u / 2
        rho = mp.fprod((1 + (lm * u) ** 2) ** mp.mpf(0.25) for lm in lams)
        return mp.sin(theta) / (u * rho)

    return mp.mpf(1) / 2 + mp.quadosc(f, [0, mp.inf], omega=q / 2) / mp.pi


def variance_component(U, V, w):
    valid = [k for k in range(len(U)) if V[k][k] > 0]
    Q = sum(w[k] * (mp.mpf(U[k].numerator) / U[k].denominator) ** 2 for k in valid)
    m = len(valid)
    A = mp.matrix(m, m)
    for a in range(m):
        for b in range(m):
            ka, kb = valid[a], valid[b]
            A[a, b] = mp.sqrt(w[ka]) * mp.sqrt(w[kb]) * mp.mpf(V[ka][kb].numerator) / V[ka][kb].denominator
    ev = mp.eigsy(A, eigvals_only=True)
    ev = [ev[i] for i in range(m)]
    nonneg = [e for e in ev if e >= 0]
    cut = sum(nonneg) / len(nonneg) / 100000
    lams = [e for e in ev if e > cut]
    return Q, imhof_upper(lams, Q)


# ------------------------------------------------------------ columns

def code_column(family, model, k, gvals, qs, thresh, mafs, wts):
    """Scores S and minor-allele counts of column k for one subject's genotypes."""
    nsnp = len(gvals)
    if family == "customized":
        members = range(nsnp)
        mac = 0
        for j in members:
            x = gvals[j]
            if abs(wts[k][j]) > F(1, 10 ** 10) and x is not MISSING and x >= 1:
                mac = int(mac + x)
        s = sum((wts[k][j] * (2 * (1 - qs[j]) if gvals[j] is MISSING else gvals[j]) for j in members), F(0))
        return s, mac
    if family == "VC":
        x, q = gvals[k], qs[k]
        mac = int(x) if x is not MISSING and x >= 1 else 0
        if model == 2:
            s = 1 - q * q if x is MISSING else F(1 if x > F(1, 2) else 0)
        elif model == 3:
            s = (1 - q) ** 2 if x is MISSING else F(1 if x > F(3, 2) else 0)
        else:
            s = 2 * (1 - q) if x is MISSING else x
        return s, mac
    members = [j for j in range(nsnp) if thresh[k] >= mafs[j]]
    mac = 0
    for j in members:
        if gvals[j] is not MISSING and gvals[j] >= 1:
            mac = int(mac + gvals[j])
    miss = [qs[j] for j in members if gvals[j] is MISSING]
    if model == 2:
        if any(gvals[j] is not MISSING and gvals[j] > F(1, 2) for j in members):
            s = F(1)
        else:
            s = at_least(1, miss) if miss else F(0)
    elif model == 3:
        carried = sum((gvals[j] for j in members if gvals[j] is not MISSING and gvals[j] > F(1, 2)), F(0))
        if carried >= 2:
            s = F(1)
        elif not miss:
            s = F(0)
        else:
            s = at_least(2 - int(carried), miss)
    else:
        s = sum((2 * (1 - qs[j]) if gvals[j] is MISSING else gvals[j] for j in members), F(0))
    return F(s), mac


def ls_scoreset(y, Z, S, macs, rec, mai_lb):
    """Checks, scores and covariance of the K columns S[k] (lists over the subjects)."""
    K = len(S)
    n, p = len(y), len(Z[0])
    mai, mac, ok = [], [], []
    for k in range(K):
        mac.append(sum(macs[k]))
        mai.append(sum(1 for m in macs[k] if (m >= 2 if rec else m > 0)))
        flagged = mai_lb > mai[k] or len(S[k]) < 1 or all(s == S[k][0] for s in S[k]) or column_det_flag(S[k], Z)
        ok.append(not flagged)
    U = [F(0)] * K
    V = [[F(0)] * K for _ in range(K)]
    if any(ok) and n > p:
        izz = solve_inverse(crossprod(Z))
        zty = [sum(r[a] * v for r, v in zip(Z, y)) for a in range(p)]
        beta = [sum(izz[a][b] * zty[b] for b in range(p)) for a in range(p)]
        res = [v - sum(r[a] * beta[a] for a in range(p)) for r, v in zip(Z, y)]
        rss = sum(e * e for e in res)
        sig = rss / n
        s2 = rss / (n - p)

        def resid_cross(Sk, Sl):
            zk = [sum(r[a] * s for r, s in zip(Z, Sk)) for a in range(p)]
            zl = [sum(r[a] * s for r, s in zip(Z, Sl)) for a in range(p)]
            return sum(a * b for a, b in zip(Sk, Sl)) - sum(zk[a] * izz[a][b] * zl[b] for a in range(p)
                                                           for b in range(p))

        for k in range(K):
            if not ok[k]:
                continue
            U[k] = sum(e * s for e, s in zip(res, S[k])) / sig
            for l in range(K):
                if ok[l]:
                    V[k][l] = resid_cross(S[k], S[l]) * s2 / (sig * sig)
        for k in range(K):
            if ok[k] and not V[k][k] > 0:
                ok[k] = False
                U[k] = F(0)
                for l in range(K):
                    V[k][l] = V[l][k] = F(0)
    else:
        ok = [False] * K
    return dict(U=U, V=V, mac=mac, mai=mai, n_work=sum(ok))


# ------------------------------------------------------------ genes

def genes_of(mapping):
    """The mapping rows (sorted by gene) grouped by gene, in order."""
    genes = []
    for r in mapping:
        if not genes or genes[-1][0] != r[0]:
            genes.append((r[0], []))
        genes[-1][1].append(r)
    return genes


def select_variants(o, geno, mrows, n1):
    """The gene's variants that pass the filters: their genotype rows in file
    order, their frequencies (the mapping's, or the genotype file's for a
    two-column mapping) and, with a four-column mapping, their threshold
    flags (else None).  Each mapping row takes the first genotype row of its
    variant that passes."""
    crc = n1 * o["CR"]
    ext = len(mrows[0]) == 4
    two_col = len(mrows[0]) == 2
    chosen, flag_of = {}, {}
    for r in mrows:
        mmaf = None if two_col else F(float(r[2]))
        if not two_col and not (F(1, 10 ** 10) <= mmaf <= F(o["MAF"])):
            continue
        for k, g in enumerate(geno):
            if g["id"] != r[1] or not g["avc"] >= crc:
                continue
            if not ext and (g["mac"] < 1 or g["singular"]):
                continue
            if two_col and not g["maf"] <= F(o["MAF"]):
                continue
            chosen[k] = F(g["maf"]) if two_col else mmaf
            if ext:
                flag_of[k] = int(r[3])
            break
    rows = sorted(chosen)
    return rows, [chosen[k] for k in rows], [flag_of[k] for k in rows] if ext else None


def vt_thresholds(o, var, mafs, flags):
    """VT thresholds: the flagged frequencies of a four-column mapping, else
    each distinct frequency (first seen first) whose variants at or below it
    carry at least -MAC minor alleles, when the gene's do."""
    if flags is not None:
        assert all(f in (0, 1) for f in flags)
        return [m for m, f in zip(mafs, flags) if f == 1]
    thresh = []
    if sum(g["mac"] for g in var) >= o["MAC"]:
        for j, m in enumerate(mafs):
            if m in mafs[:j]:
                continue
            if sum(g["mac"] for g, mm in zip(var, mafs) if m >= mm) >= o["MAC"]:
                thresh.append(m)
    assert len(thresh) <= 10
    return thresh


# ------------------------------------------------------------ the run

def weights_of(path, gene, ids):
    rows = [fields(l) for l in open(path)]
    start = next((i for i, r in enumerate(rows) if r and r[0] == gene), None)
    if start is None:
        return []
    wt = None
    for r in rows[start:]:
        if not r or r[0] != gene:
            break
        if r[1] in ids:
            vals = [F(v) for v in r[2:]]
            if wt is None:
                wt = [[F(0)] * len(ids) for _ in vals]
            for t, v in enumerate(vals):
                wt[t][ids.index(r[1])] = v
    return wt or []


def run(case):
    o, names, prim, sec, covs, sel, geno, mapping = read_case(case)
    inp = os.path.join(case, "input")
    n1 = len(prim)
    nsec = o["nsec"]
    pair = nsec > 0 and o["sampling"] != "random"
    test = o["test"]
    family = "customized" if test == "customized" else test
    model = 2 if o["dominant"] else (3 if o["recessive"] else 1)
    if family == "customized":
        model = 1
    rec = 1 if (model == 3 and family != "customized") else 0
    label = {"VT": "VT", "VC": "VC", "customized": "Tmax"}[family]
    if nsec == 0:
        log_names = ["%s_%s_LS" % (o["msglog"], names[0])]
    else:
        log_names = []
        for t in range(1, nsec + 1):
            stem = "%s_%s" % (o["msglog"], names[t])
            log_names += [stem + "_LS-M", stem + "_LS-C"] if pair else [stem + "_LS"]
    logs = {nm: ["#Samples = %d\n" % n1] for nm in log_names}
    out_rows, console = [], []

    for gene, mrows in genes_of(mapping):
        console.append("\n||---- GENE %s ----||\n" % gene)
        rows, mafs, flags = select_variants(o, geno, mrows, n1)
        if not rows:
            console.append("*********** Skip ***********\n")
            continue
        var = [geno[k] for k in rows]
        qs = [1 - F(g["mac"]) / (2 * g["avc"]) for g in var]
        ids = [g["id"] for g in var]
        thresh, wts, w = None, None, None
        if family == "VT":
            thresh = vt_thresholds(o, var, mafs, flags)
            K = len(thresh)
        elif family == "VC":
            K = len(rows)
            w = [(25 * (1 - mp.mpf(float(m))) ** 24) ** 2 for m in mafs]
        else:
            wts = weights_of(os.path.join(inp, o.get("wfile", "wfile.txt")), gene, ids)
            K = len(wts)
        if K == 0:
            continue

        row = gene

        def analysis(subjects, y, Z, log_name, zero=False, record_after=False):
            S = [[] for _ in range(K)]
            macs = [[] for _ in range(K)]
            for i in subjects:
                gv = [None if g["vals"][i] is MISSING else F(g["vals"][i]) for g in var]
                for k in range(K):
                    s, m = code_column(family, model, k, gv, qs, thresh, mafs, wts)
                    S[k].append(s)
                    macs[k].append(m)
            res = ls_scoreset(y, Z, S, macs, rec, o["MAC"])
            if zero:  # LS-C on a design whose extra column repeats the intercept
                res.update(U=[F(0)] * K, V=[[F(0)] * K for _ in range(K)], n_work=0)
            rec_lines = []
            for t in range(K):
                if family == "VT":
                    lead = "%s\t%s\t%d\t%s" % (gene, "%E" % float(thresh[t]), res["mai"][t], E9(res["U"][t]))
                elif family == "VC":
                    g = var[t]
                    het = sum(1 for v in g["vals"] if v is not MISSING and abs(v - 1) < 1e-6)
                    alt = sum(1 for v in g["vals"] if v is not MISSING and abs(v - 2) < 1e-6)
                    lead = "%s\t%s\t%s\t%d\t%d\t%d\t%d\t%d\t%s" % (gene, g["id"], "%E" % float(mafs[t]),
                                                                 res["mai"][t], g["avc"], g["avc"] - het - alt,
                                                                 het, alt, E9(res["U"][t]))
                else:
                    lead = "%s\t%d\t%d\t%s" % (gene, t, res["mac"][t], E9(res["U"][t]))
                cells = "".join("\t" + (E9(res["V"][t][u]) if u <= t else "0") for u in range(K))
                rec_lines.append(lead + cells + "\n")
            limit = {"VT": 20, "VC": 10 ** 9, "customized": 19}[family]
            if res["n_work"] < 1:
                block = "\tNA\tNA\tVar_Null"
            elif res["n_work"] > limit:
                if family == "VT":
                    console.append("GENE %s Warning: %d usable VT thresholds exceed the limit of 20; no p-value "
                                   "is computed.\n" % (gene, res["n_work"]))
                block = "\tNA\tNA\tVar_Null"
            else:
                if family == "VC":
                    stat, p = variance_component(res["U"], res["V"], w)
                    # Below 1e-3 the program takes the tail by an inversion
                    # accurate to a relative 1e-8; above, Davies' value,
                    # accurate to an absolute 1e-8.
                    if p < mp.mpf("1e-3"):
                        ptxt = fmt(p, "%.4E", tol_rel=1e-7)
                    else:
                        ptxt = fmt(p, "%.4E", tol_rel=1e-6, tol_abs=2e-8)
                else:
                    stat, p = max_statistic(res["U"], res["V"])
                    ptxt = fmt(p, "%.4E", tol_rel=1e-9, tol_abs=1e-14)
                block = "\t%s\t%s\t." % (fmt(stat, "%.9E"), ptxt)
            logs[log_name].extend(rec_lines)
            return block, res

        def design(i, t_sel):
            return [F(1)] + [covs[i][c] for c in range(1, len(covs[i])) if sel[t_sel][c - 1]]

        if nsec == 0:
            subjects = list(range(n1))
            b, _ = analysis(subjects, [prim[i] for i in subjects], [design(i, 0) for i in subjects], log_names[0])
            row += b
        else:
            for t in range(nsec):
                have = [i for i in range(n1) if sec[i][t] is not MISSING]
                y2 = [sec[i][t] for i in have]
                if o["INT"]:
                    y2 = [F(v) for v in rank_inverse_normal([float(v) for v in y2])]
                Z2 = [design(i, t + 1) for i in have]
                if not pair:
                    b, _ = analysis(have, y2, Z2, log_names[t])
                    row += b
                    continue
                b, _ = analysis(have, y2, Z2, log_names[2 * t])
                row += b
                constant = len(have) >= 1 and all(prim[i] == prim[have[0]] for i in have)
                ZY = [z + [prim[i]] for z, i in zip(Z2, have)]
                if constant:
                    ZY = Z2  # counts only; the scores are zeroed
                b, _ = analysis(have, y2, ZY, log_names[2 * t + 1], zero=constant)
                row += b
        out_rows.append(row + "\n")

    header = []
    if nsec == 0:
        header.append("\t------\t%s_LS\t------\n" % names[0])
        header.append("ID\tStatistic\tP-value\tWarn\n")
    else:
        line = ""
        for t in range(1, nsec + 1):
            if pair:
                line += "\t------\t%s_LS-M\t------\t------\t%s_LS-C\t------" % (names[t], names[t])
            else:
                line += "\t------\t%s_LS\t------" % names[t]
        header.append(line + "\nID" + "\tStatistic\tP-value\tWarn" * (nsec * (2 if pair else 1)) + "\n")
    files = {o["ofile"]: "".join(header + out_rows)}
    for nm in log_names:
        files[nm] = "".join(logs[nm])
    return files, "".join(console)


if __name__ == "__main__":
    reference_main(run)

#!/usr/bin/env python3
"""Independent reference for the least-squares single-burden analyses.

Given an end-to-end case folder (args, input/), computes from the plain rules
what the program must write: the result table, the trait logs and the
gene-loop part of the console text.  It shares no code with the program:

  * the variants of a gene are found by scanning every genotype row for every
    mapping row (the first row in file order that passes the filters), the
    genotype file being read as a whole;
  * the recessive burden at missing sites is the probability from an explicit
    convolution of the per-site allele-count distributions;
  * every least-squares quantity is computed in exact rational arithmetic
    (fractions.Fraction) by Gauss-Jordan elimination; only square roots,
    the normal quantile and erfc are taken in floating point at the end;
  * the p-value of a chi-squared statistic with one degree of freedom is
    erfc(|T| / sqrt(2)), or the smallest normal double when it is smaller.

Covariates must have no missing values (the program imputes them); continuous
covariates may be standardised by the program, which changes none of the
least-squares results (the intercept is always in the model), so they are used
as read.

Usage: ls_reference.py CASE_DIR [--write STARTUP_STDOUT]
Without --write it prints what it would write.  With it, it writes the
expected output files into CASE_DIR/expect/ and CASE_DIR/stdout: the console
text of the start-up (banner, option echo, readers, summary; checked by the
option and reader cases) is taken from STARTUP_STDOUT, a run's console text,
up to the START SCORE TEST block, and everything after it (gene lines, skip
lines, end block) is written from this reference.
"""
import math
import os
import re
import statistics
import sys
from fractions import Fraction as F

MISSING = None


def parse_args(path):
    with open(path) as f:
        argv = [line.rstrip("\n") for line in f if line.rstrip("\n") != ""]
    o = dict(sampling="TDS", method="MLE", nsec=0, test=None, dominant=False, recessive=False, MAF=0.05, MAC=1,
             CR=0.0, INT=False, cov=None, gfile="geno.txt", mfile="mapping.txt", ofile="output.txt",
             msglog="log", pfile_seq="pheno_seq.txt")
    i = 0
    while i < len(argv):
        a = argv[i]
        if a in ("-dominant", "-recessive", "-INT"):
            o[a[1:]] = True
            i += 1
            continue
        v = argv[i + 1]
        key = a[1:]
        if key in ("nsec", "MAC"):
            o[key] = int(v)
        elif key in ("MAF", "CR"):
            o[key] = float(v)
        else:
            o[key] = v
        i += 2
    if o["sampling"] != "TDS":
        o["method"] = "LS"
    if o["test"] == "MB":
        o["dominant"] = o["recessive"] = False
    if o["dominant"]:
        o["recessive"] = False  # dominant wins, for the coding and the carrier count alike
    assert o["method"] == "LS", "least squares only"
    return o


def fields(line):
    return line.split()


def is_na(tok):
    return len(tok) >= 2 and tok[0] == "N" and tok[1] == "A"


def genotype_value(tok):
    """Start-up rule: missing when the first character is N, the second A, or
    the value is -999."""
    if tok[:1] == "N" or tok[1:2] == "A":
        return MISSING
    v = float(tok)
    return MISSING if v == -999.0 else v


def read_case(case):
    o = parse_args(os.path.join(case, "args"))
    inp = os.path.join(case, "input")
    rows = [fields(l) for l in open(os.path.join(inp, o["pfile_seq"])) if l.strip()]
    header, body = rows[0], rows[1:]
    nsec = o["nsec"]
    random = o["sampling"] == "random"
    lead = 0 if random else 1
    names = ([""] if random else [header[0]]) + header[lead:lead + nsec]
    prim = [F(0) if random else F(r[0]) for r in body]
    sec = [[MISSING if is_na(r[lead + t]) else F(r[lead + t]) for t in range(nsec)] for r in body]
    covs = [[F(1)] + [F(x) for x in r[lead + nsec:]] for r in body]
    p = len(covs[0])
    sel = [[1] * (p - 1) for _ in range(nsec + 1)]
    if o["cov"]:
        crow = [fields(l) for l in open(os.path.join(inp, o["cov"])) if l.strip()]
        sel = [[1 if float(x) > 0.5 else 0 for x in crow[t]] for t in range(nsec + 1)]
    geno = []
    for l in open(os.path.join(inp, o["gfile"])):
        f = fields(l)
        if not f:
            continue
        vals = [genotype_value(t) for t in f[1:]]
        called = [v for v in vals if v is not MISSING]
        mac = sum(called)
        geno.append(dict(id=f[0], vals=vals, avc=len(called), mac=mac, maf=mac / (2 * len(called)),
                         singular=all(v == called[0] for v in called)))
    mapping = None
    if o["test"]:
        mrows = [fields(l) for l in open(os.path.join(inp, o["mfile"])) if l.strip()]
        mrows = sorted(mrows, key=lambda r: r[0].encode())  # stable
        mapping = mrows
    return o, names, prim, sec, covs, sel, geno, mapping


# ----------------------------------------------------------------- algebra

def solve_inverse(A):
    """Inverse of a square rational matrix by Gauss-Jordan elimination."""
    n = len(A)
    M = [list(row) + [F(int(i == j)) for j in range(n)] for i, row in enumerate(A)]
    for c in range(n):
        piv = next((r for r in range(c, n) if M[r][c] != 0), None)
        if piv is None:
            raise ValueError("singular")
        M[c], M[piv] = M[piv], M[c]
        pv = M[c][c]
        M[c] = [x / pv for x in M[c]]
        for r in range(n):
            if r != c and M[r][c] != 0:
                fct = M[r][c]
                M[r] = [a - fct * b for a, b in zip(M[r], M[c])]
    return [row[n:] for row in M]


def det(A):
    n = len(A)
    M = [list(r) for r in A]
    d = F(1)
    for c in range(n):
        piv = next((r for r in range(c, n) if M[r][c] != 0), None)
        if piv is None:
            return F(0)
        if piv != c:
            M[c], M[piv] = M[piv], M[c]
            d = -d
        d *= M[c][c]
        for r in range(c + 1, n):
            fct = M[r][c] / M[c][c]
            M[r] = [a - fct * b for a, b in zip(M[r], M[c])]
    return d


def crossprod(X):
    k = len(X[0])
    return [[sum(r[a] * r[b] for r in X) for b in range(k)] for a in range(k)]


def ols(y, X):
    """Coefficients, residuals and RSS of y on X."""
    inv = solve_inverse(crossprod(X))
    k = len(X[0])
    xty = [sum(r[a] * yy for r, yy in zip(X, y)) for a in range(k)]
    beta = [sum(inv[a][b] * xty[b] for b in range(k)) for a in range(k)]
    res = [yy - sum(r[a] * beta[a] for a in range(k)) for r, yy in zip(X, y)]
    return beta, res, sum(e * e for e in res), inv


def ls_block(y, S, Z):
    """Score test and effect of burden S for trait y adjusted for design Z."""
    N = len(y)
    _, r, rss, izz = ols(y, Z)
    errvar = rss / N
    U = sum(a * b for a, b in zip(r, S))
    zs = [sum(row[d] * s for row, s in zip(Z, S)) for d in range(len(Z[0]))]
    quad = sum(zs[a] * izz[a][b] * zs[b] for a in range(len(zs)) for b in range(len(zs)))
    V = (sum(s * s for s in S) - quad) * errvar
    X = [[s] + list(row) for s, row in zip(S, Z)]
    beta, _, rss_full, inv = ols(y, X)
    beta_est = beta[0]
    beta_se = math.sqrt(float(rss_full / N * inv[0][0]))
    if V <= 0:
        return dict(defined=False, beta_est=beta_est, beta_se=beta_se)
    T = float(U) / math.sqrt(float(V))
    # A p-value below the smallest normal double prints as that double.
    pvalue = max(math.erfc(abs(T) / math.sqrt(2)), sys.float_info.min)
    return dict(defined=True, stat=U * U / V, pvalue=pvalue, beta_est=beta_est,
                beta_se=beta_se, U=U / errvar, V=V / (errvar * errvar))


def E9(x):
    return "%.9E" % float(x)


def E4(x):
    return "%.4E" % float(x)


# ----------------------------------------------------------------- burden

def at_least(k, qs):
    """P(at least k minor alleles over sites with common-allele frequency q,
    two alleles per site, Hardy-Weinberg), by convolution."""
    dist = [1.0]
    for q in qs:
        site = [q * q, 2 * q * (1 - q), (1 - q) * (1 - q)]
        new = [0.0] * (len(dist) + 2)
        for a, pa in enumerate(dist):
            for b, pb in enumerate(site):
                new[a + b] += pa * pb
        dist = new
    return sum(dist[k:])


def rank_inverse_normal(v):
    n = len(v)
    order = sorted(range(n), key=lambda i: v[i])  # stable: ties in index order
    out = [0.0] * n
    nd = statistics.NormalDist()
    for r, i in enumerate(order):
        out[i] = nd.inv_cdf((r + 0.5) / n)
    return out


# ----------------------------------------------------------------- the run

def column_det_flag(S, Z):
    """Singular_covariates of the check: |det([S, Z]'[S, Z])| < 1e-20 in the
    program.  Decided here only where the answer cannot depend on rounding."""
    X = [[s] + list(r) for s, r in zip(S, Z)]
    if not X:
        return True
    if all(s == 0 for s in S):
        return True
    if all(s == S[0] for s in S):  # equal to a multiple of the intercept
        return True
    d = det(crossprod(X))
    if d == 0:
        raise SystemExit("ambiguous singular design; choose other data")
    # Standardised covariates change the determinant by a positive factor;
    # require a clear margin in either scaling.
    if abs(float(d)) < 1e-6:
        raise SystemExit("determinant too close to the bound; choose other data")
    return False


def run(case):
    o, names, prim, sec, covs, sel, geno, mapping = read_case(case)
    n1 = len(prim)
    nsec = o["nsec"]
    pair = nsec > 0 and o["sampling"] != "random"
    rec_flag = 1 if o["recessive"] else 0
    out_rows = []
    logs = {}
    console = []

    def log_name(t, kind):
        return "%s_%s_%s" % (o["msglog"], names[t], kind)

    if nsec == 0:
        log_names = [log_name(0, "LS")]
    else:
        log_names = []
        for t in range(1, nsec + 1):
            log_names += [log_name(t, "LS-M"), log_name(t, "LS-C")] if pair else [log_name(t, "LS")]
    for nm in log_names:
        logs[nm] = ["#Samples = %d\n" % n1]

    def check(mac, S, Z):
        mai = sum(1 for m in mac if m >= (2 if rec_flag else 1))
        toks = ""
        if o["MAC"] > mai:
            toks += "Low_MAC,"
        if len(S) < 1 or all(s == S[0] for s in S):
            toks += "Singular_score,"
        if column_det_flag(S, Z):
            toks += "Singular_covariates,"
        return mai, toks

    def block(res, warn):
        if not res["defined"]:
            warn += "Undefined_V,"
            return "\tNA\tNA\t%s\t%s\t%s" % (E4(res["beta_est"]), E4(res["beta_se"]), warn), "\t0\t0\n", warn
        return ("\t%s\t%s\t%s\t%s\t%s" % (E9(res["stat"]), E4(res["pvalue"]), E4(res["beta_est"]),
                                          E4(res["beta_se"]), warn),
                "\t%s\t%s\n" % (E9(res["U"]), E9(res["V"])), warn)

    def design(rows, flags):
        """The intercept and the covariates that flags select."""
        return [[r[0]] + [r[c] for c in range(1, len(r)) if flags[c - 1]] for r in rows]

    # The check of a gene's burden is against the design that all of its
    # blocks share: the primary trait's, or the intercept and the covariates
    # that every secondary trait selects; each secondary trait is checked
    # again against its own design on its own subjects.
    if nsec == 0:
        gene_flags = sel[0]
    else:
        gene_flags = [int(all(sel[t][c] for t in range(1, nsec + 1))) for c in range(len(covs[0]) - 1)]

    def analyse(gene, x, mac, kept):
        warn = "."
        row = gene
        Zall = [covs[i] for i in kept]
        mai0, toks = check(mac, x, design(Zall, gene_flags))
        if toks:
            warn += toks
            if nsec == 0:
                out_rows.append(row + "\tNA\tNA\tNA\tNA\t%s\n" % warn)
            else:
                for _ in range(nsec):
                    row += ("\tNA\tNA\tNA\tNA\t%s" % warn) * (2 if pair else 1)
                out_rows.append(row + "\n")
            return
        if nsec == 0:
            y = [prim[i] for i in kept]
            Z = [[covs[i][0]] + [covs[i][k] for k in range(1, len(covs[i])) if sel[0][k - 1]] for i in kept]
            b, lg, warn = block(ls_block(y, x, Z), warn)
            row += b
            logs[log_names[0]].append(gene + "\t%d" % mai0 + lg)
            out_rows.append(row + "\n")
            return
        for t in range(nsec):
            have = [k for k in range(len(kept)) if sec[kept[k]][t] is not MISSING]
            n2 = len(have)
            xs = [x[k] for k in have]
            macs = [mac[k] for k in have]
            Z2 = design([Zall[k] for k in have], sel[t + 1])
            mai, toks = check(macs, xs, Z2)
            if toks:
                warn += toks
                row += ("\tNA\tNA\tNA\tNA\t%s" % warn) * (2 if pair else 1)
                continue
            y2 = [sec[kept[k]][t] for k in have]
            if o["INT"]:
                y2 = [F(v) for v in rank_inverse_normal([float(v) for v in y2])]
            b, lg, warn = block(ls_block(y2, xs, Z2), warn)
            row += b
            logs[log_names[2 * t if pair else t]].append(gene + "\t%d" % mai + lg)
            if pair and all(prim[kept[k]] == prim[kept[have[0]]] for k in have):
                # The primary trait repeats the intercept: no LS-C fit.
                warn += "Singular_covariates,"
                row += "\tNA\tNA\tNA\tNA\t%s" % warn
            elif pair:
                ZY = [z + [prim[kept[k]]] for z, k in zip(Z2, have)]
                b, lg, warn = block(ls_block(y2, xs, ZY), warn)
                row += b
                logs[log_names[2 * t + 1]].append(gene + "\t%d" % mai + lg)
        out_rows.append(row + "\n")

    crc = n1 * o["CR"]
    if not o["test"]:
        for g in geno:
            if g["avc"] < crc:
                continue
            console.append("\n||---- GENE %s ----||\n" % g["id"])
            kept = [i for i, v in enumerate(g["vals"]) if v is not MISSING]
            x = [F(g["vals"][i]) for i in kept]
            mac = [1 if v >= 1 else 0 for v in x]
            analyse(g["id"], x, mac, kept)
    else:
        two_col = len(mapping[0]) == 2
        genes = []
        for r in mapping:
            if not genes or genes[-1][0] != r[0]:
                genes.append((r[0], []))
            genes[-1][1].append(r)
        test = o["test"]
        for gene, mrows in genes:
            console.append("\n||---- GENE %s ----||\n" % gene)
            chosen = {}  # genotype row -> frequency
            for r in mrows:
                mmaf = None if two_col else float(r[2])
                if not two_col and not (1e-10 <= mmaf <= o["MAF"]):
                    continue
                for k, g in enumerate(geno):  # plain scan in file order
                    if g["id"] != r[1] or not g["avc"] >= crc:
                        continue
                    if g["mac"] < 1 or g["singular"]:
                        continue
                    if two_col and not g["maf"] <= o["MAF"]:
                        continue
                    chosen[k] = g["maf"] if two_col else mmaf
                    break
            if not chosen:
                console.append("*********** Skip ***********\n")
                continue
            variants = [(geno[k], chosen[k]) for k in sorted(chosen)]
            cut = 0.01 if test == "T1" else 0.05
            qual = [test == "MB" or maf < cut for _, maf in variants]
            wt = []
            for (g, maf), qv in zip(variants, qual):
                if test == "MB":
                    if maf < o["MAF"]:
                        r_ = (g["mac"] + 1) / (2 * g["avc"] + 2) if two_col else maf
                        wt.append(1 / math.sqrt(r_ * (1 - r_)))
                    else:
                        wt.append(0.0)
                else:
                    wt.append(1.0 if qv else 0.0)
            coding = "add"
            if test != "MB" and o["dominant"]:
                coding = "dom"
            elif test != "MB" and o["recessive"]:
                coding = "rec"
            if coding == "add" and sum(wt) == 0.0:
                continue
            x, mac = [], []
            for i in range(n1):
                gs = [g["vals"][i] for g, _ in variants]
                qs = [1 - g["maf"] for g, _ in variants]
                m = 0
                for gv, qv in zip(gs, qual):
                    if qv and gv is not MISSING and gv > 0.5:
                        m = int(m + gv)
                mac.append(m)
                if coding == "dom":
                    if any(qv and gv is not MISSING and gv > 0.5 for gv, qv in zip(gs, qual)):
                        xi = 1.0
                    else:
                        xi = at_least(1, [q for gv, q, qv in zip(gs, qs, qual) if qv and gv is MISSING])
                elif coding == "rec":
                    s = sum(gv for gv, qv in zip(gs, qual) if qv and gv is not MISSING and gv > 0.5)
                    miss = [q for gv, q, qv in zip(gs, qs, qual) if qv and gv is MISSING]
                    if s >= 2:
                        xi = 1.0
                    elif not miss:
                        xi = 0.0
                    else:
                        xi = at_least(2 - int(s), miss)
                else:
                    xi = 0.0
                    for gv, q, w in zip(gs, qs, wt):
                        xi += w * (2 * (1 - q) if gv is MISSING else gv)
                x.append(F(xi))
            analyse(gene, x, mac, list(range(n1)))

    header = []
    if nsec == 0:
        header.append("\t------\t------\t%s_LS\t------\t------\n" % names[0])
        header.append("ID\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\n")
    else:
        line = ""
        for t in range(1, nsec + 1):
            if pair:
                line += "\t------\t------\t%s_LS-M\t------\t------\t------\t------\t%s_LS-C\t------\t------" % (
                    names[t], names[t])
            else:
                line += "\t------\t------\t%s_LS\t------\t------" % names[t]
        header.append(line + "\nID" + "\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn" * (nsec * (2 if pair else 1))
                      + "\n")
    files = {o["ofile"]: "".join(header + out_rows)}
    for nm in log_names:
        files[nm] = "".join(logs[nm])
    return files, "".join(console)


def main(run_case=None):
    """Command line shared by the references: CASE prints the expected files,
    CASE --write STARTUP writes expect/ and stdout of the case, taking the
    start-up console text from the program's run in STARTUP."""
    case = sys.argv[1]
    files, console = (run_case or run)(case)
    if "--write" in sys.argv:
        os.makedirs(os.path.join(case, "expect"), exist_ok=True)
        for nm, text in files.items():
            with open(os.path.join(case, "expect", nm), "w") as f:
                f.write(text)
        startup = open(sys.argv[sys.argv.index("--write") + 1]).read()
        time_re = r"[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9]{4}"
        startup = re.sub(time_re, "<TIME>", startup)
        mark = "*---------------- START SCORE TEST ----------------*\n              <TIME>\n\n"
        head = startup[:startup.index(mark) + len(mark)]
        end = "\n*----------------- END SCORE TEST -----------------*\n              <TIME>\n"
        with open(os.path.join(case, "stdout"), "w") as f:
            f.write(head + console + end)
    else:
        for nm, text in files.items():
            print("== %s" % nm)
            sys.stdout.write(text)
        print("== console")
        sys.stdout.write(console)


if __name__ == "__main__":
    main()

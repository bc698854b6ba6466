// Genz's subregion-adaptive cubature (ADAPT) over the unit cube.
//
// Arrays are handed over by a pointer to their first element; the comments
// describe them 1-based, and the small accessors below translate.  The
// caller's work array holds everything: the region store, the heap, the rule
// tables and the current region, so nothing is allocated here.
#include "numerics/adaptive_cubature.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

constexpr int kRuleColumns = 4;       // basic rule and three null rules
constexpr int kNullRules = 4;         // numnul handed to rulnrm_ (columns 2..4)
constexpr double kNullRuleScale = 2;  // rulcon handed to rulnrm_
constexpr int kFirstLargeDim = 12;    // from here the 2^ndim class is replaced
// Squared generator parameters of the degree-7 rule, taken as the widened
// single-precision values of 0.85 and 0.4707.
constexpr double kLamp = static_cast<double>(0.85f);
constexpr double kLam3 = static_cast<double>(0.4707f);

// Element (i, j), 1-based, of a column-major matrix with ld rows.
inline double& at(double* m, int ld, int i, int j) { return m[(i - 1) + (j - 1) * ld]; }

// Number of generator classes and of points of the basic rule.
void rule_size(int ndim, int* lenrul, long long* rulcls) {
    if (ndim == 1) {
        *lenrul = 5;
        *rulcls = 9;
    } else if (ndim < kFirstLargeDim) {
        *lenrul = 6;
        *rulcls = static_cast<long long>(std::ldexp(1.0, ndim)) + 2LL * ndim * (ndim + 2) + 1;
    } else {
        *lenrul = 6;
        *rulcls = 1 + 2LL * ndim * (1 + 2LL * ndim);
    }
}

// Next distinct permutation of g[1..s] in the order of the published FULSUM:
// returns false when every permutation has been visited.  The published
// routine kept lxchng from call to call, but no call reads a kept value: the
// first i with g(i-1) > g(i) reads lxchng only when i >= 3, and then the
// first exchange (l = 1) moves the old g(i-1) > gi to g(1) and sets lxchng
// = 1 before the read.  So it is a local of each call.
bool next_distinct_permutation(int s, double* g) {
    int lxchng = 1;
    auto G = [g](int k) -> double& { return g[k - 1]; };
    for (int i = 2; i <= s; ++i) {
        if (G(i - 1) > G(i)) {
            const double gi = G(i);
            int ixchng = i - 1;
            for (int l = 1; l <= (i - 1) / 2; ++l) {
                const double gl = G(l);
                G(l) = G(i - l);
                G(i - l) = gl;
                if (gl <= gi) --ixchng;
                if (G(l) > gi) lxchng = l;
            }
            if (G(ixchng) <= gi) ixchng = lxchng;
            G(i) = G(ixchng);
            G(ixchng) = gi;
            return true;
        }
    }
    return false;
}

// Odometer over the cells of [a, b] (cell half-widths width), first axis
// fastest: moves the cell centre c to the next cell; false after the last.
bool next_cell(int ndim, const double* a, const double* b, const double* width, double* c) {
    for (int i = 0; i < ndim; ++i) {
        c[i] += 2 * width[i];
        if (c[i] < b[i]) return true;
        c[i] = a[i] + width[i];
    }
    return false;
}

// Views of the caller's work array (each pointer at element 1 of its piece).
struct WorkLayout {
    double* errors;   // mxrgns
    double* values;   // mxrgns
    double* pontrs;   // mxrgns, heap of region numbers
    double* lowers;   // ndim x mxrgns
    double* uppers;   // ndim x mxrgns
    double* meshes;   // ndim x mxrgns
    double* w;        // lenrul x 4
    double* g;        // ndim x lenrul
    double* lower;    // current region, ndim each
    double* upper;
    double* width;
    double* mesh;
    double* scratch;  // 2 ndim: evaluation point, then fourth differences
};

WorkLayout layout_of(double* work, int ndim, int lenrul, int mxrgns) {
    WorkLayout p;
    p.errors = work;
    p.values = p.errors + mxrgns;
    p.pontrs = p.values + mxrgns;
    p.lowers = p.pontrs + mxrgns;
    p.uppers = p.lowers + static_cast<long>(mxrgns) * ndim;
    p.meshes = p.uppers + static_cast<long>(mxrgns) * ndim;
    p.w = p.meshes + static_cast<long>(mxrgns) * ndim;
    p.g = p.w + kRuleColumns * lenrul;
    p.lower = p.g + static_cast<long>(lenrul) * ndim;
    p.upper = p.lower + ndim;
    p.width = p.upper + ndim;
    p.mesh = p.width + ndim;
    p.scratch = p.mesh + ndim;
    return p;
}

// Copies the current region (lower, upper, mesh) into slot r of the store.
void store_region(const WorkLayout& p, int ndim, int r) {
    for (int i = 1; i <= ndim; ++i) {
        at(p.lowers, ndim, i, r) = p.lower[i - 1];
        at(p.uppers, ndim, i, r) = p.upper[i - 1];
        at(p.meshes, ndim, i, r) = p.mesh[i - 1];
    }
}

double* region_column(double* m, int ndim, int r) { return &at(m, ndim, 1, r); }

// Evaluates stored region r with the current widths and puts it in the heap
// of sbrgns regions.
void evaluate_region(const WorkLayout& p, int* ndim, int r, int heap_size, adapt_integrand functn,
                     int* lenrul) {
    basrul_(ndim, region_column(p.lowers, *ndim, r), region_column(p.uppers, *ndim, r), p.width,
            functn, p.w, lenrul, p.g, p.scratch, p.scratch + *ndim, &p.errors[r - 1],
            &p.values[r - 1]);
    trestr_(&r, &heap_size, p.pontrs, p.errors);
}

// The adaptive loop of ADAPT.  sbrgns is the number of stored regions (in and
// out); mincls comes back as the number of calls counted.
void adbase_(int* ndim, int* mincls, int* maxcls, adapt_integrand functn, double* fabsreq,
             double* relreq, double* fabsest, double* finest, int* sbrgns, int* mxrgns,
             int* rulcls, int* lenrul, const WorkLayout& p, int* inform) {
    // The split axis survives from a call to the continuation calls that
    // follow it on the same thread (a fresh start resets it), so that each
    // thread's integrations run as they would alone.
    static thread_local int divaxn = 0;
    long long funcls = 0;  // calls counted so far in this call
    long long rgncls = 0;  // calls that evaluating the current region will cost
    long long nwrgns = 0;  // regions to create
    int difcls = 0;        // calls made by differ_
    int top = 0;           // region being worked on

    const int n = *ndim;
    double* lower = p.lower;
    double* upper = p.upper;
    double* width = p.width;
    double* mesh = p.mesh;

    *inform = 2;
    funcls = 0;
    bsinit_(ndim, p.w, lenrul, p.g);

    if (*mincls >= 0) {
        // Fresh start: refine a uniform mesh over the cube while the minimum
        // number of calls allows, then apply the rule to every cell.
        *sbrgns = 0;
        for (int i = 0; i < n; ++i) {
            lower[i] = 0;
            mesh[i] = 1;
            width[i] = 1 / (2 * mesh[i]);
            upper[i] = 1;
        }
        divaxn = 0;
        rgncls = *rulcls;
        nwrgns = 1;
        for (;;) {
            differ_(ndim, lower, upper, width, p.scratch, p.scratch + n, functn, &divaxn, &difcls);
            funcls += difcls;
            const double m = mesh[divaxn - 1];
            if (static_cast<double>(funcls) + static_cast<double>(rgncls) * (m + 1) / m >
                static_cast<double>(*mincls))
                break;
            rgncls = static_cast<long long>(static_cast<double>(rgncls) * (m + 1) / m);
            nwrgns = static_cast<long long>(static_cast<double>(nwrgns) * (m + 1) / m);
            mesh[divaxn - 1] = m + 1;
            width[divaxn - 1] = 1 / (2 * mesh[divaxn - 1]);
        }
        if (nwrgns <= *mxrgns) {
            // Every cell becomes a region of its own.
            for (int i = 0; i < n; ++i) {
                upper[i] = lower[i] + 2 * width[i];
                mesh[i] = 1;
            }
        }
        for (;;) {
            ++*sbrgns;
            basrul_(ndim, lower, upper, width, functn, p.w, lenrul, p.g, p.scratch,
                    p.scratch + n, &p.errors[*sbrgns - 1], &p.values[*sbrgns - 1]);
            trestr_(sbrgns, sbrgns, p.pontrs, p.errors);
            store_region(p, n, *sbrgns);
            bool more = false;
            for (int i = 0; i < n; ++i) {
                lower[i] = upper[i];
                upper[i] = lower[i] + 2 * width[i];
                if (lower[i] + width[i] < 1) {
                    more = true;
                    break;
                }
                lower[i] = 0;
                upper[i] = lower[i] + 2 * width[i];
            }
            if (!more) break;
        }
        funcls += static_cast<long long>(*rulcls) * *sbrgns;
    }

    for (;;) {
        // Termination test over all regions, in region order.
        *finest = 0;
        *fabsest = 0;
        for (int r = 0; r < *sbrgns; ++r) {
            *finest += p.values[r];
            *fabsest += p.errors[r];
        }
        if (*fabsest <= std::max(*fabsreq, *relreq * std::fabs(*finest)) && funcls >= *mincls) {
            *inform = 0;
            break;
        }

        // The region of largest error, its cells and the axis to split.
        top = static_cast<int>(p.pontrs[0]);
        rgncls = *rulcls;
        for (int i = 1; i <= n; ++i) {
            lower[i - 1] = at(p.lowers, n, i, top);
            upper[i - 1] = at(p.uppers, n, i, top);
            mesh[i - 1] = at(p.meshes, n, i, top);
            width[i - 1] = (upper[i - 1] - lower[i - 1]) / (2 * mesh[i - 1]);
            rgncls = static_cast<long long>(static_cast<double>(rgncls) * mesh[i - 1]);
        }
        differ_(ndim, lower, upper, width, p.scratch, p.scratch + n, functn, &divaxn, &difcls);
        funcls += difcls;
        const int d = divaxn - 1;
        rgncls = static_cast<long long>(static_cast<double>(rgncls) * (mesh[d] + 1) / mesh[d]);
        if (funcls + rgncls > *maxcls) {
            *inform = 1;
            break;
        }

        if (*sbrgns + 1 <= *mxrgns) {
            // Halve the region along the split axis into itself and a new one.
            nwrgns = 1;
            width[d] = width[d] / 2;
            store_region(p, n, *sbrgns + 1);
            at(p.uppers, n, divaxn, top) = lower[d] + 2 * width[d];
            at(p.lowers, n, divaxn, *sbrgns + 1) = at(p.uppers, n, divaxn, top);
        } else {
            // The store is full: one more cell along the split axis instead.
            nwrgns = 0;
            width[d] = width[d] * mesh[d] / (mesh[d] + 1);
            at(p.meshes, n, divaxn, top) = mesh[d] + 1;
        }
        funcls += rgncls;
        evaluate_region(p, ndim, top, *sbrgns, functn, lenrul);
        if (nwrgns > 0) evaluate_region(p, ndim, *sbrgns + 1, *sbrgns + 1, functn, lenrul);
        *sbrgns += static_cast<int>(nwrgns);
    }
    *mincls = static_cast<int>(std::min<long long>(funcls, INT_MAX));
}

}  // namespace

void adapt_(int* ndim, int* mincls, int* maxcls, adapt_integrand functn, double* fabsreq,
            double* relreq, int* lenwrk, double* work, double* fabsest, double* finest,
            int* inform__) {
    const int n = *ndim;
    if (n < 1) {  // no rule exists: refused, nothing written but the status
        *inform__ = 2;
        *mincls = 0;
        return;
    }
    int lenrul;
    long long rulcls;
    rule_size(n, &lenrul, &rulcls);
    const long long fixed = static_cast<long long>(lenrul) * (n + 4);
    const bool accepted = *lenwrk >= fixed + 10LL * n + 3 && rulcls <= *maxcls && *mincls <= *maxcls;
    long long mxrgns = 0;
    int sbrgns = 0;
    if (accepted) {
        mxrgns = (*lenwrk - fixed - 7LL * n) / (3LL * n + 3);
        if (*mincls < 0) {
            // Continuation: the region count saved by the previous call.  A
            // value that cannot be a count of this store is refused rather
            // than read past the store.
            const double saved = work[*lenwrk - 1];
            if (!(saved >= 1 && saved <= static_cast<double>(mxrgns))) {
                *inform__ = 2;
                *mincls = static_cast<int>(rulcls);
                return;
            }
            sbrgns = static_cast<int>(saved);
        }
    }
    if (!accepted) {
        *inform__ = 2;
        *mincls = static_cast<int>(std::min<long long>(rulcls, INT_MAX));
        return;
    }
    int mx = static_cast<int>(mxrgns);
    int rc = static_cast<int>(rulcls);
    const WorkLayout p = layout_of(work, n, lenrul, mx);
    adbase_(ndim, mincls, maxcls, functn, fabsreq, relreq, fabsest, finest, &sbrgns, &mx, &rc,
            &lenrul, p, inform__);
    work[*lenwrk - 1] = sbrgns;
}

void bsinit_(int* ndim, double* w, int* lenrul, double* g) {
    const int n = *ndim;
    const int lr = *lenrul;
    int rulpts[6];
    auto W = [w, lr](int i, int j) -> double& { return at(w, lr, i, j); };
    auto G = [g, n](int i, int j) -> double& { return at(g, n, i, j); };

    for (int j = 1; j <= lr; ++j) {
        for (int i = 1; i <= n; ++i) G(i, j) = 0;
        for (int i = 1; i <= kRuleColumns; ++i) W(j, i) = 0;
    }
    rulpts[4] = 2 * n * (n - 1);
    rulpts[3] = 2 * n;
    rulpts[2] = 2 * n;
    rulpts[1] = 2 * n;
    rulpts[0] = 1;

    const double lamp = kLamp;
    const double lam3 = kLam3;
    const double lam2 = 4 / (15 - 5 / lam3);
    W(5, 1) = (3 - 5 * lam3) / (180 * (lam2 - lam3) * (lam2 * lam2));
    double lam1;
    const double c3 = 3 * lam3;
    const double c3_cubed = c3 * (c3 * c3);
    if (n < kFirstLargeDim) {
        lam1 = 8 * lam3 * (31 * lam3 - 15) / ((3 * lam3 - 1) * (5 * lam3 - 3) * 35);
        W(lr, 1) = 1 / c3_cubed / std::ldexp(1.0, n);
    } else {
        lam1 = (lam3 * (15 - 21 * lam2) + 35 * (n - 1) * (lam2 - lam3) / 9) /
               (lam3 * (21 - 35 * lam2) + 35 * (n - 1) * (lam2 / lam3 - 1) / 9);
        W(6, 1) = 1 / (4 * c3_cubed);
    }
    W(3, 1) = (15 - 21 * (lam3 + lam1) + 35 * lam3 * lam1) /
                  (210 * lam2 * (lam2 - lam3) * (lam2 - lam1)) -
              2 * (n - 1) * W(5, 1);
    W(2, 1) = (15 - 21 * (lam3 + lam2) + 35 * lam3 * lam2) /
              (210 * lam1 * (lam1 - lam3) * (lam1 - lam2));
    if (n < kFirstLargeDim) {
        rulpts[lr - 1] = static_cast<int>(std::ldexp(1.0, n));
        for (int i = 1; i <= n; ++i) G(i, lr) = std::sqrt(lam3);
    } else {
        W(6, 1) = 1 / (4 * c3_cubed);
        rulpts[5] = 2 * n * (n - 1);
        G(1, 6) = std::sqrt(lam3);
        G(2, 6) = std::sqrt(lam3);
    }
    if (n > 1) {
        const double c = 6 * lam2;
        W(5, 2) = 1 / (c * c);
        W(5, 3) = 1 / (c * c);
    }
    W(3, 2) = (3 - 5 * lam1) / (30 * lam2 * (lam2 - lam1)) - 2 * (n - 1) * W(5, 2);
    W(2, 2) = (3 - 5 * lam2) / (30 * lam1 * (lam1 - lam2));
    W(4, 3) = (3 - 5 * lam2) / (30 * lamp * (lamp - lam2));
    W(3, 3) = (3 - 5 * lamp) / (30 * lam2 * (lam2 - lamp)) - 2 * (n - 1) * W(5, 3);
    W(2, 4) = 1 / (6 * lam1);

    G(1, 2) = std::sqrt(lam1);
    G(1, 3) = std::sqrt(lam2);
    G(1, 4) = std::sqrt(lamp);
    if (n > 1) {
        G(1, 5) = std::sqrt(lam2);
        G(2, 5) = std::sqrt(lam2);
    }

    // The centre weight makes each rule sum to one (basic) or to the value
    // that rulnrm_ then removes (null rules).
    for (int j = 1; j <= kRuleColumns; ++j) {
        W(1, j) = 1;
        for (int i = 2; i <= lr; ++i) W(1, j) -= rulpts[i - 1] * W(i, j);
    }
    int numnul = kNullRules;
    double rulcon = kNullRuleScale;
    rulnrm_(lenrul, &numnul, rulpts, w, &rulcon);
}

void rulnrm_(int* lenrul, int* numnul, int* rulpts, double* w, double* rulcon) {
    const int lr = *lenrul;
    auto W = [w, lr](int i, int j) -> double& { return at(w, lr, i, j); };
    // Gram-Schmidt in the inner product sum_i rulpts(i) u(i) v(i), each null
    // rule scaled to the norm of the basic rule.
    double normcf = 0;
    for (int i = 1; i <= lr; ++i) normcf += rulpts[i - 1] * W(i, 1) * W(i, 1);
    for (int k = 2; k <= *numnul; ++k) {
        for (int i = 1; i <= lr; ++i) W(i, k) = W(i, k) - W(i, 1);
        for (int j = 2; j <= k - 1; ++j) {
            double alpha = 0;
            for (int i = 1; i <= lr; ++i) alpha += rulpts[i - 1] * W(i, j) * W(i, k);
            alpha = -alpha / normcf;
            for (int i = 1; i <= lr; ++i) W(i, k) = W(i, k) + alpha * W(i, j);
        }
        double normnl = 0;
        for (int i = 1; i <= lr; ++i) normnl += rulpts[i - 1] * W(i, k) * W(i, k);
        const double alpha = std::sqrt(normcf / normnl);
        for (int i = 1; i <= lr; ++i) W(i, k) = alpha * W(i, k);
    }
    for (int j = 2; j <= *numnul; ++j)
        for (int i = 1; i <= lr; ++i) W(i, j) = W(i, j) / *rulcon;
}

void basrul_(int* ndim, double* a, double* b, double* width, adapt_integrand functn, double* w,
             int* lenrul, double* g, double* center, double* z__, double* rgnert,
             double* basest) {
    const int n = *ndim;
    const int lr = *lenrul;
    double rgnvol = 1;
    for (int i = 0; i < n; ++i) {
        rgnvol = 2 * rgnvol * width[i];
        center[i] = a[i] + width[i];
    }
    *basest = 0;
    *rgnert = 0;
    do {
        double rgnval = 0, rgnerr = 0, rgncmp = 0, rgncpt = 0;
        for (int i = 1; i <= lr; ++i) {
            const double fsymsm = fulsum_(ndim, center, width, z__, &at(g, n, 1, i), functn);
            rgnval += at(w, lr, i, 1) * fsymsm;
            rgnerr += at(w, lr, i, 2) * fsymsm;
            rgncmp += at(w, lr, i, 3) * fsymsm;
            rgncpt += at(w, lr, i, 4) * fsymsm;
        }
        // Error of the cell from the three null rules: halved when the
        // null-rule values fall off fast, raised when they do not.
        rgnerr = std::sqrt(rgncmp * rgncmp + rgnerr * rgnerr);
        rgncmp = std::sqrt(rgncpt * rgncpt + rgncmp * rgncmp);
        if (4 * rgnerr < rgncmp) rgnerr = rgnerr / 2;
        if (2 * rgnerr > rgncmp) rgnerr = std::max(rgnerr, rgncmp);
        *rgnert += rgnvol * rgnerr;
        *basest += rgnvol * rgnval;
    } while (next_cell(n, a, b, width, center));
}

double fulsum_(int* s, double* center, double* hwidth, double* x, double* g, adapt_integrand f) {
    const int n = *s;
    double total = 0;
    do {
        double intsum = 0;
        for (int i = 0; i < n; ++i) x[i] = center[i] + g[i] * hwidth[i];
        // Every sign combination of the non-zero entries, counted in binary:
        // a zero entry never turns negative, so it is not doubled.
        bool more;
        do {
            intsum += f(s, x);
            more = false;
            for (int i = 0; i < n; ++i) {
                g[i] = -g[i];
                x[i] = center[i] + g[i] * hwidth[i];
                if (g[i] < 0) {
                    more = true;
                    break;
                }
            }
        } while (more);
        total += intsum;
    } while (next_distinct_permutation(n, g));
    std::reverse(g, g + n);  // the last permutation is the generator reversed
    return total;
}

void differ_(int* ndim, double* a, double* b, double* width, double* z__, double* dif,
             adapt_integrand functn, int* divaxn, int* difcls) {
    const int n = *ndim;
    *difcls = 0;
    *divaxn = *divaxn % n + 1;
    if (n == 1) return;
    for (int i = 0; i < n; ++i) {
        dif[i] = 0;
        z__[i] = a[i] + width[i];
    }
    do {
        // Fourth difference along each axis at 0.4 and 0.8 half-widths on
        // either side of the cell centre.
        const double funcen = functn(ndim, z__);
        for (int i = 0; i < n; ++i) {
            const double widthi = width[i] / 5;
            double frthdf = 6 * funcen;
            z__[i] = z__[i] - 4 * widthi;
            frthdf = frthdf + functn(ndim, z__);
            z__[i] = z__[i] + 2 * widthi;
            frthdf = frthdf - 4 * functn(ndim, z__);
            z__[i] = z__[i] + 4 * widthi;
            frthdf = frthdf - 4 * functn(ndim, z__);
            z__[i] = z__[i] + 2 * widthi;
            frthdf = frthdf + functn(ndim, z__);
            // Differences below the rounding level of the centre value count
            // as none.
            if (funcen + frthdf / 8 != funcen) dif[i] = dif[i] + std::fabs(frthdf) * width[i];
            z__[i] = z__[i] - 4 * widthi;
        }
        *difcls += 4 * n + 1;
    } while (next_cell(n, a, b, width, z__));
    for (int i = 1; i <= n; ++i)
        if (dif[i - 1] > dif[*divaxn - 1]) *divaxn = i;
}

void trestr_(int* pointr, int* sbrgns, double* pontrs, double* rgners) {
    auto P = [pontrs](int k) -> double& { return pontrs[k - 1]; };
    auto err_at = [&](int k) { return rgners[static_cast<int>(P(k)) - 1]; };
    const double rgnerr = rgners[*pointr - 1];
    int p;
    // A heap of one region has nothing to sift, whichever way; on the first
    // insertion pontrs(1) holds nothing yet, so it is read only from two
    // regions on.
    if (*sbrgns > 1 && static_cast<double>(*pointr) == P(1)) {
        // The top region was re-evaluated: sift down.
        p = 1;
        for (;;) {
            int child = 2 * p;
            if (child > *sbrgns) break;
            if (child < *sbrgns && err_at(child) < err_at(child + 1)) ++child;
            if (!(rgnerr < err_at(child))) break;
            P(p) = P(child);
            p = child;
        }
    } else {
        // A new region at the end of the heap: sift up.
        p = *sbrgns;
        while (p / 2 >= 1 && rgnerr > err_at(p / 2)) {
            P(p) = P(p / 2);
            p = p / 2;
        }
    }
    P(p) = *pointr;
}

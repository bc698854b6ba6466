// Genz's SADMVN: multivariate normal rectangle probabilities by variable
// ordering, Cholesky factorisation and subregion-adaptive cubature of the
// transformed integrand.
//
// Caller arrays come as a pointer to their first element and are described
// 1-based; the OneBased accessor below translates.  The prepared problem lives
// in a thread-local static of mvnfnc_0_, shared by its two entries, and is
// read by every integrand call: nothing is allocated, and each thread may run
// its own evaluation.
#include "numerics/multivariate_normal.h"

#include <cmath>
#include <cstdint>

#include "numerics/adaptive_cubature.h"
#include "numerics/normal_distribution.h"

namespace {

constexpr int kMaxVariables = 20;         // what sadmvn_ and mymvn accept
constexpr int kMaxStored = 100;           // capacity of the integrand's statics
constexpr int kMaxPacked = kMaxStored * (kMaxStored + 1) / 2;
constexpr int kWorkLength = 8000;         // cubature work array (20 * 20^2)
// Error reported for the closed forms: the single-precision 2e-16 widened.
constexpr double kClosedFormError = static_cast<double>(2e-16f);
// The conditional mean is taken as the midpoint-type value when the
// conditional probability is below this.
constexpr double kTinyProbability = 1e-8;
constexpr double kSqrtTwoPi = 2.5066282746310007;

// 1-based view of an array handed over by a pointer to its first element.
template <class T>
struct OneBased {
    T* p;
    T& operator()(int i) const { return p[i - 1]; }
};

// Elements of the packed lower triangle (diagonal included) before row i.
inline int row_start(int i) { return i * (i - 1) / 2; }

// Probability bounds of a standardised variable, from its flag (see limits_).
inline void limits(double a, double b, int infin, double* d, double* e) {
    *d = 0;
    *e = 1;
    if (infin >= 0) {
        if (infin != 0) *d = phi_(&a);
        if (infin != 1) *e = phi_(&b);
    }
}

// The problem prepared by the initialisation, 1-based (index 0 unused).
struct PreparedProblem {
    double a[kMaxStored + 1];
    double b[kMaxStored + 1];
    double y[kMaxStored + 1];
    int infi[kMaxStored + 1];
    double cov[kMaxPacked + 1];
    double d1;
    double e1;
};

// ---- integrand ---------------------------------------------------------

// Product of the conditional probabilities along the sample that w selects.
double evaluate_integrand(PreparedProblem& P, int ndim, const double* w) {
    double di = P.d1;
    double ei = P.e1;
    double prod = ei - di;
    int ij = 1;
    for (int i = 1; i <= ndim; ++i) {
        const double arg = di + w[i - 1] * (ei - di);
        P.y[i] = phinv_(&arg);
        double sum = 0;
        for (int j = 1; j <= i; ++j) sum += P.cov[ij + j] * P.y[j];
        ij += i + 1;  // diagonal of row i + 1
        const double ai = P.a[i + 1] - sum;
        const double bi = P.b[i + 1] - sum;
        const int flag = P.infi[i + 1];
        if (P.cov[ij] > 0) {
            limits(ai, bi, flag, &di, &ei);
        } else {
            // Fully determined by the earlier variables: an indicator.
            di = flag == 0 ? 0.0 : (ai >= 0 ? 1.0 : 0.0);
            ei = flag == 1 ? 1.0 : (bi >= 0 ? 1.0 : 0.0);
        }
        prod *= ei - di;
    }
    return prod;
}

// ---- initialisation ----------------------------------------------------

// Two bounded variables of which the second is an exact multiple c of the
// first (correlation +-1): P(a1 <= Z <= b1, a2 < cZ <= b2), by intersecting the
// two intervals for Z.  Flags are those after ordering (0, 1 or 2).
double determined_pair_probability(const PreparedProblem& P) {
    const double c = P.cov[2];
    double lo = P.infi[1] != 0 ? P.a[1] : -INFINITY;
    double hi = P.infi[1] != 1 ? P.b[1] : INFINITY;
    const bool has_lower = P.infi[2] != 0, has_upper = P.infi[2] != 1;
    if (c > 0) {
        if (has_lower) lo = std::fmax(lo, P.a[2] / c);
        if (has_upper) hi = std::fmin(hi, P.b[2] / c);
    } else if (c < 0) {
        if (has_upper) lo = std::fmax(lo, P.b[2] / c);
        if (has_lower) hi = std::fmin(hi, P.a[2] / c);
    } else if ((has_lower && P.a[2] >= 0) || (has_upper && P.b[2] < 0)) {
        return 0;
    }
    if (!(hi > lo)) return 0;
    return phi_(&hi) - phi_(&lo);
}

double initialise(PreparedProblem& P, int* n, double* correl, double* lower, double* upper,
                  int* infin, int* infis, double* d, double* e) {
    ncvsrt_(n, lower, upper, correl, infin, &P.y[1], infis, &P.a[1], &P.b[1], &P.infi[1],
            &P.cov[1], d, e);
    P.d1 = *d;
    P.e1 = *e;
    if (*n - *infis == 2) {
        // Closed form: standardise the second variable given the first and
        // hand the pair to the bivariate routine.
        if (P.cov[3] > 0) {
            *d = std::sqrt(1 + P.cov[2] * P.cov[2]);
            P.a[2] = P.a[2] / *d;
            P.b[2] = P.b[2] / *d;
            const double r = P.cov[2] / *d;
            *e = bvn_(&P.a[1], &P.b[1], &P.infi[1], &r);
        } else {
            *e = determined_pair_probability(P);
        }
        *d = 0;
        *infis += 1;
    }
    return 0;
}

// ---- ordering and factorisation ----------------------------------------

// Candidate for position i: the bounded variable j in i..m with the smallest
// conditional probability e - d given the expected values y(1..i-1) (the later
// one on ties).  Returns jmin and its scaled limits, bounds and diagonal.
struct Candidate {
    int j;
    double amin, bmin, dmin, emin, cvdiag;
};

Candidate choose_candidate(int i, int m, OneBased<double> A, OneBased<double> B,
                           OneBased<int> INFI, OneBased<double> Y, OneBased<double> COV) {
    Candidate best{i, 0.0, 0.0, 0.0, 1.0, 0.0};
    for (int j = i; j <= m; ++j) {
        const int jj = row_start(j);
        double sum = 0;
        double sumsq = 0;
        for (int k = 1; k < i; ++k) {
            sum += COV(jj + k) * Y(k);
            sumsq += COV(jj + k) * COV(jj + k);
        }
        const double rest = COV(jj + j) - sumsq;
        const double s = std::sqrt(rest > 0 ? rest : 0.0);
        if (!(s > 0)) continue;
        const int flag = INFI(j);
        double aj = 0, bj = 0, d = 0, e = 1;
        if (flag != 0) aj = (A(j) - sum) / s;
        if (flag != 1) bj = (B(j) - sum) / s;
        limits(aj, bj, flag, &d, &e);
        if (best.emin - best.dmin >= e - d) {
            best.j = j;
            if (flag != 0) best.amin = aj;
            if (flag != 1) best.bmin = bj;
            best.dmin = d;
            best.emin = e;
            best.cvdiag = s;
        }
    }
    return best;
}

// Expected value of the standardised variable c truncated to its limits (or
// its limit, or the midpoint, when the interval carries almost no mass).
double truncated_mean(const Candidate& c, int flag) {
    if (c.emin > c.dmin + kTinyProbability) {
        const double yl = flag != 0 ? -std::exp(-c.amin * c.amin / 2) / kSqrtTwoPi : 0.0;
        const double yu = flag != 1 ? -std::exp(-c.bmin * c.bmin / 2) / kSqrtTwoPi : 0.0;
        return (yu - yl) / (c.emin - c.dmin);
    }
    if (flag == 0) return c.bmin;
    if (flag == 1) return c.amin;
    return (c.amin + c.bmin) / 2;
}

// ---- uni_ ---------------------------------------------------------------

// a * x mod m without overflow (Schrage's method); requires m % a < m / a.
inline std::int32_t schrage(std::int32_t a, std::int32_t x, std::int32_t m) {
    const std::int32_t q = m / a;
    const std::int32_t r = m % a;
    const std::int32_t h = x / q;
    std::int32_t p = a * (x - h * q) - h * r;
    if (p < 0) p += m;
    return p;
}

constexpr std::int32_t kModulus1 = 2147483647;
constexpr std::int32_t kModulus2 = 2145483479;
constexpr double kUniformScale = 4.656612873077393e-10;  // about 1 / (kModulus1 + 1)

// ---- rnor_ --------------------------------------------------------------

constexpr int kStrips = 64;
constexpr double kNormalTailStart = 2.776994269662875;

struct StripTable {
    double f[kStrips + 1];  // exp(-x^2/2) at the strip edges i * width
    double width;
    double tail_probability;  // P(|Z| > kNormalTailStart)
};

StripTable make_strip_table() {
    StripTable t{};
    t.width = kNormalTailStart / kStrips;
    for (int i = 0; i <= kStrips; ++i) {
        const double x = i * t.width;
        t.f[i] = std::exp(-x * x / 2);
    }
    const double minus_tail = -kNormalTailStart;
    t.tail_probability = 2 * phi_(&minus_tail);
    return t;
}

// |Z| given |Z| > kNormalTailStart (Marsaglia's exponential rejection).
double normal_tail() {
    for (;;) {
        const double x = -std::log(uni_()) / kNormalTailStart;
        const double y = -std::log(uni_());
        if (y + y >= x * x) return kNormalTailStart + x;
    }
}

// |Z| given |Z| <= kNormalTailStart: a uniform point under the strip
// envelope, accepted at once below the lower edge of its strip, else against
// the density.
double normal_body(const StripTable& t) {
    for (;;) {
        const int strip = static_cast<int>(kStrips * uni_());
        const double x = (strip + uni_()) * t.width;
        const double height = uni_();
        if (height < t.f[strip + 1] || height < std::exp(-x * x / 2)) return x;
    }
}

}  // namespace

// ---- entries ------------------------------------------------------------

double mymvn(int maxpts, double abseps, int n, double* lower, double* upper, int* infin,
             double* mu, double** Sigma, double* error, int* inform) {
    if (n < 1 || n > kMaxVariables) {
        *inform = 2;
        *error = 1;
        return 0;
    }
    int inf[kMaxVariables] = {};
    double low[kMaxVariables] = {};
    double upp[kMaxVariables] = {};
    double correl[kMaxVariables * (kMaxVariables - 1) / 2] = {};
    int ij = 0;
    for (int i = 1; i <= n; ++i) {
        inf[i - 1] = infin[i];
        const double sd = std::sqrt(Sigma[i][i]);
        if (infin[i] >= 1) low[i - 1] = (lower[i] - mu[i]) / sd;
        if (infin[i] == 0 || infin[i] == 2) upp[i - 1] = (upper[i] - mu[i]) / sd;
        for (int j = 1; j < i; ++j) correl[ij++] = Sigma[i][j] / std::sqrt(Sigma[i][i] * Sigma[j][j]);
    }
    double releps = 0;
    double value = 0;
    sadmvn_(&n, low, upp, inf, correl, &maxpts, &abseps, &releps, error, &value, inform);
    return value;
}

void sadmvn_(int* n, double* lower, double* upper, int* infin, double* correl, int* maxpts,
             double* abseps, double* releps, double* error, double* value, int* inform__) {
    // The cubature's work array carries the regions from each call to the
    // next of this evaluation; every other value is set before it is read.
    double work[kWorkLength];
    int rulcls = 0, totcls = 0, newcls = 0, maxcls = 0, infis = 0, m = 0;
    double oldval = 0, d__ = 0, e = 0;

    if (*n > kMaxVariables || *n < 1) {
        *inform__ = 2;
        *value = 0;
        *error = 1;
        return;
    }
    *inform__ = static_cast<int>(
        mvnfnc_0_(1, n, nullptr, correl, lower, upper, infin, &infis, &d__, &e));
    m = *n - infis;
    if (m == 0) {
        *value = 1;
        *error = 0;
        return;
    }
    if (m == 1) {
        *value = e - d__;
        *error = kClosedFormError;
        return;
    }

    int ndim = m - 1;
    int lenwrk = kWorkLength;
    int no_calls = 0;
    // Probe: a refused call that only reports the rule's point count.
    rulcls = 1;
    adapt_(&ndim, &rulcls, &no_calls, mvnfnc_, abseps, releps, &lenwrk, work, error, value,
           inform__);
    maxcls = *maxpts < 10 * rulcls ? *maxpts : 10 * rulcls;
    totcls = 0;
    adapt_(&ndim, &totcls, &maxcls, mvnfnc_, abseps, releps, &lenwrk, work, error, value,
           inform__);
    if (*inform__ == 2) {
        // The budget does not allow one run of the rule.
        *value = 0;
        *error = 1;
        return;
    }
    auto target = [&] { return std::fmax(*abseps, *releps * std::fabs(*value)); };
    if (*error <= target()) return;

    for (;;) {
        oldval = *value;
        // 3 maxcls / 2 in 64 bits: the same as in 32 bits wherever that does
        // not overflow.
        const std::int64_t grown = 3 * static_cast<std::int64_t>(maxcls) / 2;
        const std::int64_t left = static_cast<std::int64_t>(*maxpts) - totcls;
        const std::int64_t next = grown < left ? grown : left;
        maxcls = static_cast<int>(next > 2 * rulcls ? next : 2 * rulcls);
        newcls = -1;
        adapt_(&ndim, &newcls, &maxcls, mvnfnc_, abseps, releps, &lenwrk, work, error, value,
               inform__);
        totcls += newcls;
        const double squared = *error * *error;
        *error = std::fabs(*value - oldval) + std::sqrt(rulcls * squared / totcls);
        if (*error <= target()) {
            *inform__ = 0;
            return;
        }
        // Stop when the budget is spent, or (defensively) when a run could
        // make no progress at all.
        if (*maxpts - totcls <= 2 * rulcls || newcls <= 0) return;
    }
}

double mvnfnc_0_(int n__, int* n, double* w, double* correl, double* lower, double* upper,
                 int* infin, int* infis, double* d__, double* e) {
    // The integrand entry has no argument through which the problem could
    // reach it, so it is kept per thread: each thread integrates the problem
    // that it prepared last.
    static thread_local PreparedProblem problem;
    if (n__ == 1) {
        if (*n < 1 || *n > kMaxStored) {
            // Beyond the capacity of the stored problem: nothing is prepared.
            *infis = 0;
            *d__ = 0;
            *e = 0;
            return 2;
        }
        return initialise(problem, n, correl, lower, upper, infin, infis, d__, e);
    }
    return evaluate_integrand(problem, *n, w);
}

double mvnfnc_(int* n, double* w) {
    return mvnfnc_0_(0, n, w, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

double mvnnit_(int* n, double* correl, double* lower, double* upper, int* infin, int* infis,
               double* d__, double* e) {
    return mvnfnc_0_(1, n, nullptr, correl, lower, upper, infin, infis, d__, e);
}

void ncvsrt_(int* n, double* lower, double* upper, double* correl, int* infin, double* y,
             int* infis, double* a, double* b, int* infi, double* cov, double* d__, double* e) {
    const int nv = *n;
    const OneBased<double> LOWER{lower}, UPPER{upper}, CORREL{correl}, Y{y}, A{a}, B{b}, COV{cov};
    const OneBased<int> INFIN{infin}, INFI{infi};

    // Copy the problem; the factor starts as the correlation matrix.
    *infis = 0;
    int ij = 0;
    int packed = 0;
    for (int i = 1; i <= nv; ++i) {
        INFI(i) = INFIN(i);
        if (INFI(i) < 0) {
            ++*infis;
        } else {
            A(i) = 0;
            B(i) = 0;
            if (INFI(i) != 0) A(i) = LOWER(i);
            if (INFI(i) != 1) B(i) = UPPER(i);
        }
        for (int j = 1; j < i; ++j) COV(++ij) = CORREL(++packed);
        COV(++ij) = 1;
    }
    if (*infis == nv) return;

    // Unbounded variables to the end.
    for (int i = nv; i >= nv - *infis + 1; --i) {
        if (INFI(i) < 0) continue;
        for (int j = 1; j < i; ++j) {
            if (INFI(j) < 0) {
                rcswap_(&j, &i, a, b, infi, n, cov);
                break;
            }
        }
    }

    // Order the bounded variables and factor, one column at a time.
    const int m = nv - *infis;
    for (int i = 1; i <= m; ++i) {
        const Candidate c = choose_candidate(i, m, A, B, INFI, Y, COV);
        if (c.j != i) {
            int jmin = c.j;
            rcswap_(&i, &jmin, a, b, infi, n, cov);
        }
        const int ii = row_start(i);
        COV(ii + i) = c.cvdiag;
        for (int j = i + 1; j <= m; ++j) {
            const int jj = row_start(j);
            if (c.cvdiag > 0) {
                double sum = COV(jj + i);
                for (int k = 1; k < i; ++k) sum -= COV(ii + k) * COV(jj + k);
                COV(jj + i) = sum / c.cvdiag;
            } else {
                COV(jj + i) = 0;
            }
        }
        if (c.cvdiag > 0) {
            Y(i) = truncated_mean(c, INFI(i));
            for (int k = 1; k <= i; ++k) COV(ii + k) = COV(ii + k) / c.cvdiag;
            if (INFI(i) != 0) A(i) = A(i) / c.cvdiag;
            if (INFI(i) != 1) B(i) = B(i) / c.cvdiag;
        } else {
            Y(i) = 0;
        }
    }
    limits(A(1), B(1), INFI(1), d__, e);
}

void rcswap_(int* p, int* q, double* a, double* b, int* infin, int* n, double* c__) {
    const int pp = *p, qq = *q, nv = *n;
    const OneBased<double> A{a}, B{b}, C{c__};
    const OneBased<int> INFIN{infin};
    auto swap = [](auto& x, auto& y) {
        const auto t = x;
        x = y;
        y = t;
    };
    swap(A(pp), A(qq));
    swap(B(pp), B(qq));
    swap(INFIN(pp), INFIN(qq));

    int ii = row_start(pp);
    int jj = row_start(qq);
    swap(C(jj + qq), C(ii + pp));                             // diagonals
    for (int j = 1; j < pp; ++j) swap(C(ii + j), C(jj + j));  // c(p,j) and c(q,j), j < p
    ii += pp;
    for (int i = pp + 1; i < qq; ++i) {  // c(i,p) and c(q,i), p < i < q
        swap(C(ii + pp), C(jj + i));
        ii += i;
    }
    jj += qq;
    for (int i = qq + 1; i <= nv; ++i) {  // c(i,p) and c(i,q), i > q
        swap(C(jj + pp), C(jj + qq));
        jj += i;
    }
}

double uni_() {
    // Last three values of each recurrence, oldest first.  Every thread starts
    // from the same fixed seeds and draws its own sequence.
    static thread_local std::int32_t x1[3] = {11111111, 22222223, 33333335};
    static thread_local std::int32_t x2[3] = {44444447, 55555559, 66666661};

    // x(k) = (63308 x(k-2) - 183326 x(k-3)) mod m1
    std::int32_t next1 = schrage(63308, x1[1], kModulus1) - schrage(183326, x1[0], kModulus1);
    if (next1 < 0) next1 += kModulus1;
    x1[0] = x1[1];
    x1[1] = x1[2];
    x1[2] = next1;

    // x'(k) = (86098 x'(k-1) - 539608 x'(k-3)) mod m2
    std::int32_t next2 = schrage(86098, x2[2], kModulus2) - schrage(539608, x2[0], kModulus2);
    if (next2 < 0) next2 += kModulus2;
    x2[0] = x2[1];
    x2[1] = x2[2];
    x2[2] = next2;

    std::int32_t z = next1 - next2;
    if (z < 1) z += kModulus1;
    return z * kUniformScale;
}

double rnor_() {
    static const StripTable table = make_strip_table();
    const double magnitude = uni_() < table.tail_probability ? normal_tail() : normal_body(table);
    return uni_() < 0.5 ? -magnitude : magnitude;
}

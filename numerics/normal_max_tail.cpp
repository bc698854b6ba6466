#include "numerics/normal_max_tail.h"

#include <gsl/gsl_cdf.h>
#include <gsl/gsl_randist.h>
#include <gsl/gsl_rng.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "numerics/normal_distribution.h"

namespace {

constexpr double kLog2 = 0.69314718055994530942;

// Seed of the generator: every call draws the same stream.
constexpr unsigned long kSeed = 20190625UL;

// Draws per stratum in the first round: at least kMinPairs antithetic pairs
// over all strata, so that a rare configuration of the count is seen before
// the variance estimate is trusted.
constexpr int kMinPairs = 2048;
constexpr int kMinPairsPerStratum = 16;
// Budget: antithetic pairs over all strata and rounds.
constexpr long kMaxPairs = 98304;

// A pivot below this is taken as zero: the variable is then a linear
// function of the earlier ones (a duplicate or a sign-flipped copy).
constexpr double kPivotTolerance = 1e-12;

// Below this the quantile of the tail is found by Newton's method on the
// log tail instead of from the probability itself, which would underflow.
constexpr double kLogDirectQuantile = -690.0;  // about log(1e-300)

// The estimated error is this many standard errors.
constexpr double kErrorInStandardErrors = 3.0;

// Lower Cholesky factor of the n by n correlation matrix R (1-based), with
// zero columns where a pivot vanishes (semi-definite R).  L row-major 0-based.
void semidefinite_cholesky(int n, double** R, std::vector<double>& L) {
    L.assign(static_cast<std::size_t>(n) * n, 0.0);
    auto at = [&](int i, int j) -> double& { return L[static_cast<std::size_t>(i) * n + j]; };
    for (int j = 0; j < n; ++j) {
        double d = R[j + 1][j + 1];
        for (int k = 0; k < j; ++k) d -= at(j, k) * at(j, k);
        if (!(d > kPivotTolerance)) continue;  // column j stays zero
        const double djj = std::sqrt(d);
        at(j, j) = djj;
        for (int i = j + 1; i < n; ++i) {
            double s = R[i + 1][j + 1];
            for (int k = 0; k < j; ++k) s -= at(i, k) * at(j, k);
            at(i, j) = s / djj;
        }
    }
}

// x >= t with P(Z >= x) = u Q(t), u in (0, 1]: the inverse distribution
// function of the normal truncated to [t, inf), by AS 241 while the target
// probability is representable, else by Newton's method on log Q, which is
// concave, so that from x = t the iterates approach the root from above
// after the first step.
double tail_quantile(double t, double log_qt, double u) {
    const double target = log_qt + std::log(u);
    double x;
    if (target > kLogDirectQuantile) {
        x = gsl_cdf_ugaussian_Qinv(std::exp(target));
    } else {
        x = t;
        for (int it = 0; it < 60; ++it) {
            const double lq = log_normal_upper(x);
            // hazard phi(x) / Q(x)
            const double hazard = std::exp(-0.5 * x * x - kLogSqrt2Pi - lq);
            const double step = (lq - target) / hazard;
            x += step;
            if (std::fabs(step) <= 1e-14 * x) break;
        }
    }
    return x < t ? t : x;
}

}  // namespace

double maxnormal_tail(int n, double t, double** R, double releps, double* relerr, int* inform) {
    *relerr = 0.0;
    *inform = 0;
    if (std::isnan(t) || n < 1) {
        *inform = 1;
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (t <= 0.0) return 1.0;

    const double log_qt = log_normal_upper(t);
    // p lies between 2 Q(t) (one component) and the union bound 2n Q(t).
    const double log_floor = std::log(DBL_MIN);
    if (log_qt + std::log(2.0 * n) < log_floor) return DBL_MIN;
    if (n == 1) {
        // One component: the two-sided normal tail itself.
        const double p1 = std::exp(kLog2 + log_qt);
        return p1 < DBL_MIN ? DBL_MIN : (p1 > 1.0 ? 1.0 : p1);
    }

    std::vector<double> L;
    semidefinite_cholesky(n, R, L);

    gsl_rng* rng = gsl_rng_alloc(gsl_rng_mt19937);
    gsl_rng_set(rng, kSeed);

    // Stratum k: W conditioned on W_k >= t.  Given W_k = x the others are
    // r_k x + (Z - r_k Z_k) with Z = L e ~ N(0, R) (conditioning by
    // regression, exact for any semi-definite R); the antithetic partner
    // uses -e.  Each stratum scores the mean of 1/S over the pair.
    const int per_stratum = std::max(kMinPairsPerStratum, (kMinPairs + n - 1) / n);
    std::vector<double> sum(n, 0.0), sumsq(n, 0.0);
    std::vector<double> e(n), z(n);
    long pairs_per_stratum = 0;
    double estimate = 0.0;  // sum over strata of E[1/S | W_k >= t]
    bool met = false;
    while (true) {
        for (int k = 0; k < n; ++k) {
            for (int rep = 0; rep < per_stratum; ++rep) {
                const double x = tail_quantile(t, log_qt, gsl_rng_uniform_pos(rng));
                for (int i = 0; i < n; ++i) e[i] = gsl_ran_gaussian_ziggurat(rng, 1.0);
                for (int i = 0; i < n; ++i) {
                    const double* Li = &L[static_cast<std::size_t>(i) * n];
                    double s = 0.0;
                    for (int j = 0; j <= i; ++j) s += Li[j] * e[j];
                    z[i] = s;
                }
                const double zk = z[k];
                int count_plus = 1, count_minus = 1;  // W_k = x >= t in both
                for (int i = 0; i < n; ++i) {
                    if (i == k) continue;
                    const double rik = i > k ? R[i + 1][k + 1] : R[k + 1][i + 1];
                    const double mean = rik * x;
                    const double dev = z[i] - rik * zk;
                    if (std::fabs(mean + dev) >= t) ++count_plus;
                    if (std::fabs(mean - dev) >= t) ++count_minus;
                }
                const double y = 0.5 * (1.0 / count_plus + 1.0 / count_minus);
                sum[k] += y;
                sumsq[k] += y * y;
            }
        }
        pairs_per_stratum += per_stratum;

        const double m = static_cast<double>(pairs_per_stratum);
        estimate = 0.0;
        double variance = 0.0;
        for (int k = 0; k < n; ++k) {
            const double mean = sum[k] / m;
            estimate += mean;
            const double s2 = (sumsq[k] - m * mean * mean) / (m - 1.0);
            variance += (s2 > 0.0 ? s2 : 0.0) / m;
        }
        // A configuration of the count rarer than one in the draws of a
        // stratum may not have been seen at all (all draws alike give a
        // variance of 0): the error is taken as at least that share.
        *relerr = std::max(kErrorInStandardErrors * std::sqrt(variance) / estimate, 1.0 / (2.0 * m));
        if (*relerr <= releps) {
            met = true;
            break;
        }
        if ((pairs_per_stratum + per_stratum) * n > kMaxPairs) break;
    }
    gsl_rng_free(rng);
    if (!met) *inform = 1;

    // p = 2 Q(t) * sum over strata, in logs.
    const double log_p = kLog2 + log_qt + std::log(estimate);
    if (log_p < log_floor) {
        *relerr = 0.0;
        *inform = 0;
        return DBL_MIN;
    }
    const double p = std::exp(log_p);
    return p > 1.0 ? 1.0 : p;
}

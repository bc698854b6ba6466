#include "numerics/normal_max_tail.h"

#include <gsl/gsl_cdf.h>
#include <gsl/gsl_randist.h>
#include <gsl/gsl_rng.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "numerics/normal_distribution.h"
#include "numerics/vector_lanes.h"

namespace {

// Draws per stratum in the first round: at least kMinPairs antithetic pairs
// over all strata, so that a rare configuration of the count is seen before
// the variance estimate is trusted; an even number, as the draws of a round
// go in pairs.
constexpr int kMinPairs = 2048;
constexpr int kMinPairsPerStratum = 16;
// Budget: antithetic pairs over all strata and rounds.
constexpr long kMaxPairs = 393216;
// A later round aims this much beyond the draws that the variance so far
// says the target needs.
constexpr double kRoundMargin = 1.1;

// Newton's method for the far quantile: steps at most, and the relative
// size of the step at which it stops.
constexpr int kQuantileIterations = 60;
constexpr double kQuantileTolerance = 1e-14;

// A pivot below this is taken as zero: the variable is then a linear
// function of the earlier ones (a duplicate or a sign-flipped copy).
constexpr double kPivotTolerance = 1e-12;

// Below this tail probability the quantile is found by Newton's method on
// the log tail instead of from the probability itself, which would underflow.
constexpr double kDirectQuantileFloor = 1e-300;

// The estimated error is this many standard errors.
constexpr double kErrorInStandardErrors = 3.0;

// Antithetic pairs scored together.
constexpr int kBlockPairs = 8;
constexpr int kBlockDraws = 2 * kBlockPairs;

// Lower Cholesky factor L (row-major, m by m) of a positive semi-definite
// matrix given by its entries a(i, j), 0-based, with zero columns where a
// pivot vanishes.
template <class Entry>
void semidefinite_cholesky(int m, Entry a, double* L) {
    auto at = [&](int i, int j) -> double& { return L[static_cast<std::size_t>(i) * m + j]; };
    for (int i = 0; i < m * m; ++i) L[i] = 0.0;
    for (int j = 0; j < m; ++j) {
        double d = a(j, j);
        for (int k = 0; k < j; ++k) d -= at(j, k) * at(j, k);
        if (!(d > kPivotTolerance)) continue;  // column j stays zero
        const double djj = std::sqrt(d);
        at(j, j) = djj;
        for (int i = j + 1; i < m; ++i) {
            double s = a(i, j);
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
double tail_quantile(double t, double qt, double log_qt, double u) {
    const double target = qt * u;
    double x;
    if (target > kDirectQuantileFloor) {
        x = gsl_cdf_ugaussian_Qinv(target);
    } else {
        const double log_target = log_qt + std::log(u);
        x = t;
        for (int it = 0; it < kQuantileIterations; ++it) {
            const double lq = log_normal_upper(x);
            // hazard phi(x) / Q(x)
            const double hazard = std::exp(-0.5 * x * x - kLogSqrt2Pi - lq);
            const double step = (lq - log_target) / hazard;
            x += step;
            if (std::fabs(step) <= kQuantileTolerance * x) break;
        }
    }
    return x < t ? t : x;
}

}  // namespace

unsigned long maxnormal_seed(int n, double t, double** R) {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL;
    auto mix = [&h](std::uint64_t v) {
        h ^= v;
        h += 0x9e3779b97f4a7c15ULL;
        h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
        h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
        h ^= h >> 31;
    };
    auto bits = [](double v) {
        const float f = static_cast<float>(v);
        std::uint32_t b;
        std::memcpy(&b, &f, sizeof b);
        return static_cast<std::uint64_t>(b);
    };
    mix(static_cast<std::uint64_t>(n));
    mix(bits(t));
    for (int i = 2; i <= n; ++i)
        for (int j = 1; j < i; ++j) mix(bits(R[i][j]));
    // The generators seed from 32 bits.
    return static_cast<unsigned long>(h >> 32);
}

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

    // Stratum k: W conditioned on W_k >= t.  Given W_k = x the others are
    // r_k x + D, r_k the correlations with W_k and D ~ N(0, R - r_k r_k')
    // over the other n - 1 components (conditioning by regression, exact for
    // any semi-definite R): D = L_k e, L_k the factor of that conditional
    // covariance, and the antithetic partner uses -e.  Each stratum scores
    // the mean of 1/S over the pair.
    const int m1 = n - 1;
    std::vector<double> r(static_cast<std::size_t>(n) * m1);   // r_k, row k
    std::vector<double> Lk(static_cast<std::size_t>(n) * m1 * m1);
    for (int k = 0; k < n; ++k) {
        double* rk = &r[static_cast<std::size_t>(k) * m1];
        for (int i = 0, a = 0; i < n; ++i)
            if (i != k) rk[a++] = i > k ? R[i + 1][k + 1] : R[k + 1][i + 1];
        auto other = [k](int a) { return a < k ? a : a + 1; };
        auto entry = [&](int a, int b) {
            const int i = other(a), j = other(b);
            const double rij = i == j ? 1.0 : (i > j ? R[i + 1][j + 1] : R[j + 1][i + 1]);
            return rij - rk[a] * rk[b];
        };
        semidefinite_cholesky(m1, entry, &Lk[static_cast<std::size_t>(k) * m1 * m1]);
    }

    gsl_rng* rng = gsl_rng_alloc(gsl_rng_taus2);
    gsl_rng_set(rng, maxnormal_seed(n, t, R));
    const double qt = std::exp(log_qt);

    // The count S depends on x above all, so x is stratified as well: the
    // draws of a round go in pairs, pair h taking both its values of the
    // relative tail probability u = Q(x) / Q(t) from [2h/m, (2h+2)/m), m the
    // draws of the round.  The difference within a pair estimates the
    // variance of the pair's sum without the spread between the pairs, which
    // the stratification has taken out.
    //
    // The first round gives each stratum first_round draws; each later
    // round as many as the variance so far says the target needs (a tenth
    // more), at least a quarter of the first round, within the budget.
    const int first_round = 2 * ((std::max(kMinPairsPerStratum, (kMinPairs + n - 1) / n) + 1) / 2);
    const long max_per_stratum = kMaxPairs / n;
    std::vector<double> sum(n, 0.0), spread(n, 0.0);
    long draws_per_stratum = 0;
    long round = first_round;
    double estimate = 0.0;  // sum over strata of E[1/S | W_k >= t]
    bool met = false;
    // The draws go in blocks of kBlockPairs pairs, their normal vectors side
    // by side (e[a * kBlockDraws + i] for draw i), so that the products with
    // L_k run over independent draws.
    std::vector<double> e(static_cast<std::size_t>(std::max(m1, 1)) * kBlockDraws);
    std::vector<double> dev(static_cast<std::size_t>(std::max(m1, 1)) * kBlockDraws);
    double x[kBlockDraws], y[kBlockDraws];
    // Scores 0.5 (1 / S(e) + 1 / S(-e)) of the first `draws` draws of the
    // block, each with its own x, in stratum k.
    auto score_block = [&](int k, int draws) {
        const double* L = &Lk[static_cast<std::size_t>(k) * m1 * m1];
        const double* rk = &r[static_cast<std::size_t>(k) * m1];
        for (int a = 0; a < m1; ++a) {
            // Row a of L_k times the block, the draws in pairs of lanes, each
            // lane summed in the order of the plain loop.
            v2d acc[kBlockPairs];
#pragma GCC unroll 8
            for (v2d& v : acc) splat(v, 0.0);
            for (int b = 0; b <= a; ++b) {
                v2d lab;
                splat(lab, L[static_cast<std::size_t>(a) * m1 + b]);
                const double* eb = &e[static_cast<std::size_t>(b) * kBlockDraws];
#pragma GCC unroll 8
                for (int i = 0; i < kBlockPairs; ++i) {
                    v2d ebi;
                    loadv(ebi, eb + 2 * i);
                    acc[i] += lab * ebi;
                }
            }
            double* da = &dev[static_cast<std::size_t>(a) * kBlockDraws];
            for (int i = 0; i < kBlockPairs; ++i) storev(da + 2 * i, acc[i]);
        }
        int count_plus[kBlockDraws], count_minus[kBlockDraws];
        for (int i = 0; i < kBlockDraws; ++i) count_plus[i] = count_minus[i] = 1;  // W_k = x >= t
        for (int a = 0; a < m1; ++a) {
            const double* da = &dev[static_cast<std::size_t>(a) * kBlockDraws];
            for (int i = 0; i < kBlockDraws; ++i) {
                const double mean = rk[a] * x[i];
                count_plus[i] += std::fabs(mean + da[i]) >= t;
                count_minus[i] += std::fabs(mean - da[i]) >= t;
            }
        }
        for (int i = 0; i < draws; ++i) y[i] = 0.5 * (1.0 / count_plus[i] + 1.0 / count_minus[i]);
    };
    while (true) {
        for (int k = 0; k < n; ++k) {
            const long pairs = round / 2;
            for (long h0 = 0; h0 < pairs; h0 += kBlockPairs) {
                const int in_block = static_cast<int>(std::min<long>(kBlockPairs, pairs - h0));
                // Each draw takes its uniform, then its normals.
                for (int i = 0; i < 2 * in_block; ++i) {
                    const long h = h0 + i / 2;
                    x[i] = tail_quantile(t, qt, log_qt, (2 * h + 2.0 * gsl_rng_uniform_pos(rng)) / round);
                    for (int a = 0; a < m1; ++a)
                        e[static_cast<std::size_t>(a) * kBlockDraws + i] = gsl_ran_gaussian_ziggurat(rng, 1.0);
                }
                for (int i = 2 * in_block; i < kBlockDraws; ++i) {
                    x[i] = t;
                    for (int a = 0; a < m1; ++a) e[static_cast<std::size_t>(a) * kBlockDraws + i] = 0.0;
                }
                score_block(k, 2 * in_block);
                for (int i = 0; i < in_block; ++i) {
                    const double y1 = y[2 * i], y2 = y[2 * i + 1];
                    sum[k] += y1 + y2;
                    spread[k] += (y1 - y2) * (y1 - y2);
                }
            }
        }
        draws_per_stratum += round;

        // Each stratum's mean over M draws has the variance sum of the
        // squared pair differences over M^2 (a pair's sum has variance twice
        // that of one draw within its slice, as has the difference).
        const double m = static_cast<double>(draws_per_stratum);
        estimate = 0.0;
        double variance = 0.0;
        for (int k = 0; k < n; ++k) {
            estimate += sum[k] / m;
            variance += spread[k] / (m * m);
        }
        // A configuration of the count rarer than one in the draws of a
        // stratum may not have been seen at all (all draws alike give a
        // variance of 0): the error is taken as at least that share.
        const double sampling = kErrorInStandardErrors * std::sqrt(variance) / estimate;
        *relerr = std::max(sampling, 1.0 / (2.0 * m));
        if (*relerr <= releps) {
            met = true;
            break;
        }
        const double ratio = std::max(sampling / releps, 1.0);
        const double needed = kRoundMargin * m * ratio * ratio - m;
        round = std::max<long>(first_round / 4, std::lround(std::min(needed, 1e12)));
        round += round % 2;
        if (draws_per_stratum >= max_per_stratum) break;
        round = std::min(round, max_per_stratum - draws_per_stratum);
        round -= round % 2;
        if (round < 2) break;
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

#include "numerics/normal_max_lattice.h"

#include <gsl/gsl_rng.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "numerics/normal_distribution.h"
#include "numerics/normal_max_tail.h"

namespace {

constexpr int kMaxVariables = 20;

// Rank-1 Korobov rules: N points (a prime), generating vector
// (1, a, a^2, ...) mod N.  Each a minimises the weighted P_2 criterion of
// Sloan and Joe (product weights 1/j^2 for coordinate j, 19 coordinates) over
// 1 < a < N/2; scripts/korobov_rules.cpp finds them.  Successive rules grow by
// a third to a half.  Problems of at most kSmallProblem variables start with
// the first rule, larger ones with the second.
struct KorobovRule {
    int points;
    int factor;
};
constexpr KorobovRule kRules[] = {
    {127, 44},      {251, 60},      {383, 125},     {509, 146},     {761, 208},     {1021, 455},
    {1531, 713},    {2039, 396},    {3067, 1211},   {4093, 450},    {6143, 2834},   {8191, 1163},
    {12281, 1184},  {16381, 1044},  {24571, 10231}, {32749, 4337},  {49139, 14185}, {65521, 17388},
};
constexpr int kRuleCount = static_cast<int>(sizeof kRules / sizeof kRules[0]);
constexpr int kSmallProblem = 10;

// Random shifts per rule: the spread of their estimates gives the error.
constexpr int kShifts = 8;
// The estimated error is this many standard errors.
constexpr double kErrorInStandardErrors = 3.0;
// The next rule aims at the points that the error so far says the target
// needs, taking the error to fall as the points to the power kAssumedRate
// (slower than the rate of about 1 seen on these integrands, so that the aim
// errs on the large side), with a tenth more; and it has at least twice the
// points of the last one.
constexpr double kAssumedRate = 0.75;
constexpr double kRoundMargin = 1.1;
constexpr double kLeastGrowth = 2.0;
// A rule with this share of the points wanted will do.
constexpr double kRuleSlack = 0.95;
// A remaining variance at or below this is taken as zero: the variable is a
// linear function of the earlier ones.
constexpr double kPivotTolerance = 1e-12;

// The problem after ordering: L, the lower Cholesky factor (row-major, n by
// n) of R with its rows and columns in the order of the integration; rank,
// the number of variables with a pivot (the first rank ones), the others
// being linear functions of them.
struct OrderedFactor {
    int n;
    int rank;
    std::vector<double> L;
};

// Cholesky factor of R pivoted on the largest remaining variance (the first
// of equal ones): Genz's order for a box symmetric about 0, where every
// conditional mean used by his ordering is 0.  It stops at the first pivot
// that is not above kPivotTolerance.
OrderedFactor ordered_factor(int n, double** R) {
    OrderedFactor F{n, n, std::vector<double>(static_cast<std::size_t>(n) * n, 0.0)};
    auto L = [&](int i, int j) -> double& { return F.L[static_cast<std::size_t>(i) * n + j]; };
    auto entry = [R](int i, int j) { return i == j ? 1.0 : (i > j ? R[i + 1][j + 1] : R[j + 1][i + 1]); };
    std::vector<int> order(n);
    std::vector<double> remaining(n, 1.0);
    for (int i = 0; i < n; ++i) order[i] = i;
    for (int c = 0; c < n; ++c) {
        int best = c;
        for (int j = c + 1; j < n; ++j)
            if (remaining[j] > remaining[best]) best = j;
        std::swap(order[c], order[best]);
        std::swap(remaining[c], remaining[best]);
        for (int k = 0; k < c; ++k) std::swap(L(c, k), L(best, k));
        if (!(remaining[c] > kPivotTolerance)) {
            F.rank = c;
            break;
        }
        const double pivot = std::sqrt(remaining[c]);
        L(c, c) = pivot;
        for (int j = c + 1; j < n; ++j) {
            double s = entry(order[j], order[c]);
            for (int k = 0; k < c; ++k) s -= L(j, k) * L(c, k);
            L(j, c) = s / pivot;
            remaining[j] -= L(j, c) * L(j, c);
        }
    }
    return F;
}

// One rule under every shift: per shift, the mean over the rule's points of
// the probability of leaving the box.  The shifts run side by side.
//
// Variable 0 leaves the box with probability 2 Phi(-t).  Given values y_0 ..
// y_{i-1} of the earlier standardised variables (drawn inside their limits),
// variable i lies at s = sum_k L(i, k) y_k plus L(i, i) times a standard
// normal, and leaves the box with probability lo + hi, lo = Phi((-t - s) /
// L(i, i)) and hi = Phi((-t + s) / L(i, i)); y_i is then the quantile of
// lo + u (1 - lo - hi), u the point's coordinate after the baker's transform
// |2x - 1|.  A variable without a pivot leaves it when |s| >= t.
void apply_rule(const OrderedFactor& F, double t, const KorobovRule& rule, const double* shift, int dims,
                double* means) {
    const int n = F.n, rank = F.rank, N = rule.points;
    std::vector<std::int64_t> z(std::max(dims, 1));
    std::int64_t power = 1;
    for (int j = 0; j < dims; ++j) {
        z[j] = power;
        power = power * rule.factor % N;
    }
    std::vector<double> y(static_cast<std::size_t>(std::max(dims, 1)) * kShifts);
    const double first_out = -t / F.L[0];
    const double q0 = 2.0 * phi_(&first_out);
    double sums[kShifts] = {};
    for (int point = 0; point < N; ++point) {
        // Probability of being inside so far and of having left, and the
        // probability limits of the variable to draw next.
        double inside[kShifts], left[kShifts], d[kShifts], e[kShifts];
        for (int s = 0; s < kShifts; ++s) {
            inside[s] = 1.0 - q0;
            left[s] = q0;
            d[s] = 0.5 * q0;
            e[s] = 1.0 - 0.5 * q0;
        }
        for (int i = 1; i < n; ++i) {
            const int j = i - 1;
            if (j < dims) {
                const double base = static_cast<double>(point * z[j] % N) / N;
                for (int s = 0; s < kShifts; ++s) {
                    double x = base + shift[s * dims + j];
                    if (x >= 1.0) x -= 1.0;
                    const double arg = d[s] + std::fabs(2.0 * x - 1.0) * (e[s] - d[s]);
                    y[static_cast<std::size_t>(j) * kShifts + s] = phinv_(&arg);
                }
            }
            const double* Li = &F.L[static_cast<std::size_t>(i) * n];
            double mean[kShifts] = {};
            for (int k = 0; k < std::min(i, rank); ++k)
                for (int s = 0; s < kShifts; ++s) mean[s] += Li[k] * y[static_cast<std::size_t>(k) * kShifts + s];
            if (i < rank) {
                const double sd = Li[i];
                for (int s = 0; s < kShifts; ++s) {
                    const double below = (-t - mean[s]) / sd, above = (-t + mean[s]) / sd;
                    const double lo = phi_(&below), hi = phi_(&above);
                    const double q = lo + hi;
                    left[s] += inside[s] * q;
                    inside[s] *= 1.0 - q;
                    d[s] = lo;
                    e[s] = 1.0 - hi;
                }
            } else {
                for (int s = 0; s < kShifts; ++s) {
                    if (std::fabs(mean[s]) >= t) {
                        left[s] += inside[s];
                        inside[s] = 0.0;
                    }
                }
            }
        }
        for (int s = 0; s < kShifts; ++s) sums[s] += left[s];
    }
    for (int s = 0; s < kShifts; ++s) means[s] = sums[s] / N;
}

}  // namespace

double maxnormal_lattice(int n, double t, double** R, double releps, double pfloor, double psure,
                         double points_per_ratio, double* relerr, int* inform) {
    *relerr = 0.0;
    *inform = 0;
    bool finite = n >= 1 && n <= kMaxVariables && t > 0.0 && std::isfinite(t);
    for (int i = 2; finite && i <= n; ++i)
        for (int j = 1; j < i; ++j) finite = finite && std::isfinite(R[i][j]);
    if (!finite) {
        *inform = 1;
        return std::numeric_limits<double>::quiet_NaN();
    }
    const OrderedFactor F = ordered_factor(n, R);
    // The union bound 2 n Q(t), at least the p-value.
    const double union_bound = 2.0 * n * std::exp(log_normal_upper(t));
    if (F.rank == 1) {
        // Every variable is +-W_1 (a correlation of +-1 with a unit
        // diagonal): P(|W_1| >= t), no integral.
        const double below = -t;
        return 2.0 * phi_(&below);
    }
    // Coordinates drawn: every variable with a pivot but the last, and the
    // last as well when variables without a pivot follow it.
    const int dims = F.rank < n ? F.rank : F.rank - 1;

    std::vector<double> shift(static_cast<std::size_t>(kShifts) * std::max(dims, 1));
    gsl_rng* rng = gsl_rng_alloc(gsl_rng_taus2);
    gsl_rng_set(rng, maxnormal_seed(n, t, R));
    for (double& x : shift) x = gsl_rng_uniform(rng);
    gsl_rng_free(rng);

    // Inverse-variance weighted combination of the rounds.
    double weight = 0.0, weighted = 0.0, estimate = 0.0;
    int r = n <= kSmallProblem ? 0 : 1;
    while (true) {
        double means[kShifts];
        apply_rule(F, t, kRules[r], shift.data(), dims, means);
        double mean = 0.0;
        for (double m : means) mean += m;
        mean /= kShifts;
        double variance = 0.0;
        for (double m : means) variance += (m - mean) * (m - mean);
        variance /= kShifts * (kShifts - 1.0);
        if (std::isnan(mean)) {
            *inform = 1;
            return mean;
        }
        if (variance > 0.0) {
            weight += 1.0 / variance;
            weighted += mean / variance;
            estimate = weighted / weight;
            *relerr = kErrorInStandardErrors * std::sqrt(1.0 / weight) / estimate;
        } else if (weight == 0.0) {
            // Every shift gave the same value: the points may all have missed
            // where the integrand varies, so the round tells nothing of the
            // error and the next rule is twice as large.
            estimate = mean;
            *relerr = std::numeric_limits<double>::infinity();
        }
        if (*relerr <= releps) return estimate;
        if (!(estimate >= pfloor)) {
            *inform = 2;
            return estimate;
        }
        if (r == kRuleCount - 1) {
            *inform = 1;
            return estimate;
        }
        // The first rule with about the points wanted, or the largest.
        const double growth = std::isinf(*relerr)
                                  ? kLeastGrowth
                                  : std::max(kLeastGrowth, kRoundMargin * std::pow(*relerr / releps, 1.0 / kAssumedRate));
        const double wanted = kRules[r].points * growth;
        int next = r + 1;
        while (next < kRuleCount - 1 && kRules[next].points < kRuleSlack * wanted) ++next;
        if (estimate < psure && kRules[next].points > points_per_ratio * union_bound / estimate) {
            *inform = 2;
            return estimate;
        }
        r = next;
    }
}

// Tail p-values: the maximum statistic below 0.1 (ALOE importance sampling)
// and the variance component below Davies' resolution (inversion along the
// steepest-descent path).  Every reference value comes from
// tests/reference/tail_reference.py (mpmath quadrature of one-factor
// integrals and bivariate integrals) or tests/reference/vc_tail_reference.py
// (incomplete gamma functions, the Ruben-Moschopoulos series).
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <initializer_list>
#include <thread>
#include <utility>
#include <vector>

#include "engine/pvalue_combination.h"
#include "numerics/normal_max_tail.h"
#include "numerics/quadratic_form_tail.h"
#include "numerics/offset_arrays.h"
#include "equicorrelation.h"

namespace {

// Scores (variance v on the diagonal, covariance c elsewhere) for
// DRENNIK_metaPval_v2, 0-based.
struct Scores {
    int n;
    std::vector<double> U, w;
    double** V;
    Scores(int n_, double v, double c) : n(n_), U(n_, 0.0), w(n_, 1.0), V(dmatrix(0, n_ - 1, 0, n_ - 1)) {
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) V[i][j] = i == j ? v : c;
    }
    ~Scores() { free_dmatrix(V, 0, n - 1, 0, n - 1); }
    Scores(const Scores&) = delete;
    Scores& operator=(const Scores&) = delete;
    double combine(int method, int* inform) {
        double T = 0, p = 0;
        *inform = -1;
        DRENNIK_metaPval_v2(method, n, U.data(), V, w.data(), &T, &p, inform);
        return p;
    }
};

struct MaxCase {
    int d;
    double rho, t, want;
};

// One-factor integrals (equicorrelated) and the independent case.
const MaxCase kEquicorrelated[] = {
    {10, 0.9, 4.0, 2.85655039795e-4},  {10, 0.9, 4.5, 3.43039396382e-5},  {10, 0.9, 5.0, 3.2038911525e-6},
    {10, 0.9, 5.5, 2.32422610943e-7},  {10, 0.9, 8.66, 4.12548423152e-17}, {3, 0.5, 5.5, 1.13812021233e-7},
    {20, 0.6, 3.0, 3.24547911687e-2},  {20, 0.6, 5.0, 1.07064355913e-5},  {20, 0.6, 12.0, 7.10592834219e-32},
    {5, 0.0, 30.0, 4.90671392715e-197}, {5, 0.0, 37.0, 5.72557122252e-299},
};

}  // namespace

TEST(MaxStatisticTail, WithinOnePercentAndWithinItsOwnErrorEstimate) {
    for (const auto& c : kEquicorrelated) {
        Corr R(c.d, c.rho);
        double relerr = -1;
        int inform = -1;
        const double p = maxnormal_tail(c.d, c.t, R.S, 0.004, &relerr, &inform);
        const double rel = std::fabs(p / c.want - 1.0);
        EXPECT_LE(rel, 0.01) << "d=" << c.d << " t=" << c.t;
        EXPECT_LE(rel, relerr + 1e-9) << "d=" << c.d << " t=" << c.t << ": error estimate not honest";
        EXPECT_LE(relerr, 0.004);
        EXPECT_EQ(inform, 0);

        // The same through the combination (stage 1, then the tail), with
        // variances that are not 1 and the maximum on the last component.
        Scores s(c.d, 4.0, 4.0 * c.rho);
        s.U[c.d - 1] = -2.0 * c.t;
        int flag = 0;
        const double q = s.combine(1, &flag);
        EXPECT_LE(std::fabs(q / c.want - 1.0), 0.01) << "d=" << c.d << " t=" << c.t;
        EXPECT_EQ(flag, 0);
    }
}

TEST(MaxStatisticTail, ErrorsDoNotRepeatAcrossStatistics) {
    // One correlation (six components, equicorrelated 0.75) at many
    // statistics: every value within 1 %, and the errors of the calls are
    // not one shared error (the seed comes from the call's inputs), so their
    // mean is far closer to the truth than any one of them need be.
    // References: tail_reference.py --table (one-factor integrals).
    const std::pair<double, double> cases[] = {
        {3.0, 1.0877129615173447e-2},  {3.4, 2.9516585952533124e-3}, {3.8, 6.7996487820743312e-4},
        {4.2, 1.3291654036878162e-4},  {4.6, 2.2048199476344897e-5}, {5.0, 3.1049278341986116e-6},
        {5.4, 3.7144311863749429e-7},  {5.8, 3.7776549663837664e-8}, {6.2, 3.2687334105802228e-9},
        {6.6, 2.4081585099158728e-10}, {7.0, 1.5115534404891552e-11}};
    Corr R(6, 0.75);
    double sum = 0.0;
    int n = 0;
    for (const auto& [t, want] : cases) {
        int flag = 0;
        const double ratio = mvn_pvalue(6, t, R.S, &flag) / want;
        EXPECT_NEAR(ratio, 1.0, 0.01) << "t=" << t;
        EXPECT_EQ(flag, 0);
        sum += ratio;
        ++n;
    }
    EXPECT_NEAR(sum / n, 1.0, 0.003);
}

TEST(MaxStatisticTail, SameDigitsWhateverRanBefore) {
    Corr R(10, 0.9), other(4, 0.2);
    double e1, e2, e3;
    int i1, i2, i3;
    const double first = maxnormal_tail(10, 5.0, R.S, 0.01, &e1, &i1);
    maxnormal_tail(4, 3.0, other.S, 0.01, &e2, &i2);
    const double again = maxnormal_tail(10, 5.0, R.S, 0.01, &e3, &i3);
    EXPECT_EQ(first, again);
    EXPECT_EQ(e1, e3);
}

TEST(MaxStatisticTail, SameDigitsOnAnyThread) {
    // The seed comes from the inputs alone: four threads at once give the
    // digits of a call on the main thread, for two different inputs.
    Corr R(8, 0.6);
    double e0, e1;
    int i0, i1;
    const double want_a = maxnormal_tail(8, 4.0, R.S, 0.004, &e0, &i0);
    const double want_b = maxnormal_tail(8, 4.5, R.S, 0.004, &e1, &i1);
    std::vector<double> got(8);
    std::vector<std::thread> threads;
    for (int k = 0; k < 8; ++k)
        threads.emplace_back([&, k] {
            double e;
            int i;
            got[k] = maxnormal_tail(8, k % 2 ? 4.5 : 4.0, R.S, 0.004, &e, &i);
        });
    for (auto& th : threads) th.join();
    for (int k = 0; k < 8; ++k) EXPECT_EQ(got[k], k % 2 ? want_b : want_a) << "thread " << k;
}

TEST(MaxStatisticTail, OneAndTwoComponents) {
    // One component: 2 Q(t), down to 1e-299.
    double relerr;
    int inform;
    Corr one(1, 0.0);
    EXPECT_NEAR(maxnormal_tail(1, 37.0, one.S, 0.01, &relerr, &inform) / 1.1451142445e-299, 1.0, 1e-9);
    int flag = 0;
    EXPECT_NEAR(mvn_pvalue(1, 37.0, one.S, &flag) / 1.1451142445e-299, 1.0, 1e-9);
    EXPECT_EQ(flag, 0);

    // Two components: the closed form of stage 1 above 1e-8 (its digits),
    // the tail method below, a sign-flipped pair exactly 2 Q(t).
    struct Case {
        double r, t, want, tol;
    };
    const Case cases[] = {{0.5, 3.0, 5.23581265991e-3, 1e-9},
                          {0.5, 9.0, 4.51435328127e-19, 0.01},
                          {-0.8, 9.0, 4.50891256161e-19, 0.01},
                          {0.999, 20.0, 7.42632450412e-89, 0.01},
                          {-1.0, 20.0, 5.50724823721e-89, 1e-9}};
    for (const auto& c : cases) {
        Corr R(2, c.r);
        flag = 0;
        EXPECT_NEAR(mvn_pvalue(2, c.t, R.S, &flag) / c.want, 1.0, c.tol) << "r=" << c.r << " t=" << c.t;
        EXPECT_EQ(flag, 0);
    }
}

TEST(MaxStatisticTail, DuplicatesAndSignFlippedCopies) {
    // An exact duplicate is left out: d = 10 plus a copy of component 4.
    Scores dup(11, 1.0, 0.9);
    for (int k = 0; k < 11; ++k) dup.V[3][k] = dup.V[k][3] = dup.V[10][k] = dup.V[k][10] = k == 3 || k == 10 ? 1.0 : 0.9;
    dup.U[10] = 5.0;
    int flag = 0;
    EXPECT_NEAR(dup.combine(1, &flag) / 3.2038911525e-6, 1.0, 0.01);
    EXPECT_EQ(flag, 0);

    // A sign-flipped copy is kept (correlation -1) and changes nothing: the
    // union counts each half-space that a draw falls in.
    Scores flip(4, 1.0, 0.5);
    for (int k = 0; k < 3; ++k) flip.V[3][k] = flip.V[k][3] = -flip.V[0][k];
    flip.U[3] = -5.5;
    EXPECT_NEAR(flip.combine(1, &flag) / 1.13812021233e-7, 1.0, 0.01);
    EXPECT_EQ(flag, 0);
}

TEST(MaxStatisticTail, BeyondTheRangeOfDoublesAndAtTheEnds) {
    Corr R(5, 0.3);
    double relerr;
    int inform;
    // Far beyond the doubles, DBL_MIN with no flag: GSL's log erfc once gave
    // NaN above about 7e61.
    for (double t : {40.0, 7e61, 1e100, 1e300, static_cast<double>(INFINITY)}) {
        inform = -1;
        EXPECT_EQ(maxnormal_tail(5, t, R.S, 0.004, &relerr, &inform), DBL_MIN) << "t=" << t;
        EXPECT_EQ(inform, 0);
    }
    EXPECT_EQ(maxnormal_tail(5, 0.0, R.S, 0.004, &relerr, &inform), 1.0);
    EXPECT_TRUE(std::isnan(maxnormal_tail(5, NAN, R.S, 0.004, &relerr, &inform)));
    EXPECT_EQ(inform, 1);

    // Never rising as the statistic grows, whatever the number of components
    // (two take the bivariate closed form first, which gave NaN at +inf).
    for (int d : {1, 2, 5}) {
        Corr Rd(d, 0.5);
        double last = 1.0;
        for (double t = 4.0; t < 1e300; t *= 1.5) {
            int flag = 0;
            const double p = mvn_pvalue(d, t, Rd.S, &flag);
            ASSERT_GE(p, DBL_MIN) << "d=" << d << " t=" << t;
            ASSERT_LE(p, last) << "d=" << d << " t=" << t;
            last = p;
        }
        int flag = 0;
        EXPECT_EQ(mvn_pvalue(d, INFINITY, Rd.S, &flag), DBL_MIN) << "d=" << d;
        EXPECT_EQ(flag, 0);
        EXPECT_TRUE(std::isnan(mvn_pvalue(d, NAN, Rd.S, &flag)));
        EXPECT_EQ(flag, 1);
    }

    // A standardized score that overflows has no p-value: NaN, flagged.
    Scores s(3, 1e-300, 0.0);
    s.U[1] = 1e300;
    int flag = 0;
    EXPECT_TRUE(std::isnan(s.combine(1, &flag)));
    EXPECT_EQ(flag, 1);
}

// ---- variance component below Davies' resolution -----------------------------
// References: tests/reference/vc_tail_reference.py (50-digit mpmath: the
// incomplete gamma function for equal coefficients, the Ruben-Moschopoulos
// series of positive terms for unequal ones).  The method's own error is
// below 1e-8; the tolerance 1e-6 is far inside the 0.1 % that matters.

namespace {

constexpr double kVcTolerance = 1e-6;

struct TailCase {
    std::vector<double> lambda;
    double q, want;
};

void expect_tails(const std::vector<TailCase>& cases) {
    for (const auto& c : cases) {
        const double p = qf_upper_tail(static_cast<int>(c.lambda.size()), c.lambda.data(), c.q);
        EXPECT_NEAR(p / c.want, 1.0, kVcTolerance) << "r=" << c.lambda.size() << " q=" << c.q;
    }
}

std::vector<double> fifty_decreasing() {
    std::vector<double> l(50);
    for (int j = 0; j < 50; ++j) l[j] = std::pow(0.98, j);
    return l;
}

}  // namespace

TEST(VarianceComponentTail, EqualEigenvaluesAreChiSquaredTails) {
    // Diagonal covariance with equal variances lambda, weights 1:
    // Q = lambda chi2_r, P(Q > q) = the upper incomplete gamma Q(r/2, q/(2 lambda)).
    struct Case {
        double lambda;
        int r;
        double q, want;
    };
    const Case cases[] = {{2.0, 1, 65.0, 1.19192530585499e-8},   {2.0, 1, 120.0, 9.48573757107385e-15},
                          {1.0, 1, 130.0, 4.09777649484491e-30},  {0.5, 3, 40.0, 3.06927748617242e-17},
                          {0.5, 3, 150.0, 9.94875834632771e-65},  {1.0, 4, 140.0, 2.82256931249514e-29},
                          {1.0, 1, 1400.0, 2.10101451626422e-306}};
    for (const auto& c : cases) {
        Scores s(c.r, c.lambda, 0.0);
        s.U[0] = std::sqrt(c.q);
        int inform = -1;
        const double p = s.combine(2, &inform);
        EXPECT_NEAR(p / c.want, 1.0, kVcTolerance) << "lambda=" << c.lambda << " r=" << c.r << " q=" << c.q;
        EXPECT_EQ(inform, 0);
    }
    // Many equal ones: fifty at 0.02.
    expect_tails({{std::vector<double>(50, 0.02), 3.0, 6.31522325693399e-12},
                  {std::vector<double>(50, 0.02), 30.0, 3.17693367187534e-281}});
}

TEST(VarianceComponentTail, OneDominantEigenvalue) {
    const std::vector<double> l = {1.0, 0.1, 0.05, 0.05};
    expect_tails({{l, 40.0, 2.82522985346997e-10}, {l, 300.0, 3.6566401196322e-67}, {l, 1300.0, 1.25433329106686e-284}});
}

TEST(VarianceComponentTail, UnequalEigenvalues) {
    // Q = 3 chi2_1 + chi2_1 (weights 1 and 1/3 on variances 3 and 3); Q = U_0^2.
    Scores s(2, 3.0, 0.0);
    s.w = {1.0, 1.0 / 3.0};
    for (const auto& [q, want] : {std::pair{110.0, 1.72803204149507e-9}, std::pair{400.0, 9.37909919491427e-31}}) {
        s.U[0] = std::sqrt(q);
        int inform = -1;
        EXPECT_NEAR(s.combine(2, &inform) / want, 1.0, kVcTolerance) << "q=" << q;
        EXPECT_EQ(inform, 0);
    }
    const std::vector<double> five = {1.0, 0.875, 0.75, 0.625, 0.5};
    expect_tails({{five, 60.0, 1.42831794689282e-13},
                  {five, 700.0, 3.94254045966673e-153},
                  {fifty_decreasing(), 150.0, 8.79489761926196e-22},
                  {fifty_decreasing(), 800.0, 2.90322876875551e-163}});
}

TEST(VarianceComponentTail, BelowAtAndAboveTheMean) {
    // Used after a fault of Davies' algorithm wherever the statistic lies:
    // Q = chi2_4 (mean 4), P(Q > q) = exp(-q/2) (1 + q/2), and five unequal
    // coefficients (mean 3.75).
    const double lambda[4] = {1.0, 1.0, 1.0, 1.0};
    for (double q : {0.5, 2.0, 4.0, 4.00001, 6.0, 12.0}) {
        const double want = std::exp(-q / 2) * (1 + q / 2);
        EXPECT_NEAR(qf_upper_tail(4, lambda, q) / want, 1.0, kVcTolerance) << "q=" << q;
    }
    const std::vector<double> five = {1.0, 0.875, 0.75, 0.625, 0.5};
    expect_tails({{five, 0.3, 0.995018239388201},
                  {five, 1.0, 0.928141330774285},
                  {five, 3.75, 0.411231975417382},
                  {five, 5.0, 0.246120072008684}});
    EXPECT_EQ(qf_upper_tail(4, lambda, 0.0), 1.0);
    EXPECT_EQ(qf_upper_tail(4, lambda, -3.0), 1.0);
    EXPECT_EQ(qf_upper_tail(4, lambda, 1e-300), 1.0);
    EXPECT_TRUE(std::isnan(qf_upper_tail(4, lambda, NAN)));
    const double bad[2] = {1.0, 0.0};
    EXPECT_TRUE(std::isnan(qf_upper_tail(2, bad, 3.0)));
}

TEST(VarianceComponentTail, BeyondTheRepresentableRangeNeverRises) {
    // Every statistic gives a p-value in [DBL_MIN, 1] that does not rise as
    // the statistic grows, up to and past the range of doubles (q / lambda_max
    // between 1e11 and 1e15 once gave NaN, and above that 1).
    const std::vector<double> l = {1.0, 0.3, 0.3, 0.01};
    double last = 1.0;
    for (double q = 1.0; q < 1e307; q *= 1.7) {
        const double p = qf_upper_tail(4, l.data(), q);
        ASSERT_GE(p, DBL_MIN) << "q=" << q;
        ASSERT_LE(p, last) << "q=" << q;
        last = p;
    }
    EXPECT_EQ(last, DBL_MIN);
    EXPECT_EQ(qf_upper_tail(4, l.data(), 1e13), DBL_MIN);
    EXPECT_EQ(qf_upper_tail(4, l.data(), INFINITY), DBL_MIN);

    // Through the combination: a statistic of 1e14 (Davies' value 0, then
    // the tail), one of 1e300 (Davies' algorithm fails with fault 1, which
    // stays as the flag), then one that overflows (no p-value, flagged).
    Scores s(2, 3.0, 0.0);
    int inform = -1;
    s.U[0] = 1e7;
    EXPECT_EQ(s.combine(2, &inform), DBL_MIN);
    EXPECT_EQ(inform, 0);
    s.U[0] = 1e150;
    EXPECT_EQ(s.combine(2, &inform), DBL_MIN);
    EXPECT_EQ(inform, 1);
    s.U[0] = 1e200;
    EXPECT_TRUE(std::isnan(s.combine(2, &inform)));
    EXPECT_EQ(inform, 3);
}

// ---- variance component between 1e-7 and 1e-3 --------------------------------
// Davies' value is accurate to 1e-8 absolute, which is 1 % at 1e-6; below 1e-3
// the p-value is the tail.  References: vc_tail_reference.py, the points of
// its --table at 1e-3 to 1e-7.

namespace {

// SKAT on a diagonal covariance (its eigenvalues are the variances) with
// weights 1 and Q = S_0^2, S_0 = sqrt(q); *Q (when given) receives Q.
double skat_diagonal(const std::vector<double>& lambda, double q, int* inform, double* Q = nullptr) {
    const int m = static_cast<int>(lambda.size());
    double** cov = dmatrix(0, m - 1, 0, m - 1);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) cov[i][j] = i == j ? lambda[i] : 0.0;
    std::vector<double> S(m, 0.0), w(m, 1.0);
    S[0] = std::sqrt(q);
    double T = 0, p = 0;
    *inform = -1;
    SKAT(m, S.data(), cov, w.data(), &T, &p, inform);
    free_dmatrix(cov, 0, m - 1, 0, m - 1);
    if (Q != nullptr) *Q = T;
    return p;
}

// Davies' value for lambda in ascending order, as SKAT takes it.
double davies_upper(std::vector<double> lambda, double q) {
    std::sort(lambda.begin(), lambda.end());
    int ifault = 0;
    return davies_upper_tail(static_cast<int>(lambda.size()), lambda.data(), q, &ifault);
}

std::vector<double> dominant_set() { return {1.0, 0.1, 0.05, 0.05}; }
std::vector<double> five_set() { return {1.0, 0.875, 0.75, 0.625, 0.5}; }

}  // namespace

TEST(VarianceComponentTail, EveryPValueBelowOneThousandthIsRelativelyAccurate) {
    struct Case {
        std::vector<double> lambda;
        double q, want;
    };
    const std::vector<double> two = {1.0, 0.5}, equal10(10, 0.7), single = {3.0};
    const Case cases[] = {
        {dominant_set(), 11.6272, 7.27162950799543e-4}, {dominant_set(), 20.1969, 7.79082084413259e-6},
        {dominant_set(), 24.5847, 7.92332373777595e-7}, {two, 16.3617, 7.64132679770199e-5},
        {two, 25.0788, 7.94253659802015e-7},           {two, 29.503, 8.03219331107012e-8},
        {five_set(), 16.4619, 8.48531474348846e-4},    {five_set(), 25.2059, 8.92254183840115e-6},
        {five_set(), 29.6172, 8.9679458754774e-7},     {fifty_decreasing(), 63.3268, 9.19414068013687e-5},
        {fifty_decreasing(), 75.0715, 9.44873772221118e-7}, {equal10, 25.0875, 8.96999127771873e-5},
        {equal10, 29.0626, 9.13365501264647e-6},       {equal10, 32.9355, 9.24425357298578e-7},
        {single, 46.9711, 7.59296718273304e-5},        {single, 73.1294, 7.92306791295462e-7},
    };
    for (const auto& c : cases) {
        int inform = -1;
        const double p = skat_diagonal(c.lambda, c.q, &inform);
        EXPECT_NEAR(p / c.want, 1.0, kVcTolerance) << "r=" << c.lambda.size() << " q=" << c.q;
        EXPECT_EQ(inform, 0);
    }
}

TEST(VarianceComponentTail, DaviesValueStandsAboveTheSwitchAndNothingRisesAcrossIt) {
    // Statistics in fine steps through the point where the tail is 1e-3 (the
    // switch), and through the point where it is 1e-7 (the switch of old,
    // where the p-value used to rise by up to 2 %).
    for (const auto& lambda : {dominant_set(), five_set(), fifty_decreasing()}) {
        const int r = static_cast<int>(lambda.size());
        for (const double level : {1e-3, 1e-7}) {
            double lo = 0.0, hi = 1.0;
            while (qf_upper_tail(r, lambda.data(), hi) > level) hi *= 2.0;
            for (int it = 0; it < 200; ++it) {
                const double mid = 0.5 * (lo + hi);
                (qf_upper_tail(r, lambda.data(), mid) > level ? lo : hi) = mid;
            }
            double last = 1.0;
            for (int step = -120; step <= 120; ++step) {
                const double q = hi * (1.0 + 2.5e-5 * step);
                int inform = -1;
                double Q = 0.0;
                const double p = skat_diagonal(lambda, q, &inform, &Q);
                ASSERT_LE(p, last) << "r=" << r << " q=" << q;
                ASSERT_EQ(inform, 0);
                std::vector<double> ascending = lambda;
                std::sort(ascending.begin(), ascending.end());
                const double tail = qf_upper_tail(r, ascending.data(), Q);
                if (tail < 1e-3) {
                    ASSERT_EQ(p, tail) << "r=" << r << " q=" << q;
                } else {
                    // Davies' value, held at 1e-3 or above.
                    ASSERT_EQ(p, std::max(davies_upper(lambda, Q), 1e-3)) << "r=" << r << " q=" << q;
                }
                last = p;
            }
        }
    }
}

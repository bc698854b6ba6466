#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "engine/pvalue_combination.h"
#include "numerics/offset_arrays.h"
#include "equicorrelation.h"
#include "normal_reference.h"

namespace ref = normal_reference;

namespace {

// Scores and a 0-based covariance for DRENNIK_metaPval_v2.
struct Scores {
    int n;
    std::vector<double> U, w;
    double** V;
    explicit Scores(int n_) : n(n_), U(n_, 0.0), w(n_, 1.0), V(dmatrix(0, n_ - 1, 0, n_ - 1)) {
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) V[i][j] = i == j ? 1.0 : 0.0;
    }
    ~Scores() { free_dmatrix(V, 0, n - 1, 0, n - 1); }
    Scores(const Scores&) = delete;
    Scores& operator=(const Scores&) = delete;
    void combine(int method, double* T, double* p, int* inform) {
        DRENNIK_metaPval_v2(method, n, U.data(), V, w.data(), T, p, inform);
    }
};

double two_sided(double t) { return std::erfc(t / std::sqrt(2.0)); }
// P(max |W_k| >= t) for n independent standard normals.
double independent_max(int n, double t) { return 1.0 - std::pow(1.0 - two_sided(t), n); }

// Equicorrelated (rho >= 0) maximum: W_k = sqrt(rho) Z + sqrt(1 - rho) E_k, so
// P(all |W_k| < t) is a one-dimensional integral over the common factor Z.
double equicorrelated_max(int n, long double rho, long double t) {
    const long double sr = std::sqrt(rho), s = std::sqrt(1 - rho);
    auto f = [&](long double z) {
        const long double q = ref::cdf((t - sr * z) / s) - ref::cdf((-t - sr * z) / s);
        return ref::density(z) * std::pow(q, n);
    };
    return static_cast<double>(1 - ref::integrate(f, -12, 12, 400));
}

// P(l1 X1 + l2 X2 > q), X1, X2 independent chi-squared with one degree of
// freedom: X1 = Z^2, then P(X2 > y) = erfc(sqrt(y / 2)); split at the kinks.
double two_term_tail(long double l1, long double l2, long double q) {
    auto f = [&](long double z) {
        const long double y = (q - l1 * z * z) / l2;
        return ref::density(z) * (y > 0 ? std::erfc(std::sqrt(y / 2)) : 1.0L);
    };
    const long double k = std::sqrt(q / l1);
    return static_cast<double>(ref::integrate(f, -12, -k, 200) + ref::integrate(f, -k, k, 200) +
                               ref::integrate(f, k, 12, 200));
}

}  // namespace

// ---- maximum statistic (method 1) -----------------------------------------

TEST(MaxStatistic, OneValidComponentIsTheTwoSidedNormalTail) {
    Scores s(3);
    s.U = {-2.4, 7.0, 0.3};
    s.V[0][0] = 4.0;
    s.V[1][1] = 0.0;   // zero variance: its large score must not count
    s.V[2][2] = -1.0;  // negative variance: not valid either
    s.V[0][1] = s.V[1][0] = 0.5;
    double T = 0, p = 0;
    int inform = -1;
    s.combine(1, &T, &p, &inform);
    EXPECT_DOUBLE_EQ(T, 1.2);
    EXPECT_NEAR(p, two_sided(1.2), 1e-15);
    EXPECT_EQ(inform, 0);
}

TEST(MaxStatistic, NoValidComponent) {
    Scores s(2);
    s.V[0][0] = s.V[1][1] = 0.0;
    double T = 5, p = 0;
    int inform = 7;
    s.combine(1, &T, &p, &inform);
    EXPECT_EQ(p, -999.0);
    EXPECT_EQ(T, -999.0);
    EXPECT_EQ(inform, 0);
}

TEST(MaxStatistic, TwoIndependentComponentsWithUnequalVariances) {
    Scores s(2);
    s.U = {3.0, -7.5};
    s.V[0][0] = 4.0;
    s.V[1][1] = 9.0;  // standardized 1.5 and 2.5
    double T = 0, p = 0;
    int inform = -1;
    s.combine(1, &T, &p, &inform);
    EXPECT_DOUBLE_EQ(T, 2.5);
    EXPECT_NEAR(p, independent_max(2, 2.5), 1e-14);
    EXPECT_EQ(inform, 0);
}

TEST(MaxStatistic, PerfectlyCorrelatedLaterComponentIsDropped) {
    // Component 1 duplicates component 0; T still comes from component 1.
    Scores s(2);
    s.U = {1.0, 5.0};
    s.V[0][0] = 1.0;
    s.V[1][1] = 4.0;
    s.V[0][1] = s.V[1][0] = 2.0;
    double T = 0, p = 0;
    int inform = -1;
    s.combine(1, &T, &p, &inform);
    EXPECT_DOUBLE_EQ(T, 2.5);
    EXPECT_NEAR(p, two_sided(2.5), 1e-15);
    EXPECT_EQ(inform, 0);
}

// More than 20 kept components cannot be integrated (p 1, inform 1), so the
// count of kept components shows which duplicates were dropped.
TEST(MaxStatistic, DuplicateToleranceAndChainsSeenThroughTheComponentLimit) {
    const double t = 2.5;
    auto run = [&](int extra, double gap_ab, double gap_bc, double* p, int* inform) {
        // 19 independent components, then A, B (and C) nearly equal.
        Scores s(21 + extra);
        const int A = 19, B = 20, C = 21;
        s.V[A][B] = s.V[B][A] = 1.0 - gap_ab;
        if (extra) {
            s.V[B][C] = s.V[C][B] = 1.0 - gap_bc;
            // Angles add up: corr(A, C) = cos(2 theta), about 1 - 2 (gap_ab + gap_bc).
            s.V[A][C] = s.V[C][A] = 1.0 - 2.0 * (gap_ab + gap_bc);
            s.U[C] = -t;  // the largest score belongs to a dropped component
        } else {
            s.U[B] = t;
        }
        double T = 0;
        s.combine(1, &T, p, inform);
        EXPECT_DOUBLE_EQ(T, t);
    };
    double p = 0;
    int inform = -1;
    run(0, 5e-11, 0, &p, &inform);  // within 1e-10: dropped, 20 left
    EXPECT_EQ(inform, 0);
    EXPECT_NEAR(p, independent_max(20, t), 0.01);
    run(0, 2e-10, 0, &p, &inform);  // outside: all 21 kept
    EXPECT_EQ(inform, 1);
    EXPECT_EQ(p, 1.0);
    // A-B and B-C within the tolerance, A-C outside it: B goes through row A
    // and C through row B, although B itself was dropped.
    run(1, 6e-11, 6e-11, &p, &inform);
    EXPECT_EQ(inform, 0);
    EXPECT_NEAR(p, independent_max(20, t), 0.01);
}

TEST(MaxStatistic, CorrelationNearMinusOneDropsNothing) {
    Scores s(21);
    s.V[0][1] = s.V[1][0] = -1.0;
    s.U[0] = 2.0;
    double T = 0, p = 0;
    int inform = -1;
    s.combine(1, &T, &p, &inform);
    EXPECT_EQ(inform, 1);
    EXPECT_EQ(p, 1.0);
}

TEST(MaxStatistic, ManyComponentsNeedNoOverflowingBudget) {
    Scores s(80);
    s.U[5] = 3.0;
    double T = 0, p = 0;
    int inform = -1;
    s.combine(1, &T, &p, &inform);
    EXPECT_EQ(T, 3.0);
    EXPECT_EQ(p, 1.0);
    EXPECT_EQ(inform, 1);
}

// A NaN variance (say from a NaN weight) leaves no p-value and a flag in
// every dimension, wherever the component stands; two components used to
// reach the bivariate closed form and give p = 1 unflagged.
TEST(MaxStatistic, NaNVarianceEndsWithAFlagInEveryDimension) {
    for (int n = 1; n <= 3; ++n) {
        for (int at : {0, n - 1}) {
            Scores s(n);
            for (int k = 0; k < n; ++k) s.U[k] = 1.0 + k;
            if (n > 1) s.V[0][1] = s.V[1][0] = 0.3;
            s.V[at][at] = NAN;
            double T = 0, p = 0;
            int inform = -1;
            s.combine(1, &T, &p, &inform);
            EXPECT_TRUE(std::isnan(T)) << "n=" << n << " at=" << at;
            EXPECT_TRUE(std::isnan(p)) << "n=" << n << " at=" << at;
            EXPECT_EQ(inform, 1) << "n=" << n << " at=" << at;
        }
    }
}

TEST(MaxStatistic, KeptComponentCountLeavesOutInvalidAndDuplicates) {
    // 24 columns: 2 with zero variance, 4 exact copies of earlier ones and
    // one sign-flipped copy (kept): 18 components.
    Scores s(24);
    for (int k = 0; k < 4; ++k) {
        const int copy = 18 + k;
        s.V[copy][copy] = 4.0;
        s.V[k][copy] = s.V[copy][k] = 2.0;  // correlation 1
    }
    s.V[22][22] = 0.0;
    s.V[23][23] = -1.0;
    s.V[5][17] = s.V[17][5] = -1.0;
    EXPECT_EQ(max_statistic_components(24, s.V), 18);
    EXPECT_EQ(max_statistic_components(0, s.V), 0);
}

TEST(MaxStatistic, EquicorrelatedAgainstQuadratureAtEachAccuracy) {
    struct Case {
        int n;
        double rho, t;
    };
    // Within 1 % of p, whatever its size.
    const Case cases[] = {{5, 0.5, 1.5}, {4, 0.3, 2.6}, {3, 0.5, 4.3}};
    for (const auto& c : cases) {
        Scores s(c.n);
        for (int i = 0; i < c.n; ++i)
            for (int j = 0; j < c.n; ++j)
                s.V[i][j] = 2.0 * (i == j ? 1.0 : c.rho);  // variance 2: standardized away
        s.U[c.n - 1] = c.t * std::sqrt(2.0);
        double T = 0, p = 0;
        int inform = -1;
        s.combine(1, &T, &p, &inform);
        const double want = equicorrelated_max(c.n, c.rho, c.t);
        EXPECT_NEAR(T, c.t, 1e-15);
        EXPECT_NEAR(p, want, want / 100) << "n=" << c.n << " t=" << c.t;
        EXPECT_EQ(inform, 0);
    }
}

// Scores on a huge or a tiny scale (weights of 1e150, a trait in tiny units):
// the product of two variances leaves the range of doubles, the correlation
// does not, and the p-value is that of the same scores on a unit scale
// (against the equicorrelated quadrature, as above).
TEST(MaxStatistic, ScoresOnAnExtremeScaleKeepTheirCorrelation) {
    const int n = 4;
    const double rho = 0.5, t = 2.3;
    const double want = equicorrelated_max(n, rho, t);
    for (const int e : {500, -500}) {
        Scores s(n);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) s.V[i][j] = std::ldexp(i == j ? 1.0 : rho, 2 * e);
        s.U[1] = std::ldexp(t, e);
        double T = 0, p = 0;
        int inform = -1;
        s.combine(1, &T, &p, &inform);
        EXPECT_EQ(T, t) << "scale 2^" << e;
        EXPECT_NEAR(p, want, want / 100) << "scale 2^" << e;
        EXPECT_EQ(inform, 0);
    }
}

// ---- stages of mvn_pvalue --------------------------------------------------

// Three components or more, equicorrelated 0.5, from p = 0.78 down to 3e-5:
// the lattice rules, the lattice rules handing over to the tail method, and
// the tail method alone, all within 1 % (references: one-factor integrals of
// tests/reference/max_statistic_reference.py).
TEST(MvnPvalue, LatticeRulesAndTailMethodWithinOnePercent) {
    struct Case {
        int n;
        double t, want;
    };
    const Case cases[] = {{20, 1.5, 0.776194909718543}, {3, 1.0, 0.62433251026353},
                          {5, 1.9, 0.206472191887628},  {10, 2.2, 0.176826692162815},
                          {5, 2.5, 0.051534530932313},  {5, 4.5, 3.35317981612878e-5}};
    for (const auto& c : cases) {
        Corr R(c.n, 0.5);
        int inform = 0;
        EXPECT_NEAR(mvn_pvalue(c.n, c.t, R.S, &inform) / c.want, 1.0, 0.01) << "n=" << c.n << " t=" << c.t;
        EXPECT_EQ(inform, 0);
    }
}

TEST(MvnPvalue, InformIsNeverResetAndMoreThanTwentyFailStageOne) {
    Corr R(2, 0.0);
    int inform = 9;
    EXPECT_NEAR(mvn_pvalue(2, 2.0, R.S, &inform), independent_max(2, 2.0), 1e-14);
    EXPECT_EQ(inform, 9);
    Corr big(21, 0.0);
    EXPECT_EQ(mvn_pvalue(21, 2.0, big.S, &inform), 1.0);
    EXPECT_EQ(inform, 1);
}

// ---- variance component (method 2, SKAT) ------------------------------------

TEST(VarianceComponent, DiagonalEqualVariancesAreAScaledChiSquared) {
    // Q / 2 ~ chi-squared(4): P(chi2_4 > x) = exp(-x / 2) (1 + x / 2).
    Scores s(5);
    s.U = {1.1, -0.4, 9.0, 2.0, 0.7};
    for (int i = 0; i < 5; ++i) s.V[i][i] = 2.0;
    s.V[2][2] = 0.0;  // ignored: neither in T nor in the eigenvalues
    double T = 0, p = 0;
    int inform = -1;
    s.combine(2, &T, &p, &inform);
    const double Q = 1.21 + 0.16 + 4.0 + 0.49, x = Q / 2;
    EXPECT_NEAR(T, Q, 1e-14);
    EXPECT_NEAR(p, std::exp(-x / 2) * (1 + x / 2), 1e-7);
    EXPECT_EQ(inform, 0);
}

TEST(VarianceComponent, WeightsEnterTheStatisticAndTheCovariance) {
    // Weighted variances 4 * 0.5 = 1 * 2 = 2: Q / 2 ~ chi-squared(2).
    Scores s(2);
    s.U = {1.5, -2.0};
    s.w = {4.0, 1.0};
    s.V[0][0] = 0.5;
    s.V[1][1] = 2.0;
    double T = 0, p = 0;
    int inform = -1;
    s.combine(2, &T, &p, &inform);
    EXPECT_NEAR(T, 13.0, 1e-14);
    EXPECT_NEAR(p, std::exp(-13.0 / 4), 1e-8);
}

TEST(VarianceComponent, CorrelatedPairAgainstQuadrature) {
    // Eigenvalues 1.6 and 0.4.
    Scores s(2);
    s.U = {1.3, 0.9};
    s.V[0][1] = s.V[1][0] = 0.6;
    double T = 0, p = 0;
    int inform = -1;
    s.combine(2, &T, &p, &inform);
    EXPECT_NEAR(p, two_term_tail(1.6L, 0.4L, 1.69L + 0.81L), 1e-7);
}

TEST(VarianceComponent, SmallEigenvaluesAreCutRelativeToTheNonNegativeMean) {
    // Variances 1, 1, e (and -1.9 where a negative eigenvalue is wanted).  An
    // included e shifts the tail to exp(-Q / 2) / sqrt(1 - e) (the chi-squared
    // moment generating function), far beyond the 1e-8 accuracy.
    auto tail = [](std::vector<double> var, double* p) {
        const int m = static_cast<int>(var.size());
        double** cov = dmatrix(0, m - 1, 0, m - 1);
        for (int i = 0; i < m; ++i)
            for (int j = 0; j < m; ++j) cov[i][j] = i == j ? var[i] : 0.0;
        std::vector<double> S(m, 0.0), w(m, 1.0);
        S[0] = 1.0;
        S[1] = 0.8;  // Q = 1.64
        double T = 0;
        int err = -1;
        SKAT(m, S.data(), cov, w.data(), &T, p, &err);
        EXPECT_EQ(err, 0);
        free_dmatrix(cov, 0, m - 1, 0, m - 1);
    };
    const double Q = 1.64, cut = 2.0 / 3.0 / 1e5;
    double p = 0;
    tail({1.0, 1.0, 0.9 * cut}, &p);
    EXPECT_NEAR(p, std::exp(-Q / 2), 1e-8);
    tail({1.0, 1.0, 1.2 * cut}, &p);
    EXPECT_NEAR(p, std::exp(-Q / 2) / std::sqrt(1 - 1.2 * cut), 1e-8);
    // With the negative eigenvalue in the mean the cut would fall below e.
    tail({1.0, -1.9, 1.0, 0.75 * cut}, &p);
    EXPECT_NEAR(p, std::exp(-Q / 2), 1e-8);
}

TEST(VarianceComponent, NoNonNegativeEigenvalue) {
    double** cov = dmatrix(0, 1, 0, 1);
    cov[0][0] = -1.0;
    cov[1][1] = -2.0;
    cov[0][1] = cov[1][0] = 0.5;
    double S[2] = {1.0, 2.0}, w[2] = {1.0, 1.0}, T = 0, p = 0;
    int err = 42;
    testing::internal::CaptureStdout();
    SKAT(2, S, cov, w, &T, &p, &err);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No Eigenvalue is bigger than 0!!");
    EXPECT_EQ(p, -999.0);
    EXPECT_EQ(err, 42);
    EXPECT_EQ(T, 5.0);
    free_dmatrix(cov, 0, 1, 0, 1);

    // A NaN variance is valid; linked to the other components it spreads to
    // every eigenvalue.
    Scores s(3);
    s.V[1][1] = NAN;
    s.V[0][1] = s.V[1][0] = s.V[1][2] = s.V[2][1] = 0.2;
    int inform = 42;
    testing::internal::CaptureStdout();
    s.combine(2, &T, &p, &inform);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No Eigenvalue is bigger than 0!!");
    EXPECT_EQ(p, -999.0);
    EXPECT_EQ(inform, 42);
}

TEST(VarianceComponent, NaNEigenvalueBesidesUsableOnesIsAFault) {
    // Uncorrelated with the rest, the NaN variance stays one NaN eigenvalue.
    Scores s(3);
    s.U = {1.0, 2.0, 0.5};
    s.V[1][1] = NAN;
    double T = 0, p = 0;
    int inform = -1;
    testing::internal::CaptureStdout();
    s.combine(2, &T, &p, &inform);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_DOUBLE_EQ(T, 5.25);
    EXPECT_TRUE(std::isnan(p));
    EXPECT_EQ(inform, 3);
}

TEST(VarianceComponent, DaviesFaultGivesNaNAndTheFaultCode) {
    // An infinite statistic is outside what Davies' algorithm accepts (fault 3).
    Scores s(2);
    s.U = {INFINITY, 1.0};
    double T = 0, p = 0;
    int inform = -1;
    s.combine(2, &T, &p, &inform);
    EXPECT_TRUE(std::isinf(T));
    EXPECT_TRUE(std::isnan(p));
    EXPECT_EQ(inform, 3);
}

TEST(VarianceComponent, NoValidComponentLeavesTAndInform) {
    Scores s(2);
    s.V[0][0] = s.V[1][1] = 0.0;
    double T = 3.5, p = 0;
    int inform = 8;
    s.combine(2, &T, &p, &inform);
    EXPECT_EQ(p, -999.0);
    EXPECT_EQ(T, 3.5);
    EXPECT_EQ(inform, 8);
}

// ---- variance component from the subject side ------------------------------

namespace {

// A factor of K rows over n subjects (row-major) and V = scale R R'.
struct Factored {
    CovarianceFactor f;
    Scores s;
    Factored(int K, int n, double scale, const std::vector<double>& R) : s(K) {
        f.n = n;
        f.scale = scale;
        f.R = R;
        for (int k = 0; k < K; ++k)
            for (int l = 0; l < K; ++l) {
                double sum = 0.0;
                for (int i = 0; i < n; ++i) sum += R[k * n + i] * R[l * n + i];
                s.V[k][l] = scale * sum;
            }
    }
    void combine(bool with_factor, double* T, double* p, int* inform) {
        *inform = -1;
        DRENNIK_metaPval_v2(2, s.n, s.U.data(), s.V, s.w.data(), T, p, inform, with_factor ? &f : nullptr);
    }
};

}  // namespace

TEST(VarianceComponent, SubjectSideOfATwoSubjectFactor) {
    // R = [[1, 0], [0, 1], [1, 1]]: V = RR' has the eigenvalues of R'R =
    // [[2, 1], [1, 2]], 3 and 1, and a zero.  Q = 3 chi2_1 + chi2_1; at 110 its
    // tail is 1.72803204149507e-9 and at 12 (Davies' range) 0.0593366307155821
    // (vc_tail_reference.py: the series, and one integral over X).
    Factored a(3, 2, 1.0, {1, 0, 0, 1, 1, 1});
    for (const auto& [q, want, tol] :
         {std::tuple{110.0, 1.72803204149507e-9, 1e-6}, std::tuple{12.0, 0.0593366307155821, 1e-7}}) {
        a.s.U = {std::sqrt(q), 0.0, 0.0};
        double T = 0, p = 0;
        int inform = -1;
        a.combine(true, &T, &p, &inform);
        EXPECT_NEAR(p / want, 1.0, tol) << "q=" << q;
        EXPECT_EQ(inform, 0);
        double T2 = 0, p2 = 0;
        a.combine(false, &T2, &p2, &inform);
        EXPECT_EQ(T, T2);
        EXPECT_NEAR(p2 / want, 1.0, tol) << "q=" << q;
    }
}

TEST(VarianceComponent, SubjectSideAgreesWithTheVariantSide) {
    // 40 components over 15 subjects, unequal weights, one component without
    // variance (left out on both sides): the same statistic, and p-values
    // from the two sides of the same eigenvalue problem within 1e-9 (here
    // 0.87, 0.014 and 2.8e-5: Davies' range and the tail's).
    const int K = 40, n = 15;
    std::vector<double> R(K * n);
    unsigned state = 12345;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return static_cast<double>((state >> 8) % 1000) / 1000.0;
    };
    for (double& r : R) r = next() < 0.7 ? 0.0 : next() - 0.3;
    for (int i = 0; i < n; ++i) R[7 * n + i] = 0.0;
    Factored a(K, n, 2.5, R);
    for (int k = 0; k < K; ++k) {
        a.s.w[k] = 0.5 + next();
        a.s.U[k] = 3.0 * (next() - 0.5);
    }
    for (const double boost : {1.0, 4.0, 1.5}) {
        for (int k = 0; k < K; k += 5) a.s.U[k] *= boost;
        double T = 0, p = 0, T2 = 0, p2 = 0;
        int inform = -1, inform2 = -1;
        a.combine(true, &T, &p, &inform);
        a.combine(false, &T2, &p2, &inform2);
        EXPECT_EQ(T, T2);
        EXPECT_NEAR(p / p2, 1.0, 1e-9) << "p=" << p2;
        EXPECT_EQ(inform, inform2);
    }
}

TEST(VarianceComponent, FactorWithAsManySubjectsAsComponentsOrANaNIsNotUsed) {
    // Not fewer subjects than components: the variant side, bit for bit.
    Factored a(3, 3, 1.0, {1, 0, 0.5, 0, 1, 0, 1, 1, 1});
    a.s.U = {2.0, -1.0, 0.5};
    double T = 0, p = 0, T2 = 0, p2 = 0;
    int inform = -1, inform2 = -1;
    a.combine(true, &T, &p, &inform);
    a.combine(false, &T2, &p2, &inform2);
    EXPECT_EQ(p, p2);
    EXPECT_EQ(inform, inform2);
    // A NaN variance, which the factor would not show: as without the factor.
    Factored b(3, 2, 1.0, {1, 0, 0, 1, 1, 1});
    b.s.V[1][1] = NAN;
    b.s.U = {2.0, -1.0, 0.5};
    testing::internal::CaptureStdout();
    b.combine(true, &T, &p, &inform);
    const std::string with = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    b.combine(false, &T2, &p2, &inform2);
    EXPECT_EQ(with, testing::internal::GetCapturedStdout());
    EXPECT_TRUE(p == p2 || (std::isnan(p) && std::isnan(p2)));
    EXPECT_EQ(inform, inform2);
}

// ---- quadratic form (method 0) and other methods ---------------------------

TEST(QuadraticForm, ChiSquaredOverTheValidComponents) {
    // V = [[2, 1], [1, 2]]: V^-1 = [[2, -1], [-1, 2]] / 3; U = (1, 2): T = 2.
    // Two degrees of freedom: p = exp(-T / 2).
    Scores s(3);
    s.U = {1.0, 10.0, 2.0};
    s.V[0][0] = s.V[2][2] = 2.0;
    s.V[0][2] = s.V[2][0] = 1.0;
    s.V[1][1] = 0.0;
    double T = 0, p = 0;
    int inform = -1;
    s.combine(0, &T, &p, &inform);
    EXPECT_NEAR(T, 2.0, 1e-14);
    EXPECT_NEAR(p, std::exp(-1.0), 1e-12);
    EXPECT_EQ(inform, 0);
    // Indefinite V: V^-1 = [[-1, 2], [2, -1]] / 3, U = (1, -1): T = -2.
    Scores bad(2);
    bad.U = {1.0, -1.0};
    bad.V[0][1] = bad.V[1][0] = 2.0;
    bad.combine(0, &T, &p, &inform);
    EXPECT_NEAR(T, -2.0, 1e-14);
    EXPECT_TRUE(std::isnan(p));
    EXPECT_EQ(inform, 1);
}

TEST(Combination, UnknownMethodChangesNothing) {
    Scores s(1);
    double T = 1.5, p = 2.5;
    int inform = 3;
    for (int method : {-1, 3}) {
        s.combine(method, &T, &p, &inform);
        EXPECT_EQ(T, 1.5);
        EXPECT_EQ(p, 2.5);
        EXPECT_EQ(inform, 3);
    }
}

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "numerics/multivariate_normal.h"
#include "numerics/normal_distribution.h"
#include "numerics/offset_arrays.h"
#include "normal_reference.h"

namespace ref = normal_reference;

namespace {

constexpr double kClosedFormError = 2.000000033724767e-16;

// A problem for mymvn, with 1-based arrays.
struct Problem {
    int n;
    std::vector<double> lower, upper, mu;
    std::vector<int> infin;
    double** sigma;

    explicit Problem(int n_)
        : n(n_), lower(n_ + 1, 0.0), upper(n_ + 1, 0.0), mu(n_ + 1, 0.0), infin(n_ + 1, 2),
          sigma(dmatrix(1, n_, 1, n_)) {
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) sigma[i][j] = i == j ? 1.0 : 0.0;
    }
    ~Problem() { free_dmatrix(sigma, 1, n, 1, n); }
    Problem(const Problem&) = delete;
    Problem& operator=(const Problem&) = delete;

    void equicorrelated(double rho) {
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) sigma[i][j] = i == j ? 1.0 : rho;
    }
    void all_limits(int flag, double lo, double up) {
        for (int i = 1; i <= n; ++i) {
            infin[i] = flag;
            lower[i] = lo;
            upper[i] = up;
        }
    }
    double run(int maxpts, double abseps, double* error, int* inform) {
        return mymvn(maxpts, abseps, n, lower.data(), upper.data(), infin.data(), mu.data(), sigma,
                     error, inform);
    }
};

// P(a < X_i < b for all i), X equicorrelated with rho >= 0: conditioning on
// the common factor, X_i = sqrt(rho) Z0 + sqrt(1 - rho) Z_i, leaves a
// one-dimensional integral.
long double equicorrelated_box(int n, long double rho, long double a, long double b) {
    const long double sr = std::sqrt(rho), s = std::sqrt(1 - rho);
    auto f = [&](long double z) {
        const long double q = ref::cdf((b - sr * z) / s) - ref::cdf((a - sr * z) / s);
        return ref::density(z) * std::pow(q, n);
    };
    return ref::integrate(f, -12, 12, 400);
}

long double interval(long double a, long double b) { return ref::cdf(b) - ref::cdf(a); }

}  // namespace

TEST(Mymvn, DimensionOutsideOneToTwentyTouchesNothing) {
    for (int n : {0, 21}) {
        double error = -5;
        int inform = -5;
        EXPECT_EQ(mymvn(1000, 1e-3, n, nullptr, nullptr, nullptr, nullptr, nullptr, &error, &inform),
                  0.0);
        EXPECT_EQ(error, 1.0);
        EXPECT_EQ(inform, 2);
    }
}

TEST(Mymvn, NoneOrOneBoundedVariable) {
    Problem p(3);
    p.equicorrelated(0.6);
    p.all_limits(-1, 0, 0);
    double error = -1;
    int inform = -1;
    EXPECT_EQ(p.run(1000, 1e-3, &error, &inform), 1.0);
    EXPECT_EQ(error, 0.0);
    EXPECT_EQ(inform, 0);
    // Variable 2 ~ N(1.5, 4): P(0.5 <= X2 <= 5.5) = Phi(2) - Phi(-0.5).
    p.mu[2] = 1.5;
    p.sigma[2][2] = 4.0;
    p.infin[2] = 2;
    p.lower[2] = 0.5;
    p.upper[2] = 5.5;
    EXPECT_NEAR(p.run(1000, 1e-3, &error, &inform), static_cast<double>(interval(-0.5L, 2.0L)),
                2e-16);
    EXPECT_EQ(error, kClosedFormError);
    EXPECT_EQ(inform, 0);
    // Lower limit only; the unused upper limit is not read.
    p.infin[2] = 1;
    p.upper[2] = NAN;
    EXPECT_NEAR(p.run(1000, 1e-3, &error, &inform), static_cast<double>(1 - ref::cdf(-0.5L)),
                2e-16);
}

TEST(Mymvn, TwoBoundedVariablesAreTheBivariateRectangle) {
    // Variables 2 (sd 1.5, mean 1) and 4 (sd 0.5, mean -2) bounded among four;
    // standardised limits [-0.8, 1.3] and [-1.1, 0.6].
    const double inf = INFINITY;
    const double cases[][3] = {{2, 2, 0.4}, {2, 1, -0.7}, {0, 2, 0.95}, {1, 0, 0.2}, {0, 0, -0.3},
                               {1, 1, 0.99}};
    for (const auto& c : cases) {
        const int f1 = static_cast<int>(c[0]), f2 = static_cast<int>(c[1]);
        Problem p(4);
        p.all_limits(-1, 0, 0);
        p.sigma[2][2] = 2.25;
        p.sigma[4][4] = 0.25;
        p.sigma[4][2] = c[2] * 1.5 * 0.5;
        p.sigma[3][2] = 0.3;
        p.sigma[4][1] = -0.2;
        p.mu[2] = 1.0;
        p.mu[4] = -2.0;
        p.infin[2] = f1;
        p.infin[4] = f2;
        p.lower[2] = 1.0 + 1.5 * -0.8;
        p.upper[2] = 1.0 + 1.5 * 1.3;
        p.lower[4] = -2.0 + 0.5 * -1.1;
        p.upper[4] = -2.0 + 0.5 * 0.6;
        const long double l1 = f1 == 0 ? -inf : -0.8, u1 = f1 == 1 ? inf : 1.3;
        const long double l2 = f2 == 0 ? -inf : -1.1, u2 = f2 == 1 ? inf : 0.6;
        double error = 0;
        int inform = -1;
        EXPECT_NEAR(p.run(1000, 1e-3, &error, &inform),
                    static_cast<double>(ref::rectangle(l1, u1, l2, u2, c[2])), 5e-15)
            << f1 << f2 << " rho=" << c[2];
        EXPECT_EQ(error, kClosedFormError);
        EXPECT_EQ(inform, 0);
    }
}

TEST(Mymvn, TwoBoundedPerfectlyCorrelatedVariables) {
    // X2 = X1: P(-1 <= X1 <= 2, 0 <= X2 <= 3) = P(0 <= Z <= 2).
    Problem p(2);
    p.equicorrelated(1.0);
    p.lower[1] = -1;
    p.upper[1] = 2;
    p.lower[2] = 0;
    p.upper[2] = 3;
    double error = 0;
    int inform = -1;
    EXPECT_NEAR(p.run(1000, 1e-3, &error, &inform), static_cast<double>(interval(0, 2)), 2e-16);
    EXPECT_EQ(inform, 0);

    // X2 = -X1: X1 in [-1, 2] and -X1 in [0.5, 3] means X1 in [-1, -0.5].
    p.equicorrelated(-1.0);
    p.lower[2] = 0.5;
    EXPECT_NEAR(p.run(1000, 1e-3, &error, &inform), static_cast<double>(interval(-1, -0.5)),
                2e-16);
    // Disjoint: X2 = X1 with X1 <= -1 and X2 >= 0.
    p.equicorrelated(1.0);
    p.infin[1] = 0;
    p.upper[1] = -1;
    p.infin[2] = 1;
    p.lower[2] = 0;
    EXPECT_EQ(p.run(1000, 1e-3, &error, &inform), 0.0);
    // One-sided limits on both: X1 <= 0.4 and X2 = X1 >= -0.3.
    p.upper[1] = 0.4;
    p.lower[2] = -0.3;
    EXPECT_NEAR(p.run(1000, 1e-3, &error, &inform), static_cast<double>(interval(-0.3L, 0.4L)),
                2e-16);
}

TEST(Mymvn, IndependentVariablesGiveTheProduct) {
    const double lows[] = {-1.0, -0.3, -2.2, 0.1, -1.5, -0.9, -3.0, -0.2};
    const double ups[] = {0.5, 1.7, 0.4, 2.0, 1.5, 0.0, 1.1, 0.8};
    for (int n : {3, 5, 8}) {
        Problem p(n);
        long double product = 1;
        for (int i = 1; i <= n; ++i) {
            p.lower[i] = lows[i - 1];
            p.upper[i] = ups[i - 1];
            product *= interval(lows[i - 1], ups[i - 1]);
        }
        double error = -1;
        int inform = -1;
        const double value = p.run(5000 * n * n * n, 1e-10, &error, &inform);
        EXPECT_NEAR(value, static_cast<double>(product), 1e-14) << n;
        EXPECT_EQ(inform, 0);
        EXPECT_LE(error, 1e-10);
    }
}

TEST(Mymvn, TrivariateOrthantClosedForm) {
    // P(X1 > 0, X2 > 0, X3 > 0) = 1/8 + (asin r12 + asin r13 + asin r23) / (4 pi).
    const double r[][3] = {{0.5, 0.5, 0.5}, {0.2, -0.4, 0.6}, {0.9, 0.8, 0.75}, {-0.3, -0.3, 0.1}};
    for (const auto& c : r) {
        Problem p(3);
        p.all_limits(1, 0.0, NAN);
        p.sigma[2][1] = p.sigma[1][2] = c[0];
        p.sigma[3][1] = p.sigma[1][3] = c[1];
        p.sigma[3][2] = p.sigma[2][3] = c[2];
        const long double truth =
            0.125L + (std::asin((long double)c[0]) + std::asin((long double)c[1]) +
                      std::asin((long double)c[2])) /
                         (4 * ref::kPi);
        double error = 0;
        int inform = -1;
        const double value = p.run(5000 * 27, 1e-7, &error, &inform);
        EXPECT_NEAR(value, static_cast<double>(truth), 1e-6) << c[0] << " " << c[1] << " " << c[2];
        EXPECT_EQ(inform, 0);
    }
}

TEST(Mymvn, EquicorrelatedOrthantsAreOneOverNPlusOne) {
    for (int n : {3, 4, 5}) {
        Problem p(n);
        p.equicorrelated(0.5);
        p.all_limits(1, 0.0, NAN);
        double error = 0;
        int inform = -1;
        const double value = p.run(5000 * n * n * n, 1e-6, &error, &inform);
        EXPECT_NEAR(value, 1.0 / (n + 1), 5e-6) << n;
        // The same orthant from above: P(all X_i < 0).
        p.all_limits(0, NAN, 0.0);
        EXPECT_NEAR(p.run(5000 * n * n * n, 1e-6, &error, &inform), 1.0 / (n + 1), 5e-6) << n;
    }
}

TEST(Mymvn, EquicorrelatedSymmetricBoxAsInTheMaximumStatistic) {
    // The shape of the p-value of a maximum statistic: all |X_i| <= w.
    struct Case {
        int n;
        double w, abseps, tolerance;
    };
    const Case cases[] = {{3, 2.5, 1e-7, 1e-6}, {5, 1.0, 1e-6, 1e-5}, {5, 3.0, 1e-6, 1e-5},
                          {10, 2.5, 1e-4, 5e-4}};
    for (const Case& c : cases) {
        Problem p(c.n);
        p.equicorrelated(0.5);
        p.all_limits(2, -c.w, c.w);
        double error = 0;
        int inform = -1;
        const double value = p.run(5000 * c.n * c.n * c.n, c.abseps, &error, &inform);
        EXPECT_NEAR(value, static_cast<double>(equicorrelated_box(c.n, 0.5L, -c.w, c.w)),
                    c.tolerance)
            << c.n << " " << c.w;
        EXPECT_EQ(inform, 0);
    }
}

TEST(Mymvn, ScalingSigmaAndLimitsChangesNothing) {
    const int n = 4;
    Problem base(n), scaled(n);  // zero means: the rescaling is exact
    const double rho[4][4] = {{1, 0.3, -0.2, 0.5}, {0.3, 1, 0.4, 0.1}, {-0.2, 0.4, 1, -0.3},
                              {0.5, 0.1, -0.3, 1}};
    const double lo[] = {-1.0, -0.5, -2.0, 0.2}, up[] = {1.2, 2.0, 0.3, 1.9};
    const double sd[] = {2.0, 0.5, 4.0, 0.25};  // powers of two: exact rescaling
    for (int i = 1; i <= n; ++i) {
        base.lower[i] = lo[i - 1];
        base.upper[i] = up[i - 1];
        scaled.lower[i] = sd[i - 1] * lo[i - 1];
        scaled.upper[i] = sd[i - 1] * up[i - 1];
        for (int j = 1; j <= n; ++j) {
            base.sigma[i][j] = rho[i - 1][j - 1];
            scaled.sigma[i][j] = sd[i - 1] * sd[j - 1] * rho[i - 1][j - 1];
        }
    }
    double e1 = 0, e2 = 0;
    int i1 = -1, i2 = -1;
    const double v1 = base.run(5000 * 64, 1e-6, &e1, &i1);
    const double v2 = scaled.run(5000 * 64, 1e-6, &e2, &i2);
    EXPECT_EQ(v1, v2);
    EXPECT_EQ(e1, e2);
    EXPECT_EQ(i1, i2);

}

TEST(Mymvn, DuplicatedVariableIsAnIndicator) {
    // X1 = X2 exactly, X3 correlated 0.4 with both: the box reduces to
    // P(max(l1, l2) <= X1 <= min(u1, u2), l3 <= X3 <= u3).
    Problem p(3);
    p.sigma[2][1] = p.sigma[1][2] = 1.0;
    p.sigma[3][1] = p.sigma[1][3] = 0.4;
    p.sigma[3][2] = p.sigma[2][3] = 0.4;
    p.lower[1] = -1.0;
    p.upper[1] = 1.5;
    p.lower[2] = -0.5;
    p.upper[2] = 2.0;
    p.lower[3] = -1.0;
    p.upper[3] = 1.0;
    double error = 0;
    int inform = -1;
    const double value = p.run(200000, 1e-5, &error, &inform);
    EXPECT_NEAR(value, static_cast<double>(ref::rectangle(-0.5L, 1.5L, -1.0L, 1.0L, 0.4L)), 2e-4);
}

TEST(Mymvn, BudgetTooSmallOrExhausted) {
    // Four bounded variables: the cubature works in three dimensions, where
    // its rule has 39 points; a budget below one rule run is refused.
    Problem p(4);
    p.equicorrelated(0.5);
    p.all_limits(2, -1.0, 1.0);
    double error = 0;
    int inform = -1;
    EXPECT_EQ(p.run(38, 1e-3, &error, &inform), 0.0);
    EXPECT_EQ(inform, 2);
    EXPECT_EQ(error, 1.0);
    double value = p.run(39, 1e-3, &error, &inform);
    EXPECT_NE(inform, 2);
    EXPECT_NEAR(value, static_cast<double>(equicorrelated_box(4, 0.5L, -1, 1)), 0.05);
    // An unreachable target: status 1, with the estimate and its error.
    value = p.run(2000, 1e-12, &error, &inform);
    EXPECT_EQ(inform, 1);
    EXPECT_GT(error, 1e-12);
    EXPECT_NEAR(value, static_cast<double>(equicorrelated_box(4, 0.5L, -1, 1)), 1e-3);
}

TEST(Ncvsrt, TiesGoToTheLaterVariableAndUnboundedMoveLast) {
    // P(X <= 0.7) and P(X >= -0.7) are the same double: a tie.
    int n = 3;
    double lower[3] = {0, 0, -0.7}, upper[3] = {0.7, 0, 0};
    int infin[3] = {0, -1, 1};
    double correl[3] = {0, 0, 0};
    double y[3], a[3], b[3], cov[6], d = -1, e = -1;
    int infi[3], infis = -1;
    ncvsrt_(&n, lower, upper, correl, infin, y, &infis, a, b, infi, cov, &d, &e);
    EXPECT_EQ(infis, 1);
    EXPECT_EQ(infi[2], -1);  // the unbounded variable is last
    EXPECT_EQ(infi[0], 1);   // the later of the tied pair comes first
    EXPECT_EQ(a[0], -0.7);
    EXPECT_EQ(infi[1], 0);
    EXPECT_EQ(b[1], 0.7);
    const double m07 = -0.7;
    EXPECT_EQ(d, phi_(&m07));
    EXPECT_EQ(e, 1.0);
}


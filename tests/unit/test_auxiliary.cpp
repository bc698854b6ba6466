#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "numerics/auxiliary.h"
#include "numerics/offset_arrays.h"

namespace {

void reset_seeds() {
    gix = 4567;
    giy = 6789;
    giz = 8901;
}

double** rows_of(int n, int d, std::initializer_list<double> values) {
    double** x = dmatrix(0, n - 1, 0, d - 1);
    auto it = values.begin();
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < d; ++j) x[i][j] = *it++;
    return x;
}

}  // namespace

TEST(UniformGenerator, FirstDrawFromTheInitialSeeds) {
    // Kept first in this file so that, run as a whole, it still sees the
    // seeds that the program starts with.
    EXPECT_EQ(gix, 4567);
    EXPECT_EQ(giy, 6789);
    EXPECT_EQ(giz, 8901);
    reset_seeds();
    const double u = runifC3();
    EXPECT_NEAR(u, 0.2315964, 5e-8);
    // By hand: 171*142 - 2*25 = 24232; 172*101 - 35*38 = 16042;
    // 170*1 - 63*50 = -2980, negative, + 30323 = 27343.
    EXPECT_EQ(gix, 24232);
    EXPECT_EQ(giy, 16042);
    EXPECT_EQ(giz, 27343);
    EXPECT_DOUBLE_EQ(u, 24232.0 / 30269 + 16042.0 / 30307 + 27343.0 / 30323 - 2.0);
}

TEST(UniformGenerator, StaysInRangeWithUniformMoments) {
    reset_seeds();
    const int n = 200000;
    double sum = 0.0, sum_sq = 0.0;
    for (int k = 0; k < n; ++k) {
        const double u = runifC3();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
        ASSERT_GT(gix, 0);
        ASSERT_LT(gix, 30269);
        ASSERT_GT(giy, 0);
        ASSERT_LT(giy, 30307);
        ASSERT_GT(giz, 0);
        ASSERT_LT(giz, 30323);
        sum += u;
        sum_sq += u * u;
    }
    // Mean 1/2 and variance 1/12; five standard errors.
    EXPECT_NEAR(sum / n, 0.5, 5.0 * std::sqrt(1.0 / 12.0 / n));
    EXPECT_NEAR(sum_sq / n - (sum / n) * (sum / n), 1.0 / 12.0, 5e-3);
}

TEST(BinomialDeviate, SmallNCountsUniformsBelowTheSmallerProbability) {
    // pp = 0.7 > 0.5: count trials below 0.3 and return 10 minus the count.
    reset_seeds();
    int below = 0;
    for (int j = 0; j < 10; ++j)
        if (runifC3() < 0.3) ++below;
    reset_seeds();
    EXPECT_EQ(rbinomC(0.7, 10), 10.0 - below);

    reset_seeds();
    below = 0;
    for (int j = 0; j < 24; ++j)
        if (runifC3() < 0.25) ++below;
    reset_seeds();
    EXPECT_EQ(rbinomC(0.25, 24), static_cast<double>(below));

    EXPECT_EQ(rbinomC(0.3, 0), 0.0);
}

TEST(BinomialDeviate, RareEventsUseProductsOfUniforms) {
    // n = 100, p = 0.005: mean 0.5 < 1; the count is the number of factors
    // before the running product falls below exp(-0.5).
    reset_seeds();
    const double g = std::exp(-0.5);
    double t = 1.0;
    int j = 0;
    for (; j <= 100; ++j) {
        t *= runifC3();
        if (t < g) break;
    }
    reset_seeds();
    EXPECT_EQ(rbinomC(0.005, 100), static_cast<double>(j));
    // The mirrored probability gives n minus such a count.
    reset_seeds();
    EXPECT_EQ(rbinomC(0.995, 100), 100.0 - j);
}

TEST(BinomialDeviate, RejectionDrawsHaveBinomialMoments) {
    reset_seeds();
    struct Case {
        double p;
        int n;
    };
    // Alternating cases also check that the remembered n and p are refreshed.
    const Case cases[] = {{0.3, 100}, {0.8, 40}, {0.1, 500}};
    const int draws = 20000;
    double sum[3] = {0, 0, 0}, sum_sq[3] = {0, 0, 0};
    for (int k = 0; k < draws; ++k) {
        for (int c = 0; c < 3; ++c) {
            const double v = rbinomC(cases[c].p, cases[c].n);
            ASSERT_EQ(v, std::floor(v));
            ASSERT_GE(v, 0.0);
            ASSERT_LE(v, cases[c].n);
            sum[c] += v;
            sum_sq[c] += v * v;
        }
    }
    for (int c = 0; c < 3; ++c) {
        const double n = cases[c].n, p = cases[c].p;
        const double m = sum[c] / draws, var = sum_sq[c] / draws - m * m;
        EXPECT_NEAR(m, n * p, 5.0 * std::sqrt(n * p * (1 - p) / draws)) << "case " << c;
        EXPECT_NEAR(var / (n * p * (1 - p)), 1.0, 0.05) << "case " << c;
    }
}

TEST(PrintRoutines, Formats) {
    testing::internal::CaptureStdout();
    print_vi(nullptr, 0, -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");

    int iv[] = {3, -12, 0};
    testing::internal::CaptureStdout();
    print_vi(iv, 0, 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "3\t-12\t0\t\n");

    double dv[] = {0.0, 1.5, -2.0, 1.0 / 3.0};
    testing::internal::CaptureStdout();
    print_vf(dv, 1, 3);
    print_vf(dv, 2, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "1.500000\t-2.000000\t0.333333\t\n\n");

    double** m = dmatrix(1, 2, 3, 4);
    m[1][3] = 1.0;
    m[1][4] = 2.5;
    m[2][3] = 3.0;
    m[2][4] = -0.123456;
    testing::internal::CaptureStdout();
    print_mf(m, 1, 2, 3, 4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "1.0000\t2.5000\t\n3.0000\t-0.1235\t\n");
    free_dmatrix(m, 1, 2, 3, 4);
}

TEST(LinearFit, ThreePointRegressionByHand) {
    // Points (0, 1), (1, 3), (2, 2): xbar 1, ybar 2, Sxy 1, Sxx 2, so the
    // slope is 1/2 and the intercept 2 - 1/2 = 3/2.
    double** x = rows_of(3, 2, {1, 0, 1, 1, 1, 2});
    double y[] = {1, 3, 2};
    double beta[2] = {0, 0};
    linearMLE(3, 2, y, x, beta);
    EXPECT_NEAR(beta[0], 1.5, 1e-13);
    EXPECT_NEAR(beta[1], 0.5, 1e-13);
    EXPECT_EQ(x[2][1], 2.0);
    EXPECT_EQ(y[1], 3.0);
    free_dmatrix(x, 0, 2, 0, 1);
}

TEST(LinearFit, ExactFitRecoversTheCoefficients) {
    // y = 2 + 3 u - v exactly, so the least-squares fit reproduces it.
    double** x = rows_of(5, 3, {1, 0, 1, 1, 1, 0, 1, 2, 5, 1, -1, 2, 1, 3, 3});
    double y[5];
    for (int i = 0; i < 5; ++i) y[i] = 2.0 + 3.0 * x[i][1] - x[i][2];
    double beta[3];
    linearMLE(5, 3, y, x, beta);
    EXPECT_NEAR(beta[0], 2.0, 1e-12);
    EXPECT_NEAR(beta[1], 3.0, 1e-12);
    EXPECT_NEAR(beta[2], -1.0, 1e-12);
    free_dmatrix(x, 0, 4, 0, 2);
}

TEST(LogisticFit, SaturatedTwoGroupModel) {
    // Group 0: 1 success of 4; group 1: 3 of 4.  The saturated fit matches
    // the group proportions: intercept logit(1/4) = -ln 3, slope
    // logit(3/4) - logit(1/4) = 2 ln 3.
    double** x = rows_of(8, 2, {1, 0, 1, 0, 1, 0, 1, 0, 1, 1, 1, 1, 1, 1, 1, 1});
    double y[] = {1, 0, 0, 0, 1, 1, 0, 1};
    double beta[2];
    testing::internal::CaptureStdout();
    logisticReg_v0(8, 2, y, x, beta);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NEAR(beta[0], -std::log(3.0), 1e-6);
    EXPECT_NEAR(beta[1], 2.0 * std::log(3.0), 1e-6);
    free_dmatrix(x, 0, 7, 0, 1);
}

TEST(LogisticFit, SaturatedThreeGroupModelAndInterceptOnly) {
    // Intercept and dummies for groups B and C.  Group A (rows 0-4) has
    // 1 success of 5, group B (rows 5-8 and 14) 2 of 5, group C (rows 9-13)
    // 4 of 5; the saturated fit matches these proportions.
    const int group_of[15] = {0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 2, 1};
    double y[15] = {1, 0, 0, 0, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0};
    double** x = dmatrix(0, 14, 0, 2);
    for (int i = 0; i < 15; ++i) {
        x[i][0] = 1.0;
        x[i][1] = group_of[i] == 1 ? 1.0 : 0.0;
        x[i][2] = group_of[i] == 2 ? 1.0 : 0.0;
    }
    auto logit = [](double p) { return std::log(p / (1.0 - p)); };
    double beta[3];
    logisticReg_v0(15, 3, y, x, beta);
    EXPECT_NEAR(beta[0], logit(0.2), 1e-6);
    EXPECT_NEAR(beta[1], logit(0.4) - logit(0.2), 1e-6);
    EXPECT_NEAR(beta[2], logit(0.8) - logit(0.2), 1e-6);

    // Intercept only: the starting value logit(7/15) is already the answer.
    double b0[1];
    logisticReg_v0(15, 1, y, x, b0);
    EXPECT_NEAR(b0[0], logit(7.0 / 15.0), 1e-12);
    free_dmatrix(x, 0, 14, 0, 2);
}

using AuxiliaryFitDeathTest = ::testing::Test;

TEST_F(AuxiliaryFitDeathTest, ZeroColumnStopsThroughTheInverse) {
    double** x = rows_of(3, 2, {1, 0, 1, 0, 1, 0});
    double y[] = {1, 0, 1};
    double beta[2];
    EXPECT_EXIT(linearMLE(3, 2, y, x, beta), ::testing::ExitedWithCode(1), "Sigmatrix in ludcmp");
    EXPECT_EXIT(logisticReg_v0(3, 2, y, x, beta), ::testing::ExitedWithCode(1), "Sigmatrix in ludcmp");
    free_dmatrix(x, 0, 2, 0, 1);
}

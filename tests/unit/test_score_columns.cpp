#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <vector>

#include <unistd.h>

#include "engine/score_columns.h"
#include "numerics/offset_arrays.h"

namespace {

constexpr double NA = -999.0;

// A 0-based offset matrix filled row by row.
struct Matrix {
    int rows, cols;
    double** m;
    Matrix(int r, int c, std::initializer_list<double> values) : rows(r), cols(c), m(dmatrix(0, r - 1, 0, c - 1)) {
        auto it = values.begin();
        for (int i = 0; i < r; ++i)
            for (int j = 0; j < c; ++j) m[i][j] = it == values.end() ? 0.0 : *it++;
    }
    ~Matrix() { free_dmatrix(m, 0, rows - 1, 0, cols - 1); }
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
};

struct Flags {
    int MAC = -1, MAI = -1, low = -1, score = -1, covariates = -1;
};

Flags check(int flag, int n, int p, int MAI_LB, const std::vector<int>& mac, const std::vector<double>& score,
            double** z) {
    Flags f;
    checkWarning2(flag, n, p, MAI_LB, mac.data(), score.data(), z, &f.MAC, &f.MAI, &f.low, &f.score,
                  &f.covariates);
    return f;
}

struct Coded {
    std::vector<double> S;
    std::vector<int> mac;
};

Coded code(const ColumnSource& src, int k, int n) {
    Coded c{std::vector<double>(n), std::vector<int>(n)};
    codeColumn(src, k, n, c.S.data(), c.mac.data());
    return c;
}

}  // namespace

TEST(CheckWarning2, RecessiveFlagCountsHomozygousCarriers) {
    Matrix z(4, 1, {1, 1, 1, 1});
    const std::vector<int> mac{1, 2, 0, 3};
    const std::vector<double> score{1, 2, 0, 3};

    Flags rec = check(1, 4, 1, 1, mac, score, z.m);
    EXPECT_EQ(rec.MAI, 2);
    EXPECT_EQ(rec.MAC, 6);
    Flags add = check(0, 4, 1, 1, mac, score, z.m);
    EXPECT_EQ(add.MAI, 3);
    EXPECT_EQ(add.MAC, 6);
    // Any flag other than 1 counts carriers of at least one allele.
    EXPECT_EQ(check(3, 4, 1, 1, mac, score, z.m).MAI, 3);

    // Low_MAI exactly when MAI_LB > MAI.
    EXPECT_EQ(check(1, 4, 1, 2, mac, score, z.m).low, 0);
    EXPECT_EQ(check(1, 4, 1, 3, mac, score, z.m).low, 1);
    EXPECT_EQ(add.low, 0);
    EXPECT_EQ(add.score, 0);
    EXPECT_EQ(add.covariates, 0);
}

TEST(CheckWarning2, ConstantScores) {
    Matrix z(3, 1, {1, 1, 1});
    const std::vector<int> mac{1, 1, 1};
    EXPECT_EQ(check(0, 3, 1, 1, mac, {0.5, 0.5, 0.5}, z.m).score, 1);
    EXPECT_EQ(check(0, 3, 1, 1, mac, {0.5, 0.5, 0.5 + 1e-15}, z.m).score, 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(check(0, 3, 1, 1, mac, {nan, nan, nan}, z.m).score, 0);

    // No subject: constant, and the all-zero cross-product is singular.
    Flags none = check(0, 0, 1, 1, {0}, {0.0}, z.m);
    EXPECT_EQ(none.score, 1);
    EXPECT_EQ(none.covariates, 1);
    EXPECT_EQ(none.MAI, 0);
    EXPECT_EQ(none.low, 1);
}

TEST(CheckWarning2, SingularCrossProductUsesAnAbsoluteBound) {
    Matrix z(3, 2, {1, 0, 1, 1, 1, 5});
    const std::vector<int> mac{1, 1, 1};
    // Score = 2.5 x intercept: collinear with the covariates.
    EXPECT_EQ(check(0, 3, 2, 1, mac, {2.5, 2.5, 2.5}, z.m).covariates, 1);

    // With the intercept alone and score (1, 2, 3): X'X = [[14, 6], [6, 3]],
    // det = 6, not singular; scaled by 1e-11 the determinant is 6e-22, below
    // the absolute bound 1e-20 although the column is not collinear.
    Matrix one(3, 1, {1, 1, 1});
    EXPECT_EQ(check(0, 3, 1, 1, mac, {1, 2, 3}, one.m).covariates, 0);
    EXPECT_EQ(check(0, 3, 1, 1, mac, {1e-11, 2e-11, 3e-11}, one.m).covariates, 1);
    // Scaled by 1e-10 the determinant is 6e-20: kept.
    EXPECT_EQ(check(0, 3, 1, 1, mac, {1e-10, 2e-10, 3e-10}, one.m).covariates, 0);
}

TEST(ColumnCoding, WeightedColumnsKeepTinyWeightsInTheScoreOnly) {
    // Subjects by variants; q = 1 - MAF.
    Matrix x(3, 3, {2, 1, 0,
                    1, NA, 1.5,
                    0, 0, 1.7});
    const double q[3] = {0.9, 0.8, 0.7};
    Matrix wt(2, 3, {1e-11, 1, 0.5,
                     1e-10, 0, 2});
    ColumnSource src = weightedColumns(3, x.m, q, wt.m);
    EXPECT_EQ(recessiveFlag(src), 0);

    Coded c0 = code(src, 0, 3);
    EXPECT_DOUBLE_EQ(c0.S[0], 2e-11 + 1.0);
    EXPECT_DOUBLE_EQ(c0.S[1], 1e-11 + 2 * (1 - 0.8) + 0.75);
    EXPECT_DOUBLE_EQ(c0.S[2], 0.85);
    // Variant 0 (weight 1e-11) adds no alleles; the running count is cut to
    // an integer after each addition: subject 1 gets int(0 + 1.5) = 1.
    EXPECT_EQ(c0.mac, (std::vector<int>{1, 1, 1}));

    // A weight of exactly 1e-10 does not count either; 0 weight neither.
    Coded c1 = code(src, 1, 3);
    EXPECT_EQ(c1.mac, (std::vector<int>{0, 1, 1}));
    EXPECT_DOUBLE_EQ(c1.S[2], 2e-10 * 0 + 2 * 1.7);
}

TEST(ColumnCoding, RunningCountTruncatesAfterEachAddition) {
    Matrix x(1, 3, {1.5, 1.7, 0.9});
    const double q[3] = {0.9, 0.9, 0.9};
    Matrix wt(1, 3, {1, 1, 1});
    // int(0 + 1.5) = 1, int(1 + 1.7) = 2; 0.9 is below 1 and not added.
    EXPECT_EQ(code(weightedColumns(3, x.m, q, wt.m), 0, 1).mac[0], 2);
    const double thresh[1] = {0.05};
    const double maf[3] = {0.01, 0.01, 0.01};
    EXPECT_EQ(code(thresholdColumns(1, 3, x.m, q, thresh, maf), 0, 1).mac[0], 2);
}

TEST(ColumnCoding, AbsurdDosagesSaturateTheCounts) {
    Matrix x(2, 2, {1e300, 3.0, std::numeric_limits<double>::infinity(), 1.0});
    const double q[2] = {0.9, 0.9};
    EXPECT_EQ(code(variantColumns(1, 2, x.m, q), 0, 2).mac, (std::vector<int>{INT_MAX, INT_MAX}));
    Matrix wt(1, 2, {1, 1});
    EXPECT_EQ(code(weightedColumns(2, x.m, q, wt.m), 0, 2).mac, (std::vector<int>{INT_MAX, INT_MAX}));

    Matrix z(2, 1, {1, 1});
    Flags f = check(0, 2, 1, 1, {INT_MAX, INT_MAX}, {1.0, 2.0}, z.m);
    EXPECT_EQ(f.MAC, INT_MAX);
    EXPECT_EQ(f.MAI, 2);
}

TEST(ColumnCoding, VariantColumnsUnderEachModelAndCutOff) {
    Matrix x(7, 1, {0, 0.7, 1, 1.5, 1.6, 2, NA});
    const double q[1] = {0.9};
    const double q2 = 0.9 * 0.9;

    Coded add = code(variantColumns(1, 1, x.m, q), 0, 7);
    EXPECT_EQ(add.S, (std::vector<double>{0, 0.7, 1, 1.5, 1.6, 2, 2 * (1 - 0.9)}));
    EXPECT_EQ(add.mac, (std::vector<int>{0, 0, 1, 1, 1, 2, 0}));
    // Any code other than 2 and 3 is additive.
    EXPECT_EQ(code(variantColumns(9, 1, x.m, q), 0, 7).S, add.S);

    EXPECT_EQ(code(variantColumns(2, 1, x.m, q), 0, 7).S, (std::vector<double>{0, 1, 1, 1, 1, 1, 1 - q2}));
    EXPECT_EQ(code(variantColumnsWholeCutoffs(2, 1, x.m, q), 0, 7).S,
              (std::vector<double>{0, 0, 1, 1, 1, 1, 1 - q2}));

    const double miss_rec = (1 - 0.9) * (1 - 0.9);
    EXPECT_EQ(code(variantColumns(3, 1, x.m, q), 0, 7).S, (std::vector<double>{0, 0, 0, 0, 1, 1, miss_rec}));
    EXPECT_EQ(code(variantColumnsWholeCutoffs(3, 1, x.m, q), 0, 7).S,
              (std::vector<double>{0, 0, 0, 0, 0, 1, miss_rec}));
    // Counts do not depend on the model.
    EXPECT_EQ(code(variantColumns(3, 1, x.m, q), 0, 7).mac, add.mac);

    EXPECT_EQ(recessiveFlag(variantColumns(3, 1, x.m, q)), 1);
    EXPECT_EQ(recessiveFlag(variantColumnsWholeCutoffs(3, 1, x.m, q)), 1);
    EXPECT_EQ(recessiveFlag(variantColumns(2, 1, x.m, q)), 0);
}

TEST(ColumnCoding, ThresholdAdditiveAndDominant) {
    // Variants 0 and 1 belong to threshold 0 (0.01 >= maf); variant 2 only
    // to threshold 1.
    const double maf[3] = {0.01, 0.005, 0.03};
    const double thresh[2] = {0.01, 0.05};
    const double q[3] = {0.9, 0.8, 0.7};
    Matrix x(4, 3, {NA, NA, 1,
                    0, 1, NA,
                    0, 0, 0,
                    2, NA, 0});

    ColumnSource add = thresholdColumns(1, 3, x.m, q, thresh, maf);
    Coded a0 = code(add, 0, 4);
    EXPECT_DOUBLE_EQ(a0.S[0], 2 * (1 - 0.9) + 2 * (1 - 0.8));
    EXPECT_DOUBLE_EQ(a0.S[1], 1.0);
    EXPECT_DOUBLE_EQ(a0.S[3], 2 + 2 * (1 - 0.8));
    EXPECT_EQ(a0.mac, (std::vector<int>{0, 1, 0, 2}));
    Coded a1 = code(add, 1, 4);
    EXPECT_DOUBLE_EQ(a1.S[1], 1 + 2 * (1 - 0.7));
    EXPECT_EQ(a1.mac, (std::vector<int>{1, 1, 0, 2}));

    ColumnSource dom = thresholdColumns(2, 3, x.m, q, thresh, maf);
    Coded d0 = code(dom, 0, 4);
    // No carrier, missing sites with q = 0.9 and 0.8: 1 - 0.81 x 0.64.
    EXPECT_NEAR(d0.S[0], 0.4816, 1e-15);
    EXPECT_EQ(d0.S[1], 1.0);
    EXPECT_EQ(d0.S[2], 0.0);
    EXPECT_EQ(d0.S[3], 1.0);  // a carrier with a missing site stays 1
    Coded d1 = code(dom, 1, 4);
    EXPECT_EQ(d1.S[0], 1.0);  // carrier of variant 2, which only threshold 1 holds
    EXPECT_EQ(recessiveFlag(dom), 0);
}

TEST(ColumnCoding, ThresholdRecessive) {
    const double maf[4] = {0.01, 0.01, 0.01, 0.2};
    const double thresh[1] = {0.05};
    const double q[4] = {0.9, 0.8, 0.95, 0.5};
    Matrix x(8, 4, {1, 0, 0, 2,     // one heterozygous site, no missing one: 0 (variant 3 not included)
                    1, 1, 0, 0,     // two heterozygous sites: 1
                    0, 2, 0, 0,     // one homozygous site: 1
                    1, NA, NA, 0,   // one allele and missing sites (0.8, 0.95): 1 - P0
                    0, NA, NA, 0,   // no allele, two missing sites: P(at least two)
                    1.3, 0, 0, 0,   // dosage sum below 2 without missing sites: 0
                    1, 1, NA, 0,    // sum 2 with a missing site: 1
                    0.4, NA, 0, 0}); // 0.4 is not above 0.5: type 0, one missing site
    ColumnSource rec = thresholdColumns(3, 4, x.m, q, thresh, maf);
    EXPECT_EQ(recessiveFlag(rec), 1);
    Coded c = code(rec, 0, 8);

    const double p0 = 0.8 * 0.8 * 0.95 * 0.95;
    const double one = 2 * 0.2 * 0.8 * (0.95 * 0.95) + 2 * 0.05 * 0.95 * (0.8 * 0.8);
    EXPECT_EQ(c.S[0], 0.0);
    EXPECT_EQ(c.S[1], 1.0);
    EXPECT_EQ(c.S[2], 1.0);
    EXPECT_NEAR(c.S[3], 1 - p0, 1e-15);
    EXPECT_NEAR(c.S[4], 1 - p0 - one, 1e-15);
    EXPECT_EQ(c.S[5], 0.0);
    EXPECT_EQ(c.S[6], 1.0);
    // One missing site brings two alleles with probability (1 - q)^2.
    EXPECT_NEAR(c.S[7], 0.2 * 0.2, 1e-15);
    EXPECT_EQ(c.mac, (std::vector<int>{1, 2, 2, 1, 0, 1, 2, 0}));
}

TEST(ColumnCoding, ThresholdRecessiveImputationOfTwoMissingSites) {
    // Two missing sites with q = 0.9 and 0.8: one allele carried gives
    // 1 - 0.81 x 0.64 = 0.4816; none gives
    // 0.4816 - 2(0.1)(0.9)(0.64) - 2(0.2)(0.8)(0.81) = 0.1072.
    const double thresh[1] = {0.01};
    const double q[3] = {0.9, 0.8, 0.99};
    const double maf3[3] = {0.01, 0.01, 0.01};
    Matrix x(2, 3, {NA, NA, 1,
                    NA, NA, 0});
    Coded c = code(thresholdColumns(3, 3, x.m, q, thresh, maf3), 0, 2);
    EXPECT_NEAR(c.S[0], 0.4816, 1e-15);
    EXPECT_NEAR(c.S[1], 0.1072, 1e-15);
}

TEST(ColumnCodingDeathTest, RecessiveDosageBelowTwoWithMissingSiteStops) {
    const double maf[2] = {0.01, 0.01};
    const double thresh[1] = {0.01};
    const double q[2] = {0.9, 0.8};
    Matrix x(1, 2, {0.7, NA});
    ColumnSource rec = thresholdColumns(3, 2, x.m, q, thresh, maf);
    double S[1];
    int mac[1];
    // Standard output is sent to the captured standard error.
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            codeColumn(rec, 0, 1, S, mac);
        },
        testing::ExitedWithCode(1), "^Only type=0 or 1 is acceptable\n$");
}

TEST(DropProtocol, CodedChecksAndVarianceDrops) {
    // Variant 0 is carried by nobody and called everywhere; variant 1 by two
    // subjects.
    Matrix x(4, 2, {0, 1, 0, 0, 0, 2, 0, 0});
    Matrix z(4, 1, {1, 1, 1, 1});
    const double q[2] = {0.99, 0.9};
    int mac_thresh[2] = {-1, -1}, mai_thresh[2] = {-1, -1}, n_work = -1;
    double U[2] = {7, 7};
    double** cov = dmatrix(0, 1, 0, 1);
    double** S = dmatrix(0, 1, 0, 3);
    int null_thresh[2] = {-1, -1};
    const ScoreSet set{mac_thresh, mai_thresh, &n_work, U, cov};

    buildCheckedColumns(variantColumns(1, 2, x.m, q), 2, 4, 4, 1, z.m, 1, S, null_thresh, set);
    EXPECT_EQ(n_work, 1);
    EXPECT_EQ(null_thresh[0], 1);
    EXPECT_EQ(null_thresh[1], 0);
    EXPECT_EQ(U[0], 0.0);
    EXPECT_EQ(mac_thresh[0], 0);
    EXPECT_EQ(mai_thresh[0], 0);
    EXPECT_EQ(mac_thresh[1], 3);
    EXPECT_EQ(mai_thresh[1], 2);
    EXPECT_EQ(S[1][2], 2.0);

    clearScores(2, set);
    EXPECT_EQ(U[1], 0.0);
    EXPECT_EQ(cov[0][1], 0.0);

    // A counted column with variance 0 is dropped once; the column that
    // already failed is zeroed but not subtracted again.
    U[0] = 3; U[1] = 4;
    cov[0][0] = 5; cov[0][1] = 6; cov[1][0] = 6; cov[1][1] = 0.0;
    dropNonPositiveVariance(2, null_thresh, set);
    EXPECT_EQ(n_work, 0);
    EXPECT_EQ(null_thresh[1], 1);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(U[k], 0.0);
        for (int l = 0; l < 2; ++l) EXPECT_EQ(cov[k][l], 0.0);
    }
    free_dmatrix(S, 0, 1, 0, 3);
    free_dmatrix(cov, 0, 1, 0, 1);
}

TEST(DropProtocol, NegativeVarianceDropsAndNanStays) {
    int mac_thresh[3] = {}, mai_thresh[3] = {}, n_work = 3;
    double U[3] = {1, 2, 3};
    double** cov = dmatrix(0, 2, 0, 2);
    for (int k = 0; k < 3; ++k)
        for (int l = 0; l < 3; ++l) cov[k][l] = 1.0;
    cov[0][0] = std::numeric_limits<double>::quiet_NaN();
    cov[1][1] = -1e-300;
    int null_thresh[3] = {0, 0, 0};
    dropNonPositiveVariance(3, null_thresh, ScoreSet{mac_thresh, mai_thresh, &n_work, U, cov});
    EXPECT_EQ(n_work, 2);
    EXPECT_EQ(null_thresh[0], 0);
    EXPECT_TRUE(std::isnan(cov[0][0]));
    EXPECT_EQ(U[0], 1.0);
    EXPECT_EQ(U[1], 0.0);
    EXPECT_EQ(cov[0][1], 0.0);
    EXPECT_EQ(cov[2][1], 0.0);
    EXPECT_EQ(cov[0][2], 1.0);
    EXPECT_EQ(U[2], 3.0);
    free_dmatrix(cov, 0, 2, 0, 2);
}

// A variant whose genotypes are a standardised covariate, rescaled: in the
// span of the covariates, yet the absolute bound on det(X'X) does not see it
// at two hundred subjects (the determinant is rounding noise times 200^3).
// The column protocol leaves it out as singular; a variant off that span
// stays.
TEST(DropProtocol, AColumnInTheSpanOfTheStandardisedCovariatesIsLeftOut) {
    const int n = 200;
    double** x = dmatrix(0, n - 1, 0, 1);
    double** z = dmatrix(0, n - 1, 0, 1);
    double mean = 0, ss = 0;
    for (int i = 0; i < n; ++i) {
        x[i][0] = (i % 7 == 0) ? 2.0 : (i % 3 == 0 ? 1.0 : 0.0);
        x[i][1] = (i % 5 == 1) ? 1.0 : 0.0;
        mean += x[i][0];
    }
    mean /= n;
    for (int i = 0; i < n; ++i) ss += (x[i][0] - mean) * (x[i][0] - mean);
    const double sd = std::sqrt(ss / (n - 1));
    for (int i = 0; i < n; ++i) {
        z[i][0] = 1.0;
        z[i][1] = (x[i][0] - mean) / sd;
    }
    const double q[2] = {0.8, 0.9};
    const ColumnSource src = variantColumns(1, 2, x, q);

    const Coded c0 = code(src, 0, n);
    const Flags f = check(0, n, 2, 1, c0.mac, c0.S, z);
    EXPECT_EQ(f.covariates, 0);  // the determinant bound alone misses it

    int mac_thresh[2], mai_thresh[2], n_work = -1;
    double U[2];
    double** cov = dmatrix(0, 1, 0, 1);
    double** S = dmatrix(0, 1, 0, n - 1);
    int null_thresh[2] = {-1, -1};
    const ScoreSet set{mac_thresh, mai_thresh, &n_work, U, cov};
    buildCheckedColumns(src, 2, n, n, 2, z, 1, S, null_thresh, set);
    EXPECT_EQ(null_thresh[0], 1);
    EXPECT_EQ(null_thresh[1], 0);
    EXPECT_EQ(n_work, 1);
    free_dmatrix(S, 0, 1, 0, n - 1);
    free_dmatrix(cov, 0, 1, 0, 1);
    free_dmatrix(z, 0, n - 1, 0, 1);
    free_dmatrix(x, 0, n - 1, 0, 1);
}

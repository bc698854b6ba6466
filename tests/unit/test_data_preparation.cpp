#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "engine/data_preparation.h"
#include "engine/library_extras.h"
#include "numerics/offset_arrays.h"
#include "run_capture.h"

namespace {

constexpr double NA = -999.0;

// n x p covariate matrix filled row by row.
double** covariate_matrix(int n, int p, const std::vector<double>& rows) {
    double** m = dmatrix(0, n - 1, 0, p - 1);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < p; ++j) m[i][j] = rows[static_cast<std::size_t>(i * p + j)];
    return m;
}

}  // namespace

// ------------------------------------------------------------- covariates

TEST(CovariatesProcess, TwoValuedColumnsTakeTheMoreFrequentValueOrTheLaterOneOnATie) {
    // Column 0: intercept.  Column 1: 1, 2, 1, NA, 1 -> 1 is the more frequent.
    // Column 2: 2, 5, NA, 5, 2 -> tie, 5 was met second.
    // Column 3: 5, 2, NA, 2, 5 -> tie, now 2 was met second.
    // Column 4: NA, 7, 7, 7, NA -> one value only.
    double** m = covariate_matrix(5, 5,
                                  {1, 1, 2, 5, NA,    //
                                   1, 2, 5, 2, 7,     //
                                   1, 1, NA, NA, 7,   //
                                   1, NA, 5, 2, 7,    //
                                   1, 1, 2, 5, NA});
    covariatesProcess(5, 5, m);
    const double expected[5][5] = {{1, 1, 2, 5, 7}, {1, 2, 5, 2, 7}, {1, 1, 5, 2, 7}, {1, 1, 5, 2, 7}, {1, 1, 2, 5, 7}};
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) EXPECT_EQ(m[i][j], expected[i][j]) << i << "," << j;
    free_dmatrix(m, 0, 4, 0, 4);
}

TEST(CovariatesProcess, ThreeValuedColumnIsStandardisedWithDivisorNMinusOne) {
    // 0, 1, 2, NA: mean 1, sd = sqrt((1 + 0 + 1) / 2) = 1.
    double** m = covariate_matrix(4, 1, {0, 1, NA, 2});
    covariatesProcess(4, 1, m);
    EXPECT_DOUBLE_EQ(m[0][0], -1.0);
    EXPECT_DOUBLE_EQ(m[1][0], 0.0);
    EXPECT_EQ(m[2][0], 0.0);
    EXPECT_DOUBLE_EQ(m[3][0], 1.0);
    free_dmatrix(m, 0, 3, 0, 0);

    // 4, 1, 3, 2, NA: mean 2.5, sum of squares 5, sd = sqrt(5 / 3).
    double** c = covariate_matrix(5, 1, {4, 1, 3, NA, 2});
    covariatesProcess(5, 1, c);
    const double sd = std::sqrt(5.0 / 3.0);
    EXPECT_NEAR(c[0][0], 1.5 / sd, 1e-15);
    EXPECT_NEAR(c[1][0], -1.5 / sd, 1e-15);
    EXPECT_NEAR(c[2][0], 0.5 / sd, 1e-15);
    EXPECT_EQ(c[3][0], 0.0);
    EXPECT_NEAR(c[4][0], -0.5 / sd, 1e-15);
    free_dmatrix(c, 0, 4, 0, 0);
}

TEST(CovariatesProcess, ValuesWithin1e15CountAsOneValue) {
    // 1 and its successor differ by 2.2e-16: one value, so the column has
    // two values (1 three times against 3 once) and is not standardised.
    const double near_one = std::nextafter(1.0, 2.0);
    double** m = covariate_matrix(5, 1, {1, near_one, 3, NA, 1});
    covariatesProcess(5, 1, m);
    EXPECT_EQ(m[0][0], 1.0);
    EXPECT_EQ(m[1][0], near_one);
    EXPECT_EQ(m[2][0], 3.0);
    EXPECT_EQ(m[3][0], 1.0);
    free_dmatrix(m, 0, 4, 0, 0);

    // 1e-14 apart is a third value: standardised.
    double** s = covariate_matrix(4, 1, {0.5, 0.5 + 1e-14, 3, NA});
    covariatesProcess(4, 1, s);
    EXPECT_EQ(s[3][0], 0.0);
    EXPECT_LT(s[0][0], 0.0);
    EXPECT_GT(s[2][0], 1.0);
    free_dmatrix(s, 0, 3, 0, 0);
}

TEST(CovariatesProcess, ColumnWithoutAnyValueStopsTheRunNamingTheColumn) {
    int status = 0;
    const std::string out = runCaptured(
        [] {
            // Held in static storage so that a leak check at exit still sees it.
            static double** m = covariate_matrix(3, 3, {1, 0.5, NA, 1, 1.5, NA, 1, 2.5, NA});
            covariatesProcess(3, 3, m);
        },
        &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out,
              "fail\nError: covariate column 2 has no non-missing value.\n"
              "\nVENTARQUILLO was stopped due to error(s) listed above.\n\n");
}

// -------------------------------------------------------------- rounding

TEST(Autoround2, AtMostTheBoundManyValuesAreCopiedAndCounted) {
    // 400 values with only two distinct: the count is the number of values.
    std::vector<double> in(400), out(400, -1.0);
    for (int i = 0; i < 400; ++i) in[i] = i % 2 == 0 ? 0.123456789 : 2.0;
    long count = 0;
    autoround2(500, 400, in.data(), out.data(), &count);
    EXPECT_EQ(count, 400);
    for (int i = 0; i < 400; ++i) EXPECT_EQ(out[i], in[i]);
}

TEST(Autoround2, RoundsToThePrecisionJustBelowTheFirstThatExceedsTheBound) {
    // One significant digit: all 0.1 (1 text); two: 0.11, 0.11, 0.12, 0.13
    // (3 texts, at the bound, so not exceeding); three: 4 texts > 3.
    double in[] = {0.131, 0.111, 0.121, 0.112};
    double out[4];
    long count = 0;
    autoround2(3, 4, in, out, &count);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(out[0], 0.13);
    EXPECT_EQ(out[1], 0.11);
    EXPECT_EQ(out[2], 0.12);
    EXPECT_EQ(out[3], 0.11);
    EXPECT_EQ(in[0], 0.131);  // input untouched
}

TEST(Autoround2, ExceedingAtTwoDigitsRoundsToOne) {
    // One digit: 0.1, 0.1, 0.1, 0.2, 0.3 -> 3 texts; two digits: 5 > 3.
    double in[] = {0.21, 0.13, 0.11, 0.31, 0.12};
    double out[5];
    long count = 0;
    autoround2(3, 5, in, out, &count);
    EXPECT_EQ(count, 3);
    const double expected[] = {0.2, 0.1, 0.1, 0.3, 0.1};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], expected[i]) << i;
}

TEST(Autoround2, NeverExceedingKeepsTheValuesAndReportsNineDigitCount) {
    // Three distinct values at nine significant digits, bound 4 < n = 6.
    double in[] = {0.123456789012, 2.5, 7.0, 2.5, 0.123456789012, 7.0};
    double out[6];
    long count = 0;
    autoround2(4, 6, in, out, &count);
    EXPECT_EQ(count, 3);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], in[i]) << i;

    // Values that differ only in the tenth digit are one text at nine digits.
    double close[] = {1.0000000001, 1.0000000002, 1.0000000003};
    double close_out[3];
    autoround2(2, 3, close, close_out, &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(close_out[2], 1.0000000003);
}

TEST(Autoround2, EvenOneDigitAboveTheBoundKeepsOneDigitAndItsCount) {
    // One digit: 1e+00, 3e+01, 3e+02, 3e+02 -> 3 texts > 2.
    double in[] = {1.4, 26.0, 340.0, 310.0};
    double out[4];
    long count = 0;
    autoround2(2, 4, in, out, &count);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(out[0], 1.0);
    EXPECT_EQ(out[1], 30.0);
    EXPECT_EQ(out[2], 300.0);
    EXPECT_EQ(out[3], 300.0);

    // A bound of zero: every value goes to one digit, the count is reported.
    double neg[] = {-0.0123, 0.0456};
    double neg_out[2];
    autoround2(0, 2, neg, neg_out, &count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(neg_out[0], -0.01);
    EXPECT_EQ(neg_out[1], 0.05);
}

// ------------------------------------------------- recessive imputation

TEST(GetSRecImpute, ProbabilitiesOfOneAndTwoFurtherMinorAlleles) {
    double q[] = {0.9, 0.8};
    // 1 - 0.81 * 0.64
    EXPECT_NEAR(getS_REC_impute(1.0, 2, q), 0.4816, 1e-15);
    // 0.4816 - 2(0.1)(0.9)(0.64) - 2(0.2)(0.8)(0.81)
    EXPECT_NEAR(getS_REC_impute(0.0, 2, q), 0.1072, 1e-15);

    // One site: at least two minor alleles there = (1 - q)^2.
    double one[] = {0.7};
    EXPECT_NEAR(getS_REC_impute(0.0, 1, one), 0.09, 1e-15);
    EXPECT_NEAR(getS_REC_impute(1.0, 1, one), 0.51, 1e-15);

    // No missing site: nothing to add.
    EXPECT_EQ(getS_REC_impute(1.0, 0, q), 0.0);
    EXPECT_EQ(getS_REC_impute(0.0, 0, q), 0.0);
}

TEST(GetSRecImpute, ThreeSitesAgreeWithEnumeration) {
    // Enumerate the 27 genotype combinations of three sites in long double.
    double q[] = {0.95, 0.7, 0.85};
    long double at_least_one = 0, at_least_two = 0;
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b)
            for (int c = 0; c < 3; ++c) {
                long double p = 1;
                const int g[] = {a, b, c};
                for (int s = 0; s < 3; ++s) {
                    const long double qs = q[s];
                    p *= g[s] == 0 ? qs * qs : g[s] == 1 ? 2 * qs * (1 - qs) : (1 - qs) * (1 - qs);
                }
                if (a + b + c >= 1) at_least_one += p;
                if (a + b + c >= 2) at_least_two += p;
            }
    EXPECT_NEAR(getS_REC_impute(1.0, 3, q), static_cast<double>(at_least_one), 1e-14);
    EXPECT_NEAR(getS_REC_impute(0.0, 3, q), static_cast<double>(at_least_two), 1e-14);
}

TEST(GetSRecImpute, TypeOtherThanZeroOrOneStopsTheRun) {
    const double bad[] = {0.5, 2.0, -1.0, std::numeric_limits<double>::quiet_NaN()};
    for (double type : bad) {
        int status = 0;
        const std::string out = runCaptured(
            [type] {
                double q[] = {0.9};
                getS_REC_impute(type, 1, q);
            },
            &status);
        EXPECT_EQ(status, 1) << type;
        EXPECT_EQ(out, "Only type=0 or 1 is acceptable\n") << type;
    }
}

// ------------------------------------------------- uncalled routines

TEST(WeightedVariance, DivisorIsTheTotalFrequency) {
    int freq[] = {1, 2, 1};
    double x[] = {0, 1, 2};
    EXPECT_DOUBLE_EQ(var(3, freq, x), 0.5);  // (1 + 0 + 1) / 4
    int f2[] = {3, 1};
    double x2[] = {0, 4};
    EXPECT_DOUBLE_EQ(var(2, f2, x2), 3.0);  // mean 1: (3*1 + 9) / 4
}

TEST(GetSigma, CorrelationOfCovariateAdjustedContributions) {
    // Intercept only: the adjusted columns are S minus their means.
    // S0 = (1,2,3) -> (-1,0,1); S1 = (0,0,3) -> (-1,-1,2); centerY = (1,2,-1).
    // e0 = (-1,0,-1), e1 = (-1,-2,-2): sum e0 e1 = 3, |e0|^2 = 2, |e1|^2 = 9.
    double** S = dmatrix(0, 1, 0, 2);
    const double s[2][3] = {{1, 2, 3}, {0, 0, 3}};
    for (int k = 0; k < 2; ++k)
        for (int i = 0; i < 3; ++i) S[k][i] = s[k][i];
    double** z = dmatrix(0, 2, 0, 0);
    for (int i = 0; i < 3; ++i) z[i][0] = 1.0;
    double** Iz = dmatrix(0, 0, 0, 0);
    Iz[0][0] = 1.0 / 3.0;
    double** SZ = dmatrix(0, 1, 0, 0);
    SZ[0][0] = 6.0;
    SZ[1][0] = 3.0;
    double centerY[] = {1, 2, -1};
    double** Sigma = dmatrix(1, 2, 1, 2);
    getSigma(2, 3, 1, S, z, centerY, Iz, SZ, Sigma);
    EXPECT_EQ(Sigma[1][1], 1.0);
    EXPECT_EQ(Sigma[2][2], 1.0);
    EXPECT_NEAR(Sigma[1][2], 3.0 / std::sqrt(18.0), 1e-14);
    EXPECT_NEAR(Sigma[2][1], 3.0 / std::sqrt(18.0), 1e-14);
    free_dmatrix(Sigma, 1, 2, 1, 2);
    free_dmatrix(SZ, 0, 1, 0, 0);
    free_dmatrix(Iz, 0, 0, 0, 0);
    free_dmatrix(z, 0, 2, 0, 0);
    free_dmatrix(S, 0, 1, 0, 2);
}

// ------------------------------------------------------------- design rank

namespace {

// Rank and involved columns of an n x k matrix given row by row.
int rankOf(int n, int k, const std::vector<double>& rows, std::vector<int>* involved) {
    double** m = covariate_matrix(n, k, rows);
    involved->assign(static_cast<std::size_t>(k), -1);
    const int rank = dependentColumns(n, k, m, 1e-8, involved->data());
    free_dmatrix(m, 0, n - 1, 0, k - 1);
    return rank;
}

}  // namespace

TEST(DependentColumns, ExactRelationsAreFoundWithTheirColumns) {
    std::vector<int> inv;
    // Intercept, sex, age, 1 - sex: the relation holds the intercept and both sexes.
    EXPECT_EQ(rankOf(5, 4, {1, 0, 0.3, 1, 1, 1, -1.2, 0, 1, 1, 0.5, 0, 1, 0, 2.0, 1, 1, 0, 0.1, 1}, &inv), 3);
    EXPECT_EQ(inv, (std::vector<int>{1, 1, 0, 1}));
    // A constant covariate repeats the intercept.
    EXPECT_EQ(rankOf(4, 3, {1, 0.2, 5, 1, 0.9, 5, 1, -0.4, 5, 1, 1.3, 5}, &inv), 2);
    EXPECT_EQ(inv, (std::vector<int>{1, 0, 1}));
    // A column of zeros is dependent on its own.
    EXPECT_EQ(rankOf(4, 3, {1, 0, 2, 1, 0, 3, 1, 0, 7, 1, 0, 1}, &inv), 2);
    EXPECT_EQ(inv, (std::vector<int>{0, 1, 0}));
    // Fewer subjects than columns.
    EXPECT_EQ(rankOf(2, 3, {1, 0.5, 3, 1, 0.7, 1}, &inv), 2);
}

TEST(DependentColumns, UnitsDoNotMatterButNearDuplicatesDo) {
    std::vector<int> inv;
    // Full rank whatever the scale of a column (1e-12 and 1e12 units).
    EXPECT_EQ(rankOf(4, 3, {1, 1e-12, 3e12, 1, 2e-12, 1e12, 1, 4e-12, 4e12, 1, 3e-12, 1e12}, &inv), 3);
    EXPECT_EQ(inv, (std::vector<int>{0, 0, 0}));
    // Column 2 = column 1 + 1e-10 at one subject: its unexplained part has a
    // norm near 1e-10 / |column| (about 2e-11), below the tolerance 1e-8.
    EXPECT_EQ(rankOf(4, 3, {1, 1, 1, 1, 2, 2, 1, 3, 3 + 1e-10, 1, 5, 5}, &inv), 2);
    EXPECT_EQ(inv[1] + inv[2], 2);
    // ... while a difference of 1e-6 (norm about 2e-7) is kept.
    EXPECT_EQ(rankOf(4, 3, {1, 1, 1, 1, 2, 2, 1, 3, 3 + 1e-6, 1, 5, 5}, &inv), 3);
}

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "driver/transforms.h"
#include "numerics/offset_arrays.h"
#include "run_capture.h"

namespace {

// Standard normal quantile by bisection of Phi(x) = erfc(-x / sqrt 2) / 2 in
// long double: independent of the library quantile the program calls.
double normalQuantile(long double p) {
    long double lo = -40.0L, hi = 40.0L;
    for (int it = 0; it < 200; ++it) {
        const long double mid = (lo + hi) / 2;
        const long double phi = 0.5L * std::erfc(-mid / std::sqrt(2.0L));
        if (phi < p) lo = mid;
        else hi = mid;
    }
    return static_cast<double>((lo + hi) / 2);
}

void expectClose(double got, double want) { EXPECT_NEAR(got, want, 1e-14 * (1.0 + std::fabs(want))); }

}  // namespace

TEST(NormalQuantileReference, MatchesStandardNormalTablePoints) {
    // Upper-tail points of standard tables: z(0.975) = 1.959963985, z(0.95) = 1.644853627.
    EXPECT_NEAR(normalQuantile(0.975L), 1.959963985, 1e-9);
    EXPECT_NEAR(normalQuantile(0.95L), 1.644853627, 1e-9);
    EXPECT_NEAR(normalQuantile(0.5L), 0.0, 1e-18);
}

TEST(InverseNormal, FourValuesGoToTheirRankQuantiles) {
    double v[] = {3.1, 1.2, 2.7, 5.0};
    rankInverseNormal(4, v, 0);
    expectClose(v[0], normalQuantile(0.625L));
    expectClose(v[1], normalQuantile(0.125L));
    expectClose(v[2], normalQuantile(0.375L));
    expectClose(v[3], normalQuantile(0.875L));
}

TEST(InverseNormal, RescaledByPopulationStandardDeviation) {
    // mean 3.0; squared deviations 0.01 + 3.24 + 0.09 + 4.00 = 7.34; / 4 = 1.835.
    double v[] = {3.1, 1.2, 2.7, 5.0};
    rankInverseNormal(4, v, 1);
    const double s = std::sqrt(1.835);
    expectClose(v[0], s * normalQuantile(0.625L));
    expectClose(v[1], s * normalQuantile(0.125L));
    expectClose(v[3], s * normalQuantile(0.875L));
}

TEST(InverseNormal, RescaledByRobustStandardDeviation) {
    // median 2.9; absolute deviations 0.2, 1.7, 0.2, 2.1, their median 0.95.
    double v[] = {3.1, 1.2, 2.7, 5.0};
    rankInverseNormal(4, v, 2);
    const double s = 1.4826 * 0.95;
    EXPECT_NEAR(v[1], s * normalQuantile(0.125L), 1e-13);
    EXPECT_NEAR(v[2], s * normalQuantile(0.375L), 1e-13);
}

TEST(InverseNormal, TiesGetDifferentValuesOneRankApart) {
    double v[] = {5.0, 5.0, 1.0};
    rankInverseNormal(3, v, 0);
    expectClose(v[2], normalQuantile(1.0L / 6));
    expectClose(v[0], normalQuantile(3.0L / 6));  // the earlier 5 takes the lower rank
    expectClose(v[1], normalQuantile(5.0L / 6));
    EXPECT_EQ(v[0], 0.0);
}

TEST(InverseNormal, OneValueIsZeroAndNoValueIsNothing) {
    double one[] = {42.0};
    rankInverseNormal(1, one, 0);
    EXPECT_EQ(one[0], 0.0);
    double none[] = {7.0};
    rankInverseNormal(0, none, 1);
    EXPECT_EQ(none[0], 7.0);
}

TEST(InverseNormal, PooledOverSequencedAndNonsequencedValues) {
    double seq[] = {3.1, 1.2};
    double nonseq[] = {2.7, 5.0};
    pooledInverseNormal(2, seq, 2, nonseq, 0);
    expectClose(seq[0], normalQuantile(0.625L));
    expectClose(seq[1], normalQuantile(0.125L));
    expectClose(nonseq[0], normalQuantile(0.375L));
    expectClose(nonseq[1], normalQuantile(0.875L));
}

TEST(InverseNormal, SecondaryTraitOnlyWhenRequested) {
    double y[] = {2.0, 1.0};
    transformSecondaryTrait(2, y, 0, 0);
    EXPECT_EQ(y[0], 2.0);
    transformSecondaryTrait(2, y, 1, 0);
    expectClose(y[0], normalQuantile(0.75L));
    expectClose(y[1], normalQuantile(0.25L));
}

TEST(Rounding, FewValuesStayAndCountIsTheirNumber) {
    double seq[] = {0.11, 0.12, 0.13};
    double nonseq[] = {0.21, 0.22, 0.23, 0.24, 0.25, 0.26, 0.27};
    int status = 0;
    const std::string out = runCaptured([&] { roundPrimaryTrait(500, 3, seq, 7, nonseq); }, &status);
    EXPECT_EQ(out, "There are 10 distinct values for the primary trait after rounding\n");
    {
        QuietStdout quiet;
        roundPrimaryTrait(500, 3, seq, 7, nonseq);
    }
    EXPECT_EQ(seq[2], 0.13);
    EXPECT_EQ(nonseq[6], 0.27);
}

TEST(Rounding, RoundedValuesReturnToTheirOwnSubjects) {
    // Two significant digits give four distinct texts (> 2), one digit gives
    // two: every value is rounded to one significant digit.
    double seq[] = {1.04, 2.1};
    double nonseq[] = {1.06, 2.0};
    int status = 0;
    const std::string out = runCaptured([&] { roundPrimaryTrait(2, 2, seq, 2, nonseq); }, &status);
    EXPECT_EQ(out, "There are 2 distinct values for the primary trait after rounding\n");
    {
        QuietStdout quiet;
        roundPrimaryTrait(2, 2, seq, 2, nonseq);
    }
    EXPECT_EQ(seq[0], 1.0);
    EXPECT_EQ(seq[1], 2.0);
    EXPECT_EQ(nonseq[0], 1.0);
    EXPECT_EQ(nonseq[1], 2.0);
}

TEST(DistinctValues, AscendingWithSubjectCounts) {
    double v[] = {3.0, 1.0, 3.0, 2.0};
    double u[4];
    int n0 = 0;
    int* c0 = nullptr;
    distinctValuesWithCounts(4, v, u, &n0, &c0);
    ASSERT_EQ(n0, 3);
    EXPECT_EQ(u[0], 1.0);
    EXPECT_EQ(u[1], 2.0);
    EXPECT_EQ(u[2], 3.0);
    EXPECT_EQ(c0[0], 1);
    EXPECT_EQ(c0[1], 1);
    EXPECT_EQ(c0[2], 2);
    free_ivector(c0, 0, n0 - 1);
}

TEST(Logarithm, SequencedAndUnderMleTheRecords) {
    double seq[] = {std::exp(1.0), 1.0};
    double rec[] = {std::exp(2.0), std::exp(-1.0)};
    logPrimaryTrait(2, seq, 1, 2, rec);
    EXPECT_DOUBLE_EQ(seq[0], 1.0);
    EXPECT_EQ(seq[1], 0.0);
    EXPECT_DOUBLE_EQ(rec[0], 2.0);
    EXPECT_DOUBLE_EQ(rec[1], -1.0);
    double seq2[] = {1.0};
    double rec2[] = {5.0};
    logPrimaryTrait(1, seq2, 0, 1, rec2);
    EXPECT_EQ(rec2[0], 5.0);  // least squares has no records
}

TEST(LogarithmDeathTest, ValueThatIsNotPositiveStopsTheRun) {
    double seq[] = {1.0, 2.0};
    double rec[] = {3.0, 0.0};
    EXPECT_EXIT(logPrimaryTrait(2, seq, 1, 2, rec), ::testing::ExitedWithCode(1), "");
    double rec2[] = {0.0};
    logPrimaryTrait(2, seq, 0, 1, rec2);  // least squares reads no records
    EXPECT_EQ(seq[1], std::log(2.0));
}

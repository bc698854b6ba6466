#include <gtest/gtest.h>

#include <vector>

#include "engine/vt_thresholds.h"

namespace {

// Thresholds for the frequencies `maf` (variant order) with the given
// minor-allele counts (one each when empty).
std::vector<double> thresholds(const std::vector<double>& maf, int mac_lb, std::vector<double> mac = {}) {
    if (mac.empty()) mac.assign(maf.size(), 1.0);
    std::vector<double> f = maf;
    double out[10];
    int n_thresh = -1;
    getThresh(0, static_cast<int>(f.size()), f.data(), mac.data(), mac_lb, &n_thresh, out);
    EXPECT_GE(n_thresh, 0);
    EXPECT_LE(n_thresh, 10);
    EXPECT_EQ(f, maf);  // frequencies untouched
    return std::vector<double>(out, out + n_thresh);
}

double rounded(double x, int dig) {
    sigDigit(1, &x, dig);
    return x;
}

}  // namespace

TEST(SigDigit, RoundsHalfUpToSignificantDigits) {
    EXPECT_EQ(rounded(0.012345, 2), 0.012);
    EXPECT_EQ(rounded(0.0125, 2), 0.013);
    EXPECT_EQ(rounded(0.123456, 2), 0.12);
    EXPECT_EQ(rounded(0.05, 3), 0.05);
    EXPECT_EQ(rounded(0.0, 3), 0.0);
    EXPECT_EQ(rounded(0.00123456, 3), 0.00123);
    EXPECT_EQ(rounded(0.0449, 1), 0.04);
    EXPECT_EQ(rounded(0.045, 1), 0.05);
    EXPECT_EQ(rounded(0.96, 1), 1.0);
    // Below the ten decimals of the text: zero.
    EXPECT_EQ(rounded(3e-12, 3), 0.0);
    // Written as "1.0000000000" though below 1: rounds to 1.
    EXPECT_EQ(rounded(0.99999999999, 2), 1.0);

    double v[] = {0.0111, 0.0149, 0.555};
    sigDigit(3, v, 1);
    EXPECT_EQ(v[0], 0.01);
    EXPECT_EQ(v[1], 0.01);
    EXPECT_EQ(v[2], 0.6);
}

TEST(SigDigit, ValuesOutsideTheUnitIntervalAreLeftAlone) {
    EXPECT_EQ(rounded(1.0, 2), 1.0);
    EXPECT_EQ(rounded(1.23456, 2), 1.23456);
    EXPECT_EQ(rounded(-0.0123, 2), -0.0123);
    EXPECT_EQ(rounded(3.5e12, 1), 3.5e12);
}

TEST(GetThresh, CumulativeCountDropsCandidatesBelowTheBound) {
    // Candidates 0.01, 0.02, 0.03 with cumulative counts 2, 3, 4.
    EXPECT_EQ(thresholds({0.01, 0.02, 0.01, 0.03}, 3), (std::vector<double>{0.02, 0.03}));
    // Total 4 < 5: nothing.
    EXPECT_TRUE(thresholds({0.01, 0.02, 0.01, 0.03}, 5).empty());
    // Counts weight the variants: 0.02 carries 3 alleles.
    EXPECT_EQ(thresholds({0.05, 0.02, 0.01}, 4, {1.0, 3.0, 0.5}), (std::vector<double>{0.05}));
    EXPECT_EQ(thresholds({0.05, 0.02, 0.01}, 3, {1.0, 3.0, 0.5}), (std::vector<double>{0.05, 0.02}));
    // Total exactly at the bound is enough.
    EXPECT_EQ(thresholds({0.01, 0.02}, 2), (std::vector<double>{0.02}));
    EXPECT_TRUE(thresholds({}, 0).empty());
}

TEST(GetThresh, AtMostTenKeepVariantOrderUnrounded) {
    EXPECT_EQ(thresholds({0.03, 0.01, 0.02}, 1), (std::vector<double>{0.03, 0.01, 0.02}));

    // Ten distinct values that would merge at three digits: kept as they are.
    const std::vector<double> ten = {0.0123410, 0.0123401, 0.0123402, 0.0123403, 0.0123404,
                                     0.0123405, 0.0123406, 0.0123407, 0.0123408, 0.0123409};
    EXPECT_EQ(thresholds(ten, 1), ten);

    // Repeated frequencies are one candidate.
    std::vector<double> with_repeats = ten;
    with_repeats.insert(with_repeats.begin() + 3, 0.0123401);
    with_repeats.push_back(0.0123410);
    EXPECT_EQ(thresholds(with_repeats, 1), ten);
}

TEST(GetThresh, ElevenValuesMergeOnlyAtOneDigit) {
    const std::vector<double> maf = {0.001, 0.002, 0.003, 0.004, 0.005, 0.006,
                                     0.007, 0.008, 0.009, 0.010, 0.011};
    // 0.010 and 0.011 both become 0.01; the larger survives with its own value.
    EXPECT_EQ(thresholds(maf, 1), (std::vector<double>{0.001, 0.002, 0.003, 0.004, 0.005, 0.006, 0.007,
                                                       0.008, 0.009, 0.011}));
    // Output follows the variant order.
    const std::vector<double> shuffled = {0.011, 0.005, 0.010, 0.001, 0.009, 0.002,
                                          0.008, 0.003, 0.007, 0.004, 0.006};
    EXPECT_EQ(thresholds(shuffled, 1), (std::vector<double>{0.011, 0.005, 0.001, 0.009, 0.002, 0.008, 0.003,
                                                            0.007, 0.004, 0.006}));
}

TEST(GetThresh, TwelveValuesKeepTheLargestOfEachMergedRun) {
    const std::vector<double> maf = {0.01, 0.02, 0.03, 0.04, 0.05, 0.06, 0.07, 0.08, 0.09, 0.10, 0.11, 0.12};
    EXPECT_EQ(thresholds(maf, 1),
              (std::vector<double>{0.01, 0.02, 0.03, 0.04, 0.05, 0.06, 0.07, 0.08, 0.09, 0.12}));
}

TEST(GetThresh, DistinctEvenAtOneDigitDropsTheSmallestRuns) {
    const std::vector<double> maf = {0.001, 0.002, 0.003, 0.004, 0.005, 0.006,
                                     0.007, 0.008, 0.009, 0.02, 0.03, 0.04};
    EXPECT_EQ(thresholds(maf, 1),
              (std::vector<double>{0.003, 0.004, 0.005, 0.006, 0.007, 0.008, 0.009, 0.02, 0.03, 0.04}));

    // Runs are dropped whole: 0.0011 and 0.0012 share the run 0.001.
    const std::vector<double> runs = {0.0011, 0.0012, 0.002, 0.003, 0.004, 0.005, 0.006,
                                      0.007,  0.008,  0.009, 0.02,  0.03,  0.04};
    EXPECT_EQ(thresholds(runs, 1),
              (std::vector<double>{0.003, 0.004, 0.005, 0.006, 0.007, 0.008, 0.009, 0.02, 0.03, 0.04}));
}

TEST(GetThresh, RoundingIsCumulativeThreeThenTwoDigits) {
    // At three digits 0.01449 -> 0.0145 and 0.0151 stay apart (11 values);
    // two digits of those give 0.015 for both (10 values), so 0.01449 goes.
    // Rounding 0.01449 straight to two digits (0.014) would keep it.
    const std::vector<double> maf = {0.0151, 0.01449, 0.021, 0.031, 0.041, 0.051,
                                     0.061,  0.071,   0.081, 0.091, 0.11};
    EXPECT_EQ(thresholds(maf, 1),
              (std::vector<double>{0.0151, 0.021, 0.031, 0.041, 0.051, 0.061, 0.071, 0.081, 0.091, 0.11}));
}

TEST(GetThresh, CandidatesBelowTheBoundDoNotCountTowardsTen) {
    // Twelve frequencies, the first two lack enough alleles at or below them:
    // ten candidates remain and none is merged.
    const std::vector<double> maf = {0.0011, 0.0012, 0.0013, 0.0014, 0.0015, 0.0016,
                                     0.0017, 0.0018, 0.0019, 0.0020, 0.0021, 0.0022};
    EXPECT_EQ(thresholds(maf, 3), (std::vector<double>(maf.begin() + 2, maf.end())));
}

TEST(ShrinkVT, FlagsFollowTheRanks) {
    // Twelve values given out of order with their ascending positions.
    double t[] = {0.12, 0.01, 0.11, 0.02, 0.10, 0.03, 0.09, 0.04, 0.08, 0.05, 0.07, 0.06};
    int rank[] = {11, 0, 10, 1, 9, 2, 8, 3, 7, 4, 6, 5};
    int keep[12];
    int n_kept = -1;
    shrinkVT(12, t, rank, &n_kept, keep);
    EXPECT_EQ(n_kept, 10);
    const int expected[] = {1, 1, 0, 1, 0, 1, 1, 1, 1, 1, 1, 1};
    for (int k = 0; k < 12; ++k) EXPECT_EQ(keep[k], expected[k]) << k;
    EXPECT_EQ(t[2], 0.11);  // values untouched
}

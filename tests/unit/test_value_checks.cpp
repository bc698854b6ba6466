#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/value_checks.h"
#include "run_capture.h"

namespace {

const std::string kStopLine = "\nVENTARQUILLO was stopped due to error(s) listed above.\n\n";

std::vector<ReadValue> column(const std::vector<double>& values, const std::string* file) {
    std::vector<ReadValue> c;
    long line = 1;
    for (double v : values) c.push_back({v, 1, file, line++, 1});
    return c;
}

TEST(ValueSpread, MedianAndTypicalDeviationByHand) {
    const std::string file = "f";
    // Median 3; the deviations of the other values 2, 1, 1, 97: median 1.5.
    MedianAndSpread ms = medianAndSpread(column({4, 1, 3, 100, 2}, &file));
    EXPECT_EQ(ms.median, 3.0);
    EXPECT_EQ(ms.typical, 1.5);
    // A trait of 2 % cases: median 0, and the cases lie 1 from it.
    std::vector<double> cases(50, 0.0);
    cases[7] = 1.0;
    ms = medianAndSpread(column(cases, &file));
    EXPECT_EQ(ms.median, 0.0);
    EXPECT_EQ(ms.typical, 1.0);
    // Counts weigh the values: 1.5 three times and 2.5 twice have median 1.5.
    std::vector<ReadValue> counted = {{2.5, 2, &file, 1, 1}, {1.5, 3, &file, 2, 1}};
    ms = medianAndSpread(counted);
    EXPECT_EQ(ms.median, 1.5);
    EXPECT_EQ(ms.typical, 1.0);
    // Equal values have no typical deviation.
    EXPECT_EQ(medianAndSpread(column({7, 7, 7}, &file)).typical, 0.0);
}

TEST(ValueSpread, AMillionTypicalDeviationsIsTheLimit) {
    // Median 0.5; the deviations 1.5, 0.5, 0.5 and v - 0.5: typical 1.
    TempFile f("1\n-1\n0\n1000000.5\n");
    int status = 0;
    std::string out = runCaptured([&] { checkValueSpread(column({1, -1, 0, 1000000.5}, &f.path()), "t"); }, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
    TempFile g("1\n-1\n0\n1000001\n");
    out = runCaptured([&] { checkValueSpread(column({1, -1, 0, 1000001}, &g.path()), "primary trait 'y'"); }, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "fail\nError: line 4 of file '" + g.path() +
                       "', field 1 (primary trait 'y'): '1000001' lies 1e+06 typical deviations from the median of "
                       "the values (median 0.5, typical deviation 1); beyond 1e6 of them a value leaves the other "
                       "values indistinguishable in the double precision of the analysis.\n" +
                       kStopLine);
}

TEST(ValueSpread, AColumnThatVariesByLessThan1eMinus60Stops) {
    const std::string file = "pheno.txt";
    int status = 0;
    std::string out =
        runCaptured([&] { checkValueSpread(column({0, 1e-61, 0, 2e-61}, &file), "covariate 'dose'"); }, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "fail\nError: the covariate 'dose' varies too little for the double precision of the analysis "
                   "in file 'pheno.txt': its typical deviation from the median (5e-62) is 5e-62, below 1e-60.\n" +
                       kStopLine);
    // 1e-60 itself, and a tiny value among ordinary ones, are fine.
    out = runCaptured([&] { checkValueSpread(column({0, 0, 1e-60}, &file), "t"); }, &status);
    EXPECT_EQ(status, 0);
    out = runCaptured([&] { checkValueSpread(column({1.5, -0.5, 1e-300, 0.25}, &file), "t"); }, &status);
    EXPECT_EQ(status, 0);
}

}  // namespace

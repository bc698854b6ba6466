#include <gtest/gtest.h>

#include <cmath>

#include "engine/library_extras.h"

namespace {

double sum_of_coordinates(int* n, double* z) {
    double s = 0;
    for (int i = 0; i < *n; ++i) s += z[i];
    return s;
}

double exp_of_sum(int* n, double* z) { return std::exp(sum_of_coordinates(n, z)); }

}  // namespace

TEST(CrudeMonteCarlo, AntitheticPairsIntegrateLinearFunctionsExactly) {
    // f(x) + f(1 - x) is constant for a linear f: every pair gives the mean.
    int ndim = 4, maxpts = 1000, restart = 0;
    double est = -1, err = -1;
    rcrude_(&ndim, &maxpts, sum_of_coordinates, &err, &est, &restart);
    EXPECT_NEAR(est, 2.0, 1e-14);
    EXPECT_LT(err, 1e-13);
}

TEST(CrudeMonteCarlo, EstimateErrorAndInverseVarianceCombination) {
    int ndim = 3, maxpts = 200000, restart = 0, resume = 1;
    const double exact = std::pow(std::expm1(1.0), 3);
    double est = 0, err = 0;
    rcrude_(&ndim, &maxpts, exp_of_sum, &err, &est, &restart);
    EXPECT_GT(err, 0);
    EXPECT_LT(err, 0.01 * exact);
    EXPECT_LE(std::fabs(est - exact), err);  // three standard errors
    const double first_err = err;
    // A second run of the same size, combined: the variance halves.
    rcrude_(&ndim, &maxpts, exp_of_sum, &err, &est, &resume);
    EXPECT_NEAR(err / first_err, std::sqrt(0.5), 0.05);
    EXPECT_LE(std::fabs(est - exact), err);
    // A restart forgets the earlier runs.
    rcrude_(&ndim, &maxpts, exp_of_sum, &err, &est, &restart);
    EXPECT_NEAR(err / first_err, 1.0, 0.07);
}

TEST(CrudeMonteCarlo, NoPairToDrawLeavesTheEstimate) {
    int ndim = 2, none = 1, some = 2000, restart = 0, resume = 1;
    double est = 5, err = 5;
    rcrude_(&ndim, &none, exp_of_sum, &err, &est, &restart);
    EXPECT_EQ(est, 0.0);
    EXPECT_TRUE(std::isinf(err));
    rcrude_(&ndim, &some, exp_of_sum, &err, &est, &restart);
    const double kept_est = est, kept_err = err;
    rcrude_(&ndim, &none, exp_of_sum, &err, &est, &resume);
    EXPECT_EQ(est, kept_est);
    EXPECT_NEAR(err, kept_err, 1e-12 * kept_err);
    int too_many = 101;
    rcrude_(&too_many, &some, exp_of_sum, &err, &est, &resume);
    EXPECT_EQ(est, kept_est);
}

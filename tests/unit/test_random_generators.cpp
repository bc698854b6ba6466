#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "numerics/multivariate_normal.h"
#include "normal_reference.h"

// The first test reads the generator from its starting state; it must stay
// first in this file (each test also runs in a process of its own under ctest).
TEST(Uni, FollowsTheTwoRecurrencesFromTheStartingState) {
    // The recurrences computed directly in 64-bit arithmetic.
    const std::int64_t m1 = 2147483647, m2 = 2145483479;
    std::int64_t x[3] = {11111111, 22222223, 33333335};
    std::int64_t y[3] = {44444447, 55555559, 66666661};
    auto mod = [](std::int64_t v, std::int64_t m) { return ((v % m) + m) % m; };
    for (int k = 0; k < 20000; ++k) {
        const std::int64_t xn = mod(63308 * x[1] - 183326 * x[0], m1);
        const std::int64_t yn = mod(86098 * y[2] - 539608 * y[0], m2);
        x[0] = x[1], x[1] = x[2], x[2] = xn;
        y[0] = y[1], y[1] = y[2], y[2] = yn;
        std::int64_t z = xn - yn;
        if (z < 1) z += m1;
        const double expected = static_cast<double>(z) * 4.656612873077393e-10;
        ASSERT_EQ(uni_(), expected) << "draw " << k;
    }
}

TEST(Rnor, DistributionIsStandardNormal) {
    const int draws = 400000;
    std::vector<double> z(draws);
    int beyond = 0;
    for (double& v : z) {
        v = rnor_();
        if (std::fabs(v) > 2.776994269662875) ++beyond;
    }

    // The tail beyond the table: binomial count around 2 Phi(-2.777).
    const double p_tail = static_cast<double>(2 * normal_reference::cdf(-2.776994269662875L));
    const double sd_tail = std::sqrt(draws * p_tail * (1 - p_tail));
    EXPECT_NEAR(beyond, draws * p_tail, 5 * sd_tail);

    // Kolmogorov-Smirnov distance against the normal distribution function
    // (1.95 / sqrt(n) is the 0.1% critical value).
    std::sort(z.begin(), z.end());
    double ks = 0;
    for (int i = 0; i < draws; ++i) {
        const double f = static_cast<double>(normal_reference::cdf(z[i]));
        ks = std::max({ks, std::fabs(f - double(i) / draws), std::fabs(f - double(i + 1) / draws)});
    }
    EXPECT_LT(ks, 1.95 / std::sqrt(double(draws)));
}

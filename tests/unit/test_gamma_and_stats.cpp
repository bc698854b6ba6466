#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include <unistd.h>

#include "numerics/gamma_and_stats.h"
#include "numerics/offset_arrays.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// x values on both sides of a + 1 (where gammq switches from the series to
// the continued fraction), from deep in the body to far in the tail.
std::vector<double> grid_around(double a) {
    std::vector<double> xs;
    for (double x = 1e-3; x < 60.0; x *= 1.07) xs.push_back(x);
    xs.push_back(a + 1.0);
    xs.push_back(std::nextafter(a + 1.0, 0.0));
    xs.push_back(a + 0.5);
    xs.push_back(a + 1.5);
    return xs;
}

double relative_error(double value, long double reference) {
    return static_cast<double>(std::fabs((static_cast<long double>(value) - reference) / reference));
}

// Q(n, x) for integer n is the Poisson probability of fewer than n events:
// exp(-x) * sum_{k<n} x^k / k!, summed here in long double.
long double poisson_upper_tail(int n, double x) {
    long double term = 1.0L, sum = 0.0L;
    for (int k = 0; k < n; ++k) {
        if (k > 0) term *= static_cast<long double>(x) / k;
        sum += term;
    }
    return sum * std::exp(-static_cast<long double>(x));
}

// The literal exchange sort, as an independent reference for the median.
double exchange_sort_median(std::vector<double> v) {
    const std::size_t n = v.size();
    for (std::size_t i = 0; i + 1 < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (v[i] > v[j]) std::swap(v[i], v[j]);
    return n % 2 == 1 ? v[n / 2] : (v[n / 2] + v[n / 2 - 1]) * 0.5;
}

bool same_value(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

}  // namespace

TEST(IncompleteGamma, HalfIsTheTwoSidedNormalTail) {
    // Q(1/2, x) = erfc(sqrt(x)).
    for (double x : grid_around(0.5)) {
        const long double reference = std::erfc(std::sqrt(static_cast<long double>(x)));
        EXPECT_LT(relative_error(gammq(0.5, x), reference), 1e-12) << "x = " << x;
    }
}

TEST(IncompleteGamma, OneIsTheExponentialTail) {
    for (double x : grid_around(1.0)) {
        const long double reference = std::exp(-static_cast<long double>(x));
        EXPECT_LT(relative_error(gammq(1.0, x), reference), 1e-12) << "x = " << x;
    }
}

TEST(IncompleteGamma, IntegerShapeIsAPoissonSum) {
    for (int n : {2, 3, 4, 6, 10}) {
        for (double x : grid_around(n)) {
            EXPECT_LT(relative_error(gammq(n, x), poisson_upper_tail(n, x)), 1e-12)
                << "a = " << n << ", x = " << x;
        }
    }
}

TEST(IncompleteGamma, MatchesTabulatedChiSquaredTails) {
    // Two-sided normal p-value of a statistic of 1 and the 5% point.
    EXPECT_NEAR(gammq(0.5, 0.5), 0.317311, 5e-7);
    EXPECT_NEAR(gammq(0.5, 1.92), 0.0500435, 5e-8);
    // Upper 5%, 1% and 0.1% points of chi-squared with one degree of
    // freedom (standard tables): 3.841459, 6.634897, 10.827566.
    EXPECT_NEAR(gammq(0.5, 3.841459 / 2), 0.05, 5e-8);
    EXPECT_NEAR(gammq(0.5, 6.634897 / 2), 0.01, 5e-9);
    EXPECT_NEAR(gammq(0.5, 10.827566 / 2), 0.001, 5e-10);
    // Chi-squared with 4 degrees of freedom at 9.487729: 0.05.
    EXPECT_NEAR(gammq(2.0, 9.487729 / 2), 0.05, 5e-8);
}

TEST(ChiSquare1Upper, FloorsAtTheSmallestNormalDouble) {
    // erfc(sqrt(T / 2)) in 40-digit arithmetic (mpmath): 2.1010145162642174950e-306
    // at T = 1,400, still a normal double; at 1,500 the tail is 3.9e-328 and
    // further out it is smaller still, all below DBL_MIN.
    EXPECT_LT(relative_error(chiSquare1Upper(1400.0), 2.1010145162642174950e-306L), 1e-11);
    for (double t : {1500.0, 1e4, 1e300, std::numeric_limits<double>::max(), kInf})
        EXPECT_EQ(chiSquare1Upper(t), DBL_MIN) << "T = " << t;
    // The ordinary range is gammq's value unchanged.
    EXPECT_EQ(chiSquare1Upper(3.841459), gammq(0.5, 3.841459 * 0.5));
    EXPECT_EQ(chiSquare1Upper(0.0), 1.0);
    EXPECT_TRUE(std::isnan(chiSquare1Upper(kNaN)));
}

TEST(ChiSquare1Upper, NeverRisesAsTheStatisticGrows) {
    double last = 1.0;
    for (double t = 1300.0; t < 1600.0; t += 0.25) {
        const double p = chiSquare1Upper(t);
        ASSERT_GE(p, DBL_MIN) << "T = " << t;
        ASSERT_LE(p, last) << "T = " << t;
        last = p;
    }
    EXPECT_EQ(last, DBL_MIN);
}

TEST(IncompleteGamma, AtZeroTheTailIsOne) {
    for (double a : {1e-3, 0.5, 1.0, 7.5, 250.0}) EXPECT_EQ(gammq(a, 0.0), 1.0) << "a = " << a;
    double gamser = -1.0, gln = 0.0;
    gser(&gamser, 3.0, 0.0, &gln);
    EXPECT_EQ(gamser, 0.0);
    EXPECT_NEAR(gln, std::log(2.0), 1e-14);
}

TEST(IncompleteGamma, EvaluatorsAgreeAndReturnLnGamma) {
    // Where both converge (around x = a + 1), the two evaluators give
    // P + Q = 1 and the same ln Gamma(a).
    for (double a : {0.5, 2.0, 4.5}) {
        for (double x : {a + 1.0, a + 2.0}) {
            double p = 0.0, q = 0.0, gln_p = 0.0, gln_q = 0.0;
            gser(&p, a, x, &gln_p);
            gcf(&q, a, x, &gln_q);
            EXPECT_NEAR(p + q, 1.0, 1e-13) << "a = " << a << ", x = " << x;
            EXPECT_NEAR(gln_p, std::lgamma(static_cast<long double>(a)), 1e-13);
            EXPECT_EQ(gln_p, gln_q);
        }
    }
}

TEST(LnGamma, ClosedForms) {
    // ln Gamma(1/2) = ln sqrt(pi); ln Gamma(n) = ln (n-1)!; Gamma(3/2) = sqrt(pi)/2.
    const long double pi = 3.141592653589793238462643383279502884L;
    EXPECT_NEAR(gammln(0.5), static_cast<double>(0.5L * std::log(pi)), 1e-13);
    EXPECT_NEAR(gammln(1.5), static_cast<double>(std::log(std::sqrt(pi) / 2.0L)), 1e-13);
    EXPECT_NEAR(gammln(1.0), 0.0, 1e-14);
    EXPECT_NEAR(gammln(2.0), 0.0, 1e-14);
    long double log_factorial = 0.0L;
    for (int n = 2; n <= 171; ++n) {
        // log_factorial holds ln (n-1)!
        const double value = gammln(n);
        EXPECT_LT(std::fabs(value - static_cast<double>(log_factorial)),
                  1e-12 * std::fmax(1.0, static_cast<double>(log_factorial)))
            << "n = " << n;
        log_factorial += std::log(static_cast<long double>(n));
    }
}

using IncompleteGammaDeathTest = ::testing::Test;

// The stops write on standard output; inside the death test it is pointed at
// standard error, which the death test captures.
#define STDOUT_TO_STDERR()          \
    do {                            \
        std::fflush(stdout);        \
        dup2(STDERR_FILENO, STDOUT_FILENO); \
    } while (0)

TEST_F(IncompleteGammaDeathTest, InvalidArgumentsStop) {
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            gammq(0.5, -1.0);
        },
        ::testing::ExitedWithCode(1), "^Invalid arguments in routine gammp\n$");
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            gammq(0.0, 1.0);
        },
        ::testing::ExitedWithCode(1), "^Invalid arguments in routine gammp\n$");
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            gammq(-2.0, 0.0);
        },
        ::testing::ExitedWithCode(1), "^Invalid arguments in routine gammp\n$");
}

TEST_F(IncompleteGammaDeathTest, SeriesNotConvergedStops) {
    // For x just below a + 1 with a large, the series needs about sqrt(a)
    // terms, far more than 100.
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            gammq(1e6, 1e6);
        },
        ::testing::ExitedWithCode(1), "^a too large, ITMAX too small in routine gser\n$");
}

TEST_F(IncompleteGammaDeathTest, ContinuedFractionNotConvergedStops) {
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            gammq(1e6, 1e6 + 2.0);
        },
        ::testing::ExitedWithCode(1), "^A too large, ITMAX too small\n$");
}

TEST(Mean, DividesByTheCountOfTheRange) {
    double x[] = {1.0, 2.0, 3.0, 4.0};
    EXPECT_EQ(mean(x, 0, 3), 2.5);
    EXPECT_EQ(mean(x, 1, 2), 2.5);
    EXPECT_EQ(mean(x, 3, 3), 4.0);
    double* shifted = dvector(10, 12);
    shifted[10] = 10.0;
    shifted[11] = 20.0;
    shifted[12] = 60.0;
    EXPECT_EQ(mean(shifted, 10, 12), 30.0);
    free_dvector(shifted, 10, 12);
}

TEST(StandardDeviation, DivisorNAndFloor) {
    double pair[] = {1.0, 3.0};
    EXPECT_EQ(sd(pair, 0, 1, 2.0), 1.0);
    // About a centre that is not the mean: sqrt((1 + 9) / 2).
    EXPECT_DOUBLE_EQ(sd(pair, 0, 1, 0.0), std::sqrt(5.0));
    // Population standard deviation 2 (textbook example).
    double eight[] = {2, 4, 4, 4, 5, 5, 7, 9};
    EXPECT_EQ(sd(eight, 0, 7, mean(eight, 0, 7)), 2.0);
    double constant[] = {3.25, 3.25, 3.25};
    EXPECT_EQ(sd(constant, 0, 2, 3.25), 1e-10);
    double single[] = {-7.0};
    EXPECT_EQ(sd(single, 0, 0, -7.0), 1e-10);
    // Just above the floor it is returned as is.
    double tiny[] = {0.0, 4e-10};
    EXPECT_DOUBLE_EQ(sd(tiny, 0, 1, 2e-10), 2e-10);
}

TEST(Median, OddEvenAndInputUnchanged) {
    double odd[] = {3.0, 1.0, 2.0};
    EXPECT_EQ(median(odd, 0, 2), 2.0);
    EXPECT_EQ(odd[0], 3.0);
    EXPECT_EQ(odd[1], 1.0);
    EXPECT_EQ(odd[2], 2.0);

    double even[] = {4.0, 1.0, 3.0, 2.0};
    EXPECT_EQ(median(even, 0, 3), 2.5);
    EXPECT_EQ(even[0], 4.0);
    EXPECT_EQ(even[3], 2.0);

    double one[] = {-1.5};
    EXPECT_EQ(median(one, 0, 0), -1.5);
    double ties[] = {5.0, 1.0, 5.0, 5.0, 1.0, 1.0};
    EXPECT_EQ(median(ties, 0, 5), 3.0);
    // Only the named range counts.
    double part[] = {100.0, 9.0, 7.0, 8.0, -100.0};
    EXPECT_EQ(median(part, 1, 3), 8.0);
}

TEST(Median, MatchesTheExchangeSortOnRandomDataWithTiesAndNaN) {
    std::mt19937 gen(42);
    std::uniform_int_distribution<int> small(0, 6);
    std::uniform_real_distribution<double> unif(-5.0, 5.0);
    for (int trial = 0; trial < 300; ++trial) {
        const int n = 1 + trial % 23;
        std::vector<double> v(n);
        for (double& e : v) {
            const int kind = small(gen);
            e = kind == 0 ? kNaN : kind < 3 ? static_cast<double>(small(gen)) : unif(gen);
        }
        const std::vector<double> before = v;
        const double got = median(v.data(), 0, n - 1);
        EXPECT_TRUE(same_value(got, exchange_sort_median(v))) << "trial " << trial;
        for (int k = 0; k < n; ++k) EXPECT_TRUE(same_value(v[k], before[k]));
    }
}

TEST(RobustStandardDeviation, ScaledMedianAbsoluteDeviation) {
    // Median 3, deviations {2, 1, 0, 1, 97}, their median 1.
    double x[] = {1.0, 2.0, 3.0, 4.0, 100.0};
    EXPECT_EQ(sd_MAD(x, 0, 4), 1.4826);
    EXPECT_EQ(x[4], 100.0);
    EXPECT_EQ(x[0], 1.0);
    // Even count: median 2.5, deviations {1.5, 0.5, 0.5, 1.5}, median 1.
    double even[] = {4.0, 1.0, 3.0, 2.0};
    EXPECT_EQ(sd_MAD(even, 0, 3), 1.4826);
    EXPECT_EQ(even[0], 4.0);
    // Over an inner range: {10, 2, 6} -> median 6, deviations {4, 4, 0}.
    double inner[] = {1e9, 10.0, 2.0, 6.0, -1e9};
    EXPECT_DOUBLE_EQ(sd_MAD(inner, 1, 3), 4.0 * 1.4826);
    double constant[] = {2.0, 2.0, 2.0};
    EXPECT_EQ(sd_MAD(constant, 0, 2), 0.0);
}

TEST(DescriptiveStatistics, EmptyRangeIsNaNAndReadsNothing) {
    // A null array: any read would crash.
    EXPECT_TRUE(std::isnan(mean(nullptr, 0, -1)));
    EXPECT_TRUE(std::isnan(sd(nullptr, 0, -1, 0.0)));
    EXPECT_TRUE(std::isnan(median(nullptr, 0, -1)));
    EXPECT_TRUE(std::isnan(sd_MAD(nullptr, 0, -1)));
    EXPECT_TRUE(std::isnan(median(nullptr, 5, 2)));
}

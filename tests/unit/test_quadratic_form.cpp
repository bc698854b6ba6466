#include <gtest/gtest.h>

#include <gsl/gsl_cdf.h>
#include <gsl/gsl_integration.h>
#include <gsl/gsl_sf_erf.h>

#include <cmath>
#include <limits>
#include <vector>

#include "numerics/quadratic_form.h"

namespace {

constexpr int kSkatLimit = 1000000000;
constexpr double kSkatAccuracy = 1e-8;

struct Outcome {
    double res = 0.0;
    int ifault = -7;
    double trace[7] = {-7, -7, -7, -7, -7, -7, -7};
};

Outcome run_in_place(std::vector<double>& lb, std::vector<double>& nc, std::vector<int>& n,
                     double sigma, double c, int lim = kSkatLimit, double acc = kSkatAccuracy) {
    Outcome out;
    int r = static_cast<int>(lb.size());
    qfc(lb.data(), nc.data(), n.data(), &r, &sigma, &c, &lim, &acc, out.trace, &out.ifault,
        &out.res);
    return out;
}

Outcome run(std::vector<double> lb, std::vector<double> nc, std::vector<int> n, double sigma,
            double c, int lim = kSkatLimit, double acc = kSkatAccuracy) {
    return run_in_place(lb, nc, n, sigma, c, lim, acc);
}

// Central terms with one degree of freedom each.
Outcome run_central(std::vector<double> lb, double c, int lim = kSkatLimit,
                    double acc = kSkatAccuracy) {
    std::vector<double> nc(lb.size(), 0.0);
    std::vector<int> n(lb.size(), 1);
    return run(lb, nc, n, 0.0, c, lim, acc);
}

void expect_all_zero_trace(const Outcome& o) {
    for (int j = 0; j < 7; ++j) EXPECT_EQ(o.trace[j], 0.0) << "trace[" << j << "]";
}

// P(X < x), X non-central chi-squared with k degrees of freedom, as the
// Poisson mixture of central chi-squared distributions.
double noncentral_chisq_P(double x, int k, double delta) {
    const double half = 0.5 * delta;
    long double weight = std::exp(-static_cast<long double>(half));
    long double sum = 0.0L;
    for (int i = 0; i < 2000; ++i) {
        sum += weight * gsl_cdf_chisq_P(x, k + 2.0 * i);
        weight *= half / (i + 1);
        if (i > half && weight < 1e-20L) break;
    }
    return static_cast<double>(sum);
}

struct WeightedPair {
    double l1, l2, c;
};

// P(l1 X1 + l2 X2 < c) for X1, X2 independent chi-squared(1), l1, l2 > 0:
// with X1 = t^2, the integral over t of 2 phi(t) P(X2 < (c - l1 t^2) / l2),
// where P(chi2_1 < y) = erf(sqrt(y / 2)).
double integrand(double t, void* p) {
    const auto* w = static_cast<const WeightedPair*>(p);
    const double rest = (w->c - w->l1 * t * t) / w->l2;
    const double density = 2.0 * std::exp(-0.5 * t * t) / std::sqrt(2.0 * M_PI);
    return rest <= 0.0 ? 0.0 : density * gsl_sf_erf(std::sqrt(0.5 * rest));
}

double weighted_pair_P(double l1, double l2, double c) {
    WeightedPair w{l1, l2, c};
    gsl_integration_workspace* ws = gsl_integration_workspace_alloc(1000);
    gsl_function f{&integrand, &w};
    double value = 0.0, error = 0.0;
    gsl_integration_qags(&f, 0.0, std::sqrt(c / l1), 1e-14, 1e-12, 1000, ws, &value, &error);
    gsl_integration_workspace_free(ws);
    return value;
}

}  // namespace

TEST(QuadraticForm, DegenerateFormsNeedNoIntegration) {
    // Q = 0: a step at 0, decided before any bound evaluation.
    for (double c : {1e-300, 2.0}) {
        const Outcome o = run({}, {}, {}, 0.0, c);
        EXPECT_EQ(o.res, 1.0);
        EXPECT_EQ(o.ifault, 0);
        expect_all_zero_trace(o);
    }
    for (double c : {0.0, -3.0}) {
        const Outcome o = run({}, {}, {}, 0.0, c);
        EXPECT_EQ(o.res, 0.0);
        EXPECT_EQ(o.ifault, 0);
        expect_all_zero_trace(o);
    }
    // A zero coefficient contributes nothing either.
    const Outcome zero_coef = run({0.0}, {0.0}, {3}, 0.0, 0.5);
    EXPECT_EQ(zero_coef.res, 1.0);
    EXPECT_EQ(zero_coef.ifault, 0);
}

TEST(QuadraticForm, NormalTermAlone) {
    const Outcome median = run({}, {}, {}, 1.0, 0.0, 10000, 1e-6);
    EXPECT_EQ(median.ifault, 0);
    EXPECT_NEAR(median.res, 0.5, 1e-6);

    for (double c : {-2.5, -0.3, 1.0, 1.96}) {
        const Outcome o = run({}, {}, {}, 2.0, c);
        EXPECT_EQ(o.ifault, 0) << c;
        EXPECT_NEAR(o.res, gsl_cdf_ugaussian_P(c / 2.0), kSkatAccuracy) << c;
    }
}

TEST(QuadraticForm, SingleChiSquaredOneDegreeOfFreedom) {
    // The 5% point of chi-squared(1), to the five figures 0.94996.
    const Outcome o = run_central({1.0}, 3.84, 10000, 1e-6);
    EXPECT_EQ(o.ifault, 0);
    EXPECT_NEAR(o.res, 0.94996, 5e-6);
    EXPECT_NEAR(o.res, gsl_cdf_chisq_P(3.84, 1.0), 1e-6);
    // One auxiliary integration, then the main one.
    EXPECT_EQ(o.trace[2], 2.0);
    EXPECT_GT(o.trace[1], 2.0);
    EXPECT_LE(o.trace[1], 10000.0);
    EXPECT_GT(o.trace[6], 0.0);
    EXPECT_LE(o.trace[6], 10000.0);
    EXPECT_GT(o.trace[3], 0.0);
    EXPECT_GT(o.trace[4], 0.0);
    EXPECT_GT(o.trace[0], 0.0);
    // Initial convergence factor, worked by hand: the coefficient for x = 3.84
    // and one positive term is 2^((3.84 - 2.84) / 4) / (pi 3.84^2), and
    // tausq = (acc / 4) / coefficient.
    const double coef = std::pow(2.0, (3.84 - 2.84) / 4.0) / (3.14159265358979 * 3.84 * 3.84);
    const double tausq = 0.25e-6 / coef;
    EXPECT_NEAR(o.trace[5], std::sqrt(tausq), 1e-14);

    // Other points, at the variance-component test's accuracy.
    for (double c : {0.001, 0.2, 1.0, 2.5, 6.63, 15.0, 30.0}) {
        const Outcome p = run_central({1.0}, c);
        EXPECT_EQ(p.ifault, 0) << c;
        EXPECT_NEAR(p.res, gsl_cdf_chisq_P(c, 1.0), kSkatAccuracy) << c;
    }
}

TEST(QuadraticForm, EqualWeightsAddDegreesOfFreedom) {
    // chi2(1) + chi2(1) = chi2(2): P = 1 - exp(-c / 2); 0.949988 at 5.991.
    const Outcome o = run_central({1.0, 1.0}, 5.991, 1000000000, 1e-8);
    EXPECT_EQ(o.ifault, 0);
    EXPECT_NEAR(o.res, 0.949988, 5e-7);
    EXPECT_NEAR(o.res, 1.0 - std::exp(-5.991 / 2.0), 1e-8);

    // 2 chi2(1) + 2 chi2(2) + 2 chi2(3) = 2 chi2(6):
    // P(chi2_6 < y) = 1 - exp(-y/2) (1 + y/2 + (y/2)^2 / 2).
    for (double c : {0.5, 4.0, 12.0, 25.0, 60.0}) {
        const Outcome p = run({2.0, 2.0, 2.0}, {0.0, 0.0, 0.0}, {1, 2, 3}, 0.0, c);
        const double h = c / 4.0;
        const double expected = 1.0 - std::exp(-h) * (1.0 + h + 0.5 * h * h);
        EXPECT_EQ(p.ifault, 0) << c;
        EXPECT_NEAR(p.res, expected, kSkatAccuracy) << c;
    }
}

TEST(QuadraticForm, DifferenceOfChiSquaredIsLaplace) {
    // lambda (X1 - X2), X1, X2 chi-squared(2) = exponential with mean 2:
    // Laplace with scale b = 2 lambda.
    const double lambda = 0.75, b = 2.0 * lambda;
    for (double c : {-9.0, -2.0, -0.1, 0.3, 1.5, 7.0}) {
        const Outcome o = run({lambda, -lambda}, {0.0, 0.0}, {2, 2}, 0.0, c);
        const double expected = c < 0.0 ? 0.5 * std::exp(c / b) : 1.0 - 0.5 * std::exp(-c / b);
        EXPECT_EQ(o.ifault, 0) << c;
        EXPECT_NEAR(o.res, expected, kSkatAccuracy) << c;
    }
    // Unequal scales a = 2 l1, b = 2 l2 of l1 X1 - l2 X2:
    // P(Q < c) = 1 - a/(a+b) exp(-c/a) for c >= 0, b/(a+b) exp(c/b) below.
    const double l1 = 3.0, l2 = 0.4, a = 2.0 * l1, bb = 2.0 * l2;
    for (double c : {-4.0, -0.5, 0.5, 10.0, 40.0}) {
        const Outcome o = run({l1, -l2}, {0.0, 0.0}, {2, 2}, 0.0, c);
        const double expected =
            c >= 0.0 ? 1.0 - a / (a + bb) * std::exp(-c / a) : bb / (a + bb) * std::exp(c / bb);
        EXPECT_EQ(o.ifault, 0) << c;
        EXPECT_NEAR(o.res, expected, kSkatAccuracy) << c;
    }
}

TEST(QuadraticForm, DistinctPositiveWeightsMatchClosedForms) {
    // Sum of l_i chi2(2) with distinct l_i is hypoexponential with means
    // a_i = 2 l_i: P(Q > c) = sum_i exp(-c / a_i) prod_{j != i} a_i / (a_i - a_j).
    const std::vector<double> lambdas = {3.1, 1.2, 0.05};
    for (double c : {0.3, 2.0, 8.0, 30.0, 90.0, 120.0}) {
        const Outcome o = run(lambdas, {0.0, 0.0, 0.0}, {2, 2, 2}, 0.0, c);
        double upper = 0.0;
        for (size_t i = 0; i < lambdas.size(); ++i) {
            double term = std::exp(-c / (2.0 * lambdas[i]));
            for (size_t j = 0; j < lambdas.size(); ++j)
                if (j != i) term *= lambdas[i] / (lambdas[i] - lambdas[j]);
            upper += term;
        }
        EXPECT_EQ(o.ifault, 0) << c;
        EXPECT_NEAR(1.0 - o.res, upper, kSkatAccuracy) << c;
    }
    // Weighted chi2(1) terms, as the variance-component test produces them,
    // against a quadrature of the convolution.
    for (double c : {0.2, 1.0, 4.0, 11.0, 25.0}) {
        const Outcome o = run_central({2.5, 0.3}, c);
        EXPECT_EQ(o.ifault, 0) << c;
        EXPECT_NEAR(o.res, weighted_pair_P(2.5, 0.3, c), kSkatAccuracy) << c;
    }
}

TEST(QuadraticForm, NonCentralTerms) {
    // chi2(1, delta) is (Z + sqrt(delta))^2.
    const double delta = 2.3;
    for (double c : {0.05, 1.0, 3.0, 8.0, 20.0}) {
        const Outcome o = run({1.0}, {delta}, {1}, 0.0, c);
        const double expected = gsl_cdf_ugaussian_P(std::sqrt(c) - std::sqrt(delta)) -
                                gsl_cdf_ugaussian_P(-std::sqrt(c) - std::sqrt(delta));
        EXPECT_EQ(o.ifault, 0) << c;
        EXPECT_NEAR(o.res, expected, kSkatAccuracy) << c;
    }
    // 0.5 chi2(4, 6): Poisson mixture of central chi-squared distributions.
    for (double c : {1.0, 4.0, 9.0}) {
        const Outcome o = run({0.5}, {6.0}, {4}, 0.0, c);
        EXPECT_EQ(o.ifault, 0) << c;
        EXPECT_NEAR(o.res, noncentral_chisq_P(c / 0.5, 4, 6.0), kSkatAccuracy) << c;
    }
}

TEST(QuadraticForm, NormalPlusExponentialTerm) {
    // sigma Z + lambda chi2(2) is exponentially modified Gaussian with
    // exponential mean b = 2 lambda:
    // F(c) = Phi(c / sigma) - exp(-c / b + sigma^2 / (2 b^2)) Phi(c / sigma - sigma / b).
    const double sigma = 0.8, lambda = 1.5, b = 2.0 * lambda;
    for (double c : {-1.5, 0.0, 0.7, 3.0, 9.0}) {
        const Outcome o = run({lambda}, {0.0}, {2}, sigma, c);
        const double expected =
            gsl_cdf_ugaussian_P(c / sigma) -
            std::exp(-c / b + sigma * sigma / (2.0 * b * b)) * gsl_cdf_ugaussian_P(c / sigma - sigma / b);
        EXPECT_EQ(o.ifault, 0) << c;
        EXPECT_NEAR(o.res, expected, kSkatAccuracy) << c;
    }
}

TEST(QuadraticForm, PointsOutsideTheRangeGiveZeroOrOne) {
    const Outcome high = run_central({1.0}, 1000.0, 10000, 1e-6);
    EXPECT_EQ(high.res, 1.0);
    EXPECT_EQ(high.ifault, 0);
    const Outcome low = run_central({1.0}, -5.0, 10000, 1e-6);
    EXPECT_EQ(low.res, 0.0);
    EXPECT_EQ(low.ifault, 0);
    // No integration was run, but the range search evaluated the bounds.
    EXPECT_EQ(low.trace[2], 0.0);
    EXPECT_GT(low.trace[6], 0.0);
}

TEST(QuadraticForm, ConvergenceFactorUsesLargestMagnitudeLast) {
    // lb = {0.5, 2}: the coefficient of the convergence factor at c = 20 takes
    // the smaller magnitude first (20 - 0.5 = 19.5 > 0.5 / 0.0866), then stops
    // at 2 with exponent sum (19.5 - 17.5) / 2 = 1: 2^(1/4) / (pi 19.5^2).
    const double acc = 1e-6;
    const Outcome o = run_central({0.5, 2.0}, 20.0, 100000, acc);
    EXPECT_EQ(o.ifault, 0);
    const double coef = std::pow(2.0, 0.25) / (3.14159265358979 * 19.5 * 19.5);
    EXPECT_NEAR(o.trace[5], std::sqrt(0.25 * acc / coef), 1e-13);
    // The same coefficients given in the other order.
    const Outcome swapped = run_central({2.0, 0.5}, 20.0, 100000, acc);
    EXPECT_NEAR(swapped.trace[5], std::sqrt(0.25 * acc / coef), 1e-13);
    EXPECT_NEAR(o.res, weighted_pair_P(2.0, 0.5, 20.0), acc);
    EXPECT_NEAR(swapped.res, weighted_pair_P(2.0, 0.5, 20.0), acc);
}

TEST(QuadraticForm, InvalidParametersAreFault3) {
    auto expect_fault3 = [](const Outcome& o) {
        EXPECT_EQ(o.ifault, 3);
        EXPECT_EQ(o.res, -1.0);
        expect_all_zero_trace(o);
    };
    expect_fault3(run({1.0}, {0.0}, {-1}, 0.0, 1.0));
    expect_fault3(run({1.0, 2.0}, {0.0, -0.5}, {1, 1}, 0.0, 1.0));
    // Arguments that are not finite numbers.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    expect_fault3(run({1.0}, {0.0}, {1}, 0.0, nan));
    expect_fault3(run({1.0}, {0.0}, {1}, 0.0, inf));
    expect_fault3(run({nan}, {0.0}, {1}, 0.0, 1.0));
    expect_fault3(run({1.0, -inf}, {0.0, 0.0}, {1, 1}, 0.0, 1.0));
    expect_fault3(run({1.0}, {nan}, {1}, 0.0, 1.0));
    expect_fault3(run({1.0}, {0.0}, {1}, nan, 1.0));
    // An accuracy that is not a positive number.
    expect_fault3(run({1.0}, {0.0}, {1}, 0.0, 1.0, 10000, 0.0));
    expect_fault3(run({1.0}, {0.0}, {1}, 0.0, 1.0, 10000, -1e-6));
    expect_fault3(run({1.0}, {0.0}, {1}, 0.0, 1.0, 10000, nan));
}

TEST(QuadraticForm, LimitsOnTermsAndEvaluations) {
    // Bound evaluations: the first truncation bound is allowed, the second
    // passes the limit before anything was recorded.
    const Outcome evaluations = run_central({1.0}, 3.84, 1, 1e-6);
    EXPECT_EQ(evaluations.ifault, 4);
    EXPECT_EQ(evaluations.res, -1.0);
    EXPECT_EQ(evaluations.trace[6], 2.0);
    for (int j = 0; j < 6; ++j) EXPECT_EQ(evaluations.trace[j], 0.0) << j;

    const Outcome none = run_central({1.0}, 3.84, 0, 1e-6);
    EXPECT_EQ(none.ifault, 4);
    EXPECT_EQ(none.trace[6], 1.0);

    // Integration terms: 1e-8 needs thousands of terms.
    const Outcome terms = run_central({1.0}, 3.84, 100, 1e-8);
    EXPECT_EQ(terms.ifault, 1);
    EXPECT_EQ(terms.res, -1.0);
    EXPECT_LE(terms.trace[6], 100.0);
    EXPECT_LE(terms.trace[1], 100.0);

    // The auxiliary integration's terms count against the limit: ten terms
    // fewer than a complete run used leave too few for the main integration,
    // which is refused after its interval is recorded.
    const Outcome full = run_central({1.0}, 3.84, 100000, 1e-6);
    ASSERT_EQ(full.ifault, 0);
    ASSERT_EQ(full.trace[2], 2.0);
    const Outcome cut = run_central({1.0}, 3.84, static_cast<int>(full.trace[1]) - 10, 1e-6);
    EXPECT_EQ(cut.ifault, 1);
    EXPECT_EQ(cut.res, -1.0);
    EXPECT_EQ(cut.trace[2], 1.0);
    EXPECT_GT(cut.trace[1], 0.0);
    EXPECT_LT(cut.trace[1], full.trace[1] - 10);
    EXPECT_EQ(cut.trace[3], full.trace[3]);
    EXPECT_EQ(cut.trace[0], 0.0);
}

TEST(QuadraticForm, RoundOffWarningKeepsTheValue) {
    // chi2(60): its characteristic function decays fast enough for a few
    // hundred terms to reach 1e-20, but a tenth of 1e-20 is lost against the
    // absolute sum of the terms.
    const Outcome o = run({1.0}, {0.0}, {60}, 0.0, 55.0, kSkatLimit, 1e-20);
    EXPECT_EQ(o.ifault, 2);
    EXPECT_NEAR(o.res, gsl_cdf_chisq_P(55.0, 60.0), 1e-12);
    EXPECT_GT(o.trace[0], 1e-4);
    EXPECT_EQ(o.trace[2], 1.0);
}

TEST(QuadraticForm, NegativeTermCountIsRefusedAllocation) {
    double lb = 1.0, nc = 0.0, sigma = 0.0, c = 1.0, acc = 1e-6, trace[7];
    int n = 1, r = -2, lim = 10000, ifault = -7;
    double res = 0.0;
    qfc(&lb, &nc, &n, &r, &sigma, &c, &lim, &acc, trace, &ifault, &res);
    EXPECT_EQ(ifault, 5);
    EXPECT_EQ(res, -1.0);
    for (double t : trace) EXPECT_EQ(t, 0.0);
}

TEST(QuadraticForm, CallsShareNoStateAndOnlyReadTheirArrays) {
    std::vector<double> lb = {2.0, -0.6, 0.9};
    std::vector<double> nc = {0.4, 0.0, 1.1};
    std::vector<int> n = {1, 3, 2};
    const auto lb0 = lb;
    const auto nc0 = nc;
    const auto n0 = n;
    const Outcome first = run_in_place(lb, nc, n, 0.3, 1.7);
    EXPECT_EQ(first.ifault, 0);
    EXPECT_EQ(lb, lb0);
    EXPECT_EQ(nc, nc0);
    EXPECT_EQ(n, n0);

    // A call abandoned on the evaluation limit, and calls that end early.
    run_central({1.0}, 3.84, 1, 1e-6);
    run({1.0}, {0.0}, {-1}, 0.0, 1.0);
    run_central({5.0, 1.0, 0.2}, 7.0, 100, 1e-8);

    const Outcome again = run_in_place(lb, nc, n, 0.3, 1.7);
    EXPECT_EQ(again.res, first.res);
    EXPECT_EQ(again.ifault, first.ifault);
    for (int j = 0; j < 7; ++j) EXPECT_EQ(again.trace[j], first.trace[j]) << j;
}

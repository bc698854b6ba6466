#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "numerics/normal_distribution.h"
#include "normal_reference.h"

namespace ref = normal_reference;

namespace {

double phi(double z) { return phi_(&z); }
double phinv(double p) { return phinv_(&p); }
double bvnu(double h, double k, double r) { return bvnu_(&h, &k, &r); }

// Drezner-Wesolowsky arcsine form with an n-point Gauss-Legendre rule whose
// nodes are computed here, in long double.
long double arcsine_form(long double h, long double k, long double r, int n) {
    const ref::Rule rule = ref::gauss_legendre(n);
    const long double hk = h * k, hs = (h * h + k * k) / 2, asr = std::asin(r);
    long double sum = 0;
    for (size_t i = 0; i < rule.x.size(); ++i) {
        const long double sn = std::sin(asr * (rule.x[i] + 1) / 2);
        sum += rule.w[i] * std::exp((sn * hk - hs) / (1 - sn * sn));
    }
    return sum * asr / (4 * ref::kPi) + ref::cdf(-h) * ref::cdf(-k);
}

double rel_diff(double value, long double reference) {
    return static_cast<double>(std::fabs((value - reference) / reference));
}

}  // namespace

TEST(Phi, ExactValuesAndCutoffs) {
    EXPECT_EQ(phi(0.0), 0.5);
    EXPECT_EQ(phi(37.5), 1.0);
    EXPECT_EQ(phi(-37.5), 0.0);
    EXPECT_GT(phi(-37.0), 0.0);  // 37 itself is still evaluated
    // At 10/sqrt(2) the continued fraction takes over from the rational
    // function: both agree with the true tail to the approximation's accuracy
    // (about 1e-8 relative out there), but differ from each other by far more
    // than the step of one double.
    const double cutoff = 7.071067811865475, below = std::nextafter(cutoff, 0.0);
    for (double z : {-cutoff, -below, cutoff, below})
        EXPECT_NEAR(phi(z), static_cast<double>(ref::cdf(z)), 1e-8 * ref::cdf(-std::fabs(z))) << z;
    EXPECT_GT(rel_diff(phi(-cutoff), phi(-below)), 1e-12);
}

TEST(Phi, MatchesErfcAcrossTheRange) {
    double worst_abs = 0, worst_rel_central = 0;
    for (double z = -40; z <= 40; z += 0.00731) {
        worst_abs = std::fmax(worst_abs, std::fabs(phi(z) - static_cast<double>(ref::cdf(z))));
        if (std::fabs(z) <= 2.0) {  // relative, on the smaller tail
            const double small = z > 0 ? 1 - phi(z) : phi(z);
            worst_rel_central = std::fmax(worst_rel_central, rel_diff(small, ref::cdf(-std::fabs(z))));
        }
    }
    EXPECT_LT(worst_abs, 2.5e-16);
    EXPECT_LT(worst_rel_central, 1e-14);
}

TEST(Phinv, BoundsAndTabulatedQuantiles) {
    EXPECT_EQ(phinv(0.0), -9.0);
    EXPECT_EQ(phinv(1.0), 9.0);
    EXPECT_EQ(phinv(-0.1), -9.0);
    EXPECT_EQ(phinv(1.5), 9.0);
    EXPECT_EQ(phinv(0.5), 0.0);
    // Tabulated standard normal quantiles (17 significant digits).
    const double cases[][2] = {{0.975, 1.959963984540054}, {0.025, -1.959963984540054},
                               {0.995, 2.5758293035489004}, {0.9, 1.2815515655446004},
                               {0.999, 3.090232306167813},  {0.75, 0.6744897501960817},
                               {1e-10, -6.361340902404056}, {1e-20, -9.262340089798408}};
    for (const auto& c : cases) EXPECT_LT(rel_diff(phinv(c[0]), c[1]), 1e-14) << c[0];
}

TEST(Phinv, MatchesNewtonQuantilesAcrossAllThreeRegions) {
    // Central region while |p - 1/2| <= 0.425, intermediate tail while
    // sqrt(-ln p) <= 5 (p >= exp(-25)), far tail beyond.
    const double far_edge = std::exp(-25.0);
    for (double p : {0.3, 0.0751, 0.075, 0.0749, 0.925, 0.9251, far_edge * 1.0001, far_edge,
                     far_edge * 0.9999, 1e-300, 1 - 1e-12})
        EXPECT_LT(rel_diff(phinv(p), ref::quantile(p)), 2e-15) << p;
    for (double lp = -300; lp < -0.31; lp += 0.173) {
        const double p = std::pow(10.0, lp), q = 1 - p;
        ASSERT_LT(rel_diff(phinv(p), ref::quantile(p)), 2e-15) << p;
        if (q < 1) {
            ASSERT_LT(rel_diff(phinv(q), ref::quantile(q)), 2e-15) << q;
        }
    }
    // Against phi_, where phi_ holds 1e-14 relative (|z| <= 2).
    for (double p = 0.023; p < 0.977; p += 0.0007)
        ASSERT_NEAR(phi(phinv(p)), p, 1e-14 * std::fmin(p, 1 - p)) << p;
}

TEST(Bvnu, ClosedFormsAtZeroAndUnitCorrelation) {
    for (double h : {-2.5, -0.4, 0.0, 1.3}) {
        for (double k : {-1.1, 0.0, 0.6, 3.0}) {
            EXPECT_EQ(bvnu(h, k, 0.0), phi(-h) * phi(-k));
            EXPECT_EQ(bvnu(h, k, 1.0), phi(-std::fmax(h, k)));
            EXPECT_EQ(bvnu(h, k, -1.0), std::fmax(0.0, phi(-h) - phi(k)));
            // X = -Y: P(X > h, -X > k) = P(h < X < -k)
            EXPECT_NEAR(bvnu(h, k, -1.0),
                        static_cast<double>(std::fmax(0.0L, ref::cdf(-h) - ref::cdf(k))), 1e-15);
        }
    }
}

TEST(Bvnu, OrthantClosedForm) {
    // P(X > 0, Y > 0) = 1/4 + asin(r) / (2 pi), over all three formulas.
    for (double r : {-0.999, -0.99, -0.95, -0.925, -0.9, -0.75, -0.5, -0.3, -0.1, 0.1, 0.3, 0.5,
                     0.7499, 0.75, 0.9, 0.925, 0.93, 0.97, 0.999}) {
        const long double truth = 0.25L + std::asin(static_cast<long double>(r)) / (2 * ref::kPi);
        EXPECT_NEAR(bvnu(0.0, 0.0, r), static_cast<double>(truth), 4e-16) << r;
    }
}

TEST(Bvnu, MatchesQuadratureOfTheConditionalDistribution) {
    const double rs[] = {-0.999, -0.99, -0.95, -0.9, -0.6, -0.3, 0.2, 0.3, 0.5, 0.8, 0.925, 0.96, 0.995};
    const double limits[] = {-3.0, -1.5, -0.2, 0.0, 0.7, 2.0, 3.5};
    for (double r : rs)
        for (double h : limits)
            for (double k : limits)
                ASSERT_NEAR(bvnu(h, k, r), static_cast<double>(ref::upper_orthant(h, k, r)), 1e-15)
                    << "h=" << h << " k=" << k << " r=" << r;
}

TEST(Bvnu, RuleThresholdsAreSinglePrecisionValues) {
    // |r| = 0.3 is below the single-precision 0.3, so the 6-point rule is used;
    // far in the tail the 6- and 12-point rules differ visibly.
    EXPECT_LT(rel_diff(bvnu(4, 4, 0.3), arcsine_form(4, 4, 0.3L, 6)), 1e-13);
    EXPECT_GT(rel_diff(bvnu(4, 4, 0.3), arcsine_form(4, 4, 0.3L, 12)), 1e-12);
    EXPECT_LT(rel_diff(bvnu(-4, -4, -0.3), arcsine_form(-4, -4, -0.3L, 6)), 1e-13);
    const double r_float = static_cast<double>(0.3f);
    EXPECT_LT(rel_diff(bvnu(6, 6, r_float), arcsine_form(6, 6, r_float, 12)), 1e-12);
    EXPECT_GT(rel_diff(bvnu(6, 6, r_float), arcsine_form(6, 6, r_float, 6)), 1e-10);

    // |r| = 0.925 is below the single-precision 0.925: arcsine form, 20 points.
    EXPECT_LT(rel_diff(bvnu(6, 8, 0.925), arcsine_form(6, 8, 0.925L, 20)), 1e-14);
    EXPECT_GT(rel_diff(bvnu(6, 8, 0.925), ref::upper_orthant(6, 8, 0.925L)), 1e-13);
    const double strong = static_cast<double>(0.925f);
    EXPECT_GT(rel_diff(bvnu(6, 8, strong), arcsine_form(6, 8, strong, 20)), 1e-13);
    EXPECT_NEAR(bvnu(1.0, 1.5, strong), static_cast<double>(ref::upper_orthant(1.0, 1.5, strong)),
                1e-16);
}

TEST(Bvn, AllFlagPairsMatchRectangleQuadrature) {
    const double inf = INFINITY;
    const double lower[2] = {-0.7, -1.2};
    const double upper[2] = {1.1, 0.4};
    for (double r : {0.45, -0.6, 0.95, -0.97}) {
        for (int f1 = 0; f1 <= 2; ++f1) {
            for (int f2 = 0; f2 <= 2; ++f2) {
                const int flags[2] = {f1, f2};
                const long double l1 = f1 == 0 ? -inf : lower[0], u1 = f1 == 1 ? inf : upper[0];
                const long double l2 = f2 == 0 ? -inf : lower[1], u2 = f2 == 1 ? inf : upper[1];
                EXPECT_NEAR(bvn_(lower, upper, flags, &r),
                            static_cast<double>(ref::rectangle(l1, u1, l2, u2, r)), 2e-15)
                    << f1 << f2 << " r=" << r;
            }
        }
    }
}

TEST(Bvn, UnusedLimitsAreNotReadAndOtherFlags) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), r = 0.3;
    const double no_lower[2] = {nan, nan}, zero[2] = {0.0, 0.0};
    const int upper_only[2] = {0, 0};
    EXPECT_NEAR(bvn_(no_lower, zero, upper_only, &r),
                static_cast<double>(0.25L + std::asin(0.3L) / (2 * ref::kPi)), 4e-16);
    // A negative flag leaves its variable unbounded; a flag above 2 is invalid.
    const double lo[2] = {-1.0, 0.5}, up[2] = {1.0, 2.0};
    const int first_free[2] = {-1, 2}, both_free[2] = {-1, -1}, bad[2] = {3, 2};
    EXPECT_EQ(bvn_(lo, up, first_free, &r), phi(2.0) - phi(0.5));
    EXPECT_EQ(bvn_(lo, up, both_free, &r), 1.0);
    EXPECT_TRUE(std::isnan(bvn_(lo, up, bad, &r)));
}

TEST(LimitsAndSign, FlagRuleAndSignTransfer) {
    const double a = -0.5, b = 1.25, nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        int flag;
        double a, b, lower, upper;
    };
    const Case cases[] = {{0, nan, b, 0.0, phi(b)}, {1, a, nan, phi(a), 1.0},
                          {2, a, b, phi(a), phi(b)}, {-3, nan, nan, 0.0, 1.0}};
    for (const Case& c : cases) {
        double lo = -1, up = -1;
        limits_(&c.a, &c.b, &c.flag, &lo, &up);
        EXPECT_EQ(lo, c.lower) << c.flag;
        EXPECT_EQ(up, c.upper) << c.flag;
    }
    const double x = -2.5, pos = 3.0, neg = -1e-300, neg_zero = -0.0;
    EXPECT_EQ(d_sign(&x, &pos), 2.5);
    EXPECT_EQ(d_sign(&x, &neg), -2.5);
    EXPECT_EQ(d_sign(&x, &neg_zero), 2.5);
    EXPECT_FALSE(std::signbit(d_sign(&neg_zero, &pos)));
}

// log Q(t) against 40-digit mpmath log(erfc(t / sqrt 2) / 2): GSL's log erfc
// up to 1e4, the asymptotic expansion from there on, where GSL's gives -inf
// and then NaN (beyond about 1e60).
TEST(LogNormalUpper, BothSidesOfTheAsymptoticSwitchAndFarOut) {
    struct Case {
        double t, want, tol;
    };
    const Case cases[] = {{5.0, -15.064998393988725736, 1e-15},
                          {38.0, -726.5572160188201301, 1e-15},
                          {9999.5, -49995010.254228913932, 1e-15},
                          {1e4, -50000010.129278915181, 1e-15},
                          {1e5, -5000000012.4318639983, 1e-15},
                          {1e62, -5.0e+123, 1e-15},
                          {1e100, -5.0e+199, 1e-15}};
    for (const auto& c : cases) EXPECT_NEAR(log_normal_upper(c.t) / c.want, 1.0, c.tol) << "t=" << c.t;
    EXPECT_EQ(log_normal_upper(1e200), -INFINITY);
    EXPECT_EQ(log_normal_upper(INFINITY), -INFINITY);
    EXPECT_NEAR(log_normal_upper(0.0), std::log(0.5), 1e-15);
    EXPECT_TRUE(std::isnan(log_normal_upper(NAN)));
}

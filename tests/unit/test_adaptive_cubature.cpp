#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <numeric>
#include <vector>

#include "numerics/adaptive_cubature.h"

namespace {

long g_calls = 0;       // integrand evaluations since the last reset
double g_coef[20];      // parameters of the current test integrand
double g_centre[20];

double count_only(int*, double*) { return ++g_calls, 1.0; }

// exp(sum c_i x_i): integral prod (e^c_i - 1)/c_i.
double exp_sum(int* n, double* z) {
    ++g_calls;
    double s = 0;
    for (int i = 0; i < *n; ++i) s += g_coef[i] * z[i];
    return std::exp(s);
}

// exp(-sum c_i (x_i - m_i)^2): product of one-dimensional error-function terms.
double peak(int* n, double* z) {
    ++g_calls;
    double s = 0;
    for (int i = 0; i < *n; ++i) s += g_coef[i] * (z[i] - g_centre[i]) * (z[i] - g_centre[i]);
    return std::exp(-s);
}

double peak_integral(int n) {
    double p = 1;
    for (int i = 0; i < n; ++i) {
        const double r = std::sqrt(g_coef[i]);
        p *= std::sqrt(std::numbers::pi) / (2 * r) * (std::erf(r * (1 - g_centre[i])) + std::erf(r * g_centre[i]));
    }
    return p;
}

// prod x_i^k_i with the exponents in g_coef: integral prod 1/(k_i + 1).
double monomial(int* n, double* z) {
    ++g_calls;
    double p = 1;
    for (int i = 0; i < *n; ++i) p *= std::pow(z[i], g_coef[i]);
    return p;
}

double linear(int* n, double* z) {  // 1 + sum (i+1) x_i
    ++g_calls;
    double s = 1;
    for (int i = 0; i < *n; ++i) s += (i + 1) * z[i];
    return s;
}

double sqrt_first(int*, double* z) { return ++g_calls, std::sqrt(z[0]); }
double not_a_number(int*, double*) { return ++g_calls, NAN; }

struct Result {
    int inform;
    int mincls;
    double value;
    double error;
};

Result run(int ndim, int mincls, int maxcls, adapt_integrand f, double fabsreq, double relreq,
           std::vector<double>& work) {
    int lenwrk = static_cast<int>(work.size());
    Result r{-1, mincls, -7.0, -7.0};
    adapt_(&ndim, &r.mincls, &maxcls, f, &fabsreq, &relreq, &lenwrk, work.data(), &r.error,
           &r.value, &r.inform);
    return r;
}

int lenrul_of(int ndim) { return ndim == 1 ? 5 : 6; }
int smallest_lenwrk(int ndim) { return lenrul_of(ndim) * (ndim + 4) + 10 * ndim + 3; }

struct TableRow {
    int ndim, rulcls, mxrgns;
};
// Points of the basic rule and region capacity of an 8000-double work array.
const TableRow kTable[] = {{1, 9, 1328},   {2, 21, 883},  {3, 39, 661},   {4, 65, 528},
                           {5, 103, 439},  {6, 161, 376}, {8, 417, 291},  {10, 1265, 237},
                           {11, 2335, 217}, {12, 601, 200}, {15, 931, 162}, {19, 1483, 128}};

}  // namespace

TEST(AdaptiveCubature, ZeroBudgetReportsRulePointsAndWritesNothing) {
    for (const TableRow& row : kTable) {
        std::vector<double> work(8000, 3.25);
        const std::vector<double> before = work;
        const Result r = run(row.ndim, 0, 0, count_only, 1e-6, 0, work);
        EXPECT_EQ(r.inform, 2) << row.ndim;
        EXPECT_EQ(r.mincls, row.rulcls) << row.ndim;
        EXPECT_EQ(r.value, -7.0);
        EXPECT_EQ(r.error, -7.0);
        EXPECT_EQ(work, before);
    }
}

TEST(AdaptiveCubature, RulePointCountMatchesTheRuleSize) {
    // One application of the rule to the whole cube calls the integrand once
    // per point: the generator classes must enumerate exactly rulcls points.
    for (const TableRow& row : kTable) {
        int ndim = row.ndim, lenrul = lenrul_of(row.ndim);
        std::vector<double> w(4 * lenrul), g(ndim * lenrul), a(ndim, 0.0), b(ndim, 1.0),
            width(ndim, 0.5), c(ndim), z(ndim);
        bsinit_(&ndim, w.data(), &lenrul, g.data());
        double err, val;
        g_calls = 0;
        basrul_(&ndim, a.data(), b.data(), width.data(), count_only, w.data(), &lenrul, g.data(),
                c.data(), z.data(), &err, &val);
        EXPECT_EQ(g_calls, row.rulcls) << row.ndim;
        EXPECT_NEAR(val, 1.0, 1e-13) << row.ndim;  // weights sum to one
    }
}

TEST(AdaptiveCubature, RefusalsLeaveEverythingButTheCount) {
    std::vector<double> work(8000, 0.5);
    const std::vector<double> before = work;
    EXPECT_EQ(run(3, 0, 38, exp_sum, 1e-6, 0, work).inform, 2);           // maxcls < rulcls
    EXPECT_EQ(run(3, 100, 99, exp_sum, 1e-6, 0, work).mincls, 39);        // mincls > maxcls
    std::vector<double> short_work(smallest_lenwrk(3) - 1, 0.5);
    const Result r = run(3, 0, 100000, exp_sum, 1e-6, 0, short_work);
    EXPECT_EQ(r.inform, 2);
    EXPECT_EQ(r.mincls, 39);
    EXPECT_EQ(r.value, -7.0);
    EXPECT_TRUE(std::all_of(short_work.begin(), short_work.end(), [](double v) { return v == 0.5; }));
    EXPECT_EQ(work, before);
    EXPECT_EQ(run(0, 0, 100000, exp_sum, 1e-6, 0, work).inform, 2);       // no rule for ndim 0
    // A continuation of a work array that holds no computation is refused.
    EXPECT_EQ(run(3, -1, 100000, exp_sum, 1e-6, 0, work).inform, 2);
    EXPECT_EQ(work, before);
    g_coef[0] = g_coef[1] = g_coef[2] = 1;
    EXPECT_NE(run(3, 0, 39, exp_sum, 1e-6, 0, work).inform, 2);           // maxcls = rulcls accepted
}

TEST(AdaptiveCubature, RuleIsExactForPolynomialsUpToDegreeSeven) {
    // Monomials of degree <= 7 over an off-centre box, against prod (b^(k+1) - a^(k+1))/(k+1).
    const std::vector<std::vector<double>> exponents = {
        {7}, {3, 4}, {1, 2, 4}, {2, 2, 2, 1}, {1, 1, 1, 1, 3}, {0, 0, 5, 0, 0, 0, 0, 0, 0, 2},
        {1, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0, 1}, {0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 1}};
    for (const auto& k : exponents) {
        int ndim = static_cast<int>(k.size()), lenrul = lenrul_of(ndim);
        std::vector<double> w(4 * lenrul), g(ndim * lenrul), a(ndim), b(ndim), width(ndim), c(ndim),
            z(ndim);
        long double exact = 1;
        for (int i = 0; i < ndim; ++i) {
            g_coef[i] = k[i];
            a[i] = 0.1 + 0.05 * i;
            b[i] = 0.7 + 0.02 * i;
            width[i] = (b[i] - a[i]) / 2;
            exact *= (std::pow((long double)b[i], k[i] + 1) - std::pow((long double)a[i], k[i] + 1)) /
                     (k[i] + 1);
        }
        bsinit_(&ndim, w.data(), &lenrul, g.data());
        double err, val;
        basrul_(&ndim, a.data(), b.data(), width.data(), monomial, w.data(), &lenrul, g.data(),
                c.data(), z.data(), &err, &val);
        EXPECT_NEAR(val, (double)exact, 1e-13 * (double)exact) << ndim;
    }
}

TEST(AdaptiveCubature, RuleConstantsAndOrthonormalNullRules) {
    for (int ndim : {1, 2, 5, 11, 12, 19}) {
        int lenrul = lenrul_of(ndim);
        std::vector<double> w(4 * lenrul), g(ndim * lenrul), c(ndim, 0.0), h(ndim, 1.0), x(ndim);
        bsinit_(&ndim, w.data(), &lenrul, g.data());
        auto W = [&](int i, int j) { return w[(i - 1) + (j - 1) * lenrul]; };
        EXPECT_NEAR(g[ndim * 3] * g[ndim * 3], 0.8500000238418579, 2e-16);  // lamp of class 4
        EXPECT_NEAR(g[ndim * 2] * g[ndim * 2], 0.9137588164001152, 1e-15);  // lam2
        if (ndim > 1) {
            EXPECT_NEAR(W(5, 1), 0.009708932700129751, 1e-17);
        }
        if (ndim < 12) {
            EXPECT_NEAR(g[ndim] * g[ndim], 0.16488248047920093, 1e-15);  // lam1
        }
        // Class sizes counted by enumerating each generator's points.
        std::vector<double> pts(lenrul);
        for (int i = 0; i < lenrul; ++i) {
            g_calls = 0;
            fulsum_(&ndim, c.data(), h.data(), x.data(), &g[i * ndim], count_only);
            pts[i] = static_cast<double>(g_calls);
        }
        auto dot = [&](int j, int k) {
            double s = 0;
            for (int i = 1; i <= lenrul; ++i) s += pts[i - 1] * W(i, j) * W(i, k);
            return s;
        };
        double sum1 = 0, sum_null[5] = {0, 0, 0, 0, 0};
        for (int i = 1; i <= lenrul; ++i) {
            sum1 += pts[i - 1] * W(i, 1);
            for (int k = 2; k <= 4; ++k) sum_null[k] += pts[i - 1] * W(i, k);
        }
        EXPECT_NEAR(sum1, 1.0, 1e-13);
        const double norm = dot(1, 1) / 4;  // null rules: norm of the basic rule, halved
        for (int k = 2; k <= 4; ++k) {
            EXPECT_NEAR(sum_null[k], 0.0, 1e-12 * std::sqrt(norm)) << ndim << " " << k;
            EXPECT_NEAR(dot(k, k), norm, 1e-12 * norm);
            for (int j = 2; j < k; ++j) EXPECT_NEAR(dot(j, k), 0.0, 1e-12 * norm);
        }
    }
}

TEST(AdaptiveCubature, FullySymmetricSumEnumeratesPermutationsAndSigns) {
    int s = 3;
    double centre[3] = {0, 0, 0}, h[3] = {1, 1, 1}, x[3];
    double g[3] = {0.9, 0.4, 0};
    g_calls = 0;
    for (int i = 0; i < 3; ++i) g_coef[i] = 2;  // sum of x1^2 x2^2 x3^2 is 0: one entry is zero
    EXPECT_EQ(fulsum_(&s, centre, h, x, g, count_only), 24.0);  // 6 orders x 4 signs
    EXPECT_EQ(g_calls, 24);
    EXPECT_EQ(g[0], 0.9);
    EXPECT_EQ(g[1], 0.4);
    EXPECT_EQ(g[2], 0.0);
    g_coef[0] = 2, g_coef[1] = 0, g_coef[2] = 0;  // sum of x1^2 = 8 (0.81 + 0.16)
    EXPECT_NEAR(fulsum_(&s, centre, h, x, g, monomial), 8 * (0.81 + 0.16), 1e-14);
    double equal[3] = {0.5, 0.5, 0.5};
    g_calls = 0;
    fulsum_(&s, centre, h, x, equal, count_only);
    EXPECT_EQ(g_calls, 8);
    double pair[3] = {0.5, 0.5, 0};
    g_calls = 0;
    fulsum_(&s, centre, h, x, pair, count_only);
    EXPECT_EQ(g_calls, 12);
}

TEST(AdaptiveCubature, FourthDifferencesChooseTheSplitAxis) {
    int ndim = 2, divaxn = 0, difcls = -1;
    double a[3] = {0, 0, 0}, b[3] = {1, 1, 1}, width[3] = {0.5, 0.5, 0.5}, z[3], dif[3];
    g_coef[0] = 0, g_coef[1] = 4;  // f = x2^4: fourth difference 24 h^4 with h = 0.4 width
    differ_(&ndim, a, b, width, z, dif, monomial, &divaxn, &difcls);
    EXPECT_EQ(divaxn, 2);
    EXPECT_EQ(difcls, 9);
    EXPECT_NEAR(dif[1], 24 * std::pow(0.2, 4) * 0.5, 1e-15);
    EXPECT_EQ(dif[0], 0.0);
    width[0] = width[1] = 0.25;  // four cells, h = 0.1 each
    differ_(&ndim, a, b, width, z, dif, monomial, &divaxn, &difcls);
    EXPECT_EQ(difcls, 36);
    EXPECT_NEAR(dif[1], 4 * 24 * std::pow(0.1, 4) * 0.25, 1e-15);
    // No difference anywhere: the axis after the previous choice.
    differ_(&ndim, a, b, width, z, dif, count_only, &divaxn, &difcls);
    EXPECT_EQ(divaxn, 1);
    // Ties: the starting axis when it is among the largest, else the lowest.
    // Dyadic cell [0, 1.25]^3 so that every point, and so every tie, is exact.
    ndim = 3;
    for (int i = 0; i < 3; ++i) b[i] = 1.25, width[i] = 0.625;
    g_coef[0] = 4, g_coef[1] = 4, g_coef[2] = 0;
    auto x1_x2_quartic = [](int*, double* p) { return std::pow(p[0], 4) + std::pow(p[1], 4); };
    divaxn = 1;  // starts from axis 2, which ties with axis 1
    differ_(&ndim, a, b, width, z, dif, x1_x2_quartic, &divaxn, &difcls);
    EXPECT_EQ(divaxn, 2);
    divaxn = 2;  // starts from axis 3, which has none: lowest largest is 1
    differ_(&ndim, a, b, width, z, dif, x1_x2_quartic, &divaxn, &difcls);
    EXPECT_EQ(divaxn, 1);
    ndim = 1;  // one dimension: no differences, the axis is always 1
    g_calls = 0;
    differ_(&ndim, a, b, width, z, dif, count_only, &divaxn, &difcls);
    EXPECT_EQ(divaxn, 1);
    EXPECT_EQ(difcls, 0);
    EXPECT_EQ(g_calls, 0);
}

TEST(AdaptiveCubature, HeapKeepsLargestErrorOnTop) {
    double errors[6] = {0.3, 0.9, 0.1, 0.5, 0.7, 0.2};
    double heap[6] = {0, 0, 0, 0, 0, 0};
    for (int r = 1; r <= 6; ++r) trestr_(&r, &r, heap, errors);
    // Sift-up by hand: 2 over 1; 3 under 2; 4 over 1 at slot 2; 5 over 4 at slot 2; 6 over 3.
    const double expected[6] = {2, 5, 6, 1, 4, 3};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(heap[i], expected[i]) << i;
    errors[1] = 0.05;  // the top region re-evaluated with a small error
    int top = 2, n = 6;
    trestr_(&top, &n, heap, errors);
    // Sift-down: 5 (0.7) rises to slot 1, then 4 (0.5) to slot 2; 2 lands in slot 5.
    const double after[6] = {5, 4, 6, 1, 2, 3};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(heap[i], after[i]) << i;

    // Ties: a new region with an equal error stays below its parent; sifting
    // down takes the left child of two equal ones.
    double tied[3] = {0.4, 0.4, 0.4};
    double h3[3] = {0, 0, 0};
    for (int r = 1; r <= 3; ++r) trestr_(&r, &r, h3, tied);
    EXPECT_EQ(h3[0], 1.0);
    EXPECT_EQ(h3[1], 2.0);
    EXPECT_EQ(h3[2], 3.0);
    tied[0] = 0.1;
    top = 1, n = 3;
    trestr_(&top, &n, h3, tied);
    EXPECT_EQ(h3[0], 2.0);
    EXPECT_EQ(h3[1], 1.0);
    EXPECT_EQ(h3[2], 3.0);
}

TEST(AdaptiveCubature, BudgetBoundaryAndMinimumCalls) {
    // Two dimensions: fresh start 9 + 21 calls; each halving 9 + 2 x 21.
    std::vector<double> work(8000);
    g_coef[0] = 1, g_coef[1] = 2;
    Result r = run(2, 0, 81, exp_sum, 0, 0, work);  // 30 + 51 = 81 fits exactly
    EXPECT_EQ(r.inform, 1);
    EXPECT_EQ(r.mincls, 90);
    EXPECT_EQ(work[7999], 2.0);
    r = run(2, 0, 80, exp_sum, 0, 0, work);
    EXPECT_EQ(r.mincls, 39);
    EXPECT_EQ(work[7999], 1.0);

    // A minimum of 500 calls with a constant integrand (no fourth
    // differences, so the axes alternate): meshes 2x1, 2x2, 3x2, 3x3, 4x3
    // after differences costing 9, 18, 36, 54, 81 and 108 calls; 4x3 = 12
    // regions of 21 points: 306 + 252 = 558 calls.
    g_calls = 0;
    r = run(2, 500, 100000, count_only, 1e-10, 0, work);
    EXPECT_EQ(r.inform, 0);
    EXPECT_EQ(r.mincls, 558);
    EXPECT_EQ(g_calls, 558);
    EXPECT_EQ(work[7999], 12.0);
    EXPECT_NEAR(r.value, 1.0, 1e-13);
    const int mx = 883, lowers = 3 * mx;
    EXPECT_EQ(work[lowers + 2 * 1], 0.25);                  // region 2 starts a quarter along axis 1
    EXPECT_NEAR(work[lowers + 2 * 4 + 1], 1.0 / 3, 1e-15);  // region 5 a third along axis 2
    r = run(2, 450, 100000, count_only, 1e-10, 0, work);   // 198 + 252 = 450: still refined
    EXPECT_EQ(r.mincls, 558);

    // The same with room for one region: the cube carries the 4x3 mesh and
    // counts as one rule application (327 calls); the next step adds 108
    // differences and a 5x3 mesh (315): 750 counted, 981 made.
    std::vector<double> one(smallest_lenwrk(2));
    g_calls = 0;
    r = run(2, 500, 100000, count_only, 1e-10, 0, one);
    EXPECT_EQ(r.inform, 0);
    EXPECT_EQ(r.mincls, 750);
    EXPECT_EQ(g_calls, 981);
    EXPECT_NEAR(r.value, 1.0, 1e-13);
    EXPECT_EQ(one.back(), 1.0);
}

TEST(AdaptiveCubature, FreshStartEvaluatesTheWholeCubeOnce) {
    std::vector<double> work(8000);
    for (int ndim : {2, 3, 7, 12}) {
        g_calls = 0;
        const Result r = run(ndim, 0, 1000000, linear, 1e-10, 0, work);
        const int rulcls = run(ndim, 0, 0, linear, 0, 0, work).mincls;
        EXPECT_EQ(r.inform, 0);
        EXPECT_EQ(r.mincls, 4 * ndim + 1 + rulcls);
        EXPECT_EQ(g_calls, r.mincls);
        EXPECT_NEAR(r.value, 1 + ndim * (ndim + 1) / 4.0, 1e-14 * r.value);
        EXPECT_EQ(work[7999], 1.0);
    }
    g_coef[0] = 3;
    g_calls = 0;
    const Result one = run(1, 0, 1000, monomial, 1e-12, 0, work);  // x^3 in one dimension
    EXPECT_EQ(one.inform, 0);
    EXPECT_EQ(one.mincls, 9);
    EXPECT_EQ(g_calls, 9);
    EXPECT_NEAR(one.value, 0.25, 1e-15);
}

TEST(AdaptiveCubature, ClosedFormIntegralsWithinTheRequestedAccuracy) {
    std::vector<double> work(8000);
    for (int ndim = 2; ndim <= 6; ++ndim) {
        double exact = 1;
        for (int i = 0; i < ndim; ++i) {
            g_coef[i] = 0.5 + 0.3 * i - 0.9 * (i % 2);
            exact *= std::expm1(g_coef[i]) / g_coef[i];
        }
        g_calls = 0;
        const Result r = run(ndim, 0, 5000000, exp_sum, 0, 1e-8, work);
        EXPECT_EQ(r.inform, 0) << ndim;
        EXPECT_LE(r.error, 1e-8 * std::fabs(r.value));
        EXPECT_NEAR(r.value, exact, 1e-8 * exact) << ndim;
        EXPECT_EQ(g_calls, r.mincls);
    }
    for (int ndim = 2; ndim <= 4; ++ndim) {  // a narrow off-centre Gaussian peak
        for (int i = 0; i < ndim; ++i) g_coef[i] = 60 + 15 * i, g_centre[i] = 0.3 + 0.13 * i;
        const Result r = run(ndim, 0, 5000000, peak, 1e-7, 0, work);
        EXPECT_EQ(r.inform, 0) << ndim;
        EXPECT_NEAR(r.value, peak_integral(ndim), 1e-7) << ndim;
    }
    g_coef[0] = 9, g_coef[1] = 3, g_coef[2] = 0.5;  // x^9 y^3 sqrt(z): 1/10 * 1/4 * 2/3
    EXPECT_NEAR(run(3, 0, 5000000, monomial, 1e-9, 0, work).value, 1.0 / 60, 1e-9);
    const Result r = run(1, 0, 100000, sqrt_first, 1e-10, 0, work);
    EXPECT_EQ(r.inform, 0);
    EXPECT_NEAR(r.value, 2.0 / 3, 1e-10);
}

TEST(AdaptiveCubature, ContinuationMatchesOneCallWithTheLargerBudget) {
    const int ndim = 3;
    for (int i = 0; i < ndim; ++i) g_coef[i] = 4 + 2.5 * i, g_centre[i] = 0.3 + 0.15 * i;
    std::vector<double> single(8000), split(8000);
    const Result whole = run(ndim, 0, 5000000, peak, 0, 1e-7, single);
    ASSERT_EQ(whole.inform, 0);
    ASSERT_LT(single[7999], 661);  // never full, so every refinement halves a region
    const Result first = run(ndim, 0, 3000, peak, 0, 1e-7, split);
    ASSERT_EQ(first.inform, 1);
    const Result rest = run(ndim, -1, 5000000, peak, 0, 1e-7, split);
    EXPECT_EQ(rest.inform, 0);
    EXPECT_EQ(rest.value, whole.value);
    EXPECT_EQ(rest.error, whole.error);
    EXPECT_EQ(single[7999], split[7999]);
    const int stored = (3 + 3 * ndim) * 661;  // errors, values, heap; lowers, uppers, meshes
    EXPECT_TRUE(std::equal(single.begin(), single.begin() + stored, split.begin()));
    // The continuation repeats the split-axis differences of the region at
    // which the first call stopped: 4 ndim + 1 calls more in total.
    EXPECT_EQ(first.mincls + rest.mincls, whole.mincls + 4 * ndim + 1);

    // A continuation whose stored estimate already meets the target.
    g_calls = 0;
    const Result again = run(ndim, -1, 5000000, peak, 0, 1e-7, split);
    EXPECT_EQ(again.inform, 0);
    EXPECT_EQ(again.mincls, 0);
    EXPECT_EQ(g_calls, 0);
    EXPECT_EQ(again.value, whole.value);
}

// A fresh start builds its regions and heap from nothing: what the work
// array held before (zeros, the value 1 that region 1 has in the heap, NaN,
// or memory never written, which valgrind checks) changes no bit of the
// result, of the call count or of the stored regions.
TEST(AdaptiveCubature, FreshStartReadsNothingTheWorkArrayHeld) {
    const int ndim = 3, mxrgns = 661, lenwrk = 8000;
    for (int i = 0; i < ndim; ++i) g_coef[i] = 3 + i, g_centre[i] = 0.2 + 0.25 * i;
    auto integrate = [&](double* work) {
        int n = ndim, mincls = 0, maxcls = 200000, lw = lenwrk, inform = -1;
        double fabsreq = 0, relreq = 1e-9, error = -1, value = -1;
        adapt_(&n, &mincls, &maxcls, peak, &fabsreq, &relreq, &lw, work, &error, &value, &inform);
        // The result, then per stored region its error, value and heap entry
        // and its lower and upper corners and mesh.
        std::vector<double> out = {value, error, static_cast<double>(inform), static_cast<double>(mincls),
                                   work[lenwrk - 1]};
        const int regions = static_cast<int>(work[lenwrk - 1]);
        for (int r = 0; r < regions; ++r) {
            for (int piece = 0; piece < 3; ++piece) out.push_back(work[piece * mxrgns + r]);
            for (int piece = 0; piece < 3; ++piece)
                for (int i = 0; i < ndim; ++i) out.push_back(work[3 * mxrgns + (piece * mxrgns + r) * ndim + i]);
        }
        return out;
    };
    std::vector<double> zeros(lenwrk, 0.0), ones(lenwrk, 1.0), nans(lenwrk, NAN);
    const std::vector<double> expected = integrate(zeros.data());
    ASSERT_EQ(expected[2], 0.0);   // converged
    ASSERT_GT(expected[4], 10.0);  // after many refinements
    const auto same = [&](const std::vector<double>& got) {
        return got.size() == expected.size() &&
               std::memcmp(got.data(), expected.data(), got.size() * sizeof(double)) == 0;
    };
    EXPECT_TRUE(same(integrate(ones.data())));
    EXPECT_TRUE(same(integrate(nans.data())));
    const std::unique_ptr<double[]> fresh(new double[lenwrk]);
    EXPECT_TRUE(same(integrate(fresh.get())));
}

TEST(AdaptiveCubature, ContinuationKeepsTheSplitAxisCycle) {
    // A constant has no fourth differences, so the split axis cycles; its
    // error estimate is rounding noise above zero, so a zero target is never met.
    // Budget 81: the cube is split along axis 2, then the differences of the
    // next step (axis 1) are paid for and the call stops.
    std::vector<double> work(8000);
    const int mx = 883, lowers = 3 * mx, uppers = lowers + 2 * mx;
    ASSERT_EQ(run(2, 0, 81, count_only, 0, 0, work).inform, 1);
    ASSERT_EQ(work[7999], 2.0);
    EXPECT_EQ(work[uppers + 1] - work[lowers + 1], 0.5);
    // The continuation goes on from axis 1 to axis 2: region 3 is a quarter high.
    ASSERT_EQ(run(2, -1, 51, count_only, 0, 0, work).inform, 1);
    ASSERT_EQ(work[7999], 3.0);
    EXPECT_EQ(work[uppers + 2 * 2 + 1] - work[lowers + 2 * 2 + 1], 0.25);
    EXPECT_EQ(work[uppers + 2 * 2] - work[lowers + 2 * 2], 1.0);
}

TEST(AdaptiveCubature, NullRulesAnnihilateLowDegreePolynomials) {
    // Before orthonormalisation the comparison rules have degrees 5, 5 and 3
    // and the basic rule 7, so null rules 2 and 3 vanish on every monomial of
    // degree <= 5 and null rule 4 on degree <= 3, while a degree-6 monomial
    // is seen by null rule 2.
    for (int ndim : {1, 2, 3, 6, 12, 14}) {
        int lenrul = lenrul_of(ndim);
        std::vector<double> w(4 * lenrul), g(ndim * lenrul), c(ndim, 0.0), h(ndim, 1.0), x(ndim);
        bsinit_(&ndim, w.data(), &lenrul, g.data());
        auto null_value = [&](int k) {
            double s = 0;
            for (int i = 0; i < lenrul; ++i)
                s += w[i + (k - 1) * lenrul] * fulsum_(&ndim, c.data(), h.data(), x.data(), &g[i * ndim], monomial);
            return s;
        };
        const std::vector<std::vector<int>> low = {{0}, {2}, {4}, {1, 3}, {2, 2}, {0, 4}, {2, 1, 2}};
        for (const auto& e : low) {
            if (static_cast<int>(e.size()) > ndim) continue;
            std::fill(g_coef, g_coef + ndim, 0.0);
            int degree = 0;
            for (size_t i = 0; i < e.size(); ++i) g_coef[i] = e[i], degree += e[i];
            EXPECT_NEAR(null_value(2), 0.0, 1e-13) << ndim;
            EXPECT_NEAR(null_value(3), 0.0, 1e-13) << ndim;
            if (degree <= 3) {
                EXPECT_NEAR(null_value(4), 0.0, 1e-13) << ndim;
            }
        }
        std::fill(g_coef, g_coef + ndim, 0.0);
        g_coef[0] = 6;
        EXPECT_GT(std::fabs(null_value(2)), 1e-3) << ndim;
    }
}

TEST(AdaptiveCubature, ErrorFromTheThreeNullRules) {
    // One-dimensional rule on [0, 1]: nine points, centre 1/2, half-width 1/2.
    // The error is formed from the null-rule values e2, e3, e4 as in Genz's
    // ADAPT: r = hypot(e3, e2), q = hypot(e4, e3); r halves when 4r < q and
    // becomes max(r, q) when 2r > q.
    int ndim = 1, lenrul = 5;
    double w[20], g[5], a = 0, b = 1, width = 0.5, centre, z;
    bsinit_(&ndim, w, &lenrul, g);
    bool halved = false, raised = false;
    for (double k : {6.0, 7.0, 8.0, 10.0, 13.0, 20.0, 50.0}) {  // degree 6 and up: no rounding noise
        g_coef[0] = k;
        long double e[5] = {0, 0, 0, 0, 0};
        for (int i = 0; i < lenrul; ++i) {
            const long double f = std::pow(0.5L + 0.5L * g[i], k) + (g[i] == 0 ? 0 : std::pow(0.5L - 0.5L * g[i], k));
            for (int j = 1; j <= 4; ++j) e[j] += w[i + (j - 1) * lenrul] * f;
        }
        long double r = std::sqrt(e[3] * e[3] + e[2] * e[2]), q = std::sqrt(e[4] * e[4] + e[3] * e[3]);
        if (4 * r < q) r /= 2, halved = true;
        if (2 * r > q) {
            raised = raised || q > r;
            r = std::max(r, q);
        }
        double err, val;
        basrul_(&ndim, &a, &b, &width, monomial, w, &lenrul, g, &centre, &z, &err, &val);
        EXPECT_NEAR(err, (double)r, 1e-12 * (double)r + 1e-300) << k;
        EXPECT_NEAR(val, (double)e[1], 1e-14) << k;
    }
    EXPECT_TRUE(halved);
    EXPECT_TRUE(raised);
}

TEST(AdaptiveCubature, WorkArrayLayoutHoldsTheRegionStore) {
    const int ndim = 2, mx = 883;
    std::vector<double> work(8000);
    for (int i = 0; i < ndim; ++i) g_coef[i] = 40 + 10 * i, g_centre[i] = 0.35;
    const Result r = run(ndim, 0, 200000, peak, 0, 1e-12, work);
    const int sb = static_cast<int>(work[7999]);
    ASSERT_GT(sb, 20);
    double value = 0, error = 0, volume = 0;
    for (int k = 0; k < sb; ++k) value += work[mx + k], error += work[k];
    EXPECT_EQ(value, r.value);
    EXPECT_EQ(error, r.error);
    std::vector<double> heap(work.begin() + 2 * mx, work.begin() + 2 * mx + sb), ids(sb);
    for (int k = 1; k < sb; ++k) EXPECT_LE(work[int(heap[k]) - 1], work[int(heap[(k - 1) / 2]) - 1]);
    std::sort(heap.begin(), heap.end());
    std::iota(ids.begin(), ids.end(), 1.0);
    EXPECT_EQ(heap, ids);
    for (int k = 0; k < sb; ++k) {  // the regions tile the cube
        const double* lo = &work[3 * mx + k * ndim];
        const double* up = &work[3 * mx + mx * ndim + k * ndim];
        volume += (up[0] - lo[0]) * (up[1] - lo[1]);
    }
    EXPECT_NEAR(volume, 1.0, 1e-14);
}

TEST(AdaptiveCubature, FullStoreRefinesTheMeshInFixedSpace) {
    // Smallest work array: one region, refined by mesh only.
    for (int ndim : {1, 2, 3}) {
        for (int i = 0; i < ndim; ++i) g_coef[i] = 1.0 + i;
        std::vector<double> work(smallest_lenwrk(ndim));  // exact size: overruns are caught
        g_calls = 0;
        const Result r = run(ndim, 0, 2000000, exp_sum, 1e-9, 0, work);
        double exact = 1;
        for (int i = 0; i < ndim; ++i) exact *= std::expm1(g_coef[i]) / g_coef[i];
        EXPECT_EQ(r.inform, 0) << ndim;
        EXPECT_NEAR(r.value, exact, 1e-9);
        EXPECT_EQ(work.back(), 1.0);
        EXPECT_EQ(g_calls, r.mincls);
    }
    // Three regions in two dimensions: 6*6 + 7*2 + 3*(3*2 + 3) = 77 doubles.
    std::vector<double> work(77);
    g_coef[0] = 2, g_coef[1] = 3;
    g_calls = 0;
    const Result r = run(2, 0, 2000000, exp_sum, 1e-10, 0, work);
    EXPECT_EQ(r.inform, 0);
    EXPECT_NEAR(r.value, std::expm1(2.0) / 2 * std::expm1(3.0) / 3, 1e-10);
    EXPECT_EQ(work[76], 3.0);
    EXPECT_EQ(g_calls, r.mincls);
    const double* meshes = &work[3 * 3 + 2 * 3 * 2];
    EXPECT_GT(*std::max_element(meshes, meshes + 6), 1.0);
}

TEST(AdaptiveCubature, CapacityOfTheEightThousandDoubleArray) {
    // Keep refining with an unreachable target: the store fills to mxrgns
    // and stays there while the meshes grow.
    for (const TableRow& row : kTable) {
        for (int i = 0; i < row.ndim; ++i) g_coef[i] = 0.3 + 0.01 * i;
        std::vector<double> work(8000);
        const int budget = 3 * (row.mxrgns + 20) * (2 * row.rulcls + 4 * row.ndim + 1);
        const Result r = run(row.ndim, 0, budget, exp_sum, 0, 0, work);
        EXPECT_EQ(r.inform, 1) << row.ndim;
        EXPECT_EQ(work[7999], row.mxrgns) << row.ndim;
    }
}

TEST(AdaptiveCubature, NonFiniteIntegrandStopsAtTheBudget) {
    std::vector<double> work(8000);
    const Result r = run(2, 0, 5000, not_a_number, 1e-6, 0, work);
    EXPECT_EQ(r.inform, 1);
    EXPECT_TRUE(std::isnan(r.value));
    EXPECT_LE(r.mincls, 5000);
}

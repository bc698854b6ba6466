#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "engine/data_preparation.h"
#include "engine/design_span.h"
#include "engine/score_columns.h"
#include "numerics/offset_arrays.h"

namespace {

// An n by p offset matrix (0-based) that frees itself.
struct Design {
    int n, p;
    double** z;
    Design(int rows, int cols) : n(rows), p(cols), z(dmatrix(0, rows - 1, 0, cols - 1)) {}
    ~Design() { free_dmatrix(z, 0, n - 1, 0, p - 1); }
    Design(const Design&) = delete;
    Design& operator=(const Design&) = delete;
};

// Intercept, an age-like column and a 0/1 column on n subjects.
void fillStudy(Design& d) {
    for (int i = 0; i < d.n; ++i) {
        d.z[i][0] = 1.0;
        d.z[i][1] = 20.0 + (i * 37 % 61);
        d.z[i][2] = (i * 7 % 3) == 0 ? 1.0 : 0.0;
    }
}

// What the pivoted QR decides on [v, z] (v_first) or [z, v].
bool pivotedQrDeficient(const Design& d, const std::vector<double>& v, bool v_first, double tol) {
    double** m = dmatrix(0, d.n - 1, 0, d.p);
    for (int i = 0; i < d.n; ++i) {
        m[i][v_first ? 0 : d.p] = v[i];
        for (int c = 0; c < d.p; ++c) m[i][(v_first ? 1 : 0) + c] = d.z[i][c];
    }
    std::vector<int> involved(static_cast<std::size_t>(d.p) + 1);
    const int rank = dependentColumns(d.n, d.p + 1, m, tol, involved.data());
    free_dmatrix(m, 0, d.n - 1, 0, d.p);
    return rank < d.p + 1;
}

bool deficient(const Design& d, const std::vector<double>& v, bool v_first, double tol) {
    return rankDeficientWith(*factoredDesign(d.n, d.p, d.z), v.data(), v_first, tol);
}

}  // namespace

TEST(DesignSpan, AColumnOfTheSpanAndACarrierColumn) {
    Design d(60, 3);
    fillStudy(d);
    std::vector<double> in_span(60), carriers(60, 0.0);
    for (int i = 0; i < 60; ++i) in_span[i] = 2.0 - 0.5 * d.z[i][1] + 3.0 * d.z[i][2];
    carriers[4] = carriers[17] = 1.0;
    carriers[40] = 2.0;
    for (bool first : {true, false})
        for (double tol : {1e-8, 1e-10}) {
            EXPECT_TRUE(deficient(d, in_span, first, tol));
            EXPECT_FALSE(deficient(d, carriers, first, tol));
        }
}

// v = a column of the span plus eps times a vector with a large part outside
// it: the part left over, relative to |v|, is about eps, so the decision at
// tolerance 1e-8 flips between eps = 1e-10 and eps = 1e-6; at every eps in
// between and beyond it is the pivoted QR's.
TEST(DesignSpan, NearTheSpanTheDecisionIsThePivotedQrs) {
    Design d(80, 3);
    fillStudy(d);
    std::vector<double> v(80);
    auto make = [&](double eps) {
        for (int i = 0; i < 80; ++i) {
            const double base = 1.0 + 0.02 * d.z[i][1] - 0.7 * d.z[i][2];
            const double w = (i % 5 == 0 ? 1.0 : 0.0) - 0.2;  // not in the span of the three columns
            v[i] = base + eps * w * std::fabs(base);
        }
    };
    make(1e-10);
    EXPECT_TRUE(deficient(d, v, true, 1e-8));
    make(1e-6);
    EXPECT_FALSE(deficient(d, v, true, 1e-8));
    for (double eps = 1e-15; eps < 1.0; eps *= 3.7) {
        make(eps);
        for (bool first : {true, false})
            for (double tol : {1e-8, 1e-10})
                EXPECT_EQ(deficient(d, v, first, tol), pivotedQrDeficient(d, v, first, tol)) << eps;
    }
}

TEST(DesignSpan, ValuesThatAreNotNumbersGoToThePivotedQr) {
    Design d(20, 3);
    fillStudy(d);
    std::vector<double> v(20, 0.0);
    v[3] = 1.0;
    v[9] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(deficient(d, v, true, 1e-8), pivotedQrDeficient(d, v, true, 1e-8));
    v[9] = std::numeric_limits<double>::infinity();
    EXPECT_EQ(deficient(d, v, true, 1e-8), pivotedQrDeficient(d, v, true, 1e-8));
    // A column of zeros is dependent; so is every column against a design
    // with no more subjects than columns.
    EXPECT_TRUE(deficient(d, std::vector<double>(20, 0.0), true, 1e-8));
    Design small(3, 3);
    fillStudy(small);
    EXPECT_TRUE(deficient(small, {1.0, 5.0, -2.0}, true, 1e-8));
    // A design with a value that is not finite is not factored.
    d.z[5][1] = std::numeric_limits<double>::infinity();
    v[9] = 1.0;
    EXPECT_FALSE(factoredDesign(d.n, d.p, d.z)->usable);
    EXPECT_EQ(deficient(d, v, true, 1e-8), pivotedQrDeficient(d, v, true, 1e-8));
}

TEST(DesignSpan, TheCacheIsKeyedByTheContents) {
    Design a(30, 3), b(30, 3);
    fillStudy(a);
    fillStudy(b);
    const auto fa = factoredDesign(a.n, a.p, a.z);
    EXPECT_EQ(fa, factoredDesign(b.n, b.p, b.z));  // same bits in another buffer
    EXPECT_NE(fa, factoredDesign(a.n - 1, a.p, a.z));
    EXPECT_NE(fa, factoredDesign(a.n, a.p - 1, a.z));

    // The same buffer with new contents gets its own factor and decisions.
    std::vector<double> v(30);
    for (int i = 0; i < 30; ++i) v[i] = (i * 11 % 13) * 0.25;
    EXPECT_FALSE(deficient(a, v, true, 1e-8));
    for (int i = 0; i < 30; ++i) a.z[i][2] = v[i];
    EXPECT_TRUE(deficient(a, v, true, 1e-8));
    a.z[7][2] += 1.0;
    EXPECT_FALSE(deficient(a, v, true, 1e-8));

    // -0.0 and 0.0 are different keys (their bits differ).
    Design c(30, 3), e(30, 3);
    fillStudy(c);
    fillStudy(e);
    c.z[0][2] = 0.0;
    e.z[0][2] = -0.0;
    EXPECT_NE(factoredDesign(c.n, c.p, c.z), factoredDesign(e.n, e.p, e.z));
}

TEST(DesignSpan, AHeldFactorOutlivesItsEviction) {
    Design kept(40, 3);
    fillStudy(kept);
    const auto held = factoredDesign(kept.n, kept.p, kept.z);
    // Three designs of 2^20 doubles each fill this thread's cache over again.
    for (int round = 0; round < 3; ++round) {
        Design big(1 << 18, 4);
        for (int i = 0; i < big.n; ++i) {
            big.z[i][0] = 1.0;
            big.z[i][1] = (i * 13 + round) % 101;
            big.z[i][2] = (i * 29) % 7;
            big.z[i][3] = (i % 3 == round) ? 1.0 : 0.0;
        }
        factoredDesign(big.n, big.p, big.z);
    }
    std::vector<double> v(40, 0.0);
    v[2] = 1.0;
    EXPECT_TRUE(held->usable);
    EXPECT_FALSE(rankDeficientWith(*held, v.data(), true, 1e-8));
    EXPECT_EQ(held->zz[0], 40.0);
}

TEST(DesignSpan, CrossProductsAreTheSumsInSubjectOrder) {
    Design d(7, 2);
    const double col[7][2] = {{0.1, 1e10}, {1.0 / 3, -2.5}, {7e-9, 0.3}, {2.0, 1.0 / 7}, {-0.6, 1e-3},
                              {0.25, 5.0}, {1e5, -0.125}};
    for (int i = 0; i < 7; ++i)
        for (int c = 0; c < 2; ++c) d.z[i][c] = col[i][c];
    const auto f = factoredDesign(d.n, d.p, d.z);
    for (int a = 0; a < 2; ++a)
        for (int b = 0; b < 2; ++b) {
            double sum = 0.0;
            for (int i = 0; i < 7; ++i) sum += col[i][std::min(a, b)] * col[i][std::max(a, b)];
            EXPECT_EQ(f->zz[static_cast<std::size_t>(a) * 2 + b], sum);
        }
}

// The bound of the quality check, on a score with zeros: intercept only, the
// score (0, 0, s) gives det(X'X) = 3 s^2 - s^2 = 2 s^2, below 1e-20 for s
// below 7.0711e-11.
TEST(DesignSpan, TheQualityCheckOnAScoreWithZeros) {
    Design d(3, 1);
    for (int i = 0; i < 3; ++i) d.z[i][0] = 1.0;
    const int mac[3] = {0, 0, 1};
    for (double s : {7.0e-11, 7.2e-11}) {
        const double score[3] = {0.0, 0.0, s};
        int MAC = 0, MAI = 0, low = 0, constant = 0, singular = 0;
        checkWarning2(0, 3, 1, 1, mac, score, d.z, &MAC, &MAI, &low, &constant, &singular);
        EXPECT_EQ(singular, s < 7.0711e-11 ? 1 : 0) << s;
        EXPECT_EQ(MAI, 1);
        EXPECT_EQ(constant, 0);
        int again = -1;
        checkWarning2(0, *factoredDesign(3, 1, d.z), 1, mac, score, &MAC, &MAI, &low, &constant, &again);
        EXPECT_EQ(again, singular);
    }
}

// Designs from well to badly conditioned (age and age squared unscaled, a
// column that nearly repeats another), vectors from far to near their span:
// every decision is the pivoted QR's.
TEST(DesignSpan, ManyDesignsAndVectorsAgreeWithThePivotedQr) {
    unsigned state = 12345u;
    auto uniform = [&state]() {
        state = state * 1103515245u + 12345u;
        return static_cast<double>((state >> 8) & 0xFFFFu) / 65536.0;
    };
    int checked = 0;
    for (int shape = 0; shape < 4; ++shape) {
        Design d(120, 4);
        for (int i = 0; i < d.n; ++i) {
            const double age = 20.0 + 60.0 * uniform();
            d.z[i][0] = 1.0;
            d.z[i][1] = age;
            d.z[i][2] = shape == 0 ? uniform() : (shape == 1 ? age * age : age + std::pow(10.0, -3 - shape) * uniform());
            d.z[i][3] = uniform() < 0.5 ? 1.0 : 0.0;
        }
        std::vector<double> v(static_cast<std::size_t>(d.n));
        for (int trial = 0; trial < 60; ++trial) {
            const double eps = std::pow(10.0, -14.0 + 14.0 * uniform());
            for (int i = 0; i < d.n; ++i) {
                double in_span = 0.0;
                for (int c = 0; c < d.p; ++c) in_span += (c + 1) * 0.1 * d.z[i][c];
                v[static_cast<std::size_t>(i)] = trial % 3 == 0 ? (uniform() < 0.05 ? 1.0 : 0.0)
                                                                : in_span * (1.0 + eps * (uniform() - 0.5));
            }
            for (bool first : {true, false})
                for (double tol : {1e-8, 1e-10}) {
                    EXPECT_EQ(deficient(d, v, first, tol), pivotedQrDeficient(d, v, first, tol))
                        << "shape " << shape << " eps " << eps;
                    ++checked;
                }
        }
    }
    EXPECT_EQ(checked, 4 * 60 * 4);
}

// The maximum-statistic p-value by lattice rules (maxnormal_lattice) and the
// way mvn_pvalue shares the range of p between them and the tail method.
// Reference values: tests/reference/max_statistic_reference.py (30-digit
// one-factor integrals; nested sums by the Markov recursion), and for the
// rank-deficient case a one-dimensional mpmath integral worked out below.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "engine/pvalue_combination.h"
#include "numerics/normal_max_lattice.h"
#include "numerics/offset_arrays.h"

namespace {

// 1-based n by n correlation matrix.
struct Matrix {
    int n;
    double** R;
    explicit Matrix(int n_) : n(n_), R(dmatrix(1, n_, 1, n_)) {
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) R[i][j] = i == j ? 1.0 : 0.0;
    }
    ~Matrix() { free_dmatrix(R, 1, n, 1, n); }
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
};

// One factor: correlation l_i l_j.
void one_factor(Matrix& M, const std::vector<double>& l) {
    for (int i = 1; i <= M.n; ++i)
        for (int j = 1; j <= M.n; ++j)
            if (i != j) M.R[i][j] = l[i - 1] * l[j - 1];
}

// The loadings 0.95 down to 0.35 of the reference table's factor shape.
std::vector<double> spread(int d) {
    std::vector<double> l(d);
    for (int k = 0; k < d; ++k) l[k] = std::round(1e4 * (0.95 - 0.6 * k / (d - 1))) / 1e4;
    return l;
}

// Nested sums of d equal steps: correlation sqrt(min(i, j) / max(i, j)).
void nested(Matrix& M) {
    for (int i = 1; i <= M.n; ++i)
        for (int j = 1; j <= M.n; ++j)
            if (i != j) M.R[i][j] = std::sqrt(static_cast<double>(std::min(i, j)) / std::max(i, j));
}

// No hand-over: the lattice rules to their target.
double lattice(const Matrix& M, double t, double* relerr, int* inform) {
    return maxnormal_lattice(M.n, t, M.R, 0.005, 0.0, 0.0, 0, relerr, inform);
}

struct Case {
    double t, want;
};

}  // namespace

TEST(MaxStatisticLattice, WithinOnePercentAndWithinItsOwnErrorEstimate) {
    Matrix factor(20), equi(20), steps(10);
    one_factor(factor, spread(20));
    one_factor(equi, std::vector<double>(20, std::sqrt(0.9)));
    nested(steps);
    struct Set {
        const Matrix* M;
        std::vector<Case> cases;
    };
    const Set sets[] = {
        {&factor, {{1.2, 0.959830351993794}, {1.8, 0.588637545477765}, {2.4, 0.194447023352064}}},
        {&equi, {{1.5, 0.344978647858226}, {2.0, 0.143471541742259}, {2.6, 0.0370730994355498}}},
        {&steps, {{1.8, 0.2614981905748524}, {2.3, 0.09330619602188286}}},
    };
    for (const auto& set : sets) {
        for (const auto& c : set.cases) {
            double relerr = -1;
            int inform = -1;
            const double p = lattice(*set.M, c.t, &relerr, &inform);
            const double rel = std::fabs(p / c.want - 1.0);
            EXPECT_LE(rel, 0.01) << "n=" << set.M->n << " t=" << c.t;
            EXPECT_LE(rel, relerr) << "n=" << set.M->n << " t=" << c.t << ": error estimate not honest";
            EXPECT_LE(relerr, 0.005);
            EXPECT_EQ(inform, 0);
        }
    }
}

TEST(MaxStatisticLattice, LinearFunctionsOfEarlierComponents) {
    // W3 = (W1 + W2) / sqrt(2), W1 and W2 independent: the third variable
    // has no pivot of its own and enters as an indicator.  Reference:
    // 1 - int_{-t}^{t} phi(x) [Phi(min(t, t sqrt2 - x)) - Phi(max(-t, -t sqrt2 - x))] dx.
    Matrix sum(3);
    sum.R[1][3] = sum.R[3][1] = sum.R[2][3] = sum.R[3][2] = std::sqrt(0.5);
    for (const Case& c : {Case{1.5, 0.277553276961815}, Case{2.5, 0.0310756481013876}}) {
        double relerr;
        int inform;
        EXPECT_NEAR(lattice(sum, c.t, &relerr, &inform) / c.want, 1.0, 0.01) << "t=" << c.t;
        EXPECT_EQ(inform, 0);
    }
    // A sign-flipped copy changes nothing: equicorrelated 0.5 in three
    // components, and a fourth that is minus the first.
    Matrix flip(4);
    for (int i = 1; i <= 3; ++i)
        for (int j = 1; j <= 3; ++j)
            if (i != j) flip.R[i][j] = 0.5;
    for (int j = 1; j <= 3; ++j) flip.R[4][j] = flip.R[j][4] = -flip.R[1][j];
    flip.R[4][1] = flip.R[1][4] = -1.0;
    for (const Case& c : {Case{1.5, 0.305878011826002}, Case{2.5, 0.0335829188819404}}) {
        double relerr;
        int inform;
        EXPECT_NEAR(lattice(flip, c.t, &relerr, &inform) / c.want, 1.0, 0.01) << "t=" << c.t;
    }
    // Two components, the second minus the first: no point can leave at the
    // second, so every shift gives 2 Q(t) exactly and the error is 0.
    Matrix pair(2);
    pair.R[1][2] = pair.R[2][1] = -1.0;
    double relerr = -1;
    int inform = -1;
    EXPECT_NEAR(lattice(pair, 2.0, &relerr, &inform), std::erfc(2.0 / std::sqrt(2.0)), 1e-15);
    EXPECT_EQ(relerr, 0.0);
    EXPECT_EQ(inform, 0);
}

TEST(MaxStatisticLattice, HandsOverBelowTheFloorOrWhenTheNextRuleIsTooLarge) {
    Matrix steps(20);
    nested(steps);
    double relerr;
    int inform = -1;
    // p about 0.06: below a floor of 0.1 after the first rule.
    double p = maxnormal_lattice(20, 2.6, steps.R, 0.005, 0.1, 0.5, 1e9, &relerr, &inform);
    EXPECT_EQ(inform, 2);
    EXPECT_NEAR(p / 0.06022480066573491, 1.0, 0.1);
    EXPECT_GT(relerr, 0.005);
    // The same p-value with a floor of 0.05: the 251 points of the first
    // rule are far from the target, and a next rule of at most 100 u / p
    // points (u = 40 Q(2.6) = 0.187, so about 310) will not do while p is
    // below 0.5 ...
    p = maxnormal_lattice(20, 2.6, steps.R, 0.005, 0.05, 0.5, 100.0, &relerr, &inform);
    EXPECT_EQ(inform, 2);
    // ... but will above psure.
    p = maxnormal_lattice(20, 2.6, steps.R, 0.005, 0.05, 0.05, 100.0, &relerr, &inform);
    EXPECT_EQ(inform, 0);
    EXPECT_NEAR(p / 0.06022480066573491, 1.0, 0.01);
}

TEST(MaxStatisticLattice, LargestRuleRunsOutWithItsEstimate) {
    // A target beyond any rule: every rule runs, the estimate stays good,
    // and the flag says the target was not met.
    Matrix equi(3);
    one_factor(equi, std::vector<double>(3, std::sqrt(0.5)));
    double relerr = 0;
    int inform = -1;
    const double p = maxnormal_lattice(3, 1.5, equi.R, 1e-12, 0.0, 0.0, 0, &relerr, &inform);
    EXPECT_EQ(inform, 1);
    EXPECT_GT(relerr, 1e-12);
    EXPECT_NEAR(p / 0.305878011826002, 1.0, 1e-4);
}

TEST(MaxStatisticLattice, SameDigitsOnAnyThreadAndAfterAnyCall) {
    Matrix factor(12), other(5);
    one_factor(factor, spread(12));
    one_factor(other, spread(5));
    double e;
    int i;
    const double want_a = maxnormal_lattice(12, 1.7, factor.R, 0.005, 0.0, 0.0, 0, &e, &i);
    const double want_b = maxnormal_lattice(12, 1.9, factor.R, 0.005, 0.0, 0.0, 0, &e, &i);
    maxnormal_lattice(5, 1.0, other.R, 0.005, 0.0, 0.0, 0, &e, &i);
    EXPECT_EQ(maxnormal_lattice(12, 1.7, factor.R, 0.005, 0.0, 0.0, 0, &e, &i), want_a);
    std::vector<double> got(8);
    std::vector<std::thread> threads;
    for (int k = 0; k < 8; ++k)
        threads.emplace_back([&, k] {
            double relerr;
            int inform;
            got[k] = maxnormal_lattice(12, k % 2 ? 1.9 : 1.7, factor.R, 0.005, 0.0, 0.0, 0, &relerr, &inform);
        });
    for (auto& th : threads) th.join();
    for (int k = 0; k < 8; ++k) EXPECT_EQ(got[k], k % 2 ? want_b : want_a) << "thread " << k;
}

TEST(MaxStatisticLattice, ArgumentsItCannotTake) {
    Matrix M(3);
    double relerr;
    int inform = 0;
    for (double t : {0.0, -1.0, static_cast<double>(NAN), static_cast<double>(INFINITY)}) {
        inform = 0;
        EXPECT_TRUE(std::isnan(maxnormal_lattice(3, t, M.R, 0.005, 0.0, 0.0, 0, &relerr, &inform))) << t;
        EXPECT_EQ(inform, 1);
    }
    for (int n : {0, 21}) {
        inform = 0;
        EXPECT_TRUE(std::isnan(maxnormal_lattice(n, 2.0, M.R, 0.005, 0.0, 0.0, 0, &relerr, &inform))) << n;
        EXPECT_EQ(inform, 1);
    }
    M.R[2][1] = M.R[1][2] = NAN;
    inform = 0;
    EXPECT_TRUE(std::isnan(maxnormal_lattice(3, 2.0, M.R, 0.005, 0.0, 0.0, 0, &relerr, &inform)));
    EXPECT_EQ(inform, 1);
}

// ---- mvn_pvalue: lattice rules, hand-over and tail -----------------------------

TEST(MvnPvalueRanges, EveryRangeOfPWithinOnePercent) {
    // Twenty nested sums: p about 0.45 (lattice rules), 0.12 and 0.06 (the
    // lattice rules hand over to the tail method and the two estimates are
    // combined); twenty equicorrelated 0.99 at p 0.19, where the lattice rules
    // go on since the tail method would need many draws (the union bound is
    // 14 times the p-value).
    Matrix steps(20), factor(20), close(20);
    nested(steps);
    one_factor(factor, spread(20));
    one_factor(close, std::vector<double>(20, std::sqrt(0.99)));
    const struct {
        const Matrix* M;
        double t, want;
    } cases[] = {{&steps, 1.6, 0.45250332677099064},
                 {&steps, 2.3, 0.12336840908718619},
                 {&steps, 2.6, 0.06022480066573491},
                 {&factor, 2.1, 0.361839125959441},
                 {&factor, 2.4, 0.194447023352064},
                 {&close, 1.5, 0.18749504142999}};
    for (const auto& c : cases) {
        int inform = 0;
        const double p = mvn_pvalue(c.M->n, c.t, c.M->R, &inform);
        EXPECT_NEAR(p / c.want, 1.0, 0.01) << "t=" << c.t;
        EXPECT_EQ(inform, 0);
    }
}

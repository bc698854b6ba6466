// The dense symmetric kernels (Gram products, Cholesky factor, triangular
// solve) and the solves with I + U D^-1 U' by its two factorizations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "numerics/gram_cholesky.h"
#include "numerics/identity_plus_low_rank.h"
#include "same_bits.h"

namespace {

using LD = long double;

// x' inv(A) y for a dense A of order n, by Gauss-Jordan elimination with
// partial pivoting in long double.
std::vector<LD> solve(std::vector<LD> A, std::vector<LD> b, int n, int nb) {
    for (int k = 0; k < n; ++k) {
        int piv = k;
        for (int r = k + 1; r < n; ++r)
            if (std::fabs(A[r * n + k]) > std::fabs(A[piv * n + k])) piv = r;
        for (int c = 0; c < n; ++c) std::swap(A[k * n + c], A[piv * n + c]);
        for (int c = 0; c < nb; ++c) std::swap(b[k * nb + c], b[piv * nb + c]);
        for (int r = 0; r < n; ++r) {
            if (r == k) continue;
            const LD f = A[r * n + k] / A[k * n + k];
            for (int c = 0; c < n; ++c) A[r * n + c] -= f * A[k * n + c];
            for (int c = 0; c < nb; ++c) b[r * nb + c] -= f * b[k * nb + c];
        }
    }
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < nb; ++c) b[r * nb + c] /= A[r * n + r];
    return b;
}

struct Problem {
    int r, k;
    std::vector<double> U, d;
};

// U with entries of size about scale_u, D from d_lo to d_hi (log-uniform).
Problem make_problem(int r, int k, unsigned seed, double scale_u, double d_lo, double d_hi) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unif(std::log(d_lo), std::log(d_hi));
    Problem P{r, k, std::vector<double>(static_cast<std::size_t>(r) * k), std::vector<double>(k)};
    for (double& u : P.U) u = scale_u * normal(gen);
    for (double& x : P.d) x = std::exp(unif(gen));
    return P;
}

// B1' K^-1 B2 in long double with K = I + U D^-1 U' formed densely.
std::vector<LD> reference(const Problem& P, const std::vector<double>& B1, int nb1, const std::vector<double>& B2,
                          int nb2) {
    const int r = P.r;
    std::vector<LD> K(static_cast<std::size_t>(r) * r, 0.0L);
    for (int j = 0; j < r; ++j)
        for (int l = 0; l < r; ++l) {
            LD s = j == l ? 1.0L : 0.0L;
            for (int x = 0; x < P.k; ++x) s += static_cast<LD>(P.U[j * P.k + x]) * P.U[l * P.k + x] / P.d[x];
            K[j * r + l] = s;
        }
    const std::vector<LD> X = solve(K, std::vector<LD>(B2.begin(), B2.end()), r, nb2);
    std::vector<LD> out(static_cast<std::size_t>(nb1) * nb2, 0.0L);
    for (int a = 0; a < nb1; ++a)
        for (int b = 0; b < nb2; ++b)
            for (int j = 0; j < r; ++j) out[a * nb2 + b] += static_cast<LD>(B1[j * nb1 + a]) * X[j * nb2 + b];
    return out;
}

std::vector<double> random_block(int r, int nb, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    std::vector<double> B(static_cast<std::size_t>(r) * nb);
    for (double& b : B) b = normal(gen);
    return B;
}

}  // namespace

// Each entry is one running sum in increasing row order, whatever the tile
// (four by eight, four by four, single entries) and the chunk of rows it
// falls in: the plain triple loop gives the same bits.
TEST(GramCholesky, GramUpdateIsOneRunningSumPerEntry) {
  with_each_kernel([] {
    for (auto [r, na, nb] : {std::tuple{300, 13, 21}, std::tuple{7, 4, 8}, std::tuple{129, 1, 3}, std::tuple{0, 5, 5}}) {
        const std::vector<double> A = random_block(r, na, 11), B = random_block(r, nb, 12);
        for (bool subtract : {false, true})
            for (bool upper : {false, true}) {
                if (upper && na != nb) continue;
                std::vector<double> C = random_block(na, nb, 13), want = C;
                gram_update(r, na, nb, A.data(), na, B.data(), nb, C.data(), nb, subtract, upper);
                for (int x = 0; x < na; ++x)
                    for (int y = 0; y < nb; ++y) {
                        double c = want[x * nb + y];
                        if (!upper || x <= y)
                            for (int j = 0; j < r; ++j) c = subtract ? c - A[j * na + x] * B[j * nb + y] : c + A[j * na + x] * B[j * nb + y];
                        EXPECT_TRUE(same_bits(C[x * nb + y], c)) << r << " " << x << "," << y;
                    }
            }
    }
    // Square and upper only with nb not a multiple of the tile width.
    const std::vector<double> A = random_block(50, 19, 14);
    std::vector<double> C(19 * 19, 0.0);
    gram_update(50, 19, 19, A.data(), 19, A.data(), 19, C.data(), 19, false, true);
    for (int x = 0; x < 19; ++x)
        for (int y = 0; y < x; ++y) EXPECT_EQ(C[x * 19 + y], 0.0);  // the lower triangle is left alone
  });
}

// M = R'R for an integer upper triangular R: every step of the factorization
// is exact, so R comes back exactly.  An order above the panel width (32)
// takes the blocked path.
TEST(GramCholesky, CholeskyRecoversAnIntegerFactorExactly) {
    for (int n : {1, 5, 40, 70}) {
        std::mt19937 gen(n);
        std::uniform_int_distribution<int> small(-3, 3), diag(1, 4);
        std::vector<double> R(static_cast<std::size_t>(n) * n, 0.0), M(static_cast<std::size_t>(n) * n, 0.0);
        for (int i = 0; i < n; ++i)
            for (int j = i; j < n; ++j) R[i * n + j] = i == j ? diag(gen) : small(gen);
        for (int i = 0; i < n; ++i)
            for (int j = i; j < n; ++j) {
                double s = 0;
                for (int k = 0; k <= i; ++k) s += R[k * n + i] * R[k * n + j];
                M[i * n + j] = s;
                if (j > i) M[j * n + i] = -1e300;  // never read
            }
        ASSERT_TRUE(cholesky_upper(n, M.data(), n)) << n;
        for (int i = 0; i < n; ++i)
            for (int j = i; j < n; ++j) EXPECT_EQ(M[i * n + j], R[i * n + j]) << n << ": " << i << "," << j;
        for (int i = 1; i < n; ++i) EXPECT_EQ(M[i * n], -1e300);

        // R' H = V with V = R' E for an integer E: H = E exactly.
        std::vector<double> E = {1, -2, 0, 3}, V(static_cast<std::size_t>(n) * 4, 0.0);
        std::vector<double> EE(static_cast<std::size_t>(n) * 4);
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < 4; ++c) EE[i * 4 + c] = E[(i + c) % 4];
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < 4; ++c) {
                double s = 0;
                for (int k = 0; k <= i; ++k) s += R[k * n + i] * EE[k * 4 + c];
                V[i * 4 + c] = s;
            }
        solve_upper_transposed(n, M.data(), n, 4, V.data(), 4);
        for (std::size_t e = 0; e < V.size(); ++e) EXPECT_EQ(V[e], EE[e]);
    }
}

TEST(GramCholesky, CholeskyRefusesAMatrixThatIsNotPositiveDefinite) {
    std::vector<double> indefinite = {1, 2, 2, 1};
    EXPECT_FALSE(cholesky_upper(2, indefinite.data(), 2));
    std::vector<double> singular = {4, 2, 2, 1};
    EXPECT_FALSE(cholesky_upper(2, singular.data(), 2));
    std::vector<double> nan = {std::nan(""), 0, 0, 1};
    EXPECT_FALSE(cholesky_upper(2, nan.data(), 2));
}

// B1' K^-1 B2 against a long-double dense inverse, by both factorizations:
// through the rank (k < r and k > r), the whole matrix, with weights over
// many orders of magnitude (as the point block has: qm^2 near 1e-10 next to
// counts in the hundreds), a single column, and no rows at all.  The single
// column of weight 1e-6 makes K ill-conditioned (one eigenvalue near 3e7):
// Woodbury resolves it, the whole factor only to about cond(K) * 1e-16, so
// that case is checked through the rank only (the program factors K whole
// only when it has more columns than rows).
TEST(IdentityPlusLowRank, QuadraticFormsMatchTheDenseInverseByBothFactorizations) {
    struct Case {
        int r, k;
        double scale_u, d_lo, d_hi;
        bool inner_only = false;
    };
    for (const Case& c : {Case{60, 12, 1.0, 0.5, 2.0}, Case{15, 40, 1.0, 0.5, 2.0}, Case{80, 25, 3e-3, 1e-10, 500.0},
                          Case{30, 1, 1.0, 1e-6, 1e-6, true}, Case{25, 25, 10.0, 1.0, 1.0}, Case{0, 6, 1.0, 1.0, 3.0}}) {
        const Problem P = make_problem(c.r, c.k, 7 + c.r + c.k, c.scale_u, c.d_lo, c.d_hi);
        const std::vector<double> B1 = random_block(c.r, 3, 21), B2 = random_block(c.r, 2, 22);
        const std::vector<LD> want11 = reference(P, B1, 3, B1, 3), want12 = reference(P, B1, 3, B2, 2);
        for (auto form : {IdentityPlusLowRank::Form::kInner, IdentityPlusLowRank::Form::kOuter}) {
            if (c.inner_only && form == IdentityPlusLowRank::Form::kOuter) continue;
            const IdentityPlusLowRank K(c.r, c.k, P.U, P.d.data(), form);
            ASSERT_TRUE(K.ok());
            const auto w1 = K.whiten(B1.data(), 3);
            const auto w2 = K.whiten(B2.data(), 2);
            std::vector<double> q11(9), q12(6);
            K.quadratic(w1, w1, q11.data());
            K.quadratic(w1, w2, q12.data());
            LD scale = 0;
            for (int a = 0; a < 3; ++a) scale = std::fmax(scale, std::fabs(want11[a * 3 + a]));
            if (c.r == 0) scale = 1;
            for (int e = 0; e < 9; ++e)
                EXPECT_NEAR(q11[e], static_cast<double>(want11[e]), 1e-12 * static_cast<double>(scale))
                    << c.r << "x" << c.k << (K.inner() ? " inner" : " outer");
            for (int e = 0; e < 6; ++e)
                EXPECT_NEAR(q12[e], static_cast<double>(want12[e]), 1e-12 * static_cast<double>(scale))
                    << c.r << "x" << c.k << (K.inner() ? " inner" : " outer");
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) EXPECT_TRUE(same_bits(q11[a * 3 + b], q11[b * 3 + a]));
        }
    }
}

TEST(IdentityPlusLowRank, TheCheaperFactorizationIsChosenByTheSmallerDimension) {
    const Problem wide = make_problem(10, 30, 1, 1.0, 1.0, 1.0), tall = make_problem(30, 10, 2, 1.0, 1.0, 1.0);
    EXPECT_FALSE(IdentityPlusLowRank(10, 30, wide.U, wide.d.data()).inner());
    EXPECT_TRUE(IdentityPlusLowRank(30, 10, tall.U, tall.d.data()).inner());
}

// Data that are not numbers give not-a-number forms, never a number.
TEST(IdentityPlusLowRank, AFactorizationThatFailsGivesNotANumber) {
    Problem P = make_problem(20, 5, 3, 1.0, 1.0, 2.0);
    P.U[7] = std::nan("");
    const std::vector<double> B = random_block(20, 2, 4);
    for (auto form : {IdentityPlusLowRank::Form::kInner, IdentityPlusLowRank::Form::kOuter}) {
        const IdentityPlusLowRank K(20, 5, P.U, P.d.data(), form);
        EXPECT_FALSE(K.ok());
        const auto w = K.whiten(B.data(), 2);
        std::vector<double> q(4);
        K.quadratic(w, w, q.data());
        for (double v : q) EXPECT_TRUE(std::isnan(v));
    }
}

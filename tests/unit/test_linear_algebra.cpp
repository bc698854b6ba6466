#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "numerics/linear_algebra.h"
#include "numerics/offset_arrays.h"

namespace {

double** matrix_from(int n, std::initializer_list<double> values) {
    double** m = dmatrix(1, n, 1, n);
    auto it = values.begin();
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) m[i][j] = *it++;
    return m;
}

}  // namespace

TEST(LinearAlgebra, DeterminantExamples) {
    double** swap = matrix_from(2, {0, 1, 1, 0});
    EXPECT_EQ(Determinant(swap, 2), -1.0);
    free_dmatrix(swap, 1, 2, 1, 2);

    double** identity = matrix_from(3, {1, 0, 0, 0, 1, 0, 0, 0, 1});
    EXPECT_EQ(Determinant(identity, 3), 1.0);
    free_dmatrix(identity, 1, 3, 1, 3);

    double** zero_row = matrix_from(2, {1, 2, 0, 0});
    EXPECT_EQ(Determinant(zero_row, 2), 0.0);
    EXPECT_EQ(zero_row[1][1], 1.0);  // left untouched
    free_dmatrix(zero_row, 1, 2, 1, 2);

    double** empty = dmatrix(1, 0, 1, 0);
    EXPECT_EQ(Determinant(empty, 0), 1.0);
    free_dmatrix(empty, 1, 0, 1, 0);

    // det of [[2,1,0],[1,3,1],[0,1,4]] = 2(12-1) - 1(4-0) = 18.
    double** tri = matrix_from(3, {2, 1, 0, 1, 3, 1, 0, 1, 4});
    EXPECT_NEAR(Determinant(tri, 3), 18.0, 1e-12);
    free_dmatrix(tri, 1, 3, 1, 3);
}

TEST(LinearAlgebra, EqualScaledCandidatesPickTheLastRow) {
    double** a = matrix_from(2, {1, 1, 1, 1});
    int indx[3] = {0, 0, 0};
    double d = 0.0;
    ludcmp2(a, 2, indx, &d);
    EXPECT_EQ(indx[1], 2);
    EXPECT_EQ(d, -1.0);
    free_dmatrix(a, 1, 2, 1, 2);
}

TEST(LinearAlgebra, InverseOfOneByOneAndSingularWithoutZeroRow) {
    double** one = matrix_from(1, {4.0});
    invv(one, 1);
    EXPECT_EQ(one[1][1], 0.25);
    free_dmatrix(one, 1, 1, 1, 1);

    double** singular = matrix_from(2, {1, 2, 2, 4});
    invv(singular, 2);
    EXPECT_GT(std::fabs(singular[1][1]), 1e30);
    free_dmatrix(singular, 1, 2, 1, 2);

    double** empty = dmatrix(1, 0, 1, 0);
    invv(empty, 0);
    free_dmatrix(empty, 1, 0, 1, 0);
}

TEST(LinearAlgebra, InverseTimesMatrixIsIdentityAndRowZeroUntouched) {
    std::mt19937 gen(20261207);
    std::uniform_real_distribution<double> unif(-1.0, 1.0);
    for (int n : {2, 3, 7, 20, 50}) {
        double** a = dmatrix(0, n, 0, n);
        double** copy = dmatrix(1, n, 1, n);
        for (int k = 0; k <= n; ++k) a[0][k] = a[k][0] = 777.0;
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) copy[i][j] = a[i][j] = unif(gen) + (i == j ? n : 0.0);
        invv(a, n);
        for (int i = 1; i <= n; ++i) {
            for (int j = 1; j <= n; ++j) {
                double s = 0.0;
                for (int k = 1; k <= n; ++k) s += a[i][k] * copy[k][j];
                EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-10) << "n=" << n;
            }
        }
        for (int k = 0; k <= n; ++k) {
            EXPECT_EQ(a[0][k], 777.0);
            EXPECT_EQ(a[k][0], 777.0);
        }
        free_dmatrix(a, 0, n, 0, n);
        free_dmatrix(copy, 1, n, 1, n);
    }
}

using LinearAlgebraDeathTest = ::testing::Test;

TEST_F(LinearAlgebraDeathTest, AllZeroRowStopsTheInverse) {
    double** zero = matrix_from(1, {0.0});
    EXPECT_EXIT(invv(zero, 1), ::testing::ExitedWithCode(1),
                "Numerical Recipes run-time error\\.\\.\\.\nSigmatrix in ludcmp\n");
    free_dmatrix(zero, 1, 1, 1, 1);
}

// The decomposition and the inverse must give, bit for bit, what the textbook
// column-by-column Crout loops and one forward/backward substitution per unit
// vector give: those loops are written out here as the reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "numerics/linear_algebra.h"
#include "numerics/offset_arrays.h"
#include "numerics/simd_pairs.h"

namespace {

using Matrix = std::vector<std::vector<double>>;  // 1-based, row and column 0 unused

// Crout with implicit pivoting, in its classic form: column by column, every
// sum formed in one loop over the inner index.
bool reference_lu(Matrix& a, int n, std::vector<int>& indx) {
    std::vector<double> vv(n + 1);
    for (int i = 1; i <= n; ++i) {
        double big = 0.0;
        for (int j = 1; j <= n; ++j)
            if (std::fabs(a[i][j]) > big) big = std::fabs(a[i][j]);
        if (big == 0.0) return false;
        vv[i] = 1.0 / big;
    }
    for (int j = 1; j <= n; ++j) {
        for (int i = 1; i < j; ++i) {
            double sum = a[i][j];
            for (int k = 1; k < i; ++k) sum -= a[i][k] * a[k][j];
            a[i][j] = sum;
        }
        double big = 0.0;
        int imax = j;
        for (int i = j; i <= n; ++i) {
            double sum = a[i][j];
            for (int k = 1; k < j; ++k) sum -= a[i][k] * a[k][j];
            a[i][j] = sum;
            if (vv[i] * std::fabs(sum) >= big) {
                big = vv[i] * std::fabs(sum);
                imax = i;
            }
        }
        if (imax != j) {
            std::swap(a[imax], a[j]);
            vv[imax] = vv[j];
        }
        indx[j] = imax;
        if (a[j][j] == 0.0) a[j][j] = 1.0e-40;
        if (j != n)
            for (int i = j + 1; i <= n; ++i) a[i][j] *= 1.0 / a[j][j];
    }
    return true;
}

Matrix reference_inverse(Matrix a, int n) {
    std::vector<int> indx(n + 1);
    EXPECT_TRUE(reference_lu(a, n, indx));
    Matrix inv(n + 1, std::vector<double>(n + 1, 0.0));
    for (int j = 1; j <= n; ++j) {
        std::vector<double> b(n + 1, 0.0);
        b[j] = 1.0;
        int ii = 0;
        for (int i = 1; i <= n; ++i) {
            const int ip = indx[i];
            double sum = b[ip];
            b[ip] = b[i];
            if (ii != 0)
                for (int k = ii; k < i; ++k) sum -= a[i][k] * b[k];
            else if (sum != 0.0)
                ii = i;
            b[i] = sum;
        }
        for (int i = n; i >= 1; --i) {
            double sum = b[i];
            for (int k = i + 1; k <= n; ++k) sum -= a[i][k] * b[k];
            b[i] = sum / a[i][i];
        }
        for (int i = 1; i <= n; ++i) inv[i][j] = b[i];
    }
    return inv;
}

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

double** to_dmatrix(const Matrix& m, int n) {
    double** a = dmatrix(1, n, 1, n);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) a[i][j] = m[i][j];
    return a;
}

void expect_identical_inverse(const Matrix& m, int n, const char* what) {
    const Matrix expected = reference_inverse(m, n);
    double** a = to_dmatrix(m, n);
    invv(a, n);
    int mismatches = 0;
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j)
            if (!same_bits(a[i][j], expected[i][j])) ++mismatches;
    EXPECT_EQ(mismatches, 0) << what << " n=" << n;
    free_dmatrix(a, 1, n, 1, n);
}

// Every test runs with the SSE2 kernels and with the AVX2 ones (skipped on a
// processor without AVX2): both must give the textbook bits.
class LinearAlgebraOrder : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        saved_ = simdQuads();
        setSimdQuads(GetParam());
        if (GetParam() && !simdQuads()) GTEST_SKIP() << "no AVX2 on this processor";
    }
    void TearDown() override { setSimdQuads(saved_); }

private:
    bool saved_ = false;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Kernels, LinearAlgebraOrder, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "AVX2" : "SSE2"; });

TEST_P(LinearAlgebraOrder, DecompositionMatchesClassicCroutBitForBit) {
    std::mt19937 gen(7);
    std::normal_distribution<double> normal;
    for (int n : {1, 2, 3, 31, 32, 33, 64, 65, 97, 150}) {
        Matrix m(n + 1, std::vector<double>(n + 1, 0.0));
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) m[i][j] = normal(gen);
        Matrix ref = m;
        std::vector<int> ref_indx(n + 1);
        ASSERT_TRUE(reference_lu(ref, n, ref_indx));
        double** a = to_dmatrix(m, n);
        int* indx = ivector(1, n);
        double d = 0.0;
        ludcmp2(a, n, indx, &d);
        int mismatches = 0;
        for (int i = 1; i <= n; ++i) {
            EXPECT_EQ(indx[i], ref_indx[i]);
            for (int j = 1; j <= n; ++j)
                if (!same_bits(a[i][j], ref[i][j])) ++mismatches;
        }
        EXPECT_EQ(mismatches, 0) << "n=" << n;
        free_ivector(indx, 1, n);
        free_dmatrix(a, 1, n, 1, n);
    }
}

TEST_P(LinearAlgebraOrder, InverseMatchesUnitVectorSolvesBitForBit) {
    std::mt19937 gen(11);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> small(-2, 2);
    for (int n : {1, 2, 5, 16, 17, 32, 33, 40, 70, 129}) {
        Matrix dense(n + 1, std::vector<double>(n + 1, 0.0));
        Matrix ties(n + 1, std::vector<double>(n + 1, 0.0));
        Matrix banded(n + 1, std::vector<double>(n + 1, 0.0));
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) {
                dense[i][j] = normal(gen);
                // Small integers: many equal scaled pivot candidates and
                // exact zero pivots that become 1e-40.
                ties[i][j] = small(gen);
                banded[i][j] = std::abs(i - j) <= 2 ? normal(gen) : 0.0;
            }
        for (int i = 1; i <= n; ++i)
            if (ties[i][1] == 0.0 && ties[i][n] == 0.0) ties[i][1] = 1.0;  // no all-zero row
        expect_identical_inverse(dense, n, "dense");
        expect_identical_inverse(ties, n, "integer");
        expect_identical_inverse(banded, n, "banded");
    }
    // Rank-deficient without a zero row: a repeated row.
    const int n = 45;
    Matrix rep(n + 1, std::vector<double>(n + 1, 0.0));
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) rep[i][j] = normal(gen);
    rep[30] = rep[3];
    expect_identical_inverse(rep, n, "repeated row");
}

// A few columns of the inverse by one decomposition and one lubksb solve per
// unit vector are, bit for bit, those columns of invv's whole inverse, at an
// order where invv works in many strips and the pivoting moves most rows.
TEST_P(LinearAlgebraOrder, LeadingColumnsFromOneDecompositionMatchTheWholeInverseBitForBit) {
    std::mt19937 gen(5);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> small(-3, 3);
    for (int n : {300, 333}) {
        for (int kind = 0; kind < 2; ++kind) {
            Matrix m(n + 1, std::vector<double>(n + 1, 0.0));
            for (int i = 1; i <= n; ++i)
                for (int j = 1; j <= n; ++j) m[i][j] = kind == 0 ? normal(gen) : small(gen);
            for (int i = 1; i <= n; ++i)
                if (m[i][1] == 0.0) m[i][1] = 1.0;  // no all-zero row
            double** whole = to_dmatrix(m, n);
            invv(whole, n);

            const int k = 5;
            double** lu = to_dmatrix(m, n);
            int* indx = ivector(1, n);
            double* col = dvector(1, n);
            ludcmp(lu, n, indx);
            int mismatches = 0;
            for (int j = 1; j <= k; ++j) {
                for (int i = 1; i <= n; ++i) col[i] = i == j ? 1.0 : 0.0;
                lubksb(lu, n, indx, col);
                for (int i = 1; i <= n; ++i)
                    if (!same_bits(col[i], whole[i][j])) ++mismatches;
            }
            EXPECT_EQ(mismatches, 0) << "n=" << n << (kind == 0 ? " normal" : " integer");
            free_dvector(col, 1, n);
            free_ivector(indx, 1, n);
            free_dmatrix(lu, 1, n, 1, n);
            free_dmatrix(whole, 1, n, 1, n);
        }
    }
}

// The EM is computed with loops rearranged for speed (transposed weights,
// chunks of records, vectors of points); here it is written out as plain
// textbook loops that add every sum in the same order, and the two must agree
// bit for bit.  The information is computed without ever forming its point
// block (a diagonal plus a low-rank matrix, eliminated by a Schur complement);
// here it is formed densely, in full, and inverted by Crout's decomposition,
// and the covariances the program reports must agree with that oracle to
// 1e-12 relative.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "engine/single_burden_mle.h"
#include "engine/tds_em.h"
#include "engine/louis_information.h"
#include "engine/tds_em_detail.h"
#include "numerics/identity_plus_low_rank.h"
#include "numerics/linear_algebra.h"
#include "numerics/offset_arrays.h"
#include "same_bits.h"

namespace {

using Mat = std::vector<std::vector<double>>;

struct Data {
    int n1 = 0, n10 = 0, n = 0;
    std::vector<double> y10;
    std::vector<int> c10;
    Mat w;  // n1 x d
};

struct PlainFit {
    std::vector<double> eta, qm, etaW;
    Mat phi;
    double s = 0;
    int count = 0;
};

// The EM as straightforward loops: in the E-step the support points are the
// outer loop and the records the inner one.
PlainFit plain_em(const Data& D) {
    const int n1 = D.n1, n10 = D.n10, d = static_cast<int>(D.w[0].size());
    PlainFit F;
    F.qm.assign(n1, 1.0 / n1);
    std::vector<double> qm_0 = F.qm;
    F.phi.assign(n10, std::vector<double>(n1, 0.0));
    for (int i = 0; i < n1; ++i) F.phi[i][i] = 1.0;
    int C = 0;
    double mean = 0, var = 0;
    for (int i = 0; i < n10; ++i) C += D.c10[i];
    for (int i = 0; i < n10; ++i) mean += D.c10[i] * D.y10[i];
    mean = mean / C;
    for (int i = 0; i < n10; ++i) var += D.c10[i] * ((D.y10[i] - mean) * (D.y10[i] - mean));
    double s = var / C, s_0 = s;
    F.eta.assign(d, 0.0);
    std::vector<double> eta_0(d, 0.0);
    F.etaW.assign(n1, 0.0);
    std::vector<double> fm(n10 - n1);
    double** A = dmatrix(1, d, 1, d);
    std::vector<double> B(d + 1);
    for (int t = 0; t < 2000; ++t) {
        for (int i = 0; i < n10 - n1; ++i) fm[i] = 0;
        for (int j = 0; j < n1; ++j)
            for (int i = 0; i < n10 - n1; ++i) {
                const double u = F.qm[j] * std::exp(-((D.y10[n1 + i] - F.etaW[j]) * (D.y10[n1 + i] - F.etaW[j])) / (2.0 * s));
                fm[i] += u;
                F.phi[n1 + i][j] = D.c10[n1 + i] * u;
            }
        for (int i = 0; i < n10 - n1; ++i)
            for (int j = 0; j < n1; ++j) F.phi[n1 + i][j] = F.phi[n1 + i][j] / fm[i];
        std::vector<double> a(n1), b(n1);
        for (int j = 0; j < n1; ++j) {
            a[j] = 1.0;
            b[j] = D.y10[j];
            for (int i = 0; i < n10 - n1; ++i) {
                a[j] += F.phi[n1 + i][j];
                b[j] += F.phi[n1 + i][j] * D.y10[n1 + i];
            }
            F.qm[j] = a[j] / D.n;
        }
        for (int r = 1; r <= d; ++r) {
            B[r] = 0;
            for (int c = 1; c <= d; ++c) A[r][c] = 0;
        }
        for (int j = 0; j < n1; ++j)
            for (int r = 0; r < d; ++r) {
                for (int c = 0; c < d; ++c) A[r + 1][c + 1] += a[j] * D.w[j][r] * D.w[j][c];
                B[r + 1] += b[j] * D.w[j][r];
            }
        invv(A, d);
        for (int r = 0; r < d; ++r) {
            F.eta[r] = 0;
            for (int c = 0; c < d; ++c) F.eta[r] += A[r + 1][c + 1] * B[c + 1];
        }
        double rss = 0;
        for (int j = 0; j < n1; ++j) {
            F.etaW[j] = 0;
            for (int k = 0; k < d; ++k) F.etaW[j] += D.w[j][k] * F.eta[k];
            rss += (D.y10[j] - F.etaW[j]) * (D.y10[j] - F.etaW[j]);
            for (int i = 0; i < n10 - n1; ++i)
                rss += F.phi[n1 + i][j] * ((D.y10[n1 + i] - F.etaW[j]) * (D.y10[n1 + i] - F.etaW[j]));
        }
        s = rss / D.n;
        double diff = std::fabs(s_0 - s);
        for (int k = 0; k < d; ++k) diff += std::fabs(eta_0[k] - F.eta[k]);
        for (int j = 0; j < n1; ++j) diff += std::fabs(qm_0[j] - F.qm[j]);
        if (1e-4 > diff) {
            F.count = t + 1;
            break;
        }
        eta_0 = F.eta;
        qm_0 = F.qm;
        if (t == 1999) F.count = 2000;
        s_0 = s;
    }
    F.s = s;
    free_dmatrix(A, 1, d, 1, d);
    return F;
}

// Louis' information, reduced, as dense matrices of order q+1 and q.
Mat plain_reduced_information(const Data& D, const PlainFit& F, const Mat& SZ, int m1, bool full) {
    const int n1 = D.n1, n10 = D.n10, m = static_cast<int>(SZ[0].size()), q = m + n1;
    const double s = F.s, n = D.n;
    Mat Q11(q + 1, std::vector<double>(q + 1, 0.0)), Q12 = Q11, Q13 = Q11;
    double R2 = 0, R4 = 0;
    for (int j = 0; j < n1; ++j) {
        const double e = D.y10[j] - F.etaW[j];
        double r1 = e, r2 = e * e, r3 = e * e * e, r4 = e * e * e * e;
        for (int i = n1; i < n10; ++i) {
            const double x = D.y10[i] - F.etaW[j];
            r1 += F.phi[i][j] * x;
            r2 += F.phi[i][j] * (x * x);
            r3 += F.phi[i][j] * (x * x * x);
            r4 += F.phi[i][j] * (x * x * x * x);
        }
        for (int a = 0; a < m; ++a)
            for (int b = 0; b < m; ++b) {
                Q11[a][b] += F.qm[j] * SZ[j][a] * SZ[j][b];
                Q12[a][b] += r2 * SZ[j][a] * SZ[j][b];
            }
        for (int a = 0; a < m; ++a) {
            if (full) Q11[a][m] -= r1 * SZ[j][a];
            Q12[a][m] += r3 * SZ[j][a];
            Q12[a][m + 1 + j] = Q12[m + 1 + j][a] = r1 * SZ[j][a] / (s * F.qm[j]);
        }
        Q12[m][m + 1 + j] = Q12[m + 1 + j][m] = -n / (2 * s) + r2 / (2 * s * s * F.qm[j]);
        R2 += r2;
        R4 += r4;
    }
    for (int a = 0; a < m; ++a) {
        for (int b = 0; b < m; ++b) {
            Q11[a][b] = -n * Q11[a][b] / s;
            Q12[a][b] = Q12[a][b] / (s * s);
        }
        Q11[a][m] = Q11[a][m] / (s * s);
        Q12[a][m] = full ? 0.5 * Q11[a][m] + Q12[a][m] / (2 * s * s * s) : Q12[a][m] / (2 * s * s * s);
        Q11[m][a] = Q11[a][m];
        Q12[m][a] = Q12[a][m];
    }
    Q12[m][m] = n / (4 * s * s) - R2 / (2 * s * s * s) + R4 / (4 * s * s * s * s);
    Q11[m][m] = -n / (2 * s * s);
    const std::vector<double> eta(F.eta.begin(), F.eta.end());
    for (int i = 0; i < n10; ++i) {
        std::vector<double> l(q + 1);
        double E = 0, Fs = 0;
        for (int a = 0; a < m; ++a) {
            double ai = 0, bi = 0;
            for (int j = 0; j < n1; ++j) {
                ai += F.phi[i][j] * SZ[j][a];
                bi += F.phi[i][j] * F.etaW[j] * SZ[j][a];
            }
            l[a] = (D.y10[i] * ai - bi) / s;
            if (a >= m1) {
                E += eta[a - m1] * ai;
                Fs += eta[a - m1] * bi;
            }
        }
        const double c = D.c10[i];
        l[m] = -c / (2 * s) + (D.y10[i] * D.y10[i] * c - 2 * D.y10[i] * E + Fs) / (2 * s * s);
        for (int j = 0; j < n1; ++j) l[m + 1 + j] = F.phi[i][j] / F.qm[j];
        for (int a = 0; a <= q; ++a)
            for (int b = 0; b <= q; ++b) Q13[a][b] += l[a] * l[b] / c;
    }
    Mat Q1 = Q13;
    for (int a = 0; a <= q; ++a)
        for (int b = 0; b <= q; ++b) Q1[a][b] = Q13[a][b] - Q11[a][b] - Q12[a][b];
    Mat DQ(q, std::vector<double>(q + 1));
    for (int r = 0; r < q; ++r)
        for (int c = 0; c <= q; ++c) DQ[r][c] = r <= m ? Q1[r][c] : Q1[r][c] - Q1[q][c];
    Mat DQD(q, std::vector<double>(q));
    for (int r = 0; r < q; ++r)
        for (int c = 0; c < q; ++c) DQD[r][c] = c <= m ? DQ[r][c] : DQ[r][c] - DQ[r][q];
    return DQD;
}


// |x - y| at most 1e-12 of scale.
::testing::AssertionResult close(double x, double y, double scale) {
    if (std::fabs(x - y) <= 1e-12 * scale) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << x << " vs " << y << " (scale " << scale << ", relative "
                                         << std::fabs(x - y) / scale << ")";
}

// Entries of a covariance compared on the scale of its diagonal.
int count_far(double** got, const Mat& want, int K) {
    int far = 0;
    for (int d = 0; d < K; ++d)
        for (int e = 0; e < K; ++e) {
            const double w = e >= d ? want[d][e] : want[e][d];
            const double scale = std::sqrt(std::fabs(want[d][d] * want[e][e]));
            const ::testing::AssertionResult ok = close(got[d][e], w, scale);
            if (!ok) {
                ADD_FAILURE() << "entry " << d << "," << e << ": " << ok.message();
                ++far;
            }
        }
    return far;
}

Data make_data(int n1, int n0, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> count(1, 4);
    Data D;
    D.n1 = n1;
    for (int j = 0; j < n1; ++j) {
        // Subject 0 lies far out: its weights from every non-sequenced
        // record underflow to exact zeros.
        const double x = j == 0 ? 200.0 : normal(gen);
        D.w.push_back({1.0, x});
        D.y10.push_back(0.5 * x + normal(gen));
        D.c10.push_back(1);
    }
    for (int i = 0; i < n0; ++i) {
        D.y10.push_back(normal(gen) * 1.3);
        D.c10.push_back(i % 3 == 0 ? 1 : count(gen));
    }
    D.y10.back() = 9.0;
    D.n10 = static_cast<int>(D.y10.size());
    for (int c : D.c10) D.n += c;
    return D;
}

double** dm(const Mat& rows) {
    double** m = dmatrix(0, rows.size() - 1, 0, rows[0].size() - 1);
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::size_t j = 0; j < rows[0].size(); ++j) m[i][j] = rows[i][j];
    return m;
}
void free_dm(double** m, const Mat& rows) { free_dmatrix(m, 0, rows.size() - 1, 0, rows[0].size() - 1); }

// The inverse (1-based, order nF) of the nuisance block K..K+nF-1 of DQD.
double** nuisance_block_inverse(const Mat& DQD, int K, int nF) {
    double** inv = dmatrix(1, nF, 1, nF);
    for (int f = 0; f < nF; ++f)
        for (int g = 0; g < nF; ++g) inv[f + 1][g + 1] = DQD[K + f][K + g];
    invv(inv, nF);
    return inv;
}

// D_TT - D_TF inv D_FT by plain loops, for d <= e < K (order q).
Mat plain_profiled_covariance(const Mat& DQD, double** inv, int K, int q) {
    Mat cov(K, std::vector<double>(K, 0.0));
    for (int d = 0; d < K; ++d)
        for (int e = d; e < K; ++e) {
            double sum = 0;
            for (int f = K; f < q; ++f)
                for (int g = K; g < q; ++g) sum += DQD[d][f] * inv[f - K + 1][g - K + 1] * DQD[e][g];
            cov[d][e] = DQD[d][e] - sum;
        }
    return cov;
}

// getUCOV_prim on the K tested columns of SZ (the covariates behind them) at
// the fit P with the record weights phi: the efficient scores and covariance,
// and how many covariance entries lie away from the profiled dense
// information's.
struct Efficient {
    std::vector<double> U;
    Mat cov;
    int far = 0;
};
Efficient efficient_against_dense(const Data& D, const PlainFit& P, double** phi, const Mat& SZ, int K) {
    const int n1 = static_cast<int>(SZ.size());
    const int m = K + 2, q = m + n1, nF = q - K;
    const Mat DQD = plain_reduced_information(D, P, SZ, K, true);
    double** inv = nuisance_block_inverse(DQD, K, nF);
    double** sz = dm(SZ);
    double** cov = dmatrix(0, K - 1, 0, K - 1);
    Efficient e;
    e.U.assign(K, 0.0);
    std::vector<double> eta = P.eta, qm = P.qm, etaW = P.etaW, y = D.y10;
    std::vector<int> c = D.c10;
    getUCOV_prim(D.n, D.n10, n1, m, K, P.s, phi, eta.data(), etaW.data(), qm.data(), y.data(), c.data(), sz,
                 e.U.data(), cov);
    e.far = count_far(cov, plain_profiled_covariance(DQD, inv, K, q), K);
    e.cov.assign(K, std::vector<double>(K));
    for (int a = 0; a < K; ++a)
        for (int b = 0; b < K; ++b) e.cov[a][b] = cov[a][b];
    free_dmatrix(cov, 0, K - 1, 0, K - 1);
    free_dm(sz, SZ);
    free_dmatrix(inv, 1, nF, 1, nF);
    return e;
}

}  // namespace

// The EM against the plain loops, bit for bit, with both kernels; then the
// efficient covariance of K tested columns against the dense information.

TEST(TdsEmOrder, FitMatchesThePlainLoopsBitForBitAndTheCovarianceTheDenseInformation) {
  with_each_kernel([] {
    // n0 below, near and above n1: the point block is factored through its
    // rank (Woodbury) in the first cases and as a whole in the last two.
    for (auto [n1, n0, K] : {std::tuple{8, 4, 1}, std::tuple{33, 9, 2}, std::tuple{40, 30, 3}, std::tuple{47, 14, 6},
                             std::tuple{90, 25, 12}, std::tuple{61, 23, 21}, std::tuple{20, 19, 2},
                             std::tuple{12, 30, 3}, std::tuple{15, 1, 2}}) {
        const Data D = make_data(n1, n0, 100 + n1);
        const PlainFit P = plain_em(D);

        double** W = dm(D.w);
        double** phi = dmatrix(0, D.n10 - 1, 0, n1 - 1);
        std::vector<double> eta(2), qm(n1), etaW(n1), y = D.y10;
        std::vector<int> c = D.c10;
        double s = 0;
        int count = 0;
        EM_quan(D.n, D.n10, n1, 2, c.data(), y.data(), W, eta.data(), &s, qm.data(), etaW.data(), phi, &count);
        ASSERT_EQ(count, P.count);
        EXPECT_TRUE(same_bits(s, P.s));
        for (int k = 0; k < 2; ++k) EXPECT_TRUE(same_bits(eta[k], P.eta[k]));
        int bad = 0;
        for (int j = 0; j < n1; ++j) {
            bad += !same_bits(qm[j], P.qm[j]) + !same_bits(etaW[j], P.etaW[j]);
            for (int i = 0; i < D.n10; ++i) bad += !same_bits(phi[i][j], P.phi[i][j]);
        }
        EXPECT_EQ(bad, 0) << "n1=" << n1;

        // K tested columns.
        Mat SZ(n1);
        for (int j = 0; j < n1; ++j) {
            for (int k = 0; k < K; ++k) SZ[j].push_back(((j + 3 * k) % 7 == 0) ? 1.0 : ((j * k) % 11 == 1 ? 2.0 : 0.0));
            SZ[j].push_back(D.w[j][0]);
            SZ[j].push_back(D.w[j][1]);
        }
        const Efficient eff = efficient_against_dense(D, P, phi, SZ, K);
        EXPECT_EQ(eff.far, 0) << "n1=" << n1 << " n0=" << n0;

        // The efficient scores are the summed record scores, bit for bit.
        for (int d = 0; d < K; ++d) {
            double u = 0;
            for (int i = 0; i < D.n10; ++i) {
                double ai = 0, bi = 0;
                for (int j = 0; j < n1; ++j) {
                    if (P.phi[i][j] == 0.0) continue;
                    ai += P.phi[i][j] * SZ[j][d];
                    bi += P.phi[i][j] * P.etaW[j] * SZ[j][d];
                }
                u += (D.y10[i] * ai - bi) / P.s;
            }
            EXPECT_TRUE(same_bits(eff.U[d], u)) << d;
        }

        // The primary score test: T1_V is the one-column case.
        if (K == 1) {
            std::vector<double> g(n1);
            for (int j = 0; j < n1; ++j) g[j] = SZ[j][0];
            double T1_U = 0, T1_V = 0, T1 = 0;
            int conv = 0;
            scoreTest_MLE_Prim(D.n, D.n10, n1, 2, c.data(), y.data(), g.data(), W, &T1_U, &T1_V, &T1, &conv);
            EXPECT_TRUE(same_bits(T1_V, eff.cov[0][0]));
            double sum = 0;
            for (int i = 0; i < D.n10; ++i)
                for (int j = 0; j < n1; ++j) sum += P.phi[i][j] * (D.y10[i] - P.etaW[j]) * g[j];
            EXPECT_TRUE(same_bits(T1_U, sum / P.s));
        }
        free_dmatrix(phi, 0, D.n10 - 1, 0, n1 - 1);
        free_dm(W, D.w);
    }
  });
}

namespace {

// The full fit on (g, the covariates of make_data(n1, n0, seed)) against the
// plain EM (bit for bit) and invv's whole inverse of the densely built
// information (1e-12 relative).
void expect_full_fit_matches_dense_inverse(int n1, int n0, unsigned seed, const std::vector<double>& g) {
    const int p = 2;
    const Data base = make_data(n1, n0, seed);
    Data D = base;
    for (int j = 0; j < n1; ++j) D.w[j] = {g[j], base.w[j][0], base.w[j][1]};
    const PlainFit P = plain_em(D);
    const Mat DQD = plain_reduced_information(D, P, D.w, 0, false);
    const int q = p + 1 + n1;
    double** inv = dmatrix(1, q, 1, q);
    for (int r = 0; r < q; ++r)
        for (int c = 0; c < q; ++c) inv[r + 1][c + 1] = DQD[r][c];
    invv(inv, q);

    double** z = dm(base.w);
    std::vector<double> est(p + 2), y = D.y10, gg = g;
    std::vector<int> c = D.c10;
    double** cov = dmatrix(0, p + 1, 0, p + 1);
    int count = 0;
    EM_quan2_time(D.n, D.n10, n1, p, c.data(), y.data(), gg.data(), z, est.data(), cov, &count);
    EXPECT_EQ(count, P.count);
    for (int k = 0; k <= p; ++k) EXPECT_TRUE(same_bits(est[k], P.eta[k]));
    EXPECT_TRUE(same_bits(est[p + 1], P.s));
    Mat want(p + 2, std::vector<double>(p + 2));
    for (int a = 0; a <= p + 1; ++a)
        for (int b = 0; b <= p + 1; ++b) want[a][b] = inv[a + 1][b + 1];
    EXPECT_EQ(count_far(cov, want, p + 2), 0) << "n1=" << n1 << " n0=" << n0;
    EXPECT_GT(cov[0][0], 0.0);
    free_dmatrix(cov, 0, p + 1, 0, p + 1);
    free_dm(z, base.w);
    free_dmatrix(inv, 1, q, 1, q);
}

std::vector<double> burden(int n1, int a, int b) {
    std::vector<double> g(n1);
    for (int j = 0; j < n1; ++j) g[j] = (j % a == 0) ? 1.0 : (j % b == 0 ? 2.0 : 0.0);
    return g;
}

}  // namespace

TEST(TdsEmOrder, FullFitMatchesTheDenseInverse) {
    with_each_kernel([] {
        expect_full_fit_matches_dense_inverse(50, 20, 7, burden(50, 6, 1000));
        expect_full_fit_matches_dense_inverse(30, 45, 8, burden(30, 4, 7));  // more records than points
        expect_full_fit_matches_dense_inverse(40, 0, 9, burden(40, 5, 9));   // sequenced subjects only
    });
}

TEST(TdsEmOrder, FullFitOfSeveralHundredSubjectsMatchesTheDenseInverse) {
    expect_full_fit_matches_dense_inverse(300, 40, 19, burden(300, 7, 11));
}

// Records whose membership weights reach far below their largest (thirty
// weights near 1e-158 next to weights near 1, so that products of two of
// their entries are subnormal) and records of count 1 to 4.
TEST(TdsEmOrder, InformationOfRecordsWithTinyWeightsMatchesTheDenseInformation) {
    const int n1 = 37, n0 = 19, K = 3;
    const Data D = make_data(n1, n0, 4242);
    PlainFit P = plain_em(D);
    for (int i : {n1 + 1, n1 + 2, n1 + 4, n1 + 5})
        for (int j = 3; j < 33; ++j) P.phi[i][j] = 1e-158 * (1.0 + 0.37 * j);
    double** phi = dm(P.phi);
    Mat SZ(n1);
    for (int j = 0; j < n1; ++j) {
        for (int k = 0; k < K; ++k) SZ[j].push_back(((j + 2 * k) % 5 == 0) ? 1.0 : 0.0);
        SZ[j].push_back(D.w[j][0]);
        SZ[j].push_back(D.w[j][1]);
    }
    EXPECT_EQ(efficient_against_dense(D, P, phi, SZ, K).far, 0);
    free_dm(phi, P.phi);
}

namespace {

// The small block (coefficients and sigma11) of DQD with the points profiled
// out, from the dense matrix: S = A - C P^-1 C', P^-1 C' by Gauss-Jordan
// elimination in long double.
Mat dense_points_profiled_out(const Mat& DQD, int m) {
    using LD = long double;
    const int q = static_cast<int>(DQD.size()), k = m + 1, r = q - k;
    std::vector<LD> A(static_cast<std::size_t>(r) * r), X(static_cast<std::size_t>(r) * k);
    for (int a = 0; a < r; ++a) {
        for (int b = 0; b < r; ++b) A[a * r + b] = DQD[k + a][k + b];
        for (int b = 0; b < k; ++b) X[a * k + b] = DQD[k + a][b];
    }
    for (int c = 0; c < r; ++c) {
        int piv = c;
        for (int a = c + 1; a < r; ++a)
            if (std::fabs(A[a * r + c]) > std::fabs(A[piv * r + c])) piv = a;
        for (int b = 0; b < r; ++b) std::swap(A[c * r + b], A[piv * r + b]);
        for (int b = 0; b < k; ++b) std::swap(X[c * k + b], X[piv * k + b]);
        for (int a = 0; a < r; ++a) {
            if (a == c) continue;
            const LD f = A[a * r + c] / A[c * r + c];
            for (int b = 0; b < r; ++b) A[a * r + b] -= f * A[c * r + b];
            for (int b = 0; b < k; ++b) X[a * k + b] -= f * X[c * k + b];
        }
    }
    Mat S(k, std::vector<double>(k));
    for (int a = 0; a < k; ++a)
        for (int b = 0; b < k; ++b) {
            LD s = DQD[a][b];
            for (int j = 0; j < r; ++j) s -= static_cast<LD>(DQD[a][k + j]) * X[j * k + b] / A[j * r + j];
            S[a][b] = static_cast<double>(s);
        }
    return S;
}

}  // namespace

// The points profiled out of the information through the low-rank structure
// of their block, by Woodbury and by the whole factor, against the dense
// Schur complement: a single point, one non-sequenced record, records about
// as many as points (either side), tied values (identical records and
// identical points) and weights that underflow to zero (make_data's far
// subject 0).
TEST(TdsEmOrder, PointsProfiledOutMatchTheDenseSchurComplementByBothFactorizations) {
    struct Case {
        int n1, n0;
        bool ties;
    };
    for (const Case& c : {Case{1, 3, false}, Case{10, 1, false}, Case{25, 23, false}, Case{25, 26, false},
                          Case{30, 12, true}}) {
        Data D = make_data(c.n1, c.n0, 500 + c.n1 + c.n0);
        if (c.ties) {
            // Two pairs of identical non-sequenced values, and two sequenced
            // subjects identical in value and design.
            D.y10[c.n1 + 1] = D.y10[c.n1 + 2];
            D.y10[c.n1 + 4] = D.y10[c.n1 + 5];
            D.y10[3] = D.y10[2];
            D.w[3] = D.w[2];
        }
        const int K = 2;
        const int p = c.n1 == 1 ? 1 : 2;  // a single point carries the intercept only
        for (auto& row : D.w) row.resize(p);
        const PlainFit P = plain_em(D);
        Mat SZ(c.n1);
        for (int j = 0; j < c.n1; ++j) {
            SZ[j] = {(j % 3 == 0) ? 1.0 : 0.0, (j % 4 == 1) ? 2.0 : 0.5};
            SZ[j].insert(SZ[j].end(), D.w[j].begin(), D.w[j].end());
        }
        const int m = K + p;
        const Mat S_dense = dense_points_profiled_out(plain_reduced_information(D, P, SZ, K, true), m);

        double** sz = dm(SZ);
        std::vector<double> post(static_cast<std::size_t>(c.n1) * c.n0);
        for (int i = 0; i < c.n0; ++i)
            for (int j = 0; j < c.n1; ++j) post[j * c.n0 + i] = P.phi[c.n1 + i][j];
        const tds_detail::RecordsView rec{D.n, D.n10, c.n1, D.c10.data(), D.y10.data()};
        const tds_detail::FitView fit{P.s, P.qm.data(), P.etaW.data(), post.data(), P.eta.data()};
        for (auto form : {IdentityPlusLowRank::Form::kInner, IdentityPlusLowRank::Form::kOuter}) {
            const tds_detail::FitInformation info(rec, fit, true, form);
            ASSERT_TRUE(info.factored());
            const auto T = info.block(sz, 0, K, false);
            const auto N = info.block(sz, K, p, true);
            std::vector<double> TT(K * K), TN(K * (p + 1)), NN((p + 1) * (p + 1));
            info.schur(T, T, TT.data());
            info.schur(T, N, TN.data());
            info.schur(N, N, NN.data());
            auto want = [&](int a, int b) { return S_dense[a][b]; };
            double scale = 0;
            for (int a = 0; a <= m; ++a) scale = std::fmax(scale, std::fabs(S_dense[a][a]));
            SCOPED_TRACE(::testing::Message() << "n1=" << c.n1 << " n0=" << c.n0
                                              << (form == IdentityPlusLowRank::Form::kInner ? " Woodbury" : " whole"));
            for (int a = 0; a < K; ++a) {
                for (int b = 0; b < K; ++b) EXPECT_TRUE(close(TT[a * K + b], want(a, b), scale));
                for (int b = 0; b <= p; ++b) EXPECT_TRUE(close(TN[a * (p + 1) + b], want(a, K + b), scale));
            }
            for (int a = 0; a <= p; ++a)
                for (int b = 0; b <= p; ++b) EXPECT_TRUE(close(NN[a * (p + 1) + b], want(K + a, K + b), scale));
        }
        free_dm(sz, SZ);
    }
}

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/library_extras.h"
#include "engine/single_burden_mle.h"
#include "engine/tds_em.h"
#include "engine/secondary_fits.h"
#include "engine/tds_em_detail.h"
#include "numerics/linear_algebra.h"
#include "numerics/offset_arrays.h"
#include "tds_test_model.h"

using namespace tds_test;
using Rows = std::vector<std::vector<double>>;

namespace {

struct Primary {
    double U = 0, V = 0, T = 0;
    int count = 0;
};

Primary primary(const Pooled& data, const std::vector<double>& g, const Rows& z) {
    Primary r;
    double** Z = to_dmatrix(z);
    std::vector<int> c = data.c10;
    std::vector<double> y = data.y10, gg = g;
    scoreTest_MLE_Prim(data.n(), data.n10(), data.n1, static_cast<int>(z[0].size()), c.data(), y.data(), gg.data(),
                       Z, &r.U, &r.V, &r.T, &r.count);
    free_rows(Z, z);
    return r;
}

struct Secondary {
    double U = 0, V = 0, T = 0, beta = 0, se = 0;
    int count = 0;
};

Secondary secondary(const Pooled& data, const std::vector<double>& x, const Rows& z1, int n2,
                    const std::vector<double>& y2, const Rows& z2) {
    Secondary r;
    double** Z1 = to_dmatrix(z1);
    double** Z2 = to_dmatrix(z2);
    std::vector<int> c = data.c10;
    std::vector<double> y = data.y10, x1 = x, x2 = x, yy2 = y2;
    MLE_Sec_v2(data.n(), data.n10(), data.n1, n2, static_cast<int>(z1[0].size()), static_cast<int>(z2[0].size()),
               c.data(), y.data(), x1.data(), Z1, yy2.data(), x2.data(), Z2, &r.U, &r.V, &r.T, &r.count, &r.beta,
               &r.se);
    free_rows(Z2, z2);
    free_rows(Z1, z1);
    return r;
}

// Primary fit on (x, z1) as the secondary test runs it.
void primary_fit(const Pooled& data, const std::vector<double>& x, const Rows& z1, std::vector<double>* est, Mat* P,
                 int* count) {
    const int p1 = static_cast<int>(z1[0].size());
    double** Z1 = to_dmatrix(z1);
    double** cov = dmatrix(0, p1 + 1, 0, p1 + 1);
    std::vector<int> c = data.c10;
    std::vector<double> y = data.y10, xx = x;
    est->assign(p1 + 2, 0.0);
    EM_quan2_time(data.n(), data.n10(), data.n1, p1, c.data(), y.data(), xx.data(), Z1, est->data(), cov, count);
    P->assign(p1 + 1, Vec(p1 + 1));
    for (int a = 0; a <= p1; ++a)
        for (int b = 0; b <= p1; ++b) (*P)[a][b] = cov[a][b];
    free_dmatrix(cov, 0, p1 + 1, 0, p1 + 1);
    free_rows(Z1, z1);
}

std::vector<double> burden() {
    std::vector<double> g;
    for (const auto& row : small_burdens()) g.push_back(row[0]);
    return g;
}

// Primary residuals of the first n2 subjects for primary coefficients b.
Vec primary_residuals(const Pooled& data, const std::vector<double>& x, const Rows& z1, const Vec& b, int n2) {
    Vec yw(n2);
    for (int i = 0; i < n2; ++i) {
        LD r = data.y10[i] - b[0] * x[i];
        for (std::size_t k = 0; k < z1[0].size(); ++k) r -= b[k + 1] * z1[i][k];
        yw[i] = r;
    }
    return yw;
}

Mat secondary_design(const Vec& yw, const std::vector<double>& x, const Rows& z2, bool with_burden) {
    Mat W;
    for (std::size_t i = 0; i < yw.size(); ++i) {
        Vec row = {yw[i]};
        if (with_burden) row.push_back(x[i]);
        for (double v : z2[i]) row.push_back(v);
        W.push_back(row);
    }
    return W;
}

}  // namespace

TEST(ScoreTestMlePrim, WithoutNonSequencedRecordsMatchesTheClosedForm) {
    Pooled data;
    data.n1 = 8;
    data.y10 = {0.31, 1.12, -0.45, 2.05, 0.87, -1.30, 1.61, 0.12};
    data.c10.assign(8, 1);
    const Rows z = small_covariates();
    const std::vector<double> g = burden();
    const Primary r = primary(data, g, z);

    // Null residuals r and burden residuals by least squares on z.
    Mat Z;
    Vec y(data.y10.begin(), data.y10.end()), gv(g.begin(), g.end());
    for (const auto& row : z) Z.push_back(Vec(row.begin(), row.end()));
    const LeastSquares fy = least_squares(Z, y), fg = least_squares(Z, gv);
    const LD s = fy.rss_over_n;
    LD gr = 0.0L, gres = 0.0L;
    for (int j = 0; j < 8; ++j) {
        gr += gv[j] * fy.resid[j];
        gres += fg.resid[j] * fg.resid[j];
    }
    const LD U = gr / s;
    const LD V = gres / s - 2 * gr * gr / (8 * s * s);
    EXPECT_NEAR(r.U, static_cast<double>(U), 1e-11);
    EXPECT_NEAR(r.V, static_cast<double>(V), 1e-10);
    EXPECT_NEAR(r.T, static_cast<double>(U / std::sqrt(V)), 1e-10);
    EXPECT_EQ(r.count, 2);
}

TEST(ScoreTestMlePrim, ScoreIsTheDerivativeOfTheObservedLikelihood) {
    const Pooled data = small_pool();
    const Rows z = small_covariates();
    const std::vector<double> g = burden();
    const Primary r = primary(data, g, z);
    EXPECT_LT(r.count, 2000);

    // Derivative in the burden coefficient at a tightly refitted null.
    double** Z = to_dmatrix(z);
    double** phi = dmatrix(0, data.n10() - 1, 0, data.n1 - 1);
    std::vector<double> eta(2), qm(data.n1), etaW(data.n1), y = data.y10;
    std::vector<int> c = data.c10;
    double s = 0;
    int count = 0;
    tds_detail::em_fit(data.n(), data.n10(), data.n1, 2, c.data(), y.data(), Z, eta.data(), &s, qm.data(),
                       etaW.data(), phi, &count, 1e-13, 200000);
    Rows tested(data.n1);
    for (int j = 0; j < data.n1; ++j) tested[j] = {g[j]};
    const NumericalScore num = numerical_score(data, tested, z, eta, s, qm);
    const Vec& grad = num.grad;
    const LD V = num.eff[0][0];
    // The public fit stops at tolerance 1e-4.
    EXPECT_NEAR(r.U, static_cast<double>(grad[0]), 1e-3 * std::sqrt(static_cast<double>(V)));
    EXPECT_NEAR(r.V, static_cast<double>(V), 1e-3 * static_cast<double>(V));
    EXPECT_GT(r.T, 0.0);  // carriers have the larger trait values
    free_dmatrix(phi, 0, data.n10() - 1, 0, data.n1 - 1);
    free_rows(Z, z);
}

TEST(ScoreTestMlePrim, SignFollowsTheScoreAndZeroBurdenIsUndefined) {
    const Pooled data = small_pool();
    const Rows z = small_covariates();
    std::vector<double> g = burden();
    const Primary plus = primary(data, g, z);
    for (double& v : g) v = -v;
    const Primary minus = primary(data, g, z);
    EXPECT_EQ(minus.U, -plus.U);
    EXPECT_EQ(minus.V, plus.V);
    EXPECT_EQ(minus.T, -plus.T);
    EXPECT_GT(plus.V, 0.0);
    EXPECT_EQ(plus.T > 0, plus.U > 0);

    const Primary zero = primary(data, std::vector<double>(data.n1, 0.0), z);
    EXPECT_EQ(zero.U, 0.0);
    EXPECT_EQ(zero.V, 0.0);
    EXPECT_TRUE(std::isnan(zero.T));
}

TEST(ScoreTestMlePrim, UncalledVariantReturnsTheSameNumbers) {
    const Pooled data = small_pool();
    const Rows z = small_covariates();
    const std::vector<double> g = burden();
    const Primary r = primary(data, g, z);
    double** Z = to_dmatrix(z);
    std::vector<int> c = data.c10;
    std::vector<double> y = data.y10, gg = g, est = {7.0, 7.0, 7.0, 7.0};
    double** cov = dmatrix(0, 3, 0, 3);
    cov[0][0] = 9.0;
    double num = 0, den = 0, T = 0;
    int count = 0;
    EM_quan2_score_Q1(data.n(), data.n10(), data.n1, 2, c.data(), y.data(), gg.data(), Z, est.data(), cov, &num, &den,
                      &T, &count);
    EXPECT_EQ(num, r.U);
    EXPECT_EQ(den, std::sqrt(r.V));
    EXPECT_EQ(T, num / den);
    EXPECT_EQ(count, r.count);
    EXPECT_EQ(est[0], 7.0);
    EXPECT_EQ(cov[0][0], 9.0);
    free_dmatrix(cov, 0, 3, 0, 3);
    free_rows(Z, z);
}

TEST(MleSecV2, JacobianIsTheDerivativeOfTheSecondaryEstimates) {
    // Secondary least squares of y2 on (yw, x2, z2); lowering yw by eps*input
    // moves the estimates by eps*output.
    const int n2 = 7;
    const Vec yw = {0.4, -0.3, 1.2, 0.8, -1.1, 0.05, 0.6};
    const std::vector<double> x2 = {0, 1, 0, 2, 1, 0, 1};
    const Rows z2 = {{1, -1.2}, {1, 0.3}, {1, -0.8}, {1, 1.5}, {1, 0.1}, {1, -1.6}, {1, 0.9}};
    const std::vector<double> y2 = {0.9, 0.1, 1.8, 1.7, -0.9, -0.6, 1.4};
    const std::vector<double> input = {1.0, -1.2, 0.3, 2.0, 0.0, 0.7, -0.4, 99.0};  // last entry beyond n2
    const Vec y2v(y2.begin(), y2.end());
    const LeastSquares fit = least_squares(secondary_design(yw, x2, z2, true), y2v);

    double** inv_A = dmatrix(1, 4, 1, 4);
    for (int a = 0; a < 4; ++a)
        for (int b = 0; b < 4; ++b) inv_A[a + 1][b + 1] = static_cast<double>(fit.inv[a][b]);
    std::vector<double> est(4), ywd(n2), out(4);
    for (int a = 0; a < 4; ++a) est[a] = static_cast<double>(fit.est[a]);
    for (int i = 0; i < n2; ++i) ywd[i] = static_cast<double>(yw[i]);
    double** Z2 = to_dmatrix(z2);
    std::vector<double> x2c = x2, y2c = y2, in = input;
    MLE_Sec_v2_Jacobian(n2, 2, inv_A, est.data(), ywd.data(), y2c.data(), x2c.data(), Z2, in.data(), out.data());

    const LD h = 1e-6L;
    Vec up = yw, down = yw;
    for (int i = 0; i < n2; ++i) {
        up[i] -= h * input[i];
        down[i] += h * input[i];
    }
    const LeastSquares fu = least_squares(secondary_design(up, x2, z2, true), y2v);
    const LeastSquares fd = least_squares(secondary_design(down, x2, z2, true), y2v);
    for (int a = 0; a < 4; ++a) {
        const double numeric = static_cast<double>((fu.est[a] - fd.est[a]) / (2 * h));
        EXPECT_NEAR(out[a], numeric, 1e-7 * (1 + std::fabs(numeric))) << a;
    }
    free_rows(Z2, z2);
    free_dmatrix(inv_A, 1, 4, 1, 4);
}

TEST(MleSecV2, UnrelatedSecondaryTraitGetsThePlainLeastSquaresVariance) {
    const Pooled data = small_pool();
    const Rows z1 = small_covariates();
    const std::vector<double> x = burden();
    const int n2 = 6;
    const Rows z2(z1.begin(), z1.begin() + n2);
    std::vector<double> est;
    Mat P;
    int count = 0;
    primary_fit(data, x, z1, &est, &P, &count);
    const Vec yw = primary_residuals(data, x, z1, Vec(est.begin(), est.begin() + 3), n2);

    // y2 = 1.5 + 0.8 z + u, u orthogonal to yw, x2 and z2: the coefficients
    // of yw are zero in both secondary fits and no correction applies.
    const Mat W = secondary_design(yw, x, z2, true);
    const Vec raw = {0.3, -0.7, 0.2, 0.9, -0.4, 0.5};
    const LeastSquares proj = least_squares(W, raw);
    std::vector<double> y2(n2);
    for (int i = 0; i < n2; ++i) y2[i] = static_cast<double>(1.5 + 0.8 * z2[i][1] + proj.resid[i]);
    const Secondary r = secondary(data, x, z1, n2, y2, z2);
    EXPECT_EQ(r.count, count);

    const Vec y2v(y2.begin(), y2.end());
    const LeastSquares full = least_squares(W, y2v);
    const LeastSquares null = least_squares(secondary_design(yw, x, z2, false), y2v);
    LD xres = 0.0L, xr = 0.0L;  // x2'(I - H0)x2 and x2'r0
    const LeastSquares xfit = least_squares(secondary_design(yw, x, z2, false), Vec(x.begin(), x.begin() + n2));
    for (int i = 0; i < n2; ++i) {
        xres += xfit.resid[i] * xfit.resid[i];
        xr += x[i] * null.resid[i];
    }
    EXPECT_NEAR(r.beta, 0.0, 1e-12);
    EXPECT_NEAR(r.se, static_cast<double>(std::sqrt(full.rss_over_n * full.inv[1][1])), 1e-9);
    EXPECT_NEAR(r.V, static_cast<double>(xres / null.rss_over_n), 1e-8 * r.V);
    EXPECT_NEAR(r.U, static_cast<double>(xr / null.rss_over_n), 1e-9);
}

TEST(MleSecV2, DeltaMethodCorrectionWorkedIndependently) {
    const Pooled data = small_pool();
    const Rows z1 = small_covariates();
    const std::vector<double> x = burden();
    const int n2 = 7;
    // The secondary covariate differs from the primary one, so the primary
    // coefficients move every secondary estimate.
    Rows z2;
    for (int i = 0; i < n2; ++i) z2.push_back({1.0, 0.1 * i * i - 1.0});
    std::vector<double> est;
    Mat P;
    int count = 0;
    primary_fit(data, x, z1, &est, &P, &count);
    const Vec b(est.begin(), est.begin() + 3);
    const Vec yw = primary_residuals(data, x, z1, b, n2);
    const std::vector<double> noise = {0.12, -0.3, 0.05, 0.2, -0.15, 0.33, -0.08};
    std::vector<double> y2(n2);
    for (int i = 0; i < n2; ++i)
        y2[i] = static_cast<double>(0.7 * yw[i] + 0.4 * x[i] + 0.2 - 0.5 * z2[i][1] + noise[i]);
    const Vec y2v(y2.begin(), y2.end());
    const Secondary r = secondary(data, x, z1, n2, y2, z2);

    // Secondary estimates and their covariance sigma~ (W'W)^-1.
    const LeastSquares full = least_squares(secondary_design(yw, x, z2, true), y2v);
    // Jacobian in the primary coefficients by central differences.
    const LD h = 1e-6L;
    Mat J(4, Vec(3));
    for (int a = 0; a < 3; ++a) {
        Vec bu = b, bd = b;
        bu[a] += h;
        bd[a] -= h;
        const LeastSquares fu = least_squares(secondary_design(primary_residuals(data, x, z1, bu, n2), x, z2, true), y2v);
        const LeastSquares fd = least_squares(secondary_design(primary_residuals(data, x, z1, bd, n2), x, z2, true), y2v);
        for (int d = 0; d < 4; ++d) J[d][a] = (fu.est[d] - fd.est[d]) / (2 * h);
    }
    LD jpj = 0.0L;
    for (int a = 0; a < 3; ++a)
        for (int c = 0; c < 3; ++c) jpj += J[1][a] * P[a][c] * J[1][c];
    const LD se = std::sqrt(full.rss_over_n * full.inv[1][1] + jpj);
    EXPECT_GT(jpj, 1e-4 * full.rss_over_n * full.inv[1][1]);  // the correction matters here
    EXPECT_NEAR(r.beta, static_cast<double>(full.est[1]), 1e-10);
    EXPECT_NEAR(r.se, static_cast<double>(se), 1e-8 * static_cast<double>(se));

    // Score test: null fit without the burden, its variance corrected by
    // R_alpha^2 v'Pv / R_sigma^2 with v = (x1'x2, z1'x2).
    const LeastSquares null = least_squares(secondary_design(yw, x, z2, false), y2v);
    const LeastSquares xfit = least_squares(secondary_design(yw, x, z2, false), Vec(x.begin(), x.begin() + n2));
    LD xres = 0.0L, xr = 0.0L;
    Vec v(3, 0.0L);
    for (int i = 0; i < n2; ++i) {
        xres += xfit.resid[i] * xfit.resid[i];
        xr += x[i] * null.resid[i];
        v[0] += static_cast<LD>(x[i]) * x[i];
        v[1] += z1[i][0] * x[i];
        v[2] += z1[i][1] * x[i];
    }
    LD vpv = 0.0L;
    for (int a = 0; a < 3; ++a)
        for (int c = 0; c < 3; ++c) vpv += v[a] * P[a][c] * v[c];
    const LD Rs = null.rss_over_n, Ra = null.est[0];
    const LD V = xres / Rs + Ra * Ra * vpv / (Rs * Rs);
    EXPECT_NEAR(r.U, static_cast<double>(xr / Rs), 1e-9 * (1 + std::fabs(r.U)));
    EXPECT_NEAR(r.V, static_cast<double>(V), 1e-9 * static_cast<double>(V));
    EXPECT_NEAR(r.T, static_cast<double>(xr / Rs / std::sqrt(V)), 1e-9 * (1 + std::fabs(r.T)));
}

TEST(MleSecV2, SignAndAllZeroSecondaryTrait) {
    const Pooled data = small_pool();
    const Rows z1 = small_covariates();
    const std::vector<double> x = burden();
    const int n2 = 8;
    std::vector<double> y2 = {0.5, 1.4, 0.2, 2.3, 1.1, -0.2, 1.5, 0.4};  // rises with the burden
    const Secondary plus = secondary(data, x, z1, n2, y2, z1);
    EXPECT_GT(plus.U, 0.0);
    EXPECT_GT(plus.T, 0.0);
    EXPECT_GT(plus.beta, 0.0);
    for (double& v : y2) v = -v;
    const Secondary minus = secondary(data, x, z1, n2, y2, z1);
    EXPECT_EQ(minus.U, -plus.U);
    EXPECT_EQ(minus.V, plus.V);
    EXPECT_EQ(minus.T, -plus.T);
    EXPECT_EQ(minus.beta, -plus.beta);
    EXPECT_EQ(minus.se, plus.se);

    // A secondary trait of zeros: both residual variances are zero, and
    // nothing of the secondary fits is defined.
    const Secondary zero = secondary(data, x, z1, n2, std::vector<double>(n2, 0.0), z1);
    EXPECT_TRUE(std::isnan(zero.T));
    EXPECT_TRUE(std::isnan(zero.beta));
    EXPECT_TRUE(std::isnan(zero.se));
}

TEST(MleSecV2GetOmega, TransformedCovarianceByHand) {
    // p1 = p2 = 0: order 5; primary block (burden, sigma11), secondary block 3x3.
    double** prim_cov = dmatrix(0, 1, 0, 1);
    prim_cov[0][0] = 2.0, prim_cov[0][1] = 0.5, prim_cov[1][0] = 0.5, prim_cov[1][1] = 3.0;
    double** Om2 = dmatrix(0, 2, 0, 2);
    const double o[3][3] = {{4.0, 1.0, 0.25}, {1.0, 5.0, 0.5}, {0.25, 0.5, 6.0}};
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) Om2[a][b] = o[a][b];
    double prim_est[2] = {0.3, 1.5};  // sigma11 = 1.5
    const double alpha = 2.0;
    double** Omega = dmatrix(0, 4, 0, 4);
    double** A = dmatrix(0, 4, 0, 4);
    MLE_Sec_v2_getOmega(0, 0, prim_cov, Om2, prim_est, alpha, Omega, A);

    // A: rows 0, 1 identity; row 2 zero; row 3 = (0, a, s, 0, 0); row 4 = (0, a^2, 2as, 0, 1).
    const double expectA[5][5] = {
        {1, 0, 0, 0, 0}, {0, 1, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 2.0, 1.5, 0, 0}, {0, 4.0, 6.0, 0, 1}};
    for (int a = 0; a < 5; ++a)
        for (int b = 0; b < 5; ++b) EXPECT_EQ(A[a][b], expectA[a][b]) << a << "," << b;
    // C = diag(prim_cov, Om2) with Om2 at indices 2..4.
    EXPECT_EQ(Omega[0][0], 2.0);
    EXPECT_EQ(Omega[0][1], 0.5);
    EXPECT_EQ(Omega[2][2], 0.0);
    // Row 3: a*C[1][.] + s*C[2][.]; Omega[3][3] = a^2*3 + s^2*4 = 12 + 9.
    EXPECT_EQ(Omega[3][3], 21.0);
    EXPECT_EQ(Omega[0][3], 2.0 * 0.5);
    // Omega[3][4] = a*a^2*3 + s*(2as*4 + 0.25) = 24 + 1.5*24.25.
    EXPECT_EQ(Omega[3][4], 24.0 + 1.5 * 24.25);
    // Omega[4][4] = a^4*3 + (2as)^2*4 + 2*(2as)*0.25 + 6 = 48 + 144 + 3 + 6.
    EXPECT_EQ(Omega[4][4], 201.0);
    EXPECT_EQ(Omega[4][3], Omega[3][4]);
    free_dmatrix(A, 0, 4, 0, 4);
    free_dmatrix(Omega, 0, 4, 0, 4);
    free_dmatrix(Om2, 0, 2, 0, 2);
    free_dmatrix(prim_cov, 0, 1, 0, 1);
}

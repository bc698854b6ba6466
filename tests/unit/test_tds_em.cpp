#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/tds_em.h"
#include "engine/tds_em_detail.h"
#include "numerics/offset_arrays.h"
#include "tds_test_model.h"

using namespace tds_test;
using Rows = std::vector<std::vector<double>>;

namespace {

const char kNoConvergence[] = "\nEM_quan Warning: EM iteration NOT converge!\n";

// One fit with its outputs held in vectors.
struct Fit {
    std::vector<double> eta, qm, etaW;
    Rows phi;
    double sigma11 = 0.0;
    int count = 0;
    std::string printed;
};

Fit fit(const Pooled& data, const Rows& w, double tolerance = tds_detail::kTolerance,
        int cap = tds_detail::kMaxIterations) {
    const int n1 = data.n1, n10 = data.n10(), d = static_cast<int>(w[0].size());
    Fit f;
    f.eta.assign(d, 0.0);
    f.qm.assign(n1, 0.0);
    f.etaW.assign(n1, 0.0);
    double** W = to_dmatrix(w);
    double** phi = dmatrix(0, n10 - 1, 0, n1 - 1);
    std::vector<int> c = data.c10;
    std::vector<double> y = data.y10;
    testing::internal::CaptureStdout();
    if (tolerance == tds_detail::kTolerance && cap == tds_detail::kMaxIterations)
        EM_quan(data.n(), n10, n1, d, c.data(), y.data(), W, f.eta.data(), &f.sigma11, f.qm.data(),
                f.etaW.data(), phi, &f.count);
    else
        tds_detail::fit_em_into_arrays(data.n(), n10, n1, d, c.data(), y.data(), W, f.eta.data(), &f.sigma11,
                                       f.qm.data(), f.etaW.data(), phi, &f.count, tolerance, cap);
    f.printed = testing::internal::GetCapturedStdout();
    f.phi.assign(n10, std::vector<double>(n1));
    for (int i = 0; i < n10; ++i)
        for (int j = 0; j < n1; ++j) f.phi[i][j] = phi[i][j];
    free_dmatrix(phi, 0, n10 - 1, 0, n1 - 1);
    free_rows(W, w);
    return f;
}

// Ordinary least squares in long double: the estimates.
Vec ols(const Rows& X, const std::vector<double>& y) { return least_squares(to_long(X), to_long(y)).est; }

// Calls getUCOV_prim on a fit with SZ = (tested columns, covariates).
void efficient(const Pooled& data, const Fit& f, const Rows& tested, const Rows& w, std::vector<double>* U,
               Rows* cov) {
    const int n1 = data.n1, n10 = data.n10();
    const int m1 = static_cast<int>(tested[0].size());
    const int m = m1 + static_cast<int>(w[0].size());
    Rows sz(n1);
    for (int j = 0; j < n1; ++j) {
        sz[j] = tested[j];
        sz[j].insert(sz[j].end(), w[j].begin(), w[j].end());
    }
    double** SZ = to_dmatrix(sz);
    double** phi = to_dmatrix(f.phi);
    double** C = dmatrix(0, m1 - 1, 0, m1 - 1);
    U->assign(m1, 0.0);
    std::vector<double> eta = f.eta, etaW = f.etaW, qm = f.qm, y = data.y10;
    std::vector<int> c = data.c10;
    getUCOV_prim(data.n(), n10, n1, m, m1, f.sigma11, phi, eta.data(), etaW.data(), qm.data(), y.data(),
                 c.data(), SZ, U->data(), C);
    cov->assign(m1, std::vector<double>(m1));
    for (int a = 0; a < m1; ++a)
        for (int b = 0; b < m1; ++b) (*cov)[a][b] = C[a][b];
    free_dmatrix(C, 0, m1 - 1, 0, m1 - 1);
    free_rows(phi, f.phi);
    free_rows(SZ, sz);
}

}  // namespace

TEST(TdsEm, WithoutNonSequencedRecordsTheFitIsLeastSquares) {
    const std::vector<double> y = {0.31, 1.12, -0.45, 2.05, 0.87, -1.30, 1.61, 0.12};
    const Pooled data = sequenced_only(y);
    const Rows w = small_covariates();
    const Fit f = fit(data, w);

    const Vec beta = ols(w, y);
    LD rss = 0.0L;
    for (int j = 0; j < data.n1; ++j) {
        const LD r = y[j] - beta[0] * w[j][0] - beta[1] * w[j][1];
        rss += r * r;
    }
    EXPECT_NEAR(f.eta[0], static_cast<double>(beta[0]), 1e-13);
    EXPECT_NEAR(f.eta[1], static_cast<double>(beta[1]), 1e-13);
    EXPECT_NEAR(f.sigma11, static_cast<double>(rss / data.n1), 1e-13);
    EXPECT_GE(f.count, 1);
    EXPECT_LE(f.count, 2);
    EXPECT_EQ(f.count, 2);  // the start values are not the fit here
    EXPECT_EQ(f.printed, "");
    for (int j = 0; j < data.n1; ++j) {
        EXPECT_EQ(f.qm[j], 1.0 / data.n1);
        EXPECT_NEAR(f.etaW[j], static_cast<double>(beta[0] + beta[1] * w[j][1]), 1e-13);
        for (int k = 0; k < data.n1; ++k) EXPECT_EQ(f.phi[j][k], j == k ? 1.0 : 0.0);
    }
}

TEST(TdsEm, StartValuesThatAreTheFitConvergeInTheFirstIteration) {
    // Intercept only, mean exactly 0: the start (eta 0, variance with divisor
    // C = 3) is already the least-squares fit, so iteration 0 changes nothing.
    const Pooled data = sequenced_only({-1.0, 0.0, 1.0});
    const Fit f = fit(data, {{1.0}, {1.0}, {1.0}});
    EXPECT_EQ(f.count, 1);
    EXPECT_EQ(f.eta[0], 0.0);
    EXPECT_EQ(f.sigma11, 2.0 / 3.0);
}

TEST(TdsEm, CounterAndMessageAtTheCap) {
    const Pooled data = sequenced_only({0.31, 1.12, -0.45, 2.05, 0.87, -1.30, 1.61, 0.12});
    const Rows w = small_covariates();
    // Converges in iteration t = 1: a cap of 2 is met in its last iteration
    // (counter 2, no message); a cap of 1 is not (counter 1 and the message).
    const Fit last = fit(data, w, tds_detail::kTolerance, 2);
    EXPECT_EQ(last.count, 2);
    EXPECT_EQ(last.printed, "");
    const Fit capped = fit(data, w, tds_detail::kTolerance, 1);
    EXPECT_EQ(capped.count, 1);
    EXPECT_EQ(capped.printed, kNoConvergence);
    // Any change passes a huge tolerance: counter 1.
    EXPECT_EQ(fit(data, w, 1e300, 2000).count, 1);
}

using TdsEmDeathTest = ::testing::Test;

TEST_F(TdsEmDeathTest, ConstantTraitStopsThroughTheFatalPathOfTheInverse) {
    // A constant trait: the start variance is 0, every weight of the
    // non-sequenced records is 0/0, the normal-equation matrix holds no
    // number and the inverse ends the run.
    Pooled data;
    data.n1 = 3;
    data.y10 = {2.0, 2.0, 2.0, 2.0};
    data.c10 = {1, 1, 1, 4};
    EXPECT_EXIT(fit(data, {{1.0}, {1.0}, {1.0}}), ::testing::ExitedWithCode(1), "Sigmatrix in ludcmp");
}

TEST(TdsEm, TightFitIsAStationaryPointOfTheObservedLikelihood) {
    const Pooled data = small_pool();
    const Rows w = small_covariates();
    const Fit f = fit(data, w, 1e-13, 200000);
    ASSERT_LT(f.count, 200000);
    EXPECT_EQ(f.printed, "");
    Vec theta = {f.eta[0], f.eta[1], f.sigma11};
    for (int j = 0; j + 1 < data.n1; ++j) theta.push_back(f.qm[j]);
    const auto l = [&](const Vec& t) { return loglik(data, w, t); };
    const Vec grad = gradient(l, theta);
    const Mat H = hessian(l, theta);
    for (std::size_t k = 0; k < theta.size(); ++k)
        EXPECT_LT(std::fabs(grad[k]), 1e-6 * std::sqrt(std::fabs(H[k][k]))) << "parameter " << k;
    // Point weights sum to one and equal each point's total membership / n.
    double sum = 0.0;
    for (int j = 0; j < data.n1; ++j) {
        double a = 0.0;
        for (int i = 0; i < data.n10(); ++i) a += f.phi[i][j];
        EXPECT_NEAR(f.qm[j], a / data.n(), 1e-15);
        sum += f.qm[j];
    }
    EXPECT_NEAR(sum, 1.0, 1e-14);
    for (int i = data.n1; i < data.n10(); ++i) {
        double row = 0.0;
        for (int j = 0; j < data.n1; ++j) row += f.phi[i][j];
        EXPECT_NEAR(row, data.c10[i], 1e-13);
    }
}

TEST(TdsEm, ChangeIsMeasuredInUnitsOfATraitSpreadBelowOne) {
    // The spread: records 1, 2, 3 with counts 1, 1, 2 have mean 2.25 and
    // variance (1.5625 + 0.0625 + 2 x 0.5625) / 4 = 0.6875; a spread of 1 or
    // more gives 1.
    const int c[] = {1, 1, 2};
    const double y[] = {1.0, 2.0, 3.0};
    EXPECT_DOUBLE_EQ(tds_detail::trait_scale(3, c, y), std::sqrt(0.6875));
    const double wide[] = {1.0, 4.0, 9.0};
    EXPECT_EQ(tds_detail::trait_scale(3, c, wide), 1.0);

    // A trait of spread below 1 and the same trait 2^-14 times smaller: every
    // step of the fit scales exactly, and so does the change measure, so both
    // fits stop at the same iteration, their parameters 2^-14 apart.  With
    // the change measured on the absolute scale the small trait's fit would
    // stop as soon as the point weights settle, its coefficients far from
    // their limit.
    const Rows w = small_covariates();
    Pooled half = small_pool(), tiny = small_pool();
    for (double& v : half.y10) v = std::ldexp(v, -1);
    for (double& v : tiny.y10) v = std::ldexp(v, -15);
    const Fit a = fit(half, w), b = fit(tiny, w);
    EXPECT_EQ(a.count, b.count);
    EXPECT_EQ(std::ldexp(a.sigma11, -28), b.sigma11);
    for (int k = 0; k < 2; ++k) EXPECT_EQ(std::ldexp(a.eta[k], -14), b.eta[k]) << "coefficient " << k;
    for (int j = 0; j < tiny.n1; ++j) EXPECT_EQ(a.qm[j], b.qm[j]) << "point " << j;
    const Fit limit = fit(tiny, w, 1e-13, 200000);
    ASSERT_LT(limit.count, 200000);
    EXPECT_NEAR(b.eta[1], limit.eta[1], 1e-3 * std::fabs(limit.eta[1]));
}

TEST(TdsEm, RecordWithCountActsAsRepeatedRecords) {
    const Pooled grouped = small_pool();  // counts 2, 1, 3, 1
    Pooled spread;
    spread.n1 = grouped.n1;
    for (int i = 0; i < grouped.n10(); ++i)
        for (int k = 0; k < grouped.c10[i]; ++k) {
            spread.y10.push_back(grouped.y10[i]);
            spread.c10.push_back(1);
        }
    const Rows w = small_covariates();
    const Fit a = fit(grouped, w);
    const Fit b = fit(spread, w);
    EXPECT_EQ(a.count, b.count);
    EXPECT_NEAR(a.sigma11, b.sigma11, 1e-12);
    for (int k = 0; k < 2; ++k) EXPECT_NEAR(a.eta[k], b.eta[k], 1e-12);
    for (int j = 0; j < grouped.n1; ++j) EXPECT_NEAR(a.qm[j], b.qm[j], 1e-14);

    std::vector<double> Ua, Ub;
    Rows Ca, Cb;
    efficient(grouped, a, small_burdens(), w, &Ua, &Ca);
    efficient(spread, b, small_burdens(), w, &Ub, &Cb);
    for (int d = 0; d < 2; ++d) {
        EXPECT_NEAR(Ua[d], Ub[d], 1e-9 * (1 + std::fabs(Ua[d])));
        for (int e = 0; e < 2; ++e) EXPECT_NEAR(Ca[d][e], Cb[d][e], 1e-9 * (1 + std::fabs(Ca[d][e])));
    }
}

TEST(TdsEm, EfficientScoreAndCovarianceAreDerivativesOfTheObservedLikelihood) {
    const Pooled data = small_pool();
    const Rows w = small_covariates();
    const Rows g = small_burdens();
    const Fit f = fit(data, w, 1e-13, 200000);
    std::vector<double> U;
    Rows cov;
    efficient(data, f, g, w, &U, &cov);

    // Parameters (burden effects, covariate effects, s, qm_0..qm_6) at the null fit.
    const NumericalScore num = numerical_score(data, g, w, f.eta, f.sigma11, f.qm);
    const Vec& grad = num.grad;
    const Mat& eff = num.eff;

    for (int d = 0; d < 2; ++d) {
        EXPECT_NEAR(U[d], static_cast<double>(grad[d]), 1e-6 * std::fabs(static_cast<double>(grad[d]))) << d;
        for (int e = 0; e < 2; ++e)
            EXPECT_NEAR(cov[d][e], static_cast<double>(eff[d][e]), 1e-5 * std::sqrt(static_cast<double>(eff[d][d] * eff[e][e])))
                << d << "," << e;
    }
    EXPECT_EQ(cov[0][1], cov[1][0]);
}

TEST(TdsEm, WithoutNonSequencedRecordsTheEfficientVarianceIsTheResidualInformation) {
    const std::vector<double> y = {0.31, 1.12, -0.45, 2.05, 0.87, -1.30, 1.61, 0.12};
    const Pooled data = sequenced_only(y);
    const Rows w = small_covariates();
    const Fit f = fit(data, w);
    Rows g(data.n1);
    for (int j = 0; j < data.n1; ++j) g[j] = {small_burdens()[j][0]};
    std::vector<double> U;
    Rows cov;
    efficient(data, f, g, w, &U, &cov);

    // U = g'r/s.  The observed information of (beta, eta, s) at the null fit
    // has beta-eta block g'Z/s, Z'Z/s, a beta-s entry g'r/s^2 (r the null
    // residuals, not orthogonal to g) and an s-s entry n/(2s^2), while the
    // point weights separate; profiling out eta and s leaves
    // V = g'(I - H)g/s - 2(g'r)^2/(n s^2), H the hat matrix of Z, s = RSS/n.
    const Vec beta = ols(w, y);
    std::vector<double> gcol(data.n1);
    for (int j = 0; j < data.n1; ++j) gcol[j] = g[j][0];
    const Vec gam = ols(w, gcol);
    LD rss = 0.0L, gr = 0.0L, gres = 0.0L;
    for (int j = 0; j < data.n1; ++j) {
        const LD r = y[j] - beta[0] * w[j][0] - beta[1] * w[j][1];
        const LD rg = gcol[j] - gam[0] * w[j][0] - gam[1] * w[j][1];
        rss += r * r;
        gr += gcol[j] * r;
        gres += rg * rg;
    }
    const LD s = rss / data.n1;
    EXPECT_NEAR(U[0], static_cast<double>(gr / s), 1e-11);
    EXPECT_NEAR(cov[0][0], static_cast<double>(gres / s - 2 * gr * gr / (data.n1 * s * s)), 1e-10);
}

TEST(TdsEm, ColumnInTheSpanOfTheCovariatesHasNoEfficientVariance) {
    const Pooled data = small_pool();
    const Rows w = small_covariates();
    const Fit f = fit(data, w);
    Rows g(data.n1);
    for (int j = 0; j < data.n1; ++j) g[j] = {2.0 * w[j][0] + 3.0 * w[j][1], small_burdens()[j][0]};
    std::vector<double> U;
    Rows cov;
    efficient(data, f, g, w, &U, &cov);
    EXPECT_NEAR(cov[0][0], 0.0, 1e-9 * cov[1][1]);
    EXPECT_NEAR(cov[0][1], 0.0, 1e-9 * cov[1][1]);
    EXPECT_GT(cov[1][1], 0.0);
}

TEST(TdsEm, FullFitCovarianceIsTheInverseObservedInformation) {
    const Pooled data = small_pool();
    const Rows w = small_covariates();
    std::vector<double> g(data.n1);
    for (int j = 0; j < data.n1; ++j) g[j] = small_burdens()[j][0];
    const int p = 2;
    double** z = to_dmatrix(w);
    std::vector<double> est(p + 2);
    double** cov = dmatrix(0, p + 1, 0, p + 1);
    std::vector<int> c = data.c10;
    std::vector<double> y = data.y10;
    int count = 0;
    tds_detail::em_full_fit(data.n(), data.n10(), data.n1, p, c.data(), y.data(), g.data(), z, est.data(), cov,
                            &count, 1e-13, 200000);

    Rows design(data.n1);
    for (int j = 0; j < data.n1; ++j) design[j] = {g[j], w[j][0], w[j][1]};
    const auto l = [&](const Vec& t) { return loglik(data, design, t); };
    // The tight fit is the maximum: the full EM refitted independently is
    // checked through the gradient.
    Vec theta = {est[0], est[1], est[2], est[3]};
    // Point weights of the fit are not returned; recover them by a tight EM
    // on the same design.
    const Fit f = fit(data, design, 1e-13, 200000);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(f.eta[k], est[k], 1e-10);
    EXPECT_NEAR(f.sigma11, est[3], 1e-10);
    for (int j = 0; j + 1 < data.n1; ++j) theta.push_back(f.qm[j]);
    Mat info = hessian(l, theta);
    for (auto& row : info)
        for (auto& x : row) x = -x;
    const Mat inv = inverse(info);
    for (int a = 0; a < p + 2; ++a)
        for (int b = 0; b < p + 2; ++b)
            EXPECT_NEAR(cov[a][b], static_cast<double>(inv[a][b]),
                        1e-5 * std::sqrt(static_cast<double>(inv[a][a] * inv[b][b])))
                << a << "," << b;

    // The public routine (tolerance 1e-4) gives nearly the same.
    std::vector<double> est4(p + 2);
    double** cov4 = dmatrix(0, p + 1, 0, p + 1);
    EM_quan2_time(data.n(), data.n10(), data.n1, p, c.data(), y.data(), g.data(), z, est4.data(), cov4, &count);
    EXPECT_LT(count, 2000);
    for (int a = 0; a < p + 2; ++a) {
        EXPECT_NEAR(est4[a], est[a], 1e-3 * (1 + std::fabs(est[a])));
        EXPECT_NEAR(cov4[a][a], cov[a][a], 1e-2 * cov[a][a]);
    }
    free_dmatrix(cov4, 0, p + 1, 0, p + 1);
    free_dmatrix(cov, 0, p + 1, 0, p + 1);
    free_rows(z, w);
}

TEST(TdsEm, FullFitWithoutNonSequencedRecordsIsLeastSquaresWithItsCovariance) {
    const std::vector<double> y = {0.31, 1.12, -0.45, 2.05, 0.87, -1.30, 1.61, 0.12};
    const Pooled data = sequenced_only(y);
    const Rows w = small_covariates();
    std::vector<double> g(data.n1);
    Rows X(data.n1);
    for (int j = 0; j < data.n1; ++j) {
        g[j] = small_burdens()[j][1];
        X[j] = {g[j], w[j][0], w[j][1]};
    }
    double** z = to_dmatrix(w);
    std::vector<double> est(4);
    double** cov = dmatrix(0, 3, 0, 3);
    std::vector<int> c = data.c10;
    std::vector<double> yy = y;
    int count = 0;
    EM_quan2_time(data.n(), data.n10(), data.n1, 2, c.data(), yy.data(), g.data(), z, est.data(), cov, &count);

    // Coefficients: OLS; covariance s (X'X)^-1, var(s) = 2 s^2 / n, s = RSS/n.
    const Vec beta = ols(X, y);
    Mat XtX(3, Vec(3, 0.0L));
    LD rss = 0.0L;
    for (int j = 0; j < data.n1; ++j) {
        const LD r = y[j] - beta[0] * X[j][0] - beta[1] * X[j][1] - beta[2] * X[j][2];
        rss += r * r;
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) XtX[a][b] += static_cast<LD>(X[j][a]) * X[j][b];
    }
    const LD s = rss / data.n1;
    const Mat inv = inverse(XtX);
    for (int a = 0; a < 3; ++a) {
        EXPECT_NEAR(est[a], static_cast<double>(beta[a]), 1e-12);
        for (int b = 0; b < 3; ++b) EXPECT_NEAR(cov[a][b], static_cast<double>(s * inv[a][b]), 1e-11);
        EXPECT_NEAR(cov[a][3], 0.0, 1e-11);
    }
    EXPECT_NEAR(est[3], static_cast<double>(s), 1e-13);
    EXPECT_NEAR(cov[3][3], static_cast<double>(2 * s * s / data.n1), 1e-11);
    free_dmatrix(cov, 0, 3, 0, 3);
    free_rows(z, w);
}

TEST(TdsEm, UnderflowedRecordGetsItsPosteriorComputedSafely) {
    // Ten sequenced subjects on a line, three large groups of non-sequenced
    // subjects inside the range and one subject far above it: its weights
    // exp(-(y - etaW)^2 / 2s) all underflow to zero.
    Pooled data;
    data.n1 = 10;
    Rows w;
    for (int j = 0; j < 10; ++j) {
        const double x = 0.1 * j;
        w.push_back({1.0, x});
        data.y10.push_back(2.0 * x + ((j % 3) - 1) * 0.05);
        data.c10.push_back(1);
    }
    data.y10.insert(data.y10.end(), {0.3, 0.9, 1.5, 40.0});
    data.c10.insert(data.c10.end(), {2000, 2000, 2000, 1});
    const Fit f = fit(data, w, 1e-14, 100000);
    ASSERT_LT(f.count, 100000);
    ASSERT_TRUE(std::isfinite(f.sigma11));
    const int out = data.n10() - 1;
    // Its largest term must be far below the smallest double for the test to mean anything.
    LD big = -1e300L;
    for (int j = 0; j < 10; ++j) {
        const LD r = 40.0L - f.etaW[j];
        big = std::max(big, std::log(static_cast<LD>(f.qm[j])) - r * r / (2.0L * f.sigma11));
    }
    ASSERT_LT(big, -800.0L);
    // Posterior by log-sum-exp in long double from the fitted parameters.
    std::vector<LD> lw(10);
    LD top = -1e300L;
    for (int j = 0; j < 10; ++j) {
        const LD r = 40.0L - f.etaW[j];
        lw[j] = std::log(static_cast<LD>(f.qm[j])) - r * r / (2.0L * f.sigma11);
        top = std::max(top, lw[j]);
    }
    LD sum = 0.0L;
    for (int j = 0; j < 10; ++j) sum += std::exp(lw[j] - top);
    double row = 0.0;
    for (int j = 0; j < 10; ++j) {
        const double expected = static_cast<double>(std::exp(lw[j] - top) / sum);
        EXPECT_NEAR(f.phi[out][j], expected, 1e-9 + 1e-6 * expected) << j;
        row += f.phi[out][j];
    }
    EXPECT_NEAR(row, 1.0, 1e-14);
}

TEST(TdsEm, CovarianceOfAPairDoesNotDependOnTheOtherColumns) {
    // Ten tested columns at once, against each pair on its own: the same
    // information entries and the same nuisance inverse, so the same numbers.
    const Pooled data = small_pool();
    const Rows w = small_covariates();
    const Fit f = fit(data, w);
    const int K = 10;
    Rows g(data.n1, std::vector<double>(K));
    for (int j = 0; j < data.n1; ++j)
        for (int k = 0; k < K; ++k) g[j][k] = ((j * 7 + k * 3) % 5 == 0) ? 1.0 + (k % 2) : 0.1 * ((j + k) % 3);
    std::vector<double> U;
    Rows cov;
    efficient(data, f, g, w, &U, &cov);
    for (int d = 0; d < K; ++d)
        for (int e = d + 1; e < K; ++e) {
            Rows pair(data.n1);
            for (int j = 0; j < data.n1; ++j) pair[j] = {g[j][d], g[j][e]};
            std::vector<double> Up;
            Rows Cp;
            efficient(data, f, pair, w, &Up, &Cp);
            EXPECT_EQ(U[d], Up[0]);
            EXPECT_EQ(U[e], Up[1]);
            EXPECT_EQ(cov[d][d], Cp[0][0]) << d;
            EXPECT_EQ(cov[d][e], Cp[0][1]) << d << "," << e;
            EXPECT_EQ(cov[e][d], Cp[1][0]);
            EXPECT_EQ(cov[e][e], Cp[1][1]) << e;
        }
}

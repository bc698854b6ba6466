#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine/single_burden_mle.h"
#include "engine/tds_em_detail.h"
#include "engine/tds_primary_builders.h"
#include "numerics/offset_arrays.h"
#include "tds_test_model.h"

using namespace tds_test;
using Rows = std::vector<std::vector<double>>;

namespace {

constexpr double kMissing = -999.0;

enum class Family { Multi, Skat, Vt };

struct Columns {
    Family family = Family::Multi;
    int MODEL = 1;
    Rows wt;                      // Multi
    std::vector<double> thresh;   // Vt
    std::vector<double> maf_hat;  // Vt
};

using Out = BuilderOut;

Out run(const Pooled& data, const Rows& z, const Rows& x, const std::vector<double>& q, const Columns& c,
        int MAI_LB = 1) {
    const int n1 = data.n1;
    const int N_SNP = static_cast<int>(x[0].size());
    const int p = static_cast<int>(z[0].size());
    const int K = c.family == Family::Multi ? static_cast<int>(c.wt.size())
                  : c.family == Family::Skat ? N_SNP
                                             : static_cast<int>(c.thresh.size());
    std::vector<double> qq = q, y = data.y10, thresh = c.thresh, maf = c.maf_hat;
    std::vector<int> cnt = data.c10;
    double** X = to_dmatrix(x);
    double** Z = to_dmatrix(z);
    Rows wt_rows = c.wt.empty() ? Rows{std::vector<double>(N_SNP, 0.0)} : c.wt;
    double** W = to_dmatrix(wt_rows);
    BuilderCall b(K);
    switch (c.family) {
        case Family::Multi:
            EM_prim_MULTI(data.n(), data.n10(), n1, p, N_SNP, cnt.data(), y.data(), X, Z, K, W, qq.data(), MAI_LB,
                          b.mac.data(), b.mai.data(), &b.n_work, b.U.data(), b.cov, &b.count);
            break;
        case Family::Skat:
            EM_prim_SKAT(c.MODEL, data.n(), data.n10(), n1, p, N_SNP, cnt.data(), y.data(), X, Z, qq.data(), MAI_LB,
                         b.mac.data(), b.mai.data(), &b.n_work, b.U.data(), b.cov, &b.count);
            break;
        case Family::Vt:
            EM_prim_VTtest_fixThresh2(c.MODEL, data.n(), data.n10(), n1, p, N_SNP, cnt.data(), y.data(), X, Z, K,
                                      thresh.data(), maf.data(), qq.data(), MAI_LB, b.mac.data(), b.mai.data(),
                                      &b.n_work, b.U.data(), b.cov, &b.count);
            break;
    }
    free_rows(W, wt_rows);
    free_rows(Z, z);
    free_rows(X, x);
    return b.result();
}

const std::vector<double> kY = {0.31, 1.12, -0.45, 2.05, 0.87, -1.30, 1.61, 0.12};

// Three variants of eight subjects: counts, a dosage of 0.7 (subject 6) and a
// missing call (variant 1, subject 2).
Rows genotypes() {
    return {{0, 1, 0}, {1, 0, 0}, {0, kMissing, 0}, {2, 0, 1}, {1, 0, 0}, {0, 1, 0}, {0.7, 0, 1}, {0, 2, 0}};
}
const std::vector<double> kQ = {0.85, 0.8, 0.9};

// Residual of v after least squares on the columns of z, in long double.
Vec residual(const Rows& z, const std::vector<double>& v) { return least_squares(to_long(z), to_long(v)).resid; }

// Closed form without non-sequenced records.  The null fit is least squares
// with s = RSS / n, every point weight 1/n and the point weights separate
// from the other parameters; profiling the covariate effects and s out of the
// observed information of the column effects gives
//   U_k = S_k'r / s,  cov_kl = S_k'(I - H)S_l / s - 2 (S_k'r)(S_l'r) / (n s^2).
void closed_form(const std::vector<double>& y, const Rows& z, const Rows& columns, std::vector<double>* U,
                 Rows* cov) {
    const std::size_t n = y.size(), K = columns.size();
    const Vec r = residual(z, y);
    LD rss = 0.0L;
    for (LD v : r) rss += v * v;
    const LD s = rss / n;
    std::vector<Vec> e;
    Vec sr(K, 0.0L);
    for (std::size_t k = 0; k < K; ++k) {
        e.push_back(residual(z, columns[k]));
        for (std::size_t i = 0; i < n; ++i) sr[k] += columns[k][i] * r[i];
    }
    U->assign(K, 0.0);
    cov->assign(K, std::vector<double>(K, 0.0));
    for (std::size_t k = 0; k < K; ++k) {
        (*U)[k] = static_cast<double>(sr[k] / s);
        for (std::size_t l = 0; l < K; ++l) {
            LD ee = 0.0L;
            for (std::size_t i = 0; i < n; ++i) ee += e[k][i] * e[l][i];
            (*cov)[k][l] = static_cast<double>(ee / s - 2 * sr[k] * sr[l] / (n * s * s));
        }
    }
}

void expect_close(const Out& o, const std::vector<double>& U, const Rows& cov, double tol) {
    ASSERT_EQ(o.U.size(), U.size());
    for (std::size_t k = 0; k < U.size(); ++k) {
        EXPECT_NEAR(o.U[k], U[k], tol * (1 + std::fabs(U[k]))) << "U " << k;
        for (std::size_t l = 0; l < U.size(); ++l)
            EXPECT_NEAR(o.cov[k][l], cov[k][l], tol * (1 + std::fabs(cov[k][l]))) << "cov " << k << "," << l;
    }
}

// Transposes columns given per subject into rows of scores per column.
Rows by_column(const Rows& per_subject) {
    Rows out(per_subject[0].size(), std::vector<double>(per_subject.size()));
    for (std::size_t i = 0; i < per_subject.size(); ++i)
        for (std::size_t k = 0; k < per_subject[0].size(); ++k) out[k][i] = per_subject[i][k];
    return out;
}

}  // namespace

TEST(TdsPrimaryBuilders, WithoutNonSequencedRecordsEachFamilyMatchesTheClosedForm) {
    const Pooled data = sequenced_only(kY);
    const Rows z = small_covariates();
    const Rows x = genotypes();
    // Imputed codes of the missing call of variant 1 (q = 0.8): additive
    // 2(1 - q) = 0.4, dominant 1 - q^2 = 0.36, recessive (1 - q)^2 = 0.04.
    {
        Columns c;
        c.wt = {{1, 0.5, 0}, {0, 1, 2}};
        const Out o = run(data, z, x, kQ, c);
        const Rows S = by_column({{0.5, 1}, {1, 0}, {0.2, 0.4}, {2, 2}, {1, 0}, {0.5, 1}, {0.7, 2}, {1, 2}});
        std::vector<double> U;
        Rows cov;
        closed_form(kY, z, S, &U, &cov);
        EXPECT_EQ(o.n_work, 2);
        EXPECT_EQ(o.count, 2);
        EXPECT_EQ(o.printed, "");
        expect_close(o, U, cov, 1e-10);
        // Counts over variants with a weight: 1 + 0.7 is not reached by 0.7 alone.
        EXPECT_EQ(o.mac, (std::vector<int>{8, 6}));
        EXPECT_EQ(o.mai, (std::vector<int>{6, 5}));
    }
    {
        // Per-variant dominant coding cuts at 0.5: the dosage 0.7 counts as a carrier.
        Columns c;
        c.family = Family::Skat;
        c.MODEL = 2;
        const Out o = run(data, z, x, kQ, c);
        const Rows S = by_column({{0, 1, 0}, {1, 0, 0}, {0, 0.36, 0}, {1, 0, 1}, {1, 0, 0}, {0, 1, 0}, {1, 0, 1},
                                  {0, 1, 0}});
        std::vector<double> U;
        Rows cov;
        closed_form(kY, z, S, &U, &cov);
        EXPECT_EQ(o.n_work, 3);
        expect_close(o, U, cov, 1e-10);
        EXPECT_EQ(o.mac, (std::vector<int>{4, 4, 2}));
        EXPECT_EQ(o.mai, (std::vector<int>{3, 3, 2}));
    }
    {
        // Thresholds 0.1 (variant 1 alone) and 0.2 (all three), additive.
        Columns c;
        c.family = Family::Vt;
        c.thresh = {0.1, 0.2};
        c.maf_hat = {0.12, 0.08, 0.2};
        const Out o = run(data, z, x, kQ, c);
        const Rows S = by_column({{1, 1}, {0, 1}, {0.4, 0.4}, {0, 3}, {0, 1}, {1, 1}, {0, 1.7}, {2, 2}});
        std::vector<double> U;
        Rows cov;
        closed_form(kY, z, S, &U, &cov);
        EXPECT_EQ(o.n_work, 2);
        expect_close(o, U, cov, 1e-10);
        EXPECT_EQ(o.mac, (std::vector<int>{4, 10}));
    }
}

TEST(TdsPrimaryBuilders, EfficientScoreAndCovarianceAreDerivativesOfTheObservedLikelihood) {
    const Pooled data = small_pool();
    const Rows z = small_covariates();
    // Genotypes whose two weighted burdens are the two test burdens of the
    // shared data: column 0 = variant 0, column 1 = variant 1 / 2.
    const Rows g = small_burdens();
    Rows x(data.n1);
    for (int j = 0; j < data.n1; ++j) x[j] = {g[j][0], 2 * g[j][1]};
    Columns c;
    c.wt = {{1, 0}, {0, 0.5}};
    const Out o = run(data, z, x, {0.9, 0.9}, c, 1);
    ASSERT_EQ(o.n_work, 2);
    EXPECT_LT(o.count, 2000);

    // Observed-data log-likelihood in (burden effects, covariate effects, s,
    // first n1 - 1 point weights), differentiated numerically at a tightly
    // refitted null model.
    double** Z = to_dmatrix(z);
    double** phi = dmatrix(0, data.n10() - 1, 0, data.n1 - 1);
    std::vector<double> eta(2), qm(data.n1), etaW(data.n1), y = data.y10;
    std::vector<int> cnt = data.c10;
    double s = 0;
    int count = 0;
    tds_detail::em_fit(data.n(), data.n10(), data.n1, 2, cnt.data(), y.data(), Z, eta.data(), &s, qm.data(),
                       etaW.data(), phi, &count, 1e-13, 200000);
    free_dmatrix(phi, 0, data.n10() - 1, 0, data.n1 - 1);
    free_rows(Z, z);
    const NumericalScore num = numerical_score(data, g, z, eta, s, qm);
    const Vec& grad = num.grad;
    const Mat& eff = num.eff;

    // The builder's fit stops at the program's tolerance of 1e-4.
    for (int d = 0; d < 2; ++d) {
        const double sd = std::sqrt(static_cast<double>(eff[d][d]));
        EXPECT_NEAR(o.U[d], static_cast<double>(grad[d]), 1e-3 * sd) << d;
        for (int e = 0; e < 2; ++e) {
            const double scale = std::sqrt(static_cast<double>(eff[d][d] * eff[e][e]));
            EXPECT_NEAR(o.cov[d][e], static_cast<double>(eff[d][e]), 1e-3 * scale) << d << "," << e;
        }
    }
    EXPECT_EQ(o.cov[0][1], o.cov[1][0]);
}

TEST(TdsPrimaryBuilders, OneWeightVectorGivesTheSingleBurdenScoreTest) {
    const Pooled data = small_pool();
    const Rows z = small_covariates();
    const Rows x = {{0, 1}, {1, 0}, {0, 0}, {2, 1}, {1, 0}, {0, 0}, {1, 2}, {0, 1}};
    const std::vector<double> wt = {1.0, 0.25};
    Columns c;
    c.wt = {wt};
    const Out o = run(data, z, x, {0.9, 0.8}, c);
    ASSERT_EQ(o.n_work, 1);

    std::vector<double> burden(data.n1);
    for (int j = 0; j < data.n1; ++j) burden[j] = wt[0] * x[j][0] + wt[1] * x[j][1];
    double** Z = to_dmatrix(z);
    std::vector<int> cnt = data.c10;
    std::vector<double> y = data.y10;
    double U = 0, V = 0, T = 0;
    int count = 0;
    scoreTest_MLE_Prim(data.n(), data.n10(), data.n1, 2, cnt.data(), y.data(), burden.data(), Z, &U, &V, &T, &count);
    free_rows(Z, z);
    // The single-burden score is summed directly over records and points,
    // the builder's from the records' scores: equal up to rounding.
    EXPECT_NEAR(o.U[0], U, 1e-12 * (1 + std::fabs(U)));
    EXPECT_DOUBLE_EQ(o.cov[0][0], V);
    EXPECT_EQ(o.count, count);
}

TEST(TdsPrimaryBuilders, NonPositiveEfficientVarianceIsDroppedOnceAndNanStays) {
    const Pooled data = sequenced_only(kY);
    const Rows z = small_covariates();
    // Null residuals r of the trait on z; a column r + 3 has efficient
    // variance r'r/s - 2(r'r)^2/(n s^2) = n - 2n = -n.
    const Vec r = residual(z, kY);
    Rows x(8);
    for (int i = 0; i < 8; ++i)  // residual + 3; a usable burden; 1 everywhere
        x[i] = {static_cast<double>(r[i]) + 3.0, genotypes()[i][0], 1.0};
    Columns c;
    c.wt = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const Out o = run(data, z, x, {0.5, 0.85, 0.5}, c);
    // Column 2 fails the checks (constant); column 0 passes them but has a
    // negative variance; only column 1 is left.
    EXPECT_EQ(o.n_work, 1);
    EXPECT_EQ(o.U[0], 0.0);
    EXPECT_EQ(o.U[2], 0.0);
    for (int k = 0; k < 3; ++k)
        for (int l = 0; l < 3; ++l)
            if (k != 1 || l != 1) {
                EXPECT_EQ(o.cov[k][l], 0.0) << k << "," << l;
            }
    std::vector<double> U;
    Rows cov;
    closed_form(kY, z, Rows{std::vector<double>{0, 1, 0, 2, 1, 0, 0.7, 0}}, &U, &cov);
    EXPECT_NEAR(o.U[1], U[0], 1e-10);
    EXPECT_NEAR(o.cov[1][1], cov[0][0], 1e-10);
    // The dropped column's counts are still reported.
    EXPECT_EQ(o.mac[2], 8);
    EXPECT_EQ(o.mai[2], 8);

    // A column with an undefined score (a NaN genotype passes every check)
    // stays counted with its undefined entries; the other columns are
    // exactly as without it.
    Rows xn = genotypes();
    xn[3][2] = std::numeric_limits<double>::quiet_NaN();
    Columns skat;
    skat.family = Family::Skat;
    const Out on = run(data, z, xn, kQ, skat);
    const Out clean = run(data, z, genotypes(), kQ, skat);
    EXPECT_EQ(on.n_work, 3);
    EXPECT_TRUE(std::isnan(on.cov[2][2]));
    EXPECT_TRUE(std::isnan(on.U[2]));
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(on.U[k], clean.U[k]);
        for (int l = 0; l < 2; ++l) EXPECT_EQ(on.cov[k][l], clean.cov[k][l]);
    }
}

TEST(TdsPrimaryBuilders, NoColumnOrEveryColumnFlaggedLeavesZeros) {
    const Pooled data = small_pool();
    const Rows z = small_covariates();
    const Rows x = genotypes();

    // K = 0: the null fit still runs.
    Columns none;
    const Out o0 = run(data, z, x, kQ, none);
    EXPECT_EQ(o0.n_work, 0);
    EXPECT_GE(o0.count, 1);
    EXPECT_LT(o0.count, 2000);
    Columns vt0;
    vt0.family = Family::Vt;
    const Out v0 = run(data, z, x, kQ, vt0);
    EXPECT_EQ(v0.n_work, 0);
    EXPECT_EQ(v0.count, o0.count);

    // Every column below the carrier bound: no efficient score is formed,
    // every score and covariance is zero, the counts are written.
    Columns skat;
    skat.family = Family::Skat;
    const Out o = run(data, z, x, kQ, skat, 100);
    EXPECT_EQ(o.n_work, 0);
    EXPECT_EQ(o.count, o0.count);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(o.U[k], 0.0);
        for (int l = 0; l < 3; ++l) EXPECT_EQ(o.cov[k][l], 0.0);
    }
    EXPECT_EQ(o.mac, (std::vector<int>{4, 4, 2}));
    EXPECT_EQ(o.mai, (std::vector<int>{3, 3, 2}));
}

TEST(TdsPrimaryBuilders, ThresholdsWithTheSameCarriersGiveIdenticalRows) {
    const Pooled data = small_pool();
    const Rows z = small_covariates();
    // Variant 1 is called 0 in every subject: thresholds 0.1 and 0.15 differ
    // only by it and give the same column.
    Rows x = genotypes();
    for (auto& row : x) row[1] = 0.0;
    Columns c;
    c.family = Family::Vt;
    c.thresh = {0.1, 0.15, 0.25};
    c.maf_hat = {0.05, 0.12, 0.2};
    const Out o = run(data, z, x, kQ, c);
    EXPECT_EQ(o.n_work, 3);
    EXPECT_EQ(o.U[0], o.U[1]);
    for (int l = 0; l < 3; ++l) {
        EXPECT_EQ(o.cov[0][l], o.cov[1][l]) << l;
        EXPECT_EQ(o.cov[l][0], o.cov[l][1]) << l;
    }
    EXPECT_NE(o.cov[2][2], o.cov[0][0]);
    EXPECT_GT(o.cov[0][0], 0.0);
}

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/library_extras.h"
#include "engine/single_burden_mle.h"
#include "engine/tds_em.h"
#include "engine/tds_secondary_builders.h"
#include "numerics/offset_arrays.h"
#include "tds_test_model.h"

using namespace tds_test;
using Rows = std::vector<std::vector<double>>;

namespace {

constexpr double M = -999.0;        // missing genotype
constexpr double kUnset = BuilderCall::kUnset;

enum class Family { Multi, Skat, Vt };

struct Columns {
    Family family = Family::Multi;
    int MODEL = 1;
    Rows wt;
    std::vector<double> thresh, maf_hat;
};

// Three columns of the family: three weight vectors, or three thresholds
// with the variants' frequencies maf_hat.
Columns threeColumns(Family family, const std::vector<double>& maf_hat) {
    Columns c;
    c.family = family;
    c.wt = {{1, 0.5, 0}, {0, 1, 2}, {1, 1, 1}};
    c.thresh = {0.1, 0.2, 0.3};
    c.maf_hat = maf_hat;
    return c;
}

// A secondary-trait data set: pooled primary records, the n2 subjects with
// the trait first.
struct SecData {
    Pooled pool;
    int n2 = 0;
    Rows z1, z2, x;
    std::vector<double> y2, q;
};

using Out = BuilderOut;

Out run(const SecData& d, const Columns& c, int MAI_LB = 1) {
    const int n1 = d.pool.n1;
    const int N_SNP = static_cast<int>(d.x[0].size());
    const int p1 = static_cast<int>(d.z1[0].size());
    const int p2 = 2;  // every data set here: intercept and one covariate
    const int K = c.family == Family::Multi ? static_cast<int>(c.wt.size())
                  : c.family == Family::Skat ? N_SNP
                                             : static_cast<int>(c.thresh.size());
    std::vector<double> q = d.q, y10 = d.pool.y10, thresh = c.thresh, maf = c.maf_hat;
    std::vector<double> y2 = d.y2;
    y2.push_back(kUnset);  // never read
    std::vector<int> cnt = d.pool.c10;
    double** X = to_dmatrix(d.x);
    double** Z1 = to_dmatrix(d.z1);
    Rows z2 = d.z2;
    z2.push_back({1.0, kUnset});  // one spare row, never read; also gives n2 = 0 a valid matrix
    double** Z2 = to_dmatrix(z2);
    Rows wt = c.wt.empty() ? Rows{std::vector<double>(N_SNP, 0.0)} : c.wt;
    double** W = to_dmatrix(wt);
    const Pooled& P = d.pool;
    BuilderCall b(K);
    switch (c.family) {
        case Family::Multi:
            EM_sec_MULTI(P.n(), P.n10(), n1, d.n2, p1, p2, N_SNP, cnt.data(), y10.data(), y2.data(), X, Z1, Z2, K,
                         W, q.data(), MAI_LB, b.mac.data(), b.mai.data(), &b.n_work, b.U.data(), b.cov, &b.count);
            break;
        case Family::Skat:
            EM_sec_SKAT2_v2(c.MODEL, P.n(), P.n10(), n1, d.n2, p1, p2, N_SNP, cnt.data(), y10.data(), y2.data(), X,
                            Z1, Z2, K, q.data(), MAI_LB, b.mac.data(), b.mai.data(), &b.n_work, b.U.data(), b.cov,
                            &b.count);
            break;
        case Family::Vt:
            EM_sec_VTtest_fixThresh2_v2(c.MODEL, P.n(), P.n10(), n1, d.n2, p1, p2, N_SNP, cnt.data(), y10.data(),
                                        y2.data(), X, Z1, Z2, K, thresh.data(), maf.data(), q.data(), MAI_LB,
                                        b.mac.data(), b.mai.data(), &b.n_work, b.U.data(), b.cov, &b.count);
            break;
    }
    free_rows(W, wt);
    free_rows(Z2, z2);
    free_rows(Z1, d.z1);
    free_rows(X, d.x);
    return b.result();
}

// Ten sequenced subjects, the first eight with the secondary trait; the
// secondary covariate differs from the primary one.
SecData base_data(bool with_non_sequenced) {
    SecData d;
    d.pool.n1 = 10;
    d.pool.y10 = {0.31, 1.12, -0.45, 2.05, 0.87, -1.30, 1.61, 0.12, 0.66, -0.2};
    d.pool.c10.assign(10, 1);
    if (with_non_sequenced) {
        d.pool.y10.insert(d.pool.y10.end(), {-0.9, 0.4, 1.3, 2.6});
        d.pool.c10.insert(d.pool.c10.end(), {2, 1, 3, 1});
    }
    const std::vector<double> c = {-1.2, 0.3, -0.8, 1.5, 0.1, -1.6, 0.9, 0.4, 0.7, -0.3};
    for (double v : c) d.z1.push_back({1.0, v});
    d.n2 = 8;
    for (double v : {0.5, -0.4, 1.1, 0.2, -0.9, 0.3, -0.1, 0.8}) d.z2.push_back({1.0, v});
    d.y2 = {0.9, 0.2, 1.4, -0.3, 0.5, 1.8, -0.6, 0.4};
    d.x = {{0, 1, 0}, {1, 0, 0}, {0, M, 0}, {2, 0, 1}, {1, 0, 0},
           {0, 1, 0}, {0.7, 0, 1}, {0, 2, 0}, {1, 1, 0}, {0, 0, 1}};
    d.q = {0.85, 0.8, 0.9};
    return d;
}

// Unweighted burden of base_data's genotypes (the missing call of variant 1
// counts 2(1 - 0.8) = 0.4).
const std::vector<double> kS0 = {1, 1, 0.4, 3, 1, 1, 1.7, 2, 2, 1};

// Primary coefficients b (burden, covariates) and their covariance P.
struct PrimaryFit {
    Vec b;
    Mat P;
};

// Without non-sequenced records the primary fit is least squares on
// (S0, z1) with covariance s (X'X)^-1, s = RSS / n1.
PrimaryFit primary_closed_form(const SecData& d, const std::vector<double>& S0) {
    Mat X;
    for (int i = 0; i < d.pool.n1; ++i) X.push_back({S0[i], d.z1[i][0], d.z1[i][1]});
    Vec y(d.pool.y10.begin(), d.pool.y10.begin() + d.pool.n1);
    const LeastSquares fit = least_squares(X, y);
    PrimaryFit f{fit.est, fit.inv};
    for (auto& row : f.P)
        for (auto& v : row) v *= fit.rss_over_n;
    return f;
}

// With non-sequenced records: the coefficients and their covariance as the
// semiparametric full fit returns them (its own tests check it against the
// observed information).
PrimaryFit primary_full_fit(const SecData& d, const std::vector<double>& S0) {
    double** Z1 = to_dmatrix(d.z1);
    double** cov = dmatrix(0, 3, 0, 3);
    std::vector<double> est(4), g = S0, y = d.pool.y10;
    std::vector<int> c = d.pool.c10;
    int count = 0;
    EM_quan2_time(d.pool.n(), d.pool.n10(), d.pool.n1, 2, c.data(), y.data(), g.data(), Z1, est.data(), cov, &count);
    PrimaryFit f;
    f.b = {est[0], est[1], est[2]};
    f.P.assign(3, Vec(3));
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) f.P[a][b] = cov[a][b];
    free_dmatrix(cov, 0, 3, 0, 3);
    free_rows(Z1, d.z1);
    return f;
}

// The scores and their covariance worked out independently: the null
// secondary fit by least squares on (yw, z2); the least-squares covariance
// S_k'(I - H)S_l / sigma~2 from the residuals of the columns on (yw, z2);
// the correction J P J' for the estimated primary coefficients, J the
// numerical derivative of each score S_k'(y2 - alpha yw(b) - z2 gamma) / sigma~2
// in b, with the null secondary coefficients held at their estimates.
void reference(const SecData& d, const std::vector<double>& S0, const PrimaryFit& f, const Rows& columns,
               std::vector<double>* U, Rows* cov) {
    const int n2 = d.n2, K = static_cast<int>(columns.size());
    const auto yw = [&](const Vec& b) {
        Vec out(n2);
        for (int i = 0; i < n2; ++i) out[i] = d.pool.y10[i] - b[0] * S0[i] - b[1] * d.z1[i][0] - b[2] * d.z1[i][1];
        return out;
    };
    const Vec w = yw(f.b);
    Mat W0;
    for (int i = 0; i < n2; ++i) W0.push_back({w[i], d.z2[i][0], d.z2[i][1]});
    const LeastSquares null_fit = least_squares(W0, to_long(d.y2));
    const Vec& est = null_fit.est;
    const LD R = null_fit.rss_over_n;
    const auto score = [&](int k, const Vec& b) {
        const Vec wb = yw(b);
        LD s = 0.0L;
        for (int i = 0; i < n2; ++i)
            s += columns[k][i] * (d.y2[i] - est[0] * wb[i] - est[1] * d.z2[i][0] - est[2] * d.z2[i][1]);
        return s / R;
    };
    Mat J(K, Vec(3));
    std::vector<Vec> e(K);
    U->assign(K, 0.0);
    for (int k = 0; k < K; ++k) {
        (*U)[k] = static_cast<double>(score(k, f.b));
        for (int a = 0; a < 3; ++a) {
            const LD h = 1e-5L;
            Vec bu = f.b, bd = f.b;
            bu[a] += h;
            bd[a] -= h;
            J[k][a] = (score(k, bu) - score(k, bd)) / (2 * h);
        }
        e[k] = least_squares(W0, Vec(columns[k].begin(), columns[k].begin() + n2)).resid;
    }
    cov->assign(K, std::vector<double>(K));
    for (int k = 0; k < K; ++k)
        for (int l = 0; l < K; ++l) {
            LD c = 0.0L;
            for (int i = 0; i < n2; ++i) c += e[k][i] * e[l][i];
            c /= R;
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) c += J[k][a] * f.P[a][b] * J[l][b];
            (*cov)[k][l] = static_cast<double>(c);
        }
}

Rows by_column(const Rows& per_subject) {
    Rows out(per_subject[0].size(), std::vector<double>(per_subject.size()));
    for (std::size_t i = 0; i < per_subject.size(); ++i)
        for (std::size_t k = 0; k < per_subject[0].size(); ++k) out[k][i] = per_subject[i][k];
    return out;
}

void expect_matches(const Out& o, const std::vector<double>& U, const Rows& cov, const std::vector<int>& used,
                    double tol) {
    for (int k : used) {
        EXPECT_NEAR(o.U[k], U[k], tol * (1 + std::fabs(U[k]))) << "U " << k;
        for (int l : used)
            EXPECT_NEAR(o.cov[k][l], cov[k][l], tol * (1 + std::fabs(cov[k][l]))) << "cov " << k << "," << l;
    }
}

void expect_all_zero(const Out& o) {
    for (std::size_t k = 0; k < o.U.size(); ++k) {
        EXPECT_EQ(o.U[k], 0.0) << k;
        for (std::size_t l = 0; l < o.U.size(); ++l) EXPECT_EQ(o.cov[k][l], 0.0) << k << "," << l;
    }
}

}  // namespace

TEST(TdsSecondaryBuilders, WeightedColumnsMatchAnIndependentDeltaMethod) {
    const SecData d = base_data(false);
    Columns c;
    c.wt = {{1, 0.5, 0}, {0, 1, 2}};
    const Out o = run(d, c);
    EXPECT_EQ(o.n_work, 2);
    EXPECT_EQ(o.count, 2);
    EXPECT_EQ(o.printed, "");
    // Counted over the eight subjects with the trait.
    EXPECT_EQ(o.mac, (std::vector<int>{8, 6}));
    EXPECT_EQ(o.mai, (std::vector<int>{6, 5}));

    const Rows S = by_column({{0.5, 1}, {1, 0}, {0.2, 0.4}, {2, 2}, {1, 0}, {0.5, 1}, {0.7, 2}, {1, 2}});
    std::vector<double> U;
    Rows cov;
    // The primary fit is on the unweighted burden, whatever the weights.
    reference(d, kS0, primary_closed_form(d, kS0), S, &U, &cov);
    expect_matches(o, U, cov, {0, 1}, 1e-9);
    EXPECT_EQ(o.cov[0][1], o.cov[1][0]);
}

TEST(TdsSecondaryBuilders, VariantColumnsUseWholeNumberCutOffs) {
    SecData d = base_data(false);
    // Dosages 1.5 (subject 4) and 0.7 (subject 6) in variant 0.
    for (int i = 0; i < 10; ++i) d.x[i][0] = std::vector<double>{0, 1, 0, 2, 1.5, 0, 0.7, 0, 1, 0}[i];
    const std::vector<double> S0 = {1, 1, 0.4, 3, 1.5, 1, 1.7, 2, 2, 1};
    const PrimaryFit f = primary_closed_form(d, S0);
    Columns c;
    c.family = Family::Skat;
    {
        c.MODEL = 2;  // dominant: 1 from a dosage of 1.0 on; missing 1 - q^2 = 0.36
        const Out o = run(d, c);
        const Rows S = by_column({{0, 1, 0}, {1, 0, 0}, {0, 0.36, 0}, {1, 0, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1},
                                  {0, 1, 0}});
        std::vector<double> U;
        Rows cov;
        reference(d, S0, f, S, &U, &cov);
        EXPECT_EQ(o.n_work, 3);
        expect_matches(o, U, cov, {0, 1, 2}, 1e-9);
        EXPECT_EQ(o.mac, (std::vector<int>{4, 4, 2}));  // the dosage 1.5 counts one allele
        EXPECT_EQ(o.mai, (std::vector<int>{3, 3, 2}));
    }
    {
        c.MODEL = 3;  // recessive: 1 from 2.0 on (not 1.5); missing (1 - q)^2 = 0.04
        const Out o = run(d, c);
        const Rows S = by_column({{0, 0}, {0, 0}, {0, 0.04}, {1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 1}});
        std::vector<double> U;
        Rows cov;
        reference(d, S0, f, S, &U, &cov);
        EXPECT_EQ(o.n_work, 2);  // variant 2 has no homozygote: constant, dropped
        expect_matches(o, U, cov, {0, 1}, 1e-9);
        EXPECT_EQ(o.mai, (std::vector<int>{1, 1, 0}));
        EXPECT_EQ(o.U[2], 0.0);
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(o.cov[2][k], 0.0);
            EXPECT_EQ(o.cov[k][2], 0.0);
        }
    }
}

TEST(TdsSecondaryBuilders, ThresholdColumnsWithNonSequencedRecords) {
    SecData d = base_data(true);
    for (auto& row : d.x) row[1] = 0.0;  // variant 1 carried by nobody
    const std::vector<double> S0 = {0, 1, 0, 3, 1, 0, 1.7, 0, 1, 1};
    Columns c;
    c.family = Family::Vt;
    c.thresh = {0.1, 0.15, 0.25};  // variant 0; variants 0 and 1; all three
    c.maf_hat = {0.05, 0.12, 0.2};
    const Out o = run(d, c);
    EXPECT_EQ(o.n_work, 3);
    EXPECT_GE(o.count, 1);
    EXPECT_LT(o.count, 2000);
    const Rows S = by_column({{0, 0, 0}, {1, 1, 1}, {0, 0, 0}, {2, 2, 3}, {1, 1, 1}, {0, 0, 0}, {0.7, 0.7, 1.7},
                              {0, 0, 0}});
    std::vector<double> U;
    Rows cov;
    reference(d, S0, primary_full_fit(d, S0), S, &U, &cov);
    expect_matches(o, U, cov, {0, 1, 2}, 1e-9);
    // The first two columns are the same: identical scores and rows.
    EXPECT_EQ(o.U[0], o.U[1]);
    for (int l = 0; l < 3; ++l) EXPECT_EQ(o.cov[0][l], o.cov[1][l]) << l;
}

TEST(TdsSecondaryBuilders, UnweightedBurdenGivesTheSingleBurdenSecondaryTest) {
    // With every weight 1 the column is the burden the primary model is
    // fitted on, and the two score tests coincide.
    const SecData d = base_data(true);
    Columns c;
    c.wt = {{1, 1, 1}};
    const Out o = run(d, c);
    ASSERT_EQ(o.n_work, 1);

    double** Z1 = to_dmatrix(d.z1);
    double** Z2 = to_dmatrix(d.z2);
    // The burden as the genotypes give it, a missing call counting 2(1 - q).
    std::vector<double> burden(d.pool.n1, 0.0);
    for (int i = 0; i < d.pool.n1; ++i)
        for (int j = 0; j < 3; ++j) burden[i] += d.x[i][j] == M ? 2 * (1 - d.q[j]) : d.x[i][j];
    std::vector<double> x1 = burden, x2 = burden, y10 = d.pool.y10, y2 = d.y2;
    std::vector<int> cnt = d.pool.c10;
    double U = 0, V = 0, T = 0, beta = 0, se = 0;
    int count = 0;
    MLE_Sec_v2(d.pool.n(), d.pool.n10(), d.pool.n1, d.n2, 2, 2, cnt.data(), y10.data(), x1.data(), Z1, y2.data(),
               x2.data(), Z2, &U, &V, &T, &count, &beta, &se);
    free_rows(Z2, d.z2);
    free_rows(Z1, d.z1);
    EXPECT_DOUBLE_EQ(o.U[0], U);
    // 1 / (sigma~2 [inverse of the full normal matrix]_burden) against
    // S'(I - H0)S / sigma~2: the same number by the partitioned inverse.
    EXPECT_NEAR(o.cov[0][0], V, 1e-10 * V);
    EXPECT_EQ(o.count, count);
}

TEST(TdsSecondaryBuilders, NoPositiveGenotypeReturnsAtOnce) {
    SecData d = base_data(true);
    for (auto& row : d.x)
        for (double& v : row) v = (v == M) ? M : 0.0;
    for (Family fam : {Family::Multi, Family::Skat, Family::Vt}) {
        const Out o = run(d, threeColumns(fam, {0.05, 0.15, 0.25}));
        EXPECT_EQ(o.n_work, 0);
        EXPECT_EQ(o.count, 0);
        EXPECT_EQ(o.printed, "");
        EXPECT_EQ(o.mac, (std::vector<int>{0, 0, 0}));
        EXPECT_EQ(o.mai, (std::vector<int>{0, 0, 0}));
        expect_all_zero(o);
    }
}

TEST(TdsSecondaryBuilders, CarriersOnlyWithoutTheTraitOrNoColumnFitButCountNothing) {
    SecData d = base_data(true);
    // Minor alleles only in subjects 8 and 9, who lack the secondary trait.
    for (int i = 0; i < 10; ++i) d.x[i] = i < 8 ? std::vector<double>{0, 0, 0} : std::vector<double>{1, 2, 1};
    Columns skat;
    skat.family = Family::Skat;
    const Out o = run(d, skat);
    EXPECT_EQ(o.n_work, 0);
    EXPECT_GE(o.count, 1);  // the primary fit was made
    EXPECT_EQ(o.mac, (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(o.mai, (std::vector<int>{0, 0, 0}));
    expect_all_zero(o);

    Columns none;  // K = 0 with carriers in the trait's subjects
    const Out o0 = run(base_data(true), none);
    EXPECT_EQ(o0.n_work, 0);
    EXPECT_GE(o0.count, 1);
}

TEST(TdsSecondaryBuilders, TraitWithoutResidualDegreesOfFreedomDropsEveryColumn) {
    // n2 = 0 (the trait missing for everyone) and n2 = p2 + 1 = 3, where the
    // null fit on (yw, z2) would be exact: no fit, every column left out,
    // the counts taken over the n2 subjects.
    for (int n2 : {0, 3}) {
        SecData d = base_data(true);
        d.n2 = n2;
        d.z2.resize(n2);
        d.y2.resize(n2);
        for (Family fam : {Family::Multi, Family::Skat, Family::Vt}) {
            const Out o = run(d, threeColumns(fam, {0.15, 0.05, 0.25}));
            EXPECT_EQ(o.n_work, 0);
            EXPECT_EQ(o.count, 0);
            EXPECT_EQ(o.printed, "");
            expect_all_zero(o);
            if (n2 == 0) {
                EXPECT_EQ(o.mac, (std::vector<int>{0, 0, 0}));
                EXPECT_EQ(o.mai, (std::vector<int>{0, 0, 0}));
            } else if (fam == Family::Skat) {
                EXPECT_EQ(o.mac, (std::vector<int>{1, 1, 0}));  // subjects 0..2
                EXPECT_EQ(o.mai, (std::vector<int>{1, 1, 0}));
            }
        }
    }
}

TEST(TdsSecondaryBuilders, ATraitWithoutResidualVariationLeavesNoColumn) {
    // A secondary trait of zeros, and one that is a linear function of its
    // covariate: no residual variance, so no score has a defined variance;
    // no column is counted and every score and covariance is zero.
    for (int kind = 0; kind < 2; ++kind) {
        SecData d = base_data(true);
        for (int i = 0; i < 8; ++i) d.y2[i] = kind == 0 ? 0.0 : 2.0 - 3.0 * d.z2[i][1];
        Columns c;
        c.wt = {{1, 0.5, 0}, {0, 1, 2}};
        const Out o = run(d, c);
        EXPECT_EQ(o.n_work, 0) << kind;
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(o.U[k], 0.0);
            for (int l = 0; l < 2; ++l) EXPECT_EQ(o.cov[k][l], 0.0);
        }
    }
}

TEST(EmSecV2Cov, WorkedByHand) {
    // n2 = 3 (a fourth entry is never read), p1 = p2 = 1.
    double yw[4] = {1, 2, 0, 100};
    double S0[4] = {1, 0, 2, 100};
    double S1[4] = {1, 1, 0, 100};
    double S2[4] = {0, 1, 2, 100};
    double** z1 = dmatrix(0, 3, 0, 0);
    double** z2 = dmatrix(0, 3, 0, 0);
    for (int i = 0; i < 4; ++i) z1[i][0] = z2[i][0] = i < 3 ? 1.0 : 100.0;
    double** inv_A = dmatrix(1, 2, 1, 2);
    inv_A[1][1] = 0.5, inv_A[1][2] = 0.25, inv_A[2][1] = 0.25, inv_A[2][2] = 1.0;
    double** Omega1 = dmatrix(0, 2, 0, 2);  // the sigma11 row and column are not read
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) Omega1[a][b] = 1e6;
    Omega1[0][0] = 0.125, Omega1[0][1] = Omega1[1][0] = 0.0625, Omega1[1][1] = 0.25;

    // t1 = (3, 2), t2 = (2, 3), t1' inv_A t2 = 3 + 2.25 + 1 + 6 = 12.25, S1'S2 = 1;
    // B1 = (1, 2), B2 = (4, 3), B1' Omega1 B2 = 0.5 + 0.1875 + 0.5 + 1.5 = 2.6875;
    // R = 2, R_alpha = 0.5: (1 - 12.25) / 2 + 2.6875 * 0.25^2.
    EXPECT_EQ(EM_sec_v2_cov(3, 1, 1, yw, z1, z2, inv_A, S0, S1, S2, 2.0, 0.5, Omega1), -5.45703125);
    EXPECT_EQ(EM_sec_v2_cov(3, 1, 1, yw, z1, z2, inv_A, S0, S2, S1, 2.0, 0.5, Omega1), -5.45703125);
    // R_alpha = 0: the plain least-squares term, here of S1 with itself:
    // t1' inv_A t1 = 4.5 + 1.5 + 1.5 + 4 = 11.5, S1'S1 = 2.
    EXPECT_EQ(EM_sec_v2_cov(3, 1, 1, yw, z1, z2, inv_A, S0, S1, S1, 2.0, 0.0, Omega1), -4.75);
    // S1 = S2 with the correction: B1' Omega1 B1 = 0.125 + 0.125 + 0.125 + 1 = 1.375.
    EXPECT_EQ(EM_sec_v2_cov(3, 1, 1, yw, z1, z2, inv_A, S0, S1, S1, 2.0, 0.5, Omega1), -4.75 + 1.375 / 16);
    free_dmatrix(Omega1, 0, 2, 0, 2);
    free_dmatrix(inv_A, 1, 2, 1, 2);
    free_dmatrix(z2, 0, 3, 0, 0);
    free_dmatrix(z1, 0, 3, 0, 0);
}

namespace {

// p = 1: primary (b0, b1, s11) = indices 0..2, secondary (alpha, beta2,
// gamma0, s22) = indices 3..6.
struct OmegaCase {
    double** prim_cov = dmatrix(0, 2, 0, 2);
    double** Omega2 = dmatrix(0, 3, 0, 3);
    double** Omega = dmatrix(0, 6, 0, 6);
    double** A = dmatrix(0, 6, 0, 6);
    double prim_est[3] = {0.5, 1.5, 2.0};
    OmegaCase() {
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) prim_cov[a][b] = a == b ? a + 1.0 : 0.0;
        prim_cov[0][1] = prim_cov[1][0] = 0.5;
        for (int a = 0; a < 4; ++a)
            for (int b = 0; b < 4; ++b) Omega2[a][b] = a == b ? a + 4.0 : 0.0;
        Omega2[0][1] = Omega2[1][0] = 0.25;
        Omega2[0][2] = Omega2[2][0] = 0.5;
        for (int a = 0; a < 7; ++a)
            for (int b = 0; b < 7; ++b) A[a][b] = 99.0;
    }
    ~OmegaCase() {
        free_dmatrix(A, 0, 6, 0, 6);
        free_dmatrix(Omega, 0, 6, 0, 6);
        free_dmatrix(Omega2, 0, 3, 0, 3);
        free_dmatrix(prim_cov, 0, 2, 0, 2);
    }
};

}  // namespace

TEST(GetOmega, TransformedCovarianceWorkedByHand) {
    const double alpha = 2.0;
    OmegaCase c;
    getOmega2(1, c.prim_cov, c.Omega2, c.prim_est, alpha, c.Omega, c.A);
    // Rows: b0, b1, s11, beta2, gamma0 + alpha b1, alpha s11,
    // s22 + alpha^2 s11 (linearised: 4 ds11 + 8 dalpha + ds22).
    const double A2[7][7] = {{1, 0, 0, 0, 0, 0, 0},   {0, 1, 0, 0, 0, 0, 0}, {0, 0, 1, 0, 0, 0, 0},
                             {0, 0, 0, 0, 1, 0, 0},   {0, 2, 0, 1.5, 0, 1, 0}, {0, 0, 2, 2, 0, 0, 0},
                             {0, 0, 4, 8, 0, 0, 1}};
    for (int a = 0; a < 7; ++a)
        for (int b = 0; b < 7; ++b) EXPECT_EQ(c.A[a][b], A2[a][b]) << a << "," << b;
    EXPECT_EQ(c.Omega[3][3], 5.0);
    EXPECT_EQ(c.Omega[3][4], 0.375);            // 1.5 cov(beta2, alpha)
    EXPECT_EQ(c.Omega[4][4], 24.5);             // 6 + 4*2 + 2.25*4 + 2*1.5*0.5
    EXPECT_EQ(c.Omega[1][4], 4.0);
    EXPECT_EQ(c.Omega[0][4], 1.0);
    EXPECT_EQ(c.Omega[5][5], 28.0);             // 4*3 + 4*4
    EXPECT_EQ(c.Omega[6][6], 311.0);            // 16*3 + 64*4 + 7
    EXPECT_EQ(c.Omega[5][6], 88.0);
    EXPECT_EQ(c.Omega[2][6], 12.0);
    EXPECT_EQ(c.Omega[4][6], 52.0);             // 8*0.5 + 1.5*8*4
    EXPECT_EQ(c.Omega[3][5], 0.5);
    EXPECT_EQ(c.Omega[6][4], c.Omega[4][6]);

    // getOmega: the burden row becomes beta2 + alpha b0 (+ b0 dalpha).
    OmegaCase m;
    getOmega(1, m.prim_cov, m.Omega2, m.prim_est, alpha, m.Omega, m.A);
    EXPECT_EQ(m.A[3][0], 2.0);
    EXPECT_EQ(m.A[3][3], 0.5);
    EXPECT_EQ(m.A[3][4], 1.0);
    for (int a = 0; a < 7; ++a)
        for (int b = 0; b < 7; ++b)
            if (a != 3) {
                EXPECT_EQ(m.A[a][b], A2[a][b]) << a << "," << b;
            }
    EXPECT_EQ(m.Omega[3][3], 10.25);  // 5 + 4*1 + 0.25*4 + 2*0.5*0.25
    EXPECT_EQ(m.Omega[0][3], 2.0);
    EXPECT_EQ(m.Omega[1][3], 1.0);
    EXPECT_EQ(m.Omega[3][4], 5.625);
    EXPECT_EQ(m.Omega[4][4], 24.5);
    EXPECT_EQ(m.Omega[6][6], 311.0);
}

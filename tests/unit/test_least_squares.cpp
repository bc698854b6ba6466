#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "engine/least_squares.h"
#include "numerics/offset_arrays.h"
#include "reference_algebra.h"

namespace {

using namespace reference_algebra;
constexpr double NA = -999.0;

// A 0-based offset matrix owned by the test.
struct Offset {
    int rows, cols;
    double** m;
    Offset(int r, int c) : rows(r), cols(c), m(dmatrix(0, r - 1, 0, c - 1)) {}
    Offset(const Mat& a) : Offset(static_cast<int>(a.size()), static_cast<int>(a[0].size())) {
        for (int i = 0; i < rows; ++i)
            for (int j = 0; j < cols; ++j) m[i][j] = static_cast<double>(a[i][j]);
    }
    ~Offset() { free_dmatrix(m, 0, rows - 1, 0, cols - 1); }
    Offset(const Offset&) = delete;
    Offset& operator=(const Offset&) = delete;
};

std::vector<double> toDouble(const Vec& v) { return std::vector<double>(v.begin(), v.end()); }

// ---- Independent least squares in long double ----

Mat crossProduct(const Mat& z) {
    const size_t p = z[0].size();
    Mat zz(p, Vec(p, 0));
    for (const Vec& row : z)
        for (size_t a = 0; a < p; ++a)
            for (size_t b = 0; b < p; ++b) zz[a][b] += row[a] * row[b];
    return zz;
}

// Hat matrix z (z'z)^-1 z'.
Mat hat(const Mat& z) {
    const Mat izz = inverse(crossProduct(z));
    const size_t n = z.size(), p = z[0].size();
    Mat h(n, Vec(n, 0));
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j)
            for (size_t a = 0; a < p; ++a)
                for (size_t b = 0; b < p; ++b) h[i][j] += z[i][a] * izz[a][b] * z[j][b];
    return h;
}

// (I - H) v.
Vec residual(const Mat& z, const Vec& v) {
    const Mat h = hat(z);
    Vec r(v);
    for (size_t i = 0; i < v.size(); ++i)
        for (size_t j = 0; j < v.size(); ++j) r[i] -= h[i][j] * v[j];
    return r;
}

LD dot(const Vec& a, const Vec& b) {
    LD s = 0;
    for (size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

// Test data: an intercept and two covariates, a trait that depends on them.
struct Data {
    int n, p;
    Mat z;
    Vec y;
};

Data makeData(int n, unsigned seed) {
    std::mt19937 gen(seed);
    auto unit = [&gen] { return static_cast<LD>(gen() % 100000) / 100000.0L; };
    Data d{n, 3, Mat(n, Vec(3)), Vec(n)};
    for (int i = 0; i < n; ++i) {
        d.z[i] = {1.0L, static_cast<LD>(static_cast<double>(unit() * 4 - 2)), static_cast<LD>(gen() % 2)};
        d.y[i] = static_cast<double>(0.5L + d.z[i][1] - 0.7L * d.z[i][2] + (unit() - 0.5L) * 3);
    }
    return d;
}

void expectRel(double got, LD want, double tol = 1e-10) {
    EXPECT_NEAR(got, static_cast<double>(want), tol * std::max<double>(1.0, std::fabs(static_cast<double>(want))));
}

// Reference score vector and covariance of LS columns: U_k = r'S_k / sigma^2,
// cov_kl = S_k' (RSS/(n-p)) (I - H) S_l / sigma^4, sigma^2 = RSS / n,
// over the columns flagged as kept.
void referenceScores(const Mat& z, const Vec& y, const std::vector<Vec>& S, const std::vector<bool>& kept,
                     Vec* U, Mat* cov) {
    const size_t n = y.size(), p = z[0].size(), K = S.size();
    const Vec r = residual(z, y);
    const LD rss = dot(r, r);
    const LD sigma2 = rss / n, s2 = rss / (n - p);
    const Mat h = hat(z);
    *U = Vec(K, 0);
    *cov = Mat(K, Vec(K, 0));
    for (size_t k = 0; k < K; ++k) {
        if (!kept[k]) continue;
        (*U)[k] = dot(r, S[k]) / sigma2;
        for (size_t l = 0; l < K; ++l) {
            if (!kept[l]) continue;
            LD q = 0;
            for (size_t i = 0; i < n; ++i)
                for (size_t j = 0; j < n; ++j) q += S[k][i] * ((i == j ? 1 : 0) - h[i][j]) * S[l][j];
            (*cov)[k][l] = q * s2 / (sigma2 * sigma2);
        }
    }
}

struct Result {
    int K;
    std::vector<int> mac, mai;
    int n_work = -1;
    std::vector<double> U;
    double** cov;
    explicit Result(int k) : K(k), mac(k, -1), mai(k, -1), U(k, -7.0), cov(dmatrix(0, k - 1, 0, k - 1)) {
        for (int a = 0; a < k; ++a)
            for (int b = 0; b < k; ++b) cov[a][b] = -7.0;
    }
    ~Result() { free_dmatrix(cov, 0, K - 1, 0, K - 1); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
};

void expectMatches(const Result& got, const Vec& U, const Mat& cov) {
    for (int k = 0; k < got.K; ++k) {
        expectRel(got.U[k], U[k]);
        for (int l = 0; l < got.K; ++l) expectRel(got.cov[k][l], cov[k][l]);
    }
}

}  // namespace

TEST(LeastSquaresFits, InterceptOnlyClosedForms) {
    const int n = 6;
    const double y[n] = {1.5, -0.25, 3.0, 2.0, 0.5, 4.25};
    const double S[n] = {0, 1, 2, 0, 1, 1};
    Offset z(n, 1);
    for (int i = 0; i < n; ++i) z.m[i][0] = 1.0;

    LD ybar = 0, sbar = 0;
    for (int i = 0; i < n; ++i) {
        ybar += y[i];
        sbar += S[i];
    }
    ybar /= n;
    sbar /= n;
    LD sxy = 0, sxx = 0, syy = 0;
    for (int i = 0; i < n; ++i) {
        sxy += (S[i] - sbar) * (y[i] - ybar);
        sxx += (S[i] - sbar) * (S[i] - sbar);
        syy += (y[i] - ybar) * (y[i] - ybar);
    }

    double centerY[n], SigmaSQ = 0;
    Offset Iz(1, 1);
    score_yz_quanTrait(n, 1, y, z.m, centerY, &SigmaSQ, Iz.m);
    for (int i = 0; i < n; ++i) expectRel(centerY[i], y[i] - ybar);
    expectRel(SigmaSQ, syy / n);
    expectRel(Iz.m[0][0], 1.0L / n);

    double U, V, T, errVar;
    scoreLinear_UV(n, 1, y, S, z.m, &U, &V, &T, &errVar);
    expectRel(U, sxy);
    expectRel(errVar, syy / n);
    expectRel(V, sxx * syy / n);
    expectRel(T, sxy / std::sqrt(sxx * syy / n));

    // Simple regression: slope Sxy/Sxx, RSS = Syy - Sxy^2/Sxx, se with divisor n.
    double beta, se;
    estLinear(n, 1, y, S, z.m, &beta, &se);
    expectRel(beta, sxy / sxx);
    expectRel(se, std::sqrt((syy - sxy * sxy / sxx) / n / sxx));
}

TEST(LeastSquaresFits, SeveralCovariatesAgainstLongDoubleRegression) {
    const Data d = makeData(25, 11);
    Offset z(d.z);
    const std::vector<double> y = toDouble(d.y);
    Vec S(d.n);
    for (int i = 0; i < d.n; ++i) S[i] = (i * 7) % 3 + (i % 5 == 0 ? 0.5L : 0.0L);
    const std::vector<double> s = toDouble(S);

    const Vec r = residual(d.z, d.y);
    const LD rss0 = dot(r, r);
    const Mat izz = inverse(crossProduct(d.z));

    std::vector<double> centerY(d.n);
    double SigmaSQ;
    Offset Iz(3, 3);
    score_yz_quanTrait(d.n, d.p, y.data(), z.m, centerY.data(), &SigmaSQ, Iz.m);
    for (int i = 0; i < d.n; ++i) EXPECT_NEAR(centerY[i], static_cast<double>(r[i]), 1e-12);
    expectRel(SigmaSQ, rss0 / d.n);
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) EXPECT_NEAR(Iz.m[a][b], static_cast<double>(izz[a][b]), 1e-12);

    // Frisch-Waugh-Lovell: with e the residual of S on z, the score is r'S,
    // its variance e'e RSS0/n, and the coefficient of S in the full model e'y/e'e.
    const Vec e = residual(d.z, S);
    double U, V, T, errVar;
    scoreLinear_UV(d.n, d.p, y.data(), s.data(), z.m, &U, &V, &T, &errVar);
    expectRel(U, dot(r, S));
    expectRel(errVar, rss0 / d.n);
    expectRel(V, dot(e, e) * rss0 / d.n);
    expectRel(T, dot(r, S) / std::sqrt(dot(e, e) * rss0 / d.n));

    Mat x(d.n, Vec(4));
    for (int i = 0; i < d.n; ++i) x[i] = {S[i], d.z[i][0], d.z[i][1], d.z[i][2]};
    const Vec full = residual(x, d.y);
    const Mat ixx = inverse(crossProduct(x));
    double beta, se;
    estLinear(d.n, d.p, y.data(), s.data(), z.m, &beta, &se);
    expectRel(beta, dot(e, d.y) / dot(e, e));
    expectRel(beta, dot(r, S) / dot(e, e));
    expectRel(se, std::sqrt(dot(full, full) / d.n * ixx[0][0]));
}

TEST(LeastSquaresFits, BurdenEqualToTheInterceptHasNoVariance) {
    const double y[4] = {1, 2, 3, 6};
    const double S[4] = {1, 1, 1, 1};
    Offset z(4, 1);
    for (int i = 0; i < 4; ++i) z.m[i][0] = 1.0;
    double U, V, T, errVar;
    scoreLinear_UV(4, 1, y, S, z.m, &U, &V, &T, &errVar);
    EXPECT_EQ(V, 0.0);
    EXPECT_FALSE(std::isfinite(T));
    EXPECT_DOUBLE_EQ(errVar, (4.0 + 1.0 + 0.0 + 9.0) / 4);
}

TEST(LeastSquaresBuilders, VariantColumnsMatchAnExplicitProjection) {
    const Data d = makeData(14, 3);
    Offset z(d.z);
    const std::vector<double> y = toDouble(d.y);
    // Variant 0: carried by nobody; variant 1: counts with one missing call;
    // variant 2: a dosage column.
    const int n = d.n, V = 3;
    Offset x(n, V);
    for (int i = 0; i < n; ++i) {
        x.m[i][0] = 0.0;
        x.m[i][1] = (i % 4 == 0) ? 1.0 : (i == 5 ? 2.0 : 0.0);
        x.m[i][2] = 0.1 * ((i * 3) % 7);
    }
    x.m[7][1] = NA;
    const double q[V] = {0.99, 0.85, 0.7};

    for (int model : {1, 2, 3}) {
        SCOPED_TRACE(model);
        // Codings written out for this data.
        std::vector<Vec> S(V, Vec(n));
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < V; ++j) {
                const double g = x.m[i][j];
                const bool miss = g < -0.1;
                if (model == 1) S[j][i] = miss ? 2 * (1 - q[j]) : g;
                if (model == 2) S[j][i] = miss ? 1 - q[j] * q[j] : (g > 0.5 ? 1 : 0);
                if (model == 3) S[j][i] = miss ? (1 - q[j]) * (1 - q[j]) : (g > 1.5 ? 1 : 0);
            }
        }
        // MAI_LB = 0: only constant or collinear columns fail.  Variant 0 is
        // constant 0; under the recessive model so is the dosage variant 2.
        const std::vector<bool> kept{false, true, model != 3};
        Vec Uref;
        Mat covref;
        referenceScores(d.z, d.y, S, kept, &Uref, &covref);

        Result prim(V);
        EM_prim_SKAT_naive(model, n, d.p, V, y.data(), x.m, z.m, V, q, 0, prim.mac.data(), prim.mai.data(),
                           &prim.n_work, prim.U.data(), prim.cov);
        EXPECT_EQ(prim.n_work, model == 3 ? 1 : 2);
        EXPECT_EQ(prim.mac[0], 0);
        EXPECT_EQ(prim.mai[0], 0);
        EXPECT_EQ(prim.mac[1], 4 + 2);  // subjects 0, 4, 8, 12 and 5; subject 7 missing
        EXPECT_EQ(prim.mai[1], model == 3 ? 1 : 5);
        EXPECT_EQ(prim.mac[2], 0);
        expectMatches(prim, Uref, covref);

        // The secondary builder never reads y10.
        Result sec(V);
        EM_sec_SKAT_naive(model, n, d.p, V, nullptr, y.data(), x.m, z.m, V, q, 0, sec.mac.data(), sec.mai.data(),
                          &sec.n_work, sec.U.data(), sec.cov);
        EXPECT_EQ(sec.n_work, prim.n_work);
        expectMatches(sec, Uref, covref);
    }
}

TEST(LeastSquaresBuilders, MoreVariantsThanSubjectsGiveTheCovarianceAsAGramProduct) {
    // 9 subjects, 14 rare variants (mostly zeros, a missing call, a dosage
    // column, one variant carried by nobody): the covariance over the sparse
    // columns matches the explicit projection, and with more usable columns
    // than subjects the builders also give it as scale * R R', R[k] =
    // (I - H) S_k.
    const Data d = makeData(9, 11);
    Offset z(d.z);
    const std::vector<double> y = toDouble(d.y);
    const int n = d.n, V = 14;
    Offset x(n, V);
    std::vector<double> q(V, 0.95);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < V; ++j) x.m[i][j] = (i * 7 + j * 3) % 11 == 0 ? 1.0 : 0.0;
    for (int i = 0; i < n; ++i) x.m[i][13] = 0.1 * ((i * 5) % 9);  // dosages
    for (int i = 0; i < n; ++i) x.m[i][12] = 0.0;                   // carried by nobody
    x.m[2][12] = NA;
    x.m[4][3] = NA;
    x.m[6][5] = 2.0;

    std::vector<Vec> S(V, Vec(n));
    std::vector<bool> kept(V);
    for (int j = 0; j < V; ++j) {
        int carriers = 0;
        for (int i = 0; i < n; ++i) {
            const double g = x.m[i][j];
            S[j][i] = g < -0.1 ? 2 * (1 - q[j]) : g;
            carriers += g >= 1.0;
        }
        kept[j] = carriers > 0;  // MAI_LB = 1; no kept column is constant or collinear
    }
    Vec Uref;
    Mat covref;
    referenceScores(d.z, d.y, S, kept, &Uref, &covref);
    const int usable = static_cast<int>(std::count(kept.begin(), kept.end(), true));
    ASSERT_GT(usable, n);

    for (const bool secondary : {false, true}) {
        SCOPED_TRACE(secondary);
        Result r(V);
        CovarianceFactor f;
        f.n = -1;
        if (secondary)
            EM_sec_SKAT_naive(1, n, d.p, V, nullptr, y.data(), x.m, z.m, V, q.data(), 1, r.mac.data(), r.mai.data(),
                              &r.n_work, r.U.data(), r.cov, &f);
        else
            EM_prim_SKAT_naive(1, n, d.p, V, y.data(), x.m, z.m, V, q.data(), 1, r.mac.data(), r.mai.data(),
                               &r.n_work, r.U.data(), r.cov, &f);
        EXPECT_EQ(r.n_work, usable);
        expectMatches(r, Uref, covref);
        ASSERT_EQ(f.n, n);
        ASSERT_EQ(f.R.size(), static_cast<std::size_t>(V * n));
        for (int k = 0; k < V; ++k) {
            if (!kept[k]) continue;
            const Vec res = residual(d.z, S[k]);
            for (int i = 0; i < n; ++i) expectRel(f.R[k * n + i], res[i]);
            for (int l = 0; l < V; ++l) {
                if (!kept[l]) continue;
                LD sum = 0;
                for (int i = 0; i < n; ++i) sum += static_cast<LD>(f.R[k * n + i]) * f.R[l * n + i];
                expectRel(f.scale * static_cast<double>(sum), covref[k][l]);
            }
        }
    }

    // No more usable columns than subjects: no factor.
    Result r(V);
    CovarianceFactor f;
    f.n = -1;
    EM_prim_SKAT_naive(1, n, d.p, 8, y.data(), x.m, z.m, 8, q.data(), 1, r.mac.data(), r.mai.data(), &r.n_work,
                       r.U.data(), r.cov, &f);
    EXPECT_LE(r.n_work, n);
    EXPECT_EQ(f.n, 0);
}

TEST(LeastSquaresBuilders, WeightedColumnsMatchAnExplicitProjection) {
    const Data d = makeData(12, 5);
    Offset z(d.z);
    const std::vector<double> y = toDouble(d.y);
    const int n = d.n, V = 3, K = 2;
    Offset x(n, V);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < V; ++j) x.m[i][j] = ((i + 2 * j) % 5 == 0) ? 1.0 : 0.0;
    x.m[3][2] = NA;
    const double q[V] = {0.9, 0.8, 0.95};
    Offset wt(K, V);
    const double w[K][V] = {{1, 0.5, 2}, {0, 0, 0}};  // the second column is constant 0
    for (int k = 0; k < K; ++k)
        for (int j = 0; j < V; ++j) wt.m[k][j] = w[k][j];

    std::vector<Vec> S(K, Vec(n, 0));
    for (int k = 0; k < K; ++k)
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < V; ++j) S[k][i] += w[k][j] * (x.m[i][j] < -0.1 ? 2 * (1 - q[j]) : x.m[i][j]);
    Vec Uref;
    Mat covref;
    referenceScores(d.z, d.y, S, {true, false}, &Uref, &covref);

    Result prim(K);
    EM_prim_MULTI_naive(n, d.p, V, y.data(), x.m, z.m, K, wt.m, q, 1, prim.mac.data(), prim.mai.data(),
                        &prim.n_work, prim.U.data(), prim.cov);
    EXPECT_EQ(prim.n_work, 1);
    EXPECT_EQ(prim.mac[1], 0);
    expectMatches(prim, Uref, covref);

    Result sec(K);
    EM_sec_MULTI_naive(n, d.p, V, nullptr, y.data(), x.m, z.m, K, wt.m, q, 1, sec.mac.data(), sec.mai.data(),
                       &sec.n_work, sec.U.data(), sec.cov);
    EXPECT_EQ(sec.n_work, 1);
    expectMatches(sec, Uref, covref);
}

TEST(LeastSquaresBuilders, ThresholdsWithIdenticalColumnsStayCounted) {
    const Data d = makeData(16, 9);
    Offset z(d.z);
    const std::vector<double> y = toDouble(d.y);
    const int n = d.n, V = 3, K = 3;
    Offset x(n, V);
    for (int i = 0; i < n; ++i) {
        x.m[i][0] = (i % 3 == 0) ? 1.0 : 0.0;
        x.m[i][1] = 0.0;  // carried by nobody: thresholds 0 and 1 give the same column
        x.m[i][2] = (i % 5 == 1) ? 1.0 : 0.0;
    }
    const double maf_hat[V] = {0.01, 0.02, 0.04};
    const double thresh[K] = {0.01, 0.02, 0.05};
    const double q[V] = {0.99, 0.98, 0.96};

    std::vector<Vec> S(K, Vec(n, 0));
    for (int k = 0; k < K; ++k)
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < V; ++j)
                if (thresh[k] >= maf_hat[j]) S[k][i] += x.m[i][j];
    Vec Uref;
    Mat covref;
    referenceScores(d.z, d.y, S, {true, true, true}, &Uref, &covref);

    Result prim(K);
    EM_prim_VTtest_naive_fixThresh2(1, n, d.p, V, y.data(), x.m, z.m, K, thresh, maf_hat, q, 1, prim.mac.data(),
                                    prim.mai.data(), &prim.n_work, prim.U.data(), prim.cov);
    EXPECT_EQ(prim.n_work, 3);
    expectMatches(prim, Uref, covref);
    EXPECT_EQ(prim.U[0], prim.U[1]);
    for (int l = 0; l < K; ++l) EXPECT_EQ(prim.cov[0][l], prim.cov[1][l]);
    EXPECT_EQ(prim.mac[2], 6 + 3);

    Result sec(K);
    EM_sec_VTtest_naive_fixThresh2(1, n, d.p, V, nullptr, y.data(), x.m, z.m, K, thresh, maf_hat, q, 1,
                                   sec.mac.data(), sec.mai.data(), &sec.n_work, sec.U.data(), sec.cov);
    EXPECT_EQ(sec.n_work, 3);
    expectMatches(sec, Uref, covref);
}

TEST(LeastSquaresBuilders, ColumnInTheCovariateSpaceIsDroppedForZeroVariance) {
    // z = [1, c (1, -1, 1, -1)] with c = 2^40: z'z = diag(4, 4c^2) and every
    // step is exact in binary.  Variant 0 codes S = (2, 0, 2, 0) =
    // 1 + (1, -1, 1, -1), inside the covariate space, so S'(I - H)S = 8 - 8 = 0
    // exactly; the large covariate keeps |det X'X| far above 1e-20, so the
    // column passes the checks and is dropped only for its zero variance.
    const double c = std::ldexp(1.0, 40);
    Offset z(4, 2);
    const double sign[4] = {1, -1, 1, -1};
    for (int i = 0; i < 4; ++i) {
        z.m[i][0] = 1.0;
        z.m[i][1] = c * sign[i];
    }
    Offset x(4, 2);
    const double g0[4] = {2, 0, 2, 0}, g1[4] = {1, 1, 0, 0};
    for (int i = 0; i < 4; ++i) {
        x.m[i][0] = g0[i];
        x.m[i][1] = g1[i];
    }
    const double y[4] = {1, 2, 3, 5};
    const double q[2] = {0.9, 0.9};

    Result r(2);
    EM_prim_SKAT_naive(1, 4, 2, 2, y, x.m, z.m, 2, q, 1, r.mac.data(), r.mai.data(), &r.n_work, r.U.data(), r.cov);
    EXPECT_EQ(r.n_work, 1);
    EXPECT_EQ(r.mac[0], 4);
    EXPECT_EQ(r.mai[0], 2);
    EXPECT_EQ(r.U[0], 0.0);
    EXPECT_EQ(r.cov[0][0], 0.0);
    EXPECT_EQ(r.cov[0][1], 0.0);
    EXPECT_EQ(r.cov[1][0], 0.0);

    // Column 1 by hand: z'y = (11, -3c), so the fit is 2.75 - 0.75 sign =
    // (2, 3.5, 2, 3.5), r = (-1, -1.5, 1, 1.5), RSS = 6.5, sigma^2 = 1.625 and
    // s2 = 6.5 / 2 = 3.25.  S = (1, 1, 0, 0): r'S = -2.5, z'S = (2, 0),
    // S'(I - H)S = 2 - 2^2/4 = 1.
    EXPECT_DOUBLE_EQ(r.U[1], -2.5 / 1.625);
    EXPECT_DOUBLE_EQ(r.cov[1][1], 1.0 * 3.25 / (1.625 * 1.625));
}

TEST(LeastSquaresBuilders, NoMoreSubjectsThanColumnsDropsEverything) {
    Offset z(3, 3);
    const double zv[3][3] = {{1, 0.5, 2}, {1, -1, 0}, {1, 2, 1}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) z.m[i][j] = zv[i][j];
    Offset x(3, 1);
    x.m[0][0] = 1;
    x.m[1][0] = 0;
    x.m[2][0] = 2;
    const double y[3] = {1, 2, 4};
    const double q[1] = {0.9};
    Result r(1);
    EM_sec_SKAT_naive(1, 3, 3, 1, nullptr, y, x.m, z.m, 1, q, 1, r.mac.data(), r.mai.data(), &r.n_work, r.U.data(),
                      r.cov);
    EXPECT_EQ(r.n_work, 0);
    EXPECT_EQ(r.mac[0], 3);
    EXPECT_EQ(r.mai[0], 2);
    EXPECT_EQ(r.U[0], 0.0);
    EXPECT_EQ(r.cov[0][0], 0.0);
}

TEST(LeastSquaresBuildersDeathTest, SecondaryBuildersSkipTheFitWhenNoColumnPasses) {
    // A design with an all-zero column: every column fails the check, and
    // z'z has an all-zero row.
    Offset z(4, 2);
    for (int i = 0; i < 4; ++i) {
        z.m[i][0] = 1.0;
        z.m[i][1] = 0.0;
    }
    Offset x(4, 1);
    for (int i = 0; i < 4; ++i) x.m[i][0] = i % 2;
    const double y[4] = {1, 2, 3, 4};
    const double q[1] = {0.9};
    Offset wt(1, 1);
    wt.m[0][0] = 1.0;

    Result sec(1);
    EM_sec_MULTI_naive(4, 2, 1, nullptr, y, x.m, z.m, 1, wt.m, q, 1, sec.mac.data(), sec.mai.data(), &sec.n_work,
                       sec.U.data(), sec.cov);
    EXPECT_EQ(sec.n_work, 0);
    EXPECT_EQ(sec.U[0], 0.0);
    EXPECT_EQ(sec.cov[0][0], 0.0);
    EXPECT_EQ(sec.mac[0], 2);

    // The primary builder fits first and stops on the singular design.
    Result prim(1);
    EXPECT_EXIT(EM_prim_MULTI_naive(4, 2, 1, y, x.m, z.m, 1, wt.m, q, 1, prim.mac.data(), prim.mai.data(),
                                    &prim.n_work, prim.U.data(), prim.cov),
                testing::ExitedWithCode(1), "Sigmatrix in ludcmp");
}

TEST(LeastSquaresBuilders, NoColumnsGiveAnEmptyResult) {
    const Data d = makeData(8, 1);
    Offset z(d.z);
    const std::vector<double> y = toDouble(d.y);
    Offset x(d.n, 1);
    for (int i = 0; i < d.n; ++i) x.m[i][0] = 1.0;
    const double q[1] = {0.5};
    int n_work = -1;
    EM_prim_VTtest_naive_fixThresh2(2, d.n, d.p, 1, y.data(), x.m, z.m, 0, nullptr, nullptr, q, 1, nullptr, nullptr,
                                    &n_work, nullptr, nullptr);
    EXPECT_EQ(n_work, 0);
}

// Shared by the tests of the semiparametric EM and the single-burden tests:
// small pooled data sets and an independent long-double evaluation of the
// observed-data log-likelihood
//   sum over sequenced j of log(qm_j N(y_j; mu_j, s))
//   + sum over non-sequenced records i of c_i log(sum_j qm_j N(y_i; mu_j, s)),
// mu_j = w_j'theta, with the last point weight 1 - (sum of the others), and
// its numerical derivatives.
#ifndef VENTARQUILLO_TESTS_TDS_TEST_MODEL_H
#define VENTARQUILLO_TESTS_TDS_TEST_MODEL_H

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "numerics/offset_arrays.h"
#include "reference_algebra.h"

namespace tds_test {

using namespace reference_algebra;

struct Pooled {
    int n1 = 0;
    std::vector<double> y10;  // sequenced first, then non-sequenced values
    std::vector<int> c10;
    int n10() const { return static_cast<int>(y10.size()); }
    int n() const {
        int s = 0;
        for (int c : c10) s += c;
        return s;
    }
};

// What a multi-score builder returned for its K columns, and what it printed.
struct BuilderOut {
    std::vector<double> U;
    std::vector<std::vector<double>> cov;
    std::vector<int> mac, mai;
    int n_work = -7;
    int count = -7;
    std::string printed;
};

// The output arrays of one builder call, every entry preset to a value that
// no builder writes (12345 for the scores and covariances, -1 for the counts)
// so that an entry left alone shows; one slot when K is 0.  Standard output is
// captured from construction to result().
struct BuilderCall {
    static constexpr double kUnset = 12345.0;

    const int K, slots;
    std::vector<double> U;
    std::vector<int> mac, mai;
    double** cov;
    int n_work = -7;
    int count = -7;

    explicit BuilderCall(int columns)
        : K(columns), slots(columns > 0 ? columns : 1), U(slots, kUnset), mac(slots, -1), mai(slots, -1),
          cov(dmatrix(0, slots - 1, 0, slots - 1)) {
        for (int k = 0; k < slots; ++k)
            for (int l = 0; l < slots; ++l) cov[k][l] = kUnset;
        testing::internal::CaptureStdout();
    }
    ~BuilderCall() { free_dmatrix(cov, 0, slots - 1, 0, slots - 1); }
    BuilderCall(const BuilderCall&) = delete;
    BuilderCall& operator=(const BuilderCall&) = delete;

    // The first K entries of each output; call once, after the builder.
    BuilderOut result() {
        BuilderOut o;
        o.printed = testing::internal::GetCapturedStdout();
        o.n_work = n_work;
        o.count = count;
        o.U.assign(U.begin(), U.begin() + K);
        o.mac.assign(mac.begin(), mac.begin() + K);
        o.mai.assign(mai.begin(), mai.begin() + K);
        o.cov.assign(K, std::vector<double>(K));
        for (int k = 0; k < K; ++k)
            for (int l = 0; l < K; ++l) o.cov[k][l] = cov[k][l];
        return o;
    }
};

// Sequenced subjects only: one record each.
inline Pooled sequenced_only(const std::vector<double>& y) {
    Pooled p;
    p.n1 = static_cast<int>(y.size());
    p.y10 = y;
    p.c10.assign(y.size(), 1);
    return p;
}

// Caller-owned 0-based matrix from rows.
inline double** to_dmatrix(const std::vector<std::vector<double>>& rows) {
    const int r = static_cast<int>(rows.size());
    const int c = r > 0 ? static_cast<int>(rows[0].size()) : 0;
    double** m = dmatrix(0, r - 1, 0, c - 1);
    for (int i = 0; i < r; ++i)
        for (int j = 0; j < c; ++j) m[i][j] = rows[i][j];
    return m;
}
inline void free_rows(double** m, const std::vector<std::vector<double>>& rows) {
    const int r = static_cast<int>(rows.size());
    const int c = r > 0 ? static_cast<int>(rows[0].size()) : 0;
    free_dmatrix(m, 0, r - 1, 0, c - 1);
}

// theta = (coefficients of the design columns [d], s, qm_0..qm_{n1-2}).
inline LD loglik(const Pooled& data, const std::vector<std::vector<double>>& design, const Vec& theta) {
    const int n1 = data.n1;
    const int d = static_cast<int>(design[0].size());
    const LD s = theta[d];
    std::vector<LD> qm(n1), mu(n1);
    LD rest = 1.0L;
    for (int j = 0; j + 1 < n1; ++j) {
        qm[j] = theta[d + 1 + j];
        rest -= qm[j];
    }
    qm[n1 - 1] = rest;
    for (int j = 0; j < n1; ++j) {
        LD m = 0.0L;
        for (int k = 0; k < d; ++k) m += theta[k] * design[j][k];
        mu[j] = m;
    }
    const LD log_norm = -0.5L * std::log(2.0L * 3.14159265358979323846264338327950288L * s);
    LD l = 0.0L;
    for (int j = 0; j < n1; ++j) {
        const LD r = data.y10[j] - mu[j];
        l += std::log(qm[j]) + log_norm - r * r / (2.0L * s);
    }
    for (int i = n1; i < data.n10(); ++i) {
        LD mix = 0.0L;
        for (int j = 0; j < n1; ++j) {
            const LD r = data.y10[i] - mu[j];
            mix += qm[j] * std::exp(-r * r / (2.0L * s));
        }
        l += data.c10[i] * (std::log(mix) + log_norm);
    }
    return l;
}

inline Vec steps_for(const Vec& theta) {
    Vec h(theta.size());
    for (std::size_t k = 0; k < theta.size(); ++k) h[k] = 1e-4L * std::max<LD>(std::fabs(theta[k]), 0.05L);
    return h;
}

// Central-difference gradient.
template <class F>
Vec gradient(F f, const Vec& theta) {
    const Vec h = steps_for(theta);
    Vec g(theta.size());
    for (std::size_t k = 0; k < theta.size(); ++k) {
        Vec tp = theta, tm = theta;
        tp[k] += h[k];
        tm[k] -= h[k];
        g[k] = (f(tp) - f(tm)) / (2.0L * h[k]);
    }
    return g;
}

// Central-difference Hessian.
template <class F>
Mat hessian(F f, const Vec& theta) {
    const std::size_t d = theta.size();
    const Vec h = steps_for(theta);
    Mat H(d, Vec(d));
    const LD f0 = f(theta);
    for (std::size_t a = 0; a < d; ++a) {
        Vec tp = theta, tm = theta;
        tp[a] += h[a];
        tm[a] -= h[a];
        H[a][a] = (f(tp) - 2.0L * f0 + f(tm)) / (h[a] * h[a]);
        for (std::size_t b = a + 1; b < d; ++b) {
            Vec pp = theta, pm = theta, mp = theta, mm = theta;
            pp[a] += h[a], pp[b] += h[b];
            pm[a] += h[a], pm[b] -= h[b];
            mp[a] -= h[a], mp[b] += h[b];
            mm[a] -= h[a], mm[b] -= h[b];
            H[a][b] = H[b][a] = (f(pp) - f(pm) - f(mp) + f(mm)) / (4.0L * h[a] * h[b]);
        }
    }
    return H;
}

// Efficient information of the first k parameters: I_kk - I_kF I_FF^-1 I_Fk.
inline Mat efficient_information(const Mat& info, std::size_t k) {
    const std::size_t d = info.size();
    Mat IFF(d - k, Vec(d - k));
    for (std::size_t a = k; a < d; ++a)
        for (std::size_t b = k; b < d; ++b) IFF[a - k][b - k] = info[a][b];
    const Mat inv = inverse(IFF);
    Mat out(k, Vec(k));
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = 0; b < k; ++b) {
            LD s = info[a][b];
            for (std::size_t f = 0; f < d - k; ++f)
                for (std::size_t g = 0; g < d - k; ++g) s -= info[a][k + f] * inv[f][g] * info[k + g][b];
            out[a][b] = s;
        }
    return out;
}

// The score of the tested columns at a null fit (coefficients eta of the
// covariates z, s, point weights qm) and their efficient information, by
// numerical derivatives of the observed-data log-likelihood in (effects of
// the tested columns, covariate effects, s, the first n1 - 1 point weights).
struct NumericalScore {
    Vec grad;  // every parameter; the tested columns first
    Mat eff;   // the tested columns
};
inline NumericalScore numerical_score(const Pooled& data, const std::vector<std::vector<double>>& tested,
                                      const std::vector<std::vector<double>>& z, const std::vector<double>& eta,
                                      double s, const std::vector<double>& qm) {
    const std::size_t m = tested[0].size();
    std::vector<std::vector<double>> design(static_cast<std::size_t>(data.n1));
    for (std::size_t j = 0; j < design.size(); ++j) {
        design[j] = tested[j];
        design[j].insert(design[j].end(), z[j].begin(), z[j].end());
    }
    Vec theta(m, 0.0L);
    theta.insert(theta.end(), eta.begin(), eta.end());
    theta.push_back(s);
    for (int j = 0; j + 1 < data.n1; ++j) theta.push_back(qm[static_cast<std::size_t>(j)]);
    const auto l = [&](const Vec& t) { return loglik(data, design, t); };
    NumericalScore r;
    r.grad = gradient(l, theta);
    Mat info = hessian(l, theta);
    for (auto& row : info)
        for (auto& v : row) v = -v;
    r.eff = efficient_information(info, m);
    return r;
}

// Eight sequenced subjects with an intercept and one covariate, and four
// non-sequenced records standing for seven subjects.
inline Pooled small_pool() {
    Pooled p;
    p.n1 = 8;
    p.y10 = {0.31, 1.12, -0.45, 2.05, 0.87, -1.30, 1.61, 0.12, -0.9, 0.4, 1.3, 2.6};
    p.c10 = {1, 1, 1, 1, 1, 1, 1, 1, 2, 1, 3, 1};
    return p;
}
inline std::vector<std::vector<double>> small_covariates() {
    return {{1.0, -1.2}, {1.0, 0.3}, {1.0, -0.8}, {1.0, 1.5}, {1.0, 0.1}, {1.0, -1.6}, {1.0, 0.9}, {1.0, 0.4}};
}
// Two burden-like columns: counts of minor alleles and a dosage.
inline std::vector<std::vector<double>> small_burdens() {
    return {{0, 0.1}, {1, 0.0}, {0, 0.0}, {2, 1.2}, {1, 0.3}, {0, 0.0}, {1, 0.9}, {0, 0.2}};
}

}  // namespace tds_test

#endif

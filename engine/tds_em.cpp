#include "engine/tds_em.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "engine/em_kernels.h"
#include "engine/louis_information.h"
#include "engine/tds_em_detail.h"
#include "numerics/console.h"
#include "numerics/linear_algebra.h"
#include "numerics/offset_arrays.h"

// The EM fit of the semiparametric model (start values, E-step, the two
// M-steps, the stopping rule), the efficient scores of tested columns against
// a null fit and the full fit's covariance; their inner loops are in
// em_kernels.cpp, Louis' information in louis_information.cpp.  Sums run over
// records, points and coefficients by increasing index, and products are
// taken left to right, whatever the loop nesting.

namespace {

// The working arrays of one EM fit.  post[j][i] is the weight of
// non-sequenced record i on point j (phi transposed, so that every per-point
// sum runs over contiguous memory); qm_0 and eta_0 hold the previous iterate.
struct EmScratch {
    int n1, n0, d;
    const double* y0;  // non-sequenced values
    const int* c0;     // and their counts
    std::vector<double> post_buffer;  // n1 x n0, row j the weights on point j
    std::vector<double*> post_rows;
    double** post;
    double* fm_n0;  // per non-sequenced record, the sum of its E-step terms
    double* count0;  // c0 as doubles
    double* terms;   // E-step: the terms of one point, record by record
    double* qm_0;
    double* eta_0;
    double* a;  // M-step: 1 + sum_i phi per point
    double* b;  // M-step: y_j + sum_i phi*y_i per point
    double** inv_A;
    double* B;

    EmScratch(int n10, int n1_, int d_, const int* c10, const double* y10)
        : n1(n1_), n0(n10 - n1_), d(d_), y0(y10 + n1_), c0(c10 + n1_) {
        post_buffer.assign(static_cast<std::size_t>(n1) * n0, 0.0);
        post_rows.resize(n1);
        for (int j = 0; j < n1; ++j) post_rows[j] = post_buffer.data() + static_cast<std::size_t>(j) * n0;
        post = post_rows.data();
        fm_n0 = dvector(0, n0 - 1);
        count0 = dvector(0, n0 - 1);
        terms = dvector(0, n0 - 1);
        for (int i = 0; i < n0; ++i) count0[i] = c0[i];
        qm_0 = dvector(0, n1 - 1);
        eta_0 = dvector(0, d - 1);
        a = dvector(0, n1 - 1);
        b = dvector(0, n1 - 1);
        inv_A = dmatrix(1, d, 1, d);
        B = dvector(1, d);
    }
    ~EmScratch() {
        free_dvector(B, 1, d);
        free_dmatrix(inv_A, 1, d, 1, d);
        free_dvector(b, 0, n1 - 1);
        free_dvector(a, 0, n1 - 1);
        free_dvector(eta_0, 0, d - 1);
        free_dvector(qm_0, 0, n1 - 1);
        free_dvector(terms, 0, n0 - 1);
        free_dvector(count0, 0, n0 - 1);
        free_dvector(fm_n0, 0, n0 - 1);
    }
    EmScratch(const EmScratch&) = delete;
    EmScratch& operator=(const EmScratch&) = delete;

    EmArrays arrays() const { return EmArrays{n1, n0, y0, c0, count0, post, fm_n0, terms, a, b}; }
};

// Start values: equal point weights, eta = 0 and the count-weighted variance
// of all values (divisor the number of subjects), which is returned.  (The
// memberships of the sequenced records are the identity throughout and are
// not stored.)
double start_values(int n10, int n1, int d, const int* c10, const double* y10, double** w, double* eta, double* qm,
                    double* etaW, EmScratch& x) {
    for (int j = 0; j < n1; ++j) qm[j] = x.qm_0[j] = 1.0 / n1;
    long long count = 0;
    for (int i = 0; i < n10; ++i) count += c10[i];
    const double C = static_cast<double>(count);
    double mean = 0.0;
    for (int i = 0; i < n10; ++i) mean += c10[i] * y10[i];
    mean = mean / C;
    double var = 0.0;
    for (int i = 0; i < n10; ++i) {
        const double dl = y10[i] - mean;
        var += c10[i] * (dl * dl);
    }
    for (int k = 0; k < d; ++k) eta[k] = x.eta_0[k] = 0.0;
    for (int j = 0; j < n1; ++j) {
        double fit = 0.0;
        for (int k = 0; k < d; ++k) fit += w[j][k] * eta[k];
        etaW[j] = fit;
    }
    return var / C;
}

// M-step, coefficients: weighted least squares of b/a on the design rows with
// weights a, eta = (sum_j a_j w_j w_j')^-1 (sum_j b_j w_j).
void m_step_coefficients(int n1, int d, double** w, double* eta, EmScratch& x) {
    tds_detail::solve_normal_equations(n1, d, w, x.a, x.b, x.inv_A, x.B, eta);
}

// M-step, variance: the new fitted values etaW and the residual sum of
// squares over the sequenced records and the weighted non-sequenced ones,
// one running sum over the points and, within a point, its records.
double residual_sum_of_squares(int n1, int d, const double* y10, double** w, const double* eta, double* etaW,
                               const EmScratch& x) {
    double rss = 0.0;
    for (int j = 0; j < n1; ++j) {
        double fit = 0.0;
        for (int k = 0; k < d; ++k) fit += w[j][k] * eta[k];
        etaW[j] = fit;
        const double dl = y10[j] - fit;
        rss += dl * dl;
        rss = add_weighted_squares(rss, x.n0, fit, x.y0, x.post[j]);
    }
    return rss;
}

// Summed absolute change of sigma11, eta and qm since the previous iterate,
// with sigma11 and eta measured in units of `scale` (see trait_scale): a
// change of eta by scale counts as 1, one of sigma11 by scale^2 as 1 (at
// scale 1 the divisions are exact: the plain absolute change).
double parameter_change(int n1, int d, double s_0, double s, const double* eta, const double* qm,
                        const EmScratch& x, double scale) {
    double diff = std::fabs(s_0 - s) / (scale * scale);
    for (int k = 0; k < d; ++k) diff += std::fabs(x.eta_0[k] - eta[k]) / scale;
    for (int j = 0; j < n1; ++j) diff += std::fabs(x.qm_0[j] - qm[j]);
    return diff;
}

}  // namespace

namespace tds_detail {

double trait_scale(int n10, const int* c10, const double* y10) {
    double count = 0.0, sum = 0.0;
    for (int i = 0; i < n10; ++i) {
        count += c10[i];
        sum += c10[i] * y10[i];
    }
    if (!(count > 0.0)) return 1.0;
    const double mean = sum / count;
    double ss = 0.0;
    for (int i = 0; i < n10; ++i) {
        const double dev = y10[i] - mean;
        ss += c10[i] * (dev * dev);
    }
    const double sd = std::sqrt(ss / count);
    return sd > 0.0 && sd < 1.0 ? sd : 1.0;
}

void solve_normal_equations(int rows, int k, double** W, const double* weight, const double* rhs, double** inv_A,
                            double* B, double* est) {
    for (int r = 1; r <= k; ++r) {
        B[r] = 0.0;
        for (int c = 1; c <= k; ++c) inv_A[r][c] = 0.0;
    }
    for (int j = 0; j < rows; ++j) {
        const double* wj = W[j];
        for (int r = 0; r < k; ++r) {
            const double awr = weight != nullptr ? weight[j] * wj[r] : wj[r];
            for (int c = 0; c < k; ++c) inv_A[r + 1][c + 1] += awr * wj[c];
            B[r + 1] += rhs[j] * wj[r];
        }
    }
    invv(inv_A, k);
    for (int r = 0; r < k; ++r) {
        double e = 0.0;
        for (int c = 0; c < k; ++c) e += inv_A[r + 1][c + 1] * B[c + 1];
        est[r] = e;
    }
}

void report_nonconvergence() { std::fprintf(consoleOut(), "\nEM_quan Warning: EM iteration NOT converge!\n"); }

EmFit fit_em(int n, int n10, int n1, int d, const int* c10, const double* y10, double** w, double tolerance,
             int max_iterations) {
    EmFit f;
    f.n1 = n1;
    f.n0 = n10 - n1;
    f.d = d;
    f.eta.assign(std::max(d, 1), 0.0);
    f.qm.assign(n1, 0.0);
    f.etaW.assign(n1, 0.0);
    double* eta = f.eta.data();
    double* qm = f.qm.data();
    double* etaW = f.etaW.data();

    EmScratch x(n10, n1, d, c10, y10);
    const double scale = trait_scale(n10, c10, y10);
    double s = start_values(n10, n1, d, c10, y10, w, eta, qm, etaW, x);
    double s_0 = s;
    const double dn = n;

    for (int t = 0; t < max_iterations; ++t) {
        e_step_and_point_weights(s, dn, y10, qm, etaW, x.arrays());
        m_step_coefficients(n1, d, w, eta, x);
        s = residual_sum_of_squares(n1, d, y10, w, eta, etaW, x) / dn;

        // Change measure and stopping rule.
        const double diff = parameter_change(n1, d, s_0, s, eta, qm, x, scale);
        if (tolerance > diff) {
            f.EMconvergeN = t + 1;
            break;
        }
        for (int k = 0; k < d; ++k) x.eta_0[k] = eta[k];
        for (int j = 0; j < n1; ++j) x.qm_0[j] = qm[j];
        if (t == max_iterations - 1) {
            report_nonconvergence();
            f.warned = true;
            f.EMconvergeN = max_iterations;
            break;
        }
        s_0 = s;
    }

    f.sigma11 = s;
    f.post = std::move(x.post_buffer);
    return f;
}

bool fit_em_into_arrays(int n, int n10, int n1, int d, const int* c10, const double* y10, double** w, double* eta,
                        double* sigma11, double* qm, double* etaW, double** phi, int* EMconvergeN, double tolerance,
                        int max_iterations) {
    const EmFit f = fit_em(n, n10, n1, d, c10, y10, w, tolerance, max_iterations);
    for (int k = 0; k < d; ++k) eta[k] = f.eta[k];
    for (int j = 0; j < n1; ++j) {
        qm[j] = f.qm[j];
        etaW[j] = f.etaW[j];
    }
    *sigma11 = f.sigma11;
    *EMconvergeN = f.EMconvergeN;
    for (int i = 0; i < n1; ++i)
        for (int j = 0; j < n1; ++j) phi[i][j] = (i == j) ? 1.0 : 0.0;
    for (int i = 0; i < f.n0; ++i)
        for (int j = 0; j < n1; ++j) phi[n1 + i][j] = f.post[static_cast<std::size_t>(j) * f.n0 + i];
    return f.warned;
}

std::vector<double> membership_from_phi(int n10, int n1, double** phi) {
    const int n0 = n10 - n1;
    std::vector<double> post(static_cast<std::size_t>(n1) * n0);
    for (int i = 0; i < n0; ++i)
        for (int j = 0; j < n1; ++j) post[static_cast<std::size_t>(j) * n0 + i] = phi[n1 + i][j];
    return post;
}

NullInformation::NullInformation(const RecordsView& records, const FitView& fit, double** z, int col0, int p)
    : info_(records, fit, true), nuisance_(info_.block(z, col0, p, true)), kN_(p + 1) {
    std::vector<double> S(static_cast<std::size_t>(kN_) * kN_);
    info_.schur(nuisance_, nuisance_, S.data());
    double** inv = dmatrix(1, kN_, 1, kN_);
    for (int f = 0; f < kN_; ++f)
        for (int g = 0; g < kN_; ++g) inv[f + 1][g + 1] = S[static_cast<std::size_t>(f) * kN_ + g];
    invv(inv, kN_);
    inverse_.resize(static_cast<std::size_t>(kN_) * kN_);
    for (int f = 0; f < kN_; ++f)
        for (int g = 0; g < kN_; ++g) inverse_[static_cast<std::size_t>(f) * kN_ + g] = inv[f + 1][g + 1];
    free_dmatrix(inv, 1, kN_, 1, kN_);
}

void NullInformation::efficient(double** SZ, int m1, double* U, double** cov) const {
    const FitInformation::Block tested = info_.block(SZ, 0, m1, false);
    info_.score(tested, U);
    std::vector<double> STT(static_cast<std::size_t>(m1) * m1), STN(static_cast<std::size_t>(m1) * kN_);
    info_.schur(tested, tested, STT.data());
    info_.schur(tested, nuisance_, STN.data());
    // cov = S_TT - S_TN S_NN^-1 S_NT, each entry one running sum over f
    // (outer) and g (inner).
    for (int d = 0; d < m1; ++d) {
        const double* rd = STN.data() + static_cast<std::size_t>(d) * kN_;
        for (int e = d; e < m1; ++e) {
            const double* re = STN.data() + static_cast<std::size_t>(e) * kN_;
            double sum = 0.0;
            for (int f = 0; f < kN_; ++f)
                for (int g = 0; g < kN_; ++g) sum += (rd[f] * inverse_[static_cast<std::size_t>(f) * kN_ + g]) * re[g];
            cov[d][e] = STT[static_cast<std::size_t>(d) * m1 + e] - sum;
            cov[e][d] = cov[d][e];
        }
    }
}

double** burden_design(int n1, int p, const double* g, double** z) {
    double** GZ = dmatrix(0, n1 - 1, 0, p);
    for (int j = 0; j < n1; ++j) {
        GZ[j][0] = g[j];
        for (int k = 0; k < p; ++k) GZ[j][k + 1] = z[j][k];
    }
    return GZ;
}

double burden_score(const RecordsView& rec, const EmFit& fit, const double* g) {
    const int n1 = rec.n1;
    const int n0 = fit.n0;
    double sum = 0.0;
    // A sequenced record has membership 1 on its own point and no other term.
    for (int i = 0; i < n1; ++i) sum += (rec.y10[i] - fit.etaW[i]) * g[i];
    for (int i = 0; i < n0; ++i) {
        const double y = rec.y10[n1 + i];
        for (int j = 0; j < n1; ++j)
            sum += fit.post[static_cast<std::size_t>(j) * n0 + i] * (y - fit.etaW[j]) * g[j];
    }
    return sum / fit.sigma11;
}

void em_full_fit(int n, int n10, int n1, int p, const int* c10, const double* y10, const double* g,
                 double** z, double* prim_est, double** prim_cov, int* convergeN, double tolerance,
                 int max_iterations) {
    const int m = p + 1;
    double** GZ = burden_design(n1, p, g, z);
    const EmFit fit = fit_em(n, n10, n1, m, c10, y10, GZ, tolerance, max_iterations);
    *convergeN = fit.EMconvergeN;

    // The reported block of the inverse information is the inverse of the
    // information of (burden, covariates, sigma11) with the points profiled out.
    const RecordsView rec{n, n10, n1, c10, y10};
    const int k = p + 2;
    std::vector<double> S(static_cast<std::size_t>(k) * k);
    {
        const FitInformation info(rec, fit.view(), false);
        const FitInformation::Block all = info.block(GZ, 0, m, true);
        info.schur(all, all, S.data());
    }
    double** inv = dmatrix(1, k, 1, k);
    for (int a = 0; a < k; ++a)
        for (int b = 0; b < k; ++b) inv[a + 1][b + 1] = S[static_cast<std::size_t>(a) * k + b];
    invv(inv, k);
    for (int a = 0; a < k; ++a)
        for (int b = 0; b < k; ++b) prim_cov[a][b] = inv[a + 1][b + 1];
    free_dmatrix(inv, 1, k, 1, k);

    for (int c = 0; c <= p; ++c) prim_est[c] = fit.eta[c];
    prim_est[p + 1] = fit.sigma11;
    free_dmatrix(GZ, 0, n1 - 1, 0, p);
}

}  // namespace tds_detail

// ---------------------------------------------------------------------------
// Public routines
// ---------------------------------------------------------------------------

void EM_quan(int n, int n10, int n1, int d, int* c10, double* y10, double** w, double* eta,
             double* sigma11, double* qm, double* etaW, double** phi, int* EMconvergeN) {
    tds_detail::fit_em_into_arrays(n, n10, n1, d, c10, y10, w, eta, sigma11, qm, etaW, phi, EMconvergeN,
                                   tds_detail::kTolerance, tds_detail::kMaxIterations);
}

void getUCOV_prim(int n, int n10, int n1, int m, int m1, double sigma11, double** phi, double* eta,
                  double* etaW, double* qm, double* y10, int* c10, double** SZ, double* U, double** cov) {
    const std::vector<double> post = tds_detail::membership_from_phi(n10, n1, phi);
    const tds_detail::RecordsView rec{n, n10, n1, c10, y10};
    const tds_detail::FitView fit{sigma11, qm, etaW, post.data(), eta};
    const tds_detail::NullInformation null(rec, fit, SZ, m1, m - m1);
    null.efficient(SZ, m1, U, cov);
}

void EM_quan2_time(int n, int n10, int n1, int p, int* c10, double* y10, double* g, double** z,
                   double* prim_est, double** prim_cov, int* convergeN) {
    tds_detail::em_full_fit(n, n10, n1, p, c10, y10, g, z, prim_est, prim_cov, convergeN,
                            tds_detail::kTolerance, tds_detail::kMaxIterations);
}

#include "engine/library_extras.h"

#include <cmath>
#include <cstdio>

#include "engine/single_burden_mle.h"
#include "engine/secondary_fits.h"
#include "engine/tds_em_detail.h"
#include "numerics/console.h"
#include "numerics/multivariate_normal.h"
#include "numerics/offset_arrays.h"

// ---------------------------------------------------------------- primary trait

void EM_quan2_score_Q1(int n, int n10, int n1, int p, int* c10, double* y10, double* g, double** z,
                       double* /*prim_est*/, double** /*prim_cov*/, double* T1_num, double* T1_den, double* T1,
                       int* convergeN) {
    double V = 0.0;
    scoreTest_MLE_Prim(n, n10, n1, p, c10, y10, g, z, T1_num, &V, T1, convergeN);
    *T1_den = std::sqrt(V);
    *T1 = *T1_num / *T1_den;
}

// ---------------------------------------------------------------- secondary trait

namespace {

// C = blockdiag(prim_cov[0..np-1], Omega2[0..ns-1]) of order np + ns, returned
// for free_dmatrix(C, 0, np + ns - 1, 0, np + ns - 1); A of the same order is
// cleared and given ones on the primary diagonal (the primary parameters kept).
double** blockDiagonal(int np, int ns, double** prim_cov, double** Omega2, double** A) {
    const int N = np + ns;
    double** C = dmatrix(0, N - 1, 0, N - 1);
    for (int r = 0; r < N; ++r)
        for (int c = 0; c < N; ++c) {
            C[r][c] = 0.0;
            A[r][c] = 0.0;
        }
    for (int r = 0; r < np; ++r)
        for (int c = 0; c < np; ++c) C[r][c] = prim_cov[r][c];
    for (int r = 0; r < ns; ++r)
        for (int c = 0; c < ns; ++c) C[np + r][np + c] = Omega2[r][c];

    for (int r = 0; r < np; ++r) A[r][r] = 1.0;
    return C;
}

}  // namespace

void MLE_Sec_v2_getOmega(int p1, int p2, double** prim_cov, double** Omega2, double* prim_est,
                         double sec_est_alpha, double** Omega, double** A) {
    const int np = p1 + 2;    // primary block: burden, p1 covariates, sigma11
    const int ns = p2 + 3;    // secondary block
    const int N = np + ns;    // p1 + p2 + 5
    const int sig = p1 + 1;   // column of sigma11
    const int first = p1 + 2; // column of the first secondary entry

    double** C = blockDiagonal(np, ns, prim_cov, Omega2, A);
    for (int r = np; r < np + p2; ++r) A[r][r + 1] = 1.0;
    const int row_a = p1 + p2 + 3;
    A[row_a][sig] = sec_est_alpha;
    A[row_a][first] = prim_est[p1 + 1];
    const int row_b = p1 + p2 + 4;
    A[row_b][sig] = sec_est_alpha * sec_est_alpha;
    A[row_b][first] = 2.0 * sec_est_alpha * prim_est[p1 + 1];
    A[row_b][row_b] = 1.0;

    tds_detail::sandwich_product(N, A, C, Omega);
    free_dmatrix(C, 0, N - 1, 0, N - 1);
}

double EM_sec_v2_cov(int n2, int p1, int p2, double* yw, double** z1, double** z2, double** inv_A, double* S0,
                     double* S1, double* S2, double R_sigma22_tilt, double R_alpha, double** Omega1) {
    double* t1 = dvector(0, p2);
    double* t2 = dvector(0, p2);
    double* B1 = dvector(0, p1);
    double* B2 = dvector(0, p1);
    tds_detail::column_moments(n2, p1, p2, yw, z1, z2, S0, S1, t1, B1);
    tds_detail::column_moments(n2, p1, p2, yw, z1, z2, S0, S2, t2, B2);
    const double c =
        tds_detail::covariance_from_moments(n2, p1, p2, inv_A, Omega1, S1, S2, t1, t2, B1, B2, R_sigma22_tilt, R_alpha);
    free_dvector(B2, 0, p1);
    free_dvector(B1, 0, p1);
    free_dvector(t2, 0, p2);
    free_dvector(t1, 0, p2);
    return c;
}

namespace {

// Omega = A C A' with C = blockdiag(prim_cov, Omega2) of order 2p+5 and the
// transformation A described in the header; marginal_burden adds the row
// that carries alpha times the primary burden effect into the secondary one.
void transformedCovariance(int p, double** prim_cov, double** Omega2, double* prim_est, double alpha,
                           double** Omega, double** A, bool marginal_burden) {
    const int np = p + 2;   // primary: burden, p covariates, sigma11
    const int ns = p + 3;   // secondary: alpha, burden, p covariates, sigma22
    const int N = np + ns;  // 2p + 5
    const int sig = p + 1;  // primary sigma11
    const int a0 = p + 2;   // secondary alpha

    double** C = blockDiagonal(np, ns, prim_cov, Omega2, A);
    for (int r = p + 2; r <= 2 * p + 2; ++r) A[r][r + 1] = 1.0;  // secondary entries 1..p+1
    if (marginal_burden) {
        A[p + 2][0] = alpha;
        A[p + 2][a0] = prim_est[0];
    }
    for (int k = 0; k < p; ++k) {
        A[p + 3 + k][k + 1] = alpha;
        A[p + 3 + k][a0] = prim_est[k + 1];
    }
    A[2 * p + 3][sig] = alpha;
    A[2 * p + 3][a0] = prim_est[p + 1];
    A[2 * p + 4][sig] = alpha * alpha;
    A[2 * p + 4][a0] = 2.0 * alpha * prim_est[p + 1];
    A[2 * p + 4][2 * p + 4] = 1.0;

    tds_detail::sandwich_product(N, A, C, Omega);
    free_dmatrix(C, 0, N - 1, 0, N - 1);
}

}  // namespace

void getOmega2(int p, double** prim_cov, double** Omega2, double* prim_est, double sec_est_alpha, double** Omega,
               double** A) {
    transformedCovariance(p, prim_cov, Omega2, prim_est, sec_est_alpha, Omega, A, false);
}

void getOmega(int p, double** prim_cov, double** Omega2, double* prim_est, double sec_est_alpha, double** Omega,
              double** A) {
    transformedCovariance(p, prim_cov, Omega2, prim_est, sec_est_alpha, Omega, A, true);
}

// ---------------------------------------------------------------- summaries

double var(int n, int* freq, double* x) {
    double total = 0.0;
    double weighted_sum = 0.0;
    for (int i = 0; i < n; ++i) {
        total += freq[i];
        weighted_sum += freq[i] * x[i];
    }
    const double mean = weighted_sum / total;
    double ss = 0.0;
    for (int i = 0; i < n; ++i) ss += freq[i] * (x[i] - mean) * (x[i] - mean);
    return ss / total;
}

// e[k][i]: column k adjusted for the covariates (its residual on z), times
// centerY[i].  A score has mean zero under the null, so e is not centred:
//   Sigma[k+1][l+1] = sum_i e[k][i] e[l][i] / sqrt(sum_i e[k][i]^2 sum_i e[l][i]^2),
// with 1.0 on the diagonal and 0.0 beside a column without variation.
void getSigma(int N_WT, int N, int D, double** S, double** z, double* centerY, double** Iz, double** SZ,
              double** Sigma) {
    if (N_WT < 1) return;
    double** e = dmatrix(0, N_WT - 1, 0, N > 0 ? N - 1 : 0);
    double* proj = dvector(0, D > 0 ? D - 1 : 0);
    for (int k = 0; k < N_WT; ++k) {
        for (int d = 0; d < D; ++d) {
            proj[d] = 0.0;
            for (int c = 0; c < D; ++c) proj[d] += SZ[k][c] * Iz[c][d];
        }
        for (int i = 0; i < N; ++i) {
            double fitted = 0.0;
            for (int d = 0; d < D; ++d) fitted += proj[d] * z[i][d];
            e[k][i] = (S[k][i] - fitted) * centerY[i];
        }
    }
    for (int k = 0; k < N_WT; ++k) {
        for (int l = k; l < N_WT; ++l) {
            double skl = 0.0, skk = 0.0, sll = 0.0;
            for (int i = 0; i < N; ++i) {
                skl += e[k][i] * e[l][i];
                skk += e[k][i] * e[k][i];
                sll += e[l][i] * e[l][i];
            }
            double r = 0.0;
            if (k == l) {
                r = 1.0;
            } else if (skk > 0.0 && sll > 0.0) {
                r = skl / std::sqrt(skk * sll);
            }
            Sigma[k + 1][l + 1] = r;
            Sigma[l + 1][k + 1] = r;
        }
    }
    free_dvector(proj, 0, D > 0 ? D - 1 : 0);
    free_dmatrix(e, 0, N_WT - 1, 0, N > 0 ? N - 1 : 0);
}

// ---------------------------------------------------------------- stop

[[noreturn]] void kill_DRENNIK() {
    std::fprintf(consoleOut(), "\nDRENNIK was stopped due to error(s) listed above.\n\n");
    stopRun();
}

// ---------------------------------------------------------------- integration

// Crude Monte Carlo with antithetic pairs, the companion of the adaptive
// cubature; it draws from uni_, the uniform generator of the multivariate
// normal routines.

namespace {
constexpr int kMaxDim = 100;  // size of the point buffer in rcrude_
}  // namespace

void rcrude_(int* ndim, int* maxpts, adapt_integrand functn, double* absest, double* finest,
             int* ir) {
    // Inverse variance of the combined estimate so far, kept per thread from
    // one call to the next.
    static thread_local double varest = 0;
    double x[kMaxDim];
    if (*ir < 1) {
        varest = 0;
        *finest = 0;
    }
    const int n = *ndim;
    const int npts = *maxpts / 2;
    if (n < 1 || n > kMaxDim || npts < 1) {
        // Nothing can be drawn: the previous combined estimate stands.
        *absest = varest > 0 ? 3 * std::sqrt(1 / varest) : HUGE_VAL;
        return;
    }
    // Running mean of the pair averages and running variance of that mean.
    double finval = 0;
    double varsqr = 0;
    for (int m = 1; m <= npts; ++m) {
        for (int k = 0; k < n; ++k) x[k] = uni_();
        double fun = functn(ndim, x);
        for (int k = 0; k < n; ++k) x[k] = 1 - x[k];
        fun = (functn(ndim, x) + fun) / 2;
        const double findif = (fun - finval) / m;
        varsqr = (m - 2) * varsqr / m + findif * findif;
        finval = finval + findif;
    }
    // Inverse-variance weighting with the previous estimate.
    const double varprd = varest * varsqr;
    *finest = *finest + (finval - *finest) / (1 + varprd);
    if (varsqr > 0) varest = (1 + varprd) / varsqr;
    *absest = 3 * std::sqrt(varsqr / (1 + varprd));
}

#include "engine/single_burden_mle.h"

#include <cmath>

#include "engine/secondary_fits.h"
#include "engine/tds_em.h"
#include "engine/tds_em_detail.h"
#include "numerics/linear_algebra.h"
#include "numerics/offset_arrays.h"

namespace {

// Null fit on z, then the efficient score and variance of the burden g: the
// one-column case of getUCOV_prim with the design (g, z).
void primary_score(int n, int n10, int n1, int p, int* c10, double* y10, double* g, double** z, double* U,
                   double* V, int* convergeN) {
    const tds_detail::EmFit fit = tds_detail::fit_em(n, n10, n1, p, c10, y10, z, tds_detail::kTolerance,
                                                     tds_detail::kMaxIterations);
    *convergeN = fit.EMconvergeN;
    const tds_detail::RecordsView rec{n, n10, n1, c10, y10};
    const tds_detail::NullInformation null(rec, fit.view(), z, 0, p);
    double** GZ = tds_detail::burden_design(n1, p, g, z);
    double U_eff[1];
    double** cov = dmatrix(0, 0, 0, 0);
    null.efficient(GZ, 1, U_eff, cov);
    *V = cov[0][0];
    *U = tds_detail::burden_score(rec, fit, g);
    free_dmatrix(cov, 0, 0, 0, 0);
    free_dmatrix(GZ, 0, n1 - 1, 0, p);
}

}  // namespace

void scoreTest_MLE_Prim(int n, int n10, int n1, int p, int* c10, double* y10, double* g, double** z,
                        double* T1_U, double* T1_V, double* T1, int* convergeN1) {
    primary_score(n, n10, n1, p, c10, y10, g, z, T1_U, T1_V, convergeN1);
    *T1 = *T1_U / std::sqrt(*T1_V);
}

void MLE_Sec_v2_Jacobian(int n2, int p2, double** inv_A, double* sec_est, double* yw, double* y2, double* x2,
                         double** z2, double* input, double* output) {
    const int k = p2 + 2;
    const double alpha = sec_est[0];
    const double beta2 = sec_est[1];
    double s_y = 0.0;
    double s_yw = 0.0;
    double s_x = 0.0;
    for (int i = 0; i < n2; ++i) {
        s_y += input[i] * y2[i];
        s_yw += input[i] * yw[i];
        s_x += input[i] * x2[i];
    }
    double* t = dvector(0, k - 1);
    t[0] = -s_y + 2.0 * alpha * s_yw + beta2 * s_x;
    t[1] = alpha * s_x;
    for (int c = 0; c < p2; ++c) {
        double s_z = 0.0;
        for (int i = 0; i < n2; ++i) s_z += input[i] * z2[i][c];
        t[0] += sec_est[c + 2] * s_z;
        t[c + 2] = alpha * s_z;
    }
    for (int d = 0; d < k; ++d) {
        double sum = 0.0;
        for (int e = 0; e < k; ++e) sum += inv_A[d + 1][e + 1] * t[e];
        output[d] = sum;
    }
    free_dvector(t, 0, k - 1);
}

namespace {

// J[d][c] (k by p1+1): the derivative of the secondary estimates sec_est[d]
// in the primary coefficient of design column c (the burden x1, then the
// columns of z1), one MLE_Sec_v2_Jacobian column each.
void primary_jacobian(int n1, int n2, int p1, int p2, double** inv_A, double* sec_est, double* yw, double* y2,
                      double* x1, double** z1, double* x2, double** z2, double** J) {
    const int k = p2 + 2;
    double* column = dvector(0, k - 1);
    double* z1_d = dvector(0, n1 - 1);
    MLE_Sec_v2_Jacobian(n2, p2, inv_A, sec_est, yw, y2, x2, z2, x1, column);
    for (int d = 0; d < k; ++d) J[d][0] = column[d];
    for (int c = 0; c < p1; ++c) {
        for (int i = 0; i < n1; ++i) z1_d[i] = z1[i][c];
        MLE_Sec_v2_Jacobian(n2, p2, inv_A, sec_est, yw, y2, x2, z2, z1_d, column);
        for (int d = 0; d < k; ++d) J[d][c + 1] = column[d];
    }
    free_dvector(z1_d, 0, n1 - 1);
    free_dvector(column, 0, k - 1);
}

// Secondary model y2 on (yw, x2, z2): *beta2_est the burden effect and
// *beta2_se its standard error, the least-squares covariance plus the
// delta-method term J P J' for the estimated primary coefficients (P their
// covariance block).  Returns the burden entry of the inverse normal matrix.
double secondary_burden_effect(int n1, int n2, int p1, int p2, double* yw, double* y2, double* x1, double** z1,
                               double* x2, double** z2, double** prim_cov, double* beta2_est, double* beta2_se) {
    const int kp = p1 + 1;  // primary coefficients: burden, then p1 covariates
    const int k = p2 + 2;   // secondary: yw, burden, p2 covariates
    double** W = dmatrix(0, n2 - 1, 0, k - 1);
    for (int i = 0; i < n2; ++i) {
        W[i][0] = yw[i];
        W[i][1] = x2[i];
        for (int c = 0; c < p2; ++c) W[i][c + 2] = z2[i][c];
    }
    double** inv_A = dmatrix(1, k, 1, k);
    double* sec_est = dvector(0, k - 1);
    const double sigma22_tilt = tds_detail::least_squares_fit(n2, k, W, y2, inv_A, sec_est, nullptr);
    double** Omega2 = dmatrix(0, k - 1, 0, k - 1);
    for (int d = 0; d < k; ++d)
        for (int e = 0; e < k; ++e) Omega2[d][e] = sigma22_tilt * inv_A[d + 1][e + 1];

    double** J = dmatrix(0, k - 1, 0, kp - 1);
    primary_jacobian(n1, n2, p1, p2, inv_A, sec_est, yw, y2, x1, z1, x2, z2, J);
    for (int d = 0; d < k; ++d) {
        for (int e = d; e < k; ++e) {
            double sum = 0.0;
            for (int a = 0; a < kp; ++a)
                for (int b = 0; b < kp; ++b) sum += J[d][b] * prim_cov[b][a] * J[e][a];
            Omega2[d][e] += sum;
            Omega2[e][d] = Omega2[d][e];
        }
    }
    *beta2_est = sec_est[1];
    *beta2_se = std::sqrt(Omega2[1][1]);
    const double burden_inverse = inv_A[2][2];

    free_dmatrix(J, 0, k - 1, 0, kp - 1);
    free_dmatrix(Omega2, 0, k - 1, 0, k - 1);
    free_dvector(sec_est, 0, k - 1);
    free_dmatrix(inv_A, 1, k, 1, k);
    free_dmatrix(W, 0, n2 - 1, 0, k - 1);
    return burden_inverse;
}

// Score test of the burden x2 under the null secondary model on (yw, z2):
// the least-squares score r'x2 / sigma~2, and its variance, the residual
// information of the burden (from burden_inverse, the burden entry of the full
// model's inverse normal matrix) plus the correction for the estimated primary
// coefficients, alpha^2 v'Pv / sigma~4 with v = (x1'x2, z1'x2).  Returns
// false, with the three results not a number, when y2 has no residual
// variation under the null model (no_residual_variation).
bool secondary_score_test(int n2, int p1, int p2, double* yw, double* y2, double* x1, double** z1, double* x2,
                          double** z2, double** prim_cov, double burden_inverse, double* T2_U, double* T2_V,
                          double* T2) {
    const int kp = p1 + 1;
    const int k0 = p2 + 1;  // null: yw, p2 covariates
    double** inv_A2 = dmatrix(1, k0, 1, k0);
    double* R_resid = dvector(0, n2 - 1);
    double R_alpha = 0.0;
    const double R_sigma22_tilt = tds_detail::null_secondary_fit(n2, p2, yw, z2, y2, inv_A2, R_resid, &R_alpha);
    if (tds_detail::no_residual_variation(n2, y2, R_sigma22_tilt)) {
        *T2_U = *T2_V = *T2 = std::nan("");
        free_dvector(R_resid, 0, n2 - 1);
        free_dmatrix(inv_A2, 1, k0, 1, k0);
        return false;
    }
    double score = 0.0;
    for (int i = 0; i < n2; ++i) score += R_resid[i] * x2[i];
    *T2_U = score / R_sigma22_tilt;

    double* v = dvector(0, kp - 1);
    for (int a = 0; a < kp; ++a) v[a] = 0.0;
    for (int i = 0; i < n2; ++i) {
        v[0] += x1[i] * x2[i];
        for (int c = 0; c < p1; ++c) v[c + 1] += z1[i][c] * x2[i];
    }
    double vPv = 0.0;
    for (int a = 0; a < kp; ++a)
        for (int b = 0; b < kp; ++b) vPv += v[a] * prim_cov[a][b] * v[b];
    *T2_V = 1.0 / (R_sigma22_tilt * burden_inverse) +
            R_alpha * R_alpha * vPv / (R_sigma22_tilt * R_sigma22_tilt);
    *T2 = *T2_U / std::sqrt(*T2_V);

    free_dvector(v, 0, kp - 1);
    free_dvector(R_resid, 0, n2 - 1);
    free_dmatrix(inv_A2, 1, k0, 1, k0);
    return true;
}

}  // namespace

void MLE_Sec_v2(int n, int n10, int n1, int n2, int p1, int p2, int* c10, double* y10, double* x1,
                double** z1, double* y2, double* x2, double** z2, double* T2_U, double* T2_V, double* T2,
                int* convergeN2, double* beta2_est, double* beta2_se) {
    // Primary fit on (burden, covariates) over all records, and the primary
    // residuals of the subjects with the secondary trait.
    double* prim_est = dvector(0, p1 + 1);
    double** prim_cov = dmatrix(0, p1 + 1, 0, p1 + 1);
    EM_quan2_time(n, n10, n1, p1, c10, y10, x1, z1, prim_est, prim_cov, convergeN2);
    double* yw = dvector(0, n2 - 1);
    tds_detail::primary_residuals(n2, p1, y10, x1, z1, prim_est, yw);

    const double burden_inverse = secondary_burden_effect(n1, n2, p1, p2, yw, y2, x1, z1, x2, z2, prim_cov,
                                                          beta2_est, beta2_se);
    if (!secondary_score_test(n2, p1, p2, yw, y2, x1, z1, x2, z2, prim_cov, burden_inverse, T2_U, T2_V, T2)) {
        // Nothing of the secondary fits is defined.
        *beta2_est = std::nan("");
        *beta2_se = std::nan("");
    }

    free_dvector(yw, 0, n2 - 1);
    free_dmatrix(prim_cov, 0, p1 + 1, 0, p1 + 1);
    free_dvector(prim_est, 0, p1 + 1);
}

#include "engine/secondary_fits.h"

#include "engine/tds_em_detail.h"
#include "numerics/offset_arrays.h"

namespace tds_detail {

void primary_residuals(int n2, int p1, const double* y10, const double* g, double** z1, const double* prim_est,
                       double* yw) {
    for (int i = 0; i < n2; ++i) {
        double r = y10[i] - prim_est[0] * g[i];
        for (int c = 0; c < p1; ++c) r -= prim_est[c + 1] * z1[i][c];
        yw[i] = r;
    }
}

double least_squares_fit(int n2, int k, double** W, const double* y2, double** inv_A, double* est,
                         double* resid) {
    double* B = dvector(1, k);
    solve_normal_equations(n2, k, W, nullptr, y2, inv_A, B, est);
    double rss = 0.0;
    for (int i = 0; i < n2; ++i) {
        double fit = 0.0;
        for (int d = 0; d < k; ++d) fit += W[i][d] * est[d];
        const double r = y2[i] - fit;
        if (resid != nullptr) resid[i] = r;
        rss += r * r;
    }
    free_dvector(B, 1, k);
    return rss / n2;
}

bool no_residual_variation(int n2, const double* y2, double R_sigma22_tilt) {
    double mean = 0.0;
    for (int i = 0; i < n2; ++i) mean += y2[i];
    mean /= n2;
    double ss = 0.0;
    for (int i = 0; i < n2; ++i) ss += (y2[i] - mean) * (y2[i] - mean);
    return !(R_sigma22_tilt > kNoResidualVariance * (ss / n2));
}

double null_secondary_fit(int n2, int p2, const double* yw, double** z2, const double* y2, double** inv_A, double* r,
                          double* R_alpha) {
    const int k = p2 + 1;
    double** W0 = dmatrix(0, n2 - 1, 0, k - 1);
    for (int i = 0; i < n2; ++i) {
        W0[i][0] = yw[i];
        for (int d = 0; d < p2; ++d) W0[i][d + 1] = z2[i][d];
    }
    double* est = dvector(0, k - 1);
    const double sigma2 = least_squares_fit(n2, k, W0, y2, inv_A, est, r);
    *R_alpha = est[0];
    free_dvector(est, 0, k - 1);
    free_dmatrix(W0, 0, n2 - 1, 0, k - 1);
    return sigma2;
}

void sandwich_product(int N, double** A, double** C, double** Omega) {
    double** T = dmatrix(0, N - 1, 0, N - 1);  // A C
    for (int r = 0; r < N; ++r)
        for (int c = 0; c < N; ++c) {
            double sum = 0.0;
            for (int k = 0; k < N; ++k) sum += A[r][k] * C[k][c];
            T[r][c] = sum;
        }
    for (int r = 0; r < N; ++r)
        for (int c = 0; c < N; ++c) {
            double sum = 0.0;
            for (int k = 0; k < N; ++k) sum += T[r][k] * A[c][k];
            Omega[r][c] = sum;
        }
    free_dmatrix(T, 0, N - 1, 0, N - 1);
}

// Sums over the first n2 subjects that the covariance of a column needs:
// t = (S'yw, S'z2[.][0..p2-1]) and B = (S0'S, z1[.][0..p1-1]'S).
void column_moments(int n2, int p1, int p2, const double* yw, double** z1, double** z2, const double* S0,
                    const double* S, double* t, double* B) {
    for (int d = 0; d <= p2; ++d) t[d] = 0.0;
    for (int a = 0; a <= p1; ++a) B[a] = 0.0;
    for (int i = 0; i < n2; ++i) {
        const double s = S[i];
        t[0] += s * yw[i];
        for (int d = 0; d < p2; ++d) t[d + 1] += s * z2[i][d];
        B[0] += S0[i] * s;
        for (int a = 0; a < p1; ++a) B[a + 1] += z1[i][a] * s;
    }
}

// The covariance of two columns from their moments:
// (S1'S2 - t1' inv_A t2) / R_sigma22_tilt + (B1' Omega1 B2) (R_alpha / R_sigma22_tilt)^2,
// each quadratic form one running sum with the row index outer.
double covariance_from_moments(int n2, int p1, int p2, double** inv_A, double** Omega1, const double* S1,
                               const double* S2, const double* t1, const double* t2, const double* B1,
                               const double* B2, double R_sigma22_tilt, double R_alpha) {
    double cross = 0.0;
    for (int i = 0; i < n2; ++i) cross += S1[i] * S2[i];
    double projected = 0.0;
    for (int d = 0; d <= p2; ++d)
        for (int e = 0; e <= p2; ++e) projected += t1[d] * inv_A[d + 1][e + 1] * t2[e];
    double correction = 0.0;
    for (int a = 0; a <= p1; ++a)
        for (int b = 0; b <= p1; ++b) correction += B1[a] * Omega1[a][b] * B2[b];
    const double ratio = R_alpha / R_sigma22_tilt;
    return (cross - projected) / R_sigma22_tilt + correction * (ratio * ratio);
}

}  // namespace tds_detail

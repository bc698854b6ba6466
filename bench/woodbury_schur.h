// The (p + 2) x (p + 2) block of the inverse information of the full fit
// (burden, covariates, sigma11) by a low-rank Schur complement, for timing
// and comparison only; the program computes the block by one decomposition of
// the whole reduced information.
//
// In Louis' information the point-weight block has no complete-data terms:
// it is the sum over records of l_i l_i' / c_i restricted to the weights,
// with l_i[j] = phi[i][j] / qm[j].  A sequenced subject sits on its own point
// only, so that block is diag(1 / qm^2) plus one rank-one term per
// non-sequenced record.  After the sum-to-one reduction (the last point's row
// and column subtracted) it is a diagonal Delta plus U W U' with U of
// n0 + 1 columns, and by Woodbury
//     S = A - C Delta^-1 C' + (C Delta^-1 U) M^-1 (C Delta^-1 U)',
//     M = W^-1 + U' Delta^-1 U,
// A the coefficient-and-variance block and C its rows against the points.
// The block of the inverse is S^-1.  Time O(n1 n0^2 + n0^3), memory O(n1 n0).
#ifndef VENTARQUILLO_BENCH_WOODBURY_SCHUR_H
#define VENTARQUILLO_BENCH_WOODBURY_SCHUR_H

#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>

#include <cmath>
#include <vector>

#include "numerics/linear_algebra.h"
#include "numerics/offset_arrays.h"

// GZ[n1][p+1] the design (burden first) of the fit (s, qm, etaW,
// phi[n10][n1]); prim_cov[p+2][p+2] receives the block.
inline void woodbury_full_fit_cov(int n, int n10, int n1, int p, const int* c10, const double* y10, double** GZ,
                                  double s, const double* qm, const double* etaW, double** phi, double** prim_cov) {
    const int m = p + 1;  // coefficients; sigma11 at index m
    const int k = m + 1;  // order of A
    const int n0 = n10 - n1;
    const int L = n1 - 1;  // the dropped point
    const double dn = n, s2 = s * s, s3 = s2 * s, s4 = s3 * s;

    // Moments r1..r4 of every point.
    std::vector<double> r1(n1), r2(n1), r3(n1), r4(n1);
    for (int j = 0; j < n1; ++j) {
        const double e = y10[j] - etaW[j];
        r1[j] = e;
        r2[j] = e * e;
        r3[j] = e * e * e;
        r4[j] = e * e * e * e;
    }
    for (int i = n1; i < n10; ++i)
        for (int j = 0; j < n1; ++j) {
            const double ph = phi[i][j];
            if (ph == 0.0) continue;
            const double e = y10[i] - etaW[j];
            r1[j] += ph * e;
            r2[j] += ph * (e * e);
            r3[j] += ph * (e * e * e);
            r4[j] += ph * (e * e * e * e);
        }

    // A = Q13 - Q11 - Q12 on the coefficients and sigma11; Crow the rows of
    // the coefficients and sigma11 against every point (before reduction).
    std::vector<std::vector<double>> A(k, std::vector<double>(k, 0.0));
    std::vector<std::vector<double>> Crow(k, std::vector<double>(n1, 0.0));
    double R2 = 0, R4 = 0;
    for (int j = 0; j < n1; ++j) {
        for (int a = 0; a < m; ++a) {
            for (int b = 0; b < m; ++b)
                A[a][b] += dn * qm[j] * GZ[j][a] * GZ[j][b] / s - r2[j] * GZ[j][a] * GZ[j][b] / s2;
            A[a][m] -= r3[j] * GZ[j][a] / (2.0 * s3);
            Crow[a][j] -= r1[j] * GZ[j][a] / (s * qm[j]);
        }
        Crow[m][j] -= -dn / (2.0 * s) + r2[j] / (2.0 * s2 * qm[j]);
        R2 += r2[j];
        R4 += r4[j];
    }
    for (int a = 0; a < m; ++a) A[m][a] = A[a][m];
    A[m][m] += dn / (2.0 * s2) - (dn / (4.0 * s2) - R2 / (2.0 * s3) + R4 / (4.0 * s4));

    // Q13 terms of A and Crow, record by record; V[i][j] = phi/qm of the
    // non-sequenced records.
    std::vector<double> l(k);
    std::vector<std::vector<double>> V(n0, std::vector<double>(n1, 0.0));
    for (int i = 0; i < n10; ++i) {
        const double c = c10[i];
        const double y = y10[i];
        for (int a = 0; a < m; ++a) {
            double sum = 0.0;
            for (int j = 0; j < n1; ++j) sum += phi[i][j] * GZ[j][a] * (y - etaW[j]);
            l[a] = sum / s;
        }
        double sq = 0.0;
        for (int j = 0; j < n1; ++j) sq += phi[i][j] * (y - etaW[j]) * (y - etaW[j]);
        l[m] = -c / (2.0 * s) + sq / (2.0 * s2);
        for (int a = 0; a < k; ++a)
            for (int b = 0; b < k; ++b) A[a][b] += l[a] * l[b] / c;
        for (int j = 0; j < n1; ++j) {
            const double v = phi[i][j] / qm[j];
            if (v == 0.0) continue;
            for (int a = 0; a < k; ++a) Crow[a][j] += l[a] * v / c;
            if (i >= n1) V[i - n1][j] = v;
        }
    }

    // Reduction: C[a][j] = Crow[a][j] - Crow[a][L]; Delta_j = 1/qm_j^2;
    // U = [1 | V_j - V_L] with W = diag(1/qm_L^2, 1/c_i).
    const int nr = n1 - 1;
    const int nu = n0 + 1;
    std::vector<double> dinv(nr);
    for (int j = 0; j < nr; ++j) dinv[j] = qm[j] * qm[j];
    std::vector<std::vector<double>> C(k, std::vector<double>(nr));
    for (int a = 0; a < k; ++a)
        for (int j = 0; j < nr; ++j) C[a][j] = Crow[a][j] - Crow[a][L];
    std::vector<std::vector<double>> Ut(nu, std::vector<double>(nr));  // U transposed
    for (int j = 0; j < nr; ++j) Ut[0][j] = 1.0;
    for (int i = 0; i < n0; ++i)
        for (int j = 0; j < nr; ++j) Ut[i + 1][j] = V[i][j] - V[i][L];

    // S = A - C Delta^-1 C'.
    for (int a = 0; a < k; ++a)
        for (int b = 0; b < k; ++b) {
            double sum = 0.0;
            for (int j = 0; j < nr; ++j) sum += C[a][j] * dinv[j] * C[b][j];
            A[a][b] -= sum;
        }
    // M = W^-1 + U' Delta^-1 U (symmetric, positive definite).
    gsl_matrix* M = gsl_matrix_alloc(nu, nu);
    std::vector<double> scaled(nr);
    for (int x = 0; x < nu; ++x) {
        for (int j = 0; j < nr; ++j) scaled[j] = Ut[x][j] * dinv[j];
        for (int y = 0; y <= x; ++y) {
            double sum = 0.0;
            const double* uy = Ut[y].data();
            for (int j = 0; j < nr; ++j) sum += scaled[j] * uy[j];
            gsl_matrix_set(M, x, y, sum);
            gsl_matrix_set(M, y, x, sum);
        }
    }
    const double wL = qm[L] * qm[L];  // W^-1 of the rank-one term of the last point
    *gsl_matrix_ptr(M, 0, 0) += wL;
    for (int i = 0; i < n0; ++i) *gsl_matrix_ptr(M, i + 1, i + 1) += c10[n1 + i];
    gsl_linalg_cholesky_decomp1(M);
    // G = C Delta^-1 U (k x nu); S += G M^-1 G'.
    std::vector<gsl_vector*> G(k);
    std::vector<gsl_vector*> H(k);
    for (int a = 0; a < k; ++a) {
        G[a] = gsl_vector_alloc(nu);
        H[a] = gsl_vector_alloc(nu);
        for (int x = 0; x < nu; ++x) {
            double sum = 0.0;
            for (int j = 0; j < nr; ++j) sum += C[a][j] * dinv[j] * Ut[x][j];
            gsl_vector_set(G[a], x, sum);
        }
        gsl_linalg_cholesky_solve(M, G[a], H[a]);
    }
    for (int a = 0; a < k; ++a)
        for (int b = 0; b < k; ++b) {
            double dot = 0.0;
            for (int x = 0; x < nu; ++x) dot += gsl_vector_get(G[a], x) * gsl_vector_get(H[b], x);
            A[a][b] += dot;
        }
    for (int a = 0; a < k; ++a) {
        gsl_vector_free(G[a]);
        gsl_vector_free(H[a]);
    }
    gsl_matrix_free(M);

    double** S = dmatrix(1, k, 1, k);
    for (int a = 0; a < k; ++a)
        for (int b = 0; b < k; ++b) S[a + 1][b + 1] = A[a][b];
    invv(S, k);
    for (int a = 0; a < k; ++a)
        for (int b = 0; b < k; ++b) prim_cov[a][b] = S[a + 1][b + 1];
    free_dmatrix(S, 1, k, 1, k);
}

#endif

// Routines that the program itself never calls, kept for callers of the
// library: other front ends and the tests link them with the engine.  They
// share the numerics and the internal steps of the routines the program uses,
// so their results agree with those of the program.
#ifndef VENTARQUILLO_ENGINE_LIBRARY_EXTRAS_H
#define VENTARQUILLO_ENGINE_LIBRARY_EXTRAS_H

#include "numerics/adaptive_cubature.h"

// ---------------------------------------------------------------- primary trait

// As scoreTest_MLE_Prim, with T1_den = sqrt(T1_V) and T1 = T1_num / T1_den;
// prim_est and prim_cov are neither read nor written.
void EM_quan2_score_Q1(int n, int n10, int n1, int p, int* c10, double* y10, double* g, double** z,
                       double* prim_est, double** prim_cov, double* T1_num, double* T1_den, double* T1,
                       int* convergeN);

// ---------------------------------------------------------------- secondary trait

// Omega = A C A' for the block-diagonal C = diag(prim_cov[0..p1+1], Omega2[0..p2+2])
// of order p1+p2+5 and the transformation A (filled here, same order) that
// keeps the primary parameters, picks the secondary entries 1..p2 and forms
// two products of sec_est_alpha with the primary variance.
void MLE_Sec_v2_getOmega(int p1, int p2, double** prim_cov, double** Omega2, double* prim_est,
                         double sec_est_alpha, double** Omega, double** A);

// Covariance of the scores of the columns S1 and S2 (first n2 entries read):
//   (S1'S2 - t1' inv_A t2) / R_sigma22_tilt
//     + (B1' Omega1 B2) (R_alpha / R_sigma22_tilt)^2,
// t = (S'yw, S'z2) of length p2+1, B = (S0'S, z1'S) of length p1+1, all sums
// over the first n2 subjects; inv_A is the 1-based inverse normal matrix of
// the null secondary fit on (yw, z2), Omega1 the primary coefficient
// covariance (its block [0..p1][0..p1] is read).
double EM_sec_v2_cov(int n2, int p1, int p2, double* yw, double** z1, double** z2, double** inv_A, double* S0,
                     double* S1, double* S2, double R_sigma22_tilt, double R_alpha, double** Omega1);

// Omega = A C A' for C = blockdiag(prim_cov[0..p+1][0..p+1],
// Omega2[0..p+2][0..p+2]) of order 2p+5, primary and secondary models with
// the same p covariate columns.  A (filled here, same order) keeps the
// primary parameters, picks the secondary entries 1..p+1, adds
// sec_est_alpha times the primary covariate effects to the secondary ones,
// and forms alpha*sigma11 and sigma22 + alpha^2*sigma11.
void getOmega2(int p, double** prim_cov, double** Omega2, double* prim_est, double sec_est_alpha, double** Omega,
               double** A);

// As getOmega2, with the secondary burden effect also carrying
// sec_est_alpha times the primary burden effect.
void getOmega(int p, double** prim_cov, double** Omega2, double* prim_est, double sec_est_alpha, double** Omega,
              double** A);

// ---------------------------------------------------------------- summaries

// Frequency-weighted variance with divisor sum(freq).
double var(int n, int* freq, double* x);

// Correlation matrix, in the 1-based Sigma[1..N_WT][1..N_WT], of the
// per-subject contributions (S[k][i] - sum_d (SZ_k' Iz)[d] z[i][d]) centerY[i]
// of N_WT score columns S[k][0..N-1], adjusted for the D covariates z[i][0..D-1]
// with Iz = (z'z)^-1 (D x D) and SZ[k][d] = sum_i S[k][i] z[i][d]; the
// contributions are not centred.
void getSigma(int N_WT, int N, int D, double** S, double** z, double* centerY, double** Iz, double** SZ,
              double** Sigma);

// ---------------------------------------------------------------- stop

// As kill_VENTARQUILLO, with DRENNIK as the name in the stop line.
[[noreturn]] void kill_DRENNIK();

// ---------------------------------------------------------------- integration

// Crude Monte Carlo estimate over [0, 1]^ndim from maxpts/2 antithetic pairs
// of uniform points (uni_), combined by inverse-variance weighting with the
// previous estimate unless ir < 1; absest is three standard errors.
void rcrude_(int* ndim, int* maxpts, adapt_integrand functn, double* absest,
             double* finest, int* ir);

#endif

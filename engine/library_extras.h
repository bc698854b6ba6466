// Routines that the program itself never calls, kept for callers of the
// library: other front ends and the tests link them with the engine.  They
// share the numerics and the internal steps of the routines the program uses,
// so their results agree with those of the program.
#ifndef VENTARQUILLO_ENGINE_LIBRARY_EXTRAS_H
#define VENTARQUILLO_ENGINE_LIBRARY_EXTRAS_H

#include "numerics/adaptive_cubature.h"

// ---------------------------------------------------------------- primary trait

// scoreTest_MLE_Prim under other output names: T1_num is the score, T1_den
// the square root of its variance.  prim_est and prim_cov are ignored.
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

// One entry of the secondary multi-score covariance, for the columns S1 and
// S2 over the first n2 subjects: the least-squares part given the null design
// (yw, z2), whose 1-based inverse normal matrix is inv_A, plus the correction
// for the primary coefficients, whose covariance block Omega1[0..p1][0..p1]
// is read (see tds_detail::covariance_from_moments).
double EM_sec_v2_cov(int n2, int p1, int p2, double* yw, double** z1, double** z2, double** inv_A, double* S0,
                     double* S1, double* S2, double R_sigma22_tilt, double R_alpha, double** Omega1);

// Joint covariance of the primary and secondary estimates when both models
// use the same p covariates: C stacks prim_cov (order p+2) and Omega2 (order
// p+3) on the diagonal, and Omega = A C A' (order 2p+5) for the linear map A,
// written to A, that keeps the primary parameters and the secondary entries
// 1..p+1, adds sec_est_alpha times each primary covariate effect to its
// secondary one, and forms alpha*sigma11 and sigma22 + alpha^2*sigma11.
void getOmega2(int p, double** prim_cov, double** Omega2, double* prim_est, double sec_est_alpha, double** Omega,
               double** A);

// As getOmega2, with the secondary burden effect also carrying
// sec_est_alpha times the primary burden effect.
void getOmega(int p, double** prim_cov, double** Omega2, double* prim_est, double sec_est_alpha, double** Omega,
              double** A);

// ---------------------------------------------------------------- summaries

// Frequency-weighted variance with divisor sum(freq).
double var(int n, int* freq, double* x);

// Correlations, into the 1-based Sigma[1..N_WT][1..N_WT], between the
// per-subject score contributions of N_WT columns S[k][0..N-1]: each column
// regressed on the D covariates z (Iz their inverse cross-product matrix, SZ[k]
// the column's cross-products with z), its residual times centerY[i].  The
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

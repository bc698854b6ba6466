// Method LS: ordinary least squares over the sequenced subjects only.  The
// null regression of a trait on its covariates, the score test and effect of
// one burden, and the multi-score builders of the customized, VC and VT tests
// (a primary and a secondary version of each).
//
// Matrices are 0-based offset matrices with one row per subject; z holds
// every column of the design, the intercept included (none is added here).
#ifndef VENTARQUILLO_ENGINE_LEAST_SQUARES_H
#define VENTARQUILLO_ENGINE_LEAST_SQUARES_H

#include "engine/covariance_factor.h"

// Null fit of y on z over N subjects and D columns: centerY[i] the residuals,
// *SigmaSQ = RSS / N, Iz (D by D) = (z'z)^-1.
void score_yz_quanTrait(int N, int D, const double* y, double** z, double* centerY, double* SigmaSQ, double** Iz);

// Score test of the burden S adjusted for z: *stat_U = r'S with r the null
// residuals, *errorVar = RSS / N of the null fit,
// *stat_V = (S'S - (z'S)'(z'z)^-1(z'S)) * errorVar and
// *stat = stat_U / sqrt(stat_V), unguarded.
void scoreLinear_UV(int N, int D, const double* y, const double* S, double** z, double* stat_U, double* stat_V,
                    double* stat, double* errorVar);

// Regression of y on [S, z]: *beta_est the coefficient of S and
// *beta_se = sqrt(RSS / N * [(X'X)^-1] of S).
void estLinear(int N, int D, const double* y, const double* S, double** z, double* beta_est, double* beta_se);

// Multi-score builders.  Each returns, for its K columns, the minor-allele
// counts mac_thresh and mai_thresh, the number n_work of usable columns, the
// scores U[k] = r'S_k / sigma^2 and their covariance
// cov[k][l] = S_k'(I - H)S_l * RSS/(n - p) / sigma^4 (sigma^2 = RSS / n,
// H = z(z'z)^-1 z'), with a dropped column left at 0.  The primary builders
// take y = y10 (first n1 entries); the secondary ones y = y2 and do not read
// y10.  The customized builders code every weight vector of wt additively;
// the VC builders one column per variant (N_UNIQ = number of variants) and
// the VT builders one per threshold, under MODEL (2 dominant, 3 recessive,
// anything else additive).  With no more subjects than design columns the
// residual variance is undefined and every column is dropped.
//
// The VC builders also fill *factor when one is given: the covariance as a
// Gram product over the subjects (engine/covariance_factor.h), when more
// columns passed the checks than there are subjects; otherwise factor->n = 0.
void EM_prim_MULTI_naive(int n1, int p, int N_SNP, const double* y10, double** x, double** z, int n_weight,
                         double** wt, const double* q, int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work,
                         double* U, double** cov);
void EM_sec_MULTI_naive(int n2, int p, int N_SNP, const double* y10, const double* y2, double** x, double** z,
                        int n_weight, double** wt, const double* q, int MAI_LB, int* mac_thresh, int* mai_thresh,
                        int* n_work, double* U, double** cov);
void EM_prim_SKAT_naive(int MODEL, int n1, int p, int N_SNP, const double* y10, double** x, double** z, int N_UNIQ,
                        const double* q, int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work, double* U,
                        double** cov, CovarianceFactor* factor = nullptr);
void EM_sec_SKAT_naive(int MODEL, int n2, int p, int N_SNP, const double* y10, const double* y2, double** x,
                       double** z, int N_UNIQ, const double* q, int MAI_LB, int* mac_thresh, int* mai_thresh,
                       int* n_work, double* U, double** cov, CovarianceFactor* factor = nullptr);
void EM_prim_VTtest_naive_fixThresh2(int MODEL, int n1, int p, int N_SNP, const double* y10, double** x,
                                     double** z, int N_UNIQ, const double* thresh, const double* maf_hat,
                                     const double* q, int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work,
                                     double* U, double** cov);
void EM_sec_VTtest_naive_fixThresh2(int MODEL, int n2, int p, int N_SNP, const double* y10, const double* y2,
                                    double** x, double** z, int N_UNIQ, const double* thresh,
                                    const double* maf_hat, const double* q, int MAI_LB, int* mac_thresh,
                                    int* mai_thresh, int* n_work, double* U, double** cov);

#endif

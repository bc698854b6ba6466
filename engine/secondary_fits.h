// Least-squares steps of the secondary-trait analyses under trait-dependent
// sampling (method MLE): the primary residuals, the fits of the secondary
// trait on them, and the covariances of secondary score columns corrected for
// the estimated primary coefficients.  Shared by the single-burden test
// (single_burden_mle) and the multi-score builders (tds_secondary_builders).
#ifndef VENTARQUILLO_ENGINE_SECONDARY_FITS_H
#define VENTARQUILLO_ENGINE_SECONDARY_FITS_H

namespace tds_detail {

// Omega = (A C) A' for N by N matrices: the covariance of the linear map A of
// an estimate with covariance C, each entry one running sum in index order.
void sandwich_product(int N, double** A, double** C, double** Omega);

// Sums over the first n2 subjects that the covariance of a secondary score
// column S needs: t = (S'yw, S'z2[.][0..p2-1]) and B = (S0'S, z1[.][0..p1-1]'S).
void column_moments(int n2, int p1, int p2, const double* yw, double** z1, double** z2, const double* S0,
                    const double* S, double* t, double* B);

// The covariance of two secondary score columns from their moments:
// (S1'S2 - t1' inv_A t2) / R_sigma22_tilt + (B1' Omega1 B2) (R_alpha / R_sigma22_tilt)^2,
// each quadratic form one running sum with the row index outer.
double covariance_from_moments(int n2, int p1, int p2, double** inv_A, double** Omega1, const double* S1,
                               const double* S2, const double* t1, const double* t2, const double* B1,
                               const double* B2, double R_sigma22_tilt, double R_alpha);

// Least squares of y2 on the n2 rows W[i][0..k-1] (normal equations summed
// subject by subject, then inverted): inv_A (1-based, order k) receives the
// inverse normal matrix, est[k] the estimates, resid[n2] (when given) the
// residuals; returns the residual variance with divisor n2.
double least_squares_fit(int n2, int k, double** W, const double* y2, double** inv_A, double* est,
                         double* resid);

// The null secondary fit: least_squares_fit on the rows (yw[i], z2[i][0..p2-1])
// of the n2 subjects; *R_alpha receives the coefficient of yw.
double null_secondary_fit(int n2, int p2, const double* yw, double** z2, const double* y2, double** inv_A,
                          double* r, double* R_alpha);

// The largest residual variance of the null secondary fit, relative to the
// variance of y2, that is not told apart from rounding (a residual spread of
// 1e-10 of the trait's).
constexpr double kNoResidualVariance = 1e-20;

// True when the residual variance of the null secondary fit is at most
// kNoResidualVariance of the variance of y2, so that the trait is a linear
// function of the primary residual and its covariates and no score of it has
// a defined variance.
bool no_residual_variation(int n2, const double* y2, double R_sigma22_tilt);

// Residuals of the primary fit for the first n2 subjects:
// yw[i] = y10[i] - prim_est[0] g[i] - sum over c of prim_est[c+1] z1[i][c].
void primary_residuals(int n2, int p1, const double* y10, const double* g, double** z1, const double* prim_est,
                       double* yw);

}  // namespace tds_detail

#endif

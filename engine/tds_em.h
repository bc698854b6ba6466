// The semiparametric likelihood of the primary trait under trait-dependent
// sampling: y = w'eta + e, e ~ N(0, sigma11), with the distribution of the
// design vector w left unspecified and represented by point weights qm[j] on
// the design rows of the n1 sequenced subjects.  Non-sequenced subjects carry
// only y; their point is the missing information of an EM algorithm.
//
// Pooled records (TdsRecords): records 0..n1-1 are the sequenced subjects with
// c10 = 1, records n1..n10-1 the non-sequenced values with their counts; n is
// the sum of c10.  All arrays are 0-based and owned by the caller.
#ifndef VENTARQUILLO_ENGINE_TDS_EM_H
#define VENTARQUILLO_ENGINE_TDS_EM_H

// The EM stops after this many iterations if it has not converged.
constexpr int kEmMaxIterations = 2000;

// Whether an EM iteration count is that of a fit stopped at the cap (a fit
// that converges in its last allowed iteration reports the same count).
inline bool emReachedCap(int EMconvergeN) { return EMconvergeN == kEmMaxIterations; }

// EM fit of the model on the design w[n1][d].
// Out: eta[d], *sigma11, qm[n1], etaW[n1] (fitted value of each point),
// phi[n10][n1] (membership weights of the last E-step: identity rows for the
// sequenced records, c10[i] times the posterior for the others) and
// *EMconvergeN (t+1 on convergence in iteration t, kEmMaxIterations at the cap).
// Stops when the summed absolute change of sigma11, eta and qm falls below
// 1e-4; after kEmMaxIterations it prints a warning and keeps the last iterate.
void EM_quan(int n, int n10, int n1, int d, int* c10, double* y10, double** w, double* eta,
             double* sigma11, double* qm, double* etaW, double** phi, int* EMconvergeN);

// Efficient score U[m1] and covariance cov[m1][m1] of the first m1 columns of
// SZ[n1][m]; the remaining columns are the null fit's covariates, matching
// eta.  The information is Louis' (1982) observed information of the EM fit,
// reduced so that the point weights sum to one; the covariates, sigma11 and
// the weights are nuisance parameters and are profiled out.
void getUCOV_prim(int n, int n10, int n1, int m, int m1, double sigma11, double** phi, double* eta,
                  double* etaW, double* qm, double* y10, int* c10, double** SZ, double* U, double** cov);

// EM fit of the primary trait on (g, z[n1][p]).  Out: prim_est[p+2], the
// effect of g, then those of the p covariates, then sigma11; prim_cov, their
// (p+2) by (p+2) covariance from the inverse Louis information; *convergeN,
// the EM iteration count.
void EM_quan2_time(int n, int n10, int n1, int p, int* c10, double* y10, double* g, double** z,
                   double* prim_est, double** prim_cov, int* convergeN);

#endif

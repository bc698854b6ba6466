// Multi-score builders of the primary trait (method MLE).  The null model,
// the covariates z alone, is fitted once by the semiparametric EM over all
// records; the K score columns are coded and checked, and those that pass
// get their efficient scores and covariance from the Louis information of
// that fit (getUCOV_prim).
//
// Records: n10 of them for n subjects; the n1 sequenced subjects come first,
// one record each, the distinct non-sequenced values follow with their
// counts c10; y10 holds the primary trait.  z is the n1 by p design of the null model
// (column 0 the intercept); x the n1 by N_SNP genotypes (a value below -0.1
// is missing and imputed from q[j] = 1 - MAF).
//
// Outputs, caller-allocated for K columns: mac_thresh, mai_thresh (every
// column), *n_work (columns that passed the checks and got a positive
// variance), U[K] and cov[K][K] (zero for a dropped column), and
// *EMconvergeN, the iteration count of the null fit.
#ifndef VENTARQUILLO_ENGINE_TDS_PRIMARY_BUILDERS_H
#define VENTARQUILLO_ENGINE_TDS_PRIMARY_BUILDERS_H

// VT test: one collapsed burden per threshold t (the variants j with
// thresh[t] >= maf_hat[j]); K = N_UNIQ; MODEL 2 dominant, 3 recessive,
// anything else additive.
void EM_prim_VTtest_fixThresh2(int MODEL, int n, int n10, int n1, int p, int N_SNP, int* c10, double* y10,
                               double** x, double** z, int N_UNIQ, double* thresh, double* maf_hat, double* q,
                               int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work, double* U, double** cov,
                               int* EMconvergeN);

// VC test: one column per variant; K = N_SNP.
void EM_prim_SKAT(int MODEL, int n, int n10, int n1, int p, int N_SNP, int* c10, double* y10, double** x,
                  double** z, double* q, int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work, double* U,
                  double** cov, int* EMconvergeN);

// Customized test: one additive burden per weight vector wt[k][0..N_SNP-1];
// K = n_weight.
void EM_prim_MULTI(int n, int n10, int n1, int p, int N_SNP, int* c10, double* y10, double** x, double** z,
                   int n_weight, double** wt, double* q, int MAI_LB, int* mac_thresh, int* mai_thresh,
                   int* n_work, double* U, double** cov, int* EMconvergeN);

// The same three builders for a run of many genes that share the pooled
// records and the null design (the primary trait in test mode).  The cache
// keeps the null fit and the inverse of the nuisance block of its
// information, both independent of the tested columns; a call whose records
// or design differ from the cached ones refits and replaces them.  Every
// output, and the EM warning line of a null fit that reached the iteration
// cap (printed at every call, as the builders above print it), is bit for
// bit that of the builders above; only the rows of the tested columns are
// formed per call.  Calls on several threads may share one cache: the kept
// fit is never changed, only replaced, and a call whose records another
// thread is fitting waits for that fit.
struct PrimaryNullCache;
PrimaryNullCache* newPrimaryNullCache();
void freePrimaryNullCache(PrimaryNullCache* cache);

void EM_prim_VTtest_fixThresh2_cached(PrimaryNullCache* cache, int MODEL, int n, int n10, int n1, int p, int N_SNP,
                                      int* c10, double* y10, double** x, double** z, int N_UNIQ, double* thresh,
                                      double* maf_hat, double* q, int MAI_LB, int* mac_thresh, int* mai_thresh,
                                      int* n_work, double* U, double** cov, int* EMconvergeN);
void EM_prim_SKAT_cached(PrimaryNullCache* cache, int MODEL, int n, int n10, int n1, int p, int N_SNP, int* c10,
                         double* y10, double** x, double** z, double* q, int MAI_LB, int* mac_thresh,
                         int* mai_thresh, int* n_work, double* U, double** cov, int* EMconvergeN);
void EM_prim_MULTI_cached(PrimaryNullCache* cache, int n, int n10, int n1, int p, int N_SNP, int* c10, double* y10,
                          double** x, double** z, int n_weight, double** wt, double* q, int MAI_LB, int* mac_thresh,
                          int* mai_thresh, int* n_work, double* U, double** cov, int* EMconvergeN);

// The single-burden score test of the primary trait (scoreTest_MLE_Prim of
// single_burden_mle.h) on the same cache: T1_U, T1_V, T1, *convergeN1 and the
// EM warning line are bit for bit those of scoreTest_MLE_Prim.
void scoreTest_MLE_Prim_cached(PrimaryNullCache* cache, int n, int n10, int n1, int p, int* c10, double* y10,
                               double* g, double** z, double* T1_U, double* T1_V, double* T1, int* convergeN1);

#endif

// Multi-score builders for a secondary trait under trait-dependent sampling,
// method MLE.  The secondary model is y2 = alpha*yw + z2'beta + e2, where yw
// is the residual of the primary trait after the primary model fitted by the
// semiparametric EM on (S0, z1), S0 being the unweighted sum of all the
// gene's genotypes.  The score of a column S is the least-squares score of
// the null secondary fit, sum r_i S_i / sigma~2; its covariance is the
// least-squares covariance given the null design (yw, z2) plus a delta-method
// correction for the estimated primary coefficients.
//
// Subjects: the n1 sequenced subjects, the n2 that have the secondary trait
// in rows 0..n2-1 of every subject array (x, z1, the first n1 entries of y10).
// Pooled records n, n10, c10, y10 as for the primary trait.  y2[n2] and
// z2[n2][p2] (column 0 the intercept) hold the secondary trait and its
// covariates; z1[n1][p1] (column 0 the intercept) the primary covariates;
// x[n1][N_SNP] the genotypes (below -0.1 missing, imputed from q[j] = 1 - MAF).
//
// Outputs, caller-allocated for K columns: mac_thresh, mai_thresh (every
// column, counted over the n2 subjects), *n_work, U[K], cov[K][K] (zero for a
// dropped column), and *EMconvergeN, the iteration count of the primary fit.
//
// When no genotype of the n1 sequenced subjects is above 0.0 every output is
// 0 and no fit is made.  When the null secondary fit has no residual degree
// of freedom (n2 <= p2 + 1, including a trait missing for every subject) the
// columns are coded and checked as usual but all of them are dropped, and no
// fit is made (*EMconvergeN = 0).
#ifndef VENTARQUILLO_ENGINE_TDS_SECONDARY_BUILDERS_H
#define VENTARQUILLO_ENGINE_TDS_SECONDARY_BUILDERS_H

// Customized test: one additive burden per weight vector; K = n_weight.
void EM_sec_MULTI(int n, int n10, int n1, int n2, int p1, int p2, int N_SNP, int* c10, double* y10, double* y2,
                  double** x, double** z1, double** z2, int n_weight, double** wt, double* q, int MAI_LB,
                  int* mac_thresh, int* mai_thresh, int* n_work, double* U, double** cov, int* EMconvergeN);

// VC test: one column per variant, K = N_UNIQ (the number of variants);
// dominant codes x >= 1.0 as 1, recessive x >= 2.0 as 1.
void EM_sec_SKAT2_v2(int MODEL, int n, int n10, int n1, int n2, int p1, int p2, int N_SNP, int* c10, double* y10,
                     double* y2, double** x, double** z1, double** z2, int N_UNIQ, double* q, int MAI_LB,
                     int* mac_thresh, int* mai_thresh, int* n_work, double* U, double** cov, int* EMconvergeN);

// VT test: one collapsed burden per threshold t (the variants j with
// thresh[t] >= maf_hat[j]); K = N_UNIQ.
void EM_sec_VTtest_fixThresh2_v2(int MODEL, int n, int n10, int n1, int n2, int p1, int p2, int N_SNP, int* c10,
                                 double* y10, double* y2, double** x, double** z1, double** z2, int N_UNIQ,
                                 double* thresh, double* maf_hat, double* q, int MAI_LB, int* mac_thresh,
                                 int* mai_thresh, int* n_work, double* U, double** cov, int* EMconvergeN);

#endif

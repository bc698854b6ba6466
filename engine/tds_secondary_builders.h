// Multi-score builders of a secondary trait y2 (method MLE).  The primary trait
// is first fitted by the semiparametric EM on the gene's plain allele count S0
// and the primary covariates z1; its residual yw then enters the secondary
// regression y2 ~ alpha*yw + z2'beta as a covariate.  Each column S gets the
// least-squares score of that null regression, r'S / sigma~2, and the
// covariances are the least-squares ones on the design (yw, z2), corrected by
// the delta method for having estimated the primary coefficients.
//
// Arrays: the subjects with y2 come first (rows 0..n2-1 of x, z1 and y10),
// among the n1 sequenced ones; n, n10, c10 and y10 are the pooled records of
// the primary trait.  z1[n1][p1] and z2[n2][p2] both start with the
// intercept; x[n1][N_SNP] holds the genotypes, a value below -0.1 being
// missing and imputed from q[j] = 1 - MAF.
//
// The caller allocates the outputs for K columns: mac_thresh and mai_thresh
// (counted over the n2 subjects), *n_work, U[K], cov[K][K] (a dropped column
// stays zero), and *EMconvergeN, the EM iteration count of the primary fit.
//
// Two cases make no fit and leave *EMconvergeN = 0: a gene in which no
// sequenced subject carries a minor allele (every output 0), and a secondary
// regression without a residual degree of freedom (n2 <= p2 + 1, e.g. a trait
// missing for everyone), where the columns are still coded and checked, then
// all dropped.
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

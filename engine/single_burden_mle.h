// Score tests of one burden vector under trait-dependent sampling, method MLE:
// for the primary trait by the efficient score of the semiparametric model,
// for a secondary trait by least squares on the primary residual with a
// delta-method correction for the estimated primary coefficients.
#ifndef VENTARQUILLO_ENGINE_SINGLE_BURDEN_MLE_H
#define VENTARQUILLO_ENGINE_SINGLE_BURDEN_MLE_H

// Primary trait: null fit on z[n1][p] by EM, then the efficient score T1_U of
// the burden g[n1], its efficient variance T1_V and T1 = T1_U / sqrt(T1_V).
// Genes that share the records and z use scoreTest_MLE_Prim_cached
// (tds_primary_builders.h), which keeps the null fit from gene to gene.
void scoreTest_MLE_Prim(int n, int n10, int n1, int p, int* c10, double* y10, double* g, double** z,
                        double* T1_U, double* T1_V, double* T1, int* convergeN1);

// Secondary trait y2 of the first n2 sequenced subjects: the primary fit on
// (x1, z1) over all records, then least squares of y2 on (primary residual,
// x2, z2).  Out: the score test (T2_U, T2_V, T2), the burden effect and its
// corrected standard error, and the EM iteration count of the primary fit.
void MLE_Sec_v2(int n, int n10, int n1, int n2, int p1, int p2, int* c10, double* y10, double* x1,
                double** z1, double* y2, double* x2, double** z2, double* T2_U, double* T2_V, double* T2,
                int* convergeN2, double* beta2_est, double* beta2_se);

// Derivative of the secondary estimates sec_est[p2+2] with respect to one
// primary coefficient whose design column is input (first n2 entries read);
// inv_A is the 1-based inverse normal matrix of order p2+2.
void MLE_Sec_v2_Jacobian(int n2, int p2, double** inv_A, double* sec_est, double* yw, double* y2, double* x2,
                         double** z2, double* input, double* output);

#endif

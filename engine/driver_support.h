// Small stateless routines that serve the driver while it prepares its data:
// covariate imputation and standardisation, rounding of the primary trait,
// stable sorts of the mapping rows, distinct values, ranks, and the recessive
// burden at missing sites.
#ifndef VENTARQUILLO_ENGINE_DRIVER_SUPPORT_H
#define VENTARQUILLO_ENGINE_DRIVER_SUPPORT_H

// In place over all p columns: missing entries (-999.0) imputed, continuous
// columns standardised.
void covariatesProcess(int n, int p, double** covariates);

// result[0..n-1]: the values rounded to a decimal precision that leaves at
// most nq_upper distinct values (or copied); a count through nq_result_p.
void autoround2(long nq_upper, long n, double* input, double* result, long* nq_result_p);

// Stable sorts of the mapping rows by gene identifier (byte order), carrying
// the other columns; texts are moved by pointer.
void StringSort_map3(int N, char** stringArray1, char** stringArray2, double* numericArray, int* numericArray2);
void StringSort_map2(int N, char** stringArray1, char** stringArray2, double* numericArray);
void StringSort_map(int N, char** stringArray1, char** stringArray2);

// Ascending distinct values of v, their number, and each element's index among them.
void unique_vector(int n, double* v, double* v_unique, int* n_unique, int* index_unique);

// In place: each value replaced by its 0-based rank; ties in index order.
void qRank_noTie(long arrayLen, double* Array);
// Comparison of two pointers to pointers to doubles: 1, 0 or -1.
int cmp(const void* a, const void* b);

// Probability of a recessive burden given type (0 or 1 minor alleles already
// carried) and the common-allele frequencies q of the n_miss missing sites.
double getS_REC_impute(double type, int n_miss, double* q);

// rank[i] = the 1-based rank of Array[i]; ties in index order; Array unchanged.
void bubbleRank_noTie(int arrayLen, double* Array, double* rank);

// Frequency-weighted variance with divisor sum(freq).  Not used by the program.
double var(int n, int* freq, double* x);

// Correlation matrix, in the 1-based Sigma[1..N_WT][1..N_WT], of the
// per-subject contributions (S[k][i] - sum_d (SZ_k' Iz)[d] z[i][d]) centerY[i]
// of N_WT score columns S[k][0..N-1], adjusted for the D covariates z[i][0..D-1]
// with Iz = (z'z)^-1 (D x D) and SZ[k][d] = sum_i S[k][i] z[i][d]; the
// contributions are not centred.  Not used by the program.
void getSigma(int N_WT, int N, int D, double** S, double** z, double* centerY, double** Iz, double** SZ,
              double** Sigma);

#endif

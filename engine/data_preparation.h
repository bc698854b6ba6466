// Preparation of the input data: covariate imputation and standardisation,
// rounding of the primary trait, stable sorts of the mapping rows, distinct
// values, ranks, the recessive burden at missing sites, and the rank of a
// design.  Stateless.
#ifndef VENTARQUILLO_ENGINE_DATA_PREPARATION_H
#define VENTARQUILLO_ENGINE_DATA_PREPARATION_H

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

// Replaces the values by their 0-based ranks, in place; equal values rank in
// index order.
void qRank_noTie(long arrayLen, double* Array);
// Comparison of two pointers to pointers to doubles: 1, 0 or -1.
int cmp(const void* a, const void* b);

// Probability of a recessive burden given type (0 or 1 minor alleles already
// carried) and the common-allele frequencies q of the n_miss missing sites.
// Any other type is refused through stopOnRecessiveType.
double getS_REC_impute(double type, int n_miss, double* q);

// The imputation is defined for 0 or 1 carried alleles only; a dosage sum such
// as 0.7 has no meaning there.  The stop prints "Only type=0 or 1 is
// acceptable" and ends the run.
bool acceptableRecessiveType(double type);
[[noreturn]] void stopOnRecessiveType();

// rank[i]: where Array[i] falls, counting from 1, equal values in index order;
// Array is not changed.
void bubbleRank_noTie(int arrayLen, double* Array, double* rank);

// The numerical rank of the n by k matrix x (0-based, rows = subjects), from
// a QR decomposition with column pivoting of a copy whose columns are scaled
// to unit norm: a column counts as dependent when the part of it that the
// columns chosen before it do not explain has a norm of at most tol.  When
// the rank is below k, involved[j] = 1 marks the columns of one linear
// relation (the first column left out and the pivots it is made of; a zero
// column alone), 0 the others.  x is not changed.
int dependentColumns(int n, int k, double** x, double tol, int* involved);

#endif

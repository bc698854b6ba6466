// Dense kernels for symmetric positive definite systems on row-major
// matrices (0-based, a leading dimension per matrix):
//   - gram_update: C (+/-)= A'B, the products of columns that share a row
//     index, summed over that index;
//   - cholesky_upper: M = R'R with R upper triangular, blocked;
//   - solve_upper_transposed: H = R^-T V, forward substitution with R'.
//
// Every entry of a result is one running sum: the terms are added (or
// subtracted) one at a time, in increasing order of the summation index.
// The loops are tiled for the registers and the cache, never reordered, so
// the results do not depend on the vector width of the processor (the Gram
// products run in AVX2 registers where the processor has them, useAvx2()).
#ifndef VENTARQUILLO_NUMERICS_GRAM_CHOLESKY_H
#define VENTARQUILLO_NUMERICS_GRAM_CHOLESKY_H

// C[x][y] = C[x][y] + sum over j < r of A[j][x] * B[j][y] (minus with
// subtract), for x < na and y < nb, the terms in increasing j.  With
// upper_only (A and B square-compatible, na == nb) only the entries with
// x <= y are formed; the others are left alone.
void gram_update(int r, int na, int nb, const double* A, int lda, const double* B, int ldb, double* C, int ldc,
                 bool subtract, bool upper_only);

// Cholesky factor of the symmetric matrix held in the upper triangle of M
// (n x n, row-major; the strict lower triangle is neither read nor written):
// on return the upper triangle holds R with M = R'R.  Returns false, with M
// partly overwritten, when a pivot is not positive (or not a number): the
// matrix is not numerically positive definite.
bool cholesky_upper(int n, double* M, int ldm);

// H = R^-T V for the upper triangular R of cholesky_upper (n x n) and V of
// n rows of nb entries (row-major, ldv), in place: row x of V becomes
// (V[x] - sum over c < x of R[c][x] H[c]) / R[x][x], c increasing.
void solve_upper_transposed(int n, const double* R, int ldr, int nb, double* V, int ldv);

#endif

// Dense linear algebra on 1-based matrices: Crout LU decomposition with
// implicit partial pivoting, determinant, in-place inverse.
//
// Every matrix is addressed from index 1 (a dmatrix allocated 1..n, or 0..n
// with row and column 0 left alone: index 0 is never read or written).  A zero
// pivot is replaced by TINY and the computation goes on; only a matrix with an
// all-zero row stops ludcmp (and so invv) through nrerror("Sigmatrix in ludcmp").
#ifndef VENTARQUILLO_NUMERICS_LINEAR_ALGEBRA_H
#define VENTARQUILLO_NUMERICS_LINEAR_ALGEBRA_H

constexpr double TINY = 1.0e-40;

void ludcmp(double** a, int n, int* indx);
// ludcmp that also returns the sign of the row permutation in *d.  A row of
// zeros is not fatal here: *d becomes 0, nothing is printed and a, indx keep
// their contents.
void ludcmp2(double** a, int n, int* indx, double* d);
// det(a); a is overwritten by its LU factors.
double Determinant(double** a, int n);
// fma replaced by its inverse.
void invv(double** fma, int nn);
// Forward and back substitution with the LU factors and permutation from
// ludcmp; x overwrites b.
void lubksb(double** a, int n, int* indx, double* b);

#endif

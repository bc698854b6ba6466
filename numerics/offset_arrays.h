// Vectors and matrices indexed over any inclusive range (Numerical Recipes
// style), and nrerror, which reports a fatal numerical error and stops.
//
// A vector allocated nl..nh is one allocation; its handle v satisfies
// v[i] == element i for i in nl..nh.  A matrix allocated nrl..nrh x ncl..nch
// is two allocations: the row pointers and one contiguous row-major block.
// Nothing is initialised.  A refused allocation never returns: it ends the
// process through nrerror(), so callers never test the result.
#ifndef VENTARQUILLO_NUMERICS_OFFSET_ARRAYS_H
#define VENTARQUILLO_NUMERICS_OFFSET_ARRAYS_H

double* dvector(long nl, long nh);
int* ivector(int nl, int nh);
double** dmatrix(long nrl, long nrh, long ncl, long nch);

void free_dvector(double* v, long nl, long nh);
void free_ivector(int* v, int nl, int nh);
void free_dmatrix(double** m, long nrl, long nrh, long ncl, long nch);

// Writes the three-line fatal report to standard error, hands "pause" to the
// command interpreter and exits with status 1.
[[noreturn]] void nrerror(const char* error_text);

#endif

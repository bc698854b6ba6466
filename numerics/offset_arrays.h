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

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Room for count elements of T from malloc, or nullptr when refused.  An empty
// range still gets a valid, releasable handle (malloc(0) may return a null
// pointer), so at least one element is requested.
template <typename T>
T* allocate_elements(long count) {
    const std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 1u;
    if (n > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(std::malloc(n * sizeof(T)));
}

// Upper index of a 0-based scratch array of n entries; one slot when n is 0,
// so that every scratch array has a valid handle.
constexpr long lastIndex(long n) { return n > 0 ? n - 1 : 0; }

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

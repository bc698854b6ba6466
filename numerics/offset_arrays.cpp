#include "numerics/offset_arrays.h"

#include "numerics/console.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Element count of an inclusive range, or -1 when the range is malformed
// (nh < nl - 1) or the count does not fit.
long range_count(long nl, long nh) {
    if (nh < nl - 1) return -1;
    long count = 0;
    if (__builtin_sub_overflow(nh, nl, &count) || __builtin_add_overflow(count, 1L, &count)) return -1;
    return count;
}

}  // namespace

[[noreturn]] void nrerror(const char* error_text) {
    std::FILE* err = consoleErr();
    std::fprintf(err, "Numerical Recipes run-time error...\n");
    std::fprintf(err, "%s\n", error_text);
    std::fprintf(err, "...now exiting to system...\n");
    // Flushes standard output, runs "pause" and exits with status 1 (on a
    // thread with a console sink, the sink's owner ends the process).
    stopRun(true);
}

double* dvector(long nl, long nh) {
    const long count = range_count(nl, nh);
    double* v = count < 0 ? nullptr : allocate_elements<double>(count);
    if (v == nullptr) nrerror("allocation failure in dvector()");
    return v - nl;
}

int* ivector(int nl, int nh) {
    const long count = range_count(nl, nh);
    int* v = count < 0 ? nullptr : allocate_elements<int>(count);
    if (v == nullptr) nrerror("allocation failure in ivector()");
    return v - nl;
}

double** dmatrix(long nrl, long nrh, long ncl, long nch) {
    const long nrow = range_count(nrl, nrh);
    const long ncol = range_count(ncl, nch);

    // 1. The row pointers.  An empty row range still keeps one slot, which
    //    holds the block so that the release can find it through m[nrl].
    double** m = nrow < 0 ? nullptr : allocate_elements<double*>(nrow);
    if (m == nullptr) nrerror("allocation failure 1 in matrix()");
    m -= nrl;

    // 2. One contiguous row-major block of nrow x ncol doubles.
    long cells = -1;
    if (nrow >= 0 && ncol >= 0 && __builtin_mul_overflow(nrow, ncol, &cells)) cells = -1;
    double* block = cells < 0 ? nullptr : allocate_elements<double>(cells);
    if (block == nullptr) nrerror("allocation failure 2 in matrix()");

    // 3. Row nrl starts the block; each following row starts ncol further on.
    m[nrl] = block - ncl;
    for (long i = nrl + 1; i <= nrh; ++i) m[i] = m[i - 1] + ncol;
    return m;
}

void free_dvector(double* v, long nl, long /*nh*/) { std::free(v + nl); }

void free_ivector(int* v, int nl, int /*nh*/) { std::free(v + nl); }

void free_dmatrix(double** m, long nrl, long /*nrh*/, long ncl, long /*nch*/) {
    std::free(m[nrl] + ncl);
    std::free(m + nrl);
}

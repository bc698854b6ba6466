// The C library's exponential, called without its error-reporting wrapper.
//
// glibc's exp is a thin wrapper that calls the real routine through the
// procedure linkage table and then sets errno when the result overflows or
// underflows.  In the EM's E step, where exp is called millions of times per
// fit and errno is never read, the wrapper and its second indirect call cost
// about a fifth of an MLE run.  glibc also exports the routine itself (the
// versioned symbol __exp_finite); when it is there and gives, bit for bit,
// what exp gives on a set of test arguments, expWithoutErrno() returns it,
// otherwise a function that calls std::exp.  Either way every value is that
// of std::exp; only errno is not set.
#ifndef VENTARQUILLO_NUMERICS_EXP_WITHOUT_ERRNO_H
#define VENTARQUILLO_NUMERICS_EXP_WITHOUT_ERRNO_H

using ExpFunction = double (*)(double);

// Resolved once, on the first call; safe to call from any thread.
ExpFunction expWithoutErrno();

// True when expWithoutErrno() is the library's own routine (for the tests
// and the benchmarks).
bool expWithoutErrnoIsDirect();

#endif

// The C library's exponential, called without its error-reporting wrapper.
//
// glibc's exp is a thin wrapper that calls the real routine through the
// procedure linkage table and then checks the result, to set errno when it
// overflowed or underflowed.  In the EM's E step, where exp is called
// millions of times per fit and errno is never read, that second call and
// check are paid on every term.  glibc also exports the routine itself (the
// versioned symbol __exp_finite); when it is there and gives, bit for bit,
// what exp gives on a set of test arguments, expWithoutErrno() returns it,
// otherwise a function that calls std::exp.  Either way every value is that
// of std::exp.  errno is not left untouched either: the routine itself sets
// it to ERANGE on overflow and on underflow to zero, as exp does (checked on
// glibc 2.36, x86-64); only the wrapper's call and check are saved.
#ifndef VENTARQUILLO_NUMERICS_EXP_WITHOUT_ERRNO_H
#define VENTARQUILLO_NUMERICS_EXP_WITHOUT_ERRNO_H

using ExpFunction = double (*)(double);

// Resolved once, on the first call; safe to call from any thread.
ExpFunction expWithoutErrno();

// True when expWithoutErrno() is the library's own routine (for the tests
// and the benchmarks).
bool expWithoutErrnoIsDirect();

#endif

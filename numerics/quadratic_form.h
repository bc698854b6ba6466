// P(Q < c) for Q a weighted sum of independent (non-central) chi-squared
// variables plus a normal term, by Davies' method (Davies 1980, AS 155): the
// characteristic function is inverted numerically, the integral is cut where
// a bound says the rest is small enough, and if that takes too many terms a
// damping factor is applied and its effect integrated back out separately.
//
// The routine keeps its working state in thread-local file-level storage for
// the length of one call: calls on different threads do not meet, but a call
// must not be entered again from within itself.
#ifndef VENTARQUILLO_NUMERICS_QUADRATIC_FORM_H
#define VENTARQUILLO_NUMERICS_QUADRATIC_FORM_H

// *res = P(Q < *c1) for
//   Q = sum_{j < *r1} lb1[j] * chi2(n1[j] df, non-centrality nc1[j]) + *sigma * N(0, 1),
// accurate to *acc, with at most *lim1 integration terms and at most *lim1
// evaluations of the error bounds.  lb1, nc1 and n1 are only read.
//
// trace[0] absolute-value sum of the integration terms
// trace[1] total number of integration terms
// trace[2] number of integrations
// trace[3] integration interval of the main integration
// trace[4] truncation point of the initial integration
// trace[5] standard deviation of the initial convergence factor (0 if none)
// trace[6] number of evaluations of the error bounds
//
// *ifault (with *res = -1 for every code but 0 and 2):
//   0 success;
//   1 the integration would need more than *lim1 terms;
//   2 rounding error may matter, though *res is still returned;
//   3 bad input: df or non-centrality below zero, a coefficient,
//     non-centrality, *sigma or *c1 that is NaN or infinite, or an *acc that
//     is not a positive finite number;
//   4 the error bounds were evaluated more than *lim1 times;
//   5 *r1 < 0, or no memory for the index array.
void qfc(double* lb1, double* nc1, int* n1, int* r1, double* sigma, double* c1, int* lim1,
         double* acc, double* trace, int* ifault, double* res);

#endif

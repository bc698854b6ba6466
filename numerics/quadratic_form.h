// Distribution function of a linear combination of independent chi-squared
// variables and a normal variable, by Davies' algorithm (Davies 1980,
// Algorithm AS 155): numerical inversion of the characteristic function with
// a bound on the truncation error, an optional convergence factor and an
// auxiliary integration.
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
// *ifault: 0 normal end; 1 more than *lim1 integration terms needed (*res -1);
// 2 round-off possibly significant (*res still usable); 3 a negative degree of
// freedom or non-centrality, or a coefficient, non-centrality, *sigma or *c1
// that is not finite (*res -1); 4 more than *lim1 bound evaluations (*res -1);
// 5 the working array could not be allocated, or *r1 < 0 (*res -1).
void qfc(double* lb1, double* nc1, int* n1, int* r1, double* sigma, double* c1, int* lim1,
         double* acc, double* trace, int* ifault, double* res);

#endif

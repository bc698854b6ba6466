// Standard normal and bivariate normal distribution functions used by the
// multivariate normal integration (Genz).
//
// These keep the calling style of the published Fortran family they come from:
// every argument is passed by address and nothing pointed to is modified.
//
// Limit flags (`infin`) of one variable: negative = unbounded on both sides,
// 0 = upper limit only (-inf, upper], 1 = lower limit only [lower, +inf),
// 2 = both limits [lower, upper].  A limit that the flag does not use is never
// read.
#ifndef VENTARQUILLO_NUMERICS_NORMAL_DISTRIBUTION_H
#define VENTARQUILLO_NUMERICS_NORMAL_DISTRIBUTION_H

// P(Z <= *z__) for a standard normal Z (Hart et al. algorithm 5666 with a
// continued-fraction tail; 0 below -37, 1 above 37).
double phi_(const double* z__);

// Standard normal quantile of *p (Wichura's AS 241, PPND16); -9 for p <= 0 and
// +9 for p >= 1.
double phinv_(const double* p);

// P(X > *sh, Y > *sk) for a standard bivariate normal pair with correlation
// *r__ (Genz: Drezner-Wesolowsky arcsine form, or an asymptotic expansion for
// |r| >= 0.925).
double bvnu_(const double* sh, const double* sk, const double* r__);

// Probability that a standard bivariate normal pair with correlation *correl
// lies within the limits that its flags select; element 0 of each array
// describes the first variable, element 1 the second.  Flags 0, 1 and 2 are the
// ones the integration uses; a negative flag leaves its variable unbounded, and
// a flag above 2 gives NaN.
double bvn_(const double* lower, const double* upper, const int* infin, const double* correl);

// Probability bounds of one standardised variable: (*lower, *upper) =
// (0, Phi(b)) for flag 0, (Phi(a), 1) for flag 1, (Phi(a), Phi(b)) for flag 2
// and (0, 1) for a negative flag.
void limits_(const double* a, const double* b, const int* infin, double* lower, double* upper);

// |*x| when *y >= 0 (a negative zero counts as >= 0), -|*x| otherwise.
double d_sign(const double* x, const double* y);

#endif

// Univariate and bivariate normal probabilities for the multivariate normal
// integration (Genz's routines), and the log of the normal upper tail for the
// tail p-values.
//
// They keep the argument lists of Genz's published routines (PHI, PHINV, BVNU,
// BVN, LIMITS): every argument by pointer; they never change their inputs.
//
// A variable's `infin` flag selects its interval: below 0 the whole line,
// 0 (-inf, upper], 1 [lower, +inf), 2 [lower, upper].  Limits outside the
// selected interval are not read.
#ifndef VENTARQUILLO_NUMERICS_NORMAL_DISTRIBUTION_H
#define VENTARQUILLO_NUMERICS_NORMAL_DISTRIBUTION_H

// P(Z <= *z__) for a standard normal Z (Hart et al. algorithm 5666 with a
// continued-fraction tail; 0 below -37, 1 above 37).
double phi_(const double* z__);

// Standard normal quantile of *p (Wichura's AS 241, PPND16); -9 for p <= 0 and
// +9 for p >= 1.
double phinv_(const double* p);

// Upper orthant probability P(X > *sh, Y > *sk) of two standard normals with
// correlation *r__: Genz's version of Drezner and Wesolowsky (1990), Gauss-
// Legendre over asin(r), with an asymptotic expansion once |r| >= 0.925.
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

// Fortran SIGN(x, y): +|*x| if *y >= 0 (so also for -0.0), else -|*x|.
double d_sign(const double* x, const double* y);

// log sqrt(2 pi): log phi(x) = -x^2 / 2 - kLogSqrt2Pi.
inline constexpr double kLogSqrt2Pi = 0.91893853320467274178;

// log 2, rounded to the nearest double.
inline constexpr double kLog2 = 0.69314718055994530942;

// log Q(t) = log P(Z >= t) for a standard normal Z, to full relative accuracy
// for every t: -inf for t = +inf (and where -t^2 / 2 overflows), NaN for NaN.
double log_normal_upper(double t);

#endif

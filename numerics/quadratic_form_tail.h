// Upper tail of a positive linear combination of independent chi-squared
// variables with one degree of freedom, Q = sum_j lambda_j chi2_1, by the
// saddlepoint approximation in the Lugannani-Rice form (Kuonen 1999) with
// Daniels' second-order term (Daniels 1987).  Unlike an inversion of the
// characteristic function it keeps its relative accuracy however far out in
// the tail the point lies: the first-order form tends to a relative error of
// about 17 % when one coefficient dominates (the chi-squared tail with one
// degree of freedom), the second-order term brings that to about 3 %, and
// with more comparable coefficients the error is far smaller.
//
// No state is kept between calls.
#ifndef VENTARQUILLO_NUMERICS_QUADRATIC_FORM_TAIL_H
#define VENTARQUILLO_NUMERICS_QUADRATIC_FORM_TAIL_H

// P(Q > q) with Q = sum_{j < r} lambda[j] chi2_1, every lambda[j] positive.
//
// - q <= 0: 1 (Q is positive with probability 1).
// - The saddlepoint s solves K'(s) = q, K(s) = -1/2 sum log(1 - 2 lambda_j s)
//   the cumulant generating function, on (-inf, 1 / (2 max lambda)); it is
//   found by Newton's method kept inside a bracket that bisection shrinks
//   whenever a Newton step leaves it.
// - Within 1e-4 of the mean on the scale of the signed root w (the formula
//   is 0/0 there) the limit 1/2 - k3 / (6 sqrt(2 pi)) is used, k3 the
//   standardized third cumulant.
// - A result is clamped to [DBL_MIN, 1]: far beyond the range of doubles the
//   p-value reads DBL_MIN.
// - r < 1, a coefficient that is not positive and finite, or a q that is not
//   finite: NaN.
double qf_saddlepoint_upper(int r, const double* lambda, double q);

#endif

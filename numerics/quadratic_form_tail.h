// Upper tail of a positive linear combination of independent chi-squared
// variables with one degree of freedom, Q = sum_j lambda_j chi2_1, to a
// relative accuracy far beyond what the printed digits need, however small
// the tail is.
//
// Method: the inversion integral P(Q > q) = (1 / 2 pi i) int e^{K(z) - z q}
// dz / z, K the cumulant generating function, taken along the path of
// steepest descent through the saddlepoint s (K'(s) = q).  On that path
// K(z) - z q is real and equals -w^2/2 + ... in Daniels' variable w
// (w^2/2 - w_s w = K(z) - z q, w_s the signed root at the saddlepoint), so
// the path is the line w = w_s + i tau and the integrand carries the weight
// e^{-tau^2 / 2}: nothing oscillates, and the trapezoidal rule in tau
// converges geometrically.  Away from the mean (w_s >= 1) the integral is
// taken as it stands,
//     P = e^{K(s) - s q} / (2 pi) int e^{-tau^2/2} Re[(dz/dw) / z] dtau,
// a sum of positive terms whose first is the classical saddlepoint
// approximation; near and below the mean the pole of 1/z sits close to the
// path and is taken out in the Lugannani-Rice way (exact form, Daniels 1987),
//     P = Q(w_s) + phi(w_s) / sqrt(2 pi) int e^{-tau^2/2} Re[(dz/dw) / z - 1 / w] dtau.
// Each node of the path is found by Newton's method on K(z) - z q =
// K(s) - s q - tau^2 / 2, continued from the previous node.
//
// No state is kept between calls.
#ifndef VENTARQUILLO_NUMERICS_QUADRATIC_FORM_TAIL_H
#define VENTARQUILLO_NUMERICS_QUADRATIC_FORM_TAIL_H

// P(Q > q) with Q = sum_{j < r} lambda[j] chi2_1, every lambda[j] positive.
//
// - The result is in [DBL_MIN, 1]: a tail below the smallest normal double
//   (whether the Chernoff bound e^{K(s) - s q} already says so or the
//   integral does) reads DBL_MIN, and so does q = +inf.
// - q <= 0: 1 (Q is positive with probability 1).
// - r < 1, a coefficient that is not positive and finite, or q NaN: NaN; and
//   NaN if the path cannot be followed (not met in any test, a safeguard).
double qf_upper_tail(int r, const double* lambda, double q);

#endif

// Incomplete gamma function (series and Lentz continued fraction, with the
// Lanczos ln-gamma) and descriptive statistics over inclusive index ranges.
#ifndef VENTARQUILLO_NUMERICS_GAMMA_AND_STATS_H
#define VENTARQUILLO_NUMERICS_GAMMA_AND_STATS_H

// Regularised upper incomplete gamma Q(a, x) = 1 - P(a, x).
double gammq(double a, double x);
// *gamser = P(a, x) by its series; *gln = ln Gamma(a).
void gser(double* gamser, double a, double x, double* gln);
// Q(a, x) into *gammcf, from the continued fraction (modified Lentz), and
// ln Gamma(a) into *gln.
void gcf(double* gammcf, double a, double x, double* gln);
// ln Gamma(xx) for xx > 0 (Lanczos approximation).
double gammln(double xx);

// Upper tail of the chi-squared distribution with one degree of freedom at
// statistic >= 0: gammq(0.5, statistic * 0.5), but never below DBL_MIN, the
// smallest normal double (the continued fraction underflows once the
// statistic passes about 1,410, and an infinite statistic would not
// converge), so a larger statistic never gives a larger p-value.  NaN stays
// NaN.
double chiSquare1Upper(double statistic);

double mean(double* x, long nl, long nh);
// Standard deviation about mean_x with divisor n, never below 1e-10.
double sd(double* x, long nl, long nh, double mean_x);
// Median of x[nl..nh]; x is not changed.
double median(double* x, long nl, long nh);
// Robust scale: median of |x - median(x)| times 1.4826; leaves x as it was.
double sd_MAD(double* x, long nl, long nh);

#endif

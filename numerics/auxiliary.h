// Small helpers: the Wichmann-Hill uniform generator, a binomial deviate,
// printing of offset arrays, and logistic and least-squares fits.
//
// Nothing in the program calls them (no analysis draws random numbers,
// prints arrays this way or fits these models); they are kept as members of
// the toolkit's interface, for callers of the library, and tested.
#ifndef VENTARQUILLO_NUMERICS_AUXILIARY_H
#define VENTARQUILLO_NUMERICS_AUXILIARY_H

// State of runifC3's three component generators.  They start at 4567, 6789
// and 8901, each draw advances them, and they are never reset.
extern long gix;
extern long giy;
extern long giz;

// A uniform number in [0, 1) (Wichmann and Hill, AS 183).
double runifC3();
// A binomial(n, pp) deviate, as a double; its uniforms come from runifC3.
double rbinomC(double pp, int n);

// Rows nrl..nrh, columns ncl..nch, each element "%.4f\t", a line break per row.
void print_mf(double** m, long nrl, long nrh, long ncl, long nch);
// v[nrl..nrh], each "%d\t", then one line break.
void print_vi(int* v, int nrl, int nrh);
// v[nrl..nrh], each "%f\t", then one line break.
void print_vf(double* v, int nrl, int nrh);

// Logistic regression of y[0..N-1] (0 or 1) on the rows x[0..N-1] (columns
// 0..D-1) by Newton-Raphson with step halving; coefficients in vbeta1[0..D-1].
void logisticReg_v0(int N, int D, double* y, double** x, double* vbeta1);
// Least-squares coefficients of y[0..N-1] on x[0..N-1] (columns 0..P-1) in
// vbeta[0..P-1].
void linearMLE(int N, int P, double* y, double** x, double* vbeta);

#endif

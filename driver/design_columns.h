// Small helpers that the burden and multi-score tests share when they build
// the design of one analysis.
#ifndef VENTARQUILLO_DRIVER_DESIGN_COLUMNS_H
#define VENTARQUILLO_DRIVER_DESIGN_COLUMNS_H

// dst[i] = 1.0, then the columns k = 1..p-1 of src[i] whose flag is above 0.5
// (the covariates a trait uses, after the intercept), for rows 0..rows-1.
void selectColumns(int rows, int p, double** src, const double* flags, double** dst);

// True when v[0..n-1] holds one value (n >= 1).
bool constantOver(int n, const double* v);

// True when the burden x[0..n-1] lies in the span of the D design columns
// (design[i][0..D-1]), in the sense of dependentColumns with the design
// tolerance of the start-up checks (kDependentColumn): the fit of the
// burden's effect is then singular.  A design that is already singular on
// its own counts too.
bool burdenInDesignSpan(int n, const double* x, double** design, int D);

// True when the trait y[0..n-1] is a linear function of the D design
// columns on these n subjects (its part that they do not explain has a norm
// of at most kConstantSpread of its own, as at start-up), or when there are
// no more subjects than columns: no residual variation is left, and a
// least-squares statistic would be rounding noise.
bool traitExplainedByDesign(int n, const double* y, double** design, int D);

#endif

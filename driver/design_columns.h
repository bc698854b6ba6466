// Small helpers that the burden and multi-score tests share when they build
// the design of one analysis.
#ifndef VENTARQUILLO_DRIVER_DESIGN_COLUMNS_H
#define VENTARQUILLO_DRIVER_DESIGN_COLUMNS_H

#include "engine/design_span.h"

// A set of values does not vary when max - min <= kConstantSpread x
// max(|min|, |max|): exactly equal values, and values that agree in their
// first ten significant digits, which a measured trait never does (the
// differences are rounding noise of whatever produced the file).  A trait is
// a linear function of a design when its part that the design does not
// explain has a norm of at most kConstantSpread of its own.
constexpr double kConstantSpread = 1e-10;

// dst[i] = 1.0, then the columns k = 1..p-1 of src[i] whose flag is above 0.5
// (the covariates a trait uses, after the intercept), for rows 0..rows-1.
void selectColumns(int rows, int p, double** src, const double* flags, double** dst);

// True when v[0..n-1] holds one value (n >= 1).
bool constantOver(int n, const double* v);

// True when the burden x (one value per subject of the design) lies in the
// span of the design's columns, in the sense of dependentColumns with the
// design tolerance of the start-up checks (kDependentColumn): the fit of the
// burden's effect is then singular.  A design that is already singular on
// its own counts too.
bool burdenInDesignSpan(const DesignFactor& design, const double* x);

// True when the trait y (one value per subject of the design) is a linear
// function of the design's columns on its subjects (its part that they do
// not explain has a norm of at most kConstantSpread of its own, as at
// start-up), or when there are no more subjects than columns: no residual
// variation is left, and a least-squares statistic would be rounding noise.
bool traitExplainedByDesign(const DesignFactor& design, const double* y);

#endif

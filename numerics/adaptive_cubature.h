// Integration over the unit cube [0, 1]^ndim by Genz's subregion-adaptive
// algorithm (ADAPT; Genz and Malik 1980, with the null-rule error estimate of
// Berntsen, Espelid and Genz 1991).  Each subregion gets a degree-7 fully
// symmetric rule; the spread of three null rules estimates its error.  The
// subregion with the largest error, kept on top of a heap, is halved next,
// along the axis where the integrand's fourth difference is largest.
//
// The argument lists are those of Genz's published ADAPT: all arguments by
// pointer, arrays passed as a pointer to element 0 but indexed from 1 in
// these comments (element 1 is p[0]), and the outcome reported in inform__.
// Everything of an integration lives in the caller's work array, except the
// split axis, which a continuation call (mincls < 0) takes over from the
// previous call on the same thread: each thread may run its own
// integrations, and a continuation must follow its own start on that thread.
#ifndef VENTARQUILLO_NUMERICS_ADAPTIVE_CUBATURE_H
#define VENTARQUILLO_NUMERICS_ADAPTIVE_CUBATURE_H

// Integrand: called with the address of the dimension and of a point z
// (ndim doubles, strictly inside the current region); returns f(z).
using adapt_integrand = double (*)(int* ndim, double* z);

// Integrates functn over [0, 1]^ndim.
//   ndim >= 1; mincls: least number of calls to spend (negative: continue the
//   computation held in work, with the same ndim, functn, lenwrk and work);
//   maxcls: call budget; fabsreq, relreq: absolute and relative error targets;
//   work[lenwrk]: regions, heap and rule tables, kept between calls.
// Out: finest (estimate), fabsest (its estimated absolute error), mincls (the
// calls counted in this call) and inform__:
//   0  converged: fabsest within max(fabsreq, relreq*|finest|), and no fewer
//      than mincls calls used;
//   1  the next refinement would exceed maxcls (current finest, fabsest given);
//   2  refused: lenwrk < lenrul*(ndim+4) + 10*ndim + 3, maxcls < rulcls or
//      mincls > maxcls; mincls is set to rulcls (the number of points of the
//      basic rule) and nothing else is written, so maxcls = 0 asks for rulcls.
void adapt_(int* ndim, int* mincls, int* maxcls, adapt_integrand functn,
            double* fabsreq, double* relreq, int* lenwrk, double* work,
            double* fabsest, double* finest, int* inform__);

// Builds the basic and null rules: weights w (lenrul by 4, column-major) and
// generators g (ndim by lenrul, one column per generator class).
void bsinit_(int* ndim, double* w, int* lenrul, double* g);

// Orthonormalises null rules 2..numnul of w against the basic rule (weights
// rulpts per class) and divides them by rulcon.
void rulnrm_(int* lenrul, int* numnul, int* rulpts, double* w, double* rulcon);

// Runs the basic and null rules on each cell of the region [a, b] (cells of
// half-width width) and sums them: integral estimate in basest, error
// estimate in rgnert.  center and z__ are scratch of length ndim.
void basrul_(int* ndim, double* a, double* b, double* width,
             adapt_integrand functn, double* w, int* lenrul, double* g,
             double* center, double* z__, double* rgnert, double* basest);

// Sum of f over every distinct permutation, with all sign changes of its
// non-zero entries, of the generator g (length s), centred at center and
// scaled by hwidth; x is scratch.  g is restored on return.
double fulsum_(int* s, double* center, double* hwidth, double* x, double* g,
               adapt_integrand f);

// Fourth differences of functn along each axis, summed over the cells of
// [a, b]; picks the split axis divaxn (starting from the axis after the
// previous one) and returns the number of calls in difcls.  z__ and dif are
// ndim-long scratch.
void differ_(int* ndim, double* a, double* b, double* width, double* z__,
             double* dif, adapt_integrand functn, int* divaxn, int* difcls);

// Restores the heap pontrs[1..sbrgns] of region numbers, ordered by the errors
// rgners (largest on top), after region pointr was inserted or re-evaluated.
void trestr_(int* pointr, int* sbrgns, double* pontrs, double* rgners);

#endif

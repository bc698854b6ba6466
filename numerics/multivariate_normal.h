// Probability that a multivariate normal vector falls in a box, by Genz's
// SADMVN (Genz 1992).  After standardising, the variables are reordered so
// that the smallest conditional probability comes first, the correlation
// matrix gets a Cholesky factor, and Genz's sequential transformation turns
// the box probability into an integral over a unit cube with one dimension
// fewer than the number of bounded variables; adapt_ evaluates it, with a
// budget that grows until the error target is met.  With one or two bounded
// variables no integration is needed (the normal and bivariate normal
// functions).
//
// The argument lists are those of Genz's published SADMVN: every argument by
// pointer, arrays as a pointer to element 0, indexed from 1 in these comments
// (element 1 is p[0]) where nothing else is said; the outcome is reported in
// inform.  The prepared problem, which the integrand reads, is kept per thread
// and the rest of an evaluation's working storage in locals: each thread may
// run its own evaluations, one at a time.
//
// Each variable's infin flag says which of its limits count: below 0 none,
// 0 the upper one, 1 the lower one, 2 both.  Limits that do not count are
// not read.
#ifndef VENTARQUILLO_NUMERICS_MULTIVARIATE_NORMAL_H
#define VENTARQUILLO_NUMERICS_MULTIVARIATE_NORMAL_H

// P(X in box) for X ~ N(mu, Sigma) with 1 <= n <= 20 variables.  lower, upper,
// mu and infin are addressed 1..n (element 0 unused); Sigma is a 1-based
// matrix of which the diagonal and the strict lower triangle are read.
// maxpts: budget of integrand evaluations; abseps: absolute error target (the
// relative target is 0).  Out: *error, the estimated absolute error; *inform:
// 0 target met, 1 budget exhausted first (the estimate is still returned),
// 2 n outside 1..20 or a budget below one run of the cubature rule (value 0,
// error 1).
double mymvn(int maxpts, double abseps, int n, double* lower, double* upper, int* infin,
             double* mu, double** Sigma, double* error, int* inform);

// Driver on standardised limits (n elements each) and packed correlations:
// correl holds the strict lower triangle row by row, the correlation of
// variables i > j at element (i-1)(i-2)/2 + j.  Results in error, value and
// inform__ as for mymvn; the target is max(abseps, releps |value|).
void sadmvn_(int* n, double* lower, double* upper, int* infin, double* correl, int* maxpts,
             double* abseps, double* releps, double* error, double* value, int* inform__);

// One body with two entries.  n__ = 1 (initialisation): orders and factors
// the problem (n, correl, lower, upper, infin), keeps it for the integrand and
// returns infis (number of unbounded variables, plus one when two bounded
// variables were answered in closed form) and the probability bounds d__, e
// of the first variable (for two bounded variables: d__ = 0 and e the
// probability); the result 0 is the initial inform.  n__ = 0 (integrand):
// the transformed integrand at the point w of dimension n (coordinates in
// (0, 1)); the other arguments are not used.
double mvnfnc_0_(int n__, int* n, double* w, double* correl, double* lower, double* upper,
                 int* infin, int* infis, double* d__, double* e);
// The integrand entry handed to the adaptive cubature (selector 0).
double mvnfnc_(int* n, double* w);
// The initialisation entry (selector 1).
double mvnnit_(int* n, double* correl, double* lower, double* upper, int* infin, int* infis,
               double* d__, double* e);

// Ordering and Cholesky factorisation.  Writes infi (flags after ordering),
// a, b (limits after ordering and scaling), y (expected values of the
// conditioned variables), infis, cov (the scaled factor, lower triangle with
// diagonal packed row by row: row i at elements i(i-1)/2 + 1 .. i(i+1)/2) and
// the probability bounds d__, e of the first variable.
void ncvsrt_(int* n, double* lower, double* upper, double* correl, int* infin, double* y,
             int* infis, double* a, double* b, int* infi, double* cov, double* d__, double* e);

// Exchanges variables p < q: their limits, flags, and the rows and columns of
// the packed symmetric matrix c__ (lower triangle with diagonal).
void rcswap_(int* p, int* q, double* a, double* b, int* infin, int* n, double* c__);

// A uniform number in (0, 1) from L'Ecuyer's (1996) combined multiple
// recursive generator, two order-3 recurrences; each thread keeps its state.
// Nothing in the program calls it.
double uni_();
// A standard normal number drawn from uni_ with a table of 64 strips under
// the density, and a separate sampler for |z| above 2.776994269662875.
// Nothing in the program calls it.
double rnor_();

#endif

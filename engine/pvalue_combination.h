// From a score vector U and its covariance V to one statistic and its p-value,
// three ways:
//   method 1  the largest standardized score, max_k |U_k| / sqrt(V_kk); its
//             p-value is the probability that a multivariate normal vector
//             with the score correlations leaves the box |W_k| < T (Genz's
//             separation of variables on randomized lattice rules; one or two
//             components in closed form).
//   method 2  the variance component sum_k w_k U_k^2, a mixture of
//             chi-squared variables with the eigenvalues of
//             diag(sqrt w) V diag(sqrt w) as weights (Davies, AS 155, qfc).
//   method 0  the quadratic form U' V^-1 U against a chi-squared law, one
//             degree of freedom per valid component.
//
// Components with V[k][k] <= 0.0 are left out (NaN is kept).  Results come
// back as status codes, never as exceptions.  mymvn and qfc keep their
// working state per thread, the lattice and tail routines per call: these
// routines may run on several threads at once.
//
// Small p-values, where 1 - P would lose the digits, are taken as tails
// instead: for method 1 by ALOE importance sampling over the half-spaces (a
// relative error of 0.5 % at three standard errors, as the lattice rules
// above it), for method 2 below 1e-3 by the inversion integral along the
// steepest-descent path through the saddlepoint (relative error below 1e-8).
// A p-value is never below DBL_MIN; a statistic that is not finite gets none
// (NaN, flagged).
#ifndef VENTARQUILLO_ENGINE_PVALUE_COMBINATION_H
#define VENTARQUILLO_ENGINE_PVALUE_COMBINATION_H

#include "engine/covariance_factor.h"

// U[0..n_thresh-1], V[0..n_thresh-1][0..n_thresh-1] (symmetric), weight
// [0..n_thresh-1] (read by method 2 only).  Out: *T, *pvalue, *inform.
//
// No valid component: *pvalue = -999.0.  Under methods 0 and 1, *T is then
// -999.0 as well; under method 2, *T and *inform are left as they were.
//
// method 1: *inform = 0, or the flag of mvn_pvalue (1 the lattice rules ran
//   out of points, 2 the tail method ran out of budget).  Of two components
//   whose correlation is within 1e-10 of 1 the later one is left out of the
//   integration; *T still comes from every valid component.  A variance or a correlation of the valid
//   components that is not finite: *T and *pvalue NaN, *inform = 1, whatever
//   the number of components.  A largest standardized score that is not
//   finite (overflow, NaN score): *pvalue NaN, *inform = 1.
// method 2: *inform = the fault code of qfc (see SKAT).  When factor gives
//   V as a Gram product over fewer subjects than there are valid components
//   (engine/covariance_factor.h; V finite), the eigenvalues come from that
//   subject-side matrix instead of the weighted covariance, the rest as in
//   SKAT.
// method 0: *inform = 0; a quadratic form that is negative or not finite (V
//   not positive definite) gives *pvalue = NaN with *inform = 1.
// Any other method returns at once and changes nothing.
void DRENNIK_metaPval_v2(int method, int n_thresh, double* U, double** V, double* weight, double* T,
                         double* pvalue, int* inform, const CovarianceFactor* factor = nullptr);

// The number of components that method 1 integrates for V (n_thresh by
// n_thresh, 0-based): the valid ones less the perfectly correlated later
// duplicates.
int max_statistic_components(int n_thresh, double** V);

// The probability that some |W_k| reaches wstat_max, W multivariate normal with
// the 1-based N_WT by N_WT correlation matrix Sigma, to a relative error of
// 0.5 % (three standard errors):
//   Three to 20 components: Genz's separation of variables on randomized
//   Korobov lattice rules (maxnormal_lattice).  Below 0.5 they hand over to
//   maxnormal_tail (ALOE importance sampling of the union of the half-spaces
//   +-W_k >= wstat_max) when their next rule would have more than 400 times
//   u / p points (u = 2 N_WT Q(wstat_max), the union bound, by which the
//   tail method's draws grow), and below 0.05 at once; the tail method then
//   aims at the accuracy that both lack together, and the two estimates are
//   combined, weighted by the inverses of their variances.  Where u is below
//   0.05 the tail method alone.  When the lattice rules run out of points
//   first *inform = 1, when the tail method runs out of budget first
//   *inform = 2; the estimate is returned either way.
//   One component: the two-sided normal tail; two: the bivariate closed form
//   of mymvn while it is at least 1e-8 (and at least 0.1 for one component),
//   the tail method below.  A tail value is at least DBL_MIN.
// *inform is never set to 0 here.  Fewer than one or more than 20 components
// cannot be integrated: the result is then 1.0 with *inform = 1.  wstat_max
// NaN: NaN with *inform = 1; +inf, or so large that u is below DBL_MIN:
// DBL_MIN.
double mvn_pvalue(int N_WT, double wstat_max, double** Sigma, int* inform);

// Davies' value of P(Q > q), Q = sum_{j < r} lambda[j] chi2_1 (the terms in
// the order given), as the variance component takes it: 1 - the result of
// qfc with accuracy 1e-8 and at most 1e9 terms.  *ifault = qfc's fault code;
// NaN when qfc leaves no result (faults 1, 3, 4 and 5).
double davies_upper_tail(int r, double* lambda, double q, int* ifault);

// The variance-component statistic *T = sum_i weight[i] S[i]^2 (i < m) and
// its upper tail for S normal with mean 0 and covariance covS (0-based,
// symmetric).  The weighted covariance is diagonalised by GSL (eigenvalues
// only, by ascending magnitude); eigenvalues above 1e-5 times the mean of the
// non-negative ones go to qfc (accuracy 1e-8, at most 1e9 terms), whose fault
// code lands in *errorInd.
//
// - No eigenvalue >= 0 (a covariance holding NaN, or m < 1): the message
//   "No Eigenvalue is bigger than 0!!" on the console, *T_pvalue = -999.0,
//   *errorInd unchanged.
// - Some eigenvalue NaN, some >= 0 (NaN confined to a block of the
//   covariance): *T_pvalue = NaN, *errorInd = 3, as qfc reports a coefficient
//   that is not finite, rather than a p-value that leaves that block out.
// - qfc fault 2 (round-off may be significant): its result is usable and
//   *T_pvalue = 1 - result.
// - Below 1e-3 the p-value is the tail qf_upper_tail on the same
//   coefficients (inversion along the steepest-descent path; relative error
//   below 1e-8, at least DBL_MIN), with *errorInd = 0: Davies' 1 - result,
//   whose error is up to 1e-8 absolute, stands only where that tail is at
//   least 1e-3, and there it is held at 1e-3 or above, so that the p-value
//   never rises with the statistic where the method changes.
// - qfc faults 1, 3, 4 and 5 leave no result (qfc reports -1): qf_upper_tail
//   gives *T_pvalue and *errorInd keeps the fault code, so the caller flags
//   the p-value ("Pvalue_Fail").
// - A statistic that is not finite: *T_pvalue = NaN, *errorInd = 3, and the
//   caller writes NA for it.
void SKAT(int m, double* S, double** covS, double* weight, double* T, double* T_pvalue, int* errorInd);

#endif

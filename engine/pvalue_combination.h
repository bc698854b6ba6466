// From a score vector U and its covariance V to one statistic and its p-value,
// three ways:
//   method 1  the largest standardized score, max_k |U_k| / sqrt(V_kk); its
//             p-value is a multivariate normal probability under the score
//             correlations (Genz's integration, mymvn).
//   method 2  the variance component sum_k w_k U_k^2, a mixture of
//             chi-squared variables with the eigenvalues of
//             diag(sqrt w) V diag(sqrt w) as weights (Davies, AS 155, qfc).
//   method 0  the quadratic form U' V^-1 U against a chi-squared law, one
//             degree of freedom per valid component.
//
// Components with V[k][k] <= 0.0 are left out (NaN is kept).  Results come
// back as status codes, never as exceptions.  mymvn and qfc keep their
// working state per thread, the tail routines per call: these routines may
// run on several threads at once.
//
// Small p-values, where 1 - P would lose the digits, are taken as tails
// instead: for method 1 below 0.1 by ALOE importance sampling over the
// half-spaces (a relative error of 0.5 % at three standard errors), for
// method 2 below 1e-3 by the inversion integral along the steepest-descent
// path through the saddlepoint (relative error below 1e-8).  A p-value is never below DBL_MIN; a statistic that is not finite
// gets none (NaN, flagged).
#ifndef VENTARQUILLO_ENGINE_PVALUE_COMBINATION_H
#define VENTARQUILLO_ENGINE_PVALUE_COMBINATION_H

#include "engine/covariance_factor.h"

// U[0..n_thresh-1], V[0..n_thresh-1][0..n_thresh-1] (symmetric), weight
// [0..n_thresh-1] (read by method 2 only).  Out: *T, *pvalue, *inform.
//
// No valid component: *pvalue = -999.0.  Under methods 0 and 1, *T is then
// -999.0 as well; under method 2, *T and *inform are left as they were.
//
// method 1: *inform = 0, or the flag of mvn_pvalue (1 the first stage failed,
//   2 the tail method ran out of budget).  Of two components whose correlation is within
//   1e-10 of 1 the later one is left out of the integration; *T still comes
//   from every valid component.  A variance or a correlation of the valid
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
// the 1-based N_WT by N_WT correlation matrix Sigma.
//   Stage 1: 1 - P(box) by Genz's integration (mymvn) to an absolute error of
//   0.01, on a budget of 5000 N_WT^3 integrand evaluations, retried at twice
//   and four times that budget while it stays at most 1e9.  If every budget
//   fails: *inform = 1 and that estimate is returned.  A p-value of at least
//   0.1 (or not a number) is returned as it stands.
//   Tail: a stage-1 estimate below 0.1 is replaced by maxnormal_tail (ALOE
//   importance sampling of the union of the half-spaces +-W_k >= wstat_max),
//   to a relative error of 0.5 % (three standard errors); when its budget runs
//   out first *inform = 2 and its estimate is returned.  One component gives
//   the two-sided normal tail exactly; for two components the bivariate
//   closed form of stage 1 stands while it is at least 1e-8.  A tail value
//   is at least DBL_MIN.
// *inform is never set to 0 here.  More than 20 components cannot be
// integrated: the result is then 1.0 with *inform = 1.  wstat_max NaN: NaN
// with *inform = 1; +inf, or so large that the union bound 2 N_WT Q(wstat_max)
// is below DBL_MIN: DBL_MIN.
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

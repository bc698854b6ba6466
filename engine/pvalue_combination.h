// Combination of a score vector U and its covariance V into one statistic and
// one p-value.
//
//   method 1  maximum standardized statistic: T = max_k |U_k| / sqrt(V_kk), with
//             P(max_k |W_k| >= T) for W ~ N(0, R), R the correlation matrix of
//             the scores, by Genz's multivariate normal integration (mymvn).
//   method 2  variance component: T = sum_k w_k U_k^2, a weighted sum of
//             chi-squared variables whose coefficients are the eigenvalues of
//             diag(sqrt w) V diag(sqrt w); its upper tail by Davies' algorithm
//             (AS 155, qfc).
//   method 0  quadratic form T = U' V^-1 U with the chi-squared upper tail on as
//             many degrees of freedom as there are valid components.
//
// A component k is valid unless V[k][k] <= 0.0 (a NaN variance counts as
// valid); the others take no part.  Status codes are returned, nothing is
// thrown.  mymvn and qfc keep working state in static storage, so none of
// these routines is re-entrant.
//
// P-values below what one minus a probability can resolve are computed as
// tails: the maximum statistic below 0.1 by importance sampling of a union of
// half-spaces, the variance component below ten times Davies' accuracy by a
// saddlepoint approximation.
#ifndef VENTARQUILLO_ENGINE_PVALUE_COMBINATION_H
#define VENTARQUILLO_ENGINE_PVALUE_COMBINATION_H

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
//   the number of components.
// method 2: *inform = the fault code of qfc (see SKAT).
// method 0: *inform = 0; a quadratic form that is negative or not finite (V
//   not positive definite) gives *pvalue = NaN with *inform = 1.
// Any other method returns at once and changes nothing.
void DRENNIK_metaPval_v2(int method, int n_thresh, double* U, double** V, double* weight, double* T,
                         double* pvalue, int* inform);

// The number of components that method 1 integrates for V (n_thresh by
// n_thresh, 0-based): the valid ones less the perfectly correlated later
// duplicates.
int max_statistic_components(int n_thresh, double** V);

// P(max_k |W_k| >= wstat_max) for W ~ N(0, Sigma), Sigma a 1-based N_WT by N_WT
// correlation matrix.
//   Stage 1: 1 - P(box) by Genz's integration (mymvn) to an absolute error of
//   0.01, on a budget of 5000 N_WT^3 integrand evaluations, retried at twice
//   and four times that budget while it stays at most 1e9.  If every budget
//   fails: *inform = 1 and that estimate is returned.  A p-value of at least
//   0.1 (or not a number) is returned as it stands.
//   Tail: a stage-1 estimate below 0.1 is replaced by maxnormal_tail (ALOE
//   importance sampling of the union of the half-spaces +-W_k >= wstat_max),
//   to a relative error of 1 % (three standard errors); when its budget runs
//   out first *inform = 2 and its estimate is returned.  One component gives
//   the two-sided normal tail exactly; for two components the bivariate
//   closed form of stage 1 stands while it is at least 1e-8.  A tail value
//   is at least DBL_MIN.
// *inform is never set to 0 here.  More than 20 components cannot be
// integrated: the result is then 1.0 with *inform = 1.
double mvn_pvalue(int N_WT, double wstat_max, double** Sigma, int* inform);

// *T = sum_i weight[i] S[i]^2 over i < m and its upper-tail probability when
// S ~ N(0, covS) (covS 0-based, symmetric): the eigenvalues of the weighted
// covariance (GSL's symmetric eigen-solver, sorted by ascending magnitude)
// that lie strictly above 1/100000 of the mean of the non-negative ones are
// handed to qfc (accuracy 1e-8, at most 1e9 terms); *errorInd = qfc's fault
// code.
//
// - No eigenvalue >= 0 (for instance a covariance holding NaN, or m < 1): prints "No
//   Eigenvalue is bigger than 0!!" on standard output, *T_pvalue = -999.0,
//   *errorInd unchanged.
// - Some eigenvalue NaN, some >= 0 (NaN confined to a block of the
//   covariance): *T_pvalue = NaN, *errorInd = 3, as qfc reports a coefficient
//   that is not finite, rather than a p-value that leaves that block out.
// - qfc fault 2 (round-off may be significant): its result is usable and
//   *T_pvalue = 1 - result.
// - Davies' 1 - result below 1e-7 (ten times its accuracy; zero and negative
//   values included): the saddlepoint approximation qf_saddlepoint_upper on
//   the same coefficients gives *T_pvalue, with *errorInd = 0.
// - qfc faults 1, 3, 4 and 5 leave no result (qfc reports -1): the
//   saddlepoint approximation gives *T_pvalue and *errorInd keeps the fault
//   code, so the caller flags the p-value ("Pvalue_Fail").  Where that
//   approximation is not defined either (a statistic that is not finite)
//   *T_pvalue is NaN, and the caller writes NA for it.
void SKAT(int m, double* S, double** covS, double* weight, double* T, double* T_pvalue, int* errorInd);

#endif

#include "engine/pvalue_combination.h"

#include <gsl/gsl_eigen.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_vector.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "numerics/console.h"
#include "numerics/gram_cholesky.h"
#include "numerics/gamma_and_stats.h"
#include "numerics/linear_algebra.h"
#include "numerics/missing_value.h"
#include "numerics/multivariate_normal.h"
#include "numerics/normal_max_lattice.h"
#include "numerics/normal_distribution.h"
#include "numerics/normal_max_tail.h"
#include "numerics/offset_arrays.h"
#include "numerics/quadratic_form.h"
#include "numerics/quadratic_form_tail.h"

namespace {

// Maximum statistic: a correlation this close to 1 makes the later of two
// components a duplicate of the earlier one.
constexpr double kDuplicateTolerance = 1e-10;

// mvn_pvalue.  The multivariate normal integration takes at most this many
// components; one or two are answered in closed form, with this integrand
// budget per component cubed (which they never use).
constexpr int kMaxComponents = 20;
constexpr int kBudgetPerCube = 5000;
// One or two components: below this closed-form value the p-value comes from
// the tail method.  Two components: the bivariate closed form, whose absolute
// error is about 1e-15, stands down to kBivariateFloor, where its relative
// error is still about 1e-7.
constexpr double kTailStart = 0.1;
constexpr double kBivariateFloor = 1e-8;
// Three components or more: the lattice rules, which need more points as the
// p-value shrinks, give the p-values of at least kLatticeSure; below it they
// hand over to the tail method, whose draws grow with the ratio of the union
// bound 2 N Q(w) to the p-value instead, when their next rule would have more
// than kLatticePointsPerRatio times that ratio points (about a thousand where
// the components are not all close: the two then take about the same time),
// and below kLatticeFloor at once.  Both to this relative error (three
// standard errors).
constexpr double kLatticeFloor = 0.05;
constexpr double kLatticeSure = 0.5;
constexpr double kLatticePointsPerRatio = 400.0;
constexpr double kRelativeError = 0.005;

// SKAT: eigenvalues at or below this fraction of the mean non-negative
// eigenvalue are left out; Davies' algorithm settings.
constexpr double kEigenCut = 100000.0;
constexpr int kQfcLimit = 1000000000;
constexpr double kQfcAccuracy = 1e-8;
// qfc's fault codes for a coefficient or a point that is not finite, and for
// round-off that may be significant.
constexpr int kNonFiniteFault = 3;
constexpr int kRoundOffFault = 2;
// Davies' value stands unless the tail is below this; a p-value below it
// comes from the tail.
constexpr double kTailBelow = 1e-3;
// Without a tail value, Davies' value below this many times its accuracy is
// not kept.
constexpr double kDaviesResolution = 10.0;

// Indices of the valid components (0.0 >= V[k][k] does not hold) in
// valid[0..count-1]; returns the count.  valid needs room for n entries.
int valid_components(int n, double** V, int* valid) {
    int count = 0;
    for (int k = 0; k < n; ++k)
        if (!(0.0 >= V[k][k])) valid[count++] = k;
    return count;
}

// The start of methods 0 and 1: *inform = 0, and the valid components of V
// in a new ivector(0, n_thresh - 1), their count in *nv.  Without one, *T
// and *pvalue read -999.0 and the result is nullptr (nothing to release).
int* begin_statistic(int n_thresh, double** V, int* nv, double* T, double* pvalue, int* inform) {
    *inform = 0;
    int* valid = ivector(0, n_thresh - 1);
    *nv = valid_components(n_thresh, V, valid);
    if (*nv > 0) return valid;
    *T = kNotComputed;
    *pvalue = kNotComputed;
    free_ivector(valid, 0, n_thresh - 1);
    return nullptr;
}

// Correlation of valid components a and b (1-based positions in valid[]).
// The product of two variances leaves the range of doubles when the scores
// are on a very large or very small scale (weights of 1e100, a trait in tiny
// units); their square roots taken apart do not.
double valid_correlation(double** V, const int* valid, int a, int b) {
    const int ka = valid[a - 1], kb = valid[b - 1];
    if (a == b) return 1.0;
    const double product = V[ka][ka] * V[kb][kb];
    if (std::isnormal(product)) return V[ka][kb] / std::sqrt(product);
    return V[ka][kb] / (std::sqrt(V[ka][ka]) * std::sqrt(V[kb][kb]));
}

// Perfectly correlated duplicates: of two components whose correlation is
// within kDuplicateTolerance of 1 the later one goes (col_index[c] = 0).  A
// row is examined even when its own component has already gone; a
// correlation near -1 drops nothing.  Returns the number kept.
int mark_duplicates(int nv, double** Sigma, int* col_index) {
    for (int a = 1; a <= nv; ++a) col_index[a] = 1;
    for (int a = 1; a < nv; ++a)
        for (int c = a + 1; c <= nv; ++c)
            if (std::fabs(Sigma[a][c] - 1.0) < kDuplicateTolerance) col_index[c] = 0;
    int kept = 0;
    for (int a = 1; a <= nv; ++a) kept += col_index[a];
    return kept;
}

// Method 1: the maximum standardized statistic.
void max_statistic(int n_thresh, double* U, double** V, double* T, double* pvalue, int* inform) {
    int nv = 0;
    int* valid = begin_statistic(n_thresh, V, &nv, T, pvalue, inform);
    if (!valid) return;

    // The first valid value starts the maximum; a later one replaces it only
    // when greater, so a NaN never replaces a number.
    double Tmax = 0.0;
    for (int a = 0; a < nv; ++a) {
        const int k = valid[a];
        const double z = std::fabs(U[k] / std::sqrt(V[k][k]));
        if (a == 0 || z > Tmax) Tmax = z;
    }
    *T = Tmax;
    if (!std::isfinite(Tmax)) {
        // A score or a standardized score that is not finite (overflow, or a
        // NaN score): no p-value can be trusted, however far out it would lie.
        *pvalue = std::numeric_limits<double>::quiet_NaN();
        *inform = 1;
        free_ivector(valid, 0, n_thresh - 1);
        return;
    }

    double** Sigma = dmatrix(1, nv, 1, nv);
    bool finite = true;
    for (int a = 1; a <= nv; ++a) {
        finite = finite && std::isfinite(V[valid[a - 1]][valid[a - 1]]);
        for (int b = 1; b <= nv; ++b) {
            Sigma[a][b] = valid_correlation(V, valid, a, b);
            finite = finite && std::isfinite(Sigma[a][b]);
        }
    }
    if (!finite) {
        // A variance (or a correlation) that is not a number leaves neither
        // the statistic nor its distribution defined, whatever the number of
        // components: no p-value, flagged.
        *T = std::numeric_limits<double>::quiet_NaN();
        *pvalue = std::numeric_limits<double>::quiet_NaN();
        *inform = 1;
        free_dmatrix(Sigma, 1, nv, 1, nv);
        free_ivector(valid, 0, n_thresh - 1);
        return;
    }

    int* col_index = ivector(1, nv);
    const int n_thresh2 = mark_duplicates(nv, Sigma, col_index);

    if (n_thresh2 == nv) {
        *pvalue = mvn_pvalue(nv, Tmax, Sigma, inform);
    } else {
        double** Sigma2 = dmatrix(1, n_thresh2, 1, n_thresh2);
        int r = 0;
        for (int a = 1; a <= nv; ++a) {
            if (!col_index[a]) continue;
            ++r;
            int c = 0;
            for (int b = 1; b <= nv; ++b)
                if (col_index[b]) Sigma2[r][++c] = Sigma[a][b];
        }
        *pvalue = mvn_pvalue(n_thresh2, Tmax, Sigma2, inform);
        free_dmatrix(Sigma2, 1, n_thresh2, 1, n_thresh2);
    }

    free_ivector(col_index, 1, nv);
    free_dmatrix(Sigma, 1, nv, 1, nv);
    free_ivector(valid, 0, n_thresh - 1);
}

// qfc's faults 1, 3, 4 and 5 leave no distribution value (its result is -1).
bool qfc_left_no_result(int ifault) { return ifault == 1 || ifault == 3 || ifault == 4 || ifault == 5; }

// The m eigenvalues (in GSL's order) of the symmetric m by m matrix a
// (row-major, overwritten), by GSL's solver without eigenvectors: the same
// Householder reduction and implicit QR steps as with them, so the same
// eigenvalues bit for bit, at a fraction of the work.
void symmetric_eigenvalues(int m, double* a, double* eigenvalues) {
    gsl_matrix_view view = gsl_matrix_view_array(a, m, m);
    gsl_vector_view eval = gsl_vector_view_array(eigenvalues, m);
    gsl_eigen_symm_workspace* work = gsl_eigen_symm_alloc(m);
    gsl_eigen_symm(&view.matrix, &eval.vector, work);
    gsl_eigen_symm_free(work);
}

// The m eigenvalues (in GSL's order) of diag(sqrt w) covS diag(sqrt w),
// covS m by m, 0-based and symmetric.
void weighted_eigenvalues(int m, double** covS, const double* weight, double* eigenvalues) {
    std::vector<double> KK(static_cast<std::size_t>(m) * m);
    for (int i = 0; i < m; ++i) {
        const double wi = std::sqrt(weight[i]);
        for (int j = 0; j < m; ++j)
            KK[static_cast<std::size_t>(i) * m + j] = wi * std::sqrt(weight[j]) * covS[i][j];
    }
    symmetric_eigenvalues(m, KK.data(), eigenvalues);
}

// The n eigenvalues (in GSL's order) of the subject-side matrix scale A'A,
// A the rows sqrt(weight[k]) R[k] of the nv components valid[]: its non-zero
// eigenvalues are those of the weighted covariance of these components,
// scale (R diag(weight) R')_valid, and it has order n instead of nv.
void subject_side_eigenvalues(const CovarianceFactor& f, int nv, const int* valid, const double* weight,
                              double* eigenvalues) {
    const int n = f.n;
    std::vector<double> A(static_cast<std::size_t>(nv) * n);
    for (int a = 0; a < nv; ++a) {
        const int k = valid[a];
        const double wk = std::sqrt(weight[k]);
        const double* r = f.R.data() + static_cast<std::size_t>(k) * n;
        double* row = A.data() + static_cast<std::size_t>(a) * n;
        for (int i = 0; i < n; ++i) row[i] = wk * r[i];
    }
    std::vector<double> C(static_cast<std::size_t>(n) * n, 0.0);
    gram_update(nv, n, n, A.data(), n, A.data(), n, C.data(), n, false, true);
    for (int i = 0; i < n; ++i) {
        for (int j = i; j < n; ++j) {
            const double c = f.scale * C[static_cast<std::size_t>(i) * n + j];
            C[static_cast<std::size_t>(i) * n + j] = c;
            C[static_cast<std::size_t>(j) * n + i] = c;
        }
    }
    symmetric_eigenvalues(n, C.data(), eigenvalues);
}

// Everything of SKAT after the eigenvalues lambda0 of the weighted
// covariance (in any order) and the statistic Q: the cut, Davies' algorithm
// and the tail.
void eigenvalue_pvalue(std::vector<double>& lambda0, double Q, double* T_pvalue, int* errorInd) {
    int n_nonneg = 0;
    bool has_nan = false;
    for (const double e : lambda0) {
        if (e >= 0.0) ++n_nonneg;
        has_nan = has_nan || std::isnan(e);
    }
    if (n_nonneg == 0) {
        std::fprintf(consoleOut(), "No Eigenvalue is bigger than 0!!");
        *T_pvalue = kNotComputed;
        return;
    }
    // A NaN eigenvalue (a covariance holding NaN in a block of its own) would
    // fall out of the cut below and the p-value would silently ignore it.
    // Report it as Davies' algorithm reports a coefficient that is not finite.
    if (has_nan) {
        *T_pvalue = std::numeric_limits<double>::quiet_NaN();
        *errorInd = kNonFiniteFault;
        return;
    }

    // By ascending magnitude: the order in which the non-negative ones are
    // summed and the kept ones handed to qfc (both orders are fixed by the
    // values alone, ties being equal values).
    std::sort(lambda0.begin(), lambda0.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
    double sum = 0.0;
    for (const double e : lambda0)
        if (e >= 0.0) sum += e;
    const double cut = sum / n_nonneg / kEigenCut;

    std::vector<double> lambda;
    for (const double e : lambda0)
        if (e > cut) lambda.push_back(e);
    const int r = static_cast<int>(lambda.size());

    if (!std::isfinite(Q)) {
        // A statistic that is not finite (an overflowing or NaN score): no
        // p-value, flagged as Davies' algorithm flags a point that is not
        // finite.
        *T_pvalue = std::numeric_limits<double>::quiet_NaN();
        *errorInd = kNonFiniteFault;
        return;
    }

    int ifault = 0;
    const double davies = davies_upper_tail(r, lambda.data(), Q, &ifault);
    const bool no_result = qfc_left_no_result(ifault);
    *T_pvalue = davies;
    *errorInd = ifault;

    // Davies' 1 - res is within acc of the truth.  That is within a hundred
    // thousandth of a p-value of at least kTailBelow; a smaller p-value, and
    // every p-value after a fault of qfc, comes from the inversion along the
    // steepest-descent path, whose relative error is below 1e-8 at any size.
    // Which of the two stands is decided by the tail value, which falls as
    // the statistic grows, so there is one switch; at it Davies' value is
    // held at kTailBelow or above, so the p-value never rises there.  The
    // tail is only computed where Davies' value does not already settle the
    // question (below twice kTailBelow).
    if (!no_result && !(davies < 2.0 * kTailBelow)) return;
    const double tail = qf_upper_tail(r, lambda.data(), Q);
    if (no_result || tail < kTailBelow) {
        // A replaced value of qfc loses its fault code; after a fault the code
        // stays, so the value stays flagged.
        *T_pvalue = tail;
        if (!no_result) *errorInd = 0;
    } else if (tail >= kTailBelow) {
        if (davies < kTailBelow) *T_pvalue = kTailBelow;
    } else if (davies < kDaviesResolution * kQfcAccuracy) {
        // No tail value (the path was lost; not met in any test) and Davies'
        // value unresolved: no p-value, flagged as round-off.
        *T_pvalue = std::numeric_limits<double>::quiet_NaN();
        *errorInd = kRoundOffFault;
    } else {
        // No tail value: Davies' value, flagged as possibly inaccurate.
        *errorInd = kRoundOffFault;
    }
}

// Whether the eigenvalues of the nv valid components are better taken from
// the subject side of factor: fewer subjects than components, and a finite
// scale and finite variances (a covariance holding an infinity or a NaN is
// left to the variant side, where it is reported as such).
bool subject_side_pays(const CovarianceFactor* factor, int nv, const int* valid, double** V) {
    if (factor == nullptr || factor->n < 1 || !(factor->n < nv) || !std::isfinite(factor->scale)) return false;
    for (int a = 0; a < nv; ++a)
        if (!std::isfinite(V[valid[a]][valid[a]])) return false;
    return true;
}

// Method 2: the variance component over the valid components, in order.
void variance_component(int n_thresh, double* U, double** V, double* weight, double* T, double* pvalue,
                        int* inform, const CovarianceFactor* factor) {
    int* valid = ivector(0, n_thresh - 1);
    const int nv = valid_components(n_thresh, V, valid);
    if (nv == 0) {
        *pvalue = kNotComputed;
        free_ivector(valid, 0, n_thresh - 1);
        return;
    }
    if (subject_side_pays(factor, nv, valid, V)) {
        double Q = 0.0;
        for (int a = 0; a < nv; ++a) Q += U[valid[a]] * weight[valid[a]] * U[valid[a]];
        *T = Q;
        std::vector<double> lambda0(static_cast<std::size_t>(factor->n));
        subject_side_eigenvalues(*factor, nv, valid, weight, lambda0.data());
        eigenvalue_pvalue(lambda0, Q, pvalue, inform);
        free_ivector(valid, 0, n_thresh - 1);
        return;
    }
    double* U2 = dvector(0, nv - 1);
    double* weight2 = dvector(0, nv - 1);
    double** V2 = dmatrix(0, nv - 1, 0, nv - 1);
    for (int a = 0; a < nv; ++a) {
        const int ka = valid[a];
        U2[a] = U[ka];
        weight2[a] = weight[ka];
        for (int b = 0; b < nv; ++b) V2[a][b] = V[ka][valid[b]];
    }
    SKAT(nv, U2, V2, weight2, T, pvalue, inform);
    free_dmatrix(V2, 0, nv - 1, 0, nv - 1);
    free_dvector(weight2, 0, nv - 1);
    free_dvector(U2, 0, nv - 1);
    free_ivector(valid, 0, n_thresh - 1);
}

// Method 0: U' V^-1 U over the valid components, chi-squared on as many
// degrees of freedom.
void quadratic_form(int n_thresh, double* U, double** V, double* T, double* pvalue, int* inform) {
    int nv = 0;
    int* valid = begin_statistic(n_thresh, V, &nv, T, pvalue, inform);
    if (!valid) return;
    double** Vinv = dmatrix(1, nv, 1, nv);
    for (int a = 1; a <= nv; ++a)
        for (int b = 1; b <= nv; ++b) Vinv[a][b] = V[valid[a - 1]][valid[b - 1]];
    invv(Vinv, nv);
    double q = 0.0;
    for (int a = 1; a <= nv; ++a)
        for (int b = 1; b <= nv; ++b) q += U[valid[a - 1]] * Vinv[a][b] * U[valid[b - 1]];
    *T = q;
    if (std::isfinite(q) && q >= 0.0) {
        *pvalue = gammq(nv / 2.0, q / 2.0);
    } else {
        *pvalue = std::numeric_limits<double>::quiet_NaN();
        *inform = 1;
    }
    free_dmatrix(Vinv, 1, nv, 1, nv);
    free_ivector(valid, 0, n_thresh - 1);
}

}  // namespace

int max_statistic_components(int n_thresh, double** V) {
    if (n_thresh < 1) return 0;
    int* valid = ivector(0, n_thresh - 1);
    const int nv = valid_components(n_thresh, V, valid);
    int kept = 0;
    if (nv > 0) {
        double** Sigma = dmatrix(1, nv, 1, nv);
        for (int a = 1; a <= nv; ++a)
            for (int b = 1; b <= nv; ++b) Sigma[a][b] = valid_correlation(V, valid, a, b);
        int* col_index = ivector(1, nv);
        kept = mark_duplicates(nv, Sigma, col_index);
        free_ivector(col_index, 1, nv);
        free_dmatrix(Sigma, 1, nv, 1, nv);
    }
    free_ivector(valid, 0, n_thresh - 1);
    return kept;
}

void DRENNIK_metaPval_v2(int method, int n_thresh, double* U, double** V, double* weight, double* T,
                         double* pvalue, int* inform, const CovarianceFactor* factor) {
    if (method != 0 && method != 1 && method != 2) return;
    if (n_thresh < 1) {
        // Nothing to combine: the same outcome as no valid component.
        if (method != 2) {
            *inform = 0;
            *T = kNotComputed;
        }
        *pvalue = kNotComputed;
        return;
    }
    switch (method) {
        case 0: quadratic_form(n_thresh, U, V, T, pvalue, inform); break;
        case 1: max_statistic(n_thresh, U, V, T, pvalue, inform); break;
        case 2: variance_component(n_thresh, U, V, weight, T, pvalue, inform, factor); break;
    }
}

double mvn_pvalue(int N_WT, double wstat_max, double** Sigma, int* inform) {
    const int N = N_WT;
    // A statistic that is not a number has no p-value, an infinite one the
    // limit of the tail.
    if (std::isnan(wstat_max)) {
        *inform = 1;
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (wstat_max == std::numeric_limits<double>::infinity()) return DBL_MIN;
    // The union bound 2 N Q(w) below DBL_MIN settles the p-value before any
    // integration (the bivariate closed form has no value once w^2 overflows).
    if (N >= 1 && std::log(2.0 * N) + log_normal_upper(wstat_max) < std::log(DBL_MIN)) return DBL_MIN;
    if (N < 1 || N > kMaxComponents) {
        // Nothing that the integration takes: the p-value 1, flagged.
        *inform = 1;
        return 1.0;
    }
    // The tail method to the relative error releps.
    auto tail = [&](double releps, double* relerr) {
        int info = 0;
        const double p = maxnormal_tail(N, wstat_max, Sigma, releps, relerr, &info);
        if (info != 0) *inform = 2;
        return p;
    };

    if (N <= 2) {
        // One component: the two-sided normal tail; two: the bivariate closed
        // form (mymvn integrates nothing here, and always meets its target).
        double lower[kMaxComponents + 1], upper[kMaxComponents + 1], mu[kMaxComponents + 1];
        int infin[kMaxComponents + 1];
        for (int k = 1; k <= N; ++k) {
            lower[k] = -wstat_max;
            upper[k] = wstat_max;
            infin[k] = 2;
            mu[k] = 0.0;
        }
        double error = 0.0;
        int info = 0;
        const double p = 1.0 - mymvn(kBudgetPerCube * N * N * N, 0.01, N, lower, upper, infin, mu, Sigma,
                                     &error, &info);
        double relerr = 0.0;
        if (p < kTailStart && !(N == 2 && p >= kBivariateFloor)) return tail(kRelativeError, &relerr);
        return p;
    }

    // Three or more: the lattice rules while the union bound 2 N Q(w) leaves
    // room for a p-value of at least kLatticeFloor, the tail method where
    // they hand over.  Should the lattice rules run out of points first,
    // their estimate is returned, flagged.  When they hand over for the cost
    // of their next rule, their estimate is kept: the tail method then needs
    // only the accuracy that the two lack together, and the two independent
    // estimates are combined, each weighted by the inverse of its variance
    // (the estimated relative errors are three standard errors over the
    // estimate).  Below kLatticeFloor the lattice estimate goes: where few
    // points leave the box, its spread may not have seen the rare ones.
    if (std::log(2.0 * N) + log_normal_upper(wstat_max) >= std::log(kLatticeFloor)) {
        double lattice_relerr = 0.0;
        int info = 0;
        const double lattice = maxnormal_lattice(N, wstat_max, Sigma, kRelativeError, kLatticeFloor, kLatticeSure,
                                                 kLatticePointsPerRatio, &lattice_relerr, &info);
        if (info == 0) return lattice;
        if (info == 1) {
            *inform = 1;
            return lattice;
        }
        double tail_relerr = 0.0;
        if (!(lattice >= kLatticeFloor)) return tail(kRelativeError, &tail_relerr);
        const double lacking = 1.0 / (kRelativeError * kRelativeError) - 1.0 / (lattice_relerr * lattice_relerr);
        const double p = tail(1.0 / std::sqrt(lacking), &tail_relerr);
        if (!(tail_relerr > 0.0)) return p;
        const double lattice_weight = 1.0 / (lattice_relerr * lattice * lattice_relerr * lattice);
        const double tail_weight = 1.0 / (tail_relerr * p * tail_relerr * p);
        return (lattice_weight * lattice + tail_weight * p) / (lattice_weight + tail_weight);
    }
    double relerr = 0.0;
    return tail(kRelativeError, &relerr);
}

double davies_upper_tail(int r, double* lambda, double q, int* ifault) {
    std::vector<double> delta(static_cast<std::size_t>(r), 0.0);
    std::vector<int> h(static_cast<std::size_t>(r), 1);
    double trace[7] = {0, 0, 0, 0, 0, 0, 0};
    double sigma = 0.0;
    int lim = kQfcLimit;
    double acc = kQfcAccuracy;
    double res = 0.0;
    *ifault = 0;
    qfc(lambda, delta.data(), h.data(), &r, &sigma, &q, &lim, &acc, trace, ifault, &res);
    return qfc_left_no_result(*ifault) ? std::numeric_limits<double>::quiet_NaN() : 1.0 - res;
}

void SKAT(int m, double* S, double** covS, double* weight, double* T, double* T_pvalue, int* errorInd) {
    double Q = 0.0;
    for (int i = 0; i < m; ++i) Q += S[i] * weight[i] * S[i];
    *T = Q;
    if (m < 1) {
        // No component: no eigenvalue either (the eigen-solver refuses order 0).
        std::fprintf(consoleOut(), "No Eigenvalue is bigger than 0!!");
        *T_pvalue = kNotComputed;
        return;
    }

    std::vector<double> lambda0(static_cast<std::size_t>(m));
    weighted_eigenvalues(m, covS, weight, lambda0.data());
    eigenvalue_pvalue(lambda0, Q, T_pvalue, errorInd);
}

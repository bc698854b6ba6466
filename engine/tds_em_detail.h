// Steps of the MLE analyses shared between engine files, and the EM entry
// points with an explicit stopping rule.  The public routines of tds_em.h use
// tolerance 1e-4 and a cap of kEmMaxIterations; tests call the entry points
// here to refit to tight convergence or to reach the cap quickly.  Only the
// engine, its tests and bench_tds_em include this header: the bench times
// these steps one by one (the null fit, the profiling of its information,
// the products of a gene), which the public routines only take together.
#ifndef VENTARQUILLO_ENGINE_TDS_EM_DETAIL_H
#define VENTARQUILLO_ENGINE_TDS_EM_DETAIL_H

#include <vector>

#include "engine/louis_information.h"
#include "engine/tds_em.h"

namespace tds_detail {

constexpr double kTolerance = 1e-4;
constexpr int kMaxIterations = kEmMaxIterations;

// The scale on which the EM measures the change of its coefficients and
// variance: the standard deviation of the pooled primary-trait records (each
// counted as often as c10 says) when it is below 1, else 1.  The stopping
// rule's tolerance is absolute, so on a trait of small spread (a trait given
// in units 1e4 times too large, say) it would stop the fit while the
// coefficients are still far from their limit; measured in units of the
// trait's spread, a fit of y and of y/1000 stop alike.  A trait whose spread
// is 1 or more keeps the plain rule.
double trait_scale(int n10, const int* c10, const double* y10);

// Prints the EM warning line of a fit stopped at the iteration cap.
void report_nonconvergence();

// One EM fit: the parameters, and the membership weights of the
// non-sequenced records (those of the sequenced records are the identity).
struct EmFit {
    int n1 = 0;
    int n0 = 0;  // non-sequenced records
    int d = 0;
    std::vector<double> eta;   // [d]
    double sigma11 = 0.0;
    std::vector<double> qm;    // [n1]
    std::vector<double> etaW;  // [n1]
    std::vector<double> post;  // [n1 x n0]: post[j*n0 + i] = phi[n1+i][j]
    int EMconvergeN = 0;
    bool warned = false;  // stopped at the cap and printed the warning

    FitView view() const { return FitView{sigma11, qm.data(), etaW.data(), post.data(), eta.data()}; }
};

// The EM fit on the design w[n1][d], as the engine uses it: the membership
// weights kept for the non-sequenced records only (n1 x n0).
EmFit fit_em(int n, int n10, int n1, int d, const int* c10, const double* y10, double** w, double tolerance,
             int max_iterations);

// The same fit written into the caller's arrays as EM_quan returns it:
// eta[d], *sigma11, qm[n1], etaW[n1], *EMconvergeN and the whole
// phi[n10][n1], identity rows for the sequenced records included (n10 x n1
// doubles: for library callers and tests, not for large n1).  Returns true
// when the fit stopped at the cap and printed the warning (a fit that meets
// the tolerance in its last allowed iteration reports the same count,
// without the warning).
bool fit_em_into_arrays(int n, int n10, int n1, int d, const int* c10, const double* y10, double** w, double* eta,
                        double* sigma11, double* qm, double* etaW, double** phi, int* EMconvergeN, double tolerance,
                        int max_iterations);

// The non-sequenced rows of phi[n10][n1] as post (see EmFit).
std::vector<double> membership_from_phi(int n10, int n1, double** phi);

// The efficient scores and covariance of tested columns against a null fit
// on the covariates z[.][col0..col0+p-1]: the covariates, sigma11 and the
// point weights are nuisance parameters.  The points are profiled out of the
// information once (FitInformation), the covariates and sigma11 by the
// inverse of their block, kept here; each set of tested columns then costs
// time in proportion to n1 * n0.  The views must outlive the object.
class NullInformation {
public:
    NullInformation(const RecordsView& records, const FitView& fit, double** z, int col0, int p);
    NullInformation(const NullInformation&) = delete;
    NullInformation& operator=(const NullInformation&) = delete;

    // U[m1] and cov[m1][m1] of the columns SZ[.][0..m1-1]:
    // cov = S_TT - S_TN S_NN^-1 S_NT, S the information with the points
    // profiled out, N the covariates and sigma11.
    void efficient(double** SZ, int m1, double* U, double** cov) const;

private:
    FitInformation info_;
    FitInformation::Block nuisance_;
    int kN_;
    std::vector<double> inverse_;  // S_NN^-1, kN x kN
};

// EM_quan2_time with an explicit stopping rule.
void em_full_fit(int n, int n10, int n1, int p, const int* c10, const double* y10, const double* g,
                 double** z, double* prim_est, double** prim_cov, int* convergeN, double tolerance,
                 int max_iterations);

// The n1 by p+1 design of a single-burden test, the burden g in column 0 and
// z after it.  Released with free_dmatrix(GZ, 0, n1 - 1, 0, p).
double** burden_design(int n1, int p, const double* g, double** z);

// Score of the burden g at effect 0 under a null fit: each record's residual
// at each point, weighted by its membership phi and by g at that point,
// summed record by record and divided by sigma11.
double burden_score(const RecordsView& records, const EmFit& fit, const double* g);

// Least squares on the rows W[0..rows-1][0..k-1] with weights weight[j]
// (nullptr: all 1) and right-hand sides rhs[j]: the normal equations
// A = sum_j weight_j w_j w_j' and B = sum_j rhs_j w_j are summed into inv_A
// and B (1-based, order k) row by row, each entry's terms (weight_j w_j[r]) w_j[c]
// and rhs_j w_j[r] in increasing j; inv_A is then replaced by the inverse of A
// (invv) and est[r] = sum over c of inv_A[r+1][c+1] B[c+1].  The EM's M-step
// and the secondary least-squares fits share it.
void solve_normal_equations(int rows, int k, double** W, const double* weight, const double* rhs, double** inv_A,
                            double* B, double* est);

}  // namespace tds_detail

#endif

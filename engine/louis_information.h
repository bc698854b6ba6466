// Louis' (1982) observed information of a fit of the semiparametric model,
// with the point weights constrained to sum to one, and the covariances that
// the score tests and the full fit read from it.
//
// Parameters: the coefficients of the design columns, sigma11, and one
// weight qm[j] per sequenced subject (point).  The information is
//     Q1 = Q13 - Q11 - Q12,
// Q11 and Q12 from the complete-data derivatives (entries only in the rows
// of the coefficients and sigma11), Q13 = sum over records i of l_i l_i'/c_i,
// l_i the record's expected complete-data score.  The sum-to-one constraint
// subtracts the last point's row and column from those of the other points
// and drops the last point.
//
// The point block of that reduced information is never formed: a sequenced
// subject sits on its own point only, so the block is
//     Delta + U W U',  Delta = diag(1 / qm_j^2) (j < n1 - 1),
// with U of n0 + 1 columns (one per non-sequenced record, one for the
// constraint), n0 the non-sequenced records.  Written as
//     Delta^{1/2} (I + Ut W Ut') Delta^{1/2},  Ut = Delta^{-1/2} U,
// it is factored once per fit (IdentityPlusLowRank), and the points are
// eliminated from the small blocks by the Schur complement
//     S_XY = A_XY - Ct_X' (I + Ut W Ut')^-1 Ct_Y,
// A the entries between coefficients and sigma11, Ct_X the rows of X against
// the points, reduced and scaled by qm.  Ut itself is never stored (its
// entries come from the fit's weights when the factorization reads them):
// besides the weights (n1 x n0) a fit holds one Cholesky factor of order
// min(n1 - 1, n0 + 1), and its time grows as n1 * n0 * min(n1, n0).
#ifndef VENTARQUILLO_ENGINE_LOUIS_INFORMATION_H
#define VENTARQUILLO_ENGINE_LOUIS_INFORMATION_H

#include <vector>

#include "numerics/identity_plus_low_rank.h"

namespace tds_detail {

// The pooled records of a fit (see tds_em.h).
struct RecordsView {
    int n = 0;    // subjects, the sum of c10
    int n10 = 0;  // records
    int n1 = 0;   // sequenced subjects, records 0..n1-1
    const int* c10 = nullptr;
    const double* y10 = nullptr;
};

// What the information reads of an EM fit on the design W (n1 x d).
struct FitView {
    double s = 0.0;                // sigma11
    const double* qm = nullptr;    // [n1] point weights
    const double* etaW = nullptr;  // [n1] fitted value of each point
    const double* post = nullptr;  // [n1 x n0] row-major: post[j*n0 + i] = phi[n1+i][j]
    const double* eta = nullptr;   // [d] coefficients of the design columns
};

class FitInformation {
public:
    // full_coefficient_variance false gives the information of the full fit:
    // the entries Q11[a][sigma11] are left at zero and Q12[a][sigma11] has no
    // 0.5*Q11[a][sigma11] term.  The views must outlive the object.  form
    // chooses the factorization of the point block (tests compare both).
    FitInformation(const RecordsView& records, const FitView& fit, bool full_coefficient_variance,
                   IdentityPlusLowRank::Form form = IdentityPlusLowRank::Form::kCheaper);

    // The parameters of some design columns (and, with sigma, sigma11 after
    // them): their record scores and their rows against the points, reduced,
    // scaled and whitened for the Schur complements.
    struct Block {
        Block() = default;
        Block(Block&&) = default;
        Block& operator=(Block&&) = default;
        Block(const Block&) = delete;  // whitened refers to Ct
        Block& operator=(const Block&) = delete;

        int kc = 0;                // coefficient columns
        int k = 0;                 // parameters: kc, plus one with sigma
        bool sigma = false;
        std::vector<double> cols;  // n1 x kc design values
        std::vector<double> L;     // k x n10 record scores, one row per parameter
        std::vector<double> Ct;    // (n1 - 1) x k rows against the points
        IdentityPlusLowRank::Whitened whitened;
    };

    // The block of columns X[j][col0..col0+kc-1].  With sigma the columns
    // must be the fitted design columns, in the order of eta (sigma11's
    // record score uses the fitted values).
    Block block(double** X, int col0, int kc, bool sigma) const;

    // out (x.k x y.k, row-major) = the reduced information between the
    // parameters of x and those of y with the points profiled out: the
    // Schur complement A_XY - Ct_X' (I + Ut W Ut')^-1 Ct_Y.
    void schur(const Block& x, const Block& y, double* out) const;

    // U[t] = the summed record scores of the first x.kc parameters of x.
    void score(const Block& x, double* U) const;

    bool factored() const { return point_block_.ok(); }

private:
    // A_XY: Q13 - Q11 - Q12 between the parameters of two blocks.
    void small_block(const Block& x, const Block& y, double* out) const;

    RecordsView rec_;
    FitView fit_;
    bool full_;
    int n0_;
    std::vector<double> r1_, r2_, r3_, r4_;  // residual moments of each point
    double R2_ = 0.0, R4_ = 0.0;
    IdentityPlusLowRank point_block_;
};

}  // namespace tds_detail

#endif

// Solves with the symmetric positive definite matrix
//     K = I + U D^-1 U'
// of order r, where U is r x k and D = diag(d) with every d > 0, without
// forming anything of order r when k is the smaller dimension.
//
// Two factorizations give the same K^-1, and the cheaper one is used:
//   - inner (k <= r): the Sherman-Morrison-Woodbury identity
//         K^-1 = I - U M^-1 U',   M = D + U'U   (order k),
//     so that B1'K^-1 B2 = B1'B2 - H1'H2 with H = R^-T U'B, M = R'R;
//     time O(r k^2 + k^3), memory O(k^2);
//   - outer (k > r): K itself, formed and factored, K = R'R, and
//     B1'K^-1 B2 = H1'H2 with H = R^-T B; time O(r^2 k + r^3), memory O(r^2).
// Both Cholesky factorizations are of well-conditioned matrices: K has every
// eigenvalue at least 1, and D + U'U, scaled by its diagonal, at least
// min_x d_x / (d_x + |U[.][x]|^2).
//
// U itself is never held: its entries come from a source, a band of rows
// (inner) or of columns (outer) at a time, so that the memory is that of the
// factor alone besides whatever the source reads.
#ifndef VENTARQUILLO_NUMERICS_IDENTITY_PLUS_LOW_RANK_H
#define VENTARQUILLO_NUMERICS_IDENTITY_PLUS_LOW_RANK_H

#include <functional>
#include <vector>

class IdentityPlusLowRank {
public:
    enum class Form { kCheaper, kInner, kOuter };

    // Writes the entries U[j][x] for j0 <= j < j1 and x0 <= x < x1 to
    // out[(j - j0) * ld + (x - x0)].  The same entry must come out with the
    // same bits at every call.
    using Source = std::function<void(int j0, int j1, int x0, int x1, double* out, int ld)>;

    // U (r x k) from its source; d: the k positive entries of D.
    // Form::kCheaper picks inner when k <= r.  The inner form reads the
    // source again in whiten(), so what the source reads must outlive the
    // object; the outer form reads it only here.
    IdentityPlusLowRank(int r, int k, Source U, const double* d, Form form = Form::kCheaper);

    // U given whole: r rows of k entries, row-major, taken over.
    IdentityPlusLowRank(int r, int k, std::vector<double> U, const double* d, Form form = Form::kCheaper);

    // A block B of r rows by nb columns (row-major) prepared for quadratic
    // forms.  It refers to B, which must outlive it.
    struct Whitened {
        int nb = 0;
        const double* B = nullptr;
        std::vector<double> H;  // inner: k x nb; outer: r x nb
    };
    Whitened whiten(const double* B, int nb) const;

    // out[a][b] = (B1' K^-1 B2)[a][b] for the blocks of x (nb1 columns) and
    // y (nb2 columns), row-major nb1 x nb2.  With x and y the same block the
    // result is symmetric, bit for bit.
    void quadratic(const Whitened& x, const Whitened& y, double* out) const;

    // False when the factorization met a pivot that is not positive (data
    // that are not numbers, or out of the range of doubles); the solves then
    // give NaN.
    bool ok() const { return ok_; }
    bool inner() const { return inner_; }
    int order() const { return r_; }
    int rank() const { return k_; }

private:
    int r_, k_;
    bool inner_;
    bool ok_ = true;
    Source U_;               // inner only; empty once the outer form is factored
    std::vector<double> R_;  // the Cholesky factor, k x k (inner) or r x r (outer)
};

#endif

#include "numerics/identity_plus_low_rank.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "numerics/gram_cholesky.h"

namespace {

// Rows (inner) or columns (outer) of U taken from the source at a time while
// the factor is formed: the rows that the Gram kernel sums over in one pass
// over the factor.
constexpr int kBand = 128;
// Rows of U taken at a time for U'B, few enough for the band to stay in the
// cache while the kernel reads it column by column.
constexpr int kWhitenBand = 32;

IdentityPlusLowRank::Source held(int k, std::vector<double> U) {
    auto kept = std::make_shared<const std::vector<double>>(std::move(U));
    return [kept, k](int j0, int j1, int x0, int x1, double* out, int ld) {
        for (int j = j0; j < j1; ++j)
            std::copy(kept->data() + static_cast<std::size_t>(j) * k + x0,
                      kept->data() + static_cast<std::size_t>(j) * k + x1, out + static_cast<std::size_t>(j - j0) * ld);
    };
}

}  // namespace

IdentityPlusLowRank::IdentityPlusLowRank(int r, int k, std::vector<double> U, const double* d, Form form)
    : IdentityPlusLowRank(r, k, held(k, std::move(U)), d, form) {}

IdentityPlusLowRank::IdentityPlusLowRank(int r, int k, Source U, const double* d, Form form)
    : r_(r), k_(k), inner_(form == Form::kInner || (form == Form::kCheaper && k <= r)), U_(std::move(U)) {
    if (inner_) {
        // M = D + U'U, upper triangle, one band of rows of U at a time (each
        // entry is one running sum over the rows, whatever the bands).
        R_.assign(static_cast<std::size_t>(k) * k, 0.0);
        for (int x = 0; x < k; ++x) R_[static_cast<std::size_t>(x) * k + x] = d[x];
        std::vector<double> band(static_cast<std::size_t>(std::min(r, kBand)) * k);
        for (int j0 = 0; j0 < r; j0 += kBand) {
            const int j1 = std::min(r, j0 + kBand);
            U_(j0, j1, 0, k, band.data(), k);
            gram_update(j1 - j0, k, k, band.data(), k, band.data(), k, R_.data(), k, false, true);
        }
        ok_ = cholesky_upper(k, R_.data(), k);
    } else {
        // K = I + (U D^-1) U', upper triangle, summed over the columns of U
        // a band at a time: the band transposed, and scaled by 1/d.
        R_.assign(static_cast<std::size_t>(r) * r, 0.0);
        for (int j = 0; j < r; ++j) R_[static_cast<std::size_t>(j) * r + j] = 1.0;
        const int width = std::min(k, kBand);
        std::vector<double> band(static_cast<std::size_t>(r) * width), Ut(static_cast<std::size_t>(width) * r),
            Us(Ut.size());
        for (int x0 = 0; x0 < k; x0 += kBand) {
            const int x1 = std::min(k, x0 + kBand);
            const int w = x1 - x0;
            U_(0, r, x0, x1, band.data(), w);
            for (int j = 0; j < r; ++j)
                for (int x = 0; x < w; ++x) {
                    const double u = band[static_cast<std::size_t>(j) * w + x];
                    Ut[static_cast<std::size_t>(x) * r + j] = u;
                    Us[static_cast<std::size_t>(x) * r + j] = u / d[x0 + x];
                }
            gram_update(w, r, r, Us.data(), r, Ut.data(), r, R_.data(), r, false, true);
        }
        ok_ = cholesky_upper(r, R_.data(), r);
        U_ = nullptr;
    }
}

IdentityPlusLowRank::Whitened IdentityPlusLowRank::whiten(const double* B, int nb) const {
    Whitened w;
    w.nb = nb;
    w.B = B;
    const int n = inner_ ? k_ : r_;
    w.H.assign(static_cast<std::size_t>(n) * std::max(nb, 1), 0.0);
    if (!ok_) {
        std::fill(w.H.begin(), w.H.end(), std::nan(""));
        return w;
    }
    if (inner_) {
        // U'B, a band of rows of U at a time.
        std::vector<double> band(static_cast<std::size_t>(std::min(r_, kWhitenBand)) * k_);
        for (int j0 = 0; j0 < r_; j0 += kWhitenBand) {
            const int j1 = std::min(r_, j0 + kWhitenBand);
            U_(j0, j1, 0, k_, band.data(), k_);
            gram_update(j1 - j0, k_, nb, band.data(), k_, B + static_cast<std::size_t>(j0) * nb, nb, w.H.data(), nb,
                        false, false);
        }
    } else {
        std::copy(B, B + static_cast<std::size_t>(r_) * nb, w.H.begin());
    }
    solve_upper_transposed(n, R_.data(), n, nb, w.H.data(), nb);
    return w;
}

void IdentityPlusLowRank::quadratic(const Whitened& x, const Whitened& y, double* out) const {
    std::fill(out, out + static_cast<std::size_t>(x.nb) * y.nb, 0.0);
    if (inner_) {
        gram_update(r_, x.nb, y.nb, x.B, x.nb, y.B, y.nb, out, y.nb, false, false);
        gram_update(k_, x.nb, y.nb, x.H.data(), x.nb, y.H.data(), y.nb, out, y.nb, true, false);
    } else {
        gram_update(r_, x.nb, y.nb, x.H.data(), x.nb, y.H.data(), y.nb, out, y.nb, false, false);
    }
}

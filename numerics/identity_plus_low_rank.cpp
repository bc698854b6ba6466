#include "numerics/identity_plus_low_rank.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "numerics/gram_cholesky.h"

IdentityPlusLowRank::IdentityPlusLowRank(int r, int k, std::vector<double> U, const double* d, Form form)
    : r_(r), k_(k), inner_(form == Form::kInner || (form == Form::kCheaper && k <= r)), U_(std::move(U)) {
    if (inner_) {
        // M = D + U'U, upper triangle.
        R_.assign(static_cast<std::size_t>(k) * k, 0.0);
        for (int x = 0; x < k; ++x) R_[static_cast<std::size_t>(x) * k + x] = d[x];
        gram_update(r, k, k, U_.data(), k, U_.data(), k, R_.data(), k, false, true);
        ok_ = cholesky_upper(k, R_.data(), k);
    } else {
        // K = I + (U D^-1) U', upper triangle, from the columns of U.
        std::vector<double> Ut(static_cast<std::size_t>(k) * r), Us(static_cast<std::size_t>(k) * r);
        for (int j = 0; j < r; ++j)
            for (int x = 0; x < k; ++x) {
                const double u = U_[static_cast<std::size_t>(j) * k + x];
                Ut[static_cast<std::size_t>(x) * r + j] = u;
                Us[static_cast<std::size_t>(x) * r + j] = u / d[x];
            }
        R_.assign(static_cast<std::size_t>(r) * r, 0.0);
        for (int j = 0; j < r; ++j) R_[static_cast<std::size_t>(j) * r + j] = 1.0;
        gram_update(k, r, r, Us.data(), r, Ut.data(), r, R_.data(), r, false, true);
        ok_ = cholesky_upper(r, R_.data(), r);
        U_.clear();
        U_.shrink_to_fit();
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
    if (inner_)
        gram_update(r_, k_, nb, U_.data(), k_, B, nb, w.H.data(), nb, false, false);
    else
        std::copy(B, B + static_cast<std::size_t>(r_) * nb, w.H.begin());
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

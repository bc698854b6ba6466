#include "engine/design_span.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/data_preparation.h"
#include "numerics/offset_arrays.h"

namespace {

// What one thread keeps: at most this many doubles of designs and bases
// (16 MB), and always the design it met last.
constexpr std::size_t kCacheDoubles = std::size_t{2} << 20;

// A vector whose part outside the span, scaled to unit norm, is below this
// is left to the pivoted QR: 1 - |Q'v|^2 loses the digits of such a part.
constexpr double kSmallestFastResidualSq = 1e-4;
// What is taken off the squared part before the bound: far more than the
// rounding of |Q'v|^2 (of order n p DBL_EPSILON).
constexpr double kResidualSqMargin = 1e-6;

std::uint64_t bits(double value) {
    std::uint64_t b = 0;
    std::memcpy(&b, &value, sizeof b);
    return b;
}

// The same n, p and bits of every entry.
bool sameDesign(const DesignFactor& f, int n, int p, double** z) {
    if (f.n != n || f.p != p) return false;
    const double* stored = f.z.data();
    for (int i = 0; i < n; ++i) {
        const double* row = z[i];
        std::uint64_t differ = 0;
        for (int c = 0; c < p; ++c) differ |= bits(row[c]) ^ bits(stored[c]);
        if (differ != 0) return false;
        stored += p;
    }
    return true;
}

// Householder QR of the design with unit-norm columns (as dependentColumns
// scales them), the explicit basis Q and the norm of R^-1.  Leaves usable
// false when a column has no positive finite norm or R is near singular:
// every question then goes to the pivoted QR.
void factor(DesignFactor& f) {
    const int n = f.n;
    const int p = f.p;
    if (!f.finite || p <= 0 || n <= p) return;
    std::vector<std::vector<double>> a(static_cast<std::size_t>(p), std::vector<double>(static_cast<std::size_t>(n)));
    for (int c = 0; c < p; ++c) {
        double ss = 0.0;
        for (int i = 0; i < n; ++i) ss += f.z[static_cast<std::size_t>(i) * p + c] * f.z[static_cast<std::size_t>(i) * p + c];
        const double norm = std::sqrt(ss);
        if (!(norm > 0.0) || !std::isfinite(norm)) return;
        for (int i = 0; i < n; ++i) a[c][i] = f.z[static_cast<std::size_t>(i) * p + c] / norm;
    }
    // Reflectors v_j over rows j..n-1; R above the diagonal stays in a.
    std::vector<std::vector<double>> v(static_cast<std::size_t>(p));
    std::vector<double> vv(static_cast<std::size_t>(p));
    std::vector<double> r(static_cast<std::size_t>(p) * p, 0.0);
    for (int j = 0; j < p; ++j) {
        double ss = 0.0;
        for (int i = j; i < n; ++i) ss += a[j][i] * a[j][i];
        const double norm = std::sqrt(ss);
        if (!(norm > 1e-6)) return;
        const double alpha = a[j][j] >= 0.0 ? -norm : norm;
        v[j].assign(a[j].begin() + j, a[j].end());
        v[j][0] -= alpha;
        double s = 0.0;
        for (double e : v[j]) s += e * e;
        vv[j] = s;
        for (int l = j + 1; l < p; ++l) {
            double dot = 0.0;
            for (int i = j; i < n; ++i) dot += v[j][i - j] * a[l][i];
            const double g = 2.0 * dot / s;
            for (int i = j; i < n; ++i) a[l][i] -= g * v[j][i - j];
        }
        r[static_cast<std::size_t>(j) * p + j] = alpha;
        for (int l = j + 1; l < p; ++l) r[static_cast<std::size_t>(j) * p + l] = a[l][j];
    }
    // Q = H_0 ... H_{p-1} applied to the first p unit vectors.
    f.q.assign(static_cast<std::size_t>(n) * p, 0.0);
    std::vector<double> e(static_cast<std::size_t>(n));
    for (int c = 0; c < p; ++c) {
        std::fill(e.begin(), e.end(), 0.0);
        e[c] = 1.0;
        for (int j = p - 1; j >= 0; --j) {
            double dot = 0.0;
            for (int i = j; i < n; ++i) dot += v[j][i - j] * e[i];
            const double g = 2.0 * dot / vv[j];
            for (int i = j; i < n; ++i) e[i] -= g * v[j][i - j];
        }
        for (int i = 0; i < n; ++i) f.q[static_cast<std::size_t>(i) * p + c] = e[i];
    }
    // R^-1 by back substitution, column by column; its Frobenius norm.
    double sum = 0.0;
    std::vector<double> x(static_cast<std::size_t>(p));
    for (int c = 0; c < p; ++c) {
        for (int row = p - 1; row >= 0; --row) {
            double s = row == c ? 1.0 : 0.0;
            for (int l = row + 1; l < p; ++l) s -= r[static_cast<std::size_t>(row) * p + l] * x[l];
            x[row] = s / r[static_cast<std::size_t>(row) * p + row];
        }
        for (int row = 0; row < p; ++row) sum += x[row] * x[row];
    }
    if (!std::isfinite(sum)) return;
    f.inv_r_norm = std::sqrt(sum);
    f.usable = true;
}

std::shared_ptr<DesignFactor> makeFactor(int n, int p, double** z) {
    auto f = std::make_shared<DesignFactor>();
    f->n = n;
    f->p = p;
    f->z.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(std::max(p, 0)));
    f->finite = true;
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < p; ++c) {
            const double value = z[i][c];
            f->z[static_cast<std::size_t>(i) * p + c] = value;
            if (!std::isfinite(value)) f->finite = false;
        }
    f->zz.assign(static_cast<std::size_t>(std::max(p, 0)) * std::max(p, 0), 0.0);
    for (int a = 0; a < p; ++a)
        for (int b = a; b < p; ++b) {
            double sum = 0.0;
            for (int i = 0; i < n; ++i) sum += z[i][a] * z[i][b];
            f->zz[static_cast<std::size_t>(a) * p + b] = sum;
            f->zz[static_cast<std::size_t>(b) * p + a] = sum;
        }
    factor(*f);
    return f;
}

std::size_t footprint(const DesignFactor& f) { return f.z.size() + f.q.size() + f.zz.size(); }

// True when the part of v outside the span of the factored design proves
// [v, z] of full rank at tol (see rankDeficientWith).
bool provedFullRank(const DesignFactor& f, const double* v, double tol) {
    thread_local std::vector<double> scratch;
    if (!f.usable) return false;
    const int p = f.p;
    std::vector<double>& b = scratch;
    b.assign(static_cast<std::size_t>(p), 0.0);
    double ss = 0.0;
    for (int i = 0; i < f.n; ++i) {
        const double value = v[i];
        if (value == 0.0) continue;
        ss += value * value;
        const double* qi = &f.q[static_cast<std::size_t>(i) * p];
        for (int c = 0; c < p; ++c) b[c] += value * qi[c];
    }
    if (!std::isfinite(ss) || !(ss > DBL_MIN * 1e16)) return false;
    double bb = 0.0;
    for (double e : b) bb += e * e;
    const double residual_sq = 1.0 - bb / ss;
    if (!(residual_sq >= kSmallestFastResidualSq)) return false;
    // sigma_min([v, z] scaled) >= rho / (1 + 2 |R^-1|_F); the pivoted QR
    // keeps a column norm of at least sigma_min / sqrt(p + 1) at every step.
    const double rho = std::sqrt(residual_sq - kResidualSqMargin);
    const double sigma_lower = rho / (1.0 + 2.0 * f.inv_r_norm);
    const double k = p + 1.0;
    const double needed = 2.0 * std::sqrt(k) * tol + 64.0 * k * static_cast<double>(f.n) * DBL_EPSILON;
    return sigma_lower > needed;
}

}  // namespace

std::shared_ptr<const DesignFactor> factoredDesign(int n, int p, double** z) {
    thread_local std::vector<std::shared_ptr<DesignFactor>> cache;  // most recent first
    for (std::size_t k = 0; k < cache.size(); ++k) {
        if (!sameDesign(*cache[k], n, p, z)) continue;
        std::rotate(cache.begin(), cache.begin() + static_cast<std::ptrdiff_t>(k),
                    cache.begin() + static_cast<std::ptrdiff_t>(k) + 1);
        return cache.front();
    }
    cache.insert(cache.begin(), makeFactor(n, p, z));
    std::size_t total = 0;
    std::size_t keep = 0;
    for (; keep < cache.size(); ++keep) {
        total += footprint(*cache[keep]);
        if (keep > 0 && total > kCacheDoubles) break;
    }
    cache.resize(keep);
    return cache.front();
}

bool rankDeficientWith(const DesignFactor& design, const double* v, bool v_first, double tol) {
    const int n = design.n;
    const int p = design.p;
    if (n > 0 && provedFullRank(design, v, tol)) return false;
    double** m = dmatrix(0, lastIndex(n), 0, p);
    const int vc = v_first ? 0 : p;
    const int zc = v_first ? 1 : 0;
    for (int i = 0; i < n; ++i) {
        m[i][vc] = v[i];
        for (int c = 0; c < p; ++c) m[i][zc + c] = design.z[static_cast<std::size_t>(i) * p + c];
    }
    std::vector<int> involved(static_cast<std::size_t>(p) + 1);
    const int rank = dependentColumns(n, p + 1, m, tol, involved.data());
    free_dmatrix(m, 0, lastIndex(n), 0, p);
    return rank < p + 1;
}

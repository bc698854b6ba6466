#include "numerics/linear_algebra.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "numerics/offset_arrays.h"
#include "numerics/simd_pairs.h"

// Crout's LU decomposition computes every entry as
//     a[i][j] - a[i][1]*a[1][j] - a[i][2]*a[2][j] - ...
// subtracting the products one by one in increasing order of the inner index,
// and scales the entries below the diagonal by the reciprocal pivot once their
// column is complete.  The routines below perform exactly these operations on
// every entry, in exactly this order, but arrange the loops so that the
// innermost loop runs along a row (contiguous memory) and so that a block of
// rows stays in cache while it is being updated: a right-looking, blocked
// elimination.  Row exchanges move whole rows together with the partial sums
// they carry, which is the same as exchanging them before those sums were
// formed.  The results are therefore bit-for-bit those of the textbook
// column-by-column loops; only the time differs (a matrix of order 2000 is
// inverted in seconds instead of minutes).

namespace {

// Panel width of the blocked elimination and strip width of the solves.
constexpr int kPanel = 32;
constexpr int kStrip = 32;

// x[c] = x[c] - s*y[c] for c < len: one product and one subtraction per entry,
// each rounded, as in the scalar loop.
template <class V, int L>
VQ_ALWAYS_INLINE void subtract_scaled(double* __restrict x, const double* __restrict y, double s, int len) {
    int c = 0;
    if (len >= L) {
        V sv;
        splat(sv, s);
        for (; c + L <= len; c += L) {
            V xv, yv;
            loadv(xv, x + c);
            loadv(yv, y + c);
            xv -= sv * yv;
            storev(x + c, xv);
        }
    }
    for (; c < len; ++c) x[c] -= s * y[c];
}

// For k = 0..K-1 in this order: x[c] = x[c] - s[k]*row_at(k)[c] for the NV
// vectors of x from column c, kept in registers across all K rows, so each
// row's entries are read once and each entry still receives its products one
// by one in increasing k.
template <class V, int L, int NV, class RowAt>
VQ_ALWAYS_INLINE void subtract_rows_block(double* __restrict x, int c, const double* s, int K, RowAt row_at) {
    V xv[NV];
#pragma GCC unroll 8
    for (int v = 0; v < NV; ++v) loadv(xv[v], x + c + v * L);
    for (int k = 0; k < K; ++k) {
        const double* y = row_at(k) + c;
        V sv;
        splat(sv, s[k]);
#pragma GCC unroll 8
        for (int v = 0; v < NV; ++v) {
            V yv;
            loadv(yv, y + v * L);
            xv[v] -= sv * yv;
        }
    }
#pragma GCC unroll 8
    for (int v = 0; v < NV; ++v) storev(x + c + v * L, xv[v]);
}

// subtract_rows_block over x[0..len-1]: eight vectors at a time (a whole
// strip of invv's solves in AVX2), then four, then one, then single entries.
template <class V, int L, class RowAt>
VQ_ALWAYS_INLINE void subtract_rows(double* __restrict x, int len, const double* s, int K, RowAt row_at) {
    int c = 0;
    for (; c + 8 * L <= len; c += 8 * L) subtract_rows_block<V, L, 8>(x, c, s, K, row_at);
    for (; c + 4 * L <= len; c += 4 * L) subtract_rows_block<V, L, 4>(x, c, s, K, row_at);
    for (; c + L <= len; c += L) subtract_rows_block<V, L, 1>(x, c, s, K, row_at);
    for (; c < len; ++c) {
        double xc = x[c];
        for (int k = 0; k < K; ++k) xc -= s[k] * row_at(k)[c];
        x[c] = xc;
    }
}

// One tile of the trailing update: rows i..i+R-1, the W = 2L columns of one
// strip from column c, held in registers across all K products; strip is the
// packed strip, spread the row block's panel entries (see below).  With
// prefetch, the rows' entries of the strip after next are fetched ahead: the
// trailing matrix does not stay in cache.
template <class V, int L, int R>
VQ_ALWAYS_INLINE void trailing_tile(double** a, int i, int ib, int c, int K, const double* strip, const double* spread,
                                    bool prefetch) {
    constexpr int W = 2 * L;
    double* r[R];
    const double* s[R];
#pragma GCC unroll 4
    for (int k = 0; k < R; ++k) {
        r[k] = a[i + k] + c;
        s[k] = spread + static_cast<long>(i + k - ib) * K * L;
    }
    if (prefetch) {
#pragma GCC unroll 4
        for (int k = 0; k < R; ++k) {
            __builtin_prefetch(r[k] + 2 * W, 1, 3);
            __builtin_prefetch(r[k] + 3 * W - 1, 1, 3);
        }
    }
    V x[R][2];
#pragma GCC unroll 4
    for (int k = 0; k < R; ++k) {
        loadv(x[k][0], r[k]);
        loadv(x[k][1], r[k] + L);
    }
    for (int k = 0; k < K; ++k) {
        V u0, u1;
        loadv(u0, strip + k * W);
        loadv(u1, strip + k * W + L);
#pragma GCC unroll 4
        for (int row = 0; row < R; ++row) {
            V b;
            loadv(b, s[row] + k * L);
            x[row][0] -= b * u0;
            x[row][1] -= b * u1;
        }
    }
#pragma GCC unroll 4
    for (int k = 0; k < R; ++k) {
        storev(r[k], x[k][0]);
        storev(r[k] + L, x[k][1]);
    }
}

// Rows of a block of the trailing update.
constexpr int kRowBlock = 16;

// The trailing update of the blocked elimination: for the rows [i0, i1) and
// the columns [c0, c1), a[i][c] = a[i][c] - a[i][k0+k]*a[k0+k][c] for
// k = 0..K-1 in this order.  The pivot rows' part right of the panel is first
// copied into strips of W = 2L columns, each strip K rows deep and contiguous
// (pack).  A tile of four rows by one strip is then held in registers across
// all K products, so every loaded vector of the strip serves four rows; rows
// go in blocks whose panel entries stay in the first-level cache while the
// strips pass.  V is a vector of L doubles; the columns right of the last
// whole strip are done one by one, in the same order.
template <class V, int L>
VQ_ALWAYS_INLINE void trailing_update_kernel(double** a, int i0, int i1, int k0, int K, int c0, int c1, double* pack,
                                             double* spread) {
    constexpr int W = 2 * L;
    const int strips = (c1 - c0) / W;
    const int tail = c0 + strips * W;
    for (int t = 0; t < strips; ++t)
        for (int k = 0; k < K; ++k)
            std::memcpy(pack + (static_cast<long>(t) * K + k) * W, a[k0 + k] + c0 + t * W, sizeof(double) * W);

    for (int ib = i0; ib < i1; ib += kRowBlock) {
        const int ie = std::min(i1, ib + kRowBlock);
        // Each row's panel entries, each entry repeated in L lanes.
        for (int i = ib; i < ie; ++i)
            for (int k = 0; k < K; ++k)
                for (int l = 0; l < L; ++l) spread[(static_cast<long>(i - ib) * K + k) * L + l] = a[i][k0 + k];
        for (int t = 0; t < strips; ++t) {
            const double* strip = pack + static_cast<long>(t) * K * W;
            const int c = c0 + t * W;
            int i = ib;
            for (; i + 4 <= ie; i += 4) trailing_tile<V, L, 4>(a, i, ib, c, K, strip, spread, t + 2 < strips);
            for (; i < ie; ++i) trailing_tile<V, L, 1>(a, i, ib, c, K, strip, spread, false);
        }
        for (int i = ib; i < ie; ++i) {
            double* r = a[i];
            for (int c = tail; c < c1; ++c) {
                double y = r[c];
                for (int k = 0; k < K; ++k) y -= r[k0 + k] * a[k0 + k][c];
                r[c] = y;
            }
        }
    }
}

inline void swap_rows(double* r1, double* r2, int len) {
    for (int k = 0; k < len; ++k) std::swap(r1[k], r2[k]);
}

// One panel of Crout's method (columns k0..k1) and its updates of the
// columns right of it; V is a vector of L doubles.
template <class V, int L>
VQ_ALWAYS_INLINE void panel_step(double** a, int n, int k0, int k1, double* vv, int* indx, double* d, double* pack,
                                 double* spread) {
    // 1. The panel.  On entering column j, every entry of the column has
    //    received its products of index below j.
    for (int j = k0; j <= k1; ++j) {
        double big = 0.0;
        int imax = j;
        for (int i = j; i <= n; ++i) {
            const double dum = vv[i] * std::fabs(a[i][j]);
            // ">=": of equal scaled candidates the last row is the pivot.
            if (dum >= big) {
                big = dum;
                imax = i;
            }
        }
        if (j != imax) {
            swap_rows(&a[imax][1], &a[j][1], n);
            if (d != nullptr) *d = -(*d);
            vv[imax] = vv[j];
        }
        indx[j] = imax;
        if (a[j][j] == 0.0) a[j][j] = TINY;
        if (j != n) {
            const double dum = 1.0 / a[j][j];
            for (int i = j + 1; i <= n; ++i) a[i][j] *= dum;
        }
        // Product of index j into the remaining panel columns.
        if (j < k1) {
            for (int i = j + 1; i <= n; ++i)
                subtract_scaled<V, L>(&a[i][j + 1], &a[j][j + 1], a[i][j], k1 - j);
        }
    }
    if (k1 == n) return;

    // 2. Rows of the panel right of it: products of index k0..r-1.
    const int right = n - k1;
    for (int r = k0 + 1; r <= k1; ++r)
        subtract_rows<V, L>(&a[r][k1 + 1], right, &a[r][k0], r - k0, [&](int k) { return &a[k0 + k][k1 + 1]; });

    // 3. Rows below the panel, right of it: products of index k0..k1.
    trailing_update_kernel<V, L>(a, k1 + 1, n + 1, k0, k1 - k0 + 1, k1 + 1, n + 1, pack, spread);
}

void panel_step_pairs(double** a, int n, int k0, int k1, double* vv, int* indx, double* d, double* pack,
                      double* spread) {
    panel_step<v2d, 2>(a, n, k0, k1, vv, indx, d, pack, spread);
}

#ifdef VQ_TARGET_AVX2
VQ_TARGET_AVX2 void panel_step_quads(double** a, int n, int k0, int k1, double* vv, int* indx, double* d,
                                     double* pack, double* spread) {
    panel_step<v4d, 4>(a, n, k0, k1, vv, indx, d, pack, spread);
}
#endif

// The first 64-byte boundary at or after p (p has room for eight more doubles).
double* align64(double* p) {
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    return p + ((64 - address % 64) % 64) / sizeof(double);
}

// Crout's method with implicit pivoting (blocked, see above).  Returns false
// (with a and indx untouched) when some row is all zero; *d receives the
// parity when given.
bool crout_decompose(double** a, int n, int* indx, double* d) {
    double* vv = dvector(1, n);
    if (d != nullptr) *d = 1.0;

    for (int i = 1; i <= n; ++i) {
        double big = 0.0;
        for (int j = 1; j <= n; ++j) {
            const double temp = std::fabs(a[i][j]);
            if (temp > big) big = temp;
        }
        if (big == 0.0) {
            free_dvector(vv, 1, n);
            return false;
        }
        vv[i] = 1.0 / big;
    }

    // pack and spread: the trailing update's copies of the pivot rows and of
    // the panel entries.
    // Both on 64-byte boundaries, so that no vector load splits a cache line.
    std::vector<double> pack_store(static_cast<std::size_t>(kPanel) * n + 8);
    std::vector<double> spread_store(static_cast<std::size_t>(kRowBlock) * kPanel * 4 + 8);
    double* pack = align64(pack_store.data());
    double* spread = align64(spread_store.data());
    const bool quads = simdQuads();
    for (int k0 = 1; k0 <= n; k0 += kPanel) {
        const int k1 = std::min(n, k0 + kPanel - 1);  // panel columns k0..k1
#ifdef VQ_TARGET_AVX2
        if (quads) {
            panel_step_quads(a, n, k0, k1, vv, indx, d, pack, spread);
            continue;
        }
#endif
        panel_step_pairs(a, n, k0, k1, vv, indx, d, pack, spread);
    }
    free_dvector(vv, 1, n);
    return true;
}

// The strips of unit-vector solves of invv (see there) on the LU factors in
// fma; V is a vector of L doubles.
template <class V, int L>
VQ_ALWAYS_INLINE void solve_strips(double** fma, int nn, const int* source, double* strip, int width, double** ipi) {
    for (int t0 = 1; t0 <= nn; t0 += kStrip) {
        const int w = std::min(kStrip, nn - t0 + 1);
        // Row i of the strip holds the entries i of the solutions t0..t0+w-1.
        auto row = [&](int i) { return strip + static_cast<long>(i - 1) * width; };

        // Forward pass: rows above t0 are zero and never read.
        for (int i = t0; i <= nn; ++i) {
            double* yi = row(i);
            for (int c = 0; c < w; ++c) yi[c] = (i == t0 + c) ? 1.0 : 0.0;
            // Solution t receives the products of index k >= t only: a
            // triangle first, then every k from t0+w-1 on for all w.
            const int kfull = std::min(i, t0 + w - 1);
            for (int k = t0; k < kfull; ++k) subtract_scaled<V, L>(yi, row(k), fma[i][k], k - t0 + 1);
            if (kfull < i) subtract_rows<V, L>(yi, w, &fma[i][kfull], i - kfull, [&](int k) { return row(kfull + k); });
        }
        for (int i = 1; i < t0; ++i) std::fill(row(i), row(i) + w, 0.0);

        // Backward pass.
        for (int i = nn; i >= 1; --i) {
            double* xi = row(i);
            if (i < nn) subtract_rows<V, L>(xi, w, &fma[i][i + 1], nn - i, [&](int k) { return row(i + 1 + k); });
            const double pivot = fma[i][i];
            int c = 0;
            if (w >= L) {
                V pv;
                splat(pv, pivot);
                for (; c + L <= w; c += L) {
                    V xv;
                    loadv(xv, xi + c);
                    xv = xv / pv;
                    storev(xi + c, xv);
                }
            }
            for (; c < w; ++c) xi[c] = xi[c] / pivot;
        }

        for (int i = 1; i <= nn; ++i) {
            const double* xi = row(i);
            for (int c = 0; c < w; ++c) ipi[i][source[t0 + c]] = xi[c];
        }
    }
}

void solve_strips_pairs(double** fma, int nn, const int* source, double* strip, int width, double** ipi) {
    solve_strips<v2d, 2>(fma, nn, source, strip, width, ipi);
}

#ifdef VQ_TARGET_AVX2
VQ_TARGET_AVX2 void solve_strips_quads(double** fma, int nn, const int* source, double* strip, int width,
                                       double** ipi) {
    solve_strips<v4d, 4>(fma, nn, source, strip, width, ipi);
}
#endif

}  // namespace

void ludcmp(double** a, int n, int* indx) {
    if (!crout_decompose(a, n, indx, nullptr)) nrerror("Sigmatrix in ludcmp");
}

void ludcmp2(double** a, int n, int* indx, double* d) {
    if (!crout_decompose(a, n, indx, d)) *d = 0.0;
}

double Determinant(double** a, int n) {
    int* indx = ivector(1, n);
    double d = 0.0;
    ludcmp2(a, n, indx, &d);
    for (int j = 1; j <= n; ++j) d *= a[j][j];
    free_ivector(indx, 1, n);
    return d;
}

void lubksb(double** a, int n, int* indx, double* b) {
    int ii = 0;
    for (int i = 1; i <= n; ++i) {
        const int ip = indx[i];
        double sum = b[ip];
        b[ip] = b[i];
        if (ii != 0) {
            for (int k = ii; k <= i - 1; ++k) sum -= a[i][k] * b[k];
        } else if (sum != 0.0) {
            ii = i;
        }
        b[i] = sum;
    }
    for (int i = n; i >= 1; --i) {
        double sum = b[i];
        for (int k = i + 1; k <= n; ++k) sum -= a[i][k] * b[k];
        b[i] = sum / a[i][i];
    }
}

// The inverse solves A x = e_j with lubksb for every unit vector e_j.  For e_j
// the permuted right-hand side has its single 1 at position t = where[j], so
// the forward pass of lubksb starts there: entry i > t of the solution is
// 0 - a[i][t]*y[t] - ... - a[i][i-1]*y[i-1].  The columns are solved here in
// strips of kStrip unit vectors, ordered by t, with those operations in that
// order; the backward pass is lubksb's own.  The result is column for column
// what lubksb returns.
void invv(double** fma, int nn) {
    int* indx = ivector(1, nn);
    double** ipi = dmatrix(1, nn, 1, nn);

    ludcmp(fma, nn, indx);

    // source[t]: the unit vector whose permuted 1 lands at position t.
    int* source = ivector(1, nn);
    for (int t = 1; t <= nn; ++t) source[t] = t;
    for (int i = 1; i <= nn; ++i) std::swap(source[i], source[indx[i]]);

    const int width = std::min(kStrip, std::max(nn, 1));
    std::vector<double> strip_store(static_cast<std::size_t>(nn) * width + 8);
    double* strip = align64(strip_store.data());  // rows of 32 doubles on cache-line boundaries
#ifdef VQ_TARGET_AVX2
    if (simdQuads())
        solve_strips_quads(fma, nn, source, strip, width, ipi);
    else
#endif
        solve_strips_pairs(fma, nn, source, strip, width, ipi);
    for (int i = 1; i <= nn; ++i)
        for (int j = 1; j <= nn; ++j) fma[i][j] = ipi[i][j];

    free_ivector(source, 1, nn);
    free_ivector(indx, 1, nn);
    free_dmatrix(ipi, 1, nn, 1, nn);
}

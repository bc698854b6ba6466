#include "numerics/gram_cholesky.h"

#include <algorithm>
#include <cmath>

#include "numerics/vector_lanes.h"

// The vectors below are quadruples of doubles (numerics/vector_lanes.h); the
// Gram products are built twice, carrying each in two SSE2 registers and, for
// processors with AVX2, in one AVX register.  Lanes are independent entries
// of a result, so every version performs the roundings of the scalar code.

namespace {

// Rows of the summation index taken together, so that the rows of A and B
// that a tile reads stay in cache while the tiles of C sweep over them.
constexpr int kRowChunk = 128;
// Rows of the factor in one panel of the blocked Cholesky decomposition.
constexpr int kPanel = 32;

template <bool kSubtract>
VQ_ALWAYS_INLINE void accumulate(v4d& c, const v4d& a, const v4d& b) {
    if constexpr (kSubtract)
        c -= a * b;
    else
        c += a * b;
}

template <bool kSubtract>
VQ_ALWAYS_INLINE void accumulate(double& c, double a, double b) {
    if constexpr (kSubtract)
        c -= a * b;
    else
        c += a * b;
}

// The TX x 4*NV block of C at (x0, y0) over the rows j0..j1-1, kept in
// registers across the rows.
template <bool kSubtract, int TX, int NV>
VQ_ALWAYS_INLINE void tile(int j0, int j1, int x0, int y0, const double* A, int lda, const double* B, int ldb,
                           double* C, int ldc) {
    v4d c[TX][NV];
#pragma GCC unroll 4
    for (int t = 0; t < TX; ++t)
#pragma GCC unroll 2
        for (int v = 0; v < NV; ++v) loadv(c[t][v], C + static_cast<long>(x0 + t) * ldc + y0 + 4 * v);
    for (int j = j0; j < j1; ++j) {
        const double* b = B + static_cast<long>(j) * ldb + y0;
        const double* a = A + static_cast<long>(j) * lda + x0;
        v4d bv[NV];
#pragma GCC unroll 2
        for (int v = 0; v < NV; ++v) loadv(bv[v], b + 4 * v);
#pragma GCC unroll 4
        for (int t = 0; t < TX; ++t) {
            v4d s;
            splat(s, a[t]);
#pragma GCC unroll 2
            for (int v = 0; v < NV; ++v) accumulate<kSubtract>(c[t][v], s, bv[v]);
        }
    }
#pragma GCC unroll 4
    for (int t = 0; t < TX; ++t)
#pragma GCC unroll 2
        for (int v = 0; v < NV; ++v) storev(C + static_cast<long>(x0 + t) * ldc + y0 + 4 * v, c[t][v]);
}

// One entry of C over the rows j0..j1-1.
template <bool kSubtract>
VQ_ALWAYS_INLINE void entry(int j0, int j1, int x, int y, const double* A, int lda, const double* B, int ldb, double* C, int ldc) {
    double c = C[static_cast<long>(x) * ldc + y];
    for (int j = j0; j < j1; ++j)
        accumulate<kSubtract>(c, A[static_cast<long>(j) * lda + x], B[static_cast<long>(j) * ldb + y]);
    C[static_cast<long>(x) * ldc + y] = c;
}

// Rows x0..x0+TX-1 of C, columns y_begin..nb-1, over the rows j0..j1-1:
// tiles of eight columns, then four, then single entries.
template <bool kSubtract, int TX>
VQ_ALWAYS_INLINE void row_block(int j0, int j1, int x0, int y_begin, int nb, const double* A, int lda,
                                const double* B, int ldb, double* C, int ldc) {
    int y = y_begin;
    for (; y + 8 <= nb; y += 8) tile<kSubtract, TX, 2>(j0, j1, x0, y, A, lda, B, ldb, C, ldc);
    for (; y + 4 <= nb; y += 4) tile<kSubtract, TX, 1>(j0, j1, x0, y, A, lda, B, ldb, C, ldc);
    for (; y < nb; ++y)
        for (int t = 0; t < TX; ++t) entry<kSubtract>(j0, j1, x0 + t, y, A, lda, B, ldb, C, ldc);
}

template <bool kSubtract>
VQ_ALWAYS_INLINE void gram_chunk(int j0, int j1, int na, int nb, const double* A, int lda, const double* B, int ldb,
                                 double* C, int ldc, bool upper_only) {
    int x0 = 0;
    for (; x0 + 4 <= na; x0 += 4) {
        int y_begin = 0;
        if (upper_only) {
            // The entries of the four rows left of column x0 + 4 that lie on
            // or above the diagonal, one by one; tiles from column x0 + 4.
            for (int x = x0; x < x0 + 4; ++x)
                for (int y = x; y < std::min(x0 + 4, nb); ++y)
                    entry<kSubtract>(j0, j1, x, y, A, lda, B, ldb, C, ldc);
            y_begin = x0 + 4;
        }
        row_block<kSubtract, 4>(j0, j1, x0, y_begin, nb, A, lda, B, ldb, C, ldc);
    }
    for (; x0 < na; ++x0) row_block<kSubtract, 1>(j0, j1, x0, upper_only ? x0 : 0, nb, A, lda, B, ldb, C, ldc);
}

// x[l] = x[l] - s*y[l] for l < len, a vector of four entries at a time.
void subtract_scaled(double* x, const double* y, double s, int len) {
    int l = 0;
    v4d sv;
    splat(sv, s);
    for (; l + 4 <= len; l += 4) {
        v4d xv, yv;
        loadv(xv, x + l);
        loadv(yv, y + l);
        xv -= sv * yv;
        storev(x + l, xv);
    }
    for (; l < len; ++l) x[l] -= s * y[l];
}

// gram_update, built twice: without AVX (each quadruple in two SSE2
// registers) and for AVX2 (in one register, twice as fast).  Each entry
// receives the same operations in the same order either way.
VQ_ALWAYS_INLINE void gram_rows(int r, int na, int nb, const double* A, int lda, const double* B, int ldb,
                                double* C, int ldc, bool subtract, bool upper_only) {
    for (int j0 = 0; j0 < r; j0 += kRowChunk) {
        const int j1 = std::min(r, j0 + kRowChunk);
        if (subtract)
            gram_chunk<true>(j0, j1, na, nb, A, lda, B, ldb, C, ldc, upper_only);
        else
            gram_chunk<false>(j0, j1, na, nb, A, lda, B, ldb, C, ldc, upper_only);
    }
}

void gram_sse2(int r, int na, int nb, const double* A, int lda, const double* B, int ldb, double* C, int ldc,
               bool subtract, bool upper_only) {
    gram_rows(r, na, nb, A, lda, B, ldb, C, ldc, subtract, upper_only);
}

#ifdef VQ_TARGET_AVX2
VQ_TARGET_AVX2 void gram_avx2(int r, int na, int nb, const double* A, int lda, const double* B, int ldb, double* C,
                              int ldc, bool subtract, bool upper_only) {
    gram_rows(r, na, nb, A, lda, B, ldb, C, ldc, subtract, upper_only);
}
#endif

}  // namespace

void gram_update(int r, int na, int nb, const double* A, int lda, const double* B, int ldb, double* C, int ldc,
                 bool subtract, bool upper_only) {
#ifdef VQ_TARGET_AVX2
    if (useAvx2()) {
        gram_avx2(r, na, nb, A, lda, B, ldb, C, ldc, subtract, upper_only);
        return;
    }
#endif
    gram_sse2(r, na, nb, A, lda, B, ldb, C, ldc, subtract, upper_only);
}

bool cholesky_upper(int n, double* M, int ldm) {
    auto row = [&](int c) { return M + static_cast<long>(c) * ldm; };
    for (int k0 = 0; k0 < n; k0 += kPanel) {
        const int k1 = std::min(n, k0 + kPanel);
        // The rows of the panel: each takes the subtractions of the panel's
        // earlier rows, then is scaled by its pivot.
        for (int c = k0; c < k1; ++c) {
            double* rc = row(c);
            for (int k = k0; k < c; ++k) subtract_scaled(rc + c, row(k) + c, row(k)[c], n - c);
            const double d = rc[c];
            if (!(d > 0.0)) return false;
            const double g = std::sqrt(d);
            rc[c] = g;
            for (int l = c + 1; l < n; ++l) rc[l] = rc[l] / g;
        }
        // The rows below the panel take the panel's subtractions.
        if (k1 < n) gram_update(k1 - k0, n - k1, n - k1, row(k0) + k1, ldm, row(k0) + k1, ldm, row(k1) + k1, ldm, true, true);
    }
    return true;
}

void solve_upper_transposed(int n, const double* R, int ldr, int nb, double* V, int ldv) {
    for (int x = 0; x < n; ++x) {
        double* vx = V + static_cast<long>(x) * ldv;
        for (int c = 0; c < x; ++c) subtract_scaled(vx, V + static_cast<long>(c) * ldv, R[static_cast<long>(c) * ldr + x], nb);
        const double g = R[static_cast<long>(x) * ldr + x];
        for (int b = 0; b < nb; ++b) vx[b] = vx[b] / g;
    }
}

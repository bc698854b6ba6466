#include "engine/tds_em.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "engine/tds_em_detail.h"
#include "numerics/console.h"
#include "numerics/count_division.h"
#include "numerics/exp_without_errno.h"
#include "numerics/linear_algebra.h"
#include "numerics/offset_arrays.h"
#include "numerics/simd_pairs.h"

#ifdef VQ_TARGET_AVX2
#include <immintrin.h>  // declares the fused multiply-add builtin of the quadruple kernels
#endif

// Sums run over records, points and coefficients by increasing index, and
// products are taken left to right, whatever the loop nesting: the loops are
// arranged for contiguous memory, never for a different rounding.  Terms that
// are exactly zero (a zero membership weight) may be skipped, which leaves
// every sum unchanged.

namespace {

// ---------------------------------------------------------------------------
// Vector helpers
// ---------------------------------------------------------------------------

// The kernels below are written once for a vector type V of L doubles and
// compiled twice: with pairs (v2d, every x86-64 processor) and, in a function
// built for AVX2, with quadruples (v4d).  Lanes always hold independent
// entries, so both versions round every entry exactly as the scalar loop.
// (kLanes, loadv, storev and splat: numerics/simd_pairs.h.)

// How the products of a record are divided by its count c10 (see
// count_division.h for the two-term reciprocal and its proof).
struct RecordDivisor {
    double c = 1.0;   // the count
    double hi = 1.0;  // RN(1/c)
    double lo = 0.0;  // RN(1/c - hi)
    bool unit = true;  // c == 1: the division is left out (exact)
    bool fast = false;  // every entry of the record is zero or of size 2^-450..2^450
};

// The divisor of a record of count c whose entries are l[0..len-1].  A
// product of two such entries is zero or of size 2^-900..2^900, where the
// reciprocal form gives the quotient bit for bit; the zeros' quotients (±0)
// only ever meet entries that cannot be -0 (see add_record_products_rows_v),
// which they leave unchanged either way.
RecordDivisor record_divisor(int c, const double* l, int len) {
    RecordDivisor dv;
    dv.unit = (c == 1);
    if (dv.unit) return dv;
    const CountReciprocal r = countReciprocal(static_cast<double>(c));
    dv.c = r.c;
    dv.hi = r.hi;
    dv.lo = r.lo;
    dv.fast = static_cast<double>(c) < kMaxCount;
    constexpr double kLow = 0x1p-450;
    constexpr double kHigh = 0x1p450;
    for (int b = 0; dv.fast && b < len; ++b) {
        const double a = std::fabs(l[b]);
        dv.fast = a == 0.0 || (a >= kLow && a <= kHigh);
    }
    return dv;
}

// The quotients p / c of a record whose divisor is fast, by one
// multiplication and one fused multiply-add per lane.  Only the quadruple
// kernels, built for AVX2 and FMA, have it (immintrin.h declares the
// builtin).
#ifdef VQ_TARGET_AVX2
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <class V>
VQ_ALWAYS_INLINE void divide_by_count_fast(V& p, const V& hi, const V& lo) {
    if constexpr (kLanes<V> == 4)
        p = __builtin_ia32_vfmaddpd256(p, hi, p * lo);
    else
        __builtin_unreachable();  // kHasFastCountDivision is false for pairs
}
#pragma GCC diagnostic pop
template <class V>
constexpr bool kHasFastCountDivision = kLanes<V> == 4;
#else
template <class V>
VQ_ALWAYS_INLINE void divide_by_count_fast(V&, const V&, const V&) {}
template <class V>
constexpr bool kHasFastCountDivision = false;
#endif

// Columns of the L by L block whose rows are r[0..L-1]: c[t][k] = r[k][t].
VQ_ALWAYS_INLINE void transpose(const v2d* r, v2d* c) {
#if defined(__clang__)
    c[0] = __builtin_shufflevector(r[0], r[1], 0, 2);
    c[1] = __builtin_shufflevector(r[0], r[1], 1, 3);
#else
    using M = long long __attribute__((vector_size(16)));
    c[0] = __builtin_shuffle(r[0], r[1], M{0, 2});
    c[1] = __builtin_shuffle(r[0], r[1], M{1, 3});
#endif
}

VQ_ALWAYS_INLINE void transpose(const v4d* r, v4d* c) {
#if defined(__clang__)
    const v4d t0 = __builtin_shufflevector(r[0], r[1], 0, 4, 2, 6);
    const v4d t1 = __builtin_shufflevector(r[0], r[1], 1, 5, 3, 7);
    const v4d t2 = __builtin_shufflevector(r[2], r[3], 0, 4, 2, 6);
    const v4d t3 = __builtin_shufflevector(r[2], r[3], 1, 5, 3, 7);
    c[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    c[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    c[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    c[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
#else
    using M = long long __attribute__((vector_size(32)));
    const v4d t0 = __builtin_shuffle(r[0], r[1], M{0, 4, 2, 6});
    const v4d t1 = __builtin_shuffle(r[0], r[1], M{1, 5, 3, 7});
    const v4d t2 = __builtin_shuffle(r[2], r[3], M{0, 4, 2, 6});
    const v4d t3 = __builtin_shuffle(r[2], r[3], M{1, 5, 3, 7});
    c[0] = __builtin_shuffle(t0, t2, M{0, 1, 4, 5});
    c[1] = __builtin_shuffle(t1, t3, M{0, 1, 4, 5});
    c[2] = __builtin_shuffle(t0, t2, M{2, 3, 6, 7});
    c[3] = __builtin_shuffle(t1, t3, M{2, 3, 6, 7});
#endif
}

// ---------------------------------------------------------------------------
// EM
// ---------------------------------------------------------------------------

// Posterior weights of non-sequenced record i recomputed relative to its
// largest term, for a record whose plain weights all underflowed to zero.
// post[j][i] holds c*u_j on return and the new sum is returned; when no term
// is finite (a degenerate variance) the plain zeros are kept.
double rescue_underflowed_record(int n1, int i, double y, double c, double two_s, const double* qm,
                                 const double* etaW, double** post) {
    double big = -HUGE_VAL;
    std::vector<double> logw(n1);
    for (int j = 0; j < n1; ++j) {
        const double dl = y - etaW[j];
        logw[j] = std::log(qm[j]) - (dl * dl) / two_s;
        if (logw[j] > big) big = logw[j];
    }
    if (!std::isfinite(big)) return 0.0;
    double sum = 0.0;
    for (int j = 0; j < n1; ++j) {
        const double u = std::exp(logw[j] - big);
        sum += u;
        post[j][i] = c * u;
    }
    return sum;
}

// The working arrays of one EM fit.  post[j][i] is the weight of
// non-sequenced record i on point j (phi transposed, so that every per-point
// sum runs over contiguous memory); qm_0 and eta_0 hold the previous iterate.
struct EmScratch {
    int n1, n0, d;
    const double* y0;  // non-sequenced values
    const int* c0;     // and their counts
    double** post;
    double* fm_n0;  // per non-sequenced record, the sum of its E-step terms
    double* count0;  // c0 as doubles
    double* terms;   // E-step: the terms of one point, record by record
    bool quads;      // the AVX2 kernels run
    double* qm_0;
    double* eta_0;
    double* a;  // M-step: 1 + sum_i phi per point
    double* b;  // M-step: y_j + sum_i phi*y_i per point
    double** inv_A;
    double* B;

    EmScratch(int n10, int n1_, int d_, const int* c10, const double* y10)
        : n1(n1_), n0(n10 - n1_), d(d_), y0(y10 + n1_), c0(c10 + n1_) {
        post = dmatrix(0, n1 - 1, 0, n0 - 1);
        fm_n0 = dvector(0, n0 - 1);
        count0 = dvector(0, n0 - 1);
        terms = dvector(0, n0 - 1);
        for (int i = 0; i < n0; ++i) count0[i] = c0[i];
        quads = simdQuads();
        qm_0 = dvector(0, n1 - 1);
        eta_0 = dvector(0, d - 1);
        a = dvector(0, n1 - 1);
        b = dvector(0, n1 - 1);
        inv_A = dmatrix(1, d, 1, d);
        B = dvector(1, d);
    }
    ~EmScratch() {
        free_dvector(B, 1, d);
        free_dmatrix(inv_A, 1, d, 1, d);
        free_dvector(b, 0, n1 - 1);
        free_dvector(a, 0, n1 - 1);
        free_dvector(eta_0, 0, d - 1);
        free_dvector(qm_0, 0, n1 - 1);
        free_dvector(terms, 0, n0 - 1);
        free_dvector(count0, 0, n0 - 1);
        free_dvector(fm_n0, 0, n0 - 1);
        free_dmatrix(post, 0, n1 - 1, 0, n0 - 1);
    }
    EmScratch(const EmScratch&) = delete;
    EmScratch& operator=(const EmScratch&) = delete;
};

// Start values: equal point weights, identity memberships for the sequenced
// records, eta = 0 and the count-weighted variance of all values (divisor
// the number of subjects), which is returned.
double start_values(int n10, int n1, int d, const int* c10, const double* y10, double** w, double* eta, double* qm,
                    double* etaW, double** phi, EmScratch& x) {
    for (int j = 0; j < n1; ++j) qm[j] = x.qm_0[j] = 1.0 / n1;
    for (int i = 0; i < n1; ++i)
        for (int j = 0; j < n1; ++j) phi[i][j] = (i == j) ? 1.0 : 0.0;
    long long count = 0;
    for (int i = 0; i < n10; ++i) count += c10[i];
    const double C = static_cast<double>(count);
    double mean = 0.0;
    for (int i = 0; i < n10; ++i) mean += c10[i] * y10[i];
    mean = mean / C;
    double var = 0.0;
    for (int i = 0; i < n10; ++i) {
        const double dl = y10[i] - mean;
        var += c10[i] * (dl * dl);
    }
    for (int k = 0; k < d; ++k) eta[k] = x.eta_0[k] = 0.0;
    for (int j = 0; j < n1; ++j) {
        double fit = 0.0;
        for (int k = 0; k < d; ++k) fit += w[j][k] * eta[k];
        etaW[j] = fit;
    }
    return var / C;
}

// E-step terms of point j (value fit, weight q) for n0 non-sequenced
// records: t = q*exp(-(y_i - fit)^2/(2s)) is added to fm[i] and c_i*t is
// stored in pj[i].  The exponent arguments are formed a vector at a time,
// exp is called record by record, the rest is again vectorised.
template <class V>
VQ_ALWAYS_INLINE void e_step_point(int n0, double q, double fit, double two_s, const double* y0, const double* count0,
                                   double* t, double* fm, double* pj) {
    constexpr int L = kLanes<V>;
    V fv, sv, qv;
    splat(fv, fit);
    splat(sv, two_s);
    splat(qv, q);
    int i = 0;
    for (; i + L <= n0; i += L) {
        V dl;
        loadv(dl, y0 + i);
        dl -= fv;
        const V arg = -(dl * dl) / sv;
        storev(t + i, arg);
    }
    for (; i < n0; ++i) {
        const double dl = y0[i] - fit;
        t[i] = -(dl * dl) / two_s;
    }
    const ExpFunction exp_fn = expWithoutErrno();  // std::exp's values, without errno
    for (i = 0; i < n0; ++i) t[i] = exp_fn(t[i]);
    for (i = 0; i + L <= n0; i += L) {
        V u, f, c;
        loadv(u, t + i);
        loadv(f, fm + i);
        loadv(c, count0 + i);
        u = qv * u;
        f += u;
        c *= u;
        storev(fm + i, f);
        storev(pj + i, c);
    }
    for (; i < n0; ++i) {
        const double u = q * t[i];
        fm[i] += u;
        pj[i] = count0[i] * u;
    }
}

// The sums of the M-step over the records i0..i0+nb-1 of the weights
// c_i*term: each weight is first divided by fm_n0[i] (the end of the
// E-step), then added to a_j and, times y_i, to b_j.  L points are taken
// together, one per lane, so that their sums advance side by side.
template <class V>
VQ_ALWAYS_INLINE void normalise_and_sum(int n1, int i0, int nb, EmScratch& x) {
    constexpr int L = kLanes<V>;
    const double* fm = x.fm_n0 + i0;
    const double* y0 = x.y0 + i0;
    int j0 = 0;
    for (; j0 + L <= n1; j0 += L) {
        double* p[L];
        for (int k = 0; k < L; ++k) p[k] = x.post[j0 + k] + i0;
        V a, b;
        loadv(a, x.a + j0);
        loadv(b, x.b + j0);
        int i = 0;
        for (; i + L <= nb; i += L) {
            V f;
            loadv(f, fm + i);
            V r[L];
            V c[L];
#pragma GCC unroll 4
            for (int k = 0; k < L; ++k) {
                loadv(r[k], p[k] + i);
                r[k] /= f;
                storev(p[k] + i, r[k]);
            }
            transpose(r, c);
#pragma GCC unroll 4
            for (int t = 0; t < L; ++t) {
                V yv;
                splat(yv, y0[i + t]);
                a += c[t];
                b += c[t] * yv;
            }
        }
        for (; i < nb; ++i) {
            V c, yv;
#pragma GCC unroll 4
            for (int k = 0; k < L; ++k) {
                p[k][i] = p[k][i] / fm[i];
                c[k] = p[k][i];
            }
            splat(yv, y0[i]);
            a += c;
            b += c * yv;
        }
        storev(x.a + j0, a);
        storev(x.b + j0, b);
    }
    for (int j = j0; j < n1; ++j) {
        double* pj = x.post[j] + i0;
        double aj = x.a[j];
        double bj = x.b[j];
        for (int i = 0; i < nb; ++i) {
            pj[i] = pj[i] / fm[i];
            aj += pj[i];
            bj += pj[i] * y0[i];
        }
        x.a[j] = aj;
        x.b[j] = bj;
    }
}

// E-step and the point weights of the M-step, a chunk of non-sequenced
// records at a time so that the chunk's weights are still in cache when they
// are normalised and summed:
//   E-step: fm_n0[i] = sum over points j of qm[j]*exp(-(y_i - etaW[j])^2/(2s)),
//   post[j][i] = c_i * term / fm_n0[i];
//   M-step: a_j = 1 + sum_i phi, b_j = y_j + sum_i phi*y_i, qm = a/n.
// Every sum runs over the same index order as without the chunks.
template <class V>
VQ_ALWAYS_INLINE void e_step_and_point_weights_v(int n1, double s, double dn, const double* y10, double* qm,
                                                 const double* etaW, EmScratch& x) {
    constexpr int L = kLanes<V>;
    const int n0 = x.n0;
    const double two_s = 2.0 * s;
    // About 256 KiB of weights per chunk, a multiple of four records.
    const int chunk = std::max(32, (32768 / std::max(n1, 1)) / 4 * 4);
    for (int j = 0; j < n1; ++j) {
        x.a[j] = 1.0;
        x.b[j] = y10[j];
    }
    for (int i0 = 0; i0 < n0; i0 += chunk) {
        const int nb = std::min(chunk, n0 - i0);
        double* fm = x.fm_n0 + i0;
        for (int i = 0; i < nb; ++i) fm[i] = 0.0;
        for (int j = 0; j < n1; ++j)
            e_step_point<V>(nb, qm[j], etaW[j], two_s, x.y0 + i0, x.count0 + i0, x.terms, fm, x.post[j] + i0);
        for (int i = 0; i < nb; ++i)
            if (fm[i] == 0.0)
                fm[i] = rescue_underflowed_record(n1, i0 + i, x.y0[i0 + i], x.c0[i0 + i], two_s, qm, etaW, x.post);
        normalise_and_sum<V>(n1, i0, nb, x);
    }
    int j = 0;
    for (; j + L <= n1; j += L) {
        V a, d;
        loadv(a, x.a + j);
        splat(d, dn);
        const V q = a / d;
        storev(qm + j, q);
    }
    for (; j < n1; ++j) qm[j] = x.a[j] / dn;
}

void e_step_and_point_weights_pairs(int n1, double s, double dn, const double* y10, double* qm,
                                    const double* etaW, EmScratch& x) {
    e_step_and_point_weights_v<v2d>(n1, s, dn, y10, qm, etaW, x);
}

#ifdef VQ_TARGET_AVX2
VQ_TARGET_AVX2 void e_step_and_point_weights_quads(int n1, double s, double dn, const double* y10, double* qm,
                                                   const double* etaW, EmScratch& x) {
    e_step_and_point_weights_v<v4d>(n1, s, dn, y10, qm, etaW, x);
}
#endif

void e_step_and_point_weights(int n1, double s, double dn, const double* y10, double* qm, const double* etaW,
                              EmScratch& x) {
#ifdef VQ_TARGET_AVX2
    if (x.quads) {
        e_step_and_point_weights_quads(n1, s, dn, y10, qm, etaW, x);
        return;
    }
#endif
    e_step_and_point_weights_pairs(n1, s, dn, y10, qm, etaW, x);
}

// M-step, coefficients: weighted least squares of b/a on the design rows with
// weights a, eta = (sum_j a_j w_j w_j')^-1 (sum_j b_j w_j).
void m_step_coefficients(int n1, int d, double** w, double* eta, EmScratch& x) {
    double** inv_A = x.inv_A;
    double* B = x.B;
    for (int r = 1; r <= d; ++r) {
        B[r] = 0.0;
        for (int c = 1; c <= d; ++c) inv_A[r][c] = 0.0;
    }
    for (int j = 0; j < n1; ++j) {
        const double* wj = w[j];
        for (int r = 0; r < d; ++r) {
            const double awr = x.a[j] * wj[r];
            for (int c = 0; c < d; ++c) inv_A[r + 1][c + 1] += awr * wj[c];
            B[r + 1] += x.b[j] * wj[r];
        }
    }
    tds_detail::solve_normal_equations(d, inv_A, B, eta);
}

// rss + the terms pj[i] * (y_i - fit)^2 of the n0 non-sequenced records,
// added one by one in record order; the terms are formed a vector at a time.
template <class V>
VQ_ALWAYS_INLINE double add_weighted_squares_v(double rss, int n0, double fit, const double* y0, const double* pj) {
    constexpr int L = kLanes<V>;
    V fv;
    splat(fv, fit);
    int i = 0;
    for (; i + L <= n0; i += L) {
        V di, p;
        loadv(di, y0 + i);
        loadv(p, pj + i);
        di -= fv;
        const V term = p * (di * di);
#pragma GCC unroll 4
        for (int k = 0; k < L; ++k) rss += term[k];
    }
    for (; i < n0; ++i) {
        const double di = y0[i] - fit;
        rss += pj[i] * (di * di);
    }
    return rss;
}

double add_weighted_squares_pairs(double rss, int n0, double fit, const double* y0, const double* pj) {
    return add_weighted_squares_v<v2d>(rss, n0, fit, y0, pj);
}

#ifdef VQ_TARGET_AVX2
VQ_TARGET_AVX2 double add_weighted_squares_quads(double rss, int n0, double fit, const double* y0,
                                                 const double* pj) {
    return add_weighted_squares_v<v4d>(rss, n0, fit, y0, pj);
}
#endif

// M-step, variance: the new fitted values etaW and the residual sum of
// squares over the sequenced records and the weighted non-sequenced ones,
// one running sum over the points and, within a point, its records.
double residual_sum_of_squares(int n1, int d, const double* y10, double** w, const double* eta, double* etaW,
                               const EmScratch& x) {
    double rss = 0.0;
    for (int j = 0; j < n1; ++j) {
        double fit = 0.0;
        for (int k = 0; k < d; ++k) fit += w[j][k] * eta[k];
        etaW[j] = fit;
        const double dl = y10[j] - fit;
        rss += dl * dl;
#ifdef VQ_TARGET_AVX2
        if (x.quads)
            rss = add_weighted_squares_quads(rss, x.n0, fit, x.y0, x.post[j]);
        else
#endif
            rss = add_weighted_squares_pairs(rss, x.n0, fit, x.y0, x.post[j]);
    }
    return rss;
}

// Summed absolute change of sigma11, eta and qm since the previous iterate.
double parameter_change(int n1, int d, double s_0, double s, const double* eta, const double* qm,
                        const EmScratch& x) {
    double diff = std::fabs(s_0 - s);
    for (int k = 0; k < d; ++k) diff += std::fabs(x.eta_0[k] - eta[k]);
    for (int j = 0; j < n1; ++j) diff += std::fabs(x.qm_0[j] - qm[j]);
    return diff;
}

}  // namespace

namespace tds_detail {

void solve_normal_equations(int k, double** inv_A, const double* B, double* est) {
    invv(inv_A, k);
    for (int r = 0; r < k; ++r) {
        double e = 0.0;
        for (int c = 0; c < k; ++c) e += inv_A[r + 1][c + 1] * B[c + 1];
        est[r] = e;
    }
}

void report_nonconvergence() { std::fprintf(consoleOut(), "\nEM_quan Warning: EM iteration NOT converge!\n"); }

bool em_fit(int n, int n10, int n1, int d, const int* c10, const double* y10, double** w, double* eta,
            double* sigma11, double* qm, double* etaW, double** phi, int* EMconvergeN, double tolerance,
            int max_iterations) {
    EmScratch x(n10, n1, d, c10, y10);
    double s = start_values(n10, n1, d, c10, y10, w, eta, qm, etaW, phi, x);
    double s_0 = s;
    *EMconvergeN = 0;
    bool warned = false;
    const double dn = n;

    for (int t = 0; t < max_iterations; ++t) {
        e_step_and_point_weights(n1, s, dn, y10, qm, etaW, x);
        m_step_coefficients(n1, d, w, eta, x);
        s = residual_sum_of_squares(n1, d, y10, w, eta, etaW, x) / dn;

        // Change measure and stopping rule.
        const double diff = parameter_change(n1, d, s_0, s, eta, qm, x);
        if (tolerance > diff) {
            *EMconvergeN = t + 1;
            break;
        }
        for (int k = 0; k < d; ++k) x.eta_0[k] = eta[k];
        for (int j = 0; j < n1; ++j) x.qm_0[j] = qm[j];
        if (t == max_iterations - 1) {
            report_nonconvergence();
            warned = true;
            *EMconvergeN = max_iterations;
            break;
        }
        s_0 = s;
    }

    *sigma11 = s;
    for (int i = 0; i < x.n0; ++i) {
        double* row = phi[n1 + i];
        for (int j = 0; j < n1; ++j) row[j] = x.post[j][i];
    }
    return warned;
}

}  // namespace tds_detail

namespace {

// ---------------------------------------------------------------------------
// Louis' observed information
// ---------------------------------------------------------------------------

// Parameter order: coefficients 0..m-1 (the columns of SZ), sigma11 at m, the
// point weight of point j at m+1+j; order q+1 with q = m + n1.
struct Information {
    int m = 0;
    int q = 0;
    double** Q1 = nullptr;  // (q+1) x (q+1), 0-based
};

// Residual moments of each point j under the membership weights:
// r_k[j] = (y_j - etaW_j)^k + sum over non-sequenced i of phi[i][j]*(y_i - etaW_j)^k,
// for k = 1..3, and k = 4 when r4 is given; zero weights are skipped.
void residual_moments(int n10, int n1, double** phi, const double* y10, const double* etaW, double* r1,
                      double* r2, double* r3, double* r4) {
    for (int j = 0; j < n1; ++j) {
        const double dl = y10[j] - etaW[j];
        const double d2 = dl * dl;
        const double d3 = d2 * dl;
        r1[j] = dl;
        r2[j] = d2;
        r3[j] = d3;
        if (r4 != nullptr) r4[j] = d3 * dl;
    }
    for (int i = n1; i < n10; ++i) {
        const double* pi = phi[i];
        const double y = y10[i];
        for (int j = 0; j < n1; ++j) {
            const double p = pi[j];
            if (p == 0.0) continue;
            const double dl = y - etaW[j];
            const double d2 = dl * dl;
            const double d3 = d2 * dl;
            r1[j] += p * dl;
            r2[j] += p * d2;
            r3[j] += p * d3;
            if (r4 != nullptr) r4[j] += p * (d3 * dl);
        }
    }
}

// ai[a] = sum over the listed points j of phi*SZ[j][a] and bi[a] = sum of
// phi*etaW[j]*SZ[j][a], j in list order; the entries a, independent sums,
// are taken a vector at a time.
template <class V>
VQ_ALWAYS_INLINE void point_sums_v(const std::vector<int>& nonzero, const double* pi, int m, double** SZ,
                                   const double* etaW, double* ai, double* bi) {
    constexpr int L = kLanes<V>;
    int a = 0;
    for (; a + L <= m; a += L) {
        V sa, sb;
        splat(sa, 0.0);
        splat(sb, 0.0);
        for (int j : nonzero) {
            const double p = pi[j];
            V pv, pe, z;
            splat(pv, p);
            splat(pe, p * etaW[j]);
            loadv(z, SZ[j] + a);
            sa += pv * z;
            sb += pe * z;
        }
        storev(ai + a, sa);
        storev(bi + a, sb);
    }
    for (; a < m; ++a) {
        double sa = 0.0;
        double sb = 0.0;
        for (int j : nonzero) {
            const double p = pi[j];
            const double pe = p * etaW[j];
            sa += p * SZ[j][a];
            sb += pe * SZ[j][a];
        }
        ai[a] = sa;
        bi[a] = sb;
    }
}

void point_sums_pairs(const std::vector<int>& nonzero, const double* pi, int m, double** SZ, const double* etaW,
                      double* ai, double* bi) {
    point_sums_v<v2d>(nonzero, pi, m, SZ, etaW, ai, bi);
}

#ifdef VQ_TARGET_AVX2
VQ_TARGET_AVX2 void point_sums_quads(const std::vector<int>& nonzero, const double* pi, int m, double** SZ,
                                     const double* etaW, double* ai, double* bi) {
    point_sums_v<v4d>(nonzero, pi, m, SZ, etaW, ai, bi);
}
#else
void point_sums_quads(const std::vector<int>& nonzero, const double* pi, int m, double** SZ, const double* etaW,
                      double* ai, double* bi) {
    point_sums_v<v2d>(nonzero, pi, m, SZ, etaW, ai, bi);
}
#endif

// The points that record i sits on (its nonzero membership weights), and over
// them ai[a] = sum_j phi*SZ[j][a] and bi[a] = sum_j phi*etaW[j]*SZ[j][a]; E and
// F are the covariate parts of ai and bi weighted by eta.
void record_sums(bool quads, const double* pi, int n1, int m, int m1, double** SZ, const double* etaW,
                 const double* eta, std::vector<int>& nonzero, std::vector<double>& ai, std::vector<double>& bi,
                 double* E, double* F) {
    nonzero.clear();
    for (int j = 0; j < n1; ++j)
        if (pi[j] != 0.0) nonzero.push_back(j);
    if (quads)
        point_sums_quads(nonzero, pi, m, SZ, etaW, ai.data(), bi.data());
    else
        point_sums_pairs(nonzero, pi, m, SZ, etaW, ai.data(), bi.data());
    double e = 0.0;
    double f = 0.0;
    for (int a = m1; a < m; ++a) {
        e += eta[a - m1] * ai[a];
        f += eta[a - m1] * bi[a];
    }
    *E = e;
    *F = f;
}

// Adds sum over the records r of a block of (l_r[a] * l_r[b]) / c_r to
// row[b] for b in [b0, len), records in block order, four vectors of entries
// of the row held in registers at a time.  la[r] = l_r[a]; a record whose la
// is zero contributes exact zeros and may be left out by the caller (see
// add_record_products_rows_v when it is not); a record of count one
// (unit[r]) is added without the division, which is exact.
template <class V>
VQ_ALWAYS_INLINE void add_record_products_v(double* row, int b0, int len, int R, const double* la,
                                            double* const* l, const RecordDivisor* dv) {
    constexpr int L = kLanes<V>;
    int b = b0;
    for (; b + 4 * L <= len; b += 4 * L) {
        V x0, x1, x2, x3;
        loadv(x0, row + b);
        loadv(x1, row + b + L);
        loadv(x2, row + b + 2 * L);
        loadv(x3, row + b + 3 * L);
        for (int r = 0; r < R; ++r) {
            const double* lr = l[r] + b;
            V s, l0, l1, l2, l3;
            splat(s, la[r]);
            loadv(l0, lr);
            loadv(l1, lr + L);
            loadv(l2, lr + 2 * L);
            loadv(l3, lr + 3 * L);
            if (dv[r].unit) {
                x0 += s * l0;
                x1 += s * l1;
                x2 += s * l2;
                x3 += s * l3;
            } else if (kHasFastCountDivision<V> && dv[r].fast) {
                V hi, lo, p0 = s * l0, p1 = s * l1, p2 = s * l2, p3 = s * l3;
                splat(hi, dv[r].hi);
                splat(lo, dv[r].lo);
                divide_by_count_fast(p0, hi, lo);
                divide_by_count_fast(p1, hi, lo);
                divide_by_count_fast(p2, hi, lo);
                divide_by_count_fast(p3, hi, lo);
                x0 += p0;
                x1 += p1;
                x2 += p2;
                x3 += p3;
            } else {
                V cv;
                splat(cv, dv[r].c);
                x0 += (s * l0) / cv;
                x1 += (s * l1) / cv;
                x2 += (s * l2) / cv;
                x3 += (s * l3) / cv;
            }
        }
        storev(row + b, x0);
        storev(row + b + L, x1);
        storev(row + b + 2 * L, x2);
        storev(row + b + 3 * L, x3);
    }
    for (; b + L <= len; b += L) {
        V x0;
        loadv(x0, row + b);
        for (int r = 0; r < R; ++r) {
            V s, l0;
            splat(s, la[r]);
            loadv(l0, l[r] + b);
            if (dv[r].unit) {
                x0 += s * l0;
            } else if (kHasFastCountDivision<V> && dv[r].fast) {
                V hi, lo, p0 = s * l0;
                splat(hi, dv[r].hi);
                splat(lo, dv[r].lo);
                divide_by_count_fast(p0, hi, lo);
                x0 += p0;
            } else {
                V cv;
                splat(cv, dv[r].c);
                x0 += (s * l0) / cv;
            }
        }
        storev(row + b, x0);
    }
    for (; b < len; ++b) {
        double x = row[b];
        for (int r = 0; r < R; ++r) x += dv[r].unit ? la[r] * l[r][b] : (la[r] * l[r][b]) / dv[r].c;
        row[b] = x;
    }
}

void add_record_products_pairs(double* row, int b0, int len, int R, const double* la, double* const* l,
                               const RecordDivisor* dv) {
    add_record_products_v<v2d>(row, b0, len, R, la, l, dv);
}

#ifdef VQ_TARGET_AVX2
VQ_TARGET_AVX2 void add_record_products_quads(double* row, int b0, int len, int R, const double* la,
                                              double* const* l, const RecordDivisor* dv) {
    add_record_products_v<v4d>(row, b0, len, R, la, l, dv);
}
#endif

// add_record_products_v by the kernel that quads chooses.
void add_record_products(bool quads, double* row, int b0, int len, int R, const double* la, double* const* l,
                         const RecordDivisor* dv) {
#ifdef VQ_TARGET_AVX2
    if (quads) {
        add_record_products_quads(row, b0, len, R, la, l, dv);
        return;
    }
#else
    (void)quads;
#endif
    add_record_products_pairs(row, b0, len, R, la, l, dv);
}

constexpr int kRecordBlock = 16;  // dense records applied together
constexpr int kRowBlock = 4;      // rows of Q13 formed together

// add_record_products_v for the kRowBlock rows rows[k], the record entries
// of row k being la[k][r]: each l_r[b] is loaded once for all the rows.  A
// record may have la[k][r] = 0 in some of the rows; its products there are
// exact zeros when l_r is finite (the caller makes sure), and an entry, which
// starts at +0 and gathers its terms by addition, is never -0, so adding
// such a zero leaves it unchanged, bit for bit.
template <class V>
VQ_ALWAYS_INLINE void add_record_products_rows_v(double* const* rows, int b0, int len, int R,
                                                 const double (*la)[kRecordBlock], double* const* l,
                                                 const RecordDivisor* dv) {
    constexpr int L = kLanes<V>;
    constexpr int K = kRowBlock;
    int b = b0;
    for (; b + 2 * L <= len; b += 2 * L) {
        V x[K][2];
#pragma GCC unroll 4
        for (int k = 0; k < K; ++k) {
            loadv(x[k][0], rows[k] + b);
            loadv(x[k][1], rows[k] + b + L);
        }
        for (int r = 0; r < R; ++r) {
            const double* lr = l[r] + b;
            V l0, l1;
            loadv(l0, lr);
            loadv(l1, lr + L);
            if (dv[r].unit) {
#pragma GCC unroll 4
                for (int k = 0; k < K; ++k) {
                    V s;
                    splat(s, la[k][r]);
                    x[k][0] += s * l0;
                    x[k][1] += s * l1;
                }
            } else if (kHasFastCountDivision<V> && dv[r].fast) {
                V hi, lo;
                splat(hi, dv[r].hi);
                splat(lo, dv[r].lo);
#pragma GCC unroll 4
                for (int k = 0; k < K; ++k) {
                    V s;
                    splat(s, la[k][r]);
                    V p0 = s * l0, p1 = s * l1;
                    divide_by_count_fast(p0, hi, lo);
                    divide_by_count_fast(p1, hi, lo);
                    x[k][0] += p0;
                    x[k][1] += p1;
                }
            } else {
                V cv;
                splat(cv, dv[r].c);
#pragma GCC unroll 4
                for (int k = 0; k < K; ++k) {
                    V s;
                    splat(s, la[k][r]);
                    x[k][0] += (s * l0) / cv;
                    x[k][1] += (s * l1) / cv;
                }
            }
        }
#pragma GCC unroll 4
        for (int k = 0; k < K; ++k) {
            storev(rows[k] + b, x[k][0]);
            storev(rows[k] + b + L, x[k][1]);
        }
    }
    for (int k = 0; k < K; ++k) add_record_products_v<V>(rows[k], b, len, R, la[k], l, dv);
}

void add_record_products_rows_pairs(double* const* rows, int b0, int len, int R, const double (*la)[kRecordBlock],
                                    double* const* l, const RecordDivisor* dv) {
    add_record_products_rows_v<v2d>(rows, b0, len, R, la, l, dv);
}

#ifdef VQ_TARGET_AVX2
VQ_TARGET_AVX2 void add_record_products_rows_quads(double* const* rows, int b0, int len, int R,
                                                   const double (*la)[kRecordBlock], double* const* l,
                                                   const RecordDivisor* dv) {
    add_record_products_rows_v<v4d>(rows, b0, len, R, la, l, dv);
}
#endif

void add_record_products_rows(bool quads, double* const* rows, int b0, int len, int R,
                              const double (*la)[kRecordBlock], double* const* l, const RecordDivisor* dv) {
#ifdef VQ_TARGET_AVX2
    if (quads) {
        add_record_products_rows_quads(rows, b0, len, R, la, l, dv);
        return;
    }
#else
    (void)quads;
#endif
    add_record_products_rows_pairs(rows, b0, len, R, la, l, dv);
}

// The expected-information blocks Q11 and Q12 of Louis' formula.  They have
// entries only in rows and columns 0..m (coefficients and sigma11) and, in
// Q12, between a point weight and a coefficient or sigma11: P12[j][a] =
// Q12[a][m+1+j] for a < m, P12[j][m] = Q12[m][m+1+j].
struct MomentBlocks {
    int m = 0;
    int n1 = 0;
    double** Q11 = nullptr;  // (m+1) x (m+1)
    double** Q12 = nullptr;  // (m+1) x (m+1)
    double** P12 = nullptr;  // n1 x (m+1)
};

void release(MomentBlocks& k) {
    free_dmatrix(k.P12, 0, k.n1 - 1, 0, k.m);
    free_dmatrix(k.Q12, 0, k.m, 0, k.m);
    free_dmatrix(k.Q11, 0, k.m, 0, k.m);
}

// Q11, Q12 and P12 of the fit (s, phi, etaW, qm) on the design SZ[n1][m],
// from the residual moments of the points; full_coefficient_variance as in
// louis_information.
MomentBlocks moment_blocks(int n, int n10, int n1, int m, double s, double** phi, const double* etaW,
                           const double* qm, const double* y10, double** SZ, bool full_coefficient_variance) {
    const double dn = n;
    const double s2 = s * s;
    const double s3 = s2 * s;
    const double s4 = s3 * s;

    MomentBlocks k;
    k.m = m;
    k.n1 = n1;
    k.Q11 = dmatrix(0, m, 0, m);
    k.Q12 = dmatrix(0, m, 0, m);
    k.P12 = dmatrix(0, n1 - 1, 0, m);
    double** Q11 = k.Q11;
    double** Q12 = k.Q12;
    double** P12 = k.P12;
    for (int a = 0; a <= m; ++a)
        for (int b = 0; b <= m; ++b) Q11[a][b] = Q12[a][b] = 0.0;

    std::vector<double> r1(n1), r2(n1), r3(n1), r4(n1);
    residual_moments(n10, n1, phi, y10, etaW, r1.data(), r2.data(), r3.data(), r4.data());
    double R2 = 0.0;
    double R4 = 0.0;
    const double two_s = 2.0 * s;
    const double minus_n_over_2s = -dn / two_s;
    for (int j = 0; j < n1; ++j) {
        const double* zj = SZ[j];
        for (int a = 0; a < m; ++a) {
            const double qa = qm[j] * zj[a];
            const double ra = r2[j] * zj[a];
            for (int b = 0; b < m; ++b) {
                Q11[a][b] += qa * zj[b];
                Q12[a][b] += ra * zj[b];
            }
        }
        for (int a = 0; a < m; ++a) {
            if (full_coefficient_variance) Q11[a][m] -= r1[j] * zj[a];
            Q12[a][m] += r3[j] * zj[a];
            P12[j][a] = (r1[j] * zj[a]) / (s * qm[j]);
        }
        P12[j][m] = minus_n_over_2s + r2[j] / (2.0 * s2 * qm[j]);
        R2 += r2[j];
        R4 += r4[j];
    }
    for (int a = 0; a < m; ++a) {
        for (int b = 0; b < m; ++b) {
            Q11[a][b] = -dn * Q11[a][b] / s;
            Q12[a][b] = Q12[a][b] / s2;
        }
        Q11[a][m] = Q11[a][m] / s2;
        if (full_coefficient_variance)
            Q12[a][m] = 0.5 * Q11[a][m] + Q12[a][m] / (2.0 * s3);
        else
            Q12[a][m] = Q12[a][m] / (2.0 * s3);
        Q11[m][a] = Q11[a][m];
        Q12[m][a] = Q12[a][m];
    }
    Q12[m][m] = dn / (4.0 * s2) - R2 / (2.0 * s3) + R4 / (4.0 * s4);
    Q11[m][m] = -dn / (2.0 * s2);
    return k;
}

// Q13 = sum over records i of l_i l_i' / c10[i], the outer products of the
// record scores l_i, added into the upper triangle of Q1 (order q+1, cleared
// here).  Records on few points are applied one by one over their nonzero
// entries; the others are buffered and applied sixteen at a time, row by row,
// each entry still receiving its terms in record order.  When U is given,
// U[d] receives the summed record scores of column d < m1.
void record_products(int n10, int n1, int m, int m1, double s, double** phi, const double* eta,
                     const double* etaW, const double* qm, const double* y10, const int* c10, double** SZ,
                     double* U, double** Q1) {
    const int q = m + n1;
    const double s2 = s * s;
    const double two_s = 2.0 * s;
    for (int a = 0; a <= q; ++a) std::fill(Q1[a] + a, Q1[a] + q + 1, 0.0);
    if (U != nullptr)
        for (int d = 0; d < m1; ++d) U[d] = 0.0;

    constexpr int kBlock = kRecordBlock;
    const bool quads = simdQuads();
    double** lblock = dmatrix(0, kBlock - 1, 0, q);
    RecordDivisor block_divisor[kBlock];  // how each buffered record's products are divided
    bool block_finite = true;             // every buffered entry is finite
    int nblock = 0;
    std::vector<double> ai(m), bi(m);
    std::vector<int> nonzero;
    nonzero.reserve(n1);
    std::vector<int> active;
    active.reserve(m + 1 + n1);
    double* lsparse = dvector(0, q);
    // Per row a (or block of rows) of Q13, the buffered records whose entry
    // a is not zero.
    double la[kRowBlock][kBlock];
    double* lrows[kBlock];
    RecordDivisor row_divisor[kBlock];
    auto flush = [&]() {
        int a = 0;
        // Rows a..a+K-1 together: each row first takes its entries left of
        // column a+K-1 alone, then all rows take columns a+K-1..q at once,
        // every entry receiving the products of its nonzero records in
        // record order (see add_record_products_rows_v for the zeros).
        for (; block_finite && a + kRowBlock <= q + 1; a += kRowBlock) {
            int R = 0;
            for (int r = 0; r < nblock; ++r) {
                bool any = false;
                for (int k = 0; k < kRowBlock; ++k) any = any || lblock[r][a + k] != 0.0;
                if (!any) continue;
                for (int k = 0; k < kRowBlock; ++k) la[k][R] = lblock[r][a + k];
                lrows[R] = lblock[r];
                row_divisor[R] = block_divisor[r];
                ++R;
            }
            if (R == 0) continue;
            const int common = a + kRowBlock - 1;
            for (int k = 0; k + 1 < kRowBlock; ++k)
                add_record_products(quads, Q1[a + k], a + k, common, R, la[k], lrows, row_divisor);
            add_record_products_rows(quads, Q1 + a, common, q + 1, R, la, lrows, row_divisor);
        }
        for (; a <= q; ++a) {
            int R = 0;
            for (int r = 0; r < nblock; ++r) {
                if (lblock[r][a] == 0.0) continue;
                la[0][R] = lblock[r][a];
                lrows[R] = lblock[r];
                row_divisor[R] = block_divisor[r];
                ++R;
            }
            if (R > 0) add_record_products(quads, Q1[a], a, q + 1, R, la[0], lrows, row_divisor);
        }
        nblock = 0;
        block_finite = true;
    };

    for (int i = 0; i < n10; ++i) {
        const double* pi = phi[i];
        const double y = y10[i];
        const double c = c10[i];
        double E = 0.0;
        double F = 0.0;
        record_sums(quads, pi, n1, m, m1, SZ, etaW, eta, nonzero, ai, bi, &E, &F);
        const bool sparse = 4 * static_cast<long>(nonzero.size()) < n1;
        double* l = sparse ? lsparse : lblock[nblock];
        for (int a = 0; a < m; ++a) l[a] = (y * ai[a] - bi[a]) / s;
        l[m] = -c / two_s + (y * y * c - 2.0 * y * E + F) / (2.0 * s2);
        if (U != nullptr)
            for (int d = 0; d < m1; ++d) U[d] += l[d];

        if (sparse) {
            // A record on few points (a sequenced subject): its products
            // outside the listed entries are zeros and are left out.
            if (nblock > 0) flush();
            active.clear();
            for (int a = 0; a <= m; ++a) active.push_back(a);
            for (int j : nonzero) {
                l[m + 1 + j] = pi[j] / qm[j];
                active.push_back(m + 1 + j);
            }
            const bool unit = (c10[i] == 1);
            for (std::size_t x = 0; x < active.size(); ++x) {
                const int a = active[x];
                const double lx = l[a];
                if (lx == 0.0) continue;
                double* row = Q1[a];
                for (std::size_t z = x; z < active.size(); ++z) {
                    const int b = active[z];
                    row[b] += unit ? lx * l[b] : (lx * l[b]) / c;
                }
            }
        } else {
            for (int j = 0; j < n1; ++j) l[m + 1 + j] = pi[j] / qm[j];
            for (int a = 0; a <= q; ++a) block_finite = block_finite && std::isfinite(l[a]);
            block_divisor[nblock] = record_divisor(c10[i], l, q + 1);
            if (++nblock == kBlock) flush();
        }
    }
    if (nblock > 0) flush();
    for (int a = 0; a <= q; ++a)
        for (int b = a + 1; b <= q; ++b) Q1[b][a] = Q1[a][b];
    free_dvector(lsparse, 0, q);
    free_dmatrix(lblock, 0, kBlock - 1, 0, q);
}

// Q1 = Q13 - Q11 - Q12 (Q1 holds the symmetric Q13 on entry); the
// point-weight block has no Q11 or Q12 entries.
void subtract_moment_blocks(int n1, int m, const MomentBlocks& k, double** Q1) {
    double** Q11 = k.Q11;
    double** Q12 = k.Q12;
    double** P12 = k.P12;
    for (int a = 0; a <= m; ++a)
        for (int b = 0; b <= m; ++b) Q1[a][b] = Q1[a][b] - Q11[a][b] - Q12[a][b];
    for (int j = 0; j < n1; ++j) {
        const int col = m + 1 + j;
        for (int a = 0; a <= m; ++a) {
            // Q11 has no entry here: Q13 - 0 - Q12 is Q13 - Q12.
            Q1[a][col] = Q1[a][col] - P12[j][a];
            Q1[col][a] = Q1[col][a] - P12[j][a];
        }
    }
}

// Louis' information Q1 = Q13 - Q11 - Q12 for the fit (s, phi, eta, etaW, qm)
// with design SZ[n1][m], the last m - m1 columns being those of eta.  With
// full_coefficient_variance false, the entries Q11[a][m] are not accumulated
// and Q12[a][m] has no 0.5*Q11[a][m] term (the information of the full fit).
// When U is given, U[d] receives the summed record scores of column d < m1.
Information louis_information(int n, int n10, int n1, int m, int m1, double s, double** phi,
                              const double* eta, const double* etaW, const double* qm, const double* y10,
                              const int* c10, double** SZ, bool full_coefficient_variance, double* U) {
    Information info;
    info.m = m;
    info.q = m + n1;
    MomentBlocks k = moment_blocks(n, n10, n1, m, s, phi, etaW, qm, y10, SZ, full_coefficient_variance);
    info.Q1 = dmatrix(0, info.q, 0, info.q);
    record_products(n10, n1, m, m1, s, phi, eta, etaW, qm, y10, c10, SZ, U, info.Q1);
    subtract_moment_blocks(n1, m, k, info.Q1);
    release(k);
    return info;
}

// Sum-to-one constraint on the point weights: the rows, then the columns, of
// points 0..n1-2 minus those of the last point (index q), which is dropped.
// In place: Q1[0..q-1][0..q-1] becomes the reduced information DQD.
void reduce_last_point(Information& info) {
    const int m = info.m;
    const int q = info.q;
    double** Q1 = info.Q1;
    const double* last = Q1[q];
    for (int r = m + 1; r < q; ++r) {
        double* row = Q1[r];
        for (int c = 0; c <= q; ++c) row[c] = row[c] - last[c];
    }
    for (int r = 0; r < q; ++r) {
        double* row = Q1[r];
        const double t = row[q];
        for (int c = m + 1; c < q; ++c) row[c] = row[c] - t;
    }
}

// One tile of profiled_products_v: rows d0..d0+R-1 of acc, columns c..c+NC*L-1,
// over the columns g0..g1-1 of row f of the inverse (irow).  The R*NC sums
// are carried in registers across the columns g, independent chains side by
// side; each entry still receives (rf[d]*irow[g])*DT[g][e] for g in
// increasing order.  Entries left of the diagonal or right of column m1 - 1
// are formed too and never read.
template <class V, int R, int NC>
VQ_ALWAYS_INLINE void profiled_tile(int d0, int c, int g0, int g1, const double* irow, const double* rf,
                                   double** DT, double** acc) {
    constexpr int L = kLanes<V>;
    V a[R][NC];
#pragma GCC unroll 4
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 2
        for (int k = 0; k < NC; ++k) loadv(a[r][k], acc[d0 + r] + c + k * L);
    for (int g = g0; g < g1; ++g) {
        V dt[NC];
#pragma GCC unroll 2
        for (int k = 0; k < NC; ++k) loadv(dt[k], DT[g] + c + k * L);
        const double ig = irow[g];
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) {
            V t;
            splat(t, rf[d0 + r] * ig);
#pragma GCC unroll 2
            for (int k = 0; k < NC; ++k) a[r][k] += t * dt[k];
        }
    }
#pragma GCC unroll 4
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 2
        for (int k = 0; k < NC; ++k) storev(acc[d0 + r] + c + k * L, a[r][k]);
}

// The tiles of rows d0..d0+R-1: the column chunks from the one holding entry
// d0 on, two chunks at a time.
template <class V, int R>
VQ_ALWAYS_INLINE void profiled_rows(int width, int d0, int g0, int g1, const double* irow, const double* rf,
                                   double** DT, double** acc) {
    constexpr int L = kLanes<V>;
    int c = (d0 / L) * L;
    for (; c + 2 * L <= width; c += 2 * L) profiled_tile<V, R, 2>(d0, c, g0, g1, irow, rf, DT, acc);
    if (c < width) profiled_tile<V, R, 1>(d0, c, g0, g1, irow, rf, DT, acc);
}

// acc[d][e] = sum over f, g < nF of (DQD[d][m1+f] * inv[f+1][g+1]) * DT[g][e]
// for d <= e < m1: one running sum per (d, e), f outer and g inner.  The
// inverse is read once, row by row; the columns g come in blocks whose DT
// rows stay in cache, and within a block the rows d go in tiles of four
// (profiled_tile), whose independent sums keep the processor busy even when
// m1 is small.  DT and acc have rows of width doubles (m1 rounded up to a
// multiple of four, DT's extra columns zero), so every column chunk is a
// whole vector; acc's entries left of the diagonal or right of m1 - 1 are
// scratch.
template <class V>
VQ_ALWAYS_INLINE void profiled_products_v(int nF, int m1, int width, double** DQD, double** inv, double** DT,
                                          double** acc) {
    constexpr int kG = 64;
    for (int d = 0; d < m1; ++d)
        for (int e = 0; e < width; ++e) acc[d][e] = 0.0;
    std::vector<double> rf(std::max(m1, 1));
    for (int f = 0; f < nF; ++f) {
        const double* irow = inv[f + 1] + 1;
        for (int d = 0; d < m1; ++d) rf[d] = DQD[d][m1 + f];
        for (int g0 = 0; g0 < nF; g0 += kG) {
            const int g1 = std::min(nF, g0 + kG);
            int d0 = 0;
            for (; d0 + 4 <= m1; d0 += 4) profiled_rows<V, 4>(width, d0, g0, g1, irow, rf.data(), DT, acc);
            switch (m1 - d0) {
                case 3: profiled_rows<V, 3>(width, d0, g0, g1, irow, rf.data(), DT, acc); break;
                case 2: profiled_rows<V, 2>(width, d0, g0, g1, irow, rf.data(), DT, acc); break;
                case 1: profiled_rows<V, 1>(width, d0, g0, g1, irow, rf.data(), DT, acc); break;
                default: break;
            }
        }
    }
}

void profiled_products_pairs(int nF, int m1, int width, double** DQD, double** inv, double** DT, double** acc) {
    profiled_products_v<v2d>(nF, m1, width, DQD, inv, DT, acc);
}

#ifdef VQ_TARGET_AVX2
VQ_TARGET_AVX2 void profiled_products_quads(int nF, int m1, int width, double** DQD, double** inv, double** DT,
                                            double** acc) {
    profiled_products_v<v4d>(nF, m1, width, DQD, inv, DT, acc);
}
#endif

void profiled_products(int nF, int m1, int width, double** DQD, double** inv, double** DT, double** acc) {
#ifdef VQ_TARGET_AVX2
    if (simdQuads()) {
        profiled_products_quads(nF, m1, width, DQD, inv, DT, acc);
        return;
    }
#endif
    profiled_products_pairs(nF, m1, width, DQD, inv, DT, acc);
}

// Profiles the nuisance block F (the nF parameters after the m1 tested ones)
// out of the reduced information: cov = D_TT - D_TF inv D_FT, from the tested
// rows of DQD and inv, the inverse of the F block.  Each entry is one running
// sum over f (outer) and g (inner), see profiled_products.
void profiled_covariance(int nF, int m1, double** DQD, double** inv, double** cov) {
    const int rows = std::max(m1, 1);
    const int width = (rows + 3) / 4 * 4;  // whole vectors of two or four
    double** DT = dmatrix(0, std::max(nF, 1) - 1, 0, width - 1);  // DT[g][e] = DQD[e][m1+g], zero for e >= m1
    for (int g = 0; g < nF; ++g)
        for (int e = 0; e < width; ++e) DT[g][e] = e < m1 ? DQD[e][m1 + g] : 0.0;
    double** acc = dmatrix(0, rows - 1, 0, width - 1);
    profiled_products(nF, m1, width, DQD, inv, DT, acc);
    for (int d = 0; d < m1; ++d)
        for (int e = d; e < m1; ++e) {
            cov[d][e] = DQD[d][e] - acc[d][e];
            cov[e][d] = cov[d][e];
        }
    free_dmatrix(acc, 0, rows - 1, 0, width - 1);
    free_dmatrix(DT, 0, std::max(nF, 1) - 1, 0, width - 1);
}

// Rows d < m1 of Q13 = sum over records of l_i l_i' / c10[i] in R[d][0..q]
// (upper part formed record by record, lower part copied from the rows
// above), and U[d] = the summed record scores of column d: the entries that
// record_products forms for these rows, by the same operations in the same
// order.
void tested_record_rows(int n10, int n1, int m, int m1, double s, double** phi, const double* eta,
                        const double* etaW, const double* qm, const double* y10, const int* c10, double** SZ,
                        double* U, double** R) {
    const int q = m + n1;
    const double s2 = s * s;
    for (int d = 0; d < m1; ++d) {
        std::fill(R[d], R[d] + q + 1, 0.0);
        U[d] = 0.0;
    }
    std::vector<double> ai(m), bi(m), l(q + 1, 0.0);
    std::vector<int> nonzero;
    nonzero.reserve(n1);
    const double two_s = 2.0 * s;
    const bool quads = simdQuads();
    for (int i = 0; i < n10; ++i) {
        const double* pi = phi[i];
        const double y = y10[i];
        const double c = c10[i];
        const bool unit = (c10[i] == 1);
        double E = 0.0;
        double F = 0.0;
        record_sums(quads, pi, n1, m, m1, SZ, etaW, eta, nonzero, ai, bi, &E, &F);
        for (int a = 0; a < m; ++a) l[a] = (y * ai[a] - bi[a]) / s;
        l[m] = -c / two_s + (y * y * c - 2.0 * y * E + F) / (2.0 * s2);
        for (int d = 0; d < m1; ++d) U[d] += l[d];

        const bool sparse = 4 * static_cast<long>(nonzero.size()) < n1;
        if (sparse) {
            // Only the coefficients, sigma11 and the listed points take part.
            for (int j : nonzero) l[m + 1 + j] = pi[j] / qm[j];
            for (int d = 0; d < m1; ++d) {
                const double ld = l[d];
                if (ld == 0.0) continue;
                double* row = R[d];
                for (int b = d; b <= m; ++b) row[b] += unit ? ld * l[b] : (ld * l[b]) / c;
                for (int j : nonzero) {
                    const int b = m + 1 + j;
                    row[b] += unit ? ld * l[b] : (ld * l[b]) / c;
                }
            }
            for (int j : nonzero) l[m + 1 + j] = 0.0;
        } else {
            for (int j = 0; j < n1; ++j) l[m + 1 + j] = pi[j] / qm[j];
            double* const lrow[1] = {l.data()};
            const RecordDivisor dv = record_divisor(c10[i], l.data(), q + 1);
            for (int d = 0; d < m1; ++d) {
                const double ld = l[d];
                if (ld == 0.0) continue;
                add_record_products(quads, R[d], d, q + 1, 1, &ld, lrow, &dv);
            }
            for (int j = 0; j < n1; ++j) l[m + 1 + j] = 0.0;
        }
    }
    for (int d = 0; d < m1; ++d)
        for (int b = 0; b < d; ++b) R[d][b] = R[b][d];
}

// Rows d < m1: R = Q13 - Q11 - Q12, then the sum-to-one constraint on the
// columns of the point weights, as subtract_moment_blocks and
// reduce_last_point do for these rows.
void subtract_and_reduce_tested_rows(int n1, int m, int m1, const MomentBlocks& k, double** R) {
    const int q = m + n1;
    double** Q11 = k.Q11;
    double** Q12 = k.Q12;
    double** P12 = k.P12;
    for (int d = 0; d < m1; ++d) {
        double* row = R[d];
        for (int b = 0; b <= m; ++b) row[b] = row[b] - Q11[d][b] - Q12[d][b];
        for (int j = 0; j < n1; ++j) row[m + 1 + j] = row[m + 1 + j] - P12[j][d];
        const double t = row[q];
        for (int c = m + 1; c < q; ++c) row[c] = row[c] - t;
    }

}

void release(Information& info) {
    free_dmatrix(info.Q1, 0, info.q, 0, info.q);
    info.Q1 = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Public routines
// ---------------------------------------------------------------------------

void EM_quan(int n, int n10, int n1, int d, int* c10, double* y10, double** w, double* eta,
             double* sigma11, double* qm, double* etaW, double** phi, int* EMconvergeN) {
    tds_detail::em_fit(n, n10, n1, d, c10, y10, w, eta, sigma11, qm, etaW, phi, EMconvergeN,
                       tds_detail::kTolerance, tds_detail::kMaxIterations);
}

void getUCOV_prim(int n, int n10, int n1, int m, int m1, double sigma11, double** phi, double* eta,
                  double* etaW, double* qm, double* y10, int* c10, double** SZ, double* U, double** cov) {
    Information info =
        louis_information(n, n10, n1, m, m1, sigma11, phi, eta, etaW, qm, y10, c10, SZ, true, U);
    reduce_last_point(info);
    double** DQD = info.Q1;
    const int q = info.q;

    // Nuisance block F = m1..q-1 (covariates, sigma11, first n1-1 point weights).
    const int nF = q - m1;
    double** inv_F22 = dmatrix(1, nF, 1, nF);
    for (int f = 0; f < nF; ++f)
        for (int g = 0; g < nF; ++g) inv_F22[f + 1][g + 1] = DQD[m1 + f][m1 + g];
    invv(inv_F22, nF);

    profiled_covariance(nF, m1, DQD, inv_F22, cov);
    free_dmatrix(inv_F22, 1, nF, 1, nF);
    release(info);
}

namespace tds_detail {

double** nuisance_inverse(int n, int n10, int n1, int p, double sigma11, double** phi, double* eta, double* etaW,
                          double* qm, double* y10, int* c10, double** z) {
    Information info = louis_information(n, n10, n1, p, 0, sigma11, phi, eta, etaW, qm, y10, c10, z, true, nullptr);
    reduce_last_point(info);
    const int nF = info.q;
    double** inv = dmatrix(1, nF, 1, nF);
    for (int f = 0; f < nF; ++f)
        for (int g = 0; g < nF; ++g) inv[f + 1][g + 1] = info.Q1[f][g];
    invv(inv, nF);
    release(info);
    return inv;
}

// The rows d < m1 of the reduced information of getUCOV_prim, each entry
// formed by the operations, in the order, that louis_information and
// reduce_last_point apply to it; the nuisance block is not formed.
void getUCOV_prim_given_nuisance(int n, int n10, int n1, int m, int m1, double s, double** phi, double* eta,
                                 double* etaW, double* qm, double* y10, int* c10, double** SZ, double** inv_F22,
                                 double* U, double** cov) {
    const int q = m + n1;
    const int rows = std::max(m1, 1);
    MomentBlocks k = moment_blocks(n, n10, n1, m, s, phi, etaW, qm, y10, SZ, true);
    double** R = dmatrix(0, rows - 1, 0, q);
    tested_record_rows(n10, n1, m, m1, s, phi, eta, etaW, qm, y10, c10, SZ, U, R);
    subtract_and_reduce_tested_rows(n1, m, m1, k, R);
    profiled_covariance(q - m1, m1, R, inv_F22, cov);
    free_dmatrix(R, 0, rows - 1, 0, q);
    release(k);
}

double** burden_design(int n1, int p, const double* g, double** z) {
    double** GZ = dmatrix(0, n1 - 1, 0, p);
    for (int j = 0; j < n1; ++j) {
        GZ[j][0] = g[j];
        for (int k = 0; k < p; ++k) GZ[j][k + 1] = z[j][k];
    }
    return GZ;
}

void em_full_fit(int n, int n10, int n1, int p, const int* c10, const double* y10, const double* g,
                 double** z, double* prim_est, double** prim_cov, int* convergeN, double tolerance,
                 int max_iterations) {
    const int m = p + 1;
    double** GZ = burden_design(n1, p, g, z);
    double* eta = dvector(0, m - 1);
    double* qm = dvector(0, n1 - 1);
    double* etaW = dvector(0, n1 - 1);
    double** phi = dmatrix(0, n10 - 1, 0, n1 - 1);
    double sigma11 = 0.0;
    em_fit(n, n10, n1, m, c10, y10, GZ, eta, &sigma11, qm, etaW, phi, convergeN, tolerance, max_iterations);

    Information info =
        louis_information(n, n10, n1, m, 0, sigma11, phi, eta, etaW, qm, y10, c10, GZ, false, nullptr);
    reduce_last_point(info);
    const int q = info.q;
    double** cov = dmatrix(1, q, 1, q);
    for (int r = 0; r < q; ++r)
        for (int c = 0; c < q; ++c) cov[r + 1][c + 1] = info.Q1[r][c];
    release(info);

    // Only the top (p + 2) x (p + 2) block of the inverse is reported: the
    // matrix is factored once and solved for the unit vectors of its first
    // p + 2 columns, each exactly as invv solves it (lubksb on the same
    // factors), so these entries are those of the whole inverse, bit for bit.
    const int kept = p + 2;
    int* indx = ivector(1, q);
    double* col = dvector(1, q);
    ludcmp(cov, q, indx);
    for (int c = 0; c < kept; ++c) {
        for (int r = 1; r <= q; ++r) col[r] = 0.0;
        col[c + 1] = 1.0;
        lubksb(cov, q, indx, col);
        for (int r = 0; r < kept; ++r) prim_cov[r][c] = col[r + 1];
    }
    free_dvector(col, 1, q);
    free_ivector(indx, 1, q);

    for (int k = 0; k <= p; ++k) prim_est[k] = eta[k];
    prim_est[p + 1] = sigma11;

    free_dmatrix(cov, 1, q, 1, q);
    free_dmatrix(phi, 0, n10 - 1, 0, n1 - 1);
    free_dvector(etaW, 0, n1 - 1);
    free_dvector(qm, 0, n1 - 1);
    free_dvector(eta, 0, m - 1);
    free_dmatrix(GZ, 0, n1 - 1, 0, m - 1);
}

}  // namespace tds_detail

void EM_quan2_time(int n, int n10, int n1, int p, int* c10, double* y10, double* g, double** z,
                   double* prim_est, double** prim_cov, int* convergeN) {
    tds_detail::em_full_fit(n, n10, n1, p, c10, y10, g, z, prim_est, prim_cov, convergeN,
                            tds_detail::kTolerance, tds_detail::kMaxIterations);
}

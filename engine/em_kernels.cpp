#include "engine/em_kernels.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "numerics/exp_without_errno.h"
#include "numerics/vector_lanes.h"

// The kernels are written once for a vector type V of L doubles and compiled
// twice: with pairs (v2d) and, in functions built for AVX2, with quadruples
// (v4d).  Lanes always hold independent entries, so both versions round
// every entry exactly as the scalar loop.

namespace {

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


// A record whose E-step terms sum to less than this (the smallest normal
// double) has its weights recomputed: its terms are zeros or subnormal
// numbers with few significant bits.  From this sum up, a term's rounding
// (at most 2^-1075) is at most 2^-53 of the sum, and every weight is as
// accurate as a rounded one.
constexpr double kSmallestNormalSum = std::numeric_limits<double>::min();

// Posterior weights of non-sequenced record i recomputed relative to its
// largest term, for a record whose plain terms underflowed (to zero or below
// the normal range).  post[j][i] holds c*u_j on return and the new sum is
// returned; when no term is finite (a degenerate variance) the plain terms
// are kept.
double rescue_underflowed_record(int n1, int i, double y, double c, double two_s, const double* qm,
                                 const double* etaW, double** post, double plain_sum) {
    double big = -HUGE_VAL;
    std::vector<double> logw(n1);
    for (int j = 0; j < n1; ++j) {
        const double dl = y - etaW[j];
        logw[j] = std::log(qm[j]) - (dl * dl) / two_s;
        if (logw[j] > big) big = logw[j];
    }
    if (!std::isfinite(big)) return plain_sum;
    double sum = 0.0;
    for (int j = 0; j < n1; ++j) {
        const double u = std::exp(logw[j] - big);
        sum += u;
        post[j][i] = c * u;
    }
    return sum;
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
VQ_ALWAYS_INLINE void normalise_and_sum(int n1, int i0, int nb, const EmArrays& x) {
    constexpr int L = kLanes<V>;
    const double* fm = x.fm + i0;
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
// Every sum runs over the same index order as without the chunks.  A chunk
// holds about kChunkWeights weights (256 KiB), a multiple of four records,
// at least kMinChunkRecords.
constexpr int kChunkWeights = 32768;
constexpr int kMinChunkRecords = 32;

template <class V>
VQ_ALWAYS_INLINE void e_step_and_point_weights_v(double s, double dn, const double* y10, double* qm,
                                                 const double* etaW, const EmArrays& x) {
    constexpr int L = kLanes<V>;
    const int n1 = x.n1;
    const int n0 = x.n0;
    const double two_s = 2.0 * s;
    const int chunk = std::max(kMinChunkRecords, (kChunkWeights / std::max(n1, 1)) / 4 * 4);
    for (int j = 0; j < n1; ++j) {
        x.a[j] = 1.0;
        x.b[j] = y10[j];
    }
    for (int i0 = 0; i0 < n0; i0 += chunk) {
        const int nb = std::min(chunk, n0 - i0);
        double* fm = x.fm + i0;
        for (int i = 0; i < nb; ++i) fm[i] = 0.0;
        for (int j = 0; j < n1; ++j)
            e_step_point<V>(nb, qm[j], etaW[j], two_s, x.y0 + i0, x.count0 + i0, x.terms, fm, x.post[j] + i0);
        for (int i = 0; i < nb; ++i)
            if (fm[i] < kSmallestNormalSum)
                fm[i] = rescue_underflowed_record(n1, i0 + i, x.y0[i0 + i], x.c0[i0 + i], two_s, qm, etaW, x.post,
                                                  fm[i]);
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

// Each kernel built twice, on pairs and, for AVX2, on quadruples.
void e_step_pairs(double s, double dn, const double* y10, double* qm, const double* etaW, const EmArrays& x) {
    e_step_and_point_weights_v<v2d>(s, dn, y10, qm, etaW, x);
}

double squares_pairs(double rss, int n0, double fit, const double* y0, const double* pj) {
    return add_weighted_squares_v<v2d>(rss, n0, fit, y0, pj);
}

#ifdef VQ_TARGET_AVX2
VQ_TARGET_AVX2 void e_step_quads(double s, double dn, const double* y10, double* qm, const double* etaW,
                                 const EmArrays& x) {
    e_step_and_point_weights_v<v4d>(s, dn, y10, qm, etaW, x);
}

VQ_TARGET_AVX2 double squares_quads(double rss, int n0, double fit, const double* y0, const double* pj) {
    return add_weighted_squares_v<v4d>(rss, n0, fit, y0, pj);
}
#endif

}  // namespace

void e_step_and_point_weights(double s, double dn, const double* y10, double* qm, const double* etaW,
                              const EmArrays& x) {
#ifdef VQ_TARGET_AVX2
    if (useAvx2()) {
        e_step_quads(s, dn, y10, qm, etaW, x);
        return;
    }
#endif
    e_step_pairs(s, dn, y10, qm, etaW, x);
}

double add_weighted_squares(double rss, int n0, double fit, const double* y0, const double* pj) {
#ifdef VQ_TARGET_AVX2
    if (useAvx2()) return squares_quads(rss, n0, fit, y0, pj);
#endif
    return squares_pairs(rss, n0, fit, y0, pj);
}

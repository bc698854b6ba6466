// The inner loops of the EM of the semiparametric model (tds_em.cpp): the
// E-step with the point sums of the M-step, and the weighted squares of the
// residual variance.  They hold most of an MLE run's time besides the
// exponential, so they are written once on a vector of doubles and built
// twice, for the SSE2 registers of every x86-64 processor and for AVX2; the
// AVX2 version runs where the processor has it.  Lanes hold independent
// entries and every sum keeps its order, so both give the bits of the plain
// loops.
#ifndef VENTARQUILLO_ENGINE_EM_KERNELS_H
#define VENTARQUILLO_ENGINE_EM_KERNELS_H

// The working arrays of one EM fit (owned by the fit).
struct EmArrays {
    int n1 = 0;
    int n0 = 0;                      // non-sequenced records
    const double* y0 = nullptr;      // their values [n0]
    const int* c0 = nullptr;         // their counts [n0]
    const double* count0 = nullptr;  // the counts as doubles [n0]
    double** post = nullptr;         // post[j][i]: weight of record i on point j [n1][n0]
    double* fm = nullptr;            // per record, the sum of its E-step terms [n0]
    double* terms = nullptr;         // scratch [n0]
    double* a = nullptr;             // per point, 1 + sum_i phi [n1]
    double* b = nullptr;             // per point, y_j + sum_i phi*y_i [n1]
};

// The E-step and the point weights of the M-step:
//   fm[i] = sum over points j of qm[j]*exp(-(y_i - etaW[j])^2/(2s)),
//   post[j][i] = c_i * term / fm[i] (a record whose terms sum to less than
//   the smallest normal double, zeros or subnormal numbers with few bits, is
//   recomputed relative to its largest term),
//   a_j = 1 + sum_i post[j][i], b_j = y_j + sum_i post[j][i]*y_i, qm[j] = a_j/dn;
// every sum over points and over records in increasing index.
void e_step_and_point_weights(double s, double dn, const double* y10, double* qm, const double* etaW,
                              const EmArrays& x);

// rss + the terms pj[i] * (y_i - fit)^2 of the n0 records, added one by one
// in record order.
double add_weighted_squares(double rss, int n0, double fit, const double* y0, const double* pj);

// Which version runs: useAvx2() (numerics/vector_lanes.h).

#endif

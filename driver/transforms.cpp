#include "driver/transforms.h"

#include <cmath>
#include <cstdio>

#include <gsl/gsl_cdf.h>

#include "engine/data_preparation.h"
#include "engine/stop.h"
#include "numerics/gamma_and_stats.h"
#include "numerics/offset_arrays.h"

namespace {

// The pooled vector: the sequenced values first, then the non-sequenced ones.
double* poolPrimary(int n1, const double* seq_prim, int N0, const double* nonseq_prim) {
    double* pooled = dvector(0, static_cast<long>(n1) + N0 - 1);
    for (int i = 0; i < n1; ++i) pooled[i] = seq_prim[i];
    for (int k = 0; k < N0; ++k) pooled[n1 + k] = nonseq_prim[k];
    return pooled;
}

void unpoolPrimary(const double* pooled, int n1, double* seq_prim, int N0, double* nonseq_prim) {
    for (int i = 0; i < n1; ++i) seq_prim[i] = pooled[i];
    for (int k = 0; k < N0; ++k) nonseq_prim[k] = pooled[n1 + k];
}

}  // namespace

void rankInverseNormal(long n, double* v, int DO_Rescale) {
    if (n <= 0) return;
    double scale = 1.0;
    if (DO_Rescale == kRescaleSD) scale = sd(v, 0, n - 1, mean(v, 0, n - 1));
    else if (DO_Rescale == kRescaleRobust) scale = sd_MAD(v, 0, n - 1);

    qRank_noTie(n, v);
    const double count = static_cast<double>(n);
    for (long i = 0; i < n; ++i) v[i] = gsl_cdf_gaussian_Pinv((v[i] + 1 - 0.5) / count, 1.0);
    if (DO_Rescale != kNoRescale)
        for (long i = 0; i < n; ++i) v[i] = scale * v[i];
}

void pooledInverseNormal(int n1, double* seq_prim, int N0, double* nonseq_prim, int DO_Rescale) {
    const long n = static_cast<long>(n1) + N0;
    double* pooled = poolPrimary(n1, seq_prim, N0, nonseq_prim);
    rankInverseNormal(n, pooled, DO_Rescale);
    unpoolPrimary(pooled, n1, seq_prim, N0, nonseq_prim);
    free_dvector(pooled, 0, n - 1);
}

void roundPrimaryTrait(long NMAX, int n1, double* seq_prim, int N0, double* nonseq_prim) {
    const long n = static_cast<long>(n1) + N0;
    double* pooled = poolPrimary(n1, seq_prim, N0, nonseq_prim);
    double* rounded = dvector(0, n - 1);
    long N_unique = 0;
    autoround2(NMAX, n, pooled, rounded, &N_unique);
    std::printf("There are %ld distinct values for the primary trait after rounding\n", N_unique);
    unpoolPrimary(rounded, n1, seq_prim, N0, nonseq_prim);
    free_dvector(rounded, 0, n - 1);
    free_dvector(pooled, 0, n - 1);
}

void distinctValuesWithCounts(int N0, double* nonseq_prim, double* nonseq_prim_unique, int* n0, int** c0) {
    int* index = ivector(0, N0 - 1);
    unique_vector(N0, nonseq_prim, nonseq_prim_unique, n0, index);
    int* counts = ivector(0, *n0 - 1);
    for (int k = 0; k < *n0; ++k) counts[k] = 0;
    for (int i = 0; i < N0; ++i) counts[index[i]] += 1;
    free_ivector(index, 0, N0 - 1);
    *c0 = counts;
}

namespace {

// The logarithm is defined for positive values only: a zero or negative
// value would reach the fits as minus infinity or not-a-number.
void requirePositive(double v) {
    if (v > 0.0) return;
    std::printf("fail\nError: option -log needs positive values of the primary trait, not %g.\n", v);
    kill_VENTARQUILLO();
}

}  // namespace

void logPrimaryTrait(int n1, double* seq_prim, int DO_MLE, int n0, double* nonseq_prim_unique) {
    for (int i = 0; i < n1; ++i) requirePositive(seq_prim[i]);
    if (DO_MLE == kMLE)
        for (int k = 0; k < n0; ++k) requirePositive(nonseq_prim_unique[k]);
    for (int i = 0; i < n1; ++i) seq_prim[i] = std::log(seq_prim[i]);
    if (DO_MLE == kMLE)
        for (int k = 0; k < n0; ++k) nonseq_prim_unique[k] = std::log(nonseq_prim_unique[k]);
}

void transformSecondaryTrait(int n2, double* y2, int DO_InvNormal, int DO_Rescale) {
    if (DO_InvNormal == 1) rankInverseNormal(n2, y2, DO_Rescale);
}

// Transformations of the trait of interest: the rank-based inverse-normal
// transformation (pooled primary trait at start-up, sequenced primary trait
// under least squares, each secondary trait per gene), the rounding of the
// pooled primary trait, its reduction to distinct values with counts, and the
// natural logarithm of the primary trait.
#ifndef VENTARQUILLO_DRIVER_TRANSFORMS_H
#define VENTARQUILLO_DRIVER_TRANSFORMS_H

#include "driver/options.h"

// v[0..n-1] in place: with kRescaleSD the scale s is the population standard
// deviation of the values, with kRescaleRobust the robust (MAD) standard
// deviation, both taken before the ranking; each value is replaced by its
// 0-based rank r (ties in index order) and then by the standard normal
// quantile at (r + 1 - 0.5) / n, times s unless DO_Rescale is kNoRescale.
// n <= 0 leaves nothing to do.
void rankInverseNormal(long n, double* v, int DO_Rescale);

// The pooled primary trait: seq_prim[0..n1-1] followed by
// nonseq_prim[0..N0-1] transformed together (n = n1 + N0), the results
// copied back.
void pooledInverseNormal(int n1, double* seq_prim, int N0, double* nonseq_prim, int DO_Rescale);

// The same pooled values rounded to at most NMAX distinct values; writes
// "There are %d distinct values for the primary trait after rounding\n".
void roundPrimaryTrait(long NMAX, int n1, double* seq_prim, int N0, double* nonseq_prim);

// The N0 values reduced to their distinct values in ascending order
// (nonseq_prim_unique[0..*n0-1], allocated by the caller with N0 entries) and
// the number of subjects per distinct value (*c0, allocated here with *n0
// entries, 0-based).
void distinctValuesWithCounts(int N0, double* nonseq_prim, double* nonseq_prim_unique, int* n0, int** c0);

// seq_prim[i] = ln(seq_prim[i]); under MLE also every non-sequenced record
// value (the counts stay with their records).  DO_MLE is kMLE or kLS.
void logPrimaryTrait(int n1, double* seq_prim, int DO_MLE, int n0, double* nonseq_prim_unique);

// The per-gene transformation of one secondary trait: y2[0..n2-1] by
// rankInverseNormal when DO_InvNormal is 1, untouched otherwise.
void transformSecondaryTrait(int n2, double* y2, int DO_InvNormal, int DO_Rescale);

#endif

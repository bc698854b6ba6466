// Upper tail of the largest absolute component of a multivariate normal
// vector, P(max_k |W_k| >= t) for W ~ N(0, R), computed directly as the
// probability of a union of half-spaces rather than as one minus the
// probability of a box, so that it keeps its relative accuracy however small
// it is.
//
// Method: ALOE importance sampling (Owen, Maximov and Chertkov 2019, "Importance
// sampling the union of rare events with an application to power systems
// analysis").  The event is the union of the 2n half-spaces {s W_k >= t},
// s = +1 or -1, each of probability Q(t) = 1 - Phi(t).  A point drawn from
// the mixture of the 2n conditioned distributions W | s W_k >= t is scored
// by u / S, u = 2n Q(t) the union bound and S the number of half-spaces that
// contain it; this is unbiased for the union probability and its relative
// variance is at most u / p - 1.  Here the mixture is sampled by strata with
// equal allocation (the half-spaces have equal probabilities), the half-spaces
// -W_k >= t are folded onto W_k >= t by the symmetry W -> -W, and each draw is
// paired with its antithetic partner; within a stratum the conditioning
// value is itself stratified (pairs of draws share a slice of its
// distribution).
//
// All working state is local to the call, and the generator (L'Ecuyer's
// Tausworthe taus2) is seeded from the arguments themselves (maxnormal_seed),
// so the result is a deterministic function of the arguments, calls may run
// concurrently, and calls that differ in any input draw independent streams
// (their sampling errors do not repeat from one to the next).
#ifndef VENTARQUILLO_NUMERICS_NORMAL_MAX_TAIL_H
#define VENTARQUILLO_NUMERICS_NORMAL_MAX_TAIL_H

// P(max_k |W_k| >= t) for W ~ N(0, R).  R: 1-based n by n correlation matrix
// (unit diagonal, positive semi-definite; the lower triangle is read), n >= 1.
//
// Sampling goes on in rounds until the estimated relative error (three
// standard errors of the estimate over the estimate, and at least one over
// twice the number of draws per stratum) is at most releps, or until the
// budget of draws is spent.  Out: *relerr, the estimated relative
// error; *inform: 0 target met, 1 budget spent first (the estimate is still
// returned).
//
// The result is in [DBL_MIN, 1]: t <= 0 gives 1; a probability below the
// smallest normal double (t above about 37.5) is returned as DBL_MIN, with
// *relerr = 0 and *inform = 0, and so is t = +inf (however large, a finite t
// never gives more).  A t that is not a number, or n < 1, gives NaN with
// *inform = 1.
double maxnormal_tail(int n, double t, double** R, double releps, double* relerr, int* inform);

// Seed of the random numbers of a call, made of its inputs: n, and t and the
// lower triangle of R rounded to single precision, through the SplitMix64
// finaliser (32 bits).  The same inputs give the same digits on any thread
// and after any other call, while the sampling errors of different genes are
// independent.  The rounding keeps the seed, and so the printed digits, from
// following the last bits of a correlation, which a different but equally
// accurate order of operations upstream may change.
unsigned long maxnormal_seed(int n, double t, double** R);

#endif

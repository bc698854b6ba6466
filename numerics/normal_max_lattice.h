// P(max_k |W_k| >= t) for W ~ N(0, R) by Genz's separation of variables on
// randomized lattice rules: the complement of the box |W_k| < t written as an
// integral over the unit cube of products of conditional normal
// probabilities (Genz 1992), integrated by rank-1 Korobov lattice rules
// (prime numbers of points, baker's transform) under independent random
// shifts, whose spread gives the error estimate (Genz and Bretz 2009).
//
// The box is symmetric about 0, so Genz's ordering of the variables (the
// smallest conditional probability of the box first) is the Cholesky factor
// of R pivoted on the largest remaining variance.  A variable whose remaining
// variance vanishes is a linear function of the earlier ones (a sign-flipped
// copy, or a weight vector that is a combination of others) and enters as an
// indicator.  Each point's value is written as the sum over the variables of
// the probability of leaving the box at that variable having stayed inside
// until then, so no probability near 1 is subtracted from 1.
//
// Work suits p-values that are not small: the relative error of a fixed
// number of points grows as the p-value shrinks, and the tail sampler
// (maxnormal_tail) takes over below the floor the caller names.
//
// All working state is local to the call and the shifts are drawn from a
// seed made of the arguments (maxnormal_seed): the result is a deterministic
// function of the arguments, and calls may run concurrently.
#ifndef VENTARQUILLO_NUMERICS_NORMAL_MAX_LATTICE_H
#define VENTARQUILLO_NUMERICS_NORMAL_MAX_LATTICE_H

// P(max_k |W_k| >= t) for W ~ N(0, R).  R: 1-based n by n correlation matrix
// (unit diagonal, positive semi-definite; the lower triangle is read),
// 1 <= n <= 20, t > 0 finite.
//
// Rounds of growing lattice rules, each under eight random shifts, go on
// until the estimated relative error (three standard errors of the estimate
// over the estimate) is at most releps.  The first rule has 127 points for
// up to 10 variables, 251 for more; the next has the points that the error so
// far says the target needs, and at least twice those of the last.  The
// estimate combines the rounds, each weighted by the inverse of its estimated
// variance; a round whose shifts all agree tells nothing of the error (its
// points may all have missed the rare ones that leave the box).  Variables
// that are all +-W_1 give 2 Q(t) without a rule.
//
// The rounds stop before the target, handing over to a method for smaller
// p-values, when the estimate falls below pfloor, or when it is below psure
// and the next rule would have more than points_per_ratio u / estimate
// points, u = 2 n Q(t) the union bound (the draws of the tail method grow
// with that ratio).
// Out: *relerr, the estimated relative error; *inform: 0 target met, 1 the
// largest rule (65521 points) ran first (the estimate is still returned),
// 2 handed over (the estimate so far is returned).
// Bad arguments (n outside 1..20, t not positive and finite) and correlations
// that are not finite give NaN with *inform = 1.
double maxnormal_lattice(int n, double t, double** R, double releps, double pfloor, double psure,
                         double points_per_ratio, double* relerr, int* inform);

#endif

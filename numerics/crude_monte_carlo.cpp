// Crude Monte Carlo integration over the unit cube with antithetic pairs,
// companion of the adaptive cubature.  It draws from the toolkit's uniform
// generator uni_ (L'Ecuyer's combined multiple recursive generator), which
// lives with the multivariate normal routines; it is kept in a file of its
// own so that programs that do not call it need not link that generator.
#include <cmath>

#include "numerics/adaptive_cubature.h"

double uni_();

namespace {
constexpr int kMaxDim = 100;  // size of the point buffer
}

void rcrude_(int* ndim, int* maxpts, adapt_integrand functn, double* absest, double* finest,
             int* ir) {
    // Inverse variance of the combined estimate so far, kept per thread from
    // one call to the next.
    static thread_local double varest = 0;
    double x[kMaxDim];
    if (*ir < 1) {
        varest = 0;
        *finest = 0;
    }
    const int n = *ndim;
    const int npts = *maxpts / 2;
    if (n < 1 || n > kMaxDim || npts < 1) {
        // Nothing can be drawn: the previous combined estimate stands.
        *absest = varest > 0 ? 3 * std::sqrt(1 / varest) : HUGE_VAL;
        return;
    }
    // Running mean of the pair averages and running variance of that mean.
    double finval = 0;
    double varsqr = 0;
    for (int m = 1; m <= npts; ++m) {
        for (int k = 0; k < n; ++k) x[k] = uni_();
        double fun = functn(ndim, x);
        for (int k = 0; k < n; ++k) x[k] = 1 - x[k];
        fun = (functn(ndim, x) + fun) / 2;
        const double findif = (fun - finval) / m;
        varsqr = (m - 2) * varsqr / m + findif * findif;
        finval = finval + findif;
    }
    // Inverse-variance weighting with the previous estimate.
    const double varprd = varest * varsqr;
    *finest = *finest + (finval - *finest) / (1 + varprd);
    if (varsqr > 0) varest = (1 + varprd) / varsqr;
    *absest = 3 * std::sqrt(varsqr / (1 + varprd));
}

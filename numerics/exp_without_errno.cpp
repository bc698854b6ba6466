#include "numerics/exp_without_errno.h"

#include <cmath>
#include <cstring>
#include <limits>

#if defined(__GLIBC__)
#include <dlfcn.h>
#endif

namespace {

double plain_exp(double x) { return std::exp(x); }

// Arguments on which the direct routine must agree with std::exp, bit for
// bit, before it is used: both ends of the range (overflow, the subnormal
// results, underflow to zero), the values near zero and a spread between.
bool agrees_with_exp(ExpFunction f) {
    const double special[] = {0.0,
                              -0.0,
                              1.0,
                              -1.0,
                              0.5,
                              1e-300,
                              -1e-300,
                              709.78,
                              710.0,
                              -708.4,
                              -740.0,
                              -745.1,
                              -746.0,
                              -1e5,
                              std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity()};
    auto same = [&](double x) {
        const double a = f(x);
        const double b = std::exp(x);
        return std::memcmp(&a, &b, sizeof a) == 0;
    };
    for (double x : special)
        if (!same(x)) return false;
    for (int k = -4000; k <= 4000; ++k)
        if (!same(k * 0.1777)) return false;
    return std::isnan(f(std::numeric_limits<double>::quiet_NaN()));
}

ExpFunction resolve() {
#if defined(__GLIBC__)
    void* sym = dlvsym(RTLD_DEFAULT, "__exp_finite", "GLIBC_2.15");
    if (sym != nullptr) {
        ExpFunction f;
        std::memcpy(&f, &sym, sizeof f);
        if (agrees_with_exp(f)) return f;
    }
#endif
    return plain_exp;
}

ExpFunction resolved() {
    static const ExpFunction f = resolve();
    return f;
}

}  // namespace

ExpFunction expWithoutErrno() { return resolved(); }

bool expWithoutErrnoIsDirect() { return resolved() != plain_exp; }

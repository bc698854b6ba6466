// Times the exponential of the EM's E-step: std::exp (glibc's wrapper, which
// sets errno on overflow and underflow) against expWithoutErrno() (the
// routine behind the wrapper, called directly), on arguments like the
// E-step's, -(y - fit)^2 / (2 sigma11), and checks that both give the same
// bits.  Each figure is the best of five passes over ten million arguments.
//   usage: bench_exp
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "numerics/exp_without_errno.h"

namespace {

template <class F>
double best_of_five(const std::vector<double>& x, std::vector<double>& y, F f) {
    double best = 1e300;
    for (int pass = 0; pass < 5; ++pass) {
        const auto t0 = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < x.size(); ++i) y[i] = f(x[i]);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

}  // namespace

int main() {
    std::mt19937 gen(3);
    std::normal_distribution<double> normal;
    std::vector<double> x(10000000), a(x.size()), b(x.size());
    for (double& v : x) {
        const double d = 1.5 * normal(gen) - normal(gen);
        v = -(d * d) / 2.0;
    }
    const ExpFunction direct = expWithoutErrno();
    const double t_std = best_of_five(x, a, [](double v) { return std::exp(v); });
    const double t_direct = best_of_five(x, b, direct);
    const bool same = std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
    std::printf("std::exp          %6.2f ns per call\nexpWithoutErrno() %6.2f ns per call (%s)\nsame bits: %s\n",
                1e9 * t_std / x.size(), 1e9 * t_direct / x.size(),
                expWithoutErrnoIsDirect() ? "the library routine" : "std::exp: the routine is not there",
                same ? "yes" : "NO");
    return same ? 0 : 1;
}

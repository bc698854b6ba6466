// Independent long-double references for the normal-distribution tests:
// the distribution function from erfcl, quantiles by Newton's method on it,
// Gauss-Legendre rules computed from the Legendre recurrence, and bivariate
// probabilities by one-dimensional quadrature of the conditional distribution.
#ifndef VENTARQUILLO_TESTS_UNIT_NORMAL_REFERENCE_H
#define VENTARQUILLO_TESTS_UNIT_NORMAL_REFERENCE_H

#include <cmath>
#include <utility>
#include <vector>

namespace normal_reference {

constexpr long double kPi = 3.141592653589793238462643383279502884L;

inline long double cdf(long double z) { return 0.5L * std::erfc(-z / std::sqrt(2.0L)); }
inline long double density(long double z) { return std::exp(-z * z / 2) / std::sqrt(2 * kPi); }

// Quantile by Newton's method, working on the smaller tail for accuracy.
inline long double quantile(long double p) {
    const bool upper = p > 0.5L;
    const long double tail = upper ? 1 - p : p;
    long double x = -std::sqrt(-2 * std::log(tail));  // rough start
    for (int it = 0; it < 100; ++it) {
        const long double step = (cdf(x) - tail) / density(x);
        x -= step;
        if (std::fabs(step) < 1e-19L * (1 + std::fabs(x))) break;
    }
    return upper ? -x : x;
}

struct Rule {
    std::vector<long double> x, w;
};

// n-point Gauss-Legendre rule on [-1, 1] by Newton's method on P_n.
inline Rule gauss_legendre(int n) {
    Rule rule;
    for (int i = 1; i <= n; ++i) {
        long double x = std::cos(kPi * (i - 0.25L) / (n + 0.5L));
        long double dp = 0;
        for (int it = 0; it < 100; ++it) {
            long double p0 = 1, p1 = x;
            for (int k = 2; k <= n; ++k) {
                const long double p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
                p0 = p1;
                p1 = p2;
            }
            dp = n * (x * p1 - p0) / (x * x - 1);
            const long double step = p1 / dp;
            x -= step;
            if (std::fabs(step) < 1e-20L) break;
        }
        rule.x.push_back(x);
        rule.w.push_back(2 / ((1 - x * x) * dp * dp));
    }
    return rule;
}

// Integral of f over [a, b] by a composite 20-point Gauss-Legendre rule.
template <class F>
long double integrate(F f, long double a, long double b, int panels = 400) {
    static const Rule rule = gauss_legendre(20);
    long double total = 0;
    const long double h = (b - a) / panels;
    for (int p = 0; p < panels; ++p) {
        const long double mid = a + (p + 0.5L) * h;
        for (size_t i = 0; i < rule.x.size(); ++i) total += rule.w[i] * f(mid + rule.x[i] * h / 2);
    }
    return total * h / 2;
}

// P(l1 < X < u1, l2 < Y < u2) for a standard bivariate normal pair with
// correlation |r| < 1; infinite limits are allowed (integration is cut at +-12).
inline long double rectangle(long double l1, long double u1, long double l2, long double u2,
                             long double r) {
    const long double s = std::sqrt(1 - r * r);
    const long double a = std::fmax(l1, -12.0L), b = std::fmin(u1, 12.0L);
    if (a >= b) return 0;
    auto f = [&](long double x) {
        return density(x) * (cdf((u2 - r * x) / s) - cdf((l2 - r * x) / s));
    };
    // Break the range where a conditional limit crosses the mean, where the
    // integrand turns sharply for strong correlation.
    std::vector<long double> cuts{a};
    for (long double limit : {l2, u2})
        if (std::isfinite(limit) && r != 0) {
            const long double x = limit / r;
            if (x > a && x < b) cuts.push_back(x);
        }
    cuts.push_back(b);
    if (cuts.size() == 4 && cuts[1] > cuts[2]) std::swap(cuts[1], cuts[2]);
    long double total = 0;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) total += integrate(f, cuts[i], cuts[i + 1], 400);
    return total;
}

// P(X > h, Y > k).
inline long double upper_orthant(long double h, long double k, long double r) {
    return rectangle(h, INFINITY, k, INFINITY, r);
}

}  // namespace normal_reference

#endif

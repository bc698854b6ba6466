#include "numerics/quadratic_form_tail.h"

#include <gsl/gsl_cdf.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "numerics/normal_max_tail.h"

namespace {

constexpr double kLogSqrt2Pi = 0.91893853320467274178;  // log sqrt(2 pi)
constexpr double kSqrt2Pi = 2.50662827463100050242;
constexpr double kNearMean = 1e-4;
constexpr int kMaxIterations = 400;

// Cumulant generating function of Q and its derivatives 1 to 4 at s.
struct Cumulants {
    double K, K1, K2, K3, K4;
};

Cumulants cumulants(int r, const double* lambda, double s) {
    Cumulants c{0, 0, 0, 0, 0};
    for (int j = 0; j < r; ++j) {
        const double l = lambda[j];
        const double a = 1.0 / (1.0 - 2.0 * l * s);  // > 0 on the domain
        const double la = l * a;
        c.K += -0.5 * std::log1p(-2.0 * l * s);
        c.K1 += la;
        c.K2 += 2.0 * la * la;
        c.K3 += 8.0 * la * la * la;
        c.K4 += 48.0 * la * la * la * la;
    }
    return c;
}

}  // namespace

double qf_saddlepoint_upper(int r, const double* lambda, double q) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (r < 1 || !std::isfinite(q)) return nan;
    double lmax = 0.0, mean = 0.0;
    for (int j = 0; j < r; ++j) {
        if (!(lambda[j] > 0.0) || !std::isfinite(lambda[j])) return nan;
        if (lambda[j] > lmax) lmax = lambda[j];
        mean += lambda[j];
    }
    if (q <= 0.0) return 1.0;

    // Bracket of the saddlepoint: K' increases from 0 (s -> -inf) to +inf
    // (s -> 1 / (2 lmax)), with K'(0) = mean; K'(-r / (2q)) < q.
    double lo, hi;
    if (q > mean) {
        lo = 0.0;
        hi = 0.5 / lmax;
    } else {
        lo = -0.5 * r / q;
        hi = 0.0;
    }
    double s = q > mean ? 0.5 * hi : 0.5 * lo;
    if (q == mean) s = 0.0;
    for (int it = 0; it < kMaxIterations && q != mean; ++it) {
        const Cumulants c = cumulants(r, lambda, s);
        const double f = c.K1 - q;
        if (f == 0.0) break;
        if (f < 0.0) lo = s;
        else hi = s;
        double next = s - f / c.K2;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (std::fabs(next - s) <= 1e-15 * std::fabs(s) || next == lo || next == hi) {
            s = next;
            break;
        }
        s = next;
    }

    const Cumulants c = cumulants(r, lambda, s);
    const double w2 = 2.0 * (s * q - c.K);
    const double w = (s < 0.0 ? -1.0 : 1.0) * std::sqrt(w2 > 0.0 ? w2 : 0.0);
    if (std::fabs(w) < kNearMean) {
        const Cumulants c0 = cumulants(r, lambda, 0.0);
        return 0.5 - c0.K3 / (6.0 * kSqrt2Pi * c0.K2 * std::sqrt(c0.K2));
    }

    // Lugannani-Rice: P(Q > q) = Q(w) + phi(w) (1/u - 1/w + second-order
    // term), u = s sqrt(K''(s)), with the standardized cumulants k3, k4 at s.
    const double u = s * std::sqrt(c.K2);
    const double k3 = c.K3 / (c.K2 * std::sqrt(c.K2));
    const double k4 = c.K4 / (c.K2 * c.K2);
    const double first = 1.0 / u - 1.0 / w;
    const double second = (k4 / 8.0 - 5.0 * k3 * k3 / 24.0) / u - 1.0 / (u * u * u) - k3 / (2.0 * u * u) +
                          1.0 / (w * w * w);
    const double log_phi = -0.5 * w * w - kLogSqrt2Pi;

    double p;
    if (w > 0.0) {
        // phi(w) (Q(w) / phi(w) + terms), in logs so that it cannot underflow
        // before the final clamp.
        const double mills = std::exp(log_normal_upper(w) - log_phi);
        double bracket = mills + first + second;
        if (!(bracket > 0.0)) bracket = mills + first;
        if (!(bracket > 0.0)) return nan;
        const double log_p = log_phi + std::log(bracket);
        p = log_p < std::log(DBL_MIN) ? DBL_MIN : std::exp(log_p);
    } else {
        p = gsl_cdf_ugaussian_Q(w) + std::exp(log_phi) * (first + second);
    }
    if (std::isnan(p)) return nan;
    if (p < DBL_MIN) p = DBL_MIN;
    return p > 1.0 ? 1.0 : p;
}

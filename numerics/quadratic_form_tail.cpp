#include "numerics/quadratic_form_tail.h"

#include <cfloat>
#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "numerics/normal_distribution.h"

namespace {

using Complex = std::complex<double>;

constexpr double kPi = 3.14159265358979323846;
constexpr double kSqrt2Pi = 2.50662827463100050242;

// The running product of the factors is brought back near 1 when its
// magnitude leaves this range.
constexpr double kRescaleAbove = 0x1p+500;
constexpr double kRescaleBelow = 0x1p-500;

// A statistic below this many times the largest coefficient has an upper tail
// of 1 in doubles: P(Q <= q) <= P(lambda_max chi2_1 <= q) <= sqrt(2 q /
// (pi lambda_max)), below 1e-125.
constexpr double kNegligibleStatistic = 1e-250;

// The saddlepoint: Newton steps at most, and the relative size of the step at
// which it stops.
constexpr int kSaddleIterations = 200;
constexpr double kSaddleTolerance = 4.0 * DBL_EPSILON;

// The trapezoidal rule in tau: the step, and the last node (beyond it the
// weight e^{-tau^2/2} is below 2e-19).  The rule's error falls like
// exp(-2 pi d / step), d the distance from the line to the nearest
// singularity of the integrand in the complex tau plane, and like the weight
// where d is small; the step halved changes no result by more than 1e-11.
constexpr double kStep = 0.2;
constexpr double kTauEnd = 9.3;

// Following the path from node to node: Newton steps per attempt, the
// relative size of the step at which a point counts as found, and how often
// a step in tau may be halved before the path counts as lost.
constexpr int kNewtonIterations = 40;
constexpr double kNewtonTolerance = 1e-14;
constexpr int kMaxHalvings = 40;

// From this signed root on the integral is taken directly; below it, where
// the pole of 1/z comes near the path, with the pole taken out.
constexpr double kDirectFrom = 1.0;

// The coefficients scaled by the largest, a_j = lambda_j / lambda_max in
// (0, 1], and the point x = q / lambda_max.  A point of the path is written
// as zeta = 1/2 - z (z in the scaled units, so that 1/2 is the first
// singularity of K): the factors 1 - 2 a_j z = c_j + 2 a_j zeta, c_j = 1 - a_j,
// keep their relative accuracy however close the path comes to 1/2.
struct Problem {
    std::vector<double> a, c;
    double x = 0.0;
};

// K'(s) - x at s = 1/2 - delta, and its derivative in delta.
void saddle_equation(const Problem& pb, double delta, double* f, double* df) {
    double k1 = 0.0, k2 = 0.0;
    for (std::size_t j = 0; j < pb.a.size(); ++j) {
        const double v = pb.a[j] / (pb.c[j] + 2.0 * pb.a[j] * delta);
        k1 += v;
        k2 += v * v;
    }
    *f = k1 - pb.x;
    *df = -2.0 * k2;
}

// What the integrand needs at a point of the path.
struct PathPoint {
    Complex level;  // phi(zeta) - phi(saddlepoint), phi = K(z) - z x
    Complex slope;  // dphi/dz = K'(z) - x
};

// The factors relative to their values at the saddlepoint, f_j = (c_j + 2 a_j
// zeta) / that_j = 1 + b_j (zeta - delta), b_j = 2 a_j / that_j.  Their logs
// are summed as the log of their product: the product is kept in range by
// powers of two, and its argument is followed across the negative real axis
// (each f_j turns it clockwise by less than pi while zeta is below the real
// axis, so a turn past -pi shows as the imaginary part going from negative
// to non-negative); the sum is thus the continuous branch along the path.
PathPoint evaluate(const std::vector<double>& b, double x, double delta, Complex zeta) {
    const double dr = zeta.real() - delta, di = zeta.imag();
    double pr = 1.0, pi = 0.0;  // product of the f_j, times 2^-scale
    int scale = 0, turns = 0;
    double sr = 0.0, si = 0.0;  // sum of (b_j / 2) / f_j = sum of a_j / (c_j + 2 a_j zeta)
    for (const double bj : b) {
        const double fr = 1.0 + bj * dr, fi = bj * di;
        const double nr = pr * fr - pi * fi, ni = pr * fi + pi * fr;
        if (pi < 0.0 && ni >= 0.0) ++turns;
        pr = nr;
        pi = ni;
        const double m = std::fabs(pr) + std::fabs(pi);
        if (m > kRescaleAbove || m < kRescaleBelow) {
            const int e = std::ilogb(m);
            pr = std::ldexp(pr, -e);
            pi = std::ldexp(pi, -e);
            scale += e;
        }
        const double h = 0.5 * bj / (fr * fr + fi * fi);
        sr += h * fr;
        si -= h * fi;
    }
    const double log_modulus = 0.5 * std::log(pr * pr + pi * pi) + scale * kLog2;
    const double argument = std::atan2(pi, pr) - 2.0 * kPi * turns;
    PathPoint p;
    p.level = Complex(-0.5 * log_modulus + dr * x, -0.5 * argument + di * x);
    p.slope = Complex(sr - x, si);
    return p;
}

}  // namespace

double qf_upper_tail(int r, const double* lambda, double q) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (r < 1 || std::isnan(q)) return nan;
    double lmax = 0.0;
    for (int j = 0; j < r; ++j) {
        if (!(lambda[j] > 0.0) || !std::isfinite(lambda[j])) return nan;
        if (lambda[j] > lmax) lmax = lambda[j];
    }
    if (q <= 0.0) return 1.0;
    if (q == std::numeric_limits<double>::infinity()) return DBL_MIN;

    Problem pb;
    pb.a.resize(r);
    pb.c.resize(r);
    double mean = 0.0;
    for (int j = 0; j < r; ++j) {
        pb.a[j] = lambda[j] / lmax;
        pb.c[j] = 1.0 - pb.a[j];
        mean += pb.a[j];
    }
    pb.x = q / lmax;
    if (pb.x < kNegligibleStatistic) return 1.0;
    const double log_floor = std::log(DBL_MIN);

    // Q <= lambda_max chi2_r, whose Chernoff bound exp(-r/2 (y - 1 - log y)),
    // y = x / r > 1, settles every statistic far out (and keeps the ones that
    // go on within a range where the saddlepoint is well resolved).
    const double y = pb.x / r;
    if (y > 1.0 && -0.5 * r * (y - 1.0 - std::log(y)) < log_floor) return DBL_MIN;

    // The saddlepoint s = 1/2 - delta: K'(s) = x, K' increasing from 0 to
    // +inf on (-inf, 1/2).  In delta the equation is convex and decreasing,
    // and 1/(2x) lies at or left of the root (the term of a_j = 1 alone
    // reaches x there), so Newton's method from there climbs to the root
    // without overshooting.
    double delta = 0.5 / pb.x;
    for (int it = 0; it < kSaddleIterations; ++it) {
        double f, df;
        saddle_equation(pb, delta, &f, &df);
        if (!(f > 0.0)) break;
        const double step = -f / df;
        delta += step;
        if (step <= kSaddleTolerance * delta) break;
    }
    if (!std::isfinite(delta)) return nan;
    const double s = 0.5 - delta;

    // Factors at the saddlepoint, K(s), K''(s) and the level phi(s) = K(s) - s x
    // (the minimum of phi on the real line, at most phi(0) = 0).
    std::vector<double> b(r);
    double K = 0.0, K2 = 0.0;
    for (int j = 0; j < r; ++j) {
        const double that = pb.c[j] + 2.0 * pb.a[j] * delta;
        K += -0.5 * std::log(that);
        const double v = pb.a[j] / that;
        K2 += 2.0 * v * v;
        b[j] = 2.0 * v;
    }
    double level = K - s * pb.x;
    if (level > 0.0) level = 0.0;
    // Chernoff: P(Q > q) <= e^{phi(s)} for s >= 0.
    if (s > 0.0 && level < log_floor) return DBL_MIN;
    const double w_s = (s < 0.0 ? -1.0 : 1.0) * std::sqrt(-2.0 * level);
    const bool direct = w_s >= kDirectFrom;

    // Follow the lower half of the path in zeta (the upper half in z) from
    // the saddlepoint, tau = 0, through the nodes (k + 1/2) kStep.  Each step
    // in tau starts from the tangent dzeta/dtau = tau / phi'(z) (-i /
    // sqrt(K'') at the saddlepoint) and is halved until Newton's method
    // settles within half the step's length of that start.
    double tau = 0.0;
    Complex zeta = delta;
    Complex tangent = Complex(0.0, -1.0 / std::sqrt(K2));
    double sum = 0.0;
    for (double node = 0.5 * kStep; node <= kTauEnd; node += kStep) {
        int halvings = 0;
        Complex slope;
        while (tau < node) {
            double dtau = node - tau;
            for (int h = 0; h < halvings; ++h) dtau *= 0.5;
            const double target = tau + dtau;
            const Complex start = zeta + dtau * tangent;
            Complex cur = start;
            bool ok = false;
            for (int it = 0; it < kNewtonIterations; ++it) {
                const PathPoint p = evaluate(b, pb.x, delta, cur);
                slope = p.slope;
                // phi(zeta) - phi(s) + tau^2 / 2 = 0; dphi/dzeta = -phi'(z).
                const Complex step = (p.level + 0.5 * target * target) / p.slope;
                cur += step;
                if (!(cur.imag() < 0.0) || !std::isfinite(cur.real())) break;
                if (std::abs(step) <= kNewtonTolerance * std::abs(cur)) {
                    ok = std::abs(cur - start) <= 0.5 * std::abs(dtau * tangent);
                    break;
                }
            }
            if (!ok) {
                if (++halvings > kMaxHalvings) return nan;
                continue;
            }
            // The slope of the last Newton step's start: the step was below
            // kNewtonTolerance, so it differs from the slope at the point by
            // about as little.
            zeta = cur;
            tau = target;
            tangent = tau / slope;
            if (halvings > 0) --halvings;
        }
        // dz/dw = i tau / phi'(z); z = 1/2 - zeta.
        const Complex dz_dw = Complex(0.0, tau) / slope;
        Complex g = dz_dw / (0.5 - zeta);
        if (!direct) g -= 1.0 / Complex(w_s, tau);
        sum += std::exp(-0.5 * tau * tau) * g.real();
    }

    double p;
    if (direct) {
        // P = e^{phi(s)} (1 / 2 pi) int, the integral over the whole line
        // twice the half-line sum.
        const double integral = kStep / kPi * sum;
        if (!(integral > 0.0)) return nan;
        const double log_p = level + std::log(integral);
        p = log_p < log_floor ? DBL_MIN : std::exp(log_p);
    } else {
        const double J = 2.0 * kStep / kSqrt2Pi * sum;
        p = 0.5 * std::erfc(w_s / std::sqrt(2.0)) + std::exp(-0.5 * w_s * w_s - kLogSqrt2Pi) * J;
    }
    if (std::isnan(p)) return nan;
    if (p < DBL_MIN) p = DBL_MIN;
    return p > 1.0 ? 1.0 : p;
}

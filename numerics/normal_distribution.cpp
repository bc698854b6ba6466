// Standard normal distribution function (Hart 5666), its inverse (AS 241),
// Genz's bivariate normal orthant and rectangle probabilities, and the log of
// the upper tail.
//
// Intermediates are plain locals: no state survives a call, so the results are
// those of the published routines, which kept them in static storage.
#include "numerics/normal_distribution.h"

#include <gsl/gsl_sf_erf.h>

#include <cmath>
#include <limits>

namespace {

// ---- log_normal_upper ------------------------------------------------------

// From here on log Q(t) is the asymptotic expansion -t^2/2 - log t -
// log sqrt(2 pi) + log(1 - 1/t^2): the next term, 5/(2 t^4), is below 3e-16.
// (GSL's log erfc is exact up to far beyond this point but loses itself
// above about 1e60, returning -inf and then NaN.)
constexpr double kLogTailAsymptotic = 1e4;

// ---- phi_: Hart, Computer Approximations (1968), algorithm 5666 ----------

// Beyond this |z| the tail probability underflows and is set to 0.
constexpr double kPhiUnderflow = 37.0;
// 10 / sqrt(2): the rational function is used below it, the continued
// fraction at and above it.
constexpr double kPhiCutoff = 7.071067811865475;
// Divisor of the continued fraction: sqrt(2 pi) to the 16 digits of the
// published routine (Hart's algorithm 5666 in Genz's PHI), which land one ulp
// above the closest double; the digits of the results depend on that ulp, so
// it stays.
constexpr double kPhiRootTwoPi = 2.506628274631001;

constexpr double kHartP[7] = {220.2068679123761,   221.2135961699311,  112.0792914978709,
                              33.912866078383,     6.37396220353165,   0.7003830644436881,
                              0.03526249659989109};
constexpr double kHartQ[8] = {440.4137358247522,  793.8265125199484, 637.3336333788311,
                              296.5642487796737,  86.78073220294608, 16.06417757920695,
                              1.755667163182642,  0.08838834764831845};

// ---- phinv_: Wichura (1988), AS 241, PPND16 --------------------------------

constexpr double kSplitCentral = 0.425;
constexpr double kSplitTail = 5.0;
constexpr double kCentralConst = 0.180625;  // 0.425^2
constexpr double kTailConst = 1.6;
// Quantile returned for p <= 0 (negated) and p >= 1.
constexpr double kQuantileBound = 9.0;

constexpr double kA[8] = {3.3871328727963666080e0,  1.3314166789178437745e+2,
                          1.9715909503065514427e+3, 1.3731693765509461125e+4,
                          4.5921953931549871457e+4, 6.7265770927008700853e+4,
                          3.3430575583588128105e+4, 2.5090809287301226727e+3};
constexpr double kB[8] = {1.0,                      4.2313330701600911252e+1,
                          6.8718700749205790830e+2, 5.3941960214247511077e+3,
                          2.1213794301586595867e+4, 3.9307895800092710610e+4,
                          2.8729085735721942674e+4, 5.2264952788528545610e+3};
constexpr double kC[8] = {1.42343711074968357734e0,  4.63033784615654529590e0,
                          5.76949722146069140550e0,  3.64784832476320460504e0,
                          1.27045825245236838258e0,  2.41780725177450611770e-1,
                          2.27238449892691845833e-2, 7.74545014278341407640e-4};
constexpr double kD[8] = {1.0,                       2.05319162663775882187e0,
                          1.67638483018380384940e0,  6.89767334985100004550e-1,
                          1.48103976427480074590e-1, 1.51986665636164571966e-2,
                          5.47593808499534494600e-4, 1.05075007164441684324e-9};
constexpr double kE[8] = {6.65790464350110377720e0,  5.46378491116411436990e0,
                          1.78482653991729133580e0,  2.96560571828504891230e-1,
                          2.65321895265761230930e-2, 1.24266094738807843860e-3,
                          2.71155556874348757815e-5, 2.01033439929228813265e-7};
constexpr double kF[8] = {1.0,                       5.99832206555887937690e-1,
                          1.36929880922735805310e-1, 1.48753612908506148525e-2,
                          7.86869131145613259100e-4, 1.84631831751005468180e-5,
                          1.42151175831644588870e-7, 2.04426310338993978564e-15};

// Horner's rule, highest power first: c[N-1] t^(N-1) + ... + c[0].
template <int N>
inline double horner(const double (&c)[N], double t) {
    double v = c[N - 1];
    for (int k = N - 2; k >= 0; --k) v = v * t + c[k];
    return v;
}

// ---- bvnu_: Genz's bivariate normal ----------------------------------------

// Rule thresholds on |r|: the single-precision values of 0.3 and 0.925 widened
// to double, as in the published code (not the doubles nearest 0.3, 0.925).
constexpr double kSmallCorrelation = static_cast<double>(0.3f);
constexpr double kMediumCorrelation = 0.75;
constexpr double kStrongCorrelation = static_cast<double>(0.925f);
// The asymptotic correction term is dropped when h*k <= -160.
constexpr double kCorrectionCutoff = -160.0;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kFourPi = 12.566370614359172;
constexpr double kSqrtTwoPi = 2.5066282746310002;  // sqrt(6.283185307179586) in double

constexpr int kRuleRows = 10;
// Gauss-Legendre rules with 6, 12 and 20 points on [-1, 1] (Genz's 16-digit
// tables): the nodes in (-1, 0) in increasing order, and their weights.
constexpr double kGaussX[3][kRuleRows] = {
    {-0.9324695142031522, -0.6612093864662647, -0.2386191860831970},
    {-0.9815606342467191, -0.9041172563704750, -0.7699026741943050, -0.5873179542866171,
     -0.3678314989981802, -0.1252334085114692},
    {-0.9931285991850949, -0.9639719272779138, -0.9122344282513259, -0.8391169718222188,
     -0.7463319064601508, -0.6360536807265150, -0.5108670019508271, -0.3737060887154196,
     -0.2277858511416451, -0.07652652113349733}};
constexpr double kGaussW[3][kRuleRows] = {
    {0.1713244923791705, 0.3607615730481384, 0.4679139345726904},
    {0.04717533638651177, 0.1069393259953183, 0.1600783285433464, 0.2031674267230659,
     0.2334925365383547, 0.2491470458134029},
    {0.01761400713915212, 0.04060142980038694, 0.06267204833410906, 0.08327674157670475,
     0.1019301198172404, 0.1181945319615184, 0.1316886384491766, 0.1420961093183821,
     0.1491729864726037, 0.1527533871307259}};
constexpr int kRuleNodes[3] = {3, 6, 10};

inline double phi_of(double z) { return phi_(&z); }

// Drezner-Wesolowsky: integral of the bivariate density over the correlation,
// in the variable asin(r), by the chosen Gauss-Legendre rule.
double bvnu_arcsine(double h, double k, double r, int rule) {
    const double hk = h * k;
    const double hs = (h * h + k * k) / 2;
    const double asr = std::asin(r);
    double bvn = 0;
    for (int i = 0; i < kRuleNodes[rule]; ++i) {
        const double x = kGaussX[rule][i];
        const double w = kGaussW[rule][i];
        double sn = std::sin(asr * (x + 1) / 2);
        bvn += w * std::exp((sn * hk - hs) / (1 - sn * sn));
        sn = std::sin(asr * (1 - x) / 2);
        bvn += w * std::exp((sn * hk - hs) / (1 - sn * sn));
    }
    return bvn * asr / kFourPi + phi_of(-h) * phi_of(-k);
}

// Strong correlation, 0.925 <= |r| < 1: the part of the orthant probability
// that is not the perfectly correlated limit, by an asymptotic expansion and a
// Gauss-Legendre correction.  k and hk already carry the sign of r.
double bvnu_strong_remainder(double h, double k, double hk, double r, int rule) {
    const double as = (1 - r) * (1 + r);
    double a = std::sqrt(as);
    const double bs = (h - k) * (h - k);
    const double c = (4 - hk) / 8;
    const double d = (12 - hk) / 16;
    double bvn = a * std::exp(-(bs / as + hk) / 2) *
                 (1 - c * (bs - as) * (1 - d * bs / 5) / 3 + c * d * as * as / 5);
    if (hk > kCorrectionCutoff) {
        const double b = std::sqrt(bs);
        bvn -= std::exp(-hk / 2) * kSqrtTwoPi * phi_of(-b / a) * b * (1 - c * bs * (1 - d * bs / 5) / 3);
    }
    a = a / 2;
    for (int i = 0; i < kRuleNodes[rule]; ++i) {
        const double x = kGaussX[rule][i];
        const double w = kGaussW[rule][i];
        double xs = (a * (x + 1)) * (a * (x + 1));
        double rs = std::sqrt(1 - xs);
        bvn += a * w *
               (std::exp(-bs / (2 * xs) - hk / (1 + rs)) / rs -
                std::exp(-(bs / xs + hk) / 2) * (1 + c * xs * (1 + d * xs)));
        xs = as * ((1 - x) * (1 - x)) / 4;
        rs = std::sqrt(1 - xs);
        bvn += a * w * std::exp(-(bs / xs + hk) / 2) *
               (std::exp(-hk * (1 - rs) / (2 * (1 + rs))) / rs - (1 + c * xs * (1 + d * xs)));
    }
    return -bvn / kTwoPi;
}

inline double bvnu_of(double h, double k, double r) { return bvnu_(&h, &k, &r); }

// One-dimensional probability of a standardised variable with flag `infin`.
double interval_probability(double a, double b, int infin) {
    double lower = 0;
    double upper = 1;
    limits_(&a, &b, &infin, &lower, &upper);
    return upper - lower;
}

}  // namespace

double phi_(const double* z__) {
    const double z = *z__;
    const double t = std::fabs(z);
    double p = 0;
    if (!(t > kPhiUnderflow)) {
        const double e = std::exp(-t * t / 2);
        if (t < kPhiCutoff) {
            p = e * horner(kHartP, t) / horner(kHartQ, t);
        } else {
            p = e / (t + 1 / (t + 2 / (t + 3 / (t + 4 / (t + 0.65))))) / kPhiRootTwoPi;
        }
    }
    if (z > 0) p = 1 - p;
    return p;
}

double phinv_(const double* p) {
    const double q = (*p + *p - 1) * 0.5;
    if (std::fabs(q) <= kSplitCentral) {
        const double r = kCentralConst - q * q;
        return q * horner(kA, r) / horner(kB, r);
    }
    double r = (1 - *p < *p) ? 1 - *p : *p;
    double value = kQuantileBound;
    if (r > 0) {
        r = std::sqrt(-std::log(r));
        if (r <= kSplitTail) {
            r = r - kTailConst;
            value = horner(kC, r) / horner(kD, r);
        } else {
            r = r - kSplitTail;
            value = horner(kE, r) / horner(kF, r);
        }
    }
    if (q < 0) value = -value;
    return value;
}

double bvnu_(const double* sh, const double* sk, const double* r__) {
    const double r = *r__;
    const double abs_r = std::fabs(r);
    const int rule = abs_r < kSmallCorrelation ? 0 : (abs_r < kMediumCorrelation ? 1 : 2);
    const double h = *sh;
    double k = *sk;
    double hk = h * k;
    if (abs_r < kStrongCorrelation) return bvnu_arcsine(h, k, r, rule);

    if (r < 0) {
        k = -k;
        hk = -hk;
    }
    double bvn = 0;
    if (abs_r < 1) bvn = bvnu_strong_remainder(h, k, hk, r, rule);
    if (r > 0) bvn += phi_of(-(h > k ? h : k));
    if (r < 0) {
        const double diff = phi_of(-h) - phi_of(-k);
        bvn = (diff > 0 ? diff : 0) - bvn;
    }
    return bvn;
}

double bvn_(const double* lower, const double* upper, const int* infin, const double* correl) {
    const double l1 = lower[0], l2 = lower[1];
    const double u1 = upper[0], u2 = upper[1];
    const double r = *correl;
    const int f1 = infin[0], f2 = infin[1];
    if (f1 > 2 || f2 > 2) return std::numeric_limits<double>::quiet_NaN();
    // An unbounded variable drops out: the other one's own probability.
    if (f1 < 0) return f2 < 0 ? 1.0 : interval_probability(l2, u2, f2);
    if (f2 < 0) return interval_probability(l1, u1, f1);

    if (f1 == 2 && f2 == 2)
        return bvnu_of(l1, l2, r) - bvnu_of(u1, l2, r) - bvnu_of(l1, u2, r) + bvnu_of(u1, u2, r);
    if (f1 == 2 && f2 == 1) return bvnu_of(l1, l2, r) - bvnu_of(u1, l2, r);
    if (f1 == 1 && f2 == 2) return bvnu_of(l1, l2, r) - bvnu_of(l1, u2, r);
    if (f1 == 2 && f2 == 0) return bvnu_of(-u1, -u2, r) - bvnu_of(-l1, -u2, r);
    if (f1 == 0 && f2 == 2) return bvnu_of(-u1, -u2, r) - bvnu_of(-u1, -l2, r);
    if (f1 == 1 && f2 == 0) return bvnu_of(l1, -u2, -r);
    if (f1 == 0 && f2 == 1) return bvnu_of(-u1, l2, -r);
    if (f1 == 1 && f2 == 1) return bvnu_of(l1, l2, r);
    return bvnu_of(-u1, -u2, r);  // flags 0 and 0
}

void limits_(const double* a, const double* b, const int* infin, double* lower, double* upper) {
    *lower = 0;
    *upper = 1;
    if (*infin >= 0) {
        if (*infin != 0) *lower = phi_(a);
        if (*infin != 1) *upper = phi_(b);
    }
}

double d_sign(const double* x, const double* y) {
    const double magnitude = std::fabs(*x);
    return *y >= 0 ? magnitude : -magnitude;
}

double log_normal_upper(double t) {
    if (t >= kLogTailAsymptotic) {
        // -t^2/2 is -inf for t above about 1.3e154, as Q(t) is 0 in any
        // floating-point range.
        return -0.5 * t * t - std::log(t) - kLogSqrt2Pi + std::log1p(-1.0 / (t * t));
    }
    // Q(t) = erfc(t / sqrt 2) / 2; GSL evaluates log erfc without underflow.
    return gsl_sf_log_erfc(t / std::sqrt(2.0)) - kLog2;
}

#include "numerics/gamma_and_stats.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "numerics/console.h"
#include "numerics/offset_arrays.h"

namespace {

// Most terms of the series after 1/a, and most continued-fraction iterations.
constexpr int ITMAX = 100;
// Relative tolerance of both evaluators: double machine epsilon to 14
// significant digits (a hair below DBL_EPSILON, which the results depend on).
constexpr double EPS = 2.2204460492503e-16;
// Smallest magnitude allowed for the running terms of the modified Lentz
// evaluation; its reciprocal starts the fraction.
constexpr double FPMIN = 1.00208e-292;

// Lower bound of the standard deviation.
constexpr double SD_FLOOR = 1e-10;
// Consistency factor of the median absolute deviation for normal data.
constexpr double MAD_FACTOR = 1.4826;

// Failures of the incomplete gamma routines print just the message, on
// standard output, and end the run with status 1; unlike nrerror they print
// no three-line report and do not run "pause".
[[noreturn]] void gamma_stop(const char* message) {
    std::fprintf(consoleOut(), "%s\n", message);
    stopRun();
}

// Sorts tmp[0..n-1] ascending with exactly the outcome of the classic
// exchange sort (for i < j, swap when tmp[i] > tmp[j]).  That sort never moves
// a NaN (every comparison with it is false) and fills the remaining slots with
// the other values in ascending order, so the numbers are sorted on their own
// with std::sort (which must not see a NaN) and written back around the NaNs.
void exchange_sort_equivalent(double* tmp, long n) {
    long m = 0;
    for (long k = 0; k < n; ++k)
        if (!std::isnan(tmp[k])) ++m;
    if (m == n) {
        std::sort(tmp, tmp + n);
        return;
    }
    double* numbers = dvector(0, m - 1);
    long w = 0;
    for (long k = 0; k < n; ++k)
        if (!std::isnan(tmp[k])) numbers[w++] = tmp[k];
    std::sort(numbers, numbers + m);
    w = 0;
    for (long k = 0; k < n; ++k)
        if (!std::isnan(tmp[k])) tmp[k] = numbers[w++];
    free_dvector(numbers, 0, m - 1);
}

}  // namespace

double gammq(double a, double x) {
    if (x < 0.0 || a <= 0.0) gamma_stop("Invalid arguments in routine gammp");
    double gln = 0.0;
    if (x < a + 1.0) {
        double gamser = 0.0;
        gser(&gamser, a, x, &gln);
        return 1.0 - gamser;
    }
    double gammcf = 0.0;
    gcf(&gammcf, a, x, &gln);
    return gammcf;
}

double chiSquare1Upper(double statistic) {
    if (std::isnan(statistic)) return statistic;
    const double x = statistic * 0.5;
    if (x == std::numeric_limits<double>::infinity()) return DBL_MIN;
    const double p = gammq(0.5, x);
    return p < DBL_MIN ? DBL_MIN : p;
}

void gser(double* gamser, double a, double x, double* gln) {
    *gln = gammln(a);
    if (x == 0.0) {
        *gamser = 0.0;
        return;
    }
    double ap = a;
    double del = 1.0 / a;
    double sum = del;
    for (int n = 1; n <= ITMAX; ++n) {
        ap += 1.0;
        del *= x / ap;
        sum += del;
        if (std::fabs(del) < std::fabs(sum) * EPS) {
            *gamser = sum * std::exp(-x + a * std::log(x) - (*gln));
            return;
        }
    }
    gamma_stop("a too large, ITMAX too small in routine gser");
}

void gcf(double* gammcf, double a, double x, double* gln) {
    *gln = gammln(a);
    double b = x + 1.0 - a;
    double c = 1.0 / FPMIN;
    double d = 1.0 / b;
    double h = d;
    int i = 1;
    for (; i <= ITMAX; ++i) {
        const double an = -i * (i - a);
        b += 2.0;
        d = an * d + b;
        if (std::fabs(d) < FPMIN) d = FPMIN;
        c = b + an / c;
        if (std::fabs(c) < FPMIN) c = FPMIN;
        d = 1.0 / d;
        const double del = d * c;
        h *= del;
        if (std::fabs(del - 1.0) < EPS) break;
    }
    if (i > ITMAX) gamma_stop("A too large, ITMAX too small");
    *gammcf = std::exp(-x + a * std::log(x) - (*gln)) * h;
}

double gammln(double xx) {
    // Lanczos approximation with gamma = 5 and six terms.
    static const double cof[6] = {76.18009172947146,     -86.50532032941678,
                                  24.01409824083091,     -1.231739572450155,
                                  0.001208650973866179, -5.395239384953e-06};
    double y = xx;
    double x = xx;
    double tmp = x + 5.5;
    tmp -= (x + 0.5) * std::log(tmp);
    double ser = 1.000000000190015;
    for (double coefficient : cof) ser += coefficient / ++y;
    return std::log(2.5066282746310007 * ser / x) - tmp;
}

// The four statistics below return NaN for an empty range (nh < nl) and
// then read nothing.

double mean(double* x, long nl, long nh) {
    if (nh < nl) return std::numeric_limits<double>::quiet_NaN();
    double sum = 0.0;
    for (long i = nl; i <= nh; ++i) sum += x[i];
    return sum / static_cast<double>(nh - nl + 1);
}

double sd(double* x, long nl, long nh, double mean_x) {
    if (nh < nl) return std::numeric_limits<double>::quiet_NaN();
    const long n = nh - nl + 1;
    double s = 0.0;
    for (long i = nl; i <= nh; ++i) {
        const double dev = x[i] - mean_x;
        s += dev * dev;
    }
    const double result = std::sqrt(s / static_cast<double>(n));
    return result < SD_FLOOR ? SD_FLOOR : result;
}

double median(double* x, long nl, long nh) {
    if (nh < nl) return std::numeric_limits<double>::quiet_NaN();
    const long n = nh - nl + 1;
    double* tmp = dvector(0, n - 1);
    for (long k = 0; k < n; ++k) tmp[k] = x[nl + k];
    exchange_sort_equivalent(tmp, n);
    const double result = (n % 2 == 1) ? tmp[n / 2] : (tmp[n / 2] + tmp[n / 2 - 1]) * 0.5;
    free_dvector(tmp, 0, n - 1);
    return result;
}

double sd_MAD(double* x, long nl, long nh) {
    if (nh < nl) return std::numeric_limits<double>::quiet_NaN();
    const long n = nh - nl + 1;
    double* tmp = dvector(0, n - 1);
    const double m = median(x, nl, nh);
    for (long k = 0; k < n; ++k) tmp[k] = std::fabs(x[nl + k] - m);
    const double result = median(tmp, 0, n - 1) * MAD_FACTOR;
    free_dvector(tmp, 0, n - 1);
    return result;
}

// Davies' algorithm (AS 155) for the distribution of a linear combination of
// independent chi-squared variables and a normal variable.
//
// The distribution function is obtained by integrating the characteristic
// function (Gil-Pelaez inversion) with the trapezoidal rule.  The integration
// interval is chosen from the range of Q (ctff), the truncation point from a
// bound on the truncation error (findu, truncation); when too many terms
// would be needed, a convergence factor exp(-tausq u^2 / 2) is applied and
// the error it brings is removed by an auxiliary integration.
//
// The helpers keep the calling style of the published algorithm: they share
// the working state of the current call through the file-level variables
// below (thread-local, so that calls on different threads do not meet), and
// results other than the return value come back through pointers.
#include "numerics/quadratic_form.h"

#include <cmath>
#include <new>

namespace {

// pi and 2 pi as the fifteen-digit literals of the published algorithm; the
// printed digits depend on them.
constexpr double kPi = 3.14159265358979;
constexpr double kTwoPi = 6.28318530717958;

// exp(x) is taken as 0 below this argument.
constexpr double kExpCutoff = -50.0;
// log1 uses its series for |x| up to this value.
constexpr double kLog1SeriesBound = 0.1;
// ln(2) / 8, rounded as in the published algorithm: the convergence-factor
// coefficient stops accumulating a term once |x| falls below lambda / 0.0866.
constexpr double kLog28 = 0.0866;
// A convergence-factor exponent sum above this fails (2^(100/4) is too large).
constexpr double kCfeExponentLimit = 100.0;
// Trial divisors that shrink the truncation point found by findu.
constexpr double kFinduDivisors[] = {2.0, 1.4, 1.2, 1.1};
// Multipliers of the round-off test (radix 2, 4, 8 or 16 arithmetic).
constexpr double kRoundOffMultipliers[] = {1.0, 2.0, 4.0, 8.0};

// ---- Working state of the call in progress (one per thread) ----
thread_local double sigsq;        // variance of the normal term, plus the convergence factors taken on
thread_local double lmax;         // largest coefficient (>= 0)
thread_local double lmin;         // smallest coefficient (<= 0)
thread_local double mean;         // mean of Q
thread_local double c;            // point at which the distribution function is evaluated
thread_local double intl;         // running integral
thread_local double ersm;         // running absolute-value sum
thread_local long long count;     // evaluations of the bound functions
thread_local int r;               // number of chi-squared terms
thread_local int lim;             // most integration terms and bound evaluations
thread_local bool ndtsrt;         // th is still to be ordered
thread_local bool fail;           // the last convergence-factor coefficient failed
thread_local int* n;              // degrees of freedom (caller's array)
thread_local double* lb;          // coefficients (caller's array)
thread_local double* nc;          // non-centralities (caller's array)
thread_local int* th;             // indices of the coefficients by decreasing magnitude

// Thrown by counter() when the evaluation limit is passed; caught in qfc,
// which turns it into fault 4.
struct EvaluationLimitReached {};

double exp1(double x) { return x < kExpCutoff ? 0.0 : std::exp(x); }

double square(double x) { return x * x; }

// Counts one evaluation of the bound functions and abandons the computation
// once more than lim have been made.
void counter() {
    count = count + 1;
    if (count > lim) throw EvaluationLimitReached{};
}

// Returns log(1 + x), or log(1 + x) - x if first is false.  Near zero it sums
// the atanh series until a term no longer changes the sum, which avoids
// cancellation.
double log1(double x, bool first) {
    if (std::fabs(x) > kLog1SeriesBound) {
        return first ? std::log(1.0 + x) : (std::log(1.0 + x) - x);
    }
    // The series would never settle on a NaN.
    if (std::isnan(x)) return x;
    double y = x / (2.0 + x);
    double term = 2.0 * (y * y * y);
    double k = 3.0;
    double s = (first ? 2.0 : -x) * y;
    y = square(y);
    for (double s1 = s + term / k; s1 != s; s1 = s + term / k) {
        k = k + 2.0;
        term = term * y;
        s = s1;
    }
    return s;
}

// Insertion sort of the indices 0..r-1 by decreasing |lb|; equal magnitudes
// keep increasing index order.
void order() {
    for (int j = 0; j < r; j++) {
        const double lj = std::fabs(lb[j]);
        int k = j - 1;
        while (k >= 0 && lj > std::fabs(lb[th[k]])) {
            th[k + 1] = th[k];
            k--;
        }
        th[k + 1] = j;
    }
    ndtsrt = false;
}

// Chernoff-type bound on the tail probability of Q from its moment generating
// function at 2u; *cx receives the matching cut-off.
double errbd(double u, double* cx) {
    counter();
    double xconst = u * sigsq;
    double sum1 = u * xconst;
    u = 2.0 * u;
    for (int j = r - 1; j >= 0; j--) {
        const double nj = n[j];
        const double lj = lb[j];
        const double ncj = nc[j];
        const double x = u * lj;
        const double y = 1.0 - x;
        xconst = xconst + lj * (ncj / y + nj) / y;
        sum1 = sum1 + ncj * square(x / y) + nj * (square(x) / y + log1(-x, false));
    }
    *cx = xconst;
    return exp1(-0.5 * sum1);
}

// A point c2 with less than accx of Q's probability beyond it (above c2 for
// *upn > 0, below for *upn < 0): doubles, then bisects, the parameter of
// errbd's bound until its cut-off is close enough.  *upn gets that parameter.
double ctff(double accx, double* upn) {
    double u2 = *upn;
    double u1 = 0.0;
    double c1 = mean;
    double c2 = mean;
    const double rb = 2.0 * ((u2 > 0.0) ? lmax : lmin);
    while (errbd(u2 / (1.0 + u2 * rb), &c2) > accx) {
        u1 = u2;
        c1 = c2;
        u2 = 2.0 * u2;
    }
    while ((c1 - mean) / (c2 - mean) < 0.9) {
        const double u = (u1 + u2) / 2.0;
        double xconst = 0.0;
        if (errbd(u / (1.0 + u * rb), &xconst) > accx) {
            u1 = u;
            c1 = xconst;
        } else {
            u2 = u;
            c2 = xconst;
        }
    }
    *upn = u2;
    return c2;
}

// Upper bound on what the inversion integral beyond u contributes, with the
// damping factor of variance tausq applied (tausq = 0: none).
double truncation(double u, double tausq) {
    counter();
    double sum1 = 0.0;
    double prod2 = 0.0;
    double prod3 = 0.0;
    double s = 0.0;
    const double sum2 = (sigsq + tausq) * square(u);
    double prod1 = 2.0 * sum2;
    u = 2.0 * u;
    for (int j = 0; j < r; j++) {
        const double lj = lb[j];
        const double ncj = nc[j];
        const double nj = n[j];
        const double x = square(u * lj);
        sum1 = sum1 + ncj * x / (1.0 + x);
        if (x > 1.0) {
            prod2 = prod2 + nj * std::log(x);
            prod3 = prod3 + nj * log1(x, true);
            s = s + nj;
        } else {
            prod1 = prod1 + nj * log1(x, true);
        }
    }
    sum1 = 0.5 * sum1;
    prod2 = prod1 + prod2;
    prod3 = prod1 + prod3;
    double x = exp1(-sum1 - 0.25 * prod2) / kPi;
    const double y = exp1(-sum1 - 0.25 * prod3) / kPi;
    double err1 = (s == 0.0) ? 1.0 : x * 2.0 / s;
    double err2 = (prod3 > 1.0) ? 2.5 * y : 1.0;
    if (err2 < err1) err1 = err2;
    x = 0.5 * sum2;
    err2 = (x <= y) ? 1.0 : y / x;
    return (err1 < err2) ? err1 : err2;
}

// Moves *utx by factors of 4 to the smallest point tried whose truncation
// bound (no damping) is within accx, then shrinks it by the trial divisors.
void findu(double* utx, double accx) {
    double ut = *utx;
    double u = ut / 4.0;
    if (truncation(u, 0.0) > accx) {
        for (u = ut; truncation(u, 0.0) > accx; u = ut) ut = ut * 4.0;
    } else {
        ut = u;
        for (u = u / 4.0; truncation(u, 0.0) <= accx; u = u / 4.0) ut = u;
    }
    for (const double divisor : kFinduDivisors) {
        u = ut / divisor;
        if (truncation(u, 0.0) <= accx) ut = u;
    }
    *utx = ut;
}

// Adds the nterm + 1 terms of the trapezoidal rule with step interv to intl
// and their absolute values to ersm.  For an auxiliary integration (mainx
// false) each term is weighted by 1 - exp(-tausq u^2 / 2).
void integrate(int nterm, double interv, double tausq, bool mainx) {
    const double inpi = interv / kPi;
    for (int k = nterm; k >= 0; k--) {
        const double u = (k + 0.5) * interv;
        double sum1 = -2.0 * u * c;
        double sum2 = std::fabs(sum1);
        double sum3 = -0.5 * sigsq * square(u);
        for (int j = r - 1; j >= 0; j--) {
            const double nj = n[j];
            const double x = 2.0 * lb[j] * u;
            double y = square(x);
            sum3 = sum3 - 0.25 * nj * log1(y, true);
            y = nc[j] * x / (1.0 + y);
            const double z = nj * std::atan(x) + y;
            sum1 = sum1 + z;
            sum2 = sum2 + std::fabs(z);
            sum3 = sum3 - 0.5 * x * y;
        }
        double x = inpi * exp1(sum3) / u;
        if (!mainx) x = x * (1.0 - exp1(-0.5 * tausq * square(u)));
        intl = intl + std::sin(0.5 * sum1) * x;
        ersm = ersm + 0.5 * sum2 * x;
    }
}

// How fast the error from damping with exp(-tausq u^2 / 2) grows with tausq
// at the point x: the factor to multiply tausq by.  Sets fail and returns 1
// when that factor would be too large.
double cfe(double x) {
    counter();
    if (ndtsrt) order();
    double axl = std::fabs(x);
    const double sxl = (x > 0.0) ? 1.0 : -1.0;
    double sum1 = 0.0;
    // Smallest magnitudes first.
    for (int j = r - 1; j >= 0; j--) {
        const int t = th[j];
        if (lb[t] * sxl > 0.0) {
            const double lj = std::fabs(lb[t]);
            const double axl1 = axl - lj * (n[t] + nc[t]);
            const double axl2 = lj / kLog28;
            if (axl1 > axl2) {
                axl = axl1;
                continue;
            }
            if (axl > axl2) axl = axl2;
            sum1 = (axl - axl1) / lj;
            for (int k = j - 1; k >= 0; k--) sum1 = sum1 + (n[th[k]] + nc[th[k]]);
            break;
        }
    }
    if (sum1 > kCfeExponentLimit) {
        fail = true;
        return 1.0;
    }
    return std::pow(2.0, sum1 / 4.0) / (kPi * square(axl));
}

bool finite_arguments(double sigma, double acc) {
    if (!std::isfinite(sigma) || !std::isfinite(c)) return false;
    if (!std::isfinite(acc) || !(acc > 0.0)) return false;
    for (int j = 0; j < r; j++) {
        if (!std::isfinite(lb[j]) || !std::isfinite(nc[j])) return false;
    }
    return true;
}

// Checks the arguments and sets sigsq, mean, lmax and lmin; *variance
// receives the variance of Q.  False for invalid arguments.
bool summarise_terms(double sigma, double acc, double* variance) {
    sigsq = square(sigma);
    double sd = sigsq;
    lmax = 0.0;
    lmin = 0.0;
    mean = 0.0;
    if (!finite_arguments(sigma, acc)) return false;
    for (int j = 0; j < r; j++) {
        const int nj = n[j];
        const double lj = lb[j];
        const double ncj = nc[j];
        if (nj < 0 || ncj < 0.0) return false;
        sd = sd + square(lj) * (2.0 * nj + 4.0 * ncj);
        mean = mean + lj * (nj + ncj);
        if (lmax < lj) {
            lmax = lj;
        } else if (lmin > lj) {
            lmin = lj;
        }
    }
    *variance = sd;
    return true;
}

// Truncation point of the first integration, found without a convergence
// factor and again with one when a factor helps (it then joins sigsq).
double initial_truncation_point(double sd, double acc1, double* trace) {
    double utx = 16.0 / sd;
    findu(&utx, 0.5 * acc1);
    const double almx = (lmax < -lmin) ? -lmin : lmax;
    if (c != 0.0 && almx > 0.07 * sd) {
        const double tausq = 0.25 * acc1 / cfe(c);
        if (fail) {
            fail = false;
        } else if (truncation(utx, tausq) < 0.2 * acc1) {
            sigsq = sigsq + tausq;
            findu(&utx, 0.25 * acc1);
            trace[5] = std::sqrt(tausq);
        }
    }
    return utx;
}

// The main integration with xnt terms of step intv, when no more than xlim
// terms are left (fault 1 otherwise); then the round-off test against the
// caller's accuracy acc.
double main_integration(double intv, double xnt, double xlim, double acc, double* trace,
                        int* ifault) {
    trace[3] = intv;
    // The negated test also refuses a term count that is not a number.
    if (!(xnt <= xlim)) {
        *ifault = 1;
        return -1.0;
    }
    const int nt = static_cast<int>(std::floor(xnt + 0.5));
    integrate(nt, intv, 0.0, true);
    trace[2] = trace[2] + 1;
    trace[1] = trace[1] + nt + 1;
    const double result = 0.5 - intl;
    trace[0] = ersm;

    // Round-off is possibly significant when a tenth of the caller's accuracy
    // is lost against ersm.
    const double x = ersm + acc / 10.0;
    for (const double m : kRoundOffMultipliers) {
        if (m * x == m * ersm) *ifault = 2;
    }
    return result;
}

// Everything of qfc after the set-up of the working state: returns the
// distribution value, or -1 with *ifault set.  May be abandoned by counter().
double evaluate(double sigma, double acc, double* trace, int* ifault) {
    double variance = 0.0;
    if (!summarise_terms(sigma, acc, &variance)) {
        *ifault = 3;
        return -1.0;
    }
    // Q is the constant 0.
    if (variance == 0.0) return (c > 0.0) ? 1.0 : 0.0;
    const double sd = std::sqrt(variance);

    double acc1 = acc;
    double xlim = static_cast<double>(lim);
    double up = 4.5 / sd;
    double un = -up;
    double utx = initial_truncation_point(sd, acc1, trace);
    trace[4] = utx;
    acc1 = 0.5 * acc1;

    for (;;) {
        // Range of Q: outside it the answer is 0 or 1 to the accuracy asked.
        const double d1 = ctff(acc1, &up) - c;
        if (d1 < 0.0) return 1.0;
        const double d2 = c - ctff(acc1, &un);
        if (d2 < 0.0) return 0.0;
        const double intv = kTwoPi / ((d1 > d2) ? d1 : d2);

        // Terms needed by the main integration, and the most that an
        // auxiliary integration may take.
        const double xnt = utx / intv;
        const double xntm = 3.0 / std::sqrt(acc1);
        if (!(xnt > xntm * 1.5)) return main_integration(intv, xnt, xlim, acc, trace, ifault);

        // Auxiliary integration with a convergence factor.
        if (!(xntm <= xlim)) {
            *ifault = 1;
            return -1.0;
        }
        const int ntm = static_cast<int>(std::floor(xntm + 0.5));
        const double intv1 = utx / ntm;
        const double x = kTwoPi / intv1;
        if (x <= std::fabs(c)) return main_integration(intv, xnt, xlim, acc, trace, ifault);
        const double cfe_below = cfe(c - x);
        const double cfe_above = cfe(c + x);
        const double tausq = 0.33 * acc1 / (1.1 * (cfe_below + cfe_above));
        if (fail) return main_integration(intv, xnt, xlim, acc, trace, ifault);
        acc1 = 0.67 * acc1;
        integrate(ntm, intv1, tausq, false);
        xlim = xlim - xntm;
        sigsq = sigsq + tausq;
        trace[2] = trace[2] + 1;
        trace[1] = trace[1] + ntm + 1;
        // Truncation point with the new convergence factor.
        findu(&utx, 0.25 * acc1);
        acc1 = 0.75 * acc1;
    }
}

}  // namespace

void qfc(double* lb1, double* nc1, int* n1, int* r1, double* sigma, double* c1, int* lim1,
         double* acc, double* trace, int* ifault, double* res) {
    r = *r1;
    lim = *lim1;
    c = *c1;
    n = n1;
    lb = lb1;
    nc = nc1;
    for (int j = 0; j < 7; j++) trace[j] = 0.0;
    *ifault = 0;
    count = 0;
    intl = 0.0;
    ersm = 0.0;
    ndtsrt = true;
    fail = false;

    double result = -1.0;
    th = (r >= 0) ? new (std::nothrow) int[r] : nullptr;
    if (th == nullptr) {
        *ifault = 5;
    } else {
        try {
            result = evaluate(*sigma, *acc, trace, ifault);
        } catch (const EvaluationLimitReached&) {
            *ifault = 4;
            result = -1.0;
        }
    }

    delete[] th;
    th = nullptr;
    trace[6] = static_cast<double>(count);
    *res = result;
}

// Division of a double by a count (a positive integer below 2^26) with a
// multiplication and a fused multiply-add instead of a division, giving the
// correctly rounded quotient x / c, bit for bit.
//
// With hi = RN(1/c) and lo = RN(1/c - hi) (the remainder 1 - hi*c is exact
// in one fused multiply-add), hi + lo is 1/c to a relative error below
// 2^-105, and y = RN(x*hi + RN(x*lo)) (one fused multiply-add) differs from
// z = x/c, before its single rounding, by less than 2^-103 |z|.  The true
// quotient is never that close to a rounding boundary: if 2^e <= |z| <
// 2^(e+1), a midpoint m between two doubles of that binade is an odd
// multiple of 2^(e-53), x is a multiple of ulp(x) >= 2^(e-52) (as |x| >= |z|),
// so x - c*m is a multiple of 2^(e-53); it cannot be zero (writing c = 2^s c'
// with c' odd, x = c*m would be an odd multiple of 2^(e-53+s) while
// |x| >= 2^(e+s) needs a multiple of 2^(e+s-52)), hence
// |z - m| >= 2^(e-53)/c > 2^-80 |z|.  So y and z round alike, and y = RN(z).
// The argument needs every quantity normal and finite: the fast form is used
// for 2^-900 <= |x| <= 2^900 only, and x / c is divided otherwise (zeros,
// tiny and huge values, infinities and NaN).
#ifndef VENTARQUILLO_NUMERICS_COUNT_DIVISION_H
#define VENTARQUILLO_NUMERICS_COUNT_DIVISION_H

#include <cmath>

struct CountReciprocal {
    double c = 1.0;   // the count
    double hi = 1.0;  // RN(1/c)
    double lo = 0.0;  // RN(1/c - hi)
};

// Counts from 1 to kMaxCount - 1 can use the fast form.
constexpr double kMaxCount = 67108864.0;  // 2^26
// The range of |x| in which the fast form is exact.
constexpr double kCountDivisionLow = 0x1p-900;
constexpr double kCountDivisionHigh = 0x1p900;

// Requires 1 <= c < kMaxCount, c an integer.
inline CountReciprocal countReciprocal(double c) {
    CountReciprocal r;
    r.c = c;
    r.hi = 1.0 / c;
    r.lo = std::fma(-r.hi, c, 1.0) / c;
    return r;
}

inline bool inCountDivisionRange(double x) {
    const double a = std::fabs(x);
    return a >= kCountDivisionLow && a <= kCountDivisionHigh;
}

// x / r.c, correctly rounded, the same bits as the division.
inline double divideByCount(double x, const CountReciprocal& r) {
    if (!inCountDivisionRange(x)) return x / r.c;
    return std::fma(x, r.hi, x * r.lo);
}

#endif

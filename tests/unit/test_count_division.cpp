// divideByCount must give the quotient of the division instruction, bit for
// bit, for every count and every double: random operands, operands whose
// quotient lies as near a rounding boundary as a quotient by a count can,
// exact quotients, and the values outside the fast form's range.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "numerics/count_division.h"

namespace {

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

long mismatches_for(double x, const CountReciprocal& r) { return same_bits(divideByCount(x, r), x / r.c) ? 0 : 1; }

}  // namespace

TEST(CountDivision, RandomOperandsAndCounts) {
    std::mt19937_64 gen(31);
    std::uniform_int_distribution<long> small_count(1, 1000);
    std::uniform_int_distribution<long> large_count(1, 67108863);
    std::uniform_real_distribution<double> mantissa(-2.0, 2.0);
    std::uniform_int_distribution<int> exponent(-930, 930);
    long bad = 0;
    for (int k = 0; k < 300000; ++k) {
        const CountReciprocal r = countReciprocal(static_cast<double>(k % 2 ? small_count(gen) : large_count(gen)));
        for (int j = 0; j < 8; ++j) bad += mismatches_for(std::ldexp(mantissa(gen), exponent(gen)), r);
    }
    EXPECT_EQ(bad, 0);
}

// x = RN(c*m) for a midpoint m between two doubles: x/c differs from m by at
// most half an ulp of x divided by c, the closest a quotient by c comes to a
// rounding boundary; and x = c*d for a double d, whose quotient is exact.
TEST(CountDivision, QuotientsNextToRoundingBoundariesAndExactQuotients) {
    std::mt19937_64 gen(47);
    std::uniform_int_distribution<long> count(2, 67108863);
    std::uniform_int_distribution<unsigned long> bits(0, (1UL << 52) - 1);
    std::uniform_int_distribution<int> exponent(-850, 850);
    long bad = 0;
    for (int k = 0; k < 400000; ++k) {
        const double c = static_cast<double>(k % 3 == 0 ? count(gen) % 1000 + 2 : count(gen));
        const CountReciprocal r = countReciprocal(c);
        const int e = exponent(gen);
        // A double d in [2^e, 2^(e+1)) and the midpoint just above it.
        const double d = std::ldexp(1.0 + std::ldexp(static_cast<double>(bits(gen)), -52), e);
        // x = RN(c*m) with m = d + 2^(e-53): c*d and c*2^(e-53) are summed
        // with one rounding each, close enough to RN(c*m) for the purpose.
        const double x_mid = c * d + c * std::ldexp(1.0, e - 53);
        bad += mismatches_for(x_mid, r);
        bad += mismatches_for(std::nextafter(x_mid, 0.0), r);
        bad += mismatches_for(std::nextafter(x_mid, 1e308), r);
        bad += mismatches_for(-x_mid, r);
        // Exact quotients (c*d is exact when it fits in 53 bits: small d).
        const double dd = std::ldexp(static_cast<double>(bits(gen) >> 30), e);
        const double x_exact = c * dd;
        if (x_exact / c == dd) bad += mismatches_for(x_exact, r);
    }
    EXPECT_EQ(bad, 0);
}

TEST(CountDivision, PowersOfTwoAndEdgeCounts) {
    long bad = 0;
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> u(-1e6, 1e6);
    for (double c : {1.0, 2.0, 3.0, 7.0, 1024.0, 1025.0, 33554431.0, 33554432.0, 67108863.0}) {
        const CountReciprocal r = countReciprocal(c);
        for (int k = 0; k < 20000; ++k) bad += mismatches_for(u(gen), r);
    }
    EXPECT_EQ(bad, 0);
    const CountReciprocal one = countReciprocal(1.0);
    EXPECT_EQ(one.hi, 1.0);
    EXPECT_EQ(one.lo, 0.0);
    const CountReciprocal three = countReciprocal(3.0);
    // 1/3 = 0x1.5555555555555p-2 + 0x1.5555555555555p-56 + ...
    EXPECT_EQ(three.hi, 0x1.5555555555555p-2);
    EXPECT_EQ(three.lo, 0x1.5555555555555p-56);
}

// Outside the fast form's range the division itself is used: zeros keep
// their signs, tiny and subnormal values, huge values, infinities, NaN.
TEST(CountDivision, ValuesOutsideTheFastRange) {
    const double inf = std::numeric_limits<double>::infinity();
    const double tiny = std::numeric_limits<double>::denorm_min();
    for (double c : {1.0, 3.0, 12345.0}) {
        const CountReciprocal r = countReciprocal(c);
        for (double x : {0.0, -0.0, tiny, -tiny, 0x1p-1000, 0x1.8p-901, 0x1p-900, 0x1p900, 0x1.0000000000001p900,
                         0x1p1000, std::numeric_limits<double>::max(), inf, -inf})
            EXPECT_TRUE(same_bits(divideByCount(x, r), x / c)) << x << " / " << c;
        EXPECT_TRUE(std::isnan(divideByCount(std::numeric_limits<double>::quiet_NaN(), r)));
    }
    EXPECT_FALSE(inCountDivisionRange(0.0));
    EXPECT_FALSE(inCountDivisionRange(0x1.fffffffffffffp-901));
    EXPECT_TRUE(inCountDivisionRange(0x1p-900));
    EXPECT_TRUE(inCountDivisionRange(-0x1p900));
    EXPECT_FALSE(inCountDivisionRange(0x1.0000000000001p900));
    EXPECT_FALSE(inCountDivisionRange(std::numeric_limits<double>::quiet_NaN()));
}

// expWithoutErrno() must give std::exp's value, bit for bit, everywhere:
// the E step's sums depend on every bit of every term.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#if defined(__GLIBC__)
#include <dlfcn.h>
#endif

#include "numerics/exp_without_errno.h"
#include "same_bits.h"

TEST(ExpWithoutErrno, EqualsStdExpBitForBitOverTheWholeRange) {
    const ExpFunction f = expWithoutErrno();
    std::mt19937_64 gen(2026);
    // The whole range of finite results, the subnormal results and the
    // underflow to zero, and the E step's typical arguments -(d*d)/(2s).
    std::uniform_real_distribution<double> wide(-760.0, 712.0);
    std::uniform_real_distribution<double> typical(-60.0, 0.0);
    std::uniform_real_distribution<double> tiny(-1e-8, 1e-8);
    long mismatches = 0;
    for (int k = 0; k < 400000; ++k) {
        for (double x : {wide(gen), typical(gen), tiny(gen)})
            if (!same_bits(f(x), std::exp(x))) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(ExpWithoutErrno, SpecialValues) {
    const ExpFunction f = expWithoutErrno();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(f(0.0), 1.0);
    EXPECT_EQ(f(-0.0), 1.0);
    EXPECT_EQ(f(-inf), 0.0);
    EXPECT_EQ(f(inf), inf);
    EXPECT_EQ(f(710.0), inf);       // e^710 > DBL_MAX = 1.797...e308 (e^709.78)
    EXPECT_EQ(f(-746.0), 0.0);      // below half the least subnormal, 2^-1075 = e^-745.13
    EXPECT_GT(f(-745.0), 0.0);      // the least subnormal, 4.94e-324
    EXPECT_EQ(f(1.0), 2.718281828459045);  // e rounded to double
    EXPECT_TRUE(std::isnan(f(std::numeric_limits<double>::quiet_NaN())));
}

// The library's own routine is used exactly when the C library exports it
// and it gives std::exp's bits (looked up and compared here, independently of
// the resolution); otherwise the fallback, which calls std::exp.
TEST(ExpWithoutErrno, UsesTheLibraryRoutineWhereTheCLibraryExportsIt) {
#if defined(__GLIBC__)
    void* sym = dlvsym(RTLD_DEFAULT, "__exp_finite", "GLIBC_2.15");
    if (sym == nullptr) {
        EXPECT_FALSE(expWithoutErrnoIsDirect());
        return;
    }
    ExpFunction routine;
    std::memcpy(&routine, &sym, sizeof routine);
    bool agrees = true;
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> wide(-760.0, 712.0);
    for (int k = 0; k < 100000 && agrees; ++k) {
        const double x = wide(gen);
        agrees = same_bits(routine(x), std::exp(x));
    }
    EXPECT_EQ(expWithoutErrnoIsDirect(), agrees);
    if (agrees) {
        EXPECT_EQ(expWithoutErrno(), routine);
    }
#else
    EXPECT_FALSE(expWithoutErrnoIsDirect());
#endif
}

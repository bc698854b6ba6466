// The run-time choice between the AVX2 and the SSE2 kernels, and the build
// switch VENTARQUILLO_SSE2_ONLY that forces SSE2 (for valgrind).
#include <gtest/gtest.h>

#include "numerics/simd_pairs.h"

namespace {

// What the processor offers, asked independently of the code under test.
bool processor_offers_avx2_and_fma() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

#if defined(VENTARQUILLO_SSE2_ONLY)
constexpr bool kSse2Only = true;
#else
constexpr bool kSse2Only = false;
#endif

}  // namespace

TEST(SimdChoice, QuadruplesOnlyWhereTheProcessorAndTheBuildAllowThem) {
    const bool initial = simdQuads();
    const bool allowed = processor_offers_avx2_and_fma() && !kSse2Only;
    EXPECT_EQ(initial, allowed);
    setSimdQuads(false);
    EXPECT_FALSE(simdQuads());
    setSimdQuads(true);  // ignored where quadruples are not allowed
    EXPECT_EQ(simdQuads(), allowed);
    setSimdQuads(initial);
}

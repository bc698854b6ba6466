// Bit-for-bit comparison of doubles, and a check run with each set of vector
// kernels (SSE2, then AVX2 where the processor has it), which must give the
// same bits as the plain loops.
#ifndef VENTARQUILLO_TESTS_SAME_BITS_H
#define VENTARQUILLO_TESTS_SAME_BITS_H

#include <gtest/gtest.h>

#include <cstring>

#include "numerics/vector_lanes.h"

// The same 64 bits (so -0.0 differs from 0.0, and a NaN equals itself).
inline bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// Runs f with the SSE2 kernels, then with the AVX2 ones (on a processor
// without AVX2 the SSE2 ones again), and restores the program's choice.
template <class F>
void with_each_kernel(F f) {
    const bool initial = useAvx2();
    for (bool avx2 : {false, true}) {
        setUseAvx2(avx2);
        SCOPED_TRACE(useAvx2() ? "AVX2 kernels" : "SSE2 kernels");
        f();
    }
    setUseAvx2(initial);
}

#endif

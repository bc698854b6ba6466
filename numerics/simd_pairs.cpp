#include "numerics/simd_pairs.h"

#include <atomic>

namespace {

// Built with -DVENTARQUILLO_SSE2_ONLY=ON, the program takes the SSE2 kernels
// on every processor (for valgrind, whose instruction decoder stops at some
// of the AVX2 kernels' instructions); results are the same bits either way.
bool processorHasAvx2AndFma() {
#if defined(VENTARQUILLO_SSE2_ONLY)
    return false;
#elif defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
#else
    return false;
#endif
}

std::atomic<bool>& quadsFlag() {
    static std::atomic<bool> flag{processorHasAvx2AndFma()};
    return flag;
}

}  // namespace

bool simdQuads() { return quadsFlag().load(std::memory_order_relaxed); }

void setSimdQuads(bool on) { quadsFlag().store(on && processorHasAvx2AndFma(), std::memory_order_relaxed); }

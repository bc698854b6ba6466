#include "numerics/simd_pairs.h"

#include <atomic>

namespace {

bool processorHasAvx2AndFma() {
#if defined(__x86_64__) || defined(__i386__)
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

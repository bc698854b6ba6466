#include "numerics/vector_lanes.h"

#include <atomic>

namespace {

bool processorHasAvx2() {
#if defined(VQ_TARGET_AVX2)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

std::atomic<bool>& avx2Flag() {
    static std::atomic<bool> flag{processorHasAvx2()};
    return flag;
}

}  // namespace

bool useAvx2() { return avx2Flag().load(std::memory_order_relaxed); }

void setUseAvx2(bool on) { avx2Flag().store(on && processorHasAvx2(), std::memory_order_relaxed); }

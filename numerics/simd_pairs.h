// Pairs of doubles in one SSE2 register (GCC/Clang vector extension).  Each
// lane is rounded exactly as the scalar operation, so a loop written with
// them gives the same bits as the plain loop; unaligned loads and stores go
// through memcpy.
#ifndef VENTARQUILLO_NUMERICS_SIMD_PAIRS_H
#define VENTARQUILLO_NUMERICS_SIMD_PAIRS_H

#include <cstring>

using v2d = double __attribute__((vector_size(16)));

inline v2d load2(const double* p) {
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store2(double* p, v2d v) { std::memcpy(p, &v, sizeof v); }

#endif

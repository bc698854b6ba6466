// Pairs and quadruples of doubles in one vector register (GCC/Clang vector
// extension).  Each lane is rounded exactly as the scalar operation, so a loop
// written with them gives the same bits as the plain loop; unaligned loads and
// stores go through memcpy.
//
// Pairs fit the SSE2 registers that every x86-64 processor has.  Quadruples
// fill an AVX2 register; kernels that use them are compiled a second time for
// AVX2 and FMA (target attribute) and chosen at run time by simdQuads(), so
// the program still runs on processors without them.  The build turns
// contraction off, so no product and sum are ever fused behind the code's
// back: both versions give the same bits, and a kernel that wants a fused
// multiply-add (an exact remainder, say) asks for it by name.
#ifndef VENTARQUILLO_NUMERICS_SIMD_PAIRS_H
#define VENTARQUILLO_NUMERICS_SIMD_PAIRS_H

#include <cstring>

// VQ_TARGET_AVX2 marks the AVX2 version of a kernel; it is defined only where
// such versions can be built (x86-64 with GCC or Clang).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VQ_TARGET_AVX2 __attribute__((target("avx2,fma")))
#endif

using v2d = double __attribute__((vector_size(16)));
using v4d = double __attribute__((vector_size(32)));

#define VQ_ALWAYS_INLINE inline __attribute__((always_inline))

// The number of doubles in the vector type V.
template <class V>
constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(double));

// Loads, stores and broadcasts pass the vector by reference: a quadruple
// returned by value from a function built without AVX would follow a
// different calling convention (they are always inlined anyway).
template <class V>
VQ_ALWAYS_INLINE void loadv(V& v, const double* p) {
    std::memcpy(&v, p, sizeof v);
}

template <class V>
VQ_ALWAYS_INLINE void storev(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

// Every lane equal to x (adding x to a zero vector instead would turn a -0.0
// into +0.0).
template <class V>
VQ_ALWAYS_INLINE void splat(V& v, double x) {
    for (int k = 0; k < kLanes<V>; ++k) v[k] = x;
}

// True when the AVX2 versions of the kernels run: the processor has AVX2 and
// FMA, the build does not force SSE2 (VENTARQUILLO_SSE2_ONLY), and
// setSimdQuads(false) has not been called.
bool simdQuads();
// Tests run the kernels both ways; a request for quadruples on a processor
// without AVX2 and FMA is ignored.  Not meant to be called while kernels run.
void setSimdQuads(bool on);

#endif

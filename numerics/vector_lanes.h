// Pairs and quadruples of doubles in one vector register (GCC/Clang vector
// extension).  Each lane is rounded exactly as the scalar operation, and the
// build never fuses a product into a sum behind the code's back, so a loop
// written with them gives the bits of the plain loop; unaligned loads and
// stores go through memcpy.
//
// Pairs fit the SSE2 registers that every x86-64 processor has.  Quadruples
// fill an AVX register; a function built without AVX carries each in two SSE2
// registers, one built with VQ_TARGET_AVX2 in one AVX register.
#ifndef VENTARQUILLO_NUMERICS_VECTOR_LANES_H
#define VENTARQUILLO_NUMERICS_VECTOR_LANES_H

#include <cstring>

// VQ_TARGET_AVX2 marks the AVX2 version of a kernel; it is defined only where
// such versions can be built (x86-64 with GCC or Clang).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VQ_TARGET_AVX2 __attribute__((target("avx2")))
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
// setUseAvx2(false) has not been called.
bool useAvx2();
// The tests run the kernels both ways; a request for AVX2 where it cannot run
// is ignored.  Not meant to be called while kernels run.
void setUseAvx2(bool on);

#endif

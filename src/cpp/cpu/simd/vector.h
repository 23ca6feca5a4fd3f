// Part of one instruction set's copy of the vectorised loops: included by simd_kernels.cpp only,
// inside the copy's own namespace (GYRANT_SIMD_TARGET) and an anonymous one, so that nothing here
// is defined for two instruction sets under one name. The vector types and the helpers every
// other part uses.
#pragma once

#include "cpu/simd_kernels.h"

#include <experimental/simd>

#include <cstdint>

#if !defined(GYRANT_SIMD_TARGET)
#error "compile with -DGYRANT_SIMD_TARGET=<namespace of this copy>"
#endif

namespace gyrant::cpu::GYRANT_SIMD_TARGET {
namespace {

namespace stdx = std::experimental;

//! Lanes of the exact sums: primitives of a leaf, or queries of the all-pairs loops.
using F = stdx::native_simd<float>;

template <class V>
using Int = stdx::rebind_simd_t<std::int32_t, V>;

constexpr unsigned LEAF = PRIMITIVES_PER_LEAF;

template <class V>
inline Int<V> bits_of(V x) {
    return stdx::__proposed::simd_bit_cast<Int<V>>(x);
}
template <class V>
inline V float_of(Int<V> x) {
    return stdx::__proposed::simd_bit_cast<V>(x);
}
template <class V>
inline V load(float const* p) {
    return V(p, stdx::element_aligned);
}

// Without a fused multiply-add instruction (x86-64 below v3) the library's fma is a scalar call
// per lane, fifty times slower than the loop around it. The single-precision far field and the
// fast exact terms need no fusing, so there they round the product first; what must match the
// kernels bit for bit (the acceptance test, the kernel arithmetic) stays fused.
#if defined(__FMA__) || defined(__ARM_FEATURE_FMA)
constexpr bool FUSED = true;
#else
constexpr bool FUSED = false;
#endif

//! a * b + c, fused where the instruction set fuses it.
template <class V>
inline V mul_add(V const& a, V const& b, V const& c) {
    if constexpr (FUSED) return stdx::fma(a, b, c);
    else return a * b + c;
}

}  // namespace
}  // namespace gyrant::cpu::GYRANT_SIMD_TARGET

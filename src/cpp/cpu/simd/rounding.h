// Part of one instruction set's copy of the vectorised loops (see vector.h): the kernels' half
// and bfloat16 roundings, in vectors.
#pragma once

#include "cpu/simd/vector.h"

#if defined(__F16C__)
#include <immintrin.h>
#endif

#include <cmath>
#include <cstdint>

namespace gyrant::cpu::GYRANT_SIMD_TARGET {
namespace {

// A product of two half (or bfloat16) values is exact in float, and a float sum of two of them
// rounded again to half (bfloat16) is the correctly rounded half (bfloat16) sum: float carries
// at least 2p + 2 bits, so the double rounding is innocuous. Each half/bfloat16 operation is
// therefore "compute in float, round to the format". A fused multiply-add is the one exception:
// its float result may be inexact and land exactly on a midpoint of the narrow format, where
// rounding again can go the wrong way. Such lanes are flagged and evaluated by the kernels' own
// scalar code instead (it never happens for most nodes; see Hazard).

//! x rounded to the nearest half value (ties to even), as a float.
template <class V>
inline V round_to_half(V x) {
#if defined(__F16C__)
    if constexpr (sizeof(V) == 32 && V::size() == 8) {
        __m256 const v = static_cast<__m256>(x);
        return V(_mm256_cvtph_ps(_mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC)));
    }
#endif
#if defined(__AVX512F__)
    if constexpr (sizeof(V) == 64 && V::size() == 16) {
        __m512 const v = static_cast<__m512>(x);
        return V(_mm512_cvtph_ps(_mm512_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC)));
    }
#endif
    Int<V> const b = bits_of(x);
    // Normal halves keep 11 significant bits: round the 13 dropped bits to even.
    Int<V> const rounded = (b + 0x0FFF + ((b >> 13) & 1)) & ~0x1FFF;
    V r = float_of<V>(rounded);
    V const a = stdx::abs(x);
    stdx::where(stdx::abs(r) >= 65536.0f, r) = stdx::copysign(V(INFINITY), x);
    // Below 2^-14 halves are spaced 2^-24 apart: adding 0.5 leaves exactly that spacing.
    stdx::where(a < 0x1p-14f, r) = stdx::copysign((a + 0.5f) - 0.5f, x);
    stdx::where(stdx::isnan(x), r) = x;
    return r;
}

//! x rounded to the nearest bfloat16 value (ties to even), as a float.
template <class V>
inline V round_to_bf16(V x) {
    Int<V> const b = bits_of(x);
    Int<V> const rounded = (b + 0x7FFF + ((b >> 16) & 1)) & static_cast<std::int32_t>(0xFFFF0000u);
    V r = float_of<V>(rounded);
    stdx::where(stdx::isnan(x), r) = x;
    return r;
}

//! Lanes whose fused multiply-adds may have rounded twice the wrong way.
template <class V>
struct Hazard {
    typename V::mask_type lanes{false};

    //! p = a * b exactly, s = the float a * b + c: the float sum was exact iff subtracting
    //! either addend gives back the other exactly (an inexact sum's error is a multiple of the
    //! smaller addend's last bit, far above half a float unit of either).
    void note(V const& p, V const& c, V const& s, typename V::mask_type const& on_midpoint) {
        lanes = lanes || (on_midpoint && !((s - p == c) && (s - c == p)));
    }
};

//! Whether float s lies exactly halfway between two neighbouring half values.
template <class V>
inline typename V::mask_type half_midpoint(V s) {
    V const a = stdx::abs(s);
    auto const pattern = stdx::__proposed::static_simd_cast<typename V::mask_type>((bits_of(s) & 0x1FFF) == 0x1000);
    auto const normal = a >= 0x1p-14f && pattern;
    // Subnormal halves are 2^-24 apart: the distance to the nearest one is 2^-25 at a midpoint.
    auto const small = a < 0x1p-14f && stdx::abs(((a + 0.5f) - 0.5f) - a) == 0x1p-25f;
    return normal || small;
}

//! Whether float s lies exactly halfway between two neighbouring bfloat16 values.
template <class V>
inline typename V::mask_type bf16_midpoint(V s) {
    return stdx::__proposed::static_simd_cast<typename V::mask_type>((bits_of(s) & 0xFFFF) == 0x8000);
}

//! Half fused multiply-add a * b + c of half operands.
template <class V>
inline V half_fma(V a, V b, V c, Hazard<V>& hazard) {
    V const p = a * b;
    V const s = stdx::fma(a, b, c);  // = p + c rounded once: p is exact
    hazard.note(p, c, s, half_midpoint(s));
    return round_to_half(s);
}
//! bfloat16 fused multiply-add a * b + c of bfloat16 operands.
template <class V>
inline V bf16_fma(V a, V b, V c, Hazard<V>& hazard) {
    V const p = a * b;
    V const s = stdx::fma(a, b, c);
    hazard.note(p, c, s, bf16_midpoint(s));
    return round_to_bf16(s);
}

}  // namespace
}  // namespace gyrant::cpu::GYRANT_SIMD_TARGET

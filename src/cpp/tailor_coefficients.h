// Second-order multipole ("Tailor") expansion records: single precision while being built,
// half/bfloat16 when stored in the hierarchy.
#pragma once

#include "mat3x3.h"
#include "tensor3.h"
#include "vec3.h"

#include <cstdint>
#include <cstring>

//! Stored form: zero and first order in half, second order in bfloat16. 64-byte aligned so a
//! record is one aligned segment, copied into shared memory as sixteen 32-bit words.
struct alignas(64) TailorCoefficientsF16 {
    Vec3_f16 zero_order;
    Mat3x3_f16 first_order;
    Tensor3_bf16_compressed second_order;
};
static_assert(sizeof(TailorCoefficientsF16) == 64, "TailorCoefficientsF16 has a 64-byte pitch");
static_assert(alignof(TailorCoefficientsF16) == 64, "TailorCoefficientsF16 is 64-byte aligned");

namespace gyrant_detail {
//! Software decoding of an IEEE half bit pattern (exact).
inline float half_bits_to_float(uint16_t h) {
    uint32_t const sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    uint32_t exponent = (h >> 10) & 0x1fu;
    uint32_t fraction = h & 0x3ffu;
    uint32_t bits;
    if (exponent == 0) {
        if (fraction == 0) {
            bits = sign;
        } else {  // subnormal: normalise
            int shift = 0;
            while ((fraction & 0x400u) == 0) {
                fraction <<= 1;
                ++shift;
            }
            fraction &= 0x3ffu;
            bits = sign | ((127 - 15 + 1 - shift) << 23) | (fraction << 13);
        }
    } else if (exponent == 31) {
        bits = sign | 0x7f800000u | (fraction << 13);  // infinity, or NaN keeping its payload
    } else {
        bits = sign | ((exponent + 127 - 15) << 23) | (fraction << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
//! A bfloat16 is the upper half of a float's bit pattern.
inline float bf16_bits_to_float(uint16_t b) {
    uint32_t const bits = static_cast<uint32_t>(b) << 16;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
}  // namespace gyrant_detail

//! Working form in single precision.
struct TailorCoefficients {
    Vec3 zero_order;
    Mat3x3 first_order;
    Tensor3_compressed second_order;

    //! Exact widening. Device code uses the conversion instructions; host code decodes the bit
    //! patterns itself.
    GYRANT_HOST_DEVICE static TailorCoefficients from_f16(TailorCoefficientsF16 const& h) {
#if defined(__CUDA_ARCH__)
        return {Vec3::from_f16(h.zero_order), Mat3x3::from_f16(h.first_order),
                Tensor3_compressed::from_f16(h.second_order)};
#else
        TailorCoefficients r;
        r.zero_order = {gyrant_detail::half_bits_to_float(__half_as_ushort(h.zero_order.x)),
                        gyrant_detail::half_bits_to_float(__half_as_ushort(h.zero_order.y)),
                        gyrant_detail::half_bits_to_float(__half_as_ushort(h.zero_order.z))};
        for (int k = 0; k < 9; ++k)
            r.first_order.m[k] = gyrant_detail::half_bits_to_float(__half_as_ushort(h.first_order.m[k]));
        for (int k = 0; k < 18; ++k)
            r.second_order.t[k] =
                gyrant_detail::bf16_bits_to_float(__bfloat16_as_ushort(h.second_order.t[k]));
        return r;
#endif
    }
};
static_assert(sizeof(TailorCoefficients) == 120, "TailorCoefficients is 30 packed floats");

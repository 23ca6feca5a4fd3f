// Second-order expansion coefficients: a 3x3x3 tensor symmetric in one index pair, stored as
// 18 values t[3*b + s] (b = pair xx, xy, xz, yy, yz, zz; s = single index x, y, z).
#pragma once

#include "platform.h"

struct Tensor3_bf16_compressed;

struct Tensor3_compressed {
    float t[18];

    //! Exact widening; named from_f16 although its argument is bfloat16.
    GYRANT_HOST_DEVICE static Tensor3_compressed from_f16(Tensor3_bf16_compressed const& b);
};
static_assert(sizeof(Tensor3_compressed) == 72, "Tensor3_compressed is 18 packed floats");

struct Tensor3_bf16_compressed {
    __nv_bfloat16 t[18];

    GYRANT_HOST_DEVICE Tensor3_bf16_compressed& operator=(Tensor3_compressed const& f) {
        GYRANT_UNROLL
        for (int k = 0; k < 18; ++k) t[k] = __float2bfloat16_rn(f.t[k]);
        return *this;
    }
};
static_assert(sizeof(Tensor3_bf16_compressed) == 36, "Tensor3_bf16_compressed is 18 bfloat16");

GYRANT_HOST_DEVICE inline Tensor3_compressed Tensor3_compressed::from_f16(
    Tensor3_bf16_compressed const& b) {
    Tensor3_compressed r;
    GYRANT_UNROLL
    for (int k = 0; k < 18; ++k) r.t[k] = __bfloat162float(b.t[k]);
    return r;
}

// First-order expansion coefficients (3x3 matrices) and the symmetric second moment.
#pragma once

#include "platform.h"

//! Row-major 3x3 matrix; element (row i, column j) at m[3i + j].
struct Mat3x3 {
    float m[9];

    GYRANT_HOST_DEVICE Mat3x3& operator+=(Mat3x3 const& o) {
        GYRANT_UNROLL
        for (int k = 0; k < 9; ++k) m[k] += o.m[k];
        return *this;
    }
    GYRANT_HOST_DEVICE Mat3x3 operator+(Mat3x3 const& o) const {
        Mat3x3 r = *this;
        r += o;
        return r;
    }
    GYRANT_HOST_DEVICE static Mat3x3 from_f16(struct Mat3x3_f16 const& h);
};
static_assert(sizeof(Mat3x3) == 36, "Mat3x3 is nine packed floats");

//! The same matrix in half precision, same element order.
struct Mat3x3_f16 {
    __half m[9];

    GYRANT_HOST_DEVICE Mat3x3_f16& operator=(Mat3x3 const& f) {
        GYRANT_UNROLL
        for (int k = 0; k < 9; ++k) m[k] = __float2half_rn(f.m[k]);
        return *this;
    }
};
static_assert(sizeof(Mat3x3_f16) == 18, "Mat3x3_f16 is nine packed halves");

GYRANT_HOST_DEVICE inline Mat3x3 Mat3x3::from_f16(Mat3x3_f16 const& h) {
    Mat3x3 r;
    GYRANT_UNROLL
    for (int k = 0; k < 9; ++k) r.m[k] = __half2float(h.m[k]);
    return r;
}

//! The six independent elements of a symmetric 3x3 matrix.
struct SymMat3x3 {
    float xx, xy, xz, yy, yz, zz;

    GYRANT_HOST_DEVICE SymMat3x3 operator+(SymMat3x3 const& o) const {
        return {xx + o.xx, xy + o.xy, xz + o.xz, yy + o.yy, yz + o.yz, zz + o.zz};
    }
    GYRANT_HOST_DEVICE SymMat3x3 operator*(float s) const {
        return {xx * s, xy * s, xz * s, yy * s, yz * s, zz * s};
    }
};
static_assert(sizeof(SymMat3x3) == 24, "SymMat3x3 is six packed floats");

// Single-precision and 16-bit three-component vectors.
#pragma once

#include "platform.h"
#include "mat3x3.h"

#include <cmath>

struct Vec3;
struct AABB;

//! Half-precision vector (box corners, zero-order coefficients, evaluation directions).
struct Vec3_f16 {
    __half x, y, z;

    GYRANT_HOST_DEVICE static Vec3_f16 from_float(Vec3 const& v);
    GYRANT_HOST_DEVICE Vec3_f16& operator=(Vec3 const& v);

    //! Componentwise half subtraction, each result rounded to half.
    GYRANT_HOST_DEVICE Vec3_f16 operator-(Vec3_f16 const& o) const {
        return {__hsub_rn(x, o.x), __hsub_rn(y, o.y), __hsub_rn(z, o.z)};
    }
    //! ((x*x) + (y*y)) + (z*z), every step rounded to half; no fused multiply-add.
    GYRANT_HOST_DEVICE __half length2() const {
        return __hadd_rn(__hadd_rn(__hmul_rn(x, x), __hmul_rn(y, y)), __hmul_rn(z, z));
    }
};
static_assert(sizeof(Vec3_f16) == 6, "Vec3_f16 is three packed halves");

//! bfloat16 vector: the direction of the second-order evaluation.
struct Vec3_bf16 {
    __nv_bfloat16 x, y, z;

    //! Half to bfloat16, round to nearest even (the half widens to float exactly first).
    GYRANT_HOST_DEVICE static Vec3_bf16 from_f16(Vec3_f16 const& h) {
        return {__float2bfloat16_rn(__half2float(h.x)), __float2bfloat16_rn(__half2float(h.y)),
                __float2bfloat16_rn(__half2float(h.z))};
    }
};
static_assert(sizeof(Vec3_bf16) == 6, "Vec3_bf16 is three packed bfloat16");

struct Vec3 {
    float x, y, z;

    GYRANT_HOST_DEVICE Vec3 operator+(Vec3 const& b) const { return {x + b.x, y + b.y, z + b.z}; }
    GYRANT_HOST_DEVICE Vec3& operator+=(Vec3 const& b) {
        x += b.x;
        y += b.y;
        z += b.z;
        return *this;
    }
    GYRANT_HOST_DEVICE Vec3 operator-(Vec3 const& b) const { return {x - b.x, y - b.y, z - b.z}; }
    GYRANT_HOST_DEVICE Vec3 operator*(float s) const { return {x * s, y * s, z * s}; }
    //! One reciprocal, three multiplies (a constant divisor folds to its rounded reciprocal).
    GYRANT_HOST_DEVICE Vec3 operator/(float s) const {
        float const r = 1.0f / s;
        return {x * r, y * r, z * r};
    }
    GYRANT_HOST_DEVICE float dot(Vec3 const& b) const { return x * b.x + y * b.y + z * b.z; }
    GYRANT_HOST_DEVICE static Vec3 cross(Vec3 const& a, Vec3 const& b) {
        return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
    }
    GYRANT_HOST_DEVICE float length2() const { return x * x + y * y + z * z; }
    GYRANT_HOST_DEVICE float length() const { return sqrtf(length2()); }
    GYRANT_HOST_DEVICE float inv_length() const { return rsqrtf(length2()); }
    //! Row i, column j = this_i * b_j.
    GYRANT_HOST_DEVICE Mat3x3 outer_product(Vec3 const& b) const {
        return {{x * b.x, x * b.y, x * b.z, y * b.x, y * b.y, y * b.z, z * b.x, z * b.y, z * b.z}};
    }
    //! A point is its own centroid.
    GYRANT_HOST_DEVICE Vec3 centroid() const { return *this; }
    GYRANT_HOST_DEVICE AABB get_aabb() const;  // aabb.h
    GYRANT_HOST_DEVICE static Vec3 from_f16(Vec3_f16 const& h) {
        return {__half2float(h.x), __half2float(h.y), __half2float(h.z)};
    }
};
static_assert(sizeof(Vec3) == 12, "Vec3 is three packed floats (query rows)");

//! Query q in an engine's frame, whose coordinates are the caller's times `scale` (a power of
//! two). A finite coordinate that the scaling carries past the float range stays the largest
//! float: that far away nothing changes, and an infinity would make every term NaN.
GYRANT_HOST_DEVICE inline Vec3 in_engine_frame(Vec3 const& q, float scale) {
    constexpr float largest = 3.40282347e38f;
    auto const one = [&](float c) {
        float const r = c * scale;
        return fabsf(r) > largest && fabsf(c) <= largest ? copysignf(largest, r) : r;
    };
    return {one(q.x), one(q.y), one(q.z)};
}

GYRANT_HOST_DEVICE inline Vec3_f16 Vec3_f16::from_float(Vec3 const& v) {
    return {__float2half_rn(v.x), __float2half_rn(v.y), __float2half_rn(v.z)};
}
GYRANT_HOST_DEVICE inline Vec3_f16& Vec3_f16::operator=(Vec3 const& v) {
    *this = from_float(v);
    return *this;
}

// Far-field acceptance test and evaluation of a node's second-order expansion at a query point.
//
// With R = |center - q| and d = (center - q) / R the expansion evaluates to
//     (1 / 4pi) * [ Z / R^2 + F / R^3 + S / R^4 ],
//     Z = z . d,   F = tr(m) - 3 d^T m d,   S = 15 C - (6 A + 3 B),
// where C, A and B are the full and the two partial contractions of the second-order tensor
// with d. Distances and weights are single precision; Z and F are formed in half precision and
// S in bfloat16, in a fixed order of operations. Every product that feeds a separate addition
// uses the `_rn` form, which the compiler may not fuse into a fused multiply-add: both flavours
// then round every step exactly once and agree to the bit (apart from the approximate rsqrt).
#pragma once

#include "platform.h"
#include "aabb.h"
#include "kernel_constants.h"
#include "tailor_coefficients.h"
#include "vec3.h"

// The paired half and bfloat16 fused multiply-adds exist only on the device in the cuda flavour,
// so the evaluation is device code there; in the host flavour the host layer supplies them and
// these are ordinary inline functions.
#if defined(GYRANT_FLAVOUR_CUDA)
#define GYRANT_NODE_APPROX __device__ inline
#else
#define GYRANT_NODE_APPROX inline
#endif


//! True when q is far enough from the box to use its expansion: the squared distance to the
//! centre is strictly greater than beta_squared * radius^2. A query at the centre is never
//! accepted; a NaN radius is never accepted.
GYRANT_HOST_DEVICE inline bool should_node_be_approximated(Vec3 const& q, AABB const& box,
                                                           float beta_squared) {
    float const r = __half2float(box.radius);
    Vec3 const u = q - box.center;
    float d2 = u.y * u.y;
    d2 = fmaf(u.x, u.x, d2);
    d2 = fmaf(u.z, u.z, d2);
    return d2 > beta_squared * (r * r);
}

//! How far outside its bound a query must be for a point cloud's node, leaf or group to be
//! accepted: the smoothing band's end (2 epsilon, epsilon in the engine's frame), inside which the
//! regularised dipole is not the plain one its expansion stands for. 0 without smoothing
//! (epsilon 0 or NaN); an infinite epsilon accepts nothing.
GYRANT_HOST_DEVICE inline float acceptance_band(float epsilon) {
    return epsilon > 0.0f ? SMOOTHING_BAND_END * epsilon : 0.0f;
}

//! The acceptance test of every summing walk over points: beta times the radius, as above, and
//! with smoothing (band > 0) also outside the smoothing band (distance > r + band); the native
//! walk forms the same operations.
GYRANT_HOST_DEVICE inline bool should_node_be_approximated(Vec3 const& q, AABB const& box, float beta_squared,
                                                           float band) {
    float const r = __half2float(box.radius);
    Vec3 const u = q - box.center;
    float d2 = u.y * u.y;
    d2 = fmaf(u.x, u.x, d2);
    d2 = fmaf(u.z, u.z, d2);
    float const reach = r + band;
    return d2 > beta_squared * (r * r) && (!(band > 0.0f) || d2 > reach * reach);
}

//! Z = z . d in half precision: the x and z products share the low lane of one paired fma.
GYRANT_NODE_APPROX float computeZeroOrderContribution(Vec3_f16 const& zero,
                                                             Vec3_f16 const& dir) {
    __half const h0 = __float2half_rn(0.0f);
    __half2 p = __hmul2_rn(__halves2half2(zero.x, zero.y), __halves2half2(dir.x, dir.y));
    p = __hfma2(__halves2half2(zero.z, h0), __halves2half2(dir.z, h0), p);
    return __half2float(__hadd_rn(__low2half(p), __high2half(p)));
}

//! F = trace(m) - 3 d^T m d in half precision. The quadratic form reads only the symmetric part
//! of m, so transposing m does not change F.
GYRANT_NODE_APPROX float computeFirstOrderContribution(Mat3x3_f16 const& first,
                                                              Vec3_f16 const& dir) {
    __half const* m = first.m;
    __half const trace = __hadd_rn(__hadd_rn(m[0], m[4]), m[8]);
    __half const s01 = __hadd_rn(m[1], m[3]);
    __half const s02 = __hadd_rn(m[2], m[6]);
    __half const s12 = __hadd_rn(m[5], m[7]);

    __half2 const xx_yy = __hmul2_rn(__halves2half2(dir.x, dir.y), __halves2half2(dir.x, dir.y));
    __half2 const zz_xy = __hmul2_rn(__halves2half2(dir.z, dir.x), __halves2half2(dir.z, dir.y));
    __half2 const xz_yz = __hmul2_rn(__halves2half2(dir.x, dir.y), __halves2half2(dir.z, dir.z));

    __half const h0 = __float2half_rn(0.0f);
    __half2 acc = __halves2half2(h0, h0);
    acc = __hfma2(__halves2half2(m[0], m[4]), xx_yy, acc);
    acc = __hfma2(__halves2half2(m[8], s01), zz_xy, acc);
    acc = __hfma2(__halves2half2(s02, s12), xz_yz, acc);

    __half const quad = __hadd_rn(__low2half(acc), __high2half(acc));
    return __half2float(__hsub_rn(trace, __hmul_rn(quad, __float2half_rn(3.0f))));
}

//! S = 15 C - (6 A + 3 B) in bfloat16, with C = sum T(p,q;s) d_p d_q d_s,
//! A = sum_k d_k sum_s T(s,k;s) and B = sum_k d_k sum_i T(i,i;k).
GYRANT_NODE_APPROX float computeSecondOrderContribution(Tensor3_bf16_compressed const& second,
                                                               Vec3_f16 const& dir) {
    using bf = __nv_bfloat16;
    Vec3_bf16 const b = Vec3_bf16::from_f16(dir);
    bf const* t = second.t;
    bf const two = __float2bfloat16_rn(2.0f);

    // Partial contractions: the single index with one pair index, and the trace over the pair.
    bf const ax = __hadd_rn(__hadd_rn(t[0], t[4]), t[8]);
    bf const ay = __hadd_rn(__hadd_rn(t[3], t[10]), t[14]);
    bf const az = __hadd_rn(__hadd_rn(t[6], t[13]), t[17]);
    bf const A = __hadd_rn(__hadd_rn(__hmul_rn(ax, b.x), __hmul_rn(ay, b.y)), __hmul_rn(az, b.z));
    bf const cx = __hadd_rn(__hadd_rn(t[0], t[9]), t[15]);
    bf const cy = __hadd_rn(__hadd_rn(t[1], t[10]), t[16]);
    bf const cz = __hadd_rn(__hadd_rn(t[2], t[11]), t[17]);
    bf const B = __hadd_rn(__hadd_rn(__hmul_rn(cx, b.x), __hmul_rn(cy, b.y)), __hmul_rn(cz, b.z));

    bf const xx = __hmul_rn(b.x, b.x), yy = __hmul_rn(b.y, b.y), zz = __hmul_rn(b.z, b.z);
    bf const xy = __hmul_rn(b.x, b.y), xz = __hmul_rn(b.x, b.z), yz = __hmul_rn(b.y, b.z);
    // An off-diagonal pair is stored once and stands for both of its orders, hence the 2.
    auto twice = [two](bf u, bf v) { return __hmul_rn(__hmul_rn(u, v), two); };
    auto pair = [](bf lo, bf hi) { return __halves2bfloat162(lo, hi); };

    __nv_bfloat162 c = __hmul2_rn(pair(t[0], t[1]), pair(__hmul_rn(xx, b.x), __hmul_rn(xx, b.y)));
    c = __hfma2(pair(t[2], t[3]), pair(__hmul_rn(xx, b.z), twice(xy, b.x)), c);
    c = __hfma2(pair(t[4], t[5]), pair(twice(xy, b.y), twice(xz, b.y)), c);
    c = __hfma2(pair(t[6], t[7]), pair(twice(xz, b.x), twice(yz, b.x)), c);
    c = __hfma2(pair(t[8], t[9]), pair(twice(xz, b.z), __hmul_rn(yy, b.x)), c);
    c = __hfma2(pair(t[10], t[11]), pair(__hmul_rn(yy, b.y), __hmul_rn(yy, b.z)), c);
    c = __hfma2(pair(t[12], t[13]), pair(twice(yz, b.x), twice(yz, b.y)), c);
    c = __hfma2(pair(t[14], t[15]), pair(twice(yz, b.z), __hmul_rn(zz, b.x)), c);
    c = __hfma2(pair(t[16], t[17]), pair(__hmul_rn(zz, b.y), __hmul_rn(zz, b.z)), c);
    bf const C = __hadd_rn(__low2bfloat16(c), __high2bfloat16(c));

    bf const S = __hsub_rn(
        __hmul_rn(C, __float2bfloat16_rn(15.0f)),
        __hfma(A, __float2bfloat16_rn(6.0f), __hmul_rn(B, __float2bfloat16_rn(3.0f))));
    return __bfloat162float(S);
}

//! Value of the expansion (zero, first, second) about `center` at q. Only defined for q away
//! from the centre; the acceptance test guarantees that.
GYRANT_NODE_APPROX float compute_node_approximation(Vec3 const& q, Vec3 const& center,
                                                           Vec3_f16 const& zero,
                                                           Mat3x3_f16 const& first,
                                                           Tensor3_bf16_compressed const& second) {
    Vec3 const v = center - q;
    float d2 = v.y * v.y;
    d2 = fmaf(v.x, v.x, d2);
    d2 = fmaf(v.z, v.z, d2);
    float const inv_r = rsqrtf(d2);
    Vec3_f16 const dir = Vec3_f16::from_float(v * inv_r);

    float const inv_r2 = inv_r * inv_r;
    float const inv_r3 = inv_r * inv_r2;
    float const inv_r4 = inv_r * inv_r3;
    float const w0 = inv_r2 * INV_FOUR_PI;
    float const w1 = inv_r3 * INV_FOUR_PI;
    float const w2 = inv_r4 * INV_FOUR_PI;

    float result = fmaf(w0, computeZeroOrderContribution(zero, dir), 0.0f);
    result = fmaf(w1, computeFirstOrderContribution(first, dir), result);
    result = fmaf(w2, computeSecondOrderContribution(second, dir), result);
    return result;
}

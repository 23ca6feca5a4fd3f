// Part of one instruction set's copy of the vectorised loops (see vector.h): one child's
// expansion at the queries of a packet, as the kernels evaluate it and in single precision.
#pragma once

#include "cpu/simd/rounding.h"
#include "cpu/simd/vector.h"

#include <experimental/simd>

namespace gyrant::cpu::GYRANT_SIMD_TARGET {
namespace {

//! Queries walked together, one per lane, like the kernels' warp: Morton neighbours visit
//! nearly the same nodes, and one visit serves them all.
//! At most WALK_PACKET, and no wider than a native vector: wider ones are emulated in pieces
//! and spill (a packet's sums do not depend on its width).
constexpr unsigned PACKET = F::size() < WALK_PACKET ? F::size() : WALK_PACKET;
static_assert(WALK_PACKET % PACKET == 0, "walks hand out whole packets");
using FP = stdx::simd<float, stdx::simd_abi::deduce_t<float, PACKET>>;
using DP = stdx::rebind_simd_t<double, FP>;

//! The engine's stored expansion of slot k of node w.
template <class T>
inline TailorCoefficientsF16 const& stored_expansion(QueryJob<T> const& job, WideNode const& w, unsigned k) {
    return (w.leaf_mask >> k) & 1u ? job.leaf_coefficients[w.child[k]] : job.node_coefficients[w.child[k] - 1];
}

//! The expansion `stored` about `center` at the lanes' queries, exactly as the kernels evaluate
//! it: Z and F in half precision, S in bfloat16, in their order of operations.
inline FP node_approximations(FP const& qx, FP const& qy, FP const& qz, Vec3 const& center,
                              TailorCoefficientsF16 const& stored, Hazard<FP>& hazard) {
    auto const H = [](FP x) { return round_to_half(x); };
    auto const B = [](FP x) { return round_to_bf16(x); };
    TailorCoefficients const widened = TailorCoefficients::from_f16(stored);
    float const* flat = &widened.zero_order.x;
    auto const coefficient = [&](unsigned k) { return FP(flat[k]); };

    FP const vx = center.x - qx;
    FP const vy = center.y - qy;
    FP const vz = center.z - qz;
    FP d2 = vy * vy;
    d2 = stdx::fma(vx, vx, d2);
    d2 = stdx::fma(vz, vz, d2);
    // The kernels' reciprocal square root, correctly rounded: formed in double.
    FP const inv_r = stdx::static_simd_cast<FP>(DP(1.0) / stdx::sqrt(stdx::static_simd_cast<DP>(d2)));
    FP const dx = H(vx * inv_r), dy = H(vy * inv_r), dz = H(vz * inv_r);

    FP const inv_r2 = inv_r * inv_r;
    FP const inv_r3 = inv_r * inv_r2;
    FP const inv_r4 = inv_r * inv_r3;
    FP const w0 = inv_r2 * INV_FOUR_PI;
    FP const w1 = inv_r3 * INV_FOUR_PI;
    FP const w2 = inv_r4 * INV_FOUR_PI;

    // Z = z . d: x and y products, then z fused into the x lane; the y lane's fused 0 * 0 turns
    // a -0 into +0 like the paired instruction does.
    FP px = H(coefficient(0) * dx);
    FP py = H(coefficient(1) * dy);
    px = half_fma(coefficient(2), dz, px, hazard);
    py = py + 0.0f;
    FP const Z = H(px + py);

    // F = trace(m) - 3 d^T m d.
    FP const m0 = coefficient(3), m1 = coefficient(4), m2 = coefficient(5);
    FP const m3 = coefficient(6), m4 = coefficient(7), m5 = coefficient(8);
    FP const m6 = coefficient(9), m7 = coefficient(10), m8 = coefficient(11);
    FP const trace = H(H(m0 + m4) + m8);
    FP const s01 = H(m1 + m3), s02 = H(m2 + m6), s12 = H(m5 + m7);
    FP const xx = H(dx * dx), yy = H(dy * dy), zz = H(dz * dz);
    FP const xy = H(dx * dy), xz = H(dx * dz), yz = H(dy * dz);
    FP lo = H(m0 * xx + 0.0f), hi = H(m4 * yy + 0.0f);
    lo = half_fma(m8, zz, lo, hazard);
    hi = half_fma(s01, xy, hi, hazard);
    lo = half_fma(s02, xz, lo, hazard);
    hi = half_fma(s12, yz, hi, hazard);
    FP const quad = H(lo + hi);
    FP const Fo = H(trace - H(quad * 3.0f));

    // S = 15 C - (6 A + 3 B) in bfloat16.
    FP t[18];
    for (unsigned k = 0; k < 18; ++k) t[k] = coefficient(12 + k);
    FP const bx = B(dx), by = B(dy), bz = B(dz);
    FP const ax = B(B(t[0] + t[4]) + t[8]);
    FP const ay = B(B(t[3] + t[10]) + t[14]);
    FP const az = B(B(t[6] + t[13]) + t[17]);
    FP const A = B(B(B(ax * bx) + B(ay * by)) + B(az * bz));
    FP const cx = B(B(t[0] + t[9]) + t[15]);
    FP const cy = B(B(t[1] + t[10]) + t[16]);
    FP const cz = B(B(t[2] + t[11]) + t[17]);
    FP const Bc = B(B(B(cx * bx) + B(cy * by)) + B(cz * bz));

    FP const bxx = B(bx * bx), byy = B(by * by), bzz = B(bz * bz);
    FP const bxy = B(bx * by), bxz = B(bx * bz), byz = B(by * bz);
    auto const twice = [&](FP u, FP v) { return B(B(u * v) * 2.0f); };
    FP c_lo = B(t[0] * B(bxx * bx));
    FP c_hi = B(t[1] * B(bxx * by));
    c_lo = bf16_fma(t[2], B(bxx * bz), c_lo, hazard);
    c_hi = bf16_fma(t[3], twice(bxy, bx), c_hi, hazard);
    c_lo = bf16_fma(t[4], twice(bxy, by), c_lo, hazard);
    c_hi = bf16_fma(t[5], twice(bxz, by), c_hi, hazard);
    c_lo = bf16_fma(t[6], twice(bxz, bx), c_lo, hazard);
    c_hi = bf16_fma(t[7], twice(byz, bx), c_hi, hazard);
    c_lo = bf16_fma(t[8], twice(bxz, bz), c_lo, hazard);
    c_hi = bf16_fma(t[9], B(byy * bx), c_hi, hazard);
    c_lo = bf16_fma(t[10], B(byy * by), c_lo, hazard);
    c_hi = bf16_fma(t[11], B(byy * bz), c_hi, hazard);
    c_lo = bf16_fma(t[12], twice(byz, bx), c_lo, hazard);
    c_hi = bf16_fma(t[13], twice(byz, by), c_hi, hazard);
    c_lo = bf16_fma(t[14], twice(byz, bz), c_lo, hazard);
    c_hi = bf16_fma(t[15], B(bzz * bx), c_hi, hazard);
    c_lo = bf16_fma(t[16], B(bzz * by), c_lo, hazard);
    c_hi = bf16_fma(t[17], B(bzz * bz), c_hi, hazard);
    FP const C = B(c_lo + c_hi);
    FP const S = B(B(C * 15.0f) - bf16_fma(A, FP(6.0f), B(Bc * 3.0f), hazard));

    FP result = stdx::fma(w0, Z, FP(0.0f));
    result = stdx::fma(w1, Fo, result);
    result = stdx::fma(w2, S, result);
    return result;
}

//! An expansion in single precision from its terms (a node's far[k], or a group's) at the
//! lanes' offsets u = q - c from its centre, |u|^2 = d2: what the walk uses. For a node it
//! differs from the kernels' value by their half/bfloat16 rounding only (and is closer to the
//! exact value of the expansion).
inline FP far_field(FP const& ux, FP const& uy, FP const& uz, FP const& d2, float const (&far)[WideNode::FAR_TERMS]) {
    using W = WideNode;
    auto const T = [&](W::Far term) { return FP(far[term]); };
    // u = q - c, so the direction from the query to the centre is -u / R.
    FP const inv_r = 1.0f / stdx::sqrt(d2);
    FP const towards = -inv_r;
    FP const x = ux * towards, y = uy * towards, z = uz * towards;
    FP const xx = x * x, yy = y * y, zz = z * z, xy = x * y, xz = x * z, yz = y * z;
    FP const Z = mul_add(T(W::Z_X), x, mul_add(T(W::Z_Y), y, T(W::Z_Z) * z));
    // Two accumulators per form: half the dependent chain.
    FP q0 = T(W::Q_XX) * xx, q1 = T(W::Q_YY) * yy;
    q0 = mul_add(T(W::Q_ZZ), zz, q0);
    q1 = mul_add(T(W::Q_XY), xy, q1);
    q0 = mul_add(T(W::Q_XZ), xz, q0);
    q1 = mul_add(T(W::Q_YZ), yz, q1);
    FP const F = mul_add(FP(-3.0f), q0 + q1, T(W::TRACE));
    // The cubic grouped by the squares: xx (.) + yy (.) + zz (.) + xyz, fewer products.
    FP const gx = mul_add(T(W::C_XXZ), z, mul_add(T(W::C_XXY), y, T(W::C_XXX) * x));
    FP const gy = mul_add(T(W::C_YYZ), z, mul_add(T(W::C_YYY), y, T(W::C_XYY) * x));
    FP const gz = mul_add(T(W::C_ZZZ), z, mul_add(T(W::C_YZZ), y, T(W::C_XZZ) * x));
    FP const c0 = mul_add(yy, gy, xx * gx);
    FP const c1 = mul_add(T(W::C_XYZ), xy * z, zz * gz);
    FP const l = mul_add(T(W::L_Z), z, mul_add(T(W::L_Y), y, T(W::L_X) * x));
    FP const S = (c0 + c1) + l;
    // (Z / R^2 + F / R^3 + S / R^4) / (4 pi), by Horner in 1 / R.
    return (inv_r * inv_r) * mul_add(inv_r, mul_add(inv_r, S, F), Z) * INV_FOUR_PI;
}

}  // namespace
}  // namespace gyrant::cpu::GYRANT_SIMD_TARGET

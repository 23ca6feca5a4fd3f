// The vectorised inner loops of the native CPU code, compiled once per instruction set into the
// namespace GYRANT_SIMD_TARGET (see simd_kernels.h). Vectors come from std::experimental::simd.
//
// Every formula follows the kernel it stands for operation by operation: the same products,
// sums and fused multiply-adds in the same order (this file is compiled with -ffp-contract=off,
// so no other fusing happens), the same half/bfloat16 roundings, and subnormals flushed as the
// caller sets up. Triangle contributions use a vectorised atan2 (the kernels use the C
// library's); everything else gives the kernels' values bit for bit.
#include "cpu/simd_kernels.h"

#include <experimental/simd>

#if defined(__F16C__)
#include <immintrin.h>
#endif

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <bitset>
#include <cstring>
#include <utility>

#if !defined(GYRANT_SIMD_TARGET)
#error "compile with -DGYRANT_SIMD_TARGET=<namespace of this copy>"
#endif

// Everything reachable from an entry point is inlined into it, so this copy emits no function
// that another translation unit could share.
#define GYRANT_SIMD_ENTRY __attribute__((flatten))

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

// ---- half and bfloat16 roundings -------------------------------------------------------------
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

// ---- far field: one child's expansion at the queries of a packet -----------------------------

//! Queries walked together, one per lane, like the kernels' warp: Morton neighbours visit
//! nearly the same nodes, and one visit serves them all.
//! At most WALK_PACKET, and no wider than a native vector: wider ones are emulated in pieces
//! and spill (a packet's sums do not depend on its width).
constexpr unsigned PACKET = F::size() < WALK_PACKET ? F::size() : WALK_PACKET;
static_assert(WALK_PACKET % PACKET == 0, "walks hand out whole packets");
using FP = stdx::simd<float, stdx::simd_abi::deduce_t<float, PACKET>>;
using DP = stdx::rebind_simd_t<double, FP>;
using FW = FP;
using DW = DP;

//! The engine's stored expansion of slot k of node w.
template <class T>
inline TailorCoefficientsF16 const& stored_expansion(QueryJob<T> const& job, WideNode const& w, unsigned k) {
    return (w.leaf_mask >> k) & 1u ? job.leaf_coefficients[w.child[k]] : job.node_coefficients[w.child[k] - 1];
}

//! The expansion `stored` about `center` at the lanes' queries, exactly as the kernels evaluate
//! it: Z and F in half precision, S in bfloat16, in their order of operations.
inline FW node_approximations(FW const& qx, FW const& qy, FW const& qz, Vec3 const& center,
                              TailorCoefficientsF16 const& stored, Hazard<FW>& hazard) {
    auto const H = [](FW x) { return round_to_half(x); };
    auto const B = [](FW x) { return round_to_bf16(x); };
    TailorCoefficients const widened = TailorCoefficients::from_f16(stored);
    float const* flat = &widened.zero_order.x;
    auto const coefficient = [&](unsigned k) { return FW(flat[k]); };

    FW const vx = center.x - qx;
    FW const vy = center.y - qy;
    FW const vz = center.z - qz;
    FW d2 = vy * vy;
    d2 = stdx::fma(vx, vx, d2);
    d2 = stdx::fma(vz, vz, d2);
    // The kernels' reciprocal square root, correctly rounded: formed in double.
    FW const inv_r = stdx::static_simd_cast<FW>(DW(1.0) / stdx::sqrt(stdx::static_simd_cast<DW>(d2)));
    FW const dx = H(vx * inv_r), dy = H(vy * inv_r), dz = H(vz * inv_r);

    FW const inv_r2 = inv_r * inv_r;
    FW const inv_r3 = inv_r * inv_r2;
    FW const inv_r4 = inv_r * inv_r3;
    FW const w0 = inv_r2 * INV_FOUR_PI;
    FW const w1 = inv_r3 * INV_FOUR_PI;
    FW const w2 = inv_r4 * INV_FOUR_PI;

    // Z = z . d: x and y products, then z fused into the x lane; the y lane's fused 0 * 0 turns
    // a -0 into +0 like the paired instruction does.
    FW px = H(coefficient(0) * dx);
    FW py = H(coefficient(1) * dy);
    px = half_fma(coefficient(2), dz, px, hazard);
    py = py + 0.0f;
    FW const Z = H(px + py);

    // F = trace(m) - 3 d^T m d.
    FW const m0 = coefficient(3), m1 = coefficient(4), m2 = coefficient(5);
    FW const m3 = coefficient(6), m4 = coefficient(7), m5 = coefficient(8);
    FW const m6 = coefficient(9), m7 = coefficient(10), m8 = coefficient(11);
    FW const trace = H(H(m0 + m4) + m8);
    FW const s01 = H(m1 + m3), s02 = H(m2 + m6), s12 = H(m5 + m7);
    FW const xx = H(dx * dx), yy = H(dy * dy), zz = H(dz * dz);
    FW const xy = H(dx * dy), xz = H(dx * dz), yz = H(dy * dz);
    FW lo = H(m0 * xx + 0.0f), hi = H(m4 * yy + 0.0f);
    lo = half_fma(m8, zz, lo, hazard);
    hi = half_fma(s01, xy, hi, hazard);
    lo = half_fma(s02, xz, lo, hazard);
    hi = half_fma(s12, yz, hi, hazard);
    FW const quad = H(lo + hi);
    FW const Fo = H(trace - H(quad * 3.0f));

    // S = 15 C - (6 A + 3 B) in bfloat16.
    FW t[18];
    for (unsigned k = 0; k < 18; ++k) t[k] = coefficient(12 + k);
    FW const bx = B(dx), by = B(dy), bz = B(dz);
    FW const ax = B(B(t[0] + t[4]) + t[8]);
    FW const ay = B(B(t[3] + t[10]) + t[14]);
    FW const az = B(B(t[6] + t[13]) + t[17]);
    FW const A = B(B(B(ax * bx) + B(ay * by)) + B(az * bz));
    FW const cx = B(B(t[0] + t[9]) + t[15]);
    FW const cy = B(B(t[1] + t[10]) + t[16]);
    FW const cz = B(B(t[2] + t[11]) + t[17]);
    FW const Bc = B(B(B(cx * bx) + B(cy * by)) + B(cz * bz));

    FW const bxx = B(bx * bx), byy = B(by * by), bzz = B(bz * bz);
    FW const bxy = B(bx * by), bxz = B(bx * bz), byz = B(by * bz);
    auto const twice = [&](FW u, FW v) { return B(B(u * v) * 2.0f); };
    FW c_lo = B(t[0] * B(bxx * bx));
    FW c_hi = B(t[1] * B(bxx * by));
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
    FW const C = B(c_lo + c_hi);
    FW const S = B(B(C * 15.0f) - bf16_fma(A, FW(6.0f), B(Bc * 3.0f), hazard));

    FW result = stdx::fma(w0, Z, FW(0.0f));
    result = stdx::fma(w1, Fo, result);
    result = stdx::fma(w2, S, result);
    return result;
}

//! Slot k's expansion in single precision from the node's far[k]: what the walk uses. It
//! differs from the kernels' value by their half/bfloat16 rounding only (and is closer to the
//! exact value of the expansion).
inline FW far_field(FW const& ux, FW const& uy, FW const& uz, FW const& d2, WideNode const& w, unsigned k) {
    using W = WideNode;
    auto const T = [&](W::Far term) { return FW(w.far[k][term]); };
    // u = q - c, so the direction from the query to the centre is -u / R.
    FW const inv_r = 1.0f / stdx::sqrt(d2);
    FW const towards = -inv_r;
    FW const x = ux * towards, y = uy * towards, z = uz * towards;
    FW const xx = x * x, yy = y * y, zz = z * z, xy = x * y, xz = x * z, yz = y * z;
    FW const Z = mul_add(T(W::Z_X), x, mul_add(T(W::Z_Y), y, T(W::Z_Z) * z));
    // Two accumulators per form: half the dependent chain.
    FW q0 = T(W::Q_XX) * xx, q1 = T(W::Q_YY) * yy;
    q0 = mul_add(T(W::Q_ZZ), zz, q0);
    q1 = mul_add(T(W::Q_XY), xy, q1);
    q0 = mul_add(T(W::Q_XZ), xz, q0);
    q1 = mul_add(T(W::Q_YZ), yz, q1);
    FW const F = mul_add(FW(-3.0f), q0 + q1, T(W::TRACE));
    // The cubic grouped by the squares: xx (.) + yy (.) + zz (.) + xyz, fewer products.
    FW const gx = mul_add(T(W::C_XXZ), z, mul_add(T(W::C_XXY), y, T(W::C_XXX) * x));
    FW const gy = mul_add(T(W::C_YYZ), z, mul_add(T(W::C_YYY), y, T(W::C_XYY) * x));
    FW const gz = mul_add(T(W::C_ZZZ), z, mul_add(T(W::C_YZZ), y, T(W::C_XZZ) * x));
    FW const c0 = mul_add(yy, gy, xx * gx);
    FW const c1 = mul_add(T(W::C_XYZ), xy * z, zz * gz);
    FW const l = mul_add(T(W::L_Z), z, mul_add(T(W::L_Y), y, T(W::L_X) * x));
    FW const S = (c0 + c1) + l;
    // (Z / R^2 + F / R^3 + S / R^4) / (4 pi), by Horner in 1 / R.
    return (inv_r * inv_r) * mul_add(inv_r, mul_add(inv_r, S, F), Z) * INV_FOUR_PI;
}

//! The lanes of a mask as bits (lane l in bit l).
template <class M>
inline unsigned lane_bits(M const& m) {
    return static_cast<unsigned>(m.__to_bitset().to_ullong());
}

// ---- exact contributions ---------------------------------------------------------------------

//! atan2(y, x) / (2 pi) with the C library's quadrants and signed zeros, within a few units in
//! the last place: the octant is reduced to |t| <= tan(pi/8), a degree-9 odd polynomial gives
//! atan(t), and the octant's offset and sign, chosen while the division runs, are applied with
//! one fused multiply-add.
template <class V>
inline V atan2_turns(V y, V x) {
    constexpr float PI = 3.14159265358979f;
    constexpr float TURN = INV_TWO_PI;
    V const ay = stdx::abs(y), ax = stdx::abs(x);
    auto const swap = ay > ax;
    // min and max by selection: the library's fixed-size versions are not always inlined.
    V num = ay, den = ax;
    stdx::where(swap, num) = ax;
    stdx::where(swap, den) = ay;
    // Above tan(pi/8) use atan(t) = pi/4 + atan((t - 1) / (t + 1)), one division either way.
    auto const upper = num > 0.41421356f * den;
    V top = num, bottom = den;
    stdx::where(upper, top) = num - den;
    stdx::where(upper, bottom) = num + den;
    stdx::where(den == 0.0f, bottom) = 1.0f;  // atan2(+-0, +-0): t = 0
    V const z = top / bottom;
    // atan2 = offset + sign * atan(z): pi/4 above tan(pi/8), reflected about pi/2 when |y| > |x|,
    // about pi when x < 0 (-0 included).
    V offset(0.0f), sign(TURN);
    stdx::where(upper, offset) = 0.25f * PI * TURN;
    stdx::where(swap, offset) = 0.5f * PI * TURN - offset;
    stdx::where(swap, sign) = -TURN;
    auto const negative = stdx::signbit(x);
    stdx::where(negative, offset) = PI * TURN - offset;
    stdx::where(negative, sign) = -sign;
    V const z2 = z * z;
    V p = mul_add(V(8.05374449538e-2f), z2, V(-1.38776856032e-1f));
    p = mul_add(p, z2, V(1.99777106478e-1f));
    p = mul_add(p, z2, V(-3.33329491539e-1f));
    V const t = mul_add(p * z2, z, z);
    return stdx::copysign(mul_add(sign, t, offset), y);
}

template <class V>
inline V libm_atan2(V y, V x) {
    alignas(64) float ys[V::size()], xs[V::size()];
    y.copy_to(ys, stdx::element_aligned);
    x.copy_to(xs, stdx::element_aligned);
    for (unsigned i = 0; i < V::size(); ++i) ys[i] = ::atan2f(ys[i], xs[i]);
    return V(ys, stdx::element_aligned);
}

//! Query points, one per lane.
template <class V>
struct Points {
    V x, y, z;
};

//! The kernel's det and D (tan of half the angle = det / D) of the triangle with vertices a, b, c
//! seen from the origin.
template <bool Kernel, class V>
inline void solid_angle_terms(V const (&a)[3], V const (&b)[3], V const (&c)[3], V& det, V& D) {
    // u.w, and the two-term difference p q - r s.
    auto const dot = [](V const (&u)[3], V const (&w)[3]) {
        if constexpr (Kernel) return u[0] * w[0] + u[1] * w[1] + u[2] * w[2];
        else return mul_add(u[2], w[2], mul_add(u[1], w[1], u[0] * w[0]));
    };
    auto const det2 = [](V p, V q, V r, V s) {
        if constexpr (Kernel) return p * q - r * s;
        else return mul_add(p, q, -(r * s));
    };
    V const la = stdx::sqrt(dot(a, a));
    V const lb = stdx::sqrt(dot(b, b));
    V const lc = stdx::sqrt(dot(c, c));
    V const cross[3] = {det2(b[1], c[2], b[2], c[1]), det2(b[2], c[0], b[0], c[2]), det2(b[0], c[1], b[1], c[0])};
    det = dot(a, cross);
    // Unfused in both forms: at a vertex or on an edge its terms cancel to exactly 0 (which
    // gives the half turn there), and a fused product would leave its rounding error behind.
    D = la * lb * lc + dot(a, b) * lc + dot(a, c) * lb + dot(b, c) * la;
}

//! det and D of the triangles (v0, v1, v2) seen from q, lane by lane. `v(c)` gives coordinate
//! plane c (v0.x, v0.y, ..., v2.z) of the lanes' triangles.
template <bool Kernel, class V, class Planes>
inline void triangle_terms(Planes const& v, Points<V> const& q, V& det, V& D) {
    V const a[3] = {v(0) - q.x, v(1) - q.y, v(2) - q.z};
    V const b[3] = {v(3) - q.x, v(4) - q.y, v(5) - q.z};
    V const c[3] = {v(6) - q.x, v(7) - q.y, v(8) - q.z};
    solid_angle_terms<Kernel>(a, b, c, det, D);
}

//! The kernel's solid angle over 4 pi from det and D, lane by lane. `lane(i)` gives lane i's
//! triangle and query point as scalars, for the rare lanes the vector formula cannot take.
template <bool Kernel, class V, class Lane>
inline V triangle_turns(V const& det, V const& D, Lane const& lane) {
    V r = Kernel ? libm_atan2(det, D) * INV_TWO_PI : atan2_turns(det, D);
    stdx::where(stdx::abs(D) < 1e-12f && stdx::abs(det) < 1e-12f, r) = 0.5f;  // at a vertex or on an edge
    auto const overflowed = !(stdx::abs(D) <= FLT_MAX && stdx::abs(det) <= FLT_MAX);
    if (stdx::any_of(overflowed)) [[unlikely]] {
        // Distances too large for the products (or NaN): the kernel's own formula, which
        // shrinks the triangle first. The lanes come from the caller's data, not out of the
        // vectors (taking those apart would cost every call, not just this one).
        alignas(64) float values[V::size()];
        r.copy_to(values, stdx::element_aligned);
        for (unsigned i = 0; i < V::size(); ++i) {
            if (!overflowed[i]) continue;
            auto const [triangle, at] = lane(i);
            values[i] = gyrant::cpu::triangle_contribution(triangle, at);
        }
        r = V(values, stdx::element_aligned);
    }
    return r;
}

//! The triangle (v0, v1, v2) seen from q: the kernel's solid angle over 4 pi, lane by lane.
//! With Kernel the operations are the kernel's own, one by one; otherwise the products of the
//! lengths and dot products fuse into their sums (fewer roundings, fewer instructions) and atan2
//! is the vectorised one.
template <bool Kernel, class V, class Planes, class Lane>
inline V triangle_contribution(Planes const& v, Points<V> const& q, Lane const& lane) {
    V det, D;
    triangle_terms<Kernel>(v, q, det, D);
    return triangle_turns<Kernel>(det, D, lane);
}

//! The regularised dipole of the points (position, scaled normal) at q, lane by lane. Lanes in
//! the smoothing band (0.1 <= |p - q| / epsilon < 2) need erff and exp2f and take the scalar
//! kernel formula.
//! `planes(c)` gives coordinate plane c (position x, y, z, normal x, y, z) of the lanes' points,
//! `lane(i)` lane i's point and query point as scalars.
template <bool Kernel, class V, class Planes, class Lane>
inline V point_contribution_vector(Planes const& planes, Points<V> const& q, float inverse_epsilon, Lane const& lane) {
    V const p[6] = {planes(0), planes(1), planes(2), planes(3), planes(4), planes(5)};
    V const dx = p[0] - q.x, dy = p[1] - q.y, dz = p[2] - q.z;
    V r2, dot;
    if constexpr (Kernel) {
        r2 = dx * dx + dy * dy + dz * dz;
        dot = dx * p[3] + dy * p[4] + dz * p[5];
    } else {
        r2 = mul_add(dz, dz, mul_add(dy, dy, dx * dx));
        dot = mul_add(dz, p[5], mul_add(dy, p[4], dx * p[3]));
    }
    V const r = stdx::sqrt(r2);
    V const x = inverse_epsilon * r;
    V k = 1.0f / (r2 * r);
    stdx::where(x < SMOOTHING_BAND_START, k) = DIPOLE_CORE * (inverse_epsilon * inverse_epsilon * inverse_epsilon);
    V result = k * dot * INV_FOUR_PI;
    stdx::where(r2 < COINCIDENT_DISTANCE_SQUARED, result) = 0.0f;
    auto const band = (x < SMOOTHING_BAND_END) && !(x < SMOOTHING_BAND_START) && !(r2 < COINCIDENT_DISTANCE_SQUARED);
    if (stdx::any_of(band)) {
        alignas(64) float values[V::size()];
        result.copy_to(values, stdx::element_aligned);
        for (unsigned i = 0; i < V::size(); ++i) {
            if (!band[i]) continue;
            auto const [point, at] = lane(i);
            values[i] = point_contribution(point, at, inverse_epsilon);
        }
        result = V(values, stdx::element_aligned);
    }
    return result;
}

template <class T>
constexpr unsigned PLANES = sizeof(T) / sizeof(float);

template <bool Kernel, class V, class T, class Planes, class Lane>
inline V contribution(Planes const& planes, Points<V> const& q, QueryJob<T> const& job, Lane const& lane) {
    if constexpr (std::is_same_v<T, Triangle>) return triangle_contribution<Kernel, V>(planes, q, lane);
    else return point_contribution_vector<Kernel, V>(planes, q, job.inverse_epsilon, lane);
}

//! One leaf's 32 primitives.
using FL = stdx::simd<float, stdx::simd_abi::deduce_t<float, LEAF>>;

//! Lane 0 of the kernels' five-step butterfly over a leaf's 32 contributions: at offsets 16, 8,
//! 4, 2, 1 every lane adds its partner's value, which for lane 0 is adding the upper half of the
//! remaining lanes to the lower half.
template <class V>
inline float butterfly_sum(V const& v) {
    if constexpr (V::size() == 1) {
        return v[0];
    } else {
        using Half = stdx::simd<float, stdx::simd_abi::deduce_t<float, V::size() / 2>>;
        auto const halves = stdx::split<Half>(v);
        return butterfly_sum(halves[0] + halves[1]);
    }
}

//! The vectors an exact leaf sum works in: a whole leaf where that is at most two native vectors
//! (the two halves' chains then interleave), else one native vector at a time (wider ones would
//! spill).
constexpr unsigned EXACT_WIDTH = F::size() >= LEAF / 2 ? LEAF : F::size();
static_assert(LEAF % EXACT_WIDTH == 0, "a leaf is a whole number of vectors");
using FE = stdx::simd<float, stdx::simd_abi::deduce_t<float, EXACT_WIDTH>>;

//! Pairs (leaf, query) whose triangle terms are held at once: det and D of 32 triangles each.
constexpr unsigned EXACT_BATCH = 16;

//! The planes of leaf `leaf`, the partial last leaf copied into `padded` with zeros after its
//! `present` primitives, so that no load passes the storage.
template <class T>
inline unsigned leaf_planes(QueryJob<T> const& job, unsigned leaf, float const* (&plane)[PLANES<T>],
                            float (&padded)[PLANES<T>][LEAF]) {
    unsigned const first = leaf * LEAF;
    unsigned const present = job.n_primitives - first < LEAF ? job.n_primitives - first : LEAF;
    for (unsigned c = 0; c < PLANES<T>; ++c) {
        plane[c] = job.primitives.data + c * job.primitives.stride + first;
        if (present < LEAF) {
            for (unsigned i = 0; i < LEAF; ++i) padded[c][i] = i < present ? plane[c][i] : 0.0f;
            plane[c] = padded[c];
        }
    }
    return present;
}

//! Lane i of the vector at offset o of leaf `leaf` seen from q, as scalars (primitive, query).
//! Lanes past the last primitive get a far placeholder; their values are zeroed anyway.
template <class T>
inline auto leaf_lane(QueryJob<T> const& job, unsigned leaf, unsigned o, Vec3 const& q) {
    return [&job, first = leaf * LEAF + o, q](unsigned i) {
        return std::pair{T::load(job.primitives, first + i, job.n_primitives), q};
    };
}

//! The fast triangle sums of exact_leaves, in three passes over a batch of pairs: det and D of
//! every triangle, then every atan2, then the reductions. Each pass's iterations are short and
//! independent, so the processor overlaps them (one pass per pair would wait on its square
//! roots and its division in turn). The values are those of triangle_contribution<false>.
inline void exact_triangle_batch(QueryJob<Triangle> const& job, unsigned count, unsigned const* leaves,
                                 Vec3 const* qs, float* sums) {
    using V = FE;
    constexpr unsigned W = EXACT_WIDTH;
    alignas(64) float det[EXACT_BATCH][LEAF], D[EXACT_BATCH][LEAF];
    unsigned present[EXACT_BATCH];
    for (unsigned j = 0; j < count; ++j) {
        float const* plane[PLANES<Triangle>];
        alignas(64) float padded[PLANES<Triangle>][LEAF];
        present[j] = leaf_planes(job, leaves[j], plane, padded);
        Points<V> const q{V(qs[j].x), V(qs[j].y), V(qs[j].z)};
        for (unsigned o = 0; o < LEAF; o += W) {
            V d, t;
            triangle_terms<false>([&](unsigned c) { return load<V>(plane[c] + o); }, q, d, t);
            d.copy_to(det[j] + o, stdx::element_aligned);
            t.copy_to(D[j] + o, stdx::element_aligned);
        }
    }
    alignas(64) float values[EXACT_BATCH][LEAF];
    for (unsigned j = 0; j < count; ++j) {
        for (unsigned o = 0; o < LEAF; o += W)
            triangle_turns<false>(load<V>(det[j] + o), load<V>(D[j] + o), leaf_lane(job, leaves[j], o, qs[j]))
                .copy_to(values[j] + o, stdx::element_aligned);
        for (unsigned i = present[j]; i < LEAF; ++i) values[j][i] = 0.0f;
    }
    for (unsigned j = 0; j < count; ++j) sums[j] = butterfly_sum(load<FL>(values[j]));
}

//! Exact sums of `count` leaves, leaf j at query qs[j], into sums[j]: each leaf's primitives in
//! the lanes, primitives past the end contributing 0, reduced in the kernels' butterfly order.
template <class T>
inline void exact_leaves(QueryJob<T> const& job, unsigned count, unsigned const* leaves, Vec3 const* qs,
                         float* sums) {
    constexpr unsigned P = PLANES<T>;
    // The leaves' planes are scattered over the storage: ask for all of them before the first
    // is needed, so their loads overlap.
    for (unsigned j = 0; j < count; ++j)
        for (unsigned c = 0; c < P; ++c) {
            float const* plane = job.primitives.data + c * job.primitives.stride + leaves[j] * LEAF;
            __builtin_prefetch(plane);
            __builtin_prefetch(plane + 16);
        }
    if constexpr (std::is_same_v<T, Triangle>) {
        if (!job.kernel_arithmetic) {
            for (unsigned j = 0; j < count; j += EXACT_BATCH) {
                unsigned const n = count - j < EXACT_BATCH ? count - j : EXACT_BATCH;
                exact_triangle_batch(job, n, leaves + j, qs + j, sums + j);
            }
            return;
        }
    }
    using V = FE;
    constexpr unsigned W = EXACT_WIDTH;
    for (unsigned j = 0; j < count; ++j) {
        float const* plane[P];
        alignas(64) float padded[P][LEAF];
        unsigned const present = leaf_planes(job, leaves[j], plane, padded);
        Points<V> const q{V(qs[j].x), V(qs[j].y), V(qs[j].z)};
        alignas(64) float values[LEAF];
        for (unsigned o = 0; o < LEAF; o += W) {
            auto const planes = [&](unsigned c) { return load<V>(plane[c] + o); };
            auto const lane = leaf_lane(job, leaves[j], o, qs[j]);
            V const value = job.kernel_arithmetic ? contribution<true, V>(planes, q, job, lane)
                                                  : contribution<false, V>(planes, q, job, lane);
            value.copy_to(values + o, stdx::element_aligned);
        }
        for (unsigned i = present; i < LEAF; ++i) values[i] = 0.0f;
        sums[j] = butterfly_sum(load<FL>(values));
    }
}

// ---- the walk --------------------------------------------------------------------------------

//! Below this squared distance the weights 1 / R^k of an accepted expansion may overflow; such a
//! lane takes the kernels' evaluation, so that it is accepted exactly when the kernels accept it.
constexpr float FAR_MIN_DISTANCE_SQUARED = 0x1p-40f;

using Lanes = std::uint32_t;  // bit l: lane l of a packet
static_assert(PACKET <= 32, "a packet's lanes fit in a word");

inline FP::mask_type mask_of(Lanes lanes) {
    return FP::mask_type::__from_bitset(std::bitset<PACKET>(lanes));
}

//! A packet's queries and sums.
struct Packet {
    FP qx, qy, qz;
    Vec3 q[PACKET];
};

//! The expansion of slot k of node n at the lanes `accepted` of the packet into `values`; returns
//! the lanes whose value is usable (an expansion beyond the half/bfloat16 range is walked or
//! summed exactly instead, as in the kernels).
template <class T>
inline Lanes approximate(QueryJob<T> const& job, Packet const& p, WideNode const& n, unsigned k, FP const& ux,
                         FP const& uy, FP const& uz, FP const& d2, Lanes accepted, float* values) {
    Vec3 const center{n.cx[k], n.cy[k], n.cz[k]};
    // Lanes left to the kernels' own scalar evaluation: expansions the single-precision form
    // cannot stand for, and with the emulation, possible double roundings.
    Lanes kernel_lanes;
    FP v;
    if (job.kernel_arithmetic) {
        Hazard<FP> hazard;
        v = node_approximations(p.qx, p.qy, p.qz, center, stored_expansion(job, n, k), hazard);
        kernel_lanes = lane_bits(hazard.lanes);
    } else {
        v = far_field(ux, uy, uz, d2, n, k);
        kernel_lanes = lane_bits(d2 < FAR_MIN_DISTANCE_SQUARED) | ((n.kernel_evaluated >> k) & 1u ? ~Lanes{0} : 0);
    }
    v.copy_to(values, stdx::element_aligned);
    accepted &= lane_bits(stdx::abs(v) <= FLT_MAX) | kernel_lanes;
    for (Lanes todo = kernel_lanes & accepted; todo != 0; todo &= todo - 1) {
        unsigned const l = static_cast<unsigned>(__builtin_ctz(todo));
        values[l] = node_approximation(p.q[l], center, stored_expansion(job, n, k));
        if (!(std::fabs(values[l]) <= FLT_MAX)) accepted &= ~(Lanes{1} << l);
    }
    return accepted;
}

using PacketEntry = WalkEntry;

//! u * u + c as one fused multiply-add, bit for bit (it decides acceptance, which must be the
//! kernels'). Without the instruction, in double: the square is exact and the sum rounded once,
//! so rounding that to float errs only where it lands exactly halfway between two floats, or
//! below the normal float range (where flushing decides); those lanes take the library's fma.
inline FP square_add(FP const& u, FP const& c) {
    if constexpr (FUSED) {
        return stdx::fma(u, u, c);
    } else {
        DP const wide = stdx::static_simd_cast<DP>(u);
        DP const s = wide * wide + stdx::static_simd_cast<DP>(c);
        using Bits = stdx::rebind_simd_t<std::int64_t, DP>;
        Bits const low = stdx::__proposed::simd_bit_cast<Bits>(s) & 0x1FFFFFFF;  // the 29 bits float drops
        Lanes const doubtful = lane_bits(low == 0x10000000) | lane_bits(s != 0.0 && stdx::abs(s) < 0x1p-120);
        FP r = stdx::static_simd_cast<FP>(s);
        if (doubtful != 0) {
            alignas(64) float out[PACKET], us[PACKET], cs[PACKET];
            r.copy_to(out, stdx::element_aligned);
            u.copy_to(us, stdx::element_aligned);
            c.copy_to(cs, stdx::element_aligned);
            for (Lanes todo = doubtful; todo != 0; todo &= todo - 1) {
                unsigned const l = static_cast<unsigned>(__builtin_ctz(todo));
                out[l] = std::fma(us[l], us[l], cs[l]);
            }
            r = load<FP>(out);
        }
        return r;
    }
}

//! Visits node n for the lanes `visit`: each child is tested for every lane; the leaves (their
//! expansions where accepted, their exact sums elsewhere) are added in slot order, and the
//! internal children are pushed so that the highest slot comes off the stack first.
template <class T>
inline void visit(QueryJob<T> const& job, Packet const& p, FP& accumulator, WideNode const& n, Lanes visit_lanes,
                  PacketEntry* stack, unsigned& top) {
    alignas(64) float values[8][PACKET];
    Lanes accepted[8] = {};
    for (unsigned present = n.leaf_mask | n.internal_mask; present != 0; present &= present - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(present));
        // The acceptance test of the kernels: |q - c|^2 > beta^2 r^2.
        FP const ux = p.qx - n.cx[k], uy = p.qy - n.cy[k], uz = p.qz - n.cz[k];
        FP const d2 = square_add(uz, square_add(ux, uy * uy));
        Lanes const a = lane_bits(d2 > job.beta_squared * n.r2[k]) & visit_lanes;
        if (a != 0) accepted[k] = approximate(job, p, n, k, ux, uy, uz, d2, a, values[k]);
    }
    // The exact sums of all leaf slots at once (more independent work in flight), added below
    // in slot order.
    unsigned leaf_of[8 * PACKET], count = 0;
    Vec3 at[8 * PACKET];
    for (unsigned leaves = n.leaf_mask; leaves != 0; leaves &= leaves - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(leaves));
        for (Lanes e = visit_lanes & ~accepted[k]; e != 0; e &= e - 1) {
            leaf_of[count] = n.child[k];
            at[count++] = p.q[__builtin_ctz(e)];
        }
    }
    float found[8 * PACKET];
    if (count != 0) exact_leaves(job, count, leaf_of, at, found);
    count = 0;
    for (unsigned leaves = n.leaf_mask; leaves != 0; leaves &= leaves - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(leaves));
        Lanes const exact = visit_lanes & ~accepted[k];
        FP term(0.0f);
        if (accepted[k] != 0) stdx::where(mask_of(accepted[k]), term) = load<FP>(values[k]);
        if (exact != 0) {
            alignas(64) float sums[PACKET];
            for (Lanes e = exact; e != 0; e &= e - 1) sums[__builtin_ctz(e)] = found[count++];
            stdx::where(mask_of(exact), term) = load<FP>(sums);
        }
        // Lanes that take no part add +0, which leaves a sum unchanged (a sum of floats that
        // starts at +0 is never -0).
        accumulator += term;
    }
    for (unsigned inner = n.internal_mask; inner != 0; inner &= inner - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(inner));
        PacketEntry& e = stack[top++];
        e.node = n.child[k];
        e.visit = visit_lanes & ~accepted[k];
        e.accepted = accepted[k];
        if (accepted[k] != 0) std::memcpy(e.values, values[k], sizeof values[k]);
    }
}

//! The winding numbers of the sorted queries [first, first + count), count <= PACKET, each summed
//! as the kernels' walk sums it: the same accepted nodes and leaves, the same exact leaves, added
//! in the same order. Lanes past `count` repeat the last query and take part in nothing.
template <class T>
inline void walk_packet(QueryJob<T> const& job, size_t first, unsigned count, PacketEntry* stack) {
    Packet p;
    alignas(64) float x[PACKET], y[PACKET], z[PACKET];
    for (unsigned l = 0; l < PACKET; ++l) {
        size_t const s = first + (l < count ? l : count - 1);
        p.q[l] = in_engine_frame(job.queries[job.order != nullptr ? job.order[s] : s], job.query_scale);
        x[l] = p.q[l].x;
        y[l] = p.q[l].y;
        z[l] = p.q[l].z;
    }
    p.qx = load<FP>(x);
    p.qy = load<FP>(y);
    p.qz = load<FP>(z);
    // A local of its own, so that it stays in a register across the walk.
    FP accumulator(0.0f);
    Lanes const all = count == 32 ? ~Lanes{0} : (Lanes{1} << count) - 1;
    unsigned top = 0;
    stack[top].node = 0;
    stack[top].visit = all;
    stack[top++].accepted = 0;
    while (top > 0) {
        PacketEntry const& e = stack[--top];
        if (e.accepted != 0) {
            FP term(0.0f);
            stdx::where(mask_of(e.accepted), term) = load<FP>(e.values);
            accumulator += term;
        }
        // The entry's slot is reused by the visit's pushes.
        Lanes const lanes = e.visit;
        if (lanes != 0) visit(job, p, accumulator, job.nodes[e.node], lanes, stack, top);
    }
    alignas(64) float out[PACKET];
    accumulator.copy_to(out, stdx::element_aligned);
    for (unsigned l = 0; l < count; ++l) {
        size_t const s = first + l;
        job.output[job.order != nullptr ? job.order[s] : s] = out[l];
    }
}

template <class T>
GYRANT_SIMD_ENTRY void walk(QueryJob<T> const& job, size_t begin, size_t end, WalkEntry* stack) {
    for (size_t first = begin; first < end; first += PACKET)
        walk_packet(job, first, static_cast<unsigned>(end - first < PACKET ? end - first : PACKET), stack);
}

// ---- all pairs -------------------------------------------------------------------------------

//! Query vectors that share each primitive load.
constexpr unsigned SUM_VECTORS = 4;

//! Every primitive, in primitive order, added to each query's sum, plain or compensated
//! (Kahan, in the brute-force kernel's form); the queries sit in the lanes.
template <bool Kernel, class T>
inline void sum_all(QueryJob<T> const& job, size_t begin, size_t end, bool compensated) {
    constexpr unsigned P = PLANES<T>;
    // The fixed-size type compiles to clean vector code on AVX2 and AVX-512, where the native
    // one's atan2 came out lane by lane (five times slower on AVX-512); on SSE the native one is
    // a little faster.
    using SV = std::conditional_t<(F::size() >= 8), stdx::fixed_size_simd<float, F::size()>, F>;
    constexpr size_t W = SV::size();
    size_t const stride = job.primitives.stride;
    for (size_t base = begin; base < end; base += SUM_VECTORS * W) {
        alignas(64) float qx[SUM_VECTORS * W], qy[SUM_VECTORS * W], qz[SUM_VECTORS * W];
        size_t const count = end - base < SUM_VECTORS * W ? end - base : SUM_VECTORS * W;
        for (size_t l = 0; l < SUM_VECTORS * W; ++l) {
            Vec3 const q = in_engine_frame(job.queries[base + (l < count ? l : 0)], job.query_scale);
            qx[l] = q.x;
            qy[l] = q.y;
            qz[l] = q.z;
        }
        SV sum[SUM_VECTORS], comp[SUM_VECTORS];
        for (unsigned v = 0; v < SUM_VECTORS; ++v) sum[v] = comp[v] = 0.0f;
        for (unsigned j = 0; j < job.n_primitives; ++j) {
            float planes_scalar[P];
            for (unsigned c = 0; c < P; ++c) planes_scalar[c] = job.primitives.data[c * stride + j];
            for (unsigned v = 0; v < SUM_VECTORS; ++v) {
                if (v * W >= count) break;
                SV const x = load<SV>(qx + v * W), y = load<SV>(qy + v * W), z = load<SV>(qz + v * W);
                // The primitive is the same in every lane, the queries differ.
                auto const planes = [&](unsigned c) { return SV(planes_scalar[c]); };
                auto const lane = [&](unsigned i) {
                    unsigned const l = v * W + i;
                    return std::pair{T::load(job.primitives, j, job.n_primitives), Vec3{qx[l], qy[l], qz[l]}};
                };
                SV const value = contribution<Kernel, SV>(planes, Points<SV>{x, y, z}, job, lane);
                if (compensated) {
                    SV const y_ = value - comp[v];
                    SV const t = sum[v] + y_;
                    comp[v] = (t - sum[v]) - y_;
                    sum[v] = t;
                } else {
                    sum[v] = sum[v] + value;
                }
            }
        }
        alignas(64) float out[SUM_VECTORS * W];
        for (unsigned v = 0; v < SUM_VECTORS; ++v) sum[v].copy_to(out + v * W, stdx::element_aligned);
        for (size_t l = 0; l < count; ++l) {
            size_t const s = base + l;
            job.output[job.order != nullptr ? job.order[s] : s] = out[l];
        }
    }
}

//! The arithmetic is chosen once per call: with both kinds of contribution in one loop the
//! compiler takes the vectors apart.
template <class T>
GYRANT_SIMD_ENTRY void sum_all(QueryJob<T> const& job, size_t begin, size_t end, bool compensated) {
    if (job.kernel_arithmetic) sum_all<true>(job, begin, end, compensated);
    else sum_all<false>(job, begin, end, compensated);
}

}  // namespace

SimdKernels const& kernels() {
    static SimdKernels const table{
#define GYRANT_STRINGIFY_(x) #x
#define GYRANT_STRINGIFY(x) GYRANT_STRINGIFY_(x)
        GYRANT_STRINGIFY(GYRANT_SIMD_TARGET), FUSED,
#undef GYRANT_STRINGIFY
#undef GYRANT_STRINGIFY_
        &walk<Triangle>, &walk<PointNormal>, &sum_all<Triangle>, &sum_all<PointNormal>};
    return table;
}

}  // namespace gyrant::cpu::GYRANT_SIMD_TARGET

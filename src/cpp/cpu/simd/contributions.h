// Part of one instruction set's copy of the vectorised loops (see vector.h): the exact
// contributions of triangles and points, lane by lane, and the exact sums of leaves.
#pragma once

#include "cpu/simd/vector.h"

#include <experimental/simd>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

namespace gyrant::cpu::GYRANT_SIMD_TARGET {
namespace {

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

//! Primitives whose exact terms a group sum forms at once: the pairs' planes are staged side by
//! side, so that every vector is full whatever the group size and the vector width.
constexpr unsigned GROUP_STAGE = 128;
static_assert(GROUP_STAGE % EXACT_WIDTH == 0 && GROUP_STAGE % GROUP_SIZE == 0, "whole vectors, whole groups");

//! Copies planes [0, C) of runs of Size primitives, run j from primitive firsts[j] * Size, side by
//! side into plane[c][j * Size ...], with zeros past the scene's last primitive; present[j] counts
//! the real ones. Shared by every exact sum that stages its primitives for whole vectors.
template <unsigned C, unsigned Size, unsigned Stage, class T>
inline void stage_runs(QueryJob<T> const& job, unsigned m, unsigned const* firsts, float (&plane)[C][Stage],
                       unsigned* present) {
    size_t const stride = job.primitives.stride;
    for (unsigned j = 0; j < m; ++j) {
        unsigned const first = firsts[j] * Size;
        present[j] = job.n_primitives - first < Size ? job.n_primitives - first : Size;
        for (unsigned c = 0; c < C; ++c) {
            float const* src = job.primitives.data + c * stride + first;
            float* dst = plane[c] + j * Size;
            if (present[j] == Size) std::memcpy(dst, src, sizeof(float) * Size);
            else
                for (unsigned i = 0; i < Size; ++i) dst[i] = i < present[j] ? src[i] : 0.0f;
        }
    }
}

//! Exact sums of `count` groups, group groups[j] at query qs[j], into sums[j]: the fast
//! contributions (those of triangle_contribution<false>), primitives past the end contributing
//! 0, reduced pairwise (halves first) within each group. No value depends on the vector width.
template <class T>
inline void exact_groups(QueryJob<T> const& job, unsigned count, unsigned const* groups, Vec3 const* qs,
                         float* sums) {
    constexpr unsigned P = PLANES<T>, G = GROUP_SIZE, W = EXACT_WIDTH, PAIRS = GROUP_STAGE / G;
    using V = FE;
    size_t const stride = job.primitives.stride;
    for (unsigned j = 0; j < count; ++j)
        for (unsigned c = 0; c < P; ++c) __builtin_prefetch(job.primitives.data + c * stride + size_t{groups[j]} * G);
    for (unsigned base = 0; base < count; base += PAIRS) {
        unsigned const m = count - base < PAIRS ? count - base : PAIRS;
        alignas(64) float plane[P][GROUP_STAGE], qx[GROUP_STAGE], qy[GROUP_STAGE], qz[GROUP_STAGE];
        alignas(64) float values[GROUP_STAGE];
        unsigned present[PAIRS];
        stage_runs<P, G>(job, m, groups + base, plane, present);
        for (unsigned j = 0; j < m; ++j) {
            for (unsigned i = 0; i < G; ++i) {
                qx[j * G + i] = qs[base + j].x;
                qy[j * G + i] = qs[base + j].y;
                qz[j * G + i] = qs[base + j].z;
            }
        }
        // The last vector's spare lanes: a primitive at the origin seen from (1, 1, 1), finite.
        unsigned const items = (m * G + W - 1) / W * W;
        for (unsigned i = m * G; i < items; ++i) {
            for (unsigned c = 0; c < P; ++c) plane[c][i] = 0.0f;
            qx[i] = qy[i] = qz[i] = 1.0f;
        }
        for (unsigned o = 0; o < items; o += W) {
            auto const planes = [&](unsigned c) { return load<V>(plane[c] + o); };
            Points<V> const q{load<V>(qx + o), load<V>(qy + o), load<V>(qz + o)};
            auto const lane = [&, o](unsigned i) {
                unsigned const item = o + i, j = item / G;
                unsigned const index = j < m ? groups[base + j] * G + item % G : job.n_primitives;
                return std::pair{T::load(job.primitives, index, job.n_primitives), Vec3{qx[item], qy[item], qz[item]}};
            };
            contribution<false, V>(planes, q, job, lane).copy_to(values + o, stdx::element_aligned);
        }
        for (unsigned j = 0; j < m; ++j) {
            float* v = values + j * G;
            for (unsigned i = present[j]; i < G; ++i) v[i] = 0.0f;
            for (unsigned h = G / 2; h > 0; h /= 2)
                for (unsigned i = 0; i < h; ++i) v[i] = v[i] + v[i + h];
            sums[base + j] = v[0];
        }
    }
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

}  // namespace
}  // namespace gyrant::cpu::GYRANT_SIMD_TARGET

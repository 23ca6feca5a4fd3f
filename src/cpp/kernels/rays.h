// Exact winding numbers of triangle surfaces from signed crossings along a fixed direction plus a
// term of the surface's boundary chain; written here for +z (each query takes the axis direction
// that leaves the surface's box soonest, and a grid line its own axis):
//
//   w(q) = sum over triangles crossed by the ray q + t z (t > 0) of the crossing's sign
//        + sum over boundary edges a -> b of Omega(a - q, b - q, -z) / (4 pi).
//
// The second sum is the solid angle of the half-strips swept by the boundary from each edge
// along -z, which close the surface without being crossed by any ray along +z; it is zero for a
// closed surface. Both sums decide on the same edge functions, so a jump of the crossing count
// where a ray passes a boundary edge is met by the opposite jump of that edge's term.
//
// Watertightness: a ray is a vertical line in the xy plane. Each vertex is moved into the
// query's frame once (a float subtraction, the same numbers in every triangle that shares the
// vertex) and every 2D orientation is decided exactly (products of floats are exact in double).
// Ties are broken as if the line were moved by (e, e^2), e infinitesimal, so a line through an
// edge or a vertex crosses a closed fan exactly once.
#pragma once

#include "platform.h"

#include "bvh8.h"
#include "geometry.h"
#include "vec3.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

//! Exact float bounds of a node or leaf: the hierarchy's half corners are rounded to nearest
//! (and overflow beyond 65504), so they cannot cull rays.
struct RayBox {
    float lo[3];
    float hi[3];
};
static_assert(sizeof(RayBox) == 24, "RayBox is six packed floats");

//! One directed edge of the boundary chain, in the engine's frame.
struct BoundarySegment {
    Vec3 a, b;
};
static_assert(sizeof(BoundarySegment) == 24, "BoundarySegment is six packed floats");

//! Everything a ray walk reads; all pointers are device memory of one engine.
struct RayScene {
    BVH8Node const* nodes;              // node 0 is the root; null when there is one leaf
    LeafPointers const* leaf_pointers;  // one row per node
    RayBox const* node_boxes;           // by node index
    RayBox const* leaf_boxes;           // by leaf index
    SoAView<Triangle> triangles;        // sorted storage
    uint32_t n_triangles;
    uint32_t n_leaves;
    //! The boundary chain as six planes (a.x, a.y, a.z, b.x, b.y, b.z) of boundary_stride floats
    //! each: n_boundary edges, then zeros up to a whole number of BOUNDARY_LANES.
    float const* boundary;
    uint32_t n_boundary;
    uint32_t boundary_stride;
    RayBox bounds;  // the surface's box: each query's ray takes the nearest way out
};

//! Entries of the walk's stack; a deeper tree is walked leaf by leaf instead (same result).
inline constexpr unsigned RAY_STACK_CAPACITY = 96;
//! Threads per block of the ray kernels.
inline constexpr unsigned RAY_BLOCK = 128;
//! Leaf entries on the stack carry this bit.
inline constexpr uint32_t RAY_LEAF_BIT = 0x80000000u;
inline constexpr float RAY_INV_TWO_PI = 0.15915494309189535f;
//! Below this fraction of |a||b|, the boundary term's denominator has lost too many digits in
//! float (its terms are of size |a||b|) and is formed in double.
inline constexpr float BOUNDARY_CANCELLATION = 1.0f / 64.0f;
//! Edge i of the boundary sum adds into partial sum i % BOUNDARY_LANES, and the partial sums are
//! added pairwise at the end: vectors over that many edges at a time give the same bits.
inline constexpr unsigned BOUNDARY_LANES = 16;
//! The float cross product's sign is certain above this fraction of its two products' magnitudes
//! (each rounding is at most 2^-24 of them); below, the exact one decides.
inline constexpr float BOUNDARY_SIGN_GUARD = 0x1p-20f;
//! Below these (in the engine's frame, where the surface spans about 1) squares and products may
//! leave float's normal range; the double-precision term takes over.
inline constexpr float BOUNDARY_TINY_LENGTH = 0x1p-50f;
inline constexpr float BOUNDARY_TINY_AREA = 0x1p-100f;
//! atan(t) ~ t * P(t^2) on [0, 1], P of degree 7, fitted minimax to the absolute error (2.4e-8
//! in exact arithmetic; 1.4e-7 evaluated in float by Horner's rule, measured over 2e6 points).
inline constexpr float ATAN_C0 = 0.9999993443489075f, ATAN_C1 = -0.33329859375953674f,
                       ATAN_C2 = 0.19946566224098206f, ATAN_C3 = -0.1390862911939621f,
                       ATAN_C4 = 0.09642194956541061f, ATAN_C5 = -0.05591229721903801f,
                       ATAN_C6 = 0.0218629352748394f, ATAN_C7 = -0.004054560791701078f;
inline constexpr float RAY_PI = 3.14159265358979f;
inline constexpr float RAY_HALF_PI = 1.57079632679490f;

//! Description of a regular grid in the caller's units: voxel (i, j, k) at
//! origin + (i, j, k) * spacing; rows run along z and are contiguous in the output.
struct RayGrid {
    float origin[3];
    float spacing[3];
    uint32_t shape[3];
    float scale;  // the engine's frame
};

namespace gyrant_rays {

//! Side of the origin with respect to the 2D edge a -> b: +1 left, -1 right, decided exactly,
//! ties as if the origin sat at (e, e^2); 0 only when a and b coincide in the plane (then no
//! triangle with that edge contains the moved origin). `e` gets the exact cross product's
//! rounding (its sign is exact).
GYRANT_HOST_DEVICE inline int edge_side(float ax, float ay, float bx, float by, double& e) {
    e = static_cast<double>(ax) * static_cast<double>(by) - static_cast<double>(ay) * static_cast<double>(bx);
    if (e > 0.0) return 1;
    if (e < 0.0) return -1;
    // cross(a - d, b - d) = e + (bx - ax) e^2 - (by - ay) e for d = (e, e^2).
    if (ay != by) return ay > by ? 1 : -1;
    if (ax != bx) return bx > ax ? 1 : -1;
    return 0;
}

//! Index of the lowest set bit of x (x != 0).
GYRANT_HOST_DEVICE inline uint32_t lowest_bit(uint32_t x) {
#if defined(__CUDA_ARCH__)
    return static_cast<uint32_t>(__ffs(static_cast<int>(x)) - 1);
#else
    return static_cast<uint32_t>(std::countr_zero(x));
#endif
}

//! Whether the moved line's coordinate (just above q on its axis, under the same tie rule)
//! falls within [lo, hi].
GYRANT_HOST_DEVICE inline bool span_meets(float lo, float hi, float q) { return hi > q && lo <= q; }

//! Sign (+1: the ray leaves through the counter-clockwise side, -1: enters, 0: misses) of the
//! crossing of triangle `t` by the vertical line through (qx, qy), and its height in `z`
//! (kept within the triangle's heights).
GYRANT_HOST_DEVICE inline int line_crossing(Triangle const& t, float qx, float qy, double& z) {
    float const ax = t.v0.x - qx, ay = t.v0.y - qy;
    float const bx = t.v1.x - qx, by = t.v1.y - qy;
    float const cx = t.v2.x - qx, cy = t.v2.y - qy;
    double e_ab, e_bc, e_ca;
    int const s = edge_side(ax, ay, bx, by, e_ab);
    if (s == 0 || edge_side(bx, by, cx, cy, e_bc) != s || edge_side(cx, cy, ax, ay, e_ca) != s) return 0;
    double const w = e_ab + e_bc + e_ca;  // never 0 here: same-sign moved areas cannot sum to 0
    if (w == 0.0) return 0;
    double h = (e_bc * t.v0.z + e_ca * t.v1.z + e_ab * t.v2.z) / w;
    double const lo = fmin(fmin(double(t.v0.z), double(t.v1.z)), double(t.v2.z));
    double const hi = fmax(fmax(double(t.v0.z), double(t.v1.z)), double(t.v2.z));
    z = fmin(fmax(h, lo), hi);
    return s;
}

//! atan2(y, x) for y != 0 (the boundary terms leave y = 0 to their exact form): one division and a
//! polynomial, the same operations in every flavour and in the native vectors. Within 3e-7 of
//! atan2 (the polynomial, the division's and the quadrant's roundings).
GYRANT_HOST_DEVICE inline float atan2_poly(float y, float x) {
    float const ax = fabsf(x), ay = fabsf(y);
    bool const steep = ay > ax;
    float const t = (steep ? ax : ay) / (steep ? ay : ax);
    float const s = t * t;
    float const p = ((((((ATAN_C7 * s + ATAN_C6) * s + ATAN_C5) * s + ATAN_C4) * s + ATAN_C3) * s + ATAN_C2) * s +
                     ATAN_C1) * s + ATAN_C0;
    float r = t * p;
    r = steep ? RAY_HALF_PI - r : r;
    r = x < 0.0f ? RAY_PI - r : r;
    return y < 0.0f ? -r : r;
}

//! The term of boundary edge a -> b for a ray along up * z (up = +1 or -1), from a - q and b - q:
//! Omega(a - q, b - q, -up z) / (4 pi) = atan2(det, D) / (2 pi), with det = -up cross_xy(a, b)
//! and D = |a||b| + a.b - up (a_z |b| + b_z |a|) (the half-angle form of the solid angle of the
//! spherical triangle with a vertex at -up z). In float throughout; `exact` is set where float
//! cannot be trusted: the sign of det uncertain (where D < 0 it picks the side of the branch cut,
//! which must agree with the crossings), D cancelled, or squares out of float's normal range.
GYRANT_HOST_DEVICE inline float boundary_term_float(float ax, float ay, float az, float bx, float by, float bz,
                                                    float up, bool& exact) {
    float const la = sqrtf((ax * ax + ay * ay) + az * az);
    float const lb = sqrtf((bx * bx + by * by) + bz * bz);
    float const p = ax * by, m = ay * bx;
    float const cross = p - m;
    float const magnitude = fabsf(p) + fabsf(m);
    float const lalb = la * lb;
    float const D = (lalb + ((ax * bx + ay * by) + az * bz)) - up * (az * lb + bz * la);
    float const guard = BOUNDARY_SIGN_GUARD * magnitude;
    exact = !(fabsf(cross) > (guard > BOUNDARY_TINY_AREA ? guard : BOUNDARY_TINY_AREA)) ||
            !(fabsf(D) >= BOUNDARY_CANCELLATION * lalb) || !(lalb <= 3.40282347e38f) ||
            !((la < lb ? la : lb) >= BOUNDARY_TINY_LENGTH);
    return atan2_poly(-cross * up, D) * RAY_INV_TWO_PI;
}

//! The same term in double from the same float differences, the sign of det decided by the same
//! edge function as the crossings (at det = 0 the moved line decides, as it does for them).
GYRANT_HOST_DEVICE inline float boundary_term_exact(float ax, float ay, float az, float bx, float by, float bz,
                                                    float up) {
    double e;
    int const side = edge_side(ax, ay, bx, by, e);
    double det = -e * up;
    if (e == 0.0) det = side * up > 0 ? -0.0 : 0.0;
    double const dax = ax, day = ay, daz = az, dbx = bx, dby = by, dbz = bz;
    double const la = sqrt(dax * dax + day * day + daz * daz);
    double const lb = sqrt(dbx * dbx + dby * dby + dbz * dbz);
    double const D = la * lb + (dax * dbx + day * dby + daz * dbz) - up * (daz * lb + dbz * la);
    return static_cast<float>(atan2(det, D) * 0.15915494309189535);
}

//! The term of boundary edge a -> b (rotated) at q (rotated): the float form where it holds,
//! else the double one.
GYRANT_HOST_DEVICE inline float boundary_term(float ax, float ay, float az, float bx, float by, float bz, float up) {
    bool exact;
    float const t = boundary_term_float(ax, ay, az, bx, by, bz, up, exact);
    return exact ? boundary_term_exact(ax, ay, az, bx, by, bz, up) : t;
}

//! The partial sums of the boundary, added in one fixed order.
GYRANT_HOST_DEVICE inline float add_lanes(float (&p)[BOUNDARY_LANES]) {
    for (unsigned width = BOUNDARY_LANES / 2; width > 0; width /= 2)
        for (unsigned k = 0; k < width; ++k) p[k] = p[2 * k] + p[2 * k + 1];
    return p[0];
}

//! The ray's axis w and the two axes u, v of the plane it pierces, a cyclic permutation of x, y,
//! z (a rotation, so orientations and solid angles keep their signs).
struct RayAxes {
    unsigned u, v, w;
};
GYRANT_HOST_DEVICE inline RayAxes ray_axes(unsigned w) { return {(w + 1) % 3, (w + 2) % 3, w}; }
GYRANT_HOST_DEVICE inline float coordinate(Vec3 const& p, unsigned a) { return a == 0 ? p.x : a == 1 ? p.y : p.z; }
GYRANT_HOST_DEVICE inline Vec3 rotated(Vec3 const& p, RayAxes const& axes) {
    return {coordinate(p, axes.u), coordinate(p, axes.v), coordinate(p, axes.w)};
}

//! Sum of the boundary terms at rq (rotated) for a ray along up * w: edge i into partial sum
//! i % BOUNDARY_LANES.
GYRANT_HOST_DEVICE inline float boundary_sum(RayScene const& scene, Vec3 const& rq, RayAxes const& axes, float up) {
    float partial[BOUNDARY_LANES] = {};
    uint32_t const n = scene.n_boundary, stride = scene.boundary_stride;
    float const* au = scene.boundary + axes.u * stride;
    float const* av = scene.boundary + axes.v * stride;
    float const* aw = scene.boundary + axes.w * stride;
    float const* bu = au + 3 * stride;
    float const* bv = av + 3 * stride;
    float const* bw = aw + 3 * stride;
    for (uint32_t first = 0; first < n; first += BOUNDARY_LANES) {
        GYRANT_UNROLL
        for (unsigned k = 0; k < BOUNDARY_LANES; ++k) {
            uint32_t const i = first + k;
            if (i < n)
                partial[k] += boundary_term(au[i] - rq.x, av[i] - rq.y, aw[i] - rq.z, bu[i] - rq.x, bv[i] - rq.y,
                                            bw[i] - rq.z, up);
        }
    }
    return add_lanes(partial);
}

//! The boundary sum of the kernels (one edge after another); the native code passes its own
//! vectorised one, with the same bits.
struct ScalarBoundarySum {
    GYRANT_HOST_DEVICE float operator()(RayScene const& scene, Vec3 const& rq, RayAxes const& axes, float up) const {
        return boundary_sum(scene, rq, axes, up);
    }
};

//! Calls hit(sign, w) for every crossing of the line through (qu, qv) along axis w with the
//! triangles of `leaf` that reach into (w_lo, w_hi). A first pass marks the candidates without
//! branches (it vectorises over the leaf's planes); most triangles of a leaf the line meets lie
//! beside it.
template <class Hit>
GYRANT_HOST_DEVICE inline void leaf_crossings(RayScene const& scene, uint32_t leaf, RayAxes const& axes, float qu,
                                              float qv, float w_lo, float w_hi, Hit&& hit) {
    uint32_t const first = leaf * PRIMITIVES_PER_LEAF;
    uint32_t const size = scene.n_triangles - first < PRIMITIVES_PER_LEAF ? scene.n_triangles - first
                                                                         : PRIMITIVES_PER_LEAF;
    uint64_t const s = scene.triangles.stride;
    float const* pu = scene.triangles.data + first + axes.u * s;
    float const* pv = scene.triangles.data + first + axes.v * s;
    float const* pw = scene.triangles.data + first + axes.w * s;
    uint32_t candidates = 0;
    uint32_t i = 0;
#if defined(GYRANT_FLAVOUR_HOST) && defined(__GNUC__)
    // Host flavour: four triangles at a time in the CPU's vectors (the same comparisons; SSE2 is
    // the x86-64 baseline). Whole groups of four only: the last plane's tail must not be read
    // past.
    using f4 = float __attribute__((vector_size(16)));
    auto const load4 = [](float const* from) {
        f4 v;
        memcpy(&v, from, sizeof v);
        return v;
    };
    f4 const vu = {qu, qu, qu, qu}, vv = {qv, qv, qv, qv}, vlo = {w_lo, w_lo, w_lo, w_lo}, vhi = {w_hi, w_hi, w_hi, w_hi};
    for (; i + 4 <= size; i += 4) {
        f4 const u0 = load4(pu + i), u1 = load4(pu + 3 * s + i), u2 = load4(pu + 6 * s + i);
        f4 const v0 = load4(pv + i), v1 = load4(pv + 3 * s + i), v2 = load4(pv + 6 * s + i);
        f4 const w0 = load4(pw + i), w1 = load4(pw + 3 * s + i), w2 = load4(pw + 6 * s + i);
        auto const m = ((u0 > vu) | (u1 > vu) | (u2 > vu)) & ((u0 <= vu) | (u1 <= vu) | (u2 <= vu)) &
                       ((v0 > vv) | (v1 > vv) | (v2 > vv)) & ((v0 <= vv) | (v1 <= vv) | (v2 <= vv)) &
                       ((w0 > vlo) | (w1 > vlo) | (w2 > vlo)) & ((w0 < vhi) | (w1 < vhi) | (w2 < vhi));
        candidates |= ((static_cast<uint32_t>(m[0]) & 1u) | (static_cast<uint32_t>(m[1]) & 2u) |
                       (static_cast<uint32_t>(m[2]) & 4u) | (static_cast<uint32_t>(m[3]) & 8u))
                      << i;
    }
#endif
    for (; i < size; ++i) {
        float const u0 = pu[i], u1 = pu[3 * s + i], u2 = pu[6 * s + i];
        float const v0 = pv[i], v1 = pv[3 * s + i], v2 = pv[6 * s + i];
        float const w0 = pw[i], w1 = pw[3 * s + i], w2 = pw[6 * s + i];
        // span_meets over the three vertices, in comparisons only (no calls, no branches).
        bool const meets = ((u0 > qu) | (u1 > qu) | (u2 > qu)) & ((u0 <= qu) | (u1 <= qu) | (u2 <= qu)) &
                           ((v0 > qv) | (v1 > qv) | (v2 > qv)) & ((v0 <= qv) | (v1 <= qv) | (v2 <= qv)) &
                           ((w0 > w_lo) | (w1 > w_lo) | (w2 > w_lo)) & ((w0 < w_hi) | (w1 < w_hi) | (w2 < w_hi));
        candidates |= static_cast<uint32_t>(meets) << i;
    }
    while (candidates != 0) {
        uint32_t const k = lowest_bit(candidates);
        candidates &= candidates - 1;
        Triangle const t{{pu[k], pv[k], pw[k]}, {pu[3 * s + k], pv[3 * s + k], pw[3 * s + k]},
                         {pu[6 * s + k], pv[6 * s + k], pw[6 * s + k]}};
        double w;
        int const sign = line_crossing(t, qu, qv, w);
        if (sign != 0) hit(sign, w);
    }
}

//! Whether a box may hold a crossing of the line within (w_lo, w_hi).
GYRANT_HOST_DEVICE inline bool box_meets(RayBox const& b, RayAxes const& axes, float qu, float qv, float w_lo,
                                         float w_hi) {
    return span_meets(b.lo[axes.u], b.hi[axes.u], qu) && span_meets(b.lo[axes.v], b.hi[axes.v], qv) &&
           b.hi[axes.w] > w_lo && b.lo[axes.w] < w_hi;
}

//! Calls hit(sign, w) for every crossing of the line through (qu, qv) along axis w whose
//! triangle reaches into (w_lo, w_hi), walking the hierarchy depth first. hit(0, 0) means: the
//! stack overflowed, forget the crossings so far; all of them follow again, leaf by leaf.
template <class Hit>
GYRANT_HOST_DEVICE inline void line_crossings(RayScene const& scene, RayAxes const& axes, float qu, float qv,
                                              float w_lo, float w_hi, Hit&& hit) {
    if (scene.n_leaves == 0) return;
    if (scene.nodes == nullptr) {
        if (box_meets(scene.leaf_boxes[0], axes, qu, qv, w_lo, w_hi))
            leaf_crossings(scene, 0, axes, qu, qv, w_lo, w_hi, hit);
        return;
    }
    uint32_t stack[RAY_STACK_CAPACITY];
    unsigned top = 0;
    bool overflow = false;
    if (box_meets(scene.node_boxes[0], axes, qu, qv, w_lo, w_hi)) stack[top++] = 0;
    while (top > 0 && !overflow) {
        uint32_t const entry = stack[--top];
        if (entry & RAY_LEAF_BIT) {
            leaf_crossings(scene, entry & ~RAY_LEAF_BIT, axes, qu, qv, w_lo, w_hi, hit);
            continue;
        }
        BVH8Node const node = scene.nodes[entry];
        uint32_t internal = node.first_child;
        for (unsigned k = 0; k < 8; ++k) {
            ChildType const type = node.getChildMeta(k);
            uint32_t item;
            if (type == ChildType::Internal) {
                item = internal++;
                if (!box_meets(scene.node_boxes[item], axes, qu, qv, w_lo, w_hi)) continue;
            } else if (type == ChildType::Leaf) {
                uint32_t const leaf = scene.leaf_pointers[entry].leaves[k];
                if (!box_meets(scene.leaf_boxes[leaf], axes, qu, qv, w_lo, w_hi)) continue;
                item = leaf | RAY_LEAF_BIT;
            } else {
                continue;
            }
            if (top == RAY_STACK_CAPACITY) {
                overflow = true;
                break;
            }
            stack[top++] = item;
        }
    }
    if (!overflow) return;
    hit(0, 0.0);
    for (uint32_t leaf = 0; leaf < scene.n_leaves; ++leaf)
        if (box_meets(scene.leaf_boxes[leaf], axes, qu, qv, w_lo, w_hi))
            leaf_crossings(scene, leaf, axes, qu, qv, w_lo, w_hi, hit);
}

//! The exact winding number at q (engine frame). NaN for a coordinate that is not finite, as
//! compute and brute_force give.
//! Any of the six axis directions gives the same number; the ray takes the one that leaves the
//! surface's box soonest, which meets the fewest leaves.
template <class BoundarySum = ScalarBoundarySum>
GYRANT_HOST_DEVICE inline float exact_winding_number(RayScene const& scene, Vec3 const& q,
                                                     BoundarySum const& boundary = BoundarySum{}) {
    if (!(fabsf(q.x) <= 3.40282347e38f && fabsf(q.y) <= 3.40282347e38f && fabsf(q.z) <= 3.40282347e38f))
        return (q.x + q.y + q.z) * 0.0f;  // NaN: infinity times 0, or the NaN itself
    unsigned best_axis = 2;
    bool up = true;
    float best = scene.bounds.hi[2] - q.z;
    for (unsigned a = 0; a < 3; ++a) {
        float const c = coordinate(q, a);
        if (scene.bounds.hi[a] - c < best) best = scene.bounds.hi[a] - c, best_axis = a, up = true;
        if (c - scene.bounds.lo[a] < best) best = c - scene.bounds.lo[a], best_axis = a, up = false;
    }
    RayAxes const axes = ray_axes(best_axis);
    float const qu = coordinate(q, axes.u), qv = coordinate(q, axes.v), qw = coordinate(q, axes.w);
    int crossings = 0;
    double const qw_wide = qw;
    float const inf = INFINITY;
    // Along -w a crossing leaves through the counter-clockwise side when it is clockwise seen
    // from +w: the signs turn over.
    line_crossings(scene, axes, qu, qv, up ? qw : -inf, up ? inf : qw, [&](int sign, double w) {
        if (sign == 0) {
            crossings = 0;
            return;
        }
        if (up ? w > qw_wide : w < qw_wide) crossings += up ? sign : -sign;
    });
    if (scene.n_boundary == 0) return static_cast<float>(crossings);
    return static_cast<float>(crossings) + boundary(scene, rotated(q, axes), axes, up ? 1.0f : -1.0f);
}

//! Voxel k of a grid row: origin + k * spacing, each operation rounded (what a caller computes
//! in float32), then brought into the engine's frame.
GYRANT_HOST_DEVICE inline float grid_coordinate(float origin, float spacing, uint32_t k, float scale) {
#if defined(__CUDA_ARCH__)
    float const c = __fadd_rn(__fmul_rn(static_cast<float>(k), spacing), origin);  // never fused
#else
    float const c = static_cast<float>(k) * spacing + origin;  // host builds do not contract
#endif
    return c * scale;
}


//! Row r = i * ny + j of the grid into out[r * nz ...]: one line's crossings counted into the
//! voxels below them by a difference array and a prefix sum, then each voxel's boundary sum.
template <class BoundarySum = ScalarBoundarySum>
GYRANT_HOST_DEVICE inline void exact_grid_row(RayScene const& scene, RayGrid const& g, uint64_t row, float* out,
                                              BoundarySum const& boundary = BoundarySum{}) {
    uint32_t const nz = g.shape[2];
    uint64_t const i = row / g.shape[1], j = row % g.shape[1];
    float const qx = grid_coordinate(g.origin[0], g.spacing[0], static_cast<uint32_t>(i), g.scale);
    float const qy = grid_coordinate(g.origin[1], g.spacing[1], static_cast<uint32_t>(j), g.scale);
    for (uint32_t k = 0; k < nz; ++k) out[k] = 0.0f;
    float const z_first = grid_coordinate(g.origin[2], g.spacing[2], 0, g.scale);
    int total = 0;  // crossings above the whole row: no difference entry needed
    float const inf = INFINITY;
    line_crossings(scene, ray_axes(2), qx, qy, -inf, inf, [&](int sign, double z) {
        if (sign == 0) {
            for (uint32_t k = 0; k < nz; ++k) out[k] = 0.0f;
            total = 0;
            return;
        }
        if (!(z > double(z_first))) return;  // below every voxel
        // m = the number of voxels strictly below z; they all see this crossing.
        double const guess = (z / g.scale - g.origin[2]) / g.spacing[2];
        uint32_t m = guess <= 0.0 ? 0u : guess >= double(nz) ? nz : static_cast<uint32_t>(guess);
        while (m > 0 && !(double(grid_coordinate(g.origin[2], g.spacing[2], m - 1, g.scale)) < z)) --m;
        while (m < nz && double(grid_coordinate(g.origin[2], g.spacing[2], m, g.scale)) < z) ++m;
        total += sign;
        if (m < nz) out[m] -= static_cast<float>(sign);
    });
    float running = static_cast<float>(total);
    for (uint32_t k = 0; k < nz; ++k) {
        running += out[k];
        out[k] = running;
    }
    if (scene.n_boundary == 0) return;
    for (uint32_t k = 0; k < nz; ++k) {
        Vec3 const q{qx, qy, grid_coordinate(g.origin[2], g.spacing[2], k, g.scale)};
        out[k] += boundary(scene, rotated(q, ray_axes(2)), ray_axes(2), 1.0f);
    }
}

}  // namespace gyrant_rays

//! Voxel v (row-major over the shape) of the grid in the caller's units.
namespace gyrant_rays {
GYRANT_HOST_DEVICE inline Vec3 grid_point(RayGrid const& g, uint64_t v) {
    uint32_t const k = static_cast<uint32_t>(v % g.shape[2]);
    uint64_t const row = v / g.shape[2];
    uint32_t const j = static_cast<uint32_t>(row % g.shape[1]);
    uint32_t const i = static_cast<uint32_t>(row / g.shape[1]);
    return {grid_coordinate(g.origin[0], g.spacing[0], i, 1.0f), grid_coordinate(g.origin[1], g.spacing[1], j, 1.0f),
            grid_coordinate(g.origin[2], g.spacing[2], k, 1.0f)};
}
}  // namespace gyrant_rays

//! One thread per query: out[i] = exact winding number at queries[i] * query_scale.
__global__ void exact_winding_numbers_kernel(RayScene scene, Vec3 const* __restrict__ queries,
                                             unsigned int n_queries, float query_scale, float* __restrict__ out);
//! One thread per grid row.
__global__ void exact_grid_kernel(RayScene scene, RayGrid grid, uint64_t n_rows, float* __restrict__ out);

//! Enqueues the exact winding numbers of n queries (caller's units) on `stream`.
void compute_exact_winding_numbers(RayScene const& scene, Vec3 const* queries, unsigned int n,
                                   float query_scale, float* out, cudaStream_t stream);
//! Enqueues the coordinates (caller's units) of voxels first .. first + count - 1.
void fill_grid_points(RayGrid const& grid, uint64_t first, uint64_t count, Vec3* points, cudaStream_t stream);
//! Enqueues the exact winding numbers of every voxel of `grid` (rows along z) on `stream`.
void compute_exact_grid(RayScene const& scene, RayGrid const& grid, float* out, cudaStream_t stream);

// Closest points over the 8-wide hierarchy: the nearest child first, pruned by the best squared
// distance found so far (which starts at max_distance^2). The formulas below are shared by the
// kernel, the native walk (src/cpp/cpu/nearest.cpp) and the tests, so both flavours find the
// same squared distances bit for bit.
#pragma once

#include "platform.h"

#include "bvh8.h"
#include "geometry.h"
#include "vec3.h"

#include <cstdint>

//! Threads per block of the nearest kernel (one query per thread).
inline constexpr unsigned NEAREST_BLOCK = 128;
//! Entries of each thread's stack: one per pending child. A child that no longer fits is searched
//! at once, leaf by leaf over its range (no stack needed), so any depth is walked exactly.
inline constexpr unsigned NEAREST_STACK_CAPACITY = 48;
//! What a query without a primitive within max_distance (or a non-finite one) gets as its index.
inline constexpr int64_t NO_PRIMITIVE = -1;

//! Squared distance from q to the segment a + t ab, t in [0, 1], and that t. A zero-length
//! segment is its point.
GYRANT_HOST_DEVICE inline float segment_distance2(Vec3 const& a, Vec3 const& ab, Vec3 const& q, float& t) {
    Vec3 const ap = q - a;
    float const l2 = ab.dot(ab);
    float s = l2 > 0.0f ? ap.dot(ab) / l2 : 0.0f;
    s = fminf(fmaxf(s, 0.0f), 1.0f);  // fmaxf drops a NaN ratio (l2 overflowed): the start point
    t = s;
    return (ap - ab * s).length2();
}

//! Squared distance from q to triangle t and the closest point on it. Without branches on the
//! region (the kernels' threads stay together, the native loops vectorise): the distance to the
//! plane where q projects inside the triangle, else the nearest of the three edges. A triangle
//! of zero area (repeated or collinear corners) has no inside: it is its edges, a segment or a
//! point, never NaN.
GYRANT_HOST_DEVICE inline float triangle_distance2(Triangle const& tri, Vec3 const& q, Vec3& closest) {
    Vec3 const ab = tri.v1 - tri.v0, bc = tri.v2 - tri.v1, ca = tri.v0 - tri.v2;
    Vec3 const n = Vec3::cross(ab, tri.v2 - tri.v0);
    float const nn = n.length2();
    Vec3 const ap = q - tri.v0, bp = q - tri.v1, cp = q - tri.v2;
    bool const inside = nn > 0.0f && Vec3::cross(ab, ap).dot(n) >= 0.0f && Vec3::cross(bc, bp).dot(n) >= 0.0f &&
                        Vec3::cross(ca, cp).dot(n) >= 0.0f;
    float t0, t1, t2;
    float const d0 = segment_distance2(tri.v0, ab, q, t0);
    float const d1 = segment_distance2(tri.v1, bc, q, t1);
    float const d2 = segment_distance2(tri.v2, ca, q, t2);
    float best = d0;
    Vec3 point = tri.v0 + ab * t0;
    if (d1 < best) {
        best = d1;
        point = tri.v1 + bc * t1;
    }
    if (d2 < best) {
        best = d2;
        point = tri.v2 + ca * t2;
    }
    if (inside) {
        // The foot of the perpendicular: q less its offset along the normal.
        Vec3 const offset = n * (n.dot(ap) / nn);
        float const plane = offset.length2();
        if (plane <= best) {  // rounding could make a corner case's edge nearer: keep the nearer
            best = plane;
            point = q - offset;
        }
    }
    closest = point;
    return best;
}

//! Squared distance to an oriented point: its position.
GYRANT_HOST_DEVICE inline float primitive_distance2(PointNormal const& p, Vec3 const& q, Vec3& closest) {
    closest = p.position;
    return (p.position - q).length2();
}
GYRANT_HOST_DEVICE inline float primitive_distance2(Triangle const& t, Vec3 const& q, Vec3& closest) {
    return triangle_distance2(t, q, closest);
}

//! A lower bound of the squared distance from q to anything inside the box [lo, hi]. NaN corners
//! count as unbounded (fmaxf drops them), so they never prune.
GYRANT_HOST_DEVICE inline float box_distance2(Vec3 const& lo, Vec3 const& hi, Vec3 const& q) {
    float const dx = fmaxf(fmaxf(lo.x - q.x, q.x - hi.x), 0.0f);
    float const dy = fmaxf(fmaxf(lo.y - q.y, q.y - hi.y), 0.0f);
    float const dz = fmaxf(fmaxf(lo.z - q.z, q.z - hi.z), 0.0f);
    return dx * dx + dy * dy + dz * dz;
}

//! A lower bound of a primitive's squared distance, cheaper than the distance: its box's. Both
//! walks skip a triangle whose bound cannot improve on the best (a point has no cheaper test).
GYRANT_HOST_DEVICE inline float primitive_bound2(Triangle const& t, Vec3 const& q) {
    Vec3 const lo{fminf(fminf(t.v0.x, t.v1.x), t.v2.x), fminf(fminf(t.v0.y, t.v1.y), t.v2.y),
                  fminf(fminf(t.v0.z, t.v1.z), t.v2.z)};
    Vec3 const hi{fmaxf(fmaxf(t.v0.x, t.v1.x), t.v2.x), fmaxf(fmaxf(t.v0.y, t.v1.y), t.v2.y),
                  fmaxf(fmaxf(t.v0.z, t.v1.z), t.v2.z)};
    return box_distance2(lo, hi, q);
}
GYRANT_HOST_DEVICE inline float primitive_bound2(PointNormal const&, Vec3 const&) { return 0.0f; }

//! A half corner widened to the float bound of what it was rounded from: rounding to nearest half
//! moves a value by at most half a unit of its last place, 2^-11 of its magnitude (2^-25 below the
//! normal range); this moves by more than twice that. Infinite corners stay infinite outward.
GYRANT_HOST_DEVICE inline float half_lower_bound(__half h) {
    float const x = __half2float(h);
    return x - (fabsf(x) * 0.0009765625f + 5.9604645e-8f);
}
GYRANT_HOST_DEVICE inline float half_upper_bound(__half h) {
    float const x = __half2float(h);
    return x + (fabsf(x) * 0.0009765625f + 5.9604645e-8f);
}
GYRANT_HOST_DEVICE inline float half_box_distance2(Vec3_f16 const& lo, Vec3_f16 const& hi, Vec3 const& q) {
    return box_distance2({half_lower_bound(lo.x), half_lower_bound(lo.y), half_lower_bound(lo.z)},
                         {half_upper_bound(hi.x), half_upper_bound(hi.y), half_upper_bound(hi.z)}, q);
}

//! Whether a candidate at squared distance d2 (a primitive, or a lower bound of a child's) can
//! beat the best so far. Before anything is found, reaching the limit exactly is enough: a query
//! so far away that every squared distance overflows still gets its primitive.
GYRANT_HOST_DEVICE inline bool may_improve(float d2, float best, bool found) {
    return d2 < best || (!found && d2 <= best);
}

//! |d| without overflow of the squares (all of d's digits matter only far beyond the scene).
GYRANT_HOST_DEVICE inline float robust_length(Vec3 const& d) {
    float const l2 = d.length2();
    if (l2 <= 3.40282347e38f) return sqrtf(l2);
    constexpr float down = 5.421011e-20f, up = 1.8446744e19f;  // 2^-64, 2^64
    return sqrtf((d * down).length2()) * up;
}

//! The distance of a found primitive: from its squared distance (accurate to the last bits near
//! the surface), or from the closest point where the square overflowed.
GYRANT_HOST_DEVICE inline float nearest_distance(float best2, Vec3 const& closest, Vec3 const& q) {
    return best2 <= 3.40282347e38f ? sqrtf(best2) : robust_length(closest - q);
}

//! Whether every coordinate of q is finite.
GYRANT_HOST_DEVICE inline bool finite_query(Vec3 const& q) {
    return fabsf(q.x) <= 3.40282347e38f && fabsf(q.y) <= 3.40282347e38f && fabsf(q.z) <= 3.40282347e38f;
}

//! Everything the nearest kernel reads and writes; pointers are device memory.
template <class T>
struct NearestParams {
    Vec3 const* queries;              // caller's order and units
    unsigned int const* query_order;  // sorted slot -> caller's index
    BVH8Node const* nodes;            // node 0 is the root; unused for a single leaf
    LeafPointers const* leaf_pointers;
    AABB const* leaf_aabbs;           // by leaf index
    SoAView<T> geometry;              // sorted primitives, in the engine's frame
    uint32_t const* sorted_indices;   // sorted position -> caller's primitive index
    unsigned int n_queries;
    unsigned int n_primitives;
    float max_distance2;   // in the engine's frame; +inf for no limit
    float query_scale;     // the engine's frame: queries are multiplied by it
    float* distance;       // n_queries, caller's units
    float* points;         // 3 n_queries, caller's units; may be null
    int64_t* index;        // n_queries; may be null
};

//! Enqueues the nearest walk of every query on `stream`. Writes, per query: the distance to the
//! nearest primitive, that primitive's closest point and its index in the caller's order; inf,
//! NaN and -1 when none lies within max_distance; NaN, NaN and -1 for a query with a non-finite
//! coordinate. Precondition: n_primitives > 0.
template <class T>
void nearest_primitives(NearestParams<T> const& params, cudaStream_t stream);

//! How the sign of a signed distance is taken.
enum class SignMode : int {
    Winding = 0,     // inside where w > 0.5
    AbsWinding = 1,  // inside where |w| > 0.5
    None = 2,        // no sign: the unsigned distance
};

//! The value the sign is decided on: w, or |w| for soups oriented inconsistently.
GYRANT_HOST_DEVICE inline float sign_statistic(float w, SignMode mode) {
    return mode == SignMode::AbsWinding ? fabsf(w) : w;
}
//! Whether w, known to within `margin`, leaves its side of 0.5 in doubt.
GYRANT_HOST_DEVICE inline bool sign_in_doubt(float w, SignMode mode, float margin) {
    return fabsf(sign_statistic(w, mode) - 0.5f) <= margin;
}
//! The distance, negative inside. A distance that is not finite (no primitive within
//! max_distance, or a NaN query) is kept as it is.
GYRANT_HOST_DEVICE inline float signed_by_winding(float distance, float w, SignMode mode) {
    if (!(fabsf(distance) <= 3.40282347e38f)) return distance;
    return sign_statistic(w, mode) > 0.5f ? -distance : distance;
}

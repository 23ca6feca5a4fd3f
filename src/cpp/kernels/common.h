// Scene box, Morton ordering and the gathers into sorted structure-of-arrays storage.
#pragma once

#include "platform.h"
#include "aabb.h"
#include "device_algorithms.h"
#include "geometry.h"

#include <cstdint>

//! What every primitive's Morton code depends on: one scale for all three axes and the scene
//! box, of which only the lower corner is read.
struct SceneParams {
    float inv_extent;
    AABB bounds;
};
static_assert(sizeof(SceneParams) == 32, "SceneParams is copied to the device as one record");

//! Each axis is quantised to 21 bits.
inline constexpr unsigned MORTON_AXIS_BITS = 21;
inline constexpr float MORTON_AXIS_MAX = 2097151.0f;  // 2^21 - 1
//! Scene extents at or below this give inv_extent 0 (every code 0).
inline constexpr float MIN_SCENE_EXTENT = 1e-9f;
//! Block size of the gathers.
inline constexpr unsigned GATHER_BLOCK = 256;

//! Keeps the low 21 bits of v and moves bit k to bit 3k.
GYRANT_HOST_DEVICE inline uint64_t splitBy3(unsigned int v) {
    uint64_t x = v & 0x1fffffu;
    x = (x | x << 32) & 0x1f00000000ffffull;
    x = (x | x << 16) & 0x1f0000ff0000ffull;
    x = (x | x << 8) & 0x100f00f00f00f00full;
    x = (x | x << 4) & 0x10c30c30c30c30c3ull;
    x = (x | x << 2) & 0x1249249249249249ull;
    return x;
}

//! Interleaves three 21-bit coordinates: x in bits 3k, y in 3k + 1, z in 3k + 2; bit 63 stays 0.
GYRANT_HOST_DEVICE inline uint64_t morton3D_63bit(unsigned int x, unsigned int y, unsigned int z) {
    return splitBy3(x) | splitBy3(y) << 1 | splitBy3(z) << 2;
}

//! One axis of a centroid quantised to 0 .. 2^21 - 1. The clamps matter: the lower corner is
//! rounded to half, so u can be slightly negative, and the extent comes from rounded corners, so
//! u can slightly exceed 1. A NaN lands on 0.
GYRANT_HOST_DEVICE inline unsigned int quantize_morton_axis(float u) {
    float q = fmaxf(u * MORTON_AXIS_MAX, 0.0f);  // fmaxf drops the NaN
    q = fminf(q, MORTON_AXIS_MAX);
    return static_cast<unsigned int>(q);
}

//! Morton code of a centroid c under the scene parameters p.
GYRANT_HOST_DEVICE inline uint64_t morton_code_of(Vec3 const& c, SceneParams const& p) {
    Vec3 const u = (c - Vec3::from_f16(p.bounds.min)) * p.inv_extent;
    return morton3D_63bit(quantize_morton_axis(u.x), quantize_morton_axis(u.y),
                          quantize_morton_axis(u.z));
}

//! Scale of the scene box: 1 / (largest extent), or 0 when that extent is at most 1e-9, not a
//! number or infinite. Extents are half subtractions of the rounded corners.
GYRANT_HOST_DEVICE inline SceneParams make_scene_params(AABB const& box) {
    Vec3 const e = Vec3::from_f16(box.max - box.min);
    float const extent = fmaxf(fmaxf(e.y, e.z), e.x);  // fmaxf ignores a NaN operand
    float inv = 0.0f;
    if (extent > MIN_SCENE_EXTENT) inv = 1.0f / extent;  // 1 / inf = 0 as well
    return {inv, box};
}

//! The box a primitive contributes to the scene box.
template <class G>
struct GeometryToAABB {
    GYRANT_HOST_DEVICE AABB operator()(G const& g) const { return g.get_aabb(); }
};

//! Union of two boxes, both operands weighted 1.
struct MergeAABB {
    GYRANT_HOST_DEVICE AABB operator()(AABB const& a, AABB const& b) const {
        return AABB::merge(a, b, 1, 1);
    }
};

//! The identity of MergeAABB: corners (+inf) and (-inf), centre 0, radius 0.
GYRANT_HOST_DEVICE inline AABB empty_scene_box() {
    AABB r;
    r.min = Vec3_f16::from_float({INFINITY, INFINITY, INFINITY});
    r.max = Vec3_f16::from_float({-INFINITY, -INFINITY, -INFINITY});
    r.center = {0.0f, 0.0f, 0.0f};
    r.radius = __float2half_rn(0.0f);
    return r;
}

//! Scene box of n device primitives (G = Triangle or Vec3); blocks until the box is on the host.
template <class G>
AABB scene_bounds(G const* primitives, unsigned long n, gyrant::StreamPolicy& policy);

//! Morton codes of n device primitives under `params` (each engine keeps its own), written to
//! codes in input order; blocks until done. The centroids are multiplied by `scale` first (queries
//! in the caller's units, for an engine that works in a scaled frame).
template <class G>
void morton_codes(G const* primitives, unsigned long n, unsigned long* codes,
                  gyrant::StreamPolicy& policy, SceneParams const& params, float scale = 1.0f);

//! How far n device points (3 floats each) spread: the largest side of their box and the largest
//! absolute coordinate. NaN coordinates are ignored; no point gives 0 and 0. Blocks until done.
struct CoordinateSpread {
    float extent;
    float magnitude;
};
CoordinateSpread coordinate_spread(float const* points, unsigned long n, gyrant::StreamPolicy& policy);

//! dst[i] = src[i] * factor for count device floats (dst may be src); blocks until done.
void scale_floats(float const* src, unsigned long count, float factor, float* dst,
                  gyrant::StreamPolicy& policy);

//! Leaf key j = sorted_codes[32 j] for the ceil(n / 32) leaves; blocks until done.
void compute_leaf_keys(unsigned long const* sorted_codes, unsigned long n, unsigned long* leaf_keys,
                       gyrant::StreamPolicy& policy);

//! Triangle soup (9 floats per triangle, input order) into 9 planes of n floats in the order
//! given by `order` (entry i = input index of sorted position i). Enqueued on stream.
void gather_triangles_soa(float const* triangles, unsigned int const* order, float* soa,
                          unsigned int n, CUstream_st* const& stream);

//! Positions and normals (3 floats each, input order) into 6 planes of n floats in the order
//! given by `order`. Enqueued on stream.
void gather_point_normals_soa(float const* points, float const* normals,
                              unsigned int const* order, float* soa, unsigned int n,
                              CUstream_st* const& stream);
//! Only the normals (3 floats each, input order) into planes 3-5 of that storage.
void gather_normals_soa(float const* normals, unsigned int const* order, float* soa, unsigned int n,
                        CUstream_st* const& stream);

// Native closest points of the host flavour: the nearest walk over the walk layout of native.h,
// with single-precision boxes of its own, on all cores.
#pragma once

#include "platform.h"

#include "cpu/native.h"
#include "geometry.h"

#include <cstdint>
#include <vector>

namespace gyrant::cpu {

//! The boxes of one WideTree entry's eight slots, in the engine's frame: the exact single-precision
//! bounds of the primitives below each slot (the hierarchy's own half corners are too coarse
//! to prune near the surface). Empty slots are never read.
struct alignas(64) SlotBoxes {
    float lo_x[8], lo_y[8], lo_z[8], hi_x[8], hi_y[8], hi_z[8];
};
static_assert(sizeof(SlotBoxes) == 192, "six rows of eight floats");

//! The bounds of a leaf's four groups of eight primitives, each an oriented box: centre c, axes
//! u, v, n (n along the group's summed normal, so that a flat patch is thin along it) and the
//! range of the primitives' coordinates along each axis, relative to c. A leaf the walk reaches
//! loads only the groups that can hold a nearer primitive; a group facing the query prunes far
//! better than its axis-aligned box. A group with a non-finite coordinate is unbounded.
struct alignas(64) GroupFrames {
    float c_x[4], c_y[4], c_z[4];
    float u_x[4], u_y[4], u_z[4], v_x[4], v_y[4], v_z[4], n_x[4], n_y[4], n_z[4];
    float lo_u[4], lo_v[4], lo_n[4], hi_u[4], hi_v[4], hi_n[4];
};
static_assert(sizeof(GroupFrames) == 320, "eighteen rows of four floats, padded to a cache line");

//! What the nearest walk adds to the walk layout: one SlotBoxes per WideTree entry and one
//! GroupFrames per leaf (320 bytes per 32 primitives, 10 bytes each, plus 192 bytes per entry:
//! about 12 bytes per primitive in all on CGAL's bunny and shark), made on the first
//! closest-point query of an engine.
struct NearestTree {
    std::vector<SlotBoxes> boxes;     // parallel to WideTree::nodes
    std::vector<GroupFrames> groups;  // by leaf
};

//! The boxes of scene.tree's slots over its sorted primitives, on all cores. Precondition:
//! scene.tree is not null.
template <class T>
NearestTree make_nearest_tree(QueryScene<T> const& scene);

//! Where closest_point writes: n distances, and optionally 3 n coordinates and n indices.
struct NearestOutput {
    float* distance;
    float* points;   // may be null
    int64_t* index;  // may be null
};

//! The nearest primitive of each of n queries (caller's order and units in and out): its
//! distance, its closest point and its index in the caller's order (sorted_indices maps the
//! sorted storage back). Nothing within max_distance2 (engine's frame, squared): inf, NaN, -1; a
//! query with a non-finite coordinate: NaN, NaN, -1. The same squared distances as the kernel's,
//! bit for bit. `boxes` may be null only when scene.tree is. `order`, when not null, receives the
//! n caller's indices in the order walked (Morton order of the queries; the identity without a tree).
template <class T>
void nearest(QueryScene<T> const& scene, NearestTree const* boxes, uint32_t const* sorted_indices,
             Vec3 const* queries, unsigned long n, float max_distance2, NearestOutput const& out,
             uint32_t* order = nullptr);

}  // namespace gyrant::cpu

// What the exact method adds to a triangle engine's hierarchy: exact float boxes of its nodes
// and leaves, and the surface's boundary chain. Built on the host from host copies.
#pragma once

#include "platform.h"

#include "bvh8.h"
#include "kernels/rays.h"

#include <cstdint>
#include <vector>

namespace gyrant {

//! The directed edges of the triangles (sorted structure-of-arrays storage, stride n) that do
//! not cancel: vertices are merged by identical coordinates (+0 and -0 alike), each undirected
//! edge keeps the net count of its two directions, and an edge left with count c appears |c|
//! times in its surviving direction. Degenerate edges (both ends the same vertex) cancel
//! themselves. The order is deterministic (by the edges' first appearance).
std::vector<BoundarySegment> boundary_chain(float const* soa, uint64_t n);

//! Exact float boxes of the n_leaves leaves of 32 consecutive sorted triangles, and of the
//! node_count 8-wide nodes (breadth-first numbering: every child after its parent).
void ray_boxes(float const* soa, uint64_t n, BVH8Node const* nodes, LeafPointers const* leaf_pointers,
               uint32_t node_count, std::vector<RayBox>& node_boxes, std::vector<RayBox>& leaf_boxes);

//! Whether every coordinate of the n triangles is finite (the crossings need it).
bool all_finite(float const* soa, uint64_t n);

}  // namespace gyrant

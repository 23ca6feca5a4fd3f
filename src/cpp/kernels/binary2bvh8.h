// Collapse of the binary radix tree into the 8-wide hierarchy, and the exact node distance
// bounds that replace each node's radius afterwards.
#pragma once

#include "platform.h"
#include "bvh8.h"
#include "geometry.h"

#include <cmath>

//! Threads per block of the cooperative conversion (the block scan is built for 256).
inline constexpr unsigned BVH8_CONVERT_BLOCK = 256;
//! Child slots of an 8-wide node.
inline constexpr unsigned BVH8_WIDTH = 8;
//! Threads per block of the distance pass: four warps, that is four whole leaves.
inline constexpr unsigned MAX_DISTANCE_BLOCK = 128;
//! Nodes 0 .. MAX_DISTANCE_CACHED_NODES - 1 (the top of the breadth-first numbering) collect
//! their maxima in shared memory first; one entry per thread of the block.
inline constexpr unsigned MAX_DISTANCE_CACHED_NODES = MAX_DISTANCE_BLOCK;
static_assert(MAX_DISTANCE_BLOCK % PRIMITIVES_PER_LEAF == 0, "a block of the distance pass holds whole leaves");
inline constexpr unsigned QUANTIZE_BLOCK = 256;

//! The key by which the collapse picks the slot to open: the box's squared radius, with NaN
//! (an axis whose corners are both infinite, as half precision gives for coordinates beyond
//! +-65504, or NaN coordinates) read as +infinity. A NaN would never win the ordered comparison,
//! so a frontier node with such a box would be re-queued as its own only child forever.
GYRANT_HOST_DEVICE inline float bvh8_opening_key(AABB const& box) {
    float const r = box.radius_sq();
    return isnan(r) ? INFINITY : r;
}

//! Slots of the 8-wide node made from binary internal node b: starting from [b], repeatedly
//! open the internal slot with the largest opening key (ties to the lowest slot; the left child
//! takes the opened slot, the right child is appended) until 8 slots are used or all hold
//! leaves. Returns the number of occupied slots; slots[0 .. count) hold combined indices.
GYRANT_HOST_DEVICE inline unsigned bvh8_collapse(unsigned b, AABB const* __restrict__ boxes,
                                                 BinaryNode const* __restrict__ nodes,
                                                 unsigned num_internal, unsigned (&slots)[BVH8_WIDTH]) {
    slots[0] = b;
    unsigned count = 1;
    while (count < BVH8_WIDTH) {
        int best = -1;
        float best_r = -1.0f;
        for (unsigned k = 0; k < count; ++k) {
            unsigned const s = slots[k];
            if (BinaryNode::is_leaf(s, num_internal)) continue;
            float const r = bvh8_opening_key(boxes[s]);
            if (r > best_r) {
                best = static_cast<int>(k);
                best_r = r;
            }
        }
        if (best < 0) break;
        BinaryNode const opened = nodes[slots[best]];
        slots[best] = opened.left;
        slots[count++] = opened.right;
    }
    return count;
}

//! Writes 8-wide node `my`, made from the binary node with box `box` whose collapse gave
//! slots[0 .. count): its record (the box, the slot types, `first` = index of its first internal
//! child; the others follow in slot order), its leaf row, each leaf slot's parent, and each
//! internal slot's binary index in next[] (the next level's frontier, from this node's place in
//! it) and its parent.
GYRANT_HOST_DEVICE inline void write_bvh8_node(unsigned my, unsigned first, AABB const& box,
                                               unsigned const (&slots)[BVH8_WIDTH], unsigned count,
                                               unsigned num_internal, unsigned* next, unsigned* node_parents,
                                               unsigned* leaf_parents, BVH8Node* nodes, LeafPointers* rows) {
    BVH8Node node;
    node.first_child = first;
    node.min = box.min;
    node.max = box.max;
    node.center = box.center;
    node.radius = box.radius;
    node.child_meta = 0;
    LeafPointers row;
    unsigned c = 0;
    GYRANT_UNROLL
    for (unsigned k = 0; k < BVH8_WIDTH; ++k) {
        row.leaves[k] = INVALID_INDEX;
        if (k >= count) {
            node.setChildMeta(k, ChildType::Empty);
            continue;
        }
        unsigned const s = slots[k];
        if (BinaryNode::is_leaf(s, num_internal)) {
            unsigned const leaf = s - num_internal;
            node.setChildMeta(k, ChildType::Leaf);
            leaf_parents[leaf] = my;
            row.leaves[k] = leaf;
        } else {
            node.setChildMeta(k, ChildType::Internal);
            next[c] = s;
            node_parents[first + c] = my;
            ++c;
        }
    }
    nodes[my] = node;
    rows[my] = row;
}

//! Builds the 8-wide hierarchy from the binary tree in one cooperative launch (breadth-first
//! numbering, root 0) and writes node_count. L = 1 writes no node and marks the single leaf as
//! having no 8-wide parent; L = 0 does nothing. Throws std::runtime_error("Device does not
//! support Cooperative Launch") before enqueueing anything when `device` cannot run it.
void convert_binary_tree_to_bvh8(ConvertBinary2BVH8Params params, int device,
                                 CUstream_st* const& stream);

//! Sets every node's radius to the largest distance from its centre to any point of any
//! primitive below it (computed in float, stored rounded to half). `max_distances` holds
//! num_nodes floats set to 0.0 by the caller. T = Triangle or PointNormal.
template <class T>
void compute_max_distances(BVH8Node* nodes, float const* primitives, unsigned int const* leaf_parents,
                           unsigned int const* node_parents, float* max_distances, unsigned int n,
                           unsigned int num_nodes, CUstream_st* const& stream);

// Binary radix tree over the leaf keys, and the pass that fills its boxes and the leaf
// expansions bottom-up.
#pragma once

#include "platform.h"
#include "aabb.h"
#include "binary_node.h"
#include "geometry.h"
#include "tailor_coefficients.h"

inline constexpr unsigned BINARY_TOPOLOGY_BLOCK = 256;
inline constexpr unsigned LEAF_PASS_BLOCK = 256;
inline constexpr unsigned WARP_SIZE = 32;
//! Arrival mark of a packet whose weight is exactly 0: every arrival must leave a nonzero mark.
inline constexpr float ZERO_WEIGHT_MARK = 1e-10f;

//! Length of the common prefix of leaves i and j: leading zeros of keys[i] ^ keys[j], or for
//! equal keys 64 + leading zeros of i ^ j (the leaf index acts as 32 further key bits, which
//! makes duplicates well defined); -1 when j is outside 0 .. num_leaves - 1.
GYRANT_DEVICE int delta_with_tiebreaker(int i, int j, unsigned long const* keys,
                                               int num_leaves) {
    if (j < 0 || j >= num_leaves) return -1;
    unsigned long long const ki = __ldg(keys + i);
    unsigned long long const kj = __ldg(keys + j);
    if (ki != kj) return __clzll(static_cast<long long>(ki ^ kj));
    return 64 + __clz(i ^ j);
}

//! Children of internal node i of the radix tree over num_leaves ascending keys, in the combined
//! numbering: the leaf range [min(i, j), max(i, j)] that i covers (one end is always i) and the
//! split in it, found from the keys alone.
GYRANT_DEVICE BinaryNode radix_tree_children(unsigned long const* keys, int num_leaves, int i) {
    int const L = num_leaves;
    auto delta = [&](int j) { return delta_with_tiebreaker(i, j, keys, L); };

    // The range extends towards the neighbour sharing the longer prefix.
    int const d = delta(i + 1) < delta(i - 1) ? -1 : 1;
    int const delta_min = delta(i - d);

    int l_max = 2;
    while (delta(i + l_max * d) > delta_min) l_max *= 2;
    int l = 0;
    for (int t = l_max / 2; t >= 1; t /= 2)
        if (delta(i + (l + t) * d) > delta_min) l += t;

    int const j = i + l * d;
    int const delta_node = delta(j);

    // Largest s < l whose leaf still shares more than the node's prefix with leaf i.
    int s = 0;
    for (int t = 1 << (31 - __clz(l)); t >= 1; t /= 2)
        if (s + t < l && delta(i + (s + t) * d) > delta_node) s += t;

    int const gamma = i + s * d + (d < 0 ? d : 0);
    unsigned int const left = (i < j ? i : j) == gamma ? gamma + (L - 1) : gamma;
    unsigned int const right = (i > j ? i : j) == gamma + 1 ? gamma + L : gamma + 1;
    return {left, right};
}

//! Topology of the binary radix tree over num_leaves ascending keys (duplicates allowed):
//! nodes[i] = children of internal node i in the combined numbering, parents[c] = parent of c,
//! parents[0] = 0xFFFFFFFF. Enqueued on stream; nothing for num_leaves = 0.
void build_binary_topology(unsigned long const* leaf_keys, BinaryNode* nodes,
                           unsigned int* parents, unsigned int num_leaves,
                           CUstream_st* const& stream);

//! Boxes, weighted centres and radii of the leaf packets (32 sorted primitives each), their
//! expansions about those centres, and the union boxes and weighted centres of every internal
//! node. `weights` (leaf_count - 1 floats) must be zero; it ends holding each internal node's
//! subtree weight. Enqueued on stream; nothing for n = 0.
template <class T>
void populate_binary_tree_aabb_and_leaf_coefficients(
    float const* primitives, TailorCoefficientsF16* leaf_coefficients, unsigned int leaf_count,
    BinaryNode const* nodes, AABB* boxes, unsigned int const* parents, float* weights,
    unsigned int n, cudaStream_t const& stream);

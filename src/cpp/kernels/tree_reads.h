// Reading the 8-wide hierarchy from kernels: the node record through the read-only cache, and
// the leaf range below a node. Shared by every walk over the tree.
#pragma once

#include "platform.h"

#include "bvh8.h"

namespace gyrant::tree {

//! Node record read from global memory through the read-only cache (every lane reads the same
//! words, so the loads are broadcasts).
GYRANT_DEVICE BVH8Node load_node(BVH8Node const* nodes, unsigned index) {
    BVH8Node node;
    unsigned const* src = reinterpret_cast<unsigned const*>(nodes + index);
    unsigned* dst = reinterpret_cast<unsigned*>(&node);
    GYRANT_UNROLL
    for (unsigned w = 0; w < sizeof(BVH8Node) / sizeof(unsigned); ++w) dst[w] = __ldg(src + w);
    return node;
}

//! First leaf below node v. The slot-0 child of a node always covers the lowest leaves of the
//! node's range (the collapse gives slot 0 the left child whenever it opens it), so the walk
//! follows slot 0 down. `max_steps` bounds the walk on a malformed tree.
GYRANT_DEVICE unsigned subtree_first_leaf(BVH8Node const* nodes, LeafPointers const* leaf_pointers,
                                          unsigned v, unsigned max_steps) {
    for (unsigned step = 0; step < max_steps; ++step) {
        BVH8Node const node = load_node(nodes, v);
        if (node.getChildMeta(0) != ChildType::Internal) return __ldg(&leaf_pointers[v].leaves[0]);
        v = node.first_child;
    }
    return 0;
}

//! Last leaf below node v. The slots of a node cover consecutive leaf ranges that together tile
//! the node's range, in no particular slot order; the slot whose range starts highest holds the
//! last leaf. Only the overflow fallback uses this, so its cost (depth^2 node reads) is no
//! concern.
GYRANT_DEVICE unsigned subtree_last_leaf(BVH8Node const* nodes, LeafPointers const* leaf_pointers,
                                         unsigned v, unsigned max_steps) {
    for (unsigned step = 0; step < max_steps; ++step) {
        BVH8Node const node = load_node(nodes, v);
        unsigned best_start = 0, best_child = 0;
        bool best_is_leaf = true, found = false;
        unsigned c = 0;
        for (unsigned k = 0; k < 8; ++k) {
            ChildType const type = node.getChildMeta(k);
            unsigned start, child = 0;
            if (type == ChildType::Leaf) {
                start = __ldg(&leaf_pointers[v].leaves[k]);
            } else if (type == ChildType::Internal) {
                child = node.first_child + c++;
                start = subtree_first_leaf(nodes, leaf_pointers, child, max_steps);
            } else {
                continue;
            }
            if (!found || start > best_start) {
                found = true;
                best_start = start;
                best_child = child;
                best_is_leaf = type == ChildType::Leaf;
            }
        }
        if (best_is_leaf) return best_start;
        v = best_child;
    }
    return 0;
}

}  // namespace gyrant::tree

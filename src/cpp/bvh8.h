// The 8-wide hierarchy: nodes numbered breadth first from the root (node 0).
#pragma once

#include "aabb.h"
#include "binary_node.h"

#include <cstdint>

enum class ChildType : uint16_t { Empty = 0, Internal = 1, Leaf = 2 };

struct BVH8Node {
    uint32_t first_child;  // index of the first Internal child; the others follow in slot order
    Vec3_f16 min;
    Vec3_f16 max;
    Vec3 center;      // expansion centre
    __half radius;    // largest distance from center to the node's geometry (quantised)
    uint16_t child_meta;  // ChildType of slot k in bits 2k, 2k+1

    GYRANT_HOST_DEVICE AABB getAABB() const { return {min, max, center, radius}; }
    GYRANT_HOST_DEVICE ChildType getChildMeta(unsigned int k) const {
        return static_cast<ChildType>((child_meta >> (2 * k)) & 3u);
    }
    GYRANT_HOST_DEVICE void setChildMeta(unsigned int k, ChildType t) {
        child_meta = static_cast<uint16_t>((child_meta & ~(3u << (2 * k))) |
                                           (static_cast<unsigned>(t) << (2 * k)));
    }
};
static_assert(sizeof(BVH8Node) == 32, "BVH8Node is copied as 8 words");

//! Leaf index held in each slot of a node (INVALID_INDEX where the slot is not a Leaf).
struct LeafPointers {
    uint32_t leaves[8];
};
static_assert(sizeof(LeafPointers) == 32, "LeafPointers is copied as 8 words");

struct ConvertBinary2BVH8Params {
    unsigned int* queue_a;           // frontier of binary internal indices, read on even levels
    unsigned int* queue_b;           // read on odd levels
    unsigned int* node_parents;      // parent 8-wide node of each node; INVALID_INDEX at the root
    unsigned int* next_level_count;  // nodes already appended to the next level
    unsigned int num_leaves;         // L
    AABB* binary_aabbs;              // 2L - 1 boxes, combined numbering
    BinaryNode* binary_nodes;        // L - 1 internal nodes
    unsigned int* child_counts;      // occupied slots of each node
    unsigned int* leaf_parents;      // node holding each leaf; INVALID_INDEX when none
    BVH8Node* bvh8_nodes;
    LeafPointers* leaf_pointers;
    unsigned int* node_count;        // total number of nodes
};

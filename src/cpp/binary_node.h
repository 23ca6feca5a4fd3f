// Binary radix tree node. Combined numbering: internal nodes 0 .. L-2 (root 0), leaf j at
// j + L - 1.
#pragma once

#include "platform.h"

#include <cstdint>

inline constexpr uint32_t INVALID_INDEX = 0xFFFFFFFFu;  // "no node" in every index array

struct BinaryNode {
    uint32_t left;   // combined index of the child covering the lower key range
    uint32_t right;  // combined index of the child covering the upper key range

    GYRANT_HOST_DEVICE static bool is_leaf(unsigned int index, unsigned int num_internal) {
        return index >= num_internal;
    }
};
static_assert(sizeof(BinaryNode) == 8, "BinaryNode is two indices");

// Upward (moment-to-moment) translation of the expansions into every 8-wide node.
#pragma once

#include "platform.h"
#include "bvh8.h"
#include "tailor_coefficients.h"

inline constexpr unsigned M2M_BLOCK = 256;

//! acc += C moved from its centre to a centre that lies d = (C's centre) - (new centre) away.
//! With x - c = (x - cc) + d the moments change exactly: Z is unchanged, F gains d (x) Z and T
//! gains the mixed term and the d (x) d term; nothing is truncated.
GYRANT_HOST_DEVICE inline void add_translated_tailor_coefficients(TailorCoefficients& acc,
                                                                  TailorCoefficients const& c,
                                                                  Vec3 const& d) {
    float const z[3] = {c.zero_order.x, c.zero_order.y, c.zero_order.z};
    float const dv[3] = {d.x, d.y, d.z};
    acc.zero_order += c.zero_order;
    GYRANT_UNROLL
    for (int a = 0; a < 3; ++a) {
        GYRANT_UNROLL
        for (int k = 0; k < 3; ++k)
            acc.first_order.m[3 * a + k] += c.first_order.m[3 * a + k] + dv[a] * z[k];
    }
    // Position pairs in storage order xx, xy, xz, yy, yz, zz.
    constexpr int pair_a[6] = {0, 0, 0, 1, 1, 2};
    constexpr int pair_b[6] = {0, 1, 2, 1, 2, 2};
    GYRANT_UNROLL
    for (int p = 0; p < 6; ++p) {
        int const a = pair_a[p], b = pair_b[p];
        GYRANT_UNROLL
        for (int k = 0; k < 3; ++k) {
            // For a = b the mixed term is d_a F(a, k): 0.5 (x + x) = x exactly.
            float const mixed = 0.5f * (dv[a] * c.first_order.m[3 * b + k] + dv[b] * c.first_order.m[3 * a + k]);
            acc.second_order.t[3 * p + k] += c.second_order.t[3 * p + k] + mixed + 0.5f * dv[a] * dv[b] * z[k];
        }
    }
}

//! Fills node_coefficients (stored form) of every 8-wide node bottom-up in one launch of one
//! thread per leaf (count = L). full_coefficients (one single-precision record per node) and
//! arrival_counters (one per node, zero) are the caller's temporaries. Nothing runs for
//! count = 0.
void compute_internal_tailor_coefficients_m2m(BVH8Node* nodes, unsigned int const* node_parents,
                                              AABB const* leaf_boxes,
                                              TailorCoefficientsF16 const* leaf_coefficients,
                                              unsigned int const* leaf_parents,
                                              LeafPointers const* leaf_pointers,
                                              TailorCoefficientsF16* node_coefficients,
                                              TailorCoefficients* full_coefficients,
                                              unsigned int const* child_counts, unsigned int count,
                                              unsigned int* arrival_counters,
                                              cudaStream_t const& stream);

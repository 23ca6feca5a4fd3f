// Winding numbers through the 8-wide hierarchy: a persistent, warp-cooperative walk that uses
// the expansion of every node far enough from a query and the exact contribution of every
// primitive of the leaves that are not.
#pragma once

#include "platform.h"

#include "bvh8.h"
#include "geometry.h"
#include "tailor_coefficients.h"
#include "vec3.h"

//! Threads per block of the main kernel: four warps, each walking its own batch.
inline constexpr unsigned TRAVERSAL_BLOCK = 128;
inline constexpr unsigned TRAVERSAL_WARP = 32;
inline constexpr unsigned TRAVERSAL_WARPS_PER_BLOCK = TRAVERSAL_BLOCK / TRAVERSAL_WARP;
//! Threads per block of the small-scene kernel.
inline constexpr unsigned SINGLE_LEAF_BLOCK = 256;

//! Entries of each warp's traversal stack. An entry holds all pending internal children of one
//! visited node (they are consecutive), so the stack holds at most one entry per level of the
//! tree. A radix tree over 63-bit Morton codes with index tie-breaks is at most 95 levels deep,
//! and the 8-wide tree is never deeper than its binary source; deeper trees are still walked
//! exactly by the overflow fallback of the kernel.
inline constexpr unsigned TRAVERSAL_STACK_CAPACITY = 128;
//! A deliberately tiny stack, instantiated as well so tests can drive the overflow fallback
//! through ordinary trees.
inline constexpr unsigned TRAVERSAL_SHALLOW_STACK_CAPACITY = 2;

//! Everything the traversal reads and writes; all pointers are device memory.
template <class T>
struct ComputeWindingNumbersParams {
    Vec3 const* queries;                           // caller's order
    unsigned int const* query_order;               // sorted slot -> caller's index
    BVH8Node const* nodes;                         // node 0 is the root
    LeafPointers const* leaf_pointers;             // one row per node
    TailorCoefficientsF16 const* node_coefficients;  // by node index
    TailorCoefficientsF16 const* leaf_coefficients;  // by leaf index
    AABB const* leaf_aabbs;                        // by leaf index
    SoAView<T> geometry;                           // sorted primitives
    unsigned int n_queries;
    unsigned int n_primitives;
    float* output;                                 // one value per query, caller's order
    unsigned int* work_counter;                    // one word: sorted slots already claimed
    float beta;                                    // already resolved to its default
    float epsilon;                                 // already resolved to its default
    float query_scale;                             // the engine's frame: queries are multiplied by it
};

//! Copies one record of 32-bit words from global to shared memory: lane i copies word i through
//! the read-only cache; lanes past the record's size do nothing. Follow with __syncwarp().
template <class R>
GYRANT_DEVICE void load_shared_cooperative(R* destination, R const* source, unsigned int lane) {
    static_assert(sizeof(R) % sizeof(unsigned int) == 0, "records are copied as 32-bit words");
    static_assert(sizeof(R) / sizeof(unsigned int) <= TRAVERSAL_WARP, "one word per lane");
    if (lane < sizeof(R) / sizeof(unsigned int)) {
        reinterpret_cast<unsigned int*>(destination)[lane] =
            __ldg(reinterpret_cast<unsigned int const*>(source) + lane);
    }
}

//! Warp total by a five-step butterfly; every lane ends with the same value (each step adds two
//! operands in either order, which rounds identically).
GYRANT_DEVICE float warp_reduce_add_xor(float v) {
    GYRANT_UNROLL
    for (int offset = TRAVERSAL_WARP / 2; offset > 0; offset /= 2)
        v += __shfl_xor_sync(gyrant::FULL_MASK, v, offset);
    return v;
}

//! Main kernel: every warp claims batches of 32 Morton-sorted queries from work_counter and walks
//! the tree once per batch. Point nodes and leaves are accepted only outside `band` (see
//! acceptance_band); triangles ignore it. A node or leaf whose expansion evaluates to an infinity or NaN (a
//! coefficient beyond the half/bfloat16 range) is walked or summed exactly instead. When a
//! node's children do not fit on the stack, their subtrees are summed exactly. Launch with
//! TRAVERSAL_BLOCK threads per block.
template <class T, unsigned StackCapacity = TRAVERSAL_STACK_CAPACITY>
__global__ void compute_winding_numbers_kernel(
    Vec3 const* __restrict__ queries, unsigned int const* __restrict__ query_order,
    BVH8Node const* __restrict__ nodes, LeafPointers const* __restrict__ leaf_pointers,
    TailorCoefficientsF16 const* __restrict__ node_coefficients,
    TailorCoefficientsF16 const* __restrict__ leaf_coefficients, AABB const* __restrict__ leaf_aabbs,
    SoAView<T> geometry, unsigned int n_queries, unsigned int n_primitives,
    float* __restrict__ output, unsigned int* __restrict__ work_counter, float beta_squared,
    float inverse_epsilon, float band, float query_scale);

//! Scenes of at most 32 primitives: one thread per query sums every primitive exactly, in
//! primitive order. Launch with SINGLE_LEAF_BLOCK threads per block.
template <class T>
__global__ void compute_winding_numbers_single_leaf_kernel(
    Vec3 const* __restrict__ queries, unsigned int const* __restrict__ query_order,
    SoAView<T> geometry, unsigned int n_queries, unsigned int n_primitives,
    float* __restrict__ output, float inverse_epsilon, float query_scale);

//! Enqueues the winding numbers of params.n_queries queries on `stream` and returns without
//! waiting. `device` sizes the persistent grid. Scenes of at most 32 primitives are summed
//! exactly whatever beta. Launches nothing for zero queries. Precondition: n_queries is at most
//! 2^32 - 256 (slots are claimed 32 at a time from a 32-bit counter). Instantiated for Triangle
//! and PointNormal with TRAVERSAL_STACK_CAPACITY and TRAVERSAL_SHALLOW_STACK_CAPACITY.
template <class T, unsigned StackCapacity = TRAVERSAL_STACK_CAPACITY>
void compute_winding_numbers(ComputeWindingNumbersParams<T> const& params, int device,
                             CUstream_st* const& stream);

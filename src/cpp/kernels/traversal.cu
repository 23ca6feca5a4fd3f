#include "platform.h"
#include "kernels/traversal.h"

#include "kernels/node_approx.h"
#include "kernels/tree_reads.h"
#include "utils.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <type_traits>

namespace {

using gyrant::tree::load_node;
using gyrant::tree::subtree_first_leaf;
using gyrant::tree::subtree_last_leaf;

// A stack entry packs the pending internal children of one node: the index of the first
// (consecutive, in slot order) and how many remain, 1..8, in the top bits. Node indices stay
// below 2^27 because there are fewer nodes than leaves and at most 2^32 / 32 leaves.
constexpr unsigned STACK_COUNT_SHIFT = 28;
constexpr unsigned STACK_FIRST_MASK = (1u << STACK_COUNT_SHIFT) - 1;

GYRANT_HOST_DEVICE inline unsigned stack_entry(unsigned first, unsigned count) {
    return first | (count << STACK_COUNT_SHIFT);
}
GYRANT_HOST_DEVICE inline unsigned stack_entry_first(unsigned e) { return e & STACK_FIRST_MASK; }
GYRANT_HOST_DEVICE inline unsigned stack_entry_count(unsigned e) { return e >> STACK_COUNT_SHIFT; }

//! False for infinities and NaN.
GYRANT_HOST_DEVICE inline bool is_finite(float v) { return fabsf(v) <= FLT_MAX; }


//! The query of lane src, on every lane.
GYRANT_DEVICE Vec3 broadcast_query(Vec3 const& q, int src) {
    return {__shfl_sync(gyrant::FULL_MASK, q.x, src), __shfl_sync(gyrant::FULL_MASK, q.y, src),
            __shfl_sync(gyrant::FULL_MASK, q.z, src)};
}

//! Adds the expansion `record` about `center` for the lanes that `wants` it; a warp collective
//! that every lane calls. Returns whether this lane's value was added: a coefficient beyond the
//! half/bfloat16 range (large coordinates times large areas) makes the value infinite or NaN,
//! and such a node or leaf is evaluated exactly by the caller instead.
GYRANT_DEVICE bool add_approximation(bool wants, TailorCoefficientsF16* cache,
                                     TailorCoefficientsF16 const* record, Vec3 const& q,
                                     Vec3 const& center, float& accumulator, unsigned lane) {
    if (__ballot_sync(gyrant::FULL_MASK, wants) == 0) return false;
    __syncwarp();
    load_shared_cooperative(cache, record, lane);
    __syncwarp();
    if (!wants) return false;
    float const value = compute_node_approximation(q, center, cache->zero_order, cache->first_order,
                                                   cache->second_order);
    if (!is_finite(value)) return false;
    accumulator += value;
    return true;
}

//! The acceptance test of the kernel's primitives: points also outside the smoothing band.
template <class T>
GYRANT_DEVICE bool accepts(Vec3 const& q, AABB const& box, float beta_squared, float band) {
    if constexpr (std::is_same_v<T, PointNormal>) return should_node_be_approximated(q, box, beta_squared, band);
    else return should_node_be_approximated(q, box, beta_squared);
}

//! Exact contribution of leaf `leaf` for every lane in `mask`: the leaf's primitives sit one per
//! lane, the query of each lane in the mask is broadcast in turn and the warp sums the 32
//! contributions for it. Lanes past the last primitive contribute exactly 0.
template <class T>
GYRANT_DEVICE void add_exact_leaf(unsigned leaf, unsigned mask, Vec3 const& q, float& accumulator,
                                  SoAView<T> const& geometry, unsigned n_primitives,
                                  float inverse_epsilon, unsigned lane) {
    unsigned const index = leaf * PRIMITIVES_PER_LEAF + lane;
    bool const present = index < n_primitives;
    T const primitive = T::load(geometry, index, n_primitives);
    while (mask != 0) {
        int const src = __ffs(mask) - 1;
        mask &= mask - 1;
        Vec3 const q_src = broadcast_query(q, src);
        float const own = present ? primitive.contributionToQuery(q_src, inverse_epsilon) : 0.0f;
        float const total = warp_reduce_add_xor(own);
        if (lane == static_cast<unsigned>(src)) accumulator += total;
    }
}

}  // namespace

template <class T, unsigned StackCapacity>
__global__ void __launch_bounds__(TRAVERSAL_BLOCK) compute_winding_numbers_kernel(
    Vec3 const* __restrict__ queries, unsigned int const* __restrict__ query_order,
    BVH8Node const* __restrict__ nodes, LeafPointers const* __restrict__ leaf_pointers,
    TailorCoefficientsF16 const* __restrict__ node_coefficients,
    TailorCoefficientsF16 const* __restrict__ leaf_coefficients, AABB const* __restrict__ leaf_aabbs,
    SoAView<T> geometry, unsigned int n_queries, unsigned int n_primitives,
    float* __restrict__ output, unsigned int* __restrict__ work_counter, float beta_squared,
    float inverse_epsilon, float band, float query_scale) {
    static_assert(StackCapacity >= 1, "the stack must hold the root");
    // One quarter of every array per warp.
    __shared__ unsigned int shared_stack[TRAVERSAL_WARPS_PER_BLOCK][StackCapacity];
    __shared__ BVH8Node current_node_cache[TRAVERSAL_WARPS_PER_BLOCK];
    __shared__ TailorCoefficientsF16 current_tailor_coefficients_cache[TRAVERSAL_WARPS_PER_BLOCK];
    __shared__ LeafPointers shared_leaf_ptrs[TRAVERSAL_WARPS_PER_BLOCK];

    unsigned const lane = threadIdx.x % TRAVERSAL_WARP;
    unsigned const warp = threadIdx.x / TRAVERSAL_WARP;
    unsigned* const stack = shared_stack[warp];
    BVH8Node const& node = current_node_cache[warp];
    LeafPointers const& leaf_row = shared_leaf_ptrs[warp];
    // Every walk below a node ends within this many steps: the tree has fewer levels than leaves.
    unsigned const max_steps = (n_primitives + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;

    for (;;) {
        unsigned base = 0;
        if (lane == 0) base = atomicAdd(work_counter, TRAVERSAL_WARP);
        base = __shfl_sync(gyrant::FULL_MASK, base, 0);
        if (base >= n_queries) return;

        // Batches are fixed groups of 32 sorted slots, so a query's result never depends on
        // which warp claims it. A lane without a query takes part in every collective only.
        unsigned const slot = base + lane;
        bool const has_query = slot < n_queries;
        unsigned query_index = 0;
        Vec3 q{0.0f, 0.0f, 0.0f};
        // INT_MAX: takes part in the current node; s >= 0: rejoins once the stack is back to s
        // entries (it approximated the subtree above them); -1: no query, never takes part.
        int resume_depth = -1;
        if (has_query) {
            query_index = __ldg(query_order + slot);
            q = in_engine_frame(Vec3{__ldg(&queries[query_index].x), __ldg(&queries[query_index].y),
                                     __ldg(&queries[query_index].z)},
                                query_scale);
            resume_depth = INT_MAX;
        }
        float accumulator = 0.0f;

        // The stack size s is warp-uniform; only lane 0 touches the entries.
        if (lane == 0) stack[0] = stack_entry(0, 1);
        int s = 1;

        while (__ballot_sync(gyrant::FULL_MASK, s > 0) != 0) {
            // Take the highest pending child of the top entry: children are visited in
            // descending slot order. The entry leaves the stack with its last child.
            unsigned entry = 0;
            if (lane == 0) {
                entry = stack[s - 1];
                if (stack_entry_count(entry) > 1) stack[s - 1] = entry - (1u << STACK_COUNT_SHIFT);
            }
            entry = __shfl_sync(gyrant::FULL_MASK, entry, 0);
            int const s_visit = s;
            unsigned const n = stack_entry_first(entry) + stack_entry_count(entry) - 1;
            if (stack_entry_count(entry) == 1) --s;

            __syncwarp();  // every lane is done with the previous node before it is replaced
            load_shared_cooperative(&current_node_cache[warp], nodes + n, lane);
            __syncwarp();

            bool const takes_part = s_visit <= resume_depth;
            bool approximate = false;
            if (takes_part) {
                resume_depth = INT_MAX;
                approximate = accepts<T>(q, node.getAABB(), beta_squared, band);
            }
            approximate = add_approximation(approximate, &current_tailor_coefficients_cache[warp],
                                            node_coefficients + n, q, node.center, accumulator, lane);
            // Skip everything pushed above the current stack size: n's subtree.
            if (approximate) resume_depth = s;
            bool const descends = takes_part && !approximate;
            if (__ballot_sync(gyrant::FULL_MASK, descends) == 0) continue;

            bool const slot_is_leaf =
                lane < 8 && node.getChildMeta(lane) == ChildType::Leaf;
            if (__ballot_sync(gyrant::FULL_MASK, slot_is_leaf) != 0) {
                __syncwarp();
                load_shared_cooperative(&shared_leaf_ptrs[warp], leaf_pointers + n, lane);
                __syncwarp();
            }

            unsigned internal_children = 0;
            for (unsigned k = 0; k < 8; ++k) {
                ChildType const type = node.getChildMeta(k);
                if (type == ChildType::Internal) {
                    ++internal_children;  // pushed together below; visited after the leaves
                    continue;
                }
                if (type != ChildType::Leaf) continue;

                unsigned const leaf = leaf_row.leaves[k];
                AABB leaf_box;
                leaf_box.center = {__ldg(&leaf_aabbs[leaf].center.x), __ldg(&leaf_aabbs[leaf].center.y),
                                   __ldg(&leaf_aabbs[leaf].center.z)};
                leaf_box.radius = __ushort_as_half(
                    __ldg(reinterpret_cast<unsigned short const*>(&leaf_aabbs[leaf].radius)));
                bool approximate_leaf =
                    descends && accepts<T>(q, leaf_box, beta_squared, band);
                // A leaf whose expansion is not finite is summed exactly below.
                approximate_leaf = add_approximation(approximate_leaf,
                                                     &current_tailor_coefficients_cache[warp],
                                                     leaf_coefficients + leaf, q, leaf_box.center,
                                                     accumulator, lane);
                unsigned const exact = __ballot_sync(gyrant::FULL_MASK, descends && !approximate_leaf);
                add_exact_leaf(leaf, exact, q, accumulator, geometry, n_primitives, inverse_epsilon,
                               lane);
            }

            if (internal_children == 0) continue;
            if (s < static_cast<int>(StackCapacity)) {
                if (lane == 0) stack[s] = stack_entry(node.first_child, internal_children);
                ++s;
                continue;
            }
            // The stack is full (a tree deeper than the stack): the lanes that descend take the
            // children's subtrees exactly, leaf by leaf, which needs no stack. Same child order
            // as a walk would have, highest slot first.
            unsigned const exact = __ballot_sync(gyrant::FULL_MASK, descends);
            unsigned const first_child = node.first_child;
            for (unsigned c = internal_children; c-- > 0;) {
                unsigned const child = first_child + c;
                unsigned const first = subtree_first_leaf(nodes, leaf_pointers, child, max_steps);
                unsigned const last = subtree_last_leaf(nodes, leaf_pointers, child, max_steps);
                for (unsigned leaf = first; leaf <= last; ++leaf)
                    add_exact_leaf(leaf, exact, q, accumulator, geometry, n_primitives,
                                   inverse_epsilon, lane);
            }
        }

        if (has_query) output[query_index] = accumulator;
    }
}

template <class T>
__global__ void __launch_bounds__(SINGLE_LEAF_BLOCK) compute_winding_numbers_single_leaf_kernel(
    Vec3 const* __restrict__ queries, unsigned int const* __restrict__ query_order,
    SoAView<T> geometry, unsigned int n_queries, unsigned int n_primitives,
    float* __restrict__ output, float inverse_epsilon, float query_scale) {
    __shared__ T shared_geometry[PRIMITIVES_PER_LEAF];
    unsigned const t = threadIdx.x;
    if (t < n_primitives) shared_geometry[t] = T::load(geometry, t, n_primitives);
    __syncthreads();

    unsigned const g = blockIdx.x * blockDim.x + t;
    if (g >= n_queries) return;
    unsigned const i = __ldg(query_order + g);
    Vec3 const q = in_engine_frame(Vec3{__ldg(&queries[i].x), __ldg(&queries[i].y), __ldg(&queries[i].z)}, query_scale);
    float sum = 0.0f;
    for (unsigned p = 0; p < n_primitives; ++p)
        sum += shared_geometry[p].contributionToQuery(q, inverse_epsilon);
    output[i] = sum;
}

template <class T, unsigned StackCapacity>
void compute_winding_numbers(ComputeWindingNumbersParams<T> const& params, int device,
                             CUstream_st* const& stream) {
    if (params.n_queries == 0) return;
    float const inverse_epsilon = 1.0f / params.epsilon;

    if (params.n_primitives <= PRIMITIVES_PER_LEAF) {
        unsigned const grid = static_cast<unsigned>(
            (static_cast<uint64_t>(params.n_queries) + SINGLE_LEAF_BLOCK - 1) / SINGLE_LEAF_BLOCK);
        GYRANT_LAUNCH(compute_winding_numbers_single_leaf_kernel<T>, grid, SINGLE_LEAF_BLOCK, 0,
                      stream, params.queries, params.query_order, params.geometry,
                      params.n_queries, params.n_primitives, params.output, inverse_epsilon,
                      params.query_scale);
        // A failed launch would leave the output unwritten: say so rather than stay silent.
        CUDA_CHECK(cudaGetLastError());
        return;
    }

    CUDA_CHECK(cudaMemsetAsync(params.work_counter, 0, sizeof(unsigned int), stream));

    auto* const compute_winding_numbers_kernel_ = &compute_winding_numbers_kernel<T, StackCapacity>;
    int blocks_per_sm = 0;
    CUDA_CHECK(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(
        &blocks_per_sm, compute_winding_numbers_kernel_, TRAVERSAL_BLOCK, 0, 0));
    cudaDeviceProp properties{};
    CUDA_CHECK(cudaGetDeviceProperties(&properties, device));
    // Fill the device, but launch no block that could never claim a batch. The walk is
    // persistent, so any grid of at least one block computes every query.
    uint64_t grid = static_cast<uint64_t>(blocks_per_sm > 0 ? blocks_per_sm : 1) *
                    static_cast<uint64_t>(properties.multiProcessorCount > 0 ? properties.multiProcessorCount : 1);
    uint64_t const batches = (static_cast<uint64_t>(params.n_queries) + TRAVERSAL_WARP - 1) / TRAVERSAL_WARP;
    uint64_t const useful = (batches + TRAVERSAL_WARPS_PER_BLOCK - 1) / TRAVERSAL_WARPS_PER_BLOCK;
    if (grid > useful) grid = useful;
    // Every warp's last claim overshoots by one batch; keep the counter clear of 2^32.
    uint64_t const spare_warps = ((uint64_t{1} << 32) / TRAVERSAL_WARP - batches) - 1;
    if (grid > spare_warps / TRAVERSAL_WARPS_PER_BLOCK) grid = spare_warps / TRAVERSAL_WARPS_PER_BLOCK;
    if (grid == 0) grid = 1;

    GYRANT_LAUNCH(compute_winding_numbers_kernel_, static_cast<unsigned>(grid), TRAVERSAL_BLOCK, 0,
                  stream, params.queries, params.query_order, params.nodes, params.leaf_pointers,
                  params.node_coefficients, params.leaf_coefficients, params.leaf_aabbs,
                  params.geometry, params.n_queries, params.n_primitives, params.output,
                  params.work_counter, params.beta * params.beta, inverse_epsilon, acceptance_band(params.epsilon),
                  params.query_scale);
    CUDA_CHECK(cudaGetLastError());
}

template void compute_winding_numbers<Triangle, TRAVERSAL_STACK_CAPACITY>(
    ComputeWindingNumbersParams<Triangle> const&, int, CUstream_st* const&);
template void compute_winding_numbers<PointNormal, TRAVERSAL_STACK_CAPACITY>(
    ComputeWindingNumbersParams<PointNormal> const&, int, CUstream_st* const&);
template void compute_winding_numbers<Triangle, TRAVERSAL_SHALLOW_STACK_CAPACITY>(
    ComputeWindingNumbersParams<Triangle> const&, int, CUstream_st* const&);
template void compute_winding_numbers<PointNormal, TRAVERSAL_SHALLOW_STACK_CAPACITY>(
    ComputeWindingNumbersParams<PointNormal> const&, int, CUstream_st* const&);

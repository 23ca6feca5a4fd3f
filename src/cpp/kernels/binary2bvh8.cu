#include "platform.h"
#include "kernels/binary2bvh8.h"
#include "device_algorithms.h"
#include "utils.h"

#include <stdexcept>

// One persistent grid walks the binary tree level by level. Per level every frontier binary
// node becomes one 8-wide node; each block reserves room for its nodes' internal children in
// the next level with a single atomicAdd, split among its threads by a block scan, so siblings
// get consecutive indices in slot order.
__global__ void __launch_bounds__(BVH8_CONVERT_BLOCK)
    convert_binary_tree_to_bvh8_kernel(ConvertBinary2BVH8Params params) {
    __shared__ gyrant::BlockExclusiveSum256::TempStorage temp_storage;
    __shared__ unsigned int global_base;

    auto grid = cooperative_groups::this_grid();
    unsigned long long const rank = blockIdx.x * static_cast<unsigned long long>(blockDim.x) + threadIdx.x;
    unsigned long long const threads = gridDim.x * static_cast<unsigned long long>(blockDim.x);
    unsigned int const num_internal = params.num_leaves - 1;

    if (rank == 0) {
        params.queue_a[0] = 0;  // the binary root
        params.node_parents[0] = INVALID_INDEX;
        *params.next_level_count = 0;
    }
    grid.sync();

    unsigned int level = 0, size = 1, base = 0;
    do {
        unsigned int const* current = (level & 1u) ? params.queue_b : params.queue_a;
        unsigned int* next = (level & 1u) ? params.queue_a : params.queue_b;
        grid.sync();

        // Rounded up to whole blocks, so all 256 threads of a block reach the block-wide steps
        // together in every round.
        unsigned long long const rounds_end =
            (static_cast<unsigned long long>(size) + BVH8_CONVERT_BLOCK - 1) / BVH8_CONVERT_BLOCK *
            BVH8_CONVERT_BLOCK;
        for (unsigned long long item = rank; item < rounds_end; item += threads) {
            bool const active = item < size;
            unsigned int slots[BVH8_WIDTH];
            unsigned int count = 0, n_int = 0, b = 0;
            if (active) {
                b = __ldcg(current + item);  // written by other blocks on the previous level
                count = bvh8_collapse(b, params.binary_aabbs, params.binary_nodes, num_internal, slots);
                for (unsigned int k = 0; k < count; ++k)
                    n_int += BinaryNode::is_leaf(slots[k], num_internal) ? 0u : 1u;
            }
            unsigned int prefix = 0, total = 0;
            gyrant::BlockExclusiveSum256(temp_storage).ExclusiveSum(n_int, prefix, total);
            if (threadIdx.x == 0) global_base = atomicAdd(params.next_level_count, total);
            __syncthreads();
            // The next round's scan barriers keep thread 0 from overwriting global_base before
            // every thread has read it here.
            unsigned int const pos = global_base + prefix;
            if (!active) break;

            unsigned int const my = base + static_cast<unsigned int>(item);
            unsigned int const first = base + size + pos;
            write_bvh8_node(my, first, params.binary_aabbs[b], slots, count, num_internal, next + pos,
                            params.node_parents, params.leaf_parents, params.bvh8_nodes, params.leaf_pointers);
            params.child_counts[my] = count;
        }

        grid.sync();
        // Written by atomics of other blocks: read past the (incoherent) L1 cache.
        unsigned int const new_size = __ldcg(params.next_level_count);
        base += size;
        grid.sync();
        if (rank == 0) *params.next_level_count = 0;
        grid.sync();
        ++level;
        size = new_size;
    } while (size != 0);

    if (rank == 0) *params.node_count = base;
}

void convert_binary_tree_to_bvh8(ConvertBinary2BVH8Params params, int device,
                                 CUstream_st* const& stream) {
    if (params.num_leaves == 0) return;
    if (params.num_leaves == 1) {
        // A single leaf is the whole scene: no 8-wide node.
        CUDA_CHECK(cudaMemsetAsync(params.leaf_parents, 0xFF, sizeof(unsigned int), stream));
        CUDA_CHECK(cudaMemsetAsync(params.node_count, 0, sizeof(unsigned int), stream));
        return;
    }
    int blocks_per_sm = 0;
    CUDA_CHECK(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(
        &blocks_per_sm, convert_binary_tree_to_bvh8_kernel, BVH8_CONVERT_BLOCK, 0, 0));
    cudaDeviceProp prop{};
    CUDA_CHECK(cudaGetDeviceProperties(&prop, device));
    if (!prop.cooperativeLaunch) throw std::runtime_error("Device does not support Cooperative Launch");
    // Every block must be resident at once for the grid barriers.
    unsigned int const grid = static_cast<unsigned int>(prop.multiProcessorCount) *
                              static_cast<unsigned int>(blocks_per_sm);
    CUDA_CHECK(GYRANT_LAUNCH_COOPERATIVE(convert_binary_tree_to_bvh8_kernel, dim3(grid),
                                         dim3(BVH8_CONVERT_BLOCK), 0, stream, params));
    CUDA_CHECK(cudaGetLastError());
}

// ---------------------------------------------------------------------------------------------
// Node distance bounds

// One warp per leaf (warp w of block b holds leaf 4 b + w): the leaf's 32 distances are reduced
// in registers, then every node on the path to the root gets one atomic maximum per leaf,
// measured from that node's own centre. Non-negative floats order like their bit patterns read
// as signed integers, so integer maxima on the bits are exact and order-independent.
template <class T>
__global__ void __launch_bounds__(MAX_DISTANCE_BLOCK)
    compute_exact_max_distances_kernel(BVH8Node* __restrict__ nodes, SoAView<T> geometry,
                                       unsigned int const* __restrict__ leaf_parents,
                                       unsigned int const* __restrict__ node_parents,
                                       float* __restrict__ max_distances, unsigned int n,
                                       unsigned int num_nodes) {
    __shared__ int shared_max_dists[MAX_DISTANCE_CACHED_NODES];
    unsigned int const t = threadIdx.x;
    unsigned int const lane = t % warpSize;
    shared_max_dists[t] = 0;
    __syncthreads();

    unsigned int const i = blockIdx.x * MAX_DISTANCE_BLOCK + t;
    T const primitive = T::load(geometry, i, n);
    unsigned int node = INVALID_INDEX;
    if (i < n) node = __ldg(leaf_parents + i / PRIMITIVES_PER_LEAF);

    // All valid lanes of a warp belong to one leaf and walk the same path; lanes past n take
    // part in the vote and the shuffles with 0.
    while (__any_sync(gyrant::FULL_MASK, node != INVALID_INDEX)) {
        float d = 0.0f;
        if (node != INVALID_INDEX) d = primitive.max_distance_to(nodes[node].getAABB().center);
        GYRANT_UNROLL
        for (unsigned int offset = 1; offset < 32; offset <<= 1) {
            float const other = __shfl_down_sync(gyrant::FULL_MASK, d, offset);
            if (lane + offset < 32) d = fmaxf(d, other);  // fmaxf drops a NaN operand
        }
        if (lane == 0 && node != INVALID_INDEX) {
            int const bits = __float_as_int(d);
            if (node < MAX_DISTANCE_CACHED_NODES)
                atomicMax(shared_max_dists + node, bits);
            else
                atomicMax(reinterpret_cast<int*>(max_distances) + node, bits);
        }
        if (node != INVALID_INDEX) node = __ldcg(node_parents + node);
    }
    __syncthreads();
    if (t < num_nodes && shared_max_dists[t] > 0)
        atomicMax(reinterpret_cast<int*>(max_distances) + t, shared_max_dists[t]);
}

__global__ void __launch_bounds__(QUANTIZE_BLOCK)
    quantize_bvh8_distances_kernel(BVH8Node* __restrict__ nodes,
                                   float const* __restrict__ max_distances, unsigned int num_nodes) {
    unsigned int const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= num_nodes) return;
    nodes[i].radius = __float2half_rn(max_distances[i]);
}

template <class T>
void compute_max_distances(BVH8Node* nodes, float const* primitives, unsigned int const* leaf_parents,
                           unsigned int const* node_parents, float* max_distances, unsigned int n,
                           unsigned int num_nodes, CUstream_st* const& stream) {
    if (num_nodes == 0 || n == 0) return;
    SoAView<T> const geometry{primitives, n};
    unsigned int const blocks =
        static_cast<unsigned int>((static_cast<unsigned long>(n) + MAX_DISTANCE_BLOCK - 1) / MAX_DISTANCE_BLOCK);
    GYRANT_LAUNCH(compute_exact_max_distances_kernel<T>, blocks, MAX_DISTANCE_BLOCK, 0, stream, nodes,
                  geometry, leaf_parents, node_parents, max_distances, n, num_nodes);
    CUDA_CHECK(cudaGetLastError());
    unsigned int const quantize_blocks =
        static_cast<unsigned int>((static_cast<unsigned long>(num_nodes) + QUANTIZE_BLOCK - 1) / QUANTIZE_BLOCK);
    GYRANT_LAUNCH(quantize_bvh8_distances_kernel, quantize_blocks, QUANTIZE_BLOCK, 0, stream, nodes,
                  max_distances, num_nodes);
    CUDA_CHECK(cudaGetLastError());
}

template void compute_max_distances<Triangle>(BVH8Node*, float const*, unsigned int const*,
                                              unsigned int const*, float*, unsigned int, unsigned int,
                                              CUstream_st* const&);
template void compute_max_distances<PointNormal>(BVH8Node*, float const*, unsigned int const*,
                                                 unsigned int const*, float*, unsigned int,
                                                 unsigned int, CUstream_st* const&);

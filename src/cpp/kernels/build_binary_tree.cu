#include "platform.h"
#include "kernels/build_binary_tree.h"
#include "utils.h"

#include <cstring>

// ---------------------------------------------------------------------------------------------
// Topology
// ---------------------------------------------------------------------------------------------

// One thread per internal node.
__global__ void __launch_bounds__(BINARY_TOPOLOGY_BLOCK)
    build_binary_topology_kernel(unsigned long const* __restrict__ leaf_keys,
                                 BinaryNode* __restrict__ nodes, unsigned int* __restrict__ parents,
                                 unsigned int num_leaves) {
    unsigned int const idx = blockIdx.x * blockDim.x + threadIdx.x;
    if (idx >= num_leaves - 1) return;
    BinaryNode const children = radix_tree_children(leaf_keys, static_cast<int>(num_leaves), static_cast<int>(idx));
    nodes[idx] = children;
    parents[children.left] = idx;
    parents[children.right] = idx;
}

void build_binary_topology(unsigned long const* leaf_keys, BinaryNode* nodes,
                           unsigned int* parents, unsigned int num_leaves,
                           CUstream_st* const& stream) {
    if (num_leaves == 0) return;
    if (num_leaves != 1) {
        unsigned int const blocks = (num_leaves + BINARY_TOPOLOGY_BLOCK - 2) / BINARY_TOPOLOGY_BLOCK;
        GYRANT_LAUNCH(build_binary_topology_kernel, blocks, BINARY_TOPOLOGY_BLOCK, 0, stream,
                      leaf_keys, nodes, parents, num_leaves);
        CUDA_CHECK(cudaGetLastError());
    }
    // The root (or the single leaf) is nobody's child, so the kernel never writes entry 0.
    CUDA_CHECK(cudaMemsetAsync(parents, 0xFF, sizeof(unsigned int), stream));
}

// ---------------------------------------------------------------------------------------------
// Leaf and bounds pass
// ---------------------------------------------------------------------------------------------

namespace {

GYRANT_DEVICE __half shfl_xor_half(__half v, int lane_mask) {
    unsigned int const bits = __half_as_ushort(v);
    return __ushort_as_half(
        static_cast<unsigned short>(__shfl_xor_sync(gyrant::FULL_MASK, bits, lane_mask)));
}

//! Every lane ends with the same total: the butterfly adds each pair in both orders alike.
GYRANT_DEVICE float warp_butterfly_add(float v) {
    GYRANT_UNROLL
    for (int offset = WARP_SIZE / 2; offset > 0; offset /= 2)
        v += __shfl_xor_sync(gyrant::FULL_MASK, v, offset);
    return v;
}

GYRANT_DEVICE float warp_butterfly_max(float v) {
    GYRANT_UNROLL
    for (int offset = WARP_SIZE / 2; offset > 0; offset /= 2)
        v = fmaxf(v, __shfl_xor_sync(gyrant::FULL_MASK, v, offset));
    return v;
}

GYRANT_DEVICE void warp_butterfly_box(Vec3_f16& lo, Vec3_f16& hi) {
    GYRANT_UNROLL
    for (int offset = WARP_SIZE / 2; offset > 0; offset /= 2) {
        lo.x = __hmin(lo.x, shfl_xor_half(lo.x, offset));
        lo.y = __hmin(lo.y, shfl_xor_half(lo.y, offset));
        lo.z = __hmin(lo.z, shfl_xor_half(lo.z, offset));
        hi.x = __hmax(hi.x, shfl_xor_half(hi.x, offset));
        hi.y = __hmax(hi.y, shfl_xor_half(hi.y, offset));
        hi.z = __hmax(hi.z, shfl_xor_half(hi.z, offset));
    }
}

}  // namespace

//! Sum over the warp by shuffle-down; only lane 0 holds the total.
GYRANT_DEVICE float warp_reduce_add_down(float v) {
    GYRANT_UNROLL
    for (int offset = WARP_SIZE / 2; offset > 0; offset /= 2)
        v += __shfl_down_sync(gyrant::FULL_MASK, v, offset);
    return v;
}

namespace {

//! A box written by another thread, read past the non-coherent L1 cache.
GYRANT_DEVICE AABB load_box_coherent(AABB const* box) {
    static_assert(sizeof(AABB) % sizeof(unsigned int) == 0 && alignof(AABB) >= alignof(unsigned int),
                  "AABB is read as whole words");
    constexpr int words = sizeof(AABB) / sizeof(unsigned int);
    unsigned int w[words];
    unsigned int const* src = reinterpret_cast<unsigned int const*>(box);
    GYRANT_UNROLL
    for (int k = 0; k < words; ++k) w[k] = __ldcg(src + k);
    AABB r;
    memcpy(&r, w, sizeof(AABB));
    return r;
}

}  // namespace

// One warp per leaf packet of 32 sorted primitives; lane 0 then climbs the tree, merging each
// internal node when it is the second of the two children to arrive there.
template <class T>
__global__ void __launch_bounds__(LEAF_PASS_BLOCK)
    populate_binary_tree_aabb_and_leaf_coefficients_kernel(
        SoAView<T> primitives, TailorCoefficientsF16* __restrict__ leaf_coefficients,
        unsigned int leaf_count, BinaryNode const* __restrict__ nodes, AABB* boxes,
        unsigned int const* __restrict__ parents, float* weights, unsigned int n) {
    unsigned int const g = blockIdx.x * blockDim.x + threadIdx.x;
    unsigned int const leaf = g / WARP_SIZE;
    unsigned int const lane = g % WARP_SIZE;
    if (leaf >= leaf_count) return;  // whole warps: blocks are multiples of the warp size

    bool const valid = g < n;
    T const prim = T::load(primitives, g, n);

    // Invalid lanes carry neutral bounds and no weight.
    Vec3_f16 lo = Vec3_f16::from_float({1e38f, 1e38f, 1e38f});
    Vec3_f16 hi = Vec3_f16::from_float({-1e38f, -1e38f, -1e38f});
    float wt = 0.0f;
    Vec3 wc = {0.0f, 0.0f, 0.0f};
    if (valid) {
        AABB const box = prim.get_aabb();
        lo = box.min;
        hi = box.max;
        wt = prim.get_weight();
        wc = prim.centroid() * wt;
    }
    warp_butterfly_box(lo, hi);
    wc = {warp_butterfly_add(wc.x), warp_butterfly_add(wc.y), warp_butterfly_add(wc.z)};
    float const W = warp_butterfly_add(wt);

    Vec3 const c = W > 0.0f ? wc / W : Vec3{0.0f, 0.0f, 0.0f};
    float const radius = warp_butterfly_max(valid ? prim.max_distance_to(c) : 0.0f);

    if (lane == 0) {
        AABB box;
        box.min = lo;
        box.max = hi;
        box.center = c;
        box.radius = __float2half_rn(radius);
        boxes[leaf_count - 1 + leaf] = box;
    }

    Vec3 zero;
    Mat3x3 first;
    Tensor3_compressed second;
    prim.get_tailor_terms(c, valid, zero, first, second);
    zero = {warp_reduce_add_down(zero.x), warp_reduce_add_down(zero.y),
            warp_reduce_add_down(zero.z)};
    GYRANT_UNROLL
    for (int k = 0; k < 9; ++k) first.m[k] = warp_reduce_add_down(first.m[k]);
    GYRANT_UNROLL
    for (int k = 0; k < 18; ++k) second.t[k] = warp_reduce_add_down(second.t[k]);
    if (lane != 0) return;

    TailorCoefficientsF16& out = leaf_coefficients[leaf];
    out.zero_order = zero;
    out.first_order = first;
    out.second_order = second;

    // Bottom-up: the first of two siblings to arrive leaves its weight and stops; the second
    // finds a nonzero weight, so both children are final, and merges them.
    unsigned int node = leaf_count - 1 + leaf;
    float up = W == 0.0f ? ZERO_WEIGHT_MARK : W;
    for (unsigned int parent = parents[node]; parent != INVALID_INDEX; parent = parents[node]) {
        __threadfence();  // this subtree's record is visible before its arrival is
        float const prev = atomicAdd(weights + parent, up);
        if (prev == 0.0f) return;
        BinaryNode const children = nodes[parent];
        bool const from_left = children.left == node;
        float const w_left = from_left ? up : prev;
        float const w_right = from_left ? prev : up;
        boxes[parent] = AABB::merge_weighted(load_box_coherent(boxes + children.left),
                                             load_box_coherent(boxes + children.right), w_left,
                                             w_right);
        up += prev;
        node = parent;
    }
}

template <class T>
void populate_binary_tree_aabb_and_leaf_coefficients(
    float const* primitives, TailorCoefficientsF16* leaf_coefficients, unsigned int leaf_count,
    BinaryNode const* nodes, AABB* boxes, unsigned int const* parents, float* weights,
    unsigned int n, cudaStream_t const& stream) {
    if (n == 0) return;
    SoAView<T> const view{primitives, n};
    unsigned int const blocks = (WARP_SIZE * leaf_count + LEAF_PASS_BLOCK - 1) / LEAF_PASS_BLOCK;
    GYRANT_LAUNCH(populate_binary_tree_aabb_and_leaf_coefficients_kernel<T>, blocks,
                  LEAF_PASS_BLOCK, 0, stream, view, leaf_coefficients, leaf_count, nodes, boxes,
                  parents, weights, n);
    CUDA_CHECK(cudaGetLastError());
}

template void populate_binary_tree_aabb_and_leaf_coefficients<Triangle>(
    float const*, TailorCoefficientsF16*, unsigned int, BinaryNode const*, AABB*,
    unsigned int const*, float*, unsigned int, cudaStream_t const&);
template void populate_binary_tree_aabb_and_leaf_coefficients<PointNormal>(
    float const*, TailorCoefficientsF16*, unsigned int, BinaryNode const*, AABB*,
    unsigned int const*, float*, unsigned int, cudaStream_t const&);

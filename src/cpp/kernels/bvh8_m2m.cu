#include "platform.h"
#include "kernels/bvh8_m2m.h"
#include "utils.h"

namespace {

//! A child's single-precision record, written by another thread of this launch: read past the
//! (incoherent) L1 cache.
GYRANT_DEVICE TailorCoefficients load_full_coefficients(TailorCoefficients const* p) {
    TailorCoefficients r;
    float const* src = reinterpret_cast<float const*>(p);
    float* dst = reinterpret_cast<float*>(&r);
    GYRANT_UNROLL
    for (int k = 0; k < 30; ++k) dst[k] = __ldcg(src + k);
    return r;
}

}  // namespace

// One thread per leaf climbs towards the root. Every occupied slot of a node yields exactly one
// arrival (a leaf slot from that leaf's thread, an inner slot from the thread that finished the
// inner child); the arrival that completes the count computes the node, so each node is
// computed once, after all of its children are final.
__global__ void __launch_bounds__(M2M_BLOCK)
    compute_internal_tailor_coefficients_m2m_kernel(
        BVH8Node* __restrict__ nodes, unsigned int const* __restrict__ node_parents,
        AABB const* __restrict__ leaf_boxes, TailorCoefficientsF16 const* __restrict__ leaf_coefficients,
        unsigned int const* __restrict__ leaf_parents, LeafPointers const* __restrict__ leaf_pointers,
        TailorCoefficientsF16* __restrict__ node_coefficients,
        TailorCoefficients* __restrict__ full_coefficients, unsigned int const* __restrict__ child_counts,
        unsigned int count, unsigned int* __restrict__ arrival_counters) {
    unsigned int const t = blockIdx.x * blockDim.x + threadIdx.x;
    if (t >= count) return;

    unsigned int node = leaf_parents[t];
    while (node != INVALID_INDEX) {
        unsigned int const expected = child_counts[node];
        unsigned int const old = atomicAdd(arrival_counters + node, 1u);
        if (old + 1 < expected) return;  // other children are still missing
        // Pairs with the fence each finishing child issued before its arrival.
        __threadfence();

        BVH8Node const self = nodes[node];
        LeafPointers const row = leaf_pointers[node];
        TailorCoefficients acc;
        acc.zero_order = {0.0f, 0.0f, 0.0f};
        GYRANT_UNROLL
        for (int k = 0; k < 9; ++k) acc.first_order.m[k] = 0.0f;
        GYRANT_UNROLL
        for (int k = 0; k < 18; ++k) acc.second_order.t[k] = 0.0f;

        unsigned int inner = 0;
        GYRANT_UNROLL
        for (unsigned int s = 0; s < 8; ++s) {
            ChildType const type = self.getChildMeta(s);
            if (type == ChildType::Empty) continue;
            Vec3 child_center;
            TailorCoefficients child;
            if (type == ChildType::Leaf) {
                unsigned int const l = row.leaves[s];
                child_center = leaf_boxes[l].center;
                child = TailorCoefficients::from_f16(leaf_coefficients[l]);
            } else {
                unsigned int const k = self.first_child + inner++;
                child_center = nodes[k].center;
                child = load_full_coefficients(full_coefficients + k);
            }
            add_translated_tailor_coefficients(acc, child, child_center - self.center);
        }

        TailorCoefficientsF16 stored;
        stored.zero_order = acc.zero_order;
        stored.first_order = acc.first_order;
        stored.second_order = acc.second_order;
        node_coefficients[node] = stored;
        full_coefficients[node] = acc;
        // Both records are visible before anyone can count this node as arrived.
        __threadfence();
        node = __ldcg(node_parents + node);
    }
}

void compute_internal_tailor_coefficients_m2m(BVH8Node* nodes, unsigned int const* node_parents,
                                              AABB const* leaf_boxes,
                                              TailorCoefficientsF16 const* leaf_coefficients,
                                              unsigned int const* leaf_parents,
                                              LeafPointers const* leaf_pointers,
                                              TailorCoefficientsF16* node_coefficients,
                                              TailorCoefficients* full_coefficients,
                                              unsigned int const* child_counts, unsigned int count,
                                              unsigned int* arrival_counters,
                                              cudaStream_t const& stream) {
    if (count == 0) return;
    unsigned int const blocks =
        static_cast<unsigned int>((static_cast<unsigned long>(count) + M2M_BLOCK - 1) / M2M_BLOCK);
    GYRANT_LAUNCH(compute_internal_tailor_coefficients_m2m_kernel, blocks, M2M_BLOCK, 0, stream, nodes,
                  node_parents, leaf_boxes, leaf_coefficients, leaf_parents, leaf_pointers,
                  node_coefficients, full_coefficients, child_counts, count, arrival_counters);
    CUDA_CHECK(cudaGetLastError());
}

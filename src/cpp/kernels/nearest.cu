#include "platform.h"
#include "kernels/nearest.h"
#include "kernels/tree_reads.h"

#include "utils.h"

#include <cmath>
#include <cstdint>

namespace {

// A stack entry names a child: a leaf (LEAF_BIT set) or an 8-wide node, with the lower bound of
// its squared distance when it was pushed.
constexpr uint32_t LEAF_BIT = 0x80000000u;

using gyrant::tree::load_node;
using gyrant::tree::subtree_first_leaf;
using gyrant::tree::subtree_last_leaf;

//! Primitives [first, last) against q: keeps the nearest strictly below `best`.
template <class T>
GYRANT_DEVICE void scan_primitives(SoAView<T> const& geometry, unsigned first, unsigned last, unsigned n,
                                   Vec3 const& q, float& best, unsigned& best_primitive, Vec3& best_point) {
    for (unsigned p = first; p < last && p < n; ++p) {
        T const primitive = T::load(geometry, p, n);
        if (!may_improve(primitive_bound2(primitive, q), best, best_primitive != 0xFFFFFFFFu)) continue;
        Vec3 point;
        float const d2 = primitive_distance2(primitive, q, point);
        if (may_improve(d2, best, best_primitive != 0xFFFFFFFFu)) {
            best = d2;
            best_primitive = p;
            best_point = point;
        }
    }
}

template <class T>
__global__ void __launch_bounds__(NEAREST_BLOCK) nearest_kernel(NearestParams<T> params) {
    unsigned const g = blockIdx.x * blockDim.x + threadIdx.x;
    if (g >= params.n_queries) return;
    unsigned const i = __ldg(params.query_order + g);
    Vec3 const raw{__ldg(&params.queries[i].x), __ldg(&params.queries[i].y), __ldg(&params.queries[i].z)};
    Vec3 const q = in_engine_frame(raw, params.query_scale);
    unsigned const n = params.n_primitives;
    unsigned const leaves = (n + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;

    float best = params.max_distance2;
    unsigned best_primitive = 0xFFFFFFFFu;
    Vec3 best_point{0.0f, 0.0f, 0.0f};
    bool const finite = finite_query(raw);
    if (finite && leaves == 1) {  // also the empty surface: nothing to scan
        scan_primitives(params.geometry, 0, n, n, q, best, best_primitive, best_point);
    } else if (finite && leaves > 1) {
        uint32_t stack_child[NEAREST_STACK_CAPACITY];
        float stack_bound[NEAREST_STACK_CAPACITY];
        unsigned s = 0;
        {
            BVH8Node const root = load_node(params.nodes, 0);
            stack_child[s] = 0;
            stack_bound[s++] = half_box_distance2(root.min, root.max, q);
        }
        while (s > 0) {
            --s;
            uint32_t const entry = stack_child[s];
            if (!may_improve(stack_bound[s], best, best_primitive != 0xFFFFFFFFu)) continue;
            if (entry & LEAF_BIT) {
                unsigned const leaf = entry & ~LEAF_BIT;
                scan_primitives(params.geometry, leaf * PRIMITIVES_PER_LEAF, (leaf + 1) * PRIMITIVES_PER_LEAF, n, q,
                                best, best_primitive, best_point);
                continue;
            }
            BVH8Node const node = load_node(params.nodes, entry);
            // The children worth a visit, nearest first: sorted by insertion, at most 8.
            uint32_t child[8];
            float bound[8];
            unsigned m = 0, internal = 0;
            for (unsigned k = 0; k < 8; ++k) {
                ChildType const type = node.getChildMeta(k);
                if (type == ChildType::Empty) continue;
                uint32_t code;
                float d2;
                if (type == ChildType::Internal) {
                    code = node.first_child + internal++;
                    BVH8Node const c = load_node(params.nodes, code);
                    d2 = half_box_distance2(c.min, c.max, q);
                } else {
                    unsigned const leaf = __ldg(&params.leaf_pointers[entry].leaves[k]);
                    if (leaf >= leaves) continue;  // a malformed slot: nothing to read there
                    AABB const box = params.leaf_aabbs[leaf];
                    code = leaf | LEAF_BIT;
                    d2 = half_box_distance2(box.min, box.max, q);
                }
                if (!may_improve(d2, best, best_primitive != 0xFFFFFFFFu)) continue;
                unsigned j = m++;
                for (; j > 0 && bound[j - 1] > d2; --j) {
                    child[j] = child[j - 1];
                    bound[j] = bound[j - 1];
                }
                child[j] = code;
                bound[j] = d2;
            }
            // Farthest pushed first, so that the nearest is visited next.
            for (unsigned j = m; j-- > 0;) {
                if (s < NEAREST_STACK_CAPACITY) {
                    stack_child[s] = child[j];
                    stack_bound[s++] = bound[j];
                    continue;
                }
                // No room: this child's leaves now, one by one, in leaf order.
                unsigned first, last;
                if (child[j] & LEAF_BIT) {
                    first = last = child[j] & ~LEAF_BIT;
                } else {
                    first = subtree_first_leaf(params.nodes, params.leaf_pointers, child[j], leaves);
                    last = subtree_last_leaf(params.nodes, params.leaf_pointers, child[j], leaves);
                }
                for (unsigned leaf = first; leaf <= last && leaf < leaves; ++leaf)
                    scan_primitives(params.geometry, leaf * PRIMITIVES_PER_LEAF, (leaf + 1) * PRIMITIVES_PER_LEAF,
                                    n, q, best, best_primitive, best_point);
            }
        }
    }

    float const inverse_scale = 1.0f / params.query_scale;  // a power of two: exact
    float const nan = __int_as_float(0x7fc00000);
    bool const found = best_primitive != 0xFFFFFFFFu;
    params.distance[i] = !finite ? nan : found ? nearest_distance(best, best_point, q) * inverse_scale : INFINITY;
    if (params.points != nullptr) {
        uint64_t const row = 3 * uint64_t{i};  // 3 i passes 32 bits beyond 1.4G queries
        params.points[row + 0] = found ? best_point.x * inverse_scale : nan;
        params.points[row + 1] = found ? best_point.y * inverse_scale : nan;
        params.points[row + 2] = found ? best_point.z * inverse_scale : nan;
    }
    if (params.index != nullptr)
        params.index[i] = found ? static_cast<int64_t>(__ldg(params.sorted_indices + best_primitive)) : NO_PRIMITIVE;
}

}  // namespace

template <class T>
void nearest_primitives(NearestParams<T> const& params, cudaStream_t stream) {
    if (params.n_queries == 0) return;
    unsigned const grid = static_cast<unsigned>((static_cast<uint64_t>(params.n_queries) + NEAREST_BLOCK - 1) /
                                                NEAREST_BLOCK);
    GYRANT_LAUNCH(nearest_kernel<T>, grid, NEAREST_BLOCK, 0, stream, params);
    CUDA_CHECK(cudaGetLastError());
}

template void nearest_primitives<Triangle>(NearestParams<Triangle> const&, cudaStream_t);
template void nearest_primitives<PointNormal>(NearestParams<PointNormal> const&, cudaStream_t);

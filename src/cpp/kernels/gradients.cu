// Gradient kernels of point clouds: the hierarchical walk (one thread per query), the exact
// all-pairs sums, and the small conversions between the engine's storage and the caller's frame.
#include "platform.h"
#include "kernels/gradients.h"

#include "utils.h"

#include <cstdint>

namespace {

// A stack entry packs the pending internal children of one node, as compute's walk does: the
// first (consecutive, in slot order) and how many remain in the top bits.
constexpr unsigned GRAD_STACK_COUNT_SHIFT = 28;
constexpr unsigned GRAD_STACK_FIRST_MASK = (1u << GRAD_STACK_COUNT_SHIFT) - 1;

unsigned blocks_for(unsigned n) { return static_cast<unsigned>((uint64_t{n} + GRADIENT_BLOCK - 1) / GRADIENT_BLOCK); }

GYRANT_DEVICE Vec3 exact_leaf_gradient(SoAView<PointNormal> const& geometry, unsigned n_primitives,
                                       unsigned leaf, Vec3 const& q, float inverse_epsilon) {
    Vec3 sum{0.0f, 0.0f, 0.0f};
    unsigned const first = leaf * PRIMITIVES_PER_LEAF;
    unsigned const end = n_primitives - first < PRIMITIVES_PER_LEAF ? n_primitives : first + PRIMITIVES_PER_LEAF;
    for (unsigned i = first; i < end; ++i)
        sum = sum - point_gradient(PointNormal::load(geometry, i, n_primitives), q, inverse_epsilon);
    return sum;
}

//! Adds grad_q of the stored expansion when it is finite; returns whether it was added.
GYRANT_DEVICE bool add_expansion_gradient(TailorCoefficientsF16 const* stored, Vec3 const& q, Vec3 const& center,
                                          Vec3& sum) {
    Vec3 const g = stored_expansion_gradient(*stored, q, center);
    if (!all_finite(g)) return false;
    sum = sum + g;
    return true;
}

}  // namespace

__global__ void __launch_bounds__(GRADIENT_BLOCK) gradient_walk_kernel(GradientWalkParams p) {
    unsigned const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= p.n_queries) return;
    Vec3 const q = in_engine_frame(p.queries[i], p.query_scale);
    float const inverse_epsilon = 1.0f / p.epsilon;
    float const beta_squared = p.beta * p.beta;
    float const band = acceptance_band(p.epsilon);
    unsigned const leaves = (p.n_primitives + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;

    Vec3 sum{0.0f, 0.0f, 0.0f};
    bool exact = p.nodes == nullptr;
    if (!exact) {
        unsigned stack[GRADIENT_STACK_CAPACITY];
        stack[0] = 0u | (1u << GRAD_STACK_COUNT_SHIFT);
        int s = 1;
        while (s > 0) {
            unsigned const entry = stack[s - 1];
            unsigned const count = entry >> GRAD_STACK_COUNT_SHIFT;
            unsigned const n = (entry & GRAD_STACK_FIRST_MASK) + count - 1;
            if (count > 1)
                stack[s - 1] = entry - (1u << GRAD_STACK_COUNT_SHIFT);
            else
                --s;
            BVH8Node const node = p.nodes[n];
            if (should_node_be_approximated(q, node.getAABB(), beta_squared, band) &&
                add_expansion_gradient(p.node_coefficients + n, q, node.center, sum))
                continue;
            unsigned internal = 0;
            for (unsigned k = 0; k < 8; ++k) {
                ChildType const type = node.getChildMeta(k);
                if (type == ChildType::Internal) ++internal;
                if (type != ChildType::Leaf) continue;
                unsigned const leaf = p.leaf_pointers[n].leaves[k];
                // Only a corrupt hierarchy names a leaf past the last: stop the launch with an
                // error rather than return a gradient without that leaf's points.
                if (leaf >= leaves) __trap();
                AABB const& box = p.leaf_aabbs[leaf];
                if (should_node_be_approximated(q, box, beta_squared, band) &&
                    add_expansion_gradient(p.leaf_coefficients + leaf, q, box.center, sum))
                    continue;
                sum = sum + exact_leaf_gradient(p.geometry, p.n_primitives, leaf, q, inverse_epsilon);
            }
            if (internal == 0) continue;
            if (s == static_cast<int>(GRADIENT_STACK_CAPACITY)) {
                exact = true;  // deeper than any tree the build makes: sum everything instead
                break;
            }
            stack[s++] = node.first_child | (internal << GRAD_STACK_COUNT_SHIFT);
        }
    }
    if (exact) {
        sum = {0.0f, 0.0f, 0.0f};
        for (unsigned leaf = 0; leaf < leaves; ++leaf)
            sum = sum + exact_leaf_gradient(p.geometry, p.n_primitives, leaf, q, inverse_epsilon);
    }
    // grad_q w is scale-free in w: in the caller's units it is the frame's gradient times scale.
    p.output[3 * i + 0] = sum.x * p.query_scale;
    p.output[3 * i + 1] = sum.y * p.query_scale;
    p.output[3 * i + 2] = sum.z * p.query_scale;
}

__global__ void __launch_bounds__(GRADIENT_BLOCK)
    gradient_brute_force_kernel(Vec3 const* __restrict__ queries, SoAView<PointNormal> geometry, unsigned n_queries,
                                unsigned n_primitives, float* __restrict__ output, float inverse_epsilon,
                                float query_scale) {
    unsigned const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n_queries) return;
    Vec3 const q = in_engine_frame(queries[i], query_scale);
    double x = 0.0, y = 0.0, z = 0.0;
    for (unsigned j = 0; j < n_primitives; ++j) {
        Vec3 const g = point_gradient(PointNormal::load(geometry, j, n_primitives), q, inverse_epsilon);
        x -= g.x;
        y -= g.y;
        z -= g.z;
    }
    output[3 * i + 0] = static_cast<float>(x * query_scale);
    output[3 * i + 1] = static_cast<float>(y * query_scale);
    output[3 * i + 2] = static_cast<float>(z * query_scale);
}

__global__ void __launch_bounds__(GRADIENT_BLOCK)
    vjp_brute_force_kernel(SoAView<PointNormal> geometry, uint32_t const* __restrict__ sorted_indices,
                           unsigned n_points, Vec3 const* __restrict__ queries, float const* __restrict__ v,
                           unsigned n_queries, float inverse_epsilon, float query_scale,
                           float* __restrict__ grad_normals, float* __restrict__ grad_points) {
    unsigned const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n_points) return;
    PointNormal const p = PointNormal::load(geometry, i, n_points);
    double gn[3] = {0.0, 0.0, 0.0}, gp[3] = {0.0, 0.0, 0.0};
    for (unsigned j = 0; j < n_queries; ++j) {
        Vec3 const q = in_engine_frame(queries[j], query_scale);
        double const w = v[j];
        Vec3 const kn = dipole_kernel_vector(p.position - q, inverse_epsilon);
        Vec3 const kp = point_gradient(p, q, inverse_epsilon);
        gn[0] += w * kn.x, gn[1] += w * kn.y, gn[2] += w * kn.z;
        gp[0] += w * kp.x, gp[1] += w * kp.y, gp[2] += w * kp.z;
    }
    // The caller's normals are the frame's over scale^2, the caller's positions over scale.
    double const s = query_scale;
    uint32_t const o = 3 * sorted_indices[i];
    for (unsigned a = 0; a < 3; ++a) {
        if (grad_normals != nullptr) grad_normals[o + a] = static_cast<float>(gn[a] * s * s);
        if (grad_points != nullptr) grad_points[o + a] = static_cast<float>(gp[a] * s);
    }
}

__global__ void __launch_bounds__(GRADIENT_BLOCK)
    points_in_caller_frame_kernel(SoAView<PointNormal> geometry, uint32_t const* __restrict__ sorted_indices,
                                  unsigned n_points, float inverse_scale, float inverse_area,
                                  float* __restrict__ positions, float* __restrict__ normals) {
    unsigned const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n_points) return;
    store_in_caller_frame(PointNormal::load(geometry, i, n_points), sorted_indices[i], inverse_scale, inverse_area,
                          positions, normals);
}

__global__ void __launch_bounds__(GRADIENT_BLOCK)
    axis_normals_kernel(float const* __restrict__ v, unsigned n, unsigned axis, float* __restrict__ out) {
    unsigned const j = blockIdx.x * blockDim.x + threadIdx.x;
    if (j >= n) return;
    for (unsigned a = 0; a < 3; ++a) out[3 * j + a] = a == axis ? v[j] : 0.0f;
}

void gradient_walk(GradientWalkParams const& params, cudaStream_t stream) {
    if (params.n_queries == 0) return;
    GYRANT_LAUNCH(gradient_walk_kernel, blocks_for(params.n_queries), GRADIENT_BLOCK, 0, stream, params);
    CUDA_CHECK(cudaGetLastError());
}

void gradient_brute_force(Vec3 const* queries, SoAView<PointNormal> geometry, unsigned n_queries,
                          unsigned n_primitives, float* output, float epsilon, float query_scale,
                          cudaStream_t stream) {
    if (n_queries == 0) return;
    GYRANT_LAUNCH(gradient_brute_force_kernel, blocks_for(n_queries), GRADIENT_BLOCK, 0, stream, queries, geometry,
                  n_queries, n_primitives, output, 1.0f / epsilon, query_scale);
    CUDA_CHECK(cudaGetLastError());
}

void vjp_brute_force(SoAView<PointNormal> geometry, uint32_t const* sorted_indices, unsigned n_points,
                     Vec3 const* queries, float const* v, unsigned n_queries, float epsilon, float query_scale,
                     float* grad_normals, float* grad_points, cudaStream_t stream) {
    if (n_points == 0) return;
    GYRANT_LAUNCH(vjp_brute_force_kernel, blocks_for(n_points), GRADIENT_BLOCK, 0, stream, geometry, sorted_indices,
                  n_points, queries, v, n_queries, 1.0f / epsilon, query_scale, grad_normals, grad_points);
    CUDA_CHECK(cudaGetLastError());
}

void points_in_caller_frame(SoAView<PointNormal> geometry, uint32_t const* sorted_indices, unsigned n_points,
                            float query_scale, float area, float* positions, float* normals, cudaStream_t stream) {
    if (n_points == 0) return;
    GYRANT_LAUNCH(points_in_caller_frame_kernel, blocks_for(n_points), GRADIENT_BLOCK, 0, stream, geometry,
                  sorted_indices, n_points, 1.0f / query_scale, 1.0f / area, positions, normals);
    CUDA_CHECK(cudaGetLastError());
}

void axis_normals(float const* v, unsigned n, unsigned axis, float* out, cudaStream_t stream) {
    if (n == 0) return;
    GYRANT_LAUNCH(axis_normals_kernel, blocks_for(n), GRADIENT_BLOCK, 0, stream, v, n, axis, out);
    CUDA_CHECK(cudaGetLastError());
}

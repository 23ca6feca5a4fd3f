// The build pipeline: factories and the build bodies that turn a surface into a ready engine.
//
// Order of a build, all on the engine's stream (temporaries are stream-ordered buffers, freed
// on every way out):
//   ordering      scene box and Morton codes, sort, gather into sorted storage
//   binary tree   leaf keys, radix tree topology, leaf boxes and expansions, internal boxes
//   8-wide tree   conversion, distance bounds, upward translation (continue from the binary
//                 nodes that build_binary_tree_and_leaves hands back)
#include "platform.h"

#include "gyrant_cuda.h"
#include "kernels/build_binary_tree.h"
#include "kernels/common.h"

#include <thrust/fill.h>
#include <thrust/sequence.h>

#include <cstdio>
#include <memory>

namespace {

//! d_sorted_indices = 0 .. n-1, then (codes, indices) sorted by code, stably: primitives with
//! equal codes keep ascending input index. Blocks until done.
void sort_by_morton_code(unsigned long* codes, uint32_t* sorted_indices, unsigned long n,
                         gyrant::StreamPolicy& policy, cudaStream_t stream) {
    thrust::sequence(policy, sorted_indices, sorted_indices + n);
    gyrant::radix_sort_pairs(codes, sorted_indices, n, stream);
}

//! From the sorted codes to the binary tree with its boxes and the leaf expansions. Frees the
//! codes as soon as the leaf keys are taken, and every other temporary before returning except
//! the internal binary nodes, which the 8-wide conversion reads next.
template <class T>
gyrant::StreamBuffer<BinaryNode> build_binary_tree_and_leaves(
    gyrant::StreamBuffer<unsigned long>& sorted_codes, unsigned long n, float const* primitives,
    AABB* binary_aabbs, TailorCoefficientsF16* leaf_coefficients, gyrant::StreamPolicy& policy,
    cudaStream_t stream) {
    unsigned long const leaves = (n + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;
    auto const L = static_cast<unsigned int>(leaves);

    gyrant::StreamBuffer<unsigned long> leaf_keys(leaves, stream);
    compute_leaf_keys(sorted_codes.get(), n, leaf_keys.get(), policy);
    sorted_codes.reset();

    gyrant::StreamBuffer<BinaryNode> nodes(leaves - 1, stream);
    gyrant::StreamBuffer<unsigned int> parents(2 * leaves - 1, stream);
    build_binary_topology(leaf_keys.get(), nodes.get(), parents.get(), L, stream);
    leaf_keys.reset();

    // Zero means "no child has arrived yet" to the bottom-up pass.
    gyrant::StreamBuffer<float> arrival_weights(leaves - 1, stream);
    thrust::fill(policy, arrival_weights.get(), arrival_weights.get() + (leaves - 1), 0.0f);
    populate_binary_tree_aabb_and_leaf_coefficients<T>(
        primitives, leaf_coefficients, L, nodes.get(), binary_aabbs, parents.get(),
        arrival_weights.get(), static_cast<unsigned int>(n), stream);
    return nodes;
}

}  // namespace

template <class T>
template <class G>
void GyrantBackend<T>::initializeMortonCodes(G const* primitives, unsigned long* codes) {
    AABB const box = scene_bounds(primitives, count, policy);
    upload_scene_params(make_scene_params(box), stream);
    // Enqueued after the parameter copy on the same stream, so it reads this build's values.
    morton_codes(primitives, count, codes, policy);
}

template <class T>
void GyrantBackend<T>::initialize_triangle_data(float const* triangles) {
    CUDA_CHECK(cudaEventRecord(build_start_event, stream));
    if (count > 0) {
        gyrant::StreamBuffer<unsigned long> codes(count, stream);
        initializeMortonCodes(reinterpret_cast<Triangle const*>(triangles), codes.get());
        sort_by_morton_code(codes.get(), d_sorted_indices, count, policy, stream);
        gather_triangles_soa(triangles, d_sorted_indices, d_primitives,
                             static_cast<unsigned int>(count), stream);
        gyrant::StreamBuffer<BinaryNode> binary_nodes = build_binary_tree_and_leaves<T>(
            codes, count, d_primitives, d_binary_aabbs, d_leaf_coefficients, policy, stream);
    }
    CUDA_CHECK(cudaEventRecord(build_done_event, stream));
}

template <class T>
void GyrantBackend<T>::initialize_point_data(float const* points, float const* normals) {
    CUDA_CHECK(cudaEventRecord(build_start_event, stream));
    if (count > 0) {
        gyrant::StreamBuffer<unsigned long> codes(count, stream);
        initializeMortonCodes(reinterpret_cast<Vec3 const*>(points), codes.get());
        sort_by_morton_code(codes.get(), d_sorted_indices, count, policy, stream);
        gather_point_normals_soa(points, normals, d_sorted_indices, d_primitives,
                                 static_cast<unsigned int>(count), stream);
        gyrant::StreamBuffer<BinaryNode> binary_nodes = build_binary_tree_and_leaves<T>(
            codes, count, d_primitives, d_binary_aabbs, d_leaf_coefficients, policy, stream);
    }
    CUDA_CHECK(cudaEventRecord(build_done_event, stream));
}

template <class T>
std::unique_ptr<GyrantBackend<T>> GyrantBackend<T>::CreateFromTriangles(float const* triangles,
                                                                        unsigned long num_triangles,
                                                                        int device) {
    gyrant::ScopedDevice const on_device(device);
    std::puts("CreateFromTriangles!");
    // An engine whose build throws is destroyed here, before the exception leaves.
    std::unique_ptr<GyrantBackend> engine(new GyrantBackend(num_triangles, device));
    engine->initialize_triangle_data(triangles);
    return engine;
}

template <class T>
std::unique_ptr<GyrantBackend<T>> GyrantBackend<T>::CreateFromPoints(float const* points,
                                                                     float const* normals,
                                                                     unsigned long num_points,
                                                                     int device) {
    gyrant::ScopedDevice const on_device(device);
    std::puts("CreateFromPoints!");
    std::unique_ptr<GyrantBackend> engine(new GyrantBackend(num_points, device));
    engine->initialize_point_data(points, normals);
    return engine;
}

template void GyrantBackend<Triangle>::initializeMortonCodes<Triangle>(Triangle const*, unsigned long*);
template void GyrantBackend<PointNormal>::initializeMortonCodes<Vec3>(Vec3 const*, unsigned long*);
template void GyrantBackend<Triangle>::initialize_triangle_data(float const*);
template void GyrantBackend<PointNormal>::initialize_point_data(float const*, float const*);
template std::unique_ptr<GyrantBackend<Triangle>> GyrantBackend<Triangle>::CreateFromTriangles(
    float const*, unsigned long, int);
template std::unique_ptr<GyrantBackend<PointNormal>> GyrantBackend<PointNormal>::CreateFromPoints(
    float const*, float const*, unsigned long, int);

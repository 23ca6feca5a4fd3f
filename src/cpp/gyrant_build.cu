// The build pipeline: factories and the build bodies that turn a surface into a ready engine.
//
// Order of a build, all on the engine's stream (temporaries are stream-ordered buffers, freed
// on every way out):
//   ordering      scene box and Morton codes, sort, gather into sorted storage
//   binary tree   leaf keys, radix tree topology, leaf boxes and expansions, internal boxes
//   8-wide tree   conversion, node radii, upward translation of the expansions
// An empty surface records both events and builds nothing: it has no hierarchy.
#include "platform.h"

#include "gyrant_cuda.h"
#include "kernels/binary2bvh8.h"
#include "kernels/build_binary_tree.h"
#include "kernels/bvh8_m2m.h"
#include "kernels/common.h"
#include "kernels/mesh.h"

#include <thrust/fill.h>
#include <thrust/sequence.h>

#include <cfloat>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

//! The larger of two vertex indices (validation of a mesh).
struct MaxIndex {
    GYRANT_HOST_DEVICE unsigned int operator()(unsigned int a, unsigned int b) const { return a > b ? a : b; }
};

//! Frees a synchronous allocation on every way out.
struct SyncFree {
    void operator()(float* p) const { gyrant_cuda::cuda_free(p); }
};

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

//! The 8-wide tree over the binary tree that build_binary_tree_and_leaves handed back: the
//! collapse (which frees the binary nodes once it has read them), the node radii and the node
//! expansions. Every temporary is stream-ordered and freed before returning.
template <class T>
void build_bvh8_tree(gyrant::StreamBuffer<BinaryNode>& binary_nodes, unsigned long n, int device,
                     float const* primitives, AABB* binary_aabbs,
                     TailorCoefficientsF16 const* leaf_coefficients, uint32_t* node_count,
                     BVH8Node* nodes, LeafPointers* leaf_pointers,
                     TailorCoefficientsF16* node_coefficients, gyrant::StreamPolicy& policy,
                     cudaStream_t stream) {
    unsigned long const leaves = (n + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;
    auto const L = static_cast<unsigned int>(leaves);
    unsigned long const capacity = leaves - 1;  // room for 8-wide nodes

    gyrant::StreamBuffer<unsigned int> queue_a(capacity, stream);
    gyrant::StreamBuffer<unsigned int> queue_b(capacity, stream);
    gyrant::StreamBuffer<unsigned int> node_parents(capacity, stream);
    gyrant::StreamBuffer<unsigned int> next_level_count(1, stream);
    gyrant::StreamBuffer<unsigned int> leaf_parents(leaves, stream);
    gyrant::StreamBuffer<unsigned int> child_counts(capacity, stream);
    // A conversion that never ran then reads as no node rather than as garbage that would size
    // the next allocation.
    CUDA_CHECK(cudaMemsetAsync(node_count, 0, sizeof(uint32_t), stream));
    convert_binary_tree_to_bvh8({queue_a.get(), queue_b.get(), node_parents.get(), next_level_count.get(),
                                 L, binary_aabbs, binary_nodes.get(), child_counts.get(),
                                 leaf_parents.get(), nodes, leaf_pointers, node_count},
                                device, stream);
    queue_a.reset();
    queue_b.reset();
    next_level_count.reset();
    binary_nodes.reset();

    uint32_t host_node_count = 0;
    // Into pageable memory: the call returns with the value in place, after everything queued
    // before it on the stream (which also completes the sorted primitive storage).
    CUDA_CHECK(cudaMemcpyAsync(&host_node_count, node_count, sizeof(uint32_t), cudaMemcpyDeviceToHost,
                               stream));
    if (leaves == 1) return;  // a single leaf is the whole scene: no 8-wide node
    // Two leaves or more always make a node; anything else is a conversion that failed.
    if (host_node_count == 0 || host_node_count > capacity)
        throw std::runtime_error("the 8-wide conversion failed: " + std::to_string(host_node_count) + " nodes for " +
                                 std::to_string(leaves) + " leaves");

    gyrant::StreamBuffer<float> max_distances(host_node_count, stream);
    thrust::fill(policy, max_distances.get(), max_distances.get() + host_node_count, 0.0f);
    compute_max_distances<T>(nodes, primitives, leaf_parents.get(), node_parents.get(),
                             max_distances.get(), static_cast<unsigned int>(n), host_node_count, stream);
    max_distances.reset();

    // Zero means "no child has arrived yet" to the upward translation.
    gyrant::StreamBuffer<unsigned int> m2m_counters(capacity, stream);
    thrust::fill(policy, m2m_counters.get(), m2m_counters.get() + capacity, 0u);
    gyrant::StreamBuffer<TailorCoefficients> m2m_scratch(capacity, stream);
    // The leaf part of the binary boxes, indexed by leaf number.
    compute_internal_tailor_coefficients_m2m(nodes, node_parents.get(), binary_aabbs + capacity,
                                             leaf_coefficients, leaf_parents.get(), leaf_pointers,
                                             node_coefficients, m2m_scratch.get(), child_counts.get(),
                                             L, m2m_counters.get(), stream);
}

//! Largest box sides of a surface (in the engine's frame) for which the half and bfloat16
//! expansion coefficients keep their precision without overflowing. Measured on meshes of 75k to
//! 1.2M triangles: compute's error against brute_force is the same from 4 to 64; below, small
//! leaves' coefficients underflow (the mean error doubles at 1/2 for 1.2M triangles and grows
//! fast below), and from 128 on large nodes' coefficients overflow and are summed exactly instead
//! (4 to 60 times slower at 1024). Other surfaces are scaled into [FRAME_TARGET, 2 FRAME_TARGET).
constexpr float FRAME_EXTENT_MIN = 4.0f;
constexpr float FRAME_EXTENT_MAX = 32.0f;
constexpr int FRAME_TARGET_EXPONENT = 3;  // 8
//! Scaled coordinates stay below this, far from overflow in squared distances.
constexpr float FRAME_MAGNITUDE_MAX = 0x1p60f;
//! Leaves below this radius have first-order coefficients (about r^3) near or below half's
//! smallest normal value and lose digits: at 1.2M triangles and extent 1/2 the leaves' typical
//! radius is about 1/100 and the error grows. A surface is not shrunk so far that more than
//! SMALL_LEAF_QUANTILE of its leaves fall below it.
constexpr float SMALL_LEAF_RADIUS = 1.0f / 32.0f;
constexpr double SMALL_LEAF_QUANTILE = 0.01;

//! The largest scale exponent for a surface of triangles: a float power of two, with room for
//! epsilon's default (0.004) times it. Points take half of it, since their areas scale with the
//! square. Surfaces smaller than these bounds allow (extents below about 2^-120 for triangles,
//! 2^-60 for points) stay below the frame's range.
constexpr int FRAME_SCALE_MAX_EXPONENT = 126;

//! Weights (scaled normals) are brought to a load n max|n_c| (n points, in the frame) of the size
//! area-sized normals have on a surface of the frame's extent E: 2^2 E^2 at most (a sphere's load
//! is pi E^2, so its normals keep their bits), and 2^14 / E at most, which bounds the first-order
//! moments of the largest nodes as for a sphere of extent 16 (the frame grows small leaves into
//! extents far beyond, where area-sized normals would overflow half). The bound depends only on
//! the points, and the load is brought into one binade below it, so 2^k times the weights gives
//! exactly 2^k times every result.
constexpr double WEIGHT_LOAD_PER_AREA = 2.0;    // log2 of the load over E^2
constexpr double WEIGHT_LOAD_TIMES_EXTENT = 14.0;  // log2 of the load times E
//! Weight scales stay powers of two whose reciprocals are normal floats.
constexpr int WEIGHT_SCALE_MAX_EXPONENT = 126;

//! The power of two by which n weights of largest absolute component `magnitude` (caller's
//! units) are multiplied, on top of the frame's area factor frame^2, so that their load is in
//! range; 1 when it cannot be measured (zero, infinite or NaN weights). The weight scale, its
//! reciprocal and the whole factor frame^2 times it are normal floats (frame is a power of two).
float weight_scale_of(unsigned long n, float magnitude, float frame, float frame_extent) {
    int const area_exponent = 2 * std::ilogb(frame);
    double const load = std::ldexp(double(n) * double(magnitude), area_exponent);
    if (!(load > 0.0) || !std::isfinite(load)) return 1.0f;
    // 0 for coincident points, and for an extent that is not finite (a non-finite coordinate).
    double const e = frame_extent > 0.0f && frame_extent <= FLT_MAX ? std::log2(double(frame_extent)) : 0.0;
    int const target = static_cast<int>(
        std::floor(std::min(WEIGHT_LOAD_PER_AREA + 2.0 * e, WEIGHT_LOAD_TIMES_EXTENT - e)));
    int exponent = 0;
    std::frexp(load, &exponent);  // load in [2^(exponent - 1), 2^exponent)
    int k = std::clamp(target - exponent, -WEIGHT_SCALE_MAX_EXPONENT, WEIGHT_SCALE_MAX_EXPONENT);
    k = std::clamp(k, -WEIGHT_SCALE_MAX_EXPONENT - area_exponent, WEIGHT_SCALE_MAX_EXPONENT - area_exponent);
    return std::ldexp(1.0f, k);
}

//! A power of two (exact in float, so Morton codes, the tree and every contribution are those of
//! the unscaled surface) that brings `spread` into the frame's range as far as 2^max_exponent
//! allows; 1 when it is there already or cannot be measured (no finite coordinate).
float frame_scale(CoordinateSpread const& spread, int max_exponent) {
    if (!(spread.extent > 0.0f) || !(spread.extent <= FLT_MAX)) return 1.0f;
    if (spread.extent >= FRAME_EXTENT_MIN && spread.extent <= FRAME_EXTENT_MAX) return 1.0f;
    int exponent = 0;
    std::frexp(spread.extent, &exponent);  // extent in [2^(exponent - 1), 2^exponent)
    int k = std::min(FRAME_TARGET_EXPONENT + 1 - exponent, max_exponent);
    while (k > 0 && std::ldexp(double(spread.magnitude), k) > FRAME_MAGNITUDE_MAX) --k;
    return std::ldexp(1.0f, k);
}

}  // namespace

template <class T>
float GyrantBackend<T>::small_leaf_growth() const {
    unsigned long const leaves = leaf_count();
    std::vector<AABB> boxes(leaves);
    CUDA_CHECK(cudaMemcpy(boxes.data(), d_binary_aabbs + (leaves - 1), leaves * sizeof(AABB), cudaMemcpyDeviceToHost));
    std::vector<float> radii;
    radii.reserve(leaves);
    for (AABB const& box : boxes) {
        float const r = __half2float(box.radius);
        if (r > 0.0f) radii.push_back(r);  // a leaf of coincident points has no moments to lose
    }
    if (radii.empty()) return 1.0f;
    auto const quantile = radii.begin() + static_cast<long>(radii.size() * SMALL_LEAF_QUANTILE);
    std::nth_element(radii.begin(), quantile, radii.end());
    if (*quantile >= SMALL_LEAF_RADIUS) return 1.0f;
    int exponent = 0;
    std::frexp(SMALL_LEAF_RADIUS / *quantile, &exponent);
    return std::ldexp(1.0f, exponent);
}

template <class T>
template <class Build>
void GyrantBackend<T>::build_in_frame(float const* points, unsigned long n_points, Build&& build) {
    int const max_exponent = std::is_same_v<T, Triangle> ? FRAME_SCALE_MAX_EXPONENT : FRAME_SCALE_MAX_EXPONENT / 2;
    CoordinateSpread const spread = coordinate_spread(points, n_points, policy);
    extent = spread.extent;
    scale = frame_scale(spread, max_exponent);
    build(scale);
    // Shrinking a large surface can push its small leaves' first-order coefficients below half's
    // normal range, where they lose their digits (overflow at large scales is harmless: such
    // nodes are summed exactly). Then it is built again as large as its small leaves need,
    // but never larger than the caller's units.
    if (scale >= 1.0f || leaf_count() < 2) return;
    float const growth = small_leaf_growth();
    if (growth <= 1.0f) return;
    scale = std::fmin(1.0f, scale * growth);
    build(scale);
}

template <class T>
float GyrantBackend<T>::weight_for(float const* normals, float frame) {
    if (count == 0) return 1.0f;
    float const magnitude = coordinate_spread(normals, count, policy).magnitude;
    return weight_scale_of(count, magnitude, frame, extent * frame);
}

template <class T>
void GyrantBackend<T>::unweight(float* values, unsigned long n, cudaStream_t on) const {
    if (weight == 1.0f || n == 0) return;
    gyrant::StreamPolicy caller_policy = gyrant::make_policy(on);
    scale_floats(values, n, 1.0f / weight, values, caller_policy);  // a power of two: exact
}

template <class T>
template <class G>
void GyrantBackend<T>::initializeMortonCodes(G const* primitives, unsigned long* codes) {
    scene_params = make_scene_params(scene_bounds(primitives, count, policy));
    morton_codes(primitives, count, codes, policy, scene_params);
}

template <class T>
template <class G, class Gather>
void GyrantBackend<T>::build_body(G const* primitives, Gather&& gather_into_sorted_storage) {
    CUDA_CHECK(cudaEventRecord(build_start_event, stream));
    if (count > 0) {
        gyrant::StreamBuffer<unsigned long> codes(count, stream);
        initializeMortonCodes(primitives, codes.get());
        sort_by_morton_code(codes.get(), d_sorted_indices, count, policy, stream);
        if (kept_codes.get() != nullptr)
            CUDA_CHECK(cudaMemcpyAsync(kept_codes.get(), codes.get(), count * sizeof(unsigned long),
                                       cudaMemcpyDeviceToDevice, stream));
        gather_into_sorted_storage();
        gyrant::StreamBuffer<BinaryNode> binary_nodes = build_binary_tree_and_leaves<T>(
            codes, count, d_primitives, d_binary_aabbs, d_leaf_coefficients, policy, stream);
        build_bvh8_tree<T>(binary_nodes, count, device, d_primitives, d_binary_aabbs, d_leaf_coefficients,
                           d_bvh8_node_count, d_bvh8_nodes, d_leaf_pointers, d_bvh8_coefficients, policy,
                           stream);
    }
    CUDA_CHECK(cudaEventRecord(build_done_event, stream));
}

#if defined(GYRANT_FLAVOUR_HOST)
template <class T>
gyrant::cpu::EngineBuffers GyrantBackend<T>::native_buffers() const {
    return {d_sorted_indices, d_primitives,        d_binary_aabbs,       d_bvh8_node_count,
            d_bvh8_nodes,     d_bvh8_coefficients, d_leaf_coefficients, d_leaf_pointers,
            reinterpret_cast<uint64_t*>(kept_codes.get())};
}

template <class T>
void GyrantBackend<T>::derive_native_tree() {
    native_tree.reset();
    if (count == 0) return;
    // The host flavour's stream work is done when it is enqueued, so the count is in place.
    if (leaf_count() < 2) return;  // a single leaf: no hierarchy to walk
    // Any other count is checked there: a missing tree would have every query sum every primitive.
    native_tree = std::make_unique<gyrant::cpu::WideTree>(gyrant::cpu::make_wide_tree(
        d_bvh8_nodes, d_leaf_pointers, d_bvh8_coefficients, d_leaf_coefficients,
        d_binary_aabbs + (leaf_count() - 1), *d_bvh8_node_count, static_cast<uint32_t>(leaf_count()),
        primitives_view(), static_cast<unsigned>(count)));
}
#endif

template <class T>
void GyrantBackend<T>::initialize_triangle_data(float const* triangles) {
#if defined(GYRANT_FLAVOUR_HOST)
    if (build_natively && count > 0) {
        CUDA_CHECK(cudaEventRecord(build_start_event, stream));
        scene_params = gyrant::cpu::build_triangles(triangles, count, native_buffers());
        CUDA_CHECK(cudaEventRecord(build_done_event, stream));
        derive_native_tree();
        return;
    }
#endif
    build_body(reinterpret_cast<Triangle const*>(triangles), [&] {
        gather_triangles_soa(triangles, d_sorted_indices, d_primitives, static_cast<unsigned int>(count),
                             stream);
    });
#if defined(GYRANT_FLAVOUR_HOST)
    derive_native_tree();
#endif
}

template <class T>
void GyrantBackend<T>::initialize_point_data(float const* points, float const* normals) {
#if defined(GYRANT_FLAVOUR_HOST)
    if (build_natively && count > 0) {
        CUDA_CHECK(cudaEventRecord(build_start_event, stream));
        scene_params = gyrant::cpu::build_points(points, normals, count, native_buffers());
        CUDA_CHECK(cudaEventRecord(build_done_event, stream));
        derive_native_tree();
        return;
    }
#endif
    build_body(reinterpret_cast<Vec3 const*>(points), [&] {
        gather_point_normals_soa(points, normals, d_sorted_indices, d_primitives,
                                 static_cast<unsigned int>(count), stream);
    });
#if defined(GYRANT_FLAVOUR_HOST)
    derive_native_tree();
#endif
}

template <class T>
std::unique_ptr<GyrantBackend<T>> GyrantBackend<T>::CreateFromTriangles(float const* triangles,
                                                                        unsigned long num_triangles,
                                                                        int device, bool announce) {
    gyrant::ScopedDevice const on_device(device);
    if (announce) std::puts("CreateFromTriangles!");
    // An engine whose build throws is destroyed here, before the exception leaves.
    std::unique_ptr<GyrantBackend> engine(new GyrantBackend(num_triangles, device));
    engine->build_in_frame(triangles, 3 * num_triangles, [&](float scale) {
        if (scale == 1.0f) return engine->initialize_triangle_data(triangles);
        gyrant::StreamBuffer<float> scaled(9 * num_triangles, engine->stream);
        scale_floats(triangles, 9 * num_triangles, scale, scaled.get(), engine->policy);
        engine->initialize_triangle_data(scaled.get());
    });  // a scaled copy is freed on the engine's stream, after the build's work
    engine->prepare_exact();
    return engine;
}

template <class T>
std::unique_ptr<GyrantBackend<T>> GyrantBackend<T>::CreateFromPoints(float const* points,
                                                                     float const* normals,
                                                                     unsigned long num_points,
                                                                     int device, bool announce) {
    gyrant::ScopedDevice const on_device(device);
    if (announce) std::puts("CreateFromPoints!");
    return BuildFromPoints(points, normals, num_points, device);
}

template <class T>
std::unique_ptr<GyrantBackend<T>> GyrantBackend<T>::BuildFromPoints(float const* points, float const* normals,
                                                                    unsigned long num_points, int device,
                                                                    bool refittable) {
    std::unique_ptr<GyrantBackend> engine(new GyrantBackend(num_points, device));
    if (refittable && num_points > 0)
        engine->kept_codes = gyrant::StreamBuffer<unsigned long>(num_points, engine->stream);
    engine->build_in_frame(points, num_points, [&](float scale) {
        // Areas, the lengths of the scaled normals, scale with the square, and their size is
        // brought into the expansions' range.
        engine->weight = engine->weight_for(normals, scale);
        float const area = engine->area_factor();
        if (scale == 1.0f && area == 1.0f) return engine->initialize_point_data(points, normals);
        gyrant::StreamBuffer<float> scaled(6 * num_points, engine->stream);
        scale_floats(points, 3 * num_points, scale, scaled.get(), engine->policy);
        scale_floats(normals, 3 * num_points, area, scaled.get() + 3 * num_points, engine->policy);
        engine->initialize_point_data(scaled.get(), scaled.get() + 3 * num_points);
    });
    return engine;
}

template <class T>
void GyrantBackend<T>::refit_normals(float const* normals) {
    if (!std::is_same_v<T, PointNormal> || (count > 0 && kept_codes.get() == nullptr))
        throw std::logic_error("refit_normals: only point engines built refittable can be refitted");
    if (count == 0) return;
    gyrant::ScopedDevice const on_device(device);
    // Into the frame, as the build took them: areas scale with the square, and the weight scale
    // is chosen again for these normals.
    weight = weight_for(normals, scale);
    float const area = area_factor();
    gyrant::StreamBuffer<float> scaled;
    float const* in_frame = normals;
    if (area != 1.0f) {
        scaled = gyrant::StreamBuffer<float>(3 * count, stream);
        scale_floats(normals, 3 * count, area, scaled.get(), policy);
        in_frame = scaled.get();
    }
    CUDA_CHECK(cudaEventRecord(build_start_event, stream));
#if defined(GYRANT_FLAVOUR_HOST)
    if (build_natively) {
        gyrant::cpu::refit_points(in_frame, count, native_buffers());
        CUDA_CHECK(cudaEventRecord(build_done_event, stream));
        derive_native_tree();
        return;
    }
#endif
    gather_normals_soa(in_frame, d_sorted_indices, d_primitives, static_cast<unsigned int>(count), stream);
    CUDA_CHECK(cudaStreamSynchronize(stream));  // the caller's normals are read before this returns
    gyrant::StreamBuffer<unsigned long> codes(count, stream);  // the hierarchy consumes its copy
    CUDA_CHECK(cudaMemcpyAsync(codes.get(), kept_codes.get(), count * sizeof(unsigned long),
                               cudaMemcpyDeviceToDevice, stream));
    gyrant::StreamBuffer<BinaryNode> binary_nodes = build_binary_tree_and_leaves<T>(
        codes, count, d_primitives, d_binary_aabbs, d_leaf_coefficients, policy, stream);
    build_bvh8_tree<T>(binary_nodes, count, device, d_primitives, d_binary_aabbs, d_leaf_coefficients,
                       d_bvh8_node_count, d_bvh8_nodes, d_leaf_pointers, d_bvh8_coefficients, policy, stream);
    CUDA_CHECK(cudaEventRecord(build_done_event, stream));
#if defined(GYRANT_FLAVOUR_HOST)
    derive_native_tree();
#endif
}

template <class T>
std::unique_ptr<GyrantBackend<T>> GyrantBackend<T>::CreateForSolver(float const* points,
                                                                    unsigned long num_points,
                                                                    int device) {
    gyrant::ScopedDevice const on_device(device);
    std::unique_ptr<GyrantBackend> engine(new GyrantBackend(num_points, device));
    if (num_points == 0) {
        engine->initialize_point_data(points, nullptr);
        return engine;
    }
    // The solver starts from a surface without orientation: every stored normal is zero.
    std::unique_ptr<float, SyncFree> zero_normals(
        static_cast<float*>(gyrant_cuda::cuda_allocate(3 * num_points * sizeof(float))));
    if (zero_normals == nullptr) throw std::bad_alloc();  // reported by cuda_allocate
    gyrant_cuda::thrust_fill_float(zero_normals.get(), 3 * num_points, 0.0f);
    engine->build_in_frame(points, num_points, [&](float scale) {
        if (scale == 1.0f) return engine->initialize_point_data(points, zero_normals.get());
        gyrant::StreamBuffer<float> scaled(3 * num_points, engine->stream);
        scale_floats(points, 3 * num_points, scale, scaled.get(), engine->policy);
        engine->initialize_point_data(scaled.get(), zero_normals.get());
    });
    return engine;
}

template <class T>
std::unique_ptr<GyrantBackend<T>> GyrantBackend<T>::CreateFromMesh(float const* vertices,
                                                                   unsigned long num_vertices,
                                                                   unsigned int const* triangle_indices,
                                                                   unsigned long num_triangles,
                                                                   int device, bool announce) {
    gyrant::ScopedDevice const on_device(device);
    if (announce) std::puts("CreateFromMesh!");
    // Validated before anything is allocated. A mesh without triangles names no vertex, so it
    // is valid whatever its vertex count (the empty mesh included).
    if (num_triangles > 0) {
        unsigned int const max_index =
            gyrant::device_reduce(triangle_indices, 3 * num_triangles, 0u, MaxIndex(), nullptr);
        if (max_index >= num_vertices) {
            char message[200];
            std::snprintf(message, sizeof message,
                          "The triangle indices are not allowed to exceed the number of vertices. "
                          "Vertex count is %lu, max index is %u.",
                          num_vertices, max_index);
            throw std::runtime_error(message);
        }
    }
    std::unique_ptr<GyrantBackend> engine(new GyrantBackend(num_triangles, device));
    if (num_triangles == 0) {
        engine->initialize_triangle_data(nullptr);
        engine->prepare_exact();
        return engine;
    }
    gyrant::StreamBuffer<float> soup(9 * num_triangles, engine->stream);
#if defined(GYRANT_FLAVOUR_HOST)
    if (engine->build_natively)
        gyrant::cpu::gather_mesh(vertices, triangle_indices, num_triangles, soup.get());
    else
#endif
        gather_triangles(vertices, triangle_indices, static_cast<unsigned int>(num_triangles), soup.get(),
                         engine->stream);
    // The soup is the engine's own: it is scaled in place (only the triangles' vertices count).
    float applied = 1.0f;
    engine->build_in_frame(soup.get(), 3 * num_triangles, [&](float scale) {
        if (scale != applied) scale_floats(soup.get(), 9 * num_triangles, scale / applied, soup.get(), engine->policy);
        applied = scale;
        engine->initialize_triangle_data(soup.get());
    });
    engine->prepare_exact();
    return engine;  // the soup is freed on the engine's stream, after the build's work
}

template void GyrantBackend<Triangle>::initializeMortonCodes<Triangle>(Triangle const*, unsigned long*);
template void GyrantBackend<PointNormal>::initializeMortonCodes<Vec3>(Vec3 const*, unsigned long*);
template void GyrantBackend<Triangle>::initialize_triangle_data(float const*);
template void GyrantBackend<PointNormal>::initialize_point_data(float const*, float const*);
template std::unique_ptr<GyrantBackend<Triangle>> GyrantBackend<Triangle>::CreateFromTriangles(
    float const*, unsigned long, int, bool);
template std::unique_ptr<GyrantBackend<PointNormal>> GyrantBackend<PointNormal>::CreateFromPoints(
    float const*, float const*, unsigned long, int, bool);
template void GyrantBackend<PointNormal>::refit_normals(float const*);
template std::unique_ptr<GyrantBackend<PointNormal>> GyrantBackend<PointNormal>::BuildFromPoints(
    float const*, float const*, unsigned long, int, bool);
template std::unique_ptr<GyrantBackend<PointNormal>> GyrantBackend<PointNormal>::CreateForSolver(
    float const*, unsigned long, int);
template std::unique_ptr<GyrantBackend<Triangle>> GyrantBackend<Triangle>::CreateFromMesh(
    float const*, unsigned long, unsigned int const*, unsigned long, int, bool);
template float GyrantBackend<Triangle>::weight_for(float const*, float);
template float GyrantBackend<PointNormal>::weight_for(float const*, float);
template void GyrantBackend<Triangle>::unweight(float*, unsigned long, cudaStream_t) const;
template void GyrantBackend<PointNormal>::unweight(float*, unsigned long, cudaStream_t) const;

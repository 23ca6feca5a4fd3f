// The engine object: construction, destruction, exact evaluation and the solver placeholder.
#include "platform.h"

#include "gyrant_cuda.h"
#include "kernels/brute_force.h"
#include "size_limits.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

using gyrant::max_primitives;
static_assert(gyrant::MAX_QUERIES <= 0xFFFFFFFFul - (BRUTE_FORCE_BLOCK - 1), "block counts are 32-bit");

std::string formatted(char const* format, unsigned long a, unsigned long b) {
    char text[160];
    std::snprintf(text, sizeof(text), format, a, b);
    return text;
}

// Stream-ordered allocation of a persistent buffer; reports the caller's line and throws
// std::bad_alloc when it fails (zero elements allocate nothing).
template <class E>
void allocate(E*& buffer, unsigned long elements, cudaStream_t stream,
              std::source_location where = std::source_location::current()) {
    buffer = static_cast<E*>(gyrant_cuda::cuda_allocate_async(elements * sizeof(E), stream, where));
}

template <class E>
void free_buffer(E*& buffer, cudaStream_t stream) {
    if (buffer != nullptr) CUDA_CHECK(cudaFreeAsync(buffer, stream));
    buffer = nullptr;
}

}  // namespace

template <class T>
GyrantBackend<T>::GyrantBackend(unsigned long n, int device_ordinal)
    : device(device_ordinal), policy(gyrant::make_policy(nullptr)), count(n) {
    if (n > max_primitives<T>())
        throw std::runtime_error(formatted(std::is_same_v<T, Triangle>
                                               ? "An engine holds at most %lu triangles; %lu were given."
                                               : "An engine holds at most %lu points; %lu were given.",
                                           max_primitives<T>(), n));
    CUDA_CHECK(cudaStreamCreate(&stream));
    policy = gyrant::make_policy(stream);
    CUDA_CHECK(cudaEventCreate(&build_start_event));
    CUDA_CHECK(cudaEventCreate(&build_done_event));

    // An empty surface has no hierarchy: L = 0 would wrap the sizes below around.
    if (n == 0) return;

    unsigned long const leaves = leaf_count();
    unsigned long const nodes = static_cast<uint32_t>(leaves - 1);  // L − 1, 32-bit then widened
    try {
        allocate(d_sorted_indices, n, stream);
        allocate(d_primitives, n * (sizeof(T) / sizeof(float)), stream);
        allocate(d_binary_aabbs, 2 * leaves - 1, stream);
        allocate(d_bvh8_node_count, 1, stream);
        allocate(d_bvh8_nodes, nodes, stream);
        allocate(d_bvh8_coefficients, nodes, stream);
        allocate(d_leaf_coefficients, leaves, stream);
        allocate(d_leaf_pointers, nodes, stream);
    } catch (...) {
        // The destructor does not run for a constructor that throws.
        release();
        throw;
    }
}

template <class T>
GyrantBackend<T>::~GyrantBackend() {
    release();
}

template <class T>
void GyrantBackend<T>::release() noexcept {
    CUDA_CHECK(cudaStreamSynchronize(stream));
    // Handles stay null when their creation failed; that failure was reported already.
    if (build_start_event != nullptr) CUDA_CHECK(cudaEventDestroy(build_start_event));
    if (build_done_event != nullptr) CUDA_CHECK(cudaEventDestroy(build_done_event));
    build_start_event = nullptr;
    build_done_event = nullptr;
    kept_codes.reset();  // on the stream, which must still exist
    ray_node_boxes.reset();
    ray_leaf_boxes.reset();
    boundary_chain.reset();
    boundary_clusters.reset();
    free_buffer(d_sorted_indices, stream);
    free_buffer(d_primitives, stream);
    free_buffer(d_binary_aabbs, stream);
    free_buffer(d_bvh8_node_count, stream);
    free_buffer(d_bvh8_nodes, stream);
    free_buffer(d_bvh8_coefficients, stream);
    free_buffer(d_leaf_coefficients, stream);
    free_buffer(d_leaf_pointers, stream);
    CUDA_CHECK(cudaStreamSynchronize(stream));
    if (stream != nullptr) CUDA_CHECK(cudaStreamDestroy(stream));
    stream = nullptr;
}

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::brute_force(float const* queries,
                                                                  unsigned long n_queries,
                                                                  float epsilon,
                                                                  unsigned long stream_handle) const {
    gyrant::ScopedDevice const on_engine_device(device);
    auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
    gyrant::check_query_count(n_queries, "brute_force");

    gyrant::StreamBuffer<float> out(n_queries, caller_stream);
    if (epsilon < 0.0f) epsilon = DEFAULT_EPSILON;  // NaN passes through unchanged
    // −0 means what +0 means, the unsmoothed dipole; its reciprocal −∞ would instead select
    // the small-distance constant with an infinite value.
    if (epsilon == 0.0f) epsilon = 0.0f;
    epsilon *= scale;  // a length, in the engine's frame
#if defined(GYRANT_FLAVOUR_HOST)
    if (gyrant::cpu::test_hooks().native_queries) {
        gyrant::cpu::brute_force(native_scene(), reinterpret_cast<Vec3 const*>(queries), n_queries, epsilon,
                                 out.get());
        unweight(out.get(), n_queries, caller_stream);
        return {out.release(), CudaDeleter{caller_stream}};
    }
#endif
    compute_brute_force<T>(reinterpret_cast<Vec3 const*>(queries), d_primitives,
                           static_cast<unsigned int>(n_queries), static_cast<unsigned int>(count),
                           out.get(), epsilon, caller_stream, scale);
    unweight(out.get(), n_queries, caller_stream);
    return {out.release(), CudaDeleter{caller_stream}};
}

template <class T>
void GyrantBackend<T>::solve_for_normals(float const*, unsigned long, float const*, float const*, float) {
    throw std::runtime_error("solve_for_normals not implemented yet!");
}

// Only the members defined above are instantiated here; the factories, build bodies, compute
// and dump are instantiated where they are defined.
template class GyrantBackend<Triangle>;
template class GyrantBackend<PointNormal>;

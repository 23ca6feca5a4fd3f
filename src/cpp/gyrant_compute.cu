// The query pipeline: Morton-order the queries, wait for the build, walk the hierarchy.
#include "platform.h"
#include "gyrant_cuda.h"

#include "device_algorithms.h"
#include "kernels/common.h"
#include "kernels/traversal.h"
#include "size_limits.h"

#include <thrust/sequence.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::compute(float const* queries, unsigned long n,
                                                              float beta, float epsilon,
                                                              unsigned long stream_handle) const {
    gyrant::ScopedDevice const on_engine_device(device);
    auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
    gyrant::check_query_count(n, "compute");

    if (beta < 0.0f) beta = DEFAULT_BETA;  // zero and NaN are used as given
    if (epsilon < 0.0f) epsilon = DEFAULT_EPSILON;
    // -0 means what +0 means, the unsmoothed dipole; its reciprocal -inf would instead select
    // the small-distance constant with an infinite value.
    if (epsilon == 0.0f) epsilon = 0.0f;
    epsilon *= scale;  // a length, in the engine's frame

    gyrant::StreamBuffer<float> output(n, caller_stream);
#if defined(GYRANT_FLAVOUR_HOST)
    if (gyrant::cpu::test_hooks().native_queries) {
        gyrant::cpu::compute(native_scene(), reinterpret_cast<Vec3 const*>(queries), n, beta, epsilon,
                             output.get());
        unweight(output.get(), n, caller_stream);
        return {output.release(), CudaDeleter{caller_stream}};
    }
#endif
    gyrant::StreamBuffer<uint32_t> order(n, caller_stream);
    {
        // Neighbouring queries share a warp: order them along the Morton curve of the scene.
        gyrant::StreamBuffer<uint64_t> keys(n, caller_stream);
        if (n > 0) {
            gyrant::StreamPolicy policy = gyrant::make_policy(caller_stream);
            morton_codes<Vec3>(reinterpret_cast<Vec3 const*>(queries), n, keys.get(), policy, scene_params, scale);
            thrust::sequence(policy, order.get(), order.get() + n);
            gyrant::radix_sort_pairs(keys.get(), order.get(), n, caller_stream);
        }
    }  // the keys are freed here, stream-ordered after the sort

    // The walk reads the hierarchy, which the engine's own stream may still be writing.
    if (build_done_event != nullptr) CUDA_CHECK(cudaStreamWaitEvent(caller_stream, build_done_event, 0));

    gyrant::StreamBuffer<unsigned int> work_counter(n > 0 ? 1 : 0, caller_stream);
    unsigned long const leaves = leaf_count();
    ComputeWindingNumbersParams<T> params{};
    params.queries = reinterpret_cast<Vec3 const*>(queries);
    params.query_order = order.get();
    params.nodes = d_bvh8_nodes;
    params.leaf_pointers = d_leaf_pointers;
    params.node_coefficients = d_bvh8_coefficients;
    params.leaf_coefficients = d_leaf_coefficients;
    // The binary tree stores its L - 1 internal boxes before the L leaf boxes.
    params.leaf_aabbs = d_binary_aabbs == nullptr ? nullptr : d_binary_aabbs + (leaves - 1);
    params.geometry = primitives_view();
    params.n_queries = static_cast<unsigned int>(n);
    params.n_primitives = static_cast<unsigned int>(count);
    params.output = output.get();
    params.work_counter = work_counter.get();
    params.beta = beta;
    params.epsilon = epsilon;
    params.query_scale = scale;
    compute_winding_numbers<T>(params, device, caller_stream);
    unweight(output.get(), n, caller_stream);

    // order and work_counter are freed on the caller's stream, after the walk.
    return {output.release(), CudaDeleter{caller_stream}};
}

#if defined(GYRANT_FLAVOUR_HOST)
template <class T>
gyrant::cpu::QueryScene<T> GyrantBackend<T>::native_scene() const {
    return {primitives_view(), static_cast<unsigned>(count), native_tree.get(), scale};
}
template gyrant::cpu::QueryScene<Triangle> GyrantBackend<Triangle>::native_scene() const;
template gyrant::cpu::QueryScene<PointNormal> GyrantBackend<PointNormal>::native_scene() const;
#endif

template std::unique_ptr<float, CudaDeleter> GyrantBackend<Triangle>::compute(
    float const*, unsigned long, float, float, unsigned long) const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<PointNormal>::compute(
    float const*, unsigned long, float, float, unsigned long) const;

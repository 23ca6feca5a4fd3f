// Derivatives of a point cloud's winding number: the stored normals, the field's gradient and
// the vector-Jacobian products of compute with respect to the normals and the positions.
//
// The products are hierarchical through a second engine over the queries. Natively it holds
// charges v_j (scaled normals (v_j, 0, 0)) and one walk gives all three axes (see
// cpu::product_walk); the kernels take one axis at a time: The kernel K is odd,
// so an engine over the queries q_j with scaled normals v_j e_a has the winding number
//   w_a(p) = sum_j v_j e_a . K(q_j - p) = -sum_j v_j K_a(p - q_j),
// which is minus component a of the product with the normals' Jacobian at p; and
//   -sum_a n_a grad w_a(p) = sum_j v_j J(p - q_j) n
// is the product with the positions' Jacobian (J, the Jacobian of K, is symmetric). Both are
// then compute and gradient of that engine at the engine's own points.
#include "platform.h"

#include "gyrant_cuda.h"
#include "kernels/common.h"
#include "kernels/gradients.h"

#if defined(GYRANT_FLAVOUR_HOST)
#include "cpu/gradients.h"
#endif

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace {

//! Rows of 3 floats are addressed as 3 i + a in 32 bits by the kernels.
constexpr unsigned long MAX_GRADIENT_ROWS = 0xFFFFFFFFul / 3;

[[noreturn]] void points_only(char const* what) {
    throw std::runtime_error(std::string(what) + " is only available for point clouds; this engine holds triangles.");
}

void check_rows(char const* what, unsigned long n) {
    if (n <= MAX_GRADIENT_ROWS) return;
    char text[160];
    std::snprintf(text, sizeof(text), "%s takes at most %lu query points; %lu were given.", what, MAX_GRADIENT_ROWS, n);
    throw std::runtime_error(text);
}

//! A negative epsilon selects the default; -0 is +0 (the unsmoothed dipole). In caller's units.
float resolved_epsilon(float epsilon, float default_epsilon) {
    if (epsilon < 0.0f) return default_epsilon;
    return epsilon == 0.0f ? 0.0f : epsilon;
}

//! Whether the queries run natively (host flavour) rather than as kernels.
bool native() {
#if defined(GYRANT_FLAVOUR_HOST)
    return gyrant::cpu::test_hooks().native_queries;
#else
    return false;
#endif
}

}  // namespace

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::get_normals() const {
    if constexpr (std::is_same_v<T, Triangle>) {
        throw std::runtime_error("Normals are not explicitly stored for triangle based geometry.");
    } else {
        gyrant::ScopedDevice const on_engine_device(device);
        // On the default stream, not the engine's: the copy may outlive the engine and its stream.
        cudaStream_t const copy_stream = nullptr;
        gyrant::StreamBuffer<float> out(3 * count, copy_stream);
        if (count == 0) return {out.release(), CudaDeleter{copy_stream}};
#if defined(GYRANT_FLAVOUR_HOST)
        if (native()) {
            gyrant::cpu::points_in_caller_frame(native_scene(), d_sorted_indices, area_factor(), nullptr, out.get());
            return {out.release(), CudaDeleter{copy_stream}};
        }
#endif
        if (build_done_event != nullptr) CUDA_CHECK(cudaStreamWaitEvent(copy_stream, build_done_event, 0));
        points_in_caller_frame(primitives_view(), d_sorted_indices, static_cast<unsigned>(count), scale,
                               area_factor(), nullptr, out.get(), copy_stream);
        CUDA_CHECK(cudaStreamSynchronize(copy_stream));  // ready for any stream
        return {out.release(), CudaDeleter{copy_stream}};
    }
}

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::gradient(float const* queries, unsigned long n, float beta,
                                                               float epsilon, unsigned long stream_handle) const {
    if constexpr (std::is_same_v<T, Triangle>) {
        points_only("gradient");
    } else {
        gyrant::ScopedDevice const on_engine_device(device);
        auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
        check_rows("gradient", n);
        if (beta < 0.0f) beta = DEFAULT_BETA;  // zero and NaN are used as given
        epsilon = resolved_epsilon(epsilon, DEFAULT_EPSILON) * scale;
        gyrant::StreamBuffer<float> out(3 * n, caller_stream);
#if defined(GYRANT_FLAVOUR_HOST)
        if (native()) {
            gyrant::cpu::gradient(native_scene(), reinterpret_cast<Vec3 const*>(queries), n, beta, epsilon, out.get());
            unweight(out.get(), 3 * n, caller_stream);
            return {out.release(), CudaDeleter{caller_stream}};
        }
#endif
        if (build_done_event != nullptr) CUDA_CHECK(cudaStreamWaitEvent(caller_stream, build_done_event, 0));
        unsigned long const leaves = leaf_count();
        GradientWalkParams params{};
        params.queries = reinterpret_cast<Vec3 const*>(queries);
        // At most one leaf: no hierarchy to walk, every point is summed.
        bool const walk = count > PRIMITIVES_PER_LEAF;
        params.nodes = walk ? d_bvh8_nodes : nullptr;
        params.leaf_pointers = d_leaf_pointers;
        params.node_coefficients = d_bvh8_coefficients;
        params.leaf_coefficients = d_leaf_coefficients;
        params.leaf_aabbs = walk ? d_binary_aabbs + (leaves - 1) : nullptr;
        params.geometry = primitives_view();
        params.n_queries = static_cast<unsigned>(n);
        params.n_primitives = static_cast<unsigned>(count);
        params.output = out.get();
        params.beta = beta;
        params.epsilon = epsilon;
        params.query_scale = scale;
        gradient_walk(params, caller_stream);
        unweight(out.get(), 3 * n, caller_stream);
        return {out.release(), CudaDeleter{caller_stream}};
    }
}

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::brute_force_gradient(float const* queries, unsigned long n,
                                                                           float epsilon,
                                                                           unsigned long stream_handle) const {
    if constexpr (std::is_same_v<T, Triangle>) {
        points_only("brute_force_gradient");
    } else {
        gyrant::ScopedDevice const on_engine_device(device);
        auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
        check_rows("brute_force_gradient", n);
        epsilon = resolved_epsilon(epsilon, DEFAULT_EPSILON) * scale;
        gyrant::StreamBuffer<float> out(3 * n, caller_stream);
#if defined(GYRANT_FLAVOUR_HOST)
        if (native()) {
            gyrant::cpu::brute_force_gradient(native_scene(), reinterpret_cast<Vec3 const*>(queries), n, epsilon,
                                              out.get());
            unweight(out.get(), 3 * n, caller_stream);
            return {out.release(), CudaDeleter{caller_stream}};
        }
#endif
        if (build_done_event != nullptr) CUDA_CHECK(cudaStreamWaitEvent(caller_stream, build_done_event, 0));
        gradient_brute_force(reinterpret_cast<Vec3 const*>(queries), primitives_view(), static_cast<unsigned>(n),
                             static_cast<unsigned>(count), out.get(), epsilon, scale, caller_stream);
        unweight(out.get(), 3 * n, caller_stream);
        return {out.release(), CudaDeleter{caller_stream}};
    }
}

namespace {

__global__ void __launch_bounds__(GRADIENT_BLOCK) apply_axis_term_kernel(AxisTerm t) {
    unsigned const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < t.n) apply_axis_term(t, i);
}

void apply_axis(AxisTerm const& t, cudaStream_t stream) {
    if (t.n == 0) return;
#if defined(GYRANT_FLAVOUR_HOST)
    if (native()) {
        gyrant::cpu::apply_axis(t);
        return;
    }
#endif
    unsigned const blocks = static_cast<unsigned>((uint64_t{t.n} + GRADIENT_BLOCK - 1) / GRADIENT_BLOCK);
    GYRANT_LAUNCH(apply_axis_term_kernel, blocks, GRADIENT_BLOCK, 0, stream, t);
    CUDA_CHECK(cudaGetLastError());
}

}  // namespace

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::grad_normals(float const* grad_output, unsigned long n,
                                                                   float const* queries, float beta, float epsilon,
                                                                   unsigned long stream_handle) const {
    if constexpr (std::is_same_v<T, Triangle>) {
        points_only("grad_scaled_normals");
    } else {
        return vjp(true, grad_output, n, queries, beta, epsilon, stream_handle);
    }
}

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::grad_points(float const* grad_output, unsigned long n,
                                                                  float const* queries, float beta, float epsilon,
                                                                  unsigned long stream_handle) const {
    if constexpr (std::is_same_v<T, Triangle>) {
        points_only("grad_points");
    } else {
        return vjp(false, grad_output, n, queries, beta, epsilon, stream_handle);
    }
}

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::vjp(bool normals, float const* grad_output, unsigned long n,
                                                          float const* queries, float beta, float epsilon,
                                                          unsigned long stream_handle) const {
    gyrant::ScopedDevice const on_engine_device(device);
    auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
    char const* const what = normals ? "grad_scaled_normals" : "grad_points";
    if (queries == nullptr && n != count) {
        char text[200];
        std::snprintf(text, sizeof(text),
                      "%s: without queries, grad_output must have one value per point (%lu points, %lu values).",
                      what, count, n);
        throw std::runtime_error(text);
    }
    check_rows(what, n);
    if (beta < 0.0f) beta = DEFAULT_BETA;
    epsilon = resolved_epsilon(epsilon, DEFAULT_EPSILON);  // caller's units

    gyrant::StreamBuffer<float> out(3 * count, caller_stream);
    if (count == 0) return {out.release(), CudaDeleter{caller_stream}};
    if (n == 0) {  // no query: nothing depends on the surface
        CUDA_CHECK(cudaMemsetAsync(out.get(), 0, 3 * count * sizeof(float), caller_stream));
        return {out.release(), CudaDeleter{caller_stream}};
    }
    // The engine's own points in the caller's order and units: the queries when none are given,
    // and where the engine over the queries is evaluated.
    gyrant::StreamBuffer<float> own_points(3 * count, caller_stream);
    gyrant::StreamBuffer<float> own_normals(normals ? 0 : 3 * count, caller_stream);
#if defined(GYRANT_FLAVOUR_HOST)
    if (native())
        gyrant::cpu::points_in_caller_frame(native_scene(), d_sorted_indices, area_factor(), own_points.get(),
                                            own_normals.get());
    else
#endif
    {
        if (build_done_event != nullptr) CUDA_CHECK(cudaStreamWaitEvent(caller_stream, build_done_event, 0));
        points_in_caller_frame(primitives_view(), d_sorted_indices, static_cast<unsigned>(count), scale,
                               area_factor(), own_points.get(), own_normals.get(), caller_stream);
    }
    float const* const query_points = queries != nullptr ? queries : own_points.get();

    if (std::isinf(beta)) {
        // No node can be accepted: every pair, exactly.
        float* const gn = normals ? out.get() : nullptr;
        float* const gp = normals ? nullptr : out.get();
#if defined(GYRANT_FLAVOUR_HOST)
        if (native()) {
            gyrant::cpu::vjp_brute_force(native_scene(), d_sorted_indices, reinterpret_cast<Vec3 const*>(query_points),
                                         grad_output, n, epsilon * scale, gn, gp);
            if (gp != nullptr) unweight(gp, 3 * count, caller_stream);  // it reads the stored normals
            return {out.release(), CudaDeleter{caller_stream}};
        }
#endif
        vjp_brute_force(primitives_view(), d_sorted_indices, static_cast<unsigned>(count),
                        reinterpret_cast<Vec3 const*>(query_points), grad_output, static_cast<unsigned>(n),
                        epsilon * scale, scale, gn, gp, caller_stream);
        if (gp != nullptr) unweight(gp, 3 * count, caller_stream);
        return {out.release(), CudaDeleter{caller_stream}};
    }

#if defined(GYRANT_FLAVOUR_HOST)
    // The normals' product as the transpose of compute's walk over this engine's own hierarchy.
    // The positions' product stays with the engine over the queries: its transpose (the
    // derivative of the expansions' moments) loses an order of the expansion, 14 times the error
    // at the smoothing the solver uses.
    if (native() && normals &&
        gyrant::cpu::vjp_scatter(native_scene(), d_sorted_indices, reinterpret_cast<Vec3 const*>(query_points),
                                 grad_output, n, beta, epsilon * scale, out.get()))
        return {out.release(), CudaDeleter{caller_stream}};
    if (native() && n > PRIMITIVES_PER_LEAF) {
        // One engine of charges v_j at the queries (scaled normals (v_j, 0, 0)) and one walk at
        // the own points for all three axes: its expansions hold the charges' moments.
        gyrant::StreamBuffer<float> charges(3 * n, caller_stream);
        gyrant::cpu::axis_normals(grad_output, n, 0, charges.get());
        std::unique_ptr<GyrantBackend> const over_queries = BuildFromPoints(query_points, charges.get(), n, device, true);
        if (over_queries->charge_products(own_points.get(), normals ? nullptr : own_normals.get(), count, beta,
                                          epsilon, out.get(), stream_handle))
            return {out.release(), CudaDeleter{caller_stream}};
    }
#endif
    // One engine over the queries, its normals one axis of the weights at a time: built for the
    // first axis and refitted for the others (the tree is the same; only the expansions differ).
    // Its build runs on its own stream and reads what the caller's stream wrote, and its results
    // are read there before the next refit: hence the waits.
    gyrant::StreamBuffer<float> weights(3 * n, caller_stream);
    std::unique_ptr<GyrantBackend> over_queries;
    for (unsigned axis = 0; axis < 3; ++axis) {
#if defined(GYRANT_FLAVOUR_HOST)
        if (native())
            gyrant::cpu::axis_normals(grad_output, n, axis, weights.get());
        else
#endif
            axis_normals(grad_output, static_cast<unsigned>(n), axis, weights.get(), caller_stream);
        CUDA_CHECK(cudaStreamSynchronize(caller_stream));
        if (over_queries == nullptr)
            over_queries = BuildFromPoints(query_points, weights.get(), n, device, true);
        else
            over_queries->refit_normals(weights.get());
        std::unique_ptr<float, CudaDeleter> const values =
            normals ? over_queries->compute(own_points.get(), count, beta, epsilon, stream_handle)
                    : over_queries->gradient(own_points.get(), count, beta, epsilon, stream_handle);
        apply_axis({values.get(), !normals, own_normals.get(), static_cast<unsigned>(count), axis, out.get()},
                   caller_stream);
        CUDA_CHECK(cudaStreamSynchronize(caller_stream));
    }
    return {out.release(), CudaDeleter{caller_stream}};
}

template <class T>
bool GyrantBackend<T>::charge_products(float const* targets, float const* target_normals, unsigned long n,
                                       float beta, float epsilon, float* out, unsigned long stream_handle) const {
    if constexpr (std::is_same_v<T, Triangle>) {
        points_only("charge_products");
    } else {
#if defined(GYRANT_FLAVOUR_HOST)
        if (!native() || count <= PRIMITIVES_PER_LEAF) return false;
        gyrant::ScopedDevice const on_engine_device(device);
        check_rows("charge_products", n);
        if (beta < 0.0f) beta = DEFAULT_BETA;
        epsilon = resolved_epsilon(epsilon, DEFAULT_EPSILON) * scale;
        if (n == 0) return true;
        gyrant::cpu::product_walk(native_scene(), reinterpret_cast<Vec3 const*>(targets), target_normals, n, beta,
                                  epsilon, out);
        unweight(out, 3 * n, reinterpret_cast<cudaStream_t>(stream_handle));
        return true;
#else
        (void)targets, (void)target_normals, (void)n, (void)beta, (void)epsilon, (void)out, (void)stream_handle;
        return false;
#endif
    }
}

template std::unique_ptr<float, CudaDeleter> GyrantBackend<Triangle>::get_normals() const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<PointNormal>::get_normals() const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<Triangle>::gradient(float const*, unsigned long, float,
                                                                               float, unsigned long) const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<PointNormal>::gradient(float const*, unsigned long, float,
                                                                                  float, unsigned long) const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<Triangle>::brute_force_gradient(float const*,
                                                                                           unsigned long, float,
                                                                                           unsigned long) const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<PointNormal>::brute_force_gradient(float const*,
                                                                                              unsigned long, float,
                                                                                              unsigned long) const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<Triangle>::grad_normals(float const*, unsigned long,
                                                                                   float const*, float, float,
                                                                                   unsigned long) const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<PointNormal>::grad_normals(float const*, unsigned long,
                                                                                      float const*, float, float,
                                                                                      unsigned long) const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<Triangle>::grad_points(float const*, unsigned long,
                                                                                  float const*, float, float,
                                                                                  unsigned long) const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<PointNormal>::grad_points(float const*, unsigned long,
                                                                                     float const*, float, float,
                                                                                     unsigned long) const;
template bool GyrantBackend<Triangle>::charge_products(float const*, float const*, unsigned long, float, float, float*,
                                                       unsigned long) const;
template bool GyrantBackend<PointNormal>::charge_products(float const*, float const*, unsigned long, float, float,
                                                          float*, unsigned long) const;

// Closest points and signed distances: the nearest walk, and the winding number for the sign,
// certified by the exact sum where the hierarchical value is too close to 0.5 to trust.
#include "platform.h"
#include "gyrant_cuda.h"

#include "device_algorithms.h"
#include "kernels/common.h"
#include "kernels/nearest.h"
#include "size_limits.h"

#include <thrust/copy.h>
#include <thrust/for_each.h>
#include <thrust/iterator/counting_iterator.h>
#include <thrust/scan.h>
#include <thrust/transform.h>
#include <thrust/sequence.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace {

//! The far-field error of the default walk stays below 0.012 on the reference surfaces (see
//! src/cpp/cpu/README.md); a sign is trusted only four times further from 0.5 than that. At other
//! betas the margin scales as beta^-3; the errors measured on CGAL's meshes fall faster (about
//! beta^-4.5: 0.02 at 1.5, where the margin is 0.18).
constexpr float SIGN_MARGIN_AT_DEFAULT_BETA = 0.05f;
//! The sign's passes: a cheap one for every query, a tight one for those it leaves in doubt, then
//! the exact sum for those still in doubt (on CGAL's open meshes, a few percent of a grid reach
//! the second pass and a few per mille the exact sum).
constexpr float SIGN_FIRST_BETA = 1.5f;
constexpr float SIGN_TIGHT_BETA_FACTOR = 2.0f;  // times the default beta

void check_max_distance(float max_distance) {
    if (!(max_distance >= 0.0f))
        throw std::invalid_argument("max_distance must be zero or positive (inf for no limit).");
}

//! Stencil tests of the sign's pipeline (functors: the cuda flavour runs them on the device).
struct FiniteAt {
    float const* values;
    GYRANT_HOST_DEVICE bool operator()(uint32_t i) const { return fabsf(values[i]) <= 3.40282347e38f; }
};
struct InDoubtAt {
    float const* w;
    SignMode mode;
    float margin;
    GYRANT_HOST_DEVICE bool operator()(uint32_t j) const { return sign_in_doubt(w[j], mode, margin); }
};
//! rows[j] = queries[index[j]] (3 floats).
struct GatherRow {
    float const* queries;
    uint32_t const* index;
    float* rows;
    GYRANT_HOST_DEVICE void operator()(uint32_t j) const {
        uint64_t const i = index[j], k = j;  // 3 i passes 32 bits beyond 1.4G queries
        rows[3 * k + 0] = queries[3 * i + 0];
        rows[3 * k + 1] = queries[3 * i + 1];
        rows[3 * k + 2] = queries[3 * i + 2];
    }
};
//! out[j] = outer[inner[j]].
struct ComposeIndex {
    uint32_t const* outer;
    uint32_t const* inner;
    uint32_t* out;
    GYRANT_HOST_DEVICE void operator()(uint32_t j) const { out[j] = outer[inner[j]]; }
};
//! w[index[j]] = exact[j].
struct ScatterValue {
    float const* exact;
    uint32_t const* index;
    float* w;
    GYRANT_HOST_DEVICE void operator()(uint32_t j) const { w[index[j]] = exact[j]; }
};
//! distance[i] signed by w[j], i = index[j] (index null: i = j).
struct ApplySign {
    float const* w;
    uint32_t const* index;
    float* distance;
    SignMode mode;
    GYRANT_HOST_DEVICE void operator()(uint32_t j) const {
        uint32_t const i = index != nullptr ? index[j] : j;
        distance[i] = signed_by_winding(distance[i], w[j], mode);
    }
};

//! Whether the j-th query of a chain (caller's indices, in Morton order) must have its own winding
//! number: the first one, and any whose segment to its predecessor may meet the surface. On a
//! closed surface w is an integer, constant on every path that stays off the surface; the segment
//! to the predecessor does when it is shorter than either end's distance (the open ball of that
//! radius holds no surface point), kept below it by more than the distances' float rounding.
struct StartsRun {
    float const* queries;
    float const* distance;
    uint32_t const* chain;
    GYRANT_HOST_DEVICE bool operator()(uint32_t j) const {
        if (j == 0) return true;
        uint64_t const i = chain[j], p = chain[j - 1];
        double const dx = double{queries[3 * i + 0]} - queries[3 * p + 0];
        double const dy = double{queries[3 * i + 1]} - queries[3 * p + 1];
        double const dz = double{queries[3 * i + 2]} - queries[3 * p + 2];
        double const reach = fmax(double{distance[i]}, double{distance[p]});  // NaN rows: the other, or NaN
        double const size = fmax(fmax(fabs(double{queries[3 * i + 0]}), fabs(double{queries[3 * i + 1]})),
                                 fabs(double{queries[3 * i + 2]})) + reach;
        // 1e-5: about 80 float steps of the coordinates, far above the distance's rounding.
        double const slack = 1e-5 * size;
        return !(sqrt(dx * dx + dy * dy + dz * dz) + slack < reach);  // NaN: a run of its own
    }
};
//! flag[j] = StartsRun(j) as 0 or 1.
struct RunFlag {
    StartsRun starts;
    GYRANT_HOST_DEVICE uint32_t operator()(uint32_t j) const { return starts(j) ? 1u : 0u; }
};
//! distance[chain[j]] signed by the w of its run (run[j] counts the runs started up to j).
struct ApplyRunSign {
    float const* w;
    uint32_t const* run;
    uint32_t const* chain;
    float* distance;
    SignMode mode;
    GYRANT_HOST_DEVICE void operator()(uint32_t j) const {
        uint32_t const i = chain[j];
        distance[i] = signed_by_winding(distance[i], w[run[j] - 1], mode);
    }
};

}  // namespace

template <class T>
float GyrantBackend<T>::sign_margin(float beta) {
    if (beta < 0.0f) beta = DEFAULT_BETA;
    if (!(beta > 0.0f)) return INFINITY;  // beta 0 accepts every node: nothing is certain
    float const ratio = DEFAULT_BETA / beta;
    return SIGN_MARGIN_AT_DEFAULT_BETA * ratio * ratio * ratio;
}

template <class T>
void GyrantBackend<T>::nearest_into(float const* queries, unsigned long n, float max_distance, float* distance,
                                    float* points, int64_t* index, cudaStream_t caller_stream,
                                    uint32_t* order_out) const {
    if (n == 0) return;
    float const limit = max_distance * scale;  // into the engine's frame (inf stays inf)
    float const max_distance2 = limit * limit;
#if defined(GYRANT_FLAVOUR_HOST)
    if (gyrant::cpu::test_hooks().native_queries) {
        gyrant::cpu::QueryScene<T> const scene = native_scene();
        if (scene.tree != nullptr)
            std::call_once(nearest_boxes_made, [&] {
                nearest_boxes = std::make_unique<gyrant::cpu::NearestTree>(gyrant::cpu::make_nearest_tree(scene));
            });
        gyrant::cpu::nearest(scene, nearest_boxes.get(), d_sorted_indices, reinterpret_cast<Vec3 const*>(queries), n,
                             max_distance2, {distance, points, index}, order_out);
        return;
    }
#endif
    gyrant::StreamBuffer<uint32_t> own_order;
    uint32_t* order = order_out;
    if (order == nullptr) {
        own_order = gyrant::StreamBuffer<uint32_t>(n, caller_stream);
        order = own_order.get();
    }
    {
        // Neighbouring queries share a warp: order them along the Morton curve of the scene.
        gyrant::StreamBuffer<uint64_t> keys(n, caller_stream);
        gyrant::StreamPolicy policy = gyrant::make_policy(caller_stream);
        morton_codes<Vec3>(reinterpret_cast<Vec3 const*>(queries), n, keys.get(), policy, scene_params, scale);
        thrust::sequence(policy, order, order + n);
        gyrant::radix_sort_pairs(keys.get(), order, n, caller_stream);
    }
    // The walk reads the hierarchy, which the engine's own stream may still be writing.
    if (build_done_event != nullptr) CUDA_CHECK(cudaStreamWaitEvent(caller_stream, build_done_event, 0));
    NearestParams<T> params{};
    params.queries = reinterpret_cast<Vec3 const*>(queries);
    params.query_order = order;
    params.nodes = d_bvh8_nodes;
    params.leaf_pointers = d_leaf_pointers;
    // The binary tree stores its L - 1 internal boxes before the L leaf boxes.
    params.leaf_aabbs = d_binary_aabbs == nullptr ? nullptr : d_binary_aabbs + (leaf_count() - 1);
    params.geometry = primitives_view();
    params.sorted_indices = d_sorted_indices;
    params.n_queries = static_cast<unsigned int>(n);
    params.n_primitives = static_cast<unsigned int>(count);
    params.max_distance2 = max_distance2;
    params.query_scale = scale;
    params.distance = distance;
    params.points = points;
    params.index = index;
    nearest_primitives<T>(params, caller_stream);
}

template <class T>
typename GyrantBackend<T>::NearestResult GyrantBackend<T>::closest_point(float const* queries, unsigned long n,
                                                                         float max_distance,
                                                                         unsigned long stream_handle) const {
    gyrant::ScopedDevice const on_engine_device(device);
    auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
    gyrant::check_query_count(n, "closest_point");
    check_max_distance(max_distance);
    gyrant::StreamBuffer<float> distance(n, caller_stream), points(3 * n, caller_stream);
    gyrant::StreamBuffer<int64_t> index(n, caller_stream);
    nearest_into(queries, n, max_distance, distance.get(), points.get(), index.get(), caller_stream);
    return {{distance.release(), CudaDeleter{caller_stream}},
            {points.release(), CudaDeleter{caller_stream}},
            {index.release(), CudaDeleter{caller_stream}}};
}

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::signed_distance(float const* queries, unsigned long n,
                                                                      float beta, float epsilon, int sign_mode,
                                                                      float max_distance,
                                                                      unsigned long stream_handle) const {
    gyrant::ScopedDevice const on_engine_device(device);
    auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
    gyrant::check_query_count(n, "signed_distance");
    if (sign_mode < 0 || sign_mode > static_cast<int>(SignMode::None))
        throw std::invalid_argument("sign must be 'winding', 'abs_winding' or 'none'.");
    check_max_distance(max_distance);
    SignMode const mode = static_cast<SignMode>(sign_mode);

    gyrant::StreamBuffer<float> distance(n, caller_stream);
    // A closed surface whose exact method counts crossings has an integer w, the same along the
    // Morton order wherever consecutive queries see each other without crossing the surface.
    bool const runs = mode != SignMode::None && exact_uses_crossings() && boundary_edge_count() == 0;
    gyrant::StreamBuffer<uint32_t> order(runs ? n : 0, caller_stream);
    nearest_into(queries, n, max_distance, distance.get(), nullptr, nullptr, caller_stream,
                 runs ? order.get() : nullptr);
    if (mode == SignMode::None || n == 0) return {distance.release(), CudaDeleter{caller_stream}};

    gyrant::StreamPolicy policy = gyrant::make_policy(caller_stream);
    auto const counting = thrust::counting_iterator<uint32_t>(0);
    if (runs) {
        sign_by_runs(queries, n, order.get(), std::isfinite(max_distance), distance.get(), sign_mode, stream_handle);
        return {distance.release(), CudaDeleter{caller_stream}};
    }
    // A narrow band takes the sign only inside it: that is what makes it cheap.
    gyrant::StreamBuffer<uint32_t> band;
    gyrant::StreamBuffer<float> band_queries;
    unsigned long m = n;
    float const* signed_queries = queries;
    if (std::isfinite(max_distance)) {
        band = gyrant::StreamBuffer<uint32_t>(n, caller_stream);
        m = static_cast<unsigned long>(thrust::copy_if(policy, counting, counting + n, band.get(),
                                                       FiniteAt{distance.get()}) - band.get());
        band_queries = gyrant::StreamBuffer<float>(3 * m, caller_stream);
        thrust::for_each(policy, counting, counting + m, GatherRow{queries, band.get(), band_queries.get()});
        signed_queries = band_queries.get();
    }
    if (m == 0) return {distance.release(), CudaDeleter{caller_stream}};

    // The first pass: every query. Where the exact method counts crossings (a triangle surface
    // with a short boundary), it gives the exact winding number at once, for less than the
    // hierarchy costs, and leaves no sign in doubt.
    bool const crossings = exact_uses_crossings();
    float const first_beta = beta < 0.0f ? SIGN_FIRST_BETA : beta;
    std::unique_ptr<float, CudaDeleter> w = crossings ? compute_exact(signed_queries, m, stream_handle)
                                                      : compute(signed_queries, m, first_beta, epsilon, stream_handle);
    gyrant::StreamBuffer<uint32_t> doubt(m, caller_stream);
    unsigned long k = crossings ? 0ul
                                : static_cast<unsigned long>(
                                      thrust::copy_if(policy, counting, counting + m, doubt.get(),
                                                      InDoubtAt{w.get(), mode, sign_margin(first_beta)}) -
                                      doubt.get());
    // The tight pass: the queries in doubt, at twice the default beta.
    float const tight_beta = SIGN_TIGHT_BETA_FACTOR * DEFAULT_BETA;
    if (k > 0 && first_beta < tight_beta) {
        gyrant::StreamBuffer<float> rows(3 * k, caller_stream);
        thrust::for_each(policy, counting, counting + k, GatherRow{signed_queries, doubt.get(), rows.get()});
        std::unique_ptr<float, CudaDeleter> tight = compute(rows.get(), k, tight_beta, epsilon, stream_handle);
        thrust::for_each(policy, counting, counting + k, ScatterValue{tight.get(), doubt.get(), w.get()});
        tightened_signs.fetch_add(k, std::memory_order_relaxed);
        gyrant::StreamBuffer<uint32_t> still(k, caller_stream);
        unsigned long const left = static_cast<unsigned long>(
            thrust::copy_if(policy, counting, counting + k, still.get(),
                            InDoubtAt{tight.get(), mode, sign_margin(tight_beta)}) - still.get());
        gyrant::StreamBuffer<uint32_t> remaining(left, caller_stream);
        thrust::for_each(policy, counting, counting + left, ComposeIndex{doubt.get(), still.get(), remaining.get()});
        doubt = std::move(remaining);
        k = left;
    }
    // The exact sum decides the rest.
    if (k > 0) {
        gyrant::StreamBuffer<float> rows(3 * k, caller_stream);
        thrust::for_each(policy, counting, counting + k, GatherRow{signed_queries, doubt.get(), rows.get()});
        std::unique_ptr<float, CudaDeleter> exact = brute_force(rows.get(), k, epsilon, stream_handle);
        thrust::for_each(policy, counting, counting + k, ScatterValue{exact.get(), doubt.get(), w.get()});
        reevaluated_signs.fetch_add(k, std::memory_order_relaxed);
    }
    thrust::for_each(policy, counting, counting + m,
                     ApplySign{w.get(), band.get(), distance.get(), mode});
    return {distance.release(), CudaDeleter{caller_stream}};
}

template <class T>
void GyrantBackend<T>::sign_by_runs(float const* queries, unsigned long n, uint32_t const* order, bool band,
                                    float* distance, int sign_mode, unsigned long stream_handle) const {
    SignMode const mode = static_cast<SignMode>(sign_mode);
    auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
    gyrant::StreamPolicy policy = gyrant::make_policy(caller_stream);
    auto const counting = thrust::counting_iterator<uint32_t>(0);
    // The chain: the queries to sign, in Morton order (a band signs only its finite distances).
    unsigned long m = n;
    uint32_t const* chain = order;
    gyrant::StreamBuffer<uint32_t> banded;
    if (band) {
        banded = gyrant::StreamBuffer<uint32_t>(n, caller_stream);
        m = static_cast<unsigned long>(thrust::copy_if(policy, order, order + n, banded.get(), FiniteAt{distance}) -
                                       banded.get());
        chain = banded.get();
    }
    if (m == 0) return;
    StartsRun const starts{queries, distance, chain};
    gyrant::StreamBuffer<uint32_t> heads(m, caller_stream);
    unsigned long const k = static_cast<unsigned long>(
        thrust::copy_if(policy, counting, counting + m, heads.get(), starts) - heads.get());
    // The exact winding number at the head of each run.
    gyrant::StreamBuffer<uint32_t> head_index(k, caller_stream);
    thrust::for_each(policy, counting, counting + k, ComposeIndex{chain, heads.get(), head_index.get()});
    gyrant::StreamBuffer<float> rows(3 * k, caller_stream);
    thrust::for_each(policy, counting, counting + k, GatherRow{queries, head_index.get(), rows.get()});
    std::unique_ptr<float, CudaDeleter> const w = compute_exact(rows.get(), k, stream_handle);
    // run[j]: the runs started up to j, so run[j] - 1 is j's head.
    gyrant::StreamBuffer<uint32_t> run(m, caller_stream);
    thrust::transform(policy, counting, counting + m, run.get(), RunFlag{starts});
    thrust::inclusive_scan(policy, run.get(), run.get() + m, run.get());
    thrust::for_each(policy, counting, counting + m, ApplyRunSign{w.get(), run.get(), chain, distance, mode});
    exact_signs.fetch_add(k, std::memory_order_relaxed);
}

template typename GyrantBackend<Triangle>::NearestResult GyrantBackend<Triangle>::closest_point(
    float const*, unsigned long, float, unsigned long) const;
template typename GyrantBackend<PointNormal>::NearestResult GyrantBackend<PointNormal>::closest_point(
    float const*, unsigned long, float, unsigned long) const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<Triangle>::signed_distance(
    float const*, unsigned long, float, float, int, float, unsigned long) const;
template std::unique_ptr<float, CudaDeleter> GyrantBackend<PointNormal>::signed_distance(
    float const*, unsigned long, float, float, int, float, unsigned long) const;
template float GyrantBackend<Triangle>::sign_margin(float);
template float GyrantBackend<PointNormal>::sign_margin(float);

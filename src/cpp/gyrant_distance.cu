// Closest points and signed distances: the nearest walk, and the winding number for the sign,
// certified by the exact sum where the hierarchical value is too close to 0.5 to trust.
#include "platform.h"
#include "gyrant_cuda.h"

#include "device_algorithms.h"
#include "kernels/common.h"
#include "kernels/nearest.h"
#include "size_limits.h"

#include <thrust/copy.h>
#include <thrust/fill.h>
#include <thrust/iterator/transform_iterator.h>
#include <thrust/for_each.h>
#include <thrust/iterator/counting_iterator.h>
#include <thrust/scan.h>
#include <thrust/functional.h>
#include <thrust/transform.h>
#include <thrust/transform_reduce.h>
#include <thrust/sequence.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

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
//! How far the crossings' w may be from the exact one: the boundary term sums at most
//! EXACT_BOUNDARY_LIMIT float terms of at most 1/2, each off by a few ulps.
constexpr float CROSSINGS_SIGN_ERROR = 1e-3f;
//! How far brute_force's compensated sum may be from the exact w.
constexpr float BRUTE_SIGN_ERROR = 1e-4f;
//! On an open surface a run gets a new head wherever the bound on w's change from its head grows by
//! this much: a head with w near 0 or 1 then shares its sign with the whole of its run, one near 0.5
//! loses only a short stretch to queries that take their own w.
constexpr double SIGN_RUN_BUDGET = 0.25;
//! Consecutive queries of the chain that share one far-field bound (one box).
constexpr uint32_t SIGN_BLOCK = 64;
//! One block in this many estimates whether sharing pays before the whole chain is bounded.
constexpr uint32_t SIGN_SAMPLE_STRIDE = 16;
//! Boundary edges per cluster of the far-field bound (consecutive along the Morton curve).
constexpr size_t CLUSTER_EDGES = 4;
//! Floats per loop record: centre, radius, length, closed (0 or 1), first piece, piece count.
constexpr unsigned long LOOP_FLOATS = 8;
constexpr double INV_4PI = 0.079577471545947667884;

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
//! to the predecessor does when it is shorter than the sum of the ends' distances (the two open
//! balls of those radii hold no surface point and together cover it), kept below that by more
//! than the distances' float rounding.
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
        double const reach = double{distance[i]} + double{distance[p]};  // NaN rows: NaN
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

//! error[index[j]] = value.
struct ScatterConstant {
    uint32_t const* index;
    float value;
    float* error;
    GYRANT_HOST_DEVICE void operator()(uint32_t j) const { error[index[j]] = value; }
};

//! The a-th coordinate of v.
inline float coord(Vec3 const& v, int a) { return a == 0 ? v.x : a == 1 ? v.y : v.z; }

// The sign along runs of an open surface. Off the surface w is harmonic and its gradient is the
// Biot-Savart field of the boundary chain C: |grad w(x)| <= (1/4pi) sum over C of |dl| / |y - x|^2.
// A cluster of boundary edges whose ball stays clear of a box by D adds at most length / (4pi D^2)
// anywhere in the box; the others are no nearer to x than the surface is, which along a step p -> q
// whose segment stays in the surface-free ball of radius R (at the farther end) is at least R - t.

//! How far the ball (centre, radius: 4 floats) stays clear of the box [lo, hi]; negative or NaN where not.
GYRANT_HOST_DEVICE inline double clearance(double const lo[3], double const hi[3], float const* ball) {
    double d2 = 0.0;
    for (int a = 0; a < 3; ++a) {
        double const o = fmax(fmax(lo[a] - ball[a], ball[a] - hi[a]), 0.0);
        d2 += o * o;
    }
    return sqrt(d2) - ball[3];
}

//! Per block of SIGN_BLOCK chain queries (with the one before, whose step enters the block): far[b],
//! the bound on |grad w| over the block's box from the clusters clear of it, and near[b], the length
//! of the others.
struct BlockField {
    float const* queries;
    uint32_t const* chain;
    unsigned long m;
    float const* clusters;  // the pieces, then the loops (see prepare_sign_bound)
    unsigned long n_clusters;
    unsigned long n_loops;
    double* far;
    double* near;
    GYRANT_HOST_DEVICE void operator()(uint32_t b) const { field(b, far[b], near[b]); }
    GYRANT_HOST_DEVICE void field(uint32_t b, double& far_b, double& near_b) const {
        uint64_t const first = uint64_t{b} * SIGN_BLOCK;
        uint64_t const end = first + SIGN_BLOCK < m ? first + SIGN_BLOCK : m;
        double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (uint64_t j = first > 0 ? first - 1 : 0; j < end; ++j) {
            uint64_t const i = chain[j];
            for (int a = 0; a < 3; ++a) {  // fmin/fmax skip NaN rows: their steps start runs anyway
                lo[a] = fmin(lo[a], double{queries[3 * i + a]});
                hi[a] = fmax(hi[a], double{queries[3 * i + a]});
            }
        }
        double f = 0.0, l = 0.0;
        for (unsigned long loop = 0; loop < n_loops; ++loop) {
            float const* c = clusters + 5 * n_clusters + LOOP_FLOATS * loop;
            // A closed loop's field is that of its edges less the same current at its centre
            // (the edges' sum is zero), at most 2 length radius / D^3 where its ball is clear by D;
            // beyond 2 radii that beats length / D^2, and its pieces are not worth their time.
            double const d = clearance(lo, hi, c);
            double const dipole = 2.0 * double{c[4]} * c[3] / (d * d * d);
            if (c[5] != 0.0f && d > 2.0 * c[3]) {
                f += dipole;
                continue;
            }
            // Its pieces: length / D^2 each where clear of the box, else counted as near.
            double piece_far = 0.0, piece_near = 0.0;
            uint32_t const first = static_cast<uint32_t>(c[6]), end = first + static_cast<uint32_t>(c[7]);
            for (uint32_t k = first; k < end; ++k) {
                double const d = clearance(lo, hi, clusters + 5 * k);
                if (d > 0.0) piece_far += double{clusters[5 * k + 4]} / (d * d);
                else piece_near += clusters[5 * k + 4];  // also NaN
            }
            if (c[5] != 0.0f && d > 0.0 && piece_near == 0.0) {
                f += fmin(piece_far, dipole);
            } else {
                f += piece_far;
                l += piece_near;
            }
        }
        far_b = f * INV_4PI * (1.0 + 1e-9);
        near_b = l;
    }
};
//! The bound on |w(q_j) - w(q_{j-1})| along the chain's step into j, or -1 where j starts a run:
//! the first query, a step whose segment may meet the surface (the closed surfaces' test, with the
//! same slack), or a step whose bound alone reaches the run budget.
struct StepBound {
    float const* queries;
    float const* distance;
    uint32_t const* chain;
    double const* far;
    double const* near;
    double length;  // the boundary's total length
    GYRANT_HOST_DEVICE double operator()(uint32_t j) const { return at(j, far[j / SIGN_BLOCK], near[j / SIGN_BLOCK]); }
    GYRANT_HOST_DEVICE double at(uint32_t j, double far_b, double near_b) const {
        if (j == 0) return -1.0;
        uint64_t const i = chain[j], p = chain[j - 1];
        double const dx = double{queries[3 * i + 0]} - queries[3 * p + 0];
        double const dy = double{queries[3 * i + 1]} - queries[3 * p + 1];
        double const dz = double{queries[3 * i + 2]} - queries[3 * p + 2];
        double const reach = fmax(double{distance[i]}, double{distance[p]});
        double const size = fmax(fmax(fabs(double{queries[3 * i + 0]}), fabs(double{queries[3 * i + 1]})),
                                 fabs(double{queries[3 * i + 2]})) + reach;
        double const s = sqrt(dx * dx + dy * dy + dz * dz);
        double const lower = reach - 1e-5 * size;  // below the surface's distance at the farther end
        if (!(s < lower)) return -1.0;            // NaN: a run of its own
        // integral over [0, s] of dt / (4pi (lower - t)^2)
        double const near_step = s * INV_4PI / (lower * (lower - s));
        double const bound = fmin(far_b * s + near_b * near_step, length * near_step) * (1.0 + 1e-9);
        return bound < SIGN_RUN_BUDGET ? bound : -1.0;
    }
};
//! About how many heads the blocks SIGN_SAMPLE_STRIDE apart would have: their runs' starts and
//! the budgets their steps' bounds use up.
struct SampledHeads {
    BlockField block;
    StepBound step;
    GYRANT_HOST_DEVICE double operator()(uint32_t sample) const {
        uint32_t const b = sample * SIGN_SAMPLE_STRIDE;
        double far_b = 0.0, near_b = 0.0;
        block.field(b, far_b, near_b);
        uint64_t const first = uint64_t{b} * SIGN_BLOCK;
        uint64_t const end = first + SIGN_BLOCK < block.m ? first + SIGN_BLOCK : block.m;
        double heads = 0.0;
        for (uint64_t j = first; j < end; ++j) {
            double const x = step.at(static_cast<uint32_t>(j), far_b, near_b);
            heads += x < 0.0 ? 1.0 : x / SIGN_RUN_BUDGET;
        }
        return heads;
    }
};
struct RunStartAt {
    double const* step;
    GYRANT_HOST_DEVICE uint32_t operator()(uint32_t j) const { return step[j] < 0.0 ? 1u : 0u; }
};
struct NonNegative {
    GYRANT_HOST_DEVICE double operator()(double x) const { return x > 0.0 ? x : 0.0; }
};
//! Whether j heads a stretch: a run's start, or where the bound accumulated from the run's start
//! passes another multiple of the budget.
struct HeadAt {
    double const* step;
    double const* total;
    GYRANT_HOST_DEVICE bool operator()(uint32_t j) const {
        return step[j] < 0.0 || floor(total[j] / SIGN_RUN_BUDGET) != floor(total[j - 1] / SIGN_RUN_BUDGET);
    }
};
struct HeadFlag {
    HeadAt head;
    GYRANT_HOST_DEVICE uint32_t operator()(uint32_t j) const { return head(j) ? 1u : 0u; }
};
//! Signs chain query j by its head's w where the head's w, less its error and the bound accumulated
//! from the head, stays on its side of 0.5; refused[j] = 1 where it does not.
struct ShareSign {
    float const* w;
    float const* error;
    uint32_t const* stretch;  // 1-based index of j's head
    uint32_t const* heads;    // chain positions of the heads
    double const* total;
    uint32_t const* chain;
    float* distance;
    uint32_t* refused;
    SignMode mode;
    GYRANT_HOST_DEVICE void operator()(uint32_t j) const {
        uint32_t const h = stretch[j] - 1, at = heads[h];
        uint32_t const i = chain[j];
        double const clear = fabs(double{sign_statistic(w[h], mode)} - 0.5) - error[h];
        double const drift = (total[j] - total[at]) * (1.0 + 1e-9);
        if (at == j || clear > drift) {
            distance[i] = signed_by_winding(distance[i], w[h], mode);
            refused[j] = 0u;
        } else {
            refused[j] = 1u;
        }
    }
};
struct NonZeroAt {
    uint32_t const* flags;
    GYRANT_HOST_DEVICE bool operator()(uint32_t j) const { return flags[j] != 0u; }
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
    // Morton order wherever consecutive queries see each other without crossing the surface. On an
    // open triangle surface w changes there by no more than its boundary allows.
    bool const signed_mode = mode != SignMode::None;
    bool const runs = signed_mode && exact_uses_crossings() && boundary_edge_count() == 0;
    bool const bounded_runs = signed_mode && !runs && boundary_length >= 0.0f;
    gyrant::StreamBuffer<uint32_t> order(runs || bounded_runs ? n : 0, caller_stream);
    nearest_into(queries, n, max_distance, distance.get(), nullptr, nullptr, caller_stream,
                 runs || bounded_runs ? order.get() : nullptr);
    if (mode == SignMode::None || n == 0) return {distance.release(), CudaDeleter{caller_stream}};

    gyrant::StreamPolicy policy = gyrant::make_policy(caller_stream);
    auto const counting = thrust::counting_iterator<uint32_t>(0);
    if (runs) {
        sign_by_runs(queries, n, order.get(), std::isfinite(max_distance), distance.get(), sign_mode, stream_handle);
        return {distance.release(), CudaDeleter{caller_stream}};
    }
    float const first_beta = beta < 0.0f ? SIGN_FIRST_BETA : beta;
    if (bounded_runs) {
        sign_by_bounded_runs(queries, n, order.get(), std::isfinite(max_distance), distance.get(), first_beta,
                             epsilon, sign_mode, stream_handle);
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
    std::unique_ptr<float, CudaDeleter> const w =
        winding_for_sign(signed_queries, m, first_beta, epsilon, sign_mode, nullptr, stream_handle);
    thrust::for_each(policy, counting, counting + m, ApplySign{w.get(), band.get(), distance.get(), mode});
    return {distance.release(), CudaDeleter{caller_stream}};
}

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::winding_for_sign(float const* rows, unsigned long k,
                                                                       float first_beta, float epsilon,
                                                                       int sign_mode, float* error,
                                                                       unsigned long stream_handle) const {
    SignMode const mode = static_cast<SignMode>(sign_mode);
    auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
    gyrant::StreamPolicy policy = gyrant::make_policy(caller_stream);
    auto const counting = thrust::counting_iterator<uint32_t>(0);
    // Where the exact method counts crossings (a triangle surface with a short boundary), it gives
    // the exact winding number at once, for less than the hierarchy costs, and leaves no sign in doubt.
    if (exact_uses_crossings()) {
        std::unique_ptr<float, CudaDeleter> w = compute_exact(rows, k, stream_handle);
        if (error != nullptr) thrust::fill(policy, error, error + k, CROSSINGS_SIGN_ERROR);
        return w;
    }
    // The first pass: every row.
    std::unique_ptr<float, CudaDeleter> w = compute(rows, k, first_beta, epsilon, stream_handle);
    if (error != nullptr) thrust::fill(policy, error, error + k, sign_margin(first_beta));
    gyrant::StreamBuffer<uint32_t> doubt(k, caller_stream);
    unsigned long left = static_cast<unsigned long>(
        thrust::copy_if(policy, counting, counting + k, doubt.get(),
                        InDoubtAt{w.get(), mode, sign_margin(first_beta)}) - doubt.get());
    // The tight pass: the rows in doubt, at twice the default beta.
    float const tight_beta = SIGN_TIGHT_BETA_FACTOR * DEFAULT_BETA;
    if (left > 0 && first_beta < tight_beta) {
        gyrant::StreamBuffer<float> doubt_rows(3 * left, caller_stream);
        thrust::for_each(policy, counting, counting + left, GatherRow{rows, doubt.get(), doubt_rows.get()});
        std::unique_ptr<float, CudaDeleter> tight = compute(doubt_rows.get(), left, tight_beta, epsilon, stream_handle);
        thrust::for_each(policy, counting, counting + left, ScatterValue{tight.get(), doubt.get(), w.get()});
        if (error != nullptr)
            thrust::for_each(policy, counting, counting + left,
                             ScatterConstant{doubt.get(), sign_margin(tight_beta), error});
        tightened_signs.fetch_add(left, std::memory_order_relaxed);
        gyrant::StreamBuffer<uint32_t> still(left, caller_stream);
        unsigned long const after = static_cast<unsigned long>(
            thrust::copy_if(policy, counting, counting + left, still.get(),
                            InDoubtAt{tight.get(), mode, sign_margin(tight_beta)}) - still.get());
        gyrant::StreamBuffer<uint32_t> remaining(after, caller_stream);
        thrust::for_each(policy, counting, counting + after, ComposeIndex{doubt.get(), still.get(), remaining.get()});
        doubt = std::move(remaining);
        left = after;
    }
    // The exact sum decides the rest.
    if (left > 0) {
        gyrant::StreamBuffer<float> doubt_rows(3 * left, caller_stream);
        thrust::for_each(policy, counting, counting + left, GatherRow{rows, doubt.get(), doubt_rows.get()});
        std::unique_ptr<float, CudaDeleter> exact = brute_force(doubt_rows.get(), left, epsilon, stream_handle);
        thrust::for_each(policy, counting, counting + left, ScatterValue{exact.get(), doubt.get(), w.get()});
        if (error != nullptr)
            thrust::for_each(policy, counting, counting + left, ScatterConstant{doubt.get(), BRUTE_SIGN_ERROR, error});
        reevaluated_signs.fetch_add(left, std::memory_order_relaxed);
    }
    return w;
}

namespace {
//! A band signs only its finite distances: the Morton order's queries that have one, into banded;
//! returns their count.
unsigned long banded_chain(uint32_t const* order, unsigned long n, float const* distance,
                           gyrant::StreamPolicy& policy, cudaStream_t stream, gyrant::StreamBuffer<uint32_t>& banded) {
    banded = gyrant::StreamBuffer<uint32_t>(n, stream);
    return static_cast<unsigned long>(thrust::copy_if(policy, order, order + n, banded.get(), FiniteAt{distance}) -
                                      banded.get());
}
}  // namespace

template <class T>
void GyrantBackend<T>::sign_by_bounded_runs(float const* queries, unsigned long n, uint32_t const* order, bool band,
                                            float* distance, float first_beta, float epsilon, int sign_mode,
                                            unsigned long stream_handle) const {
    SignMode const mode = static_cast<SignMode>(sign_mode);
    auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
    gyrant::StreamPolicy policy = gyrant::make_policy(caller_stream);
    auto const counting = thrust::counting_iterator<uint32_t>(0);
    gyrant::StreamBuffer<uint32_t> banded;
    unsigned long const m = band ? banded_chain(order, n, distance, policy, caller_stream, banded) : n;
    uint32_t const* const chain = band ? banded.get() : order;
    if (m == 0) return;
    unsigned long const blocks = (m + SIGN_BLOCK - 1) / SIGN_BLOCK;
    gyrant::StreamBuffer<double> far(blocks, caller_stream), near(blocks, caller_stream);
    BlockField const field{queries,         chain,           m,         boundary_clusters.get(), boundary_cluster_count,
                           boundary_loop_count, far.get(), near.get()};
    StepBound const bound{queries, distance, chain, far.get(), near.get(), double{boundary_length}};
    // Near the surface, or among many holes, stretches are too short for sharing to pay: there every
    // query takes its own w (a sample of blocks tells, for a sixteenth of the bounds' cost).
    unsigned long const samples = (blocks + SIGN_SAMPLE_STRIDE - 1) / SIGN_SAMPLE_STRIDE;
    double const sampled_heads = thrust::transform_reduce(policy, counting, counting + samples,
                                                          SampledHeads{field, bound}, 0.0, thrust::plus<double>());
    unsigned long const last = (samples - 1) * SIGN_SAMPLE_STRIDE * SIGN_BLOCK;  // the last sample's first query
    double const sampled = double((samples - 1) * SIGN_BLOCK + std::min<unsigned long>(SIGN_BLOCK, m - last));
    if (sampled_heads > 0.5 * sampled) {
        gyrant::StreamBuffer<float> all_rows(3 * m, caller_stream);
        thrust::for_each(policy, counting, counting + m, GatherRow{queries, chain, all_rows.get()});
        std::unique_ptr<float, CudaDeleter> const own_w =
            winding_for_sign(all_rows.get(), m, first_beta, epsilon, sign_mode, nullptr, stream_handle);
        thrust::for_each(policy, counting, counting + m, ApplySign{own_w.get(), chain, distance, mode});
        return;
    }
    // The bound of each step, the runs it cuts, and the bound accumulated along each run.
    thrust::for_each(policy, counting, counting + blocks, field);
    gyrant::StreamBuffer<double> step(m, caller_stream), total(m, caller_stream);
    thrust::transform(policy, counting, counting + m, step.get(), bound);
    gyrant::StreamBuffer<uint32_t> run(m, caller_stream);
    thrust::transform(policy, counting, counting + m, run.get(), RunStartAt{step.get()});
    thrust::inclusive_scan(policy, run.get(), run.get() + m, run.get());
    thrust::inclusive_scan_by_key(policy, run.get(), run.get() + m,
                                  thrust::make_transform_iterator(step.get(), NonNegative{}), total.get());
    // The heads of the stretches, and their own w with its error.
    HeadAt const head{step.get(), total.get()};
    gyrant::StreamBuffer<uint32_t> heads(m, caller_stream);
    unsigned long const k = static_cast<unsigned long>(
        thrust::copy_if(policy, counting, counting + m, heads.get(), head) - heads.get());
    gyrant::StreamBuffer<uint32_t>& stretch = run;  // the run ids are no longer needed
    thrust::transform(policy, counting, counting + m, stretch.get(), HeadFlag{head});
    thrust::inclusive_scan(policy, stretch.get(), stretch.get() + m, stretch.get());
    gyrant::StreamBuffer<uint32_t> head_index(k, caller_stream);
    thrust::for_each(policy, counting, counting + k, ComposeIndex{chain, heads.get(), head_index.get()});
    gyrant::StreamBuffer<float> rows(3 * k, caller_stream), error(k, caller_stream);
    thrust::for_each(policy, counting, counting + k, GatherRow{queries, head_index.get(), rows.get()});
    std::unique_ptr<float, CudaDeleter> const w =
        winding_for_sign(rows.get(), k, first_beta, epsilon, sign_mode, error.get(), stream_handle);
    // Shared signs, and the queries the bound refuses, which take their own w.
    gyrant::StreamBuffer<uint32_t> refused(m, caller_stream);
    thrust::for_each(policy, counting, counting + m,
                     ShareSign{w.get(), error.get(), stretch.get(), heads.get(), total.get(), chain, distance,
                               refused.get(), mode});
    gyrant::StreamBuffer<uint32_t>& own = heads;  // reused: the heads' positions are no longer needed
    unsigned long const r = static_cast<unsigned long>(
        thrust::copy_if(policy, counting, counting + m, own.get(), NonZeroAt{refused.get()}) - own.get());
    if (r > 0) {
        gyrant::StreamBuffer<uint32_t> own_index(r, caller_stream);
        thrust::for_each(policy, counting, counting + r, ComposeIndex{chain, own.get(), own_index.get()});
        gyrant::StreamBuffer<float> own_rows(3 * r, caller_stream);
        thrust::for_each(policy, counting, counting + r, GatherRow{queries, own_index.get(), own_rows.get()});
        std::unique_ptr<float, CudaDeleter> const own_w =
            winding_for_sign(own_rows.get(), r, first_beta, epsilon, sign_mode, nullptr, stream_handle);
        thrust::for_each(policy, counting, counting + r, ApplySign{own_w.get(), own_index.get(), distance, mode});
    }
    exact_signs.fetch_add(k + r, std::memory_order_relaxed);
}

template <class T>
void GyrantBackend<T>::prepare_sign_bound(std::vector<BoundarySegment> const& chain) {
    boundary_clusters.reset();
    boundary_cluster_count = 0;
    boundary_loop_count = 0;
    boundary_length = 0.0f;
    if (chain.empty()) return;
    // Clusters of edges consecutive along the chain's loops stay small: walk each loop, from an
    // edge's end to an unused edge that starts there (vertices merged by coordinates, as the chain's).
    auto const vertex_key = [](Vec3 const& v) {
        std::array<uint32_t, 3> k{};
        float const c[3] = {v.x + 0.0f, v.y + 0.0f, v.z + 0.0f};  // -0 and +0 alike
        std::memcpy(k.data(), c, sizeof c);
        return k;
    };
    std::map<std::array<uint32_t, 3>, std::vector<uint32_t>> starting;
    for (size_t i = 0; i < chain.size(); ++i) starting[vertex_key(chain[i].a)].push_back(static_cast<uint32_t>(i));
    std::vector<char> used(chain.size(), 0);
    std::vector<std::pair<size_t, size_t>> pieces;  // [first, end) of walk order, one cluster each
    std::vector<uint32_t> walk;
    walk.reserve(chain.size());
    struct Loop {
        size_t first_piece, end_piece;
        bool closed;
    };
    std::vector<Loop> loops;
    for (size_t seed = 0; seed < chain.size(); ++seed) {
        if (used[seed]) continue;
        size_t piece = walk.size();
        size_t const first_piece = pieces.size();
        for (uint32_t e = static_cast<uint32_t>(seed);;) {
            used[e] = 1;
            walk.push_back(e);
            if (walk.size() - piece == CLUSTER_EDGES) {
                pieces.emplace_back(piece, walk.size());
                piece = walk.size();
            }
            std::vector<uint32_t>& next = starting[vertex_key(chain[e].b)];
            while (!next.empty() && used[next.back()]) next.pop_back();
            if (next.empty()) break;  // the loop is closed (or the chain ends here)
            e = next.back();
        }
        if (walk.size() > piece) pieces.emplace_back(piece, walk.size());
        loops.push_back({first_piece, pieces.size(), vertex_key(chain[walk.back()].b) == vertex_key(chain[seed].a)});
    }
    // In the caller's units (scale is a power of two), rounded outwards.
    double const unit = 1.0 / double{scale};
    auto const up = [](double x) {
        float f = static_cast<float>(x * (1.0 + 1e-6));
        return f < x ? std::nextafter(f, INFINITY) : f;
    };
    std::vector<float> clusters;
    double total = 0.0;
    // Centre, radius and length of the edges walk[first, end), appended to clusters.
    auto const add_ball = [&](size_t first, size_t end) {
        double clo[3] = {INFINITY, INFINITY, INFINITY}, chi[3] = {-INFINITY, -INFINITY, -INFINITY};
        double length = 0.0;
        for (size_t e = first; e < end; ++e) {
            BoundarySegment const& s = chain[walk[e]];
            double d2 = 0.0;
            for (int a = 0; a < 3; ++a) {
                clo[a] = std::min({clo[a], double{coord(s.a, a)}, double{coord(s.b, a)}});
                chi[a] = std::max({chi[a], double{coord(s.a, a)}, double{coord(s.b, a)}});
                double const d = double{coord(s.b, a)} - coord(s.a, a);
                d2 += d * d;
            }
            length += std::sqrt(d2);
        }
        float centre[3];
        for (int a = 0; a < 3; ++a) centre[a] = static_cast<float>(0.5 * (clo[a] + chi[a]) * unit);
        double radius = 0.0;
        for (size_t e = first; e < end; ++e) {
            BoundarySegment const& s = chain[walk[e]];
            for (Vec3 const& v : {s.a, s.b}) {
                double d2 = 0.0;
                for (int a = 0; a < 3; ++a) {
                    double const d = double{coord(v, a)} * unit - centre[a];
                    d2 += d * d;
                }
                radius = std::max(radius, std::sqrt(d2));
            }
        }
        clusters.insert(clusters.end(), {centre[0], centre[1], centre[2], up(radius), up(length * unit)});
        return length * unit;
    };
    for (auto const& [first, end] : pieces) total += add_ball(first, end);
    for (Loop const& loop : loops) {
        add_ball(pieces[loop.first_piece].first, pieces[loop.end_piece - 1].second);
        clusters.insert(clusters.end(), {loop.closed ? 1.0f : 0.0f, static_cast<float>(loop.first_piece),
                                         static_cast<float>(loop.end_piece - loop.first_piece)});
    }
    boundary_loop_count = loops.size();
    boundary_cluster_count = pieces.size();
    boundary_clusters = gyrant::StreamBuffer<float>(clusters.size(), stream);
    CUDA_CHECK(cudaMemcpy(boundary_clusters.get(), clusters.data(), clusters.size() * sizeof(float),
                          cudaMemcpyHostToDevice));
    boundary_length = up(total);
}

template <class T>
void GyrantBackend<T>::sign_by_runs(float const* queries, unsigned long n, uint32_t const* order, bool band,
                                    float* distance, int sign_mode, unsigned long stream_handle) const {
    SignMode const mode = static_cast<SignMode>(sign_mode);
    auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
    gyrant::StreamPolicy policy = gyrant::make_policy(caller_stream);
    auto const counting = thrust::counting_iterator<uint32_t>(0);
    // The chain: the queries to sign, in Morton order.
    gyrant::StreamBuffer<uint32_t> banded;
    unsigned long const m = band ? banded_chain(order, n, distance, policy, caller_stream, banded) : n;
    uint32_t const* const chain = band ? banded.get() : order;
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
template void GyrantBackend<Triangle>::prepare_sign_bound(std::vector<BoundarySegment> const&);

// Native queries of the host flavour: the walk layout, the choice of SIMD code and the OpenMP
// loops around it.
#include "cpu/native.h"

#include "cpu/gradients.h"
#include "cpu/simd_kernels.h"
#include "cpu/team.h"
#include "host/flush_to_zero.h"
#include "kernels/common.h"
#include "kernels/node_approx.h"
#include "size_limits.h"

#include <omp.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace gyrant::cpu {
namespace {

//! The calling thread's hooks, and the SIMD target a ScopedTestHooks chose (null: the process's).
struct ThreadHooks {
    TestHooks hooks;
    SimdKernels const* target = nullptr;
};
thread_local ThreadHooks thread_hooks;

//! Bounds under which the kernels' half (zero and first order) or bfloat16 (second order)
//! evaluation of an expansion cannot overflow; below them it is finite whenever the
//! single-precision form is (see WideNode::kernel_evaluated). With |d_i| <= 1, every
//! intermediate of Z is at most sum |z|, and every one of F at most 4 sum |m| (trace, 3 times the
//! quadratic form, and their difference); 65000 leaves room below half's largest value (65504)
//! for the roundings on the way. S's intermediates stay below 64 sum |t|, far inside bfloat16.
constexpr double HALF_SAFE = 65000.0;
constexpr double BF16_SAFE = 0x1p100;

//! The single-precision form (see WideNode::Far) of an expansion with moments z, m and t,
//! formed in double and rounded once per term.
template <class S>
void far_terms(S const* z, S const* m, S const* t, float (&out)[WideNode::FAR_TERMS]) {
    using W = WideNode;
    auto const set = [&](W::Far term, double value) { out[term] = static_cast<float>(value); };
    set(W::Z_X, z[0]);
    set(W::Z_Y, z[1]);
    set(W::Z_Z, z[2]);
    // F = trace(m) - 3 d^T m d: the quadratic form reads only the symmetric part of m.
    set(W::TRACE, double(m[0]) + m[4] + m[8]);
    set(W::Q_XX, m[0]);
    set(W::Q_YY, m[4]);
    set(W::Q_ZZ, m[8]);
    set(W::Q_XY, double(m[1]) + m[3]);
    set(W::Q_XZ, double(m[2]) + m[6]);
    set(W::Q_YZ, double(m[5]) + m[7]);
    // S = 15 C - (6 A + 3 B): C = sum over the stored pairs (off-diagonal ones twice) of
    // t(pair; s) d_pair d_s, gathered by monomial; A and B are linear in d.
    set(W::C_XXX, 15.0 * t[0]);
    set(W::C_XXY, 15.0 * (double(t[1]) + 2.0 * t[3]));
    set(W::C_XXZ, 15.0 * (double(t[2]) + 2.0 * t[6]));
    set(W::C_XYY, 15.0 * (2.0 * t[4] + t[9]));
    set(W::C_XYZ, 15.0 * 2.0 * (double(t[5]) + t[7] + t[12]));
    set(W::C_XZZ, 15.0 * (2.0 * t[8] + t[15]));
    set(W::C_YYY, 15.0 * t[10]);
    set(W::C_YYZ, 15.0 * (double(t[11]) + 2.0 * t[13]));
    set(W::C_YZZ, 15.0 * (2.0 * t[14] + t[16]));
    set(W::C_ZZZ, 15.0 * t[17]);
    double const a[3] = {double(t[0]) + t[4] + t[8], double(t[3]) + t[10] + t[14], double(t[6]) + t[13] + t[17]};
    double const b[3] = {double(t[0]) + t[9] + t[15], double(t[1]) + t[10] + t[16], double(t[2]) + t[11] + t[17]};
    set(W::L_X, -(6.0 * a[0] + 3.0 * b[0]));
    set(W::L_Y, -(6.0 * a[1] + 3.0 * b[1]));
    set(W::L_Z, -(6.0 * a[2] + 3.0 * b[2]));
}

//! Slot k's expansion in the walk's single-precision form, and whether only the kernels' own
//! evaluation decides it.
void far_form(TailorCoefficients const& c, WideNode& w, unsigned k) {
    float const* z = &c.zero_order.x;
    float const* m = c.first_order.m;
    float const* t = c.second_order.t;
    double z_sum = 0, m_sum = 0, t_sum = 0;
    bool finite = true;
    for (unsigned i = 0; i < 3; ++i) z_sum += std::fabs(double(z[i])), finite = finite && std::isfinite(z[i]);
    for (unsigned i = 0; i < 9; ++i) m_sum += std::fabs(double(m[i])), finite = finite && std::isfinite(m[i]);
    for (unsigned i = 0; i < 18; ++i) t_sum += std::fabs(double(t[i])), finite = finite && std::isfinite(t[i]);
    bool const kernel = !finite || z_sum > HALF_SAFE || 4 * m_sum > HALF_SAFE || 64 * t_sum > BF16_SAFE;
    if (kernel) {
        w.kernel_evaluated |= static_cast<uint8_t>(1u << k);
        for (float& term : w.far[k]) term = 0.0f;
        return;
    }
    far_terms(z, m, t, w.far[k]);
}

//! Terms of a group's expansion record (z, m, t), primitive by primitive.
constexpr unsigned TERMS = 30;
using Terms = float[TERMS][GROUP_SIZE];

//! The primitives [first, first + count) of the planes, coordinate c of primitive i in p[c][i];
//! the rest of the group zero (no weight, no moment).
template <unsigned P>
void read_group(float const* data, uint64_t stride, unsigned first, unsigned count, float (&p)[P][GROUP_SIZE]) {
    for (unsigned c = 0; c < P; ++c)
        for (unsigned i = 0; i < GROUP_SIZE; ++i) p[c][i] = i < count ? data[c * stride + first + i] : 0.0f;
}

//! The centre: the weighted centroid, as the leaves take it (areas for triangles, 1 for points);
//! without weight (degenerate triangles only) the plain mean, which keeps the bound tight.
void centre_of(float const (&w)[GROUP_SIZE], float const (&g)[3][GROUP_SIZE], unsigned count, float (&c)[3]) {
    double weight = 0, weighted[3] = {}, plain[3] = {};
    for (unsigned i = 0; i < count; ++i) {
        weight += w[i];
        for (unsigned k = 0; k < 3; ++k) weighted[k] += double(w[i]) * g[k][i], plain[k] += g[k][i];
    }
    for (unsigned k = 0; k < 3; ++k) c[k] = static_cast<float>(weight > 0 ? weighted[k] / weight : plain[k] / count);
}

//! Scaled normal n, offset d of the centroid and pair products s (xx, xy, xz, yy, yz, zz) of the
//! second moment of primitive i into its record terms, as get_tailor_terms forms them.
inline void record_terms(Terms& q, unsigned i, float const (&n)[3], float const (&d)[3], float const (&s)[6]) {
    for (unsigned a = 0; a < 3; ++a) {
        q[a][i] = n[a];
        for (unsigned b = 0; b < 3; ++b) q[3 + 3 * a + b][i] = d[a] * n[b];
    }
    for (unsigned b = 0; b < 6; ++b)
        for (unsigned k = 0; k < 3; ++k) q[12 + 3 * b + k][i] = n[k] * (0.5f * s[b]);
}

//! Centre, squared reach and per-primitive terms of a group of triangles. Every loop runs over
//! the group's lanes, so that it vectorises.
void group_terms(float const (&p)[9][GROUP_SIZE], unsigned count, float (&c)[3], float& reach2, Terms& q) {
    float w[GROUP_SIZE], g[3][GROUP_SIZE], n[3][GROUP_SIZE];
    for (unsigned i = 0; i < GROUP_SIZE; ++i) {
        float const u[3] = {p[3][i] - p[0][i], p[4][i] - p[1][i], p[5][i] - p[2][i]};
        float const v[3] = {p[6][i] - p[0][i], p[7][i] - p[1][i], p[8][i] - p[2][i]};
        n[0][i] = 0.5f * (u[1] * v[2] - u[2] * v[1]);
        n[1][i] = 0.5f * (u[2] * v[0] - u[0] * v[2]);
        n[2][i] = 0.5f * (u[0] * v[1] - u[1] * v[0]);
        w[i] = std::sqrt(n[0][i] * n[0][i] + n[1][i] * n[1][i] + n[2][i] * n[2][i]);
        for (unsigned k = 0; k < 3; ++k) g[k][i] = (p[k][i] + p[3 + k][i] + p[6 + k][i]) * (1.0f / 3.0f);
    }
    centre_of(w, g, count, c);
    float reach[GROUP_SIZE];
    for (unsigned i = 0; i < GROUP_SIZE; ++i) {
        float vx[3], vy[3], vz[3];
        for (unsigned e = 0; e < 3; ++e) vx[e] = p[3 * e][i] - c[0], vy[e] = p[3 * e + 1][i] - c[1], vz[e] = p[3 * e + 2][i] - c[2];
        float r2 = 0.0f, s[6] = {};
        for (unsigned e = 0; e < 3; ++e) {
            float const t = vx[e] * vx[e] + vy[e] * vy[e] + vz[e] * vz[e];
            r2 = t > r2 ? t : r2;
            // The second moment by the edge-midpoint rule (edges 01, 12, 20), exact for its
            // quadratic integrand.
            unsigned const f = e == 2 ? 0 : e + 1;
            float const mx = 0.5f * (vx[e] + vx[f]), my = 0.5f * (vy[e] + vy[f]), mz = 0.5f * (vz[e] + vz[f]);
            s[0] += mx * mx, s[1] += mx * my, s[2] += mx * mz, s[3] += my * my, s[4] += my * mz, s[5] += mz * mz;
        }
        reach[i] = i < count ? r2 : 0.0f;
        for (float& x : s) x *= 1.0f / 3.0f;
        float const d[3] = {g[0][i] - c[0], g[1][i] - c[1], g[2][i] - c[2]};
        record_terms(q, i, {n[0][i], n[1][i], n[2][i]}, d, s);
    }
    reach2 = 0.0f;
    for (float r2 : reach) reach2 = std::max(reach2, r2);
}

//! The same for a group of points (weight 1 each; padding has no normal, hence no moment).
void group_terms(float const (&p)[6][GROUP_SIZE], unsigned count, float (&c)[3], float& reach2, Terms& q) {
    float w[GROUP_SIZE], g[3][GROUP_SIZE];
    for (unsigned i = 0; i < GROUP_SIZE; ++i) {
        w[i] = 1.0f;
        for (unsigned k = 0; k < 3; ++k) g[k][i] = p[k][i];
    }
    centre_of(w, g, count, c);
    float reach[GROUP_SIZE];
    for (unsigned i = 0; i < GROUP_SIZE; ++i) {
        float const d[3] = {p[0][i] - c[0], p[1][i] - c[1], p[2][i] - c[2]};
        float const s[6] = {d[0] * d[0], d[0] * d[1], d[0] * d[2], d[1] * d[1], d[1] * d[2], d[2] * d[2]};
        reach[i] = i < count ? s[0] + s[3] + s[5] : 0.0f;
        record_terms(q, i, {p[3][i], p[4][i], p[5][i]}, d, s);
    }
    reach2 = 0.0f;
    for (float r2 : reach) reach2 = std::max(reach2, r2);
}

//! Group g of `groups` from the primitives [first, first + count) of the planes.
template <class T>
void make_group(SoAView<T> primitives, unsigned first, unsigned count, LeafGroups& groups, unsigned g) {
    constexpr unsigned P = sizeof(T) / sizeof(float);
    float p[P][GROUP_SIZE];
    read_group(primitives.data, primitives.stride, first, count, p);
    float c[3], reach2;
    Terms q;
    group_terms(p, count, c, reach2, q);
    // The record: every term summed over the group pairwise (halves first).
    for (unsigned h = GROUP_SIZE / 2; h > 0; h /= 2)
        for (unsigned t = 0; t < TERMS; ++t)
            for (unsigned i = 0; i < h; ++i) q[t][i] += q[t][i + h];
    float record[TERMS];
    for (unsigned t = 0; t < TERMS; ++t) record[t] = q[t][0];
    // The bound, rounded up: float sums of three squares stay within 2^-22 of their value, and a
    // square root halves that; a relative 2^-20 more covers both.
    float const r = std::sqrt(reach2) * (1.0f + 0x1p-20f);
    groups.cx[g] = c[0];
    groups.cy[g] = c[1];
    groups.cz[g] = c[2];
    groups.r[g] = r;
    groups.r2[g] = r * r;
    float(&far)[WideNode::FAR_TERMS] = groups.far[g];
    far_terms(record, record + 3, record + 12, far);
    bool finite = std::isfinite(r * r);
    for (float term : far) finite = finite && std::isfinite(term);
    if (!finite) {
        // Beyond single precision (or NaN coordinates): never accepted, always summed.
        groups.r2[g] = INFINITY;
        for (float& term : far) term = 0.0f;
    }
}

//! Every compiled copy, best first.
std::vector<SimdKernels const*> compiled_targets() {
#if defined(__x86_64__)
    return {&x86_64_v4::kernels(), &x86_64_v3::kernels(), &x86_64_v2::kernels(), &baseline::kernels()};
#else
    return {&baseline::kernels()};
#endif
}

bool runs_on_this_machine([[maybe_unused]] SimdKernels const* k) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (k == &x86_64_v4::kernels()) return __builtin_cpu_supports("x86-64-v4");
    if (k == &x86_64_v3::kernels()) return __builtin_cpu_supports("x86-64-v3");
    if (k == &x86_64_v2::kernels()) return __builtin_cpu_supports("x86-64-v2");
#endif
    return true;
}

//! Every compiled copy this machine can run, best first.
std::vector<SimdKernels const*> const& runnable_targets() {
    static std::vector<SimdKernels const*> const targets = [] {
        std::vector<SimdKernels const*> r;
        for (SimdKernels const* k : compiled_targets())
            if (runs_on_this_machine(k)) r.push_back(k);
        return r;
    }();
    return targets;
}

std::string names(std::vector<SimdKernels const*> const& targets) {
    std::string r;
    for (SimdKernels const* k : targets) r += (r.empty() ? "" : ", ") + std::string(k->name);
    return r;
}

//! The process's target: the best one, or the one GYRANT_SIMD_TARGET names (an empty value
//! counts as unset). A name that cannot be honoured is an error, not a silent fallback: a result
//! reproduced for a report must come from the target asked for.
struct ProcessTarget {
    SimdKernels const* kernels = nullptr;
    std::string error;
};
ProcessTarget const& process_target() {
    static ProcessTarget const chosen = [] {
        ProcessTarget t;
        char const* name = std::getenv("GYRANT_SIMD_TARGET");
        if (name == nullptr || *name == '\0') {
            t.kernels = runnable_targets().front();
            return t;
        }
        for (SimdKernels const* k : compiled_targets()) {
            if (std::string_view(k->name) != name) continue;
            if (runs_on_this_machine(k)) t.kernels = k;
            else t.error = "GYRANT_SIMD_TARGET=" + std::string(name) + ": this CPU does not run it; it runs " +
                           names(runnable_targets());
            return t;
        }
        t.error = "GYRANT_SIMD_TARGET=" + std::string(name) + " is not a target of this build: use one of " +
                  names(compiled_targets());
        return t;
    }();
    return chosen;
}

SimdKernels const& active() {
    if (SimdKernels const* k = thread_hooks.target) return *k;
    ProcessTarget const& t = process_target();
    if (t.kernels == nullptr) throw std::runtime_error(t.error);
    return *t.kernels;
}

//! Chunks of queries handed to the team: small enough to balance a skewed walk, large enough
//! that claiming one costs nothing next to it.
constexpr size_t WALK_CHUNK = 4 * WALK_PACKET;
constexpr size_t SUM_CHUNK = 64;

//! Runs body(begin, end, thread) over [0, n) in chunks on all cores, with subnormals flushed as
//! in the kernels. Which thread takes a chunk never changes a result.
//! An exception cannot leave an OpenMP region (it would end the process), so bodies must not
//! throw: whatever they need is allocated before.
template <class Body>
void parallel_chunks(size_t n, size_t chunk, Body const& body) {
    static_assert(std::is_nothrow_invocable_v<Body const&, size_t, size_t, int>, "a team's body must not throw");
    size_t const chunks = (n + chunk - 1) / chunk;
    int const threads = static_cast<int>(std::min<size_t>(chunks, static_cast<size_t>(team_threads())));
    if (threads <= 1) {
        host::FlushToZero const ftz;
        for (size_t c = 0; c < chunks; ++c) body(c * chunk, std::min(n, (c + 1) * chunk), 0);
        return;
    }
#pragma omp parallel num_threads(threads)
    {
        host::FlushToZero const ftz;
        int const thread = omp_get_thread_num();
#pragma omp for schedule(dynamic, 1)
        for (size_t c = 0; c < chunks; ++c) body(c * chunk, std::min(n, (c + 1) * chunk), thread);
    }
}

//! Queries in Morton order: neighbours walk the same nodes one after the other. Which queries
//! share a packet changes no result.
std::vector<uint32_t> morton_order(Vec3 const* queries, size_t n, float scale, AABB const& scene_box) {
    SceneParams const params = query_curve(scene_box);
    static_assert(MAX_QUERIES <= 0xFFFFFFFFul, "the order holds 32-bit query indices");
    if (n > MAX_QUERIES) throw std::length_error("too many queries for a 32-bit order");
    std::vector<uint64_t> keys(n);
    std::vector<uint32_t> order(n);
    // In the caller's floating-point control, as the emulated path's thrust algorithm runs.
    host::FloatControl const env = host::FloatControl::current();
#pragma omp parallel if (team_threads() > 1)
    {
        host::FloatControlScope const scope(env);
#pragma omp for schedule(static)
        for (size_t i = 0; i < n; ++i) {
            keys[i] = morton_code_of(queries[i] * scale, params);
            order[i] = static_cast<uint32_t>(i);
        }
    }
    radix_sort_pairs(keys.data(), order.data(), n);
    return order;
}

template <class T>
QueryJob<T> make_job(QueryScene<T> const& scene, Vec3 const* queries, float* output, float beta,
                     float epsilon) {
    QueryJob<T> job{};
    job.primitives = scene.primitives;
    job.n_primitives = scene.n_primitives;
    job.nodes = scene.tree != nullptr ? scene.tree->nodes.data() : nullptr;
    job.node_coefficients = scene.tree != nullptr ? scene.tree->node_coefficients : nullptr;
    job.leaf_coefficients = scene.tree != nullptr ? scene.tree->leaf_coefficients : nullptr;
    job.stack_capacity = scene.tree != nullptr ? scene.tree->stack_capacity : 0;
    job.queries = queries;
    job.query_scale = scene.query_scale;
    job.order = nullptr;
    job.output = output;
    job.beta_squared = beta * beta;
    job.inverse_epsilon = 1.0f / epsilon;
    job.kernel_arithmetic = thread_hooks.hooks.kernel_arithmetic;
    // Groups only where they exist, and never with the kernels' arithmetic (which must accept
    // exactly the kernels' nodes).
    bool const grouped = scene.tree != nullptr && !scene.tree->groups.empty() && !job.kernel_arithmetic &&
                         !thread_hooks.hooks.exact_leaves;
    job.groups = grouped ? scene.tree->groups.data() : nullptr;
    // A point node, leaf or group inside the smoothing band of the query is walked or summed: the
    // expansion is that of the plain dipole.
    job.band = std::is_same_v<T, PointNormal> ? acceptance_band(epsilon) : 0.0f;
    return job;
}

template <class T>
auto sum_entry(SimdKernels const& k) {
    if constexpr (std::is_same_v<T, Triangle>)
        return k.sum_triangles;
    else
        return k.sum_points;
}
template <class T>
auto walk_entry(SimdKernels const& k) {
    if constexpr (std::is_same_v<T, Triangle>)
        return k.walk_triangles;
    else
        return k.walk_points;
}

}  // namespace

//! The Morton curve of queries around a surface: the scene box grown by its extent on every side,
//! so that queries around the surface keep their neighbours too (on the scene box's own curve every
//! query outside it would land on its faces, and those sharing a code would be grouped in no order).
SceneParams query_curve(AABB const& scene_box) {
    SceneParams params = make_scene_params(scene_box);
    if (params.inv_extent > 0.0f) {
        float const extent = 1.0f / params.inv_extent;
        SceneParams grown = params;
        grown.inv_extent = 1.0f / (3.0f * extent);
        grown.bounds.min = Vec3_f16::from_float(Vec3::from_f16(scene_box.min) - Vec3{extent, extent, extent});
        Vec3 const corner = Vec3::from_f16(grown.bounds.min);  // half: it may overflow
        if (std::isfinite(corner.x) && std::isfinite(corner.y) && std::isfinite(corner.z) && grown.inv_extent > 0.0f)
            params = grown;
    }
    return params;
}

TestHooks const& test_hooks() { return thread_hooks.hooks; }

struct ScopedTestHooks::Saved {
    ThreadHooks hooks;
};
ScopedTestHooks::ScopedTestHooks() : saved_(std::make_unique<Saved>(Saved{thread_hooks})) {}
ScopedTestHooks::~ScopedTestHooks() { thread_hooks = saved_->hooks; }
ScopedTestHooks& ScopedTestHooks::native_build(bool on) {
    thread_hooks.hooks.native_build = on;
    return *this;
}
ScopedTestHooks& ScopedTestHooks::native_queries(bool on) {
    thread_hooks.hooks.native_queries = on;
    return *this;
}
ScopedTestHooks& ScopedTestHooks::kernel_arithmetic(bool on) {
    thread_hooks.hooks.kernel_arithmetic = on;
    return *this;
}
ScopedTestHooks& ScopedTestHooks::exact_leaves(bool on) {
    thread_hooks.hooks.exact_leaves = on;
    return *this;
}
bool ScopedTestHooks::simd_target(char const* name) {
    if (name == nullptr || *name == '\0') {
        thread_hooks.target = nullptr;
        return true;
    }
    for (SimdKernels const* k : runnable_targets()) {
        if (std::string_view(k->name) == name) {
            thread_hooks.target = k;
            return true;
        }
    }
    return false;
}

char const* simd_target() { return active().name; }

bool simd_fuses() { return active().fused; }

std::vector<char const*> available_simd_targets() {
    std::vector<char const*> names;
    for (SimdKernels const* k : runnable_targets()) names.push_back(k->name);
    return names;
}

float point_contribution(PointNormal const& p, Vec3 const& q, float inverse_epsilon) {
    return p.contributionToQuery(q, inverse_epsilon);
}

float triangle_contribution(Triangle const& t, Vec3 const& q) { return t.contributionToQuery(q, 0.0f); }

float node_approximation(Vec3 const& q, Vec3 const& center, TailorCoefficientsF16 const& stored) {
    return compute_node_approximation(q, center, stored.zero_order, stored.first_order, stored.second_order);
}

WideTree make_wide_tree(BVH8Node const* nodes, LeafPointers const* leaf_pointers,
                        TailorCoefficientsF16 const* node_coefficients,
                        TailorCoefficientsF16 const* leaf_coefficients, AABB const* leaf_boxes,
                        uint32_t node_count, uint32_t leaf_count) {
    // The walk trusts every index it follows: check them once here.
    if (node_count == 0 || node_count >= leaf_count) throw std::runtime_error("inconsistent 8-wide hierarchy: node count");
    WideTree tree;
    tree.nodes.resize(size_t{node_count} + 1);
    tree.root_box = nodes[0].getAABB();
    tree.node_coefficients = node_coefficients;
    tree.leaf_coefficients = leaf_coefficients;

    // Slot k of a wide node: centre, squared radius and expansion of one child.
    auto const set_slot = [](WideNode& w, unsigned k, Vec3 const& center, __half radius,
                             TailorCoefficientsF16 const& stored) {
        w.cx[k] = center.x;
        w.cy[k] = center.y;
        w.cz[k] = center.z;
        float const r = __half2float(radius);
        w.r[k] = r;
        w.r2[k] = r * r;
        far_form(TailorCoefficients::from_f16(stored), w, k);
    };
    auto const clear = [](WideNode& w) {
        std::memset(&w, 0, sizeof w);
        // Empty slots never pass the acceptance test and never produce a value.
        for (unsigned k = 0; k < 8; ++k) w.r2[k] = w.r[k] = INFINITY;
    };

    WideNode& top = tree.nodes[0];
    clear(top);
    set_slot(top, 0, nodes[0].center, nodes[0].radius, node_coefficients[0]);
    top.child[0] = 1;
    top.internal_mask = 1;

    // Depth of every node (breadth-first numbering: a parent precedes its children).
    std::vector<uint32_t> depth(node_count, 0);
    uint32_t max_depth = 0;
    for (uint32_t i = 0; i < node_count; ++i) {
        BVH8Node const& n = nodes[i];
        WideNode& w = tree.nodes[size_t{i} + 1];
        clear(w);
        unsigned internal = 0;
        for (unsigned k = 0; k < 8; ++k) {
            ChildType const type = n.getChildMeta(k);
            if (type == ChildType::Leaf) {
                uint32_t const leaf = leaf_pointers[i].leaves[k];
                if (leaf >= leaf_count) throw std::runtime_error("inconsistent 8-wide hierarchy: leaf index");
                set_slot(w, k, leaf_boxes[leaf].center, leaf_boxes[leaf].radius, leaf_coefficients[leaf]);
                w.child[k] = leaf;
                w.leaf_mask |= static_cast<uint8_t>(1u << k);
            } else if (type == ChildType::Internal) {
                uint32_t const child = n.first_child + internal++;
                if (child >= node_count || child <= i) throw std::runtime_error("inconsistent 8-wide hierarchy");
                set_slot(w, k, nodes[child].center, nodes[child].radius, node_coefficients[child]);
                w.child[k] = child + 1;
                w.internal_mask |= static_cast<uint8_t>(1u << k);
                depth[child] = depth[i] + 1;
                max_depth = std::max(max_depth, depth[child]);
            }
        }
    }
    // Each visited level leaves at most 7 siblings pending and pushes 8.
    tree.stack_capacity = 8 * (max_depth + 2) + 1;
    return tree;
}

template <class T>
std::vector<LeafGroups> make_leaf_groups(SoAView<T> primitives, unsigned n) {
    size_t const leaves = (size_t{n} + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;
    std::vector<LeafGroups> groups(leaves);
    // Every leaf on its own, with subnormals flushed on every thread: the same bits for any team.
#pragma omp parallel if (leaves >= 64 && team_threads() > 1)
    {
        host::FlushToZero const ftz;
#pragma omp for schedule(static)
        for (size_t leaf = 0; leaf < leaves; ++leaf) {
            LeafGroups& g = groups[leaf];
            std::memset(&g, 0, sizeof g);
            unsigned const first = static_cast<unsigned>(leaf * PRIMITIVES_PER_LEAF);
            for (unsigned k = 0; k < GROUPS_PER_LEAF; ++k) {
                unsigned const begin = first + k * GROUP_SIZE;
                g.r2[k] = INFINITY;  // past the last primitive: never accepted, and never visited
                if (begin < n) make_group(primitives, begin, std::min(GROUP_SIZE, n - begin), g, k);
            }
        }
    }
    return groups;
}

template <class T>
WideTree make_wide_tree(BVH8Node const* nodes, LeafPointers const* leaf_pointers,
                        TailorCoefficientsF16 const* node_coefficients,
                        TailorCoefficientsF16 const* leaf_coefficients, AABB const* leaf_boxes,
                        uint32_t node_count, uint32_t leaf_count, SoAView<T> primitives, unsigned n) {
    if ((size_t{n} + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF != leaf_count)
        throw std::runtime_error("inconsistent 8-wide hierarchy: leaf count");
    WideTree tree = make_wide_tree(nodes, leaf_pointers, node_coefficients, leaf_coefficients, leaf_boxes,
                                   node_count, leaf_count);
    tree.groups = make_leaf_groups(primitives, n);
    return tree;
}

namespace {

//! Every thread's walk stack, allocated before the team starts (nothing may throw inside it),
//! in bytes from operator new: the entries of any interaction begin their lifetime there.
class WalkStacks {
   public:
    explicit WalkStacks(unsigned stack_capacity)
        : bytes_((walk_stack_bytes(stack_capacity) + 63) / 64 * 64),
          data_(static_cast<std::byte*>(::operator new(bytes_ * static_cast<size_t>(team_threads()),
                                                       std::align_val_t{64}))) {}
    ~WalkStacks() { ::operator delete(data_, std::align_val_t{64}); }
    WalkStacks(WalkStacks const&) = delete;
    WalkStacks& operator=(WalkStacks const&) = delete;
    void* of(int thread) const noexcept { return data_ + bytes_ * static_cast<size_t>(thread); }

   private:
    size_t bytes_;
    std::byte* data_;
};

//! The walk `entry` over n queries of `job` in Morton order on all cores.
template <class T, class Entry>
void walk_all(QueryScene<T> const& scene, QueryJob<T>& job, Vec3 const* queries, unsigned long n, Entry entry) {
    std::vector<uint32_t> const order = morton_order(queries, n, scene.query_scale, scene.tree->root_box);
    job.order = order.data();
    WalkStacks const stacks(job.stack_capacity);
    parallel_chunks(n, WALK_CHUNK, [&](size_t b, size_t e, int thread) noexcept { entry(job, b, e, stacks.of(thread)); });
}

}  // namespace

template <class T>
void compute(QueryScene<T> const& scene, Vec3 const* queries, unsigned long n, float beta,
             float epsilon, float* output) {
    if (n == 0) return;
    SimdKernels const& k = active();
    QueryJob<T> job = make_job(scene, queries, output, beta, epsilon);
    if (scene.tree == nullptr) {
        // At most one leaf: every primitive exactly, in primitive order, whatever beta.
        parallel_chunks(n, SUM_CHUNK, [&](size_t b, size_t e, int) noexcept { sum_entry<T>(k)(job, b, e, false); });
        return;
    }
    walk_all(scene, job, queries, n, walk_entry<T>(k));
}

void gradient(QueryScene<PointNormal> const& scene, Vec3 const* queries, unsigned long n, float beta,
              float epsilon, float* output) {
    if (n == 0) return;
    if (scene.tree == nullptr) {
        // At most one leaf: every point exactly.
        brute_force_gradient(scene, queries, n, epsilon, output);
        return;
    }
    SimdKernels const& k = active();
    QueryJob<PointNormal> job = make_job(scene, queries, output, beta, epsilon);
    walk_all(scene, job, queries, n, k.gradient_points);
}

void product_walk(QueryScene<PointNormal> const& charges, Vec3 const* targets, float const* target_normals,
                  unsigned long n, float beta, float epsilon, float* output) {
    if (n == 0) return;
    if (charges.tree == nullptr) throw std::logic_error("product_walk: the charges' engine has no hierarchy");
    SimdKernels const& k = active();
    QueryJob<PointNormal> job = make_job(charges, targets, output, beta, epsilon);
    job.target_normals = target_normals;
    walk_all(charges, job, targets, n, target_normals != nullptr ? k.product_points : k.product_normals);
}

namespace {

//! Queries per round of the scatter: its records stay a few tens of megabytes.
constexpr size_t ADJOINT_ROUND = size_t{1} << 16;

//! Records grouped by item, each item's in the order of `parts` (walk order).
void bucket(std::vector<std::vector<AdjointRecord>> const& parts, size_t items, std::vector<AdjointRecord>& records,
            std::vector<uint32_t>& starts) {
    starts.assign(items + 1, 0);
    size_t total = 0;
    for (auto const& part : parts) {
        total += part.size();
        for (AdjointRecord const& r : part) ++starts[r.item + 1];
    }
    if (total > 0xFFFFFFFFu) throw std::length_error("too many records in one round of the products' walk");
    for (size_t i = 0; i < items; ++i) starts[i + 1] += starts[i];
    records.resize(total);
    std::vector<uint32_t> next(starts.begin(), starts.end() - 1);
    for (auto const& part : parts)
        for (AdjointRecord const& r : part) records[next[r.item]++] = r;
}

//! A far item's adjoint of its terms (WideNode::Far) as the adjoint of its moments: z (3),
//! m[3 a + b] = sum y_a n_b (9) and t[3 pair + b] = sum n_b y_pair / 2 (18), the transpose of
//! far_terms.
void moment_adjoint(float const (&f)[WideNode::FAR_TERMS], float (&out)[30]) {
    using W = WideNode;
    float* z = out;
    float* m = out + 3;
    float* t = out + 12;
    z[0] = f[W::Z_X], z[1] = f[W::Z_Y], z[2] = f[W::Z_Z];
    m[0] = f[W::TRACE] + f[W::Q_XX], m[4] = f[W::TRACE] + f[W::Q_YY], m[8] = f[W::TRACE] + f[W::Q_ZZ];
    m[1] = m[3] = f[W::Q_XY];
    m[2] = m[6] = f[W::Q_XZ];
    m[5] = m[7] = f[W::Q_YZ];
    float const lx = f[W::L_X], ly = f[W::L_Y], lz = f[W::L_Z];
    t[0] = 15.0f * f[W::C_XXX] - 9.0f * lx;
    t[1] = 15.0f * f[W::C_XXY] - 3.0f * ly;
    t[2] = 15.0f * f[W::C_XXZ] - 3.0f * lz;
    t[3] = 30.0f * f[W::C_XXY] - 6.0f * ly;
    t[4] = 30.0f * f[W::C_XYY] - 6.0f * lx;
    t[5] = 30.0f * f[W::C_XYZ];
    t[6] = 30.0f * f[W::C_XXZ] - 6.0f * lz;
    t[7] = 30.0f * f[W::C_XYZ];
    t[8] = 30.0f * f[W::C_XZZ] - 6.0f * lx;
    t[9] = 15.0f * f[W::C_XYY] - 3.0f * lx;
    t[10] = 15.0f * f[W::C_YYY] - 9.0f * ly;
    t[11] = 15.0f * f[W::C_YYZ] - 3.0f * lz;
    t[12] = 30.0f * f[W::C_XYZ];
    t[13] = 30.0f * f[W::C_YYZ] - 6.0f * lz;
    t[14] = 30.0f * f[W::C_YZZ] - 6.0f * ly;
    t[15] = 15.0f * f[W::C_XZZ] - 3.0f * lx;
    t[16] = 15.0f * f[W::C_YZZ] - 3.0f * ly;
    t[17] = 15.0f * f[W::C_ZZZ] - 9.0f * lz;
}

//! A point's share of a far item's moment adjoint a (see moment_adjoint), y its offset from the
//! item's centre: the derivative with respect to its normal, added to gn.
void point_share(float const (&a)[30], Vec3 const& y, float (&gn)[3]) {
    float const* z = a;
    float const* m = a + 3;
    float const* t = a + 12;
    float const yv[3] = {y.x, y.y, y.z};
    float const half[6] = {0.5f * y.x * y.x, 0.5f * y.x * y.y, 0.5f * y.x * y.z,
                           0.5f * y.y * y.y, 0.5f * y.y * y.z, 0.5f * y.z * y.z};
    for (unsigned b = 0; b < 3; ++b) {
        float g = z[b];
        for (unsigned c = 0; c < 3; ++c) g += m[3 * c + b] * yv[c];
        for (unsigned p = 0; p < 6; ++p) g += t[3 * p + b] * half[p];
        gn[b] += g;
    }
}

}  // namespace

bool vjp_scatter(QueryScene<PointNormal> const& scene, uint32_t const* sorted_indices, Vec3 const* queries,
                 float const* v, unsigned long n, float beta, float epsilon, float* grad_normals) {
    WideTree const* const tree = scene.tree;
    if (tree == nullptr || tree->groups.empty() || thread_hooks.hooks.kernel_arithmetic ||
        thread_hooks.hooks.exact_leaves)
        return false;
    SimdKernels const& k = active();
    unsigned const np = scene.n_primitives;
    size_t const nodes = tree->nodes.size(), leaves = (size_t{np} + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;
    size_t const groups_base = 8 * nodes, far_items = groups_base + GROUPS_PER_LEAF * leaves;
    if (far_items > 0xFFFFFFFFu) throw std::length_error("too many expansions for the products' walk");

    // The values brought near 1 by a power of two, undone on the result: no magnitude of v
    // changes a result's accuracy or its time.
    float largest = 0.0f;
    for (size_t j = 0; j < n; ++j)
        if (std::fabs(v[j]) <= FLT_MAX) largest = std::max(largest, std::fabs(v[j]));
    int exponent = 0;
    if (largest > 0.0f) std::frexp(largest, &exponent);
    exponent = std::clamp(exponent, -120, 120);
    float const weight = std::ldexp(1.0f, -exponent);

    std::vector<uint32_t> const order = morton_order(queries, n, scene.query_scale, tree->root_box);
    std::vector<Vec3> sorted_queries(n);
    std::vector<float> sorted_values(n);
    parallel_chunks(n, 4096, [&](size_t b, size_t e, int) noexcept {
        for (size_t s = b; s < e; ++s) {
            sorted_queries[s] = in_engine_frame(queries[order[s]], scene.query_scale);
            sorted_values[s] = v[order[s]] * weight;
        }
    });

    AdjointJob aj{};
    aj.walk = make_job(scene, nullptr, nullptr, beta, epsilon);
    aj.walk.groups = tree->groups.data();
    aj.sorted_queries = sorted_queries.data();
    aj.sorted_values = sorted_values.data();
    // Groups at 1.5 beta: at beta the product's error against the double-precision reference
    // grew by half (1.1e-2 rms against 5.2e-3 on a 20k-point sphere at 5000 uniform queries),
    // for no measurable time.
    aj.group_r2_scale = 2.25f;
    aj.groups_base = static_cast<uint32_t>(groups_base);
    std::vector<std::array<float, WideNode::FAR_TERMS>> far_adjoint(far_items);
    std::vector<float> exact(3 * size_t{np}, 0.0f);
    for (auto& f : far_adjoint) f.fill(0.0f);
    aj.far_adjoint = reinterpret_cast<float(*)[WideNode::FAR_TERMS]>(far_adjoint.data());
    aj.exact = exact.data();

    WalkStacks const stacks(tree->stack_capacity);
    std::vector<AdjointRecord> records;
    std::vector<uint32_t> starts;
    for (size_t round = 0; round < n; round += ADJOINT_ROUND) {
        size_t const count = std::min<size_t>(ADJOINT_ROUND, n - round);
        size_t const parts = (count + WALK_CHUNK - 1) / WALK_CHUNK;
        std::vector<std::vector<AdjointRecord>> far(parts), near(parts);
        struct Part {
            std::vector<AdjointRecord>* far;
            std::vector<AdjointRecord>* near;
        };
        auto const put = [](void* context, AdjointRecord const* r, unsigned count, bool is_far) {
            Part const& part = *static_cast<Part const*>(context);
            std::vector<AdjointRecord>& to = is_far ? *part.far : *part.near;
            to.insert(to.end(), r, r + count);
        };
        bool failed = false;
        parallel_chunks(count, WALK_CHUNK, [&](size_t b, size_t e, int thread) noexcept {
            size_t const p = b / WALK_CHUNK;
            Part part{&far[p], &near[p]};
            try {
                k.adjoint_walk(aj, round + b, round + e, stacks.of(thread), AdjointSink{&part, put});
            } catch (...) {
#pragma omp atomic write
                failed = true;
            }
        });
        if (failed) throw std::bad_alloc();
        bucket(far, far_items, records, starts);
        aj.records = records.data();
        aj.starts = starts.data();
        parallel_chunks(far_items, 64, [&](size_t b, size_t e, int) noexcept { k.adjoint_far(aj, b, e); });
        bucket(near, GROUPS_PER_LEAF * leaves, records, starts);
        aj.records = records.data();
        aj.starts = starts.data();
        parallel_chunks(leaves, 16, [&](size_t b, size_t e, int) noexcept { k.adjoint_exact(aj, b, e); });
    }

    // Each slot's parent slot, and each leaf's slot: a point's expansions are its group's, its
    // leaf slot's and those of the slots above.
    std::vector<uint32_t> parent_slot(nodes, 0xFFFFFFFFu), leaf_slot(leaves, 0xFFFFFFFFu);
    for (size_t e = 0; e < nodes; ++e) {
        WideNode const& w = tree->nodes[e];
        for (unsigned s = 0; s < 8; ++s) {
            if ((w.internal_mask >> s) & 1u) parent_slot[w.child[s]] = static_cast<uint32_t>(8 * e + s);
            if ((w.leaf_mask >> s) & 1u) leaf_slot[w.child[s]] = static_cast<uint32_t>(8 * e + s);
        }
    }
    std::vector<std::array<float, 30>> moments(far_items);
    std::vector<unsigned char> used(far_items);
    parallel_chunks(far_items, 1024, [&](size_t b, size_t e, int) noexcept {
        for (size_t i = b; i < e; ++i) {
            auto const& f = far_adjoint[i];
            used[i] = std::any_of(f.begin(), f.end(), [](float x) { return x != 0.0f; });
            if (used[i]) moment_adjoint(reinterpret_cast<float const(&)[WideNode::FAR_TERMS]>(*f.data()),
                                        reinterpret_cast<float(&)[30]>(*moments[i].data()));
        }
    });
    double const s = scene.query_scale, unweight = std::ldexp(1.0, exponent);
    parallel_chunks(np, 1024, [&](size_t b, size_t e, int) noexcept {
        for (size_t i = b; i < e; ++i) {
            PointNormal const p = PointNormal::load(scene.primitives, static_cast<unsigned>(i), np);
            float gn[3] = {exact[3 * i], exact[3 * i + 1], exact[3 * i + 2]};
            size_t const leaf = i / PRIMITIVES_PER_LEAF, group = (i % PRIMITIVES_PER_LEAF) / GROUP_SIZE;
            auto const share = [&](size_t item, float cx, float cy, float cz) {
                if (used[item])
                    point_share(reinterpret_cast<float const(&)[30]>(*moments[item].data()),
                                p.position - Vec3{cx, cy, cz}, gn);
            };
            LeafGroups const& g = tree->groups[leaf];
            share(groups_base + GROUPS_PER_LEAF * leaf + group, g.cx[group], g.cy[group], g.cz[group]);
            for (uint32_t slot = leaf_slot[leaf]; slot != 0xFFFFFFFFu; slot = parent_slot[slot / 8]) {
                WideNode const& w = tree->nodes[slot / 8];
                share(slot, w.cx[slot % 8], w.cy[slot % 8], w.cz[slot % 8]);
            }
            size_t const o = 3 * size_t{sorted_indices[i]};
            for (unsigned a = 0; a < 3; ++a) grad_normals[o + a] = static_cast<float>(gn[a] * s * s * unweight);
        }
    });
    return true;
}

template <class T>
void brute_force(QueryScene<T> const& scene, Vec3 const* queries, unsigned long n, float epsilon,
                 float* output) {
    if (n == 0) return;
    SimdKernels const& k = active();
    QueryJob<T> const job = make_job(scene, queries, output, 0.0f, epsilon);
    parallel_chunks(n, SUM_CHUNK, [&](size_t b, size_t e, int) noexcept { sum_entry<T>(k)(job, b, e, true); });
}

template void compute<Triangle>(QueryScene<Triangle> const&, Vec3 const*, unsigned long, float, float, float*);
template void compute<PointNormal>(QueryScene<PointNormal> const&, Vec3 const*, unsigned long, float, float,
                                   float*);
template void brute_force<Triangle>(QueryScene<Triangle> const&, Vec3 const*, unsigned long, float, float*);
template void brute_force<PointNormal>(QueryScene<PointNormal> const&, Vec3 const*, unsigned long, float,
                                       float*);
template std::vector<LeafGroups> make_leaf_groups<Triangle>(SoAView<Triangle>, unsigned);
template std::vector<LeafGroups> make_leaf_groups<PointNormal>(SoAView<PointNormal>, unsigned);
template WideTree make_wide_tree<Triangle>(BVH8Node const*, LeafPointers const*, TailorCoefficientsF16 const*,
                                           TailorCoefficientsF16 const*, AABB const*, uint32_t, uint32_t,
                                           SoAView<Triangle>, unsigned);
template WideTree make_wide_tree<PointNormal>(BVH8Node const*, LeafPointers const*, TailorCoefficientsF16 const*,
                                              TailorCoefficientsF16 const*, AABB const*, uint32_t, uint32_t,
                                              SoAView<PointNormal>, unsigned);

}  // namespace gyrant::cpu

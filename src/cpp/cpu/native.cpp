// Native queries of the host flavour: the walk layout, the choice of SIMD code and the OpenMP
// loops around it.
#include "cpu/native.h"

#include "cpu/simd_kernels.h"
#include "cpu/team.h"
#include "host/flush_to_zero.h"
#include "kernels/common.h"
#include "kernels/node_approx.h"
#include "size_limits.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
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
    if (kernel) w.kernel_evaluated |= static_cast<uint8_t>(1u << k);

    using W = WideNode;
    auto const set = [&](W::Far term, double value) { w.far[k][term] = kernel ? 0.0f : static_cast<float>(value); };
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

//! Queries in Morton order: neighbours walk the same nodes one after the other. The curve covers
//! the scene box grown by its extent on every side, so that queries around the surface keep
//! their neighbours too (on the scene box's own curve every query outside it would land on its
//! faces, and those sharing a code would be grouped in no order). Which queries share a packet
//! changes no result.
std::vector<uint32_t> morton_order(Vec3 const* queries, size_t n, float scale, AABB const& scene_box) {
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
        w.r2[k] = r * r;
        far_form(TailorCoefficients::from_f16(stored), w, k);
    };
    auto const clear = [](WideNode& w) {
        std::memset(&w, 0, sizeof w);
        // Empty slots never pass the acceptance test and never produce a value.
        for (unsigned k = 0; k < 8; ++k) w.r2[k] = INFINITY;
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
    std::vector<uint32_t> const order = morton_order(queries, n, scene.query_scale, scene.tree->root_box);
    job.order = order.data();
    // Every thread's stack is allocated here: nothing may throw inside the team.
    size_t const entries = walk_stack_entries(job.stack_capacity);
    std::vector<WalkEntry> stacks(static_cast<size_t>(team_threads()) * entries);
    parallel_chunks(n, WALK_CHUNK, [&](size_t b, size_t e, int thread) noexcept {
        walk_entry<T>(k)(job, b, e, stacks.data() + static_cast<size_t>(thread) * entries);
    });
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

}  // namespace gyrant::cpu

// The vectorised inner loops of the native CPU code. simd_kernels.cpp (with its parts in simd/)
// is compiled once per instruction set (x86-64-v2, -v3, -v4 and a baseline), each copy in its
// own namespace; the dispatcher (native.cpp) picks one at run time and runs it on ranges of
// queries from an OpenMP team. Nothing in a copy may be shared with other translation units, or
// the linker could hand code built for one instruction set to a caller meant for another: its
// entry points are the only symbols it defines.
#pragma once

#include "cpu/native.h"

#include <cstddef>
#include <cstdint>

namespace gyrant::cpu {

//! One batch of queries for the inner loops. `order[i]` is the caller's index of the i-th query
//! processed (a Morton order that keeps neighbours together); results go to output[order[i]].
template <class T>
struct QueryJob {
    SoAView<T> primitives;
    unsigned n_primitives;
    WideNode const* nodes;  // the walk layout; unused by the exact sums
    TailorCoefficientsF16 const* node_coefficients;  // see WideTree
    TailorCoefficientsF16 const* leaf_coefficients;
    unsigned stack_capacity;
    Vec3 const* queries;    // in the caller's units
    float query_scale;      // the engine's frame: queries are multiplied by it
    uint32_t const* order;  // null: identity
    float* output;
    float beta_squared;
    float inverse_epsilon;
    bool kernel_arithmetic;  // see TestHooks::kernel_arithmetic
    //! The leaves' groups (WideTree::groups), tested where a query rejects a leaf; null: such
    //! leaves are summed exactly.
    LeafGroups const* groups;
    //! Points: nodes, leaves and groups are accepted only farther than this from their bound
    //! (the smoothing band's end, see acceptance_band); unused for triangles.
    float band;
    //! The products' walk over the positions: each query's normal (3 floats, caller's order);
    //! null otherwise.
    float const* target_normals;
};

//! Queries a walk follows together, one per lane, like the kernels' warp (at most: a copy whose
//! vectors are narrower follows fewer).
inline constexpr unsigned WALK_PACKET = 16;

//! A pending child on a walk's stack: the lanes (bit l: query l of the packet) that will visit
//! it, and the values (C channels) of the lanes that accepted its expansion, added when the
//! kernels' walk would visit the child.
template <unsigned C>
struct alignas(64) WalkEntry {
    std::uint32_t node;
    std::uint32_t visit;
    std::uint32_t accepted;
    alignas(64) float values[C][WALK_PACKET];
};
//! The most channels an interaction sums (the gradient's three).
inline constexpr unsigned WALK_MAX_CHANNELS = 3;

//! A pair the products' scatter walk found: the lanes (bit l: sorted query first + l) that take
//! item `item` (a node slot's or a group's expansion, or a group's points exactly).
struct AdjointRecord {
    std::uint32_t item;
    std::uint32_t lanes;
    std::uint32_t first;
};

//! Where a scatter walk hands its records, a few hundred at a time (far: expansions; else exact).
struct AdjointSink {
    void* context;
    void (*put)(void* context, AdjointRecord const* records, unsigned n, bool far);
};

//! The normals' vector-Jacobian product as the transpose of compute's walk: the queries walk the cloud's
//! own hierarchy, and what compute would sum into a query is scattered, weighted by the query's
//! value v, into the adjoints of the expansions it accepts and the points it sums exactly.
struct AdjointJob {
    //! The cloud's walk (acceptance, groups, band, epsilon); its queries are unused.
    QueryJob<PointNormal> walk;
    Vec3 const* sorted_queries;  // in the engine's frame, in walk order
    float const* sorted_values;  // v of each, scaled by a power of two
    //! Groups are accepted beyond their bound squared times this.
    float group_r2_scale;
    //! Far items: slot k of walk node e is 8 e + k; group j of leaf l is groups_base + 4 l + j.
    //! Exact items: 4 l + j.
    std::uint32_t groups_base;
    //! Records grouped by item (item i's in [starts[i], starts[i + 1])), in walk order.
    AdjointRecord const* records;
    std::uint32_t const* starts;
    //! Per far item, the sums over its queries of v times the derivatives of the expansion's
    //! value with respect to its single-precision terms (WideNode::Far), added to.
    float (*far_adjoint)[WideNode::FAR_TERMS];
    //! Per sorted point, the exact terms (3 floats), added to.
    float* exact;
};

//! The entry points of one compiled copy. Each processes queries [begin, end) of a job.
struct SimdKernels {
    char const* name;
    bool fused;  // see simd_fuses
    //! Hierarchical walks, one per interaction; `stack` holds walk_stack_bytes(job.stack_capacity)
    //! bytes, aligned to 64.
    void (*walk_triangles)(QueryJob<Triangle> const&, size_t begin, size_t end, void* stack);
    void (*walk_points)(QueryJob<PointNormal> const&, size_t begin, size_t end, void* stack);
    //! grad_q w (3 floats per query, caller's units) through the same walk.
    void (*gradient_points)(QueryJob<PointNormal> const&, size_t begin, size_t end, void* stack);
    //! The vector-Jacobian products (3 floats per query) over an engine of charges at the
    //! products' queries, with respect to the normals and to the positions (job.target_normals).
    void (*product_normals)(QueryJob<PointNormal> const&, size_t begin, size_t end, void* stack);
    void (*product_points)(QueryJob<PointNormal> const&, size_t begin, size_t end, void* stack);
    //! The scatter walk of the sorted queries [begin, end): its records handed to `sink` in walk
    //! order. `stack` as for the walks.
    void (*adjoint_walk)(AdjointJob const&, size_t begin, size_t end, void* stack, AdjointSink const& sink);
    //! The far items [begin, end); the exact terms of the leaves [begin, end).
    void (*adjoint_far)(AdjointJob const&, size_t begin, size_t end);
    void (*adjoint_exact)(AdjointJob const&, size_t begin, size_t end);
    //! Every primitive in primitive order: a plain sum (small scenes) or a compensated one
    //! (brute force).
    void (*sum_triangles)(QueryJob<Triangle> const&, size_t begin, size_t end, bool compensated);
    void (*sum_points)(QueryJob<PointNormal> const&, size_t begin, size_t end, bool compensated);
};

//! Bytes of the stack any walk needs: a visit replaces its entry by at most 8, stack_capacity
//! entries of the widest interaction.
inline size_t walk_stack_bytes(unsigned stack_capacity) {
    return size_t{stack_capacity} * sizeof(WalkEntry<WALK_MAX_CHANNELS>);
}

//! The kernels' own scalar formulas, compiled with the baseline instruction set, for the lanes
//! the vectorised code leaves to them: the point contribution inside the smoothing band (erff
//! and exp2f), the triangle contribution where products of distances overflow, and the
//! expansion of a node whose fused multiply-adds the vectorised emulation cannot round with
//! certainty.
float point_contribution(PointNormal const& p, Vec3 const& q, float inverse_epsilon);
float triangle_contribution(Triangle const& t, Vec3 const& q);
float node_approximation(Vec3 const& q, Vec3 const& center, TailorCoefficientsF16 const& stored);

#define GYRANT_DECLARE_SIMD_TARGET(ns) \
    namespace ns {                     \
    SimdKernels const& kernels();      \
    }
GYRANT_DECLARE_SIMD_TARGET(baseline)
#if defined(__x86_64__)
GYRANT_DECLARE_SIMD_TARGET(x86_64_v2)
GYRANT_DECLARE_SIMD_TARGET(x86_64_v3)
GYRANT_DECLARE_SIMD_TARGET(x86_64_v4)
#endif
#undef GYRANT_DECLARE_SIMD_TARGET

}  // namespace gyrant::cpu

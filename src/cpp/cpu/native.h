// Native CPU code of the host flavour: the engine's build, compute and brute_force on all cores,
// over the same buffers the kernels produce and read. The kernels still run through the host
// execution layer in the tests, where they are the oracle this code is compared with.
//
// Everything here runs synchronously on the calling thread and an OpenMP team; "device"
// pointers are host memory in this flavour. Results never depend on the number of threads.
#pragma once

#include "platform.h"

#include "aabb.h"
#include "bvh8.h"
#include "geometry.h"
#include "tailor_coefficients.h"

#include <cstdint>
#include <memory>
#include <vector>

struct SceneParams;

namespace gyrant::cpu {

//! Switches for tests and measurements. They belong to the calling thread, so that engines built
//! or queried on other threads meanwhile keep the defaults, and each build or query reads them
//! once, on the thread that calls it.
struct TestHooks {
    //! Engines build with the native code, or with the emulated kernels (the reference the native
    //! build must match).
    bool native_build = true;
    //! The same for compute, brute_force and gradient.
    bool native_queries = true;
    //! Native results equal the kernels' bit for bit: contributions use the kernels' own
    //! operations (no fused multiply-adds, the C library's atan2f) and expansions the kernels'
    //! half/bfloat16 operations (emulated in vectors) instead of single precision. It is slower,
    //! and it implies exact_leaves.
    bool kernel_arithmetic = false;
    //! compute and gradient accept exactly the kernels' nodes: every leaf a query rejects is summed exactly,
    //! instead of testing its groups (see LeafGroups). It is slower and a little more accurate.
    bool exact_leaves = false;
};
//! The calling thread's hooks.
TestHooks const& test_hooks();

//! Changes the calling thread's hooks for its lifetime and restores the previous ones (and the
//! previous SIMD target) on every way out. Destroy it on the thread that made it.
class ScopedTestHooks {
   public:
    ScopedTestHooks();
    ~ScopedTestHooks();
    ScopedTestHooks(ScopedTestHooks const&) = delete;
    ScopedTestHooks& operator=(ScopedTestHooks const&) = delete;

    ScopedTestHooks& native_build(bool on);
    ScopedTestHooks& native_queries(bool on);
    ScopedTestHooks& kernel_arithmetic(bool on);
    ScopedTestHooks& exact_leaves(bool on);
    //! The SIMD code of the named target for the calling thread's queries; null or "" gives back
    //! the process's choice. Returns false, changing nothing, when this machine does not run it.
    bool simd_target(char const* name);

   private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

//! The engine's persistent buffers, as the build fills them.
struct EngineBuffers {
    uint32_t* sorted_indices;
    float* primitives;  // sorted structure-of-arrays planes, stride n
    AABB* binary_aabbs;
    uint32_t* node_count;
    BVH8Node* nodes;
    TailorCoefficientsF16* node_coefficients;
    TailorCoefficientsF16* leaf_coefficients;
    LeafPointers* leaf_pointers;
    //! Optional (null: not kept): n Morton codes in sorted order, kept for refit_points.
    uint64_t* sorted_codes = nullptr;
};

//! The whole build of a triangle engine from a soup of n triangles (9 floats each), n > 0:
//! the same values the kernels write into `out` (the 8-wide nodes in breadth-first order,
//! siblings in slot order). Returns the scene parameters the primitives were ordered by.
SceneParams build_triangles(float const* soup, unsigned long n, EngineBuffers const& out);
//! The same for a point engine from n positions and scaled normals (3 floats each), n > 0.
SceneParams build_points(float const* points, float const* normals, unsigned long n, EngineBuffers const& out);
//! A built point engine's hierarchy over new scaled normals (n rows, input order), the points'
//! order and its codes (`sorted_codes`, kept by build_points) unchanged: boxes, radii and
//! expansions as build_points would write them for these normals, without its sort.
void refit_points(float const* normals, unsigned long n, EngineBuffers const& out);

//! Box and largest absolute coordinate of n points (3 floats each), NaN coordinates ignored:
//! lower corner +inf and upper corner -inf when no coordinate counts.
struct Spread {
    float lo[3], hi[3], magnitude;
};
Spread coordinate_spread(float const* points, unsigned long n);
//! The Morton curve that orders queries around a surface of box `scene_box` (queries of a walk
//! are walked in its order, so that neighbours share nodes).
SceneParams query_curve(AABB const& scene_box);
//! dst[i] = src[i] * factor (dst may be src).
void scale_floats(float const* src, unsigned long count, float factor, float* dst);

//! The triangle soup of an indexed mesh: triangle i's corners are vertices[indices[3i + c]]
//! (3 floats each), written as 9 floats. Indices must be below the vertex count (validated
//! before).
void gather_mesh(float const* vertices, unsigned int const* indices, unsigned long n, float* soup);

//! Stable sort of n (key, value) pairs by key on all cores; the result equals a sequential
//! stable sort. The scratch buffers hold n entries each; without them the sort allocates its own.
void radix_sort_pairs(uint64_t* keys, uint32_t* values, size_t n, uint64_t* key_scratch,
                      uint32_t* value_scratch);
void radix_sort_pairs(uint64_t* keys, uint32_t* values, size_t n);

//! The children of one 8-wide node as the native walk reads them: slot k in lane k of every
//! row, and its expansion in far[k]. The walk evaluates expansions in single precision from
//! `far` (the stored coefficients widened exactly and gathered into the polynomial the kernels
//! evaluate). What a walk reads at every visit comes first; a child's expansion is two cache
//! lines, read only where a query accepts it.
struct alignas(64) WideNode {
    //! The single-precision form of an expansion at direction d (unit) and distance R:
    //!   Z = z . d, F = trace - 3 (quadratic form of d), S = 15 (cubic form of d) + L . d,
    //!   value = (Z / R^2 + F / R^3 + S / R^4) / (4 pi).
    enum Far : unsigned {
        Z_X, Z_Y, Z_Z,
        TRACE,
        Q_XX, Q_YY, Q_ZZ, Q_XY, Q_XZ, Q_YZ,
        C_XXX, C_XXY, C_XXZ, C_XYY, C_XYZ, C_XZZ, C_YYY, C_YYZ, C_YZZ, C_ZZZ,
        L_X, L_Y, L_Z,
        FAR_TERMS
    };
    float cx[8], cy[8], cz[8];  // expansion centre of each child
    float r2[8];                // r * r of its stored half radius, as the acceptance test forms it
    float r[8];                 // that radius (points are also accepted only beyond r + band)
    uint32_t child[8];          // Internal: WideNode index; Leaf: leaf index
    uint8_t leaf_mask;          // bit k: slot k is a Leaf
    uint8_t internal_mask;      // bit k: slot k is an Internal node
    //! Bit k: the expansion of slot k is evaluated by the kernels' code (non-finite stored
    //! coefficients, or magnitudes at which half/bfloat16 arithmetic could overflow), so that
    //! exactly the kernels' nodes are accepted.
    uint8_t kernel_evaluated;
    float far[8][FAR_TERMS];
};

//! Primitives in a group: Morton-contiguous runs of a leaf, each with its own expansion and bound,
//! so that a query that rejects a leaf approximates most of it and sums few primitives exactly.
//! Eight: two such groups cost about one exact leaf (see src/cpp/cpu/README.md for the shapes
//! measured).
inline constexpr unsigned GROUP_SIZE = 8;
inline constexpr unsigned GROUPS_PER_LEAF = PRIMITIVES_PER_LEAF / GROUP_SIZE;
static_assert(PRIMITIVES_PER_LEAF % GROUP_SIZE == 0, "a leaf is a whole number of groups");

//! The groups of one leaf (group g holds primitives 32 leaf + 8 g ...), as the walk reads them.
//! Expansions are formed in double from the sorted primitives about the group's weighted
//! centroid, and kept in the single-precision form of WideNode::far.
struct alignas(64) LeafGroups {
    //! Left unset: make_leaf_groups writes every byte, on the thread that will own the page.
    LeafGroups() {}
    float cx[GROUPS_PER_LEAF], cy[GROUPS_PER_LEAF], cz[GROUPS_PER_LEAF];  // expansion centre
    //! The largest distance from the centre to a point of a primitive, rounded up; r2 its square
    //! as the acceptance test reads it. An expansion that overflows single precision has r2 = inf:
    //! the group is never accepted.
    float r[GROUPS_PER_LEAF], r2[GROUPS_PER_LEAF];
    float far[GROUPS_PER_LEAF][WideNode::FAR_TERMS];
};

//! The hierarchy in the native walk's layout. Entry 0 stands above the root: its only slot is
//! the root node (entry 1), so the root is tested and evaluated like any other child. Entry
//! i + 1 holds the children of 8-wide node i.
struct WideTree {
    std::vector<WideNode> nodes;
    //! The engine's stored expansions, for the slots the kernels' own evaluation handles: a leaf
    //! slot's in leaf_coefficients[child], an internal slot's in node_coefficients[child - 1].
    TailorCoefficientsF16 const* node_coefficients = nullptr;
    TailorCoefficientsF16 const* leaf_coefficients = nullptr;
    AABB root_box;                // the scene box, which orders queries along the Morton curve
    unsigned stack_capacity = 0;  // entries a walk can need: 8 per level below entry 0, plus one
    //! Every leaf's groups; empty when the tree was made without its primitives (the walk then
    //! sums rejected leaves exactly).
    std::vector<LeafGroups> groups;
};

//! Derives the walk's layout from a built engine's hierarchy of node_count 8-wide nodes over
//! leaf_count leaves. Throws std::runtime_error when an index in it is out of range (there must
//! be between 1 and leaf_count - 1 nodes).
WideTree make_wide_tree(BVH8Node const* nodes, LeafPointers const* leaf_pointers,
                        TailorCoefficientsF16 const* node_coefficients,
                        TailorCoefficientsF16 const* leaf_coefficients, AABB const* leaf_boxes,
                        uint32_t node_count, uint32_t leaf_count);
//! The same, with the groups of the leaves over the engine's n sorted primitives.
template <class T>
WideTree make_wide_tree(BVH8Node const* nodes, LeafPointers const* leaf_pointers,
                        TailorCoefficientsF16 const* node_coefficients,
                        TailorCoefficientsF16 const* leaf_coefficients, AABB const* leaf_boxes,
                        uint32_t node_count, uint32_t leaf_count, SoAView<T> primitives, unsigned n);

//! The groups of the leaves over n sorted primitives (ceil(n / 32) leaves), on all cores.
template <class T>
std::vector<LeafGroups> make_leaf_groups(SoAView<T> primitives, unsigned n);

//! What a native query reads: the engine's sorted primitives and the walk layout.
template <class T>
struct QueryScene {
    SoAView<T> primitives;
    unsigned n_primitives;
    WideTree const* tree;  // null when there is no hierarchy (at most 32 primitives)
    float query_scale;     // the engine's frame: queries are multiplied by it
};

//! Winding numbers at n query points (caller's order in and out) through the hierarchy with
//! the kernels' acceptance test, and below a leaf a query rejects, the same test on the leaf's
//! groups (only the primitives of rejected groups are summed exactly); scenes of at most 32
//! primitives are summed exactly in primitive order. beta and epsilon are already resolved.
template <class T>
void compute(QueryScene<T> const& scene, Vec3 const* queries, unsigned long n, float beta,
             float epsilon, float* output);

//! Exact winding numbers: every primitive in primitive order with compensated summation, as
//! the brute-force kernel sums them. epsilon is already resolved.
template <class T>
void brute_force(QueryScene<T> const& scene, Vec3 const* queries, unsigned long n, float epsilon,
                 float* output);

//! The instruction set the SIMD code runs with on the calling thread ("x86_64_v4", "x86_64_v3",
//! "x86_64_v2", "baseline"): the best this machine runs, unless the environment variable
//! GYRANT_SIMD_TARGET names one (for reproducing a result on another machine) or a
//! ScopedTestHooks does. An unknown name, or one this machine does not run, makes this and every
//! query throw std::runtime_error saying which targets there are.
char const* simd_target();
//! Whether that target has fused multiply-adds. Without them (x86-64 below v3) the far field and
//! the exact terms round each product (the last bits of results differ from those of targets
//! with them); the accepted nodes and the kernel arithmetic are the same on every target.
bool simd_fuses();
//! The targets this build holds and this machine can run, best first.
std::vector<char const*> available_simd_targets();

}  // namespace gyrant::cpu

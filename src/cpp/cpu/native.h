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

namespace gyrant::cpu {

//! Whether engines build with the native code (the default) or with the emulated kernels. A test
//! hook: the emulated path is the reference the native one must match.
bool native_build();
void set_native_build(bool native);
//! The same for compute and brute_force.
bool native_queries();
void set_native_queries(bool native);

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
};

//! The whole build of a triangle engine from a soup of n triangles (9 floats each), n > 0:
//! the same values the kernels write into `out` (the 8-wide nodes in breadth-first order,
//! siblings in slot order), and the same scene parameters published for the device.
void build_triangles(float const* soup, unsigned long n, EngineBuffers const& out);
//! The same for a point engine from n positions and scaled normals (3 floats each), n > 0.
void build_points(float const* points, float const* normals, unsigned long n, EngineBuffers const& out);

//! Box and largest absolute coordinate of n points (3 floats each), NaN coordinates ignored:
//! lower corner +inf and upper corner -inf when no coordinate counts.
struct Spread {
    float lo[3], hi[3], magnitude;
};
Spread coordinate_spread(float const* points, unsigned long n);
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
    uint32_t child[8];          // Internal: WideNode index; Leaf: leaf index
    uint8_t leaf_mask;          // bit k: slot k is a Leaf
    uint8_t internal_mask;      // bit k: slot k is an Internal node
    //! Bit k: the expansion of slot k is evaluated by the kernels' code (non-finite stored
    //! coefficients, or magnitudes at which half/bfloat16 arithmetic could overflow), so that
    //! exactly the kernels' nodes are accepted.
    uint8_t kernel_evaluated;
    float far[8][FAR_TERMS];
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
};

//! Derives the walk's layout from a built engine's hierarchy (node_count > 0).
WideTree make_wide_tree(BVH8Node const* nodes, LeafPointers const* leaf_pointers,
                        TailorCoefficientsF16 const* node_coefficients,
                        TailorCoefficientsF16 const* leaf_coefficients, AABB const* leaf_boxes,
                        uint32_t node_count);

//! What a native query reads: the engine's sorted primitives and the walk layout.
template <class T>
struct QueryScene {
    SoAView<T> primitives;
    unsigned n_primitives;
    WideTree const* tree;  // null when there is no hierarchy (at most 32 primitives)
    float query_scale;     // the engine's frame: queries are multiplied by it
};

//! Winding numbers at n query points (caller's order in and out) through the hierarchy with
//! the kernels' acceptance test, expansions and exact contributions; scenes of at most 32
//! primitives are summed exactly in primitive order. beta and epsilon are already resolved.
template <class T>
void compute(QueryScene<T> const& scene, Vec3 const* queries, unsigned long n, float beta,
             float epsilon, float* output);

//! Exact winding numbers: every primitive in primitive order with compensated summation, as
//! the brute-force kernel sums them. epsilon is already resolved.
template <class T>
void brute_force(QueryScene<T> const& scene, Vec3 const* queries, unsigned long n, float epsilon,
                 float* output);

//! The instruction set the SIMD code runs with ("x86-64-v4", "x86-64-v3", "x86-64-v2",
//! "baseline").
char const* simd_target();
//! Whether that target has fused multiply-adds. Without them (x86-64 below v3) the far field and
//! the exact terms round each product (the last bits of results differ from those of targets
//! with them); the accepted nodes and the kernel arithmetic are the same on every target.
bool simd_fuses();
//! Test hook: the SIMD code of the named target (when this machine runs it) for later calls;
//! an empty name or nullptr restores the automatic choice. Returns whether the target is in use.
bool force_simd_target(char const* name);
//! The targets this build holds and this machine can run, best first.
std::vector<char const*> available_simd_targets();

//! Test hook that makes native results equal the kernels' bit for bit: contributions use the
//! kernels' own operations (no fused multiply-adds, the C library's atan2f) and expansions the
//! kernels' half/bfloat16 operations (emulated in vectors) instead of single precision. It is
//! slower, and it changes no accepted node.
void set_kernel_arithmetic(bool on);

}  // namespace gyrant::cpu

// Native nearest walk: one query at a time per thread, in Morton order, each starting from the
// leaf of the previous query's primitive (neighbours share their nearest primitive, or have one
// close by, so the walk starts with a tight bound and prunes almost everything). Batches of
// Morton neighbours share one descent of the tree (see "batches" below).
#include "cpu/nearest.h"

#include "cpu/team.h"
#include "host/flush_to_zero.h"
#include "kernels/common.h"
#include "kernels/nearest.h"
#include "size_limits.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace gyrant::cpu {
namespace {

constexpr uint32_t NONE = 0xFFFFFFFFu;
//! Queries a thread claims at a time: Morton neighbours stay on one thread, so the warm start
//! holds across them.
constexpr size_t NEAREST_CHUNK = 256;

//! How many queries ahead of the walk its coordinates are fetched (a walk takes about a microsecond).
constexpr size_t QUERY_PREFETCH = 4;

struct StackEntry {
    uint32_t entry;  // WideTree entry, or a leaf with LEAF_ENTRY set
    float bound;     // lower bound of its squared distance when pushed
};
constexpr uint32_t LEAF_ENTRY = 0x80000000u;

//! Box of primitive i of the sorted storage.
template <class T>
void primitive_box(SoAView<T> const& view, unsigned i, unsigned n, float (&lo)[3], float (&hi)[3]) {
    T const p = T::load(view, i, n);
    if constexpr (std::is_same_v<T, Triangle>) {
        lo[0] = std::fmin(std::fmin(p.v0.x, p.v1.x), p.v2.x);
        lo[1] = std::fmin(std::fmin(p.v0.y, p.v1.y), p.v2.y);
        lo[2] = std::fmin(std::fmin(p.v0.z, p.v1.z), p.v2.z);
        hi[0] = std::fmax(std::fmax(p.v0.x, p.v1.x), p.v2.x);
        hi[1] = std::fmax(std::fmax(p.v0.y, p.v1.y), p.v2.y);
        hi[2] = std::fmax(std::fmax(p.v0.z, p.v1.z), p.v2.z);
    } else {
        lo[0] = hi[0] = p.position.x;
        lo[1] = hi[1] = p.position.y;
        lo[2] = hi[2] = p.position.z;
    }
}

//! Queries in Morton order over the scene box grown by its extent on every side (queries around
//! the surface keep their neighbours too).
std::vector<uint32_t> morton_order(Vec3 const* queries, size_t n, float scale, AABB const& scene_box) {
    SceneParams const params = query_curve(scene_box);
    // On one thread: a team's barriers cost more than this sort on a machine shared with other
    // work (every pass waits for a descheduled thread), and the walk that follows needs no order
    // beyond coherence: the top 32 bits of the 63-bit codes (cells of a 1/550 of the grown box
    // per axis) are enough, in three passes of 11 bits whose counts stay in the first-level
    // cache. Passes that move nothing are skipped.
    std::vector<uint32_t> keys(n), key_scratch(n);
    std::vector<uint32_t> order(n), order_scratch(n);
    for (size_t i = 0; i < n; ++i) {
        keys[i] = static_cast<uint32_t>(morton_code_of(queries[i] * scale, params) >> 31);
        order[i] = static_cast<uint32_t>(i);
    }
    constexpr unsigned DIGIT = 11, BUCKETS = 1u << DIGIT;
    std::vector<uint32_t> counts(BUCKETS);
    for (unsigned shift = 0; shift < 32; shift += DIGIT) {
        std::fill(counts.begin(), counts.end(), 0u);
        for (size_t i = 0; i < n; ++i) ++counts[(keys[i] >> shift) & (BUCKETS - 1)];
        if (counts[(keys[0] >> shift) & (BUCKETS - 1)] == n) continue;
        uint32_t offset = 0;
        for (uint32_t& c : counts) offset += std::exchange(c, offset);
        for (size_t i = 0; i < n; ++i) {
            uint32_t const at = counts[(keys[i] >> shift) & (BUCKETS - 1)]++;
            key_scratch[at] = keys[i];
            order_scratch[at] = order[i];
        }
        keys.swap(key_scratch);
        order.swap(order_scratch);
    }
    return order;
}


// ---- the leaf scan, eight primitives per step ---------------------------------------------------
// GCC's vector types: one source, SSE2 by default and AVX2 where the CPU has it (target_clones
// picks at load time). Every lane repeats the scalar formulas of kernels/nearest.h operation by
// operation (nothing is contracted in this file), so the squared distances are the kernel's bits.

// The helpers below are always inlined, so no vector ever crosses a call: the ABI note is moot.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef float F8 __attribute__((vector_size(32)));
typedef int M8 __attribute__((vector_size(32)));

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define GYRANT_LEAF_CLONES __attribute__((target_clones("default", "arch=x86-64-v3")))
#else
#define GYRANT_LEAF_CLONES
#endif

struct V8 {
    F8 x, y, z;
};
[[gnu::always_inline]] inline V8 operator-(V8 const& a, V8 const& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
[[gnu::always_inline]] inline F8 dot(V8 const& a, V8 const& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
[[gnu::always_inline]] inline V8 cross(V8 const& a, V8 const& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
[[gnu::always_inline]] inline F8 vmax(F8 a, F8 b) { return a > b ? a : b; }  // fmaxf for the values met here
[[gnu::always_inline]] inline F8 vmin(F8 a, F8 b) { return a < b ? a : b; }
[[gnu::always_inline]] inline F8 splat(float v) { return F8{} + v; }

//! may_improve, lane by lane (a NaN lane never improves).
[[gnu::always_inline]] inline M8 improves(F8 d2, float best, bool found) {
    return found ? d2 < splat(best) : d2 <= splat(best);
}
//! Lane k of a comparison's mask as bit k.
[[gnu::always_inline]] inline unsigned lane_bits(M8 m) {
    unsigned bits = 0;
    for (unsigned k = 0; k < 8; ++k) bits |= static_cast<unsigned>(m[k] & 1) << k;
    return bits;
}

//! segment_distance2, eight segments.
[[gnu::always_inline]] inline F8 segment_distance2_8(V8 const& a, V8 const& ab, V8 const& q) {
    V8 const ap = q - a;
    F8 const l2 = dot(ab, ab);
    F8 const zero = splat(0.0f);
    F8 s = l2 > zero ? dot(ap, ab) / l2 : zero;
    s = vmin(vmax(s, zero), splat(1.0f));  // a NaN ratio fails both tests: 0, as fmaxf gives
    V8 const d{ap.x - ab.x * s, ap.y - ab.y * s, ap.z - ab.z * s};
    return dot(d, d);
}

//! Eight consecutive primitives of the sorted storage (lanes past `count` repeat the first one).
[[gnu::always_inline]] inline void load8(SoAView<Triangle> const& v, unsigned first, unsigned count, V8 (&c)[3]) {
    for (int k = 0; k < 3; ++k)
        for (int a = 0; a < 3; ++a) {
            float const* plane = v.data + (3 * k + a) * v.stride + first;
            F8 lanes;
            if (count == 8) {
                std::memcpy(&lanes, plane, sizeof lanes);  // every leaf but the last
            } else {
                for (unsigned j = 0; j < 8; ++j) lanes[j] = plane[j < count ? j : 0];
            }
            (a == 0 ? c[k].x : a == 1 ? c[k].y : c[k].z) = lanes;
        }
}

//! box_distance2 with plain comparisons for fmaxf (a library call here): the boxes hold no NaN.
[[gnu::always_inline]] inline float gap(float lo, float hi, float x) {
    float const below = lo - x, above = x - hi;
    float const g = below > above ? below : above;
    return g > 0.0f ? g : 0.0f;
}

typedef float F4 __attribute__((vector_size(16)));
//! The squared gaps between eight boxes (rows of eight floats: lower x, y, z, upper x, y, z) and
//! the box [l, h] (a point: l = h), all at once; lanes past the boxes are masked by the caller.
[[gnu::always_inline]] inline F8 gaps2(float const* const (&rows)[6], F8 lx, F8 ly, F8 lz, F8 hx, F8 hy, F8 hz) {
    F8 lo_x, lo_y, lo_z, hi_x, hi_y, hi_z;
    std::memcpy(&lo_x, rows[0], sizeof lo_x);
    std::memcpy(&lo_y, rows[1], sizeof lo_y);
    std::memcpy(&lo_z, rows[2], sizeof lo_z);
    std::memcpy(&hi_x, rows[3], sizeof hi_x);
    std::memcpy(&hi_y, rows[4], sizeof hi_y);
    std::memcpy(&hi_z, rows[5], sizeof hi_z);
    F8 const zero = splat(0.0f);
    F8 const dx = vmax(vmax(lo_x - hx, lx - hi_x), zero);
    F8 const dy = vmax(vmax(lo_y - hy, ly - hi_y), zero);
    F8 const dz = vmax(vmax(lo_z - hz, lz - hi_z), zero);
    return dx * dx + dy * dy + dz * dz;
}
[[gnu::always_inline]] inline F4 load4(float const* p) {
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
[[gnu::always_inline]] inline F4 vmax4(F4 a, F4 b) { return a > b ? a : b; }
[[gnu::always_inline]] inline F4 vabs4(F4 a) { return a < F4{} ? -a : a; }

//! Lower bounds of the squared distances to a leaf's four groups (all 0 without their frames).
//! The projections of q - c on the axes are computed in float: each gap is shrunk by more than
//! their rounding (6 units of 2^-24 of |q - c|_1), and the sum by more than the axes' departure
//! from orthonormal (their float rounding), so that no bound exceeds a true distance.
[[gnu::always_inline]] inline void bounds_of_groups(GroupFrames const* g, Vec3 const& q, float (&bound)[4]) {
    if (g == nullptr) {
        for (float& b : bound) b = 0.0f;
        return;
    }
    F4 const dx = q.x - load4(g->c_x), dy = q.y - load4(g->c_y), dz = q.z - load4(g->c_z);
    F4 const margin = 1e-6f * (vabs4(dx) + vabs4(dy) + vabs4(dz));
    F4 const pu = load4(g->u_x) * dx + load4(g->u_y) * dy + load4(g->u_z) * dz;
    F4 const pv = load4(g->v_x) * dx + load4(g->v_y) * dy + load4(g->v_z) * dz;
    F4 const pn = load4(g->n_x) * dx + load4(g->n_y) * dy + load4(g->n_z) * dz;
    F4 const zero{};
    F4 const gu = vmax4(vmax4(load4(g->lo_u) - pu, pu - load4(g->hi_u)) - margin, zero);
    F4 const gv = vmax4(vmax4(load4(g->lo_v) - pv, pv - load4(g->hi_v)) - margin, zero);
    F4 const gn = vmax4(vmax4(load4(g->lo_n) - pn, pn - load4(g->hi_n)) - margin, zero);
    F4 const b = (gu * gu + gv * gv + gn * gn) * 0.99999f;
    std::memcpy(bound, &b, sizeof b);
}

//! The groups of a leaf of `count` primitives in the order to scan them: nearest bound first, so
//! that the first one tightens the best before the others are tested (stable: ties in group
//! order). Returns how many; rank[j] is a group.
[[gnu::always_inline]] inline unsigned group_order(float const (&bound)[4], unsigned count, unsigned (&rank)[4]) {
    unsigned const groups = (count + 7) / 8;
    for (unsigned g = 0; g < groups; ++g) {
        unsigned j = g;
        for (; j > 0 && bound[rank[j - 1]] > bound[g]; --j) rank[j] = rank[j - 1];
        rank[j] = g;
    }
    return groups;
}

//! The group of `lanes` (1 to 8) primitives from `at` of the sorted storage: best and found
//! updated where one of them is nearer.
[[gnu::always_inline]] inline void scan_group(SoAView<Triangle> const& view, unsigned at, unsigned lanes,
                                              Vec3 const& qs, float& best, uint32_t& found) {
    V8 const q{splat(qs.x), splat(qs.y), splat(qs.z)};
    F8 const zero = splat(0.0f);
    V8 v[3];
    load8(view, at, lanes, v);
    // The boxes first: most steps end here.
    F8 const lo_x = vmin(vmin(v[0].x, v[1].x), v[2].x), hi_x = vmax(vmax(v[0].x, v[1].x), v[2].x);
    F8 const lo_y = vmin(vmin(v[0].y, v[1].y), v[2].y), hi_y = vmax(vmax(v[0].y, v[1].y), v[2].y);
    F8 const lo_z = vmin(vmin(v[0].z, v[1].z), v[2].z), hi_z = vmax(vmax(v[0].z, v[1].z), v[2].z);
    F8 const dx = vmax(vmax(lo_x - q.x, q.x - hi_x), zero);
    F8 const dy = vmax(vmax(lo_y - q.y, q.y - hi_y), zero);
    F8 const dz = vmax(vmax(lo_z - q.z, q.z - hi_z), zero);
    F8 const bound = dx * dx + dy * dy + dz * dz;
    // may_improve against the best so far, all lanes at once: a lane that fails it now fails
    // it against every later (smaller) best, so only the lanes left need the scalar test.
    M8 const lane_ok = M8{0, 1, 2, 3, 4, 5, 6, 7} < static_cast<int>(lanes);
    unsigned const near = lane_bits(lane_ok & improves(bound, best, found != NONE));
    if (near == 0) return;
    V8 const ab = v[1] - v[0], bc = v[2] - v[1], ca = v[0] - v[2];
    V8 const n3 = cross(ab, v[2] - v[0]);
    F8 const nn = dot(n3, n3);
    V8 const ap = q - v[0], bp = q - v[1], cp = q - v[2];
    M8 const inside = (nn > zero) & (dot(cross(ab, ap), n3) >= zero) & (dot(cross(bc, bp), n3) >= zero) &
                      (dot(cross(ca, cp), n3) >= zero);
    F8 const d0 = segment_distance2_8(v[0], ab, q);
    F8 const d1 = segment_distance2_8(v[1], bc, q);
    F8 const d2 = segment_distance2_8(v[2], ca, q);
    F8 edge = d1 < d0 ? d1 : d0;
    edge = d2 < edge ? d2 : edge;
    F8 const t = dot(n3, ap) / nn;
    V8 const offset{n3.x * t, n3.y * t, n3.z * t};
    F8 const plane = dot(offset, offset);
    F8 const d = inside ? (plane <= edge ? plane : edge) : edge;
    for (unsigned left = near & lane_bits(improves(d, best, found != NONE)); left != 0; left &= left - 1) {
        // The scalar scan's skip, lane by lane, so that both keep the same candidate.
        unsigned const j = static_cast<unsigned>(__builtin_ctz(left));
        if (!may_improve(bound[j], best, found != NONE)) continue;
        if (may_improve(d[j], best, found != NONE)) {
            best = d[j];
            found = at + j;
        }
    }
}

[[gnu::always_inline]] inline void scan_group(SoAView<PointNormal> const& view, unsigned at, unsigned lanes,
                                              Vec3 const& qs, float& best, uint32_t& found) {
    F8 px, py, pz;
    if (lanes == 8) {
        std::memcpy(&px, view.data + at, sizeof px);
        std::memcpy(&py, view.data + view.stride + at, sizeof py);
        std::memcpy(&pz, view.data + 2 * view.stride + at, sizeof pz);
    } else {
        for (unsigned j = 0; j < 8; ++j) {
            unsigned const i = at + (j < lanes ? j : 0);
            px[j] = view.data[i];
            py[j] = view.data[view.stride + i];
            pz[j] = view.data[2 * view.stride + i];
        }
    }
    F8 const dx = px - qs.x, dy = py - qs.y, dz = pz - qs.z;
    F8 const d = dx * dx + dy * dy + dz * dz;
    for (unsigned j = 0; j < lanes; ++j)
        if (may_improve(d[j], best, found != NONE)) {
            best = d[j];
            found = at + j;
        }
}

//! The leaf of `count` primitives from `first`: its groups nearest first, each skipped where its
//! bound cannot improve the best.
template <class View>
[[gnu::always_inline]] inline void scan_leaf(View const& view, GroupFrames const* groups, unsigned first,
                                             unsigned count, Vec3 const& qs, float& best, uint32_t& found) {
    float group_bound[4];
    bounds_of_groups(groups, qs, group_bound);
    unsigned rank[4];
    unsigned const n_groups = group_order(group_bound, count, rank);
    for (unsigned r = 0; r < n_groups; ++r) {
        unsigned const start = 8 * rank[r];
        if (!may_improve(group_bound[rank[r]], best, found != NONE)) continue;
        scan_group(view, first + start, std::min(8u, count - start), qs, best, found);
    }
}

//! One query's walk: the nearest primitive below max_distance2 (NONE if none), its squared
//! distance in best. `hint` is a primitive to start from (NONE: none). `stack` holds
//! WideTree::stack_capacity entries.
//! Scans the leaf of hint (the previous query's nearest primitive), if any, and returns it (or
//! NONE): the walk then skips that leaf, whose every primitive was scanned or bounded away from
//! the best, which only shrinks.
template <class View>
[[gnu::always_inline]] inline unsigned scan_hint_leaf(View const& view, GroupFrames const* groups, unsigned n,
                                                      uint32_t hint, Vec3 const& q, float& best, uint32_t& found) {
    if (hint == NONE) return NONE;
    unsigned const leaf = hint / PRIMITIVES_PER_LEAF, first = leaf * PRIMITIVES_PER_LEAF;
    scan_leaf(view, &groups[leaf], first, std::min(PRIMITIVES_PER_LEAF, n - first), q, best, found);
    return leaf;
}

template <class T>
[[gnu::always_inline]] inline uint32_t walk_query(QueryScene<T> const& scene, NearestTree const* boxes,
                                                  StackEntry* stack, float max_distance2, Vec3 const& q,
                                                  uint32_t hint, float& best) {
    unsigned const n = scene.n_primitives;
    best = max_distance2;
    uint32_t found = NONE;
    if (hint != NONE && scene.tree == nullptr) {
        Vec3 point;
        float const d2 = primitive_distance2(T::load(scene.primitives, hint, n), q, point);
        if (may_improve(d2, best, false)) {
            best = d2;
            found = hint;
        }
    }
    if (scene.tree == nullptr) {
        for (unsigned first = 0; first < n; first += PRIMITIVES_PER_LEAF)
            scan_leaf(scene.primitives, nullptr, first, std::min(PRIMITIVES_PER_LEAF, n - first), q, best, found);
        return found;
    }
    WideNode const* const nodes = scene.tree->nodes.data();
    SlotBoxes const* const slot_boxes = boxes->boxes.data();
    GroupFrames const* const group_boxes = boxes->groups.data();
    // The hint's leaf first: the nearest primitive is usually there or beside it, and the bound
    // it gives prunes most of the descent.
    unsigned const skip_leaf = scan_hint_leaf(scene.primitives, group_boxes, n, hint, q, best, found);
    F8 const qx = splat(q.x), qy = splat(q.y), qz = splat(q.z);
    unsigned s = 0;
    stack[s++] = {0, 0.0f};
    while (s > 0) {
        StackEntry const top = stack[--s];
        if (!may_improve(top.bound, best, found != NONE)) continue;
        if (top.entry & LEAF_ENTRY) {
            unsigned const leaf = top.entry & ~LEAF_ENTRY;
            if (leaf == skip_leaf) continue;
            unsigned const first = leaf * PRIMITIVES_PER_LEAF;
            scan_leaf(scene.primitives, &group_boxes[leaf], first, std::min(PRIMITIVES_PER_LEAF, n - first), q, best,
                      found);
            continue;
        }
        WideNode const& w = nodes[top.entry];
        SlotBoxes const& b = slot_boxes[top.entry];
        // Empty slots are masked below, whatever their boxes give.
        F8 const bound = gaps2({b.lo_x, b.lo_y, b.lo_z, b.hi_x, b.hi_y, b.hi_z}, qx, qy, qz, qx, qy, qz);
        // may_improve, lane by lane.
        unsigned mask =
            lane_bits(improves(bound, best, found != NONE)) & static_cast<unsigned>(w.leaf_mask | w.internal_mask);
        if (mask == 0) continue;
        // The children worth a visit, nearest first (insertion sort of at most 8, usually one or two).
        StackEntry pending[8];
        unsigned m = 0;
        for (; mask != 0; mask &= mask - 1) {
            unsigned const k = static_cast<unsigned>(__builtin_ctz(mask));
            StackEntry const e{w.child[k] | (((w.leaf_mask >> k) & 1u) ? LEAF_ENTRY : 0u), bound[k]};
            unsigned j = m++;
            for (; j > 0 && pending[j - 1].bound > e.bound; --j) pending[j] = pending[j - 1];
            pending[j] = e;
        }
        // The stack holds 8 entries per level (WideTree::stack_capacity): no overflow.
        for (unsigned j = m; j-- > 0;) stack[s++] = pending[j];
    }
    return found;
}

// ---- batches of neighbouring queries --------------------------------------------------------
// Queries close along the Morton order share most of their descent. A batch's first query walks
// the tree; its distance d0 bounds every other query's: |q - q0| + d0 (the first one's primitive
// is that close). One descent then gathers the leaves within that reach of the batch's box, and
// the batch's other queries scan only those, best first over the leaves' boxes and their groups'
// frames. A leaf left out is farther from every query of the batch than a primitive that each of
// them scans, so no distance changes (among primitives at the same distance, the one kept may).

//! Queries per batch (Morton neighbours; 32 gathered too many leaves on CGAL's meshes).
constexpr unsigned BATCH = 16;
//! Most leaves a batch gathers; beyond, its queries walk the tree each.
constexpr unsigned CANDIDATES = 96;

//! The leaves a batch gathered: their boxes (from their parents' slots) in rows of CANDIDATES.
static_assert(CANDIDATES % 8 == 0, "whole vectors of eight boxes");
struct alignas(32) Candidates {
    float lo_x[CANDIDATES], lo_y[CANDIDATES], lo_z[CANDIDATES], hi_x[CANDIDATES], hi_y[CANDIDATES], hi_z[CANDIDATES];
    uint32_t leaf[CANDIDATES];
    unsigned count;
};

//! Every leaf whose box comes within sqrt(reach2) of the box [lo, hi], into c; false where more
//! than CANDIDATES do. `stack` holds WideTree::stack_capacity entries.
[[gnu::always_inline]] inline bool gather_leaves(WideNode const* nodes, SlotBoxes const* slot_boxes,
                                                 StackEntry* stack, Vec3 const& lo, Vec3 const& hi, float reach2,
                                                 Candidates& c) {
    F8 const lx = splat(lo.x), ly = splat(lo.y), lz = splat(lo.z);
    F8 const hx = splat(hi.x), hy = splat(hi.y), hz = splat(hi.z);
    c.count = 0;
    unsigned s = 0;
    stack[s++] = {0, 0.0f};
    while (s > 0) {
        uint32_t const entry = stack[--s].entry;
        WideNode const& w = nodes[entry];
        SlotBoxes const& b = slot_boxes[entry];
        F8 const gap = gaps2({b.lo_x, b.lo_y, b.lo_z, b.hi_x, b.hi_y, b.hi_z}, lx, ly, lz, hx, hy, hz);
        unsigned mask = lane_bits(gap <= splat(reach2)) & static_cast<unsigned>(w.leaf_mask | w.internal_mask);
        for (; mask != 0; mask &= mask - 1) {
            unsigned const k = static_cast<unsigned>(__builtin_ctz(mask));
            if (((w.leaf_mask >> k) & 1u) == 0) {
                stack[s++] = {w.child[k], 0.0f};  // 8 entries per level at most, as in the walk
                continue;
            }
            if (c.count == CANDIDATES) return false;
            unsigned const j = c.count++;
            c.lo_x[j] = b.lo_x[k], c.lo_y[j] = b.lo_y[k], c.lo_z[j] = b.lo_z[k];
            c.hi_x[j] = b.hi_x[k], c.hi_y[j] = b.hi_y[k], c.hi_z[j] = b.hi_z[k];
            c.leaf[j] = w.child[k];
        }
    }
    // The last row's lanes past the count are read (and masked): empty boxes, never garbage.
    for (unsigned j = c.count; j % 8 != 0; ++j) {
        c.lo_x[j] = c.lo_y[j] = c.lo_z[j] = INFINITY;
        c.hi_x[j] = c.hi_y[j] = c.hi_z[j] = -INFINITY;
        c.leaf[j] = NONE;
    }
    return true;
}

//! walk_query over a batch's gathered leaves instead of the tree (scene.tree is not null).
template <class T>
[[gnu::always_inline]] inline uint32_t walk_candidates(QueryScene<T> const& scene, NearestTree const* boxes,
                                                       Candidates const& c, float max_distance2, Vec3 const& q,
                                                       uint32_t hint, float& best) {
    unsigned const n = scene.n_primitives;
    GroupFrames const* const group_boxes = boxes->groups.data();
    best = max_distance2;
    uint32_t found = NONE;
    unsigned const skip_leaf = scan_hint_leaf(scene.primitives, group_boxes, n, hint, q, best, found);
    F8 const qx = splat(q.x), qy = splat(q.y), qz = splat(q.z);
    // Best first over leaves (their boxes) and groups (their frames), held in descending order of
    // their bounds: the nearest is at the back. Once it cannot improve, nothing left can.
    StackEntry queue[CANDIDATES * 5];  // every leaf, and four groups of each
    unsigned m = 0;
    auto const push = [&](StackEntry const& e) {
        unsigned j = m++;
        for (; j > 0 && queue[j - 1].bound < e.bound; --j) queue[j] = queue[j - 1];
        queue[j] = e;
    };
    for (unsigned first = 0; first < c.count; first += 8) {
        F8 const bound = gaps2({c.lo_x + first, c.lo_y + first, c.lo_z + first, c.hi_x + first, c.hi_y + first,
                                c.hi_z + first},
                               qx, qy, qz, qx, qy, qz);
        M8 const lane_ok = M8{0, 1, 2, 3, 4, 5, 6, 7} < static_cast<int>(c.count - first);
        for (unsigned mask = lane_bits(lane_ok & improves(bound, best, found != NONE)); mask != 0; mask &= mask - 1) {
            unsigned const k = static_cast<unsigned>(__builtin_ctz(mask));
            if (c.leaf[first + k] != skip_leaf) push({c.leaf[first + k] | LEAF_ENTRY, bound[k]});
        }
    }
    while (m > 0) {
        StackEntry const e = queue[--m];
        if (!may_improve(e.bound, best, found != NONE)) break;
        if (e.entry & LEAF_ENTRY) {
            unsigned const leaf = e.entry & ~LEAF_ENTRY;
            unsigned const count = std::min(PRIMITIVES_PER_LEAF, n - leaf * PRIMITIVES_PER_LEAF);
            float group_bound[4];
            bounds_of_groups(&group_boxes[leaf], q, group_bound);
            for (unsigned g = 0; 8 * g < count; ++g)
                if (may_improve(group_bound[g], best, found != NONE)) push({4 * leaf + g, group_bound[g]});
            continue;
        }
        unsigned const at = (e.entry / 4) * PRIMITIVES_PER_LEAF + 8 * (e.entry % 4);
        scan_group(scene.primitives, at, std::min(8u, n - at), q, best, found);
    }
    return found;
}

//! The walk of one chunk of the Morton order, compiled for each instruction set (the vectors
//! above stay in registers of the widest one the CPU has).
struct ChunkArgs {
    float max_distance2;
    float inverse_scale;
    uint32_t const* sorted_indices;
    Vec3 const* queries;
    uint32_t const* order;  // empty: the identity
    NearestOutput out;
};

//! The leaves the queries of slots [from, to) need, given the batch head q0 and its nearest
//! squared distance best0 (engine's frame); false where they are too many to gather.
template <class T>
[[gnu::always_inline]] inline bool gather_batch(QueryScene<T> const& scene, NearestTree const* boxes,
                                                StackEntry* stack, ChunkArgs const& a, Vec3 const& q0, float best0,
                                                size_t from, size_t to, Candidates& c) {
    if (from >= to) return false;
    Vec3 lo = q0, hi = q0;
    float spread2 = 0.0f;
    for (size_t slot = from; slot < to; ++slot) {
        Vec3 const raw = a.queries[a.order == nullptr ? slot : a.order[slot]];
        if (!finite_query(raw)) continue;  // not walked
        Vec3 const q = in_engine_frame(raw, scene.query_scale);
        lo = {std::min(lo.x, q.x), std::min(lo.y, q.y), std::min(lo.z, q.z)};
        hi = {std::max(hi.x, q.x), std::max(hi.y, q.y), std::max(hi.z, q.z)};
        float const d2 = (q - q0).length2();
        if (!(d2 <= spread2)) spread2 = d2;  // NaN too: then nothing is gathered
    }
    // The reach of every query: its distance to q0's primitive, at most sqrt(best0) + |q - q0|,
    // widened far beyond the float rounding of the distances and of the boxes' gaps (a few units of
    // 2^-24 of the coordinates).
    float const size = std::max({std::fabs(lo.x), std::fabs(lo.y), std::fabs(lo.z), std::fabs(hi.x), std::fabs(hi.y),
                                 std::fabs(hi.z)});
    float const reach = (std::sqrt(best0) + std::sqrt(spread2)) * 1.001f + 1e-4f * size;
    float const reach2 = reach * reach;
    if (!(reach2 <= 3.40282347e38f)) return false;
    return gather_leaves(scene.tree->nodes.data(), boxes->boxes.data(), stack, lo, hi, reach2, c);
}

template <class T>
[[gnu::always_inline]] inline void walk_chunk_body(QueryScene<T> const& scene, NearestTree const* boxes,
                                                   StackEntry* stack, ChunkArgs const& a, size_t begin,
                                                   size_t end) {
    float const nan = std::numeric_limits<float>::quiet_NaN();
    uint32_t hint = NONE;
    Candidates gathered;
    bool batch_gathered = false;
    for (size_t slot = begin; slot < end; ++slot) {
        size_t const i = a.order == nullptr ? slot : a.order[slot];
        if (a.order != nullptr && slot + QUERY_PREFETCH < end) {
            // The Morton order scatters the caller's rows: fetch a later query ahead of its walk.
            size_t const later = a.order[slot + QUERY_PREFETCH];
            __builtin_prefetch(&a.queries[later]);
            __builtin_prefetch(&a.out.distance[later], 1);
        }
        Vec3 const raw = a.queries[i];
        bool const finite = finite_query(raw);
        uint32_t found = NONE;
        float best = 0.0f;
        Vec3 const q = in_engine_frame(raw, scene.query_scale);
        bool const batch_head = (slot - begin) % BATCH == 0;
        if (batch_head) batch_gathered = false;
        if (finite) {
            found = !batch_head && batch_gathered
                        ? walk_candidates(scene, boxes, gathered, a.max_distance2, q, hint, best)
                        : walk_query(scene, boxes, stack, a.max_distance2, q, hint, best);
        }
        if (batch_head && found != NONE && scene.tree != nullptr)
            batch_gathered = gather_batch(scene, boxes, stack, a, q, best, slot + 1, std::min(end, slot + BATCH),
                                          gathered);
        Vec3 point{nan, nan, nan};
        float distance = finite ? INFINITY : nan;
        if (found != NONE) {
            hint = found;
            if (a.out.points != nullptr || !(best <= 3.40282347e38f)) {
                Vec3 closest;
                primitive_distance2(T::load(scene.primitives, found, scene.n_primitives), q, closest);
                distance = nearest_distance(best, closest, q) * a.inverse_scale;
                point = closest * a.inverse_scale;
            } else {
                distance = sqrtf(best) * a.inverse_scale;  // nearest_distance without the point it needs no more
            }
        }
        a.out.distance[i] = distance;
        if (a.out.points != nullptr) {
            a.out.points[3 * i + 0] = point.x;
            a.out.points[3 * i + 1] = point.y;
            a.out.points[3 * i + 2] = point.z;
        }
        if (a.out.index != nullptr)
            a.out.index[i] = found != NONE ? static_cast<int64_t>(a.sorted_indices[found]) : NO_PRIMITIVE;
    }
}

GYRANT_LEAF_CLONES
void walk_chunk(QueryScene<Triangle> const& scene, NearestTree const* boxes, StackEntry* stack, ChunkArgs const& a,
                size_t begin, size_t end) {
    walk_chunk_body(scene, boxes, stack, a, begin, end);
}
GYRANT_LEAF_CLONES
void walk_chunk(QueryScene<PointNormal> const& scene, NearestTree const* boxes, StackEntry* stack,
                ChunkArgs const& a, size_t begin, size_t end) {
    walk_chunk_body(scene, boxes, stack, a, begin, end);
}

//! The corners of primitive i (a point: its position, three times) and the direction a patch of
//! such primitives faces (a triangle's area normal, a point's scaled normal), in double.
void corners_and_facing(SoAView<Triangle> const& view, unsigned i, unsigned n, double (&c)[3][3], double (&f)[3]) {
    Triangle const t = Triangle::load(view, i, n);
    Vec3 const v[3] = {t.v0, t.v1, t.v2};
    for (int k = 0; k < 3; ++k) c[k][0] = v[k].x, c[k][1] = v[k].y, c[k][2] = v[k].z;
    double const a[3] = {c[1][0] - c[0][0], c[1][1] - c[0][1], c[1][2] - c[0][2]};
    double const b[3] = {c[2][0] - c[0][0], c[2][1] - c[0][1], c[2][2] - c[0][2]};
    f[0] = a[1] * b[2] - a[2] * b[1];
    f[1] = a[2] * b[0] - a[0] * b[2];
    f[2] = a[0] * b[1] - a[1] * b[0];
}
void corners_and_facing(SoAView<PointNormal> const& view, unsigned i, unsigned n, double (&c)[3][3],
                        double (&f)[3]) {
    PointNormal const p = PointNormal::load(view, i, n);
    for (int k = 0; k < 3; ++k) c[k][0] = p.position.x, c[k][1] = p.position.y, c[k][2] = p.position.z;
    f[0] = p.normal.x, f[1] = p.normal.y, f[2] = p.normal.z;
}

//! Group `group` of g: primitives [first, last), whose axis-aligned box is [lo, hi], as an
//! oriented box. The axes are rounded to float first and the ranges taken along the rounded
//! axes in double, widened and rounded outward, so that they hold every corner exactly.
template <class T>
void set_group_frame(SoAView<T> const& view, unsigned n, unsigned first, unsigned last, float const (&lo)[3],
                     float const (&hi)[3], GroupFrames& g, unsigned group) {
    float axis[3][3] = {{1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 1.0f}};  // u, v, n
    float centre[3] = {0.0f, 0.0f, 0.0f};
    float range_lo[3] = {INFINITY, INFINITY, INFINITY}, range_hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    bool const finite = std::isfinite(lo[0]) && std::isfinite(lo[1]) && std::isfinite(lo[2]) &&
                        std::isfinite(hi[0]) && std::isfinite(hi[1]) && std::isfinite(hi[2]);
    if (first < last && !finite) {
        // Unbounded: never pruned (and a primitive with a NaN corner is never found).
        for (int k = 0; k < 3; ++k) range_lo[k] = -INFINITY, range_hi[k] = INFINITY;
    } else if (first < last) {
        for (int k = 0; k < 3; ++k) centre[k] = 0.5f * lo[k] + 0.5f * hi[k];
        double facing[3] = {0.0, 0.0, 0.0};
        for (unsigned i = first; i < last; ++i) {
            double c[3][3], f[3];
            corners_and_facing(view, i, n, c, f);
            for (int k = 0; k < 3; ++k) facing[k] += f[k];
        }
        double const len = std::sqrt(facing[0] * facing[0] + facing[1] * facing[1] + facing[2] * facing[2]);
        if (len > 0.0 && std::isfinite(len)) {
            double const nn[3] = {facing[0] / len, facing[1] / len, facing[2] / len};
            // u: across n and the coordinate axis least along it; v completes the frame.
            int const e = std::fabs(nn[0]) <= std::fabs(nn[1]) && std::fabs(nn[0]) <= std::fabs(nn[2]) ? 0
                          : std::fabs(nn[1]) <= std::fabs(nn[2])                                       ? 1
                                                                                                        : 2;
            double const ex[3] = {e == 0 ? 1.0 : 0.0, e == 1 ? 1.0 : 0.0, e == 2 ? 1.0 : 0.0};
            double u[3] = {nn[1] * ex[2] - nn[2] * ex[1], nn[2] * ex[0] - nn[0] * ex[2], nn[0] * ex[1] - nn[1] * ex[0]};
            double const ul = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
            for (double& x : u) x /= ul;
            double const v[3] = {nn[1] * u[2] - nn[2] * u[1], nn[2] * u[0] - nn[0] * u[2], nn[0] * u[1] - nn[1] * u[0]};
            for (int k = 0; k < 3; ++k) {
                axis[0][k] = static_cast<float>(u[k]);
                axis[1][k] = static_cast<float>(v[k]);
                axis[2][k] = static_cast<float>(nn[k]);
            }
        }
        double plo[3] = {INFINITY, INFINITY, INFINITY}, phi[3] = {-INFINITY, -INFINITY, -INFINITY}, reach = 0.0;
        for (unsigned i = first; i < last; ++i) {
            double c[3][3], f[3];
            corners_and_facing(view, i, n, c, f);
            for (auto const& corner : c) {
                double const d[3] = {corner[0] - centre[0], corner[1] - centre[1], corner[2] - centre[2]};
                reach = std::max({reach, std::fabs(d[0]), std::fabs(d[1]), std::fabs(d[2])});
                for (int a = 0; a < 3; ++a) {
                    double const p = double{axis[a][0]} * d[0] + double{axis[a][1]} * d[1] + double{axis[a][2]} * d[2];
                    plo[a] = std::min(plo[a], p);
                    phi[a] = std::max(phi[a], p);
                }
            }
        }
        for (int a = 0; a < 3; ++a) {
            // Far above the double rounding of the projections; then outward to float.
            double const l = plo[a] - 1e-9 * reach, h = phi[a] + 1e-9 * reach;
            float fl = static_cast<float>(l), fh = static_cast<float>(h);
            if (double{fl} > l) fl = std::nextafter(fl, -INFINITY);
            if (double{fh} < h) fh = std::nextafter(fh, INFINITY);
            range_lo[a] = fl;
            range_hi[a] = fh;
        }
    }
    // An empty group (past the last primitive) keeps an inverted range: never reached.
    g.c_x[group] = centre[0], g.c_y[group] = centre[1], g.c_z[group] = centre[2];
    g.u_x[group] = axis[0][0], g.u_y[group] = axis[0][1], g.u_z[group] = axis[0][2];
    g.v_x[group] = axis[1][0], g.v_y[group] = axis[1][1], g.v_z[group] = axis[1][2];
    g.n_x[group] = axis[2][0], g.n_y[group] = axis[2][1], g.n_z[group] = axis[2][2];
    g.lo_u[group] = range_lo[0], g.lo_v[group] = range_lo[1], g.lo_n[group] = range_lo[2];
    g.hi_u[group] = range_hi[0], g.hi_v[group] = range_hi[1], g.hi_n[group] = range_hi[2];
}

}  // namespace

template <class T>
NearestTree make_nearest_tree(QueryScene<T> const& scene) {
    WideTree const& tree = *scene.tree;
    unsigned const n = scene.n_primitives;
    size_t const leaves = (size_t{n} + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;
    std::vector<float> leaf_box(6 * leaves);
    NearestTree out;
    out.groups.resize(leaves);
#pragma omp parallel for schedule(static) if (team_threads() > 1 && leaves >= 64)
    for (size_t leaf = 0; leaf < leaves; ++leaf) {
        float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
        GroupFrames& g = out.groups[leaf];
        for (unsigned group = 0; group < 4; ++group) {
            float glo[3] = {INFINITY, INFINITY, INFINITY}, ghi[3] = {-INFINITY, -INFINITY, -INFINITY};
            unsigned const first = static_cast<unsigned>(leaf * PRIMITIVES_PER_LEAF) + 8 * group;
            unsigned const last = std::min(n, first + 8);
            for (unsigned i = first; i < last; ++i) {
                float plo[3], phi[3];
                primitive_box(scene.primitives, i, n, plo, phi);
                // A NaN coordinate widens the box to everything: such a primitive is never pruned
                // wrongly (and never found, its distance being NaN).
                for (int c = 0; c < 3; ++c) {
                    glo[c] = std::isnan(plo[c]) ? -INFINITY : std::fmin(glo[c], plo[c]);
                    ghi[c] = std::isnan(phi[c]) ? INFINITY : std::fmax(ghi[c], phi[c]);
                }
            }
            set_group_frame(scene.primitives, n, first, last, glo, ghi, g, group);
            for (int c = 0; c < 3; ++c) {
                lo[c] = std::fmin(lo[c], glo[c]);
                hi[c] = std::fmax(hi[c], ghi[c]);
            }
        }
        for (int c = 0; c < 3; ++c) {
            leaf_box[6 * leaf + c] = lo[c];
            leaf_box[6 * leaf + 3 + c] = hi[c];
        }
    }
    out.boxes.resize(tree.nodes.size());
    // Children come after their parents: the entries are completed from the last one back.
    for (size_t e = tree.nodes.size(); e-- > 0;) {
        WideNode const& w = tree.nodes[e];
        SlotBoxes& b = out.boxes[e];
        for (unsigned k = 0; k < 8; ++k) {
            float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
            if ((w.leaf_mask >> k) & 1u) {
                float const* box = &leaf_box[6 * size_t{w.child[k]}];
                for (int c = 0; c < 3; ++c) {
                    lo[c] = box[c];
                    hi[c] = box[3 + c];
                }
            } else if ((w.internal_mask >> k) & 1u) {
                size_t const child = w.child[k];
                if (child <= e || child >= out.boxes.size()) throw std::runtime_error("inconsistent walk layout");
                SlotBoxes const& cb = out.boxes[child];
                WideNode const& cw = tree.nodes[child];
                unsigned const occupied = static_cast<unsigned>(cw.leaf_mask | cw.internal_mask);
                for (unsigned j = 0; j < 8; ++j) {
                    if (!((occupied >> j) & 1u)) continue;
                    lo[0] = std::fmin(lo[0], cb.lo_x[j]);
                    lo[1] = std::fmin(lo[1], cb.lo_y[j]);
                    lo[2] = std::fmin(lo[2], cb.lo_z[j]);
                    hi[0] = std::fmax(hi[0], cb.hi_x[j]);
                    hi[1] = std::fmax(hi[1], cb.hi_y[j]);
                    hi[2] = std::fmax(hi[2], cb.hi_z[j]);
                }
            }
            b.lo_x[k] = lo[0];
            b.lo_y[k] = lo[1];
            b.lo_z[k] = lo[2];
            b.hi_x[k] = hi[0];
            b.hi_y[k] = hi[1];
            b.hi_z[k] = hi[2];
        }
    }
    return out;
}

template <class T>
void nearest(QueryScene<T> const& scene, NearestTree const* boxes, uint32_t const* sorted_indices,
             Vec3 const* queries, unsigned long n, float max_distance2, NearestOutput const& out,
             uint32_t* order_out) {
    if (n == 0) return;
    if (n > MAX_QUERIES) throw std::length_error("too many queries for a 32-bit order");
    if (scene.tree != nullptr && boxes == nullptr) throw std::logic_error("nearest: the walk's boxes are missing");
    std::vector<uint32_t> order;
    if (scene.tree != nullptr) order = morton_order(queries, n, scene.query_scale, scene.tree->root_box);
    if (order_out != nullptr) {
        if (order.empty()) {
            for (size_t i = 0; i < n; ++i) order_out[i] = static_cast<uint32_t>(i);
        } else {
            std::copy(order.begin(), order.end(), order_out);
        }
    }
    size_t const stack_entries = scene.tree != nullptr ? scene.tree->stack_capacity : 0;
    size_t const chunks = (n + NEAREST_CHUNK - 1) / NEAREST_CHUNK;
    int const threads = static_cast<int>(std::min<size_t>(chunks, static_cast<size_t>(team_threads())));
    // Every thread's stack is allocated here: nothing may throw inside the team.
    std::vector<StackEntry> stacks(std::max(1, threads) * std::max<size_t>(stack_entries, 1));
    // inverse_scale: a power of two, exact.
    ChunkArgs const args{max_distance2, 1.0f / scene.query_scale, sorted_indices, queries,
                         order.empty() ? nullptr : order.data(), out};

    // Chunk c of the Morton order on a thread's own stack.
    auto const chunk = [&](size_t c, int thread) noexcept {
        walk_chunk(scene, boxes, stacks.data() + static_cast<size_t>(thread) * stack_entries, args, c * NEAREST_CHUNK,
                   std::min<size_t>(n, (c + 1) * NEAREST_CHUNK));
    };
    if (threads <= 1) {
        host::FlushToZero const ftz;  // as the kernels run
        for (size_t c = 0; c < chunks; ++c) chunk(c, 0);
        return;
    }
#pragma omp parallel num_threads(threads)
    {
        host::FlushToZero const ftz;
        int const thread = omp_get_thread_num();
#pragma omp for schedule(dynamic, 1)
        for (size_t c = 0; c < chunks; ++c) chunk(c, thread);
    }
}

template NearestTree make_nearest_tree<Triangle>(QueryScene<Triangle> const&);
template NearestTree make_nearest_tree<PointNormal>(QueryScene<PointNormal> const&);
template void nearest<Triangle>(QueryScene<Triangle> const&, NearestTree const*, uint32_t const*, Vec3 const*,
                                unsigned long, float, NearestOutput const&, uint32_t*);
template void nearest<PointNormal>(QueryScene<PointNormal> const&, NearestTree const*, uint32_t const*,
                                   Vec3 const*, unsigned long, float, NearestOutput const&, uint32_t*);

}  // namespace gyrant::cpu

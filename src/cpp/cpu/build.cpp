// Native build of the host flavour: the kernels' build, step for step, on all cores.
//
// Every value equals what the emulated kernels write. Where a kernel reduces across a warp,
// the same operations are applied in the same order (lane 0's shuffle tree, or all 32 lanes
// of a butterfly where each lane keeps using its own total). Where kernels race (arrival
// order, atomic maxima) the result does not depend on the race, and neither does it here:
// the bottom-up merge uses the kernels' arrival scheme, the maxima are integer maxima, and the
// 8-wide levels are numbered in frontier order, one of the orders the kernel can produce.
//
// Floating-point environment: the scene box and the Morton codes are thrust host algorithms in
// the emulated build and run in the caller's environment; every kernel runs with subnormals
// flushed, and so does the code standing in for it here.
#include "cpu/native.h"
#include "cpu/team.h"

#include "host/flush_to_zero.h"
#include "kernels/binary2bvh8.h"
#include "kernels/build_binary_tree.h"
#include "kernels/bvh8_m2m.h"
#include "kernels/common.h"
#include "size_limits.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <bit>
#include <stdexcept>
#include <string>
#include <vector>

namespace gyrant::cpu {
namespace {

constexpr unsigned LANES = WARP_SIZE;
//! Loops over fewer items run on the calling thread: a team costs more than it saves. Cheap
//! items (one primitive, one index) need many; a leaf packet or a node is worth a team sooner.
constexpr size_t MANY_CHEAP = 4096;
constexpr size_t MANY_COSTLY = 64;

//! The calling thread's floating-point control, carried into the team's threads for the steps
//! that the emulated build runs on the calling thread.
using CallerEnvironment = host::FloatControl;


bool use_team(size_t n, size_t many) { return n >= many && team_threads() > 1; }

//! body(i) for i in [0, n) with subnormals flushed, as the kernels run.
template <class Body>
void kernel_for(size_t n, size_t many, Body const& body) {
#pragma omp parallel if (use_team(n, many))
    {
        host::FlushToZero const ftz;
#pragma omp for schedule(static)
        for (size_t i = 0; i < n; ++i) body(i);
    }
}

//! body(i) for i in [0, n) in the caller's environment, as the thrust host algorithms run.
template <class Body>
void caller_for(CallerEnvironment const& env, size_t n, Body const& body) {
#pragma omp parallel if (use_team(n, MANY_CHEAP))
    {
        host::FloatControlScope const scope(env);
#pragma omp for schedule(static)
        for (size_t i = 0; i < n; ++i) body(i);
    }
}

// ---- ordering ---------------------------------------------------------------------------------

//! The corners of the scene box: half minima and maxima are exact, commutative and associative
//! (NaN operands are dropped, -0 orders below +0), so the team's partial boxes combine to the
//! sequential reduction's corners. The centre, a running average nobody reads, is left at 0.
template <class G>
AABB scene_box(CallerEnvironment const& env, G const* primitives, size_t n) {
    AABB total = empty_scene_box();
    auto const fold = [](AABB& acc, AABB const& b) {
        acc.min = Vec3_f16{__hmin(acc.min.x, b.min.x), __hmin(acc.min.y, b.min.y), __hmin(acc.min.z, b.min.z)};
        acc.max = Vec3_f16{__hmax(acc.max.x, b.max.x), __hmax(acc.max.y, b.max.y), __hmax(acc.max.z, b.max.z)};
    };
#pragma omp parallel if (use_team(n, MANY_CHEAP))
    {
        host::FloatControlScope const scope(env);
        AABB part = empty_scene_box();
#pragma omp for schedule(static) nowait
        for (size_t i = 0; i < n; ++i) fold(part, primitives[i].get_aabb());
#pragma omp critical(gyrant_scene_box)
        fold(total, part);
    }
    return total;
}

//! Morton codes of the primitives' centroids, sorted stably with the input indices; returns the
//! scene parameters they were formed with.
template <class G>
SceneParams order_primitives(G const* primitives, size_t n, std::vector<uint64_t>& codes, uint32_t* sorted_indices) {
    CallerEnvironment const env = CallerEnvironment::current();
    SceneParams const params = make_scene_params(scene_box(env, primitives, n));
    codes.resize(n);
    caller_for(env, n, [&](size_t i) {
        codes[i] = morton_code_of(primitives[i].centroid(), params);
        sorted_indices[i] = static_cast<uint32_t>(i);
    });
    radix_sort_pairs(codes.data(), sorted_indices, n);
    return params;
}

// ---- binary tree ------------------------------------------------------------------------------

//! Lane 0's value of a shuffle-down (or xor butterfly) reduction over 32 lanes.
template <class V, class Op>
V lane0_descending(V (&v)[LANES], Op const& op) {
    for (unsigned offset = LANES / 2; offset > 0; offset /= 2)
        for (unsigned i = 0; i < offset; ++i) v[i] = op(v[i], v[i + offset]);
    return v[0];
}

//! Every lane's value of an xor-butterfly sum: lane i adds its partner's value to its own.
void butterfly_add(float (&v)[LANES]) {
    for (unsigned offset = LANES / 2; offset > 0; offset /= 2) {
        float partner[LANES];
        for (unsigned i = 0; i < LANES; ++i) partner[i] = v[i ^ offset];
        for (unsigned i = 0; i < LANES; ++i) v[i] = v[i] + partner[i];
    }
}

constexpr unsigned TAILOR_TERMS = 30;

//! The leaf packet `leaf`: its box, centre and radius into boxes[L - 1 + leaf], its expansion
//! into leaf_coefficients; returns its arrival weight (the warp's total weight, or the mark of
//! a zero weight).
template <class T>
float leaf_packet(SoAView<T> const& view, unsigned n, unsigned leaf, unsigned L, AABB* boxes,
                  TailorCoefficientsF16* leaf_coefficients) {
    T prim[LANES];
    bool valid[LANES];
    Vec3_f16 lo[LANES], hi[LANES];
    float wt[LANES], wx[LANES], wy[LANES], wz[LANES];
    for (unsigned lane = 0; lane < LANES; ++lane) {
        unsigned const g = leaf * LANES + lane;
        valid[lane] = g < n;
        prim[lane] = T::load(view, g, n);
        lo[lane] = Vec3_f16::from_float({1e38f, 1e38f, 1e38f});
        hi[lane] = Vec3_f16::from_float({-1e38f, -1e38f, -1e38f});
        wt[lane] = 0.0f;
        Vec3 wc{0.0f, 0.0f, 0.0f};
        if (valid[lane]) {
            AABB const box = prim[lane].get_aabb();
            lo[lane] = box.min;
            hi[lane] = box.max;
            wt[lane] = prim[lane].get_weight();
            wc = prim[lane].centroid() * wt[lane];
        }
        wx[lane] = wc.x;
        wy[lane] = wc.y;
        wz[lane] = wc.z;
    }
    __half lx[LANES], ly[LANES], lz[LANES], hx[LANES], hy[LANES], hz[LANES];
    for (unsigned lane = 0; lane < LANES; ++lane) {
        lx[lane] = lo[lane].x, ly[lane] = lo[lane].y, lz[lane] = lo[lane].z;
        hx[lane] = hi[lane].x, hy[lane] = hi[lane].y, hz[lane] = hi[lane].z;
    }
    auto const hmin = [](__half a, __half b) { return __hmin(a, b); };
    auto const hmax = [](__half a, __half b) { return __hmax(a, b); };
    AABB box;
    box.min = Vec3_f16{lane0_descending(lx, hmin), lane0_descending(ly, hmin), lane0_descending(lz, hmin)};
    box.max = Vec3_f16{lane0_descending(hx, hmax), lane0_descending(hy, hmax), lane0_descending(hz, hmax)};

    // Each lane goes on with its own totals, as in the kernel.
    butterfly_add(wx);
    butterfly_add(wy);
    butterfly_add(wz);
    butterfly_add(wt);
    Vec3 c[LANES];
    float distance[LANES];
    for (unsigned lane = 0; lane < LANES; ++lane) {
        float const W = wt[lane];
        c[lane] = W > 0.0f ? Vec3{wx[lane], wy[lane], wz[lane]} / W : Vec3{0.0f, 0.0f, 0.0f};
        distance[lane] = valid[lane] ? prim[lane].max_distance_to(c[lane]) : 0.0f;
    }
    float const radius = lane0_descending(distance, [](float a, float b) { return fmaxf(a, b); });
    box.center = c[0];
    box.radius = __float2half_rn(radius);
    boxes[L - 1 + leaf] = box;

    float terms[TAILOR_TERMS][LANES];
    for (unsigned lane = 0; lane < LANES; ++lane) {
        Vec3 zero;
        Mat3x3 first;
        Tensor3_compressed second;
        prim[lane].get_tailor_terms(c[lane], valid[lane], zero, first, second);
        terms[0][lane] = zero.x;
        terms[1][lane] = zero.y;
        terms[2][lane] = zero.z;
        for (unsigned k = 0; k < 9; ++k) terms[3 + k][lane] = first.m[k];
        for (unsigned k = 0; k < 18; ++k) terms[12 + k][lane] = second.t[k];
    }
    auto const add = [](float a, float b) { return a + b; };
    float sums[TAILOR_TERMS];
    for (unsigned k = 0; k < TAILOR_TERMS; ++k) sums[k] = lane0_descending(terms[k], add);
    Vec3 const zero{sums[0], sums[1], sums[2]};
    Mat3x3 first;
    for (unsigned k = 0; k < 9; ++k) first.m[k] = sums[3 + k];
    Tensor3_compressed second;
    for (unsigned k = 0; k < 18; ++k) second.t[k] = sums[12 + k];
    TailorCoefficientsF16& out = leaf_coefficients[leaf];
    out.zero_order = zero;
    out.first_order = first;
    out.second_order = second;

    float const W = wt[0];
    return W == 0.0f ? ZERO_WEIGHT_MARK : W;
}

//! Leaf packets and internal boxes. Each leaf climbs as far as it is the second child to
//! arrive at a node, so every node is merged once, after both children are final, whichever
//! thread gets there.
template <class T>
void binary_boxes_and_leaves(float const* primitives, unsigned n, unsigned L, BinaryNode const* nodes,
                             uint32_t const* parents, AABB* boxes, TailorCoefficientsF16* leaf_coefficients) {
    SoAView<T> const view{primitives, n};
    std::vector<float> weights(2 * size_t{L} - 1);  // arrival weight of every node
    std::vector<uint32_t> arrivals(L - 1, 0);
    kernel_for(L, MANY_COSTLY, [&](size_t leaf_index) {
        unsigned const leaf = static_cast<unsigned>(leaf_index);
        float up = leaf_packet<T>(view, n, leaf, L, boxes, leaf_coefficients);
        uint32_t node = L - 1 + leaf;
        for (uint32_t parent = parents[node]; parent != INVALID_INDEX; parent = parents[node]) {
            weights[node] = up;
            // Release this subtree's records; the second arrival acquires both children's.
            if (std::atomic_ref<uint32_t>(arrivals[parent]).fetch_add(1, std::memory_order_acq_rel) == 0) return;
            BinaryNode const children = nodes[parent];
            bool const from_left = children.left == node;
            float const prev = weights[from_left ? children.right : children.left];
            float const w_left = from_left ? up : prev;
            float const w_right = from_left ? prev : up;
            boxes[parent] = AABB::merge_weighted(boxes[children.left], boxes[children.right], w_left, w_right);
            up += prev;
            node = parent;
        }
    });
}

// ---- 8-wide tree ------------------------------------------------------------------------------

//! Links between the 8-wide nodes that the later passes walk.
struct Links {
    std::vector<uint32_t> node_parents, leaf_parents;
    std::vector<uint32_t> level_start;  // first node of every level, then the node count
};

struct Slots {
    unsigned s[BVH8_WIDTH];
};

//! The collapse, one level at a time: every frontier binary node becomes one 8-wide node, and
//! its internal slots, in slot order, the next level, numbered after all nodes of this level
//! in the order of their parents.
Links collapse(unsigned L, AABB const* boxes, BinaryNode const* binary_nodes, BVH8Node* nodes,
               LeafPointers* rows) {
    unsigned const num_internal = L - 1;
    Links links;
    links.node_parents.assign(num_internal, INVALID_INDEX);
    links.leaf_parents.assign(L, INVALID_INDEX);
    std::vector<uint32_t> current{0}, next;
    std::vector<Slots> slots;
    std::vector<uint32_t> counts, offsets;
    uint32_t base = 0;
    while (!current.empty()) {
        size_t const size = current.size();
        links.level_start.push_back(base);
        slots.resize(size);
        counts.resize(size);
        offsets.resize(size);
        kernel_for(size, MANY_COSTLY, [&](size_t item) {
            unsigned const count = bvh8_collapse(current[item], boxes, binary_nodes, num_internal, slots[item].s);
            unsigned inner = 0;
            for (unsigned k = 0; k < count; ++k) inner += BinaryNode::is_leaf(slots[item].s[k], num_internal) ? 0u : 1u;
            counts[item] = count;
            offsets[item] = inner;
        });
        uint32_t total = 0;
        for (size_t item = 0; item < size; ++item) {
            uint32_t const inner = offsets[item];
            offsets[item] = total;
            total += inner;
        }
        // Every 8-wide node stands for a distinct binary internal node.
        if (size_t{base} + size + total > num_internal) throw std::logic_error("8-wide collapse overflows its capacity");
        next.resize(total);
        kernel_for(size, MANY_COSTLY, [&](size_t item) {
            uint32_t const my = base + static_cast<uint32_t>(item);
            uint32_t const first = base + static_cast<uint32_t>(size) + offsets[item];
            write_bvh8_node(my, first, boxes[current[item]], slots[item].s, counts[item], num_internal,
                            next.data() + offsets[item], links.node_parents.data(), links.leaf_parents.data(), nodes,
                            rows);
        });
        base += static_cast<uint32_t>(size);
        std::swap(current, next);
    }
    links.level_start.push_back(base);
    return links;
}

//! Lane 0's value of the distance pass's reduction: shuffle-down by offsets 1, 2, 4, 8, 16,
//! which pairs neighbours first.
float lane0_ascending_max(float (&d)[LANES]) {
    for (unsigned offset = 1; offset < LANES; offset *= 2)
        for (unsigned i = 0; i < LANES; i += 2 * offset) d[i] = fmaxf(d[i], d[i + offset]);
    return d[0];
}

//! Every node's radius: the largest distance from its centre to a primitive below it. Per leaf
//! the float maximum of its 32 lanes; across leaves the integer maximum of the bit patterns,
//! starting from +0, as the kernel's atomics take it.
template <class T>
void node_radii(float const* primitives, unsigned n, unsigned L, Links const& links, BVH8Node* nodes) {
    uint32_t const count = links.level_start.back();
    std::vector<int32_t> maxima(count, 0);
    SoAView<T> const view{primitives, n};
    kernel_for(L, MANY_COSTLY, [&](size_t leaf) {
        size_t const begin = leaf * LANES;
        unsigned const lanes = static_cast<unsigned>(std::min<size_t>(LANES, n - begin));
        T prim[LANES];
        for (unsigned lane = 0; lane < lanes; ++lane) prim[lane] = T::load(view, static_cast<unsigned>(begin + lane), n);
        for (uint32_t node = links.leaf_parents[leaf]; node != INVALID_INDEX; node = links.node_parents[node]) {
            Vec3 const center = nodes[node].getAABB().center;
            float d[LANES];
            for (unsigned lane = 0; lane < LANES; ++lane) d[lane] = lane < lanes ? prim[lane].max_distance_to(center) : 0.0f;
            int32_t const bits = std::bit_cast<int32_t>(lane0_ascending_max(d));
            std::atomic_ref<int32_t> slot(maxima[node]);
            int32_t seen = slot.load(std::memory_order_relaxed);
            while (bits > seen && !slot.compare_exchange_weak(seen, bits, std::memory_order_relaxed)) {
            }
        }
    });
    kernel_for(count, MANY_CHEAP, [&](size_t v) { nodes[v].radius = __float2half_rn(std::bit_cast<float>(maxima[v])); });
}

//! Node expansions, deepest level first: each node translates its children's expansions (a
//! leaf's as stored, an inner node's in single precision) to its centre in slot order.
void node_expansions(Links const& links, BVH8Node const* nodes, LeafPointers const* rows, AABB const* leaf_boxes,
                     TailorCoefficientsF16 const* leaf_coefficients, TailorCoefficientsF16* node_coefficients) {
    uint32_t const count = links.level_start.back();
    std::vector<TailorCoefficients> full(count);
    for (size_t level = links.level_start.size() - 1; level-- > 0;) {
        uint32_t const begin = links.level_start[level], end = links.level_start[level + 1];
        kernel_for(end - begin, MANY_COSTLY, [&](size_t i) {
            uint32_t const v = begin + static_cast<uint32_t>(i);
            BVH8Node const self = nodes[v];
            TailorCoefficients acc;
            acc.zero_order = {0.0f, 0.0f, 0.0f};
            for (int k = 0; k < 9; ++k) acc.first_order.m[k] = 0.0f;
            for (int k = 0; k < 18; ++k) acc.second_order.t[k] = 0.0f;
            unsigned inner = 0;
            for (unsigned s = 0; s < BVH8_WIDTH; ++s) {
                ChildType const type = self.getChildMeta(s);
                if (type == ChildType::Empty) continue;
                if (type == ChildType::Leaf) {
                    uint32_t const l = rows[v].leaves[s];
                    add_translated_tailor_coefficients(acc, TailorCoefficients::from_f16(leaf_coefficients[l]),
                                                       leaf_boxes[l].center - self.center);
                } else {
                    uint32_t const k = self.first_child + inner++;
                    add_translated_tailor_coefficients(acc, full[k], nodes[k].center - self.center);
                }
            }
            TailorCoefficientsF16& stored = node_coefficients[v];
            stored.zero_order = acc.zero_order;
            stored.first_order = acc.first_order;
            stored.second_order = acc.second_order;
            full[v] = acc;
        });
    }
}

// ---- the whole build --------------------------------------------------------------------------

void check_arguments(unsigned long n, EngineBuffers const& out, bool inputs_present, char const* what) {
    if (n == 0) throw std::invalid_argument(std::string(what) + ": the native build needs at least one primitive");
    // The engine refuses more primitives than max_primitives before it allocates anything.
    static_assert(max_primitives<Triangle>() <= 0xFFFFFFFFul - (PRIMITIVES_PER_LEAF - 1) &&
                      max_primitives<PointNormal>() <= 0xFFFFFFFFul - (PRIMITIVES_PER_LEAF - 1),
                  "primitive indices, lanes of the last leaf included, are 32-bit");
    if (!inputs_present) throw std::invalid_argument(std::string(what) + ": input pointer is null");
    if (out.sorted_indices == nullptr || out.primitives == nullptr || out.binary_aabbs == nullptr ||
        out.node_count == nullptr || out.leaf_coefficients == nullptr ||
        ((n > PRIMITIVES_PER_LEAF) &&
         (out.nodes == nullptr || out.node_coefficients == nullptr || out.leaf_pointers == nullptr)))
        throw std::invalid_argument(std::string(what) + ": an engine buffer is null");
}

//! Everything after the sorted primitives are in place.
template <class T>
void build_hierarchy(std::vector<uint64_t>& codes, unsigned n, EngineBuffers const& out) {
    unsigned const L = (n + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;
    std::vector<unsigned long> keys(L);
    for (size_t j = 0; j < L; ++j) keys[j] = codes[j * PRIMITIVES_PER_LEAF];
    std::vector<uint64_t>().swap(codes);

    std::vector<BinaryNode> binary_nodes(L - 1);
    std::vector<uint32_t> parents(2 * size_t{L} - 1);
    parents[0] = INVALID_INDEX;  // the root (or the single leaf) is nobody's child
    kernel_for(L - 1, MANY_CHEAP, [&](size_t i) {
        BinaryNode const children = radix_tree_children(keys.data(), static_cast<int>(L), static_cast<int>(i));
        binary_nodes[i] = children;
        parents[children.left] = static_cast<uint32_t>(i);
        parents[children.right] = static_cast<uint32_t>(i);
    });
    std::vector<unsigned long>().swap(keys);

    binary_boxes_and_leaves<T>(out.primitives, n, L, binary_nodes.data(), parents.data(), out.binary_aabbs,
                               out.leaf_coefficients);
    if (L == 1) {  // a single leaf is the whole scene: no 8-wide node
        *out.node_count = 0;
        return;
    }
    Links const links = collapse(L, out.binary_aabbs, binary_nodes.data(), out.nodes, out.leaf_pointers);
    *out.node_count = links.level_start.back();
    node_radii<T>(out.primitives, n, L, links, out.nodes);
    node_expansions(links, out.nodes, out.leaf_pointers, out.binary_aabbs + (L - 1), out.leaf_coefficients,
                    out.node_coefficients);
}

}  // namespace

SceneParams build_triangles(float const* soup, unsigned long n, EngineBuffers const& out) {
    check_arguments(n, out, soup != nullptr, "build_triangles");
    std::vector<uint64_t> codes;
    SceneParams const params = order_primitives(reinterpret_cast<Triangle const*>(soup), n, codes, out.sorted_indices);
    uint32_t const* order = out.sorted_indices;
    float* soa = out.primitives;
    kernel_for(n, MANY_CHEAP, [&](size_t i) {
        size_t const j = order[i];
        for (size_t p = 0; p < 9; ++p) soa[p * n + i] = soup[9 * j + p];
    });
    build_hierarchy<Triangle>(codes, static_cast<unsigned>(n), out);
    return params;
}

SceneParams build_points(float const* points, float const* normals, unsigned long n, EngineBuffers const& out) {
    check_arguments(n, out, points != nullptr && normals != nullptr, "build_points");
    std::vector<uint64_t> codes;
    SceneParams const params = order_primitives(reinterpret_cast<Vec3 const*>(points), n, codes, out.sorted_indices);
    uint32_t const* order = out.sorted_indices;
    float* soa = out.primitives;
    kernel_for(n, MANY_CHEAP, [&](size_t i) {
        size_t const j = order[i];
        for (size_t p = 0; p < 3; ++p) {
            soa[p * n + i] = points[3 * j + p];
            soa[(p + 3) * n + i] = normals[3 * j + p];
        }
    });
    if (out.sorted_codes != nullptr) std::copy(codes.begin(), codes.end(), out.sorted_codes);
    build_hierarchy<PointNormal>(codes, static_cast<unsigned>(n), out);
    return params;
}

void refit_points(float const* normals, unsigned long n, EngineBuffers const& out) {
    check_arguments(n, out, normals != nullptr && out.sorted_codes != nullptr, "refit_points");
    uint32_t const* order = out.sorted_indices;
    float* soa = out.primitives;
    kernel_for(n, MANY_CHEAP, [&](size_t i) {
        size_t const j = order[i];
        for (size_t p = 0; p < 3; ++p) soa[(p + 3) * n + i] = normals[3 * j + p];
    });
    std::vector<uint64_t> codes(out.sorted_codes, out.sorted_codes + n);  // the hierarchy consumes its copy
    build_hierarchy<PointNormal>(codes, static_cast<unsigned>(n), out);
}

void gather_mesh(float const* vertices, unsigned int const* indices, unsigned long n, float* soup) {
#pragma omp parallel for schedule(static) if (use_team(n, MANY_CHEAP))
    for (unsigned long i = 0; i < n; ++i)
        for (unsigned c = 0; c < 3; ++c) {
            float const* v = vertices + 3 * static_cast<size_t>(indices[3 * i + c]);
            float* out = soup + 9 * i + 3 * c;
            out[0] = v[0];
            out[1] = v[1];
            out[2] = v[2];
        }
}

// The frame's steps stand for thrust host algorithms: they run in the caller's environment, on
// every thread of the team.
Spread coordinate_spread(float const* points, unsigned long n) {
    CallerEnvironment const env = CallerEnvironment::current();
    Spread total{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}, 0.0f};
#pragma omp parallel if (use_team(n, MANY_CHEAP))
    {
        host::FloatControlScope const scope(env);
        Spread mine = total;
#pragma omp for schedule(static) nowait
        for (unsigned long i = 0; i < n; ++i)
            for (unsigned k = 0; k < 3; ++k) {
                float const v = points[3 * i + k];
                mine.lo[k] = std::fmin(mine.lo[k], v);  // fmin and fmax drop a NaN operand
                mine.hi[k] = std::fmax(mine.hi[k], v);
                mine.magnitude = std::fmax(mine.magnitude, std::fabs(v));
            }
#pragma omp critical
        for (unsigned k = 0; k < 3; ++k) {
            total.lo[k] = std::fmin(total.lo[k], mine.lo[k]);
            total.hi[k] = std::fmax(total.hi[k], mine.hi[k]);
            total.magnitude = std::fmax(total.magnitude, mine.magnitude);
        }
    }
    return total;
}

void scale_floats(float const* src, unsigned long count, float factor, float* dst) {
    caller_for(CallerEnvironment::current(), count, [&](size_t i) { dst[i] = src[i] * factor; });
}

}  // namespace gyrant::cpu

// Checks of a built 8-wide hierarchy that need nothing but its nodes and leaf rows, and copies
// of what an engine's build wrote; shared by the kernel tests and the engine tests.
#pragma once

#include "platform.h"
#include "bvh8.h"
#include "gyrant_cuda.h"
#include "tailor_coefficients.h"
#include "expansion_reference.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

namespace test {

//! Links and subtree facts derived from the node records alone.
struct Bvh8Links {
    std::vector<uint32_t> node_parents;  // INVALID_INDEX at the root
    std::vector<uint32_t> child_counts;
    std::vector<uint32_t> leaf_parents;  // L entries; INVALID_INDEX when no node holds the leaf
    std::vector<uint32_t> depth;
    std::vector<uint32_t> leaf_lo, leaf_hi;  // smallest and largest leaf below each node
};

//! Every structural invariant: occupied slots are 2..8 and come first; leaf rows agree with the
//! slot types; the Internal child of slot k is first_child + (Internal slots before k), lies
//! after its parent and has exactly one parent; every node is reached from node 0; every leaf
//! sits in exactly one slot; numbering is breadth first (depth never decreases with the index);
//! each subtree covers a contiguous leaf range (the radix tree's ranges survive the collapse).
inline Bvh8Links check_bvh8_structure(unsigned L, std::vector<BVH8Node> const& nodes,
                                      std::vector<LeafPointers> const& rows) {
    Bvh8Links links;
    size_t const K = nodes.size();
    links.node_parents.assign(K, INVALID_INDEX);
    links.child_counts.assign(K, 0);
    links.leaf_parents.assign(L, INVALID_INDEX);
    links.depth.assign(K, 0);
    links.leaf_lo.assign(K, UINT32_MAX);
    links.leaf_hi.assign(K, 0);
    EXPECT_EQ(rows.size(), K);
    if (L <= 1) {
        EXPECT_EQ(K, 0u) << "a single leaf needs no node";
        return links;
    }
    EXPECT_GE(K, 1u);
    EXPECT_LE(K, L - 1u);
    std::vector<int> times_parented(K, 0), times_leaf(L, 0);
    for (size_t v = 0; v < K; ++v) {
        BVH8Node const& n = nodes[v];
        unsigned occupied = 0, internal = 0;
        bool seen_empty = false;
        for (unsigned k = 0; k < 8; ++k) {
            ChildType const t = n.getChildMeta(k);
            uint32_t const entry = rows[v].leaves[k];
            if (t == ChildType::Empty) {
                seen_empty = true;
                EXPECT_EQ(entry, INVALID_INDEX) << "node " << v << " slot " << k;
                continue;
            }
            EXPECT_FALSE(seen_empty) << "node " << v << ": occupied slot " << k << " after an empty one";
            ++occupied;
            if (t == ChildType::Leaf) {
                EXPECT_LT(entry, L) << "node " << v << " slot " << k;
                if (entry < L) {
                    ++times_leaf[entry];
                    links.leaf_parents[entry] = static_cast<uint32_t>(v);
                }
            } else {
                EXPECT_EQ(t, ChildType::Internal) << "node " << v << " slot " << k << " has type 3";
                EXPECT_EQ(entry, INVALID_INDEX) << "node " << v << " slot " << k;
                uint64_t const child = uint64_t(n.first_child) + internal;
                ++internal;
                EXPECT_GT(child, v) << "node " << v << " slot " << k;
                EXPECT_LT(child, K) << "node " << v << " slot " << k;
                if (child > v && child < K) {
                    ++times_parented[child];
                    links.node_parents[child] = static_cast<uint32_t>(v);
                }
            }
        }
        links.child_counts[v] = occupied;
        EXPECT_GE(occupied, 2u) << "node " << v;
        EXPECT_LE(occupied, 8u) << "node " << v;
    }
    EXPECT_EQ(times_parented[0], 0) << "the root has a parent";
    for (size_t v = 1; v < K; ++v) EXPECT_EQ(times_parented[v], 1) << "node " << v;
    for (unsigned l = 0; l < L; ++l) EXPECT_EQ(times_leaf[l], 1) << "leaf " << l;

    // Parents precede children, so one pass in index order sets depths, a reverse pass the
    // leaf ranges.
    for (size_t v = 1; v < K; ++v) {
        uint32_t const p = links.node_parents[v];
        if (p < v) links.depth[v] = links.depth[p] + 1;
        EXPECT_GE(links.depth[v], links.depth[v - 1]) << "node " << v << " breaks breadth-first order";
    }
    std::vector<uint32_t> leaves_below(K, 0);
    for (size_t v = K; v-- > 0;) {
        for (unsigned k = 0; k < 8; ++k) {
            if (nodes[v].getChildMeta(k) != ChildType::Leaf) continue;
            uint32_t const l = rows[v].leaves[k];
            if (l >= L) continue;
            links.leaf_lo[v] = std::min(links.leaf_lo[v], l);
            links.leaf_hi[v] = std::max(links.leaf_hi[v], l);
            ++leaves_below[v];
        }
        uint32_t const p = links.node_parents[v];
        if (v > 0 && p < v) {
            links.leaf_lo[p] = std::min(links.leaf_lo[p], links.leaf_lo[v]);
            links.leaf_hi[p] = std::max(links.leaf_hi[p], links.leaf_hi[v]);
            leaves_below[p] += leaves_below[v];
        }
    }
    for (size_t v = 0; v < K; ++v)
        EXPECT_EQ(uint64_t(links.leaf_hi[v]) - links.leaf_lo[v] + 1, leaves_below[v])
            << "node " << v << " covers no contiguous leaf range";
    EXPECT_EQ(leaves_below[0], L);
    return links;
}

//! Bit pattern of a record's fields, for exact comparisons (bytes_used excludes padding).
template <class R>
std::vector<uint8_t> bytes_of(R const& r, size_t bytes_used = sizeof(R)) {
    std::vector<uint8_t> b(bytes_used);
    std::memcpy(b.data(), &r, bytes_used);
    return b;
}
//! The 30 16-bit values of a stored expansion, without the alignment padding.
inline constexpr size_t STORED_EXPANSION_BYTES = 30 * sizeof(uint16_t);

//! A hierarchy in a form that does not depend on the order in which nodes of one level were
//! numbered: each node is named by its leaf range, its slots list leaves and child ranges in
//! slot order, and it carries the exact bits of its box, radius and expansion.
struct CanonicalNode {
    std::vector<std::pair<int, uint64_t>> slots;  // (type, leaf or child range)
    uint64_t parent;
    std::vector<uint8_t> box, expansion;
    bool operator==(CanonicalNode const&) const = default;
};

inline std::map<uint64_t, CanonicalNode> canonical_hierarchy(std::vector<BVH8Node> const& nodes,
                                                             std::vector<LeafPointers> const& rows,
                                                             std::vector<TailorCoefficientsF16> const& coefficients,
                                                             Bvh8Links const& links) {
    auto range = [&](uint32_t v) { return uint64_t(links.leaf_lo[v]) << 32 | links.leaf_hi[v]; };
    std::map<uint64_t, CanonicalNode> out;
    for (size_t v = 0; v < nodes.size(); ++v) {
        CanonicalNode c;
        unsigned internal = 0;
        for (unsigned k = 0; k < 8; ++k) {
            ChildType const t = nodes[v].getChildMeta(k);
            uint64_t id = 0;
            if (t == ChildType::Leaf) id = rows[v].leaves[k];
            if (t == ChildType::Internal) id = range(nodes[v].first_child + internal++);
            c.slots.push_back({static_cast<int>(t), id});
        }
        c.parent = v == 0 ? UINT64_MAX : range(links.node_parents[v]);
        BVH8Node box = nodes[v];
        box.first_child = 0;  // a numbering detail
        c.box = bytes_of(box);
        if (v < coefficients.size()) c.expansion = bytes_of(coefficients[v], STORED_EXPANSION_BYTES);
        EXPECT_TRUE(out.emplace(range(v), c).second) << "two nodes cover the same leaves";
    }
    return out;
}

template <class T>
struct Snapshot {
    uint32_t node_count = 0;
    std::vector<float> primitives;
    std::vector<uint32_t> sorted_indices;
    std::vector<BVH8Node> nodes;
    std::vector<LeafPointers> rows;
    std::vector<TailorCoefficientsF16> coefficients, leaf_coefficients;
    std::vector<AABB> leaf_boxes;
};

//! Sorted primitive i of the structure-of-arrays copy of n primitives.
template <class T>
T primitive_at(std::vector<float> const& planes, size_t n, size_t i) {
    constexpr size_t k = sizeof(T) / sizeof(float);
    float record[k];
    for (size_t p = 0; p < k; ++p) record[p] = planes[p * n + i];
    T t;
    std::memcpy(&t, record, sizeof(T));
    return t;
}
inline std::vector<D3> points_of(Triangle const& t) { return {d3(t.v0), d3(t.v1), d3(t.v2)}; }
inline std::vector<D3> points_of(PointNormal const& p) { return {d3(p.position)}; }
inline D3 scaled_normal_of(Triangle const& t) {
    D3 const c = cross(sub(d3(t.v1), d3(t.v0)), sub(d3(t.v2), d3(t.v0)));
    return {0.5 * c[0], 0.5 * c[1], 0.5 * c[2]};
}
inline D3 scaled_normal_of(PointNormal const& p) { return d3(p.normal); }
inline Moments moments_about(Triangle const& t, Vec3 const& c) { return triangle_moments(t, c); }
inline Moments moments_about(PointNormal const& p, Vec3 const& c) { return point_moments(p, c); }

//! Every node's radius is the largest distance from its centre to a point of a primitive
//! below it: covering and tight, up to the rounding to half.
template <class T>
void check_radii(Snapshot<T> const& s, Bvh8Links const& links, size_t n) {
    for (size_t v = 0; v < s.nodes.size(); ++v) {
        D3 const c = d3(s.nodes[v].center);
        double farthest = 0.0;
        for (size_t i = size_t(links.leaf_lo[v]) * PRIMITIVES_PER_LEAF;
             i < std::min(n, (size_t(links.leaf_hi[v]) + 1) * PRIMITIVES_PER_LEAF); ++i)
            for (D3 const& x : points_of(primitive_at<T>(s.primitives, n, i)))
                farthest = std::max(farthest, norm(sub(x, c)));
        double const radius = __half2float(s.nodes[v].radius);
        // Half rounding: 2^-11 relative, or half of the subnormal step 2^-24 below 2^-14. The
        // float maximum itself: coordinate differences good to a few float steps of the
        // coordinates, then an approximate square root.
        double const tolerance = farthest * std::ldexp(1.0, -11) + std::ldexp(1.0, -25) +
                                 4e-7 * (norm(c) + farthest);
        EXPECT_NEAR(radius, farthest, tolerance) << "node " << v;
    }
}

//! Every node's stored expansion equals the double-precision moments, about the node's
//! centre, of all primitives below it. The stored values carry two roundings that the
//! tolerance must admit: the leaf expansions enter already rounded (zero and first order to
//! half, 2^-11 relative; second order to bfloat16, 2^-8 relative) and are then translated, and
//! the node's own sums are rounded once more. Both are bounded by the same moments taken with
//! absolute values, the offset of each leaf from the node added to the extent of each
//! primitive from its leaf.
template <class T>
void check_expansions(Snapshot<T> const& s, Bvh8Links const& links, size_t n) {
    ASSERT_EQ(s.coefficients.size(), s.nodes.size());
    for (size_t v = 0; v < s.nodes.size(); ++v) {
        Vec3 const c = s.nodes[v].center;
        std::array<double, 30> exact{}, bound{};
        size_t leaves = 0;
        for (size_t l = links.leaf_lo[v]; l <= links.leaf_hi[v]; ++l, ++leaves) {
            D3 const leaf_center = d3(s.leaf_boxes[l].center);
            D3 const d = sub(leaf_center, d3(c));
            for (size_t i = l * PRIMITIVES_PER_LEAF; i < std::min(n, (l + 1) * PRIMITIVES_PER_LEAF); ++i) {
                T const prim = primitive_at<T>(s.primitives, n, i);
                Moments const m = moments_about(prim, c);
                for (int k = 0; k < 3; ++k) exact[k] += m.zero[k];
                for (int k = 0; k < 9; ++k) exact[3 + k] += m.first[k];
                for (int k = 0; k < 18; ++k) exact[12 + k] += m.second[k];
                D3 reach{};  // per axis: farthest point from the leaf centre, plus the leaf offset
                for (D3 const& x : points_of(prim))
                    for (int a = 0; a < 3; ++a) reach[a] = std::max(reach[a], std::fabs(x[a] - leaf_center[a]));
                for (int a = 0; a < 3; ++a) reach[a] += std::fabs(d[a]);
                D3 const nrm = scaled_normal_of(prim);
                for (int k = 0; k < 3; ++k) {
                    bound[k] += std::fabs(nrm[k]);
                    for (int a = 0; a < 3; ++a) bound[3 + 3 * a + k] += reach[a] * std::fabs(nrm[k]);
                    for (int p = 0; p < 6; ++p)
                        bound[12 + 3 * p + k] += 0.5 * reach[PAIR_I[p]] * reach[PAIR_J[p]] * std::fabs(nrm[k]);
                }
            }
        }
        TailorCoefficients const stored = TailorCoefficients::from_f16(s.coefficients[v]);
        float got[30];
        std::memcpy(got, &stored, sizeof got);
        double const floor = double(leaves + 1) * std::ldexp(1.0, -24);  // half's subnormal step
        for (int e = 0; e < 30; ++e) {
            double const unit = e < 12 ? std::ldexp(1.0, -11) : std::ldexp(1.0, -8);
            EXPECT_NEAR(got[e], exact[e], 3.0 * unit * bound[e] + floor) << "node " << v << " value " << e;
        }
    }
}

// ---- engines built by the factories ------------------------------------------------------------

//! Everything the build wrote, copied back after the engine's stream has finished.
template <class T>
Snapshot<T> snapshot(GyrantBackend<T> const& e) {
    EXPECT_EQ(cudaStreamSynchronize(GyrantBackendTestAccess::stream(e)), cudaSuccess);
    Snapshot<T> s;
    size_t const n = e.point_count();
    size_t const L = e.leaf_count();
    s.primitives = test::DeviceArray<float>::download(GyrantBackendTestAccess::primitives(e), n * sizeof(T) / sizeof(float));
    s.sorted_indices = test::DeviceArray<uint32_t>::download(GyrantBackendTestAccess::sorted_indices(e), n);
    if (L == 0) return s;
    s.node_count = test::DeviceArray<uint32_t>::download(GyrantBackendTestAccess::bvh8_node_count(e), 1)[0];
    EXPECT_LE(s.node_count, e.bvh8_capacity());
    s.node_count = static_cast<uint32_t>(std::min<unsigned long>(s.node_count, e.bvh8_capacity()));
    s.nodes = test::DeviceArray<BVH8Node>::download(GyrantBackendTestAccess::bvh8_nodes(e), s.node_count);
    s.rows = test::DeviceArray<LeafPointers>::download(GyrantBackendTestAccess::leaf_pointers(e), s.node_count);
    s.coefficients = test::DeviceArray<TailorCoefficientsF16>::download(GyrantBackendTestAccess::bvh8_coefficients(e), s.node_count);
    s.leaf_coefficients = test::DeviceArray<TailorCoefficientsF16>::download(GyrantBackendTestAccess::leaf_coefficients(e), L);
    s.leaf_boxes = test::DeviceArray<AABB>::download(GyrantBackendTestAccess::binary_aabbs(e) + (L - 1), L);
    return s;
}

inline std::vector<float> flat(std::vector<Triangle> const& tris) {
    std::vector<float> f(tris.size() * 9);
    std::memcpy(f.data(), tris.data(), f.size() * sizeof(float));
    return f;
}

inline std::unique_ptr<GyrantBackend<Triangle>> from_soup(std::vector<Triangle> const& tris) {
    test::DeviceArray<float> d(flat(tris));
    return GyrantBackend<Triangle>::CreateFromTriangles(d.get(), tris.size(), 0);
}

inline std::unique_ptr<GyrantBackend<PointNormal>> from_points(std::vector<PointNormal> const& pts) {
    std::vector<float> p, nrm;
    for (auto const& q : pts) {
        p.insert(p.end(), {q.position.x, q.position.y, q.position.z});
        nrm.insert(nrm.end(), {q.normal.x, q.normal.y, q.normal.z});
    }
    test::DeviceArray<float> dp(p), dn(nrm);
    return GyrantBackend<PointNormal>::CreateFromPoints(dp.get(), dn.get(), pts.size(), 0);
}

}  // namespace test

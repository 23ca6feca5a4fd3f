// The 8-wide hierarchy: the cooperative collapse of binary trees built by the test, and the
// distance bounds and upward-translated expansions of hierarchies built by the engine.
#include "platform.h"
#include "kernels/binary2bvh8.h"
#include "bvh8_checks.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace {

using test::Bvh8Links;
using test::DeviceArray;
using test::Random;

// ---- binary trees made by the test --------------------------------------------------------------

enum class Shape { Balanced, Chain, RandomSplit };

//! A binary tree over leaves 0 .. L-1 in the combined numbering (internal nodes in preorder,
//! root 0), each node covering a contiguous leaf range, with boxes chosen to make the opening
//! order interesting: squared radii from a few exact half values (many ties), some +infinity
//! and, when `with_nan`, some NaN (both corners of an axis at +infinity).
struct TestTree {
    unsigned L = 0;
    std::vector<BinaryNode> nodes;
    std::vector<AABB> boxes;
    std::map<uint64_t, uint32_t> internal_by_range;  // (lo << 32 | hi) -> internal index
    std::vector<uint64_t> range_of_internal;
};

//! Leaf ranges of all internal nodes, found by walking the child links from the root.
void index_ranges(TestTree& t) {
    t.internal_by_range.clear();
    t.range_of_internal.assign(t.L - 1, 0);
    auto walk = [&](auto&& self, uint32_t node) -> uint64_t {
        if (node >= t.L - 1) {
            uint64_t const leaf = node - (t.L - 1);
            return leaf << 32 | leaf;
        }
        uint64_t const left = self(self, t.nodes[node].left);
        uint64_t const right = self(self, t.nodes[node].right);
        uint64_t const range = (left & 0xFFFFFFFF00000000ull) | (right & 0xFFFFFFFFull);
        t.internal_by_range[range] = node;
        t.range_of_internal[node] = range;
        return range;
    };
    if (t.L > 1) walk(walk, 0);
}

AABB test_box(Random& rng, bool with_nan) {
    // Corners on a 1/8 grid with half-extents 1/4, 1/2 or 1: exact in half precision, so equal
    // extents give exactly equal squared radii.
    float const half_extents[3] = {0.25f, 0.5f, 1.0f};
    float lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
        float const c = std::floor(rng.uniform(-64.0f, 64.0f)) / 8.0f;
        float const h = half_extents[rng.bits() % 3];
        lo[a] = c - h;
        hi[a] = c + h;
    }
    unsigned const roll = rng.bits() % 16;
    if (roll == 0) hi[1] = lo[1] + 400.0f;  // squared diagonal beyond the half range: +infinity
    if (roll == 1 && with_nan) lo[0] = hi[0] = 1e6f;  // inf - inf on one axis: NaN
    AABB b;
    b.min = Vec3_f16::from_float({lo[0], lo[1], lo[2]});
    b.max = Vec3_f16::from_float({hi[0], hi[1], hi[2]});
    b.center = rng.point(-8.0f, 8.0f);  // distinct per node: shows which box a node copied
    b.radius = __float2half_rn(rng.uniform(0.0f, 4.0f));
    return b;
}

TestTree make_tree(unsigned L, Shape shape, uint64_t seed, bool with_nan = false) {
    TestTree t;
    t.L = L;
    t.nodes.resize(L - 1);
    t.boxes.resize(2 * L - 1);
    Random rng(seed);
    uint32_t next_internal = 0;
    auto build = [&](auto&& self, uint32_t lo, uint32_t hi) -> uint32_t {
        if (lo == hi) return lo + L - 1;
        uint32_t const me = next_internal++;
        uint32_t split = lo;  // Chain: one leaf on the left, the rest on the right
        if (shape == Shape::Balanced) split = lo + (hi - lo) / 2;
        if (shape == Shape::RandomSplit) split = lo + rng.bits() % (hi - lo);
        uint32_t const left = self(self, lo, split);
        uint32_t const right = self(self, split + 1, hi);
        t.nodes[me] = {left, right};
        return me;
    };
    if (L > 1) build(build, 0, L - 1);
    for (auto& b : t.boxes) b = test_box(rng, with_nan);
    index_ranges(t);
    return t;
}

//! The collapse written out plainly: open the internal slot of largest squared radius (NaN
//! counts as +infinity, ties to the lowest slot); the left child takes the slot, the right
//! child is appended.
std::vector<uint32_t> reference_slots(TestTree const& t, uint32_t b) {
    std::vector<uint32_t> slots{b};
    while (slots.size() < 8) {
        int best = -1;
        float best_key = -1.0f;
        for (size_t k = 0; k < slots.size(); ++k) {
            if (slots[k] >= t.L - 1) continue;
            float key = t.boxes[slots[k]].radius_sq();
            if (std::isnan(key)) key = INFINITY;
            if (key > best_key) {
                best = static_cast<int>(k);
                best_key = key;
            }
        }
        if (best < 0) break;
        BinaryNode const opened = t.nodes[slots[best]];
        slots[best] = opened.left;
        slots.push_back(opened.right);
    }
    return slots;
}

struct Conversion {
    uint32_t node_count = 0;
    std::vector<BVH8Node> nodes;
    std::vector<LeafPointers> rows;
    std::vector<uint32_t> node_parents, child_counts, leaf_parents;
};

Conversion convert(TestTree const& t) {
    unsigned const L = t.L;
    size_t const cap = L - 1;
    DeviceArray<BinaryNode> nodes(t.nodes);
    DeviceArray<AABB> boxes(t.boxes);
    DeviceArray<unsigned> queue_a(cap), queue_b(cap), node_parents(cap), child_counts(cap);
    DeviceArray<unsigned> next_level_count(1), leaf_parents(L), node_count(1);
    DeviceArray<BVH8Node> bvh8(cap);
    DeviceArray<LeafPointers> rows(cap);
    // Garbage everywhere, so an entry the conversion forgets shows.
    auto garbage = [](auto& array) {
        if (array.size() > 0)
            EXPECT_EQ(cudaMemset(array.get(), 0x5A, array.size() * sizeof(*array.get())), cudaSuccess);
    };
    for (auto* a : {&queue_a, &queue_b, &node_parents, &child_counts, &next_level_count, &leaf_parents, &node_count})
        garbage(*a);
    garbage(bvh8);
    garbage(rows);

    ConvertBinary2BVH8Params params{queue_a.get(), queue_b.get(), node_parents.get(),
                                    next_level_count.get(), L, boxes.get(), nodes.get(),
                                    child_counts.get(), leaf_parents.get(), bvh8.get(), rows.get(),
                                    node_count.get()};
    cudaStream_t stream = nullptr;
    convert_binary_tree_to_bvh8(params, 0, stream);
    EXPECT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);

    Conversion c;
    c.node_count = node_count.download()[0];
    EXPECT_LE(c.node_count, cap);
    size_t const K = std::min<size_t>(c.node_count, cap);
    c.nodes = DeviceArray<BVH8Node>::download(bvh8.get(), K);
    c.rows = DeviceArray<LeafPointers>::download(rows.get(), K);
    c.node_parents = DeviceArray<unsigned>::download(node_parents.get(), K);
    c.child_counts = DeviceArray<unsigned>::download(child_counts.get(), K);
    c.leaf_parents = leaf_parents.download();
    return c;
}

//! Structure, link arrays, copied boxes and the exact slot contents of every node against the
//! plain collapse, with nodes matched to binary nodes by the leaf range they cover.
void check_conversion(TestTree const& t, Conversion const& c) {
    SCOPED_TRACE(testing::Message() << "L = " << t.L);
    Bvh8Links const links = test::check_bvh8_structure(t.L, c.nodes, c.rows);
    if (testing::Test::HasFailure()) return;
    EXPECT_EQ(c.node_parents, links.node_parents);
    EXPECT_EQ(c.child_counts, links.child_counts);
    EXPECT_EQ(c.leaf_parents, links.leaf_parents);

    // Expected node set: every binary node reached from the root through the collapse.
    size_t expected_nodes = 0;
    std::vector<uint32_t> frontier{0};
    while (t.L > 1 && !frontier.empty()) {
        std::vector<uint32_t> next;
        for (uint32_t b : frontier) {
            ++expected_nodes;
            for (uint32_t s : reference_slots(t, b))
                if (s < t.L - 1) next.push_back(s);
        }
        frontier = std::move(next);
    }
    EXPECT_EQ(c.node_count, expected_nodes);

    for (size_t v = 0; v < c.nodes.size(); ++v) {
        uint64_t const range = uint64_t(links.leaf_lo[v]) << 32 | links.leaf_hi[v];
        auto const it = t.internal_by_range.find(range);
        ASSERT_NE(it, t.internal_by_range.end()) << "node " << v << " matches no binary node";
        uint32_t const b = it->second;
        if (v == 0) EXPECT_EQ(b, 0u) << "node 0 is not made from the binary root";
        AABB const& box = t.boxes[b];
        BVH8Node const& n = c.nodes[v];
        EXPECT_EQ(test::bytes_of(n.min), test::bytes_of(box.min)) << "node " << v;
        EXPECT_EQ(test::bytes_of(n.max), test::bytes_of(box.max)) << "node " << v;
        EXPECT_EQ(test::bytes_of(n.center), test::bytes_of(box.center)) << "node " << v;
        EXPECT_EQ(test::bytes_of(n.radius), test::bytes_of(box.radius)) << "node " << v;

        std::vector<uint32_t> const expected = reference_slots(t, b);
        EXPECT_EQ(links.child_counts[v], expected.size()) << "node " << v;
        unsigned internal = 0;
        for (size_t k = 0; k < expected.size() && k < 8; ++k) {
            uint32_t const s = expected[k];
            if (s >= t.L - 1) {
                EXPECT_EQ(n.getChildMeta(k), ChildType::Leaf) << "node " << v << " slot " << k;
                EXPECT_EQ(c.rows[v].leaves[k], s - (t.L - 1)) << "node " << v << " slot " << k;
            } else {
                ASSERT_EQ(n.getChildMeta(k), ChildType::Internal) << "node " << v << " slot " << k;
                uint32_t const child = n.first_child + internal++;
                uint64_t const child_range = uint64_t(links.leaf_lo[child]) << 32 | links.leaf_hi[child];
                EXPECT_EQ(child_range, t.range_of_internal[s]) << "node " << v << " slot " << k;
            }
        }
    }
}

TEST(Bvh8Conversion, TwoLeavesGiveOneNodeWithBothLeaves) {
    TestTree const t = make_tree(2, Shape::Balanced, 1);
    Conversion const c = convert(t);
    ASSERT_EQ(c.node_count, 1u);
    EXPECT_EQ(c.nodes[0].child_meta, 0x000A);
    EXPECT_EQ(c.nodes[0].first_child, 1u);  // where internal children would start
    EXPECT_EQ(c.child_counts[0], 2u);
    EXPECT_EQ(c.node_parents[0], INVALID_INDEX);
    EXPECT_EQ(c.leaf_parents, (std::vector<uint32_t>{0, 0}));
    uint32_t const expected_row[8] = {0, 1, INVALID_INDEX, INVALID_INDEX, INVALID_INDEX,
                                      INVALID_INDEX, INVALID_INDEX, INVALID_INDEX};
    for (int k = 0; k < 8; ++k) EXPECT_EQ(c.rows[0].leaves[k], expected_row[k]) << "slot " << k;
}

TEST(Bvh8Conversion, SlotsFollowTheOpeningOrderOnEveryShape) {
    uint64_t seed = 100;
    for (unsigned L : {1u, 2u, 3u, 8u, 9u, 64u, 65u, 1000u}) {
        for (Shape shape : {Shape::Balanced, Shape::Chain, Shape::RandomSplit}) {
            SCOPED_TRACE(testing::Message() << "shape " << static_cast<int>(shape));
            TestTree const t = make_tree(L, shape, ++seed);
            Conversion const c = convert(t);
            check_conversion(t, c);
            if (L > 1 && L <= 8) EXPECT_EQ(c.node_count, 1u) << "up to 8 leaves fit one node";
        }
    }
}

TEST(Bvh8Conversion, EqualAndInfiniteRadiiOpenTheLowestSlotFirst) {
    // Root 0 = {1, 2}; node 1 = {leaf 0, leaf 1}; node 2 = {leaf 2, leaf 3} (L = 4: leaves at
    // 3 .. 6). With equal radii node 1 (slot 0) opens before node 2 (slot 1).
    for (float extent : {2.0f, 400.0f}) {
        TestTree t;
        t.L = 4;
        t.nodes = {{1, 2}, {3, 4}, {5, 6}};
        Random rng(7);
        t.boxes.resize(7);
        for (auto& b : t.boxes) b = test_box(rng, false);
        for (uint32_t i : {1u, 2u}) {
            t.boxes[i].min = Vec3_f16::from_float({0, 0, 0});
            t.boxes[i].max = Vec3_f16::from_float({extent, 1, 1});  // 400: +infinity for both
        }
        index_ranges(t);
        Conversion const c = convert(t);
        ASSERT_EQ(c.node_count, 1u);
        uint32_t const expected[4] = {0, 2, 1, 3};  // node 1 opened in slot 0, node 2 in slot 1
        for (int k = 0; k < 4; ++k) EXPECT_EQ(c.rows[0].leaves[k], expected[k]) << "extent " << extent;
        check_conversion(t, c);
    }
}

TEST(Bvh8Conversion, NaNBoxesStillEndTheWalk) {
    // Every box NaN, and mixed: a NaN box that never won the comparison would be re-queued as
    // its own only child forever.
    for (unsigned L : {9u, 65u, 500u}) {
        TestTree all_nan = make_tree(L, Shape::RandomSplit, 300 + L);
        for (auto& b : all_nan.boxes) b.min.x = b.max.x = __float2half_rn(1e6f);
        ASSERT_TRUE(std::isnan(all_nan.boxes[0].radius_sq()));
        check_conversion(all_nan, convert(all_nan));
        TestTree const mixed = make_tree(L, Shape::Balanced, 400 + L, /*with_nan=*/true);
        check_conversion(mixed, convert(mixed));
    }
}

TEST(Bvh8Conversion, LevelsWiderThanTheGrid) {
    // 40000 balanced leaves: the fifth level holds 4096 nodes, more than the persistent grid
    // has threads, so the grid-stride rounds and several blocks' reservations interleave.
    TestTree const t = make_tree(40000, Shape::Balanced, 5);
    check_conversion(t, convert(t));
}


// ---- hierarchies built by the engine ----------------------------------------------------------

using test::clustered_points;
using test::nested_clusters;
using test::random_soup;

template <class T>
void check_engine(GyrantBackend<T> const& e) {
    SCOPED_TRACE(testing::Message() << "n = " << e.point_count());
    test::Snapshot<T> const s = test::snapshot(e);
    unsigned const L = static_cast<unsigned>(e.leaf_count());
    Bvh8Links const links = test::check_bvh8_structure(L, s.nodes, s.rows);
    if (testing::Test::HasFailure()) return;
    test::check_radii(s, links, e.point_count());
    test::check_expansions(s, links, e.point_count());
}

TEST(Bvh8Engine, SoupRadiiCoverTightlyAndExpansionsMatchTheMoments) {
    // L = 1, 2, 8, 9, 64, 65 and a larger, partly filled last leaf.
    for (size_t n : {32u, 33u, 256u, 257u, 2048u, 2049u, 4001u}) {
        std::vector<Triangle> const tris = random_soup(n, 1000 + n);
        testing::internal::CaptureStdout();
        auto const engine = test::from_soup(tris);
        testing::internal::GetCapturedStdout();
        check_engine(*engine);
    }
    testing::internal::CaptureStdout();
    auto const sphere = test::from_soup(test::soup(test::icosphere(4)));  // 5120 triangles
    testing::internal::GetCapturedStdout();
    check_engine(*sphere);
}

TEST(Bvh8Engine, PointCloudRadiiCoverTightlyAndExpansionsMatchTheMoments) {
    for (size_t n : {33u, 288u, 2049u, 20000u}) {
        std::vector<PointNormal> const pts = clustered_points(n, 2000 + n);
        testing::internal::CaptureStdout();
        auto const engine = test::from_points(pts);
        testing::internal::GetCapturedStdout();
        check_engine(*engine);
    }
    testing::internal::CaptureStdout();
    auto const nested = test::from_points(nested_clusters(9));
    testing::internal::GetCapturedStdout();
    check_engine(*nested);
}

// Not a check: build time of large random soups. Run with
//   gyrant_tests --gtest_also_run_disabled_tests --gtest_filter='*BuildTimeOfLargeSoups'
TEST(Bvh8Engine, DISABLED_BuildTimeOfLargeSoups) {
    for (size_t n : {10000u, 100000u, 1000000u}) {
        std::vector<Triangle> const tris = random_soup(n, 42);
        DeviceArray<float> d(test::flat(tris));
        testing::internal::CaptureStdout();
        auto const start = std::chrono::steady_clock::now();
        auto const engine = GyrantBackend<Triangle>::CreateFromTriangles(d.get(), n, 0);
        EXPECT_EQ(cudaEventSynchronize(GyrantBackendTestAccess::build_done_event(*engine)), cudaSuccess);
        auto const stop = std::chrono::steady_clock::now();
        testing::internal::GetCapturedStdout();
        std::printf("build of %zu triangles (%s flavour): %.1f ms\n", n, gyrant::kFlavour,
                    std::chrono::duration<double, std::milli>(stop - start).count());
    }
}

#if defined(GYRANT_FLAVOUR_HOST)
//! The same hierarchy (nodes by leaf range, slots, boxes, radii and expansions, bit for bit)
//! and the same sorted storage for every schedule the host layer runs the build kernels in.
template <class T, class Build>
void expect_same_for_every_worker_count(Build const& build) {
    gyrant::cpu::ScopedTestHooks hooks;
    hooks.native_build(false);  // the kernels; the native build has no host schedule
    std::map<uint64_t, test::CanonicalNode> first;
    std::vector<float> first_primitives;
    test::for_each_schedule([&](test::Schedule const& schedule) {
        testing::internal::CaptureStdout();
        auto const engine = build();
        testing::internal::GetCapturedStdout();
        test::Snapshot<T> const s = test::snapshot(*engine);
        Bvh8Links const links = test::check_bvh8_structure(static_cast<unsigned>(engine->leaf_count()), s.nodes, s.rows);
        auto const canonical = test::canonical_hierarchy(s.nodes, s.rows, s.coefficients, links);
        if (first.empty()) {
            first = canonical;
            first_primitives = s.primitives;
        } else {
            EXPECT_TRUE(canonical == first) << schedule;
            EXPECT_EQ(s.primitives, first_primitives) << schedule;
        }
    });
}

TEST(Bvh8Engine, SameHierarchyWhateverTheWorkerCount) {
    std::vector<Triangle> const tris = random_soup(3000, 7);
    expect_same_for_every_worker_count<Triangle>([&] { return test::from_soup(tris); });
    std::vector<PointNormal> const pts = clustered_points(5000, 8);
    expect_same_for_every_worker_count<PointNormal>([&] { return test::from_points(pts); });
}
#endif

}  // namespace

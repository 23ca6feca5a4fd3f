// Engines built by the real ordering: sorted storage is the Morton-sorted input, stably, and
// the exact evaluation does not depend on the order.
#include "platform.h"
#include "kernels/common.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace {

using Access = GyrantBackendTestAccess;

template <class T>
std::vector<uint32_t> sorted_indices(GyrantBackend<T> const& e) {
    EXPECT_EQ(cudaStreamSynchronize(Access::stream(e)), cudaSuccess);
    return test::DeviceArray<uint32_t>::download(Access::sorted_indices(e), e.point_count());
}

template <class T>
std::vector<float> planes(GyrantBackend<T> const& e) {
    EXPECT_EQ(cudaStreamSynchronize(Access::stream(e)), cudaSuccess);
    return test::DeviceArray<float>::download(Access::primitives(e),
                                              e.point_count() * (sizeof(T) / sizeof(float)));
}

//! The order is a permutation along which the Morton codes of the inputs' centroids (under the
//! engine's own parameters) never decrease, with ties in input order; the planes hold
//! the inputs in that order, bit for bit, in the engine's frame.
template <class T>
void check_ordering(GyrantBackend<T> const& e, std::vector<T> const& caller_input) {
    std::vector<T> const input = test::in_frame(caller_input, e.unit_scale(), e.area_factor());
    size_t const n = input.size();
    std::vector<uint32_t> const order = sorted_indices(e);
    std::vector<uint32_t> seen(order);
    std::sort(seen.begin(), seen.end());
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(seen[i], i) << "not a permutation";

    SceneParams const params = Access::scene_params(e);
    for (size_t i = 1; i < n; ++i) {
        uint64_t const a = morton_code_of(input[order[i - 1]].centroid(), params);
        uint64_t const b = morton_code_of(input[order[i]].centroid(), params);
        ASSERT_LE(a, b) << "position " << i;
        if (a == b) {
            ASSERT_LT(order[i - 1], order[i]) << "equal codes out of input order at " << i;
        }
    }

    constexpr size_t k = sizeof(T) / sizeof(float);
    std::vector<float> const soa = planes(e);
    for (size_t i = 0; i < n; ++i) {
        float record[k];
        std::memcpy(record, &input[order[i]], sizeof(T));
        for (size_t p = 0; p < k; ++p)
            ASSERT_EQ(0, std::memcmp(&soa[p * n + i], &record[p], sizeof(float)))
                << "plane " << p << " position " << i;
    }
}

template <class T>
std::vector<T> shuffled(std::vector<T> v, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::shuffle(v.begin(), v.end(), rng);
    return v;
}

std::vector<Vec3> probe_points() {
    std::vector<Vec3> q = {{0, 0, 0}, {0.3f, -0.2f, 0.5f}, {2, 0, 0}, {0.1f, 1.5f, -0.4f}};
    test::Random rng(5);
    for (int i = 0; i < 200; ++i) q.push_back(rng.point(-1.6f, 1.6f));
    return q;
}

//! brute_force of two engines at the same queries.
template <class T>
std::pair<std::vector<float>, std::vector<float>> both(GyrantBackend<T> const& a,
                                                       GyrantBackend<T> const& b, float epsilon) {
    std::vector<Vec3> const q = probe_points();
    test::DeviceArray<Vec3> d_q(q);
    auto const* qp = reinterpret_cast<float const*>(d_q.get());
    auto const ra = a.brute_force(qp, q.size(), epsilon, 0);
    auto const rb = b.brute_force(qp, q.size(), epsilon, 0);
    return {test::results(ra, q.size()), test::results(rb, q.size())};
}

}  // namespace

TEST(BuildOrdering, TriangleEngineIsSortedAndAnswersLikeTheInputOrder) {
    // A closed sphere handed over in random order, plus a small patch far away.
    std::vector<Triangle> tris = shuffled(test::soup(test::icosphere(3)), 17);
    test::DeviceArray<Triangle> d_tris(tris);
    auto const engine = GyrantBackend<Triangle>::CreateFromTriangles(
        reinterpret_cast<float const*>(d_tris.get()), tris.size(), 0);
    check_ordering(*engine, tris);

    // The published scene box is the rounded extent of every vertex (in the engine's frame).
    SceneParams const params = Access::scene_params(*engine);
    float lo = INFINITY, hi = -INFINITY;
    for (auto const& t : test::in_frame(tris, engine->unit_scale()))
        for (Vec3 const& v : {t.v0, t.v1, t.v2}) lo = std::min(lo, v.x), hi = std::max(hi, v.x);
    EXPECT_EQ(__half2float(params.bounds.min.x), __half2float(__float2half_rn(lo)));
    EXPECT_EQ(__half2float(params.bounds.max.x), __half2float(__float2half_rn(hi)));
    EXPECT_GT(params.inv_extent, 0.0f);

    // The same triangles in input order, written directly into an engine's storage.
    GyrantBackend<Triangle> unsorted(tris.size(), 0);
    test::fill_primitives(unsorted, tris);
    auto const [got, want] = both(*engine, unsorted, -1.0f);
    std::vector<Vec3> const q = probe_points();
    for (size_t i = 0; i < q.size(); ++i) {
        // The same float contributions, compensated sums in two orders: a few ulps of 1.
        EXPECT_NEAR(got[i], want[i], 3e-7) << "query " << i;
        // 1280 single-precision solid angles (approximate square roots on the device) against
        // double precision; the host flavour stays below 5e-7.
        EXPECT_NEAR(got[i], test::reference_winding(tris, q[i], 0), 5e-6) << "query " << i;
    }
    EXPECT_NEAR(got[0], 1.0f, 1e-5);  // the centre of the sphere
    EXPECT_NEAR(got[2], 0.0f, 1e-5);  // outside
}

TEST(BuildOrdering, PointEngineIsSortedAndAnswersLikeTheInputOrder) {
    std::vector<PointNormal> pts = shuffled(test::sphere_points(2000), 23);
    std::vector<Vec3> positions, normals;
    for (auto const& p : pts) positions.push_back(p.position), normals.push_back(p.normal);
    test::DeviceArray<Vec3> d_pos(positions), d_nrm(normals);
    auto const engine = GyrantBackend<PointNormal>::CreateFromPoints(
        reinterpret_cast<float const*>(d_pos.get()), reinterpret_cast<float const*>(d_nrm.get()),
        pts.size(), 0);
    check_ordering(*engine, pts);

    GyrantBackend<PointNormal> unsorted(pts.size(), 0);
    test::fill_primitives(unsorted, pts);
    auto const [got, want] = both(*engine, unsorted, 0.01f);
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want[i], 3e-7 * (1 + std::abs(want[i]))) << i;  // compensated sums, two orders
}

TEST(BuildOrdering, EqualCodesKeepInputOrder) {
    // Every centroid in one place: scale 0, every code 0, the order is the input order.
    test::Random rng(29);
    std::vector<PointNormal> same(100, PointNormal{{0.25f, -3, 7}, {0, 0, 0}});
    for (auto& p : same) p.normal = rng.point(-1, 1);
    std::vector<Vec3> positions, normals;
    for (auto const& p : same) positions.push_back(p.position), normals.push_back(p.normal);
    test::DeviceArray<Vec3> d_pos(positions), d_nrm(normals);
    auto const points = GyrantBackend<PointNormal>::CreateFromPoints(
        reinterpret_cast<float const*>(d_pos.get()), reinterpret_cast<float const*>(d_nrm.get()),
        same.size(), 0);
    EXPECT_EQ(Access::scene_params(*points).inv_extent, 0.0f);
    std::vector<uint32_t> identity(same.size());
    std::iota(identity.begin(), identity.end(), 0u);
    EXPECT_EQ(sorted_indices(*points), identity);
    check_ordering(*points, same);

    // Triangles sharing a centroid but not a box: the scale is finite and the codes still tie.
    std::vector<Triangle> spun;
    for (int i = 0; i < 70; ++i) {
        Vec3 const d = rng.point(-1, 1);
        Vec3 const e{-d.y, d.x, 0};
        spun.push_back({d, e, (d + e) * -1.0f});  // vertex mean exactly 0
    }
    std::vector<Triangle> const clusters = [&] {
        // ... interleaved with a second cluster far away, so equal codes are not neighbours in
        // the input.
        std::vector<Triangle> v;
        for (size_t i = 0; i < spun.size(); ++i) {
            v.push_back(spun[i]);
            Vec3 const o{5, 5, 5};
            v.push_back({spun[i].v0 + o, spun[i].v1 + o, spun[i].v2 + o});
        }
        return v;
    }();
    test::DeviceArray<Triangle> d_tris(clusters);
    auto const tri_engine = GyrantBackend<Triangle>::CreateFromTriangles(
        reinterpret_cast<float const*>(d_tris.get()), clusters.size(), 0);
    EXPECT_GT(Access::scene_params(*tri_engine).inv_extent, 0.0f);
    check_ordering(*tri_engine, clusters);
}

TEST(BuildOrdering, LeafCountsAndDevice) {
    // 32 primitives make one leaf (it is the root), 33 make two; the caller's device comes back.
    for (unsigned n : {1u, 32u, 33u}) {
        std::vector<Triangle> tris;
        test::Random rng(n);
        for (unsigned i = 0; i < n; ++i) tris.push_back({rng.point(0, 1), rng.point(0, 1), rng.point(0, 1)});
        test::DeviceArray<Triangle> d_tris(tris);
        ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
        auto const engine = GyrantBackend<Triangle>::CreateFromTriangles(
            reinterpret_cast<float const*>(d_tris.get()), n, 0);
        int current = -1;
        ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
        EXPECT_EQ(current, 1);
        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
        check_ordering(*engine, tris);

        // The root box (the leaf itself for n <= 32) covers every vertex.
        EXPECT_EQ(engine->leaf_count(), (n + 31) / 32);
        AABB root;
        ASSERT_EQ(cudaMemcpy(&root, Access::binary_aabbs(*engine), sizeof root, cudaMemcpyDeviceToHost),
                  cudaSuccess);
        float lo = INFINITY;
        for (auto const& t : test::in_frame(tris, engine->unit_scale())) lo = std::min({lo, t.v0.y, t.v1.y, t.v2.y});
        EXPECT_EQ(__half2float(root.min.y), __half2float(__float2half_rn(lo)));
    }

    // An empty soup builds an engine without a hierarchy that answers zeros.
    auto const empty = GyrantBackend<Triangle>::CreateFromTriangles(nullptr, 0, 0);
    EXPECT_EQ(empty->point_count(), 0u);
    std::vector<Vec3> const q = {{0, 0, 0}};
    test::DeviceArray<Vec3> d_q(q);
    auto const out = empty->brute_force(reinterpret_cast<float const*>(d_q.get()), 1, -1.0f, 0);
    EXPECT_EQ(test::results(out, 1)[0], 0.0f);
}

// Each engine orders by its own scene box, also when another engine is built meanwhile, on
// another thread.
TEST(BuildOrdering, EnginesBuiltAtOnceKeepTheirOwnSceneBox) {
    std::vector<Triangle> const small = shuffled(test::soup(test::icosphere(3)), 41);
    std::vector<Triangle> large = small;
    for (Triangle& t : large) t = {t.v0 * 3.0f + Vec3{7, 0, 0}, t.v1 * 3.0f + Vec3{7, 0, 0}, t.v2 * 3.0f + Vec3{7, 0, 0}};
    test::DeviceArray<Triangle> d_small(small), d_large(large);
    std::unique_ptr<GyrantBackend<Triangle>> a, b;
    testing::internal::CaptureStdout();
    std::thread other([&] {
        b = GyrantBackend<Triangle>::CreateFromTriangles(reinterpret_cast<float const*>(d_large.get()), large.size(), 0);
    });
    a = GyrantBackend<Triangle>::CreateFromTriangles(reinterpret_cast<float const*>(d_small.get()), small.size(), 0);
    other.join();
    testing::internal::GetCapturedStdout();
    check_ordering(*a, small);
    check_ordering(*b, large);
}

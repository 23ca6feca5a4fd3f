// Closest points: the native walk and the kernel against a double-precision search over every
// primitive, and against each other.
#include "platform.h"

#include "gyrant_cuda.h"
#include "kernels/nearest.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using test::D3;

//! Distance from q to segment ab in double.
double segment_distance(D3 const& a, D3 const& b, D3 const& q) {
    D3 const ab = test::sub(b, a), aq = test::sub(q, a);
    double const l2 = test::dot(ab, ab);
    double const t = l2 > 0 ? std::clamp(test::dot(aq, ab) / l2, 0.0, 1.0) : 0.0;
    return test::norm({aq[0] - t * ab[0], aq[1] - t * ab[1], aq[2] - t * ab[2]});
}

//! Distance from q to a triangle in double: the plane where q projects inside (barycentric
//! coordinates by area), else the nearest edge.
double reference_distance(Triangle const& t, Vec3 const& qf) {
    D3 const a = test::d3(t.v0), b = test::d3(t.v1), c = test::d3(t.v2), q = test::d3(qf);
    D3 const n = test::cross(test::sub(b, a), test::sub(c, a));
    double const nn = test::dot(n, n);
    if (nn > 0) {
        double const s = test::dot(test::sub(q, a), n) / nn;
        D3 const p{q[0] - s * n[0], q[1] - s * n[1], q[2] - s * n[2]};
        double const u = test::dot(test::cross(test::sub(c, b), test::sub(p, b)), n);
        double const v = test::dot(test::cross(test::sub(a, c), test::sub(p, c)), n);
        double const w = test::dot(test::cross(test::sub(b, a), test::sub(p, a)), n);
        if (u >= 0 && v >= 0 && w >= 0) return std::fabs(s) * std::sqrt(nn);
    }
    return std::min({segment_distance(a, b, q), segment_distance(b, c, q), segment_distance(c, a, q)});
}
double reference_distance(PointNormal const& p, Vec3 const& q) { return test::norm(test::sub(test::d3(p.position), test::d3(q))); }

struct Nearest {
    std::vector<float> distance, points;
    std::vector<int64_t> index;
};

template <class T>
Nearest run(GyrantBackend<T> const& engine, std::vector<Vec3> const& queries, float max_distance = INFINITY) {
    test::DeviceArray<Vec3> d_q(queries);
    auto const r = engine.closest_point(reinterpret_cast<float const*>(d_q.get()), queries.size(), max_distance, 0);
    EXPECT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);
    size_t const n = queries.size();
    return {test::DeviceArray<float>::download(r.distance.get(), n),
            test::DeviceArray<float>::download(r.points.get(), 3 * n),
            test::DeviceArray<int64_t>::download(r.index.get(), n)};
}

std::unique_ptr<GyrantBackend<Triangle>> build(std::vector<Triangle> const& tris) {
    test::DeviceArray<Triangle> d(tris);
    return GyrantBackend<Triangle>::CreateFromTriangles(reinterpret_cast<float const*>(d.get()), tris.size(), 0);
}
std::unique_ptr<GyrantBackend<PointNormal>> build(std::vector<PointNormal> const& pts) {
    std::vector<Vec3> p, n;
    for (auto const& x : pts) p.push_back(x.position), n.push_back(x.normal);
    test::DeviceArray<Vec3> dp(p), dn(n);
    return GyrantBackend<PointNormal>::CreateFromPoints(reinterpret_cast<float const*>(dp.get()),
                                                        reinterpret_cast<float const*>(dn.get()), pts.size(), 0);
}

//! Queries around the primitives' box, and on the surface itself (corners and centroids).
template <class T>
std::vector<Vec3> queries_for(std::vector<T> const& prims, uint64_t seed) {
    Vec3 lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
    for (auto const& p : prims) {
        Vec3 const c = p.centroid();
        lo = {std::min(lo.x, c.x), std::min(lo.y, c.y), std::min(lo.z, c.z)};
        hi = {std::max(hi.x, c.x), std::max(hi.y, c.y), std::max(hi.z, c.z)};
    }
    Vec3 const size = hi - lo;
    test::Random rng(seed);
    std::vector<Vec3> q;
    for (int i = 0; i < 300; ++i) {
        Vec3 const u = rng.point(-0.3f, 1.3f);
        q.push_back({lo.x + u.x * size.x, lo.y + u.y * size.y, lo.z + u.z * size.z});
    }
    for (size_t i = 0; i < prims.size(); i += std::max<size_t>(1, prims.size() / 100)) {
        q.push_back(prims[i].centroid());
        if constexpr (std::is_same_v<T, Triangle>) q.push_back(prims[i].v1);
    }
    return q;
}

//! Every query's result against the double-precision minimum over all primitives: the distance
//! within `ulps` single-precision steps of the scene's extent, the index one of the nearest
//! (ties: within the same tolerance), the point on that primitive at that distance.
template <class T>
void check_against_reference(std::vector<T> const& prims, std::vector<Vec3> const& queries, Nearest const& got,
                             double extent, char const* what) {
    double const tol = 8.0 * extent * std::numeric_limits<float>::epsilon();
    for (size_t i = 0; i < queries.size(); ++i) {
        double best = INFINITY;
        for (auto const& p : prims) best = std::min(best, reference_distance(p, queries[i]));
        ASSERT_GE(got.index[i], 0) << what << " query " << i;
        ASSERT_LT(got.index[i], static_cast<int64_t>(prims.size()));
        EXPECT_NEAR(got.distance[i], best, tol) << what << " query " << i;
        EXPECT_NEAR(reference_distance(prims[got.index[i]], queries[i]), best, tol) << what << " query " << i;
        Vec3 const point{got.points[3 * i], got.points[3 * i + 1], got.points[3 * i + 2]};
        EXPECT_NEAR(reference_distance(prims[got.index[i]], point), 0.0, tol) << what << " query " << i;
        EXPECT_NEAR(test::norm(test::sub(test::d3(point), test::d3(queries[i]))), best, tol) << what << " query " << i;
    }
}

//! The native walk and the kernel both against the reference; the same distances bit for bit.
template <class T>
void check_both(std::vector<T> const& prims, double extent, char const* what, uint64_t seed = 5) {
    std::vector<Vec3> const q = queries_for(prims, seed);
    auto const engine = build(prims);
    Nearest const native = run(*engine, q);
    Nearest kernel;
    {
        test::KernelQueries const kernels;
        kernel = run(*engine, q);
    }
    check_against_reference(prims, q, native, extent, what);
    check_against_reference(prims, q, kernel, extent, what);
    // Where both found the same primitive (ties aside: the walks visit in different orders), the
    // same bits.
    size_t same = 0;
    for (size_t i = 0; i < q.size(); ++i) {
        if (native.index[i] != kernel.index[i]) continue;
        ++same;
        EXPECT_EQ(std::memcmp(&native.distance[i], &kernel.distance[i], sizeof(float)), 0) << what << " query " << i;
        EXPECT_EQ(std::memcmp(&native.points[3 * i], &kernel.points[3 * i], 3 * sizeof(float)), 0) << what << " query " << i;
    }
    EXPECT_GT(same, q.size() * 3 / 4) << what;
}

std::vector<Triangle> scaled(std::vector<Triangle> tris, float s) {
    for (auto& t : tris) t = {t.v0 * s, t.v1 * s, t.v2 * s};
    return tris;
}

}  // namespace

TEST(Nearest, SurfacesMatchTheDoublePrecisionSearch) {
    std::vector<Triangle> const sphere = test::soup(test::icosphere(3));
    check_both(sphere, 2.0, "closed sphere");
    // Open: a cap of the sphere removed.
    std::vector<Triangle> open;
    for (auto const& t : sphere)
        if (t.centroid().z < 0.6f) open.push_back(t);
    check_both(open, 2.0, "open sphere");
    check_both(test::random_soup(3000, 3), 4.0, "soup");
    check_both(scaled(sphere, 1e-4f), 2e-4, "sphere x1e-4");
    check_both(scaled(test::random_soup(700, 4), 1e4f), 4e4, "soup x1e4");
    check_both(test::clustered_points(3000, 6), 4.0, "points");
    // A deep tree: the kernel's stack overflows into its leaf-range fallback.
    check_both(test::nested_clusters(8), 2.0, "nested points");
}

TEST(Nearest, DegenerateTrianglesAreSegmentsOrPoints) {
    std::vector<Triangle> tris = test::random_soup(200, 11);
    test::Random rng(12);
    for (int i = 0; i < 100; ++i) {
        Vec3 const a = rng.point(-2.0f, 2.0f), d = rng.point(-0.2f, 0.2f);
        tris.push_back({a, a, a});                         // a point
        tris.push_back({a, a + d, a});                     // a repeated corner
        tris.push_back({a, a + d, a + d * 2.5f});          // collinear corners
        tris.push_back({a + d * 0.5f, a, a + d});          // collinear, the middle one first
    }
    for (size_t i = 0; i < 5; ++i) check_both(std::vector<Triangle>(tris.begin() + 200, tris.end()), 4.0, "degenerate only", i);
    check_both(tris, 4.0, "mixed");
}

TEST(Nearest, MaxDistanceAndNonFiniteQueries) {
    std::vector<Triangle> const sphere = test::soup(test::icosphere(2));
    auto const engine = build(sphere);
    float const nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<Vec3> const q = {{0, 0, 0}, {0, 0, 1.05f}, {0, 0, 1.3f}, {nan, 0, 0}, {INFINITY, 0, 0}, {0, 0, 40.0f}};
    for (bool kernels : {false, true}) {
        std::unique_ptr<test::KernelQueries> on;
        if (kernels) on = std::make_unique<test::KernelQueries>();
        Nearest const all = run(*engine, q), band = run(*engine, q, 0.2f);
        for (size_t i : {1u}) {  // within the band: as without a limit
            EXPECT_EQ(band.distance[i], all.distance[i]);
            EXPECT_EQ(band.index[i], all.index[i]);
        }
        for (size_t i : {0u, 2u, 5u}) {  // beyond it
            EXPECT_EQ(band.distance[i], INFINITY) << i;
            EXPECT_EQ(band.index[i], NO_PRIMITIVE) << i;
            EXPECT_TRUE(std::isnan(band.points[3 * i])) << i;
            EXPECT_TRUE(std::isfinite(all.distance[i])) << i;
        }
        for (Nearest const* r : {&all, &band})
            for (size_t i : {3u, 4u}) {
                EXPECT_TRUE(std::isnan(r->distance[i])) << i;
                EXPECT_EQ(r->index[i], NO_PRIMITIVE) << i;
                EXPECT_TRUE(std::isnan(r->points[3 * i + 2])) << i;
            }
        EXPECT_NEAR(all.distance[5], 39.0f, 1e-4f);
    }
    // An empty surface has nothing within any distance.
    auto const empty = GyrantBackend<Triangle>::CreateFromTriangles(nullptr, 0, 0);
    Nearest const none = run(*empty, q);
    EXPECT_EQ(none.distance[0], INFINITY);
    EXPECT_EQ(none.index[0], NO_PRIMITIVE);
    EXPECT_THROW(engine->closest_point(nullptr, 0, -1.0f, 0), std::invalid_argument);
    EXPECT_THROW(engine->closest_point(nullptr, 0, nan, 0), std::invalid_argument);
}

// The walk's bounds (oriented along flat patches, relative to a centre) must stay below every
// distance they stand for, or a nearer primitive is pruned. A tilted, wavy sheet far from the
// origin makes the patches thin and the coordinates large; queries just off it and far from it
// must find the smallest of the kernels' own squared distances over every triangle, bit for bit.
TEST(Nearest, BoundsPruneNoNearerPrimitive) {
    constexpr int N = 48;
    Vec3 const offset{1000.0f, -500.0f, 250.0f};
    float const c = std::cos(0.6f), s = std::sin(0.6f);
    auto const sheet = [&](float x, float y) {
        float const z = 0.05f * std::sin(3.0f * x) * std::cos(2.0f * y);
        return Vec3{x, c * y - s * z, s * y + c * z} + offset;  // tilted about x
    };
    std::vector<Triangle> tris;
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j) {
            float const x0 = float(i) / N, x1 = float(i + 1) / N, y0 = float(j) / N, y1 = float(j + 1) / N;
            tris.push_back({sheet(x0, y0), sheet(x1, y0), sheet(x1, y1)});
            tris.push_back({sheet(x0, y0), sheet(x1, y1), sheet(x0, y1)});
        }
    test::Random rng(21);
    std::vector<Vec3> q;
    for (int k = 0; k < 1500; ++k) {
        Vec3 const on = sheet(rng.uniform(0.0f, 1.0f), rng.uniform(0.0f, 1.0f));
        float const off = std::pow(10.0f, rng.uniform(-4.0f, -0.3f)) * (k % 2 ? 1.0f : -1.0f);
        q.push_back(on + Vec3{0.0f, -s, c} * off);  // along the tilted normal
    }
    for (int k = 0; k < 300; ++k) q.push_back(offset + rng.point(-1.0f, 2.0f));
    auto const engine = build(tris);
    Nearest const native = run(*engine, q);
    for (size_t i = 0; i < q.size(); ++i) {
        float best = INFINITY;
        Vec3 point;
        for (auto const& t : tris) best = std::min(best, triangle_distance2(t, q[i], point));
        ASSERT_EQ(native.distance[i], std::sqrt(best)) << "query " << i;
    }
}

// Morton neighbours share one descent of the tree in batches. Each query alone (a batch of one)
// must get the same distance bits as among its neighbours: near the surface, where batches gather
// their leaves; far and scattered, where they gather too many; with non-finite rows and a
// max_distance cut inside the batches.
TEST(Nearest, BatchedQueriesMatchSingleOnes) {
    std::vector<Triangle> const sphere = test::soup(test::icosphere(4));
    auto const engine = build(sphere);
    test::Random rng(31);
    std::vector<Vec3> q;
    for (int k = 0; k < 1200; ++k) {
        Vec3 const p = rng.point(-1.0f, 1.0f);
        float const len = test::norm(test::d3(p));
        if (!(len > 1e-3f)) continue;
        float const r = 1.0f + std::pow(10.0f, rng.uniform(-5.0f, -1.0f)) * (k % 2 ? 1.0f : -1.0f);
        q.push_back(p * (r / len));
    }
    for (int k = 0; k < 200; ++k) q.push_back(rng.point(-20.0f, 20.0f));
    float const nan = std::numeric_limits<float>::quiet_NaN();
    for (size_t k = 5; k < q.size(); k += 97) q[k] = {nan, 0.0f, 0.0f};
    for (float max_distance : {INFINITY, 0.02f}) {
        Nearest const together = run(*engine, q, max_distance);
        for (size_t i = 0; i < q.size(); ++i) {
            Nearest const alone = run(*engine, {q[i]}, max_distance);
            ASSERT_EQ(std::memcmp(&together.distance[i], &alone.distance[0], sizeof(float)), 0)
                << "query " << i << " max_distance " << max_distance;
            ASSERT_EQ(together.index[i] < 0, alone.index[0] < 0) << "query " << i;
        }
    }
}

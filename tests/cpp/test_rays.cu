// The exact method: crossings along axis rays plus the boundary term, native against kernels,
// watertight at the edges and vertices of an axis-aligned mesh, grid rows against queries.
#include "platform.h"

#include "boundary.h"
#include "gyrant_cuda.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#if GYRANT_FLAVOUR_HOST
#include "cpu/native.h"
#include "cpu/rays.h"
#endif

namespace {

//! The box [0, n]^3, each face split into n x n unit squares of two triangles (diagonals
//! alternating), counter-clockwise seen from outside: rays through integer coordinates meet
//! its edges and vertices.
std::vector<Triangle> split_cube(int n) {
    std::vector<Triangle> tris;
    for (int a = 0; a < 3; ++a) {
        int const u = (a + 1) % 3, v = (a + 2) % 3;
        for (int side : {0, n})
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) {
                    auto corner = [&](int di, int dj) {
                        float p[3];
                        p[a] = static_cast<float>(side);
                        p[u] = static_cast<float>(i + di);
                        p[v] = static_cast<float>(j + dj);
                        return Vec3{p[0], p[1], p[2]};
                    };
                    Vec3 const c00 = corner(0, 0), c10 = corner(1, 0), c11 = corner(1, 1), c01 = corner(0, 1);
                    Triangle t1, t2;
                    if ((i + j) % 2 == 0) {
                        t1 = {c00, c10, c11};
                        t2 = {c00, c11, c01};
                    } else {
                        t1 = {c00, c10, c01};
                        t2 = {c10, c11, c01};
                    }
                    if (side == 0) {  // outward is -a: reverse
                        std::swap(t1.v1, t1.v2);
                        std::swap(t2.v1, t2.v2);
                    }
                    tris.push_back(t1);
                    tris.push_back(t2);
                }
    }
    return tris;
}

std::unique_ptr<GyrantBackend<Triangle>> engine_of(std::vector<Triangle> const& tris) {
    test::DeviceArray<Triangle> d(tris);
    return GyrantBackend<Triangle>::CreateFromTriangles(reinterpret_cast<float const*>(d.get()), tris.size(), 0);
}

std::vector<float> exact(GyrantBackend<Triangle> const& e, std::vector<Vec3> const& q) {
    test::DeviceArray<Vec3> d(q);
    return test::results(e.compute_exact(reinterpret_cast<float const*>(d.get()), q.size(), 0), q.size());
}

std::vector<float> grid(GyrantBackend<Triangle> const& e, float const origin[3], float const spacing[3],
                        unsigned long const shape[3]) {
    return test::results(e.exact_grid(origin, spacing, shape, 0), shape[0] * shape[1] * shape[2]);
}

//! An open, curved patch (the upper part of an icosphere) and a non-manifold fin on it.
std::vector<Triangle> open_patch() {
    std::vector<Triangle> tris;
    for (Triangle const& t : test::soup(test::icosphere(2)))
        if (t.centroid().z > -0.3f) tris.push_back(t);
    tris.push_back({{0.0f, 0.0f, 1.0f}, {0.5f, 0.0f, 1.6f}, {0.0f, 0.5f, 1.4f}});
    return tris;
}

//! A soup whose triangles are shrunk towards their centroids: nothing welds, every edge is on the
//! boundary (3 * 80 = 240 edges: whole vectors of partial sums and a tail).
std::vector<Triangle> gapped_soup() {
    std::vector<Triangle> tris = test::soup(test::icosphere(1));
    for (Triangle& t : tris) {
        Vec3 const c = t.centroid();
        for (Vec3* v : {&t.v0, &t.v1, &t.v2}) *v = c + (*v - c) * 0.98f;
    }
    tris.resize(tris.size() - 3);  // 231 edges: not a whole number of vectors
    return tris;
}

}  // namespace

TEST(Rays, FloatBoundaryTermsStayNearTheDoubleOnes) {
    // The polynomial atan2 against the C library's, around the circle and near the axes.
    float worst = 0.0f;
    for (int k = -20000; k <= 20000; ++k) {
        double const angle = k * (3.141592653589793 / 20000.0);
        for (double radius : {1e-3, 1.0, 7e4}) {
            float const x = static_cast<float>(radius * std::cos(angle)), y = static_cast<float>(radius * std::sin(angle));
            if (y == 0.0f) continue;
            worst = std::max(worst, static_cast<float>(std::fabs(gyrant_rays::atan2_poly(y, x) - std::atan2(double(y), double(x)))));
        }
    }
    EXPECT_LT(worst, 3e-7f);
    // The float term where it does not defer to the double one: D is kept above 1/64 of |a||b|, so
    // its rounding (a few float ulps of |a||b|) moves the angle by at most about 1e-5 radians, 2e-6
    // of a turn; the sign of det is certain.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    int deferred[2] = {0, 0};  // general positions, near the plane
    float largest = 0.0f;
    for (int i = 0; i < 200000; ++i) {
        float c[6];
        for (float& x : c) x = u(rng);
        if (i % 4 == 0) c[4] = c[3] * c[1] / c[0];  // near the vertical plane through the edge
        float const up = i % 2 ? 1.0f : -1.0f;
        bool exact;
        float const fast = gyrant_rays::boundary_term_float(c[0], c[1], c[2], c[3], c[4], c[5], up, exact);
        float const wide = gyrant_rays::boundary_term_exact(c[0], c[1], c[2], c[3], c[4], c[5], up);
        if (exact) {
            ++deferred[i % 4 == 0];
            continue;
        }
        largest = std::max(largest, std::fabs(fast - wide));
    }
    EXPECT_LT(largest, 2e-6f);
    EXPECT_GT(deferred[1], 0);                // where float cannot tell the side
    EXPECT_LT(deferred[0], 150000 / 50);      // and rarely elsewhere: the float form does the work
}

TEST(Rays, BoundaryChainCancelsSharedEdgesAndKeepsOpenOnes) {
    std::vector<Triangle> const cube = split_cube(2);
    auto const planes = test::to_planes(cube);
    EXPECT_TRUE(gyrant::boundary_chain(planes.data(), cube.size()).empty());
    // Without one triangle, its three edges remain, reversed (the chain runs around the hole).
    std::vector<Triangle> holed(cube.begin() + 1, cube.end());
    auto const holed_planes = test::to_planes(holed);
    auto const chain = gyrant::boundary_chain(holed_planes.data(), holed.size());
    ASSERT_EQ(chain.size(), 3u);
    Triangle const gone = cube[0];
    Vec3 const v[3] = {gone.v0, gone.v1, gone.v2};
    for (auto const& s : chain) {
        bool found = false;
        for (int k = 0; k < 3; ++k)
            found |= s.a.x == v[(k + 1) % 3].x && s.a.y == v[(k + 1) % 3].y && s.a.z == v[(k + 1) % 3].z &&
                     s.b.x == v[k].x && s.b.y == v[k].y && s.b.z == v[k].z;
        EXPECT_TRUE(found);
    }
    // A triangle twice in the same direction: each edge twice; a degenerate one: nothing.
    std::vector<Triangle> twice = {cube[0], cube[0], {cube[0].v0, cube[0].v0, cube[0].v1}};
    auto const twice_planes = test::to_planes(twice);
    EXPECT_EQ(gyrant::boundary_chain(twice_planes.data(), twice.size()).size(), 6u);
}

TEST(Rays, RaysThroughEdgesAndVerticesCountOnce) {
    // Every query on the half-integer lattice around the box: its rays run along edges, through
    // vertices and across faces exactly. Inside is 1 and outside 0, with no rounding at all.
    auto const engine = engine_of(split_cube(4));
    ASSERT_TRUE(engine->exact_uses_crossings());
    EXPECT_EQ(engine->boundary_edge_count(), 0u);
    std::vector<Vec3> q;
    std::vector<float> expected;
    auto on_box = [](float c) { return c == 0.0f || c == 4.0f; };
    for (int i = -1; i <= 9; ++i)
        for (int j = -1; j <= 9; ++j)
            for (int k = -1; k <= 9; ++k) {
                Vec3 const p{0.5f * i, 0.5f * j, 0.5f * k};
                bool const inside_closed = p.x >= 0 && p.x <= 4 && p.y >= 0 && p.y <= 4 && p.z >= 0 && p.z <= 4;
                if (inside_closed && (on_box(p.x) || on_box(p.y) || on_box(p.z))) continue;  // on the surface
                q.push_back(p);
                expected.push_back(inside_closed ? 1.0f : 0.0f);
            }
    std::vector<float> const w = exact(*engine, q);
    for (size_t i = 0; i < q.size(); ++i)
        ASSERT_EQ(w[i], expected[i]) << q[i].x << " " << q[i].y << " " << q[i].z;

    // Grid rows along z through the lattice's edges and vertices, voxels off the surface.
    float const origin[3] = {-0.5f, -0.5f, 0.25f}, spacing[3] = {0.5f, 0.5f, 0.5f};
    unsigned long const shape[3] = {11, 11, 8};
    std::vector<float> const g = grid(*engine, origin, spacing, shape);
    for (unsigned long i = 0; i < shape[0]; ++i)
        for (unsigned long j = 0; j < shape[1]; ++j)
            for (unsigned long k = 0; k < shape[2]; ++k) {
                float const x = -0.5f + 0.5f * i, y = -0.5f + 0.5f * j, z = 0.25f + 0.5f * k;
                bool const inside = x > 0 && x < 4 && y > 0 && y < 4 && z > 0 && z < 4;
                bool const on = !inside && x >= 0 && x <= 4 && y >= 0 && y <= 4;
                if (on) continue;  // on a side face: either side's value is right
                ASSERT_EQ(g[(i * shape[1] + j) * shape[2] + k], inside ? 1.0f : 0.0f) << x << " " << y << " " << z;
            }
}

TEST(Rays, OpenAndNonManifoldMatchBruteForceAndGridsMatchQueries) {
    auto const engine = engine_of(open_patch());
    ASSERT_TRUE(engine->exact_uses_crossings());
    EXPECT_GT(engine->boundary_edge_count(), 0u);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1.5f, 1.8f);
    std::vector<Vec3> q(3000);
    for (auto& p : q) p = {u(rng), u(rng), u(rng)};
    test::DeviceArray<Vec3> d(q);
    std::vector<float> const ref =
        test::results(engine->brute_force(reinterpret_cast<float const*>(d.get()), q.size(), -1.0f, 0), q.size());
    std::vector<float> const w = exact(*engine, q);
    for (size_t i = 0; i < q.size(); ++i)
        EXPECT_NEAR(w[i], ref[i], 2e-5) << i;  // the float sums of both, about 100 terms each

    // Rows along z against the same points as queries; both exact, rounded differently (the
    // query may take another axis): a few float ulps of the boundary sum.
    float const origin[3] = {-1.3f, -1.2f, -1.1f}, spacing[3] = {0.11f, 0.13f, 0.07f};
    unsigned long const shape[3] = {23, 19, 41};
    std::vector<float> const g = grid(*engine, origin, spacing, shape);
    std::vector<Vec3> voxels;
    for (unsigned long i = 0; i < shape[0]; ++i)
        for (unsigned long j = 0; j < shape[1]; ++j)
            for (unsigned long k = 0; k < shape[2]; ++k)
                voxels.push_back({origin[0] + static_cast<float>(i) * spacing[0],
                                  origin[1] + static_cast<float>(j) * spacing[1],
                                  origin[2] + static_cast<float>(k) * spacing[2]});
    std::vector<float> const per_query = exact(*engine, voxels);
    for (size_t v = 0; v < voxels.size(); ++v) ASSERT_NEAR(g[v], per_query[v], 1e-5) << v;
}

#if GYRANT_FLAVOUR_HOST
TEST(Rays, NativeGivesTheKernelsBits) {
    // Both run the same per-query and per-row functions; only the loop around them differs, and
    // the native boundary sum runs the kernels' operations in vectors of each width this CPU has.
    for (auto const& tris : {open_patch(), split_cube(3), gapped_soup()}) {
        auto const engine = engine_of(tris);
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> u(-1.0f, 3.5f);
        std::vector<Vec3> q(700);
        for (auto& p : q) p = {u(rng), u(rng), u(rng)};
        // Rays through boundary vertices and along them: the lanes the double-precision term redoes.
        for (size_t i = 0; i < 60; ++i) {
            Triangle const& t = tris[(i * 7) % tris.size()];
            q.push_back(i % 2 ? t.v1 : Vec3{t.v0.x, t.v0.y, t.v0.z + 0.25f});
        }
        float const origin[3] = {-1.0f, -0.5f, -1.0f}, spacing[3] = {0.25f, 0.5f, 0.125f};
        unsigned long const shape[3] = {9, 7, 33};
        std::vector<float> kernel_q, kernel_g;
        {
            gyrant::cpu::ScopedTestHooks hooks;
            hooks.native_queries(false);
            kernel_q = exact(*engine, q);
            kernel_g = grid(*engine, origin, spacing, shape);
        }
        for (int lanes : {16, 8, 1}) {
            gyrant::cpu::ScopedTestHooks hooks;
            hooks.native_queries(true);
            gyrant::cpu::limit_boundary_lanes(lanes);
            std::vector<float> const native_q = exact(*engine, q);
            std::vector<float> const native_g = grid(*engine, origin, spacing, shape);
            gyrant::cpu::limit_boundary_lanes(0);
            EXPECT_EQ(native_q, kernel_q) << lanes;
            EXPECT_EQ(native_g, kernel_g) << lanes;
        }
    }
}
#endif

TEST(Rays, PointEnginesRefuseAndGridsCheckTheirShape) {
    std::vector<PointNormal> const pts = test::sphere_points(40);
    test::DeviceArray<PointNormal> d(pts);
    std::vector<float> flat(6 * pts.size());
    for (size_t i = 0; i < pts.size(); ++i) {
        flat[3 * i] = pts[i].position.x, flat[3 * i + 1] = pts[i].position.y, flat[3 * i + 2] = pts[i].position.z;
        flat[3 * pts.size() + 3 * i] = pts[i].normal.x, flat[3 * pts.size() + 3 * i + 1] = pts[i].normal.y;
        flat[3 * pts.size() + 3 * i + 2] = pts[i].normal.z;
    }
    test::DeviceArray<float> dp(flat);
    auto const points = GyrantBackend<PointNormal>::CreateFromPoints(dp.get(), dp.get() + 3 * pts.size(), pts.size(), 0);
    EXPECT_THROW(points->compute_exact(dp.get(), 1, 0), std::invalid_argument);
    auto const engine = engine_of(split_cube(1));
    float const origin[3] = {0, 0, 0}, bad[3] = {1, 0, 1}, good[3] = {1, 1, 1};
    unsigned long const shape[3] = {2, 2, 2}, empty[3] = {3, 0, 5};
    EXPECT_THROW(engine->exact_grid(origin, bad, shape, 0), std::invalid_argument);
    float const nan_origin[3] = {NAN, 0, 0};
    EXPECT_THROW(engine->exact_grid(nan_origin, good, shape, 0), std::invalid_argument);
    EXPECT_EQ(engine->exact_grid(origin, good, empty, 0).get(), nullptr);
}

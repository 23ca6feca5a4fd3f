// The factories: what each prints, what it refuses, and that every way in builds the same
// sound hierarchy, down to empty and out-of-range input.
#include "platform.h"
#include "bvh8_checks.h"
#include "gyrant_cuda.h"
#include "size_limits.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using test::DeviceArray;
using Access = GyrantBackendTestAccess;

#if defined(GYRANT_FLAVOUR_HOST)
size_t live_allocations() { return gyrant::host::live_device_allocations(); }
#else
size_t live_allocations() { return 0; }  // only the host layer counts allocations
#endif

//! A device other than 0 when there is one, so a factory asked for device 0 has to switch.
int other_device() {
    int devices = 0;
    EXPECT_EQ(cudaGetDeviceCount(&devices), cudaSuccess);
    return devices > 1 ? 1 : 0;
}

//! Mesh arrays of an icosphere, with the vertex list shuffled so that indices are not in
//! face order.
struct MeshArrays {
    std::vector<float> vertices;
    std::vector<uint32_t> indices;
    std::vector<Triangle> soup;
};

MeshArrays mesh_arrays(int subdivisions) {
    test::Mesh const m = test::icosphere(subdivisions);
    size_t const V = m.vertices.size();
    std::vector<uint32_t> place(V);
    for (uint32_t i = 0; i < V; ++i) place[i] = static_cast<uint32_t>((i * 7919ull) % V);  // 7919 is prime
    MeshArrays a;
    a.vertices.resize(3 * V);
    for (size_t i = 0; i < V; ++i) {
        Vec3 const v = test::to_vec3(m.vertices[i]);
        a.vertices[3 * place[i] + 0] = v.x;
        a.vertices[3 * place[i] + 1] = v.y;
        a.vertices[3 * place[i] + 2] = v.z;
    }
    for (auto const& f : m.faces) {
        for (uint32_t k : f) a.indices.push_back(place[k]);
        a.soup.push_back({test::to_vec3(m.vertices[f[0]]), test::to_vec3(m.vertices[f[1]]),
                          test::to_vec3(m.vertices[f[2]])});
    }
    return a;
}

std::unique_ptr<GyrantBackend<Triangle>> from_mesh(std::vector<float> const& vertices,
                                                   std::vector<uint32_t> const& indices) {
    DeviceArray<float> dv(vertices);
    DeviceArray<uint32_t> di(indices);
    return GyrantBackend<Triangle>::CreateFromMesh(dv.get(), vertices.size() / 3, di.get(),
                                                   indices.size() / 3, 0);
}

TEST(Factories, EachPrintsItsLine) {
    std::vector<Triangle> const tris = test::soup(test::icosphere(0));
    MeshArrays const mesh = mesh_arrays(0);
    std::vector<PointNormal> const pts = test::sphere_points(50);
    DeviceArray<float> positions(std::vector<float>(150, 0.5f));

    testing::internal::CaptureStdout();
    auto a = test::from_soup(tris);
    auto b = from_mesh(mesh.vertices, mesh.indices);
    auto c = test::from_points(pts);
    auto d = GyrantBackend<PointNormal>::CreateForSolver(positions.get(), 50, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "CreateFromTriangles!\nCreateFromMesh!\nCreateFromPoints!\n");  // the solver's is silent
}

TEST(Factories, IndexedMeshBuildsTheSameEngineAsItsSoup) {
    MeshArrays const mesh = mesh_arrays(3);  // 1280 triangles: 40 leaves, several nodes
    testing::internal::CaptureStdout();
    auto const from_indices = from_mesh(mesh.vertices, mesh.indices);
    auto const expanded = test::from_soup(mesh.soup);
    testing::internal::GetCapturedStdout();
    test::Snapshot<Triangle> const a = test::snapshot(*from_indices), b = test::snapshot(*expanded);
    EXPECT_EQ(a.primitives, b.primitives);
    EXPECT_EQ(a.sorted_indices, b.sorted_indices);
    ASSERT_EQ(a.node_count, b.node_count);
    unsigned const L = static_cast<unsigned>(from_indices->leaf_count());
    auto const links_a = test::check_bvh8_structure(L, a.nodes, a.rows);
    auto const links_b = test::check_bvh8_structure(L, b.nodes, b.rows);
    EXPECT_TRUE(test::canonical_hierarchy(a.nodes, a.rows, a.coefficients, links_a) ==
                test::canonical_hierarchy(b.nodes, b.rows, b.coefficients, links_b));
    for (size_t l = 0; l < L; ++l)
        EXPECT_EQ(test::bytes_of(a.leaf_coefficients[l], test::STORED_EXPANSION_BYTES),
                  test::bytes_of(b.leaf_coefficients[l], test::STORED_EXPANSION_BYTES)) << "leaf " << l;
}

TEST(Factories, MeshIndicesMustStayBelowTheVertexCount) {
    MeshArrays mesh = mesh_arrays(1);
    uint32_t const V = static_cast<uint32_t>(mesh.vertices.size() / 3);
    ASSERT_EQ(V, 42u);
    DeviceArray<float> vertices(mesh.vertices);
    mesh.indices[17] = V;  // one past the last vertex
    DeviceArray<uint32_t> one_past(mesh.indices);
    mesh.indices[17] = V - 1;  // the last vertex
    DeviceArray<uint32_t> last(mesh.indices);
    unsigned long const N = mesh.indices.size() / 3;

    int const caller_device = other_device();
    ASSERT_EQ(cudaSetDevice(caller_device), cudaSuccess);  // the factory must come back to it
    size_t const live_before = live_allocations();
    testing::internal::CaptureStdout();
    try {
        GyrantBackend<Triangle>::CreateFromMesh(vertices.get(), V, one_past.get(), N, 0);
        ADD_FAILURE() << "index == vertex count was accepted";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(),
                     "The triangle indices are not allowed to exceed the number of vertices. "
                     "Vertex count is 42, max index is 42.");
    }
    int current = -1;
    EXPECT_EQ(cudaGetDevice(&current), cudaSuccess);
    EXPECT_EQ(current, caller_device);
    EXPECT_EQ(live_allocations(), live_before) << "the refused build leaked";

    auto const engine = GyrantBackend<Triangle>::CreateFromMesh(vertices.get(), V, last.get(), N, 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(engine->point_count(), N);
    EXPECT_EQ(cudaGetDevice(&current), cudaSuccess);
    EXPECT_EQ(current, caller_device);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
}

TEST(Factories, SolverEngineStoresZeroNormals) {
    test::Random rng(3);
    std::vector<float> positions;
    for (int i = 0; i < 3 * 100; ++i) positions.push_back(rng.uniform(-1.0f, 1.0f));
    DeviceArray<float> d(positions);
    auto const engine = GyrantBackend<PointNormal>::CreateForSolver(d.get(), 100, 0);
    test::Snapshot<PointNormal> const s = test::snapshot(*engine);
    ASSERT_EQ(s.primitives.size(), 600u);
    for (size_t i = 0; i < 100; ++i) {
        uint32_t const src = s.sorted_indices[i];
        ASSERT_LT(src, 100u);
        for (int a = 0; a < 3; ++a) {
            EXPECT_EQ(s.primitives[a * 100 + i], positions[3 * src + a] * engine->unit_scale()) << "point " << i;
            EXPECT_EQ(s.primitives[(3 + a) * 100 + i], 0.0f) << "normal " << i;
        }
    }
    // A surface without normals has no moments.
    for (auto const& c : s.coefficients)
        for (float v : TailorCoefficients::from_f16(c).first_order.m) EXPECT_EQ(v, 0.0f);
}

TEST(Factories, LeafCountBoundaries) {
    test::Random rng(4);
    std::vector<Triangle> tris;
    for (int i = 0; i < 33; ++i) tris.push_back({rng.point(0, 1), rng.point(0, 1), rng.point(0, 1)});
    testing::internal::CaptureStdout();
    auto const one_leaf = test::from_soup(std::vector<Triangle>(tris.begin(), tris.begin() + 32));
    auto const two_leaves = test::from_soup(tris);
    testing::internal::GetCapturedStdout();

    test::Snapshot<Triangle> const a = test::snapshot(*one_leaf);
    EXPECT_EQ(one_leaf->leaf_count(), 1u);
    EXPECT_EQ(a.node_count, 0u);

    test::Snapshot<Triangle> const b = test::snapshot(*two_leaves);
    ASSERT_EQ(b.node_count, 1u);
    EXPECT_EQ(b.nodes[0].child_meta, 0x000A);  // slots 0 and 1 hold leaves
    EXPECT_EQ(b.rows[0].leaves[0], 0u);
    EXPECT_EQ(b.rows[0].leaves[1], 1u);
    for (int k = 2; k < 8; ++k) EXPECT_EQ(b.rows[0].leaves[k], INVALID_INDEX);
}

TEST(Factories, EmptyInputBuildsAnEngineWithoutHierarchy) {
    size_t const live_before = live_allocations();
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    auto const tris = GyrantBackend<Triangle>::CreateFromTriangles(nullptr, 0, 0);
    auto const mesh = GyrantBackend<Triangle>::CreateFromMesh(nullptr, 0, nullptr, 0, 0);
    auto const pts = GyrantBackend<PointNormal>::CreateFromPoints(nullptr, nullptr, 0, 0);
    auto const solver = GyrantBackend<PointNormal>::CreateForSolver(nullptr, 0, 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no CUDA call may fail";
    for (bool h : {tris->has_hierarchy(), mesh->has_hierarchy(), pts->has_hierarchy(), solver->has_hierarchy()})
        EXPECT_FALSE(h);
    EXPECT_EQ(live_allocations(), live_before) << "an empty engine allocates nothing";

    DeviceArray<float> queries(std::vector<float>{0.1f, 0.2f, 0.3f, 5.0f, 5.0f, 5.0f});
    for (auto const* e : {tris.get(), mesh.get()})
        EXPECT_EQ(test::results(e->brute_force(queries.get(), 2, -1.0f, 0), 2), (std::vector<float>{0, 0}));
    for (auto const* e : {pts.get(), solver.get()})
        EXPECT_EQ(test::results(e->brute_force(queries.get(), 2, -1.0f, 0), 2), (std::vector<float>{0, 0}));
}

TEST(Factories, CoordinatesBeyondHalfRangeOrNaNStillBuild) {
    // A closed sphere moved to x = 1e5: every box corner is +infinity on x, so the squared radii
    // of its boxes are NaN (inf - inf) and the collapse must still open them.
    std::vector<Triangle> far = test::soup(test::icosphere(3), 1.0, {1e5, 0, 0});
    // A separate soup where one whole leaf of triangles is NaN among finite ones.
    std::vector<Triangle> with_nan = test::soup(test::icosphere(2));
    for (int i = 0; i < 40; ++i) with_nan[i].v0.x = with_nan[i].v1.x = with_nan[i].v2.x = NAN;

    testing::internal::CaptureStdout();
    auto const far_engine = test::from_soup(far);
    auto const nan_engine = test::from_soup(with_nan);
    testing::internal::GetCapturedStdout();

    for (auto const* e : {far_engine.get(), nan_engine.get()}) {
        test::Snapshot<Triangle> const s = test::snapshot(*e);
        test::check_bvh8_structure(static_cast<unsigned>(e->leaf_count()), s.nodes, s.rows);
    }

    // Inside and outside the far sphere: differences of floats this close are exact, so the
    // exact sum keeps its usual single-precision accuracy.
    std::vector<Vec3> const qs = {{1e5f, 0.1f, 0.0f}, {1e5f + 0.5f, 0.2f, -0.3f}, {1e5f + 3.0f, 0, 0}, {0, 0, 0}};
    std::vector<float> flat_q;
    for (auto const& q : qs) flat_q.insert(flat_q.end(), {q.x, q.y, q.z});
    DeviceArray<float> dq(flat_q);
    std::vector<float> const got = test::results(far_engine->brute_force(dq.get(), qs.size(), -1.0f, 0), qs.size());
    for (size_t i = 0; i < qs.size(); ++i) {
        double const expected = test::reference_winding(far, qs[i], 0.0);
        // 1280 single-precision atan2 terms, Kahan-summed: a few 1e-6 at most.
        EXPECT_NEAR(got[i], expected, 2e-5) << "query " << i;
    }
    // NaN geometry poisons every exact sum, as the reference does.
    std::vector<float> const poisoned = test::results(nan_engine->brute_force(dq.get(), qs.size(), -1.0f, 0), qs.size());
    for (size_t i = 0; i < qs.size(); ++i) EXPECT_TRUE(std::isnan(poisoned[i])) << "query " << i;
}

// Surfaces far below the frame's target extent: the scale stops at a finite bound (its square
// too, for the areas of points) instead of overflowing into NaN coordinates, and the results are
// those of the unscaled surface.
TEST(Factories, TinySurfacesBuildInABoundedFrame) {
    // A closed sphere of extent 2^-139 (subnormal coordinates) and a zero-area soup with a single
    // coordinate at the smallest subnormal: their frames would need scales beyond 2^128.
    std::vector<Triangle> const sphere = test::soup(test::icosphere(2), 0x1p-140);
    std::vector<Triangle> zero(40, Triangle{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
    zero[7].v1.x = 1e-45f;
    std::vector<float> flat_q;
    for (float f : {0.0f, 0.25f, 0.5f, 2.0f, -3.0f, 1e3f})
        for (float c : {f, 0.125f * f, -0.5f * f}) flat_q.push_back(c * 0x1p-140f);
    size_t const n = flat_q.size() / 3;
    DeviceArray<float> dq(flat_q);
    for (auto const& prims : {sphere, zero}) {
        testing::internal::CaptureStdout();
        auto const e = test::from_soup(prims);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(std::isfinite(e->unit_scale()) && e->unit_scale() > 1.0f) << e->unit_scale();
        std::vector<float> const unscaled = test::results(test::engine_with(prims)->brute_force(dq.get(), n, -1.0f, 0), n);
        EXPECT_EQ(test::results(e->brute_force(dq.get(), n, -1.0f, 0), n), unscaled);
        EXPECT_EQ(test::results(e->compute(dq.get(), n, -1.0f, -1.0f, 0), n), unscaled);
    }
    // A tiny cloud without normals (the solver's engine): zeros, not the NaN of an infinite scale.
    std::vector<PointNormal> const cloud = test::sphere_points(100);
    std::vector<float> positions;
    for (auto const& p : cloud) for (float c : {p.position.x, p.position.y, p.position.z}) positions.push_back(c * 0x1p-130f);
    DeviceArray<float> dp(positions);
    auto const solver = GyrantBackend<PointNormal>::CreateForSolver(dp.get(), cloud.size(), 0);
    EXPECT_TRUE(std::isfinite(solver->unit_scale() * solver->unit_scale())) << solver->unit_scale();
    EXPECT_EQ(test::results(solver->compute(dq.get(), n, -1.0f, -1.0f, 0), n),
              std::vector<float>(n, 0.0f));
}

// One past each size limit is refused before anything is allocated or read (the inputs here are
// null), with the limit in the message.
TEST(Factories, OnePastTheLimitsIsRefusedWithoutAllocating) {
    size_t const before = live_allocations();
    auto const refused = [](auto&& call, char const* says) {
        try {
            call();
            ADD_FAILURE() << "accepted: " << says;
        } catch (std::runtime_error const& e) {
            EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
        }
    };
    unsigned long const triangles = gyrant::max_primitives<Triangle>() + 1;
    unsigned long const points = gyrant::max_primitives<PointNormal>() + 1;
    refused([&] { GyrantBackend<Triangle>::CreateFromTriangles(nullptr, triangles, 0); }, "at most 477218588 triangles");
    refused([&] { GyrantBackend<PointNormal>::CreateFromPoints(nullptr, nullptr, points, 0); }, "at most 715827882 points");
    EXPECT_EQ(live_allocations(), before);
    auto const engine = test::from_soup(test::random_soup(40, 3));
    size_t const built = live_allocations();
    refused([&] { engine->compute(nullptr, gyrant::MAX_QUERIES + 1, -1.0f, -1.0f, 0); }, "compute takes at most 4294967040");
    refused([&] { engine->brute_force(nullptr, gyrant::MAX_QUERIES + 1, -1.0f, 0); }, "brute_force takes at most 4294967040");
    EXPECT_EQ(live_allocations(), built);
}

// The frame: a surface outside extents [4, 32] is scaled by a power of two into [8, 16), unless
// its coordinates would exceed 2^60 there, or its smallest leaves would become too small for
// their half-precision moments (then it is built again, larger).
TEST(Factories, FrameChoice) {
    testing::internal::CaptureStdout();
    for (double s : {1.0, 3.0, 20.0, 1e-3, 0.75, 1e5, 6e7}) {
        std::vector<Triangle> const tris = test::soup(test::icosphere(1), s);
        auto const e = test::from_soup(tris);
        float lo = INFINITY, hi = -INFINITY;
        for (Triangle const& t : tris) lo = std::min({lo, t.v0.x, t.v1.x, t.v2.x}), hi = std::max({hi, t.v0.x, t.v1.x, t.v2.x});
        double const extent = double(hi) - lo;  // the same on every axis, the sphere being symmetric
        double const framed = extent * e->unit_scale();
        int exponent = 0;
        EXPECT_EQ(std::frexp(e->unit_scale(), &exponent), 0.5f) << s;  // a power of two
        if (extent >= 4 && extent <= 32) EXPECT_EQ(e->unit_scale(), 1.0f) << s;
        else EXPECT_TRUE(framed >= 8 && framed < 16) << s << ": " << framed;
    }
    // Far from the origin: the coordinates, not the extent, bound the scale.
    auto const far = test::from_soup(test::soup(test::icosphere(1), 1e-3, {1e17, 0, 0}));
    EXPECT_LE(1e17 * far->unit_scale(), 0x1p60);
    EXPECT_GT(1e17 * far->unit_scale(), 0x1p59);
    // A huge sparse frame around a dense cluster of unit triangles: at the extent's target scale
    // the cluster's leaves would be specks, so the build grows it (never beyond the caller's units).
    std::vector<Triangle> tris = test::random_soup(4000, 8);
    tris.push_back({{-0x1p20f, 0, 0}, {-0x1p20f, 1, 0}, {-0x1p20f, 0, 1}});
    tris.push_back({{0x1p20f, 0, 0}, {0x1p20f, 1, 0}, {0x1p20f, 0, 1}});
    auto const grown = test::from_soup(tris);
    testing::internal::GetCapturedStdout();
    EXPECT_GT(grown->unit_scale(), 0x1p-18f);  // the extent alone gives 2^-18
    EXPECT_LE(grown->unit_scale(), 1.0f);
    std::vector<AABB> const boxes = DeviceArray<AABB>::download(Access::binary_aabbs(*grown) + grown->leaf_count() - 1, grown->leaf_count());
    std::vector<float> radii;
    for (AABB const& b : boxes) radii.push_back(__half2float(b.radius));
    std::nth_element(radii.begin(), radii.begin() + radii.size() / 100, radii.end());
    EXPECT_GE(radii[radii.size() / 100], 1.0f / 32) << grown->unit_scale();
}

// Scaled normals need not be area-sized, and a frame grown for small leaves can be far larger
// than the surface: the weight scale keeps every stored expansion finite (an overflowed one is
// summed exactly by every query that meets it), and 2^k normals store the same coefficients.
TEST(Factories, WeightsOfAnySizeKeepTheExpansionsFinite) {
    using A = GyrantBackendTestAccess;
    std::vector<PointNormal> const sphere = test::sphere_points(4000);
    std::vector<PointNormal> const outlier = [&] {
        std::vector<PointNormal> c = sphere;
        c.push_back({{1e4f, 1e4f, 1e4f}, {1e-3f, 0.0f, 0.0f}});
        return c;
    }();
    for (std::vector<PointNormal> const* cloud : {&sphere, &outlier}) {
        std::vector<TailorCoefficientsF16> first;
        for (float factor : {1.0f, 0x1p-40f, 0x1p40f}) {
            std::vector<float> p, n;
            for (PointNormal const& x : *cloud) {
                p.insert(p.end(), {x.position.x, x.position.y, x.position.z});
                n.insert(n.end(), {x.normal.x * factor, x.normal.y * factor, x.normal.z * factor});
            }
            DeviceArray<float> dp(p), dn(n);
            auto const e = GyrantBackend<PointNormal>::CreateFromPoints(dp.get(), dn.get(), cloud->size(), 0);
            ASSERT_EQ(cudaStreamSynchronize(A::stream(*e)), cudaSuccess);
            uint32_t const nodes = DeviceArray<uint32_t>::download(A::bvh8_node_count(*e), 1)[0];
            std::vector<TailorCoefficientsF16> stored =
                DeviceArray<TailorCoefficientsF16>::download(A::bvh8_coefficients(*e), nodes);
            std::vector<TailorCoefficientsF16> const leaves =
                DeviceArray<TailorCoefficientsF16>::download(A::leaf_coefficients(*e), e->leaf_count());
            stored.insert(stored.end(), leaves.begin(), leaves.end());
            for (TailorCoefficientsF16 const& c : stored) {
                TailorCoefficients const w = TailorCoefficients::from_f16(c);
                float const* v = &w.zero_order.x;
                for (int k = 0; k < 30; ++k) ASSERT_TRUE(std::isfinite(v[k])) << factor << " " << cloud->size();
            }
            if (first.empty()) {
                first = stored;
            } else {
                EXPECT_EQ(std::memcmp(first.data(), stored.data(), first.size() * sizeof(TailorCoefficientsF16)), 0)
                    << factor;
            }
        }
    }
}

}  // namespace

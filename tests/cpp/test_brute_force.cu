// The engine object and the exact all-pairs evaluation. Engines are filled directly with sorted
// storage by the tests, so these tests do not depend on the build pipeline.
#include "platform.h"

#include "gyrant_cuda.h"
#include "kernels/brute_force.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#if GYRANT_FLAVOUR_HOST
#include "host/executor.h"
#endif

namespace {

constexpr double FLOAT_EPS = std::numeric_limits<float>::epsilon();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

// Error bound of one float contribution (see test_contribution.cu): a few ulps, amplified by the
// condition number of the solid angle for triangles; a few ulps of the value for points, whose
// kernels here are all outside the cancelling smoothed regime or within its documented bound.
double contribution_bound(Triangle const& t, Vec3 const& q, float) {
    test::D3 const a = test::sub(test::d3(t.v0), test::d3(q)), b = test::sub(test::d3(t.v1), test::d3(q)),
                   c = test::sub(test::d3(t.v2), test::d3(q));
    double const la = test::norm(a), lb = test::norm(b), lc = test::norm(c);
    double const D = la * lb * lc + test::dot(a, b) * lc + test::dot(a, c) * lb + test::dot(b, c) * la;
    return FLOAT_EPS * (4.0 + 16.0 * la * lb * lc / std::hypot(test::dot(a, test::cross(b, c)), D));
}
double contribution_bound(PointNormal const& p, Vec3 const& q, float epsilon) {
    double const r = test::norm(test::sub(test::d3(p.position), test::d3(q)));
    double const x = r / epsilon;
    double const cancel = x >= 0.1 && x < 2.0 ? 1.5 / (x * x) : 0.0;
    // d · normal cancels when the two are nearly orthogonal: a few ulps of |d||normal| times
    // the kernel, on top of the relative error of the kernel itself.
    double const kernel_bound = r < 2.0 * epsilon ? 1.0 / (epsilon * epsilon * epsilon) : 1.0 / (r * r * r);
    return FLOAT_EPS * (16.0 * (1.0 + cancel) * std::fabs(test::point_contribution(p, q, epsilon)) +
                        4.0 * kernel_bound * r * test::norm(test::d3(p.normal)) / (4.0 * M_PI));
}

double reference_term(Triangle const& t, Vec3 const& q, float) { return test::solid_angle_fraction(t, q); }
double reference_term(PointNormal const& p, Vec3 const& q, float epsilon) {
    return test::point_contribution(p, q, epsilon);
}

//! Checks every result against the double-precision sum: each term within its bound, and the
//! compensated float sum within a couple of ulps of the total.
template <class T>
void expect_matches_reference(std::vector<T> const& prims, std::vector<Vec3> const& queries,
                              std::vector<float> const& got, float epsilon) {
    ASSERT_EQ(got.size(), queries.size());
    for (size_t i = 0; i < queries.size(); ++i) {
        double want = 0.0, bound = 0.0;
        for (auto const& p : prims) {
            want += reference_term(p, queries[i], epsilon);
            bound += contribution_bound(p, queries[i], epsilon);
        }
        bound += 2.0 * FLOAT_EPS * std::fabs(want);
        ASSERT_NEAR(got[i], want, bound) << "query " << i << " of " << queries.size();
    }
}

template <class T>
std::vector<float> run_brute_force(GyrantBackend<T> const& e, std::vector<Vec3> const& queries, float epsilon) {
    test::DeviceArray<Vec3> q(queries);
    auto out = e.brute_force(reinterpret_cast<float const*>(q.get()), queries.size(), epsilon, 0);
    return test::results(out, queries.size());
}

//! Queries alternately at a radius below `inner` and between `outer` and 2·`outer`.
std::vector<Vec3> shell_queries(size_t n, float inner, float outer, uint64_t seed) {
    test::Random rng(seed);
    std::normal_distribution<float> gauss;
    std::vector<Vec3> q;
    for (size_t i = 0; i < n; ++i) {
        Vec3 const dir{gauss(rng.engine), gauss(rng.engine), gauss(rng.engine)};
        float const r = i % 2 == 0 ? rng.uniform(0.0f, inner) : rng.uniform(outer, 2 * outer);
        q.push_back(dir * (r / dir.length()));
    }
    return q;
}

int current_device() {
    int d = -1;
    EXPECT_EQ(cudaGetDevice(&d), cudaSuccess);
    return d;
}

}  // namespace

TEST(BruteForce, ClosedIcosphereIsOneInsideZeroOutside) {
    // 320 and 1280 triangles: a partial last tile and an exact multiple of the block.
    for (int subdivisions : {2, 3}) {
        std::vector<Triangle> const tris = test::soup(test::icosphere(subdivisions), 1.5, {0.25, -0.5, 0.125});
        auto const engine = test::engine_with(tris);
        std::vector<Vec3> queries = shell_queries(301, 1.1f, 1.6f, subdivisions);
        for (Vec3& q : queries) q += Vec3{0.25f, -0.5f, 0.125f};
        std::vector<float> const got = run_brute_force(*engine, queries, -1.0f);
        expect_matches_reference(tris, queries, got, 0.004f);
        for (size_t i = 0; i < queries.size(); ++i) {
            bool const inside = (queries[i] - Vec3{0.25f, -0.5f, 0.125f}).length() < 1.2f;
            // Closed surface: exactly 1 or 0, up to the float error of a few hundred terms.
            EXPECT_NEAR(got[i], inside ? 1.0f : 0.0f, 2e-5f) << i;
        }
    }
}

TEST(BruteForce, PointCloudOnSphereApproximatesTheField) {
    std::vector<PointNormal> const pts = test::sphere_points(2000);
    auto const engine = test::engine_with(pts);
    std::vector<Vec3> queries = shell_queries(300, 0.6f, 1.5f, 11);
    // Queries 0.001 from a sample along its normal: inside the smoothing radius of 0.004.
    for (size_t k = 0; k < pts.size(); k += 97) queries.push_back(pts[k].position * 1.001f);
    for (float epsilon : {0.004f, 0.0f, NaN, 0.02f}) {
        SCOPED_TRACE(epsilon);
        std::vector<float> const got = run_brute_force(*engine, queries, epsilon);
        expect_matches_reference(pts, queries, got, epsilon);
        for (size_t i = 0; i < 300; ++i) {
            // Quadrature error of 2000 evenly spread samples, at least 0.4 from the surface.
            EXPECT_NEAR(got[i], queries[i].length() < 1.0f ? 1.0f : 0.0f, 5e-3f) << i;
        }
    }
}

TEST(BruteForce, PartialTilesAndBlocksWriteExactlyTheirQueries) {
    test::Random rng(3);
    for (unsigned n_prims : {1u, 255u, 257u, 513u}) {
        for (unsigned n_queries : {1u, 255u, 256u, 257u, 600u}) {
            SCOPED_TRACE(std::to_string(n_prims) + " primitives, " + std::to_string(n_queries) + " queries");
            std::vector<PointNormal> pts;
            std::vector<Triangle> tris;
            for (unsigned i = 0; i < n_prims; ++i) {
                Vec3 const c = rng.point(-1.0f, 1.0f);
                pts.push_back({c, rng.point(-0.01f, 0.01f)});
                tris.push_back({c, c + rng.point(-0.2f, 0.2f), c + rng.point(-0.2f, 0.2f)});
            }
            std::vector<Vec3> queries;
            for (unsigned i = 0; i < n_queries; ++i) queries.push_back(rng.point(-1.5f, 1.5f));
            test::DeviceArray<Vec3> q(queries);
            // Results land in a larger buffer whose tail must stay untouched.
            std::vector<float> const canary(n_queries + BRUTE_FORCE_BLOCK, 12345.0f);
            test::DeviceArray<float> out(canary);
            test::DeviceArray<float> tri_planes(test::to_planes(tris)), pt_planes(test::to_planes(pts));

            compute_brute_force<Triangle>(q.get(), tri_planes.get(), n_queries, n_prims, out.get(), 0.004f, nullptr);
            std::vector<float> got = out.download();
            for (size_t i = n_queries; i < got.size(); ++i) ASSERT_EQ(got[i], 12345.0f) << i;
            got.resize(n_queries);
            expect_matches_reference(tris, queries, got, 0.004f);

            out.upload(canary);
            compute_brute_force<PointNormal>(q.get(), pt_planes.get(), n_queries, n_prims, out.get(), 0.004f, nullptr);
            got = out.download();
            for (size_t i = n_queries; i < got.size(); ++i) ASSERT_EQ(got[i], 12345.0f) << i;
            got.resize(n_queries);
            expect_matches_reference(pts, queries, got, 0.004f);
        }
    }
}

// The host flavour's native brute force sums every query in the kernel's order with the kernel's
// compensation, so with the C library's atan2f it returns the kernel's bits: triangles, and
// points in every regime of the smoothed kernel (queries on the samples, inside and beyond the
// smoothing band, far away).
TEST(BruteForce, EngineGivesTheKernelsBits) {
    std::vector<PointNormal> const pts = test::sphere_points(700);
    std::vector<Triangle> const tris = test::soup(test::icosphere(3));
    std::vector<Vec3> queries = shell_queries(333, 0.9f, 1.1f, 21);
    for (size_t k = 0; k < pts.size(); k += 7) {
        queries.push_back(pts[k].position);
        queries.push_back(pts[k].position * (1.0f + 0.001f * static_cast<float>(k % 13)));
    }
    for (float epsilon : {-1.0f, 0.0f, 0.05f}) {
        auto const run = [&](auto const& prims) {
            auto const engine = test::engine_with(prims);
            std::vector<float> kernel;
            {
                test::KernelQueries const kernels;
                kernel = run_brute_force(*engine, queries, epsilon);
            }
            test::BitwiseNativeQueries const bitwise;
            std::vector<float> const native = run_brute_force(*engine, queries, epsilon);
            EXPECT_EQ(std::memcmp(native.data(), kernel.data(), native.size() * sizeof(float)), 0) << epsilon;
        };
        run(pts);
        run(tris);
    }
}

TEST(BruteForce, CompensatedSumKeepsSmallTermsAfterALargeOne) {
    // One nearby point contributing about 0.5, then 3000 far points contributing about 2e-8
    // each: below half an ulp of the running sum, so an uncompensated float sum drops them
    // all (about 6e-5 in total).
    std::vector<PointNormal> pts = {{{0.0f, 0.0f, 1.0f}, {0.0f, 0.0f, 2.0f * float(M_PI)}}};
    test::Random rng(9);
    for (int i = 0; i < 3000; ++i) {
        Vec3 const p = rng.point(-1.0f, 1.0f);
        Vec3 const dir = p * (1.0f / p.length());
        pts.push_back({dir * 100.0f, dir * 2.5e-3f});  // (d·n) / (4π r³) ≈ 2e-8
    }
    auto const engine = test::engine_with(pts);
    std::vector<float> const got = run_brute_force(*engine, {{0.0f, 0.0f, 0.0f}}, -1.0f);
    double exact = 0.0;  // the same float terms, summed exactly enough in double
    for (auto const& p : pts) exact += p.contributionToQuery({0.0f, 0.0f, 0.0f}, 250.0f);
    ASSERT_GT(exact - 0.5, 5e-5);
    EXPECT_NEAR(got[0], exact, 2 * FLOAT_EPS);  // compensated: within a couple of ulps of 0.5
}

TEST(BruteForce, EpsilonDefaultsOnlyWhenNegative) {
    std::vector<PointNormal> const pts = test::sphere_points(300);
    auto const points = test::engine_with(pts);
    std::vector<Vec3> queries;
    for (size_t k = 0; k < pts.size(); k += 3) queries.push_back(pts[k].position * 0.999f);
    std::vector<float> const def = run_brute_force(*points, queries, GyrantBackend<PointNormal>::DEFAULT_EPSILON);
    EXPECT_EQ(run_brute_force(*points, queries, -1.0f), def);
    EXPECT_EQ(run_brute_force(*points, queries, -1e-30f), def);
    // Zero and NaN are passed on: both give the unsmoothed dipole, which differs near a sample.
    std::vector<float> const zero = run_brute_force(*points, queries, 0.0f);
    EXPECT_EQ(run_brute_force(*points, queries, NaN), zero);
    EXPECT_EQ(run_brute_force(*points, queries, -0.0f), zero);
    EXPECT_NE(zero, def);

    // A triangle engine ignores epsilon entirely.
    std::vector<Triangle> const tris = test::soup(test::icosphere(1));
    auto const triangles = test::engine_with(tris);
    std::vector<float> const t0 = run_brute_force(*triangles, queries, -1.0f);
    for (float e : {0.0f, NaN, 7.0f, 1e-30f}) EXPECT_EQ(run_brute_force(*triangles, queries, e), t0) << e;
}

TEST(BruteForce, EmptyQueriesAndEmptySurface) {
#if GYRANT_FLAVOUR_HOST
    size_t const live_before = gyrant::host::live_device_allocations();
#endif
    {
        // No primitives: no hierarchy and no buffers, and every query gets 0.
        GyrantBackend<Triangle> empty(0, 0);
        GyrantBackend<PointNormal> empty_points(0, 0);
        EXPECT_FALSE(empty.has_hierarchy());
        EXPECT_EQ(empty.leaf_count(), 0u);
        EXPECT_EQ(empty.bvh8_capacity(), 0u);
#if GYRANT_FLAVOUR_HOST
        EXPECT_EQ(gyrant::host::live_device_allocations(), live_before);
#endif
        std::vector<Vec3> const queries = shell_queries(257, 0.5f, 1.0f, 5);
        EXPECT_EQ(run_brute_force(empty, queries, -1.0f), std::vector<float>(257, 0.0f));
        EXPECT_EQ(run_brute_force(empty_points, queries, 0.0f), std::vector<float>(257, 0.0f));

        // No queries: nothing allocated, nothing launched, an empty result.
        auto const engine = test::engine_with(test::soup(test::icosphere(0)));
        auto const out = engine->brute_force(nullptr, 0, -1.0f, 0);
        EXPECT_EQ(out.get(), nullptr);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
#if GYRANT_FLAVOUR_HOST
    EXPECT_EQ(gyrant::host::live_device_allocations(), live_before);
#endif
}

TEST(BruteForce, RestoresTheCallersDeviceAndUsesTheCallersStream) {
    // The engine lives on the last device and the caller works on device 0 (the host layer
    // reports two devices; a single GPU still checks the stream and the exception paths).
    int devices = 0;
    ASSERT_EQ(cudaGetDeviceCount(&devices), cudaSuccess);
    int const engine_device = devices - 1;
    ASSERT_EQ(cudaSetDevice(engine_device), cudaSuccess);
    auto const engine = std::make_unique<GyrantBackend<Triangle>>(80, engine_device);
    test::fill_primitives(*engine, test::soup(test::icosphere(1)));
    cudaStream_t stream = nullptr;
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
    std::vector<Vec3> const queries = {{0, 0, 0}, {3, 0, 0}};
    test::DeviceArray<Vec3> q(queries);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    {
        auto const out = engine->brute_force(reinterpret_cast<float const*>(q.get()), 2, -1.0f,
                                             reinterpret_cast<unsigned long>(stream));
        EXPECT_EQ(current_device(), 0);
        EXPECT_EQ(out.get_deleter().stream, stream);
        std::vector<float> const got = test::results(out, 2, stream);
        EXPECT_NEAR(got[0], 1.0f, 1e-5f);  // float error of 80 well-conditioned terms
        EXPECT_NEAR(got[1], 0.0f, 1e-5f);
    }
    // Also when the call throws: too many queries for 32-bit block counts, refused before any
    // allocation.
    EXPECT_THROW(engine->brute_force(nullptr, 4294967041ul, -1.0f, 0), std::runtime_error);
    EXPECT_EQ(current_device(), 0);
#if GYRANT_FLAVOUR_HOST
    // And when the result cannot be allocated.
    gyrant::host::fail_next_allocations(1);
    testing::internal::CaptureStderr();
    EXPECT_THROW(engine->brute_force(reinterpret_cast<float const*>(q.get()), 2, -1.0f, 0), std::bad_alloc);
    std::string const report = testing::internal::GetCapturedStderr();
    gyrant::host::fail_next_allocations(0);
    EXPECT_EQ(current_device(), 0);
    EXPECT_NE(report.find("CUDA Runtime Error: "), std::string::npos) << report;
    EXPECT_NE(report.find("gyrant_cuda.cu:"), std::string::npos) << report;
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // reported once, not again by a later check
    // A handle that names no stream is not a shortage of memory: the error says what it is.
    testing::internal::CaptureStderr();
    try {
        (void)engine->brute_force(reinterpret_cast<float const*>(q.get()), 2, -1.0f, 12345);
        ADD_FAILURE() << "an invalid stream handle was accepted";
    } catch (std::runtime_error const& e) {
        EXPECT_NE(std::string(e.what()).find("invalid resource handle"), std::string::npos) << e.what();
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(current_device(), 0);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
#endif
    ASSERT_EQ(cudaSetDevice(engine_device), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
}

TEST(Engine, FailedAllocationThrowsAndReleasesEverything) {
#if GYRANT_FLAVOUR_HOST
    size_t const live_before = gyrant::host::live_device_allocations();
    for (unsigned long n : {1ul, 100ul}) {
        testing::internal::CaptureStderr();
        gyrant::host::fail_next_allocations(1);
        EXPECT_THROW(GyrantBackend<Triangle>(n, 0), std::bad_alloc);
        gyrant::host::fail_next_allocations(0);
        std::string const report = testing::internal::GetCapturedStderr();
        EXPECT_NE(report.find("gyrant_cuda.cu:"), std::string::npos) << report;
        EXPECT_EQ(gyrant::host::live_device_allocations(), live_before);
    }
#endif
    // Counts that 32-bit plane offsets cannot address are refused before anything is allocated.
    EXPECT_THROW(GyrantBackend<Triangle>(477218589ul, 0), std::runtime_error);
    EXPECT_THROW(GyrantBackend<PointNormal>(715827883ul, 0), std::runtime_error);
#if GYRANT_FLAVOUR_HOST
    EXPECT_EQ(gyrant::host::live_device_allocations(), live_before);
#endif
}

TEST(Engine, BufferSizesFollowTheLeafCount) {
    for (unsigned long n : {1ul, 32ul, 33ul, 1000ul}) {
        GyrantBackend<PointNormal> e(n, 0);
        unsigned long const leaves = (n + 31) / 32;
        EXPECT_EQ(e.leaf_count(), leaves);
        EXPECT_EQ(e.bvh8_capacity(), leaves - 1);
        EXPECT_EQ(e.point_count(), n);
        EXPECT_EQ(e.device_id(), 0);
        EXPECT_NE(GyrantBackendTestAccess::primitives(e), nullptr);
        EXPECT_NE(GyrantBackendTestAccess::bvh8_node_count(e), nullptr);
        EXPECT_EQ(GyrantBackendTestAccess::bvh8_nodes(e) == nullptr, leaves == 1);
    }
}

TEST(Engine, PlaceholderAndPointCloudOnlyMessages) {
    auto expect_message = [](auto&& call, char const* message) {
        try {
            call();
            ADD_FAILURE() << "no exception for " << message;
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), message);
        }
    };
    float dummy[3] = {0, 0, 0};
    GyrantBackend<Triangle> triangles(0, 0);
    GyrantBackend<PointNormal> points(40, 0);
    expect_message([&] { triangles.get_normals(); }, "Normals are not explicitly stored for triangle based geometry.");
    expect_message([&] { triangles.grad_normals(dummy, 1); },
                   "grad_scaled_normals is only available for point clouds; this engine holds triangles.");
    expect_message([&] { triangles.grad_points(nullptr, 0); },
                   "grad_points is only available for point clouds; this engine holds triangles.");
    expect_message([&] { triangles.gradient(dummy, 1, -1.0f, -1.0f, 0); },
                   "gradient is only available for point clouds; this engine holds triangles.");
    expect_message([&] { triangles.solve_for_normals(dummy, 1, dummy, nullptr, 0.2f); },
                   "solve_for_normals not implemented yet!");
    expect_message([&] { points.solve_for_normals(dummy, 1, dummy, nullptr, 0.2f); },
                   "solve_for_normals not implemented yet!");
}

TEST(MemoryUtilities, AllocateFillLocateAndFree) {
    int devices = 0;
    ASSERT_EQ(cudaGetDeviceCount(&devices), cudaSuccess);
    int const device = devices - 1;
    ASSERT_EQ(cudaSetDevice(device), cudaSuccess);
    auto* p = static_cast<float*>(gyrant_cuda::cuda_allocate(1000 * sizeof(float)));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(gyrant_cuda::get_cuda_device_from_ndarray(p + 999), device);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    gyrant_cuda::thrust_fill_float(p, 999, 2.5f);  // returns once the fill is done
    std::vector<float> const got = test::DeviceArray<float>::download(p, 999);
    EXPECT_EQ(got, std::vector<float>(999, 2.5f));
    gyrant_cuda::cuda_free(p);
    // Null pointers are no-ops, not failures.
    testing::internal::CaptureStderr();
    gyrant_cuda::cuda_free(nullptr);
    gyrant_cuda::cuda_free_async(nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
#if GYRANT_FLAVOUR_HOST
    gyrant::host::fail_next_allocations(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(gyrant_cuda::cuda_allocate(64), nullptr);
    std::string const report = testing::internal::GetCapturedStderr();
    gyrant::host::fail_next_allocations(0);
    EXPECT_EQ(report.rfind("CUDA Runtime Error: ", 0), 0u) << report;
    EXPECT_NE(report.find("utils.cu:"), std::string::npos) << report;
    (void)cudaGetLastError();
#endif
}

// Exact per-primitive contributions against double-precision references written in the tests,
// on the host and inside a kernel that reads the primitives through their structure-of-arrays
// view.
#include "platform.h"

#include "geometry.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr unsigned TEST_BLOCK = 128;
constexpr float FLOAT_EPS = std::numeric_limits<float>::epsilon();
constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

// out[i] = contribution of primitive i (loaded from the view, sentinel past n) at queries[i].
template <class T>
__global__ void contribution_kernel(SoAView<T> prims, unsigned n, Vec3 const* queries, unsigned n_pairs,
                                    float inverse_epsilon, float* out, T* loaded) {
    unsigned const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n_pairs) return;
    T const prim = T::load(prims, i, n);
    loaded[i] = prim;
    out[i] = prim.contributionToQuery(queries[i], inverse_epsilon);
}

//! Contribution of prims[i] at queries[i], evaluated in a kernel; queries may hold more entries
//! than prims, those pairs read the load sentinel. `loaded` receives what the kernel loaded.
template <class T>
std::vector<float> on_device(std::vector<T> const& prims, std::vector<Vec3> const& queries, float inverse_epsilon,
                             std::vector<T>* loaded = nullptr) {
    test::DeviceArray<float> planes(test::to_planes(prims));
    test::DeviceArray<Vec3> q(queries);
    test::DeviceArray<float> out(queries.size());
    test::DeviceArray<T> records(queries.size());
    unsigned const n_pairs = static_cast<unsigned>(queries.size());
    SoAView<T> const view{planes.get(), prims.size()};
    GYRANT_LAUNCH(contribution_kernel<T>, (n_pairs + TEST_BLOCK - 1) / TEST_BLOCK, TEST_BLOCK, 0, nullptr, view,
                  static_cast<unsigned>(prims.size()), q.get(), n_pairs, inverse_epsilon, out.get(), records.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    if (loaded != nullptr) *loaded = records.download();
    return out.download();
}

Triangle right_triangle(float scale = 1.0f) {
    return {{0.0f, 0.0f, 0.0f}, {scale, 0.0f, 0.0f}, {0.0f, scale, 0.0f}};
}

}  // namespace

TEST(Contribution, TriangleMatchesDoublePrecisionSolidAngle) {
    test::Random rng(7);
    std::vector<Triangle> tris;
    std::vector<Vec3> queries;
    for (int i = 0; i < 20000; ++i) {
        // Mostly unit-sized triangles, some slivers and some far away.
        float const s = i % 5 == 0 ? 0.01f : 1.0f;
        Vec3 const c = rng.point(-1.0f, 1.0f);
        Triangle t{c + rng.point(-s, s), c + rng.point(-s, s), c + rng.point(-s, s)};
        if (i % 7 == 0) t.v2 = (t.v0 + t.v1) * 0.5f + rng.point(-1e-3f, 1e-3f);
        tris.push_back(t);
        queries.push_back(i % 11 == 0 ? rng.point(-50.0f, 50.0f) : rng.point(-2.0f, 2.0f));
    }
    std::vector<float> const device = on_device(tris, queries, 250.0f);

    // Float arithmetic forms det and D to a few ulps of their largest terms, at most |a||b||c|;
    // atan2 turns that into an angle error of about ulps · |a||b||c| / sqrt(det² + D²), the
    // condition number κ of the configuration. atan2f and the square roots add a few ulps of
    // the result. So the error must stay below eps · (C1 + C2 · κ).
    double worst_abs = 0.0, worst_scaled = 0.0;
    for (size_t i = 0; i < tris.size(); ++i) {
        Triangle const& t = tris[i];
        Vec3 const& q = queries[i];
        double const want = test::solid_angle_fraction(t, q);
        test::D3 const a = test::sub(test::d3(t.v0), test::d3(q)), b = test::sub(test::d3(t.v1), test::d3(q)),
                       c = test::sub(test::d3(t.v2), test::d3(q));
        double const la = test::norm(a), lb = test::norm(b), lc = test::norm(c);
        double const det = test::dot(a, test::cross(b, c));
        double const D = la * lb * lc + test::dot(a, b) * lc + test::dot(a, c) * lb + test::dot(b, c) * la;
        double const kappa = la * lb * lc / std::hypot(det, D);
        double const bound = FLOAT_EPS * (4.0 + 16.0 * kappa);
        for (float got : {t.contributionToQuery(q, 250.0f), device[i]}) {
            double const err = std::fabs(got - want);
            worst_abs = std::max(worst_abs, err);
            worst_scaled = std::max(worst_scaled, err / (FLOAT_EPS * (1.0 + kappa)));
            ASSERT_LE(err, bound) << "pair " << i << " kappa " << kappa;
        }
    }
    std::printf("[          ] triangle contribution: largest |error| %.3g (%.1f float eps) over %zu pairs; "
                "largest error / (eps·(1 + kappa)) %.2f\n",
                worst_abs, worst_abs / FLOAT_EPS, tris.size(), worst_scaled);
}

// Through brute_force on one-triangle engines: the host flavour's native code, whose vectorised
// atan2 stands in for atan2f, stays within the same bound; on the special points it gives the
// kernels' values, signed zeros and half turns included.
TEST(Contribution, EngineTriangleTermsMatchDoublePrecisionSolidAngle) {
    test::Random rng(17);
    double worst = 0.0;
    for (int i = 0; i < 2000; ++i) {
        float const s = i % 5 == 0 ? 0.01f : 1.0f;
        Vec3 const c = rng.point(-1.0f, 1.0f);
        Triangle t{c + rng.point(-s, s), c + rng.point(-s, s), c + rng.point(-s, s)};
        if (i % 7 == 0) t.v2 = (t.v0 + t.v1) * 0.5f + rng.point(-1e-3f, 1e-3f);
        std::vector<Vec3> queries;
        for (int k = 0; k < 10; ++k) queries.push_back(k % 4 == 0 ? rng.point(-50.0f, 50.0f) : rng.point(-2.0f, 2.0f));
        auto const engine = test::engine_with(std::vector<Triangle>{t});
        test::DeviceArray<Vec3> d(queries);
        std::vector<float> const got =
            test::results(engine->brute_force(reinterpret_cast<float const*>(d.get()), queries.size(), -1.0f, 0),
                          queries.size());
        for (size_t k = 0; k < queries.size(); ++k) {
            Vec3 const& q = queries[k];
            test::D3 const a = test::sub(test::d3(t.v0), test::d3(q)), b = test::sub(test::d3(t.v1), test::d3(q)),
                           cc = test::sub(test::d3(t.v2), test::d3(q));
            double const la = test::norm(a), lb = test::norm(b), lc = test::norm(cc);
            double const det = test::dot(a, test::cross(b, cc));
            double const D = la * lb * lc + test::dot(a, b) * lc + test::dot(a, cc) * lb + test::dot(b, cc) * la;
            double const kappa = la * lb * lc / std::hypot(det, D);
            double const err = std::fabs(got[k] - test::solid_angle_fraction(t, q));
            worst = std::max(worst, err / FLOAT_EPS);
            ASSERT_LE(err, FLOAT_EPS * (4.0 + 16.0 * kappa)) << "triangle " << i << " query " << k;
        }
    }
    std::printf("[          ] engine triangle terms: largest |error| %.1f float eps\n", worst);

    Triangle const u = right_triangle();
    Triangle const t{{0.0f, 0.0f, 0.0f}, {6.0f, 0.0f, 0.0f}, {0.0f, 8.0f, 0.0f}};
    std::vector<Vec3> const special_points = {t.v0, t.v1, t.v2, {3.0f, 0.0f, 0.0f}, {0.0f, 4.0f, 0.0f}, {3.0f, 4.0f, 0.0f},
                                      {5.0f, 5.0f, 0.0f}, {-1.0f, 0.5f, 0.0f}, {0.25f, 0.25f, 0.0f}, {0.2f, 0.2f, -1.0f}};
    // A triangle filling a quarter of the sphere seen from (0.75, 0, 0.5), where D vanishes.
    Triangle const quarter{{0.75f, 0.5f, 0.5f}, {1.0f, 0.0f, 0.5f}, {0.25f, -0.25f, 0.0f}};
    std::vector<Triangle> const cases = {t, u, Triangle{u.v0, u.v2, u.v1}, quarter};
    for (size_t c = 0; c < cases.size(); ++c) {
        Triangle const& tri = cases[c];
        auto const engine = test::engine_with(std::vector<Triangle>{tri});
        std::vector<Vec3> special = special_points;
        if (c + 1 == cases.size()) special.insert(special.begin(), Vec3{0.75f, 0.0f, 0.5f});
        test::DeviceArray<Vec3> d(special);
        auto const run = [&] {
            return test::results(engine->brute_force(reinterpret_cast<float const*>(d.get()), special.size(), -1.0f, 0),
                                 special.size());
        };
        std::vector<float> const got = run();
        std::vector<float> kernel;
        {
            test::KernelQueries const kernels;
            kernel = run();
        }
        // 0.5 at vertices and edges, 0 or +-0.5 in the plane, bit for bit.
        for (size_t k = 0; k + 1 < special.size(); ++k)
            EXPECT_EQ(std::memcmp(&got[k], &kernel[k], sizeof(float)), 0) << k << ": " << got[k] << " " << kernel[k];
        EXPECT_NEAR(got.back(), kernel.back(), 4 * FLOAT_EPS);
    }
}

// Beyond about 1e12 the cubes of distances overflow float; the angle must not turn into NaN or a
// stray value, in the kernel as in the native code: a unit triangle seen from afar, and a huge
// one seen from as far as it is large.
TEST(Contribution, TriangleTermsSurviveFloatOverflow) {
    std::vector<std::pair<Triangle, Vec3>> cases;
    for (float d : {1e13f, 3e19f, 1e30f, 3e38f}) cases.push_back({right_triangle(), Vec3{d, -0.7f * d, 0.5f * d}});
    for (float s : {1e15f, 1e25f, 1e37f}) cases.push_back({right_triangle(s), Vec3{0.25f * s, 0.3f * s, -0.6f * s}});
    std::vector<Triangle> tris;
    std::vector<Vec3> queries;
    for (auto const& [t, q] : cases) tris.push_back(t), queries.push_back(q);
    std::vector<float> const device = on_device(tris, queries, 250.0f);
    for (size_t i = 0; i < cases.size(); ++i) {
        auto const& [t, q] = cases[i];
        // A unit triangle from 1e13 away subtends about 1e-27 of the sphere (there the reference's
        // angle sum cancels), a huge one from nearby a sizeable share.
        double const want = i < 4 ? 0.0 : test::solid_angle_fraction(t, q);
        auto const engine = test::engine_with(std::vector<Triangle>{t});
        test::DeviceArray<Vec3> d(std::vector<Vec3>{q});
        float const native =
            test::results(engine->brute_force(reinterpret_cast<float const*>(d.get()), 1, -1.0f, 0), 1)[0];
        // Well-conditioned: a few float units of the result.
        for (float got : {t.contributionToQuery(q, 250.0f), device[i], native})
            EXPECT_NEAR(got, want, 1e-6) << "case " << i << ": " << t.contributionToQuery(q, 250.0f) << " " << device[i] << " " << native;
    }
    // NaN stays NaN (with nothing to shrink: no exponent of 0 or NaN is negated).
    EXPECT_TRUE(std::isnan(right_triangle().contributionToQuery({NAN, 0.0f, 0.0f}, 250.0f)));
    EXPECT_TRUE(std::isnan(Triangle{{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, {NAN, 0.0f, 0.0f}}.contributionToQuery({}, 250.0f)));
}

TEST(Contribution, TriangleVerticesEdgesPlaneAndSign) {
    // Vertices, and edge points where every distance is exact (so D vanishes exactly): 0.5.
    Triangle const t{{0.0f, 0.0f, 0.0f}, {6.0f, 0.0f, 0.0f}, {0.0f, 8.0f, 0.0f}};
    for (Vec3 const q : {t.v0, t.v1, t.v2, Vec3{3.0f, 0.0f, 0.0f}, Vec3{0.0f, 4.0f, 0.0f}, Vec3{3.0f, 4.0f, 0.0f}})
        EXPECT_EQ(t.contributionToQuery(q, 0.0f), 0.5f) << q.x << " " << q.y;

    // In the plane: 0 outside, ±0.5 inside (the sign of the vanishing determinant).
    Triangle const u = right_triangle();
    EXPECT_EQ(u.contributionToQuery({5.0f, 5.0f, 0.0f}, 1.0f), 0.0f);
    EXPECT_EQ(u.contributionToQuery({-1.0f, 0.5f, 0.0f}, 1.0f), 0.0f);
    EXPECT_EQ(std::fabs(u.contributionToQuery({0.25f, 0.25f, 0.0f}, 1.0f)), 0.5f);

    // Behind the counter-clockwise front side: positive; reversed orientation: negative.
    Vec3 const q{0.2f, 0.2f, -1.0f};
    float const front = u.contributionToQuery(q, 1.0f);
    EXPECT_GT(front, 0.0f);
    EXPECT_NEAR(front, test::solid_angle_fraction(u, q), 4 * FLOAT_EPS);  // a few ulps of atan2f
    // (D sums its terms in another order for the reversed triangle: a few ulps.)
    Triangle const reversed{u.v0, u.v2, u.v1};
    EXPECT_NEAR(reversed.contributionToQuery(q, 1.0f), -front, 4 * FLOAT_EPS);

    // The float argument is ignored.
    for (float e : {0.0f, -1.0f, INF, NaN, 1e-30f}) EXPECT_EQ(u.contributionToQuery(q, e), front);

    // The same on the device path.
    std::vector<Triangle> const tris(6, t);
    std::vector<Vec3> const qs = {t.v0, t.v1, t.v2, Vec3{3.0f, 0.0f, 0.0f}, Vec3{0.0f, 4.0f, 0.0f}, Vec3{3.0f, 4.0f, 0.0f}};
    for (float v : on_device(tris, qs, NaN)) EXPECT_EQ(v, 0.5f);

    // Off the surface D may vanish too, exactly where the triangle fills a quarter of the sphere
    // (half angle pi/2): a quarter turn with the orientation's sign, not the edge's half turn.
    // Found by the Python property tests on a grid: a = (0, 0.5, 0), b = (0.25, 0, 0), |c| = 0.75.
    Triangle const quarter{{0.75f, 0.5f, 0.5f}, {1.0f, 0.0f, 0.5f}, {0.25f, -0.25f, 0.0f}};
    Vec3 const off{0.75f, 0.0f, 0.5f};
    EXPECT_EQ(quarter.contributionToQuery(off, 1.0f), 0.25f);
    EXPECT_EQ(Triangle({quarter.v0, quarter.v2, quarter.v1}).contributionToQuery(off, 1.0f), -0.25f);
    EXPECT_NEAR(test::solid_angle_fraction(quarter, off), 0.25, 1e-15);
    EXPECT_EQ(on_device(std::vector<Triangle>{quarter}, {off}, 1.0f)[0], 0.25f);
}

TEST(Contribution, PointKernelRegimes) {
    // epsilon = 0.004, so inverse_epsilon = 250: plain dipole from 0.008 on, the smoothed
    // kernel between 0.0004 and 0.008, the constant small-distance limit below 0.0004.
    float const inv = 250.0f;
    double const eps = 0.004;
    PointNormal const p{{0.5f, -0.25f, 1.0f}, {0.3f, -0.4f, 1.2f}};
    Vec3 const dir{0.48f, -0.6f, 0.64f};  // unit length
    std::vector<PointNormal> prims;
    std::vector<Vec3> queries;
    std::vector<float> dists = {1.0f, 0.1f, 0.02f, 0.0081f, 0.0079f, 0.004f, 0.001f, 0.00041f,
                                0.00039f, 1e-4f, 1e-6f};
    for (float r : dists) {
        prims.push_back(p);
        queries.push_back(p.position - dir * r);
    }
    std::vector<float> const device = on_device(prims, queries, inv);
    for (size_t i = 0; i < dists.size(); ++i) {
        Vec3 const& q = queries[i];
        double const r = test::norm(test::sub(test::d3(p.position), test::d3(q)));
        double const x = r / eps;
        double const want = test::point_contribution(p, q, eps);
        // Plain and constant regimes: a few ulps (approximate reciprocal and square root). The
        // smoothed kernel cancels erf(x) against 2x e^(-x²)/√π, losing about 1.5/x² in
        // relative precision on top of the ulps of erff and the approximate exponential.
        double const rel = FLOAT_EPS * (x >= 0.1 && x < 2.0 ? 16.0 * (1.0 + 1.5 / (x * x)) : 16.0);
        for (float got : {p.contributionToQuery(q, inv), device[i]}) {
            EXPECT_NEAR(got, want, rel * std::fabs(want)) << "distance " << dists[i];
            EXPECT_GT(got, 0.0f) << "d·normal > 0 at distance " << dists[i];
        }
    }
    // Below 0.0004 the kernel is the constant 0.75225276 · 250³: the contribution is linear
    // in the distance (point at the origin, so the offsets are exact).
    PointNormal const o{{0.0f, 0.0f, 0.0f}, p.normal};
    float const c1 = o.contributionToQuery(dir * -1e-4f, inv);
    float const c2 = o.contributionToQuery(dir * -2e-4f, inv);
    EXPECT_NEAR(c2 / c1, 2.0f, 8 * FLOAT_EPS);  // rounding of the dot products and the division
}

TEST(Contribution, PointKernelEpsilonZeroNaNAndCutOff) {
    PointNormal const p{{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 2.0f}};
    for (float r : {1.1e-9f, 1e-6f, 1e-3f, 0.5f}) {
        Vec3 const q{0.0f, 0.0f, -r};
        // epsilon 0 (inverse +infinity) and NaN: the plain dipole at every distance.
        double const plain = 2.0 * r / (4.0 * M_PI * double(r) * r * r);
        float const at_inf = p.contributionToQuery(q, INF);
        EXPECT_NEAR(at_inf, plain, 16 * FLOAT_EPS * plain) << r;  // approximate sqrt and reciprocal
        EXPECT_EQ(p.contributionToQuery(q, NaN), at_inf) << r;
    }
    // Closer than 1e-9: exactly nothing, whatever epsilon.
    for (float e : {250.0f, INF, NaN, 0.0f}) {
        EXPECT_EQ(p.contributionToQuery({0.0f, 0.0f, -0.9e-9f}, e), 0.0f);
        EXPECT_EQ(p.contributionToQuery(p.position, e), 0.0f);
    }
    EXPECT_NE(p.contributionToQuery({0.0f, 0.0f, -1.1e-9f}, 250.0f), 0.0f);
    // NaN coordinates propagate.
    EXPECT_TRUE(std::isnan(p.contributionToQuery({NaN, 0.0f, 1.0f}, 250.0f)));
}

TEST(Contribution, LoadReadsPlanesAndReturnsSentinels) {
    std::vector<Triangle> tris;
    std::vector<PointNormal> pts;
    for (int i = 0; i < 3; ++i) {
        float const b = 10.0f * i;
        tris.push_back({{b + 1, b + 2, b + 3}, {b + 4, b + 5, b + 6}, {b + 7, b + 8, b + 9}});
        pts.push_back({{b + 1, b + 2, b + 3}, {b + 4, b + 5, b + 6}});
    }
    std::vector<float> const tp = test::to_planes(tris), pp = test::to_planes(pts);
    SoAView<Triangle> const tv{tp.data(), 3};
    SoAView<PointNormal> const pv{pp.data(), 3};
    EXPECT_EQ(tp[4 * 3 + 2], 25.0f);  // plane 4 (v1.y) of primitive 2
    for (unsigned i = 0; i < 3; ++i) {
        Triangle const t = Triangle::load(tv, i, 3);
        EXPECT_EQ(std::memcmp(&t, &tris[i], sizeof(Triangle)), 0) << i;
        PointNormal const p = PointNormal::load(pv, i, 3);
        EXPECT_EQ(std::memcmp(&p, &pts[i], sizeof(PointNormal)), 0) << i;
    }
    Triangle const ts = Triangle::load(tv, 3, 3);
    for (Vec3 const v : {ts.v0, ts.v1, ts.v2}) {
        EXPECT_EQ(v.x, 1e38f);
        EXPECT_EQ(v.y, 1e38f);
        EXPECT_EQ(v.z, 1e38f);
    }
    PointNormal const ps = PointNormal::load(pv, 7, 3);
    EXPECT_EQ(ps.position.x, 1e38f);
    EXPECT_EQ(ps.normal.x, 0.0f);
    EXPECT_EQ(ps.normal.y, 0.0f);
    EXPECT_EQ(ps.normal.z, 0.0f);

    // Through a kernel: pairs past n read the sentinels; a point sentinel contributes nothing.
    std::vector<Vec3> const q = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0.5f, 0.5f, 0.5f}, {-3, 2, 1}};
    std::vector<Triangle> tri_loaded;
    std::vector<PointNormal> pt_loaded;
    std::vector<float> const tri_dev = on_device(tris, q, 250.0f, &tri_loaded);
    std::vector<float> const pt_dev = on_device(pts, q, 250.0f, &pt_loaded);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(std::memcmp(&tri_loaded[i], &tris[i], sizeof(Triangle)), 0) << i;
        EXPECT_EQ(std::memcmp(&pt_loaded[i], &pts[i], sizeof(PointNormal)), 0) << i;
        EXPECT_EQ(tri_dev[i], tris[i].contributionToQuery(q[i], 250.0f));
        EXPECT_EQ(pt_dev[i], pts[i].contributionToQuery(q[i], 250.0f));
    }
    for (int i = 3; i < 5; ++i) {
        EXPECT_EQ(std::memcmp(&tri_loaded[i], &ts, sizeof(Triangle)), 0) << i;
        EXPECT_EQ(std::memcmp(&pt_loaded[i], &ps, sizeof(PointNormal)), 0) << i;
        EXPECT_EQ(pt_dev[i], 0.0f);
    }
}

// Derivatives of point-cloud winding numbers: the per-point formulas, the gradient walk and the
// vector-Jacobian products, kernels (emulated in the host flavour) and native code alike, against
// a double-precision reference written here (exact sums and central finite differences).
#include "platform.h"

#include "gyrant_cuda.h"
#include "kernels/gradients.h"

#include "expansion_reference.h"
#include "test_support.h"

#if defined(GYRANT_FLAVOUR_HOST)
#include "cpu/native.h"

#include <omp.h>
#endif

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using test::D3;

//! The regularised dipole of one point in double precision, at a query given in double.
double contribution(D3 const& p, D3 const& n, D3 const& q, double eps) {
    D3 const d = test::sub(p, q);
    double const r = test::norm(d);
    if (r * r < 1e-18) return 0.0;
    double const x = r / eps;
    double k;
    if (x < 0.1)
        k = 4.0 / (3.0 * std::sqrt(M_PI)) / (eps * eps * eps);
    else if (x < 2.0)
        k = (std::erf(x) - 2.0 / std::sqrt(M_PI) * x * std::exp(-x * x)) / (r * r * r);
    else
        k = 1.0 / (r * r * r);
    return k * test::dot(d, n) / (4.0 * M_PI);
}

//! Central difference of f along each axis at x, step h.
template <class F>
D3 central_difference(F const& f, D3 const& x, double h) {
    D3 g{};
    for (int a = 0; a < 3; ++a) {
        D3 hi = x, lo = x;
        hi[a] += h;
        lo[a] -= h;
        g[a] = (f(hi) - f(lo)) / (2.0 * h);
    }
    return g;
}

//! grad_q of one point's contribution by finite differences; the step stays inside one regime
//! (the tests keep r/eps clear of 0.1 and 2, where the kernel changes form).
D3 reference_point_gradient(PointNormal const& p, D3 const& q, double eps) {
    double const r = test::norm(test::sub(test::d3(p.position), q));
    double const h = 1e-6 * std::fmax(std::fmin(r, eps), 1e-12);
    return central_difference([&](D3 const& x) { return contribution(test::d3(p.position), test::d3(p.normal), x, eps); },
                              q, h);
}

float const* flat(test::DeviceArray<Vec3> const& a) { return reinterpret_cast<float const*>(a.get()); }

double norm3(float const* v) { return std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]); }
double distance(float const* v, D3 const& r) {
    return std::sqrt((v[0] - r[0]) * (v[0] - r[0]) + (v[1] - r[1]) * (v[1] - r[1]) + (v[2] - r[2]) * (v[2] - r[2]));
}

TEST(PointGradient, MatchesFiniteDifferencesInEveryRegime) {
    test::Random rng(11);
    float const eps = 0.05f;
    // r / eps: the constant core, the smoothed shell (near both ends), the plain dipole, far away.
    for (double x : {0.0, 0.02, 0.09, 0.11, 0.5, 1.0, 1.9, 2.1, 10.0, 1e5}) {
        for (int trial = 0; trial < 20; ++trial) {
            Vec3 const dir = rng.point(-1.0f, 1.0f);
            Vec3 const unit = dir * (1.0f / dir.length());
            PointNormal const p{rng.point(-1.0f, 1.0f), rng.point(-0.01f, 0.01f)};
            Vec3 const q = p.position - unit * static_cast<float>(x * eps);
            Vec3 const got = point_gradient(p, q, 1.0f / eps) * -1.0f;  // grad_q
            double const r = test::norm(test::sub(test::d3(p.position), test::d3(q)));
            D3 const ref = x == 0.0 ? D3{-0.75225277 / (eps * eps * eps) * p.normal.x / (4 * M_PI),
                                         -0.75225277 / (eps * eps * eps) * p.normal.y / (4 * M_PI),
                                         -0.75225277 / (eps * eps * eps) * p.normal.z / (4 * M_PI)}
                                  : reference_point_gradient(p, test::d3(q), eps);
            // Scale of the terms: k(r) |n| / (4 pi), with k at most 1 / eps^3 in the core. Float
            // erf and exp and the cancellation of S near x = 0.1 (S ~ x^3) cost a few hundred ulps.
            double const k = 1.0 / std::pow(std::fmax(r, eps), 3);
            double const scale = k * test::norm(test::d3(p.normal)) / (4 * M_PI);
            float const g[3] = {got.x, got.y, got.z};
            EXPECT_LE(distance(g, ref), 1e-4 * scale) << "x = " << x;
        }
    }
    // Without smoothing the slope at a coincident point does not exist: defined as 0.
    PointNormal const p{{0.5f, 0.5f, 0.5f}, {1.0f, 0.0f, 0.0f}};
    Vec3 const none = point_gradient(p, p.position, std::numeric_limits<float>::infinity());
    EXPECT_EQ(none.x, 0.0f);
    EXPECT_EQ(none.y, 0.0f);
    EXPECT_EQ(none.z, 0.0f);
}

TEST(ExpansionGradient, MatchesFiniteDifferencesOfTheExpansion) {
    test::Random rng(12);
    for (int trial = 0; trial < 200; ++trial) {
        TailorCoefficientsF16 c{};
        c.zero_order = Vec3_f16::from_float(rng.point(-1.0f, 1.0f));
        for (__half& m : c.first_order.m) m = __float2half_rn(rng.uniform(-1.0f, 1.0f));
        for (__nv_bfloat16& t : c.second_order.t) t = __float2bfloat16_rn(rng.uniform(-1.0f, 1.0f));
        Vec3 const center = rng.point(-1.0f, 1.0f);
        Vec3 const q = center + rng.point(-4.0f, 4.0f);
        // The expansion's value in double at the exact direction, differentiated centrally.
        auto const value = [&](D3 const& x) {
            D3 const v = test::sub(test::d3(center), x);
            double const R = test::norm(v);
            D3 const d{v[0] / R, v[1] / R, v[2] / R};
            test::Terms const e = test::reference_terms(c, d, d);
            return (e.zero / (R * R) + e.first / (R * R * R) + e.second / (R * R * R * R)) / (4.0 * M_PI);
        };
        double const R = test::norm(test::sub(test::d3(center), test::d3(q)));
        D3 const ref = central_difference(value, test::d3(q), 1e-5 * R);
        Vec3 const got = stored_expansion_gradient(c, q, center);
        float const g[3] = {got.x, got.y, got.z};
        // Float polynomial of about 30 terms of size |coefficient| / R^k, k = 3 to 5.
        double const scale = (1.0 + 16.0 / R + 256.0 / (R * R)) / (R * R * R) / (4.0 * M_PI);
        EXPECT_LE(distance(g, ref), 1e-5 * scale) << trial;
    }
}

// The products' far field: charges' moments held in the x column of an expansion (as an engine
// over the charges with scaled normals (v, 0, 0) holds them), read back from its polynomial form;
// both products against central differences of the truncated potential in double,
//   Phi = M0 / R + (x . M1) / R^3 + (3 x^T S x - R^2 tr S) / (2 R^5).
TEST(ChargeProducts, FarFieldDifferentiatesTheChargesPotential) {
    test::Random rng(13);
    for (int trial = 0; trial < 100; ++trial) {
        double m0 = 0, m1[3] = {}, S[3][3] = {};
        TailorCoefficients c{};
        for (int j = 0; j < 16; ++j) {
            Vec3 const y = rng.point(-0.2f, 0.2f);
            float const v = rng.uniform(-1.0f, 1.0f);
            float const yv[3] = {y.x, y.y, y.z};
            m0 += v;
            c.zero_order.x += v;
            int pair = 0;
            for (int a = 0; a < 3; ++a) {
                m1[a] += double(v) * yv[a];
                c.first_order.m[3 * a] += v * yv[a];
                for (int b = 0; b < 3; ++b) S[a][b] += double(v) * yv[a] * yv[b];
                for (int b = a; b < 3; ++b) c.second_order.t[3 * pair++] += 0.5f * v * yv[a] * yv[b];
            }
        }
        auto const phi = [&](D3 const& x) {
            double const R = test::norm(x), tr = S[0][0] + S[1][1] + S[2][2];
            double xSx = 0;
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) xSx += x[a] * S[a][b] * x[b];
            return m0 / R + (x[0] * m1[0] + x[1] * m1[1] + x[2] * m1[2]) / (R * R * R) +
                   (3.0 * xSx - R * R * tr) / (2.0 * std::pow(R, 5));
        };
        float f[EXPANSION_TERMS];
        expansion_terms(c, f);
        ChargeMoments const moments = charge_moments(f);
        Vec3 const at = rng.point(-1.0f, 1.0f);
        double const R = 0.6 + 0.4 * trial / 100.0;  // 3 to 5 times the charges' spread
        float const x[3] = {float(at.x * R / at.length()), float(at.y * R / at.length()), float(at.z * R / at.length())};
        float const n[3] = {rng.uniform(-1.0f, 1.0f), rng.uniform(-1.0f, 1.0f), rng.uniform(-1.0f, 1.0f)};
        float const r2 = x[0] * x[0] + x[1] * x[1] + x[2] * x[2];
        float field[3], along_n[3];
        charge_products_at<false>(moments, x, r2, n, field);
        charge_products_at<true>(moments, x, r2, n, along_n);
        // -grad Phi / (4 pi), and its derivative along n.
        auto const ref_field = [&](D3 const& p) {
            D3 g = central_difference(phi, p, 1e-4);
            for (double& v : g) v /= -4.0 * M_PI;
            return g;
        };
        D3 const xd{x[0], x[1], x[2]}, nd{n[0], n[1], n[2]};
        double const h = 1e-4;
        D3 const plus = ref_field({xd[0] + h * nd[0], xd[1] + h * nd[1], xd[2] + h * nd[2]});
        D3 const minus = ref_field({xd[0] - h * nd[0], xd[1] - h * nd[1], xd[2] - h * nd[2]});
        D3 ref_n;
        for (int a = 0; a < 3; ++a) ref_n[a] = (plus[a] - minus[a]) / (2.0 * h);
        // Float moments and polynomial: 1e-5 of the terms' size, sum |v| / R^2 and / R^3.
        double const charge = 16.0;
        EXPECT_LE(distance(field, ref_field(xd)), 1e-5 * charge / (R * R)) << trial;
        EXPECT_LE(distance(along_n, ref_n), 1e-5 * charge * test::norm(nd) / (R * R * R)) << trial;
    }
}

//! A cloud with queries in every regime of its points, around it and far away.
struct Scene {
    std::vector<PointNormal> points;
    std::vector<Vec3> queries;
    std::unique_ptr<test::DeviceArray<float>> positions, normals;
    std::unique_ptr<GyrantBackend<PointNormal>> engine;
    float eps;
};

Scene make_scene(size_t n, float scale, float eps) {
    Scene s;
    s.points = test::clustered_points(n, 5);
    for (PointNormal& p : s.points) p = {p.position * scale, p.normal * (scale * scale)};
    s.eps = eps * scale;
    test::Random rng(6);
    for (size_t i = 0; i < s.points.size(); i += 23) {  // r / eps about 0.05, 0.5 and 1.5
        for (float x : {0.05f, 0.5f, 1.5f}) {
            Vec3 const dir = rng.point(-1.0f, 1.0f);
            s.queries.push_back(s.points[i].position + dir * (x * s.eps / dir.length()));
        }
    }
    for (int i = 0; i < 60; ++i) s.queries.push_back(rng.point(-2.5f, 2.5f) * scale);
    for (int i = 0; i < 10; ++i) s.queries.push_back(rng.point(-1.0f, 1.0f) * (1e3f * scale));
    std::vector<float> pos, nor;
    for (PointNormal const& p : s.points) {
        pos.insert(pos.end(), {p.position.x, p.position.y, p.position.z});
        nor.insert(nor.end(), {p.normal.x, p.normal.y, p.normal.z});
    }
    s.positions = std::make_unique<test::DeviceArray<float>>(pos);
    s.normals = std::make_unique<test::DeviceArray<float>>(nor);
    s.engine = GyrantBackend<PointNormal>::CreateFromPoints(s.positions->get(), s.normals->get(), n, 0);
    return s;
}

//! grad_q w at q, and the sum of the terms' magnitudes (the scale of float rounding).
std::pair<D3, double> reference_gradient(Scene const& s, Vec3 const& q) {
    D3 sum{};
    double magnitude = 0;
    for (PointNormal const& p : s.points) {
        D3 const g = reference_point_gradient(p, test::d3(q), s.eps);
        for (int a = 0; a < 3; ++a) sum[a] += g[a];
        magnitude += test::norm(g);
    }
    return {sum, magnitude};
}

//! Runs f with the native code and with the kernels.
template <class F>
void for_both_paths(F const& f) {
    f("native");
    test::KernelQueries const kernels;
    f("kernels");
}

TEST(Gradient, ExactAndHierarchicalAgainstDoubleReference) {
    // 2^-3 and 2^4 put the cloud in different frames: results are in the caller's units anyway.
    for (float scale : {0.125f, 16.0f}) {
        Scene const s = make_scene(2000, scale, 0.02f);
        test::DeviceArray<Vec3> q(s.queries);
        size_t const m = s.queries.size();
        std::vector<std::pair<D3, double>> ref(m);
        for (size_t j = 0; j < m; ++j) ref[j] = reference_gradient(s, s.queries[j]);
        for_both_paths([&](char const* path) {
            SCOPED_TRACE(path);
            auto const exact = test::results(s.engine->brute_force_gradient(flat(q), m, s.eps, 0), 3 * m);
            auto const large_beta = test::results(s.engine->gradient(flat(q), m, 1e4f, s.eps, 0), 3 * m);
            auto const hier = test::results(s.engine->gradient(flat(q), m, -1.0f, s.eps, 0), 3 * m);
            double err2 = 0, ref2 = 0;
            for (size_t j = 0; j < m; ++j) {
                // Float terms, rounded a few hundred ulps in the smoothed shell (see above).
                EXPECT_LE(distance(&exact[3 * j], ref[j].first), 1e-4 * ref[j].second) << j;
                // Far queries accept the root even at this beta; near ones sum exactly in float.
                if (j + 10 < m) EXPECT_LE(distance(&large_beta[3 * j], ref[j].first), 1e-4 * ref[j].second) << j;
                err2 += std::pow(distance(&hier[3 * j], ref[j].first), 2);
                ref2 += test::dot(ref[j].first, ref[j].first);
                // Truncation after the second order: an accepted node (R > 2 r at beta 2) leaves
                // a remainder of up to about (r / R)^3 of its terms, in any direction.
                EXPECT_LE(distance(&hier[3 * j], ref[j].first), 5e-2 * ref[j].second) << j;
            }
            // Overall, the expansions' half (zero and first order) and bfloat16 (second order)
            // coefficients and their truncation, as for compute (measured: 7e-4).
            EXPECT_LE(std::sqrt(err2 / ref2), 5e-3);
        });
    }
}

TEST(Gradient, KernelAndNativeWalksAgree) {
    Scene const s = make_scene(3000, 1.0f, 0.01f);
    test::DeviceArray<Vec3> q(s.queries);
    size_t const m = s.queries.size();
    std::vector<float> native;
    {
        // The native walk tests the groups of a rejected leaf by default, which the kernel does
        // not have: compare the walk that sums such leaves exactly.
#if defined(GYRANT_FLAVOUR_HOST)
        gyrant::cpu::ScopedTestHooks hooks;
        hooks.exact_leaves(true);
#endif
        native = test::results(s.engine->gradient(flat(q), m, -1.0f, s.eps, 0), 3 * m);
    }
    std::vector<float> kernel;
    {
        test::KernelQueries const kernels;
        kernel = test::results(s.engine->gradient(flat(q), m, -1.0f, s.eps, 0), 3 * m);
    }
    // The same nodes are accepted; only the gathering of the far form (double in the native
    // layout, float in the kernel) and the order of the sums differ.
    for (size_t j = 0; j < m; ++j) {
        D3 const k{kernel[3 * j], kernel[3 * j + 1], kernel[3 * j + 2]};
        EXPECT_LE(distance(&native[3 * j], k), 1e-5 * norm3(&kernel[3 * j]) + 1e-6) << j;
    }
}

TEST(VectorJacobianProducts, AgainstDoubleReference) {
    Scene const s = make_scene(1500, 1.0f, 0.02f);
    size_t const n = s.points.size();
    test::Random rng(8);
    // Given queries, and the engine's own points as queries.
    std::vector<Vec3> own;
    for (PointNormal const& p : s.points) own.push_back(p.position);
    for (bool given : {true, false}) {
        std::vector<Vec3> const& queries = given ? s.queries : own;
        size_t const m = queries.size();
        std::vector<float> v(m);
        for (float& x : v) x = rng.uniform(-1.0f, 1.0f);
        test::DeviceArray<Vec3> dq(queries);
        test::DeviceArray<float> dv(v);
        // grad_normals: the value kernel itself (w is linear in the normals); grad_points: finite
        // differences in the point's position (queries fixed).
        std::vector<D3> ref_n(n), ref_p(n);
        std::vector<double> mag_n(n), mag_p(n);
        for (size_t i = 0; i < n; ++i) {
            PointNormal const& p = s.points[i];
            double const h = 1e-6 * s.eps;
            for (size_t j = 0; j < m; ++j) {
                D3 const q = test::d3(queries[j]);
                D3 kn{};
                for (int a = 0; a < 3; ++a) {
                    D3 e{};
                    e[a] = 1.0;
                    kn[a] = contribution(test::d3(p.position), e, q, s.eps);
                }
                D3 const kp = central_difference(
                    [&](D3 const& x) { return contribution(x, test::d3(p.normal), q, s.eps); }, test::d3(p.position), h);
                for (int a = 0; a < 3; ++a) ref_n[i][a] += v[j] * kn[a], ref_p[i][a] += v[j] * kp[a];
                mag_n[i] += std::fabs(v[j]) * test::norm(kn);
                mag_p[i] += std::fabs(v[j]) * test::norm(kp);
            }
        }
        for_both_paths([&](char const* path) {
            SCOPED_TRACE(std::string(path) + (given ? ", given queries" : ", own points"));
            float const* qp = given ? flat(dq) : nullptr;
            float const inf = std::numeric_limits<float>::infinity();
            auto const en = test::results(s.engine->grad_normals(dv.get(), m, qp, inf, s.eps, 0), 3 * n);
            auto const ep = test::results(s.engine->grad_points(dv.get(), m, qp, inf, s.eps, 0), 3 * n);
            auto const hn = test::results(s.engine->grad_normals(dv.get(), m, qp, -1.0f, s.eps, 0), 3 * n);
            auto const hp = test::results(s.engine->grad_points(dv.get(), m, qp, -1.0f, s.eps, 0), 3 * n);
            double hn2 = 0, hp2 = 0, rn2 = 0, rp2 = 0;
            for (size_t i = 0; i < n; ++i) {
                // Float terms (see PointGradient), summed in double.
                EXPECT_LE(distance(&en[3 * i], ref_n[i]), 1e-4 * mag_n[i]) << i;
                EXPECT_LE(distance(&ep[3 * i], ref_p[i]), 1e-4 * mag_p[i]) << i;
                hn2 += std::pow(distance(&hn[3 * i], ref_n[i]), 2);
                hp2 += std::pow(distance(&hp[3 * i], ref_p[i]), 2);
                rn2 += test::dot(ref_n[i], ref_n[i]);
                rp2 += test::dot(ref_p[i], ref_p[i]);
            }
            // Through the engine over the queries: compute's and gradient's expansion errors.
            EXPECT_LE(std::sqrt(hn2 / rn2), 1e-2);
            EXPECT_LE(std::sqrt(hp2 / rp2), 1e-2);
        });
    }
}

#if defined(GYRANT_FLAVOUR_HOST)
TEST(VectorJacobianProducts, SameBitsForEveryThreadCount) {
    // The normals' product scatters into shared expansions and points: each item's queries are
    // summed in walk order by one thread, so the thread count changes no bit. More queries than
    // one round of the walk's records (2^16), so that the rounds' sums are covered too.
    Scene const s = make_scene(3000, 1.0f, 0.02f);
    size_t const n = s.points.size(), m = 70000;
    test::Random rng(9);
    std::vector<Vec3> queries(m);
    std::vector<float> v(m);
    for (size_t j = 0; j < m; ++j) queries[j] = rng.point(-2.0f, 2.0f), v[j] = rng.uniform(-1.0f, 1.0f);
    test::DeviceArray<Vec3> dq(queries);
    test::DeviceArray<float> dv(v);
    int const saved = omp_get_max_threads();
    std::vector<std::vector<float>> runs;
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        runs.push_back(test::results(s.engine->grad_normals(dv.get(), m, flat(dq), -1.0f, s.eps, 0), 3 * n));
    }
    omp_set_num_threads(saved);
    for (size_t r = 1; r < runs.size(); ++r)
        EXPECT_EQ(std::memcmp(runs[r].data(), runs[0].data(), 3 * n * sizeof(float)), 0) << "threads " << r + 1;
}
#endif

TEST(StoredNormals, InTheCallersOrderAndUnits) {
    // 2^-4: the engine's frame differs from the caller's; the conversion back is exact.
    Scene const s = make_scene(500, 0.0625f, 0.02f);
    for_both_paths([&](char const* path) {
        SCOPED_TRACE(path);
        auto const got = test::results(s.engine->get_normals(), 3 * s.points.size());
        for (size_t i = 0; i < s.points.size(); ++i) {
            EXPECT_EQ(got[3 * i], s.points[i].normal.x) << i;
            EXPECT_EQ(got[3 * i + 1], s.points[i].normal.y) << i;
            EXPECT_EQ(got[3 * i + 2], s.points[i].normal.z) << i;
        }
    });
}

TEST(VectorJacobianProducts, InputChecksAndEmptySets) {
    Scene const s = make_scene(100, 1.0f, 0.02f);
    test::DeviceArray<float> v(std::vector<float>(99, 1.0f));
    EXPECT_THROW(s.engine->grad_normals(v.get(), 99), std::runtime_error);  // one value per point
    EXPECT_THROW(s.engine->grad_points(v.get(), 99), std::runtime_error);
    // No query: zero rows. An empty cloud: no rows, and zero gradients.
    test::DeviceArray<Vec3> q(std::vector<Vec3>{{0.0f, 0.0f, 0.0f}});
    for_both_paths([&](char const* path) {
        SCOPED_TRACE(path);
        auto const none = test::results(
            s.engine->grad_points(v.get(), 0, flat(q), -1.0f, -1.0f, 0), 300);
        for (float x : none) EXPECT_EQ(x, 0.0f);
        auto empty = GyrantBackend<PointNormal>::CreateFromPoints(nullptr, nullptr, 0, 0);
        EXPECT_EQ(empty->grad_normals(nullptr, 0).get(), nullptr);
        auto const g = test::results(empty->gradient(flat(q), 1, -1.0f, -1.0f, 0), 3);
        for (float x : g) EXPECT_EQ(x, 0.0f);
    });
}

#if defined(GYRANT_FLAVOUR_HOST)
// Only a corrupt hierarchy names a leaf past the last: the kernels' walk stops the launch rather
// than return a gradient without that leaf's points.
TEST(GradientDeathTest, ALeafPastTheLastStopsTheWalk) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using A = GyrantBackendTestAccess;
    Scene const s = make_scene(1000, 1.0f, 0.02f);
    GyrantBackend<PointNormal> const& e = *s.engine;
    ASSERT_EQ(cudaStreamSynchronize(A::stream(e)), cudaSuccess);
    uint32_t const nodes = test::DeviceArray<uint32_t>::download(A::bvh8_node_count(e), 1)[0];
    std::vector<BVH8Node> const tree = test::DeviceArray<BVH8Node>::download(A::bvh8_nodes(e), nodes);
    std::vector<LeafPointers> rows = test::DeviceArray<LeafPointers>::download(A::leaf_pointers(e), nodes);
    // The first node with a leaf child; a query at its centre rejects it and every ancestor.
    Vec3 centre{};
    bool corrupted = false;
    for (uint32_t n = 0; n < nodes && !corrupted; ++n)
        for (unsigned k = 0; k < 8 && !corrupted; ++k)
            if (tree[n].getChildMeta(k) == ChildType::Leaf) {
                rows[n].leaves[k] = static_cast<uint32_t>(e.leaf_count()) + 3;
                centre = tree[n].center * (1.0f / e.unit_scale());
                corrupted = true;
            }
    ASSERT_TRUE(corrupted);
    test::DeviceArray<LeafPointers> const bad_rows(rows);
    test::DeviceArray<Vec3> const query(std::vector<Vec3>{centre});
    test::DeviceArray<float> out(3);
    GradientWalkParams p{};
    p.queries = query.get();
    p.nodes = A::bvh8_nodes(e);
    p.leaf_pointers = bad_rows.get();
    p.node_coefficients = A::bvh8_coefficients(e);
    p.leaf_coefficients = A::leaf_coefficients(e);
    p.leaf_aabbs = A::binary_aabbs(e) + (e.leaf_count() - 1);
    p.geometry = e.primitives_view();
    p.n_queries = 1;
    p.n_primitives = static_cast<unsigned>(e.point_count());
    p.output = out.get();
    p.beta = 2.0f;
    p.epsilon = s.eps * e.unit_scale();
    p.query_scale = e.unit_scale();
    EXPECT_DEATH(
        {
            gradient_walk(p, nullptr);
            (void)cudaDeviceSynchronize();
        },
        "gradient_walk_kernel.*__trap");
}
#endif

}  // namespace

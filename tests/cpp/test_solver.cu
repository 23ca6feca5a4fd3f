// The normal solver over the kernels (the cuda flavour's path, emulated in the host flavour) and
// over the native code: outward normals of a sphere, a falling residual, and the same signs.
#include "platform.h"

#include "gyrant_solver.h"
#include "size_limits.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Cloud {
    std::vector<float> points, extra, extra_wn, targets;
};

//! n points on the unit sphere, and the corners and face centres of a box around it (value 0).
Cloud sphere_cloud(size_t n) {
    Cloud c;
    std::mt19937 random(11);
    std::normal_distribution<float> normal;
    for (size_t i = 0; i < n; ++i) {
        float v[3] = {normal(random), normal(random), normal(random)};
        float const len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        for (float x : v) c.points.push_back(x / len);
    }
    for (int x = -1; x <= 1; ++x)
        for (int y = -1; y <= 1; ++y)
            for (int z = -1; z <= 1; ++z)
                if (x != 0 || y != 0 || z != 0)
                    for (int a : {x, y, z}) c.extra.push_back(1.5f * static_cast<float>(a));
    c.extra_wn.assign(c.extra.size() / 3, 0.0f);
    c.targets.assign(n, 0.5f);
    return c;
}

//! Shares of normals pointing outwards, and the solve's residual history.
std::pair<double, std::vector<float>> solve_sphere(size_t n) {
    Cloud const c = sphere_cloud(n);
    test::DeviceArray<float> points(c.points), extra(c.extra), extra_wn(c.extra_wn), targets(c.targets);
    gyrant::SolverOptions options;
    options.coarse_points = n / 2;
    options.iterations = 12;
    options.consistency_steps = 2;
    gyrant::SolverResult const solved = gyrant::solve_normals(points.get(), n, extra.get(), c.extra_wn.size(),
                                                              extra_wn.get(), targets.get(), 0.2f, 0, options);
    auto const normals = solved.engine->get_normals();
    std::vector<float> const mu = test::DeviceArray<float>::download(normals.get(), 3 * n);
    size_t outward = 0;
    for (size_t i = 0; i < n; ++i) {
        float const d = mu[3 * i] * c.points[3 * i] + mu[3 * i + 1] * c.points[3 * i + 1] + mu[3 * i + 2] * c.points[3 * i + 2];
        outward += d > 0.0f;
    }
    return {static_cast<double>(outward) / static_cast<double>(n), solved.residuals};
}

void expect_solved(std::pair<double, std::vector<float>> const& solved) {
    EXPECT_GE(solved.first, 0.99);
    std::vector<float> const& r = solved.second;
    ASSERT_GE(r.size(), 2u);
    EXPECT_LT(r.back(), 0.5f * r.front());
}

TEST(Solver, RecoversASpheresOutwardNormals) { expect_solved(solve_sphere(800)); }

#if defined(GYRANT_FLAVOUR_HOST)
TEST(Solver, RecoversThemThroughTheKernelsToo) {
    gyrant::cpu::ScopedTestHooks hooks;
    hooks.native_build(false).native_queries(false);
    expect_solved(solve_sphere(400));
}
#endif

// CGLS over a dense, overdetermined operator given by its products reaches the least-squares
// solution of the normal equations, solved directly; with few iterations it stops with a larger
// residual, and a zero right-hand side leaves x at 0.
TEST(Cgls, MatchesADirectLeastSquaresSolve) {
    size_t const rows = 40, cols = 7;
    std::mt19937 random(3);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> a(rows * cols);
    for (double& x : a) x = uniform(random);
    std::vector<float> b(rows);
    for (float& x : b) x = static_cast<float>(uniform(random));
    auto apply = [&](std::vector<float> const& x) {
        std::vector<float> y(rows, 0.0f);
        for (size_t i = 0; i < rows; ++i) {
            double s = 0.0;
            for (size_t j = 0; j < cols; ++j) s += a[i * cols + j] * x[j];
            y[i] = static_cast<float>(s);
        }
        return y;
    };
    auto adjoint = [&](std::vector<float> const& r) {
        std::vector<float> y(cols, 0.0f);
        for (size_t j = 0; j < cols; ++j) {
            double s = 0.0;
            for (size_t i = 0; i < rows; ++i) s += a[i * cols + j] * r[i];
            y[j] = static_cast<float>(s);
        }
        return y;
    };
    // A^T A x = A^T b by Gaussian elimination with partial pivoting, in double.
    std::vector<double> m(cols * (cols + 1), 0.0);
    for (size_t j = 0; j < cols; ++j) {
        for (size_t l = 0; l < cols; ++l)
            for (size_t i = 0; i < rows; ++i) m[j * (cols + 1) + l] += a[i * cols + j] * a[i * cols + l];
        for (size_t i = 0; i < rows; ++i) m[j * (cols + 1) + cols] += a[i * cols + j] * b[i];
    }
    for (size_t c = 0; c < cols; ++c) {
        size_t best = c;
        for (size_t r = c + 1; r < cols; ++r)
            if (std::fabs(m[r * (cols + 1) + c]) > std::fabs(m[best * (cols + 1) + c])) best = r;
        for (size_t l = 0; l <= cols; ++l) std::swap(m[c * (cols + 1) + l], m[best * (cols + 1) + l]);
        for (size_t r = 0; r < cols; ++r) {
            if (r == c) continue;
            double const f = m[r * (cols + 1) + c] / m[c * (cols + 1) + c];
            for (size_t l = c; l <= cols; ++l) m[r * (cols + 1) + l] -= f * m[c * (cols + 1) + l];
        }
    }
    gyrant::CglsResult const solved = gyrant::cgls(apply, adjoint, b, cols, 50, 0.0f);
    for (size_t j = 0; j < cols; ++j) {
        double const direct = m[j * (cols + 1) + cols] / m[j * (cols + 1) + j];
        // Float iterates and residual updates: agreement to a few float roundings of |x|.
        EXPECT_NEAR(solved.x[j], direct, 1e-4) << j;
    }
    ASSERT_GE(solved.residuals.size(), 2u);
    EXPECT_EQ(solved.residuals.front(), 1.0f);
    // The residual falls monotonically in CGLS (exact arithmetic; a float ulp of slack).
    for (size_t i = 1; i < solved.residuals.size(); ++i)
        EXPECT_LE(solved.residuals[i], solved.residuals[i - 1] * (1.0f + 1e-6f)) << i;

    gyrant::CglsResult const early = gyrant::cgls(apply, adjoint, b, cols, 2, 0.0f);
    EXPECT_EQ(early.residuals.size(), 3u);
    EXPECT_GT(early.residuals.back(), solved.residuals.back());
    gyrant::CglsResult const zero = gyrant::cgls(apply, adjoint, std::vector<float>(rows, 0.0f), cols, 5, 0.0f);
    EXPECT_EQ(zero.x, std::vector<float>(cols, 0.0f));
}

TEST(Solver, RefusesNonFiniteInput) {
    Cloud c = sphere_cloud(64);
    c.targets[5] = NAN;
    test::DeviceArray<float> points(c.points), extra(c.extra), extra_wn(c.extra_wn), targets(c.targets);
    EXPECT_THROW(gyrant::solve_normals(points.get(), 64, extra.get(), c.extra_wn.size(), extra_wn.get(),
                                       targets.get(), 0.2f, 0, {}),
                 std::runtime_error);
}

TEST(Solver, RefusesTooManyPointsBeforeReadingThem) {
    unsigned long const n = gyrant::max_primitives<PointNormal>() + 1;
    // Null arrays: any read would fault.
    try {
        gyrant::solve_normals(nullptr, n, nullptr, 0, nullptr, nullptr, 0.2f, 0, {});
        ADD_FAILURE() << "accepted";
    } catch (std::runtime_error const& e) {
        EXPECT_NE(std::string(e.what()).find("An engine holds at most"), std::string::npos) << e.what();
    }
}

// A far outlier, in either direction, must not put the cloud into a few cells of the neighbour
// search (every sampled point then examined all others), nor change the spacing it measures.
TEST(Solver, NeighbourSearchIgnoresTheExtent) {
    Cloud const c = sphere_cloud(20000);
    gyrant::Sampling const clean = gyrant::sampling_of(c.points);
    ASSERT_GT(clean.spacing, 0.0f);
    for (float far : {1e4f, -1e4f, 1e30f, -1e30f}) {
        std::vector<float> p = c.points;
        p.insert(p.end(), {far, far, far});
        gyrant::Sampling const s = gyrant::sampling_of(p);
        EXPECT_LT(s.candidates, 4.0 * clean.candidates) << far;
        EXPECT_NEAR(s.spacing, clean.spacing, 0.01 * clean.spacing) << far;
        EXPECT_NEAR(s.noise, clean.noise, 0.05) << far;
    }
}

// Two parallel grids a wall's thickness apart: each point finds its nearest neighbour in its
// own sheet and the other sheet across, every cell of the search found (a missed cell would give
// the reach, or a wider spacing); a lone sheet has nothing across.
TEST(Solver, NeighbourCellsFindTheSheetAndTheWallAcross) {
    constexpr int side = 40;
    constexpr float step = 0.25f, gap = 1.0f, reach = 2.0f;
    std::vector<float> sheet, wall;
    for (float z : {0.0f, gap})
        for (int i = 0; i < side; ++i)
            for (int j = 0; j < side; ++j) {
                wall.insert(wall.end(), {i * step - 3.0f, j * step + 7.0f, z});
                if (z == 0.0f) sheet.insert(sheet.end(), {i * step - 3.0f, j * step + 7.0f, z});
            }
    EXPECT_NEAR(gyrant::sampling_of(sheet).spacing, step, 1e-5f);
    std::vector<float> const across = gyrant::across_distance(wall, reach, 0.05f);
    ASSERT_EQ(across.size(), wall.size() / 3);
    // The third nearest point across: straight across, then one a step aside. (Not at the
    // corners, whose neighbourhoods reach the other sheet and tilt their planes.)
    for (size_t t = 0; t < across.size(); ++t) {
        int const i = static_cast<int>(t % (side * side)) / side, j = static_cast<int>(t % side);
        if (std::min({i, j, side - 1 - i, side - 1 - j}) >= 4)
            EXPECT_NEAR(across[t], std::sqrt(gap * gap + step * step), 1e-5f) << t;
    }
    for (float a : gyrant::across_distance(sheet, reach, 0.05f)) EXPECT_EQ(a, reach);
}

//! A refitted engine answers as one freshly built from its new normals, bit for bit, and only a
//! point engine built refittable can be refitted.
void expect_refit_equals_build() {
    using Backend = GyrantBackend<PointNormal>;
    size_t const n = 1500, q = 300;
    std::mt19937 random(5);
    std::uniform_real_distribution<float> uniform(-3.0f, 3.0f);
    auto draw = [&](size_t count) {
        std::vector<float> v(count);
        for (float& x : v) x = uniform(random);
        return v;
    };
    std::vector<float> const p = draw(3 * n), first = draw(3 * n), qs = draw(3 * q);
    // Normals of another size: the refit chooses the weight scale again, as a build does.
    std::vector<float> second = draw(3 * n);
    for (float& x : second) x *= 1e6f;
    test::DeviceArray<float> points(p), a(first), b(second), queries(qs);
    auto refitted = Backend::BuildFromPoints(points.get(), a.get(), n, 0, true);
    refitted->refit_normals(b.get());
    auto const built = Backend::BuildFromPoints(points.get(), b.get(), n, 0);
    auto values = [&](Backend const& engine) {
        auto const w = engine.compute(queries.get(), q, -1.0f, 0.05f, 0);
        auto const g = engine.gradient(queries.get(), q, -1.0f, 0.05f, 0);
        std::vector<float> out = test::DeviceArray<float>::download(w.get(), q);
        std::vector<float> const grad = test::DeviceArray<float>::download(g.get(), 3 * q);
        out.insert(out.end(), grad.begin(), grad.end());
        return out;
    };
    std::vector<float> const expected = values(*built);
    EXPECT_EQ(values(*refitted), expected);
    EXPECT_EQ(built->dump(), refitted->dump());
    EXPECT_THROW(built->refit_normals(a.get()), std::logic_error);
}

TEST(Refit, AnswersAsAFreshBuild) { expect_refit_equals_build(); }

#if defined(GYRANT_FLAVOUR_HOST)
TEST(Refit, AnswersAsAFreshBuildThroughTheKernelsToo) {
    gyrant::cpu::ScopedTestHooks hooks;
    hooks.native_build(false).native_queries(false);
    expect_refit_equals_build();
}
#endif

//! The solver's adjoint in one walk: an engine refitted with charges (v, 0, 0) gives at each
//! target sum_j v_j K(p - q_j), which is minus compute of the engine refitted with v along each
//! axis in turn; the kernels' path declines and leaves the axes to its caller.
#if defined(GYRANT_FLAVOUR_HOST)
TEST(Refit, ChargeProductsAreTheAxesOfCompute) {
    using Backend = GyrantBackend<PointNormal>;
    size_t const q = 400, n = 250;
    std::mt19937 random(9);
    std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
    std::vector<float> qs(3 * q), ps(3 * n), v(q), first(3 * q);
    for (auto* a : {&qs, &ps, &v, &first})
        for (float& x : *a) x = uniform(random);
    for (float& x : first) x *= 1e5f;  // the refit must choose the weight scale again
    test::DeviceArray<float> queries(qs), points(ps), d_first(first);
    auto engine = Backend::BuildFromPoints(queries.get(), d_first.get(), q, 0, true);
    float const beta = 1e3f, eps = 0.1f;  // no node accepted: both sides sum every pair
    std::vector<float> expected(3 * n);
    for (unsigned axis = 0; axis < 3; ++axis) {
        std::vector<float> charges(3 * q, 0.0f);
        for (size_t j = 0; j < q; ++j) charges[3 * j + axis] = v[j];
        test::DeviceArray<float> d_charges(charges);
        engine->refit_normals(d_charges.get());
        auto const w = test::DeviceArray<float>::download(engine->compute(points.get(), n, beta, eps, 0).get(), n);
        for (size_t i = 0; i < n; ++i) expected[3 * i + axis] = -w[i];
    }
    std::vector<float> charges(3 * q, 0.0f);
    for (size_t j = 0; j < q; ++j) charges[3 * j] = v[j];
    test::DeviceArray<float> d_charges(charges), out(3 * n);
    engine->refit_normals(d_charges.get());
    ASSERT_TRUE(engine->charge_products(points.get(), nullptr, n, beta, eps, out.get(), 0));
    std::vector<float> const got = test::DeviceArray<float>::download(out.get(), 3 * n);
    float largest = 0.0f;
    for (float x : expected) largest = std::max(largest, std::fabs(x));
    ASSERT_GT(largest, 0.0f);
    for (size_t r = 0; r < 3 * n; ++r) EXPECT_NEAR(got[r], expected[r], 1e-4f * largest) << r;
    gyrant::cpu::ScopedTestHooks hooks;
    hooks.native_queries(false);
    EXPECT_FALSE(engine->charge_products(points.get(), nullptr, n, beta, eps, out.get(), 0));
}
#endif

}  // namespace

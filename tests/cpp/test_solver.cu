// The normal solver over the kernels (the cuda flavour's path, emulated in the host flavour) and
// over the native code: outward normals of a sphere, a falling residual, and the same signs.
#include "platform.h"

#include "gyrant_solver.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
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

TEST(Solver, RefusesNonFiniteInput) {
    Cloud c = sphere_cloud(64);
    c.targets[5] = NAN;
    test::DeviceArray<float> points(c.points), extra(c.extra), extra_wn(c.extra_wn), targets(c.targets);
    EXPECT_THROW(gyrant::solve_normals(points.get(), 64, extra.get(), c.extra_wn.size(), extra_wn.get(),
                                       targets.get(), 0.2f, 0, {}),
                 std::runtime_error);
}

}  // namespace

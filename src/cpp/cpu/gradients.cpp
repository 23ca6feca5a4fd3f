// Native gradients of point clouds: the exact all-pairs sums and the steps around the products.
// The hierarchical gradient is the SIMD walk's (native.cpp, simd/interactions.h). The formulas are
// the kernels' (kernels/gradients.h).
#include "cpu/gradients.h"

#include "cpu/team.h"
#include "host/flush_to_zero.h"
#include "kernels/gradients.h"

#include <omp.h>

#include <vector>

namespace gyrant::cpu {
namespace {

//! body(i) for every i in [0, n), dynamically shared among the team, subnormals flushed as in
//! the kernels. Every i is independent, so the thread count changes no result.
template <class Body>
void for_each(size_t n, size_t chunk, Body const& body) {
    if (n == 0) return;
#pragma omp parallel if (n > chunk && team_threads() > 1)
    {
        host::FlushToZero const ftz;
#pragma omp for schedule(dynamic, chunk)
        for (size_t i = 0; i < n; ++i) body(i);
    }
}

}  // namespace

void brute_force_gradient(QueryScene<PointNormal> const& scene, Vec3 const* queries, unsigned long n,
                          float epsilon, float* output) {
    float const inverse_epsilon = 1.0f / epsilon;
    for_each(n, 16, [&](size_t i) {
        Vec3 const q = in_engine_frame(queries[i], scene.query_scale);
        double s[3] = {0.0, 0.0, 0.0};
        for (unsigned j = 0; j < scene.n_primitives; ++j) {
            Vec3 const g = point_gradient(PointNormal::load(scene.primitives, j, scene.n_primitives), q, inverse_epsilon);
            s[0] -= g.x, s[1] -= g.y, s[2] -= g.z;
        }
        for (unsigned a = 0; a < 3; ++a) output[3 * i + a] = static_cast<float>(s[a] * scene.query_scale);
    });
}

void vjp_brute_force(QueryScene<PointNormal> const& scene, uint32_t const* sorted_indices, Vec3 const* queries,
                     float const* v, unsigned long n_queries, float epsilon, float* grad_normals,
                     float* grad_points) {
    float const inverse_epsilon = 1.0f / epsilon;
    // The queries in the frame once, not once per point.
    std::vector<Vec3> frame(n_queries);
    for (size_t j = 0; j < n_queries; ++j) frame[j] = in_engine_frame(queries[j], scene.query_scale);
    double const s = scene.query_scale;
    for_each(scene.n_primitives, 16, [&](size_t i) {
        PointNormal const p = PointNormal::load(scene.primitives, static_cast<unsigned>(i), scene.n_primitives);
        double gn[3] = {0.0, 0.0, 0.0}, gp[3] = {0.0, 0.0, 0.0};
        for (size_t j = 0; j < n_queries; ++j) {
            double const w = v[j];
            Vec3 const kn = dipole_kernel_vector(p.position - frame[j], inverse_epsilon);
            Vec3 const kp = point_gradient(p, frame[j], inverse_epsilon);
            gn[0] += w * kn.x, gn[1] += w * kn.y, gn[2] += w * kn.z;
            gp[0] += w * kp.x, gp[1] += w * kp.y, gp[2] += w * kp.z;
        }
        // The caller's normals are the frame's over scale^2, the caller's positions over scale.
        size_t const o = 3 * size_t{sorted_indices[i]};
        for (unsigned a = 0; a < 3; ++a) {
            if (grad_normals != nullptr) grad_normals[o + a] = static_cast<float>(gn[a] * s * s);
            if (grad_points != nullptr) grad_points[o + a] = static_cast<float>(gp[a] * s);
        }
    });
}

void points_in_caller_frame(QueryScene<PointNormal> const& scene, uint32_t const* sorted_indices, float area,
                            float* positions, float* normals) {
    float const inverse_scale = 1.0f / scene.query_scale;  // powers of two: exact
    float const inverse_area = 1.0f / area;
    for_each(scene.n_primitives, 4096, [&](size_t i) {
        store_in_caller_frame(PointNormal::load(scene.primitives, static_cast<unsigned>(i), scene.n_primitives),
                              sorted_indices[i], inverse_scale, inverse_area, positions, normals);
    });
}

void apply_axis(AxisTerm const& t) {
    for_each(t.n, 4096, [&](size_t i) { apply_axis_term(t, static_cast<unsigned>(i)); });
}

void axis_normals(float const* v, unsigned long n, unsigned axis, float* out) {
    for_each(n, 4096, [&](size_t j) {
        for (unsigned a = 0; a < 3; ++a) out[3 * j + a] = a == axis ? v[j] : 0.0f;
    });
}

}  // namespace gyrant::cpu

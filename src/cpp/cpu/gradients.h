// Native gradients of point clouds (host flavour): the same operations as the gradient kernels,
// on all cores, over the engine's buffers and the native walk layout.
#pragma once

#include "cpu/native.h"

#include <cstdint>

struct AxisTerm;

namespace gyrant::cpu {

//! grad_q w at n queries (3 floats each, caller's order and units) through compute's walk (its
//! acceptance test, leaves and groups, in native.cpp); beta and epsilon (in the engine's frame)
//! already resolved.
void gradient(QueryScene<PointNormal> const& scene, Vec3 const* queries, unsigned long n, float beta,
              float epsilon, float* output);
//! The vector-Jacobian products at n target points (3 floats each, caller's order and units)
//! through the walk of `charges`, an engine over the products' queries with scaled normals
//! (v, 0, 0) (v: the per-query values): per target sum_j v_j K(p - q_j), or with target_normals
//! (3 floats per target, caller's units) sum_j v_j J(p - q_j) n, both still times the charges'
//! weight scale. One walk for the three axes. The charges' engine has a hierarchy (more than 32
//! queries); beta and epsilon (in its frame) already resolved.
void product_walk(QueryScene<PointNormal> const& charges, Vec3 const* targets, float const* target_normals,
                  unsigned long n, float beta, float epsilon, float* output);
//! The product of the per-query values v at n_queries queries (caller's units) with the normals'
//! Jacobian, as the transpose of compute's walk over the cloud's own hierarchy: every expansion
//! and every point compute would sum at a query takes v times its derivative, so the result is
//! the derivative of sum_j v_j w(q_j) with w as compute approximates it (groups tested at 1.5
//! beta). Output as vjp_brute_force's grad_normals; beta and epsilon (in the engine's frame)
//! already resolved. Returns false, writing nothing, where the cloud has no hierarchy with groups
//! or the calling thread's hooks ask for the kernels' nodes.
bool vjp_scatter(QueryScene<PointNormal> const& scene, uint32_t const* sorted_indices, Vec3 const* queries,
                 float const* v, unsigned long n_queries, float beta, float epsilon, float* grad_normals);
//! The same summed over every primitive (primitive order, double accumulation).
void brute_force_gradient(QueryScene<PointNormal> const& scene, Vec3 const* queries, unsigned long n,
                          float epsilon, float* output);
//! The exact vector-Jacobian products (see vjp_brute_force in kernels/gradients.h); either
//! output may be null.
void vjp_brute_force(QueryScene<PointNormal> const& scene, uint32_t const* sorted_indices, Vec3 const* queries,
                     float const* v, unsigned long n_queries, float epsilon, float* grad_normals,
                     float* grad_points);
//! The stored points in the caller's order and units (normals divided by the engine's area
//! factor `area`); either output may be null.
void points_in_caller_frame(QueryScene<PointNormal> const& scene, uint32_t const* sorted_indices, float area,
                            float* positions, float* normals);
//! apply_axis_term for every point of t.
void apply_axis(AxisTerm const& t);
//! out[3 j + a] = v[j] for a == axis, 0 otherwise.
void axis_normals(float const* v, unsigned long n, unsigned axis, float* out);

}  // namespace gyrant::cpu

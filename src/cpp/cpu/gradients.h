// Native gradients of point clouds (host flavour): the same operations as the gradient kernels,
// on all cores, over the engine's buffers and the native walk layout.
#pragma once

#include "cpu/native.h"

#include <cstdint>

struct AxisTerm;

namespace gyrant::cpu {

//! grad_q w at n queries (3 floats each, caller's order and units) through the hierarchy, with
//! compute's acceptance test; beta and epsilon (in the engine's frame) already resolved.
void gradient(QueryScene<PointNormal> const& scene, Vec3 const* queries, unsigned long n, float beta,
              float epsilon, float* output);
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

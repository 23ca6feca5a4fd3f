// Derivatives of a point cloud's winding number: with respect to the query (the field's
// gradient), and the exact sums of the vector-Jacobian products with respect to the scaled
// normals and the positions. The formulas are written once here for the kernels and the native
// code.
//
// One point (position p, scaled normal n) contributes c = k(r) (d . n) / (4 pi) at q, d = p - q,
// r = |d|, so  grad_d c = [k'(r) r (u . n) u + k(r) n] / (4 pi),  u = d / r.  The derivative with
// respect to p is grad_d c, the one with respect to q its negative. An expansion about a centre
// is differentiated as the polynomial in d = (centre - q) / R and 1 / R that compute evaluates,
// in single precision from the widened coefficients.
#pragma once

#include "platform.h"

#include "bvh8.h"
#include "geometry.h"
#include "kernel_constants.h"
#include "kernels/node_approx.h"
#include "tailor_coefficients.h"
#include "vec3.h"

#include <cfloat>

//! Threads per block of the gradient kernels (one thread per query or per point).
inline constexpr unsigned GRADIENT_BLOCK = 128;
//! Pending-children entries of one thread's walk: one per level, and the 8-wide tree is never
//! deeper than its binary source (at most 95 levels over 63-bit Morton codes). A deeper tree
//! makes the query fall back to the exact sum.
inline constexpr unsigned GRADIENT_STACK_CAPACITY = 128;

//! k and k'(r) r of the regularised dipole kernel, as PointNormal::contributionToQuery forms k.
//! r2 >= COINCIDENT_DISTANCE_SQUARED (below, the contribution is defined as 0; see point_gradient).
GYRANT_HOST_DEVICE inline void dipole_kernel_and_slope(float r2, float r, float inverse_epsilon, float& k,
                                                       float& slope) {
    float const x = inverse_epsilon * r;
    if (x < SMOOTHING_BAND_END) {
        if (x < SMOOTHING_BAND_START) {
            k = DIPOLE_CORE * (inverse_epsilon * inverse_epsilon * inverse_epsilon);
            slope = 0.0f;
            return;
        }
        float const inv_r3 = 1.0f / (r2 * r);
        float const S = S_regularization(x);
        // x S'(x) = (4 / sqrt(pi)) x^3 e^(-x^2).
        float const xSp = 2.2567583f * (x * x * x) * exp2f(-(x * x) * 1.44269502f);
        k = S * inv_r3;
        slope = (xSp - 3.0f * S) * inv_r3;
        return;
    }
    float const inv_r3 = 1.0f / (r2 * r);  // also NaN x, as the contribution
    k = inv_r3;
    slope = -3.0f * inv_r3;
}

//! grad_d of point p's contribution at q, d = position - q: the derivative with respect to the
//! point's position (the query's is its negative). At r^2 < COINCIDENT_DISTANCE_SQUARED the
//! contribution is 0 but its limit is k(0) (d . n) / (4 pi), linear in d: the slope there is the
//! constant regime's k n, or 0 without smoothing (epsilon 0 or NaN), where the limit does not
//! exist.
GYRANT_HOST_DEVICE inline Vec3 point_gradient(PointNormal const& p, Vec3 const& q, float inverse_epsilon) {
    Vec3 const d = p.position - q;
    float const r2 = d.dot(d);
    if (r2 < COINCIDENT_DISTANCE_SQUARED) {
        float const k0 = DIPOLE_CORE * (inverse_epsilon * inverse_epsilon * inverse_epsilon);
        return fabsf(inverse_epsilon) <= FLT_MAX ? p.normal * (k0 * INV_FOUR_PI) : Vec3{0.0f, 0.0f, 0.0f};
    }
    float const r = sqrtf(r2);
    float k, slope;
    dipole_kernel_and_slope(r2, r, inverse_epsilon, k, slope);
    Vec3 const u = d * (1.0f / r);
    return (u * (slope * u.dot(p.normal)) + p.normal * k) * INV_FOUR_PI;
}

//! The value kernel K(d) = k(r) d / (4 pi) of the contribution, c = K . n: what the product
//! with the normals' Jacobian sums.
GYRANT_HOST_DEVICE inline Vec3 dipole_kernel_vector(Vec3 const& d, float inverse_epsilon) {
    float const r2 = d.dot(d);
    if (r2 < COINCIDENT_DISTANCE_SQUARED) return {0.0f, 0.0f, 0.0f};
    float const r = sqrtf(r2);
    float k, slope;
    dipole_kernel_and_slope(r2, r, inverse_epsilon, k, slope);
    return d * (k * INV_FOUR_PI);
}

//! An expansion as a polynomial in the unit direction d and 1 / R (see WideNode::Far, whose
//! order this follows): Z = z . d, F = trace - 3 Q(d), S = C(d) + L . d, C including the 15.
enum ExpansionTerm : unsigned {
    EXP_Z_X, EXP_Z_Y, EXP_Z_Z,
    EXP_TRACE,
    EXP_Q_XX, EXP_Q_YY, EXP_Q_ZZ, EXP_Q_XY, EXP_Q_XZ, EXP_Q_YZ,
    EXP_C_XXX, EXP_C_XXY, EXP_C_XXZ, EXP_C_XYY, EXP_C_XYZ, EXP_C_XZZ, EXP_C_YYY, EXP_C_YYZ, EXP_C_YZZ, EXP_C_ZZZ,
    EXP_L_X, EXP_L_Y, EXP_L_Z,
    EXPANSION_TERMS
};

//! The polynomial of a widened expansion (the same gathering as the native walk's, in float).
GYRANT_HOST_DEVICE inline void expansion_terms(TailorCoefficients const& c, float (&f)[EXPANSION_TERMS]) {
    float const* m = c.first_order.m;
    float const* t = c.second_order.t;
    f[EXP_Z_X] = c.zero_order.x;
    f[EXP_Z_Y] = c.zero_order.y;
    f[EXP_Z_Z] = c.zero_order.z;
    f[EXP_TRACE] = m[0] + m[4] + m[8];
    f[EXP_Q_XX] = m[0];
    f[EXP_Q_YY] = m[4];
    f[EXP_Q_ZZ] = m[8];
    f[EXP_Q_XY] = m[1] + m[3];
    f[EXP_Q_XZ] = m[2] + m[6];
    f[EXP_Q_YZ] = m[5] + m[7];
    f[EXP_C_XXX] = 15.0f * t[0];
    f[EXP_C_XXY] = 15.0f * (t[1] + 2.0f * t[3]);
    f[EXP_C_XXZ] = 15.0f * (t[2] + 2.0f * t[6]);
    f[EXP_C_XYY] = 15.0f * (2.0f * t[4] + t[9]);
    f[EXP_C_XYZ] = 30.0f * (t[5] + t[7] + t[12]);
    f[EXP_C_XZZ] = 15.0f * (2.0f * t[8] + t[15]);
    f[EXP_C_YYY] = 15.0f * t[10];
    f[EXP_C_YYZ] = 15.0f * (t[11] + 2.0f * t[13]);
    f[EXP_C_YZZ] = 15.0f * (2.0f * t[14] + t[16]);
    f[EXP_C_ZZZ] = 15.0f * t[17];
    f[EXP_L_X] = -(6.0f * (t[0] + t[4] + t[8]) + 3.0f * (t[0] + t[9] + t[15]));
    f[EXP_L_Y] = -(6.0f * (t[3] + t[10] + t[14]) + 3.0f * (t[1] + t[10] + t[16]));
    f[EXP_L_Z] = -(6.0f * (t[6] + t[13] + t[17]) + 3.0f * (t[2] + t[11] + t[17]));
}

//! grad_q of the expansion f about `center` at q (q away from the centre, which the acceptance
//! test guarantees). For a term P(v) / R^m with P homogeneous of degree p in v = centre - q,
//! grad_v = R^(p-1-m) [grad P(d) - m P(d) d]; grad_q is minus that.
GYRANT_HOST_DEVICE inline Vec3 expansion_gradient(float const* f, Vec3 const& q, Vec3 const& center) {
    Vec3 const v = center - q;
    float const inv_r = 1.0f / sqrtf(v.dot(v));
    float const x = v.x * inv_r, y = v.y * inv_r, z = v.z * inv_r;
    Vec3 const d{x, y, z};

    // Zero order: (z . v) / R^3.
    Vec3 const zv{f[EXP_Z_X], f[EXP_Z_Y], f[EXP_Z_Z]};
    Vec3 const g0 = zv - d * (3.0f * zv.dot(d));

    // First order: (trace R^2 - 3 Q(v)) / R^5.
    float const T = f[EXP_TRACE];
    float const Q = f[EXP_Q_XX] * x * x + f[EXP_Q_YY] * y * y + f[EXP_Q_ZZ] * z * z + f[EXP_Q_XY] * x * y +
                    f[EXP_Q_XZ] * x * z + f[EXP_Q_YZ] * y * z;
    Vec3 const dQ{2.0f * f[EXP_Q_XX] * x + f[EXP_Q_XY] * y + f[EXP_Q_XZ] * z,
                  2.0f * f[EXP_Q_YY] * y + f[EXP_Q_XY] * x + f[EXP_Q_YZ] * z,
                  2.0f * f[EXP_Q_ZZ] * z + f[EXP_Q_XZ] * x + f[EXP_Q_YZ] * y};
    Vec3 const g1 = d * (2.0f * T - 5.0f * (T - 3.0f * Q)) - dQ * 3.0f;

    // Second order: (C(v) + (L . v) R^2) / R^7.
    float const cxxx = f[EXP_C_XXX], cxxy = f[EXP_C_XXY], cxxz = f[EXP_C_XXZ], cxyy = f[EXP_C_XYY],
                cxyz = f[EXP_C_XYZ], cxzz = f[EXP_C_XZZ], cyyy = f[EXP_C_YYY], cyyz = f[EXP_C_YYZ],
                cyzz = f[EXP_C_YZZ], czzz = f[EXP_C_ZZZ];
    float const C = cxxx * x * x * x + cxxy * x * x * y + cxxz * x * x * z + cxyy * x * y * y + cxyz * x * y * z +
                    cxzz * x * z * z + cyyy * y * y * y + cyyz * y * y * z + cyzz * y * z * z + czzz * z * z * z;
    Vec3 const dC{3.0f * cxxx * x * x + 2.0f * cxxy * x * y + 2.0f * cxxz * x * z + cxyy * y * y + cxyz * y * z +
                      cxzz * z * z,
                  cxxy * x * x + 2.0f * cxyy * x * y + cxyz * x * z + 3.0f * cyyy * y * y + 2.0f * cyyz * y * z +
                      cyzz * z * z,
                  cxxz * x * x + cxyz * x * y + 2.0f * cxzz * x * z + cyyz * y * y + 2.0f * cyzz * y * z +
                      3.0f * czzz * z * z};
    Vec3 const L{f[EXP_L_X], f[EXP_L_Y], f[EXP_L_Z]};
    float const Ld = L.dot(d);
    Vec3 const g2 = dC + L + d * (2.0f * Ld - 7.0f * (C + Ld));

    float const inv_r3 = inv_r * inv_r * inv_r;
    Vec3 const grad_v = (g0 + (g1 + g2 * inv_r) * inv_r) * (inv_r3 * INV_FOUR_PI);
    return grad_v * -1.0f;
}

//! grad_q of the stored expansion `stored` about `center`.
GYRANT_HOST_DEVICE inline Vec3 stored_expansion_gradient(TailorCoefficientsF16 const& stored, Vec3 const& q,
                                                         Vec3 const& center) {
    float f[EXPANSION_TERMS];
    expansion_terms(TailorCoefficients::from_f16(stored), f);
    return expansion_gradient(f, q, center);
}

//! Writes sorted point i's position and scaled normal (either may be skipped with null) into
//! row `sorted_index` of the caller's arrays, out of the engine's frame: positions times
//! inverse_scale, normals times inverse_area (the reciprocal of the engine's area factor).
//! Both are powers of two: the conversions are exact.
GYRANT_HOST_DEVICE inline void store_in_caller_frame(PointNormal const& p, uint32_t sorted_index, float inverse_scale,
                                                     float inverse_area, float* positions, float* normals) {
    size_t const o = 3 * size_t{sorted_index};
    if (positions != nullptr) {
        positions[o] = p.position.x * inverse_scale;
        positions[o + 1] = p.position.y * inverse_scale;
        positions[o + 2] = p.position.z * inverse_scale;
    }
    if (normals != nullptr) {
        normals[o] = p.normal.x * inverse_area;
        normals[o + 1] = p.normal.y * inverse_area;
        normals[o + 2] = p.normal.z * inverse_area;
    }
}

//! False for infinities and NaN in any component.
GYRANT_HOST_DEVICE inline bool all_finite(Vec3 const& v) {
    return fabsf(v.x) <= FLT_MAX && fabsf(v.y) <= FLT_MAX && fabsf(v.z) <= FLT_MAX;
}

//! What the gradient walk reads; device memory, the engine's sorted storage and hierarchy.
struct GradientWalkParams {
    Vec3 const* queries;                             // caller's order and units
    BVH8Node const* nodes;                           // null without a hierarchy
    LeafPointers const* leaf_pointers;
    TailorCoefficientsF16 const* node_coefficients;
    TailorCoefficientsF16 const* leaf_coefficients;
    AABB const* leaf_aabbs;                          // by leaf index
    SoAView<PointNormal> geometry;
    unsigned n_queries;
    unsigned n_primitives;
    float* output;       // 3 floats per query, caller's order and units
    float beta;          // resolved
    float epsilon;       // resolved, in the engine's frame
    float query_scale;   // the engine's frame
};

//! Enqueues grad_q w at every query through the hierarchy (the acceptance test and leaves of
//! compute; an accepted node or leaf whose gradient is not finite is walked or summed exactly).
//! Without a hierarchy every primitive is summed. Launches nothing for zero queries.
void gradient_walk(GradientWalkParams const& params, cudaStream_t stream);

//! Enqueues the exact grad_q w of n_queries queries over every primitive (in primitive order,
//! double accumulation): the reference the walk is held to.
void gradient_brute_force(Vec3 const* queries, SoAView<PointNormal> geometry, unsigned n_queries,
                          unsigned n_primitives, float* output, float epsilon, float query_scale,
                          cudaStream_t stream);

//! Enqueues the exact products of the per-query values v (n_queries of them) with the
//! Jacobians of the winding numbers at the queries, for every point i (sorted storage, results
//! written at sorted_indices[i] in the caller's units):
//!   grad_normals[i] = sum_j v_j K(p_i - q_j),  grad_points[i] = sum_j v_j J(p_i - q_j) n_i.
//! Either output may be null.
void vjp_brute_force(SoAView<PointNormal> geometry, uint32_t const* sorted_indices, unsigned n_points,
                     Vec3 const* queries, float const* v, unsigned n_queries, float epsilon, float query_scale,
                     float* grad_normals, float* grad_points, cudaStream_t stream);

//! Enqueues the stored points (positions / scale, caller's order) and their scaled normals
//! (normals / area, the engine's area factor); either output may be null.
void points_in_caller_frame(SoAView<PointNormal> geometry, uint32_t const* sorted_indices, unsigned n_points,
                            float query_scale, float area, float* positions, float* normals, cudaStream_t stream);

//! out[3 i + a] = -w[i] (per-point values, one axis of the normals' product), or
//! out[3 i + c] -= normals[3 i + a] g[3 i + c] (per-point gradients, the positions' product;
//! axis 0 writes instead of subtracting).
struct AxisTerm {
    float const* values;
    bool gradient;
    float const* normals;
    unsigned n;
    unsigned axis;
    float* out;
};

GYRANT_HOST_DEVICE inline void apply_axis_term(AxisTerm const& t, unsigned i) {
    if (!t.gradient) {
        t.out[3 * i + t.axis] = -t.values[i];
        return;
    }
    float const n = t.normals[3 * i + t.axis];
    for (unsigned c = 0; c < 3; ++c) {
        float const term = -n * t.values[3 * i + c];
        t.out[3 * i + c] = t.axis == 0 ? term : t.out[3 * i + c] + term;
    }
}

//! Enqueues out[3 j + a] = v[j] for a == axis and 0 otherwise: the per-query values as the
//! scaled normals of one axis.
void axis_normals(float const* v, unsigned n, unsigned axis, float* out, cudaStream_t stream);

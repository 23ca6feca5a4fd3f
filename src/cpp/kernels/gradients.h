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

//! grad_d of one point's contribution from its kernel k and slope k'(r) r at d (1 / r given):
//! [slope (u . n) u + k n] / (4 pi), u = d / r. Written for scalars and vectors alike (the native
//! walk evaluates it a vector of points at a time).
template <class V>
GYRANT_HOST_DEVICE inline void dipole_gradient(V const (&d)[3], V const (&n)[3], V const& inv_r, V const& k,
                                               V const& slope, V (&g)[3]) {
    V const u[3] = {d[0] * inv_r, d[1] * inv_r, d[2] * inv_r};
    V const s = slope * (u[0] * n[0] + u[1] * n[1] + u[2] * n[2]);
    for (unsigned a = 0; a < 3; ++a) g[a] = (u[a] * s + n[a] * k) * INV_FOUR_PI;
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
    float const dv[3] = {d.x, d.y, d.z}, nv[3] = {p.normal.x, p.normal.y, p.normal.z};
    float g[3];
    dipole_gradient(dv, nv, 1.0f / r, k, slope, g);
    return {g[0], g[1], g[2]};
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

//! grad_q of the expansion f at a query seen from the centre in the unit direction (x, y, z) =
//! (centre - q) / R, 1 / R given. For a term P(v) / R^m with P homogeneous of degree p in
//! v = centre - q, grad_v = R^(p-1-m) [grad P(d) - m P(d) d]; grad_q is minus that. Written for
//! scalars and vectors alike (the native walk evaluates it for a packet of queries).
template <class V>
GYRANT_HOST_DEVICE inline void expansion_gradient_at(float const* f, V const& x, V const& y, V const& z,
                                                     V const& inv_r, V (&g)[3]) {
    // Zero order: (z . v) / R^3.
    V const zd = f[EXP_Z_X] * x + f[EXP_Z_Y] * y + f[EXP_Z_Z] * z;
    V const z3 = zd * 3.0f;

    // First order: (trace R^2 - 3 Q(v)) / R^5.
    float const T = f[EXP_TRACE];
    V const Q = f[EXP_Q_XX] * (x * x) + f[EXP_Q_YY] * (y * y) + f[EXP_Q_ZZ] * (z * z) + f[EXP_Q_XY] * (x * y) +
                f[EXP_Q_XZ] * (x * z) + f[EXP_Q_YZ] * (y * z);
    V const dQx = (2.0f * f[EXP_Q_XX]) * x + f[EXP_Q_XY] * y + f[EXP_Q_XZ] * z;
    V const dQy = (2.0f * f[EXP_Q_YY]) * y + f[EXP_Q_XY] * x + f[EXP_Q_YZ] * z;
    V const dQz = (2.0f * f[EXP_Q_ZZ]) * z + f[EXP_Q_XZ] * x + f[EXP_Q_YZ] * y;
    V const s1 = 2.0f * T - 5.0f * (T - 3.0f * Q);

    // Second order: (C(v) + (L . v) R^2) / R^7.
    float const cxxx = f[EXP_C_XXX], cxxy = f[EXP_C_XXY], cxxz = f[EXP_C_XXZ], cxyy = f[EXP_C_XYY],
                cxyz = f[EXP_C_XYZ], cxzz = f[EXP_C_XZZ], cyyy = f[EXP_C_YYY], cyyz = f[EXP_C_YYZ],
                cyzz = f[EXP_C_YZZ], czzz = f[EXP_C_ZZZ];
    V const xx = x * x, yy = y * y, zz = z * z, xy = x * y, xz = x * z, yz = y * z;
    V const C = cxxx * (xx * x) + cxxy * (xx * y) + cxxz * (xx * z) + cxyy * (x * yy) + cxyz * (xy * z) +
                cxzz * (x * zz) + cyyy * (yy * y) + cyyz * (yy * z) + cyzz * (y * zz) + czzz * (zz * z);
    V const dCx = (3.0f * cxxx) * xx + (2.0f * cxxy) * xy + (2.0f * cxxz) * xz + cxyy * yy + cxyz * yz + cxzz * zz;
    V const dCy = cxxy * xx + (2.0f * cxyy) * xy + cxyz * xz + (3.0f * cyyy) * yy + (2.0f * cyyz) * yz + cyzz * zz;
    V const dCz = cxxz * xx + cxyz * xy + (2.0f * cxzz) * xz + cyyz * yy + (2.0f * cyzz) * yz + (3.0f * czzz) * zz;
    V const Ld = f[EXP_L_X] * x + f[EXP_L_Y] * y + f[EXP_L_Z] * z;
    V const s2 = 2.0f * Ld - 7.0f * (C + Ld);

    V const scale = -(inv_r * inv_r * inv_r * INV_FOUR_PI);
    V const g0[3] = {f[EXP_Z_X] - x * z3, f[EXP_Z_Y] - y * z3, f[EXP_Z_Z] - z * z3};
    V const g1[3] = {x * s1 - dQx * 3.0f, y * s1 - dQy * 3.0f, z * s1 - dQz * 3.0f};
    V const g2[3] = {dCx + f[EXP_L_X] + x * s2, dCy + f[EXP_L_Y] + y * s2, dCz + f[EXP_L_Z] + z * s2};
    for (unsigned a = 0; a < 3; ++a) g[a] = (g0[a] + (g1[a] + g2[a] * inv_r) * inv_r) * scale;
}

//! grad_q of the expansion f about `center` at q (q away from the centre, which the acceptance
//! test guarantees).
GYRANT_HOST_DEVICE inline Vec3 expansion_gradient(float const* f, Vec3 const& q, Vec3 const& center) {
    Vec3 const v = center - q;
    float const inv_r = 1.0f / sqrtf(v.dot(v));
    float g[3];
    expansion_gradient_at(f, v.x * inv_r, v.y * inv_r, v.z * inv_r, inv_r, g);
    return {g[0], g[1], g[2]};
}

//! grad_q of the stored expansion `stored` about `center`.
GYRANT_HOST_DEVICE inline Vec3 stored_expansion_gradient(TailorCoefficientsF16 const& stored, Vec3 const& q,
                                                         Vec3 const& center) {
    float f[EXPANSION_TERMS];
    expansion_terms(TailorCoefficients::from_f16(stored), f);
    return expansion_gradient(f, q, center);
}

//! The moments of charges v_j at points q_j about a centre c, y_j = q_j - c: the total
//! M0 = sum v_j, the first moment M1 = sum v_j y_j and the second S = sum v_j y_j y_j^T (s in the
//! order xx, xy, xz, yy, yz, zz). The products' sources are such charges: an engine over the
//! q_j with scaled normals (v_j, 0, 0) holds them in its expansions, from whose polynomial form f
//! (see expansion_terms) charge_moments reads them back.
struct ChargeMoments {
    float m0, m1[3], s[6];
};

GYRANT_HOST_DEVICE inline ChargeMoments charge_moments(float const* f) {
    // Only the x column of the moments is non-zero: m[3 a] = M1_a, t[3 pair] = S_pair / 2.
    constexpr float HALF_OVER_15 = 2.0f / 15.0f, ONE_OVER_15 = 1.0f / 15.0f;
    return {f[EXP_Z_X],
            {f[EXP_Q_XX], f[EXP_Q_XY], f[EXP_Q_XZ]},
            {f[EXP_C_XXX] * HALF_OVER_15, f[EXP_C_XXY] * ONE_OVER_15, f[EXP_C_XXZ] * ONE_OVER_15,
             f[EXP_C_XYY] * HALF_OVER_15, f[EXP_C_XYZ] * ONE_OVER_15, f[EXP_C_XZZ] * HALF_OVER_15}};
}

//! The vector-Jacobian products' far field of charges c at a target x = p - c (|x|^2 = r2), from
//! the potential Phi(p) = sum_j v_j / |p - q_j| expanded to second order,
//!   Phi ~ M0 / R + (x . M1) / R^3 + (3 x^T S x - R^2 tr S) / (2 R^5):
//! the normals' product sum_j v_j K(p - q_j) = -grad Phi / (4 pi), and with Points the
//! positions' product sum_j v_j J(p - q_j) n = -(Hess Phi) n / (4 pi) at the target's normal n.
//! Written for scalars and vectors alike.
template <bool Points, class V>
GYRANT_HOST_DEVICE inline void charge_products_at(ChargeMoments const& c, V const (&x)[3], V const& r2,
                                                  V const (&n)[3], V (&out)[3]) {
    V const i = 1.0f / sqrt(r2);
    V const i2 = i * i;
    V const i3 = i2 * i, i5 = i3 * i2, i7 = i5 * i2;
    float const tr = c.s[0] + c.s[3] + c.s[5];
    V const Sx[3] = {c.s[0] * x[0] + c.s[1] * x[1] + c.s[2] * x[2], c.s[1] * x[0] + c.s[3] * x[1] + c.s[4] * x[2],
                     c.s[2] * x[0] + c.s[4] * x[1] + c.s[5] * x[2]};
    V const xM1 = c.m1[0] * x[0] + c.m1[1] * x[1] + c.m1[2] * x[2];
    V const P = 3.0f * (x[0] * Sx[0] + x[1] * Sx[1] + x[2] * Sx[2]) - r2 * tr;
    if constexpr (!Points) {
        // grad Phi = M1 / R^3 + (3 S x - tr S x) / R^5 - (M0 / R^3 + 3 (x . M1) / R^5 + 5 P / (2 R^7)) x.
        V const cx = c.m0 * i3 + 3.0f * xM1 * i5 + 2.5f * P * i7;
        for (unsigned a = 0; a < 3; ++a)
            out[a] = (c.m1[a] * i3 + (3.0f * Sx[a] - tr * x[a]) * i5 - cx * x[a]) * -INV_FOUR_PI;
    } else {
        // The derivative of grad Phi along n, gathered by the vectors it multiplies.
        V const i9 = i7 * i2;
        V const xn = x[0] * n[0] + x[1] * n[1] + x[2] * n[2];
        V const nM1 = c.m1[0] * n[0] + c.m1[1] * n[1] + c.m1[2] * n[2];
        V const Sn[3] = {c.s[0] * n[0] + c.s[1] * n[1] + c.s[2] * n[2], c.s[1] * n[0] + c.s[3] * n[1] + c.s[4] * n[2],
                         c.s[2] * n[0] + c.s[4] * n[1] + c.s[5] * n[2]};
        V const SxN = Sx[0] * n[0] + Sx[1] * n[1] + Sx[2] * n[2];
        V const on_n = -(c.m0 * i3 + (3.0f * xM1 + tr) * i5 + 2.5f * P * i7);
        V const on_x = (3.0f * c.m0 * xn - 3.0f * nM1) * i5 + (15.0f * xM1 * xn + 10.0f * tr * xn - 15.0f * SxN) * i7 +
                       17.5f * P * xn * i9;
        V const on_m1 = -3.0f * xn * i5, on_sn = 3.0f * i5, on_sx = -15.0f * xn * i7;
        for (unsigned a = 0; a < 3; ++a)
            out[a] = (on_n * n[a] + on_x * x[a] + on_m1 * c.m1[a] + on_sn * Sn[a] + on_sx * Sx[a]) * -INV_FOUR_PI;
    }
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

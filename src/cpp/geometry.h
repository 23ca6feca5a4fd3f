// The two primitive kinds, their structure-of-arrays view and their exact contributions.
#pragma once

#include "aabb.h"
#include "kernel_constants.h"
#include "mat3x3.h"
#include "tensor3.h"
#include "vec3.h"

#include <cstdint>

inline constexpr unsigned PRIMITIVES_PER_LEAF = 32;

//! Read-only view of n primitives stored as coordinate planes: coordinate k of primitive i is
//! data[k * stride + i], so consecutive threads read consecutive floats of every plane.
template <class T>
struct SoAView {
    float const* data;
    uint64_t stride;
};

//! Fraction of a Gaussian-smoothed source within x smoothing radii: erf(x) - 2/sqrt(pi) x e^(-x^2).
GYRANT_HOST_DEVICE inline float S_regularization(float x) {
    // e^(-x^2) as 2^(-x^2 log2 e): the hardware's base-2 exponential.
    return erff(x) - 1.1283792f * x * exp2f(-(x * x) * 1.44269502f);
}

namespace gyrant_detail {
//! Pairwise products of m, the integrand of the triangle second moment.
GYRANT_HOST_DEVICE inline SymMat3x3 sym(Vec3 const& m) {
    return {m.x * m.x, m.x * m.y, m.x * m.z, m.y * m.y, m.y * m.z, m.z * m.z};
}
//! t[3b + k] = n_k * 0.5 * S_b, shared by both primitive kinds.
GYRANT_HOST_DEVICE inline void second_order_terms(SymMat3x3 const& s, Vec3 const& n,
                                                  Tensor3_compressed& out) {
    float const pairs[6] = {s.xx, s.xy, s.xz, s.yy, s.yz, s.zz};
    GYRANT_UNROLL
    for (int b = 0; b < 6; ++b) {
        float const h = 0.5f * pairs[b];
        out.t[3 * b + 0] = n.x * h;
        out.t[3 * b + 1] = n.y * h;
        out.t[3 * b + 2] = n.z * h;
    }
}
GYRANT_HOST_DEVICE inline void zero_terms(Vec3& zero, Mat3x3& first, Tensor3_compressed& second) {
    zero = {0.0f, 0.0f, 0.0f};
    GYRANT_UNROLL
    for (int k = 0; k < 9; ++k) first.m[k] = 0.0f;
    GYRANT_UNROLL
    for (int k = 0; k < 18; ++k) second.t[k] = 0.0f;
}
}  // namespace gyrant_detail

struct Triangle {
    Vec3 v0, v1, v2;

    //! Triangle i of the view, or a far-away sentinel (all coordinates 1e38) when i >= n.
    GYRANT_HOST_DEVICE static Triangle load(SoAView<Triangle> const& view, unsigned i, unsigned n) {
        if (i >= n) {
            Vec3 const far{1e38f, 1e38f, 1e38f};
            return {far, far, far};
        }
        float const* p = view.data + i;
        uint64_t const s = view.stride;
        return {{p[0], p[s], p[2 * s]}, {p[3 * s], p[4 * s], p[5 * s]}, {p[6 * s], p[7 * s], p[8 * s]}};
    }
    GYRANT_HOST_DEVICE Vec3 centroid() const { return (v0 + v1 + v2) * 0.33333334f; }
    GYRANT_HOST_DEVICE Vec3 get_scaled_normal() const {
        return Vec3::cross(v1 - v0, v2 - v0) * 0.5f;
    }
    GYRANT_HOST_DEVICE float get_weight() const { return get_scaled_normal().length(); }
    GYRANT_HOST_DEVICE float max_distance_to(Vec3 const& c) const {
        float const d = fmaxf(fmaxf((v0 - c).length2(), (v1 - c).length2()), (v2 - c).length2());
        return sqrtf(d);
    }
    GYRANT_HOST_DEVICE AABB get_aabb() const {
        AABB r;
        r.min = Vec3_f16::from_float({fminf(fminf(v0.x, v1.x), v2.x), fminf(fminf(v0.y, v1.y), v2.y),
                                      fminf(fminf(v0.z, v1.z), v2.z)});
        r.max = Vec3_f16::from_float({fmaxf(fmaxf(v0.x, v1.x), v2.x), fmaxf(fmaxf(v0.y, v1.y), v2.y),
                                      fmaxf(fmaxf(v0.z, v1.z), v2.z)});
        r.center = centroid();
        r.radius = __float2half_rn(max_distance_to(r.center));
        return r;
    }

    //! Solid angle seen from q (Van Oosterom and Strackee) as a fraction of the sphere; positive
    //! behind the counter-clockwise front side, 0.5 on an edge or at a vertex, where det and D
    //! both vanish (D alone vanishes wherever the triangle fills a quarter of the sphere).
    GYRANT_HOST_DEVICE float contributionToQuery(Vec3 const& q, float) const {
        Vec3 const a = v0 - q, b = v1 - q, c = v2 - q;
        float det, D;
        solid_angle_terms(a, b, c, det, D);
        if (fabsf(D) < 1e-12f && fabsf(det) < 1e-12f) return 0.5f;
        if (!(fabsf(D) <= FAR_TERMS_LIMIT && fabsf(det) <= FAR_TERMS_LIMIT)) {
            // Products of three distances beyond about 1e12 overflow. The angle is the same for
            // a, b and c shrunk together by a power of two that brings the largest coordinate
            // near 1 (NaN and infinite input stay NaN).
            float const largest = fmaxf(fmaxf(largest_magnitude(a), largest_magnitude(b)), largest_magnitude(c));
            int const exponent = ilogbf(largest);  // INT_MIN for 0 and NaN: nothing to shrink
            float const shrink = ldexpf(1.0f, exponent > 0 ? -exponent : 0);
            solid_angle_terms(a * shrink, b * shrink, c * shrink, det, D);
        }
        return atan2f(det, D) * INV_TWO_PI;
    }

    GYRANT_HOST_DEVICE static float largest_magnitude(Vec3 const& v) {
        return fmaxf(fmaxf(fabsf(v.x), fabsf(v.y)), fabsf(v.z));
    }

    //! The largest float: terms beyond it have overflowed.
    static constexpr float FAR_TERMS_LIMIT = 3.40282347e38f;

    //! det = a . (b x c) and D = |a||b||c| + (a.b)|c| + (a.c)|b| + (b.c)|a|: tan(angle / 2) =
    //! det / D for the vertices a, b, c seen from the origin.
    GYRANT_HOST_DEVICE static void solid_angle_terms(Vec3 const& a, Vec3 const& b, Vec3 const& c, float& det,
                                                     float& D) {
        float const la = a.length(), lb = b.length(), lc = c.length();
        det = a.dot(Vec3::cross(b, c));
        D = la * lb * lc + a.dot(b) * lc + a.dot(c) * lb + b.dot(c) * la;
    }

    //! Zero-, first- and second-order moments about `center` (all zero when !valid). The
    //! second moment uses the edge-midpoint rule, exact for the quadratic integrand.
    GYRANT_HOST_DEVICE void get_tailor_terms(Vec3 const& center, bool valid, Vec3& zero, Mat3x3& first,
                                             Tensor3_compressed& second) const {
        if (!valid) {
            gyrant_detail::zero_terms(zero, first, second);
            return;
        }
        Vec3 const n = get_scaled_normal();
        Vec3 const d = centroid() - center;
        Vec3 const m01 = (v0 + v1) * 0.5f - center;
        Vec3 const m12 = (v1 + v2) * 0.5f - center;
        Vec3 const m02 = (v0 + v2) * 0.5f - center;
        SymMat3x3 const s =
            (gyrant_detail::sym(m01) + gyrant_detail::sym(m12) + gyrant_detail::sym(m02)) * 0.33333334f;
        zero = n;
        first = d.outer_product(n);
        gyrant_detail::second_order_terms(s, n, second);
    }
};
static_assert(sizeof(Triangle) == 36, "Triangle is nine packed floats (shared-memory record)");

struct PointNormal {
    Vec3 position;
    Vec3 normal;  // scaled: direction = orientation, length = the area the point stands for

    //! Point i of the view, or a sentinel far away with zero normal (contributes nothing).
    GYRANT_HOST_DEVICE static PointNormal load(SoAView<PointNormal> const& view, unsigned i,
                                               unsigned n) {
        if (i >= n) return {{1e38f, 1e38f, 1e38f}, {0.0f, 0.0f, 0.0f}};
        float const* p = view.data + i;
        uint64_t const s = view.stride;
        return {{p[0], p[s], p[2 * s]}, {p[3 * s], p[4 * s], p[5 * s]}};
    }
    GYRANT_HOST_DEVICE Vec3 centroid() const { return position; }
    //! Every point counts once when centres are averaged.
    GYRANT_HOST_DEVICE float get_weight() const { return 1.0f; }
    GYRANT_HOST_DEVICE float max_distance_to(Vec3 const& c) const { return (position - c).length(); }
    GYRANT_HOST_DEVICE AABB get_aabb() const { return position.get_aabb(); }

    //! Gaussian-regularised dipole: plain from two smoothing radii on, smoothly damped below.
    GYRANT_HOST_DEVICE float contributionToQuery(Vec3 const& q, float inverse_epsilon) const {
        Vec3 const d = position - q;
        float const r2 = d.dot(d);
        if (r2 < COINCIDENT_DISTANCE_SQUARED) return 0.0f;
        float const r = sqrtf(r2);
        float const x = inverse_epsilon * r;
        float k;
        if (x < SMOOTHING_BAND_END) {
            if (x < SMOOTHING_BAND_START)
                k = DIPOLE_CORE * (inverse_epsilon * inverse_epsilon * inverse_epsilon);
            else
                k = S_regularization(x) / (r2 * r);
        } else {
            k = 1.0f / (r2 * r);  // also NaN x: the smoothing applies only where x < 2 holds
        }
        return k * d.dot(normal) * INV_FOUR_PI;
    }

    GYRANT_HOST_DEVICE void get_tailor_terms(Vec3 const& center, bool valid, Vec3& zero, Mat3x3& first,
                                             Tensor3_compressed& second) const {
        if (!valid) {
            gyrant_detail::zero_terms(zero, first, second);
            return;
        }
        Vec3 const d = position - center;
        zero = normal;
        first = d.outer_product(normal);
        gyrant_detail::second_order_terms(gyrant_detail::sym(d), normal, second);
    }
};
static_assert(sizeof(PointNormal) == 24, "PointNormal is six packed floats (shared-memory record)");

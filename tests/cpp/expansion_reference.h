// Expansion moments of primitives in double precision, computed independently of the
// library's formulas: triangles by the interior three-point quadrature rule.
#pragma once

#include "geometry.h"
#include "tailor_coefficients.h"
#include "test_support.h"

#include <array>
#include <cmath>
#include <vector>

namespace test {

//! The 30 values of Z, F and T as doubles, in record order.
struct Moments {
    std::array<double, 3> zero{};
    std::array<double, 9> first{};
    std::array<double, 18> second{};
};

inline constexpr int PAIR_I[6] = {0, 0, 0, 1, 1, 2};
inline constexpr int PAIR_J[6] = {0, 1, 2, 1, 2, 2};

//! Moments of sample points x_q with weights w_q (summing to the area) and the unit normal
//! scaled by the area: F_ij = sum w (x - c)_i n_j / A, T(ij; k) = 1/2 sum w (x-c)_i (x-c)_j n_k / A.
inline Moments moments_of_samples(std::vector<D3> const& xs, std::vector<double> const& ws,
                           D3 const& scaled_normal, D3 const& c) {
    double area = 0;
    for (double w : ws) area += w;
    Moments m;
    m.zero = scaled_normal;
    if (area == 0) return m;
    for (size_t q = 0; q < xs.size(); ++q) {
        D3 const d = sub(xs[q], c);
        double const f = ws[q] / area;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) m.first[3 * i + j] += f * d[i] * scaled_normal[j];
        for (int b = 0; b < 6; ++b)
            for (int k = 0; k < 3; ++k)
                m.second[3 * b + k] += 0.5 * f * d[PAIR_I[b]] * d[PAIR_J[b]] * scaled_normal[k];
    }
    return m;
}

//! Triangle moments by the interior three-point rule (barycentrics 2/3, 1/6, 1/6), exact for
//! quadratics and sharing no point with the edge-midpoint rule of the library.
inline Moments triangle_moments(Triangle const& t, Vec3 const& center) {
    D3 const a = d3(t.v0), b = d3(t.v1), c = d3(t.v2);
    D3 const n2 = cross(sub(b, a), sub(c, a));
    D3 const n{0.5 * n2[0], 0.5 * n2[1], 0.5 * n2[2]};
    double const area = norm(n);
    std::vector<D3> xs;
    for (int k = 0; k < 3; ++k) {
        double const w[3] = {k == 0 ? 2.0 / 3 : 1.0 / 6, k == 1 ? 2.0 / 3 : 1.0 / 6, k == 2 ? 2.0 / 3 : 1.0 / 6};
        xs.push_back({w[0] * a[0] + w[1] * b[0] + w[2] * c[0], w[0] * a[1] + w[1] * b[1] + w[2] * c[1],
                      w[0] * a[2] + w[1] * b[2] + w[2] * c[2]});
    }
    return moments_of_samples(xs, {area / 3, area / 3, area / 3}, n, d3(center));
}

inline Moments point_moments(PointNormal const& p, Vec3 const& center) {
    return moments_of_samples({d3(p.position)}, {1.0}, d3(p.normal), d3(center));
}


// ---- double-precision evaluation of a stored expansion, written from its definition -----------

inline double h(__half v) { return __half2float(v); }
inline double b(__nv_bfloat16 v) { return __bfloat162float(v); }
inline double round_bf16(double x) { return __bfloat162float(__float2bfloat16_rn(static_cast<float>(x))); }

//! T(p, q; s) from the 18 stored values (pair blocks xx, xy, xz, yy, yz, zz).
inline double tensor(Tensor3_bf16_compressed const& t, int p, int q, int s) {
    static constexpr int block[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
    return b(t.t[3 * block[p][q] + s]);
}

struct Terms {
    double zero, first, second;
    double zero_abs, first_abs, second_abs;  // the same sums over absolute values
};

//! Z = z.d, F = tr m - 3 d^T m d, S = 15 C - 6 A - 3 B, with d for Z and F and db for S.
inline Terms reference_terms(TailorCoefficientsF16 const& c, std::array<double, 3> const& d,
                             std::array<double, 3> const& db) {
    Terms r{};
    for (int i = 0; i < 3; ++i) {
        double const zi = h((&c.zero_order.x)[i]);
        r.zero += zi * d[i];
        r.zero_abs += std::fabs(zi * d[i]);
    }
    double trace = 0, trace_abs = 0, quad = 0, quad_abs = 0;
    for (int i = 0; i < 3; ++i) {
        trace += h(c.first_order.m[4 * i]);
        trace_abs += std::fabs(h(c.first_order.m[4 * i]));
        for (int j = 0; j < 3; ++j) {
            quad += h(c.first_order.m[3 * i + j]) * d[i] * d[j];
            quad_abs += std::fabs(h(c.first_order.m[3 * i + j]) * d[i] * d[j]);
        }
    }
    r.first = trace - 3 * quad;
    r.first_abs = trace_abs + 3 * quad_abs;
    double C = 0, A = 0, B = 0, C_abs = 0, A_abs = 0, B_abs = 0;
    for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q)
            for (int s = 0; s < 3; ++s) {
                double const v = tensor(c.second_order, p, q, s) * db[p] * db[q] * db[s];
                C += v;
                C_abs += std::fabs(v);
            }
    for (int k = 0; k < 3; ++k)
        for (int s = 0; s < 3; ++s) {
            A += tensor(c.second_order, s, k, s) * db[k];
            A_abs += std::fabs(tensor(c.second_order, s, k, s) * db[k]);
            B += tensor(c.second_order, s, s, k) * db[k];
            B_abs += std::fabs(tensor(c.second_order, s, s, k) * db[k]);
        }
    r.second = 15 * C - 6 * A - 3 * B;
    r.second_abs = 15 * C_abs + 6 * A_abs + 3 * B_abs;
    return r;
}

inline std::array<double, 3> widen(Vec3_f16 const& d) { return {h(d.x), h(d.y), h(d.z)}; }
inline std::array<double, 3> widen_bf16(Vec3_f16 const& d) {
    Vec3_bf16 const v = Vec3_bf16::from_f16(d);
    return {b(v.x), b(v.y), b(v.z)};
}

//! The expansion `c` about `center` at q in double precision at the exact direction, and the
//! scale of its rounding: K (Z/R^2 + F/R^3 + S/R^4) with the sums of absolute terms in place of
//! Z, F and S.
struct ExpansionValue {
    double value, magnitude;
};
inline ExpansionValue expansion_at(TailorCoefficientsF16 const& c, Vec3 const& center, Vec3 const& q) {
    std::array<double, 3> const v = {double(center.x) - q.x, double(center.y) - q.y, double(center.z) - q.z};
    double const R = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    std::array<double, 3> const d = {v[0] / R, v[1] / R, v[2] / R};
    Terms const e = reference_terms(c, d, d);
    double const k = 1.0 / (4.0 * M_PI);
    return {k * (e.zero / (R * R) + e.first / (R * R * R) + e.second / (R * R * R * R)),
            k * (e.zero_abs / (R * R) + e.first_abs / (R * R * R) + e.second_abs / (R * R * R * R))};
}

}  // namespace test

// Expansion moments of primitives in double precision, computed independently of the
// library's formulas: triangles by the interior three-point quadrature rule.
#pragma once

#include "geometry.h"
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

}  // namespace test

// Far-field acceptance and expansion evaluation: exact results on basis coefficients, agreement
// with a double-precision evaluation of the same expansion on random records, and agreement of
// the expansion with the exact field of a small cluster seen from afar. The evaluation runs in
// a kernel (it is device code in the cuda flavour).
#include "platform.h"

#include "geometry.h"
#include "kernels/node_approx.h"
#include "tailor_coefficients.h"

#include "expansion_reference.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

using test::b;
using test::h;
using test::reference_terms;
using test::round_bf16;
using test::Terms;
using test::widen;
using test::widen_bf16;

constexpr double U_HALF = 1.0 / 2048.0;  // unit roundoff of half (11-bit significand)
constexpr double U_BF16 = 1.0 / 256.0;   // unit roundoff of bfloat16 (8-bit significand)
constexpr double K = 1.0 / (4.0 * M_PI);

struct ApproxCase {
    TailorCoefficientsF16 coefficients;
    Vec3 q;
    Vec3 center;
    Vec3_f16 dir;  // direction for the three term functions
};

struct ApproxResult {
    float zero, first, second, value;
};

__global__ void evaluate_kernel(ApproxCase const* cases, unsigned n, ApproxResult* out) {
    unsigned const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    ApproxCase const c = cases[i];
    TailorCoefficientsF16 const& t = c.coefficients;
    out[i] = {computeZeroOrderContribution(t.zero_order, c.dir),
              computeFirstOrderContribution(t.first_order, c.dir),
              computeSecondOrderContribution(t.second_order, c.dir),
              compute_node_approximation(c.q, c.center, t.zero_order, t.first_order, t.second_order)};
}

std::vector<ApproxResult> evaluate(std::vector<ApproxCase> const& cases) {
    constexpr unsigned BLOCK = 64;
    test::DeviceArray<ApproxCase> d_cases(cases);
    test::DeviceArray<ApproxResult> d_out(cases.size());
    unsigned const n = static_cast<unsigned>(cases.size());
    GYRANT_LAUNCH(evaluate_kernel, (n + BLOCK - 1) / BLOCK, BLOCK, 0, nullptr, d_cases.get(), n,
                  d_out.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    return d_out.download();
}

TailorCoefficientsF16 zero_record() {
    TailorCoefficientsF16 r;
    std::memset(&r, 0, sizeof r);  // all-zero bits: +0 in half and bfloat16
    return r;
}

Vec3_f16 half3(float x, float y, float z) { return Vec3_f16::from_float({x, y, z}); }
// ---- acceptance ---------------------------------------------------------------------------------

TEST(NodeApprox, AcceptanceIsStrictAndNeverAtTheCentre) {
    AABB box = Vec3{1.0f, 2.0f, 3.0f}.get_aabb();
    box.radius = __float2half_rn(0.5f);
    // beta 4: accepted strictly beyond 4 * 0.5 = 2 from the centre.
    EXPECT_FALSE(should_node_be_approximated({3.0f, 2.0f, 3.0f}, box, 16.0f)) << "exactly beta * r";
    EXPECT_TRUE(should_node_be_approximated({3.0001f, 2.0f, 3.0f}, box, 16.0f));
    EXPECT_FALSE(should_node_be_approximated({1.0f, 2.0f, 4.99f}, box, 16.0f));
    EXPECT_TRUE(should_node_be_approximated({1.0f, 2.0f, 0.99f}, box, 16.0f));
    EXPECT_FALSE(should_node_be_approximated(box.center, box, 0.0f)) << "the centre, even at beta 0";
    EXPECT_TRUE(should_node_be_approximated({1.0f, 2.0f, 3.001f}, box, 0.0f)) << "beta 0 accepts";

    box.radius = __float2half_rn(0.0f);
    EXPECT_TRUE(should_node_be_approximated({1.0f, 2.0f, 3.0001f}, box, 1e30f)) << "radius 0";
    EXPECT_FALSE(should_node_be_approximated(box.center, box, 1.0f));

    box.radius = __float2half_rn(NAN);
    EXPECT_FALSE(should_node_be_approximated({1e4f, 0.0f, 0.0f}, box, 1.0f)) << "NaN radius";
    box.radius = __float2half_rn(INFINITY);
    EXPECT_FALSE(should_node_be_approximated({1e30f, 0.0f, 0.0f}, box, 1.0f)) << "infinite radius";
}

// Points: also beyond the smoothing band, d > r + 2 epsilon, whichever bound is larger.
TEST(NodeApprox, PointsAreAcceptedOnlyOutsideTheSmoothingBand) {
    AABB box = Vec3{0.0f, 0.0f, 0.0f}.get_aabb();
    box.radius = __float2half_rn(0.5f);
    EXPECT_EQ(acceptance_band(0.25f), 0.5f);
    EXPECT_EQ(acceptance_band(0.0f), 0.0f);
    EXPECT_EQ(acceptance_band(NAN), 0.0f) << "no smoothing: the plain dipole";
    // beta 1.5 reaches 0.75, the band 0.5 + 2 * 0.25 = 1: the band decides.
    float const band = acceptance_band(0.25f);
    EXPECT_TRUE(should_node_be_approximated({0.9f, 0.0f, 0.0f}, box, 2.25f));
    EXPECT_FALSE(should_node_be_approximated({0.9f, 0.0f, 0.0f}, box, 2.25f, band));
    EXPECT_FALSE(should_node_be_approximated({1.0f, 0.0f, 0.0f}, box, 2.25f, band)) << "exactly r + band";
    EXPECT_TRUE(should_node_be_approximated({1.001f, 0.0f, 0.0f}, box, 2.25f, band));
    // beta 4 reaches 2: beta decides.
    EXPECT_FALSE(should_node_be_approximated({1.5f, 0.0f, 0.0f}, box, 16.0f, band));
    EXPECT_FALSE(should_node_be_approximated({1e30f, 0.0f, 0.0f}, box, 1.0f, acceptance_band(INFINITY)))
        << "infinite epsilon: every point is in its band";
    EXPECT_TRUE(should_node_be_approximated({0.1f, 0.0f, 0.0f}, box, 0.0f, 0.0f)) << "no smoothing: beta alone";
}

// ---- worked examples ----------------------------------------------------------------------------

TEST(NodeApprox, WorkedExamples) {
    std::vector<ApproxCase> cases;
    // z = (1, 0, 0) only, at distance R along +x and -x from the query: +-(1/4pi) / R^2.
    float const distances[] = {0.5f, 2.0f, 3.0f, 1000.0f};
    for (float R : distances)
        for (float sign : {1.0f, -1.0f}) {
            ApproxCase c{zero_record(), {0.25f, -1.0f, 2.0f}, {0.25f + sign * R, -1.0f, 2.0f}, {}};
            c.coefficients.zero_order = half3(1, 0, 0);
            cases.push_back(c);
        }
    std::vector<ApproxResult> const got = evaluate(cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        double const R = distances[i / 2];
        double const want = (i % 2 == 0 ? 1.0 : -1.0) * K / (R * R);
        // Approximate reciprocal square root (a few ulp) and the float weighting.
        EXPECT_NEAR(got[i].value, want, 4e-6 * std::fabs(want)) << "R " << R;
    }

    // Term functions at directions whose products are exact in half and bfloat16.
    Vec3_f16 const x = half3(1, 0, 0);
    std::vector<ApproxCase> terms;
    auto add = [&](TailorCoefficientsF16 const& t, Vec3_f16 const& d) {
        terms.push_back({t, {0, 0, 0}, {1, 0, 0}, d});
    };
    TailorCoefficientsF16 identity = zero_record();
    for (int i = 0; i < 3; ++i) identity.first_order.m[4 * i] = __float2half_rn(1.0f);
    add(identity, x);                                  // 0: F = 3 - 3 = 0
    add(identity, half3(0.6f, 0.8f, 0.0f));            // 1: F = 3 - 3 |d_half|^2, not quite 0
    TailorCoefficientsF16 traceless = zero_record();   // diag(0, 1, -1), d^T m d = 0 along x
    traceless.first_order.m[4] = __float2half_rn(1.0f);
    traceless.first_order.m[8] = __float2half_rn(-1.0f);
    add(traceless, x);                                 // 2: F = 0
    TailorCoefficientsF16 skew = zero_record();
    skew.first_order.m[1] = __float2half_rn(0.75f);
    skew.first_order.m[3] = __float2half_rn(-0.125f);
    skew.first_order.m[5] = __float2half_rn(2.5f);
    TailorCoefficientsF16 transposed = skew;
    std::swap(transposed.first_order.m[1], transposed.first_order.m[3]);
    std::swap(transposed.first_order.m[5], transposed.first_order.m[7]);
    Vec3_f16 const oblique = half3(0.3f, -0.7f, 0.648f);
    add(skew, oblique);                                // 3
    add(transposed, oblique);                          // 4: same F as 3
    add(zero_record(), oblique);                       // 5: everything 0
    TailorCoefficientsF16 t0 = zero_record();
    t0.second_order.t[0] = __float2bfloat16_rn(1.0f);
    add(t0, x);                                        // 6: C = A = B = 1, S = 15 - 9 = 6

    std::vector<ApproxResult> const r = evaluate(terms);
    EXPECT_EQ(r[0].first, 0.0f);
    std::array<double, 3> const d1 = widen(half3(0.6f, 0.8f, 0.0f));
    double const f1 = 3.0 - 3.0 * (d1[0] * d1[0] + d1[1] * d1[1]);
    // Half rounding of the two squares, their sum, the product by 3 and the difference.
    EXPECT_NEAR(r[1].first, f1, 5 * U_HALF * 3.0);
    EXPECT_EQ(r[2].first, 0.0f);
    EXPECT_EQ(r[3].first, r[4].first) << "F reads only the symmetric part of m";
    EXPECT_NE(r[3].first, 0.0f);
    EXPECT_EQ(r[5].zero, 0.0f);
    EXPECT_EQ(r[5].first, 0.0f);
    EXPECT_EQ(r[5].second, 0.0f);
    EXPECT_EQ(r[6].second, 6.0f);
    EXPECT_EQ(r[6].zero, 0.0f);
}

// Every stored coefficient alone, at directions (1, 2, 4) and (-4, 1, -2): all intermediate
// products and sums are exact in half and bfloat16, so each term must equal the definition (S
// after its final rounding). Catches any coefficient read at the wrong index or with the wrong
// multiplicity.
TEST(NodeApprox, BasisCoefficientsAreExact) {
    Vec3_f16 const dirs[] = {half3(1, 2, 4), half3(-4, 1, -2)};
    std::vector<ApproxCase> cases;
    for (Vec3_f16 const& d : dirs) {
        for (int i = 0; i < 3; ++i) {
            ApproxCase c{zero_record(), {}, {}, d};
            (&c.coefficients.zero_order.x)[i] = __float2half_rn(1.0f);
            cases.push_back(c);
        }
        for (int k = 0; k < 9; ++k) {
            ApproxCase c{zero_record(), {}, {}, d};
            c.coefficients.first_order.m[k] = __float2half_rn(1.0f);
            cases.push_back(c);
        }
        for (int k = 0; k < 18; ++k) {
            ApproxCase c{zero_record(), {}, {}, d};
            c.coefficients.second_order.t[k] = __float2bfloat16_rn(1.0f);
            cases.push_back(c);
        }
    }
    // q at 1 from the centre keeps the full value finite; it is not checked here.
    for (ApproxCase& c : cases) c.center = {1, 0, 0};
    std::vector<ApproxResult> const got = evaluate(cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        Terms const want = reference_terms(cases[i].coefficients, widen(cases[i].dir),
                                           widen_bf16(cases[i].dir));
        EXPECT_EQ(got[i].zero, want.zero) << "case " << i;
        EXPECT_EQ(got[i].first, want.first) << "case " << i;
        EXPECT_EQ(got[i].second, round_bf16(want.second)) << "case " << i;
    }
}

// Random records and unit directions against the double evaluation. Bounds: every result is
// reached through at most 6 half roundings (Z, F) or 16 bfloat16 roundings (S) along any path,
// each relative to the magnitudes entering it, so the error is at most that many unit roundoffs
// of the sum of absolute terms (plus a few half subnormal steps for tiny values).
TEST(NodeApprox, RandomRecordsMatchDoubleEvaluation) {
    test::Random rng(61);
    std::vector<ApproxCase> cases;
    for (int i = 0; i < 400; ++i) {
        ApproxCase c{zero_record(), {}, {}, {}};
        float const scale = std::ldexp(1.0f, static_cast<int>(rng.uniform(-6, 6)));
        c.coefficients.zero_order = Vec3_f16::from_float(rng.point(-scale, scale));
        for (auto& m : c.coefficients.first_order.m) m = __float2half_rn(rng.uniform(-scale, scale));
        for (auto& t : c.coefficients.second_order.t) t = __float2bfloat16_rn(rng.uniform(-scale, scale));
        c.q = rng.point(-10, 10);
        Vec3 u = rng.point(-1, 1);
        if (u.length2() < 1e-3f) u = {0.0f, 0.0f, 1.0f};
        u = u * (1.0f / u.length());
        float const R = rng.uniform(0.5f, 50.0f);
        c.center = c.q + u * R;
        c.dir = Vec3_f16::from_float(u);
        cases.push_back(c);
    }
    std::vector<ApproxResult> const got = evaluate(cases);
    constexpr double TINY = 4.0 / 16777216.0;  // a few half subnormal steps (2^-24)
    for (size_t i = 0; i < cases.size(); ++i) {
        ApproxCase const& c = cases[i];
        Terms const t = reference_terms(c.coefficients, widen(c.dir), widen_bf16(c.dir));
        EXPECT_NEAR(got[i].zero, t.zero, 6 * U_HALF * t.zero_abs + TINY) << i;
        EXPECT_NEAR(got[i].first, t.first, 6 * U_HALF * t.first_abs + TINY) << i;
        EXPECT_NEAR(got[i].second, t.second, 16 * U_BF16 * t.second_abs + TINY) << i;

        // The whole value against the exact expansion at the exact direction: the direction's
        // rounding to half (and to bfloat16 for S) adds one unit roundoff per factor of d.
        std::array<double, 3> const v = {double(c.center.x) - c.q.x, double(c.center.y) - c.q.y,
                                         double(c.center.z) - c.q.z};
        double const R = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        std::array<double, 3> const d = {v[0] / R, v[1] / R, v[2] / R};
        Terms const e = reference_terms(c.coefficients, d, d);
        double const want = K * (e.zero / (R * R) + e.first / (R * R * R) + e.second / (R * R * R * R));
        double const tol = K * ((8 * U_HALF * e.zero_abs + TINY) / (R * R) +
                                (10 * U_HALF * e.first_abs + TINY) / (R * R * R) +
                                (20 * U_BF16 * e.second_abs + TINY) / (R * R * R * R)) +
                           1e-6 * std::fabs(want);  // float weighting, approximate rsqrt
        EXPECT_NEAR(got[i].value, want, tol) << i;
    }
}

// ---- the expansion against the field it stands for ---------------------------------------------

//! Sum of the terms of every primitive about `center`, narrowed as the hierarchy stores it.
template <class T>
TailorCoefficientsF16 expansion_of(std::vector<T> const& prims, Vec3 const& center) {
    TailorCoefficients sum{};
    for (T const& p : prims) {
        Vec3 z;
        Mat3x3 m;
        Tensor3_compressed t;
        p.get_tailor_terms(center, true, z, m, t);
        sum.zero_order += z;
        sum.first_order += m;
        for (int k = 0; k < 18; ++k) sum.second_order.t[k] += t.t[k];
    }
    TailorCoefficientsF16 r = zero_record();
    r.zero_order = sum.zero_order;
    r.first_order = sum.first_order;
    r.second_order = sum.second_order;
    return r;
}

// A cluster of radius r seen from R: the second-order expansion leaves a third-order remainder,
// and half storage of the coefficients and of the direction adds about 2^-11, both relative to
// the cluster's scale |n| / (4 pi R^2). This cube-shaped cluster's remainder measures at most
// 0.09 (r/R)^3 and the rounding at most 0.4 * 2^-11; the bound allows 0.2 (r/R)^3 + 2^-11. An
// expansion without its second-order term misses it at R = 4r and 8r by 2 to 3 times the bound.
TEST(NodeApprox, ExpansionMatchesClusterField) {
    test::Random rng(7);
    Vec3 const center{0.5f, -0.25f, 1.0f};
    float const r = 0.1f;
    std::vector<PointNormal> points;
    std::vector<Triangle> triangles;
    double points_scale = 0, triangles_scale = 0;
    for (int i = 0; i < 40; ++i) {
        Vec3 const p = center + rng.point(-r, r) * 0.57f;  // inside the ball of radius r
        Vec3 const n = rng.point(-1, 1) * 0.01f + Vec3{0.004f, 0.0f, 0.002f};
        points.push_back({p, n});
        points_scale += n.length();
        Triangle const t{p, p + rng.point(-0.03f, 0.03f), p + rng.point(-0.03f, 0.03f)};
        triangles.push_back(t);
        triangles_scale += t.get_scaled_normal().length();
    }
    float const ratios[] = {4, 8, 16, 64};
    std::vector<ApproxCase> cases;
    std::vector<double> exact, scale, truncation;
    for (int kind = 0; kind < 2; ++kind) {
        TailorCoefficientsF16 const e =
            kind == 0 ? expansion_of(points, center) : expansion_of(triangles, center);
        for (float ratio : ratios)
            for (int j = 0; j < 6; ++j) {
                Vec3 u = rng.point(-1, 1);
                u = u * (1.0f / u.length());
                double const R = ratio * r;
                Vec3 const q = center - u * static_cast<float>(R);
                cases.push_back({e, q, center, {}});
                double const w = kind == 0 ? test::reference_winding(points, q, 1e-4)
                                           : test::reference_winding(triangles, q, 0.0);
                exact.push_back(w);
                scale.push_back((kind == 0 ? points_scale : triangles_scale) * K / (R * R));
                truncation.push_back(std::pow(1.0 / ratio, 3));
            }
    }
    std::vector<ApproxResult> const got = evaluate(cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_LE(std::fabs(got[i].value - exact[i]), scale[i] * (0.2 * truncation[i] + U_HALF))
            << "case " << i << " value " << got[i].value << " exact " << exact[i];
    }
}

}  // namespace

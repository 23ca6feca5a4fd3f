// Per-primitive expansion terms against moments computed independently in double precision.
#include "platform.h"
#include "geometry.h"
#include "tailor_coefficients.h"
#include "test_support.h"
#include "expansion_reference.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

namespace {

using test::Moments;
using test::point_moments;
using test::triangle_moments;

struct Terms {
    Vec3 zero;
    Mat3x3 first;
    Tensor3_compressed second;
};

template <class P>
Terms terms_of(P const& p, Vec3 const& center, bool valid = true) {
    Terms t;
    p.get_tailor_terms(center, valid, t.zero, t.first, t.second);
    return t;
}

//! Every term within `tol` of the reference (absolute).
void expect_near(Terms const& got, Moments const& ref, double tol, char const* what) {
    float const z[3] = {got.zero.x, got.zero.y, got.zero.z};
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(z[k], ref.zero[k], tol) << what << " zero " << k;
    for (int k = 0; k < 9; ++k) EXPECT_NEAR(got.first.m[k], ref.first[k], tol) << what << " first " << k;
    for (int k = 0; k < 18; ++k) EXPECT_NEAR(got.second.t[k], ref.second[k], tol) << what << " second " << k;
}

}  // namespace

TEST(Expansion, WorkedExamples) {
    // A point at the centre: only the zero order survives.
    Terms const at_centre = terms_of(PointNormal{{1, 2, 3}, {0.5f, -1, 2}}, Vec3{1, 2, 3});
    EXPECT_EQ(at_centre.zero.y, -1.0f);
    for (float v : at_centre.first.m) EXPECT_EQ(v, 0.0f);
    for (float v : at_centre.second.t) EXPECT_EQ(v, 0.0f);

    // d = (1, 2, 0), normal (0, 0, 2).
    Terms const p = terms_of(PointNormal{{1, 2, 0}, {0, 0, 2}}, Vec3{0, 0, 0});
    for (int k = 0; k < 9; ++k) EXPECT_EQ(p.first.m[k], k == 2 ? 2.0f : k == 5 ? 4.0f : 0.0f) << k;
    for (int k = 0; k < 18; ++k)
        EXPECT_EQ(p.second.t[k], k == 2 ? 1.0f : k == 5 ? 2.0f : k == 11 ? 4.0f : 0.0f) << k;

    // The unit right triangle about the origin.
    Terms const t = terms_of(Triangle{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, Vec3{0, 0, 0});
    EXPECT_EQ(t.zero.x, 0.0f);
    EXPECT_EQ(t.zero.z, 0.5f);
    for (int k = 0; k < 9; ++k)
        EXPECT_NEAR(t.first.m[k], (k == 2 || k == 5) ? 0.5 / 3 : 0.0, 1e-7) << k;  // float 1/3
    for (int k = 0; k < 18; ++k) {
        double const want = (k == 2 || k == 11) ? 1.0 / 24 : k == 5 ? 1.0 / 48 : 0.0;
        EXPECT_NEAR(t.second.t[k], want, 1e-7) << k;  // float rounding of 1/3 and the products
    }

    // Invalid lanes contribute nothing, whatever they hold (here the far-away sentinel).
    float const nan = std::numeric_limits<float>::quiet_NaN();
    Vec3 const far{1e38f, 1e38f, 1e38f};
    for (Terms const& z : {terms_of(Triangle{far, far, far}, Vec3{0, 0, 0}, false),
                           terms_of(PointNormal{{nan, 1, 2}, {3, 4, nan}}, Vec3{1, 1, 1}, false)}) {
        EXPECT_EQ(z.zero.x, 0.0f);
        EXPECT_EQ(z.zero.z, 0.0f);
        for (float v : z.first.m) EXPECT_EQ(v, 0.0f);
        for (float v : z.second.t) EXPECT_EQ(v, 0.0f);
    }
}

TEST(Expansion, RandomPrimitivesMatchDoubleMoments) {
    test::Random rng(99);
    for (int i = 0; i < 500; ++i) {
        Vec3 const center = rng.point(-2, 2);
        Triangle const tri{rng.point(-2, 2), rng.point(-2, 2), rng.point(-2, 2)};
        // Float arithmetic on coordinates of magnitude <= 4 and areas <= ~10: a few ulps of
        // values up to ~10^2.
        expect_near(terms_of(tri, center), triangle_moments(tri, center), 2e-5, "triangle");

        PointNormal const pt{rng.point(-2, 2), rng.point(-1, 1)};
        expect_near(terms_of(pt, center), point_moments(pt, center), 1e-5, "point");
    }

    // A small triangle far from its centre stresses cancellation in the second moment.
    Vec3 const center{0.3f, -0.2f, 0.1f};
    Triangle const small{{10, 10, 10}, {10.01f, 10, 10}, {10, 10.02f, 10.005f}};
    Moments const ref = triangle_moments(small, center);
    // Moments of size |d|^2 |n| ~ 100 * 1e-4; relative float error ~1e-6.
    expect_near(terms_of(small, center), ref, 1e-7, "small far triangle");

    // Degenerate triangles have no normal and therefore no terms.
    Terms const flat = terms_of(Triangle{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}, Vec3{5, 5, 5});
    for (float v : flat.first.m) EXPECT_EQ(v, 0.0f);
    for (float v : flat.second.t) EXPECT_EQ(v, 0.0f);
}

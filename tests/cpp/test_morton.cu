// Morton codes, scene parameters and the scene box.
#include "platform.h"
#include "kernels/common.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

//! Bit k of v moved to bit 3k, the slow way.
uint64_t spread_bits(uint32_t v) {
    uint64_t r = 0;
    for (int k = 0; k < 21; ++k) r |= static_cast<uint64_t>((v >> k) & 1u) << (3 * k);
    return r;
}

//! The quantised coordinate of axis `axis` (0 = x) recovered from a code.
uint32_t axis_of(uint64_t code, int axis) {
    uint32_t v = 0;
    for (int k = 0; k < 21; ++k) v |= static_cast<uint32_t>((code >> (3 * k + axis)) & 1u) << k;
    return v;
}

float half_round(double v) { return __half2float(__float2half_rn(static_cast<float>(v))); }

AABB box_with_corners(Vec3 lo, Vec3 hi) {
    AABB b = empty_scene_box();
    b.min = Vec3_f16::from_float(lo);
    b.max = Vec3_f16::from_float(hi);
    return b;
}

template <class G>
std::vector<uint64_t> device_codes(std::vector<G> const& prims, SceneParams const& params) {
    cudaStream_t stream = nullptr;
    gyrant::StreamPolicy policy = gyrant::make_policy(stream);
    test::DeviceArray<G> d_prims(prims);
    test::DeviceArray<unsigned long> d_codes(prims.size());
    morton_codes(d_prims.get(), prims.size(), d_codes.get(), policy, params);
    auto const codes = d_codes.download();
    return {codes.begin(), codes.end()};
}

}  // namespace

TEST(Morton, BitLayout) {
    EXPECT_EQ(morton3D_63bit(1, 0, 0), 1u);
    EXPECT_EQ(morton3D_63bit(0, 1, 0), 2u);
    EXPECT_EQ(morton3D_63bit(0, 0, 1), 4u);
    EXPECT_EQ(morton3D_63bit(2097151, 2097151, 2097151), 0x7fffffffffffffffull);
    // Bits above the 21st are dropped, not carried into the neighbouring axes.
    EXPECT_EQ(splitBy3(0xffffffffu), splitBy3(0x1fffffu));
    EXPECT_EQ(morton3D_63bit(0x200000u, 0x400000u, 0x800000u), 0u);

    test::Random rng(7);
    for (int i = 0; i < 2000; ++i) {
        uint32_t const x = rng.bits(), y = rng.bits(), z = rng.bits();
        ASSERT_EQ(splitBy3(x), spread_bits(x)) << x;
        uint64_t const code = morton3D_63bit(x, y, z);
        ASSERT_EQ(code, spread_bits(x) | spread_bits(y) << 1 | spread_bits(z) << 2);
        EXPECT_EQ(axis_of(code, 0), x & 0x1fffffu);
        EXPECT_EQ(axis_of(code, 2), z & 0x1fffffu);
    }
}

TEST(Morton, SceneScale) {
    // The longest axis decides, for all three axes alike.
    SceneParams p = make_scene_params(box_with_corners({-1, 0, 2}, {1, 4, 3}));
    EXPECT_EQ(p.inv_extent, 0.25f);
    EXPECT_EQ(__half2float(p.bounds.min.x), -1.0f);

    // All centroids in one place, or a spread that half precision cannot resolve: scale 0.
    EXPECT_EQ(make_scene_params(box_with_corners({3, 3, 3}, {3, 3, 3})).inv_extent, 0.0f);
    EXPECT_EQ(make_scene_params(box_with_corners({1, 1, 1}, {1.00001f, 1, 1})).inv_extent, 0.0f);
    // Coordinates beyond the half range give infinite corners and an infinite extent.
    EXPECT_EQ(make_scene_params(box_with_corners({0, 0, 0}, {1e5f, 1, 1})).inv_extent, 0.0f);
    // The empty reduction's box: extent -inf.
    EXPECT_EQ(make_scene_params(empty_scene_box()).inv_extent, 0.0f);
    // A NaN extent on one axis is ignored in favour of the others.
    AABB nan_box = box_with_corners({0, 0, 0}, {0, 2, 1});
    nan_box.max.x = __float2half_rn(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(make_scene_params(nan_box).inv_extent, 0.5f);
}

TEST(Morton, SceneBoundsOnDevice) {
    test::Random rng(11);
    std::vector<Triangle> tris(1000);
    for (auto& t : tris) t = {rng.point(-3, 5), rng.point(-3, 5), rng.point(-2, 1)};
    double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (auto const& t : tris)
        for (Vec3 const& v : {t.v0, t.v1, t.v2}) {
            float const c[3] = {v.x, v.y, v.z};
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min<double>(lo[a], c[a]);
                hi[a] = std::max<double>(hi[a], c[a]);
            }
        }

    cudaStream_t stream = nullptr;
    gyrant::StreamPolicy policy = gyrant::make_policy(stream);
    test::DeviceArray<Triangle> d_tris(tris);
    AABB const box = scene_bounds(d_tris.get(), tris.size(), policy);
    // Rounding to nearest is monotone, so the half corners are exactly the rounded extremes.
    Vec3 const bmin = Vec3::from_f16(box.min), bmax = Vec3::from_f16(box.max);
    EXPECT_EQ(bmin.x, half_round(lo[0]));
    EXPECT_EQ(bmin.y, half_round(lo[1]));
    EXPECT_EQ(bmin.z, half_round(lo[2]));
    EXPECT_EQ(bmax.x, half_round(hi[0]));
    EXPECT_EQ(bmax.y, half_round(hi[1]));
    EXPECT_EQ(bmax.z, half_round(hi[2]));

    // Nothing to reduce: the initial box comes back and the scale is 0.
    AABB const none = scene_bounds(d_tris.get(), 0, policy);
    EXPECT_TRUE(std::isinf(__half2float(none.min.x)) && __half2float(none.min.x) > 0);
    EXPECT_TRUE(std::isinf(__half2float(none.max.z)) && __half2float(none.max.z) < 0);
}

TEST(Morton, QuantisationOnDevice) {
    // Lower corner (-1, -1, -1), scale 1/2: the scene cube is [-1, 1]^3.
    SceneParams const p = make_scene_params(box_with_corners({-1, -1, -1}, {1, 1, 1}));
    ASSERT_EQ(p.inv_extent, 0.5f);
    float const nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<Vec3> const special = {
        {-1, -1, -1},         // the corner itself
        {-1.001f, 0, 0},      // below the rounded corner: clamps to 0
        {1, 1, 1},            // the far corner: the top of the range
        {1.5f, 3, 1e30f},     // beyond the extent: clamps to 2^21 - 1
        {nan, 0, 0},          // NaN quantises to 0
        {0, 0, 0},            // u = 0.5: q = 1048575.5 truncates
    };
    auto const codes = device_codes(special, p);
    EXPECT_EQ(codes[0], 0u);
    EXPECT_EQ(axis_of(codes[1], 0), 0u);
    EXPECT_EQ(codes[2], 0x7fffffffffffffffull);
    EXPECT_EQ(codes[3], 0x7fffffffffffffffull);
    EXPECT_EQ(axis_of(codes[4], 0), 0u);
    EXPECT_EQ(axis_of(codes[4], 1), 1048575u);
    EXPECT_EQ(codes[5], morton3D_63bit(1048575, 1048575, 1048575));

    // Random points against the quantisation in double precision; float rounding of u can move
    // a value across one quantisation step.
    test::Random rng(3);
    std::vector<Vec3> pts(3000);
    for (auto& v : pts) v = rng.point(-1.2f, 1.2f);
    auto const got = device_codes(pts, p);
    for (size_t i = 0; i < pts.size(); ++i) {
        float const c[3] = {pts[i].x, pts[i].y, pts[i].z};
        for (int a = 0; a < 3; ++a) {
            double const q = std::clamp((c[a] + 1.0) * 0.5 * 2097151.0, 0.0, 2097151.0);
            ASSERT_LE(std::abs(static_cast<double>(axis_of(got[i], a)) - std::floor(q)), 1.0)
                << "point " << i << " axis " << a;
        }
    }
}

TEST(Morton, LeafKeysAreTheFirstCodeOfEachLeaf) {
    cudaStream_t stream = nullptr;
    gyrant::StreamPolicy policy = gyrant::make_policy(stream);
    for (unsigned n : {1u, 32u, 33u, 100u}) {
        std::vector<unsigned long> codes(n);
        for (unsigned i = 0; i < n; ++i) codes[i] = 3ul * i + 1;  // every position distinct
        test::DeviceArray<unsigned long> d_codes(codes);
        unsigned const L = (n + 31) / 32;
        test::DeviceArray<unsigned long> d_keys(L);
        compute_leaf_keys(d_codes.get(), n, d_keys.get(), policy);
        auto const keys = d_keys.download();
        for (unsigned j = 0; j < L; ++j) EXPECT_EQ(keys[j], codes[32 * j]) << "n " << n << " leaf " << j;
    }
}

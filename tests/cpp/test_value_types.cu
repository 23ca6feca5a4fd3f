// Rounding rules of the 16-bit formats and the small value types, checked bit for bit against
// rounding written here from the formats' definitions, both on the host and inside a kernel.
#include "platform.h"

#include "aabb.h"
#include "mat3x3.h"
#include "tensor3.h"
#include "vec3.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

template <class To, class From>
To bits_of(From const& v) {
    static_assert(sizeof(To) == sizeof(From));
    To r;
    std::memcpy(static_cast<void*>(&r), &v, sizeof(To));
    return r;
}
uint16_t hbits(__half h) { return bits_of<uint16_t>(h); }
uint16_t bbits(__nv_bfloat16 b) { return bits_of<uint16_t>(b); }
uint32_t fbits(float f) { return bits_of<uint32_t>(f); }
float from_bits(uint32_t u) { return bits_of<float>(u); }

// A 16-bit format: `mant` fraction bits, exponent bias `bias`, sign in bit 15.
struct Format {
    int mant;
    int bias;
    uint16_t inf() const { return static_cast<uint16_t>(((1 << (15 - mant)) - 1) << mant); }
    //! Value of a non-negative pattern up to inf (inf decodes as the next power of two, so
    //! rounding against it gives exactly IEEE overflow); NaN for the NaN patterns.
    double decode(uint16_t b) const {
        double const s = (b & 0x8000) ? -1.0 : 1.0;
        uint16_t const a = b & 0x7FFF;
        if (a > inf()) return std::numeric_limits<double>::quiet_NaN();
        int const e = a >> mant;
        int const m = a & ((1 << mant) - 1);
        if (a == inf()) return s * std::ldexp(1.0, e - bias);
        if (e == 0) return s * std::ldexp(m, 1 - bias - mant);
        return s * std::ldexp(m + (1 << mant), e - bias - mant);
    }
    //! The IEEE value of any pattern (infinities included).
    double value(uint16_t b) const {
        if ((b & 0x7FFF) == inf()) return (b & 0x8000) ? -HUGE_VAL : HUGE_VAL;
        return decode(b);
    }
    //! Round to nearest, ties to the even pattern; overflow to infinity, never clamped.
    uint16_t round(double x) const {
        if (std::isnan(x)) return 0x7FFF;  // any NaN; callers compare NaN-ness
        uint16_t const sign = std::signbit(x) ? 0x8000 : 0;
        double const a = std::fabs(x);
        if (a >= decode(inf())) return sign | inf();
        uint16_t lo = 0, hi = inf();  // decode(lo) <= a < decode(hi)
        while (hi - lo > 1) {
            uint16_t const mid = static_cast<uint16_t>((lo + hi) / 2);
            (decode(mid) <= a ? lo : hi) = mid;
        }
        double const dlo = a - decode(lo), dhi = decode(hi) - a;
        uint16_t const r = dlo < dhi ? lo : dhi < dlo ? hi : ((lo & 1) ? hi : lo);
        return sign | r;
    }
};
constexpr Format HALF{10, 15};
constexpr Format BF16{7, 127};

bool same_half(uint16_t got, uint16_t want) {
    bool const nan_got = (got & 0x7FFF) > HALF.inf(), nan_want = (want & 0x7FFF) > HALF.inf();
    return nan_got || nan_want ? nan_got == nan_want : got == want;
}
bool same_bf16(uint16_t got, uint16_t want) {
    bool const nan_got = (got & 0x7FFF) > BF16.inf(), nan_want = (want & 0x7FFF) > BF16.inf();
    return nan_got || nan_want ? nan_got == nan_want : got == want;
}

// Everything the value types convert or compute for one pair of inputs; the same function runs
// on the host and in a kernel.
struct Conversions {
    Vec3_f16 half_a;       // Vec3_f16::from_float(a)
    Vec3_f16 assigned_a;   // Vec3_f16::operator=(a)
    Vec3 widened_a;        // Vec3::from_f16(half_a)
    Vec3_bf16 bf_a;        // Vec3_bf16::from_f16(half_a)
    __half length2_a;      // half_a.length2()
    Vec3_f16 diff;         // half_a - half_b
    float radius_sq;       // box with max = half_a, min = half_b
    Mat3x3_f16 mat_h;      // rows a, b, a + b narrowed
    Mat3x3 mat_back;
    Tensor3_bf16_compressed ten_b;  // t = a, b, a + b, then zeros, narrowed
    Tensor3_compressed ten_back;
};

GYRANT_HOST_DEVICE Conversions convert(Vec3 const& a, Vec3 const& b) {
    Conversions r;
    r.half_a = Vec3_f16::from_float(a);
    r.assigned_a = r.half_a;
    r.assigned_a = a;
    r.widened_a = Vec3::from_f16(r.half_a);
    r.bf_a = Vec3_bf16::from_f16(r.half_a);
    r.length2_a = r.half_a.length2();
    Vec3_f16 const half_b = Vec3_f16::from_float(b);
    r.diff = r.half_a - half_b;
    AABB box;
    box.min = half_b;
    box.max = r.half_a;
    box.center = a;
    box.radius = __float2half_rn(0.0f);
    r.radius_sq = box.radius_sq();
    Vec3 const c = a + b;
    Mat3x3 m{{a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z}};
    r.mat_h = m;
    r.mat_back = Mat3x3::from_f16(r.mat_h);
    Tensor3_compressed t;
    for (int k = 0; k < 18; ++k) t.t[k] = 0.0f;
    float const v[9] = {a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z};
    for (int k = 0; k < 9; ++k) t.t[k] = v[k];
    r.ten_b = t;
    r.ten_back = Tensor3_compressed::from_f16(r.ten_b);
    return r;
}

__global__ void convert_kernel(Vec3 const* a, Vec3 const* b, Conversions* out, unsigned n) {
    unsigned const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) out[i] = convert(a[i], b[i]);
}

constexpr unsigned TEST_BLOCK = 128;

std::vector<Conversions> convert_on_device(std::vector<Vec3> const& a, std::vector<Vec3> const& b) {
    test::DeviceArray<Vec3> da(a), db(b);
    test::DeviceArray<Conversions> out(a.size());
    unsigned const n = static_cast<unsigned>(a.size());
    GYRANT_LAUNCH(convert_kernel, (n + TEST_BLOCK - 1) / TEST_BLOCK, TEST_BLOCK, 0, nullptr, da.get(),
                  db.get(), out.get(), n);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    return out.download();
}

float comp(Vec3 const& v, int k) { return k == 0 ? v.x : k == 1 ? v.y : v.z; }
__half comp(Vec3_f16 const& v, int k) { return k == 0 ? v.x : k == 1 ? v.y : v.z; }
__nv_bfloat16 comp(Vec3_bf16 const& v, int k) { return k == 0 ? v.x : k == 1 ? v.y : v.z; }

// Half arithmetic as the formats define it: exact in double, then one rounding.
uint16_t half_mul(uint16_t x, uint16_t y) { return HALF.round(HALF.value(x) * HALF.value(y)); }
uint16_t half_add(uint16_t x, uint16_t y) { return HALF.round(HALF.value(x) + HALF.value(y)); }

// Checks one record against the rules; `where` names the path and the input.
void check(Conversions const& r, Vec3 const& a, Vec3 const& b, char const* where) {
    SCOPED_TRACE(where);
    uint16_t ha[3], hb[3];
    for (int k = 0; k < 3; ++k) {
        ha[k] = HALF.round(comp(a, k));
        hb[k] = HALF.round(comp(b, k));
        float const in = comp(a, k);
        ASSERT_TRUE(same_half(hbits(comp(r.half_a, k)), ha[k])) << in;
        ASSERT_TRUE(same_half(hbits(comp(r.assigned_a, k)), ha[k])) << in;
        // Widening is exact: the float holds the half's value.
        double const exact = HALF.value(hbits(comp(r.half_a, k)));
        ASSERT_TRUE(std::isnan(exact) ? std::isnan(comp(r.widened_a, k)) : comp(r.widened_a, k) == exact) << in;
        ASSERT_TRUE(same_bf16(bbits(comp(r.bf_a, k)), BF16.round(HALF.value(ha[k])))) << in;
        ASSERT_TRUE(same_half(hbits(comp(r.diff, k)), half_add(ha[k], hb[k] ^ 0x8000))) << in;
    }
    // ((x·x) + (y·y)) + (z·z), each step rounded to half, no fused multiply-add.
    uint16_t const l2 = half_add(half_add(half_mul(ha[0], ha[0]), half_mul(ha[1], ha[1])), half_mul(ha[2], ha[2]));
    ASSERT_TRUE(same_half(hbits(r.length2_a), l2));
    uint16_t d[3];
    for (int k = 0; k < 3; ++k) d[k] = half_add(ha[k], hb[k] ^ 0x8000);
    uint16_t const dl2 = half_add(half_add(half_mul(d[0], d[0]), half_mul(d[1], d[1])), half_mul(d[2], d[2]));
    double const rsq = HALF.value(half_mul(dl2, HALF.round(0.25)));
    ASSERT_TRUE(std::isnan(rsq) ? std::isnan(r.radius_sq) : r.radius_sq == rsq);

    Vec3 const c = a + b;
    float const v[9] = {a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z};
    for (int k = 0; k < 9; ++k) {
        uint16_t const h = HALF.round(v[k]);
        ASSERT_TRUE(same_half(hbits(r.mat_h.m[k]), h)) << k;
        double const back = HALF.value(h);
        ASSERT_TRUE(std::isnan(back) ? std::isnan(r.mat_back.m[k]) : r.mat_back.m[k] == back) << k;
        uint16_t const bf = BF16.round(v[k]);
        ASSERT_TRUE(same_bf16(bbits(r.ten_b.t[k]), bf)) << k;
        // bfloat16 widening puts the 16 bits in the upper half of the float.
        ASSERT_EQ(fbits(r.ten_back.t[k]), static_cast<uint32_t>(bbits(r.ten_b.t[k])) << 16) << k;
    }
    for (int k = 9; k < 18; ++k) ASSERT_EQ(bbits(r.ten_b.t[k]), 0u);
}

void check_both_paths(std::vector<Vec3> const& a, std::vector<Vec3> const& b) {
    std::vector<Conversions> const device = convert_on_device(a, b);
    ASSERT_EQ(device.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        check(convert(a[i], b[i]), a[i], b[i], "host");
        check(device[i], a[i], b[i], "kernel");
        if (::testing::Test::HasFatalFailure()) {
            ADD_FAILURE() << "input " << i << ": (" << a[i].x << ", " << a[i].y << ", " << a[i].z
                          << "), (" << b[i].x << ", " << b[i].y << ", " << b[i].z << ")";
            return;
        }
    }
}

// Floats whose exponent field is zero are made zero: flushing single-precision subnormals is
// the device's arithmetic mode, not a rounding rule, and they all narrow to (signed) zero in
// half anyway.
float no_float_subnormal(float f) {
    return (fbits(f) & 0x7F800000u) == 0 ? std::copysign(0.0f, f) : f;
}

}  // namespace

TEST(ValueTypes, NarrowingRoundsToNearestEvenWithoutClamping) {
    float const p = std::ldexp(1.0f, -11), q = std::ldexp(1.0f, -24);
    // Pairs that land exactly on the rules: the half range edge, ties to even at 1 and in the
    // subnormal range, subnormals surviving, signed zeros, no clamping, NaN.
    std::vector<float> const special = {65519.0f, 65520.0f, -65520.0f, 65504.0f, 1e6f, -3e38f,
                                        1.0f + p, 1.0f + 3 * p, -(1.0f + p), q, q / 2, 3 * q / 4,
                                        3 * q / 2, 5 * q / 2, -q / 2, -q / 4, std::ldexp(1.0f, -14),
                                        std::ldexp(1023.0f, -24), 1.0f + std::ldexp(1.0f, -8),
                                        1.0f + 3 * std::ldexp(1.0f, -8), 3e38f, 0.0f, -0.0f,
                                        std::numeric_limits<float>::infinity(),
                                        std::numeric_limits<float>::quiet_NaN(), 255.0f, 256.0f};
    std::vector<Vec3> a, b;
    for (size_t i = 0; i < special.size(); ++i) {
        float const s = special[i], t = special[(i + 7) % special.size()];
        a.push_back({s, -s, t});
        b.push_back({t, s / 2, -0.0f});
    }
    check_both_paths(a, b);

    // The reference rounding itself, at the values that pin the rules down.
    EXPECT_EQ(HALF.round(65519.0), 0x7BFF);
    EXPECT_EQ(HALF.round(65520.0), 0x7C00);
    EXPECT_EQ(HALF.round(q), 0x0001);
    EXPECT_EQ(BF16.round(1.0 + std::ldexp(1.0, -8)), 0x3F80);
    EXPECT_EQ(BF16.round(1.0 + 3 * std::ldexp(1.0, -8)), 0x3F82);
    EXPECT_EQ(hbits(__float2half_rn(65520.0f)), 0x7C00);
    EXPECT_EQ(bbits(__float2bfloat16_rn(1.0f + 3 * std::ldexp(1.0f, -8))), 0x3F82);
}

TEST(ValueTypes, RandomInputsMatchTheRulesOnHostAndDevice) {
    test::Random rng(20240611);
    std::vector<Vec3> a, b;
    for (int i = 0; i < 6000; ++i) {
        auto any = [&] { return no_float_subnormal(from_bits(rng.bits())); };
        // Arbitrary bit patterns; values around the half range and the length2 overflow at 256;
        // near-equal corners for the half differences.
        Vec3 const x = i % 3 == 0   ? Vec3{any(), any(), any()}
                       : i % 3 == 1 ? rng.point(-300.0f, 300.0f)
                                    : rng.point(-1.0f, 1.0f) * std::ldexp(1.0f, static_cast<int>(rng.bits() % 40) - 25);
        Vec3 const y = i % 2 == 0 ? x - rng.point(0.0f, 1.0f) * 0.01f : rng.point(-70000.0f, 70000.0f);
        a.push_back(x);
        b.push_back({no_float_subnormal(y.x), no_float_subnormal(y.y), no_float_subnormal(y.z)});
    }
    check_both_paths(a, b);
}

TEST(ValueTypes, WideningIsExactForEveryPattern) {
    // All 65536 half and bfloat16 patterns, three per record.
    std::vector<Vec3_f16> halves;
    std::vector<Tensor3_bf16_compressed> tensors(65536 / 18 + 1);
    for (uint32_t u = 0; u < 65536; u += 3) {
        uint16_t const w[3] = {static_cast<uint16_t>(u), static_cast<uint16_t>(std::min(u + 1, 65535u)),
                               static_cast<uint16_t>(std::min(u + 2, 65535u))};
        halves.push_back({bits_of<__half>(w[0]), bits_of<__half>(w[1]), bits_of<__half>(w[2])});
    }
    for (uint32_t u = 0; u < 65536; ++u) tensors[u / 18].t[u % 18] = bits_of<__nv_bfloat16>(static_cast<uint16_t>(u));
    for (auto const& h : halves) {
        Vec3 const f = Vec3::from_f16(h);
        for (int k = 0; k < 3; ++k) {
            double const want = HALF.value(hbits(comp(h, k)));
            ASSERT_TRUE(std::isnan(want) ? std::isnan(comp(f, k)) : comp(f, k) == want) << hbits(comp(h, k));
        }
    }
    for (auto const& t : tensors) {
        Tensor3_compressed const f = Tensor3_compressed::from_f16(t);
        for (int k = 0; k < 18; ++k) ASSERT_EQ(fbits(f.t[k]), static_cast<uint32_t>(bbits(t.t[k])) << 16);
    }
    // Half corners widen exactly into boxes too: diagonal of an exact box is exact.
    AABB box = Vec3{1.5f, -2.25f, 65504.0f}.get_aabb();
    EXPECT_EQ(Vec3::from_f16(box.min).z, 65504.0f);
    EXPECT_EQ(hbits(box.radius), 0u);
}

TEST(ValueTypes, BoxesMergeCornersAndWeightCentres) {
    AABB a = Vec3{1.0f, 2.0f, 3.0f}.get_aabb();
    AABB b = Vec3{-4.0f, 8.0f, 0.5f}.get_aabb();
    a.max = Vec3_f16::from_float({5.0f, 2.5f, 3.0f});
    AABB const m = AABB::merge(a, b, 1, 3);
    Vec3 const lo = Vec3::from_f16(m.min), hi = Vec3::from_f16(m.max);
    EXPECT_EQ(lo.x, -4.0f);
    EXPECT_EQ(lo.y, 2.0f);
    EXPECT_EQ(lo.z, 0.5f);
    EXPECT_EQ(hi.x, 5.0f);
    EXPECT_EQ(hi.y, 8.0f);
    EXPECT_EQ(hi.z, 3.0f);
    // (1·a + 3·b) / 4 with exactly representable operands.
    EXPECT_EQ(m.center.x, -2.75f);
    EXPECT_EQ(m.center.y, 6.5f);
    EXPECT_EQ(m.center.z, 1.125f);

    AABB const w = AABB::merge_weighted(a, b, 3.0f, 1.0f);
    EXPECT_EQ(w.center.x, -0.25f);
    EXPECT_EQ(w.center.y, 3.5f);
    EXPECT_EQ(Vec3::from_f16(w.min).x, -4.0f);
    // Both weights zero: the plain average, not a division by zero.
    AABB const z = AABB::merge_weighted(a, b, 0.0f, 0.0f);
    EXPECT_EQ(z.center.x, -1.5f);
    EXPECT_EQ(z.center.y, 5.0f);
    EXPECT_EQ(z.center.z, 1.75f);

    // A diagonal longer than 256 overflows the half squared length: infinite radius_sq.
    AABB big = a;
    big.min = Vec3_f16::from_float({0.0f, 0.0f, 0.0f});
    big.max = Vec3_f16::from_float({256.0f, 0.0f, 0.0f});
    EXPECT_TRUE(std::isinf(big.radius_sq()));
    big.max = Vec3_f16::from_float({255.0f, 0.0f, 0.0f});
    EXPECT_EQ(big.radius_sq(), 16256.0f);  // 255² = 65025 rounds to half 65024, times 0.25
}

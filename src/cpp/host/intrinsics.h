// Device intrinsics that CUDA declares only for device code, defined for the host compiler
// with CUDA's names and signatures: fast-math and correctly rounded float operations, bit
// manipulation, integer min/max, and the half/bfloat16 operations missing from the host
// side of cuda_fp16.h / cuda_bf16.h (the fused multiply-adds above all).
//
// Single-precision subnormals are flushed by the executor (MXCSR FTZ/DAZ) while kernels run,
// so these plain float expressions flush like the device does.
#pragma once

#include <cuda_bf16.h>
#include <cuda_fp16.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
// Device code calls the math library unqualified (isnan, fminf, ...): the C++ <math.h>
// brings the std overloads into the global namespace as CUDA's headers do.
#include <math.h>

namespace gyrant::host::detail {

//! a * b + c for operands that are half or bfloat16 values, rounded once to odd in double.
//! The product of two such values is exact in double; the sum's rounding error is recovered
//! exactly (TwoSum) and folded into the last bit, so a second rounding to a format of at most
//! 51 bits is the correctly rounded fma (round-to-odd never double-rounds at that margin).
inline double fma_round_to_odd(double a, double b, double c) {
    double const p = a * b;
    double const s = p + c;
    if (!std::isfinite(s)) return s;
    double const bv = s - p;
    double const err = (p - (s - bv)) + (c - bv);
    if (err == 0.0) return s;
    std::uint64_t bits = std::bit_cast<std::uint64_t>(s);
    if ((s > 0.0) != (err > 0.0)) bits -= 1;  // the exact value lies below |s|: truncate
    bits |= 1u;
    return std::bit_cast<double>(bits);
}

//! Rounds x to nearest even in a binary format with `precision` significant bits, smallest
//! normal exponent `min_exp` (with gradual underflow below it) and largest exponent `max_exp`.
//! The result is exactly representable in that format (or is +-inf / NaN).
inline double round_to_format(double x, int precision, int min_exp, int max_exp) {
    if (!std::isfinite(x) || x == 0.0) return x;
    int e = std::ilogb(x);
    if (e < min_exp) e = min_exp;
    double const quantum = std::ldexp(1.0, e - (precision - 1));
    double const r = std::nearbyint(x / quantum) * quantum;  // to-nearest-even mode is never changed
    if (std::fabs(r) >= std::ldexp(1.0, max_exp + 1)) return std::copysign(INFINITY, x);
    return r;
}

inline __half to_half(double x) {
    // Exact: the rounded value is a half, hence a float.
    return __float2half_rn(static_cast<float>(round_to_format(x, 11, -14, 15)));
}
inline __nv_bfloat16 to_bfloat16(double x) {
    return __float2bfloat16_rn(static_cast<float>(round_to_format(x, 8, -126, 127)));
}

inline double wide(__half h) { return static_cast<double>(__half2float(h)); }
inline double wide(__nv_bfloat16 h) { return static_cast<double>(__bfloat162float(h)); }

}  // namespace gyrant::host::detail

// ---- float: correctly rounded and fast-math operations -------------------------------------

inline float __fadd_rn(float a, float b) { return a + b; }
inline float __fsub_rn(float a, float b) { return a - b; }
inline float __fmul_rn(float a, float b) { return a * b; }
inline float __fdiv_rn(float a, float b) { return a / b; }
inline float __fmaf_rn(float a, float b, float c) { return std::fmaf(a, b, c); }
inline float __fsqrt_rn(float a) { return std::sqrt(a); }
inline float __frcp_rn(float a) { return 1.0f / a; }
// Computed in double: sqrt and the reciprocal each add < 2^-53 relative error, far below
// half a float ulp, so the final narrowing gives the correctly rounded value.
inline float __frsqrt_rn(float a) { return static_cast<float>(1.0 / std::sqrt(static_cast<double>(a))); }
inline float rsqrtf(float a) { return __frsqrt_rn(a); }
inline double rsqrt(double a) { return 1.0 / std::sqrt(a); }
inline float rcbrtf(float a) { return 1.0f / std::cbrt(a); }
inline float rhypotf(float a, float b) { return 1.0f / std::hypot(a, b); }
inline float norm3df(float a, float b, float c) {
    return static_cast<float>(std::sqrt(static_cast<double>(a) * a + static_cast<double>(b) * b +
                                        static_cast<double>(c) * c));
}
inline float rnorm3df(float a, float b, float c) { return 1.0f / norm3df(a, b, c); }

//! The device's fast division: x * (1/y), which yields 0 (NaN for infinite x) when
//! 2^126 < |y| < 2^128 because the reciprocal flushes to zero there.
inline float __fdividef(float x, float y) {
    float const ay = std::fabs(y);
    if (ay > 0x1p126f && ay < std::numeric_limits<float>::infinity()) return x * std::copysign(0.0f, y);
    return x / y;
}
//! The device computes e^x as 2^(x * log2(e)) with the product rounded to float first.
inline float __expf(float x) { return std::exp2(x * 1.44269504088896341f); }
inline float __exp10f(float x) { return std::exp2(x * 3.32192809488736235f); }
inline float __logf(float x) { return std::log(x); }
inline float __log2f(float x) { return std::log2(x); }
inline float __log10f(float x) { return std::log10(x); }
inline float __powf(float x, float y) { return std::exp2(y * std::log2(x)); }
inline float __sinf(float x) { return std::sin(x); }
inline float __cosf(float x) { return std::cos(x); }
inline float __tanf(float x) { return std::tan(x); }
inline void __sincosf(float x, float* s, float* c) {
    *s = std::sin(x);
    *c = std::cos(x);
}
//! Clamps to [0, 1]; NaN gives 0.
inline float __saturatef(float x) { return x >= 1.0f ? 1.0f : (x > 0.0f ? x : 0.0f); }

inline int __float2int_rn(float x) { return static_cast<int>(std::nearbyint(x)); }
inline int __float2int_rz(float x) { return static_cast<int>(x); }
inline unsigned __float2uint_rn(float x) { return static_cast<unsigned>(std::nearbyint(x)); }
inline unsigned __float2uint_rz(float x) { return static_cast<unsigned>(x); }
inline float __int2float_rn(int x) { return static_cast<float>(x); }
inline float __uint2float_rn(unsigned x) { return static_cast<float>(x); }
inline float __ull2float_rn(unsigned long long x) { return static_cast<float>(x); }
inline float __double2float_rn(double x) { return static_cast<float>(x); }

// ---- bit reinterpretation and manipulation ---------------------------------------------------

inline int __float_as_int(float x) { return std::bit_cast<int>(x); }
inline unsigned __float_as_uint(float x) { return std::bit_cast<unsigned>(x); }
inline float __int_as_float(int x) { return std::bit_cast<float>(x); }
inline float __uint_as_float(unsigned x) { return std::bit_cast<float>(x); }
inline long long __double_as_longlong(double x) { return std::bit_cast<long long>(x); }
inline double __longlong_as_double(long long x) { return std::bit_cast<double>(x); }

inline int __clz(int x) { return std::countl_zero(static_cast<unsigned>(x)); }
inline int __clzll(long long x) { return std::countl_zero(static_cast<unsigned long long>(x)); }
inline int __ffs(int x) { return x == 0 ? 0 : std::countr_zero(static_cast<unsigned>(x)) + 1; }
inline int __ffsll(long long x) {
    return x == 0 ? 0 : std::countr_zero(static_cast<unsigned long long>(x)) + 1;
}
inline int __popc(unsigned x) { return std::popcount(x); }
inline int __popcll(unsigned long long x) { return std::popcount(x); }
inline unsigned __brev(unsigned x) {
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0f0f0f0fu) | ((x & 0x0f0f0f0fu) << 4);
    return __builtin_bswap32(x);
}
inline unsigned long long __brevll(unsigned long long x) {
    return (static_cast<unsigned long long>(__brev(static_cast<unsigned>(x))) << 32) |
           __brev(static_cast<unsigned>(x >> 32));
}
inline unsigned __umulhi(unsigned a, unsigned b) {
    return static_cast<unsigned>((static_cast<unsigned long long>(a) * b) >> 32);
}
inline int __mulhi(int a, int b) { return static_cast<int>((static_cast<long long>(a) * b) >> 32); }
inline unsigned long long __umul64hi(unsigned long long a, unsigned long long b) {
    return static_cast<unsigned long long>((static_cast<unsigned __int128>(a) * b) >> 64);
}
inline int __mul24(int a, int b) {
    // Low 32 bits of the product of the sign-extended low 24 bits.
    long long const x = static_cast<long long>(static_cast<int>(static_cast<unsigned>(a) << 8) >> 8);
    long long const y = static_cast<long long>(static_cast<int>(static_cast<unsigned>(b) << 8) >> 8);
    return static_cast<int>(static_cast<unsigned long long>(x * y));
}
inline unsigned __umul24(unsigned a, unsigned b) { return (a & 0xffffffu) * (b & 0xffffffu); }

// ---- integer and mixed min/max, the device overload set ------------------------------------

inline int min(int a, int b) { return a < b ? a : b; }
inline unsigned min(unsigned a, unsigned b) { return a < b ? a : b; }
inline unsigned min(int a, unsigned b) { return min(static_cast<unsigned>(a), b); }
inline unsigned min(unsigned a, int b) { return min(a, static_cast<unsigned>(b)); }
inline long min(long a, long b) { return a < b ? a : b; }
inline unsigned long min(unsigned long a, unsigned long b) { return a < b ? a : b; }
inline unsigned long min(long a, unsigned long b) { return min(static_cast<unsigned long>(a), b); }
inline unsigned long min(unsigned long a, long b) { return min(a, static_cast<unsigned long>(b)); }
inline long long min(long long a, long long b) { return a < b ? a : b; }
inline unsigned long long min(unsigned long long a, unsigned long long b) { return a < b ? a : b; }
inline unsigned long long min(long long a, unsigned long long b) {
    return min(static_cast<unsigned long long>(a), b);
}
inline unsigned long long min(unsigned long long a, long long b) {
    return min(a, static_cast<unsigned long long>(b));
}
inline float min(float a, float b) { return std::fmin(a, b); }
inline double min(double a, double b) { return std::fmin(a, b); }
inline double min(float a, double b) { return std::fmin(static_cast<double>(a), b); }
inline double min(double a, float b) { return std::fmin(a, static_cast<double>(b)); }

inline int max(int a, int b) { return a > b ? a : b; }
inline unsigned max(unsigned a, unsigned b) { return a > b ? a : b; }
inline unsigned max(int a, unsigned b) { return max(static_cast<unsigned>(a), b); }
inline unsigned max(unsigned a, int b) { return max(a, static_cast<unsigned>(b)); }
inline long max(long a, long b) { return a > b ? a : b; }
inline unsigned long max(unsigned long a, unsigned long b) { return a > b ? a : b; }
inline unsigned long max(long a, unsigned long b) { return max(static_cast<unsigned long>(a), b); }
inline unsigned long max(unsigned long a, long b) { return max(a, static_cast<unsigned long>(b)); }
inline long long max(long long a, long long b) { return a > b ? a : b; }
inline unsigned long long max(unsigned long long a, unsigned long long b) { return a > b ? a : b; }
inline unsigned long long max(long long a, unsigned long long b) {
    return max(static_cast<unsigned long long>(a), b);
}
inline unsigned long long max(unsigned long long a, long long b) {
    return max(a, static_cast<unsigned long long>(b));
}
inline float max(float a, float b) { return std::fmax(a, b); }
inline double max(double a, double b) { return std::fmax(a, b); }
inline double max(float a, double b) { return std::fmax(static_cast<double>(a), b); }
inline double max(double a, float b) { return std::fmax(a, static_cast<double>(b)); }

inline unsigned umin(unsigned a, unsigned b) { return min(a, b); }
inline unsigned umax(unsigned a, unsigned b) { return max(a, b); }
inline long long llmin(long long a, long long b) { return min(a, b); }
inline long long llmax(long long a, long long b) { return max(a, b); }
inline unsigned long long ullmin(unsigned long long a, unsigned long long b) { return min(a, b); }
inline unsigned long long ullmax(unsigned long long a, unsigned long long b) { return max(a, b); }

// ---- half and bfloat16: the operations cuda_fp16.h / cuda_bf16.h leave to the device -------
// Every result is rounded once, to nearest even, like the device instructions.

inline __half __hfma(__half a, __half b, __half c) {
    using namespace gyrant::host::detail;
    return to_half(fma_round_to_odd(wide(a), wide(b), wide(c)));
}
inline __half __hfma_sat(__half a, __half b, __half c) {
    float const r = __half2float(__hfma(a, b, c));
    return __float2half_rn(__saturatef(r));
}
inline __half __hfma_relu(__half a, __half b, __half c) {
    __half const r = __hfma(a, b, c);
    if (__hisnan(r)) return __ushort_as_half(0x7fffu);  // canonical NaN
    return __half2float(r) < 0.0f ? __float2half_rn(0.0f) : r;
}
inline __half2 __hfma2(__half2 a, __half2 b, __half2 c) {
    return __halves2half2(__hfma(__low2half(a), __low2half(b), __low2half(c)),
                          __hfma(__high2half(a), __high2half(b), __high2half(c)));
}
inline __half2 __hfma2_sat(__half2 a, __half2 b, __half2 c) {
    return __halves2half2(__hfma_sat(__low2half(a), __low2half(b), __low2half(c)),
                          __hfma_sat(__high2half(a), __high2half(b), __high2half(c)));
}
inline __half2 __hfma2_relu(__half2 a, __half2 b, __half2 c) {
    return __halves2half2(__hfma_relu(__low2half(a), __low2half(b), __low2half(c)),
                          __hfma_relu(__high2half(a), __high2half(b), __high2half(c)));
}
inline __half hsqrt(__half a) { return gyrant::host::detail::to_half(std::sqrt(gyrant::host::detail::wide(a))); }
inline __half hrsqrt(__half a) {
    return gyrant::host::detail::to_half(1.0 / std::sqrt(gyrant::host::detail::wide(a)));
}
inline __half hrcp(__half a) { return gyrant::host::detail::to_half(1.0 / gyrant::host::detail::wide(a)); }
inline __half2 h2sqrt(__half2 a) { return __halves2half2(hsqrt(__low2half(a)), hsqrt(__high2half(a))); }
inline __half2 h2rsqrt(__half2 a) { return __halves2half2(hrsqrt(__low2half(a)), hrsqrt(__high2half(a))); }
inline __half2 h2rcp(__half2 a) { return __halves2half2(hrcp(__low2half(a)), hrcp(__high2half(a))); }

inline __nv_bfloat16 __hfma(__nv_bfloat16 a, __nv_bfloat16 b, __nv_bfloat16 c) {
    using namespace gyrant::host::detail;
    return to_bfloat16(fma_round_to_odd(wide(a), wide(b), wide(c)));
}
inline __nv_bfloat16 __hfma_relu(__nv_bfloat16 a, __nv_bfloat16 b, __nv_bfloat16 c) {
    __nv_bfloat16 const r = __hfma(a, b, c);
    if (__hisnan(r)) return __ushort_as_bfloat16(0x7fffu);  // canonical NaN
    return __bfloat162float(r) < 0.0f ? __float2bfloat16_rn(0.0f) : r;
}
inline __nv_bfloat162 __hfma2(__nv_bfloat162 a, __nv_bfloat162 b, __nv_bfloat162 c) {
    return __halves2bfloat162(__hfma(__low2bfloat16(a), __low2bfloat16(b), __low2bfloat16(c)),
                              __hfma(__high2bfloat16(a), __high2bfloat16(b), __high2bfloat16(c)));
}
inline __nv_bfloat162 __hfma2_relu(__nv_bfloat162 a, __nv_bfloat162 b, __nv_bfloat162 c) {
    return __halves2bfloat162(
        __hfma_relu(__low2bfloat16(a), __low2bfloat16(b), __low2bfloat16(c)),
        __hfma_relu(__high2bfloat16(a), __high2bfloat16(b), __high2bfloat16(c)));
}
inline __nv_bfloat16 hsqrt(__nv_bfloat16 a) {
    return gyrant::host::detail::to_bfloat16(std::sqrt(gyrant::host::detail::wide(a)));
}
inline __nv_bfloat16 hrsqrt(__nv_bfloat16 a) {
    return gyrant::host::detail::to_bfloat16(1.0 / std::sqrt(gyrant::host::detail::wide(a)));
}
inline __nv_bfloat16 hrcp(__nv_bfloat16 a) {
    return gyrant::host::detail::to_bfloat16(1.0 / gyrant::host::detail::wide(a));
}

// Flush-to-zero of single-precision subnormals for the calling OS thread, as the device does.
// Kernels run under it on the host, and so does the native CPU code that must agree with them.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace gyrant::host {

//! Sets flush-to-zero (and denormals-are-zero) for the calling OS thread; the previous mode is
//! restored when the guard goes out of scope.
class FlushToZero {
public:
#if defined(__x86_64__) || defined(__i386__)
    FlushToZero() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }  // FTZ | DAZ
    ~FlushToZero() { _mm_setcsr(saved_); }

private:
    unsigned saved_;
#elif defined(__aarch64__)
    FlushToZero() {
        __asm__ volatile("mrs %0, fpcr" : "=r"(saved_));
        std::uint64_t const fz = saved_ | (std::uint64_t{1} << 24);
        __asm__ volatile("msr fpcr, %0" : : "r"(fz));
    }
    ~FlushToZero() { __asm__ volatile("msr fpcr, %0" : : "r"(saved_)); }

private:
    std::uint64_t saved_ = 0;
#endif
    FlushToZero(FlushToZero const&) = delete;
    FlushToZero& operator=(FlushToZero const&) = delete;
};

}  // namespace gyrant::host

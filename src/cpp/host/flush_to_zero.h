// The floating-point control of an OS thread: flush-to-zero of single-precision subnormals as the
// device does (kernels run under it on the host, and so does the native CPU code that must agree
// with them), and the caller's own control carried into the threads of a team.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace gyrant::host {

//! A floating-point control word (MXCSR on x86, FPCR on aarch64; nothing elsewhere).
class FloatControl {
public:
    //! The calling OS thread's control.
    static FloatControl current() {
        FloatControl c;
#if defined(__x86_64__) || defined(__i386__)
        c.bits_ = _mm_getcsr();
#elif defined(__aarch64__)
        __asm__ volatile("mrs %0, fpcr" : "=r"(c.bits_));
#endif
        return c;
    }
    //! The same with single-precision subnormals flushed (results and inputs).
    FloatControl flushing() const {
        FloatControl c = *this;
#if defined(__x86_64__) || defined(__i386__)
        c.bits_ |= 0x8040u;  // FTZ | DAZ
#elif defined(__aarch64__)
        c.bits_ |= std::uint64_t{1} << 24;  // FZ
#endif
        return c;
    }
    //! Makes it the calling OS thread's control.
    void apply() const {
#if defined(__x86_64__) || defined(__i386__)
        _mm_setcsr(static_cast<unsigned>(bits_));
#elif defined(__aarch64__)
        __asm__ volatile("msr fpcr, %0" : : "r"(bits_));
#endif
    }

private:
    std::uint64_t bits_ = 0;
};

//! Applies a control to the calling OS thread for its lifetime, then restores the previous one.
class FloatControlScope {
public:
    explicit FloatControlScope(FloatControl const& c) : saved_(FloatControl::current()) { c.apply(); }
    ~FloatControlScope() { saved_.apply(); }
    FloatControlScope(FloatControlScope const&) = delete;
    FloatControlScope& operator=(FloatControlScope const&) = delete;

private:
    FloatControl saved_;
};

//! Flushes single-precision subnormals on the calling OS thread for its lifetime.
class FlushToZero : public FloatControlScope {
public:
    FlushToZero() : FloatControlScope(FloatControl::current().flushing()) {}
};

}  // namespace gyrant::host

// The host execution layer: lets CUDA kernel source compile with the host C++ compiler and
// run on the CPU. Included by platform.h (after the CUDA headers) in the host flavour only.
//
// Execution model: blocks run on the launching thread and a pool of OS threads; the threads of one block are fibers
// on one OS thread, switching at block barriers and warp collectives. Static __shared__
// variables therefore become `static thread_local` (one OS thread runs one block at a time);
// the built-in index variables are thread-locals that the scheduler sets at every switch.
#pragma once

#include <cuda_bf16.h>
#include <cuda_fp16.h>
#include <cuda_runtime.h>

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "host/executor.h"
#include "host/intrinsics.h"

// ---- CUDA language extensions ----------------------------------------------------------------

#undef __shared__
#define __shared__ static thread_local
#ifndef __launch_bounds__
#define __launch_bounds__(...)
#endif

//! Dynamic shared memory as a typed pointer `name`: one buffer per block, sized by the launch.
#define GYRANT_DYNAMIC_SHARED(T, name) \
    T* name = reinterpret_cast<T*>(::gyrant::host::detail::dynamic_shared_memory())

//! Ordinary launch through the host executor; the kernel's name goes into fault messages.
#define GYRANT_LAUNCH(kernel, grid, block, smem, stream, ...) \
    ::gyrant::host::launch(#kernel, kernel, grid, block, smem, stream __VA_OPT__(, ) __VA_ARGS__)

// Built-in variables of the running CUDA thread (constinit: no TLS wrapper calls).
extern thread_local constinit uint3 threadIdx;
extern thread_local constinit uint3 blockIdx;
extern thread_local constinit dim3 blockDim;
extern thread_local constinit dim3 gridDim;
inline constexpr int warpSize = 32;

namespace gyrant::host {

namespace detail {

template <class... Params>
std::tuple<Params...> convert_arguments(Params... params) {
    return std::tuple<Params...>(std::move(params)...);
}

//! Kernel plus its parameters, copied at the launch like CUDA copies them.
template <class... Params>
struct KernelClosure {
    void (*kernel)(Params...);
    std::tuple<Params...> params;

    static void run(void const* self) {
        auto const& c = *static_cast<KernelClosure const*>(self);
        std::apply(c.kernel, c.params);  // every thread gets its own copy of the parameters
    }
};

}  // namespace detail

//! Runs `kernel` over the grid; launch errors go to cudaGetLastError, as with <<< >>>.
template <class... Params, class... Args>
void launch(char const* name, void (*kernel)(Params...), dim3 grid, dim3 block, std::size_t smem,
            cudaStream_t stream, Args&&... args) {
    // Converted as a call would convert them, then owned by the launch.
    detail::KernelClosure<Params...> closure{
        kernel, detail::convert_arguments<Params...>(std::forward<Args>(args)...)};
    detail::execute({name, grid, block, smem, stream, &detail::KernelClosure<Params...>::run, &closure},
                    false);
}

}  // namespace gyrant::host

//! Cooperative launch of a typed kernel: preferred by overload resolution over CUDA's own
//! template (which would pass the kernel on as an untyped address). `args[i]` points to the
//! i-th parameter, as in CUDA.
template <class... Params>
cudaError_t cudaLaunchCooperativeKernel(void (*kernel)(Params...), dim3 grid, dim3 block, void** args,
                                        std::size_t smem = 0, cudaStream_t stream = 0) {
    char const* name = ::gyrant::host::detail::take_next_kernel_name();
    if (kernel == nullptr) return ::gyrant::host::detail::record_error(cudaErrorInvalidDeviceFunction);
    if constexpr (sizeof...(Params) > 0) {
        if (args == nullptr) return ::gyrant::host::detail::record_error(cudaErrorInvalidValue);
    }
    auto params = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return std::tuple<Params...>(*static_cast<std::remove_reference_t<Params>*>(args[I])...);
    }(std::index_sequence_for<Params...>{});
    ::gyrant::host::detail::KernelClosure<Params...> closure{kernel, std::move(params)};
    return ::gyrant::host::detail::execute(
        {name, grid, block, smem, stream, &::gyrant::host::detail::KernelClosure<Params...>::run, &closure},
        true);
}

// The C++ symbol and function overloads that cuda_runtime.h offers only to nvcc. A symbol is
// the variable itself here; copies outside it are refused like the device runtime does.
template <class T>
inline cudaError_t cudaMemcpyToSymbol(T const& symbol, void const* src, std::size_t count, std::size_t offset = 0,
                                      cudaMemcpyKind kind = cudaMemcpyHostToDevice) {
    if (offset > sizeof(T) || count > sizeof(T) - offset)
        return ::gyrant::host::detail::record_error(cudaErrorInvalidValue);
    return ::cudaMemcpyToSymbol(static_cast<void const*>(&symbol), src, count, offset, kind);
}
template <class T>
inline cudaError_t cudaMemcpyToSymbolAsync(T const& symbol, void const* src, std::size_t count,
                                           std::size_t offset = 0, cudaMemcpyKind kind = cudaMemcpyHostToDevice,
                                           cudaStream_t stream = 0) {
    if (offset > sizeof(T) || count > sizeof(T) - offset)
        return ::gyrant::host::detail::record_error(cudaErrorInvalidValue);
    return ::cudaMemcpyToSymbolAsync(static_cast<void const*>(&symbol), src, count, offset, kind, stream);
}
template <class T>
inline cudaError_t cudaMemcpyFromSymbol(void* dst, T const& symbol, std::size_t count, std::size_t offset = 0,
                                        cudaMemcpyKind kind = cudaMemcpyDeviceToHost) {
    if (offset > sizeof(T) || count > sizeof(T) - offset)
        return ::gyrant::host::detail::record_error(cudaErrorInvalidValue);
    return ::cudaMemcpyFromSymbol(dst, static_cast<void const*>(&symbol), count, offset, kind);
}
template <class T>
inline cudaError_t cudaMemcpyFromSymbolAsync(void* dst, T const& symbol, std::size_t count, std::size_t offset = 0,
                                             cudaMemcpyKind kind = cudaMemcpyDeviceToHost, cudaStream_t stream = 0) {
    if (offset > sizeof(T) || count > sizeof(T) - offset)
        return ::gyrant::host::detail::record_error(cudaErrorInvalidValue);
    return ::cudaMemcpyFromSymbolAsync(dst, static_cast<void const*>(&symbol), count, offset, kind, stream);
}
template <class T>
inline cudaError_t cudaGetSymbolAddress(void** ptr, T const& symbol) {
    return ::cudaGetSymbolAddress(ptr, static_cast<void const*>(&symbol));
}
template <class T>
inline cudaError_t cudaGetSymbolSize(std::size_t* size, T const&) {
    if (size == nullptr) return ::gyrant::host::detail::record_error(cudaErrorInvalidValue);
    *size = sizeof(T);
    return cudaSuccess;
}
template <class... Params>
inline cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, void (*kernel)(Params...)) {
    return ::cudaFuncGetAttributes(attr, reinterpret_cast<void const*>(kernel));
}

namespace gyrant {

//! Cooperative launch through cudaLaunchCooperativeKernel; returns its status.
template <class... Params, class... Args>
cudaError_t launch_cooperative(char const* name, void (*kernel)(Params...), dim3 grid, dim3 block,
                               std::size_t smem, cudaStream_t stream, Args&&... args) {
    auto typed = host::detail::convert_arguments<Params...>(std::forward<Args>(args)...);
    void* argv[sizeof...(Params) + 1] = {};
    std::apply([&](auto&... a) {
        int k = 0;
        ((argv[k++] = static_cast<void*>(&a)), ...);
    }, typed);
    host::detail::set_next_kernel_name(name);
    return cudaLaunchCooperativeKernel(kernel, grid, block, argv, smem, stream);
}

}  // namespace gyrant

// ---- barriers and warp collectives -----------------------------------------------------------

inline void __syncthreads() {
    ::gyrant::host::detail::block_barrier(::gyrant::host::detail::BarrierOp::Plain, 0);
}
inline int __syncthreads_count(int predicate) {
    return ::gyrant::host::detail::block_barrier(::gyrant::host::detail::BarrierOp::Count, predicate);
}
inline int __syncthreads_and(int predicate) {
    return ::gyrant::host::detail::block_barrier(::gyrant::host::detail::BarrierOp::And, predicate);
}
inline int __syncthreads_or(int predicate) {
    return ::gyrant::host::detail::block_barrier(::gyrant::host::detail::BarrierOp::Or, predicate);
}
inline void __syncwarp(unsigned mask = 0xffffffffu) {
    ::gyrant::host::detail::warp_collective(::gyrant::host::detail::WarpOp::Sync, mask, 0, 0, 32);
}
//! Lanes of the warp that have not exited (fibers have no notion of divergence).
inline unsigned __activemask() { return ::gyrant::host::detail::live_lanes(); }

namespace gyrant::host::detail {

template <class T>
inline constexpr bool kShuffleable = std::is_trivially_copyable_v<T> && sizeof(T) <= 8;

template <class T>
inline T shuffle(WarpOp op, unsigned mask, T var, std::uint32_t arg, int width) {
    static_assert(kShuffleable<T>, "shuffled values are trivially copyable and at most 8 bytes");
    std::uint64_t bits = 0;
    std::memcpy(&bits, &var, sizeof(T));
    bits = warp_collective(op, mask, bits, arg, width);
    std::array<unsigned char, sizeof(T)> raw;
    std::memcpy(raw.data(), &bits, sizeof(T));
    return std::bit_cast<T>(raw);
}

}  // namespace gyrant::host::detail

// CUDA's overloads for the arithmetic types, so integer promotion picks the same one.
#define GYRANT_HOST_SHUFFLES(T)                                                               \
    inline T __shfl_sync(unsigned mask, T var, int src_lane, int width = 32) {                \
        return ::gyrant::host::detail::shuffle(::gyrant::host::detail::WarpOp::ShflIdx, mask, \
                                               var, static_cast<std::uint32_t>(src_lane), width); \
    }                                                                                         \
    inline T __shfl_up_sync(unsigned mask, T var, unsigned delta, int width = 32) {           \
        return ::gyrant::host::detail::shuffle(::gyrant::host::detail::WarpOp::ShflUp, mask,  \
                                               var, delta, width);                            \
    }                                                                                         \
    inline T __shfl_down_sync(unsigned mask, T var, unsigned delta, int width = 32) {         \
        return ::gyrant::host::detail::shuffle(::gyrant::host::detail::WarpOp::ShflDown, mask, \
                                               var, delta, width);                            \
    }                                                                                         \
    inline T __shfl_xor_sync(unsigned mask, T var, int lane_mask, int width = 32) {           \
        return ::gyrant::host::detail::shuffle(::gyrant::host::detail::WarpOp::ShflXor, mask, \
                                               var, static_cast<std::uint32_t>(lane_mask), width); \
    }
GYRANT_HOST_SHUFFLES(int)
GYRANT_HOST_SHUFFLES(unsigned)
GYRANT_HOST_SHUFFLES(long)
GYRANT_HOST_SHUFFLES(unsigned long)
GYRANT_HOST_SHUFFLES(long long)
GYRANT_HOST_SHUFFLES(unsigned long long)
GYRANT_HOST_SHUFFLES(float)
GYRANT_HOST_SHUFFLES(double)
#undef GYRANT_HOST_SHUFFLES

// Any other small trivially copyable value (__half, __half2, __nv_bfloat16, small structs).
template <class T>
    requires(::gyrant::host::detail::kShuffleable<T> && !std::is_arithmetic_v<T>)
inline T __shfl_sync(unsigned mask, T var, int src_lane, int width = 32) {
    return ::gyrant::host::detail::shuffle(::gyrant::host::detail::WarpOp::ShflIdx, mask, var,
                                           static_cast<std::uint32_t>(src_lane), width);
}
template <class T>
    requires(::gyrant::host::detail::kShuffleable<T> && !std::is_arithmetic_v<T>)
inline T __shfl_up_sync(unsigned mask, T var, unsigned delta, int width = 32) {
    return ::gyrant::host::detail::shuffle(::gyrant::host::detail::WarpOp::ShflUp, mask, var, delta, width);
}
template <class T>
    requires(::gyrant::host::detail::kShuffleable<T> && !std::is_arithmetic_v<T>)
inline T __shfl_down_sync(unsigned mask, T var, unsigned delta, int width = 32) {
    return ::gyrant::host::detail::shuffle(::gyrant::host::detail::WarpOp::ShflDown, mask, var, delta, width);
}
template <class T>
    requires(::gyrant::host::detail::kShuffleable<T> && !std::is_arithmetic_v<T>)
inline T __shfl_xor_sync(unsigned mask, T var, int lane_mask, int width = 32) {
    return ::gyrant::host::detail::shuffle(::gyrant::host::detail::WarpOp::ShflXor, mask, var,
                                           static_cast<std::uint32_t>(lane_mask), width);
}

inline unsigned __ballot_sync(unsigned mask, int predicate) {
    return static_cast<unsigned>(::gyrant::host::detail::warp_collective(
        ::gyrant::host::detail::WarpOp::Ballot, mask, predicate != 0, 0, 32));
}
inline int __any_sync(unsigned mask, int predicate) {
    return static_cast<int>(::gyrant::host::detail::warp_collective(
        ::gyrant::host::detail::WarpOp::Any, mask, predicate != 0, 0, 32));
}
inline int __all_sync(unsigned mask, int predicate) {
    return static_cast<int>(::gyrant::host::detail::warp_collective(
        ::gyrant::host::detail::WarpOp::All, mask, predicate != 0, 0, 32));
}
inline unsigned __reduce_add_sync(unsigned mask, unsigned value) {
    return static_cast<unsigned>(::gyrant::host::detail::warp_collective(
        ::gyrant::host::detail::WarpOp::ReduceAddU, mask, value, 0, 32));
}
inline int __reduce_add_sync(unsigned mask, int value) {
    return static_cast<int>(__reduce_add_sync(mask, static_cast<unsigned>(value)));
}
inline unsigned __reduce_min_sync(unsigned mask, unsigned value) {
    return static_cast<unsigned>(::gyrant::host::detail::warp_collective(
        ::gyrant::host::detail::WarpOp::ReduceMinU, mask, value, 0, 32));
}
inline unsigned __reduce_max_sync(unsigned mask, unsigned value) {
    return static_cast<unsigned>(::gyrant::host::detail::warp_collective(
        ::gyrant::host::detail::WarpOp::ReduceMaxU, mask, value, 0, 32));
}
inline int __reduce_min_sync(unsigned mask, int value) {
    return static_cast<int>(::gyrant::host::detail::warp_collective(
        ::gyrant::host::detail::WarpOp::ReduceMinI, mask, static_cast<std::uint32_t>(value), 0, 32));
}
inline int __reduce_max_sync(unsigned mask, int value) {
    return static_cast<int>(::gyrant::host::detail::warp_collective(
        ::gyrant::host::detail::WarpOp::ReduceMaxI, mask, static_cast<std::uint32_t>(value), 0, 32));
}
inline unsigned __reduce_and_sync(unsigned mask, unsigned value) {
    return static_cast<unsigned>(::gyrant::host::detail::warp_collective(
        ::gyrant::host::detail::WarpOp::ReduceAnd, mask, value, 0, 32));
}
inline unsigned __reduce_or_sync(unsigned mask, unsigned value) {
    return static_cast<unsigned>(::gyrant::host::detail::warp_collective(
        ::gyrant::host::detail::WarpOp::ReduceOr, mask, value, 0, 32));
}
inline unsigned __reduce_xor_sync(unsigned mask, unsigned value) {
    return static_cast<unsigned>(::gyrant::host::detail::warp_collective(
        ::gyrant::host::detail::WarpOp::ReduceXor, mask, value, 0, 32));
}

// ---- atomics, fences and loads ---------------------------------------------------------------
// Blocks really run in parallel, so these are real sequentially consistent atomics.

namespace gyrant::host::detail {

template <class T, class F>
inline T atomic_update(T* address, F f) {
    std::atomic_ref<T> ref(*address);
    T old = ref.load();
    while (!ref.compare_exchange_weak(old, f(old))) {
    }
    return old;
}

}  // namespace gyrant::host::detail

#define GYRANT_HOST_ATOMIC_ADD(T)                                                 \
    inline T atomicAdd(T* address, T val) { return std::atomic_ref<T>(*address).fetch_add(val); } \
    inline T atomicSub(T* address, T val) { return std::atomic_ref<T>(*address).fetch_sub(val); }
GYRANT_HOST_ATOMIC_ADD(int)
GYRANT_HOST_ATOMIC_ADD(unsigned)
GYRANT_HOST_ATOMIC_ADD(unsigned long long)
#undef GYRANT_HOST_ATOMIC_ADD
inline float atomicAdd(float* address, float val) { return std::atomic_ref<float>(*address).fetch_add(val); }
inline double atomicAdd(double* address, double val) {
    return std::atomic_ref<double>(*address).fetch_add(val);
}

#define GYRANT_HOST_ATOMIC_INTEGER(T)                                                       \
    inline T atomicMax(T* address, T val) {                                                 \
        return ::gyrant::host::detail::atomic_update(address, [val](T old) { return old < val ? val : old; }); \
    }                                                                                       \
    inline T atomicMin(T* address, T val) {                                                 \
        return ::gyrant::host::detail::atomic_update(address, [val](T old) { return val < old ? val : old; }); \
    }                                                                                       \
    inline T atomicCAS(T* address, T compare, T val) {                                      \
        std::atomic_ref<T>(*address).compare_exchange_strong(compare, val);                 \
        return compare;                                                                     \
    }                                                                                       \
    inline T atomicExch(T* address, T val) { return std::atomic_ref<T>(*address).exchange(val); } \
    inline T atomicAnd(T* address, T val) { return std::atomic_ref<T>(*address).fetch_and(val); } \
    inline T atomicOr(T* address, T val) { return std::atomic_ref<T>(*address).fetch_or(val); }   \
    inline T atomicXor(T* address, T val) { return std::atomic_ref<T>(*address).fetch_xor(val); }
GYRANT_HOST_ATOMIC_INTEGER(int)
GYRANT_HOST_ATOMIC_INTEGER(unsigned)
GYRANT_HOST_ATOMIC_INTEGER(long long)
GYRANT_HOST_ATOMIC_INTEGER(unsigned long long)
#undef GYRANT_HOST_ATOMIC_INTEGER
inline unsigned short atomicCAS(unsigned short* address, unsigned short compare, unsigned short val) {
    std::atomic_ref<unsigned short>(*address).compare_exchange_strong(compare, val);
    return compare;
}
inline float atomicExch(float* address, float val) { return std::atomic_ref<float>(*address).exchange(val); }
//! ((old >= val) ? 0 : old + 1), as on the device.
inline unsigned atomicInc(unsigned* address, unsigned val) {
    return ::gyrant::host::detail::atomic_update(address,
                                                 [val](unsigned old) { return old >= val ? 0u : old + 1u; });
}
//! (((old == 0) || (old > val)) ? val : old - 1), as on the device.
inline unsigned atomicDec(unsigned* address, unsigned val) {
    return ::gyrant::host::detail::atomic_update(
        address, [val](unsigned old) { return (old == 0u || old > val) ? val : old - 1u; });
}

inline void __threadfence() { std::atomic_thread_fence(std::memory_order_seq_cst); }
inline void __threadfence_system() { std::atomic_thread_fence(std::memory_order_seq_cst); }
// A block's threads share one OS thread: ordering the compiler is all a block fence needs.
inline void __threadfence_block() { std::atomic_signal_fence(std::memory_order_seq_cst); }

//! Read-only load.
template <class T>
inline T __ldg(T const* p) {
    return *p;
}

namespace gyrant::host::detail {

// Cache-bypassing loads read data other blocks write concurrently; an acquire load keeps
// that well defined where the size allows a lock-free one.
template <class T>
inline T load_coherent(T const* p) {
    if constexpr (std::is_trivially_copyable_v<T> && (sizeof(T) == 4 || sizeof(T) == 8)) {
        T out;
        __atomic_load(const_cast<T*>(p), &out, __ATOMIC_ACQUIRE);
        return out;
    } else {
        return *p;
    }
}
template <class T>
inline void store_coherent(T* p, T value) {
    if constexpr (std::is_trivially_copyable_v<T> && (sizeof(T) == 4 || sizeof(T) == 8)) {
        __atomic_store(p, &value, __ATOMIC_RELEASE);
    } else {
        *p = value;
    }
}

}  // namespace gyrant::host::detail

template <class T>
inline T __ldcg(T const* p) {
    return ::gyrant::host::detail::load_coherent(p);
}
template <class T>
inline T __ldcv(T const* p) {
    return ::gyrant::host::detail::load_coherent(p);
}
template <class T>
inline T __ldca(T const* p) {
    return ::gyrant::host::detail::load_coherent(p);
}
template <class T>
inline T __ldcs(T const* p) {
    return ::gyrant::host::detail::load_coherent(p);
}
template <class T>
inline T __ldlu(T const* p) {
    return ::gyrant::host::detail::load_coherent(p);
}
template <class T>
inline void __stcg(T* p, T value) {
    ::gyrant::host::detail::store_coherent(p, value);
}
template <class T>
inline void __stwt(T* p, T value) {
    ::gyrant::host::detail::store_coherent(p, value);
}
template <class T>
inline void __stcs(T* p, T value) {
    ::gyrant::host::detail::store_coherent(p, value);
}

[[noreturn]] inline void __trap() { ::gyrant::host::detail::device_fault("__trap() was called"); }

// ---- cooperative groups ------------------------------------------------------------------------

namespace cooperative_groups {

class thread_block {
public:
    void sync() const { __syncthreads(); }
    unsigned thread_rank() const {
        return threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    }
    unsigned size() const { return blockDim.x * blockDim.y * blockDim.z; }
    unsigned num_threads() const { return size(); }
    dim3 group_index() const { return blockIdx; }
    dim3 thread_index() const { return threadIdx; }
    dim3 group_dim() const { return blockDim; }
    dim3 dim_threads() const { return blockDim; }
};

class grid_group {
public:
    //! Grid barrier; only valid in a cooperative launch (the executor aborts otherwise).
    void sync() const { ::gyrant::host::detail::grid_barrier(); }
    bool is_valid() const { return ::gyrant::host::detail::in_cooperative_launch(); }
    unsigned long long thread_rank() const {
        unsigned long long const block =
            blockIdx.x + static_cast<unsigned long long>(gridDim.x) * (blockIdx.y + gridDim.y * blockIdx.z);
        return block * num_threads_per_block() + thread_block().thread_rank();
    }
    unsigned long long num_threads() const {
        return static_cast<unsigned long long>(gridDim.x) * gridDim.y * gridDim.z * num_threads_per_block();
    }
    unsigned long long size() const { return num_threads(); }
    unsigned long long block_rank() const {
        return blockIdx.x + static_cast<unsigned long long>(gridDim.x) * (blockIdx.y + gridDim.y * blockIdx.z);
    }
    unsigned long long num_blocks() const {
        return static_cast<unsigned long long>(gridDim.x) * gridDim.y * gridDim.z;
    }
    dim3 group_dim() const { return gridDim; }
    dim3 dim_blocks() const { return gridDim; }
    dim3 block_index() const { return blockIdx; }

private:
    static unsigned long long num_threads_per_block() {
        return static_cast<unsigned long long>(blockDim.x) * blockDim.y * blockDim.z;
    }
};

inline thread_block this_thread_block() { return {}; }
inline grid_group this_grid() { return {}; }
inline void sync(thread_block const& g) { g.sync(); }
inline void sync(grid_group const& g) { g.sync(); }

}  // namespace cooperative_groups

// One text for host and device: every kernel, value type and engine file includes this
// header first. Under nvcc it maps onto CUDA itself; in the host flavour it pulls in the host
// execution layer, which provides the same names on the CPU.
#pragma once

#include <cuda_runtime.h>
#include <cuda_fp16.h>
#include <cuda_bf16.h>

#include <cstdint>
#include <tuple>
#include <utility>

#if defined(GYRANT_WITH_CUDA)

// cuda flavour. Files compiled by the host compiler (binding, C++ tests) see the same types;
// the CUDA annotations expand to nothing for them.
#define GYRANT_FLAVOUR_CUDA 1
#define GYRANT_HOST_DEVICE __host__ __device__
#define GYRANT_DEVICE __device__ inline
#if defined(__CUDACC__)
#define GYRANT_UNROLL _Pragma("unroll")
#else
#define GYRANT_UNROLL
#endif

#if defined(__CUDACC__)
#include <cooperative_groups.h>

// Ordinary launch: the triple-chevron syntax under nvcc, the host executor otherwise.
#define GYRANT_LAUNCH(kernel, grid, block, smem, stream, ...) \
    kernel<<<(grid), (block), (smem), (stream)>>>(__VA_ARGS__)

// Dynamic shared memory as a typed pointer named `name`.
#define GYRANT_DYNAMIC_SHARED(T, name)                                        \
    extern __shared__ __align__(16) unsigned char gyrant_dynamic_shared_[]; \
    T* name = reinterpret_cast<T*>(gyrant_dynamic_shared_)

#else
// Host-compiled files of the cuda flavour (binding, C++ tests) may call the shared value types;
// nvcc declares this one for its own host pass, the host compiler does not.
#include <cmath>
inline float rsqrtf(float x) { return 1.0f / std::sqrt(x); }
#endif  // __CUDACC__

namespace gyrant {
inline constexpr char const* kFlavour = "cuda";

#if defined(__CUDACC__)
//! Cooperative launch through cudaLaunchCooperativeKernel; returns its status.
template <class... Params, class... Args>
cudaError_t launch_cooperative(char const*, void (*kernel)(Params...), dim3 grid, dim3 block,
                               size_t smem, cudaStream_t stream, Args&&... args) {
    static_assert(sizeof...(Params) == sizeof...(Args), "argument count mismatch");
    auto typed = std::tuple<Params...>(std::forward<Args>(args)...);
    void* argv[sizeof...(Params) + 1] = {};
    std::apply([&](auto&... a) {
        int k = 0;
        ((argv[k++] = static_cast<void*>(&a)), ...);
    }, typed);
    return cudaLaunchCooperativeKernel(reinterpret_cast<void const*>(kernel), grid, block, argv,
                                       smem, stream);
}
#endif  // __CUDACC__
}  // namespace gyrant

#else  // host flavour

#define GYRANT_FLAVOUR_HOST 1
#define GYRANT_HOST_DEVICE
#define GYRANT_DEVICE inline
#define GYRANT_UNROLL

#include "host/device.h"

namespace gyrant {
inline constexpr char const* kFlavour = "host";
}

#endif

#define GYRANT_LAUNCH_COOPERATIVE(kernel, grid, block, smem, stream, ...) \
    ::gyrant::launch_cooperative(#kernel, kernel, grid, block, smem, stream, __VA_ARGS__)

namespace gyrant {
inline constexpr unsigned FULL_MASK = 0xffffffffu;
}

// CUDA error reporting and the small memory utilities shared by the engine and the binding.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdio>
#include <source_location>

namespace gyrant_cuda {

//! Writes the one-line report for a failed CUDA runtime call; execution goes on.
inline void report_cuda_error(cudaError_t status, char const* file, int line) {
    std::fprintf(stderr, "CUDA Runtime Error: %s:%i:%d = %s\n", file, line,
                 static_cast<int>(status), cudaGetErrorString(status));
}

//! Device of a device pointer (the `device` field of its pointer attributes).
int get_cuda_device_from_ndarray(void const* ptr);
//! Synchronous allocation on the current device; null when the allocation failed.
void* cuda_allocate(unsigned long bytes);
void cuda_free(void* p);
void cuda_free_async(void* p, cudaStream_t stream);
//! Stream-ordered allocation of `bytes` on `stream`. Null for 0 bytes (nothing is allocated). A
//! failure writes the report line with the caller's file and line, clears the runtime's last
//! error (it is reported here, not again by a later launch check) and throws std::bad_alloc when
//! memory ran out, std::runtime_error naming the CUDA error otherwise (e.g. an invalid stream).
void* cuda_allocate_async(size_t bytes, cudaStream_t stream,
                          std::source_location where = std::source_location::current());
//! Sets n floats to `value` on the legacy default stream and waits for the fill.
void thrust_fill_float(float* p, unsigned long n, float value);

}  // namespace gyrant_cuda

// Every CUDA runtime status is tested; a failure prints one line and the caller continues.
#define CUDA_CHECK(call)                                                          \
    do {                                                                          \
        cudaError_t gyrant_status_ = (call);                                      \
        if (gyrant_status_ != cudaSuccess)                                        \
            ::gyrant_cuda::report_cuda_error(gyrant_status_, __FILE__, __LINE__); \
    } while (0)

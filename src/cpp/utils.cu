// The small CUDA memory utilities of namespace gyrant_cuda.
#include "platform.h"

#include "device_algorithms.h"
#include "utils.h"

#include <thrust/device_ptr.h>
#include <thrust/fill.h>

#include <new>
#include <stdexcept>
#include <string>

namespace gyrant_cuda {

int get_cuda_device_from_ndarray(void const* ptr) {
    cudaPointerAttributes attributes{};
    cudaError_t const status = cudaPointerGetAttributes(&attributes, ptr);
    CUDA_CHECK(status);
    // -1 is no device ordinal, so a failed query never passes for device 0.
    return status == cudaSuccess ? attributes.device : -1;
}

void* cuda_allocate(unsigned long bytes) {
    void* p = nullptr;
    CUDA_CHECK(cudaMalloc(&p, bytes));
    return p;
}

void cuda_free(void* p) {
    if (p == nullptr) return;
    CUDA_CHECK(cudaFree(p));
}

void cuda_free_async(void* p, cudaStream_t stream) {
    if (p == nullptr) return;
    CUDA_CHECK(cudaFreeAsync(p, stream));
}

void* cuda_allocate_async(size_t bytes, cudaStream_t stream, std::source_location where) {
    if (bytes == 0) return nullptr;
    void* p = nullptr;
    cudaError_t const status = cudaMallocAsync(&p, bytes, stream);
    if (status != cudaSuccess) {
        report_cuda_error(status, where.file_name(), static_cast<int>(where.line()));
        (void)cudaGetLastError();
        if (status == cudaErrorMemoryAllocation) throw std::bad_alloc();
        // Not a shortage of memory (a stream handle that names no stream, for instance): say so.
        throw std::runtime_error(std::string("CUDA error: ") + cudaGetErrorString(status) +
                                 " (a stream-ordered allocation on the given stream failed)");
    }
    return p;
}

void thrust_fill_float(float* p, unsigned long n, float value) {
    // The policy's algorithms wait for their stream, so the fill is complete on return.
    auto const first = thrust::device_pointer_cast(p);
    thrust::fill(gyrant::make_policy(nullptr), first, first + n, value);
}

}  // namespace gyrant_cuda

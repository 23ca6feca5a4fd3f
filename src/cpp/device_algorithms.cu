// The stable key-value sort behind gyrant::radix_sort_pairs.
#include "device_algorithms.h"

#include <new>

#include <thrust/system/cuda/error.h>

#if defined(GYRANT_FLAVOUR_CUDA)
#include <cub/device/device_radix_sort.cuh>
#else
#include "cpu/native.h"
#endif

namespace gyrant {
namespace {

void throw_on_error(cudaError_t status, char const* what) {
    if (status != cudaSuccess) throw thrust::system_error(status, thrust::cuda_category(), what);
}

//! Stream-ordered temporary buffers, released on every way out.
class Temporaries {
public:
    explicit Temporaries(cudaStream_t stream) : stream_(stream) {}
    Temporaries(Temporaries const&) = delete;
    Temporaries& operator=(Temporaries const&) = delete;
    ~Temporaries() {
        for (void* p : buffers_)
            if (p != nullptr) cudaFreeAsync(p, stream_);
    }

    template <class T>
    T* allocate(std::size_t bytes) {
        void* p = nullptr;
        cudaError_t const status = cudaMallocAsync(&p, bytes, stream_);
        if (status == cudaErrorMemoryAllocation) {
            cudaGetLastError();  // reported by the exception instead
            throw std::bad_alloc();
        }
        throw_on_error(status, "radix_sort_pairs: temporary allocation");
        buffers_[count_++] = p;
        return static_cast<T*>(p);
    }

private:
    cudaStream_t stream_;
    void* buffers_[3] = {};
    int count_ = 0;
};

}  // namespace

void radix_sort_pairs(std::uint64_t* keys, std::uint32_t* values, std::size_t n, cudaStream_t stream) {
#if defined(GYRANT_FLAVOUR_CUDA)
    if (n > 1) {
        Temporaries temporaries(stream);
        auto* key_buffer = temporaries.allocate<std::uint64_t>(n * sizeof(std::uint64_t));
        auto* value_buffer = temporaries.allocate<std::uint32_t>(n * sizeof(std::uint32_t));
        cub::DoubleBuffer<std::uint64_t> k(keys, key_buffer);
        cub::DoubleBuffer<std::uint32_t> v(values, value_buffer);
        std::size_t scratch_bytes = 0;
        throw_on_error(cub::DeviceRadixSort::SortPairs(nullptr, scratch_bytes, k, v, n, 0, 64, stream),
                       "radix_sort_pairs: sizing");
        void* scratch = temporaries.allocate<void>(scratch_bytes > 0 ? scratch_bytes : 1);
        throw_on_error(cub::DeviceRadixSort::SortPairs(scratch, scratch_bytes, k, v, n, 0, 64, stream),
                       "radix_sort_pairs: sort");
        if (k.Current() != keys)
            throw_on_error(cudaMemcpyAsync(keys, k.Current(), n * sizeof(std::uint64_t), cudaMemcpyDeviceToDevice,
                                           stream),
                           "radix_sort_pairs: copy back");
        if (v.Current() != values)
            throw_on_error(cudaMemcpyAsync(values, v.Current(), n * sizeof(std::uint32_t),
                                           cudaMemcpyDeviceToDevice, stream),
                           "radix_sort_pairs: copy back");
    }
    throw_on_error(cudaStreamSynchronize(stream), "radix_sort_pairs: synchronize");
#else
    // The stream's earlier work must be done before the keys are read. The native sort runs on
    // device temporaries like the device sort, so an allocation fails the same way, before any
    // key moves.
    throw_on_error(cudaStreamSynchronize(stream), "radix_sort_pairs: synchronize");
    if (n < 2) return;
    Temporaries temporaries(stream);
    auto* key_buffer = temporaries.allocate<std::uint64_t>(n * sizeof(std::uint64_t));
    auto* value_buffer = temporaries.allocate<std::uint32_t>(n * sizeof(std::uint32_t));
    cpu::radix_sort_pairs(keys, values, n, key_buffer, value_buffer);
#endif
}

}  // namespace gyrant

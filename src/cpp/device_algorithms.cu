// The stable key-value sort behind gyrant::radix_sort_pairs.
#include "device_algorithms.h"

#include <new>

#include <thrust/system/cuda/error.h>

#if defined(GYRANT_FLAVOUR_CUDA)
#include <cub/device/device_radix_sort.cuh>
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
    // Least-significant-digit radix sort with 8-bit digits: each pass is a stable counting
    // sort, and passes where every key has the same digit are skipped.
    throw_on_error(cudaStreamSynchronize(stream), "radix_sort_pairs: synchronize");
    if (n < 2) return;
    constexpr int kDigitBits = 8;
    constexpr int kPasses = 64 / kDigitBits;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
    Temporaries temporaries(stream);
    auto* key_buffer = temporaries.allocate<std::uint64_t>(n * sizeof(std::uint64_t));
    auto* value_buffer = temporaries.allocate<std::uint32_t>(n * sizeof(std::uint32_t));

    static thread_local std::size_t counts[kPasses][kBuckets];
    for (auto& pass : counts)
        for (auto& c : pass) c = 0;
    for (std::size_t i = 0; i < n; ++i)
        for (int p = 0; p < kPasses; ++p) ++counts[p][(keys[i] >> (p * kDigitBits)) & (kBuckets - 1)];

    std::uint64_t* src_keys = keys;
    std::uint32_t* src_values = values;
    std::uint64_t* dst_keys = key_buffer;
    std::uint32_t* dst_values = value_buffer;
    for (int p = 0; p < kPasses; ++p) {
        int const shift = p * kDigitBits;
        std::size_t* c = counts[p];
        if (c[(src_keys[0] >> shift) & (kBuckets - 1)] == n) continue;  // one digit value only
        std::size_t offset = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            std::size_t const count = c[b];
            c[b] = offset;
            offset += count;
        }
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t const slot = c[(src_keys[i] >> shift) & (kBuckets - 1)]++;
            dst_keys[slot] = src_keys[i];
            dst_values[slot] = src_values[i];
        }
        std::swap(src_keys, dst_keys);
        std::swap(src_values, dst_values);
    }
    if (src_keys != keys) {
        throw_on_error(cudaMemcpyAsync(keys, src_keys, n * sizeof(std::uint64_t), cudaMemcpyDeviceToDevice, stream),
                       "radix_sort_pairs: copy back");
        throw_on_error(cudaMemcpyAsync(values, src_values, n * sizeof(std::uint32_t), cudaMemcpyDeviceToDevice,
                                       stream),
                       "radix_sort_pairs: copy back");
    }
#endif
}

}  // namespace gyrant

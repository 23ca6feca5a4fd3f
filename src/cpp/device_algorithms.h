// Library pieces that CCCL provides only for the device, behind one contract for both
// flavours: the cuda flavour uses thrust's CUDA policy and CUB, the host flavour thrust's
// host backend and small CPU or fiber implementations with the same results.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include <thrust/execution_policy.h>
#include <thrust/system_error.h>
#if defined(GYRANT_FLAVOUR_CUDA)
#include <thrust/system/cuda/execution_policy.h>
#endif
#if defined(__CUDACC__)
#include <cub/block/block_scan.cuh>
#include <thrust/reduce.h>
#endif

namespace gyrant {

#if defined(GYRANT_FLAVOUR_CUDA)
//! thrust execution policy bound to a stream; its algorithms synchronise the stream.
using StreamPolicy = thrust::cuda_cub::execute_on_stream;
inline StreamPolicy make_policy(cudaStream_t stream) { return thrust::cuda::par.on(stream); }
#else
//! thrust's host backend: work runs on the calling thread, in order, like the executor's.
using StreamPolicy = std::remove_cv_t<decltype(thrust::host)>;
inline StreamPolicy make_policy(cudaStream_t) { return thrust::host; }
#endif

//! Sorts n (key, value) pairs ascending by the full 64-bit key, in place. Stable: pairs with
//! equal keys keep their order. Work is ordered on `stream` and the call returns when the
//! sort is done. Throws std::bad_alloc when temporary device memory cannot be allocated and
//! thrust::system::system_error for any other CUDA failure.
void radix_sort_pairs(std::uint64_t* keys, std::uint32_t* values, std::size_t n, cudaStream_t stream);

#if defined(__CUDACC__) || defined(GYRANT_FLAVOUR_HOST)
//! Reduces first[0 .. n) with `op`, starting from `init`, after the work already on `stream`;
//! returns the value (blocking). `op` must be associative: the device order is a tree.
template <class It, class T, class Op>
T device_reduce(It first, std::size_t n, T init, Op op, cudaStream_t stream) {
#if defined(GYRANT_FLAVOUR_CUDA)
    return thrust::reduce(thrust::cuda::par.on(stream), first, first + n, init, op);
#else
    (void)stream;  // the stream's earlier work has already run
    T acc = init;
    for (std::size_t i = 0; i < n; ++i, ++first) acc = op(acc, *first);
    return acc;
#endif
}
#endif

#if defined(__CUDACC__)
//! Exclusive prefix sum over the 256 threads of a block (CUB's BlockScan). The temporary
//! storage may be reused only after a __syncthreads().
class BlockExclusiveSum256 {
    using Scan = cub::BlockScan<unsigned, 256>;

public:
    using TempStorage = Scan::TempStorage;
    __device__ explicit BlockExclusiveSum256(TempStorage& storage) : scan_(storage) {}
    //! `output` = sum of the inputs of lower-ranked threads; `block_total` = sum of all.
    __device__ void ExclusiveSum(unsigned input, unsigned& output, unsigned& block_total) {
        scan_.ExclusiveSum(input, output, block_total);
    }

private:
    Scan scan_;
};
#elif defined(GYRANT_FLAVOUR_HOST)
//! Exclusive prefix sum over the 256 threads of a block: warp scans by shuffles, then the
//! warp totals through shared memory and one barrier. The temporary storage may be reused
//! only after a __syncthreads(), as with CUB.
class BlockExclusiveSum256 {
public:
    static constexpr unsigned kThreads = 256;
    static constexpr unsigned kWarps = kThreads / 32;
    struct TempStorage {
        unsigned warp_totals[kWarps];
    };

    explicit BlockExclusiveSum256(TempStorage& storage) : storage_(storage) {}

    //! `output` = sum of the inputs of lower-ranked threads; `block_total` = sum of all.
    void ExclusiveSum(unsigned input, unsigned& output, unsigned& block_total) {
        if (blockDim.x * blockDim.y * blockDim.z != kThreads)
            host::detail::device_fault("BlockExclusiveSum256 needs a block of exactly 256 threads");
        unsigned const rank = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
        unsigned const lane = rank % 32;
        unsigned const warp = rank / 32;
        unsigned inclusive = input;
        for (unsigned d = 1; d < 32; d <<= 1) {
            unsigned const below = __shfl_up_sync(FULL_MASK, inclusive, d);
            if (lane >= d) inclusive += below;
        }
        if (lane == 31) storage_.warp_totals[warp] = inclusive;
        __syncthreads();
        unsigned prefix = 0;
        unsigned total = 0;
        for (unsigned w = 0; w < kWarps; ++w) {
            if (w < warp) prefix += storage_.warp_totals[w];
            total += storage_.warp_totals[w];
        }
        output = prefix + inclusive - input;
        block_total = total;
    }

private:
    TempStorage& storage_;
};
#endif

}  // namespace gyrant

// The kernel zoo: small kernels with known answers that exercise every device facility the
// engine relies on (warp collectives, barriers, shared memory, atomics, fences, grid
// barriers, reduced-precision fma, flush-to-zero), the device algorithm wrappers and the
// runtime subset. Written against the CUDA API only, so the same file runs on a GPU.
#include "platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <thrust/functional.h>
#include <thrust/iterator/transform_iterator.h>

#include "device_algorithms.h"

namespace {

using gyrant::FULL_MASK;

//! Owns a device array for the duration of a test.
template <class T>
class DeviceArray {
public:
    explicit DeviceArray(std::size_t n) : n_(n) {
        EXPECT_EQ(cudaMalloc(reinterpret_cast<void**>(&p_), std::max<std::size_t>(n, 1) * sizeof(T)), cudaSuccess);
    }
    explicit DeviceArray(std::vector<T> const& host) : DeviceArray(host.size()) { upload(host); }
    DeviceArray(DeviceArray const&) = delete;
    DeviceArray& operator=(DeviceArray const&) = delete;
    ~DeviceArray() { cudaFree(p_); }

    void upload(std::vector<T> const& host) {
        ASSERT_EQ(host.size(), n_);
        ASSERT_EQ(cudaMemcpy(p_, host.data(), n_ * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    }
    std::vector<T> download() const {
        std::vector<T> host(n_);
        EXPECT_EQ(cudaMemcpy(host.data(), p_, n_ * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
        return host;
    }
    void fill_zero() { ASSERT_EQ(cudaMemset(p_, 0, n_ * sizeof(T)), cudaSuccess); }
    T* get() const { return p_; }
    std::size_t size() const { return n_; }

private:
    T* p_ = nullptr;
    std::size_t n_;
};

#if defined(GYRANT_FLAVOUR_HOST)
//! Runs the test body with several OS worker threads, so blocks really run concurrently.
class ScopedWorkers {
public:
    explicit ScopedWorkers(int n) : saved_(gyrant::host::worker_threads()) { gyrant::host::set_worker_threads(n); }
    ~ScopedWorkers() { gyrant::host::set_worker_threads(saved_); }

private:
    int saved_;
};
#define GYRANT_TEST_WORKERS(n) ScopedWorkers workers_scope_(n)
#else
#define GYRANT_TEST_WORKERS(n)
#endif

void check_launch() {
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

// ---- warp collectives --------------------------------------------------------------------------

constexpr int kShuffleColumns = 10;

__global__ void warp_shuffle_kernel(int* out, double* out_double, unsigned long long* out_wide, float* out_half) {
    unsigned const t = threadIdx.x;
    unsigned const lane = t % 32;
    int const v = static_cast<int>(lane * 10 + (t / 32) * 1000);
    int* row = out + t * kShuffleColumns;
    row[0] = __shfl_sync(FULL_MASK, v, 5);
    row[1] = __shfl_sync(FULL_MASK, v, 3, 8);
    row[2] = __shfl_sync(FULL_MASK, v, static_cast<int>(lane) + 33);  // wraps within the warp
    int sum = v;
    for (int d = 16; d > 0; d /= 2) sum += __shfl_xor_sync(FULL_MASK, sum, d);
    row[3] = sum;
    row[4] = __shfl_down_sync(FULL_MASK, v, 3);
    row[5] = __shfl_up_sync(FULL_MASK, v, 3);
    row[6] = __shfl_up_sync(FULL_MASK, v, 3, 16);
    row[7] = __shfl_down_sync(FULL_MASK, v, 3, 16);
    row[8] = __shfl_xor_sync(FULL_MASK, v, 16, 16);  // only earlier segments can be read
    row[9] = __shfl_sync(FULL_MASK, v, static_cast<int>(lane ^ 7u));
    out_double[t] = __shfl_xor_sync(FULL_MASK, lane + 0.5, 1);
    out_wide[t] = __shfl_down_sync(FULL_MASK, (1ull << 40) | lane, 1);
    out_half[t] = __half2float(__shfl_up_sync(FULL_MASK, __float2half(static_cast<float>(lane)), 1));
}

TEST(HostLayerWarp, ShufflesBroadcastButterflyAndShift) {
    constexpr unsigned kThreads = 64;
    DeviceArray<int> out(kThreads * kShuffleColumns);
    DeviceArray<double> out_double(kThreads);
    DeviceArray<unsigned long long> out_wide(kThreads);
    DeviceArray<float> out_half(kThreads);
    GYRANT_LAUNCH(warp_shuffle_kernel, 1, kThreads, 0, 0, out.get(), out_double.get(), out_wide.get(),
                  out_half.get());
    check_launch();
    auto const got = out.download();
    auto const doubles = out_double.download();
    auto const wide = out_wide.download();
    auto const halves = out_half.download();
    for (unsigned t = 0; t < kThreads; ++t) {
        unsigned const lane = t % 32;
        int const base = static_cast<int>((t / 32) * 1000);
        auto value = [&](unsigned l) { return static_cast<int>(l * 10) + base; };
        int const* row = &got[t * kShuffleColumns];
        SCOPED_TRACE("thread " + std::to_string(t));
        EXPECT_EQ(row[0], value(5));
        EXPECT_EQ(row[1], value((lane & ~7u) + 3));
        EXPECT_EQ(row[2], value((lane + 1) % 32));
        EXPECT_EQ(row[3], 32 * base + 10 * (31 * 32 / 2));
        EXPECT_EQ(row[4], lane + 3 < 32 ? value(lane + 3) : value(lane));     // no source: own value
        EXPECT_EQ(row[5], lane >= 3 ? value(lane - 3) : value(lane));
        EXPECT_EQ(row[6], lane % 16 >= 3 ? value(lane - 3) : value(lane));     // segments of 16
        EXPECT_EQ(row[7], lane % 16 + 3 < 16 ? value(lane + 3) : value(lane));
        EXPECT_EQ(row[8], lane >= 16 ? value(lane - 16) : value(lane));
        EXPECT_EQ(row[9], value(lane ^ 7u));
        EXPECT_EQ(doubles[t], (lane ^ 1u) + 0.5);
        EXPECT_EQ(wide[t], (1ull << 40) | (lane < 31 ? lane + 1 : lane));
        EXPECT_EQ(halves[t], lane == 0 ? 0.0f : static_cast<float>(lane - 1));
    }
}

constexpr int kVoteColumns = 10;

__global__ void warp_vote_kernel(unsigned* out) {
    unsigned const lane = threadIdx.x % 32;
    // Each block writes its own rows: blocks run concurrently, on the device as here.
    unsigned* row = out + (blockIdx.x * blockDim.x + threadIdx.x) * kVoteColumns;
    row[0] = __ballot_sync(FULL_MASK, lane % 3 == 0);
    row[1] = static_cast<unsigned>(__any_sync(FULL_MASK, lane == 17));
    row[2] = static_cast<unsigned>(__any_sync(FULL_MASK, lane == 99));
    row[3] = static_cast<unsigned>(__all_sync(FULL_MASK, lane < 32));
    row[4] = static_cast<unsigned>(__all_sync(FULL_MASK, lane != 4));
    // The two half-warps run different collectives at the same time, each with its own mask.
    if (lane < 16) {
        row[5] = __ballot_sync(0x0000ffffu, lane & 1u);
        __syncwarp(0x0000ffffu);
        row[6] = static_cast<unsigned>(__shfl_sync(0x0000ffffu, static_cast<int>(lane), 0));
    } else {
        row[6] = static_cast<unsigned>(__shfl_sync(0xffff0000u, static_cast<int>(lane), 31));
        __syncwarp(0xffff0000u);
        row[5] = __ballot_sync(0xffff0000u, lane & 1u);
    }
    row[7] = __reduce_add_sync(FULL_MASK, lane);
    row[8] = __reduce_max_sync(FULL_MASK, (lane * 7u) % 32u);
    row[9] = static_cast<unsigned>(__reduce_min_sync(FULL_MASK, static_cast<int>(lane) - 5));
}

TEST(HostLayerWarp, VotesReductionsAndPartialMasks) {
    constexpr unsigned kThreads = 96;
    constexpr unsigned kBlocks = 2;
    DeviceArray<unsigned> out(kBlocks * kThreads * kVoteColumns);
    GYRANT_LAUNCH(warp_vote_kernel, kBlocks, kThreads, 0, 0, out.get());
    check_launch();
    auto const got = out.download();
    unsigned every_third = 0;
    for (unsigned l = 0; l < 32; l += 3) every_third |= 1u << l;
    for (unsigned t = 0; t < kBlocks * kThreads; ++t) {
        unsigned const lane = t % 32;
        unsigned const* row = &got[t * kVoteColumns];
        SCOPED_TRACE("thread " + std::to_string(t));
        EXPECT_EQ(row[0], every_third);
        EXPECT_EQ(row[1], 1u);
        EXPECT_EQ(row[2], 0u);
        EXPECT_EQ(row[3], 1u);
        EXPECT_EQ(row[4], 0u);
        EXPECT_EQ(row[5], lane < 16 ? 0x0000aaaau : 0xaaaa0000u);
        EXPECT_EQ(row[6], lane < 16 ? 0u : 31u);
        EXPECT_EQ(row[7], 31u * 32u / 2u);
        EXPECT_EQ(row[8], 31u);
        EXPECT_EQ(static_cast<int>(row[9]), -5);
    }
}

// ---- blocks, barriers and shared memory --------------------------------------------------------

constexpr unsigned kBlockX = 16;
constexpr unsigned kBlockY = 8;
constexpr unsigned kBlockThreads = kBlockX * kBlockY;

//! Every block fills its shared memory with its own id and, across several barriers, checks
//! that it never sees another block's data; then a tree reduction gives the block sum.
__global__ void shared_memory_kernel(int const* in, int* block_sums, int* neighbour, unsigned* mismatches,
                                     int* barrier_counts) {
    __shared__ int owner[kBlockThreads];
    GYRANT_DYNAMIC_SHARED(int, partial);
    unsigned const t = threadIdx.x + blockDim.x * threadIdx.y;
    unsigned const block = blockIdx.x + gridDim.x * blockIdx.y;
    unsigned const global = block * kBlockThreads + t;
    for (int round = 0; round < 4; ++round) {
        owner[t] = static_cast<int>(block * 16 + round);
        __syncthreads();
        if (owner[(t + 1 + round) % kBlockThreads] != static_cast<int>(block * 16 + round)) atomicAdd(mismatches, 1u);
        __syncthreads();
    }
    partial[t] = in[global];
    __syncthreads();
    neighbour[global] = partial[(t + 1) % kBlockThreads];
    __syncthreads();
    for (unsigned s = kBlockThreads / 2; s > 0; s /= 2) {
        if (t < s) partial[t] += partial[t + s];
        __syncthreads();
    }
    if (t == 0) block_sums[block] = partial[0];
    int const count = __syncthreads_count(in[global] % 2 == 0);
    int const all = __syncthreads_and(in[global] > -1000000);
    int const any = __syncthreads_or(in[global] == 7);
    if (t == 0) {
        barrier_counts[3 * block + 0] = count;
        barrier_counts[3 * block + 1] = all;
        barrier_counts[3 * block + 2] = any;
    }
}

TEST(HostLayerBlock, SharedMemoryIsPerBlockAndBarriersOrderIt) {
    GYRANT_TEST_WORKERS(4);
    dim3 const grid(6, 5);
    unsigned const blocks = grid.x * grid.y;
    std::vector<int> in(blocks * kBlockThreads);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> dist(-1000, 1000);
    for (auto& v : in) v = dist(rng);
    in[5] = 7;  // block 0 has a 7; no other block has one unless drawn
    DeviceArray<int> d_in(in);
    DeviceArray<int> sums(blocks);
    DeviceArray<int> neighbour(in.size());
    DeviceArray<unsigned> mismatches(1);
    mismatches.fill_zero();
    DeviceArray<int> counts(3 * blocks);
    GYRANT_LAUNCH(shared_memory_kernel, grid, dim3(kBlockX, kBlockY), kBlockThreads * sizeof(int), 0, d_in.get(),
                  sums.get(), neighbour.get(), mismatches.get(), counts.get());
    check_launch();
    EXPECT_EQ(mismatches.download()[0], 0u);
    auto const got_sums = sums.download();
    auto const got_neighbour = neighbour.download();
    auto const got_counts = counts.download();
    for (unsigned b = 0; b < blocks; ++b) {
        int const* block_in = &in[b * kBlockThreads];
        EXPECT_EQ(got_sums[b], std::accumulate(block_in, block_in + kBlockThreads, 0)) << "block " << b;
        int evens = 0;
        bool seven = false;
        for (unsigned t = 0; t < kBlockThreads; ++t) {
            evens += block_in[t] % 2 == 0;
            seven = seven || block_in[t] == 7;
            EXPECT_EQ(got_neighbour[b * kBlockThreads + t], block_in[(t + 1) % kBlockThreads]);
        }
        EXPECT_EQ(got_counts[3 * b + 0], evens);
        EXPECT_EQ(got_counts[3 * b + 1], 1);
        EXPECT_EQ(got_counts[3 * b + 2], seven ? 1 : 0);
    }
}

// ---- atomics and fences ------------------------------------------------------------------------

struct AtomicTargets {
    int count;
    unsigned cas_count;
    int max_value;
    int min_value;
    float float_sum;
    unsigned exch_slot;
    unsigned long long wide_sum;
    unsigned wrap;
    unsigned bits;
    int down;
};

__global__ void atomic_hammer_kernel(AtomicTargets* targets, unsigned* exch_old, unsigned* inc_old) {
    unsigned const id = blockIdx.x * blockDim.x + threadIdx.x;
    atomicAdd(&targets->count, 1);
    atomicAdd(&targets->float_sum, 1.0f);
    int const signed_value = static_cast<int>((id * 7919u) % 20011u) - 10000;
    atomicMax(&targets->max_value, signed_value);
    atomicMin(&targets->min_value, signed_value);
    unsigned seen = __ldcg(&targets->cas_count);
    for (;;) {  // increment by compare-and-swap
        unsigned const old = atomicCAS(&targets->cas_count, seen, seen + 1);
        if (old == seen) break;
        seen = old;
    }
    exch_old[id] = atomicExch(&targets->exch_slot, id + 1);
    atomicAdd(&targets->wide_sum, (1ull << 33) + id);
    inc_old[id] = atomicInc(&targets->wrap, 9u);
    atomicOr(&targets->bits, 1u << (id % 32));
    atomicSub(&targets->down, 2);
}

TEST(HostLayerAtomics, ManyBlocksHammerSharedCounters) {
    GYRANT_TEST_WORKERS(4);
    constexpr unsigned kBlocks = 48;
    constexpr unsigned kThreads = 256;
    constexpr unsigned kTotal = kBlocks * kThreads;
    AtomicTargets init{};
    init.max_value = -2000000;
    init.min_value = 2000000;
    init.down = 100;
    DeviceArray<AtomicTargets> targets(std::vector<AtomicTargets>{init});
    DeviceArray<unsigned> exch_old(kTotal);
    DeviceArray<unsigned> inc_old(kTotal);
    GYRANT_LAUNCH(atomic_hammer_kernel, kBlocks, kThreads, 0, 0, targets.get(), exch_old.get(), inc_old.get());
    check_launch();
    AtomicTargets const got = targets.download()[0];
    EXPECT_EQ(got.count, static_cast<int>(kTotal));
    EXPECT_EQ(got.cas_count, kTotal);
    EXPECT_EQ(got.float_sum, static_cast<float>(kTotal));  // exact: integers below 2^24
    int expected_max = -2000000;
    int expected_min = 2000000;
    unsigned long long expected_wide = 0;
    for (unsigned id = 0; id < kTotal; ++id) {
        int const v = static_cast<int>((id * 7919u) % 20011u) - 10000;
        expected_max = std::max(expected_max, v);
        expected_min = std::min(expected_min, v);
        expected_wide += (1ull << 33) + id;
    }
    EXPECT_EQ(got.max_value, expected_max);
    EXPECT_EQ(got.min_value, expected_min);
    EXPECT_EQ(got.wide_sum, expected_wide);
    EXPECT_EQ(got.bits, 0xffffffffu);
    EXPECT_EQ(got.down, 100 - 2 * static_cast<int>(kTotal));
    // Exchanges form one chain: the old values and the final value are 0..kTotal, each once.
    auto olds = exch_old.download();
    olds.push_back(got.exch_slot);
    std::sort(olds.begin(), olds.end());
    for (unsigned i = 0; i <= kTotal; ++i) ASSERT_EQ(olds[i], i);
    // atomicInc with limit 9 cycles 0..9: every residue appears equally often.
    auto const incs = inc_old.download();
    std::vector<unsigned> histogram(10, 0);
    for (unsigned v : incs) {
        ASSERT_LT(v, 10u);
        ++histogram[v];
    }
    for (unsigned r = 0; r < 10; ++r) EXPECT_EQ(histogram[r], kTotal / 10 + (r < kTotal % 10 ? 1u : 0u));
    EXPECT_EQ(got.wrap, kTotal % 10);
}

constexpr unsigned kSumThreads = 128;

//! Each block sums its slice, publishes it behind a fence, and the last block to arrive
//! adds the partial sums and rearms the counter.
__global__ void last_block_sum_kernel(int const* in, unsigned n, int* partials, unsigned* arrived, int* total) {
    __shared__ int sums[kSumThreads];
    __shared__ bool last;
    unsigned const i = blockIdx.x * blockDim.x + threadIdx.x;
    sums[threadIdx.x] = i < n ? in[i] : 0;
    __syncthreads();
    for (unsigned s = kSumThreads / 2; s > 0; s /= 2) {
        if (threadIdx.x < s) sums[threadIdx.x] += sums[threadIdx.x + s];
        __syncthreads();
    }
    if (threadIdx.x == 0) {
        partials[blockIdx.x] = sums[0];
        __threadfence();
        last = atomicAdd(arrived, 1u) == gridDim.x - 1;
    }
    __syncthreads();
    if (last && threadIdx.x == 0) {
        int s = 0;
        for (unsigned b = 0; b < gridDim.x; ++b) s += __ldcg(&partials[b]);
        *total = s;
        *arrived = 0;
    }
}

TEST(HostLayerAtomics, LastBlockToArriveAddsThePartialSums) {
    GYRANT_TEST_WORKERS(3);
    for (unsigned n : {1u, 127u, 128u, 129u, 10000u}) {
        std::vector<int> in(n);
        for (unsigned i = 0; i < n; ++i) in[i] = static_cast<int>(i % 97) - 40;
        unsigned const blocks = (n + kSumThreads - 1) / kSumThreads;
        DeviceArray<int> d_in(in);
        DeviceArray<int> partials(blocks);
        DeviceArray<unsigned> arrived(1);
        arrived.fill_zero();
        DeviceArray<int> total(1);
        for (int repeat = 0; repeat < 3; ++repeat) {
            total.fill_zero();
            GYRANT_LAUNCH(last_block_sum_kernel, blocks, kSumThreads, 0, 0, d_in.get(), n, partials.get(),
                          arrived.get(), total.get());
            check_launch();
            EXPECT_EQ(total.download()[0], std::accumulate(in.begin(), in.end(), 0)) << "n = " << n;
            EXPECT_EQ(arrived.download()[0], 0u);
        }
    }
}

// ---- cooperative launch --------------------------------------------------------------------------

//! Hillis-Steele prefix sum over the whole grid: every doubling step reads what all blocks
//! wrote in the previous one, so it needs a grid barrier between steps; inside each step a
//! block barrier publishes a block-local copy first.
__global__ void grid_scan_kernel(int* a, int* b, unsigned n, int* block_seen) {
    namespace cg = cooperative_groups;
    cg::grid_group grid = cg::this_grid();
    __shared__ int staged[256];
    unsigned const stride = gridDim.x * blockDim.x;
    int* src = a;
    int* dst = b;
    for (unsigned d = 1; d < n; d *= 2) {
        for (unsigned i = blockIdx.x * blockDim.x + threadIdx.x; i < n; i += stride) {
            dst[i] = src[i] + (i >= d ? src[i - d] : 0);
        }
        grid.sync();
        // Block-level stage: copy the first element each thread owns and check it back.
        unsigned const first = blockIdx.x * blockDim.x + threadIdx.x;
        staged[threadIdx.x] = first < n ? dst[first] : 0;
        cg::this_thread_block().sync();
        if (first < n && staged[threadIdx.x] != dst[first]) atomicAdd(block_seen, 1);
        cg::this_thread_block().sync();
        int* const t = src;
        src = dst;
        dst = t;
    }
    if (grid.thread_rank() == 0) block_seen[1] = static_cast<int>(grid.num_threads());
}

TEST(HostLayerCooperative, GridBarrierLoopScansAcrossBlocks) {
    GYRANT_TEST_WORKERS(2);
    int device = 0;
    ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);
    cudaDeviceProp prop{};
    ASSERT_EQ(cudaGetDeviceProperties(&prop, device), cudaSuccess);
    ASSERT_EQ(prop.cooperativeLaunch, 1);
    constexpr unsigned kThreads = 256;
    int per_sm = 0;
    ASSERT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&per_sm, grid_scan_kernel, kThreads, 0), cudaSuccess);
    ASSERT_GT(per_sm, 0);
    unsigned const blocks = static_cast<unsigned>(per_sm * prop.multiProcessorCount);
    for (unsigned n : {1u, 300u, 5000u}) {
        std::vector<int> in(n);
        for (unsigned i = 0; i < n; ++i) in[i] = static_cast<int>((i * 37) % 11) - 3;
        DeviceArray<int> a(in);
        DeviceArray<int> b(n);
        DeviceArray<int> seen(2);
        seen.fill_zero();
        cudaError_t const status = GYRANT_LAUNCH_COOPERATIVE(grid_scan_kernel, blocks, kThreads, 0, 0, a.get(),
                                                             b.get(), n, seen.get());
        ASSERT_EQ(status, cudaSuccess);
        check_launch();
        unsigned steps = 0;
        for (unsigned d = 1; d < n; d *= 2) ++steps;
        auto const result = steps % 2 == 0 ? a.download() : b.download();
        std::vector<int> expected(n);
        std::partial_sum(in.begin(), in.end(), expected.begin());
        EXPECT_EQ(result, expected) << "n = " << n;
        auto const s = seen.download();
        EXPECT_EQ(s[0], 0);
        EXPECT_EQ(s[1], static_cast<int>(blocks * kThreads));
    }
    // More blocks than can be resident: refused, nothing runs.
    DeviceArray<int> a(std::vector<int>{5});
    DeviceArray<int> b(std::vector<int>{9});
    DeviceArray<int> seen(2);
    seen.fill_zero();
    cudaError_t const status = GYRANT_LAUNCH_COOPERATIVE(grid_scan_kernel, blocks + 1, kThreads, 0, 0, a.get(),
                                                         b.get(), 2u, seen.get());
    EXPECT_EQ(status, cudaErrorCooperativeLaunchTooLarge);
    EXPECT_EQ(cudaGetLastError(), cudaErrorCooperativeLaunchTooLarge);
    EXPECT_EQ(b.download()[0], 9);
}

// ---- device algorithm wrappers -------------------------------------------------------------------

constexpr unsigned kScanThreads = 256;

__global__ void block_scan_kernel(unsigned const* in, unsigned* out, unsigned* totals, unsigned* second) {
    __shared__ gyrant::BlockExclusiveSum256::TempStorage storage;
    unsigned const i = blockIdx.x * kScanThreads + threadIdx.x;
    unsigned total = 0;
    gyrant::BlockExclusiveSum256(storage).ExclusiveSum(in[i], out[i], total);
    if (threadIdx.x == 0) totals[blockIdx.x] = total;
    __syncthreads();  // the storage is reused
    unsigned ignored = 0;
    gyrant::BlockExclusiveSum256(storage).ExclusiveSum(1u, second[i], ignored);
}

TEST(HostLayerAlgorithms, BlockExclusiveSum) {
    constexpr unsigned kBlocks = 3;
    std::vector<unsigned> in(kBlocks * kScanThreads);
    std::mt19937 rng(11);
    for (auto& v : in) v = rng() % 1000;
    DeviceArray<unsigned> d_in(in);
    DeviceArray<unsigned> out(in.size());
    DeviceArray<unsigned> totals(kBlocks);
    DeviceArray<unsigned> second(in.size());
    GYRANT_LAUNCH(block_scan_kernel, kBlocks, kScanThreads, 0, 0, d_in.get(), out.get(), totals.get(), second.get());
    check_launch();
    auto const got = out.download();
    auto const got_totals = totals.download();
    auto const got_second = second.download();
    for (unsigned b = 0; b < kBlocks; ++b) {
        unsigned running = 0;
        for (unsigned t = 0; t < kScanThreads; ++t) {
            ASSERT_EQ(got[b * kScanThreads + t], running) << "block " << b << " thread " << t;
            ASSERT_EQ(got_second[b * kScanThreads + t], t);
            running += in[b * kScanThreads + t];
        }
        EXPECT_EQ(got_totals[b], running);
    }
}

TEST(HostLayerAlgorithms, RadixSortIsStableOverAllKeyBits) {
    cudaStream_t stream = nullptr;
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
    std::mt19937_64 rng(3);
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{33}, std::size_t{5000}}) {
        // Few distinct keys, spread over the low and the high bits, so ties are common.
        std::vector<std::uint64_t> keys(n);
        std::vector<std::uint32_t> values(n);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t const r = rng() % 50;
            keys[i] = (r << 57) | (r * 0x1234567ull) | (r % 3);
            values[i] = static_cast<std::uint32_t>(i);
        }
        DeviceArray<std::uint64_t> d_keys(keys);
        DeviceArray<std::uint32_t> d_values(values);
        gyrant::radix_sort_pairs(d_keys.get(), d_values.get(), n, stream);
        std::vector<std::size_t> order(n);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
        auto const got_keys = d_keys.download();
        auto const got_values = d_values.download();
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(got_keys[i], keys[order[i]]) << "n = " << n << ", position " << i;
            ASSERT_EQ(got_values[i], order[i]) << "n = " << n << ", position " << i;
        }
    }
    ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
}

struct Square {
    GYRANT_HOST_DEVICE long long operator()(int x) const { return static_cast<long long>(x) * x; }
};

TEST(HostLayerAlgorithms, DeviceReduce) {
    std::vector<int> in(777);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int>(i * 13 % 101) - 50;
    DeviceArray<int> d_in(in);
    int const largest = gyrant::device_reduce(d_in.get(), in.size(), -1000, thrust::maximum<int>(), nullptr);
    EXPECT_EQ(largest, *std::max_element(in.begin(), in.end()));
    auto squares = thrust::make_transform_iterator(d_in.get(), Square());
    long long const sum = gyrant::device_reduce(squares, in.size(), 5ll, thrust::plus<long long>(), nullptr);
    long long expected = 5;
    for (int v : in) expected += static_cast<long long>(v) * v;
    EXPECT_EQ(sum, expected);
    EXPECT_EQ(gyrant::device_reduce(d_in.get(), 0, 42, thrust::plus<int>(), nullptr), 42);
}

// ---- runtime subset ------------------------------------------------------------------------------

struct SymbolRecord {
    int values[4];
    float scale;
};

__device__ SymbolRecord d_symbol_record;

__global__ void read_symbol_kernel(float* out) {
    unsigned const i = threadIdx.x;
    if (i < 4) out[i] = static_cast<float>(d_symbol_record.values[i]) * d_symbol_record.scale;
}

__global__ void flag_kernel(int* flag) { *flag = 1; }

TEST(HostLayerRuntime, CopiesMemsetsAndSymbols) {
    DeviceArray<int> a(std::vector<int>{1, 2, 3, 4, 5, 6});
    DeviceArray<int> b(6);
    ASSERT_EQ(cudaMemcpy(b.get(), a.get(), 6 * sizeof(int), cudaMemcpyDeviceToDevice), cudaSuccess);
    ASSERT_EQ(cudaMemsetAsync(b.get() + 4, 0xff, 2 * sizeof(int), nullptr), cudaSuccess);
    EXPECT_EQ(b.download(), (std::vector<int>{1, 2, 3, 4, -1, -1}));
    std::vector<int> host(3, 0);
    ASSERT_EQ(cudaMemcpyAsync(host.data(), b.get() + 1, 3 * sizeof(int), cudaMemcpyDefault, nullptr), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);
    EXPECT_EQ(host, (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(cudaMemcpy(b.get(), a.get(), 4, static_cast<cudaMemcpyKind>(17)), cudaErrorInvalidMemcpyDirection);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidMemcpyDirection);

    SymbolRecord record{{3, -1, 4, 10}, 0.5f};
    ASSERT_EQ(cudaMemcpyToSymbol(d_symbol_record, &record, sizeof record), cudaSuccess);
    int const replaced = 8;
    ASSERT_EQ(cudaMemcpyToSymbolAsync(d_symbol_record, &replaced, sizeof replaced, sizeof(int),
                                      cudaMemcpyHostToDevice, nullptr),
              cudaSuccess);
    DeviceArray<float> out(4);
    GYRANT_LAUNCH(read_symbol_kernel, 1, 32, 0, 0, out.get());
    check_launch();
    EXPECT_EQ(out.download(), (std::vector<float>{1.5f, 4.0f, 2.0f, 5.0f}));
    SymbolRecord back{};
    ASSERT_EQ(cudaMemcpyFromSymbol(&back, d_symbol_record, sizeof back), cudaSuccess);
    EXPECT_EQ(back.values[1], 8);
    EXPECT_EQ(back.scale, 0.5f);
    // A copy that runs past the end of the symbol is refused.
    EXPECT_EQ(cudaMemcpyToSymbol(d_symbol_record, &record, sizeof record, sizeof(int)), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST(HostLayerRuntime, AllocationsAndPointerAttributes) {
    int count = 0;
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    ASSERT_GE(count, 1);
    int const device = count > 1 ? 1 : 0;
    int original = -1;
    ASSERT_EQ(cudaGetDevice(&original), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(device), cudaSuccess);
    float* d = nullptr;
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&d), 100 * sizeof(float)), cudaSuccess);
    float* async = nullptr;
    ASSERT_EQ(cudaMallocAsync(reinterpret_cast<void**>(&async), 64, nullptr), cudaSuccess);
    float* pinned = nullptr;
    ASSERT_EQ(cudaMallocHost(reinterpret_cast<void**>(&pinned), 64), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(original), cudaSuccess);

    cudaPointerAttributes attr{};
    ASSERT_EQ(cudaPointerGetAttributes(&attr, d + 17), cudaSuccess);  // inside the allocation
    EXPECT_EQ(attr.type, cudaMemoryTypeDevice);
    EXPECT_EQ(attr.device, device);
    ASSERT_EQ(cudaPointerGetAttributes(&attr, async), cudaSuccess);
    EXPECT_EQ(attr.type, cudaMemoryTypeDevice);
    EXPECT_EQ(attr.device, device);
    ASSERT_EQ(cudaPointerGetAttributes(&attr, pinned), cudaSuccess);
    EXPECT_EQ(attr.type, cudaMemoryTypeHost);
    std::vector<float> pageable(4);
    ASSERT_EQ(cudaPointerGetAttributes(&attr, pageable.data()), cudaSuccess);
    EXPECT_EQ(attr.type, cudaMemoryTypeUnregistered);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);

    EXPECT_EQ(cudaFree(d), cudaSuccess);
    EXPECT_EQ(cudaFreeAsync(async, nullptr), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
#if defined(GYRANT_FLAVOUR_HOST)
    // Freeing what is not (or no longer) an allocation fails, and the failure is recorded.
    EXPECT_EQ(cudaFree(d), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(pageable.data()), cudaErrorInvalidValue);
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
#endif
}

TEST(HostLayerRuntime, DevicesEventsAndErrors) {
    int count = 0;
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    int original = -1;
    ASSERT_EQ(cudaGetDevice(&original), cudaSuccess);
    EXPECT_EQ(cudaSetDevice(count), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
    int now = -1;
    ASSERT_EQ(cudaGetDevice(&now), cudaSuccess);
    EXPECT_EQ(now, original);  // a refused switch changes nothing
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);

    cudaDeviceProp prop{};
    ASSERT_EQ(cudaGetDeviceProperties(&prop, original), cudaSuccess);
    EXPECT_EQ(prop.warpSize, 32);
    EXPECT_GE(prop.maxThreadsPerBlock, 1024);
    EXPECT_GT(prop.multiProcessorCount, 0);
    int attribute = 0;
    ASSERT_EQ(cudaDeviceGetAttribute(&attribute, cudaDevAttrMultiProcessorCount, original), cudaSuccess);
    EXPECT_EQ(attribute, prop.multiProcessorCount);
#if defined(GYRANT_FLAVOUR_HOST)
    {
        ScopedWorkers workers(3);
        ASSERT_EQ(cudaGetDeviceProperties(&prop, original), cudaSuccess);
        EXPECT_EQ(prop.multiProcessorCount, 3);
    }
#endif

    cudaStream_t stream = nullptr;
    ASSERT_EQ(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), cudaSuccess);
    cudaEvent_t start = nullptr;
    cudaEvent_t stop = nullptr;
    cudaEvent_t untimed = nullptr;
    ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&stop), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&untimed, cudaEventDisableTiming), cudaSuccess);
    float ms = -1.0f;
    EXPECT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaErrorInvalidResourceHandle);  // never recorded
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventQuery(start), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(start, stream), cudaSuccess);
    DeviceArray<int> flag(1);
    GYRANT_LAUNCH(flag_kernel, 1, 1, 0, stream, flag.get());
    check_launch();
    ASSERT_EQ(cudaEventRecord(stop, stream), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(untimed, stream), cudaSuccess);
    ASSERT_EQ(cudaStreamWaitEvent(nullptr, stop, 0), cudaSuccess);
    ASSERT_EQ(cudaEventSynchronize(stop), cudaSuccess);
    EXPECT_EQ(cudaEventQuery(stop), cudaSuccess);
    ASSERT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
    EXPECT_GE(ms, 0.0f);
    EXPECT_EQ(cudaEventElapsedTime(&ms, start, untimed), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(flag.download()[0], 1);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
    ASSERT_EQ(cudaEventDestroy(start), cudaSuccess);
    ASSERT_EQ(cudaEventDestroy(stop), cudaSuccess);
    ASSERT_EQ(cudaEventDestroy(untimed), cudaSuccess);
    ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);

    EXPECT_STREQ(cudaGetErrorString(cudaSuccess), "no error");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidValue), "invalid argument");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration), "invalid configuration argument");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
    EXPECT_STREQ(cudaGetErrorName(cudaErrorMemoryAllocation), "cudaErrorMemoryAllocation");
    EXPECT_STREQ(cudaGetErrorName(cudaErrorCooperativeLaunchTooLarge), "cudaErrorCooperativeLaunchTooLarge");
}

TEST(HostLayerRuntime, InvalidLaunchConfigurationsDoNotRun) {
    DeviceArray<int> flag(1);
    struct Config {
        dim3 grid;
        dim3 block;
        std::size_t smem;
    };
    Config const bad[] = {
        {dim3(0), dim3(32), 0},          {dim3(1), dim3(0), 0},     {dim3(1), dim3(1025), 0},
        {dim3(1), dim3(32, 32, 2), 0},   {dim3(1), dim3(1, 1, 65), 0}, {dim3(1, 65536), dim3(32), 0},
    };
    for (Config const& c : bad) {
        flag.fill_zero();
        GYRANT_LAUNCH(flag_kernel, c.grid, c.block, c.smem, 0, flag.get());
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration)
            << "grid " << c.grid.x << "x" << c.grid.y << ", block " << c.block.x << "x" << c.block.y << "x"
            << c.block.z << ", smem " << c.smem;
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        EXPECT_EQ(flag.download()[0], 0);
    }
    // More dynamic shared memory than a block may have is an invalid argument.
    GYRANT_LAUNCH(flag_kernel, 1, 32, 64 * 1024, 0, flag.get());
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(flag.download()[0], 0);
    GYRANT_LAUNCH(flag_kernel, 1, 1024, 48 * 1024, 0, flag.get());  // the largest valid block
    check_launch();
    EXPECT_EQ(flag.download()[0], 1);
}

#if defined(GYRANT_FLAVOUR_HOST)
TEST(HostLayerRuntime, FailingAllocationsReportAndLeaveNothingBehind) {
    std::size_t const live = gyrant::host::live_device_allocations();
    gyrant::host::fail_next_allocations(2);
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(cudaMalloc(&p, 16), cudaErrorMemoryAllocation);
    EXPECT_EQ(p, nullptr);
    p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(cudaMallocAsync(&p, 16, nullptr), cudaErrorMemoryAllocation);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    ASSERT_EQ(cudaMalloc(&p, 16), cudaSuccess);  // the hook is used up
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(gyrant::host::live_device_allocations(), live + 1);
    EXPECT_EQ(cudaFree(p), cudaSuccess);

    // The sort's temporaries fail: std::bad_alloc, the input untouched, nothing leaked.
    std::vector<std::uint64_t> keys{5, 3, 9, 1};
    DeviceArray<std::uint64_t> d_keys(keys);
    DeviceArray<std::uint32_t> d_values(std::vector<std::uint32_t>{0, 1, 2, 3});
    std::size_t const with_inputs = gyrant::host::live_device_allocations();
    gyrant::host::fail_next_allocations(1);
    EXPECT_THROW(gyrant::radix_sort_pairs(d_keys.get(), d_values.get(), keys.size(), nullptr), std::bad_alloc);
    EXPECT_EQ(d_keys.download(), keys);
    gyrant::host::fail_next_allocations(3);
    gyrant::host::fail_next_allocations(0);  // cleared
    gyrant::radix_sort_pairs(d_keys.get(), d_values.get(), keys.size(), nullptr);
    EXPECT_EQ(d_keys.download(), (std::vector<std::uint64_t>{1, 3, 5, 9}));
    EXPECT_EQ(gyrant::host::live_device_allocations(), with_inputs);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}
#endif

// ---- numerics ------------------------------------------------------------------------------------

__global__ void fma_kernel(__half const* h, __nv_bfloat16 const* b, unsigned n, __half* h_out, __half* h2_out,
                           __nv_bfloat16* b_out, __nv_bfloat16* b2_out) {
    unsigned const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    h_out[i] = __hfma(h[3 * i], h[3 * i + 1], h[3 * i + 2]);
    b_out[i] = __hfma(b[3 * i], b[3 * i + 1], b[3 * i + 2]);
    // The paired forms: lane .x takes triple i, lane .y triple n - 1 - i.
    unsigned const j = n - 1 - i;
    __half2 const hr = __hfma2(__halves2half2(h[3 * i], h[3 * j]), __halves2half2(h[3 * i + 1], h[3 * j + 1]),
                               __halves2half2(h[3 * i + 2], h[3 * j + 2]));
    h2_out[2 * i] = __low2half(hr);
    h2_out[2 * i + 1] = __high2half(hr);
    __nv_bfloat162 const br =
        __hfma2(__halves2bfloat162(b[3 * i], b[3 * j]), __halves2bfloat162(b[3 * i + 1], b[3 * j + 1]),
                __halves2bfloat162(b[3 * i + 2], b[3 * j + 2]));
    b2_out[2 * i] = __low2bfloat16(br);
    b2_out[2 * i + 1] = __high2bfloat16(br);
}

//! Exact a * b + c, rounded once to nearest even into a format with `precision` significant
//! bits and exponents [min_exp, max_exp], by integer arithmetic: the operands must be
//! multiples of 2^-scale (else NaN), so the exact sum is an integer multiple of 2^-2*scale.
double exact_fma_reference(double a, double b, double c, int scale, int precision, int min_exp, int max_exp) {
    auto fixed = [&](double x, __int128& out) {
        double const scaled = std::ldexp(x, scale);
        if (scaled != std::trunc(scaled) || std::fabs(scaled) >= 0x1p62) return false;
        out = static_cast<__int128>(static_cast<long long>(scaled));
        return true;
    };
    __int128 ia = 0;
    __int128 ib = 0;
    __int128 ic = 0;
    if (!fixed(a, ia) || !fixed(b, ib) || !fixed(c, ic)) return NAN;
    __int128 const x = ia * ib + ic * (static_cast<__int128>(1) << scale);
    int const total_scale = 2 * scale;
    if (x == 0) {  // an exact zero is negative only when both addends are
        bool const negative = std::signbit(a) != std::signbit(b) && std::signbit(c);
        return negative ? -0.0 : 0.0;
    }
    bool const negative = x < 0;
    auto const m = static_cast<unsigned __int128>(negative ? -x : x);
    int top = 127;
    while (((m >> top) & 1) == 0) --top;
    int const exponent = std::max(top - total_scale, min_exp);
    int const shift = exponent - (precision - 1) + total_scale;  // quantum = 2^(shift - total_scale)
    unsigned __int128 q = m >> shift;
    unsigned __int128 const rest = m - (q << shift);
    unsigned __int128 const halfway = static_cast<unsigned __int128>(1) << (shift - 1);
    if (rest > halfway || (rest == halfway && (q & 1) != 0)) ++q;
    double const r = std::ldexp(static_cast<double>(q), shift - total_scale);
    if (r >= std::ldexp(1.0, max_exp + 1)) return negative ? -INFINITY : INFINITY;
    return negative ? -r : r;
}

double half_fma_reference(double a, double b, double c) { return exact_fma_reference(a, b, c, 24, 11, -14, 15); }
double bf16_fma_reference(double a, double b, double c) { return exact_fma_reference(a, b, c, 31, 8, -126, 127); }

// a * b + c rounded to float first, then to the narrow format: the double rounding a fused
// operation must avoid. (For the cases used, a * b + c is exact in double.)
double half_via_float(double a, double b, double c) {
    return __half2float(__float2half_rn(static_cast<float>(a * b + c)));
}
double bf16_via_float(double a, double b, double c) {
    return __bfloat162float(__float2bfloat16_rn(static_cast<float>(a * b + c)));
}

TEST(HostLayerNumerics, HalfAndBfloat16FmaRoundOnce) {
    std::vector<float> hv;  // triples (a, b, c) of half values
    std::vector<float> bv;  // triples of bfloat16 values
    // a * b lands exactly on a midpoint whose upper neighbour is even; a tiny negative c puts
    // the exact value just below it. Through float the tie survives and rounds up: wrong.
    hv.insert(hv.end(), {1.75f, 0.572265625f, -std::ldexp(1.0f, -24)});
    hv.insert(hv.end(), {-1.75f, 0.572265625f, std::ldexp(1.0f, -24)});
    bv.insert(bv.end(), {1.75f, 0.578125f, -std::ldexp(1.0f, -30)});
    bv.insert(bv.end(), {-1.75f, 0.578125f, std::ldexp(1.0f, -30)});
    // c = 1024: the product's low bits fall below float's last bit (found by a sweep).
    for (int ia = 1024; ia < 2048; ++ia) {
        for (int ib = 1024; ib < 2048; ib += 1) {
            double const a = ia / 1024.0;
            double const b = ib / 2048.0;
            if (half_fma_reference(a, b, 1024.0) != half_via_float(a, b, 1024.0))
                hv.insert(hv.end(), {static_cast<float>(a), static_cast<float>(b), 1024.0f});
        }
    }
    std::size_t const crafted_halves = hv.size() / 3;
    std::size_t const crafted_bf16 = bv.size() / 3;
    // Random operands, including half subnormals and results that overflow.
    std::mt19937 rng(5);
    for (int k = 0; k < 3000; ++k) {
        for (int j = 0; j < 3; ++j) {
            unsigned short bits = static_cast<unsigned short>(rng() & 0xffffu);
            if ((bits & 0x7c00u) == 0x7c00u) bits &= 0xbfffu;  // no inf / NaN operands
            hv.push_back(__half2float(__ushort_as_half(bits)));
            int const exponent = static_cast<int>(rng() % 21) - 10;  // keeps the reference in range
            float const mantissa = 1.0f + static_cast<float>(rng() % 128) / 128.0f;
            bv.push_back(std::ldexp((rng() & 1) ? -mantissa : mantissa, exponent));
        }
    }
    unsigned const n = static_cast<unsigned>(std::min(hv.size(), bv.size()) / 3);
    hv.resize(3 * n);
    bv.resize(3 * n);
    std::vector<__half> h(3 * n);
    std::vector<__nv_bfloat16> b(3 * n);
    for (unsigned i = 0; i < 3 * n; ++i) {
        h[i] = __float2half(hv[i]);
        b[i] = __float2bfloat16(bv[i]);
        ASSERT_EQ(__half2float(h[i]), hv[i]);
        ASSERT_EQ(__bfloat162float(b[i]), bv[i]);
    }
    DeviceArray<__half> d_h(h);
    DeviceArray<__nv_bfloat16> d_b(b);
    DeviceArray<__half> h_out(n);
    DeviceArray<__half> h2_out(2 * n);
    DeviceArray<__nv_bfloat16> b_out(n);
    DeviceArray<__nv_bfloat16> b2_out(2 * n);
    GYRANT_LAUNCH(fma_kernel, (n + 127) / 128, 128, 0, 0, d_h.get(), d_b.get(), n, h_out.get(), h2_out.get(),
                  b_out.get(), b2_out.get());
    check_launch();
    auto const got_h = h_out.download();
    auto const got_h2 = h2_out.download();
    auto const got_b = b_out.download();
    auto const got_b2 = b2_out.download();
    auto same = [](double expected, float got) {
        return std::isinf(expected) ? std::isinf(got) && (expected > 0) == (got > 0)
                                    : expected == got && std::signbit(expected) == std::signbit(got);
    };
    std::size_t discriminating = 0;
    for (unsigned i = 0; i < n; ++i) {
        unsigned const j = n - 1 - i;
        auto const ref_h = [&](unsigned k) { return half_fma_reference(hv[3 * k], hv[3 * k + 1], hv[3 * k + 2]); };
        auto const ref_b = [&](unsigned k) { return bf16_fma_reference(bv[3 * k], bv[3 * k + 1], bv[3 * k + 2]); };
        if (i < crafted_halves && ref_h(i) != half_via_float(hv[3 * i], hv[3 * i + 1], hv[3 * i + 2]))
            ++discriminating;
        if (i < crafted_bf16 && ref_b(i) != bf16_via_float(bv[3 * i], bv[3 * i + 1], bv[3 * i + 2]))
            ++discriminating;
        ASSERT_TRUE(same(ref_h(i), __half2float(got_h[i]))) << "half triple " << i << ": " << hv[3 * i] << " "
                                                            << hv[3 * i + 1] << " " << hv[3 * i + 2];
        ASSERT_TRUE(same(ref_h(i), __half2float(got_h2[2 * i]))) << "half2 low, triple " << i;
        ASSERT_TRUE(same(ref_h(j), __half2float(got_h2[2 * i + 1]))) << "half2 high, triple " << j;
        ASSERT_TRUE(same(ref_b(i), __bfloat162float(got_b[i]))) << "bfloat16 triple " << i << ": " << bv[3 * i]
                                                                 << " " << bv[3 * i + 1] << " " << bv[3 * i + 2];
        ASSERT_TRUE(same(ref_b(i), __bfloat162float(got_b2[2 * i]))) << "bfloat162 low, triple " << i;
        ASSERT_TRUE(same(ref_b(j), __bfloat162float(got_b2[2 * i + 1]))) << "bfloat162 high, triple " << j;
    }
    // The crafted cases really separate single from double rounding.
    EXPECT_EQ(discriminating, crafted_halves + crafted_bf16);
    EXPECT_GT(crafted_halves, 10u);
}

__global__ void float_intrinsics_kernel(float const* in, float* out, unsigned* bits) {
    float const tiny = in[0];       // smallest normal float
    float const subnormal = in[1];  // a subnormal
    out[0] = tiny * 0.5f;           // would be subnormal: flushed to zero
    out[1] = subnormal * in[6];     // subnormal input (times 1): read as zero
    out[2] = __fdividef(in[2], in[3]);
    out[3] = __saturatef(in[4]);
    out[4] = __saturatef(-in[4]);
    out[5] = rsqrtf(in[5]);
    out[6] = __fsqrt_rn(in[5]);
    out[7] = __expf(in[6]);
    out[8] = __fmaf_rn(in[7], in[7], -1.0f);
    bits[0] = static_cast<unsigned>(__popc(0xf0f0f0f1u));
    bits[1] = static_cast<unsigned>(__clz(0x00010000));
    bits[2] = static_cast<unsigned>(__ffs(0x00000a00));
    bits[3] = __brev(0x00000001u);
    bits[4] = static_cast<unsigned>(__popcll(0xffffffffffull));
    bits[5] = static_cast<unsigned>(__clzll(1ll));
    bits[6] = __float_as_uint(-1.0f);
    bits[7] = static_cast<unsigned>(__ffs(0));
    bits[8] = static_cast<unsigned>(min(3u, 7u) + max(-2, 5));
}

TEST(HostLayerNumerics, FlushToZeroAndFloatIntrinsics) {
    float const eps = std::ldexp(1.0f, -12);
    std::vector<float> in{std::ldexp(1.0f, -126), std::ldexp(1.0f, -140), 3.0f, std::ldexp(1.0f, 127),
                          7.5f, 16.0f, 1.0f, 1.0f + eps};
    DeviceArray<float> d_in(in);
    DeviceArray<float> out(9);
    DeviceArray<unsigned> bits(9);
    GYRANT_LAUNCH(float_intrinsics_kernel, 1, 1, 0, 0, d_in.get(), out.get(), bits.get());
    check_launch();
    auto const got = out.download();
    EXPECT_EQ(got[0], 0.0f);
    EXPECT_EQ(got[1], 0.0f);
    EXPECT_EQ(got[2], 0.0f);  // the fast division's reciprocal flushes for |y| > 2^126
    EXPECT_EQ(got[3], 1.0f);
    EXPECT_EQ(got[4], 0.0f);
    EXPECT_NEAR(got[5], 0.25f, 0.25f * 4e-7f);  // approximate reciprocal square root: 2 ulp
    EXPECT_EQ(got[6], 4.0f);
    EXPECT_NEAR(got[7], 2.7182817f, 2.7182817f * 1e-6f);  // fast exponential: a few ulp
    EXPECT_EQ(got[8], std::ldexp(1.0f, -11) + std::ldexp(1.0f, -24));  // fused: the eps^2 term survives
    EXPECT_EQ(bits.download(),
              (std::vector<unsigned>{17u, 15u, 10u, 0x80000000u, 40u, 63u, 0xbf800000u, 0u, 8u}));
    // Host code keeps gradual underflow: the mode is restored after the launch.
    volatile float host_tiny = std::ldexp(1.0f, -126);
    EXPECT_GT(host_tiny * 0.5f, 0.0f);
}

// ---- strictness (host flavour only) ------------------------------------------------------------

#if defined(GYRANT_FLAVOUR_HOST)

__global__ void shuffle_after_exit_kernel(int* out) {
    if (threadIdx.x == 5) return;
    out[threadIdx.x] = __shfl_sync(FULL_MASK, static_cast<int>(threadIdx.x), 0);
}

__global__ void barrier_after_exit_kernel(int* out) {
    if (threadIdx.x >= 16) return;
    __syncthreads();
    out[threadIdx.x] = 1;
}

__global__ void divergent_barrier_kernel(int* out) {
    if (threadIdx.x % 32 < 16)
        __syncthreads();
    else
        __syncwarp();
    out[threadIdx.x] = 1;
}

__global__ void grid_sync_outside_cooperative_kernel(int* out) {
    cooperative_groups::this_grid().sync();
    out[threadIdx.x] = 1;
}

// ---- schedule fuzzing (host flavour only) ------------------------------------------------------

class ScopedScheduleSeed {
public:
    explicit ScopedScheduleSeed(std::uint64_t seed) : saved_(gyrant::host::schedule_seed()) {
        gyrant::host::set_schedule_seed(seed);
    }
    ~ScopedScheduleSeed() { gyrant::host::set_schedule_seed(saved_); }

private:
    std::uint64_t saved_;
};

constexpr unsigned kTraceBlocks = 48;
constexpr unsigned kTraceThreads = 96;

//! Records the order in which blocks start, threads pass a barrier and lanes leave a
//! __syncwarp, and which OS thread ran each block.
__global__ void schedule_trace_kernel(unsigned* block_ticket, unsigned* block_rank, std::size_t* os_thread,
                                      unsigned* block_order, unsigned* warp_order) {
    __shared__ unsigned block_counter;
    __shared__ unsigned warp_counter[kTraceThreads / 32];
    unsigned const t = threadIdx.x;
    unsigned const global = blockIdx.x * blockDim.x + t;
    if (t == 0) {
        block_rank[blockIdx.x] = atomicAdd(block_ticket, 1u);
        os_thread[blockIdx.x] = std::hash<std::thread::id>()(std::this_thread::get_id());
        block_counter = 0;
    }
    if (t % 32 == 0) warp_counter[t / 32] = 0;
    __syncthreads();
    block_order[global] = atomicAdd(&block_counter, 1u);
    __syncwarp();
    warp_order[global] = atomicAdd(&warp_counter[t / 32], 1u);
}

struct ScheduleTrace {
    std::vector<unsigned> block_rank;
    std::vector<std::size_t> os_thread;
    std::vector<unsigned> block_order;
    std::vector<unsigned> warp_order;
    unsigned os_threads() const { return static_cast<unsigned>(std::set<std::size_t>(os_thread.begin(), os_thread.end()).size()); }
};

ScheduleTrace trace_schedule() {
    DeviceArray<unsigned> ticket(1);
    ticket.fill_zero();
    DeviceArray<unsigned> rank(kTraceBlocks);
    DeviceArray<std::size_t> os_thread(kTraceBlocks);
    DeviceArray<unsigned> block_order(kTraceBlocks * kTraceThreads);
    DeviceArray<unsigned> warp_order(kTraceBlocks * kTraceThreads);
    GYRANT_LAUNCH(schedule_trace_kernel, kTraceBlocks, kTraceThreads, 0, 0, ticket.get(), rank.get(), os_thread.get(),
                  block_order.get(), warp_order.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return {rank.download(), os_thread.download(), block_order.download(), warp_order.download()};
}

TEST(HostLayerSchedule, SeedsShuffleBlocksThreadsAndLanes) {
    GYRANT_TEST_WORKERS(1);
    std::vector<unsigned> identity(kTraceBlocks);
    std::iota(identity.begin(), identity.end(), 0u);
    ScheduleTrace fixed;
    {
        ScopedScheduleSeed none(0);
        fixed = trace_schedule();
        EXPECT_EQ(fixed.block_rank, identity);
        EXPECT_EQ(fixed.os_threads(), 1u);
        EXPECT_EQ(trace_schedule().block_order, fixed.block_order) << "the fixed order is reproducible";
    }
    std::vector<ScheduleTrace> seeded;
    for (std::uint64_t seed : {11u, 12u}) {
        ScopedScheduleSeed fuzz(seed);
        // Launches on one OS thread show the block order alone; some launches use several
        // threads, although one worker is reported. Enough launches to see both.
        bool single = false;
        bool several = false;
        for (int launch = 0; launch < 200 && !(single && several); ++launch) {
            ScheduleTrace const t = trace_schedule();
            if (launch == 0) seeded.push_back(t);
            std::vector<unsigned> sorted = t.block_rank;
            std::sort(sorted.begin(), sorted.end());
            ASSERT_EQ(sorted, identity) << "every block runs once";
            if (t.os_threads() == 1) {
                single = true;
                EXPECT_NE(t.block_rank, identity) << "blocks are taken in a shuffled order";
            } else {
                several = true;
            }
        }
        EXPECT_TRUE(single && several) << "seed " << seed;
    }
    // Threads pass the barrier, and lanes leave __syncwarp, in an order the seed decides.
    for (ScheduleTrace const& t : seeded) {
        EXPECT_NE(t.block_order, fixed.block_order);
        EXPECT_NE(t.warp_order, fixed.warp_order);
        for (unsigned b = 0; b < kTraceBlocks; ++b) {
            std::vector<unsigned> ranks(t.block_order.begin() + b * kTraceThreads,
                                        t.block_order.begin() + (b + 1) * kTraceThreads);
            std::sort(ranks.begin(), ranks.end());
            for (unsigned i = 0; i < kTraceThreads; ++i) ASSERT_EQ(ranks[i], i) << "block " << b;
        }
    }
    EXPECT_NE(seeded[0].block_order, seeded[1].block_order);
    EXPECT_NE(seeded[0].warp_order, seeded[1].warp_order);
}

TEST(HostLayerDeathTest, StrictnessFailuresNameTheKernel) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DeviceArray<int> out(64);
    EXPECT_DEATH(
        {
            GYRANT_LAUNCH(shuffle_after_exit_kernel, 1, 32, 0, 0, out.get());
        },
        "shuffle_after_exit_kernel.*(lane 5 exited|names lane 5, which has exited)");
    EXPECT_DEATH(
        {
            GYRANT_LAUNCH(barrier_after_exit_kernel, 1, 64, 0, 0, out.get());
        },
        "barrier_after_exit_kernel.*can never complete");
    EXPECT_DEATH(
        {
            GYRANT_LAUNCH(divergent_barrier_kernel, 2, 64, 0, 0, out.get());
        },
        "divergent_barrier_kernel.*deadlock");
    EXPECT_DEATH(
        {
            GYRANT_LAUNCH(grid_sync_outside_cooperative_kernel, 2, 32, 0, 0, out.get());
        },
        "grid_sync_outside_cooperative_kernel.*not launched cooperatively");
}

#if defined(__SANITIZE_ADDRESS__)
__global__ void read_past_the_end_kernel(float const* in, float* out, unsigned n) { out[0] = in[n]; }

__global__ void read_past_shared_kernel(float* out, unsigned n) {
    GYRANT_DYNAMIC_SHARED(float, staged);
    out[0] = staged[n];
}

// A device allocation is exactly the size asked for, and dynamic shared memory the size the
// launch gives: one element too far is reported at the access, not read as garbage.
TEST(HostLayerDeathTest, OutOfBoundsAccessesAreReportedWhereTheyHappen) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DeviceArray<float> in(100);
    DeviceArray<float> out(1);
    EXPECT_DEATH(
        {
            GYRANT_LAUNCH(read_past_the_end_kernel, 1, 1, 0, 0, in.get(), out.get(), 100u);
        },
        "heap-buffer-overflow");
    EXPECT_DEATH(
        {
            GYRANT_LAUNCH(read_past_shared_kernel, 1, 1, 100 * sizeof(float), 0, out.get(), 100u);
        },
        "use-after-poison");
    GYRANT_LAUNCH(read_past_the_end_kernel, 1, 1, 0, 0, in.get(), out.get(), 99u);  // the last one is fine
    check_launch();
}
#endif

#endif  // GYRANT_FLAVOUR_HOST

}  // namespace

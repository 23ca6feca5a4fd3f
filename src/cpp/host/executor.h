// The host executor: the interface between kernel code compiled for the CPU and the fiber
// scheduler that runs it (executor.cpp). Kernel code never calls this directly; it goes
// through the CUDA names defined in device.h.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>

namespace gyrant::host {

//! Number of OS threads that run ordinary launches; also the reported multiprocessor count.
int worker_threads();
//! Sets the worker count for later launches; n < 1 restores the default
//! (std::thread::hardware_concurrency(), at least 1). Waits for a running launch to finish.
void set_worker_threads(int n);

//! Test hook, schedule fuzzing: with a non-zero seed every later launch takes its blocks in a
//! seeded random order, spreads them over a seeded random number of OS threads (1 to
//! max(worker_threads(), 4); the reported multiprocessor count stays worker_threads()), and runs
//! the ready threads of a block in a seeded random order, so the lanes of a warp interleave
//! arbitrarily between collectives. 0 restores the fixed order. Any order is one a GPU may
//! choose: results that change with the seed depend on the schedule. Waits for a running
//! launch to finish.
void set_schedule_seed(std::uint64_t seed);
std::uint64_t schedule_seed();

//! Test hook: the next n allocations (cudaMalloc, cudaMallocAsync, cudaMallocHost) fail with
//! cudaErrorMemoryAllocation. n <= 0 clears the hook.
void fail_next_allocations(int n);
//! Device allocations currently live (cudaMalloc/cudaMallocAsync not yet freed), all devices.
std::size_t live_device_allocations();
//! Bytes held by those allocations.
std::size_t live_device_bytes();

//! Resident blocks per multiprocessor reported by the occupancy queries, so the largest
//! cooperative grid is this times worker_threads().
inline constexpr int kBlocksPerMultiprocessor = 2;
//! Limits of one launch, as on current NVIDIA hardware.
inline constexpr unsigned kMaxThreadsPerBlock = 1024;
inline constexpr std::size_t kMaxSharedPerBlock = 48 * 1024;

namespace detail {

//! What a warp collective does; each lane contributes `value` and its own `arg`.
enum class WarpOp : std::uint8_t {
    Sync,
    ShflIdx,
    ShflUp,
    ShflDown,
    ShflXor,
    Ballot,
    Any,
    All,
    ReduceAddU,
    ReduceMinU,
    ReduceMaxU,
    ReduceMinI,
    ReduceMaxI,
    ReduceAnd,
    ReduceOr,
    ReduceXor,
};

//! Kind of a block-wide barrier; the predicate variants reduce over the block.
enum class BarrierOp : std::uint8_t { Plain, Count, And, Or };

//! One kernel launch as the executor sees it: `run(closure)` executes the kernel body for
//! the calling CUDA thread (whose indices are already set).
struct KernelLaunch {
    char const* name;
    dim3 grid;
    dim3 block;
    std::size_t shared_bytes;
    cudaStream_t stream;
    void (*run)(void const* closure);
    void const* closure;
};

//! Validates and runs a launch to completion. Returns cudaSuccess or the launch error,
//! which is also recorded as the calling thread's last error.
cudaError_t execute(KernelLaunch const& launch, bool cooperative);

//! Warp collective of the calling CUDA thread; returns this lane's result.
std::uint64_t warp_collective(WarpOp op, unsigned mask, std::uint64_t value, std::uint32_t arg,
                              int width);
//! Lanes of the calling warp that have not exited.
unsigned live_lanes();
//! Block barrier; returns the reduction of the predicates for the predicate variants.
int block_barrier(BarrierOp op, int predicate);
//! Grid barrier of a cooperative launch (a block barrier plus a barrier across blocks).
void grid_barrier();
//! Whether the running kernel was launched cooperatively.
bool in_cooperative_launch();
//! The launch's dynamic shared memory for the calling block (16-byte aligned).
void* dynamic_shared_memory();
//! Ends the process with a message that names the running kernel.
[[noreturn]] void device_fault(char const* what);

//! Records `status` as the calling host thread's last error (unless it is cudaSuccess) and
//! returns it, as every failing CUDA runtime call does.
cudaError_t record_error(cudaError_t status);

//! Name used by the next typed cudaLaunchCooperativeKernel on this host thread.
void set_next_kernel_name(char const* name);
char const* take_next_kernel_name();

}  // namespace detail
}  // namespace gyrant::host

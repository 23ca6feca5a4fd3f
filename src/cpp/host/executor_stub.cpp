// The executor of a host-flavour build without the host execution layer (CMake: tests off).
//
// The module's build and queries run native CPU code (src/cpp/cpu/), so it never launches a
// kernel; only the C++ tests, where the emulated kernels are the oracle, need the fiber
// executor (executor.cpp) and with it Boost.Context. Here every launch stops the process with a
// message that names the kernel: going on would leave the kernel's outputs unwritten, and the
// launch checks only report errors. Everything else behaves as in executor.cpp, so the runtime
// reports the same devices.
#include "platform.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace gyrant::host {
namespace {

int default_worker_threads() { return std::max(1, static_cast<int>(std::thread::hardware_concurrency())); }

std::atomic<int> workers{default_worker_threads()};
std::atomic<std::uint64_t> seed{0};

[[noreturn]] void refuse(char const* what) {
    std::fprintf(stderr,
                 "gyrant: %s, but this module was built without the host execution layer, which "
                 "runs kernels on the CPU (it is built with the C++ tests: GYRANT_BUILD_TESTS=ON). "
                 "The module's own calls never launch kernels; please report this.\n",
                 what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

int worker_threads() { return workers.load(); }

void set_worker_threads(int n) { workers.store(n < 1 ? default_worker_threads() : n); }

void set_schedule_seed(std::uint64_t s) { seed.store(s); }

std::uint64_t schedule_seed() { return seed.load(); }

namespace detail {

cudaError_t execute(KernelLaunch const& k, bool cooperative) {
    char what[256];
    std::snprintf(what, sizeof what, "%slaunch of kernel '%s'", cooperative ? "cooperative " : "",
                  k.name != nullptr ? k.name : "?");
    refuse(what);
}

// Reached only from kernel code, which never runs here.
std::uint64_t warp_collective(WarpOp, unsigned, std::uint64_t, std::uint32_t, int) { refuse("warp collective"); }
unsigned live_lanes() { refuse("__activemask"); }
int block_barrier(BarrierOp, int) { refuse("__syncthreads"); }
void grid_barrier() { refuse("grid barrier"); }
bool in_cooperative_launch() { return false; }
void* dynamic_shared_memory() { refuse("dynamic shared memory"); }
void device_fault(char const* what) { refuse(what); }

}  // namespace detail
}  // namespace gyrant::host

// The CUDA runtime subset of the host flavour, linked in place of libcudart. The signatures
// are those declared by cuda_runtime_api.h (which gives them C linkage); work runs in order
// at enqueue on the calling thread, so streams and events only keep their bookkeeping.
#include "platform.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "host/runtime_state.h"

// The kernels' built-in indices, one set per thread: the fiber executor sets them for each lane it
// runs; the native code never reads them.
thread_local constinit uint3 threadIdx{};
thread_local constinit uint3 blockIdx{};
thread_local constinit dim3 blockDim{};
thread_local constinit dim3 gridDim{};

namespace gyrant::host {
namespace {

constexpr int kDeviceCount = 2;
//! Device allocations are aligned like cudaMalloc's.
constexpr std::size_t kAllocationAlignment = 256;
//! Fresh device memory holds this byte, so reads before writes give absurd values:
//! float -1.7e38, half NaN, indices far out of range.
constexpr unsigned char kDevicePoison = 0xFE;

enum class MemoryKind { Device, Host };

struct Allocation {
    std::size_t size;
    int device;
    MemoryKind kind;
};

struct Stream {
    int device;
    unsigned flags;
};

struct Event {
    unsigned flags;
    bool recorded = false;
    std::chrono::steady_clock::time_point time{};
};

struct RuntimeState {
    std::mutex mutex;
    std::map<std::uintptr_t, Allocation> allocations;  // by start address
    std::size_t device_allocations = 0;
    std::size_t device_bytes = 0;
    std::unordered_map<cudaStream_t, Stream> streams;
    std::unordered_map<cudaEvent_t, Event> events;
    std::atomic<int> fail_next{0};
};

void fork_prepare();
void fork_parent();
void fork_child();

RuntimeState& runtime() {
    // Never destroyed: buffers may be freed by destructors that run late at exit.
    static RuntimeState* state = [] {
        auto* s = new RuntimeState;
        pthread_atfork(&fork_prepare, &fork_parent, &fork_child);
        return s;
    }();
    return *state;
}
void fork_prepare() { runtime().mutex.lock(); }
void fork_parent() { runtime().mutex.unlock(); }
void fork_child() { runtime().mutex.unlock(); }

thread_local cudaError_t last_error = cudaSuccess;
thread_local int current_device = 0;

cudaError_t fail(cudaError_t status) { return detail::record_error(status); }

bool valid_device(int device) { return device >= 0 && device < kDeviceCount; }

//! The allocation that contains p, if any (caller holds the mutex).
Allocation const* find_containing(RuntimeState& s, void const* p, std::uintptr_t* start) {
    auto const addr = reinterpret_cast<std::uintptr_t>(p);
    auto it = s.allocations.upper_bound(addr);
    if (it == s.allocations.begin()) return nullptr;
    --it;
    if (addr - it->first >= std::max<std::size_t>(it->second.size, 1)) return nullptr;
    if (start != nullptr) *start = it->first;
    return &it->second;
}

//! A range that starts inside one of our allocations must end inside it too.
bool range_ok(RuntimeState& s, void const* p, std::size_t count) {
    std::uintptr_t start = 0;
    Allocation const* a = find_containing(s, p, &start);
    if (a == nullptr) return true;  // memory we do not own (caller arrays, symbols)
    return reinterpret_cast<std::uintptr_t>(p) - start + count <= a->size;
}

cudaError_t allocate(void** ptr, std::size_t size, MemoryKind kind) {
    if (ptr == nullptr) return fail(cudaErrorInvalidValue);
    *ptr = nullptr;
    RuntimeState& s = runtime();
    for (int n = s.fail_next.load(); n > 0;) {
        if (s.fail_next.compare_exchange_weak(n, n - 1)) return fail(cudaErrorMemoryAllocation);
    }
    if (size == 0) return cudaSuccess;
    // Exactly `size` bytes (aligned_alloc would want a multiple of the alignment), so that a
    // memory checker sees the end of the buffer where the kernels' bounds are.
    void* p = nullptr;
    if (posix_memalign(&p, kAllocationAlignment, size) != 0) return fail(cudaErrorMemoryAllocation);
    if (kind == MemoryKind::Device) std::memset(p, kDevicePoison, size);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.allocations[reinterpret_cast<std::uintptr_t>(p)] = Allocation{size, current_device, kind};
    if (kind == MemoryKind::Device) {
        ++s.device_allocations;
        s.device_bytes += size;
    }
    *ptr = p;
    return cudaSuccess;
}

cudaError_t release(void* p, MemoryKind kind) {
    if (p == nullptr) return cudaSuccess;
    RuntimeState& s = runtime();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.allocations.find(reinterpret_cast<std::uintptr_t>(p));
        if (it == s.allocations.end() || it->second.kind != kind) return fail(cudaErrorInvalidValue);
        if (kind == MemoryKind::Device) {
            --s.device_allocations;
            s.device_bytes -= it->second.size;
        }
        s.allocations.erase(it);
    }
    std::free(p);
    return cudaSuccess;
}

bool valid_kind(cudaMemcpyKind kind) {
    switch (kind) {
    case cudaMemcpyHostToHost:
    case cudaMemcpyHostToDevice:
    case cudaMemcpyDeviceToHost:
    case cudaMemcpyDeviceToDevice:
    case cudaMemcpyDefault: return true;
    default: return false;
    }
}

cudaError_t copy(void* dst, void const* src, std::size_t count, cudaMemcpyKind kind) {
    if (!valid_kind(kind)) return fail(cudaErrorInvalidMemcpyDirection);
    if (count == 0) return cudaSuccess;
    if (dst == nullptr || src == nullptr) return fail(cudaErrorInvalidValue);
    RuntimeState& s = runtime();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!range_ok(s, dst, count) || !range_ok(s, src, count)) return fail(cudaErrorInvalidValue);
    }
    std::memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t fill(void* dst, int value, std::size_t count) {
    if (count == 0) return cudaSuccess;
    if (dst == nullptr) return fail(cudaErrorInvalidValue);
    RuntimeState& s = runtime();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!range_ok(s, dst, count)) return fail(cudaErrorInvalidValue);
    }
    std::memset(dst, value, count);
    return cudaSuccess;
}

cudaError_t check_event(cudaEvent_t event) {
    RuntimeState& s = runtime();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.events.count(event) != 0 ? cudaSuccess : cudaErrorInvalidResourceHandle;
}

std::size_t physical_memory() {
    long const pages = sysconf(_SC_PHYS_PAGES);
    long const page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<std::size_t>(pages) * static_cast<std::size_t>(page)
                                 : std::size_t{16} << 30;
}

void fill_properties(cudaDeviceProp& p, int device) {
    std::memset(&p, 0, sizeof p);
    std::snprintf(p.name, sizeof p.name, "gyrant host CPU %d", device);
    p.uuid.bytes[0] = static_cast<char>(device + 1);
    p.totalGlobalMem = physical_memory();
    p.sharedMemPerBlock = kMaxSharedPerBlock;
    p.regsPerBlock = 65536;
    p.warpSize = 32;
    p.memPitch = 2147483647;
    p.maxThreadsPerBlock = static_cast<int>(kMaxThreadsPerBlock);
    p.maxThreadsDim[0] = 1024;
    p.maxThreadsDim[1] = 1024;
    p.maxThreadsDim[2] = 64;
    p.maxGridSize[0] = 2147483647;
    p.maxGridSize[1] = 65535;
    p.maxGridSize[2] = 65535;
    p.totalConstMem = 65536;
    p.major = 9;
    p.minor = 0;
    p.textureAlignment = 512;
    p.texturePitchAlignment = 32;
    p.multiProcessorCount = worker_threads();
    p.concurrentKernels = 1;
    p.pciBusID = device;
    p.asyncEngineCount = 1;
    p.unifiedAddressing = 1;
    p.l2CacheSize = 1 << 20;
    p.maxThreadsPerMultiProcessor = static_cast<int>(kMaxThreadsPerBlock) * kBlocksPerMultiprocessor;
    p.sharedMemPerMultiprocessor = kMaxSharedPerBlock * kBlocksPerMultiprocessor;
    p.regsPerMultiprocessor = 65536;
    p.computePreemptionSupported = 1;
    p.cooperativeLaunch = 1;
    p.sharedMemPerBlockOptin = kMaxSharedPerBlock;
    p.maxBlocksPerMultiProcessor = kBlocksPerMultiprocessor;
    p.memoryPoolsSupported = 1;
    p.hostNumaId = -1;
}

}  // namespace

void fail_next_allocations(int n) { runtime().fail_next.store(n > 0 ? n : 0); }

std::size_t live_device_allocations() {
    RuntimeState& s = runtime();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.device_allocations;
}

std::size_t live_device_bytes() {
    RuntimeState& s = runtime();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.device_bytes;
}

namespace detail {

cudaError_t record_error(cudaError_t status) {
    if (status != cudaSuccess) last_error = status;
    return status;
}

cudaError_t check_stream(cudaStream_t stream) {
    if (stream == nullptr || stream == cudaStreamLegacy || stream == cudaStreamPerThread) return cudaSuccess;
    RuntimeState& s = runtime();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.streams.count(stream) != 0 ? cudaSuccess : cudaErrorInvalidResourceHandle;
}

// The launch wrapper names a cooperative launch here; the executor (or its stub) reports it.
namespace {
thread_local char const* next_kernel_name = nullptr;
}

void set_next_kernel_name(char const* name) { next_kernel_name = name; }

char const* take_next_kernel_name() {
    char const* name = next_kernel_name != nullptr ? next_kernel_name : "cooperative kernel";
    next_kernel_name = nullptr;
    return name;
}

}  // namespace detail
}  // namespace gyrant::host

using gyrant::host::fail;
using gyrant::host::runtime;

// ---- errors ------------------------------------------------------------------------------------

cudaError_t cudaGetLastError(void) {
    cudaError_t const e = gyrant::host::last_error;
    gyrant::host::last_error = cudaSuccess;
    return e;
}

cudaError_t cudaPeekAtLastError(void) { return gyrant::host::last_error; }

namespace {
struct ErrorText {
    cudaError_t code;
    char const* name;
    char const* text;
};
constexpr ErrorText kErrorTexts[] = {
    {cudaSuccess, "cudaSuccess", "no error"},
    {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
    {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
    {cudaErrorInitializationError, "cudaErrorInitializationError", "initialization error"},
    {cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration", "invalid configuration argument"},
    {cudaErrorInvalidSymbol, "cudaErrorInvalidSymbol", "invalid device symbol"},
    {cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection", "invalid copy direction for memcpy"},
    {cudaErrorInvalidDeviceFunction, "cudaErrorInvalidDeviceFunction", "invalid device function"},
    {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
    {cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
    {cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle", "invalid resource handle"},
    {cudaErrorNotReady, "cudaErrorNotReady", "device not ready"},
    {cudaErrorIllegalAddress, "cudaErrorIllegalAddress", "an illegal memory access was encountered"},
    {cudaErrorLaunchOutOfResources, "cudaErrorLaunchOutOfResources", "too many resources requested for launch"},
    {cudaErrorLaunchFailure, "cudaErrorLaunchFailure", "unspecified launch failure"},
    {cudaErrorCooperativeLaunchTooLarge, "cudaErrorCooperativeLaunchTooLarge",
     "too many blocks in cooperative launch"},
    {cudaErrorNotSupported, "cudaErrorNotSupported", "operation not supported"},
    {cudaErrorUnknown, "cudaErrorUnknown", "unknown error"},
};
ErrorText const* find_error(cudaError_t code) {
    for (auto const& e : kErrorTexts)
        if (e.code == code) return &e;
    return nullptr;
}
}  // namespace

char const* cudaGetErrorString(cudaError_t error) {
    ErrorText const* e = find_error(error);
    return e != nullptr ? e->text : "unrecognized error code";
}

char const* cudaGetErrorName(cudaError_t error) {
    ErrorText const* e = find_error(error);
    return e != nullptr ? e->name : "unrecognized error code";
}

// ---- devices -----------------------------------------------------------------------------------

cudaError_t cudaGetDeviceCount(int* count) {
    if (count == nullptr) return fail(cudaErrorInvalidValue);
    *count = gyrant::host::kDeviceCount;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    if (device == nullptr) return fail(cudaErrorInvalidValue);
    *device = gyrant::host::current_device;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    if (!gyrant::host::valid_device(device)) return fail(cudaErrorInvalidDevice);
    gyrant::host::current_device = device;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    if (prop == nullptr) return fail(cudaErrorInvalidValue);
    if (!gyrant::host::valid_device(device)) return fail(cudaErrorInvalidDevice);
    gyrant::host::fill_properties(*prop, device);
    return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
    if (value == nullptr) return fail(cudaErrorInvalidValue);
    if (!gyrant::host::valid_device(device)) return fail(cudaErrorInvalidDevice);
    cudaDeviceProp p;
    gyrant::host::fill_properties(p, device);
    switch (attr) {
    case cudaDevAttrMaxThreadsPerBlock: *value = p.maxThreadsPerBlock; break;
    case cudaDevAttrMaxBlockDimX: *value = p.maxThreadsDim[0]; break;
    case cudaDevAttrMaxBlockDimY: *value = p.maxThreadsDim[1]; break;
    case cudaDevAttrMaxBlockDimZ: *value = p.maxThreadsDim[2]; break;
    case cudaDevAttrMaxGridDimX: *value = p.maxGridSize[0]; break;
    case cudaDevAttrMaxGridDimY: *value = p.maxGridSize[1]; break;
    case cudaDevAttrMaxGridDimZ: *value = p.maxGridSize[2]; break;
    case cudaDevAttrMaxSharedMemoryPerBlock: *value = static_cast<int>(p.sharedMemPerBlock); break;
    case cudaDevAttrMaxSharedMemoryPerBlockOptin: *value = static_cast<int>(p.sharedMemPerBlockOptin); break;
    case cudaDevAttrMaxSharedMemoryPerMultiprocessor: *value = static_cast<int>(p.sharedMemPerMultiprocessor); break;
    case cudaDevAttrTotalConstantMemory: *value = static_cast<int>(p.totalConstMem); break;
    case cudaDevAttrWarpSize: *value = p.warpSize; break;
    case cudaDevAttrMaxRegistersPerBlock: *value = p.regsPerBlock; break;
    case cudaDevAttrMultiProcessorCount: *value = p.multiProcessorCount; break;
    case cudaDevAttrMaxThreadsPerMultiProcessor: *value = p.maxThreadsPerMultiProcessor; break;
    case cudaDevAttrMaxBlocksPerMultiprocessor: *value = p.maxBlocksPerMultiProcessor; break;
    case cudaDevAttrComputeCapabilityMajor: *value = p.major; break;
    case cudaDevAttrComputeCapabilityMinor: *value = p.minor; break;
    case cudaDevAttrCooperativeLaunch: *value = p.cooperativeLaunch; break;
    case cudaDevAttrConcurrentKernels: *value = p.concurrentKernels; break;
    case cudaDevAttrUnifiedAddressing: *value = p.unifiedAddressing; break;
    case cudaDevAttrMemoryPoolsSupported: *value = p.memoryPoolsSupported; break;
    case cudaDevAttrL2CacheSize: *value = p.l2CacheSize; break;
    case cudaDevAttrPciBusId: *value = p.pciBusID; break;
    case cudaDevAttrManagedMemory:
    case cudaDevAttrConcurrentManagedAccess:
    case cudaDevAttrPageableMemoryAccess:
    case cudaDevAttrIntegrated: *value = 0; break;
    default: return fail(cudaErrorInvalidValue);
    }
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize(void) { return cudaSuccess; }

cudaError_t cudaDriverGetVersion(int* version) {
    if (version == nullptr) return fail(cudaErrorInvalidValue);
    *version = CUDART_VERSION;
    return cudaSuccess;
}

cudaError_t cudaRuntimeGetVersion(int* version) {
    if (version == nullptr) return fail(cudaErrorInvalidValue);
    *version = CUDART_VERSION;
    return cudaSuccess;
}

cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes) {
    if (free_bytes == nullptr || total_bytes == nullptr) return fail(cudaErrorInvalidValue);
    *total_bytes = gyrant::host::physical_memory();
    long const pages = sysconf(_SC_AVPHYS_PAGES);
    long const page = sysconf(_SC_PAGESIZE);
    *free_bytes = pages > 0 && page > 0 ? static_cast<size_t>(pages) * static_cast<size_t>(page) : *total_bytes;
    return cudaSuccess;
}

// ---- streams and events ------------------------------------------------------------------------

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags) {
    if (stream == nullptr) return fail(cudaErrorInvalidValue);
    auto& s = runtime();
    auto* handle = reinterpret_cast<cudaStream_t>(new char);  // a unique, never-dereferenced address
    std::lock_guard<std::mutex> lock(s.mutex);
    s.streams[handle] = gyrant::host::Stream{gyrant::host::current_device, flags};
    *stream = handle;
    return cudaSuccess;
}

cudaError_t cudaStreamCreate(cudaStream_t* stream) { return cudaStreamCreateWithFlags(stream, cudaStreamDefault); }

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    auto& s = runtime();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.streams.erase(stream) == 0) return fail(cudaErrorInvalidResourceHandle);
    }
    delete reinterpret_cast<char*>(stream);
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    return fail(gyrant::host::detail::check_stream(stream));
}

cudaError_t cudaStreamQuery(cudaStream_t stream) { return fail(gyrant::host::detail::check_stream(stream)); }

cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int) {
    if (cudaError_t const e = gyrant::host::detail::check_stream(stream); e != cudaSuccess) return fail(e);
    return fail(gyrant::host::check_event(event));
}

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags) {
    if (event == nullptr) return fail(cudaErrorInvalidValue);
    auto& s = runtime();
    auto* handle = reinterpret_cast<cudaEvent_t>(new char);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.events[handle] = gyrant::host::Event{flags};
    *event = handle;
    return cudaSuccess;
}

cudaError_t cudaEventCreate(cudaEvent_t* event) { return cudaEventCreateWithFlags(event, cudaEventDefault); }

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    auto& s = runtime();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.events.erase(event) == 0) return fail(cudaErrorInvalidResourceHandle);
    }
    delete reinterpret_cast<char*>(event);
    return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    if (cudaError_t const e = gyrant::host::detail::check_stream(stream); e != cudaSuccess) return fail(e);
    auto& s = runtime();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.events.find(event);
    if (it == s.events.end()) return fail(cudaErrorInvalidResourceHandle);
    // Work before the record has already run: the event completes now.
    it->second.recorded = true;
    it->second.time = std::chrono::steady_clock::now();
    return cudaSuccess;
}

cudaError_t cudaEventQuery(cudaEvent_t event) { return fail(gyrant::host::check_event(event)); }

cudaError_t cudaEventSynchronize(cudaEvent_t event) { return fail(gyrant::host::check_event(event)); }

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    if (ms == nullptr) return fail(cudaErrorInvalidValue);
    auto& s = runtime();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto a = s.events.find(start);
    auto b = s.events.find(end);
    if (a == s.events.end() || b == s.events.end()) return fail(cudaErrorInvalidResourceHandle);
    if (!a->second.recorded || !b->second.recorded) return fail(cudaErrorInvalidResourceHandle);
    if ((a->second.flags | b->second.flags) & cudaEventDisableTiming) return fail(cudaErrorInvalidResourceHandle);
    *ms = std::chrono::duration<float, std::milli>(b->second.time - a->second.time).count();
    return cudaSuccess;
}

// ---- memory ------------------------------------------------------------------------------------

cudaError_t cudaMalloc(void** ptr, size_t size) {
    return gyrant::host::allocate(ptr, size, gyrant::host::MemoryKind::Device);
}

cudaError_t cudaFree(void* ptr) { return gyrant::host::release(ptr, gyrant::host::MemoryKind::Device); }

cudaError_t cudaMallocAsync(void** ptr, size_t size, cudaStream_t stream) {
    if (cudaError_t const e = gyrant::host::detail::check_stream(stream); e != cudaSuccess) {
        if (ptr != nullptr) *ptr = nullptr;
        return fail(e);
    }
    return gyrant::host::allocate(ptr, size, gyrant::host::MemoryKind::Device);
}

cudaError_t cudaFreeAsync(void* ptr, cudaStream_t stream) {
    if (cudaError_t const e = gyrant::host::detail::check_stream(stream); e != cudaSuccess) return fail(e);
    return gyrant::host::release(ptr, gyrant::host::MemoryKind::Device);
}

cudaError_t cudaMallocHost(void** ptr, size_t size) {
    return gyrant::host::allocate(ptr, size, gyrant::host::MemoryKind::Host);
}

cudaError_t cudaHostAlloc(void** ptr, size_t size, unsigned int) {
    return gyrant::host::allocate(ptr, size, gyrant::host::MemoryKind::Host);
}

cudaError_t cudaFreeHost(void* ptr) { return gyrant::host::release(ptr, gyrant::host::MemoryKind::Host); }

cudaError_t cudaPointerGetAttributes(cudaPointerAttributes* attributes, void const* ptr) {
    if (attributes == nullptr) return fail(cudaErrorInvalidValue);
    std::memset(attributes, 0, sizeof *attributes);
    auto& s = runtime();
    std::lock_guard<std::mutex> lock(s.mutex);
    gyrant::host::Allocation const* a = gyrant::host::find_containing(s, ptr, nullptr);
    if (a == nullptr) {
        attributes->type = cudaMemoryTypeUnregistered;
        attributes->device = cudaInvalidDeviceId;
        attributes->hostPointer = const_cast<void*>(ptr);
        return cudaSuccess;
    }
    attributes->device = a->device;
    attributes->devicePointer = const_cast<void*>(ptr);
    if (a->kind == gyrant::host::MemoryKind::Device) {
        attributes->type = cudaMemoryTypeDevice;
    } else {
        attributes->type = cudaMemoryTypeHost;
        attributes->hostPointer = const_cast<void*>(ptr);
    }
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, void const* src, size_t count, cudaMemcpyKind kind) {
    return gyrant::host::copy(dst, src, count, kind);
}

cudaError_t cudaMemcpyAsync(void* dst, void const* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
    if (cudaError_t const e = gyrant::host::detail::check_stream(stream); e != cudaSuccess) return fail(e);
    return gyrant::host::copy(dst, src, count, kind);
}

cudaError_t cudaMemset(void* dst, int value, size_t count) { return gyrant::host::fill(dst, value, count); }

cudaError_t cudaMemsetAsync(void* dst, int value, size_t count, cudaStream_t stream) {
    if (cudaError_t const e = gyrant::host::detail::check_stream(stream); e != cudaSuccess) return fail(e);
    return gyrant::host::fill(dst, value, count);
}

// A symbol is the host object itself in this flavour: the C API receives its address.
cudaError_t cudaMemcpyToSymbol(void const* symbol, void const* src, size_t count, size_t offset,
                               cudaMemcpyKind kind) {
    if (symbol == nullptr) return fail(cudaErrorInvalidSymbol);
    if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault)
        return fail(cudaErrorInvalidMemcpyDirection);
    return gyrant::host::copy(static_cast<char*>(const_cast<void*>(symbol)) + offset, src, count, kind);
}

cudaError_t cudaMemcpyToSymbolAsync(void const* symbol, void const* src, size_t count, size_t offset,
                                    cudaMemcpyKind kind, cudaStream_t stream) {
    if (cudaError_t const e = gyrant::host::detail::check_stream(stream); e != cudaSuccess) return fail(e);
    return cudaMemcpyToSymbol(symbol, src, count, offset, kind);
}

cudaError_t cudaMemcpyFromSymbol(void* dst, void const* symbol, size_t count, size_t offset, cudaMemcpyKind kind) {
    if (symbol == nullptr) return fail(cudaErrorInvalidSymbol);
    if (kind != cudaMemcpyDeviceToHost && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault)
        return fail(cudaErrorInvalidMemcpyDirection);
    return gyrant::host::copy(dst, static_cast<char const*>(symbol) + offset, count, kind);
}

cudaError_t cudaMemcpyFromSymbolAsync(void* dst, void const* symbol, size_t count, size_t offset,
                                      cudaMemcpyKind kind, cudaStream_t stream) {
    if (cudaError_t const e = gyrant::host::detail::check_stream(stream); e != cudaSuccess) return fail(e);
    return cudaMemcpyFromSymbol(dst, symbol, count, offset, kind);
}

cudaError_t cudaGetSymbolAddress(void** ptr, void const* symbol) {
    if (ptr == nullptr) return fail(cudaErrorInvalidValue);
    if (symbol == nullptr) return fail(cudaErrorInvalidSymbol);
    *ptr = const_cast<void*>(symbol);
    return cudaSuccess;
}

// ---- kernels -----------------------------------------------------------------------------------

cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(int* blocks, void const* func, int block_size,
                                                                   size_t dynamic_shared, unsigned int) {
    if (blocks == nullptr || block_size <= 0) return fail(cudaErrorInvalidValue);
    if (func == nullptr) return fail(cudaErrorInvalidDeviceFunction);
    bool const fits = static_cast<unsigned>(block_size) <= gyrant::host::kMaxThreadsPerBlock &&
                      dynamic_shared <= gyrant::host::kMaxSharedPerBlock;
    *blocks = fits ? gyrant::host::kBlocksPerMultiprocessor : 0;
    return cudaSuccess;
}

cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* blocks, void const* func, int block_size,
                                                          size_t dynamic_shared) {
    return cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(blocks, func, block_size, dynamic_shared,
                                                                  cudaOccupancyDefault);
}

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, void const* func) {
    if (attr == nullptr) return fail(cudaErrorInvalidValue);
    if (func == nullptr) return fail(cudaErrorInvalidDeviceFunction);
    std::memset(attr, 0, sizeof *attr);
    attr->maxThreadsPerBlock = static_cast<int>(gyrant::host::kMaxThreadsPerBlock);
    attr->numRegs = 32;
    attr->ptxVersion = 90;
    attr->binaryVersion = 90;
    attr->maxDynamicSharedSizeBytes = static_cast<int>(gyrant::host::kMaxSharedPerBlock);
    return cudaSuccess;
}

// Untyped launches cannot be run: the executor needs the kernel's parameter types, which
// GYRANT_LAUNCH and the typed cudaLaunchCooperativeKernel overload supply.
cudaError_t cudaLaunchKernel(void const*, dim3, dim3, void**, size_t, cudaStream_t) {
    return fail(cudaErrorInvalidDeviceFunction);
}

cudaError_t cudaLaunchCooperativeKernel(void const*, dim3, dim3, void**, size_t, cudaStream_t) {
    return fail(cudaErrorInvalidDeviceFunction);
}

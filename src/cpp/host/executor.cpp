// The host executor: runs kernel launches on the CPU.
//
// Blocks of an ordinary launch are spread over the launching thread and a pool of worker OS
// threads (one per reported multiprocessor in all); a cooperative launch gets one OS thread per block so that all its blocks are resident at once. The
// threads of a block are fibers (Boost.Context) on the OS thread that runs the block. A
// fiber runs until it exits, waits at a block barrier or waits in a warp collective, and
// then switches directly to the next ready fiber of its block. A collective completes when
// the last lane of its mask arrives; that lane computes every participant's result and the
// others run next, so a warp tends to stay together.
#include "platform.h"

#include <boost/context/detail/fcontext.hpp>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/flush_to_zero.h"
#include "host/runtime_state.h"

// Fiber switches are announced to the sanitizers, which otherwise take a jump to another stack
// for stack corruption (ASan) or lose track of who runs (TSan).
#if defined(__SANITIZE_ADDRESS__)
#define GYRANT_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define GYRANT_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GYRANT_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define GYRANT_TSAN 1
#endif
#endif
#if defined(GYRANT_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(GYRANT_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace gyrant::host {
namespace {

namespace bctx = boost::context::detail;

constexpr unsigned kWarpSize = 32;
constexpr unsigned kMaxWarps = kMaxThreadsPerBlock / kWarpSize;
//! Fiber stack: room for kernels with local arrays and for printf from device code.
constexpr std::size_t kStackSize = 256 * 1024;
//! Fresh dynamic shared memory holds this byte, so reads before writes give absurd values.
constexpr unsigned char kSharedPoison = 0xFE;

enum class FiberState : std::uint8_t { Ready, Running, AtBarrier, InCollective, Exited };

struct Fiber {
    bctx::fcontext_t ctx = nullptr;
    void* tsan_fiber = nullptr;  // TSan's context for this slot, kept across blocks
    uint3 tid{};
    unsigned index = 0;
    FiberState state = FiberState::Ready;
    bool started = false;
    // The warp collective this fiber waits in (valid while state == InCollective).
    detail::WarpOp op = detail::WarpOp::Sync;
    int width = 32;
    unsigned mask = 0;
    std::uint32_t arg = 0;
    std::uint64_t value = 0;
    std::uint64_t result = 0;
};

struct Warp {
    unsigned live = 0;     // lanes that exist and have not exited
    unsigned waiting = 0;  // lanes waiting in a collective
};

char const* op_name(detail::WarpOp op) {
    using detail::WarpOp;
    switch (op) {
    case WarpOp::Sync: return "__syncwarp";
    case WarpOp::ShflIdx: return "__shfl_sync";
    case WarpOp::ShflUp: return "__shfl_up_sync";
    case WarpOp::ShflDown: return "__shfl_down_sync";
    case WarpOp::ShflXor: return "__shfl_xor_sync";
    case WarpOp::Ballot: return "__ballot_sync";
    case WarpOp::Any: return "__any_sync";
    case WarpOp::All: return "__all_sync";
    case WarpOp::ReduceAddU: return "__reduce_add_sync";
    case WarpOp::ReduceMinU:
    case WarpOp::ReduceMinI: return "__reduce_min_sync";
    case WarpOp::ReduceMaxU:
    case WarpOp::ReduceMaxI: return "__reduce_max_sync";
    case WarpOp::ReduceAnd: return "__reduce_and_sync";
    case WarpOp::ReduceOr: return "__reduce_or_sync";
    case WarpOp::ReduceXor: return "__reduce_xor_sync";
    }
    return "a warp collective";
}

struct LaunchState;
[[noreturn]] void fault(char const* fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- grid barrier of a cooperative launch ----------------------------------------------------

class GridBarrier {
public:
    explicit GridBarrier(std::uint64_t blocks) : total_(blocks) {}

    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (finished_ > 0)
            fault("grid barrier can never complete: %llu block(s) of the grid have already exited",
                  static_cast<unsigned long long>(finished_));
        std::uint64_t const generation = generation_;
        if (++arrived_ == total_) {
            arrived_ = 0;
            ++generation_;
            cv_.notify_all();
            return;
        }
        cv_.wait(lock, [&] { return generation_ != generation; });
    }

    void block_finished() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++finished_;
        if (arrived_ > 0)
            fault("block exited while %llu block(s) wait at a grid barrier, which can never complete",
                  static_cast<unsigned long long>(arrived_));
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::uint64_t const total_;
    std::uint64_t arrived_ = 0;
    std::uint64_t generation_ = 0;
    std::uint64_t finished_ = 0;
};

// ---- schedule fuzzing ---------------------------------------------------------------------------

std::uint64_t mix(std::uint64_t x) {  // splitmix64's finaliser
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

//! A seeded permutation of [0, n): a four-round Feistel network over the smallest even number
//! of bits that covers n, walked until it lands inside the range.
class BlockOrder {
public:
    BlockOrder() = default;
    BlockOrder(std::uint64_t n, std::uint64_t seed) : n_(n), shuffled_(seed != 0) {
        if (!shuffled_) return;
        unsigned bits = 2;
        while (bits < 64 && (std::uint64_t{1} << bits) < n) bits += 2;
        half_ = bits / 2;
        mask_ = (std::uint64_t{1} << half_) - 1;
        for (auto& k : keys_) k = seed = mix(seed);
    }
    std::uint64_t operator()(std::uint64_t i) const {
        if (!shuffled_) return i;
        do {
            std::uint64_t l = i >> half_;
            std::uint64_t r = i & mask_;
            for (std::uint64_t const k : keys_) {
                std::uint64_t const next = l ^ (mix(r ^ k) & mask_);
                l = r;
                r = next;
            }
            i = (l << half_) | r;
        } while (i >= n_);
        return i;
    }

private:
    std::uint64_t n_ = 0;
    bool shuffled_ = false;
    unsigned half_ = 0;
    std::uint64_t mask_ = 0;
    std::uint64_t keys_[4] = {};
};

struct LaunchState {
    detail::KernelLaunch const* kernel = nullptr;
    bool cooperative = false;
    unsigned threads_per_block = 0;
    std::uint64_t blocks = 0;
    std::atomic<std::uint64_t> next_block{0};
    GridBarrier* grid = nullptr;
    std::uint64_t seed = 0;  // schedule fuzzing for this launch; 0: fixed order
    BlockOrder order;
    int helpers = 0;                  // pool threads allowed to take blocks
    std::atomic<int> helpers_joined{0};
};

// ---- fiber stacks ------------------------------------------------------------------------------

//! Stacks for the fibers of one block, reserved once and reused by every block the owning
//! OS thread runs. Each stack has a guard page below it; pages are committed on first touch.
class StackSet {
public:
    StackSet() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        slot_ = kStackSize + page_;
        void* p = mmap(nullptr, slot_ * kMaxThreadsPerBlock, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) {
            std::fprintf(stderr, "gyrant host executor: cannot reserve fiber stacks\n");
            std::abort();
        }
        base_ = static_cast<unsigned char*>(p);
    }
    StackSet(StackSet const&) = delete;
    StackSet& operator=(StackSet const&) = delete;
    ~StackSet() { munmap(base_, slot_ * kMaxThreadsPerBlock); }

    //! Makes the first n stacks usable.
    void prepare(unsigned n) {
        for (; prepared_ < n; ++prepared_) {
            if (mprotect(base_ + prepared_ * slot_ + page_, kStackSize, PROT_READ | PROT_WRITE) != 0) {
                std::fprintf(stderr, "gyrant host executor: cannot commit fiber stacks\n");
                std::abort();
            }
        }
    }
    //! Top (highest address) of stack i; stacks grow down towards their guard page.
    void* top(unsigned i) const { return base_ + (i + 1) * slot_; }

private:
    unsigned char* base_ = nullptr;
    std::size_t page_ = 0;
    std::size_t slot_ = 0;
    unsigned prepared_ = 0;
};

//! Stack sets outlive the OS threads that borrow them (cooperative launches start new ones).
class StackPool {
public:
    std::unique_ptr<StackSet> acquire() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!free_.empty()) {
                auto s = std::move(free_.back());
                free_.pop_back();
                return s;
            }
        }
        return std::make_unique<StackSet>();
    }
    void release(std::unique_ptr<StackSet> s) {
        std::lock_guard<std::mutex> lock(mutex);
        free_.push_back(std::move(s));
    }
    std::mutex mutex;

private:
    std::vector<std::unique_ptr<StackSet>> free_;
};

StackPool& stack_pool() {
    static auto* pool = new StackPool;  // never destroyed: threads may still return sets at exit
    return *pool;
}

// ---- the per-OS-thread block runner ------------------------------------------------------------

void fiber_main(bctx::transfer_t t);

class Runner {
public:
    Runner() : stacks_(stack_pool().acquire()), fibers_(kMaxThreadsPerBlock), ready_(kMaxThreadsPerBlock) {
        shared_ = static_cast<unsigned char*>(std::aligned_alloc(128, kMaxSharedPerBlock));
        if (shared_ == nullptr) {
            std::fprintf(stderr, "gyrant host executor: cannot allocate shared memory\n");
            std::abort();
        }
    }
    ~Runner() {
#if defined(GYRANT_TSAN)
        for (Fiber& f : fibers_)
            if (f.tsan_fiber != nullptr) __tsan_destroy_fiber(f.tsan_fiber);
#endif
#if defined(GYRANT_ASAN)
        ASAN_UNPOISON_MEMORY_REGION(shared_, kMaxSharedPerBlock);
#endif
        std::free(shared_);
        stack_pool().release(std::move(stacks_));
    }

    void run_block(LaunchState& launch, std::uint64_t linear_block);

    // Called from fibers of the running block.
    std::uint64_t collective(detail::WarpOp op, unsigned mask, std::uint64_t value, std::uint32_t arg,
                             int width);
    int barrier(detail::BarrierOp op, int predicate, bool grid);
    unsigned live_lanes() const { return warps_[current_->index / kWarpSize].live; }
    [[noreturn]] void exit_current();
    void* shared() const { return shared_; }

    LaunchState* launch() const { return launch_; }
    Fiber* current() const { return current_; }

private:
    void switch_to(Fiber* to, bctx::fcontext_t* save);
    void wait_current();
    [[noreturn]] void report_deadlock();
    void complete_collective(unsigned base, unsigned mask, Fiber* self);

    void push_back(unsigned i) {
        unsigned slot = head_ + size_++;
        if (slot >= threads_) slot -= threads_;
        ready_[slot] = i;
    }
    void push_front(unsigned i) {
        head_ = head_ == 0 ? threads_ - 1 : head_ - 1;
        ready_[head_] = i;
        ++size_;
    }
    Fiber* pop_front() {
        if (size_ == 0) return nullptr;
        if (fuzz_ && size_ > 1) {
            // Fuzzing: any ready thread may run next.
            rng_ = mix(rng_);
            unsigned slot = head_ + static_cast<unsigned>(rng_ % size_);
            if (slot >= threads_) slot -= threads_;
            std::swap(ready_[head_], ready_[slot]);
        }
        Fiber* f = &fibers_[ready_[head_]];
        if (++head_ == threads_) head_ = 0;
        --size_;
        return f;
    }

    void announce_switch(Fiber const* to, void** fake_stack_save);
    static void announce_arrival(void* fake_stack);
    void yield_current();

    std::unique_ptr<StackSet> stacks_;
    std::vector<Fiber> fibers_;
    Warp warps_[kMaxWarps];
    std::vector<unsigned> ready_;  // ring of ready fibers: head_, size_
    unsigned head_ = 0;
    unsigned size_ = 0;
    unsigned threads_ = 0;
    unsigned exited_ = 0;
    unsigned at_barrier_ = 0;
    bool barrier_is_grid_ = false;
    unsigned barrier_true_ = 0;    // predicates that held, for the barrier being filled
    unsigned barrier_result_ = 0;  // ... and for the one that completed last
    unsigned char* shared_ = nullptr;
    LaunchState* launch_ = nullptr;
    Fiber* current_ = nullptr;
    bctx::fcontext_t main_ctx_ = nullptr;
    bctx::fcontext_t dead_ctx_ = nullptr;
    bool fuzz_ = false;      // the running block's threads run in a random order
    std::uint64_t rng_ = 0;  // ... drawn from here

public:
    // The OS thread's own stack and TSan context, where the block runner waits for its fibers.
    bool entering_from_main_ = false;
    void const* main_stack_bottom_ = nullptr;
    std::size_t main_stack_size_ = 0;
    void* main_tsan_fiber_ = nullptr;
};

thread_local Runner* tls_runner = nullptr;
thread_local std::unique_ptr<Runner> tls_runner_holder;

Runner& runner() {
    if (tls_runner == nullptr) {
        tls_runner_holder = std::make_unique<Runner>();
        tls_runner = tls_runner_holder.get();
    }
    return *tls_runner;
}

[[noreturn]] void vfault(char const* fmt, va_list args) {
    char what[768];
    std::vsnprintf(what, sizeof what, fmt, args);
    Runner const* r = tls_runner;
    if (r != nullptr && r->launch() != nullptr) {
        Fiber const* f = r->current();
        if (f != nullptr) {
            std::fprintf(stderr,
                         "gyrant host executor: kernel '%s', block (%u,%u,%u), thread (%u,%u,%u): %s\n",
                         r->launch()->kernel->name, blockIdx.x, blockIdx.y, blockIdx.z, f->tid.x, f->tid.y,
                         f->tid.z, what);
        } else {
            std::fprintf(stderr, "gyrant host executor: kernel '%s', block (%u,%u,%u): %s\n",
                         r->launch()->kernel->name, blockIdx.x, blockIdx.y, blockIdx.z, what);
        }
    } else {
        std::fprintf(stderr, "gyrant host executor: %s\n", what);
    }
    std::fflush(stderr);
    std::abort();
}

void fault(char const* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vfault(fmt, args);
}


//! Tells the sanitizers that the calling context leaves for `to` (null: the block runner's own
//! stack). A context that never comes back passes a null fake_stack_save.
void Runner::announce_switch([[maybe_unused]] Fiber const* to, [[maybe_unused]] void** fake_stack_save) {
#if defined(GYRANT_ASAN)
    if (to != nullptr)
        __sanitizer_start_switch_fiber(fake_stack_save,
                                       static_cast<unsigned char*>(stacks_->top(to->index)) - kStackSize,
                                       kStackSize);
    else
        __sanitizer_start_switch_fiber(fake_stack_save, main_stack_bottom_, main_stack_size_);
#endif
#if defined(GYRANT_TSAN)
    __tsan_switch_to_fiber(to != nullptr ? to->tsan_fiber : main_tsan_fiber_, 0);
#endif
}

//! Tells ASan that a context it was told about is running again.
void Runner::announce_arrival([[maybe_unused]] void* fake_stack) {
#if defined(GYRANT_ASAN)
    __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#endif
}

void Runner::switch_to(Fiber* to, bctx::fcontext_t* save) {
    current_ = to;
    threadIdx = to->tid;
    to->state = FiberState::Running;
    if (!to->started) {
        to->started = true;
        void* const top = stacks_->top(to->index);
#if defined(GYRANT_ASAN)
        // The stack's previous fiber left without returning: its frames' redzones are stale.
        ASAN_UNPOISON_MEMORY_REGION(static_cast<unsigned char*>(top) - kStackSize, kStackSize);
#endif
#if defined(GYRANT_TSAN)
        if (to->tsan_fiber == nullptr) to->tsan_fiber = __tsan_create_fiber(0);
#endif
        to->ctx = bctx::make_fcontext(top, kStackSize, &fiber_main);
    }
    // A fiber that has exited never comes back: ASan may drop its fake stack.
    void* fake_stack = nullptr;
    announce_switch(to, save == &dead_ctx_ ? nullptr : &fake_stack);
    bctx::transfer_t const t = bctx::jump_fcontext(to->ctx, save);
    announce_arrival(fake_stack);
    // Resumed: remember where the fiber that switched here stopped.
    *static_cast<bctx::fcontext_t*>(t.data) = t.fctx;
}

//! Fuzzing: the running fiber steps back into the ready set and a random ready fiber (maybe
//! itself) runs next.
void Runner::yield_current() {
    Fiber* self = current_;
    self->state = FiberState::Ready;
    push_back(self->index);
    Fiber* next = pop_front();
    if (next == self) {
        self->state = FiberState::Running;
        return;
    }
    switch_to(next, &self->ctx);
}

void Runner::run_block(LaunchState& launch, std::uint64_t linear_block) {
    detail::KernelLaunch const& k = *launch.kernel;
    std::uint64_t const gxy = static_cast<std::uint64_t>(k.grid.x) * k.grid.y;
    blockIdx = uint3{static_cast<unsigned>(linear_block % k.grid.x),
                     static_cast<unsigned>((linear_block / k.grid.x) % k.grid.y),
                     static_cast<unsigned>(linear_block / gxy)};
    blockDim = k.block;
    gridDim = k.grid;
    launch_ = &launch;

    unsigned const n = launch.threads_per_block;
    stacks_->prepare(n);
    threads_ = n;
    exited_ = 0;
    at_barrier_ = 0;
    barrier_true_ = 0;
    head_ = 0;
    size_ = 0;
    unsigned const bx = k.block.x;
    unsigned const bxy = k.block.x * k.block.y;
    for (unsigned i = 0; i < n; ++i) {
        Fiber& f = fibers_[i];
        f.index = i;
        f.tid = uint3{i % bx, (i / bx) % k.block.y, i / bxy};
        f.state = FiberState::Ready;
        f.started = false;
        push_back(i);
    }
    for (unsigned w = 0; w * kWarpSize < n; ++w) {
        unsigned const lanes = std::min(kWarpSize, n - w * kWarpSize);
        warps_[w].live = lanes == kWarpSize ? 0xffffffffu : (1u << lanes) - 1u;
        warps_[w].waiting = 0;
    }
#if defined(GYRANT_ASAN)
    // Dynamic shared memory past the launch's size is out of bounds, as on the device.
    ASAN_UNPOISON_MEMORY_REGION(shared_, k.shared_bytes);
    ASAN_POISON_MEMORY_REGION(shared_ + k.shared_bytes, kMaxSharedPerBlock - k.shared_bytes);
#endif
    if (k.shared_bytes > 0) std::memset(shared_, kSharedPoison, k.shared_bytes);
    fuzz_ = launch.seed != 0;
    rng_ = mix(launch.seed ^ mix(linear_block));
#if defined(GYRANT_TSAN)
    main_tsan_fiber_ = __tsan_get_current_fiber();
#endif

    entering_from_main_ = true;
    switch_to(pop_front(), &main_ctx_);
    // Every thread of the block has exited.
    current_ = nullptr;
    if (launch.grid != nullptr) launch.grid->block_finished();
    launch_ = nullptr;
}

void Runner::wait_current() {
    Fiber* self = current_;
    Fiber* next = pop_front();
    if (next == nullptr) report_deadlock();
    switch_to(next, &self->ctx);
}

void Runner::exit_current() {
    Fiber* f = current_;
    f->state = FiberState::Exited;
    ++exited_;
    unsigned const lane = f->index % kWarpSize;
    unsigned const base = f->index - lane;
    Warp& w = warps_[f->index / kWarpSize];
    w.live &= ~(1u << lane);
    if (at_barrier_ > 0)
        fault("thread exited while %u thread(s) of its block wait at a block barrier, "
              "which can never complete",
              at_barrier_);
    for (unsigned waiting = w.waiting; waiting != 0; waiting &= waiting - 1) {
        Fiber const& other = fibers_[base + static_cast<unsigned>(std::countr_zero(waiting))];
        if (other.mask & (1u << lane))
            fault("lane %u exited while lane %u of its warp waits for it in %s with mask 0x%08x", lane,
                  other.index % kWarpSize, op_name(other.op), other.mask);
    }
    if (Fiber* next = pop_front()) {
        switch_to(next, &dead_ctx_);
    } else if (exited_ == threads_) {
        current_ = nullptr;
        announce_switch(nullptr, nullptr);
        bctx::jump_fcontext(main_ctx_, &dead_ctx_);
    } else {
        report_deadlock();
    }
    __builtin_unreachable();
}

void Runner::report_deadlock() {
    unsigned barrier = 0;
    unsigned collective = 0;
    Fiber const* example = nullptr;
    for (unsigned i = 0; i < threads_; ++i) {
        Fiber const& f = fibers_[i];
        if (f.state == FiberState::AtBarrier) ++barrier;
        if (f.state == FiberState::InCollective) {
            ++collective;
            if (example == nullptr) example = &f;
        }
    }
    current_ = nullptr;
    if (example != nullptr)
        fault("deadlock: no thread of the block can proceed (%u at a block barrier, %u in warp "
              "collectives, %u exited); thread (%u,%u,%u) waits in %s with mask 0x%08x",
              barrier, collective, exited_, example->tid.x, example->tid.y, example->tid.z,
              op_name(example->op), example->mask);
    fault("deadlock: no thread of the block can proceed (%u at a block barrier, %u exited); "
          "the barrier can never complete",
          barrier, exited_);
}

std::uint64_t Runner::collective(detail::WarpOp op, unsigned mask, std::uint64_t value, std::uint32_t arg,
                                 int width) {
    Fiber* self = current_;
    unsigned const lane = self->index % kWarpSize;
    unsigned const base = self->index - lane;
    Warp& w = warps_[self->index / kWarpSize];
    unsigned const bit = 1u << lane;
    if ((mask & bit) == 0) fault("%s: the calling lane %u is not in mask 0x%08x", op_name(op), lane, mask);
    if (unsigned const gone = mask & ~w.live; gone != 0) {
        unsigned const missing = static_cast<unsigned>(std::countr_zero(gone));
        if (base + missing < threads_)
            fault("%s with mask 0x%08x names lane %u, which has exited", op_name(op), mask, missing);
        fault("%s with mask 0x%08x names lane %u, which does not exist (block of %u threads)", op_name(op),
              mask, missing, threads_);
    }
    if (width < 1 || width > static_cast<int>(kWarpSize) || (width & (width - 1)) != 0)
        fault("%s: width %d is not a power of two in [1, 32]", op_name(op), width);
    self->op = op;
    self->mask = mask;
    self->value = value;
    self->arg = arg;
    self->width = width;
    w.waiting |= bit;
    if ((w.waiting & mask) == mask) {
        complete_collective(base, mask, self);
        if (fuzz_) yield_current();  // the last lane to arrive need not run on first
        return self->result;
    }
    self->state = FiberState::InCollective;
    wait_current();
    return self->result;
}

void Runner::complete_collective(unsigned base, unsigned mask, Fiber* self) {
    using detail::WarpOp;
    WarpOp const op = self->op;
    for (unsigned m = mask; m != 0; m &= m - 1) {
        Fiber const& f = fibers_[base + static_cast<unsigned>(std::countr_zero(m))];
        if (f.op != op || f.mask != mask)
            fault("lanes of a warp disagree: lane %u is in %s with mask 0x%08x, lane %u in %s with mask 0x%08x",
                  self->index % kWarpSize, op_name(op), mask, f.index % kWarpSize, op_name(f.op), f.mask);
    }
    switch (op) {
    case WarpOp::Sync:
        break;
    case WarpOp::Ballot:
    case WarpOp::Any:
    case WarpOp::All: {
        unsigned ballot = 0;
        for (unsigned m = mask; m != 0; m &= m - 1) {
            unsigned const l = static_cast<unsigned>(std::countr_zero(m));
            if (fibers_[base + l].value != 0) ballot |= 1u << l;
        }
        std::uint64_t const r = op == WarpOp::Ballot ? ballot
                                : op == WarpOp::Any  ? (ballot != 0 ? 1u : 0u)
                                                     : (ballot == mask ? 1u : 0u);
        for (unsigned m = mask; m != 0; m &= m - 1) fibers_[base + std::countr_zero(m)].result = r;
        break;
    }
    case WarpOp::ReduceAddU:
    case WarpOp::ReduceMinU:
    case WarpOp::ReduceMaxU:
    case WarpOp::ReduceMinI:
    case WarpOp::ReduceMaxI:
    case WarpOp::ReduceAnd:
    case WarpOp::ReduceOr:
    case WarpOp::ReduceXor: {
        bool first = true;
        std::uint32_t acc = 0;
        for (unsigned m = mask; m != 0; m &= m - 1) {
            auto const v = static_cast<std::uint32_t>(fibers_[base + std::countr_zero(m)].value);
            if (first) {
                acc = v;
                first = false;
                continue;
            }
            switch (op) {
            case WarpOp::ReduceAddU: acc += v; break;
            case WarpOp::ReduceMinU: acc = std::min(acc, v); break;
            case WarpOp::ReduceMaxU: acc = std::max(acc, v); break;
            case WarpOp::ReduceMinI:
                acc = static_cast<std::uint32_t>(std::min(static_cast<std::int32_t>(acc), static_cast<std::int32_t>(v)));
                break;
            case WarpOp::ReduceMaxI:
                acc = static_cast<std::uint32_t>(std::max(static_cast<std::int32_t>(acc), static_cast<std::int32_t>(v)));
                break;
            case WarpOp::ReduceAnd: acc &= v; break;
            case WarpOp::ReduceOr: acc |= v; break;
            default: acc ^= v; break;
            }
        }
        for (unsigned m = mask; m != 0; m &= m - 1) fibers_[base + std::countr_zero(m)].result = acc;
        break;
    }
    case WarpOp::ShflIdx:
    case WarpOp::ShflUp:
    case WarpOp::ShflDown:
    case WarpOp::ShflXor:
        // Source lanes as the PTX shfl.sync instruction defines them for CUDA's clamp values.
        for (unsigned m = mask; m != 0; m &= m - 1) {
            unsigned const l = static_cast<unsigned>(std::countr_zero(m));
            Fiber& f = fibers_[base + l];
            auto const width = static_cast<unsigned>(f.width);
            std::int64_t const first = l & ~(width - 1);
            std::int64_t const last = first + width - 1;
            std::int64_t src = 0;
            bool valid = true;
            switch (op) {
            case WarpOp::ShflIdx: src = first + (f.arg & (width - 1)); break;
            case WarpOp::ShflUp:
                src = static_cast<std::int64_t>(l) - f.arg;
                valid = src >= first;
                break;
            case WarpOp::ShflDown:
                src = static_cast<std::int64_t>(l) + f.arg;
                valid = src <= last;
                break;
            default:
                src = static_cast<std::int64_t>(l ^ f.arg);
                valid = src <= last;
                break;
            }
            // A source outside the segment, or one that does not take part, yields the
            // lane's own value (the device gives an unspecified value for the latter).
            if (valid && ((mask >> src) & 1u))
                f.result = fibers_[base + static_cast<unsigned>(src)].value;
            else
                f.result = f.value;
        }
        break;
    }
    Warp& w = warps_[self->index / kWarpSize];
    w.waiting &= ~mask;
    // The other participants run next, lowest lane first, so the warp stays together.
    for (unsigned m = mask & ~(1u << (self->index % kWarpSize)); m != 0;) {
        unsigned const l = 31u - static_cast<unsigned>(std::countl_zero(m));
        m &= ~(1u << l);
        Fiber& f = fibers_[base + l];
        f.state = FiberState::Ready;
        push_front(base + l);
    }
}

int Runner::barrier(detail::BarrierOp op, int predicate, bool grid) {
    Fiber* self = current_;
    if (exited_ > 0)
        fault("%s after %u thread(s) of the block exited: the barrier can never complete",
              grid ? "grid barrier" : "__syncthreads", exited_);
    if (at_barrier_ == 0) {
        barrier_is_grid_ = grid;
        barrier_true_ = 0;
    } else if (barrier_is_grid_ != grid) {
        fault("threads of the block wait at different barriers (a grid barrier and __syncthreads)");
    }
    if (predicate != 0) ++barrier_true_;
    if (++at_barrier_ == threads_) {
        at_barrier_ = 0;
        barrier_result_ = barrier_true_;
        if (grid) {
            std::atomic_thread_fence(std::memory_order_seq_cst);
            launch_->grid->wait();
            std::atomic_thread_fence(std::memory_order_seq_cst);
        }
        for (unsigned i = 0; i < threads_; ++i) {
            if (fibers_[i].state == FiberState::AtBarrier) {
                fibers_[i].state = FiberState::Ready;
                push_back(i);
            }
        }
        if (fuzz_) yield_current();
    } else {
        self->state = FiberState::AtBarrier;
        wait_current();
    }
    switch (op) {
    case detail::BarrierOp::Count: return static_cast<int>(barrier_result_);
    case detail::BarrierOp::And: return barrier_result_ == threads_ ? 1 : 0;
    case detail::BarrierOp::Or: return barrier_result_ != 0 ? 1 : 0;
    default: return 0;
    }
}

void fiber_main(bctx::transfer_t t) {
    Runner& r = *tls_runner;
#if defined(GYRANT_ASAN)
    void const* from_bottom = nullptr;
    std::size_t from_size = 0;
    __sanitizer_finish_switch_fiber(nullptr, &from_bottom, &from_size);
    if (r.entering_from_main_) {
        r.main_stack_bottom_ = from_bottom;
        r.main_stack_size_ = from_size;
    }
#endif
    r.entering_from_main_ = false;
    *static_cast<bctx::fcontext_t*>(t.data) = t.fctx;
    try {
        detail::KernelLaunch const& k = *r.launch()->kernel;
        k.run(k.closure);
    } catch (...) {
        fault("a C++ exception escaped the kernel");
    }
    r.exit_current();
}

Runner& kernel_runner(char const* what) {
    Runner* r = tls_runner;
    if (r == nullptr || r->current() == nullptr) fault("%s called outside a kernel", what);
    return *r;
}

void run_blocks(LaunchState& launch) {
    FlushToZero ftz;
    Runner& r = runner();
    std::uint64_t rng = launch.seed;
    for (;;) {
        std::uint64_t const b = launch.next_block.fetch_add(1, std::memory_order_relaxed);
        if (b >= launch.blocks) break;
        r.run_block(launch, launch.order(b));
        if (rng != 0 && (rng = mix(rng)) % 4 == 0) std::this_thread::yield();  // vary the interleaving
    }
}

// ---- worker pool -------------------------------------------------------------------------------

//! The OS threads of ordinary launches: the launching thread plus workers - 1 pool threads,
//! so that as many blocks run at once as there are reported multiprocessors. The launching
//! thread takes blocks too and waits only for pool threads that actually joined the launch,
//! so a small launch costs no wake-up round trip.
class WorkerPool {
public:
    explicit WorkerPool(int workers) {
        int const helpers = std::max(0, workers - 1);
        threads_.reserve(static_cast<std::size_t>(helpers));
        for (int i = 0; i < helpers; ++i) threads_.emplace_back([this] { loop(); });
    }
    WorkerPool(WorkerPool const&) = delete;
    WorkerPool& operator=(WorkerPool const&) = delete;
    ~WorkerPool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_) t.join();
    }

    int helpers() const { return static_cast<int>(threads_.size()); }

    //! Runs every block of the launch and returns when all are done.
    void run(LaunchState& launch) {
        if (!threads_.empty()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                job_ = &launch;
                ++generation_;
            }
            wake_.notify_all();
        }
        run_blocks(launch);
        if (!threads_.empty()) {
            std::unique_lock<std::mutex> lock(mutex_);
            job_ = nullptr;  // pool threads that wake from now on skip this launch
            done_.wait(lock, [&] { return inside_ == 0; });
        }
    }

private:
    void loop() {
        std::uint64_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || (job_ != nullptr && generation_ != seen); });
            if (stop_) return;
            seen = generation_;
            LaunchState* job = job_;
            // Fuzzing lets only some pool threads take part.
            if (job->helpers_joined.fetch_add(1) >= job->helpers) continue;
            ++inside_;
            lock.unlock();
            run_blocks(*job);
            lock.lock();
            if (--inside_ == 0) done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    LaunchState* job_ = nullptr;
    std::uint64_t generation_ = 0;
    int inside_ = 0;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

int default_worker_threads() { return std::max(1, static_cast<int>(std::thread::hardware_concurrency())); }

struct ExecutorState {
    std::mutex launch_mutex;  // one launch at a time: the pool serves one job
    std::atomic<int> workers{default_worker_threads()};
    WorkerPool* pool = nullptr;
    std::atomic<std::uint64_t> seed{0};  // schedule fuzzing; 0: fixed order
    std::uint64_t launches = 0;          // launches since the seed was set
};

//! OS threads of the pool: the reported multiprocessors, or at least 4 while fuzzing, so that
//! the number taking part can vary.
int pool_threads(ExecutorState const& s) {
    int const workers = s.workers.load();
    return s.seed.load() != 0 ? std::max(workers, 4) : workers;
}

void fork_prepare();
void fork_parent();
void fork_child();

ExecutorState& executor() {
    // Never destroyed: idle workers may still wait on the pool when the process exits.
    static ExecutorState* state = [] {
        auto* s = new ExecutorState;
        pthread_atfork(&fork_prepare, &fork_parent, &fork_child);
        return s;
    }();
    return *state;
}

// A forked child has none of the parent's worker threads: it starts a fresh pool.
void fork_prepare() {
    executor().launch_mutex.lock();
    stack_pool().mutex.lock();
}
void fork_parent() {
    stack_pool().mutex.unlock();
    executor().launch_mutex.unlock();
}
void fork_child() {
    stack_pool().mutex.unlock();
    executor().pool = nullptr;  // its threads do not exist here; the object is abandoned
    executor().launch_mutex.unlock();
}

cudaError_t run_cooperative(LaunchState& launch) {
    GridBarrier grid(launch.blocks);
    launch.grid = &grid;
    std::mutex start_mutex;
    std::condition_variable start_cv;
    bool start = false;
    bool cancelled = false;
    std::vector<std::thread> threads;
    threads.reserve(launch.blocks);
    auto body = [&](std::uint64_t b) {
        {
            std::unique_lock<std::mutex> lock(start_mutex);
            start_cv.wait(lock, [&] { return start; });
            if (cancelled) return;
        }
        // Fuzzing: blocks start in a varying order.
        std::uint64_t const yields = launch.seed != 0 ? mix(launch.seed ^ b) % 4 : 0;
        for (std::uint64_t y = 0; y < yields; ++y) std::this_thread::yield();
        FlushToZero ftz;
        runner().run_block(launch, b);
    };
    // Every block must get its thread before any runs, or grid barriers could never complete.
    try {
        for (std::uint64_t b = 0; b < launch.blocks; ++b) threads.emplace_back(body, b);
    } catch (std::system_error const&) {
        cancelled = true;
    }
    {
        std::lock_guard<std::mutex> lock(start_mutex);
        start = true;
    }
    start_cv.notify_all();
    for (auto& t : threads) t.join();
    return cancelled ? cudaErrorLaunchOutOfResources : cudaSuccess;
}

}  // namespace

int worker_threads() { return executor().workers.load(); }

void set_worker_threads(int n) {
    ExecutorState& s = executor();
    std::lock_guard<std::mutex> lock(s.launch_mutex);
    int const workers = n < 1 ? default_worker_threads() : n;
    if (workers == s.workers) return;
    delete s.pool;
    s.pool = nullptr;
    s.workers = workers;
}

void set_schedule_seed(std::uint64_t seed) {
    ExecutorState& s = executor();
    std::lock_guard<std::mutex> lock(s.launch_mutex);
    if ((seed != 0) != (s.seed.load() != 0)) {  // the pool's size changes
        delete s.pool;
        s.pool = nullptr;
    }
    s.seed = seed;
    s.launches = 0;
}

std::uint64_t schedule_seed() { return executor().seed.load(); }

namespace detail {

cudaError_t execute(KernelLaunch const& k, bool cooperative) {
    if (tls_runner != nullptr && tls_runner->current() != nullptr)
        fault("kernel '%s' launched from device code, which the host executor does not support", k.name);
    if (cudaError_t const s = check_stream(k.stream); s != cudaSuccess) return record_error(s);
    std::uint64_t const threads = static_cast<std::uint64_t>(k.block.x) * k.block.y * k.block.z;
    std::uint64_t const blocks = static_cast<std::uint64_t>(k.grid.x) * k.grid.y * k.grid.z;
    bool const valid = threads > 0 && blocks > 0 && threads <= kMaxThreadsPerBlock && k.block.x <= 1024 &&
                       k.block.y <= 1024 && k.block.z <= 64 && k.grid.x <= 2147483647u &&
                       k.grid.y <= 65535 && k.grid.z <= 65535;
    if (!valid) return record_error(cudaErrorInvalidConfiguration);
    // The device runtime answers "invalid argument" for more shared memory than a block may use.
    if (k.shared_bytes > kMaxSharedPerBlock) return record_error(cudaErrorInvalidValue);
    if (k.run == nullptr) return record_error(cudaErrorInvalidDeviceFunction);

    ExecutorState& s = executor();
    std::lock_guard<std::mutex> lock(s.launch_mutex);
    LaunchState launch;
    launch.kernel = &k;
    launch.cooperative = cooperative;
    launch.threads_per_block = static_cast<unsigned>(threads);
    launch.blocks = blocks;
    if (std::uint64_t const seed = s.seed.load(); seed != 0) {
        launch.seed = mix(seed ^ mix(++s.launches)) | 1u;
        launch.order = BlockOrder(blocks, launch.seed);
    }
    if (cooperative) {
        if (blocks > static_cast<std::uint64_t>(kBlocksPerMultiprocessor) * static_cast<unsigned>(s.workers.load()))
            return record_error(cudaErrorCooperativeLaunchTooLarge);
        return record_error(run_cooperative(launch));
    }
    if (s.pool == nullptr) s.pool = new WorkerPool(pool_threads(s));
    launch.helpers = launch.seed != 0 ? static_cast<int>(mix(launch.seed) % (s.pool->helpers() + 1))
                                      : s.pool->helpers();
    s.pool->run(launch);
    return cudaSuccess;
}

std::uint64_t warp_collective(WarpOp op, unsigned mask, std::uint64_t value, std::uint32_t arg, int width) {
    return kernel_runner(op_name(op)).collective(op, mask, value, arg, width);
}

unsigned live_lanes() { return kernel_runner("__activemask").live_lanes(); }

int block_barrier(BarrierOp op, int predicate) {
    return kernel_runner("__syncthreads").barrier(op, predicate, false);
}

void grid_barrier() {
    Runner& r = kernel_runner("grid barrier");
    if (!r.launch()->cooperative)
        fault("grid barrier (cooperative_groups::this_grid().sync()) in a kernel that was not "
              "launched cooperatively");
    r.barrier(BarrierOp::Plain, 0, true);
}

bool in_cooperative_launch() {
    Runner const* r = tls_runner;
    return r != nullptr && r->launch() != nullptr && r->launch()->cooperative;
}

void* dynamic_shared_memory() { return kernel_runner("dynamic shared memory").shared(); }

void device_fault(char const* what) { fault("%s", what); }

}  // namespace detail
}  // namespace gyrant::host

#include "cpu/team.h"

#include <omp.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>

namespace gyrant::cpu {
namespace {

std::atomic<bool> started{false};
std::atomic<bool> forked_after_start{false};
std::atomic<bool> announced{false};

void on_fork_child() {
    if (!started.load(std::memory_order_relaxed)) return;
    forked_after_start.store(true, std::memory_order_relaxed);
    // The forking thread is the only one in the child and the one whose pool is gone; a team of
    // one never touches the pool. Threads created later in the child get pools of their own.
    omp_set_num_threads(1);
}

}  // namespace

int team_threads() {
    static bool const registered = [] { return pthread_atfork(nullptr, nullptr, &on_fork_child) == 0; }();
    (void)registered;
    if (forked_after_start.load(std::memory_order_relaxed)) {
        omp_set_num_threads(1);  // in case the child raised it again
        if (!announced.exchange(true))
            std::fputs("gyrant: this process was forked after gyrant started its threads; OpenMP cannot "
                       "restart them here, so gyrant runs single-threaded in it (the 'spawn' or "
                       "'forkserver' start method keeps all cores)\n",
                       stderr);
        return 1;
    }
    started.store(true, std::memory_order_relaxed);
    return omp_get_max_threads();
}

}  // namespace gyrant::cpu

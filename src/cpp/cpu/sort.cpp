// Stable least-significant-digit radix sort of (64-bit key, 32-bit value) pairs on all cores.
#include "cpu/native.h"
#include "cpu/team.h"

#include <omp.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace gyrant::cpu {
namespace {

constexpr int DIGIT_BITS = 8;
constexpr int PASSES = 64 / DIGIT_BITS;
constexpr size_t BUCKETS = size_t{1} << DIGIT_BITS;
//! Below this many pairs one thread sorts alone: a team costs more than it saves.
constexpr size_t PARALLEL_MIN = size_t{1} << 15;

inline size_t digit(uint64_t key, int pass) { return (key >> (pass * DIGIT_BITS)) & (BUCKETS - 1); }

}  // namespace

void radix_sort_pairs(uint64_t* keys, uint32_t* values, size_t n) {
    if (n < 2) return;
    std::vector<uint64_t> key_scratch(n);
    std::vector<uint32_t> value_scratch(n);
    radix_sort_pairs(keys, values, n, key_scratch.data(), value_scratch.data());
}

void radix_sort_pairs(uint64_t* keys, uint32_t* values, size_t n, uint64_t* key_scratch,
                      uint32_t* value_scratch) {
    if (n < 2) return;
    // Passes in which every key has the same digit move nothing and are skipped.
    std::vector<size_t> totals(PASSES * BUCKETS, 0);
    for (size_t i = 0; i < n; ++i)
        for (int p = 0; p < PASSES; ++p) ++totals[p * BUCKETS + digit(keys[i], p)];
    bool moves[PASSES];
    for (int p = 0; p < PASSES; ++p) moves[p] = totals[p * BUCKETS + digit(keys[0], p)] != n;

    int const requested = n < PARALLEL_MIN ? 1 : std::max(1, team_threads());
    // counts[t * BUCKETS + b]: keys of thread t's block with digit b, then that block's first
    // destination for digit b. Each thread's block is contiguous and scattered in order, so
    // the sort is stable and its result does not depend on the number of threads.
    std::vector<size_t> counts(static_cast<size_t>(requested) * BUCKETS);
    uint64_t* src_keys = keys;
    uint32_t* src_values = values;
    uint64_t* dst_keys = key_scratch;
    uint32_t* dst_values = value_scratch;

#pragma omp parallel num_threads(requested)
    {
        size_t const t = static_cast<size_t>(omp_get_thread_num());
        size_t const team = static_cast<size_t>(omp_get_num_threads());
        size_t const begin = n * t / team, end = n * (t + 1) / team;
        uint64_t* sk = src_keys;
        uint32_t* sv = src_values;
        uint64_t* dk = dst_keys;
        uint32_t* dv = dst_values;
        for (int p = 0; p < PASSES; ++p) {
            if (!moves[p]) continue;
            size_t* mine = &counts[t * BUCKETS];
            std::fill(mine, mine + BUCKETS, size_t{0});
            for (size_t i = begin; i < end; ++i) ++mine[digit(sk[i], p)];
#pragma omp barrier
#pragma omp single
            {
                size_t offset = 0;
                for (size_t b = 0; b < BUCKETS; ++b)
                    for (size_t u = 0; u < team; ++u) {
                        size_t const c = counts[u * BUCKETS + b];
                        counts[u * BUCKETS + b] = offset;
                        offset += c;
                    }
            }  // implicit barrier
            for (size_t i = begin; i < end; ++i) {
                size_t const slot = mine[digit(sk[i], p)]++;
                dk[slot] = sk[i];
                dv[slot] = sv[i];
            }
#pragma omp barrier
            std::swap(sk, dk);
            std::swap(sv, dv);
        }
        if (sk != keys) {
            std::memcpy(keys + begin, sk + begin, (end - begin) * sizeof(uint64_t));
            std::memcpy(values + begin, sv + begin, (end - begin) * sizeof(uint32_t));
        }
    }
}

}  // namespace gyrant::cpu

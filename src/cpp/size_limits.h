// The engine's size limits, in one place: 32-bit indices, offsets and counters throughout.
#pragma once

#include "platform.h"

#include <cstdio>
#include <stdexcept>

namespace gyrant {

//! Primitives of an engine of T: the gathers and kernels address coordinate plane p of primitive
//! i as p n + i in 32 bits, so (planes) n − 1 must stay below 2^32. It also keeps every lane of
//! the last leaf (index below n + 31) inside 32 bits.
template <class T>
constexpr unsigned long max_primitives() {
    return (1ull << 32) / (sizeof(T) / sizeof(float));
}

//! Queries of one call: slots are claimed 32 at a time from a 32-bit counter, block counts are
//! (n + 255) / 256 in 32 bits, and the native walk stores the query order as 32-bit indices.
inline constexpr unsigned long MAX_QUERIES = 0xFFFFFFFFul - 255;

//! Throws std::runtime_error ("<operation> takes at most ... query points; ... were given.")
//! when n exceeds MAX_QUERIES. Callers check before allocating anything for the queries.
inline void check_query_count(unsigned long n, char const* operation) {
    if (n <= MAX_QUERIES) return;
    char text[160];
    std::snprintf(text, sizeof text, "%s takes at most %lu query points; %lu were given.", operation, MAX_QUERIES, n);
    throw std::runtime_error(text);
}

}  // namespace gyrant

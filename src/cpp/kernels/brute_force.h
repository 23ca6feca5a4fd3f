// Exact all-pairs winding numbers: every query sums the contribution of every primitive.
#pragma once

#include "platform.h"

#include "geometry.h"
#include "vec3.h"

//! Threads per block, and primitives per shared-memory tile.
inline constexpr unsigned BRUTE_FORCE_BLOCK = 256;

//! One thread per query; the block stages BRUTE_FORCE_BLOCK primitives at a time in dynamic
//! shared memory (one T record per thread) and every thread sums them with Kahan compensation,
//! in primitive order. Threads past n_queries load tiles and reach every barrier but write
//! nothing.
template <class T>
__global__ void compute_winding_numbers_brute_force_kernel(Vec3 const* __restrict__ queries,
                                                           SoAView<T> primitives,
                                                           unsigned int n_queries,
                                                           unsigned int n_primitives,
                                                           float* __restrict__ out,
                                                           float inverse_epsilon, float query_scale);

//! Enqueues the exact evaluation of n_queries queries against n_primitives sorted primitives
//! (structure-of-arrays storage with stride n_primitives) on `stream`; out gets n_queries
//! floats. epsilon is the point kernel's smoothing radius (triangles ignore it). Launches
//! nothing for an empty query set. Queries are multiplied by query_scale (the engine's frame)
//! first. Precondition: n_queries < 2^32 − 255.
template <class T>
void compute_brute_force(Vec3 const* queries, float const* primitives, unsigned int n_queries,
                         unsigned int n_primitives, float* out, float epsilon, cudaStream_t stream,
                         float query_scale = 1.0f);

// Expansion of an indexed mesh into a triangle soup.
#pragma once

#include "platform.h"

inline constexpr unsigned GATHER_TRIANGLES_BLOCK = 256;
//! Dynamic shared memory of one block: its index triples.
inline constexpr unsigned GATHER_TRIANGLES_SMEM = 3 * GATHER_TRIANGLES_BLOCK * sizeof(unsigned int);

//! triangles[g] = the three vertices that triangle_indices[g] names (9 floats, v0 v1 v2), for
//! g < num_triangles. Every index must be below the vertex count (the caller validates).
//! Enqueued on stream; nothing runs for num_triangles = 0.
void gather_triangles(float const* vertices, unsigned int const* triangle_indices,
                      unsigned int num_triangles, float* triangles, CUstream_st* const& stream);

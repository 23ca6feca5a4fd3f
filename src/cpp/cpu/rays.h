// Native exact winding numbers: the kernels' per-query and per-row functions over OpenMP threads.
#pragma once

#include "platform.h"

#include "kernels/rays.h"

#include <cstdint>

namespace gyrant::cpu {

//! out[i] = exact winding number at queries[i] * query_scale, for n queries.
void exact_winding_numbers(RayScene const& scene, Vec3 const* queries, uint64_t n, float query_scale, float* out);
//! Every voxel of `grid`, rows along z contiguous in out.
void exact_grid(RayScene const& scene, RayGrid const& grid, float* out);
//! Tests: the calling thread's later calls sum the boundary in vectors of at most `lanes` lanes
//! (16, 8, or 1: the kernels' own loop); 0 gives back the CPU's widest.
void limit_boundary_lanes(int lanes);

}  // namespace gyrant::cpu

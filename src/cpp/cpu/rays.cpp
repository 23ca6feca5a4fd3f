// Native exact winding numbers: the same functions as the kernels, one query or row per
// iteration, so both give the same bits.
#include "cpu/rays.h"

#include "cpu/team.h"

#include <omp.h>

namespace gyrant::cpu {

namespace {
//! Queries per scheduling chunk: rays differ a lot in cost (a ray through the surface's thick
//! parts meets many leaves), so threads take small chunks.
constexpr int64_t QUERY_CHUNK = 256;
}  // namespace

void exact_winding_numbers(RayScene const& scene, Vec3 const* queries, uint64_t n, float query_scale, float* out) {
    if (n == 0) return;
    int const threads = team_threads();
    int64_t const count = static_cast<int64_t>(n);
#pragma omp parallel for schedule(dynamic, QUERY_CHUNK) num_threads(threads) if (threads > 1 && n > QUERY_CHUNK)
    for (int64_t i = 0; i < count; ++i)
        out[i] = gyrant_rays::exact_winding_number(scene, in_engine_frame(queries[i], query_scale));
}

void exact_grid(RayScene const& scene, RayGrid const& grid, float* out) {
    int64_t const rows = static_cast<int64_t>(uint64_t{grid.shape[0]} * grid.shape[1]);
    if (rows == 0 || grid.shape[2] == 0) return;
    int const threads = team_threads();
#pragma omp parallel for schedule(dynamic, 4) num_threads(threads) if (threads > 1 && rows > 1)
    for (int64_t r = 0; r < rows; ++r)
        gyrant_rays::exact_grid_row(scene, grid, static_cast<uint64_t>(r), out + static_cast<uint64_t>(r) * grid.shape[2]);
}

}  // namespace gyrant::cpu

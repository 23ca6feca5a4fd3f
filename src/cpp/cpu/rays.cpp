// Native exact winding numbers: the kernels' per-query and per-row functions, one query or row per
// iteration, with the boundary sum vectorised over edges in AVX or AVX-512 vectors. The
// vectors run the kernels' float operations lane by lane (no contraction, correctly rounded
// square roots and divisions, the same partial sums), so both give the same bits.
#include "cpu/rays.h"

#include "cpu/team.h"

#include <omp.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define GYRANT_RAYS_AVX 1
#endif

namespace gyrant::cpu {

namespace {
using gyrant_rays::RayAxes;

//! Queries per scheduling chunk: rays differ a lot in cost (a ray through the surface's thick
//! parts meets many leaves), so threads take small chunks.
constexpr int64_t QUERY_CHUNK = 256;
//! See limit_boundary_lanes; 0: the CPU's widest.
thread_local int lane_limit = 0;

#if GYRANT_RAYS_AVX
// The vectorised boundary sum twice: 8 lanes with AVX (two vectors of partial sums) and 16 with
// AVX-512F (one).
#pragma GCC push_options
#pragma GCC target("avx")
#define GYRANT_RAYS_WIDTH 8
#define GYRANT_RAYS_NAME boundary_sum_avx
#define GYRANT_RAYS_NAMESPACE avx_lanes
#include "cpu/rays_vectors.h"
#undef GYRANT_RAYS_WIDTH
#undef GYRANT_RAYS_NAME
#undef GYRANT_RAYS_NAMESPACE
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
#define GYRANT_RAYS_WIDTH 16
#define GYRANT_RAYS_NAME boundary_sum_avx512
#define GYRANT_RAYS_NAMESPACE avx512_lanes
#include "cpu/rays_vectors.h"
#undef GYRANT_RAYS_WIDTH
#undef GYRANT_RAYS_NAME
#undef GYRANT_RAYS_NAMESPACE
#pragma GCC pop_options
#endif

//! The boundary sum: vectorised where the CPU has AVX, else the kernels' own loop.
struct NativeBoundarySum {
    int width;  // lanes of the CPU's vectors: 16, 8 or 1 (the kernels' loop)
    float operator()(RayScene const& scene, Vec3 const& rq, RayAxes const& axes, float up) const {
#if GYRANT_RAYS_AVX
        if (width == 16) return boundary_sum_avx512(scene, rq, axes, up);
        if (width == 8) return boundary_sum_avx(scene, rq, axes, up);
#endif
        return gyrant_rays::boundary_sum(scene, rq, axes, up);
    }
};

NativeBoundarySum native_boundary_sum() {
    int const forced = lane_limit;
#if GYRANT_RAYS_AVX
    int const widest = __builtin_cpu_supports("avx512f") ? 16 : __builtin_cpu_supports("avx") ? 8 : 1;
#else
    int const widest = 1;
#endif
    return {forced > 0 && forced < widest ? forced : widest};
}

}  // namespace

void limit_boundary_lanes(int lanes) { lane_limit = lanes; }

void exact_winding_numbers(RayScene const& scene, Vec3 const* queries, uint64_t n, float query_scale, float* out) {
    if (n == 0) return;
    int const threads = team_threads();
    int64_t const count = static_cast<int64_t>(n);
    NativeBoundarySum const boundary = native_boundary_sum();
#pragma omp parallel for schedule(dynamic, QUERY_CHUNK) num_threads(threads) if (threads > 1 && n > QUERY_CHUNK)
    for (int64_t i = 0; i < count; ++i)
        out[i] = gyrant_rays::exact_winding_number(scene, in_engine_frame(queries[i], query_scale), boundary);
}

void exact_grid(RayScene const& scene, RayGrid const& grid, float* out) {
    int64_t const rows = static_cast<int64_t>(uint64_t{grid.shape[0]} * grid.shape[1]);
    if (rows == 0 || grid.shape[2] == 0) return;
    int const threads = team_threads();
    NativeBoundarySum const boundary = native_boundary_sum();
#pragma omp parallel for schedule(dynamic, 4) num_threads(threads) if (threads > 1 && rows > 1)
    for (int64_t r = 0; r < rows; ++r)
        gyrant_rays::exact_grid_row(scene, grid, static_cast<uint64_t>(r),
                                    out + static_cast<uint64_t>(r) * grid.shape[2], boundary);
}

}  // namespace gyrant::cpu

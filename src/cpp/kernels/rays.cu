// The ray kernels: exact winding numbers per query and per grid row.
#include "platform.h"

#include "kernels/rays.h"
#include "utils.h"

__global__ void exact_winding_numbers_kernel(RayScene scene, Vec3 const* __restrict__ queries,
                                             unsigned int n_queries, float query_scale, float* __restrict__ out) {
    unsigned int const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n_queries) return;
    out[i] = gyrant_rays::exact_winding_number(scene, in_engine_frame(queries[i], query_scale));
}

__global__ void exact_grid_kernel(RayScene scene, RayGrid grid, uint64_t n_rows, float* __restrict__ out) {
    uint64_t const row = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (row >= n_rows) return;
    gyrant_rays::exact_grid_row(scene, grid, row, out + row * grid.shape[2]);
}

__global__ void grid_points_kernel(RayGrid grid, uint64_t first, uint64_t count, Vec3* __restrict__ points) {
    uint64_t const v = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (v >= count) return;
    points[v] = gyrant_rays::grid_point(grid, first + v);
}

void compute_exact_winding_numbers(RayScene const& scene, Vec3 const* queries, unsigned int n,
                                   float query_scale, float* out, cudaStream_t stream) {
    if (n == 0) return;
    unsigned int const blocks = (n + (RAY_BLOCK - 1)) / RAY_BLOCK;
    GYRANT_LAUNCH(exact_winding_numbers_kernel, blocks, RAY_BLOCK, 0, stream, scene, queries, n, query_scale, out);
    CUDA_CHECK(cudaGetLastError());
}

void compute_exact_grid(RayScene const& scene, RayGrid const& grid, float* out, cudaStream_t stream) {
    uint64_t const rows = uint64_t{grid.shape[0]} * grid.shape[1];
    if (rows == 0 || grid.shape[2] == 0) return;
    unsigned int const blocks = static_cast<unsigned int>((rows + (RAY_BLOCK - 1)) / RAY_BLOCK);
    GYRANT_LAUNCH(exact_grid_kernel, blocks, RAY_BLOCK, 0, stream, scene, grid, rows, out);
    CUDA_CHECK(cudaGetLastError());
}

void fill_grid_points(RayGrid const& grid, uint64_t first, uint64_t count, Vec3* points, cudaStream_t stream) {
    if (count == 0) return;
    unsigned int const blocks = static_cast<unsigned int>((count + (RAY_BLOCK - 1)) / RAY_BLOCK);
    GYRANT_LAUNCH(grid_points_kernel, blocks, RAY_BLOCK, 0, stream, grid, first, count, points);
    CUDA_CHECK(cudaGetLastError());
}

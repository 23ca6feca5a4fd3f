#include "platform.h"
#include "kernels/mesh.h"
#include "utils.h"

// The block first stages its 3 B indices with coalesced reads (consecutive threads read
// consecutive words), then each thread expands its own triangle from shared memory. Offsets
// into the index, vertex and soup arrays are formed in 64 bits: 3 n and 9 n outgrow 32 bits
// long before n does.
__global__ void __launch_bounds__(GATHER_TRIANGLES_BLOCK)
    gather_triangles_kernel(float const* __restrict__ vertices,
                            unsigned int const* __restrict__ triangle_indices,
                            float* __restrict__ triangles, unsigned int num_triangles) {
    GYRANT_DYNAMIC_SHARED(unsigned int, smem_indices);
    unsigned int const block_size = blockDim.x;
    unsigned int const t = threadIdx.x;
    unsigned long long const block_first = static_cast<unsigned long long>(blockIdx.x) * block_size;
    unsigned long long const index_count = 3ull * num_triangles;
    GYRANT_UNROLL
    for (unsigned int r = 0; r < 3; ++r) {
        unsigned long long const k = 3 * block_first + t + r * block_size;
        if (k < index_count) smem_indices[t + r * block_size] = __ldg(triangle_indices + k);
    }
    __syncthreads();

    unsigned long long const g = block_first + t;
    if (g >= num_triangles) return;
    float* out = triangles + 9 * g;
    GYRANT_UNROLL
    for (unsigned int v = 0; v < 3; ++v) {
        float const* vertex = vertices + 3ull * smem_indices[3 * t + v];
        out[3 * v + 0] = __ldg(vertex + 0);
        out[3 * v + 1] = __ldg(vertex + 1);
        out[3 * v + 2] = __ldg(vertex + 2);
    }
}

void gather_triangles(float const* vertices, unsigned int const* triangle_indices,
                      unsigned int num_triangles, float* triangles, CUstream_st* const& stream) {
    if (num_triangles == 0) return;
    unsigned int const blocks = static_cast<unsigned int>(
        (static_cast<unsigned long long>(num_triangles) + GATHER_TRIANGLES_BLOCK - 1) / GATHER_TRIANGLES_BLOCK);
    GYRANT_LAUNCH(gather_triangles_kernel, blocks, GATHER_TRIANGLES_BLOCK, GATHER_TRIANGLES_SMEM, stream,
                  vertices, triangle_indices, triangles, num_triangles);
    CUDA_CHECK(cudaGetLastError());
}

// Exact all-pairs winding numbers.
#include "platform.h"

#include "kernels/brute_force.h"
#include "utils.h"

template <class T>
__global__ void compute_winding_numbers_brute_force_kernel(Vec3 const* __restrict__ queries,
                                                           SoAView<T> primitives,
                                                           unsigned int n_queries,
                                                           unsigned int n_primitives,
                                                           float* __restrict__ out,
                                                           float inverse_epsilon, float query_scale) {
    unsigned int const i = blockIdx.x * blockDim.x + threadIdx.x;
    bool const active = i < n_queries;
    GYRANT_DYNAMIC_SHARED(T, tile);

    Vec3 const q = active ? in_engine_frame(queries[i], query_scale) : Vec3{0.0f, 0.0f, 0.0f};
    float sum = 0.0f;
    float c = 0.0f;  // Kahan compensation: the low-order part lost by the last addition

    for (unsigned int tile_start = 0; tile_start < n_primitives; tile_start += blockDim.x) {
        unsigned int const j = tile_start + threadIdx.x;
        if (j < n_primitives) tile[threadIdx.x] = T::load(primitives, j, n_primitives);
        __syncthreads();
        if (active) {
            unsigned int const remaining = n_primitives - tile_start;
            unsigned int const in_tile = remaining < blockDim.x ? remaining : blockDim.x;
            for (unsigned int k = 0; k < in_tile; ++k) {
                // Explicitly rounded: the contribution is rounded before the compensation is
                // taken off (no fused multiply-add with the contribution's last product).
                float const y = __fadd_rn(tile[k].contributionToQuery(q, inverse_epsilon), -c);
                float const t = sum + y;
                c = (t - sum) - y;
                sum = t;
            }
        }
        // The next tile overwrites the slots every thread is still reading.
        __syncthreads();
    }
    if (active) out[i] = sum;
}

template <class T>
void compute_brute_force(Vec3 const* queries, float const* primitives, unsigned int n_queries,
                         unsigned int n_primitives, float* out, float epsilon, cudaStream_t stream,
                         float query_scale) {
    if (n_queries == 0) return;
    unsigned int const blocks = (n_queries + (BRUTE_FORCE_BLOCK - 1)) / BRUTE_FORCE_BLOCK;
    size_t const smem = BRUTE_FORCE_BLOCK * sizeof(T);
    SoAView<T> const view{primitives, n_primitives};
    float const inverse_epsilon = 1.0f / epsilon;
    GYRANT_LAUNCH(compute_winding_numbers_brute_force_kernel<T>, blocks, BRUTE_FORCE_BLOCK, smem,
                  stream, queries, view, n_queries, n_primitives, out, inverse_epsilon, query_scale);
    CUDA_CHECK(cudaGetLastError());
}

template void compute_brute_force<Triangle>(Vec3 const*, float const*, unsigned int, unsigned int,
                                            float*, float, cudaStream_t, float);
template void compute_brute_force<PointNormal>(Vec3 const*, float const*, unsigned int,
                                               unsigned int, float*, float, cudaStream_t, float);

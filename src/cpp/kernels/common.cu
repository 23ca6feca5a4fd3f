#include "platform.h"
#include "kernels/common.h"
#include "utils.h"

#include <thrust/iterator/counting_iterator.h>
#include <thrust/iterator/permutation_iterator.h>
#include <thrust/iterator/transform_iterator.h>
#include <thrust/reduce.h>
#include <thrust/transform.h>

// One per device, rewritten by every build and read when primitives or queries are ordered.
__constant__ SceneParams d_scene_params;

//! Morton code of a primitive's centroid under `d_scene_params`. Device-only: it reads the
//! constant, which exists only in this translation unit.
template <class G>
struct GeometryToMorton {
    GYRANT_DEVICE uint64_t operator()(G const& g) const {
        return morton_code_of(g.centroid(), d_scene_params);
    }
};

namespace {

//! Sorted position of the first primitive of leaf j.
struct LeafStart {
    GYRANT_HOST_DEVICE unsigned long operator()(unsigned long j) const {
        return j * PRIMITIVES_PER_LEAF;
    }
};

struct Identity {
    GYRANT_HOST_DEVICE unsigned long operator()(unsigned long v) const { return v; }
};

}  // namespace

template <class G>
AABB scene_bounds(G const* primitives, unsigned long n, gyrant::StreamPolicy& policy) {
    auto boxes = thrust::make_transform_iterator(primitives, GeometryToAABB<G>());
    return thrust::reduce(policy, boxes, boxes + n, empty_scene_box(), MergeAABB());
}

void upload_scene_params(SceneParams const& p, cudaStream_t stream) {
    CUDA_CHECK(cudaMemcpyToSymbolAsync(d_scene_params, &p, sizeof(SceneParams), 0,
                                       cudaMemcpyHostToDevice, stream));
}

SceneParams download_scene_params(cudaStream_t stream) {
    SceneParams p{};
    CUDA_CHECK(cudaMemcpyFromSymbolAsync(&p, d_scene_params, sizeof(SceneParams), 0,
                                         cudaMemcpyDeviceToHost, stream));
    CUDA_CHECK(cudaStreamSynchronize(stream));
    return p;
}

template <class G>
void morton_codes(G const* primitives, unsigned long n, unsigned long* codes,
                  gyrant::StreamPolicy& policy) {
    thrust::transform(policy, primitives, primitives + n, codes, GeometryToMorton<G>());
}

void compute_leaf_keys(unsigned long const* sorted_codes, unsigned long n, unsigned long* leaf_keys,
                       gyrant::StreamPolicy& policy) {
    unsigned long const leaves = (n + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;
    auto starts = thrust::make_transform_iterator(thrust::counting_iterator<unsigned long>(0),
                                                  LeafStart());
    auto first_codes = thrust::make_permutation_iterator(sorted_codes, starts);
    thrust::transform(policy, first_codes, first_codes + leaves, leaf_keys, Identity());
}

// Offsets are formed in 64 bits so that 9 n floats never wrap.
__global__ void __launch_bounds__(GATHER_BLOCK)
    gather_triangles_aos_to_soa_kernel(float const* __restrict__ triangles,
                                       unsigned int const* __restrict__ order,
                                       float* __restrict__ soa, unsigned int n) {
    unsigned int const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    size_t const j = __ldg(order + i);
    GYRANT_UNROLL
    for (unsigned p = 0; p < 9; ++p)
        soa[size_t(p) * n + i] = __ldg(triangles + 9 * j + p);
}

__global__ void __launch_bounds__(GATHER_BLOCK)
    gather_point_normals_soa_kernel(float const* __restrict__ points,
                                    float const* __restrict__ normals,
                                    unsigned int const* __restrict__ order,
                                    float* __restrict__ soa, unsigned int n) {
    unsigned int const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    size_t const j = __ldg(order + i);
    GYRANT_UNROLL
    for (unsigned p = 0; p < 3; ++p) {
        soa[size_t(p) * n + i] = __ldg(points + 3 * j + p);
        soa[size_t(p + 3) * n + i] = __ldg(normals + 3 * j + p);
    }
}

void gather_triangles_soa(float const* triangles, unsigned int const* order, float* soa,
                          unsigned int n, CUstream_st* const& stream) {
    if (n == 0) return;
    unsigned int const blocks = (n + GATHER_BLOCK - 1) / GATHER_BLOCK;
    GYRANT_LAUNCH(gather_triangles_aos_to_soa_kernel, blocks, GATHER_BLOCK, 0, stream, triangles,
                  order, soa, n);
    CUDA_CHECK(cudaGetLastError());
}

void gather_point_normals_soa(float const* points, float const* normals,
                              unsigned int const* order, float* soa, unsigned int n,
                              CUstream_st* const& stream) {
    if (n == 0) return;
    unsigned int const blocks = (n + GATHER_BLOCK - 1) / GATHER_BLOCK;
    GYRANT_LAUNCH(gather_point_normals_soa_kernel, blocks, GATHER_BLOCK, 0, stream, points,
                  normals, order, soa, n);
    CUDA_CHECK(cudaGetLastError());
}

template AABB scene_bounds<Triangle>(Triangle const*, unsigned long, gyrant::StreamPolicy&);
template AABB scene_bounds<Vec3>(Vec3 const*, unsigned long, gyrant::StreamPolicy&);
template void morton_codes<Triangle>(Triangle const*, unsigned long, unsigned long*,
                                     gyrant::StreamPolicy&);
template void morton_codes<Vec3>(Vec3 const*, unsigned long, unsigned long*,
                                 gyrant::StreamPolicy&);

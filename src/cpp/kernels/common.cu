#include "platform.h"
#include "kernels/common.h"
#include "utils.h"

#include <thrust/iterator/counting_iterator.h>
#include <thrust/iterator/permutation_iterator.h>
#include <thrust/iterator/transform_iterator.h>
#include <thrust/reduce.h>
#include <thrust/transform.h>
#include <thrust/transform_reduce.h>

#if defined(GYRANT_FLAVOUR_HOST)
#include "cpu/native.h"
#endif

//! Morton code of a primitive's centroid; the parameters travel by value with the functor.
template <class G>
struct GeometryToMorton {
    SceneParams params;
    float scale;
    GYRANT_HOST_DEVICE uint64_t operator()(G const& g) const {
        return morton_code_of(g.centroid() * scale, params);
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

template <class G>
void morton_codes(G const* primitives, unsigned long n, unsigned long* codes,
                  gyrant::StreamPolicy& policy, SceneParams const& params, float scale) {
    thrust::transform(policy, primitives, primitives + n, codes, GeometryToMorton<G>{params, scale});
}

namespace {

//! A box of points and the largest absolute coordinate, merged with NaN-ignoring minima and
//! maxima (the identity holds +inf lower and -inf upper corners).
struct Spread {
    float lo[3], hi[3], magnitude;
};
struct PointSpread {
    GYRANT_HOST_DEVICE Spread operator()(Vec3 const& p) const {
        float const m = fmaxf(fmaxf(fabsf(p.x), fabsf(p.y)), fabsf(p.z));
        return {{p.x, p.y, p.z}, {p.x, p.y, p.z}, m};
    }
};
struct MergeSpread {
    GYRANT_HOST_DEVICE Spread operator()(Spread const& a, Spread const& b) const {
        Spread r;
        for (int k = 0; k < 3; ++k) {
            r.lo[k] = fminf(a.lo[k], b.lo[k]);
            r.hi[k] = fmaxf(a.hi[k], b.hi[k]);
        }
        r.magnitude = fmaxf(a.magnitude, b.magnitude);
        return r;
    }
};
struct Scale {
    float factor;
    GYRANT_HOST_DEVICE float operator()(float v) const { return v * factor; }
};

}  // namespace

CoordinateSpread coordinate_spread(float const* points, unsigned long n, gyrant::StreamPolicy& policy) {
    if (n == 0) return {0.0f, 0.0f};
#if defined(GYRANT_FLAVOUR_HOST)
    (void)policy;
    gyrant::cpu::Spread const r = gyrant::cpu::coordinate_spread(points, n);
    float const extent = fmaxf(fmaxf(r.hi[0] - r.lo[0], r.hi[1] - r.lo[1]), r.hi[2] - r.lo[2]);
    return {fmaxf(extent, 0.0f), r.magnitude};
#else
    Spread const empty{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}, 0.0f};
    auto const* p = reinterpret_cast<Vec3 const*>(points);
    Spread const r = thrust::transform_reduce(policy, p, p + n, PointSpread(), empty, MergeSpread());
    float const extent = fmaxf(fmaxf(r.hi[0] - r.lo[0], r.hi[1] - r.lo[1]), r.hi[2] - r.lo[2]);
    return {fmaxf(extent, 0.0f), r.magnitude};
#endif
}

void scale_floats(float const* src, unsigned long count, float factor, float* dst, gyrant::StreamPolicy& policy) {
#if defined(GYRANT_FLAVOUR_HOST)
    (void)policy;
    gyrant::cpu::scale_floats(src, count, factor, dst);
#else
    thrust::transform(policy, src, src + count, dst, Scale{factor});
#endif
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

__global__ void __launch_bounds__(GATHER_BLOCK)
    gather_normals_soa_kernel(float const* __restrict__ normals, unsigned int const* __restrict__ order,
                              float* __restrict__ soa, unsigned int n) {
    unsigned int const i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    size_t const j = __ldg(order + i);
    GYRANT_UNROLL
    for (unsigned p = 0; p < 3; ++p) soa[size_t(p + 3) * n + i] = __ldg(normals + 3 * j + p);
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

void gather_normals_soa(float const* normals, unsigned int const* order, float* soa, unsigned int n,
                        CUstream_st* const& stream) {
    if (n == 0) return;
    unsigned int const blocks = (n + GATHER_BLOCK - 1) / GATHER_BLOCK;
    GYRANT_LAUNCH(gather_normals_soa_kernel, blocks, GATHER_BLOCK, 0, stream, normals, order, soa, n);
    CUDA_CHECK(cudaGetLastError());
}

template AABB scene_bounds<Triangle>(Triangle const*, unsigned long, gyrant::StreamPolicy&);
template AABB scene_bounds<Vec3>(Vec3 const*, unsigned long, gyrant::StreamPolicy&);
template void morton_codes<Triangle>(Triangle const*, unsigned long, unsigned long*,
                                     gyrant::StreamPolicy&, SceneParams const&, float);
template void morton_codes<Vec3>(Vec3 const*, unsigned long, unsigned long*,
                                 gyrant::StreamPolicy&, SceneParams const&, float);

// The exact method: crossings of one ray per query (or per grid row) plus the boundary term.
#include "platform.h"
#include "gyrant_cuda.h"

#include "boundary.h"
#include "kernels/rays.h"
#include "size_limits.h"

#if defined(GYRANT_FLAVOUR_HOST)
#include "cpu/rays.h"
#endif

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace {

//! Boundary edges beyond which the hierarchical compute at its default beta is faster than the
//! crossings: every query sums every edge's term, about 1.6 ns an edge on one core with AVX-512
//! (3 ns with AVX) after about 130 ns for the ray, while a hierarchical query costs 0.5 to 1.4 us
//! on CGAL's open meshes. Measured on the shared machine, one thread, 50k uniform queries:
//! mech-holes-shark (304 edges) 0.73 us exact, 1.39 us hierarchical; elephant-with-holes (1353
//! edges) 2.19 us, 0.67 us; a soup of 960 open edges 1.85 us, 0.49 us.
constexpr unsigned long EXACT_BOUNDARY_LIMIT = 512;
//! The beta of the hierarchical answer to method="exact" beyond that: the default beta is 1e-3
//! away from the exact values on CGAL's open meshes, beta 6 within 2.1e-5 (max over 4000 uniform
//! and 4000 near-surface queries on mech-holes-shark and elephant-with-holes), at 4 to 5 times the
//! default's time.
constexpr float EXACT_FALLBACK_BETA = 6.0f;
//! Voxels per compute call of a grid answered hierarchically.
constexpr unsigned long GRID_CHUNK_VOXELS = 1ul << 20;

constexpr char const* kNoCrossings =
    "method=\"exact\" needs a triangle surface: an oriented point cloud has no crossings; use "
    "method=\"hierarchical\".";

template <class E>
void upload(gyrant::StreamBuffer<E>& buffer, std::vector<E> const& host, cudaStream_t stream) {
    buffer = gyrant::StreamBuffer<E>(host.size(), stream);
    if (!host.empty())
        CUDA_CHECK(cudaMemcpy(buffer.get(), host.data(), host.size() * sizeof(E), cudaMemcpyHostToDevice));
}

}  // namespace

template <class T>
void GyrantBackend<T>::prepare_exact() {
    if constexpr (std::is_same_v<T, Triangle>) {
        crossings_exact = true;
        boundary_edges = 0;
        boundary_stride = 0;
        if (count == 0) return;
        CUDA_CHECK(cudaStreamSynchronize(stream));  // the build's last steps
        std::vector<float> soa(9 * count);
        CUDA_CHECK(cudaMemcpy(soa.data(), d_primitives, soa.size() * sizeof(float), cudaMemcpyDeviceToHost));
        // Infinite or NaN coordinates have no crossings to count.
        if (!gyrant::all_finite(soa.data(), count)) {
            crossings_exact = false;
            return;
        }
        std::vector<BoundarySegment> const chain = gyrant::boundary_chain(soa.data(), count);
        boundary_edges = chain.size();
        prepare_sign_bound(chain);
        if (boundary_edges > EXACT_BOUNDARY_LIMIT) {
            crossings_exact = false;
            return;
        }
        uint32_t node_count = 0;
        std::vector<BVH8Node> nodes;
        std::vector<LeafPointers> rows;
        if (leaf_count() > 1) {
            CUDA_CHECK(cudaMemcpy(&node_count, d_bvh8_node_count, sizeof node_count, cudaMemcpyDeviceToHost));
            if (node_count == 0 || node_count > bvh8_capacity())
                throw std::runtime_error("the hierarchy's node count is inconsistent");
            nodes.resize(node_count);
            rows.resize(node_count);
            CUDA_CHECK(cudaMemcpy(nodes.data(), d_bvh8_nodes, node_count * sizeof(BVH8Node), cudaMemcpyDeviceToHost));
            CUDA_CHECK(cudaMemcpy(rows.data(), d_leaf_pointers, node_count * sizeof(LeafPointers),
                                  cudaMemcpyDeviceToHost));
        }
        std::vector<RayBox> node_boxes, leaf_boxes;
        gyrant::ray_boxes(soa.data(), count, nodes.data(), rows.data(), node_count, node_boxes, leaf_boxes);
        exact_bounds = node_boxes.empty() ? leaf_boxes[0] : node_boxes[0];
        upload(ray_node_boxes, node_boxes, stream);
        upload(ray_leaf_boxes, leaf_boxes, stream);
        // Six planes, each padded with zeros to whole vectors of BOUNDARY_LANES edges.
        boundary_stride = static_cast<uint32_t>((chain.size() + BOUNDARY_LANES - 1) / BOUNDARY_LANES * BOUNDARY_LANES);
        std::vector<float> planes(6 * size_t{boundary_stride}, 0.0f);
        for (size_t i = 0; i < chain.size(); ++i) {
            float const c[6] = {chain[i].a.x, chain[i].a.y, chain[i].a.z, chain[i].b.x, chain[i].b.y, chain[i].b.z};
            for (int p = 0; p < 6; ++p) planes[p * size_t{boundary_stride} + i] = c[p];
        }
        upload(boundary_chain, planes, stream);
    }
}

template <class T>
RayScene GyrantBackend<T>::ray_scene() const {
    RayScene s{};
    s.nodes = ray_node_boxes.size() > 0 ? d_bvh8_nodes : nullptr;
    s.leaf_pointers = d_leaf_pointers;
    s.node_boxes = ray_node_boxes.get();
    s.leaf_boxes = ray_leaf_boxes.get();
    s.triangles = {d_primitives, count};
    s.n_triangles = static_cast<uint32_t>(count);
    s.n_leaves = static_cast<uint32_t>(ray_leaf_boxes.size());
    s.boundary = boundary_chain.get();
    s.n_boundary = crossings_exact ? static_cast<uint32_t>(boundary_edges) : 0;
    s.boundary_stride = boundary_stride;
    s.bounds = exact_bounds;
    return s;
}

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::compute_exact(float const* queries, unsigned long n,
                                                                    unsigned long stream_handle) const {
    if constexpr (!std::is_same_v<T, Triangle>) {
        throw std::invalid_argument(kNoCrossings);
    } else {
        if (!crossings_exact) return compute(queries, n, EXACT_FALLBACK_BETA, -1.0f, stream_handle);
        gyrant::ScopedDevice const on_engine_device(device);
        auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
        gyrant::check_query_count(n, "compute");
        gyrant::StreamBuffer<float> output(n, caller_stream);
#if defined(GYRANT_FLAVOUR_HOST)
        if (gyrant::cpu::test_hooks().native_queries) {
            gyrant::cpu::exact_winding_numbers(ray_scene(), reinterpret_cast<Vec3 const*>(queries), n, scale,
                                               output.get());
            return {output.release(), CudaDeleter{caller_stream}};
        }
#endif
        compute_exact_winding_numbers(ray_scene(), reinterpret_cast<Vec3 const*>(queries),
                                      static_cast<unsigned int>(n), scale, output.get(), caller_stream);
        return {output.release(), CudaDeleter{caller_stream}};
    }
}

template <class T>
std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::exact_grid(float const origin[3], float const spacing[3],
                                                                 unsigned long const shape[3],
                                                                 unsigned long stream_handle) const {
    if constexpr (!std::is_same_v<T, Triangle>) {
        throw std::invalid_argument(kNoCrossings);
    } else {
        for (int a = 0; a < 3; ++a) {
            if (!std::isfinite(origin[a]))
                throw std::invalid_argument("The grid's origin must be finite.");
            if (!(spacing[a] > 0.0f) || !std::isfinite(spacing[a]))
                throw std::invalid_argument("The grid's spacing must be positive and finite on every axis.");
            if (shape[a] > 0xffffffffull)
                throw std::invalid_argument("The grid's shape must be below 2^32 on every axis.");
        }
        unsigned long const voxels = shape[0] * shape[1] * shape[2];
        if ((shape[0] != 0 && voxels / shape[0] != shape[1] * shape[2]) ||
            (shape[1] != 0 && shape[1] * shape[2] / shape[1] != shape[2]) ||
            voxels > (1ul << 40))
            throw std::invalid_argument("The grid has more voxels than one call can hold (2^40).");
        gyrant::ScopedDevice const on_engine_device(device);
        auto const caller_stream = reinterpret_cast<cudaStream_t>(stream_handle);
        RayGrid grid{};
        for (int a = 0; a < 3; ++a) {
            grid.origin[a] = origin[a];
            grid.spacing[a] = spacing[a];
            grid.shape[a] = static_cast<uint32_t>(shape[a]);
        }
        grid.scale = scale;
        gyrant::StreamBuffer<float> output(voxels, caller_stream);
        if (voxels == 0) return {output.release(), CudaDeleter{caller_stream}};
        if (!crossings_exact) {
            // Chunks of voxels through the hierarchical compute.
            gyrant::StreamBuffer<Vec3> points(std::min(voxels, GRID_CHUNK_VOXELS), caller_stream);
            for (unsigned long first = 0; first < voxels; first += GRID_CHUNK_VOXELS) {
                unsigned long const m = std::min(GRID_CHUNK_VOXELS, voxels - first);
#if defined(GYRANT_FLAVOUR_HOST)
                for (unsigned long v = 0; v < m; ++v) points.get()[v] = gyrant_rays::grid_point(grid, first + v);
#else
                fill_grid_points(grid, first, m, points.get(), caller_stream);
#endif
                auto const part =
                    compute(reinterpret_cast<float const*>(points.get()), m, EXACT_FALLBACK_BETA, -1.0f, stream_handle);
                CUDA_CHECK(cudaMemcpyAsync(output.get() + first, part.get(), m * sizeof(float),
                                           cudaMemcpyDeviceToDevice, caller_stream));
            }
            return {output.release(), CudaDeleter{caller_stream}};
        }
#if defined(GYRANT_FLAVOUR_HOST)
        if (gyrant::cpu::test_hooks().native_queries) {
            gyrant::cpu::exact_grid(ray_scene(), grid, output.get());
            return {output.release(), CudaDeleter{caller_stream}};
        }
#endif
        compute_exact_grid(ray_scene(), grid, output.get(), caller_stream);
        return {output.release(), CudaDeleter{caller_stream}};
    }
}

#define GYRANT_EXACT_MEMBERS(T)                                                                         \
    template void GyrantBackend<T>::prepare_exact();                                                    \
    template RayScene GyrantBackend<T>::ray_scene() const;                                              \
    template std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::compute_exact(float const*, unsigned long, \
                                                                                 unsigned long) const;  \
    template std::unique_ptr<float, CudaDeleter> GyrantBackend<T>::exact_grid(                          \
        float const[3], float const[3], unsigned long const[3], unsigned long) const;
GYRANT_EXACT_MEMBERS(Triangle)
GYRANT_EXACT_MEMBERS(PointNormal)

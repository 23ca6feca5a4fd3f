// The engine: one surface on one CUDA device, with every device buffer that its hierarchy and
// its queries need.
#pragma once

#include "platform.h"

#include "aabb.h"
#include "bvh8.h"
#include "device_algorithms.h"
#include "geometry.h"
#include "kernels/common.h"
#include "kernels/rays.h"
#include "tailor_coefficients.h"
#include "utils.h"

#if defined(GYRANT_FLAVOUR_HOST)
#include "cpu/native.h"
#include "cpu/nearest.h"
#endif

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <source_location>
#include <vector>
#include <string>
#include <type_traits>

//! Owns a result buffer: frees it on the stream it was allocated on, so the free is ordered
//! after everything the caller queued there. The status of the free is not reported.
struct CudaDeleter {
    cudaStream_t stream;

    void operator()(void* p) const {
        if (p != nullptr) (void)cudaFreeAsync(p, stream);
    }
};

namespace gyrant {

//! Makes `device` current for the lifetime of the guard and makes the caller's device current
//! again on every way out, exceptions included.
class ScopedDevice {
   public:
    explicit ScopedDevice(int device) {
        cudaError_t const status = cudaGetDevice(&previous_);
        CUDA_CHECK(status);
        restore_ = status == cudaSuccess;
        CUDA_CHECK(cudaSetDevice(device));
    }
    ~ScopedDevice() {
        if (restore_) CUDA_CHECK(cudaSetDevice(previous_));
    }
    ScopedDevice(ScopedDevice const&) = delete;
    ScopedDevice& operator=(ScopedDevice const&) = delete;

   private:
    int previous_ = 0;
    bool restore_ = false;
};

//! `count` elements of E in device memory, allocated and freed stream-ordered on one stream;
//! freed on every way out of the scope that holds it. A failed allocation writes the CUDA
//! report line naming the caller's line and throws (std::bad_alloc when memory ran out), so
//! nothing ever runs on a buffer that does not exist. An empty buffer allocates nothing and holds null.
template <class E>
class StreamBuffer {
   public:
    StreamBuffer() = default;
    StreamBuffer(size_t count, cudaStream_t stream,
                 std::source_location where = std::source_location::current())
        : stream_(stream) {
        if (count > std::numeric_limits<size_t>::max() / sizeof(E)) throw std::bad_array_new_length();
        ptr_ = static_cast<E*>(gyrant_cuda::cuda_allocate_async(count * sizeof(E), stream, where));
        count_ = count;
    }
    ~StreamBuffer() { reset(); }

    StreamBuffer(StreamBuffer&& o) noexcept : ptr_(o.ptr_), count_(o.count_), stream_(o.stream_) {
        o.ptr_ = nullptr;
        o.count_ = 0;
    }
    StreamBuffer& operator=(StreamBuffer&& o) noexcept {
        if (this != &o) {
            reset();
            ptr_ = o.ptr_;
            count_ = o.count_;
            stream_ = o.stream_;
            o.ptr_ = nullptr;
            o.count_ = 0;
        }
        return *this;
    }
    StreamBuffer(StreamBuffer const&) = delete;
    StreamBuffer& operator=(StreamBuffer const&) = delete;

    E* get() const { return ptr_; }
    size_t size() const { return count_; }
    cudaStream_t stream() const { return stream_; }

    //! Hands the memory to the caller, who now frees it (on stream()).
    E* release() noexcept {
        E* p = ptr_;
        ptr_ = nullptr;
        count_ = 0;
        return p;
    }
    //! Stream-ordered free: released after the work already queued on the stream.
    void reset() noexcept {
        if (ptr_ != nullptr) CUDA_CHECK(cudaFreeAsync(ptr_, stream_));
        ptr_ = nullptr;
        count_ = 0;
    }

   private:
    E* ptr_ = nullptr;
    size_t count_ = 0;
    cudaStream_t stream_ = nullptr;
};

}  // namespace gyrant

struct GyrantBackendTestAccess;

//! The engine for one surface: primitives of kind T (Triangle or PointNormal) on one device.
//! Created on the heap by the factories and owned through std::unique_ptr; never copied or
//! moved. An engine of 0 primitives has no hierarchy and allocates nothing.
template <class T>
class GyrantBackend {
    static_assert(std::is_same_v<T, Triangle> || std::is_same_v<T, PointNormal>,
                  "an engine holds triangles or oriented points");

   public:
    //! Smoothing radius used when a query passes a negative epsilon (the float nearest 1/250).
    static constexpr float DEFAULT_EPSILON = 0.004f;
    //! Acceptance parameter used when a query passes a negative beta.
    static constexpr float DEFAULT_BETA = std::is_same_v<T, PointNormal> ? 2.0f : 2.3f;

    // Factories (gyrant_build.cu). Each makes `device` current for the call, builds the whole
    // engine on its stream and returns it, or throws having destroyed it. Each prints its report
    // line unless `announce` is false (the Python package, whose standard output is the caller's).
    //! Triangle engine from a soup of num_triangles × 9 floats (device memory).
    static std::unique_ptr<GyrantBackend> CreateFromTriangles(float const* triangles,
                                                              unsigned long num_triangles, int device,
                                                              bool announce = true);
    //! Point engine from num_points positions and scaled normals, 3 floats each.
    static std::unique_ptr<GyrantBackend> CreateFromPoints(float const* points, float const* normals,
                                                           unsigned long num_points, int device,
                                                           bool announce = true);
    //! CreateFromPoints without its report line, on the current device (engines built by the library itself: over queries, by the solver).
    //! A refittable engine keeps its points' Morton codes (8 bytes a point) for refit_normals.
    static std::unique_ptr<GyrantBackend> BuildFromPoints(float const* points, float const* normals,
                                                          unsigned long num_points, int device,
                                                          bool refittable = false);
    //! Point engine whose stored normals are all zero.
    static std::unique_ptr<GyrantBackend> CreateForSolver(float const* points,
                                                          unsigned long num_points, int device);
    //! Triangle engine from an indexed mesh; every index must be below num_vertices.
    static std::unique_ptr<GyrantBackend> CreateFromMesh(float const* vertices,
                                                         unsigned long num_vertices,
                                                         unsigned int const* triangle_indices,
                                                         unsigned long num_triangles, int device,
                                                         bool announce = true);

    //! Precondition: `device` is the calling thread's current device. Creates the stream, the
    //! two events and every persistent buffer (stream-ordered on the new stream); contents are
    //! undefined until the build writes them. Throws std::bad_alloc (after the CUDA report line
    //! and after releasing everything created so far) when an allocation fails, and
    //! std::runtime_error when n exceeds what 32-bit primitive indexing can address.
    GyrantBackend(unsigned long n, int device);
    //! Waits for the engine's stream, then releases events, buffers and stream. Never throws;
    //! does not change the current device. Queries in flight on other streams must be finished.
    ~GyrantBackend();

    GyrantBackend(GyrantBackend const&) = delete;
    GyrantBackend& operator=(GyrantBackend const&) = delete;
    GyrantBackend(GyrantBackend&&) = delete;
    GyrantBackend& operator=(GyrantBackend&&) = delete;

    unsigned long point_count() const { return count; }
    int device_id() const { return device; }
    //! L = ceil(n / 32): leaves of PRIMITIVES_PER_LEAF consecutive sorted primitives.
    unsigned long leaf_count() const { return (count + (PRIMITIVES_PER_LEAF - 1)) / PRIMITIVES_PER_LEAF; }
    //! Room for 8-wide nodes: L − 1 (0 for a single leaf or an empty surface).
    unsigned long bvh8_capacity() const { return count == 0 ? 0 : leaf_count() - 1; }
    //! The power of two by which the engine's frame multiplies the caller's coordinates (1 when
    //! the surface's extent already suits the half/bfloat16 expansions): buffers hold scaled
    //! coordinates (and areas scaled by its square); queries and epsilon are scaled on the way in.
    float unit_scale() const { return scale; }
    //! The power of two by which a point engine's stored scaled normals are multiplied on top of
    //! the frame's square (1 for triangles): it brings weights of any size into the range of the
    //! half/bfloat16 expansions. Results are divided by it on the way out.
    float weight_scale() const { return weight; }
    //! What a point engine's stored scaled normals are the caller's times: unit_scale()^2
    //! weight_scale(), a power of two that is a normal float, as is its reciprocal.
    float area_factor() const { return std::ldexp(1.0f, 2 * std::ilogb(scale) + std::ilogb(weight)); }
    //! False for an empty surface: no hierarchy buffers exist and nothing is built.
    bool has_hierarchy() const { return count > 0; }
    //! The sorted primitive storage as kernels read it.
    SoAView<T> primitives_view() const { return {d_primitives, count}; }

    //! Exact winding numbers at n_queries points (device pointer, 3 floats each, engine's device)
    //! summed over every primitive. `stream` is the caller's raw cudaStream_t (0 = default); the
    //! work and the result's allocation are only enqueued there, and the result is freed there.
    //! A negative epsilon means DEFAULT_EPSILON; 0 (either sign) and NaN give the unsmoothed
    //! dipole. An empty query set returns an empty (null) buffer. Restores the caller's current
    //! device on every way out. Throws std::bad_alloc when the result cannot be allocated and
    //! std::runtime_error for 2^32 − 255 queries or more (block counts are 32-bit).
    std::unique_ptr<float, CudaDeleter> brute_force(float const* queries, unsigned long n_queries,
                                                    float epsilon, unsigned long stream) const;

    //! Hierarchical winding numbers (gyrant_compute.cu); negative beta/epsilon select defaults.
    std::unique_ptr<float, CudaDeleter> compute(float const* queries, unsigned long n, float beta,
                                                float epsilon, unsigned long stream) const;

    // The exact method (gyrant_exact.cu). Point engines throw std::invalid_argument: a cloud of
    // oriented points has no crossings.
    //! Winding numbers from the signed crossings of a ray along +z and the boundary chain's term,
    //! with compute's conventions for queries and stream. When the boundary is too long for its
    //! per-query sum to pay (exact_uses_crossings() false), the hierarchical compute with its
    //! defaults answers instead.
    std::unique_ptr<float, CudaDeleter> compute_exact(float const* queries, unsigned long n,
                                                      unsigned long stream) const;
    //! The winding numbers of a regular grid, shape[0] x shape[1] x shape[2] values, the last
    //! index fastest: voxel (i, j, k) sits at origin + (i, j, k) * spacing, each coordinate one
    //! float product and one float sum. One ray per row along z. spacing must be positive and
    //! finite, origin finite (std::invalid_argument otherwise).
    std::unique_ptr<float, CudaDeleter> exact_grid(float const origin[3], float const spacing[3],
                                                   unsigned long const shape[3], unsigned long stream) const;
    //! Whether compute_exact counts crossings (else it is the hierarchical compute).
    bool exact_uses_crossings() const { return crossings_exact; }
    //! Directed edges of the boundary chain (0 for a closed surface).
    unsigned long boundary_edge_count() const { return boundary_edges; }
    //! Builds what the exact method reads, once the hierarchy is complete (triangle factories).
    void prepare_exact();

    //! The hierarchy as one Graphviz DOT document (gyrant_dump.cu).
    std::string dump() const;

    // Derivatives of point clouds (gyrant_gradients.cu), in the caller's order and units, with
    // compute's conventions for beta, epsilon and stream; 3 floats per row. Triangle engines
    // throw std::runtime_error.
    //! The stored scaled normals.
    std::unique_ptr<float, CudaDeleter> get_normals() const;
    //! grad_q w at n queries through the hierarchy; brute_force_gradient sums every point.
    std::unique_ptr<float, CudaDeleter> gradient(float const* queries, unsigned long n, float beta,
                                                 float epsilon, unsigned long stream) const;
    std::unique_ptr<float, CudaDeleter> brute_force_gradient(float const* queries, unsigned long n,
                                                             float epsilon, unsigned long stream) const;
    //! Products of the n per-query values grad_output with the Jacobian of compute(queries) with
    //! respect to the scaled normals (grad_normals) or positions (grad_points), one row per point.
    //! Null queries: the engine's own points (then n must be the point count). beta = +inf sums
    //! every pair exactly. Synchronises `stream` unless summed exactly.
    std::unique_ptr<float, CudaDeleter> grad_normals(float const* grad_output, unsigned long n,
                                                     float const* queries = nullptr, float beta = -1.0f,
                                                     float epsilon = -1.0f, unsigned long stream = 0) const;
    std::unique_ptr<float, CudaDeleter> grad_points(float const* grad_output, unsigned long n,
                                                    float const* queries = nullptr, float beta = -1.0f,
                                                    float epsilon = -1.0f, unsigned long stream = 0) const;
    //! Point engines whose stored normals are charges (v_j, 0, 0) at their points q_j: per target
    //! p_i (n rows of 3 floats, device memory, caller's order and units) sum_j v_j K(p_i - q_j),
    //! the three axes of the products with compute's Jacobian with respect to normals at p_i, or
    //! with target normals (3 floats a row, may be null) sum_j v_j J(p_i - q_j) n_i, into out
    //! (3 n), in one walk, with compute's conventions for beta and epsilon. Only the host
    //! flavour's native queries over a hierarchy (more than one leaf) walk once: elsewhere it
    //! returns false having touched nothing, and the caller takes one axis at a time.
    bool charge_products(float const* targets, float const* target_normals, unsigned long n, float beta,
                         float epsilon, float* out, unsigned long stream = 0) const;
    //! Point engines built refittable: replaces the stored scaled normals with `normals` (one row
    //! per point, caller order and units, device memory) and refits the hierarchy over the
    //! unchanged order of the points: the engine then answers as one freshly built from these
    //! normals in the same frame, without the build's sort. No query may be in flight on it.
    //! Throws std::logic_error on any other engine.
    void refit_normals(float const* normals);
    // Placeholder: throws std::runtime_error with its fixed message before touching anything.
    void solve_for_normals(float const* extra_points, unsigned long n_extra, float const* extra_wn,
                           float const* pc_wn, float alpha_extra);

    // Closest points and signed distances (gyrant_distance.cu), in the caller's order and units,
    // with compute's conventions for stream. max_distance must be >= 0 (+inf: no limit).
    struct NearestResult {
        std::unique_ptr<float, CudaDeleter> distance;  // n
        std::unique_ptr<float, CudaDeleter> points;    // 3 n
        std::unique_ptr<int64_t, CudaDeleter> index;   // n
    };
    //! The nearest primitive of every query: distance, closest point and index (caller's order);
    //! inf, NaN and -1 beyond max_distance; NaN, NaN and -1 for a non-finite query. Throws
    //! std::invalid_argument for a negative or NaN max_distance.
    NearestResult closest_point(float const* queries, unsigned long n, float max_distance,
                                unsigned long stream) const;
    //! The distance, negative where the winding number says inside (sign_mode: 0 w > 0.5, 1 |w| >
    //! 0.5, 2 unsigned). w comes from compute at beta (negative: 1.5, cheap); where it lies within
    //! its error bound of 0.5, from compute at twice the default beta, and where that one does,
    //! from brute_force's sum. Runs of Morton-ordered queries share one w where the surface (closed) or
    //! its boundary (open, see sign_by_bounded_runs) allows. Beyond max_distance: +inf, no sign taken. Throws
    //! std::invalid_argument for an unknown mode or a negative or NaN max_distance.
    std::unique_ptr<float, CudaDeleter> signed_distance(float const* queries, unsigned long n, float beta,
                                                        float epsilon, int sign_mode, float max_distance,
                                                        unsigned long stream) const;
    //! Queries whose sign signed_distance has taken from the exact sum, over the engine's life.
    unsigned long sign_reevaluations() const { return reevaluated_signs.load(std::memory_order_relaxed); }
    //! Queries whose own w signed_distance's runs have taken (one per run on a closed surface; on an
    //! open one, each stretch's head and the queries the bound refuses).
    unsigned long sign_exact_evaluations() const { return exact_signs.load(std::memory_order_relaxed); }
    //! Queries whose sign signed_distance has taken from the tight pass (or beyond).
    unsigned long sign_tightenings() const { return tightened_signs.load(std::memory_order_relaxed); }
    //! How far from 0.5 the hierarchical w at this beta (resolved) may still be on the wrong side.
    static float sign_margin(float beta);

    // Build bodies (gyrant_build.cu), called once by the factories right after construction:
    // initialize_triangle_data on triangle engines, initialize_point_data on point engines.
    void initialize_triangle_data(float const* triangles);
    void initialize_point_data(float const* points, float const* normals);

    //! Morton codes of the `count` input primitives (G = Triangle or Vec3, device memory) into
    //! `codes`; sets the engine's scene parameters. Returns when the codes are complete.
    template <class G>
    void initializeMortonCodes(G const* primitives, unsigned long* codes);

   private:
    friend struct GyrantBackendTestAccess;

#if defined(GYRANT_FLAVOUR_HOST)
    //! What the native build fills: the persistent buffers.
    gyrant::cpu::EngineBuffers native_buffers() const;
    //! What native queries read: the sorted primitives and the walk layout.
    gyrant::cpu::QueryScene<T> native_scene() const;
    //! Derives the walk layout once the hierarchy is built, whichever code built it.
    void derive_native_tree();
#endif

    //! The build body shared by both primitive kinds: ordering of `primitives` (the inputs whose
    //! centroids are Morton-coded), the gather supplied by the caller, then the hierarchy.
    template <class G, class Gather>
    void build_body(G const* primitives, Gather&& gather_into_sorted_storage);

    //! Builds the engine in the frame of the surface whose points (3 floats each, device memory)
    //! are given: `build(s)` builds it from the inputs times s (areas times s^2), s = `scale`.
    template <class Build>
    void build_in_frame(float const* points, unsigned long n_points, Build&& build);
    //! By how much the built leaves must grow so that the expansions of the small ones keep their
    //! precision (1 when they do).
    float small_leaf_growth() const;

    //! The body of grad_normals (normals) and grad_points (gyrant_gradients.cu).
    std::unique_ptr<float, CudaDeleter> vjp(bool normals, float const* grad_output, unsigned long n,
                                            float const* queries, float beta, float epsilon,
                                            unsigned long stream) const;

    //! The nearest walk into distance (n), points (3 n, may be null) and index (n, may be null);
    //! order (n, may be null) receives the caller's indices in the order walked (Morton order).
    void nearest_into(float const* queries, unsigned long n, float max_distance, float* distance,
                      float* points, int64_t* index, cudaStream_t caller_stream,
                      uint32_t* order = nullptr) const;
    //! signed_distance's sign on a closed surface whose exact method counts crossings: the exact w
    //! at the head of each run of the Morton order that stays off the surface, shared by the run.
    void sign_by_runs(float const* queries, unsigned long n, uint32_t const* order, bool band, float* distance,
                      int sign_mode, unsigned long stream) const;
    //! signed_distance's sign on an open triangle surface: runs as sign_by_runs has them, cut further
    //! wherever the bound on w's change along the chain (from the boundary's length) grows by
    //! SIGN_RUN_BUDGET; a query shares its head's sign where the head's w stays clear of 0.5 by more
    //! than the head's error and that bound, and takes its own w elsewhere.
    void sign_by_bounded_runs(float const* queries, unsigned long n, uint32_t const* order, bool band,
                              float* distance, float beta, float epsilon, int sign_mode,
                              unsigned long stream) const;
    //! w at k rows (3 floats each, caller's units) for a sign, each known to within error[j] (device,
    //! may be null) of the exact w: the crossings where they count, else compute at first_beta,
    //! then at twice the default beta and then brute_force where the sign stays in doubt.
    std::unique_ptr<float, CudaDeleter> winding_for_sign(float const* rows, unsigned long k, float first_beta,
                                                         float epsilon, int sign_mode, float* error,
                                                         unsigned long stream) const;
    //! Builds what sign_by_bounded_runs reads from the boundary chain (engine's frame).
    void prepare_sign_bound(std::vector<BoundarySegment> const& chain);
    //! The boundary chain walked into loops, in the caller's units: pieces of a few consecutive edges
    //! (centre, a radius that holds them, their length: 5 floats), then one record per loop (the same
    //! for the whole loop, whether it closes, its first piece and piece count: 8 floats); about 6
    //! bytes per boundary edge.
    gyrant::StreamBuffer<float> boundary_clusters;
    unsigned long boundary_cluster_count = 0;
    unsigned long boundary_loop_count = 0;
    //! The boundary's total length in the caller's units; negative when unknown (no sign bound).
    float boundary_length = -1.0f;
    std::atomic<unsigned long> mutable reevaluated_signs{0};
    std::atomic<unsigned long> mutable exact_signs{0};
    std::atomic<unsigned long> mutable tightened_signs{0};
#if defined(GYRANT_FLAVOUR_HOST)
    //! The native nearest walk's boxes, made by the first query that needs them.
    mutable std::once_flag nearest_boxes_made;
    mutable std::unique_ptr<gyrant::cpu::NearestTree> nearest_boxes;
#endif

    //! The weight scale for point normals (3 floats each, caller's units) in the frame `frame`.
    float weight_for(float const* normals, float frame);
    //! values[0, count) divided by the weight scale, on `stream` (nothing when it is 1).
    void unweight(float* values, unsigned long count, cudaStream_t stream) const;

    //! The destructor's steps; also undoes a constructor that stops half way.
    void release() noexcept;

    int device = 0;
    cudaStream_t stream = nullptr;
    cudaEvent_t build_start_event = nullptr;
    cudaEvent_t build_done_event = nullptr;
    gyrant::StreamPolicy policy;
    unsigned long count = 0;
    uint32_t* d_sorted_indices = nullptr;
    float* d_primitives = nullptr;
    AABB* d_binary_aabbs = nullptr;
    uint32_t* d_bvh8_node_count = nullptr;
    BVH8Node* d_bvh8_nodes = nullptr;
    TailorCoefficientsF16* d_bvh8_coefficients = nullptr;
    TailorCoefficientsF16* d_leaf_coefficients = nullptr;
    LeafPointers* d_leaf_pointers = nullptr;
    float scale = 1.0f;
    float weight = 1.0f;
    //! The surface's extent in the caller's units (the largest side of its box).
    float extent = 0.0f;
    //! The sorted Morton codes of a refittable point engine (empty otherwise).
    gyrant::StreamBuffer<unsigned long> kept_codes;
    //! The exact method's data: exact boxes of nodes and leaves and the boundary chain, held only
    //! when it counts crossings. 24 bytes a leaf and a node, under 1 byte a triangle (about 0.86
    //! with full leaves of 32 and nodes of 8), plus 24 bytes a boundary edge (six planes, see
    //! RayScene::boundary); the walk reads the sorted triangles and the 8-wide nodes already there.
    gyrant::StreamBuffer<RayBox> ray_node_boxes;
    gyrant::StreamBuffer<RayBox> ray_leaf_boxes;
    gyrant::StreamBuffer<float> boundary_chain;
    unsigned long boundary_edges = 0;
    uint32_t boundary_stride = 0;
    bool crossings_exact = false;
    RayBox exact_bounds{};  // the surface's box, in the frame
    RayScene ray_scene() const;
    //! The scene box and scale that order this engine's primitives and queries.
    SceneParams scene_params{};
#if defined(GYRANT_FLAVOUR_HOST)
    //! The hierarchy in the native walk's layout; null without one (at most 32 primitives).
    std::unique_ptr<gyrant::cpu::WideTree> native_tree;
    //! Whether this engine builds with the native code: the creating thread's hook, read once.
    bool build_natively = gyrant::cpu::test_hooks().native_build;
#endif
};

// Python binding of the engine: the `gyrant_module` extension and its class `GyrantEngine`.
#include "platform.h"

#include "geometry.h"
#include "gyrant_cuda.h"
#include "gyrant_solver.h"
#include "utils.h"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#if defined(GYRANT_FLAVOUR_HOST) && defined(__linux__)
#include <dlfcn.h>
#endif

#include <array>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// The one place where the flavours differ: the cuda build takes CUDA arrays, the host build takes
// CPU arrays (its kernels run on the CPU). Signature texts keep saying "cuda" in both.
#if defined(GYRANT_FLAVOUR_HOST)
using DeviceTag = nb::device::cpu;
#else
using DeviceTag = nb::device::cuda;
#endif

// Inputs are only read, so read-only arrays are accepted too.
template <class Scalar, class Shape>
using InputArray = nb::ndarray<Scalar const, Shape, nb::c_contig, DeviceTag>;
using SoupArray = InputArray<float, nb::shape<-1, 3, 3>>;
using Vec3Array = InputArray<float, nb::shape<-1, 3>>;
using IndexArray = InputArray<uint32_t, nb::shape<-1, 3>>;
using ScalarArray = InputArray<float, nb::shape<-1>>;

// Results are nanobind's own array object (nb_ndarray), which speaks DLPack (__dlpack__,
// __dlpack_device__) to any framework without a copy; nanobind exports it for `array_api`.
#if NB_VERSION_MAJOR < 2 || (NB_VERSION_MAJOR == 2 && NB_VERSION_MINOR < 10)
#error "gyrant_module needs nanobind 2.10 or newer (the array_api export)"
#endif
using ResultArray = nb::ndarray<nb::array_api, float, nb::ndim<1>, nb::c_contig, DeviceTag>;
using Vec3ResultArray = nb::ndarray<nb::array_api, float, nb::shape<-1, 3>, nb::c_contig, DeviceTag>;
using GridResultArray = nb::ndarray<nb::array_api, float, nb::ndim<3>, nb::c_contig, DeviceTag>;

using TriangleBackend = GyrantBackend<Triangle>;
using PointBackend = GyrantBackend<PointNormal>;

//! Carries a result buffer's ownership into Python: the capsule holding it frees the buffer on
//! the stream that produced it.
struct OwnedDeviceBuffer {
    float* data;
    CudaDeleter deleter;
};

//! A capsule that owns `buffer` from now on. Ownership moves only once the capsule exists, so
//! the buffer is freed on every way out.
nb::capsule take_ownership(std::unique_ptr<float, CudaDeleter>& buffer) {
    auto record = std::make_unique<OwnedDeviceBuffer>(OwnedDeviceBuffer{buffer.get(), buffer.get_deleter()});
    nb::capsule owner(record.get(), [](void* p) noexcept {
        auto* r = static_cast<OwnedDeviceBuffer*>(p);
        r->deleter(r->data);
        delete r;
    });
    record.release();
    buffer.release();
    return owner;
}

//! Hands an engine result of `count` floats to Python without a copy.
ResultArray wrap_result(std::unique_ptr<float, CudaDeleter> buffer, size_t count, int device) {
    float* const data = buffer.get();
    nb::capsule const owner = take_ownership(buffer);
    return ResultArray(data, {count}, owner, {}, nb::dtype<float>(), DeviceTag::value, device);
}

using IndexResultArray = nb::ndarray<nb::array_api, int64_t, nb::ndim<1>, nb::c_contig, DeviceTag>;

//! Hands an engine result of `count` indices to Python without a copy (see take_ownership).
IndexResultArray wrap_index(std::unique_ptr<int64_t, CudaDeleter> buffer, size_t count, int device) {
    struct Owned {
        int64_t* data;
        CudaDeleter deleter;
    };
    auto record = std::make_unique<Owned>(Owned{buffer.get(), buffer.get_deleter()});
    nb::capsule owner(record.get(), [](void* p) noexcept {
        auto* r = static_cast<Owned*>(p);
        r->deleter(r->data);
        delete r;
    });
    record.release();
    int64_t* const data = buffer.release();
    return IndexResultArray(data, {count}, owner, {}, nb::dtype<int64_t>(), DeviceTag::value, device);
}

template <class Array>
void require_engine_device(Array const& array, int engine_device, char const* message) {
    if (array.device_id() != engine_device) throw std::runtime_error(message);
}

//! Refuses (ValueError) an array whose data does not start at a multiple of its element's size,
//! such as a NumPy view at an odd byte offset or an array rebuilt from pickled bytes: the engine
//! reads its elements in place, which is undefined on a CPU and a misaligned-address fault on a
//! GPU. A copy is the caller's choice, not a silent one. Empty arrays are never read.
template <class Array>
void require_aligned(Array const& array, char const* name) {
    using Element = std::remove_const_t<typename Array::Scalar>;
    if (array.size() == 0 || reinterpret_cast<std::uintptr_t>(array.data()) % alignof(Element) == 0) return;
    throw std::invalid_argument(std::string(name) + " is not aligned: its data must start at a multiple of " +
                                std::to_string(alignof(Element)) +
                                " bytes (pass an aligned copy, for example numpy.array(" + name + ")).");
}

}  // namespace

//! The Python-visible engine: owns exactly one backend, the one `uses_triangles` names.
struct GyrantEngine {
    bool uses_triangles = false;
    std::unique_ptr<PointBackend> point_backend;        // released last
    std::unique_ptr<TriangleBackend> triangle_backend;  // released first

    GyrantEngine() = default;
    explicit GyrantEngine(std::unique_ptr<TriangleBackend> backend)
        : uses_triangles(true), triangle_backend(std::move(backend)) {}
    explicit GyrantEngine(std::unique_ptr<PointBackend> backend)
        : uses_triangles(false), point_backend(std::move(backend)) {}
    GyrantEngine(GyrantEngine&&) noexcept = default;
    GyrantEngine& operator=(GyrantEngine&&) noexcept = default;
    GyrantEngine(GyrantEngine const&) = delete;
    GyrantEngine& operator=(GyrantEngine const&) = delete;

    int device_id() const {
        return uses_triangles ? triangle_backend->device_id() : point_backend->device_id();
    }

    ResultArray compute(Vec3Array const& queries, float beta, float epsilon, uint64_t stream,
                        std::string const& method) const {
        bool const exact = method == "exact";
        if (!exact && method != "hierarchical")
            throw nb::value_error("method must be \"hierarchical\" or \"exact\".");
        if (exact && !uses_triangles) throw nb::value_error(kNoCrossingsMessage);
        require_engine_device(queries, device_id(), kQueriesDeviceMessage);
        require_aligned(queries, "queries");
        size_t const n = queries.shape(0);
        auto out = exact ? triangle_backend->compute_exact(queries.data(), n, stream)
                   : uses_triangles ? triangle_backend->compute(queries.data(), n, beta, epsilon, stream)
                                    : point_backend->compute(queries.data(), n, beta, epsilon, stream);
        return wrap_result(std::move(out), n, device_id());
    }

    GridResultArray compute_grid(std::array<float, 3> const& origin, std::array<float, 3> const& spacing,
                                 std::array<int64_t, 3> const& shape, uint64_t stream) const {
        if (!uses_triangles) throw nb::value_error(kNoCrossingsMessage);
        unsigned long dims[3];
        for (int a = 0; a < 3; ++a) {
            if (shape[a] < 0) throw nb::value_error("The grid's shape must not be negative.");
            dims[a] = static_cast<unsigned long>(shape[a]);
        }
        auto out = triangle_backend->exact_grid(origin.data(), spacing.data(), dims, stream);
        float* const data = out.get();
        nb::capsule const owner = take_ownership(out);
        size_t const extents[3] = {dims[0], dims[1], dims[2]};
        return GridResultArray(data, 3, extents, owner, nullptr, nb::dtype<float>(), DeviceTag::value, device_id());
    }

    //! "crossings" or "hierarchical" for triangle engines, None for point clouds.
    std::optional<std::string> exact_path() const {
        if (!uses_triangles) return std::nullopt;
        return triangle_backend->exact_uses_crossings() ? "crossings" : "hierarchical";
    }
    std::optional<unsigned long> boundary_edges() const {
        if (!uses_triangles) return std::nullopt;
        return triangle_backend->boundary_edge_count();
    }

    ResultArray brute_force(Vec3Array const& queries, float epsilon, uint64_t stream) const {
        require_engine_device(queries, device_id(), kQueriesDeviceMessage);
        require_aligned(queries, "queries");
        size_t const n = queries.shape(0);
        auto out = uses_triangles ? triangle_backend->brute_force(queries.data(), n, epsilon, stream)
                                  : point_backend->brute_force(queries.data(), n, epsilon, stream);
        return wrap_result(std::move(out), n, device_id());
    }

    // The derivatives exist for point clouds only; a triangle engine's backend refuses them
    // with a clear message once the arrays are known to be on the engine's device.
    Vec3ResultArray grad_scaled_normals(ScalarArray const& grad_output, std::optional<Vec3Array> const& queries,
                                        float beta, float epsilon, uint64_t stream) const {
        return product(true, grad_output, queries, beta, epsilon, stream);
    }

    Vec3ResultArray grad_points(ScalarArray const& grad_output, std::optional<Vec3Array> const& queries, float beta,
                                float epsilon, uint64_t stream) const {
        return product(false, grad_output, queries, beta, epsilon, stream);
    }

    Vec3ResultArray gradient(Vec3Array const& queries, float beta, float epsilon, uint64_t stream) const {
        require_engine_device(queries, device_id(), kQueriesDeviceMessage);
        require_aligned(queries, "queries");
        size_t const n = queries.shape(0);
        auto out = uses_triangles ? triangle_backend->gradient(queries.data(), n, beta, epsilon, stream)
                                  : point_backend->gradient(queries.data(), n, beta, epsilon, stream);
        return wrap_rows(std::move(out), n);
    }

    Vec3ResultArray brute_force_gradient(Vec3Array const& queries, float epsilon, uint64_t stream) const {
        require_engine_device(queries, device_id(), kQueriesDeviceMessage);
        require_aligned(queries, "queries");
        size_t const n = queries.shape(0);
        auto out = uses_triangles ? triangle_backend->brute_force_gradient(queries.data(), n, epsilon, stream)
                                  : point_backend->brute_force_gradient(queries.data(), n, epsilon, stream);
        return wrap_rows(std::move(out), n);
    }

    Vec3ResultArray scaled_normals() const {
        if (uses_triangles)
            throw std::runtime_error("Normals are not explicitly stored for triangle based geometry.");
        return wrap_rows(point_backend->get_normals(), point_backend->point_count());
    }

    std::string dump() const { return uses_triangles ? triangle_backend->dump() : point_backend->dump(); }

    nb::tuple closest_point(Vec3Array const& queries, float max_distance, uint64_t stream) const {
        require_engine_device(queries, device_id(), kQueriesDeviceMessage);
        require_aligned(queries, "queries");
        size_t const n = queries.shape(0);
        auto wrap = [&](auto result) {
            ResultArray distance = wrap_result(std::move(result.distance), n, device_id());
            Vec3ResultArray points = wrap_rows(std::move(result.points), n);
            return nb::make_tuple(distance, points, wrap_index(std::move(result.index), n, device_id()));
        };
        return uses_triangles ? wrap(triangle_backend->closest_point(queries.data(), n, max_distance, stream))
                              : wrap(point_backend->closest_point(queries.data(), n, max_distance, stream));
    }

    ResultArray signed_distance(Vec3Array const& queries, float beta, float epsilon, std::string const& sign,
                                float max_distance, uint64_t stream) const {
        int mode = -1;
        if (sign == "winding") mode = 0;
        if (sign == "abs_winding") mode = 1;
        if (sign == "none") mode = 2;
        if (mode < 0)
            throw std::invalid_argument("sign must be 'winding', 'abs_winding' or 'none', not '" + sign + "'.");
        require_engine_device(queries, device_id(), kQueriesDeviceMessage);
        require_aligned(queries, "queries");
        size_t const n = queries.shape(0);
        auto out = uses_triangles
                       ? triangle_backend->signed_distance(queries.data(), n, beta, epsilon, mode, max_distance, stream)
                       : point_backend->signed_distance(queries.data(), n, beta, epsilon, mode, max_distance, stream);
        return wrap_result(std::move(out), n, device_id());
    }

    nb::tuple sign_reevaluations() const {
        return uses_triangles ? nb::make_tuple(triangle_backend->sign_tightenings(), triangle_backend->sign_reevaluations())
                              : nb::make_tuple(point_backend->sign_tightenings(), point_backend->sign_reevaluations());
    }

    unsigned long sign_exact_evaluations() const {
        return uses_triangles ? triangle_backend->sign_exact_evaluations() : point_backend->sign_exact_evaluations();
    }

    static constexpr char const* kNoCrossingsMessage =
        "method=\"exact\" needs a triangle surface: an oriented point cloud has no crossings; use "
        "method=\"hierarchical\".";
    static constexpr char const* kQueriesDeviceMessage =
        "queries must reside on the same CUDA device as the engine.";
    static constexpr char const* kGradDeviceMessage =
        "grad_output must reside on the same CUDA device as the engine.";

   private:
    size_t primitive_count() const {
        return uses_triangles ? triangle_backend->point_count() : point_backend->point_count();
    }

    Vec3ResultArray product(bool normals, ScalarArray const& grad_output, std::optional<Vec3Array> const& queries,
                            float beta, float epsilon, uint64_t stream) const {
        require_engine_device(grad_output, device_id(), kGradDeviceMessage);
        require_aligned(grad_output, "grad_output");
        if (queries) {
            require_engine_device(*queries, device_id(), kQueriesDeviceMessage);
            require_aligned(*queries, "queries");
            if (queries->shape(0) != grad_output.shape(0))
                throw std::runtime_error("grad_output must have one value per query (" +
                                         std::to_string(queries->shape(0)) + " queries, " +
                                         std::to_string(grad_output.shape(0)) + " values).");
        }
        size_t const n = grad_output.shape(0);
        // A null pointer means "the engine's own points"; an empty array (PyTorch's has no data
        // pointer) still means no queries at all, whose products are zero.
        static float const no_queries[3] = {};
        float const* const q = !queries ? nullptr : queries->data() != nullptr ? queries->data() : no_queries;
        std::unique_ptr<float, CudaDeleter> out;
        if (uses_triangles)
            out = normals ? triangle_backend->grad_normals(grad_output.data(), n, q, beta, epsilon, stream)
                          : triangle_backend->grad_points(grad_output.data(), n, q, beta, epsilon, stream);
        else
            out = normals ? point_backend->grad_normals(grad_output.data(), n, q, beta, epsilon, stream)
                          : point_backend->grad_points(grad_output.data(), n, q, beta, epsilon, stream);
        return wrap_rows(std::move(out), primitive_count());
    }

    //! An (n, 3) result.
    Vec3ResultArray wrap_rows(std::unique_ptr<float, CudaDeleter> buffer, size_t n) const {
        float* const data = buffer.get();
        nb::capsule const owner = take_ownership(buffer);
        return Vec3ResultArray(data, {n, 3}, owner, {}, nb::dtype<float>(), DeviceTag::value, device_id());
    }
};

namespace {

nb::object solve_normals(Vec3Array const& pc, Vec3Array const& extra_points, ScalarArray const& extra_wn,
                         std::optional<ScalarArray> const& pc_wn, float alpha_extra, unsigned iterations,
                         float tolerance, unsigned long coarse_points, unsigned consistency_steps,
                         bool return_history, std::optional<nb::callable> const& progress) {
    int const device = pc.device_id();
    if (extra_points.device_id() != device || extra_wn.device_id() != device)
        throw std::runtime_error("All input arrays must reside on the same CUDA device.");
    size_t const n = pc.shape(0);
    if (pc_wn) {
        if (pc_wn->device_id() != device)
            throw std::runtime_error("pc_wn must reside on the same CUDA device as pc.");
        if (pc_wn->shape(0) != n) throw std::runtime_error("pc_wn must have one value per point.");
    }
    // Read past its end otherwise.
    if (extra_wn.shape(0) != extra_points.shape(0))
        throw std::runtime_error("extra_wn must have one value per extra point.");
    require_aligned(pc, "pc");
    require_aligned(extra_points, "extra_points");
    require_aligned(extra_wn, "extra_wn");
    if (pc_wn) require_aligned(*pc_wn, "pc_wn");

    // Without per-point targets every point is asked to sit on the surface (winding number 0.5).
    std::unique_ptr<float, void (*)(float*)> default_wn(nullptr,
                                                        [](float* p) { gyrant_cuda::cuda_free(p); });
    float const* targets = pc_wn ? pc_wn->data() : nullptr;
    if (!pc_wn) {
        default_wn.reset(static_cast<float*>(gyrant_cuda::cuda_allocate(n * sizeof(float))));
        if (n > 0 && !default_wn) throw std::bad_alloc();
        if (n > 0) gyrant_cuda::thrust_fill_float(default_wn.get(), n, 0.5f);
        targets = default_wn.get();
    }

    gyrant::SolverOptions options;
    options.iterations = iterations;
    options.tolerance = tolerance;
    options.coarse_points = coarse_points;
    options.consistency_steps = consistency_steps;
    // Called on this thread, which holds the GIL; what it raises ends the solve and reaches the caller.
    if (progress) options.progress = [&](char const* stage, double done) { (*progress)(stage, done); };
    gyrant::SolverResult solved = gyrant::solve_normals(pc.data(), n, extra_points.data(), extra_points.shape(0),
                                                        extra_wn.data(), targets, alpha_extra, device, options);
    nb::object engine = nb::cast(GyrantEngine(std::move(solved.engine)));
    if (!return_history) return engine;
    nb::dict info;
    info["residuals"] = nb::cast(solved.residuals);
    info["epsilon"] = solved.epsilon;
    return nb::make_tuple(engine, info);
}

char const* const kModuleDoc =
    "        GPU-accelerated Differentiable Winding Number Field library.\n"
    "\n"
    "        Compatible with any framework supporting DLPack / Array API (PyTorch, JAX, CuPy,\n"
    "        etc.). All inputs must reside on the same CUDA device.\n";

char const* const kInitSoupDoc = R"(Initialize the engine using a triangle soup.

Parameters
----------
triangles : Array[N, 3, 3], float32
    N triangles given by their three vertices (v0, v1, v2). The vertices are to be ordered
    counter-clockwise when seen from the front.
)";

char const* const kInitMeshDoc = R"(Initialize the engine using a triangle soup with N Triangles using M shared vertices.

Parameters
----------
vertices : Array[M, 3], float32
    The M shared vertex positions.
triangle_indices : Array[N, 3], uint32
    Three vertex indices per triangle, ordered counter-clockwise when seen from the front.
    Every index must be smaller than M.
)";

char const* const kInitPointsDoc = R"(Initialize the engine using a point cloud with scaled normals.

Parameters
----------
points : Array[N, 3], float32
    The point positions.
normals : Array[N, 3], float32
    One scaled normal per point: its direction is the orientation of the surface at the point
    and its length the associated voronoi area.
)";

char const* const kSolveNormalsDoc = R"(Solves for optimal scaled normals for a point cloud.

Parameters
----------
pc : Array[N, 3], float32
    The point positions.
extra_points : Array[K, 3], float32
    Additional constraint locations.
extra_wn : Array[K], float32
    Target winding numbers at extra_points.
pc_wn : Array[N], float32, optional
    Target winding numbers at the points themselves; defaults to 0.5 for all points.
alpha_extra : float
    Weight of the extra_points constraints against the point-cloud constraints, default 0.2.
iterations, tolerance : int, float (keyword only)
    Conjugate-gradient budget of the coarse least-squares fit and the relative residual at which
    it stops; defaults 15 and 0.07 (beyond, the orientation no longer changes measurably).
coarse_points : int (keyword only)
    Points of the coarse fit, an even subset of the cloud; default 8000. A noisy cloud (noise
    near half its point spacing) fits down to half as many, wider apart than its noise.
consistency_steps : int (keyword only)
    Steps per level that turn every normal toward -grad w (the outward direction of the field),
    default 2.
return_history : bool (keyword only)
    Also return a dict with the fit's relative residuals ("residuals", first the starting 1)
    and the smoothing radius used on the cloud ("epsilon", its mean point spacing).
progress : callable, optional (keyword only)
    Called as progress(stage, done) while the solve runs: stage one of "neighbours", "coarse
    fit", "consistency", "final scale", in that order, and done the share of that stage finished
    (0 to 1; 1 once when it ends). What it raises ends the solve.

Returns
-------
GyrantEngine
    A point-cloud engine holding the solved scaled normals (all scaled together so that the winding
    number jumps by one across the surface, with the sign that fits the targets); with
    return_history, (engine, dict).

Note
----
Objective: sum_i (w(pc_i) - pc_wn_i)^2 + alpha_extra sum_j (w(extra_j) - extra_wn_j)^2. A typical
extra_points is a box around the cloud with value 0.
)";

char const* const kScaledNormalsDoc = R"(Returns a copy of the scaled normals currently stored in the engine.

Returns
-------
Array[N, 3], float32
    One scaled normal per point (orientation and voronoi area).

Note
----
Only point-cloud engines store normals.
)";

char const* const kComputeDoc = R"(Computes the winding number at the given query locations.

Parameters
----------
queries : Array[N, 3], float32
    The query points.
beta : float
    Controls the degree of approximation: larger is more precise and slower. A negative value
    selects the default, 2.0 for point clouds and 2.3 for triangles.
epsilon : float
    Regularization scale for point clouds: unregularized at distances of at least 2*epsilon,
    smoothly damped to a finite maximum below. A negative value selects 1/250.
stream : int
    Raw 64-bit handle of a CUDA stream (for example a framework's current stream), default 0.
method : str
    "hierarchical" (default): the expansions of the hierarchy, within beta's error.
    "exact" (triangle engines only): the signed crossings of a ray along an axis plus the boundary
    chain's term; exact, integers on closed surfaces; beta and epsilon do not apply. Where the
    boundary is long (over 512 open edges), the engine answers hierarchically with beta 6
    instead, within about 2e-5 of the exact values (see exact_path).

Returns
-------
Array[N], float32
    The winding number at every query point, ready in the order of `stream`.
)";

char const* const kClosestPointDoc = R"(The nearest primitive of every query, through the engine's hierarchy.

Parameters
----------
queries : Array[Q, 3], float32
    The query points.
max_distance : float
    Primitives farther than this are not looked for (the walk stops early: narrow bands are
    cheap). Must be zero or positive; inf (the default) for no limit.
stream : int
    Raw 64-bit handle of a CUDA stream, default 0.

Returns
-------
tuple (distance, point, index)
    distance (Q,) float32, the closest point (Q, 3) float32 in the caller's units, and the index
    (Q,) int64 of the triangle (caller's order) or of the point. Beyond max_distance: inf, NaN,
    -1. A query with a non-finite coordinate: NaN, NaN, -1. Degenerate triangles count as their
    segment or point.
)";

char const* const kSignedDistanceDoc = R"(The distance to the surface, negative inside.

The distance is closest_point's; the sign comes from the winding number w, in passes: compute at
beta for every query; where that w lies within its error bound of 0.5, compute at twice the
default beta; where that one still does, the exact sum (brute_force). The sign agrees with the
exact winding number. sign_reevaluations counts the queries of the later passes. A triangle
surface whose exact_path is "crossings" takes every sign from compute(method="exact") instead, in
one pass (beta is then unused). On a closed one (no boundary edges), w is an integer that changes
only across the surface: consecutive queries in Morton order closer to each other than their
distance to the surface share it, and only the first of each such run is evaluated
(sign_exact_evaluations counts them). On an open triangle surface w changes along such a run by
no more than a bound from its boundary (w's gradient is the boundary's Biot-Savart field): a query
shares the sign of its run's head while the head's w, less its error and that bound, stays on its
side of 0.5, and takes its own w (in the passes above) where it does not.

Parameters
----------
queries : Array[Q, 3], float32
beta : float
    Of the first pass (negative: 1.5, cheaper than compute's default; the later passes make up
    for it where the sign is in doubt).
epsilon : float
    As for compute (negative: the default).
sign : str
    "winding": inside where w > 0.5; "abs_winding": inside where |w| > 0.5 (soups oriented
    inconsistently); "none": the unsigned distance.
max_distance : float
    Narrow band: queries with no primitive within it get +inf, and no winding number is
    evaluated for them. Zero or positive; inf (the default) for no limit.
stream : int
    Raw 64-bit handle of a CUDA stream, default 0.

Returns
-------
Array[Q], float32
    Signed distances; NaN for a query with a non-finite coordinate.
)";

char const* const kComputeGridDoc = R"(Winding numbers of a triangle surface on a regular grid, one ray per row.

Voxel (i, j, k) sits at origin + (i, j, k) * spacing, each coordinate computed in float32 as one
product and one sum (as NumPy computes `origin + np.float32(k) * spacing` in float32). Every row
along the last axis shares one ray: its crossings are counted into the voxels below them by a
prefix sum, and the boundary term is added per voxel. Exact like compute(method="exact"), and
hierarchical where that is (see exact_path).

Parameters
----------
origin : tuple of 3 floats
    The first voxel, finite.
spacing : tuple of 3 floats
    Positive, finite steps along the three axes.
shape : tuple of 3 ints
    Voxels along the three axes.
stream : int
    Raw 64-bit handle of a CUDA stream, default 0.

Returns
-------
Array[I, J, K], float32
)";

char const* const kExactPathDoc = R"(What compute(method="exact") runs on this triangle engine.

"crossings": the signed crossings of a ray along an axis plus the term of the boundary chain (open
edges), exact, and an integer on closed surfaces. "hierarchical": the boundary chain is too long
for its per-query sum to pay (over 512 edges, see boundary_edges), or a coordinate is not
finite, so the hierarchical compute answers, with beta 6 (about 2e-5 from the exact values on
CGAL's open meshes) and the default epsilon. None for point clouds, which refuse "exact".
)";

char const* const kBruteForceDoc = R"(Computes the winding numbers at the given query location with brute force on GPU.
This is O(N^2) but precise.

Parameters
----------
queries : Array[N, 3], float32
    The query points.
epsilon : float
    Regularization scale for point clouds: unregularized at distances of at least 2*epsilon,
    smoothly damped to a finite maximum below. A negative value selects 1/250.
stream : int
    Raw 64-bit handle of a CUDA stream (for example a framework's current stream), default 0.

Returns
-------
Array[N], float32
    The exact winding number at every query point, ready in the order of `stream`.
)";

char const* const kGradNormalsDoc = R"(Compute the Vector-Jacobian Product (VJP) for the scaled normals.

The product of grad_output with the Jacobian of compute(queries, beta, epsilon) with respect to
the stored scaled normals: row i is sum_j grad_output[j] * d w(queries[j]) / d normal_i.

Parameters
----------
grad_output : Array[Q], float32
    Gradient of the loss with respect to the winding numbers at the Q queries.
queries : Array[Q, 3], float32, optional
    The query points; by default the engine's own points (then Q = N).
beta : float
    Degree of approximation, as for compute; infinity sums every pair exactly.
epsilon : float
    Regularization scale, as for compute.
stream : int
    Raw 64-bit handle of a CUDA stream, default 0.

Returns
-------
Array[N, 3], float32
    Gradient with respect to the scaled normals, in the order and units of the engine's input.

Note
----
Only point-cloud engines. The queries are held fixed.
SUBJECT TO CHANGE
)";

char const* const kGradPointsDoc = R"(Compute the Vector-Jacobian Product (VJP) for the source point positions.

The product of grad_output with the Jacobian of compute(queries, beta, epsilon) with respect to
the point positions: row i is sum_j grad_output[j] * d w(queries[j]) / d point_i.

Parameters
----------
grad_output : Array[Q], float32
    Gradient of the loss with respect to the winding numbers at the Q queries.
queries : Array[Q, 3], float32, optional
    The query points; by default the engine's own points (then Q = N).
beta : float
    Degree of approximation, as for compute; infinity sums every pair exactly.
epsilon : float
    Regularization scale, as for compute.
stream : int
    Raw 64-bit handle of a CUDA stream, default 0.

Returns
-------
Array[N, 3], float32
    Gradient with respect to the point positions, in the order of the engine's input.

Note
----
Only point-cloud engines. The queries are held fixed, also when they default to the engine's
own points (add gradient() for the derivative of moving them along).
SUBJECT TO CHANGE
)";

char const* const kGradientDoc = R"(Computes the gradient of the winding number with respect to the query location.

Parameters
----------
queries : Array[Q, 3], float32
    The query points.
beta : float
    Degree of approximation, as for compute (default 2.0).
epsilon : float
    Regularization scale, as for compute.
stream : int
    Raw 64-bit handle of a CUDA stream, default 0.

Returns
-------
Array[Q, 3], float32
    The gradient at every query point (only point-cloud engines).
)";

char const* const kBruteForceGradientDoc = R"(Computes the gradient of the winding number with respect to the query location exactly.

Sums every point: O(N Q), the reference for gradient().

Parameters
----------
queries : Array[Q, 3], float32
    The query points.
epsilon : float
    Regularization scale, as for compute.
stream : int
    Raw 64-bit handle of a CUDA stream, default 0.

Returns
-------
Array[Q, 3], float32
    The exact gradient at every query point (only point-cloud engines).
)";

char const* const kDumpDoc = R"(Returns a detailed string representation of the internal BVH8 Tree.

Returns
-------
str
    A Graphviz DOT document: one table per 8-wide node with its expansion centre, box and
    expansion coefficients, one table per leaf with its primitives, and an edge per child slot.
)";

#if defined(GYRANT_FLAVOUR_HOST) && defined(__linux__)
//! The host flavour defines the CUDA runtime's names itself. Were they bound to another library's
//! (a libcudart that torch or CuPy loaded globally), every allocation would go to a real GPU
//! runtime: refuse to load instead of failing at the first engine.
void check_runtime_binds_here() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void const*>(&check_runtime_binds_here), &self) == 0) return;
    std::pair<char const*, void const*> const used[] = {
        {"cudaMallocAsync", reinterpret_cast<void const*>(
                               static_cast<cudaError_t (*)(void**, size_t, cudaStream_t)>(&cudaMallocAsync))},
        {"cudaFreeAsync", reinterpret_cast<void const*>(&cudaFreeAsync)},
        {"cudaMemcpyAsync", reinterpret_cast<void const*>(&cudaMemcpyAsync)},
        {"cudaGetDevice", reinterpret_cast<void const*>(&cudaGetDevice)},
    };
    for (auto const& [name, address] : used) {
        Dl_info found{};
        if (dladdr(address, &found) != 0 && found.dli_fbase == self.dli_fbase) continue;
        throw std::runtime_error(std::string("gyrant_module (host flavour): ") + name + " resolves to " +
                                 (found.dli_fname != nullptr ? found.dli_fname : "another library") +
                                 ", not to this module; it was linked without cmake/module_exports.map");
    }
}
#endif

//! The engine of a triangle soup; `announce` prints the factory's report line.
GyrantEngine from_soup(SoupArray const& triangles, bool announce) {
    require_aligned(triangles, "triangles");
    return GyrantEngine(TriangleBackend::CreateFromTriangles(triangles.data(), triangles.shape(0),
                                                             triangles.device_id(), announce));
}

//! The engine of an indexed mesh; `announce` prints the factory's report line.
GyrantEngine from_mesh(Vec3Array const& vertices, IndexArray const& triangle_indices, bool announce) {
    if (vertices.device_id() != triangle_indices.device_id())
        throw std::runtime_error("Vertices and triangle_indices must be on the same CUDA device.");
    require_aligned(vertices, "vertices");
    require_aligned(triangle_indices, "triangle_indices");
    return GyrantEngine(TriangleBackend::CreateFromMesh(vertices.data(), vertices.shape(0), triangle_indices.data(),
                                                        triangle_indices.shape(0), vertices.device_id(), announce));
}

//! The engine of an oriented point cloud; `announce` prints the factory's report line.
GyrantEngine from_points(Vec3Array const& points, Vec3Array const& normals, bool announce) {
    if (points.device_id() != normals.device_id())
        throw std::runtime_error("Points and Normals must be on the same CUDA device.");
    if (points.shape(0) != normals.shape(0))
        throw std::runtime_error("Shape of points must be equal to shape of normals.");
    require_aligned(points, "points");
    require_aligned(normals, "normals");
    return GyrantEngine(PointBackend::CreateFromPoints(points.data(), normals.data(), points.shape(0),
                                                       points.device_id(), announce));
}

}  // namespace

NB_MODULE(gyrant_module, m) {
#if defined(GYRANT_FLAVOUR_HOST) && defined(__linux__)
    check_runtime_binds_here();
#endif
    m.doc() = kModuleDoc;
    // Which arrays the module takes: CUDA arrays ("cuda") or CPU arrays ("host").
    m.attr("flavour") = gyrant::kFlavour;

    // Array arguments never convert: a copy would contradict reading them in place, and a
    // converted dtype could send float data into the mesh overload as indices.
    nb::class_<GyrantEngine>(m, "GyrantEngine")
        .def(
            "__init__",
            [](GyrantEngine* self, SoupArray const& triangles) { new (self) GyrantEngine(from_soup(triangles, true)); },
            nb::sig("def __init__(self, triangles: Array[N, 3, 3; float32; cuda]) -> None"),
            "triangles"_a.noconvert(), kInitSoupDoc)
        .def(
            "__init__",
            [](GyrantEngine* self, Vec3Array const& vertices, IndexArray const& triangle_indices) {
                new (self) GyrantEngine(from_mesh(vertices, triangle_indices, true));
            },
            nb::sig("def __init__(self, vertices: Array[M, 3; float32; cuda], triange_indices: "
                    "Array[N, 3; uint32; cuda]) -> None"),
            "vertices"_a.noconvert(), "triangle_indices"_a.noconvert(), kInitMeshDoc)
        .def(
            "__init__",
            [](GyrantEngine* self, Vec3Array const& points, Vec3Array const& normals) {
                new (self) GyrantEngine(from_points(points, normals, true));
            },
            nb::sig("def __init__(self, points: Array[N, 3; float32; cuda], normals: Array[N, 3; "
                    "float32; cuda]) -> None"),
            "points"_a.noconvert(), "normals"_a.noconvert(), kInitPointsDoc)
        // The same three constructions without the factories' report line: for the gyrant package,
        // whose standard output carries only what its commands report.
        .def_static("_quiet", [](SoupArray const& triangles) { return from_soup(triangles, false); },
                    "triangles"_a.noconvert())
        .def_static(
            "_quiet",
            [](Vec3Array const& vertices, IndexArray const& triangle_indices) {
                return from_mesh(vertices, triangle_indices, false);
            },
            "vertices"_a.noconvert(), "triangle_indices"_a.noconvert())
        .def_static(
            "_quiet",
            [](Vec3Array const& points, Vec3Array const& normals) { return from_points(points, normals, false); },
            "points"_a.noconvert(), "normals"_a.noconvert())
        .def_static("solve_normals", &solve_normals,
                    nb::sig("def solve_normals(pc: Array[N, 3; float32; cuda], extra_points: Array[K, 3; "
                            "float32; cuda], extra_wn: Array[K; float32; cuda], pc_wn: Optional[Array[N; "
                            "float32; cuda]] = None, alpha_extra: float = 0.2, *, iterations: int = 15, "
                            "tolerance: float = 0.07, coarse_points: int = 8000, consistency_steps: int = 2, "
                            "return_history: bool = False, progress: Optional[Callable[[str, float], None]] = "
                            "None) -> GyrantEngine"),
                    "pc"_a.noconvert(), "extra_points"_a.noconvert(), "extra_wn"_a.noconvert(),
                    "pc_wn"_a.noconvert() = nb::none(), "alpha_extra"_a = 0.2f, nb::kw_only(),
                    "iterations"_a = 15u, "tolerance"_a = 0.07f, "coarse_points"_a = 8000ul,
                    "consistency_steps"_a = 2u, "return_history"_a = false, "progress"_a = nb::none(),
                    kSolveNormalsDoc)
        .def_prop_ro("scaled_normals", &GyrantEngine::scaled_normals,
                     nb::sig("@property\ndef scaled_normals(self) -> Array[N, 3]"),
                     // A copy that its capsule owns: not a view into the engine.
                     nb::rv_policy::automatic, kScaledNormalsDoc)
        .def("compute", &GyrantEngine::compute,
             nb::sig("def compute(self, queries: Array[N, 3; float32; cuda], beta: float32 = -1, epsilon: "
                     "float32 = -1, stream: uint64_t = 0, *, method: str = 'hierarchical') -> Array"),
             "queries"_a.noconvert(), "beta"_a = -1.0f, "epsilon"_a = -1.0f, "stream"_a = uint64_t{0},
             nb::kw_only(), "method"_a = "hierarchical", kComputeDoc)
        .def("compute_grid", &GyrantEngine::compute_grid,
             nb::sig("def compute_grid(self, origin: tuple[float, float, float], spacing: tuple[float, float, "
                     "float], shape: tuple[int, int, int], stream: uint64_t = 0) -> Array[I, J, K; float32; cuda]"),
             "origin"_a, "spacing"_a, "shape"_a, "stream"_a = uint64_t{0}, kComputeGridDoc)
        .def_prop_ro("exact_path", &GyrantEngine::exact_path,
                     nb::sig("@property\ndef exact_path(self) -> Optional[str]"), kExactPathDoc)
        .def_prop_ro("boundary_edges", &GyrantEngine::boundary_edges,
                     nb::sig("@property\ndef boundary_edges(self) -> Optional[int]"),
                     "Directed edges of the triangle surface's boundary chain (0 when closed); None for point clouds.")
        .def("brute_force", &GyrantEngine::brute_force,
             nb::sig("def brute_force(self, queries: Array[N, 3; float32, cuda], epsilon: float32 = -1, "
                     "stream: uint64_t = 0)-> Array"),
             "queries"_a.noconvert(), "epsilon"_a = -1.0f, "stream"_a = uint64_t{0}, kBruteForceDoc)
        .def("grad_scaled_normals", &GyrantEngine::grad_scaled_normals,
             nb::sig("def grad_scaled_normals(self, grad_output: Array[Q; float32; cuda], queries: "
                     "Optional[Array[Q, 3; float32; cuda]] = None, beta: float32 = -1, epsilon: float32 = -1, "
                     "stream: uint64_t = 0) -> Array[N, 3; float32; cuda]"),
             "grad_output"_a.noconvert(), "queries"_a.noconvert() = nb::none(), "beta"_a = -1.0f,
             "epsilon"_a = -1.0f, "stream"_a = uint64_t{0}, kGradNormalsDoc)
        .def("grad_points", &GyrantEngine::grad_points,
             nb::sig("def grad_points(self, grad_output: Array[Q; float32; cuda], queries: "
                     "Optional[Array[Q, 3; float32; cuda]] = None, beta: float32 = -1, epsilon: float32 = -1, "
                     "stream: uint64_t = 0) -> Array[N, 3; float32; cucda]"),
             "grad_output"_a.noconvert(), "queries"_a.noconvert() = nb::none(), "beta"_a = -1.0f,
             "epsilon"_a = -1.0f, "stream"_a = uint64_t{0}, kGradPointsDoc)
        .def("dump", &GyrantEngine::dump, nb::sig("def dump(self) -> str"), kDumpDoc)
        .def("gradient", &GyrantEngine::gradient,
             nb::sig("def gradient(self, queries: Array[Q, 3; float32; cuda], beta: float32 = -1, epsilon: "
                     "float32 = -1, stream: uint64_t = 0) -> Array[Q, 3; float32; cuda]"),
             "queries"_a.noconvert(), "beta"_a = -1.0f, "epsilon"_a = -1.0f, "stream"_a = uint64_t{0},
             kGradientDoc)
        .def("brute_force_gradient", &GyrantEngine::brute_force_gradient,
             nb::sig("def brute_force_gradient(self, queries: Array[Q, 3; float32; cuda], epsilon: float32 = -1, "
                     "stream: uint64_t = 0) -> Array[Q, 3; float32; cuda]"),
             "queries"_a.noconvert(), "epsilon"_a = -1.0f, "stream"_a = uint64_t{0}, kBruteForceGradientDoc)
        .def("closest_point", &GyrantEngine::closest_point,
             nb::sig("def closest_point(self, queries: Array[Q, 3; float32; cuda], max_distance: float32 = inf, "
                     "stream: uint64_t = 0) -> tuple[Array[Q; float32], Array[Q, 3; float32], Array[Q; int64]]"),
             "queries"_a.noconvert(), "max_distance"_a = INFINITY, "stream"_a = uint64_t{0}, kClosestPointDoc)
        .def("signed_distance", &GyrantEngine::signed_distance,
             nb::sig("def signed_distance(self, queries: Array[Q, 3; float32; cuda], beta: float32 = -1, epsilon: "
                     "float32 = -1, sign: str = 'winding', max_distance: float32 = inf, stream: uint64_t = 0) "
                     "-> Array[Q; float32]"),
             "queries"_a.noconvert(), "beta"_a = -1.0f, "epsilon"_a = -1.0f, "sign"_a = "winding",
             "max_distance"_a = INFINITY, "stream"_a = uint64_t{0}, kSignedDistanceDoc)
        .def_prop_ro("sign_reevaluations", &GyrantEngine::sign_reevaluations,
                     "(tight, exact): over the engine's life, the queries whose sign signed_distance "
                     "re-evaluated at twice the default beta (the first pass's w lay within its error bound "
                     "of 0.5), and those it then summed exactly (so did the tight pass's).")
        .def_prop_ro("sign_exact_evaluations", &GyrantEngine::sign_exact_evaluations,
                     "Over the engine's life, the queries whose own winding number signed_distance took "
                     "on a triangle surface with an exact method: on a closed one, one per run of queries "
                     "(in Morton order) that see each other without crossing the surface; on an open one, "
                     "the head of each stretch of a run along which the boundary bounds w's change, and "
                     "the queries that bound leaves too near 0.5. The rest share their head's sign.");
}

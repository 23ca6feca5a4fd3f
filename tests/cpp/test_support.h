// Shared helpers of the C++ tests: engine access, device arrays, reference geometry and
// double-precision references that share no code with the library.
#pragma once

#include "platform.h"

#include "geometry.h"
#include "gyrant_cuda.h"
#include "vec3.h"

#include <gtest/gtest.h>
#if defined(GYRANT_FLAVOUR_HOST)
#include <omp.h>
#endif

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <ostream>
#include <random>
#include <utility>
#include <vector>

//! Lets a test reach the engine's buffers, e.g. to write sorted storage before the build
//! pipeline exists, or to inspect what the build wrote.
struct GyrantBackendTestAccess {
    template <class T>
    static cudaStream_t stream(GyrantBackend<T> const& e) { return e.stream; }
    template <class T>
    static cudaEvent_t build_done_event(GyrantBackend<T> const& e) { return e.build_done_event; }
    template <class T>
    static uint32_t* sorted_indices(GyrantBackend<T> const& e) { return e.d_sorted_indices; }
    template <class T>
    static float* primitives(GyrantBackend<T> const& e) { return e.d_primitives; }
    template <class T>
    static AABB* binary_aabbs(GyrantBackend<T> const& e) { return e.d_binary_aabbs; }
    template <class T>
    static uint32_t* bvh8_node_count(GyrantBackend<T> const& e) { return e.d_bvh8_node_count; }
    template <class T>
    static BVH8Node* bvh8_nodes(GyrantBackend<T> const& e) { return e.d_bvh8_nodes; }
    template <class T>
    static TailorCoefficientsF16* bvh8_coefficients(GyrantBackend<T> const& e) { return e.d_bvh8_coefficients; }
    template <class T>
    static TailorCoefficientsF16* leaf_coefficients(GyrantBackend<T> const& e) { return e.d_leaf_coefficients; }
    template <class T>
    static LeafPointers* leaf_pointers(GyrantBackend<T> const& e) { return e.d_leaf_pointers; }
    template <class T>
    static SceneParams scene_params(GyrantBackend<T> const& e) { return e.scene_params; }
#if defined(GYRANT_FLAVOUR_HOST)
    template <class T>
    static void derive_native_tree(GyrantBackend<T>& e) { e.derive_native_tree(); }
#endif
};

namespace test {

//! Device array owned by a test (synchronous allocation, blocking copies).
template <class E>
class DeviceArray {
   public:
    explicit DeviceArray(size_t n) : n_(n) {
        if (n > 0) EXPECT_EQ(cudaMalloc(&p_, n * sizeof(E)), cudaSuccess);
    }
    explicit DeviceArray(std::vector<E> const& host) : DeviceArray(host.size()) { upload(host); }
    ~DeviceArray() {
        if (p_ != nullptr) cudaFree(p_);
    }
    DeviceArray(DeviceArray const&) = delete;
    DeviceArray& operator=(DeviceArray const&) = delete;

    E* get() const { return p_; }
    size_t size() const { return n_; }
    void upload(std::vector<E> const& host) {
        ASSERT_LE(host.size(), n_);
        if (!host.empty()) ASSERT_EQ(cudaMemcpy(p_, host.data(), host.size() * sizeof(E), cudaMemcpyHostToDevice), cudaSuccess);
    }
    std::vector<E> download() const { return download(p_, n_); }
    static std::vector<E> download(E const* p, size_t n) {
        std::vector<E> host(n);
        if (n > 0) EXPECT_EQ(cudaMemcpy(host.data(), p, n * sizeof(E), cudaMemcpyDeviceToHost), cudaSuccess);
        return host;
    }

   private:
    E* p_ = nullptr;
    size_t n_ = 0;
};

//! Coordinate planes of `prims` in the engine's structure-of-arrays layout (stride n).
template <class T>
std::vector<float> to_planes(std::vector<T> const& prims) {
    constexpr size_t k = sizeof(T) / sizeof(float);
    size_t const n = prims.size();
    std::vector<float> planes(k * n);
    for (size_t i = 0; i < n; ++i) {
        float record[k];
        std::memcpy(record, &prims[i], sizeof(T));
        for (size_t p = 0; p < k; ++p) planes[p * n + i] = record[p];
    }
    return planes;
}

//! Writes `prims` as the engine's sorted primitive storage and waits for the copy.
template <class T>
void fill_primitives(GyrantBackend<T> const& engine, std::vector<T> const& prims) {
    ASSERT_EQ(prims.size(), engine.point_count());
    std::vector<float> const planes = to_planes(prims);
    if (planes.empty()) return;
    ASSERT_EQ(cudaMemcpy(GyrantBackendTestAccess::primitives(engine), planes.data(),
                         planes.size() * sizeof(float), cudaMemcpyHostToDevice),
              cudaSuccess);
}

//! `prims` as an engine whose frame multiplies coordinates by `scale` stores them: coordinates
//! times scale, scaled normals times the engine's area factor (its square times the weight
//! scale).
template <class T>
std::vector<T> in_frame(std::vector<T> prims, float scale, float area) {
    for (T& p : prims) {
        if constexpr (std::is_same_v<T, Triangle>) {
            p = {p.v0 * scale, p.v1 * scale, p.v2 * scale};
        } else {
            p = {p.position * scale, p.normal * area};
        }
    }
    return prims;
}
template <class T>
std::vector<T> in_frame(std::vector<T> prims, float scale) {
    return in_frame(std::move(prims), scale, scale * scale);
}

//! An engine holding `prims` in its sorted storage as given, without a hierarchy: enough for
//! brute_force.
template <class T>
std::unique_ptr<GyrantBackend<T>> engine_with(std::vector<T> const& prims) {
    auto engine = std::make_unique<GyrantBackend<T>>(prims.size(), 0);
    fill_primitives(*engine, prims);
    return engine;
}

//! Results of a query, copied back after the caller's stream has finished.
inline std::vector<float> results(std::unique_ptr<float, CudaDeleter> const& out, size_t n,
                                  cudaStream_t stream = nullptr) {
    EXPECT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
    return DeviceArray<float>::download(out.get(), n);
}

// ---- geometry ---------------------------------------------------------------------------------

struct Mesh {
    std::vector<std::array<double, 3>> vertices;
    std::vector<std::array<uint32_t, 3>> faces;  // counter-clockwise seen from outside
};

//! Unit icosphere (radius 1, centred at the origin) after `subdivisions` 4-to-1 splits.
inline Mesh icosphere(int subdivisions) {
    double const t = (1.0 + std::sqrt(5.0)) / 2.0;
    Mesh m;
    m.vertices = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
                  {0, -1, -t}, {0, 1, -t}, {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
    m.faces = {{0, 11, 5}, {0, 5, 1}, {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
               {11, 10, 2}, {10, 7, 6}, {7, 1, 8}, {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
               {3, 8, 9},  {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
    auto normalize = [](std::array<double, 3> v) {
        double const l = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        return std::array<double, 3>{v[0] / l, v[1] / l, v[2] / l};
    };
    for (auto& v : m.vertices) v = normalize(v);
    for (int s = 0; s < subdivisions; ++s) {
        std::map<std::pair<uint32_t, uint32_t>, uint32_t> midpoints;
        auto midpoint = [&](uint32_t a, uint32_t b) {
            auto key = std::minmax(a, b);
            auto it = midpoints.find(key);
            if (it != midpoints.end()) return it->second;
            auto const& va = m.vertices[a];
            auto const& vb = m.vertices[b];
            m.vertices.push_back(normalize({va[0] + vb[0], va[1] + vb[1], va[2] + vb[2]}));
            uint32_t const id = static_cast<uint32_t>(m.vertices.size() - 1);
            midpoints.emplace(key, id);
            return id;
        };
        std::vector<std::array<uint32_t, 3>> faces;
        for (auto const& f : m.faces) {
            uint32_t const a = midpoint(f[0], f[1]), b = midpoint(f[1], f[2]), c = midpoint(f[2], f[0]);
            faces.push_back({f[0], a, c});
            faces.push_back({f[1], b, a});
            faces.push_back({f[2], c, b});
            faces.push_back({a, b, c});
        }
        m.faces = std::move(faces);
    }
    return m;
}

inline Vec3 to_vec3(std::array<double, 3> const& v) {
    return {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
}

//! The mesh as a float triangle soup, scaled by `scale` and moved by `offset`.
inline std::vector<Triangle> soup(Mesh const& m, double scale = 1.0, std::array<double, 3> offset = {0, 0, 0}) {
    std::vector<Triangle> tris;
    for (auto const& f : m.faces) {
        Vec3 v[3];
        for (int k = 0; k < 3; ++k) {
            auto const& p = m.vertices[f[k]];
            v[k] = to_vec3({p[0] * scale + offset[0], p[1] * scale + offset[1], p[2] * scale + offset[2]});
        }
        tris.push_back({v[0], v[1], v[2]});
    }
    return tris;
}

//! n points spread evenly over the unit sphere (Fibonacci lattice), each with an outward
//! scaled normal whose length is its share 4π/n of the sphere's area.
inline std::vector<PointNormal> sphere_points(size_t n) {
    std::vector<PointNormal> pts;
    double const golden = M_PI * (3.0 - std::sqrt(5.0));
    double const area = 4.0 * M_PI / static_cast<double>(n);
    for (size_t i = 0; i < n; ++i) {
        double const z = 1.0 - (2.0 * static_cast<double>(i) + 1.0) / static_cast<double>(n);
        double const r = std::sqrt(1.0 - z * z);
        double const phi = golden * static_cast<double>(i);
        std::array<double, 3> const p{r * std::cos(phi), r * std::sin(phi), z};
        pts.push_back({to_vec3(p), to_vec3({p[0] * area, p[1] * area, p[2] * area})});
    }
    return pts;
}

// ---- random inputs ----------------------------------------------------------------------------

struct Random {
    std::mt19937_64 engine;
    explicit Random(uint64_t seed) : engine(seed) {}
    float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(engine); }
    Vec3 point(float lo, float hi) { return {uniform(lo, hi), uniform(lo, hi), uniform(lo, hi)}; }
    uint32_t bits() { return static_cast<uint32_t>(engine()); }
};

//! Triangles of sizes from 0.01 to 0.3 (log-uniform), scattered through [-2, 2]^3.
inline std::vector<Triangle> random_soup(size_t n, uint64_t seed) {
    Random rng(seed);
    std::vector<Triangle> tris;
    for (size_t i = 0; i < n; ++i) {
        Vec3 const c = rng.point(-2.0f, 2.0f);
        float const size = 0.01f * std::pow(30.0f, rng.uniform(0.0f, 1.0f));
        tris.push_back({c + rng.point(-size, size), c + rng.point(-size, size), c + rng.point(-size, size)});
    }
    return tris;
}

//! Six Gaussian clusters of very different spreads (0.01 to 0.5) with scaled normals of random
//! direction and lengths from 0.001 to 0.1.
inline std::vector<PointNormal> clustered_points(size_t n, uint64_t seed) {
    Random rng(seed);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    Vec3 centers[6];
    float spreads[6];
    for (int k = 0; k < 6; ++k) {
        centers[k] = rng.point(-2.0f, 2.0f);
        spreads[k] = 0.01f * std::pow(50.0f, rng.uniform(0.0f, 1.0f));
    }
    std::vector<PointNormal> pts;
    for (size_t i = 0; i < n; ++i) {
        int const k = static_cast<int>(rng.bits() % 6);
        Vec3 const offset{gauss(rng.engine), gauss(rng.engine), gauss(rng.engine)};
        Vec3 const dir{gauss(rng.engine), gauss(rng.engine), gauss(rng.engine)};
        float const length = 0.001f * std::pow(100.0f, rng.uniform(0.0f, 1.0f));
        pts.push_back({centers[k] + offset * spreads[k], dir * (length / std::sqrt(dir.length2()))});
    }
    return pts;
}

//! Clusters nested 20 times, each level a corner of the previous one at half its size: a deep
//! tree whose smallest nodes have radii and moments in half precision's subnormal range.
inline std::vector<PointNormal> nested_clusters(uint64_t seed) {
    Random rng(seed);
    std::vector<PointNormal> pts;
    float half = 1.0f;
    for (int level = 0; level < 20; ++level, half *= 0.5f) {
        for (int i = 0; i < 96; ++i) {
            Vec3 const c{1.5f * half, 1.5f * half, 1.5f * half};
            pts.push_back({c + rng.point(-0.1f, 0.1f) * half, rng.point(-1.0f, 1.0f) * (0.01f * half * half)});
        }
    }
    return pts;
}

// ---- double-precision references --------------------------------------------------------------

using D3 = std::array<double, 3>;

inline D3 d3(Vec3 const& v) { return {v.x, v.y, v.z}; }
inline D3 sub(D3 const& a, D3 const& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline double dot(D3 const& a, D3 const& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline D3 cross(D3 const& a, D3 const& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double norm(D3 const& a) { return std::sqrt(dot(a, a)); }

//! Signed solid angle of triangle (v0, v1, v2) seen from q, as a fraction of the sphere, by
//! Girard's theorem: the spherical excess of the projected triangle (sum of its angles − π),
//! signed by the orientation. Positive behind the counter-clockwise front side.
inline double solid_angle_fraction(Triangle const& t, Vec3 const& q) {
    D3 const qd = d3(q);
    D3 u[3] = {sub(d3(t.v0), qd), sub(d3(t.v1), qd), sub(d3(t.v2), qd)};
    for (auto& v : u) {
        double const l = norm(v);
        v = {v[0] / l, v[1] / l, v[2] / l};
    }
    // Angle at vertex i between the great-circle arcs towards the other two vertices: the angle
    // between the tangent directions, i.e. between the planes (u_i, u_j) and (u_i, u_k).
    double excess = -M_PI;
    for (int i = 0; i < 3; ++i) {
        D3 const nj = cross(u[i], u[(i + 1) % 3]);
        D3 const nk = cross(u[i], u[(i + 2) % 3]);
        excess += std::atan2(norm(cross(nj, nk)), dot(nj, nk));
    }
    double const det = dot(u[0], cross(u[1], u[2]));
    return (det >= 0 ? excess : -excess) / (4.0 * M_PI);
}

//! Gaussian-regularised dipole of one oriented point at q in double precision.
inline double point_contribution(PointNormal const& p, Vec3 const& q, double epsilon) {
    D3 const d = sub(d3(p.position), d3(q));
    double const r = norm(d);
    if (r * r < 1e-18) return 0.0;
    double const x = r / epsilon;
    double k;
    if (x < 2.0) {
        // Fraction of the smoothed source within x: erf(x) − 2x e^(−x²)/√π, and its small-x
        // limit (4/(3√π)) x³ divided by r³.
        k = x < 0.1 ? 4.0 / (3.0 * std::sqrt(M_PI)) / (epsilon * epsilon * epsilon)
                    : (std::erf(x) - 2.0 / std::sqrt(M_PI) * x * std::exp(-x * x)) / (r * r * r);
    } else {
        k = 1.0 / (r * r * r);
    }
    return k * dot(d, d3(p.normal)) / (4.0 * M_PI);
}

inline double reference_winding(std::vector<Triangle> const& tris, Vec3 const& q, double) {
    double sum = 0.0;
    for (auto const& t : tris) sum += solid_angle_fraction(t, q);
    return sum;
}
inline double reference_winding(std::vector<PointNormal> const& pts, Vec3 const& q, double epsilon) {
    double sum = 0.0;
    for (auto const& p : pts) sum += point_contribution(p, q, epsilon);
    return sum;
}

#if defined(GYRANT_FLAVOUR_HOST)
//! A schedule of the host execution layer: OS threads and a fuzzing seed (0: fixed order).
struct Schedule {
    int workers;
    std::uint64_t seed;
};
//! Schedules a GPU could equally choose: correct kernels give the same bits under each.
#if defined(__SANITIZE_THREAD__)
// Under ThreadSanitizer every step costs twenty times more: two schedules with real concurrency.
inline constexpr Schedule kSchedules[] = {{3, 0}, {2, 0x5eed}};
#else
inline constexpr Schedule kSchedules[] = {{1, 0}, {3, 0}, {2, 0x5eed}, {3, 0xc0ffee}, {1, 977}};
#endif

//! Calls f(schedule) under each of kSchedules, then restores the caller's schedule.
template <class F>
void for_each_schedule(F&& f) {
    int const workers = gyrant::host::worker_threads();
    std::uint64_t const seed = gyrant::host::schedule_seed();
    for (Schedule const& s : kSchedules) {
        gyrant::host::set_worker_threads(s.workers);
        gyrant::host::set_schedule_seed(s.seed);
        f(s);
    }
    gyrant::host::set_worker_threads(workers);
    gyrant::host::set_schedule_seed(seed);
}

inline std::ostream& operator<<(std::ostream& os, Schedule const& s) {
    return os << s.workers << " workers, schedule seed " << s.seed;
}
#endif

#if defined(GYRANT_FLAVOUR_HOST)
//! Restores the OpenMP thread count it found, on every way out.
struct ScopedOmpThreads {
    ScopedOmpThreads() : saved(omp_get_max_threads()) {}
    ~ScopedOmpThreads() { omp_set_num_threads(saved); }
    ScopedOmpThreads(ScopedOmpThreads const&) = delete;
    ScopedOmpThreads& operator=(ScopedOmpThreads const&) = delete;
    int saved;
};
#endif

//! For its lifetime, engine queries run the kernels (the emulated ones in the host flavour, whose
//! native code is otherwise what compute and brute_force run).
struct KernelQueries {
#if defined(GYRANT_FLAVOUR_HOST)
    KernelQueries() { hooks.native_queries(false); }
    gyrant::cpu::ScopedTestHooks hooks;
#else
    KernelQueries() {}
    KernelQueries(KernelQueries const&) = delete;
    KernelQueries& operator=(KernelQueries const&) = delete;
#endif
};

//! For its lifetime, the host flavour's native queries reproduce the kernels' arithmetic bit for
//! bit (the C library's atan2f, no fused multiply-adds, half/bfloat16 expansions).
struct BitwiseNativeQueries {
#if defined(GYRANT_FLAVOUR_HOST)
    BitwiseNativeQueries() { hooks.kernel_arithmetic(true); }
    gyrant::cpu::ScopedTestHooks hooks;
#else
    BitwiseNativeQueries() {}
    BitwiseNativeQueries(BitwiseNativeQueries const&) = delete;
    BitwiseNativeQueries& operator=(BitwiseNativeQueries const&) = delete;
#endif
};

}  // namespace test

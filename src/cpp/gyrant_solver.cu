// The normal solver: a coarse least-squares fit, then normal consistency on both levels. The
// orchestration runs on the host over vectors of the coarse size and of the cloud's size; every
// sum over the cloud is an engine operation (compute, gradient, grad_normals) on the device.
#include "platform.h"

#include "gyrant_solver.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace gyrant {
namespace {

using Backend = GyrantBackend<PointNormal>;

std::vector<float> to_host(float const* device_data, size_t count) {
    std::vector<float> host(count);
    if (count > 0)
        CUDA_CHECK(cudaMemcpy(host.data(), device_data, count * sizeof(float), cudaMemcpyDeviceToHost));
    return host;
}

//! A device copy of host floats, on the default stream (the engine operations below use it too).
StreamBuffer<float> to_device(std::vector<float> const& host) {
    StreamBuffer<float> buffer(host.size(), nullptr);
    if (!host.empty())
        CUDA_CHECK(cudaMemcpy(buffer.get(), host.data(), host.size() * sizeof(float), cudaMemcpyHostToDevice));
    return buffer;
}

template <class V>
double dot(V const& a, V const& b) {
    double s = 0.0;
    for (size_t i = 0; i < a.size(); ++i) s += static_cast<double>(a[i]) * static_cast<double>(b[i]);
    return s;
}

//! Mean distance from a point to its nearest neighbour, over up to 20000 evenly spread points,
//! through a grid whose cells hold a few points each on a surface sample. 0 when no point has a
//! neighbour in its cell block (a cloud of one point, or of isolated points).
float mean_spacing(std::vector<float> const& p) {
    size_t const n = p.size() / 3;
    if (n < 2) return 0.0f;
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (size_t i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], p[3 * i + a]), hi[a] = std::max(hi[a], p[3 * i + a]);
    double const ex = hi[0] - lo[0], ey = hi[1] - lo[1], ez = hi[2] - lo[2];
    // A surface sample of n points over the box's faces: about this much area per point.
    double const area = 2.0 * (ex * ey + ey * ez + ez * ex);
    double cell = 2.0 * std::sqrt(area / static_cast<double>(n));
    if (!(cell > 0.0)) cell = std::max({ex, ey, ez}) / std::cbrt(static_cast<double>(n)) + 1e-30;
    auto key = [&](double x, double y, double z) {
        auto c = [&](double v, float l) { return static_cast<int64_t>(std::floor((v - l) / cell)); };
        return std::array<int64_t, 3>{c(x, lo[0]), c(y, lo[1]), c(z, lo[2])};
    };
    auto hash = [](std::array<int64_t, 3> const& k) {
        return static_cast<uint64_t>(k[0]) * 73856093u ^ static_cast<uint64_t>(k[1]) * 19349663u ^
               static_cast<uint64_t>(k[2]) * 83492791u;
    };
    std::unordered_map<uint64_t, std::vector<uint32_t>> grid;
    for (size_t i = 0; i < n; ++i) grid[hash(key(p[3 * i], p[3 * i + 1], p[3 * i + 2]))].push_back(static_cast<uint32_t>(i));
    size_t const step = std::max<size_t>(1, n / 20000);
    double sum = 0.0;
    size_t found = 0;
    for (size_t i = 0; i < n; i += step) {
        auto const k = key(p[3 * i], p[3 * i + 1], p[3 * i + 2]);
        double best = INFINITY;
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dz = -1; dz <= 1; ++dz) {
                    auto const it = grid.find(hash({k[0] + dx, k[1] + dy, k[2] + dz}));
                    if (it == grid.end()) continue;
                    for (uint32_t j : it->second) {
                        if (j == i) continue;
                        double const d[3] = {p[3 * j] - p[3 * i], p[3 * j + 1] - p[3 * i + 1], p[3 * j + 2] - p[3 * i + 2]};
                        double const d2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
                        if (d2 > 0.0) best = std::min(best, d2);
                    }
                }
        if (std::isfinite(best)) sum += std::sqrt(best), ++found;
    }
    return found > 0 ? static_cast<float>(sum / static_cast<double>(found)) : 0.0f;
}

//! Scales v so that its largest magnitude is `to`; returns the factor that undoes it (1 for v = 0).
double rescale(std::vector<float>& v, float to) {
    float top = 0.0f;
    for (float x : v) top = std::max(top, std::fabs(x));
    if (!(top > 0.0f) || !std::isfinite(top)) return 1.0;
    double const factor = static_cast<double>(to) / top;
    for (float& x : v) x = static_cast<float>(x * factor);
    return 1.0 / factor;
}

//! Engine operations over one fixed set of points, whose normals change from call to call.
class Level {
   public:
    Level(std::vector<float> const& points, int device) : n_(points.size() / 3), points_(to_device(points)), device_(device) {}

    size_t size() const { return n_; }
    float const* device_points() const { return points_.get(); }

    std::unique_ptr<Backend> engine(std::vector<float> const& normals) const {
        StreamBuffer<float> const d_normals = to_device(normals);
        return Backend::BuildFromPoints(points_.get(), d_normals.get(), size(), device_);
    }
    //! w at the device queries, for the given normals. The operator is linear, so the normals go
    //! in scaled to `length` at most: the engine's half-precision expansions then keep their range
    //! whatever the magnitudes the iteration produces (beyond it nodes are summed exactly, slowly).
    std::vector<float> apply(std::vector<float> normals, float const* queries, size_t q, float eps,
                             float length) const {
        double const back = rescale(normals, length);
        auto const out = engine(normals)->compute(queries, q, -1.0f, eps, 0);
        std::vector<float> w = to_host(out.get(), q);
        for (float& x : w) x = static_cast<float>(x * back);
        return w;
    }
    //! The adjoint of apply: rows of sum_j v_j K(p_i - q_j), through an engine over the queries
    //! whose weights are the v_j (scaled to 1 at most, as above).
    std::vector<float> adjoint(std::vector<float> v, float const* queries, size_t q, float eps) const {
        double const back = rescale(v, 1.0f);
        StreamBuffer<float> const d_v = to_device(v);
        // The product reads only the positions: one engine over them serves every call.
        if (!positions_) positions_ = engine(std::vector<float>(3 * size(), 0.0f));
        auto const out = positions_->grad_normals(d_v.get(), q, queries, -1.0f, eps, 0);
        std::vector<float> g = to_host(out.get(), 3 * size());
        for (float& x : g) x = static_cast<float>(x * back);
        return g;
    }

   private:
    size_t n_;
    StreamBuffer<float> points_;
    int device_;
    mutable std::unique_ptr<Backend> positions_;
};

//! Each row of `normals` becomes length * the direction of -grad w at `queries` (rows whose
//! gradient vanishes or is not finite keep their previous normal, or 0).
void toward_outward_field(Backend const& field, float const* queries, size_t q, float eps, float length,
                          std::vector<float>& normals) {
    auto const g = field.gradient(queries, q, -1.0f, eps, 0);
    std::vector<float> const grad = to_host(g.get(), 3 * q);
    normals.resize(3 * q, 0.0f);
    for (size_t i = 0; i < q; ++i) {
        double const gx = grad[3 * i], gy = grad[3 * i + 1], gz = grad[3 * i + 2];
        double const len = std::sqrt(gx * gx + gy * gy + gz * gz);
        if (!(len > 0.0) || !std::isfinite(len)) continue;
        double const s = -static_cast<double>(length) / len;
        normals[3 * i] = static_cast<float>(gx * s);
        normals[3 * i + 1] = static_cast<float>(gy * s);
        normals[3 * i + 2] = static_cast<float>(gz * s);
    }
}

void require_finite(std::vector<float> const& v, char const* what) {
    for (float x : v)
        if (!std::isfinite(x)) throw std::runtime_error(std::string("solve_normals: ") + what + " must be finite.");
}

}  // namespace

SolverResult solve_normals(float const* points, unsigned long n, float const* extra_points, unsigned long k,
                           float const* extra_wn, float const* point_wn, float alpha_extra, int device,
                           SolverOptions const& options) {
    ScopedDevice const on_device(device);
    SolverResult result;
    std::vector<float> const p = to_host(points, 3 * n);
    std::vector<float> const e = to_host(extra_points, 3 * k);
    std::vector<float> const target_e = to_host(extra_wn, k);
    std::vector<float> const target_p = to_host(point_wn, n);
    require_finite(p, "points");
    require_finite(e, "extra points");
    require_finite(target_p, "pc_wn");
    require_finite(target_e, "extra_wn");
    if (!std::isfinite(alpha_extra) || alpha_extra < 0.0f)
        throw std::runtime_error("solve_normals: alpha_extra must be finite and not negative.");
    if (n == 0) {
        result.engine = Backend::BuildFromPoints(points, nullptr, 0, device);
        return result;
    }

    // ---- 1. coarse fit ----------------------------------------------------------------------
    // An even subset: a seeded partial shuffle, so the same cloud always gives the same normals.
    size_t const m = static_cast<size_t>(std::min<unsigned long>(n, std::max<unsigned long>(options.coarse_points, 1)));
    std::vector<uint32_t> pick(n);
    std::iota(pick.begin(), pick.end(), 0u);
    std::mt19937_64 random(0x9e3779b97f4a7c15ull);
    for (size_t i = 0; i < m; ++i) std::swap(pick[i], pick[i + random() % (n - i)]);
    pick.resize(m);
    std::sort(pick.begin(), pick.end());
    std::vector<float> pc(3 * m), target(m + k), weight(m + k, 1.0f);
    for (size_t i = 0; i < m; ++i) {
        for (int a = 0; a < 3; ++a) pc[3 * i + a] = p[3 * pick[i] + a];
        target[i] = target_p[pick[i]];
    }
    float const extra_weight = std::sqrt(alpha_extra);
    for (size_t j = 0; j < k; ++j) target[m + j] = target_e[j], weight[m + j] = extra_weight;

    Level const coarse(pc, device);
    float spacing_coarse = mean_spacing(pc);
    float spacing = m == n ? spacing_coarse : mean_spacing(p);
    if (!(spacing_coarse > 0.0f)) spacing_coarse = spacing = 1.0f;  // isolated points: any scale
    if (!(spacing > 0.0f)) spacing = spacing_coarse;
    // The cloud's own consistency steps smooth over two spacings: over one, noise of that size
    // still turns normals (measured on CGAL's meshes). The field itself is best read at one
    // spacing, which is what the result reports.
    float const fine_eps = 2.0f * spacing;
    result.epsilon = spacing;

    // Queries of the fit: the subset, then the extra points.
    std::vector<float> fit_queries = pc;
    fit_queries.insert(fit_queries.end(), e.begin(), e.end());
    StreamBuffer<float> const d_fit_queries = to_device(fit_queries);
    size_t const rows = m + k;
    float const fit_eps = 0.5f * spacing_coarse;

    // Conjugate gradients on the normal equations (CGLS) of min |W (A x - b)|.
    std::vector<float> x(3 * m, 0.0f), r(rows), wr(rows), q;
    for (size_t i = 0; i < rows; ++i) r[i] = weight[i] * target[i];
    double const norm_b = std::sqrt(dot(r, r));
    auto weighted = [&](std::vector<float> const& v) {
        for (size_t i = 0; i < rows; ++i) wr[i] = weight[i] * v[i];
        return wr;
    };
    std::vector<float> s = coarse.adjoint(weighted(r), d_fit_queries.get(), rows, fit_eps);
    std::vector<float> dir = s;
    double gamma = dot(s, s);
    result.residuals.push_back(norm_b > 0.0 ? 1.0f : 0.0f);
    for (unsigned it = 0; it < options.iterations && norm_b > 0.0 && gamma > 0.0; ++it) {
        q = coarse.apply(dir, d_fit_queries.get(), rows, fit_eps, spacing_coarse * spacing_coarse);
        for (size_t i = 0; i < rows; ++i) q[i] *= weight[i];
        double const qq = dot(q, q);
        if (!(qq > 0.0)) break;
        double const step = gamma / qq;
        for (size_t i = 0; i < x.size(); ++i) x[i] += static_cast<float>(step * dir[i]);
        for (size_t i = 0; i < rows; ++i) r[i] -= static_cast<float>(step * q[i]);
        float const relative = static_cast<float>(std::sqrt(dot(r, r)) / norm_b);
        result.residuals.push_back(relative);
        if (relative < options.tolerance) break;
        s = coarse.adjoint(weighted(r), d_fit_queries.get(), rows, fit_eps);
        double const next = dot(s, s);
        for (size_t i = 0; i < dir.size(); ++i) dir[i] = static_cast<float>(s[i] + (next / gamma) * dir[i]);
        gamma = next;
    }

    // ---- 2. consistency on the subset, then every point from the coarse field ---------------
    float const area_coarse = spacing_coarse * spacing_coarse;
    for (unsigned step = 0; step < options.consistency_steps; ++step)
        toward_outward_field(*coarse.engine(x), coarse.device_points(), m, spacing_coarse, area_coarse, x);
    Level const fine(p, device);
    std::vector<float> mu;
    toward_outward_field(*coarse.engine(x), fine.device_points(), n, spacing_coarse, spacing * spacing, mu);

    // ---- 3. consistency on the cloud, and one scale for the objective -----------------------
    if (m < n)
        for (unsigned step = 0; step < options.consistency_steps; ++step)
            toward_outward_field(*fine.engine(mu), fine.device_points(), n, fine_eps, spacing * spacing, mu);
    // w is linear in mu: the scale c minimising the objective for c * mu in closed form.
    std::vector<float> all_queries = p;
    all_queries.insert(all_queries.end(), e.begin(), e.end());
    StreamBuffer<float> const d_all = to_device(all_queries);
    std::vector<float> const w = fine.apply(mu, d_all.get(), n + k, spacing, spacing * spacing);
    double num = 0.0, den = 0.0;
    for (size_t i = 0; i < n + k; ++i) {
        double const wt = i < n ? 1.0 : alpha_extra;
        double const t = i < n ? target_p[i] : target_e[i - n];
        num += wt * w[i] * t;
        den += wt * static_cast<double>(w[i]) * w[i];
    }
    // A negative scale means the field came out inverted against the targets: it flips every normal.
    if (den > 0.0 && std::isfinite(num / den) && num != 0.0)
        for (float& v : mu) v = static_cast<float>(v * (num / den));

    StreamBuffer<float> const d_mu = to_device(mu);
    result.engine = Backend::BuildFromPoints(points, d_mu.get(), n, device);
    return result;
}

}  // namespace gyrant

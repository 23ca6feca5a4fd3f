// The normal solver: a coarse least-squares fit, then normal consistency on both levels. The
// orchestration runs on the host over vectors of the coarse size and of the cloud's size; every
// sum over the cloud is an engine operation (compute, gradient, refit) on the device.
#include "platform.h"

#include "gyrant_solver.h"
#include "size_limits.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace gyrant {
namespace {

using Backend = GyrantBackend<PointNormal>;
// The solver's own engine operations run at a beta below compute's default: it changes no
// orientation on CGAL's meshes (3k-20k points, clean and noisy) and halves the solve's time; the
// fit's residual (a few percent) is far above the sums' error either way.
constexpr float kSolverBeta = 1.5f;
// The coarse fit's products (one sum and one adjoint per iteration, most of a small cloud's
// solve). 1.25 (2.7% RMS against a converged sum at the 3k bunny's points, 1.4% at 1.5) saved
// nothing measurable once the adjoint became the transpose of the sum's walk, and cost the clean
// shark 0.01 point of inside/outside; at 1.0 knot1 lost 0.1 point of agreement.
constexpr float kFitBeta = kSolverBeta;

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

//! Smallest eigenvalue of a symmetric 3x3 matrix (a covariance), by the trigonometric solution of
//! its characteristic polynomial.
double smallest_eigenvalue(double const (&c)[6]) {  // xx, yy, zz, xy, xz, yz
    double const p1 = c[3] * c[3] + c[4] * c[4] + c[5] * c[5];
    double const mean = (c[0] + c[1] + c[2]) / 3.0;
    if (p1 == 0.0) return std::min({c[0], c[1], c[2]});
    double const a = c[0] - mean, b = c[1] - mean, d = c[2] - mean;
    double const p = std::sqrt((a * a + b * b + d * d + 2.0 * p1) / 6.0);
    if (!(p > 0.0)) return mean;
    // det((C - mean I) / p) / 2, clamped against rounding to [-1, 1].
    double const det = (a * (b * d - c[5] * c[5]) - c[3] * (c[3] * d - c[5] * c[4]) + c[4] * (c[3] * c[5] - b * c[4])) /
                       (p * p * p);
    double const r = std::clamp(det / 2.0, -1.0, 1.0);
    double const phi = std::acos(r) / 3.0;
    return mean + 2.0 * p * std::cos(phi + 2.0 * M_PI / 3.0);
}

//! Points of a cell grid, sorted by the hash of their cell: a cell's points are one run. Cells
//! are counted from the origin, so that a far outlier moves no other point's cell.
class CellGrid {
   public:
    CellGrid(std::vector<float> const& p, double cell) : cell_(cell) {
        size_t const n = p.size() / 3;
        entries_.resize(n);
        for (size_t i = 0; i < n; ++i) entries_[i] = {hash(key(&p[3 * i])), static_cast<uint32_t>(i)};
        std::sort(entries_.begin(), entries_.end());
        index_runs();
    }

    //! Mean over the points of the number of points in their cell, and the fullest cell's run.
    struct Crowding {
        double occupancy = 0.0;
        size_t begin = 0, end = 0;
    };
    Crowding crowding() const {
        Crowding c;
        double sum = 0.0;
        for (size_t i = 0; i < entries_.size();) {
            size_t j = i;
            while (j < entries_.size() && entries_[j].first == entries_[i].first) ++j;
            sum += static_cast<double>(j - i) * static_cast<double>(j - i);
            if (j - i > c.end - c.begin) c.begin = i, c.end = j;
            i = j;
        }
        if (!entries_.empty()) c.occupancy = sum / static_cast<double>(entries_.size());
        return c;
    }
    uint32_t point(size_t entry) const { return entries_[entry].second; }

    //! The cell of a point. Quotients beyond 2^62 are clamped (converting them is undefined):
    //! only coordinates 2^62 cells from the origin get there, beyond single precision's
    //! resolution of any cloud whose cells are that small.
    std::array<int64_t, 3> key(float const* x) const {
        std::array<int64_t, 3> k{};
        for (int a = 0; a < 3; ++a)
            k[a] = static_cast<int64_t>(std::clamp(std::floor(static_cast<double>(x[a]) / cell_), -0x1p62, 0x1p62));
        return k;
    }
    static uint64_t hash(std::array<int64_t, 3> const& k) {
        return static_cast<uint64_t>(k[0]) * 73856093u ^ static_cast<uint64_t>(k[1]) * 19349663u ^
               static_cast<uint64_t>(k[2]) * 83492791u;
    }
    //! Calls visit(i) for the points whose cell hashes to h (colliding cells share a run) while
    //! it returns true.
    template <class Visit>
    void for_each_in(uint64_t h, Visit&& visit) const {
        if (runs_.empty()) return;
        for (size_t slot = slot_of(h);; slot = (slot + 1) & (runs_.size() - 1)) {
            Run const run = runs_[slot];
            if (run.end == 0) return;  // an empty slot: no such cell
            if (entries_[run.begin].first != h) continue;
            for (uint32_t t = run.begin; t < run.end; ++t)
                if (!visit(entries_[t].second)) return;
            return;
        }
    }

   private:
    //! A cell's run of entries; end 0 marks an empty slot (a run is never empty).
    struct Run {
        uint32_t begin = 0, end = 0;
    };
    size_t slot_of(uint64_t h) const {
        // Fibonacci hashing: the top bits of the product mix every bit of the cell's hash.
        return shift_ >= 64 ? 0 : static_cast<size_t>((h * 0x9e3779b97f4a7c15ull) >> shift_);
    }
    //! An open-addressed table of the runs, at most half full: a block of 27 cells costs 27 probes
    //! of a small table instead of 27 binary searches over every point (which, on millions of
    //! points, miss the cache at each step).
    void index_runs() {
        size_t runs = 0;
        for (size_t i = 0; i < entries_.size(); ++i) runs += i == 0 || entries_[i].first != entries_[i - 1].first;
        if (runs == 0) return;
        int bits = 1;
        while ((size_t{1} << bits) < 2 * runs) ++bits;
        shift_ = 64 - bits;
        runs_.assign(size_t{1} << bits, Run{});
        for (size_t i = 0; i < entries_.size();) {
            size_t j = i + 1;
            while (j < entries_.size() && entries_[j].first == entries_[i].first) ++j;
            size_t slot = slot_of(entries_[i].first);
            while (runs_[slot].end != 0) slot = (slot + 1) & (runs_.size() - 1);
            runs_[slot] = {static_cast<uint32_t>(i), static_cast<uint32_t>(j)};
            i = j;
        }
    }

    double cell_;
    std::vector<std::pair<uint64_t, uint32_t>> entries_;
    std::vector<Run> runs_;
    int shift_ = 64;
};

//! The cell that spreads m points over the faces of a box with sides e, a few to a cell (the
//! box's largest side spread over m when the box is flat); 0 for a point-like box.
double cell_for_box(double const (&e)[3], size_t m) {
    double const area = 2.0 * (e[0] * e[1] + e[1] * e[2] + e[2] * e[0]);
    double const cell = 2.0 * std::sqrt(area / static_cast<double>(m));
    if (cell > 0.0 && std::isfinite(cell)) return cell;
    return std::max({e[0], e[1], e[2]}) / std::cbrt(static_cast<double>(m));
}

//! Cells for the neighbour search whose cost does not depend on the cloud's extent. The first
//! guess spreads the points over the faces of their box. A far outlier makes that box, and so
//! the cells, far too large (the whole cloud in one cell: a quadratic search); then the fullest
//! cell's own points give the next guess, which leaves the outlier out, and the cells shrink at
//! least by the cube root of their excess (never overshooting a volume sample, whose occupancy
//! falls with the cube) until a point's cell holds a few points on average. Each pass is a sort.
CellGrid neighbour_grid(std::vector<float> const& p) {
    constexpr double kCrowded = 32.0, kTarget = 4.0;
    constexpr int kMostPasses = 64;
    size_t const n = p.size() / 3;
    auto box_sides = [&](auto&& index_of, size_t m, double (&e)[3]) {
        double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (size_t t = 0; t < m; ++t)
            for (int a = 0; a < 3; ++a) {
                double const x = p[3 * size_t{index_of(t)} + a];
                lo[a] = std::min(lo[a], x), hi[a] = std::max(hi[a], x);
            }
        for (int a = 0; a < 3; ++a) e[a] = hi[a] - lo[a];
    };
    double e[3];
    box_sides([](size_t t) { return t; }, n, e);
    double cell = cell_for_box(e, n);
    if (!(cell > 0.0)) cell = 1.0;  // every point in one place: any cell holds them all
    for (int pass = 1;; ++pass) {
        CellGrid grid(p, cell);
        CellGrid::Crowding const c = grid.crowding();
        if (c.occupancy <= kCrowded || pass == kMostPasses) return grid;
        box_sides([&](size_t t) { return grid.point(c.begin + t); }, c.end - c.begin, e);
        double const zoomed = cell_for_box(e, c.end - c.begin);
        // A heap of coincident points fills its cell at any size: nothing to refine.
        if (!(zoomed > 0.0)) return grid;
        cell = std::min(zoomed, cell * std::clamp(std::cbrt(kTarget / c.occupancy), 0x1p-20, 0.5));
        if (!(cell > 0.0)) return grid;
    }
}

}  // namespace

namespace {

// A point looks at this many others in its cell block at most: only a heap of coincident points
// (which no cell size separates) holds more.
constexpr size_t kMostCandidates = 4096;
// Points of the neighbourhood whose best plane gives a point's noise.
constexpr size_t kNeighbourhood = 8;
// Points of the wider neighbourhood whose best plane gives a point's unoriented normal where
// noise must not tilt it much (across_distance).
constexpr size_t kAxisNeighbourhood = 24;
// Points across a surface that make another sheet (across_distance).
constexpr size_t kAcrossCount = 3;

//! The other points in point i's block of 3 x 3 x 3 cells, as (squared distance, index), at most
//! kMostCandidates of them. `near` is cleared first.
void block_of(CellGrid const& grid, std::vector<float> const& p, size_t i,
              std::vector<std::pair<double, uint32_t>>& near) {
    auto const k = grid.key(&p[3 * i]);
    near.clear();
    std::array<uint64_t, 27> cells;
    size_t visited = 0;
    for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dz = -1; dz <= 1; ++dz) {
                uint64_t const h = CellGrid::hash({k[0] + dx, k[1] + dy, k[2] + dz});
                // Colliding hashes name one run: it counts once.
                if (std::find(cells.begin(), cells.begin() + visited, h) != cells.begin() + visited) continue;
                cells[visited++] = h;
                grid.for_each_in(h, [&](uint32_t j) {
                    if (near.size() >= kMostCandidates) return false;
                    if (j == i) return true;
                    double const d[3] = {double(p[3 * j]) - p[3 * i], double(p[3 * j + 1]) - p[3 * i + 1],
                                         double(p[3 * j + 2]) - p[3 * i + 2]};
                    near.emplace_back(d[0] * d[0] + d[1] * d[1] + d[2] * d[2], j);
                    return true;
                });
            }
}

//! The covariance (xx, yy, zz, xy, xz, yz) of the points named by the first `count` entries.
void covariance(std::vector<float> const& p, std::pair<double, uint32_t> const* entries, size_t count,
                double (&c)[6]) {
    double mean[3] = {0.0, 0.0, 0.0};
    for (size_t t = 0; t < count; ++t)
        for (int a = 0; a < 3; ++a) mean[a] += p[3 * size_t{entries[t].second} + a] / static_cast<double>(count);
    for (double& x : c) x = 0.0;
    for (size_t t = 0; t < count; ++t) {
        size_t const j = entries[t].second;
        double const d[3] = {p[3 * j] - mean[0], p[3 * j + 1] - mean[1], p[3 * j + 2] - mean[2]};
        c[0] += d[0] * d[0], c[1] += d[1] * d[1], c[2] += d[2] * d[2];
        c[3] += d[0] * d[1], c[4] += d[0] * d[2], c[5] += d[1] * d[2];
    }
    for (double& x : c) x /= static_cast<double>(count);
}

//! The unit eigenvector of a covariance's smallest eigenvalue (a plane's normal), or 0 where the
//! points span no plane (the rows of C - lambda I are then too degenerate to cross).
std::array<double, 3> plane_normal(double const (&c)[6]) {
    double const l = smallest_eigenvalue(c);
    double const r[3][3] = {{c[0] - l, c[3], c[4]}, {c[3], c[1] - l, c[5]}, {c[4], c[5], c[2] - l}};
    std::array<double, 3> best{0.0, 0.0, 0.0};
    double best_len = 0.0;
    for (int a = 0; a < 3; ++a) {
        double const* u = r[a];
        double const* v = r[(a + 1) % 3];
        std::array<double, 3> const x{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        double const len = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
        if (len > best_len) best = x, best_len = len;
    }
    if (!(best_len > 0.0) || !std::isfinite(best_len)) return {0.0, 0.0, 0.0};
    for (double& x : best) x /= best_len;
    return best;
}

}  // namespace

Sampling sampling_of(std::vector<float> const& p) {
    size_t const n = p.size() / 3;
    if (n < 2) return {};
    CellGrid const grid = neighbour_grid(p);
    size_t const step = std::max<size_t>(1, n / 20000);
    size_t const sampled = (n + step - 1) / step;
    // Per sampled point, on all cores: the nearest other's distance and the RMS off the plane
    // (-1: none); summed below in the points' order, so that the result is the same on any number
    // of threads.
    std::vector<double> nearest(sampled, -1.0), plane(sampled, -1.0);
    std::vector<size_t> candidates(sampled, 0);
#if defined(_OPENMP)
#pragma omp parallel
#endif
    {
        std::vector<std::pair<double, uint32_t>> near;
#if defined(_OPENMP)
#pragma omp for schedule(dynamic, 256)
#endif
        for (std::ptrdiff_t st = 0; st < static_cast<std::ptrdiff_t>(sampled); ++st) {
            size_t const s = static_cast<size_t>(st), i = s * step;
            block_of(grid, p, i, near);
            candidates[s] = near.size();
            // The point itself, then its nearest others.
            size_t const keep = std::min(near.size(), kNeighbourhood - 1);
            std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(keep), near.end());
            near.resize(keep);
            near.insert(near.begin(), {0.0, static_cast<uint32_t>(i)});
            auto const other = std::find_if(near.begin(), near.end(), [](auto const& e) { return e.first > 0.0; });
            if (other != near.end()) nearest[s] = std::sqrt(other->first);
            if (near.size() < kNeighbourhood) continue;
            double c[6];
            covariance(p, near.data(), kNeighbourhood, c);
            plane[s] = std::sqrt(std::max(0.0, smallest_eigenvalue(c)));
        }
    }
    double sum = 0.0;
    size_t found = 0, examined = 0;
    std::vector<double> off_plane;
    off_plane.reserve(sampled);
    for (size_t s = 0; s < sampled; ++s) {
        examined += candidates[s];
        if (nearest[s] >= 0.0) sum += nearest[s], ++found;
        if (plane[s] >= 0.0) off_plane.push_back(plane[s]);
    }
    Sampling out;
    out.candidates = static_cast<double>(examined) / static_cast<double>(sampled);
    if (found == 0) return out;
    out.spacing = static_cast<float>(sum / static_cast<double>(found));
    if (!off_plane.empty() && out.spacing > 0.0f) {
        auto const middle = off_plane.begin() + static_cast<std::ptrdiff_t>(off_plane.size() / 2);
        std::nth_element(off_plane.begin(), middle, off_plane.end());
        out.noise = static_cast<float>(*middle / out.spacing);
    }
    return out;
}

std::vector<float> across_distance(std::vector<float> const& p, float reach, float least) {
    size_t const n = p.size() / 3;
    std::vector<float> across(n, reach);
    if (n <= kAxisNeighbourhood || !(reach > 0.0f)) return across;
    CellGrid const grid(p, reach);
    double const reach2 = double{reach} * reach, least2 = double{least} * least;
    // Across, not along: within 45 degrees of the normal's axis (the sheet's own neighbours lie
    // near its plane), and farther off the plane than the noise takes the sheet's own points.
    double const cone_cos2 = 0.5;
#if defined(_OPENMP)
#pragma omp parallel
#endif
    {
        std::vector<std::pair<double, uint32_t>> near;
#if defined(_OPENMP)
#pragma omp for schedule(dynamic, 1024)
#endif
        for (std::ptrdiff_t si = 0; si < static_cast<std::ptrdiff_t>(n); ++si) {
            size_t const i = static_cast<size_t>(si);
            block_of(grid, p, i, near);
            if (near.size() < kAxisNeighbourhood) continue;
            // The plane needs the nearest points, not their order.
            std::nth_element(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(kAxisNeighbourhood - 2),
                             near.end());
            std::pair<double, uint32_t> hood[kAxisNeighbourhood];
            hood[0] = {0.0, static_cast<uint32_t>(i)};
            std::copy(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(kAxisNeighbourhood - 1), hood + 1);
            double c[6];
            covariance(p, hood, kAxisNeighbourhood, c);
            std::array<double, 3> const axis = plane_normal(c);
            if (axis[0] == 0.0 && axis[1] == 0.0 && axis[2] == 0.0) continue;
            // The kAcrossCount-th nearest point across: a stray noisy neighbour is one point, the
            // other sheet many.
            double nearest[kAcrossCount];
            std::fill(nearest, nearest + kAcrossCount, reach2);
            for (auto const& [d2, j] : near) {
                if (d2 >= nearest[kAcrossCount - 1]) continue;
                double const along = (double(p[3 * size_t{j}]) - p[3 * i]) * axis[0] +
                                     (double(p[3 * size_t{j} + 1]) - p[3 * i + 1]) * axis[1] +
                                     (double(p[3 * size_t{j} + 2]) - p[3 * i + 2]) * axis[2];
                if (along * along < cone_cos2 * d2 || along * along < least2) continue;
                size_t t = kAcrossCount - 1;
                for (; t > 0 && nearest[t - 1] > d2; --t) nearest[t] = nearest[t - 1];
                nearest[t] = d2;
            }
            across[i] = static_cast<float>(std::sqrt(nearest[kAcrossCount - 1]));
        }
    }
    return across;
}

namespace {

//! The exponent of the solver's frame: a power of two that brings the points' spacing into
//! [1, 2), or where no point has a neighbour to measure it by, their extent spread over n. Throws
//! for points that all coincide: they span no surface, and no normal could be oriented.
int frame_exponent_of(std::vector<float> const& p, float spacing, size_t n) {
    double size = spacing;
    if (!(size > 0.0)) {
        double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (size_t i = 0; i < n; ++i)
            for (int a = 0; a < 3; ++a) lo[a] = std::min<double>(lo[a], p[3 * i + a]), hi[a] = std::max<double>(hi[a], p[3 * i + a]);
        size = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]}) / std::cbrt(static_cast<double>(n));
    }
    if (!(size > 0.0)) {
        throw std::runtime_error(n == 1 ? std::string("solve_normals: one point spans no surface to orient.")
                                        : "solve_normals: all " + std::to_string(n) +
                                              " points coincide; they span no surface to orient.");
    }
    return -std::ilogb(size);
}

// ---- tuning, in the solver's frame of unit point spacing ----------------------------------------
// The sampling's noise (see sampling_of) below which a cloud counts as clean, and the rise above
// it at which it counts as fully noisy (about half a spacing of Gaussian noise): between the two,
// `noisy` runs from 0 to 1.
constexpr float kCleanNoise = 0.1f;
constexpr float kNoisySpan = 0.25f;
// The coarse fit smooths over half its subset's spacing: enough to keep the field of a subset
// finite at its own points, little enough to keep features a few spacings wide.
constexpr float kFitSmoothing = 0.5f;
// The final scale measures the jump of w this many spacings inside and outside each point: beyond
// the smoothing, where the field has settled.
constexpr float kJumpDistance = 3.0f;
// A side of the jump lies at most this share of the distance across from its point, and measures
// a settled field from this many spacings on (the kernel is plain from two smoothing radii).
constexpr float kJumpAcross = 0.45f;
constexpr float kJumpSettled = 2.0f;
// The jump replaces the fitted scale only when the two agree within this factor; a wilder jump
// means sheets thinner than the jump distance everywhere, where it measures nothing.
constexpr double kJumpTrust = 4.0;
// Queries of one evaluation at the final scale: bounds the memory of that stage on any cloud.
constexpr size_t kEvaluationChunk = size_t{1} << 20;
// Points whose jump and value the final scale measures at most: beyond them its time would grow
// with the cloud for a median that no longer moves.
constexpr size_t kScaleSample = size_t{1} << 20;
// Thin walls: two sheets closer than this many of the even coarse subset's spacings get more
// coarse points, found among this many times the subset's size.
constexpr float kThinReach = 2.0f;
constexpr size_t kThinSample = 4;
// The subset grows at most to this many times m: bounds the fit's cost on a cloud that is thin
// everywhere at the subset's resolution.
constexpr size_t kThinCap = 2;
// A point less than this many noise widths (RMS off the local plane) off a point's plane counts as
// the same sheet's: two noisy points lie about 1.8 widths apart along the normal; at 5, noisy
// clouds (CGAL's bunny, 0.5% of its diagonal) still found walls that are not there.
constexpr float kAcrossNoise = 8.0f;
// Seed of the coarse subset's partial shuffle: the same cloud always gives the same normals.
constexpr uint64_t kSubsetSeed = 0x9e3779b97f4a7c15ull;

//! The field of scaled normals over one fixed set of points, whose normals change from call to
//! call: one refittable engine, built by the first call and refitted by the others (the points,
//! and so their order and tree, stay).
class Field {
   public:
    Field(std::vector<float> const& points, int device)
        : n_(points.size() / 3), points_(to_device(points)), device_(device) {}

    size_t size() const { return n_; }
    float const* device_points() const { return points_.get(); }
    int device() const { return device_; }

    Backend const& with(std::vector<float> const& normals) {
        StreamBuffer<float> const d_normals = to_device(normals);
        if (!engine_)
            engine_ = Backend::BuildFromPoints(points_.get(), d_normals.get(), size(), device_, true);
        else
            engine_->refit_normals(d_normals.get());
        return *engine_;
    }
#if defined(GYRANT_FLAVOUR_HOST)
    //! The engine as the last call left it, built with unit normals when there was none: for what
    //! does not read the normals (the product with the Jacobian over them).
    Backend const& engine() {
        if (!engine_) {
            std::vector<float> unit(3 * n_, 0.0f);
            for (size_t i = 0; i < n_; ++i) unit[3 * i + 2] = 1.0f;
            return with(unit);
        }
        return *engine_;
    }
#endif
    //! w at the q device queries for the given normals (of any size: the engine brings them into
    //! its expansions' range), at the coarse fit's beta.
    std::vector<float> values(std::vector<float> const& normals, float const* queries, size_t q, float eps) {
        auto const out = with(normals).compute(queries, q, kFitBeta, eps, 0);
        return to_host(out.get(), q);
    }

   private:
    size_t n_;
    StreamBuffer<float> points_;
    int device_;
    std::unique_ptr<Backend> engine_;
};

//! The adjoint of a Field's values at fixed queries q_j: A^T v, whose row i is sum_j v_j K(p_i -
//! q_j), the product of v with compute's Jacobian over the normals. The host flavour takes it from
//! the Field's own engine, whose walk it transposes (half the time of walking an engine over the
//! queries). Elsewhere one refittable engine over the queries carries v along one axis at a time
//! as its normals and is evaluated at the points (the kernel is odd, so that sum is minus the
//! row's component); built by the first product, refitted by every other (the queries never move).
class FieldAdjoint {
   public:
    FieldAdjoint(Field& field, float const* queries, size_t q, float eps)
        : field_(field), queries_(queries), q_(q), eps_(eps) {}

    std::vector<float> operator()(std::vector<float> const& v) {
        size_t const m = field_.size();
#if defined(GYRANT_FLAVOUR_HOST)
        StreamBuffer<float> const d_v = to_device(v);
        auto const products = field_.engine().grad_normals(d_v.get(), q_, queries_, kFitBeta, eps_, 0);
        return to_host(products.get(), 3 * m);
#else
        std::vector<float> out(3 * m, 0.0f), weights(3 * q_, 0.0f);
        for (int axis = 0; axis < 3; ++axis) {
            for (size_t j = 0; j < q_; ++j) weights[3 * j + axis] = v[j], weights[3 * j + (axis + 2) % 3] = 0.0f;
            StreamBuffer<float> const d_weights = to_device(weights);
            if (!engine_)
                engine_ = Backend::BuildFromPoints(queries_, d_weights.get(), q_, field_.device(), true);
            else
                engine_->refit_normals(d_weights.get());
            auto const values = engine_->compute(field_.device_points(), m, kFitBeta, eps_, 0);
            std::vector<float> const w = to_host(values.get(), m);
            for (size_t i = 0; i < m; ++i) out[3 * i + axis] = -w[i];
        }
        return out;
#endif
    }

   private:
    Field& field_;
    float const* queries_;
    size_t q_;
    float eps_;
#if !defined(GYRANT_FLAVOUR_HOST)
    std::unique_ptr<Backend> engine_;
#endif
};

//! Reports stages to SolverOptions::progress, when there is one.
struct Progress {
    std::function<void(char const*, double)> const& report;
    void operator()(char const* stage, double done) const {
        if (report) report(stage, std::clamp(done, 0.0, 1.0));
    }
};

//! Queries h inside and h outside each point rows[t] along its normal: rows p - h n, then rows
//! p + h n (n the unit normal; a point without one gives itself twice).
std::vector<float> jump_sides(std::vector<float> const& normals, std::vector<float> const& points,
                              std::vector<float> const& h, uint32_t const* rows, size_t c) {
    std::vector<float> sides(6 * c);
    for (size_t t = 0; t < c; ++t) {
        size_t const i = rows[t];
        double const x = normals[3 * i], y = normals[3 * i + 1], z = normals[3 * i + 2];
        double const len = std::sqrt(x * x + y * y + z * z);
        double const step = len > 0.0 && std::isfinite(len) ? h[i] / len : 0.0;
        for (int a = 0; a < 3; ++a) {
            sides[3 * t + a] = static_cast<float>(points[3 * i + a] - step * normals[3 * i + a]);
            sides[3 * (c + t) + a] = static_cast<float>(points[3 * i + a] + step * normals[3 * i + a]);
        }
    }
    return sides;
}

//! The points' indices along a Morton curve of 2^10 cells a side over their box: a run of the
//! order is a compact patch of the surface. Evaluations in chunks of a cloud's own order (which
//! a sampler may leave random) spread each chunk over the whole cloud, so that neighbouring
//! queries share no nodes and every walk reads the tree from memory: on 10M points that made
//! the final scale's evaluations 22 times slower than on 1M.
std::vector<uint32_t> patch_order(std::vector<float> const& p) {
    size_t const n = p.size() / 3;
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (size_t i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], p[3 * i + a]), hi[a] = std::max(hi[a], p[3 * i + a]);
    double const extent = std::max({double{hi[0]} - lo[0], double{hi[1]} - lo[1], double{hi[2]} - lo[2]});
    double const to_cell = extent > 0.0 ? 1023.0 / extent : 0.0;
    // Each key holds the cell's code above the index: one sort of integers, ties in the cloud's order.
    std::vector<uint64_t> keys(n);
    for (size_t i = 0; i < n; ++i) {
        uint64_t code = 0;
        for (int a = 0; a < 3; ++a) {
            auto const c = static_cast<uint64_t>(std::clamp((double{p[3 * i + a]} - lo[a]) * to_cell, 0.0, 1023.0));
            for (int bit = 0; bit < 10; ++bit) code |= ((c >> bit) & 1u) << (3 * bit + a);
        }
        keys[i] = code << 32 | i;
    }
    std::sort(keys.begin(), keys.end());
    std::vector<uint32_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(keys[i]);
    return order;
}

//! Each row of `normals` becomes length * the direction of -grad w at `queries` (rows whose
//! gradient vanishes or is not finite keep their previous normal, or 0).
void toward_outward_field(Backend const& field, float const* queries, size_t q, float eps, float length,
                          std::vector<float>& normals) {
    auto const g = field.gradient(queries, q, kSolverBeta, eps, 0);
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

//! Normal consistency: `steps` times, each normal of the field's own points becomes `length` times
//! the direction of -grad w of the field of all of them (the field falls from inside to outside
//! across the surface), which removes the noise-driven flips a fit leaves.
void consistency_steps(Field& field, unsigned steps, float eps, float length, std::vector<float>& normals,
                       Progress const& progress, double done_before, double share) {
    for (unsigned step = 0; step < steps; ++step) {
        toward_outward_field(field.with(normals), field.device_points(), field.size(), eps, length, normals);
        progress("consistency", done_before + share * (step + 1) / steps);
    }
}

//! The first `count` of a seeded partial shuffle of 0..n-1: an even choice of points, the same for
//! the same cloud, each prefix itself an even choice.
std::vector<uint32_t> shuffled_prefix(size_t n, size_t count) {
    std::vector<uint32_t> pick(n);
    std::iota(pick.begin(), pick.end(), 0u);
    std::mt19937_64 random(kSubsetSeed);
    for (size_t i = 0; i < count; ++i) std::swap(pick[i], pick[i + random() % (n - i)]);
    pick.resize(count);
    return pick;
}

//! Rows `pick` of p (3 floats each).
std::vector<float> gather_points(std::vector<float> const& p, std::vector<uint32_t> const& pick) {
    std::vector<float> out(3 * pick.size());
    for (size_t i = 0; i < pick.size(); ++i)
        for (int a = 0; a < 3; ++a) out[3 * i + a] = p[3 * size_t{pick[i]} + a];
    return out;
}

//! The coarse subset: an even choice of m points, and where the surface is thin at the subset's
//! resolution (two sheets closer than kThinReach of its spacings, measured on up to kThinSample
//! times m points), more of them. The fit cannot tell a wall thinner than its spacing from one
//! oriented sheet (both put w near 1/2 on its points); denser there, it resolves the wall. At most
//! (kThinCap - 1) m points are added.
struct CoarseSubset {
    std::vector<uint32_t> pick;  // in the cloud's order
    std::vector<float> sample;   // the points measured (3 floats each), and their distance across
    std::vector<float> across;   // (`reach` where none was found)
    std::vector<float> cloud_across;  // when every point was measured: `across` in the cloud's order
    float reach = 0.0f;
};

CoarseSubset coarse_subset(std::vector<float> const& p, size_t m, float spacing_even, float least) {
    size_t const n = p.size() / 3;
    size_t const sample = std::min(n, kThinSample * m);
    CoarseSubset out;
    float const thin = kThinReach * spacing_even;
    out.reach = thin;
    out.pick = shuffled_prefix(n, sample);
    out.sample = gather_points(p, out.pick);
    out.across = across_distance(out.sample, out.reach, least);
    if (sample == n) {
        out.cloud_across.resize(n);
        for (size_t t = 0; t < n; ++t) out.cloud_across[out.pick[t]] = out.across[t];
    }
    size_t kept = m;
    for (size_t i = m; i < sample && kept < kThinCap * m; ++i)
        if (out.across[i] < thin) out.pick[kept++] = out.pick[i];
    out.pick.resize(kept);
    std::sort(out.pick.begin(), out.pick.end());
    return out;
}

//! For each of the n points, the entry of `values` of its nearest point in `subset` (found in the
//! subset's cell block; `otherwise` where the block holds none).
std::vector<float> from_nearest(std::vector<float> const& p, std::vector<float> const& subset,
                                std::vector<float> const& values, float otherwise) {
    size_t const n = p.size() / 3;
    std::vector<float> out(n, otherwise);
    if (subset.size() < 6) return out;
    CellGrid const grid = neighbour_grid(subset);
#if defined(_OPENMP)
#pragma omp parallel for schedule(dynamic, 4096)
#endif
    for (std::ptrdiff_t si = 0; si < static_cast<std::ptrdiff_t>(n); ++si) {
        size_t const i = static_cast<size_t>(si);
        auto const k = grid.key(&p[3 * i]);
        double best = INFINITY;
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dz = -1; dz <= 1; ++dz)
                    grid.for_each_in(CellGrid::hash({k[0] + dx, k[1] + dy, k[2] + dz}), [&](uint32_t j) {
                        double const d[3] = {double(subset[3 * size_t{j}]) - p[3 * i],
                                             double(subset[3 * size_t{j} + 1]) - p[3 * i + 1],
                                             double(subset[3 * size_t{j} + 2]) - p[3 * i + 2]};
                        double const d2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
                        if (d2 < best) best = d2, out[i] = values[j];
                        return true;
                    });
    }
    return out;
}

//! The coarse fit: min |W (A x - b)| over the subset's scaled normals x, A the field of the subset
//! evaluated at the subset (rows 1) and at the extra points (rows sqrt(alpha_extra)), smoothed by
//! `eps`. No penalty term: the kernel's smoothing and stopping early regularise it.
CglsResult coarse_fit(Field& coarse, std::vector<float> const& subset_targets, std::vector<float> const& e,
                      std::vector<float> const& target_e, float alpha_extra, float eps, SolverOptions const& options,
                      Progress const& progress) {
    size_t const m = coarse.size(), k = target_e.size(), rows = m + k;
    std::vector<float> queries = to_host(coarse.device_points(), 3 * m);
    queries.insert(queries.end(), e.begin(), e.end());
    StreamBuffer<float> const d_queries = to_device(queries);
    queries = {};
    std::vector<float> weight(rows, 1.0f), b(rows);
    std::fill(weight.begin() + static_cast<std::ptrdiff_t>(m), weight.end(), std::sqrt(alpha_extra));
    for (size_t i = 0; i < rows; ++i) b[i] = weight[i] * (i < m ? subset_targets[i] : target_e[i - m]);
    FieldAdjoint adjoint(coarse, d_queries.get(), rows, eps);
    unsigned products = 0;
    auto const apply = [&](std::vector<float> const& x) {
        std::vector<float> w = coarse.values(x, d_queries.get(), rows, eps);
        for (size_t i = 0; i < rows; ++i) w[i] *= weight[i];
        progress("coarse fit", static_cast<double>(++products) / options.iterations);
        return w;
    };
    auto const adjoint_weighted = [&](std::vector<float> const& r) {
        std::vector<float> v(rows);
        for (size_t i = 0; i < rows; ++i) v[i] = weight[i] * r[i];
        return adjoint(v);
    };
    CglsResult fit = cgls(apply, adjoint_weighted, b, 3 * m, options.iterations, options.tolerance);
    progress("coarse fit", 1.0);
    return fit;
}

//! The one scale c of the final normals mu. w is linear in mu. The sign of c comes from the scale
//! minimising the objective for c * mu (negative: the field came out inverted against the targets,
//! which flips every normal). Its size makes w jump by one across the surface, as a winding number
//! does: the median of w(p - h n) - w(p + h n) over the points, h = kJumpDistance spacings (the
//! targets alone put the level of a noisy cloud's field too low). Both are measured on at most
//! kScaleSample points, evaluated in chunks of queries.
double final_scale(Field& fine, std::vector<float> const& p, std::vector<float> const& e,
                   std::vector<float> const& target_p, std::vector<float> const& target_e, float alpha_extra,
                   std::vector<float> const& mu, std::vector<float> const& across, float spacing,
                   Progress const& progress) {
    size_t const n = target_p.size(), k = target_e.size();
    // Each side stays nearer its own sheet than the wall's other sheet (or a gap's far side): a
    // side beyond it measures both sheets' jumps, which cancel.
    std::vector<float> h(n);
    size_t settled = 0;
    for (size_t i = 0; i < n; ++i) {
        h[i] = std::min(kJumpDistance * spacing, kJumpAcross * across[i]);
        settled += h[i] >= kJumpSettled * spacing;
    }
    // Points whose sides stay within the smoothing measure a damped jump; they count only when
    // most points are such (a cloud thin everywhere), since the median then comes from them.
    float const least_h = 2 * settled >= n ? kJumpSettled * spacing : 0.0f;
    Backend const& field = fine.with(mu);
    double num = 0.0, den = 0.0;
    // The points measured: all of them, or an even choice of kScaleSample (on 3M points of
    // refined_elephant the scale moved by 1.1e-4 against measuring all, the same normals agreed).
    std::vector<uint32_t> order;
    if (n > kScaleSample) {
        order = shuffled_prefix(n, kScaleSample);
        std::sort(order.begin(), order.end());
    } else {
        order.resize(n), std::iota(order.begin(), order.end(), 0u);
    }
    size_t const measured = order.size();
    std::vector<float> jumps;
    jumps.reserve(measured);
    size_t const points_per_chunk = std::max<size_t>(1, kEvaluationChunk / 3);
    // One chunk keeps the cloud's order; several go patch by patch.
    if (measured > points_per_chunk) {
        std::vector<uint32_t> const patches = patch_order(gather_points(p, order));
        std::vector<uint32_t> reordered(measured);
        for (size_t t = 0; t < measured; ++t) reordered[t] = order[patches[t]];
        order = std::move(reordered);
    }
    for (size_t begin = 0; begin < measured; begin += points_per_chunk) {
        size_t const end = std::min(measured, begin + points_per_chunk), c = end - begin;
        uint32_t const* rows = order.data() + begin;
        // The points, then both sides of each.
        std::vector<float> queries(9 * c);
        for (size_t t = 0; t < c; ++t)
            for (int a = 0; a < 3; ++a) queries[3 * t + a] = p[3 * size_t{rows[t]} + a];
        std::vector<float> const sides = jump_sides(mu, p, h, rows, c);
        std::copy(sides.begin(), sides.end(), queries.begin() + static_cast<std::ptrdiff_t>(3 * c));
        StreamBuffer<float> const d_queries = to_device(queries);
        auto const out = field.compute(d_queries.get(), 3 * c, kSolverBeta, spacing, 0);
        std::vector<float> const w = to_host(out.get(), 3 * c);
        for (size_t t = 0; t < c; ++t) {
            size_t const i = rows[t];
            num += static_cast<double>(w[t]) * target_p[i];
            den += static_cast<double>(w[t]) * w[t];
            double const x = mu[3 * i], y = mu[3 * i + 1], z = mu[3 * i + 2];
            double const len = std::sqrt(x * x + y * y + z * z);
            // Without the point's own dipole, which adds |mu| / (4 pi h^2) on either side (h is
            // beyond the smoothing): it alone would make the jump seem about 7% larger at 3
            // spacings.
            double const jump = static_cast<double>(w[c + t]) - w[2 * c + t] - 2.0 * len / (4.0 * M_PI * double{h[i]} * h[i]);
            if (len > 0.0 && h[i] >= least_h && std::isfinite(jump)) jumps.push_back(static_cast<float>(jump));
        }
        progress("final scale", static_cast<double>(end) / measured);
    }
    // The measured points stand for all of them beside the extra points.
    num *= static_cast<double>(n) / static_cast<double>(measured);
    den *= static_cast<double>(n) / static_cast<double>(measured);
    if (k > 0) {
        StreamBuffer<float> const d_e = to_device(e);
        auto const out = field.compute(d_e.get(), k, kSolverBeta, spacing, 0);
        std::vector<float> const w = to_host(out.get(), k);
        for (size_t j = 0; j < k; ++j) {
            num += double{alpha_extra} * w[j] * target_e[j];
            den += double{alpha_extra} * w[j] * w[j];
        }
    }
    double scale = den > 0.0 && std::isfinite(num / den) && num != 0.0 ? num / den : 1.0;
    if (!jumps.empty()) {
        auto const middle = jumps.begin() + static_cast<std::ptrdiff_t>(jumps.size() / 2);
        std::nth_element(jumps.begin(), middle, jumps.end());
        double const jump = *middle;
        // Where the jump is not measurable (sheets thinner than h everywhere) the fitted scale stays.
        if (std::isfinite(jump) && jump > 0.0 && 1.0 / jump < kJumpTrust * std::fabs(scale) &&
            kJumpTrust / jump > std::fabs(scale))
            scale = std::copysign(1.0 / jump, scale);
    }
    progress("final scale", 1.0);
    return scale;
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
    // Sizes first: an engine over the cloud, and evaluations at the points and the extra points,
    // come only at the end.
    if (n > max_primitives<PointNormal>()) {
        char text[160];
        std::snprintf(text, sizeof text, "An engine holds at most %lu points; %lu were given.",
                      max_primitives<PointNormal>(), n);
        throw std::runtime_error(text);
    }
    check_query_count(n + k, "solve_normals");
    Progress const progress{options.progress};
    SolverResult result;
    std::vector<float> p = to_host(points, 3 * n);
    std::vector<float> e = to_host(extra_points, 3 * k);
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

    // ---- a frame of unit spacing ------------------------------------------------------------
    // The solve runs on the points times a power of two f that brings their spacing into [1, 2):
    // every length, smoothing radius and normal (an area) below is then of the same size at any
    // scale of the input, and maps back exactly. Targets are winding numbers, free of units.
    progress("neighbours", 0.0);
    Sampling cloud = sampling_of(p);
    int const frame_exponent = frame_exponent_of(p, cloud.spacing, n);
    auto into_frame = [&](std::vector<float>& v, char const* what) {
        for (float& x : v) x = std::ldexp(x, frame_exponent);
        for (float x : v)
            if (!std::isfinite(x)) {
                throw std::runtime_error(std::string("solve_normals: the ") + what +
                                         " lie too far apart for single precision, measured in the points' spacing.");
            }
    };
    into_frame(p, "points");
    into_frame(e, "extra points");
    cloud.spacing = std::ldexp(cloud.spacing, frame_exponent);  // exact: the measure scales with the points

    // 0 for a clean sample, 1 where the noise reaches about half a spacing. A noisy cloud fits
    // fewer coarse points (wider apart than the noise, which the fit would follow) and smooths its
    // own consistency steps over up to two spacings instead of one (over one, noise turns normals;
    // over two, features as thin as rotor blades lose some; measured on CGAL's meshes with and
    // without noise).
    float const noisy = std::clamp((cloud.noise - kCleanNoise) / kNoisySpan, 0.0f, 1.0f);
    size_t const m = static_cast<size_t>(std::min<double>(
        static_cast<double>(n), std::max(1.0, std::round(static_cast<double>(options.coarse_points) / (1.0 + noisy)))));
    float spacing = cloud.spacing;
    // The even subset's spacing sets the coarse fit's smoothing: the points added on thin walls
    // refine it there, and do not change it elsewhere.
    float spacing_coarse = m == n ? spacing : sampling_of(gather_points(p, shuffled_prefix(n, m))).spacing;
    std::vector<float> pc, subset_targets, across;
    {
        CoarseSubset subset = coarse_subset(p, m, spacing_coarse, kAcrossNoise * cloud.noise * spacing);
        pc = gather_points(p, subset.pick);
        subset_targets.resize(subset.pick.size());
        for (size_t i = 0; i < subset.pick.size(); ++i) subset_targets[i] = target_p[subset.pick[i]];
        // Every point of the cloud takes the distance across of its nearest measured point (its
        // own where every point was measured). (Infinite where nothing was found within reach:
        // there the other sheet is at least that far.)
        across = subset.cloud_across.empty() ? from_nearest(p, subset.sample, subset.across, INFINITY)
                                             : std::move(subset.cloud_across);
        for (float& a : across)
            if (!(a < subset.reach)) a = INFINITY;
    }
    result.epsilon = std::ldexp(spacing, -frame_exponent);
    progress("neighbours", 1.0);

    // ---- the coarse fit, and consistency on the subset ----------------------------------------
    std::vector<float> mu;
    {
        Field coarse(pc, device);
        pc = {};
        CglsResult fit = coarse_fit(coarse, subset_targets, e, target_e, alpha_extra, kFitSmoothing * spacing_coarse,
                                    options, progress);
        result.residuals = std::move(fit.residuals);
        std::vector<float>& x = fit.x;
        bool const refine = m < n;
        double const share = refine ? 0.5 : 1.0;
        consistency_steps(coarse, options.consistency_steps, spacing_coarse, spacing_coarse * spacing_coarse, x,
                          progress, 0.0, share);
        // Every point takes -grad w of the coarse field.
        StreamBuffer<float> const d_p = to_device(p);
        toward_outward_field(coarse.with(x), d_p.get(), n, spacing_coarse, spacing * spacing, mu);
    }

    // ---- consistency on the cloud, and one scale ----------------------------------------------
    double scale;
    {
        Field fine(p, device);
        if (m < n)
            consistency_steps(fine, options.consistency_steps, (1.0f + noisy) * spacing, spacing * spacing, mu,
                              progress, 0.5, 0.5);
        progress("consistency", 1.0);
        scale = final_scale(fine, p, e, target_p, target_e, alpha_extra, mu, across, spacing, progress);
    }
    // Back to the caller's units: areas by f^2, in double, so that the factor itself cannot
    // overflow; only results that single precision cannot hold are refused.
    double const back = std::ldexp(scale, -2 * frame_exponent);
    bool oriented = false;
    float largest = 0.0f;
    for (float& v : mu) {
        oriented = oriented || v != 0.0f;
        v = static_cast<float>(v * back);
        largest = std::isnan(v) ? INFINITY : std::max(largest, std::fabs(v));
    }
    if (!oriented)
        throw std::runtime_error("solve_normals: the field of these points has no direction at any of them; no normal "
                                 "could be oriented (too few distinct points).");
    if (!std::isfinite(largest) || largest < FLT_MIN)
        throw std::runtime_error(std::string("solve_normals: the scaled normals (areas) of these points are ") +
                                 (largest < FLT_MIN ? "below" : "beyond") +
                                 " single precision's range; give the points in other units.");

    p = {};
    StreamBuffer<float> const d_mu = to_device(mu);
    mu = {};
    result.engine = Backend::BuildFromPoints(points, d_mu.get(), n, device);
    return result;
}

}  // namespace gyrant

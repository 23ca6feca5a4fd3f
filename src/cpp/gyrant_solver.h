// Scaled normals of an unoriented point cloud, fitted so that its winding number takes given values.
#pragma once

#include "gyrant_cuda.h"

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

namespace gyrant {

//! How solve_normals spends its work. The defaults suit clouds of a few thousand to millions of
//! points; see solve_normals for what each stage does.
struct SolverOptions {
    //! Points of the coarse least-squares fit of a clean cloud (all of them when the cloud is
    //! smaller); a noisy one fits down to half as many.
    unsigned long coarse_points = 8000;
    //! Conjugate-gradient iterations of the coarse fit, at most.
    unsigned iterations = 15;
    //! The fit stops once its relative residual falls below this.
    float tolerance = 0.07f;
    //! Steps that turn each normal toward the outward field direction, on each level.
    unsigned consistency_steps = 2;
    //! Called as the solve moves on: the stage's name ("neighbours", "coarse fit", "consistency",
    //! "final scale") and the share of it done, in [0, 1]; 1 once per stage when it ends. Empty:
    //! silent. An exception it throws ends the solve.
    std::function<void(char const* stage, double done)> progress;
};

//! What cgls returns: the solution and the relative residual |A x - b| / |b| before the first
//! iteration and after each one.
struct CglsResult {
    std::vector<float> x;
    std::vector<float> residuals;
};

//! Conjugate gradients on the normal equations A^T A x = A^T b of min |A x - b| (CGLS), for an
//! operator given only by its products: `apply(x)` returns A x (b.size() rows) and `adjoint(r)`
//! returns A^T r (`columns` values), both as std::vector<float>. Starts from x = 0 and stops after
//! `iterations`, once the relative residual falls below `tolerance`, or when the search direction
//! vanishes (x is then the least-squares solution). Weighted problems fold the weights into the
//! operator and b. Sums are in double; each iteration is one apply and one adjoint.
template <class Apply, class Adjoint>
CglsResult cgls(Apply&& apply, Adjoint&& adjoint, std::vector<float> const& b, size_t columns, unsigned iterations,
                float tolerance) {
    auto dot = [](std::vector<float> const& a, std::vector<float> const& c) {
        double s = 0.0;
        for (size_t i = 0; i < a.size(); ++i) s += static_cast<double>(a[i]) * static_cast<double>(c[i]);
        return s;
    };
    CglsResult out;
    out.x.assign(columns, 0.0f);
    std::vector<float> r = b;
    double const norm_b = std::sqrt(dot(r, r));
    out.residuals.push_back(norm_b > 0.0 ? 1.0f : 0.0f);
    if (!(norm_b > 0.0) || iterations == 0) return out;
    std::vector<float> s = adjoint(r);
    std::vector<float> direction = s;
    double gamma = dot(s, s);
    for (unsigned it = 0; it < iterations && gamma > 0.0; ++it) {
        std::vector<float> const q = apply(direction);
        double const qq = dot(q, q);
        if (!(qq > 0.0)) break;
        double const step = gamma / qq;
        for (size_t i = 0; i < columns; ++i) out.x[i] += static_cast<float>(step * direction[i]);
        for (size_t i = 0; i < r.size(); ++i) r[i] -= static_cast<float>(step * q[i]);
        float const relative = static_cast<float>(std::sqrt(dot(r, r)) / norm_b);
        out.residuals.push_back(relative);
        if (relative < tolerance || it + 1 == iterations) break;
        s = adjoint(r);
        double const next = dot(s, s);
        for (size_t i = 0; i < columns; ++i) direction[i] = static_cast<float>(s[i] + (next / gamma) * direction[i]);
        gamma = next;
    }
    return out;
}

struct SolverResult {
    std::unique_ptr<GyrantBackend<PointNormal>> engine;
    //! Relative residual |W(A mu - b)| / |W b| of the coarse fit: before the first iteration and
    //! after each one.
    std::vector<float> residuals;
    //! The smoothing radius the solve used on the full cloud (caller's units).
    float epsilon = 0.0f;
};

//! Scaled normals mu for the n points `points` (device memory, 3 floats each) such that the winding
//! number is near `point_wn` at the points and near `extra_wn` at the k `extra_points`, the latter
//! weighted by `alpha_extra`: the least-squares objective is
//!     sum_i (w(p_i) - point_wn_i)^2 + alpha_extra sum_j (w(e_j) - extra_wn_j)^2.
//! Three stages:
//!  1. a coarse fit: the objective, minimised by cgls over an evenly chosen subset of the points
//!     (operator: compute; adjoint: the same sums through one engine over the fit's queries,
//!     refitted per product), with a smoothing radius of half the subset's point spacing; the
//!     subset is smaller for a noisy cloud (noise measured as the spread of 8-point
//!     neighbourhoods off their planes);
//!  2. normal consistency: each coarse normal is replaced by the direction of -grad w (the field
//!     falls from inside to outside across the surface), which removes the noise-driven flips the
//!     fit leaves, a few times; then every point takes -grad w of the coarse field;
//!  3. the same consistency steps on the full cloud, smoothing over one spacing (clean) to two
//!     (noisy), and one scale for all normals: the one that makes w jump by one across the
//!     surface, with the sign that fits the objective's values.
//! The fit has no penalty term: what regularises it is the kernel's smoothing and stopping early
//! (at the relative residual `tolerance` or after `iterations`), before it follows the sampling's
//! noise. Smoothing radii come from the mean spacing of the points involved, one value per level.
//! Lengths until the final scale are the spacing squared. The result holds the points in the
//! caller's order and units. Throws std::runtime_error for non-finite input.
//! How a cloud is sampled, from up to 20000 evenly spread points: `spacing`, the mean distance to
//! the nearest neighbour, and `noise`, the median RMS distance of a point's 8-neighbourhood
//! (itself included) to that neighbourhood's best plane, in spacings. On clean samples of smooth
//! or sharp surfaces the noise measures 0.01-0.11 (CGAL's meshes at 3k-20k points); Gaussian
//! noise of half a spacing measures about 0.45. Neighbours are found in a grid whose cells hold a
//! few points each, whatever the cloud's extent; `candidates` is the mean number of points a
//! sampled point examined there. Spacing and noise are zero when no point has a neighbour in its
//! cell block (a cloud of one point, or of isolated points).
struct Sampling {
    float spacing = 0.0f;
    float noise = 0.0f;
    double candidates = 0.0;
};
//! The sampling of points (3 floats each, host memory).
Sampling sampling_of(std::vector<float> const& points);
//! For every point, the distance to the nearest other point across its surface rather than along
//! it (within 45 degrees of the normal of its 24-point neighbourhood's plane; the third nearest
//! such, so that one stray point makes no sheet): the wall's other sheet, or the far side of a
//! narrow gap. Points less than `least` off its plane count as its own sheet's (its noise);
//! `reach` where nothing lies across within reach. Linear in the points (a grid of cells
//! of side `reach`).
std::vector<float> across_distance(std::vector<float> const& points, float reach, float least);

SolverResult solve_normals(float const* points, unsigned long n, float const* extra_points, unsigned long k,
                           float const* extra_wn, float const* point_wn, float alpha_extra, int device,
                           SolverOptions const& options);

}  // namespace gyrant

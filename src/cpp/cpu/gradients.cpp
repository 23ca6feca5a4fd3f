// Native gradients of point clouds: a per-query walk over the native layout (OpenMP over
// queries), and the exact all-pairs sums. The formulas are the kernels' (kernels/gradients.h).
#include "cpu/gradients.h"

#include "cpu/team.h"
#include "host/flush_to_zero.h"
#include "kernels/gradients.h"

#include <omp.h>

#include <vector>

namespace gyrant::cpu {
namespace {

static_assert(unsigned(WideNode::FAR_TERMS) == unsigned(EXPANSION_TERMS) &&
                  unsigned(WideNode::C_XXX) == unsigned(EXP_C_XXX) && unsigned(WideNode::L_X) == unsigned(EXP_L_X),
              "the walk's far form is the polynomial expansion_gradient differentiates");

//! body(i) for every i in [0, n), dynamically shared among the team, subnormals flushed as in
//! the kernels. Every i is independent, so the thread count changes no result.
template <class Body>
void for_each(size_t n, size_t chunk, Body const& body) {
    if (n == 0) return;
#pragma omp parallel if (n > chunk && team_threads() > 1)
    {
        host::FlushToZero const ftz;
#pragma omp for schedule(dynamic, chunk)
        for (size_t i = 0; i < n; ++i) body(i);
    }
}

Vec3 exact_leaf(QueryScene<PointNormal> const& scene, unsigned leaf, Vec3 const& q, float inverse_epsilon) {
    Vec3 sum{0.0f, 0.0f, 0.0f};
    unsigned const first = leaf * PRIMITIVES_PER_LEAF;
    unsigned const end = std::min(scene.n_primitives, first + PRIMITIVES_PER_LEAF);
    for (unsigned i = first; i < end; ++i)
        sum = sum - point_gradient(PointNormal::load(scene.primitives, i, scene.n_primitives), q, inverse_epsilon);
    return sum;
}

Vec3 walk(QueryScene<PointNormal> const& scene, Vec3 const& q, float beta_squared, float inverse_epsilon,
          std::vector<uint32_t>& stack) {
    WideTree const& tree = *scene.tree;
    Vec3 sum{0.0f, 0.0f, 0.0f};
    stack.clear();
    stack.push_back(0);
    while (!stack.empty()) {
        WideNode const& w = tree.nodes[stack.back()];
        stack.pop_back();
        unsigned const slots = w.leaf_mask | w.internal_mask;
        for (unsigned k = 0; k < 8; ++k) {
            if (!(slots >> k & 1u)) continue;
            bool const leaf = w.leaf_mask >> k & 1u;
            // compute's acceptance test, operation for operation.
            Vec3 const u{q.x - w.cx[k], q.y - w.cy[k], q.z - w.cz[k]};
            float const d2 = fmaf(u.z, u.z, fmaf(u.x, u.x, u.y * u.y));
            if (d2 > beta_squared * w.r2[k]) {
                Vec3 const center{w.cx[k], w.cy[k], w.cz[k]};
                Vec3 g;
                if (w.kernel_evaluated >> k & 1u) {
                    // Coefficients beyond what the far form holds: widen the stored ones.
                    TailorCoefficientsF16 const& stored =
                        leaf ? tree.leaf_coefficients[w.child[k]] : tree.node_coefficients[w.child[k] - 1];
                    g = stored_expansion_gradient(stored, q, center);
                } else {
                    g = expansion_gradient(w.far[k], q, center);
                }
                if (all_finite(g)) {
                    sum = sum + g;
                    continue;
                }
            }
            if (leaf)
                sum = sum + exact_leaf(scene, w.child[k], q, inverse_epsilon);
            else
                stack.push_back(w.child[k]);
        }
    }
    return sum;
}

}  // namespace

void gradient(QueryScene<PointNormal> const& scene, Vec3 const* queries, unsigned long n, float beta,
              float epsilon, float* output) {
    float const inverse_epsilon = 1.0f / epsilon;
    float const beta_squared = beta * beta;
    unsigned const leaves = (scene.n_primitives + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;
    // Every stack holds the deepest walk before the team starts: nothing may allocate (and so
    // throw) inside it.
    std::vector<std::vector<uint32_t>> stacks(static_cast<size_t>(team_threads()));
    if (scene.tree != nullptr)
        for (auto& stack : stacks) stack.reserve(scene.tree->stack_capacity);
    for_each(n, 64, [&](size_t i) {
        Vec3 const q = in_engine_frame(queries[i], scene.query_scale);
        Vec3 sum{0.0f, 0.0f, 0.0f};
        if (scene.tree != nullptr) {
            std::vector<uint32_t>& stack = stacks[static_cast<size_t>(omp_get_thread_num())];
            sum = walk(scene, q, beta_squared, inverse_epsilon, stack);
        } else {
            for (unsigned leaf = 0; leaf < leaves; ++leaf) sum = sum + exact_leaf(scene, leaf, q, inverse_epsilon);
        }
        // In the caller's units the frame's gradient is multiplied by the scale.
        output[3 * i + 0] = sum.x * scene.query_scale;
        output[3 * i + 1] = sum.y * scene.query_scale;
        output[3 * i + 2] = sum.z * scene.query_scale;
    });
}

void brute_force_gradient(QueryScene<PointNormal> const& scene, Vec3 const* queries, unsigned long n,
                          float epsilon, float* output) {
    float const inverse_epsilon = 1.0f / epsilon;
    for_each(n, 16, [&](size_t i) {
        Vec3 const q = in_engine_frame(queries[i], scene.query_scale);
        double s[3] = {0.0, 0.0, 0.0};
        for (unsigned j = 0; j < scene.n_primitives; ++j) {
            Vec3 const g = point_gradient(PointNormal::load(scene.primitives, j, scene.n_primitives), q, inverse_epsilon);
            s[0] -= g.x, s[1] -= g.y, s[2] -= g.z;
        }
        for (unsigned a = 0; a < 3; ++a) output[3 * i + a] = static_cast<float>(s[a] * scene.query_scale);
    });
}

void vjp_brute_force(QueryScene<PointNormal> const& scene, uint32_t const* sorted_indices, Vec3 const* queries,
                     float const* v, unsigned long n_queries, float epsilon, float* grad_normals,
                     float* grad_points) {
    float const inverse_epsilon = 1.0f / epsilon;
    // The queries in the frame once, not once per point.
    std::vector<Vec3> frame(n_queries);
    for (size_t j = 0; j < n_queries; ++j) frame[j] = in_engine_frame(queries[j], scene.query_scale);
    double const s = scene.query_scale;
    for_each(scene.n_primitives, 16, [&](size_t i) {
        PointNormal const p = PointNormal::load(scene.primitives, static_cast<unsigned>(i), scene.n_primitives);
        double gn[3] = {0.0, 0.0, 0.0}, gp[3] = {0.0, 0.0, 0.0};
        for (size_t j = 0; j < n_queries; ++j) {
            double const w = v[j];
            Vec3 const kn = dipole_kernel_vector(p.position - frame[j], inverse_epsilon);
            Vec3 const kp = point_gradient(p, frame[j], inverse_epsilon);
            gn[0] += w * kn.x, gn[1] += w * kn.y, gn[2] += w * kn.z;
            gp[0] += w * kp.x, gp[1] += w * kp.y, gp[2] += w * kp.z;
        }
        // The caller's normals are the frame's over scale^2, the caller's positions over scale.
        size_t const o = 3 * size_t{sorted_indices[i]};
        for (unsigned a = 0; a < 3; ++a) {
            if (grad_normals != nullptr) grad_normals[o + a] = static_cast<float>(gn[a] * s * s);
            if (grad_points != nullptr) grad_points[o + a] = static_cast<float>(gp[a] * s);
        }
    });
}

void points_in_caller_frame(QueryScene<PointNormal> const& scene, uint32_t const* sorted_indices, float area,
                            float* positions, float* normals) {
    float const inverse_scale = 1.0f / scene.query_scale;  // powers of two: exact
    float const inverse_area = 1.0f / area;
    for_each(scene.n_primitives, 4096, [&](size_t i) {
        store_in_caller_frame(PointNormal::load(scene.primitives, static_cast<unsigned>(i), scene.n_primitives),
                              sorted_indices[i], inverse_scale, inverse_area, positions, normals);
    });
}

void apply_axis(AxisTerm const& t) {
    for_each(t.n, 4096, [&](size_t i) { apply_axis_term(t, static_cast<unsigned>(i)); });
}

void axis_normals(float const* v, unsigned long n, unsigned axis, float* out) {
    for_each(n, 4096, [&](size_t j) {
        for (unsigned a = 0; a < 3; ++a) out[3 * j + a] = a == axis ? v[j] : 0.0f;
    });
}

}  // namespace gyrant::cpu

// Part of one instruction set's copy of the vectorised loops (see vector.h): what the summing
// walk (walk.h) sums, as interaction policies. A policy I names its primitive (I::Primitive), the
// floats a lane accumulates (I::CHANNELS), and gives
//   node(job, packet, node, slot, u, d2, lanes, values): the far-field term of an accepted node
//       or leaf slot at the lanes, written to values[channel][lane]; returns the lanes whose term
//       is usable (the others are walked or summed exactly instead);
//   group(job, packet, u, d2, far, lanes, values): the same for a leaf's group, tested against its
//       bound squared times I::GROUP_R2_SCALE (see QueryGradient);
//   exact_leaves / exact_groups(job, packet, count, items, queries, lanes, sums): the exact terms of
//       the primitives of `count` (leaf or group, query) pairs, the query of pair j that of lane
//       lanes[j], summed per pair into sums[pair][channel];
//   store(job, index, values): a query's channels into the output.
// The formulas are the kernels' (kernels/gradients.h, node_approx.h), here over vectors.
#pragma once

#include "cpu/simd/contributions.h"
#include "cpu/simd/far_field.h"
#include "cpu/simd/vector.h"
#include "kernels/gradients.h"

#include <experimental/simd>

#include <cfloat>
#include <cmath>
#include <cstring>

namespace gyrant::cpu::GYRANT_SIMD_TARGET {
namespace {

using Lanes = std::uint32_t;  // bit l: lane l of a packet
static_assert(PACKET < 32, "a packet's lanes fit in a word, with room for the shift that masks them");

//! The lanes of a mask as bits (lane l in bit l).
template <class M>
inline unsigned lane_bits(M const& m) {
    return static_cast<unsigned>(m.__to_bitset().to_ullong());
}

//! A packet's queries, and for the positions' product the queries' (targets') normals.
struct Packet {
    FP qx, qy, qz;
    Vec3 q[PACKET];
    FP nx, ny, nz;
    Vec3 n[PACKET];
};

//! Below this squared distance the weights 1 / R^k of an accepted expansion may overflow; such a
//! lane takes the kernels' evaluation, so that it is accepted exactly when the kernels accept it.
constexpr float FAR_MIN_DISTANCE_SQUARED = 0x1p-40f;

//! The expansion of slot k of node n at the lanes `accepted` of the packet into `values`; returns
//! the lanes whose value is usable (an expansion beyond the half/bfloat16 range is walked or
//! summed exactly instead, as in the kernels).
template <class T>
inline Lanes approximate(QueryJob<T> const& job, Packet const& p, WideNode const& n, unsigned k, FP const& ux,
                         FP const& uy, FP const& uz, FP const& d2, Lanes accepted, float* values) {
    Vec3 const center{n.cx[k], n.cy[k], n.cz[k]};
    // Lanes left to the kernels' own scalar evaluation: expansions the single-precision form
    // cannot stand for, and with the emulation, possible double roundings.
    Lanes kernel_lanes;
    FP v;
    if (job.kernel_arithmetic) {
        Hazard<FP> hazard;
        v = node_approximations(p.qx, p.qy, p.qz, center, stored_expansion(job, n, k), hazard);
        kernel_lanes = lane_bits(hazard.lanes);
    } else {
        v = far_field(ux, uy, uz, d2, n.far[k]);
        kernel_lanes = lane_bits(d2 < FAR_MIN_DISTANCE_SQUARED) | ((n.kernel_evaluated >> k) & 1u ? ~Lanes{0} : 0);
    }
    v.copy_to(values, stdx::element_aligned);
    accepted &= lane_bits(stdx::abs(v) <= FLT_MAX) | kernel_lanes;
    for (Lanes todo = kernel_lanes & accepted; todo != 0; todo &= todo - 1) {
        unsigned const l = static_cast<unsigned>(__builtin_ctz(todo));
        values[l] = node_approximation(p.q[l], center, stored_expansion(job, n, k));
        if (!(std::fabs(values[l]) <= FLT_MAX)) accepted &= ~(Lanes{1} << l);
    }
    return accepted;
}

//! The winding number: one channel, compute's terms.
template <class T>
struct WindingNumber {
    using Primitive = T;
    static constexpr unsigned CHANNELS = 1;
    static constexpr float GROUP_R2_SCALE = 1.0f;

    static Lanes node(QueryJob<T> const& job, Packet const& p, WideNode const& n, unsigned k, FP const& ux,
                      FP const& uy, FP const& uz, FP const& d2, Lanes lanes, float (&values)[1][PACKET]) {
        return approximate(job, p, n, k, ux, uy, uz, d2, lanes, values[0]);
    }
    static Lanes group(QueryJob<T> const&, Packet const&, FP const& ux, FP const& uy, FP const& uz, FP const& d2,
                       float const (&far)[WideNode::FAR_TERMS], Lanes lanes, float (&values)[1][PACKET]) {
        FP const v = far_field(ux, uy, uz, d2, far);
        v.copy_to(values[0], stdx::element_aligned);
        return lanes & lane_bits(stdx::abs(v) <= FLT_MAX) & ~lane_bits(d2 < FAR_MIN_DISTANCE_SQUARED);
    }
    static void exact_leaves(QueryJob<T> const& job, Packet const&, unsigned count, unsigned const* leaves,
                             Vec3 const* qs, unsigned const*, float (*sums)[1]) {
        GYRANT_SIMD_TARGET::exact_leaves(job, count, leaves, qs, &sums[0][0]);
    }
    static void exact_groups(QueryJob<T> const& job, Packet const&, unsigned count, unsigned const* groups,
                             Vec3 const* qs, unsigned const*, float (*sums)[1]) {
        GYRANT_SIMD_TARGET::exact_groups(job, count, groups, qs, &sums[0][0]);
    }
    static void store(QueryJob<T> const& job, size_t index, float const (&v)[1]) { job.output[index] = v[0]; }
};

//! Exact gradients with respect to the query of `count` runs of Size sorted points, run items[j]
//! (points Size items[j] ...) at query qs[j], into sums[j]: the points' terms in the lanes (those
//! of point_gradient, the smoothing band's lanes through it), reduced pairwise (halves first)
//! within each run. No value depends on the vector width.
template <unsigned Size>
inline void exact_gradients(QueryJob<PointNormal> const& job, unsigned count, unsigned const* items, Vec3 const* qs,
                            float (*sums)[3]) {
    constexpr unsigned STAGE = GROUP_STAGE, W = EXACT_WIDTH, RUNS = STAGE / Size;
    static_assert(STAGE % Size == 0, "whole runs in a stage");
    using V = FE;
    size_t const stride = job.primitives.stride;
    float const inv_eps = job.inverse_epsilon;
    float const core = DIPOLE_CORE * (inv_eps * inv_eps * inv_eps);
    for (unsigned j = 0; j < count; ++j)
        for (unsigned c = 0; c < 6; ++c)
            for (unsigned o = 0; o < Size; o += 16)
                __builtin_prefetch(job.primitives.data + c * stride + size_t{items[j]} * Size + o);
    for (unsigned base = 0; base < count; base += RUNS) {
        unsigned const m = count - base < RUNS ? count - base : RUNS;
        alignas(64) float plane[6][STAGE], qx[STAGE], qy[STAGE], qz[STAGE];
        alignas(64) float values[3][STAGE];
        unsigned present[RUNS];
        stage_runs<6, Size>(job, m, items + base, plane, present);
        for (unsigned j = 0; j < m; ++j) {
            for (unsigned i = 0; i < Size; ++i) {
                qx[j * Size + i] = qs[base + j].x;
                qy[j * Size + i] = qs[base + j].y;
                qz[j * Size + i] = qs[base + j].z;
            }
        }
        // The last vector's spare lanes: a point at the origin without normal, seen from (1, 1, 1).
        unsigned const lanes = (m * Size + W - 1) / W * W;
        for (unsigned i = m * Size; i < lanes; ++i) {
            for (unsigned c = 0; c < 6; ++c) plane[c][i] = 0.0f;
            qx[i] = qy[i] = qz[i] = 1.0f;
        }
        for (unsigned o = 0; o < lanes; o += W) {
            V const d[3] = {load<V>(plane[0] + o) - load<V>(qx + o), load<V>(plane[1] + o) - load<V>(qy + o),
                            load<V>(plane[2] + o) - load<V>(qz + o)};
            V const nv[3] = {load<V>(plane[3] + o), load<V>(plane[4] + o), load<V>(plane[5] + o)};
            V const r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
            V const r = stdx::sqrt(r2);
            V const x = inv_eps * r;
            // The plain dipole (k = 1 / r^3, slope -3 k) and the constant core; the band and
            // coincident points take the scalar formula below.
            V k = 1.0f / (r2 * r), slope = -3.0f * k;
            auto const in_core = x < SMOOTHING_BAND_START;
            stdx::where(in_core, k) = core;
            stdx::where(in_core, slope) = 0.0f;
            V g[3];
            dipole_gradient(d, nv, 1.0f / r, k, slope, g);
            for (unsigned a = 0; a < 3; ++a) (-g[a]).copy_to(values[a] + o, stdx::element_aligned);
            auto const scalar = (x < SMOOTHING_BAND_END && !in_core) || r2 < COINCIDENT_DISTANCE_SQUARED;
            for (unsigned bits = lane_bits(scalar); bits != 0; bits &= bits - 1) {
                unsigned const i = o + static_cast<unsigned>(__builtin_ctz(bits)), j = i / Size;
                unsigned const index = j < m ? items[base + j] * Size + i % Size : job.n_primitives;
                Vec3 const t = point_gradient(PointNormal::load(job.primitives, index, job.n_primitives),
                                              Vec3{qx[i], qy[i], qz[i]}, inv_eps);
                values[0][i] = -t.x, values[1][i] = -t.y, values[2][i] = -t.z;
            }
        }
        for (unsigned j = 0; j < m; ++j) {
            for (unsigned a = 0; a < 3; ++a) {
                float* v = values[a] + j * Size;
                for (unsigned i = present[j]; i < Size; ++i) v[i] = 0.0f;
                for (unsigned h = Size / 2; h > 0; h /= 2)
                    for (unsigned i = 0; i < h; ++i) v[i] = v[i] + v[i + h];
                sums[base + j][a] = v[0];
            }
        }
    }
}

static_assert(unsigned(WideNode::FAR_TERMS) == unsigned(EXPANSION_TERMS) &&
                  unsigned(WideNode::C_XXX) == unsigned(EXP_C_XXX) && unsigned(WideNode::L_X) == unsigned(EXP_L_X),
              "the walk's far form is the polynomial expansion_gradient_at differentiates");

//! The gradient of a point cloud's winding number with respect to the query: three channels,
//! the derivatives of compute's terms (kernels/gradients.h), in the caller's units on output.
struct QueryGradient {
    using Primitive = PointNormal;
    static constexpr unsigned CHANNELS = 3;
    //! Groups at twice beta: a group's bound is its farthest point, tighter than a node's box
    //! radius, and the gradient of an accepted expansion keeps more of its truncation than the
    //! value. Measured on a 20k-point sphere at the default beta, against brute_force_gradient:
    //! at beta the groups tripled the mean error at the points (7e-4 without groups, 2.3e-3);
    //! at twice beta it stays 7.4e-4, and the walk keeps most of the groups' speed.
    static constexpr float GROUP_R2_SCALE = 4.0f;

    //! grad_q of the expansion at the lanes, u = q - c the offsets from its centre.
    static Lanes far(float const (&terms)[WideNode::FAR_TERMS], FP const& ux, FP const& uy, FP const& uz,
                     FP const& d2, Lanes lanes, float (&values)[3][PACKET]) {
        FP const inv_r = 1.0f / stdx::sqrt(d2);
        FP const towards = -inv_r;
        FP g[3];
        expansion_gradient_at(terms, ux * towards, uy * towards, uz * towards, inv_r, g);
        auto finite = stdx::abs(g[0]) <= FLT_MAX;
        for (unsigned a = 0; a < 3; ++a) {
            g[a].copy_to(values[a], stdx::element_aligned);
            finite = finite && stdx::abs(g[a]) <= FLT_MAX;
        }
        return lanes & lane_bits(finite);
    }

    static Lanes node(QueryJob<PointNormal> const& job, Packet const& p, WideNode const& n, unsigned k, FP const& ux,
                      FP const& uy, FP const& uz, FP const& d2, Lanes lanes, float (&values)[3][PACKET]) {
        if (!((n.kernel_evaluated >> k) & 1u)) return far(n.far[k], ux, uy, uz, d2, lanes, values);
        // Coefficients beyond what the far form holds: the widened stored ones, lane by lane.
        Vec3 const center{n.cx[k], n.cy[k], n.cz[k]};
        for (Lanes todo = lanes; todo != 0; todo &= todo - 1) {
            unsigned const l = static_cast<unsigned>(__builtin_ctz(todo));
            Vec3 const g = stored_expansion_gradient(stored_expansion(job, n, k), p.q[l], center);
            values[0][l] = g.x, values[1][l] = g.y, values[2][l] = g.z;
            if (!all_finite(g)) lanes &= ~(Lanes{1} << l);
        }
        return lanes;
    }
    static Lanes group(QueryJob<PointNormal> const&, Packet const&, FP const& ux, FP const& uy, FP const& uz,
                       FP const& d2, float const (&far_terms)[WideNode::FAR_TERMS], Lanes lanes,
                       float (&values)[3][PACKET]) {
        return far(far_terms, ux, uy, uz, d2, lanes, values);
    }
    static void exact_leaves(QueryJob<PointNormal> const& job, Packet const&, unsigned count, unsigned const* leaves,
                             Vec3 const* qs, unsigned const*, float (*sums)[3]) {
        exact_gradients<LEAF>(job, count, leaves, qs, sums);
    }
    static void exact_groups(QueryJob<PointNormal> const& job, Packet const&, unsigned count, unsigned const* groups,
                             Vec3 const* qs, unsigned const*, float (*sums)[3]) {
        exact_gradients<GROUP_SIZE>(job, count, groups, qs, sums);
    }
    //! grad_q w is scale-free in w: in the caller's units it is the frame's gradient times scale.
    static void store(QueryJob<PointNormal> const& job, size_t index, float const (&v)[3]) {
        for (unsigned a = 0; a < 3; ++a) job.output[3 * index + a] = v[a] * job.query_scale;
    }
};

//! Exact vector-Jacobian products at `count` (run, target) pairs, the sources being runs of Size
//! sorted charges (positions with scaled normals (v, 0, 0)), run items[j] at target qs[j] (normal
//! ns[j] for the positions' product): per pair sum_i v_i K(p - q_i), or with Points
//! sum_i v_i J(p - q_i) n (dipole_kernel_vector and point_gradient; the smoothing band's lanes
//! through them), reduced pairwise within each run.
template <unsigned Size, bool Points>
inline void exact_products(QueryJob<PointNormal> const& job, unsigned count, unsigned const* items, Vec3 const* qs,
                           Vec3 const* ns, float (*sums)[3]) {
    constexpr unsigned STAGE = GROUP_STAGE, W = EXACT_WIDTH, RUNS = STAGE / Size;
    using V = FE;
    size_t const stride = job.primitives.stride;
    float const inv_eps = job.inverse_epsilon;
    float const core = DIPOLE_CORE * (inv_eps * inv_eps * inv_eps);
    for (unsigned j = 0; j < count; ++j)
        for (unsigned c = 0; c < 4; ++c)
            for (unsigned o = 0; o < Size; o += 16)
                __builtin_prefetch(job.primitives.data + c * stride + size_t{items[j]} * Size + o);
    for (unsigned base = 0; base < count; base += RUNS) {
        unsigned const m = count - base < RUNS ? count - base : RUNS;
        // Source positions and charges, target positions and normals, side by side.
        alignas(64) float plane[4][STAGE], t[6][STAGE];
        alignas(64) float values[3][STAGE];
        unsigned present[RUNS];
        stage_runs<4, Size>(job, m, items + base, plane, present);
        for (unsigned j = 0; j < m; ++j) {
            Vec3 const q = qs[base + j], nq = Points ? ns[base + j] : Vec3{0.0f, 0.0f, 0.0f};
            float const target[6] = {q.x, q.y, q.z, nq.x, nq.y, nq.z};
            for (unsigned c = 0; c < 6; ++c)
                for (unsigned i = 0; i < Size; ++i) t[c][j * Size + i] = target[c];
        }
        // The last vector's spare lanes: a source without charge at the origin, a target at (1, 1, 1).
        unsigned const lanes = (m * Size + W - 1) / W * W;
        for (unsigned i = m * Size; i < lanes; ++i) {
            for (unsigned c = 0; c < 4; ++c) plane[c][i] = 0.0f;
            for (unsigned c = 0; c < 6; ++c) t[c][i] = c < 3 ? 1.0f : 0.0f;
        }
        for (unsigned o = 0; o < lanes; o += W) {
            V const d[3] = {load<V>(t[0] + o) - load<V>(plane[0] + o), load<V>(t[1] + o) - load<V>(plane[1] + o),
                            load<V>(t[2] + o) - load<V>(plane[2] + o)};
            V const charge = load<V>(plane[3] + o);
            V const r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
            V const r = stdx::sqrt(r2);
            V const x = inv_eps * r;
            V k = 1.0f / (r2 * r), slope = -3.0f * k;
            auto const in_core = x < SMOOTHING_BAND_START;
            stdx::where(in_core, k) = core;
            stdx::where(in_core, slope) = 0.0f;
            V g[3];
            if constexpr (Points) {
                V const nv[3] = {load<V>(t[3] + o), load<V>(t[4] + o), load<V>(t[5] + o)};
                dipole_gradient(d, nv, 1.0f / r, k, slope, g);
            } else {
                for (unsigned a = 0; a < 3; ++a) g[a] = d[a] * (k * INV_FOUR_PI);
            }
            for (unsigned a = 0; a < 3; ++a) (g[a] * charge).copy_to(values[a] + o, stdx::element_aligned);
            auto const scalar = (x < SMOOTHING_BAND_END && !in_core) || r2 < COINCIDENT_DISTANCE_SQUARED;
            for (unsigned bits = lane_bits(scalar); bits != 0; bits &= bits - 1) {
                unsigned const i = o + static_cast<unsigned>(__builtin_ctz(bits)), j = i / Size;
                unsigned const index = j < m ? items[base + j] * Size + i % Size : job.n_primitives;
                PointNormal const source = PointNormal::load(job.primitives, index, job.n_primitives);
                Vec3 const target{t[0][i], t[1][i], t[2][i]};
                Vec3 const v = Points ? point_gradient(PointNormal{target, Vec3{t[3][i], t[4][i], t[5][i]}},
                                                       source.position, inv_eps)
                                      : dipole_kernel_vector(target - source.position, inv_eps);
                values[0][i] = v.x * source.normal.x, values[1][i] = v.y * source.normal.x,
                values[2][i] = v.z * source.normal.x;
            }
        }
        for (unsigned j = 0; j < m; ++j) {
            for (unsigned a = 0; a < 3; ++a) {
                float* v = values[a] + j * Size;
                for (unsigned i = present[j]; i < Size; ++i) v[i] = 0.0f;
                for (unsigned h = Size / 2; h > 0; h /= 2)
                    for (unsigned i = 0; i < h; ++i) v[i] = v[i] + v[i + h];
                sums[base + j][a] = v[0];
            }
        }
    }
}

//! The vector-Jacobian products of a point cloud's winding numbers, walked over an engine built
//! on the products' queries (sources: charges v at the queries, as scaled normals (v, 0, 0)) at
//! the cloud's own points (targets): three channels, the normals' product, or with Points the
//! positions' product at each target's normal (job.target_normals). One walk for all three axes.
template <bool Points>
struct QueryProduct {
    using Primitive = PointNormal;
    static constexpr unsigned CHANNELS = 3;
    //! The normals' product is a field like the gradient of a value, the positions' one step
    //! further: groups at beta for the first (its error then equals the three-pass product's,
    //! 7.5e-3 rms on a 20k sphere at 5000 uniform queries), at twice beta for the second (as for
    //! the gradient; at beta its error was four times the three-pass product's 2.0e-4).
    static constexpr float GROUP_R2_SCALE = Points ? 4.0f : 1.0f;

    static Lanes far(float const (&terms)[WideNode::FAR_TERMS], Packet const& p, FP const& ux, FP const& uy,
                     FP const& uz, FP const& d2, Lanes lanes, float (&values)[3][PACKET]) {
        ChargeMoments const c = charge_moments(terms);
        FP const x[3] = {ux, uy, uz};
        FP const n[3] = {p.nx, p.ny, p.nz};
        FP out[3];
        charge_products_at<Points>(c, x, d2, n, out);
        auto finite = stdx::abs(out[0]) <= FLT_MAX;
        for (unsigned a = 0; a < 3; ++a) {
            out[a].copy_to(values[a], stdx::element_aligned);
            finite = finite && stdx::abs(out[a]) <= FLT_MAX;
        }
        return lanes & lane_bits(finite);
    }
    static Lanes node(QueryJob<PointNormal> const&, Packet const& p, WideNode const& n, unsigned k, FP const& ux,
                      FP const& uy, FP const& uz, FP const& d2, Lanes lanes, float (&values)[3][PACKET]) {
        // Moments beyond the far form's range: walked or summed exactly instead.
        if ((n.kernel_evaluated >> k) & 1u) return 0;
        return far(n.far[k], p, ux, uy, uz, d2, lanes, values);
    }
    static Lanes group(QueryJob<PointNormal> const&, Packet const& p, FP const& ux, FP const& uy, FP const& uz,
                       FP const& d2, float const (&terms)[WideNode::FAR_TERMS], Lanes lanes,
                       float (&values)[3][PACKET]) {
        return far(terms, p, ux, uy, uz, d2, lanes, values);
    }
    template <unsigned Size>
    static void exact(QueryJob<PointNormal> const& job, Packet const& p, unsigned count, unsigned const* items,
                      Vec3 const* qs, unsigned const* lanes, float (*sums)[3]) {
        Vec3 ns[8 * GROUPS_PER_LEAF * PACKET];
        if constexpr (Points)
            for (unsigned j = 0; j < count; ++j) ns[j] = p.n[lanes[j]];
        exact_products<Size, Points>(job, count, items, qs, ns, sums);
    }
    static void exact_leaves(QueryJob<PointNormal> const& job, Packet const& p, unsigned count, unsigned const* leaves,
                             Vec3 const* qs, unsigned const* lanes, float (*sums)[3]) {
        exact<LEAF>(job, p, count, leaves, qs, lanes, sums);
    }
    static void exact_groups(QueryJob<PointNormal> const& job, Packet const& p, unsigned count, unsigned const* groups,
                             Vec3 const* qs, unsigned const* lanes, float (*sums)[3]) {
        exact<GROUP_SIZE>(job, p, count, groups, qs, lanes, sums);
    }
    //! The normals' product is scale-free like w; the positions' is a derivative, times the scale.
    static void store(QueryJob<PointNormal> const& job, size_t index, float const (&v)[3]) {
        for (unsigned a = 0; a < 3; ++a) job.output[3 * index + a] = Points ? v[a] * job.query_scale : v[a];
    }
};

}  // namespace
}  // namespace gyrant::cpu::GYRANT_SIMD_TARGET

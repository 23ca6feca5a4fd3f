// Part of one instruction set's copy of the vectorised loops (see vector.h): the vector-Jacobian
// product of a point cloud's winding numbers with respect to its scaled normals, as the transpose
// of compute's walk. The queries walk the cloud's own
// hierarchy with compute's acceptance test, and each pair the walk finds is recorded instead of
// summed: (expansion, lanes) where the lanes accept a node slot or a group, (group, lanes) where
// they sum its points exactly. The records are then taken an item at a time: for an expansion,
// sum over its queries of v times the derivative of its value with respect to its terms (the
// terms are linear in the points' normals and polynomial in their offsets, so native.cpp turns
// these into every point's share); for a group, every point's exact term. An item's records
// are read in walk order by one thread: no result depends on the thread count.
#pragma once

#include "cpu/simd/interactions.h"
#include "cpu/simd/vector.h"
#include "cpu/simd/walk.h"
#include "kernels/gradients.h"

#include <experimental/simd>

#include <cstdint>

namespace gyrant::cpu::GYRANT_SIMD_TARGET {
namespace {

//! A pending node of the scatter walk and the lanes that visit it.
struct AdjointEntry {
    std::uint32_t node;
    std::uint32_t visit;
};
static_assert(sizeof(AdjointEntry) <= sizeof(WalkEntry<1>), "the walks' stacks hold the scatter walk's");

//! The scatter walk of the sorted queries [first, first + count), count <= PACKET: compute's test
//! for every node slot and, below a leaf slot a lane rejects, for its groups. A slot is taken only
//! where its single-precision form stands for it (as compute's far field; the others are walked).
template <class Record>
inline void adjoint_walk_packet(AdjointJob const& aj, size_t first, unsigned count, AdjointEntry* stack,
                                Record const& record) {
    QueryJob<PointNormal> const& job = aj.walk;
    alignas(64) float x[PACKET], y[PACKET], z[PACKET];
    for (unsigned l = 0; l < PACKET; ++l) {
        Vec3 const q = aj.sorted_queries[first + (l < count ? l : count - 1)];
        x[l] = q.x, y[l] = q.y, z[l] = q.z;
    }
    FP const qx = load<FP>(x), qy = load<FP>(y), qz = load<FP>(z);
    unsigned top = 0;
    stack[top++] = {0, (Lanes{1} << count) - 1};
    while (top > 0) {
        AdjointEntry const e = stack[--top];
        WideNode const& n = job.nodes[e.node];
        for (unsigned present = n.leaf_mask | n.internal_mask; present != 0; present &= present - 1) {
            unsigned const k = static_cast<unsigned>(__builtin_ctz(present));
            FP const ux = qx - n.cx[k], uy = qy - n.cy[k], uz = qz - n.cz[k];
            FP const d2 = square_add(uz, square_add(ux, uy * uy));
            Lanes a = 0;
            if (!((n.kernel_evaluated >> k) & 1u))
                a = accepts(job, d2, n.r2[k], n.r[k]) & e.visit & ~lane_bits(d2 < FAR_MIN_DISTANCE_SQUARED);
            if (a != 0) record(true, e.node * 8 + k, a);
            Lanes const rejected = e.visit & ~a;
            if (rejected == 0) continue;
            if ((n.internal_mask >> k) & 1u) {
                stack[top++] = {n.child[k], rejected};
                continue;
            }
            unsigned const leaf = n.child[k];
            unsigned const left = job.n_primitives - leaf * LEAF;  // at least 1
            unsigned const groups = left >= LEAF ? GROUPS_PER_LEAF : (left + GROUP_SIZE - 1) / GROUP_SIZE;
            LeafGroups const& g = job.groups[leaf];
            for (unsigned j = 0; j < groups; ++j) {
                FP const gx = qx - g.cx[j], gy = qy - g.cy[j], gz = qz - g.cz[j];
                FP const g2 = square_add(gz, square_add(gx, gy * gy));
                Lanes const ga = accepts(job, g2, g.r2[j] * aj.group_r2_scale, g.r[j]) & rejected &
                                 ~lane_bits(g2 < FAR_MIN_DISTANCE_SQUARED);
                std::uint32_t const item = leaf * GROUPS_PER_LEAF + j;
                if (ga != 0) record(true, aj.groups_base + item, ga);
                if ((rejected & ~ga) != 0) record(false, item, rejected & ~ga);
            }
        }
    }
}

//! The scatter walk of the sorted queries [begin, end), a packet at a time, its records handed to
//! the sink in walk order.
inline void adjoint_walk(AdjointJob const& aj, size_t begin, size_t end, AdjointEntry* stack, AdjointSink const& sink) {
    constexpr unsigned BATCH = 256;
    AdjointRecord out[2][BATCH];
    unsigned fill[2] = {0, 0};
    auto const flush = [&](unsigned kind) {
        if (fill[kind] != 0) sink.put(sink.context, out[kind], fill[kind], kind == 0);
        fill[kind] = 0;
    };
    for (size_t first = begin; first < end; first += PACKET) {
        unsigned const count = static_cast<unsigned>(end - first < PACKET ? end - first : PACKET);
        adjoint_walk_packet(aj, first, count, stack, [&](bool far, std::uint32_t item, Lanes lanes) {
            unsigned const kind = far ? 0 : 1;
            out[kind][fill[kind]++] = {item, lanes, static_cast<std::uint32_t>(first)};
            if (fill[kind] == BATCH) flush(kind);
        });
    }
    flush(0);
    flush(1);
}

//! The queries of an item's records, PACKET at a time: body(x, y, z, v) for each full batch and
//! for the last one, whose spare lanes repeat its first query with v = 0.
template <class Body>
inline void adjoint_batches(AdjointJob const& aj, std::uint32_t item, Body const& body) {
    alignas(64) float x[PACKET], y[PACKET], z[PACKET], v[PACKET];
    unsigned fill = 0;
    for (std::uint32_t r = aj.starts[item]; r < aj.starts[item + 1]; ++r) {
        AdjointRecord const& rec = aj.records[r];
        for (Lanes e = rec.lanes; e != 0; e &= e - 1) {
            size_t const s = rec.first + static_cast<unsigned>(__builtin_ctz(e));
            Vec3 const q = aj.sorted_queries[s];
            x[fill] = q.x, y[fill] = q.y, z[fill] = q.z, v[fill] = aj.sorted_values[s];
            if (++fill == PACKET) {
                body(load<FP>(x), load<FP>(y), load<FP>(z), load<FP>(v));
                fill = 0;
            }
        }
    }
    if (fill == 0) return;
    for (unsigned l = fill; l < PACKET; ++l) x[l] = x[0], y[l] = y[0], z[l] = z[0], v[l] = 0.0f;
    body(load<FP>(x), load<FP>(y), load<FP>(z), load<FP>(v));
}

//! Far items [begin, end): the sums over each item's queries of v times d value / d term, the
//! value being far_field's (Z / R^2 + F / R^3 + S / R^4) / (4 pi) in the direction d = (c - q) / R.
inline void adjoint_far_items(AdjointJob const& aj, size_t begin, size_t end) {
    using W = WideNode;
    QueryJob<PointNormal> const& job = aj.walk;
    for (size_t item = begin; item < end; ++item) {
        if (aj.starts[item] == aj.starts[item + 1]) continue;
        float cx, cy, cz;
        if (item < aj.groups_base) {
            WideNode const& n = job.nodes[item / 8];
            cx = n.cx[item % 8], cy = n.cy[item % 8], cz = n.cz[item % 8];
        } else {
            size_t const g = item - aj.groups_base;
            LeafGroups const& lg = job.groups[g / GROUPS_PER_LEAF];
            cx = lg.cx[g % GROUPS_PER_LEAF], cy = lg.cy[g % GROUPS_PER_LEAF], cz = lg.cz[g % GROUPS_PER_LEAF];
        }
        FP acc[W::FAR_TERMS];
        for (FP& a : acc) a = 0.0f;
        adjoint_batches(aj, static_cast<std::uint32_t>(item), [&](FP const& qx, FP const& qy, FP const& qz, FP const& v) {
            FP const ux = qx - cx, uy = qy - cy, uz = qz - cz;
            FP const d2 = ux * ux + uy * uy + uz * uz;
            FP const inv_r = 1.0f / stdx::sqrt(d2);
            FP const towards = -inv_r;
            FP const x = ux * towards, y = uy * towards, z = uz * towards;
            FP const w2 = v * (inv_r * inv_r) * INV_FOUR_PI, w3 = w2 * inv_r, w4 = w3 * inv_r;
            FP const q3 = -3.0f * w3;
            FP const xx = x * x, yy = y * y, zz = z * z;
            acc[W::Z_X] += w2 * x, acc[W::Z_Y] += w2 * y, acc[W::Z_Z] += w2 * z;
            acc[W::TRACE] += w3;
            acc[W::Q_XX] += q3 * xx, acc[W::Q_YY] += q3 * yy, acc[W::Q_ZZ] += q3 * zz;
            acc[W::Q_XY] += q3 * (x * y), acc[W::Q_XZ] += q3 * (x * z), acc[W::Q_YZ] += q3 * (y * z);
            FP const wx = w4 * x, wy = w4 * y, wz = w4 * z;
            acc[W::C_XXX] += wx * xx, acc[W::C_XXY] += wy * xx, acc[W::C_XXZ] += wz * xx;
            acc[W::C_XYY] += wx * yy, acc[W::C_XYZ] += wx * (y * z), acc[W::C_XZZ] += wx * zz;
            acc[W::C_YYY] += wy * yy, acc[W::C_YYZ] += wz * yy, acc[W::C_YZZ] += wy * zz;
            acc[W::C_ZZZ] += wz * zz;
            acc[W::L_X] += wx, acc[W::L_Y] += wy, acc[W::L_Z] += wz;
        });
        for (unsigned t = 0; t < W::FAR_TERMS; ++t) aj.far_adjoint[item][t] += stdx::reduce(acc[t]);
    }
}

//! The exact terms of the groups of leaves [begin, end) at their queries: per point i,
//! sum v K(p_i - q), the smoothing band's and coincident lanes through the kernels' formula.
inline void adjoint_exact_leaves(AdjointJob const& aj, size_t begin, size_t end) {
    QueryJob<PointNormal> const& job = aj.walk;
    float const inv_eps = job.inverse_epsilon;
    float const core = DIPOLE_CORE * (inv_eps * inv_eps * inv_eps);
    for (size_t leaf = begin; leaf < end; ++leaf) {
        for (unsigned j = 0; j < GROUPS_PER_LEAF; ++j) {
            std::uint32_t const item = static_cast<std::uint32_t>(leaf * GROUPS_PER_LEAF + j);
            if (aj.starts[item] == aj.starts[item + 1]) continue;
            unsigned const first = item * GROUP_SIZE;
            unsigned const count = job.n_primitives - first < GROUP_SIZE ? job.n_primitives - first : GROUP_SIZE;
            PointNormal pts[GROUP_SIZE];
            for (unsigned i = 0; i < count; ++i) pts[i] = PointNormal::load(job.primitives, first + i, job.n_primitives);
            FP acc[GROUP_SIZE][3];
            for (auto& row : acc)
                for (FP& a : row) a = 0.0f;
            adjoint_batches(aj, item, [&](FP const& qx, FP const& qy, FP const& qz, FP const& v) {
                for (unsigned i = 0; i < count; ++i) {
                    PointNormal const& p = pts[i];
                    FP d[3] = {p.position.x - qx, p.position.y - qy, p.position.z - qz};
                    FP const r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
                    FP const r = stdx::sqrt(r2);
                    FP const xr = inv_eps * r;
                    FP k = 1.0f / (r2 * r);
                    auto const in_core = xr < SMOOTHING_BAND_START;
                    stdx::where(in_core, k) = core;
                    FP tn[3];
                    for (unsigned a = 0; a < 3; ++a) tn[a] = d[a] * (k * INV_FOUR_PI);
                    Lanes const scalar = lane_bits((xr < SMOOTHING_BAND_END && !in_core) || r2 < COINCIDENT_DISTANCE_SQUARED);
                    if (scalar != 0) {
                        alignas(64) float lx[PACKET], ly[PACKET], lz[PACKET], o[3][PACKET];
                        qx.copy_to(lx, stdx::element_aligned);
                        qy.copy_to(ly, stdx::element_aligned);
                        qz.copy_to(lz, stdx::element_aligned);
                        for (unsigned a = 0; a < 3; ++a) tn[a].copy_to(o[a], stdx::element_aligned);
                        for (Lanes b = scalar; b != 0; b &= b - 1) {
                            unsigned const l = static_cast<unsigned>(__builtin_ctz(b));
                            Vec3 const q{lx[l], ly[l], lz[l]};
                            Vec3 const t = dipole_kernel_vector(p.position - q, inv_eps);
                            o[0][l] = t.x, o[1][l] = t.y, o[2][l] = t.z;
                        }
                        for (unsigned a = 0; a < 3; ++a) tn[a] = load<FP>(o[a]);
                    }
                    for (unsigned a = 0; a < 3; ++a) acc[i][a] += v * tn[a];
                }
            });
            for (unsigned i = 0; i < count; ++i)
                for (unsigned c = 0; c < 3; ++c) aj.exact[3 * size_t{first + i} + c] += stdx::reduce(acc[i][c]);
        }
    }
}

}  // namespace
}  // namespace gyrant::cpu::GYRANT_SIMD_TARGET

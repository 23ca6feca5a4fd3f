// Part of one instruction set's copy of the vectorised loops (see vector.h): the hierarchical
// walk of a packet of queries, node visits summed as the kernels' walk sums them.
#pragma once

#include "cpu/simd/contributions.h"
#include "cpu/simd/far_field.h"
#include "cpu/simd/vector.h"

#include <experimental/simd>

#include <bitset>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace gyrant::cpu::GYRANT_SIMD_TARGET {
namespace {

//! Below this squared distance the weights 1 / R^k of an accepted expansion may overflow; such a
//! lane takes the kernels' evaluation, so that it is accepted exactly when the kernels accept it.
constexpr float FAR_MIN_DISTANCE_SQUARED = 0x1p-40f;

using Lanes = std::uint32_t;  // bit l: lane l of a packet
static_assert(PACKET < 32, "a packet's lanes fit in a word, with room for the shift that masks them");

inline FP::mask_type mask_of(Lanes lanes) {
    return FP::mask_type::__from_bitset(std::bitset<PACKET>(lanes));
}

//! The lanes of a mask as bits (lane l in bit l).
template <class M>
inline unsigned lane_bits(M const& m) {
    return static_cast<unsigned>(m.__to_bitset().to_ullong());
}

//! A packet's queries and sums.
struct Packet {
    FP qx, qy, qz;
    Vec3 q[PACKET];
};

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

//! u * u + c as one fused multiply-add, bit for bit (it decides acceptance, which must be the
//! kernels'). Without the instruction, in double: the square is exact and the sum rounded once,
//! so rounding that to float errs only where it lands exactly halfway between two floats, or
//! below the normal float range (where flushing decides); those lanes take the library's fma.
inline FP square_add(FP const& u, FP const& c) {
    if constexpr (FUSED) {
        return stdx::fma(u, u, c);
    } else {
        DP const wide = stdx::static_simd_cast<DP>(u);
        DP const s = wide * wide + stdx::static_simd_cast<DP>(c);
        using Bits = stdx::rebind_simd_t<std::int64_t, DP>;
        Bits const low = stdx::__proposed::simd_bit_cast<Bits>(s) & 0x1FFFFFFF;  // the 29 bits float drops
        Lanes const doubtful = lane_bits(low == 0x10000000) | lane_bits(s != 0.0 && stdx::abs(s) < 0x1p-120);
        FP r = stdx::static_simd_cast<FP>(s);
        if (doubtful != 0) {
            alignas(64) float out[PACKET], us[PACKET], cs[PACKET];
            r.copy_to(out, stdx::element_aligned);
            u.copy_to(us, stdx::element_aligned);
            c.copy_to(cs, stdx::element_aligned);
            for (Lanes todo = doubtful; todo != 0; todo &= todo - 1) {
                unsigned const l = static_cast<unsigned>(__builtin_ctz(todo));
                out[l] = std::fma(us[l], us[l], cs[l]);
            }
            r = load<FP>(out);
        }
        return r;
    }
}

//! The leaf slots of node n, each lane's in slot order: the expansions of the lanes that accepted
//! it (values), the exact sum elsewhere, as the kernels' walk adds them.
template <class T>
inline void exact_leaf_slots(QueryJob<T> const& job, Packet const& p, FP& accumulator, WideNode const& n,
                             Lanes visit_lanes, Lanes const (&accepted)[8], float const (&values)[8][PACKET]) {
    // The exact sums of all leaf slots at once (more independent work in flight), added below
    // in slot order.
    unsigned leaf_of[8 * PACKET], count = 0;
    Vec3 at[8 * PACKET];
    for (unsigned leaves = n.leaf_mask; leaves != 0; leaves &= leaves - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(leaves));
        for (Lanes e = visit_lanes & ~accepted[k]; e != 0; e &= e - 1) {
            leaf_of[count] = n.child[k];
            at[count++] = p.q[__builtin_ctz(e)];
        }
    }
    float found[8 * PACKET];
    if (count != 0) exact_leaves(job, count, leaf_of, at, found);
    count = 0;
    for (unsigned leaves = n.leaf_mask; leaves != 0; leaves &= leaves - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(leaves));
        Lanes const exact = visit_lanes & ~accepted[k];
        FP term(0.0f);
        if (accepted[k] != 0) stdx::where(mask_of(accepted[k]), term) = load<FP>(values[k]);
        if (exact != 0) {
            alignas(64) float sums[PACKET];
            for (Lanes e = exact; e != 0; e &= e - 1) sums[__builtin_ctz(e)] = found[count++];
            stdx::where(mask_of(exact), term) = load<FP>(sums);
        }
        // Lanes that take no part add +0, which leaves a sum unchanged (a sum of floats that
        // starts at +0 is never -0).
        accumulator += term;
    }
}

//! The leaf slots of node n with their groups: where a lane rejects a leaf, each of its groups is
//! tested as nodes are (the same rule and beta; point groups also outside the smoothing band),
//! its expansion taken where accepted and its primitives summed exactly elsewhere. A lane's leaf
//! adds its groups' values in group order, and the leaves go to the sum in slot order.
template <class T>
inline void grouped_leaves(QueryJob<T> const& job, Packet const& p, FP& accumulator, WideNode const& n,
                           Lanes visit_lanes, Lanes const (&accepted)[8], float const (&values)[8][PACKET]) {
    constexpr unsigned GROUPS = GROUPS_PER_LEAF;
    alignas(64) float group_values[8][GROUPS][PACKET];
    Lanes group_accepted[8][GROUPS];
    unsigned present[8];
    unsigned group_of[8 * GROUPS * PACKET], count = 0;
    Vec3 at[8 * GROUPS * PACKET];
    for (unsigned leaves = n.leaf_mask; leaves != 0; leaves &= leaves - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(leaves));
        Lanes const rejected = visit_lanes & ~accepted[k];
        if (rejected == 0) continue;
        unsigned const leaf = n.child[k];
        unsigned const left = job.n_primitives - leaf * LEAF;  // at least 1
        present[k] = left >= LEAF ? GROUPS : (left + GROUP_SIZE - 1) / GROUP_SIZE;
        LeafGroups const& g = job.groups[leaf];
        for (unsigned j = 0; j < present[k]; ++j) {
            FP const ux = p.qx - g.cx[j], uy = p.qy - g.cy[j], uz = p.qz - g.cz[j];
            // Fused as in the nodes' test, so that every target accepts the same groups.
            FP const d2 = square_add(uz, square_add(ux, uy * uy));
            auto pass = d2 > job.beta_squared * g.r2[j];
            if constexpr (std::is_same_v<T, PointNormal>) {
                float const reach = g.r[j] + job.group_band;
                pass = pass && d2 > reach * reach;
            }
            Lanes a = lane_bits(pass) & rejected;
            if (a != 0) {
                FP const v = far_field(ux, uy, uz, d2, g.far[j]);
                v.copy_to(group_values[k][j], stdx::element_aligned);
                a &= lane_bits(stdx::abs(v) <= FLT_MAX) & ~lane_bits(d2 < FAR_MIN_DISTANCE_SQUARED);
            }
            group_accepted[k][j] = a;
            for (Lanes e = rejected & ~a; e != 0; e &= e - 1) {
                group_of[count] = leaf * GROUPS + j;
                at[count++] = p.q[__builtin_ctz(e)];
            }
        }
    }
    float found[8 * GROUPS * PACKET];
    if (count != 0) exact_groups(job, count, group_of, at, found);
    count = 0;
    for (unsigned leaves = n.leaf_mask; leaves != 0; leaves &= leaves - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(leaves));
        Lanes const rejected = visit_lanes & ~accepted[k];
        FP term(0.0f);
        if (accepted[k] != 0) stdx::where(mask_of(accepted[k]), term) = load<FP>(values[k]);
        if (rejected != 0) {
            FP leaf(0.0f);
            for (unsigned j = 0; j < present[k]; ++j) {
                FP v(0.0f);
                if (group_accepted[k][j] != 0) stdx::where(mask_of(group_accepted[k][j]), v) = load<FP>(group_values[k][j]);
                Lanes const exact = rejected & ~group_accepted[k][j];
                if (exact != 0) {
                    alignas(64) float sums[PACKET];
                    for (Lanes e = exact; e != 0; e &= e - 1) sums[__builtin_ctz(e)] = found[count++];
                    stdx::where(mask_of(exact), v) = load<FP>(sums);
                }
                leaf += v;
            }
            stdx::where(mask_of(rejected), term) = leaf;
        }
        // Lanes that take no part add +0, which leaves a sum unchanged.
        accumulator += term;
    }
}

//! Visits node n for the lanes `visit`: each child is tested for every lane; the leaves (their
//! expansions where accepted, their groups' or exact sums elsewhere) are added in slot order, and
//! the internal children are pushed so that the highest slot comes off the stack first.
template <class T>
inline void visit(QueryJob<T> const& job, Packet const& p, FP& accumulator, WideNode const& n, Lanes visit_lanes,
                  WalkEntry* stack, unsigned& top) {
    alignas(64) float values[8][PACKET];
    Lanes accepted[8] = {};
    for (unsigned present = n.leaf_mask | n.internal_mask; present != 0; present &= present - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(present));
        // The acceptance test of the kernels: |q - c|^2 > beta^2 r^2.
        FP const ux = p.qx - n.cx[k], uy = p.qy - n.cy[k], uz = p.qz - n.cz[k];
        FP const d2 = square_add(uz, square_add(ux, uy * uy));
        Lanes const a = lane_bits(d2 > job.beta_squared * n.r2[k]) & visit_lanes;
        if (a != 0) accepted[k] = approximate(job, p, n, k, ux, uy, uz, d2, a, values[k]);
    }
    if (job.groups != nullptr) grouped_leaves(job, p, accumulator, n, visit_lanes, accepted, values);
    else exact_leaf_slots(job, p, accumulator, n, visit_lanes, accepted, values);
    for (unsigned inner = n.internal_mask; inner != 0; inner &= inner - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(inner));
        WalkEntry& e = stack[top++];
        e.node = n.child[k];
        e.visit = visit_lanes & ~accepted[k];
        e.accepted = accepted[k];
        if (accepted[k] != 0) std::memcpy(e.values, values[k], sizeof values[k]);
    }
}

//! The winding numbers of the sorted queries [first, first + count), count <= PACKET, each summed
//! as the kernels' walk sums it: the same accepted nodes and leaves, the same exact leaves, added
//! in the same order. Lanes past `count` repeat the last query and take part in nothing.
template <class T>
inline void walk_packet(QueryJob<T> const& job, size_t first, unsigned count, WalkEntry* stack) {
    Packet p;
    alignas(64) float x[PACKET], y[PACKET], z[PACKET];
    for (unsigned l = 0; l < PACKET; ++l) {
        size_t const s = first + (l < count ? l : count - 1);
        p.q[l] = in_engine_frame(job.queries[job.order != nullptr ? job.order[s] : s], job.query_scale);
        x[l] = p.q[l].x;
        y[l] = p.q[l].y;
        z[l] = p.q[l].z;
    }
    p.qx = load<FP>(x);
    p.qy = load<FP>(y);
    p.qz = load<FP>(z);
    // A local of its own, so that it stays in a register across the walk.
    FP accumulator(0.0f);
    Lanes const all = (Lanes{1} << count) - 1;
    unsigned top = 0;
    stack[top].node = 0;
    stack[top].visit = all;
    stack[top++].accepted = 0;
    while (top > 0) {
        WalkEntry const& e = stack[--top];
        if (e.accepted != 0) {
            FP term(0.0f);
            stdx::where(mask_of(e.accepted), term) = load<FP>(e.values);
            accumulator += term;
        }
        // The entry's slot is reused by the visit's pushes.
        Lanes const lanes = e.visit;
        if (lanes != 0) visit(job, p, accumulator, job.nodes[e.node], lanes, stack, top);
    }
    alignas(64) float out[PACKET];
    accumulator.copy_to(out, stdx::element_aligned);
    for (unsigned l = 0; l < count; ++l) {
        size_t const s = first + l;
        job.output[job.order != nullptr ? job.order[s] : s] = out[l];
    }
}

}  // namespace
}  // namespace gyrant::cpu::GYRANT_SIMD_TARGET

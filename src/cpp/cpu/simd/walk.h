// Part of one instruction set's copy of the vectorised loops (see vector.h): the hierarchical
// walk of a packet of queries, node visits summed as the kernels' walk sums them, once for every
// interaction (interactions.h).
#pragma once

#include "cpu/simd/interactions.h"
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

//! The lanes of a packet as a mask.
inline FP::mask_type mask_of(Lanes lanes) {
    return FP::mask_type::__from_bitset(std::bitset<PACKET>(lanes));
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


//! Channel c of every lane: `values` where `accepted`, `sums` (one row per lane of `exact`, in
//! lane order, read from `row` on) where `exact`, +0 elsewhere (which leaves a sum unchanged: a
//! sum of floats that starts at +0 is never -0).
template <unsigned C>
inline FP merge(Lanes accepted, float const* values, Lanes exact, float const (*sums)[C], unsigned row, unsigned c) {
    FP term(0.0f);
    if (accepted != 0) stdx::where(mask_of(accepted), term) = load<FP>(values);
    if (exact != 0) {
        alignas(64) float lanes[PACKET];
        for (Lanes e = exact; e != 0; e &= e - 1) lanes[__builtin_ctz(e)] = sums[row++][c];
        stdx::where(mask_of(exact), term) = load<FP>(lanes);
    }
    return term;
}

//! The leaf slots of node n, each lane's in slot order: the expansions of the lanes that accepted
//! it (values), the exact sum elsewhere, as the kernels' walk adds them.
template <class I>
inline void exact_leaf_slots(QueryJob<typename I::Primitive> const& job, Packet const& p, FP (&sum)[I::CHANNELS],
                             WideNode const& n, Lanes visit_lanes, Lanes const (&accepted)[8],
                             float const (&values)[8][I::CHANNELS][PACKET]) {
    constexpr unsigned C = I::CHANNELS;
    // The exact sums of all leaf slots at once (more independent work in flight), added below
    // in slot order.
    unsigned leaf_of[8 * PACKET], lane_of[8 * PACKET], count = 0;
    Vec3 at[8 * PACKET];
    for (unsigned leaves = n.leaf_mask; leaves != 0; leaves &= leaves - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(leaves));
        for (Lanes e = visit_lanes & ~accepted[k]; e != 0; e &= e - 1) {
            leaf_of[count] = n.child[k];
            lane_of[count] = static_cast<unsigned>(__builtin_ctz(e));
            at[count++] = p.q[__builtin_ctz(e)];
        }
    }
    float found[8 * PACKET][C];
    if (count != 0) I::exact_leaves(job, p, count, leaf_of, at, lane_of, found);
    count = 0;
    for (unsigned leaves = n.leaf_mask; leaves != 0; leaves &= leaves - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(leaves));
        Lanes const exact = visit_lanes & ~accepted[k];
        for (unsigned c = 0; c < C; ++c) sum[c] += merge<C>(accepted[k], values[k][c], exact, found, count, c);
        count += static_cast<unsigned>(__builtin_popcount(exact));
    }
}

//! Whether the lanes at squared distance d2 from a centre accept a node, leaf or group of bound r
//! (r2 = r * r as stored): outside beta times the bound, and for smoothed points also outside the
//! smoothing band (the expansions are those of the plain dipole). The kernels' rule, bit for bit.
template <class T>
inline Lanes accepts(QueryJob<T> const& job, FP const& d2, float r2, float r) {
    auto pass = d2 > job.beta_squared * r2;
    if constexpr (std::is_same_v<T, PointNormal>) {
        if (job.band > 0.0f) {
            float const reach = r + job.band;
            pass = pass && d2 > reach * reach;
        }
    }
    return lane_bits(pass);
}

//! The leaf slots of node n with their groups: where a lane rejects a leaf, each of its groups is
//! tested as nodes are, its expansion taken where accepted and its primitives summed exactly
//! elsewhere. A lane's leaf adds its groups' values in group order, and the leaves go to the sum
//! in slot order.
template <class I>
inline void grouped_leaves(QueryJob<typename I::Primitive> const& job, Packet const& p, FP (&sum)[I::CHANNELS],
                           WideNode const& n, Lanes visit_lanes, Lanes const (&accepted)[8],
                           float const (&values)[8][I::CHANNELS][PACKET]) {
    constexpr unsigned GROUPS = GROUPS_PER_LEAF, C = I::CHANNELS;
    alignas(64) float group_values[8][GROUPS][C][PACKET];
    Lanes group_accepted[8][GROUPS];
    unsigned present[8];
    unsigned group_of[8 * GROUPS * PACKET], lane_of[8 * GROUPS * PACKET], count = 0;
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
            Lanes a = accepts(job, d2, g.r2[j] * I::GROUP_R2_SCALE, g.r[j]) & rejected;
            if (a != 0) a = I::group(job, p, ux, uy, uz, d2, g.far[j], a, group_values[k][j]);
            group_accepted[k][j] = a;
            for (Lanes e = rejected & ~a; e != 0; e &= e - 1) {
                group_of[count] = leaf * GROUPS + j;
                lane_of[count] = static_cast<unsigned>(__builtin_ctz(e));
                at[count++] = p.q[__builtin_ctz(e)];
            }
        }
    }
    float found[8 * GROUPS * PACKET][C];
    if (count != 0) I::exact_groups(job, p, count, group_of, at, lane_of, found);
    count = 0;
    for (unsigned leaves = n.leaf_mask; leaves != 0; leaves &= leaves - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(leaves));
        Lanes const rejected = visit_lanes & ~accepted[k];
        FP leaf[C];
        for (unsigned c = 0; c < C; ++c) leaf[c] = 0.0f;
        for (unsigned j = 0; rejected != 0 && j < present[k]; ++j) {
            Lanes const exact = rejected & ~group_accepted[k][j];
            for (unsigned c = 0; c < C; ++c)
                leaf[c] += merge<C>(group_accepted[k][j], group_values[k][j][c], exact, found, count, c);
            count += static_cast<unsigned>(__builtin_popcount(exact));
        }
        for (unsigned c = 0; c < C; ++c) {
            FP term(0.0f);
            if (accepted[k] != 0) stdx::where(mask_of(accepted[k]), term) = load<FP>(values[k][c]);
            if (rejected != 0) stdx::where(mask_of(rejected), term) = leaf[c];
            sum[c] += term;
        }
    }
}

//! Visits node n for the lanes `visit`: each child is tested for every lane; the leaves (their
//! expansions where accepted, their groups' or exact sums elsewhere) are added in slot order, and
//! the internal children are pushed so that the highest slot comes off the stack first.
template <class I>
inline void visit(QueryJob<typename I::Primitive> const& job, Packet const& p, FP (&sum)[I::CHANNELS],
                  WideNode const& n, Lanes visit_lanes, WalkEntry<I::CHANNELS>* stack, unsigned& top) {
    alignas(64) float values[8][I::CHANNELS][PACKET];
    Lanes accepted[8] = {};
    for (unsigned present = n.leaf_mask | n.internal_mask; present != 0; present &= present - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(present));
        FP const ux = p.qx - n.cx[k], uy = p.qy - n.cy[k], uz = p.qz - n.cz[k];
        FP const d2 = square_add(uz, square_add(ux, uy * uy));
        Lanes const a = accepts(job, d2, n.r2[k], n.r[k]) & visit_lanes;
        if (a != 0) accepted[k] = I::node(job, p, n, k, ux, uy, uz, d2, a, values[k]);
    }
    if (job.groups != nullptr) grouped_leaves<I>(job, p, sum, n, visit_lanes, accepted, values);
    else exact_leaf_slots<I>(job, p, sum, n, visit_lanes, accepted, values);
    for (unsigned inner = n.internal_mask; inner != 0; inner &= inner - 1) {
        unsigned const k = static_cast<unsigned>(__builtin_ctz(inner));
        WalkEntry<I::CHANNELS>& e = stack[top++];
        e.node = n.child[k];
        e.visit = visit_lanes & ~accepted[k];
        e.accepted = accepted[k];
        if (accepted[k] != 0)
            for (unsigned c = 0; c < I::CHANNELS; ++c) std::memcpy(e.values[c], values[k][c], sizeof values[k][c]);
    }
}

//! The sums of interaction I at the sorted queries [first, first + count), count <= PACKET, each
//! summed as the kernels' walk sums it: the same accepted nodes and leaves, the same exact
//! leaves, added in the same order. Lanes past `count` repeat the last query and take part in
//! nothing.
template <class I>
inline void walk_packet(QueryJob<typename I::Primitive> const& job, size_t first, unsigned count,
                        WalkEntry<I::CHANNELS>* stack) {
    constexpr unsigned C = I::CHANNELS;
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
    if (job.target_normals != nullptr) {
        for (unsigned l = 0; l < PACKET; ++l) {
            size_t const s = first + (l < count ? l : count - 1);
            float const* n = job.target_normals + 3 * size_t{job.order != nullptr ? job.order[s] : s};
            p.n[l] = Vec3{n[0], n[1], n[2]};
            x[l] = n[0], y[l] = n[1], z[l] = n[2];
        }
        p.nx = load<FP>(x);
        p.ny = load<FP>(y);
        p.nz = load<FP>(z);
    }
    // Locals of their own, so that they stay in registers across the walk.
    FP sum[C];
    for (unsigned c = 0; c < C; ++c) sum[c] = 0.0f;
    Lanes const all = (Lanes{1} << count) - 1;
    unsigned top = 0;
    stack[top].node = 0;
    stack[top].visit = all;
    stack[top++].accepted = 0;
    while (top > 0) {
        WalkEntry<C> const& e = stack[--top];
        if (e.accepted != 0) {
            for (unsigned c = 0; c < C; ++c) {
                FP term(0.0f);
                stdx::where(mask_of(e.accepted), term) = load<FP>(e.values[c]);
                sum[c] += term;
            }
        }
        // The entry's slot is reused by the visit's pushes.
        Lanes const lanes = e.visit;
        if (lanes != 0) visit<I>(job, p, sum, job.nodes[e.node], lanes, stack, top);
    }
    alignas(64) float out[C][PACKET];
    for (unsigned c = 0; c < C; ++c) sum[c].copy_to(out[c], stdx::element_aligned);
    for (unsigned l = 0; l < count; ++l) {
        size_t const s = first + l;
        float v[C];
        for (unsigned c = 0; c < C; ++c) v[c] = out[c][l];
        I::store(job, job.order != nullptr ? job.order[s] : s, v);
    }
}

}  // namespace
}  // namespace gyrant::cpu::GYRANT_SIMD_TARGET

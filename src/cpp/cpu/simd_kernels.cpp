// The vectorised inner loops of the native CPU code, compiled once per instruction set into the
// namespace GYRANT_SIMD_TARGET (see simd_kernels.h). Vectors come from std::experimental::simd.
//
// Every formula follows the kernel it stands for operation by operation: the same products,
// sums and fused multiply-adds in the same order (every copy is compiled with -ffp-contract=off,
// so no other fusing happens), the same half/bfloat16 roundings, and subnormals flushed as the
// caller sets up. Triangle contributions use a vectorised atan2 (the kernels use the C
// library's); everything else gives the kernels' values bit for bit.
//
// The parts live in private headers under simd/, each inside this copy's namespaces: vector.h
// (types and helpers), rounding.h (half and bfloat16), far_field.h, contributions.h,
// interactions.h (what a walk sums) and walk.h (the walk).
// This file holds the entry points and the all-pairs sums.
#include "cpu/simd_kernels.h"

// In the order the parts depend on each other. Keep it: gcc's code for the AVX-512 copy changes
// with the order it meets the definitions in.
#include "cpu/simd/vector.h"
#include "cpu/simd/rounding.h"
#include "cpu/simd/far_field.h"
#include "cpu/simd/contributions.h"
#include "cpu/simd/interactions.h"
#include "cpu/simd/walk.h"
#include "cpu/simd/adjoint.h"

#include <experimental/simd>

#include <cstddef>
#include <type_traits>
#include <utility>

// Everything reachable from an entry point is inlined into it, so this copy emits no function
// that another translation unit could share.
#define GYRANT_SIMD_ENTRY __attribute__((flatten))

namespace gyrant::cpu::GYRANT_SIMD_TARGET {
namespace {

//! The walk of interaction I over the sorted queries [begin, end), a packet at a time. The stack's
//! bytes come from operator new, where its entries begin their lifetime implicitly.
template <class I>
GYRANT_SIMD_ENTRY void walk(QueryJob<typename I::Primitive> const& job, size_t begin, size_t end, void* stack) {
    auto* const entries = static_cast<WalkEntry<I::CHANNELS>*>(stack);
    for (size_t first = begin; first < end; first += PACKET)
        walk_packet<I>(job, first, static_cast<unsigned>(end - first < PACKET ? end - first : PACKET), entries);
}

//! The products' scatter walk of one packet, and its items (simd/adjoint.h).
GYRANT_SIMD_ENTRY void adjoint_walk_entry(AdjointJob const& aj, size_t begin, size_t end, void* stack,
                                          AdjointSink const& sink) {
    adjoint_walk(aj, begin, end, static_cast<AdjointEntry*>(stack), sink);
}
GYRANT_SIMD_ENTRY void adjoint_far_entry(AdjointJob const& aj, size_t begin, size_t end) {
    adjoint_far_items(aj, begin, end);
}
GYRANT_SIMD_ENTRY void adjoint_exact_entry(AdjointJob const& aj, size_t begin, size_t end) {
    adjoint_exact_leaves(aj, begin, end);
}

// ---- all pairs -------------------------------------------------------------------------------

//! Query vectors that share each primitive load.
constexpr unsigned SUM_VECTORS = 4;

//! Every primitive, in primitive order, added to each query's sum, plain or compensated
//! (Kahan, in the brute-force kernel's form); the queries sit in the lanes.
template <bool Kernel, class T>
inline void sum_all(QueryJob<T> const& job, size_t begin, size_t end, bool compensated) {
    constexpr unsigned P = PLANES<T>;
    // The fixed-size type compiles to clean vector code on AVX2 and AVX-512, where the native
    // one's atan2 came out lane by lane (five times slower on AVX-512); on SSE the native one is
    // a little faster.
    using SV = std::conditional_t<(F::size() >= 8), stdx::fixed_size_simd<float, F::size()>, F>;
    constexpr size_t W = SV::size();
    size_t const stride = job.primitives.stride;
    for (size_t base = begin; base < end; base += SUM_VECTORS * W) {
        alignas(64) float qx[SUM_VECTORS * W], qy[SUM_VECTORS * W], qz[SUM_VECTORS * W];
        size_t const count = end - base < SUM_VECTORS * W ? end - base : SUM_VECTORS * W;
        for (size_t l = 0; l < SUM_VECTORS * W; ++l) {
            Vec3 const q = in_engine_frame(job.queries[base + (l < count ? l : 0)], job.query_scale);
            qx[l] = q.x;
            qy[l] = q.y;
            qz[l] = q.z;
        }
        SV sum[SUM_VECTORS], comp[SUM_VECTORS];
        for (unsigned v = 0; v < SUM_VECTORS; ++v) sum[v] = comp[v] = 0.0f;
        for (unsigned j = 0; j < job.n_primitives; ++j) {
            float planes_scalar[P];
            for (unsigned c = 0; c < P; ++c) planes_scalar[c] = job.primitives.data[c * stride + j];
            for (unsigned v = 0; v < SUM_VECTORS; ++v) {
                if (v * W >= count) break;
                SV const x = load<SV>(qx + v * W), y = load<SV>(qy + v * W), z = load<SV>(qz + v * W);
                // The primitive is the same in every lane, the queries differ.
                auto const planes = [&](unsigned c) { return SV(planes_scalar[c]); };
                auto const lane = [&](unsigned i) {
                    unsigned const l = v * W + i;
                    return std::pair{T::load(job.primitives, j, job.n_primitives), Vec3{qx[l], qy[l], qz[l]}};
                };
                SV const value = contribution<Kernel, SV>(planes, Points<SV>{x, y, z}, job, lane);
                if (compensated) {
                    SV const y_ = value - comp[v];
                    SV const t = sum[v] + y_;
                    comp[v] = (t - sum[v]) - y_;
                    sum[v] = t;
                } else {
                    sum[v] = sum[v] + value;
                }
            }
        }
        alignas(64) float out[SUM_VECTORS * W];
        for (unsigned v = 0; v < SUM_VECTORS; ++v) sum[v].copy_to(out + v * W, stdx::element_aligned);
        for (size_t l = 0; l < count; ++l) {
            size_t const s = base + l;
            job.output[job.order != nullptr ? job.order[s] : s] = out[l];
        }
    }
}

//! The arithmetic is chosen once per call: with both kinds of contribution in one loop the
//! compiler takes the vectors apart.
template <class T>
GYRANT_SIMD_ENTRY void sum_all(QueryJob<T> const& job, size_t begin, size_t end, bool compensated) {
    if (job.kernel_arithmetic) sum_all<true>(job, begin, end, compensated);
    else sum_all<false>(job, begin, end, compensated);
}

}  // namespace

SimdKernels const& kernels() {
    static SimdKernels const table{
#define GYRANT_STRINGIFY_(x) #x
#define GYRANT_STRINGIFY(x) GYRANT_STRINGIFY_(x)
        GYRANT_STRINGIFY(GYRANT_SIMD_TARGET), FUSED,
#undef GYRANT_STRINGIFY
#undef GYRANT_STRINGIFY_
        &walk<WindingNumber<Triangle>>, &walk<WindingNumber<PointNormal>>, &walk<QueryGradient>,
        &walk<QueryProduct<false>>, &walk<QueryProduct<true>>,
        &adjoint_walk_entry, &adjoint_far_entry, &adjoint_exact_entry,
        &sum_all<Triangle>, &sum_all<PointNormal>};
    return table;
}

}  // namespace gyrant::cpu::GYRANT_SIMD_TARGET

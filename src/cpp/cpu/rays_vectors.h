// The boundary sum of kernels/rays.h in vectors of GYRANT_RAYS_WIDTH lanes, defined as
// GYRANT_RAYS_NAME (its helpers in namespace GYRANT_RAYS_NAMESPACE); included by cpu/rays.cpp once per instruction set, inside its target pragma.
// Lane by lane the kernels' float operations (no contraction, correctly rounded square roots and
// divisions) into the same partial sums: the same bits.


namespace {
namespace GYRANT_RAYS_NAMESPACE {

constexpr int W = GYRANT_RAYS_WIDTH;
using vf = float __attribute__((vector_size(4 * W)));
using vi = int __attribute__((vector_size(4 * W)));

inline vf splat(float x) {
    vf v;
    for (int k = 0; k < W; ++k) v[k] = x;
    return v;
}
inline vf load(float const* p) {
    vf v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
inline vf absolute(vf x) { return reinterpret_cast<vf>(reinterpret_cast<vi>(x) & 0x7fffffff); }
inline vf pick(vi mask, vf yes, vf no) { return mask ? yes : no; }
inline vf root(vf x) {
#if GYRANT_RAYS_WIDTH == 16
    return reinterpret_cast<vf>(_mm512_sqrt_ps(reinterpret_cast<__m512>(x)));
#else
    return reinterpret_cast<vf>(_mm256_sqrt_ps(reinterpret_cast<__m256>(x)));
#endif
}
//! Bit k: lane k of the mask is set.
inline uint32_t bits(vi mask) {
#if GYRANT_RAYS_WIDTH == 16
    return _mm512_cmplt_epi32_mask(reinterpret_cast<__m512i>(mask), _mm512_setzero_si512());
#else
    return static_cast<uint32_t>(_mm256_movemask_ps(reinterpret_cast<__m256>(mask)));
#endif
}

//! Edges first .. first + W - 1 (of n) into acc.
inline void add_edges(float const* const (&plane)[6], uint32_t first, uint32_t n, vf qx, vf qy, vf qz, float up,
                      vf& acc) {
    vf const ax = load(plane[0] + first) - qx, ay = load(plane[1] + first) - qy, az = load(plane[2] + first) - qz;
    vf const bx = load(plane[3] + first) - qx, by = load(plane[4] + first) - qy, bz = load(plane[5] + first) - qz;
    vf const vup = splat(up);
    vf const la = root((ax * ax + ay * ay) + az * az);
    vf const lb = root((bx * bx + by * by) + bz * bz);
    vf const p = ax * by, m = ay * bx;
    vf const cross = p - m;
    vf const magnitude = absolute(p) + absolute(m);
    vf const lalb = la * lb;
    vf const D = (lalb + ((ax * bx + ay * by) + az * bz)) - vup * (az * lb + bz * la);
    vf const guard0 = splat(BOUNDARY_SIGN_GUARD) * magnitude;
    vf const guard = pick(guard0 > splat(BOUNDARY_TINY_AREA), guard0, splat(BOUNDARY_TINY_AREA));
    vi const exact = ~(absolute(cross) > guard) | ~(absolute(D) >= splat(BOUNDARY_CANCELLATION) * lalb) |
                     ~(lalb <= splat(3.40282347e38f)) | ~(pick(la < lb, la, lb) >= splat(BOUNDARY_TINY_LENGTH));
    // gyrant_rays::atan2_poly(y, D)
    vf const y = -cross * vup;
    vf const ux = absolute(D), uy = absolute(y);
    vi const steep = uy > ux;
    vf const t = pick(steep, ux, uy) / pick(steep, uy, ux);
    vf const s = t * t;
    vf const poly = ((((((splat(ATAN_C7) * s + splat(ATAN_C6)) * s + splat(ATAN_C5)) * s + splat(ATAN_C4)) * s +
                       splat(ATAN_C3)) * s + splat(ATAN_C2)) * s + splat(ATAN_C1)) * s + splat(ATAN_C0);
    vf r = t * poly;
    r = pick(steep, splat(RAY_HALF_PI) - r, r);
    r = pick(D < splat(0.0f), splat(RAY_PI) - r, r);
    r = pick(y < splat(0.0f), -r, r);
    vf term = r * splat(RAY_INV_TWO_PI);
    uint32_t const all = W == 32 ? 0xffffffffu : (1u << W) - 1u;
    uint32_t const valid = n - first >= static_cast<uint32_t>(W) ? all : (1u << (n - first)) - 1u;
    if (valid != all) {
        vi keep;
        for (int k = 0; k < W; ++k) keep[k] = (valid >> k) & 1u ? -1 : 0;
        term = pick(keep, term, splat(0.0f));
    }
    uint32_t redo = bits(exact) & valid;
    while (redo != 0) {
        int const k = __builtin_ctz(redo);
        redo &= redo - 1;
        term[k] = gyrant_rays::boundary_term_exact(ax[k], ay[k], az[k], bx[k], by[k], bz[k], up);
    }
    acc += term;
}

}  // namespace GYRANT_RAYS_NAMESPACE
}  // namespace

//! gyrant_rays::boundary_sum, BOUNDARY_LANES / W vectors of partial sums.
static float GYRANT_RAYS_NAME(RayScene const& scene, Vec3 const& rq, RayAxes const& axes, float up) {
    using namespace GYRANT_RAYS_NAMESPACE;
    constexpr int V = BOUNDARY_LANES / W;
    static_assert(V * W == BOUNDARY_LANES, "whole vectors of partial sums");
    uint32_t const n = scene.n_boundary, stride = scene.boundary_stride;
    float const* const plane[6] = {scene.boundary + axes.u * stride,       scene.boundary + axes.v * stride,
                                   scene.boundary + axes.w * stride,       scene.boundary + (3 + axes.u) * stride,
                                   scene.boundary + (3 + axes.v) * stride, scene.boundary + (3 + axes.w) * stride};
    vf const qx = splat(rq.x), qy = splat(rq.y), qz = splat(rq.z);
    vf acc[V];
    for (int v = 0; v < V; ++v) acc[v] = splat(0.0f);
    for (uint32_t first = 0; first < n; first += BOUNDARY_LANES)
        for (int v = 0; v < V; ++v)
            if (first + v * W < n) add_edges(plane, first + v * W, n, qx, qy, qz, up, acc[v]);
    float partial[BOUNDARY_LANES];
    for (int v = 0; v < V; ++v)
        for (int k = 0; k < W; ++k) partial[v * W + k] = acc[v][k];
    return gyrant_rays::add_lanes(partial);
}

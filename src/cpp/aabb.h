// Bounding record of a primitive, a tree node or the scene.
#pragma once

#include "vec3.h"

//! Corners rounded to nearest half (not outward: a corner may sit half a step inside the
//! geometry; nobody relies on strict containment). `center` is the weighted centre of the
//! contents and, for tree nodes, the expansion centre.
struct AABB {
    Vec3_f16 min;
    Vec3_f16 max;
    Vec3 center;
    __half radius;

    //! Union box; centre weighted by the primitive counts na and nb.
    GYRANT_HOST_DEVICE static AABB merge(AABB const& a, AABB const& b, unsigned na, unsigned nb) {
        AABB r = corners_of(a, b);
        r.center = (a.center * static_cast<float>(na) + b.center * static_cast<float>(nb)) /
                   static_cast<float>(na + nb);
        r.radius = __float2half_rn(0.0f);
        return r;
    }
    //! Union box; centre weighted by wa and wb, plain average when both weights are zero.
    GYRANT_HOST_DEVICE static AABB merge_weighted(AABB const& a, AABB const& b, float wa, float wb) {
        AABB r = corners_of(a, b);
        float const t = wa + wb;
        float fa = 0.5f, fb = 0.5f;
        if (t > 0.0f) {
            fa = wa / t;
            fb = wb / t;
        }
        r.center = a.center * fa + b.center * fb;
        r.radius = __float2half_rn(0.0f);
        return r;
    }
    GYRANT_HOST_DEVICE Vec3_f16 diagonal() const { return max - min; }
    //! A quarter of the squared diagonal, formed in half precision: infinite once the squared
    //! diagonal passes 65504.
    GYRANT_HOST_DEVICE float radius_sq() const {
        return __half2float(__hmul_rn(diagonal().length2(), __float2half_rn(0.25f)));
    }

   private:
    GYRANT_HOST_DEVICE static AABB corners_of(AABB const& a, AABB const& b) {
        AABB r;
        r.min = Vec3_f16{__hmin(a.min.x, b.min.x), __hmin(a.min.y, b.min.y), __hmin(a.min.z, b.min.z)};
        r.max = Vec3_f16{__hmax(a.max.x, b.max.x), __hmax(a.max.y, b.max.y), __hmax(a.max.z, b.max.z)};
        return r;
    }
};
static_assert(sizeof(AABB) == 28, "AABB: two half corners, a float centre, a half radius");

GYRANT_HOST_DEVICE inline AABB Vec3::get_aabb() const {
    AABB r;
    r.min = Vec3_f16::from_float(*this);
    r.max = r.min;
    r.center = *this;
    r.radius = __float2half_rn(0.0f);
    return r;
}

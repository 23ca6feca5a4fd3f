// Constants of the contribution and expansion formulas, shared by the kernels, the native CPU
// code and its vectorised copies, so that every one rounds the same single-precision values.
#pragma once

//! 1 / (4 pi) and 1 / (2 pi), rounded to single precision.
inline constexpr float INV_FOUR_PI = 0.07957747f;
inline constexpr float INV_TWO_PI = 0.15915494f;
//! The regularised dipole's kernel at the centre, over epsilon^3: 4 / (3 sqrt(pi)).
inline constexpr float DIPOLE_CORE = 0.75225276f;
//! A point closer to the query than this squared distance contributes nothing.
inline constexpr float COINCIDENT_DISTANCE_SQUARED = 1e-18f;
//! The smoothing band in units of epsilon: the core value below its start, the plain dipole
//! from its end on, the damped one in between.
inline constexpr float SMOOTHING_BAND_START = 0.1f;
inline constexpr float SMOOTHING_BAND_END = 2.0f;

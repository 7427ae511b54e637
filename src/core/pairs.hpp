// Two motions (or forces) carried side by side for the inner loop of inverse
// dynamics (internal). Lane 0 holds one value and lane 1 the other, component
// by component, so one SSE2 instruction works on both. Every operation applies
// the same scalar operations, in the same order, to each lane as the scalar
// helpers of motion.hpp do, so each lane's result is exactly the scalar result.
#pragma once

#include "kernel.hpp"
#include "motion.hpp"

namespace trelvar::detail {

// The 3-vector forms stay visible next to the pair overloads below.
using trelvar::cross;
using trelvar::mul;
using trelvar::mul_transpose;

struct Vec3Pair {
  Lanes c[3];
  Lanes& operator[](int k) { return c[k]; }
  const Lanes& operator[](int k) const { return c[k]; }
};

struct MotionPair {
  Vec3Pair w;
  Vec3Pair v;
};

inline Lanes lanes(double a, double b) { return Lanes{a, b}; }

inline MotionPair load_pair(const Vec6& first, const Vec6& second) {
  MotionPair out;
  for (int k = 0; k < 3; ++k) {
    out.w[k] = lanes(first[k], second[k]);
    out.v[k] = lanes(first[3 + k], second[3 + k]);
  }
  return out;
}

// Two motions side by side.
inline MotionPair pair_of(const Motion& first, const Motion& second) {
  MotionPair out;
  for (int k = 0; k < 3; ++k) {
    out.w[k] = lanes(first.w[k], second.w[k]);
    out.v[k] = lanes(first.v[k], second.v[k]);
  }
  return out;
}

inline Motion lane(const MotionPair& m, int l) {
  return {Vec3(m.w[0][l], m.w[1][l], m.w[2][l]), Vec3(m.v[0][l], m.v[1][l], m.v[2][l])};
}

inline void store_lane(Vec6& out, const MotionPair& m, int l) {
  for (int k = 0; k < 3; ++k) {
    out[k] = m.w[k][l];
    out[3 + k] = m.v[k][l];
  }
}

// cross(t, x) for a fixed vector t.
inline Vec3Pair cross(const Vec3& t, const Vec3Pair& x) {
  return {{t[1] * x[2] - t[2] * x[1], t[2] * x[0] - t[0] * x[2], t[0] * x[1] - t[1] * x[0]}};
}

inline Vec3Pair operator-(const Vec3Pair& a, const Vec3Pair& b) {
  return {{a[0] - b[0], a[1] - b[1], a[2] - b[2]}};
}

// R^T x for a full rotation or an AxisRotation.
inline Vec3Pair mul_transpose(const FullRotation& r, const Vec3Pair& x) {
  const Mat3& m = r.m;
  return {{m(0, 0) * x[0] + m(1, 0) * x[1] + m(2, 0) * x[2],
           m(0, 1) * x[0] + m(1, 1) * x[1] + m(2, 1) * x[2],
           m(0, 2) * x[0] + m(1, 2) * x[1] + m(2, 2) * x[2]}};
}

template <int K>
inline Vec3Pair mul_transpose(const AxisRotation<K>& r, const Vec3Pair& x) {
  constexpr int a = AxisRotation<K>::a, b = AxisRotation<K>::b;
  Vec3Pair out;
  out[a] = r.c * x[a] + r.s * x[b];
  out[b] = r.c * x[b] - r.s * x[a];
  out[K] = x[K];
  return out;
}

inline Vec3Pair operator+(const Vec3Pair& a, const Vec3Pair& b) {
  return {{a[0] + b[0], a[1] + b[1], a[2] + b[2]}};
}

// R x for a full rotation or an AxisRotation.
inline Vec3Pair mul(const FullRotation& r, const Vec3Pair& x) {
  const Mat3& m = r.m;
  return {{m(0, 0) * x[0] + m(0, 1) * x[1] + m(0, 2) * x[2],
           m(1, 0) * x[0] + m(1, 1) * x[1] + m(1, 2) * x[2],
           m(2, 0) * x[0] + m(2, 1) * x[1] + m(2, 2) * x[2]}};
}

template <int K>
inline Vec3Pair mul(const AxisRotation<K>& r, const Vec3Pair& x) {
  constexpr int a = AxisRotation<K>::a, b = AxisRotation<K>::b;
  Vec3Pair out;
  out[a] = r.c * x[a] - r.s * x[b];
  out[b] = r.s * x[a] + r.c * x[b];
  out[K] = x[K];
  return out;
}

// X . F for both lanes (act_force).
template <class Rot>
inline MotionPair act_force(const Rot& r, const Vec3& t, const MotionPair& f) {
  const Vec3Pair rf = mul(r, f.v);
  return {mul(r, f.w) + cross(t, rf), rf};
}

inline MotionPair operator+(const MotionPair& a, const MotionPair& b) {
  return {a.w + b.w, a.v + b.v};
}

// X^-1 . m for both lanes (inv_act).
template <class Rot>
inline MotionPair inv_act(const Rot& r, const Vec3& t, const MotionPair& m) {
  return {mul_transpose(r, m.w), mul_transpose(r, m.v - cross(t, m.w))};
}

// The inertia applied to both lanes (apply).
inline MotionPair apply(const Inertia& in, const MotionPair& m) {
  const std::array<double, 6>& i = in.inertia;
  const Vec3& c = in.lever;
  const Vec3Pair& w = m.w;
  const Vec3Pair cw = cross(c, w);
  Vec3Pair f;
  for (int k = 0; k < 3; ++k) f[k] = in.mass * (m.v[k] - cw[k]);
  const Vec3Pair cf = cross(c, f);
  Vec3Pair n;
  n[0] = (i[0] * w[0] + i[1] * w[1] + i[3] * w[2]) + cf[0];
  n[1] = (i[1] * w[0] + i[2] * w[1] + i[4] * w[2]) + cf[1];
  n[2] = (i[3] * w[0] + i[4] * w[1] + i[5] * w[2]) + cf[2];
  return {n, f};
}

// Adds the bias vi x vj of a joint about the coordinate axis K, vj = (wq e_K, 0),
// to lane 1 of m (and to lane 0 as well when kBothLanes; otherwise lane 0
// gets +0). Only its non-zero products are formed, two per half: the other
// products of cross_motion are exact zeros.
template <int K, bool kBothLanes>
inline void add_axis_bias(MotionPair& m, const Motion& vi, double wq) {
  constexpr int a = AxisRotation<K>::a, b = AxisRotation<K>::b;
  const double bias[4] = {vi.w[b] * wq, -(vi.w[a] * wq), vi.v[b] * wq, -(vi.v[a] * wq)};
  const auto both = [](double x) { return lanes(kBothLanes ? x : 0.0, x); };
  m.w[a] += both(bias[0]);
  m.w[b] += both(bias[1]);
  m.v[a] += both(bias[2]);
  m.v[b] += both(bias[3]);
}

// The wrench of a body: f = I a + v x* h, from `inertial` (lane 0 the momentum
// h = I v, lane 1 I a) and v, as apply(...) + cross_force(v, h) with the two
// products with v.w side by side.
inline Motion body_wrench(const MotionPair& inertial, const Motion& v) {
  Vec3Pair h;
  for (int k = 0; k < 3; ++k) h[k] = lanes(inertial.w[k][0], inertial.v[k][0]);
  const Vec3Pair wh = cross(v.w, h);
  const Vec3 vh = cross(v.v, Vec3(inertial.v[0][0], inertial.v[1][0], inertial.v[2][0]));
  Motion out;
  for (int k = 0; k < 3; ++k) {
    out.w[k] = inertial.w[k][1] + (wh[k][0] + vh[k]);
    out.v[k] = inertial.v[k][1] + wh[k][1];
  }
  return out;
}

// out = X . m for a motion vector (act_motion), its two rotations side by side.
inline void act_motion_paired(const SE3& x, const Vec6& m, Vec6& out) {
  Vec3Pair wv;
  for (int k = 0; k < 3; ++k) wv[k] = lanes(m[k], m[3 + k]);
  const Vec3Pair r = mul(FullRotation{x.rotation}, wv);
  const Vec3 rw(r[0][0], r[1][0], r[2][0]);
  const Vec3 tw = cross(x.translation, rw);
  for (int k = 0; k < 3; ++k) {
    out[k] = rw[k];
    out[3 + k] = r[k][1] + tw[k];
  }
}

// out = m x c for a motion vector m and a motion column c
// (cross_motion_column), the two products with m's angular part side by side.
// c and out are 6-row columns (matrix columns are taken in place).
template <class Column, class Out>
inline void cross_motion_column_paired(const Vec6& m, const Column& c, Out&& out) {
  Vec3Pair vw;
  for (int k = 0; k < 3; ++k) vw[k] = lanes(c[k], c[3 + k]);
  const Vec3Pair wx = cross(angular(m), vw);
  const Vec3 ux = cross(linear(m), Vec3(c[3], c[4], c[5]));
  for (int k = 0; k < 3; ++k) {
    out[k] = wx[k][0] + ux[k];
    out[3 + k] = wx[k][1];
  }
}

}  // namespace trelvar::detail

// Spatial motions and forces (internal): the two types, their transforms by a
// placement, the two cross products, and the one boundary where they meet the
// stored orders of Data.
//
// Inside the core every motion is (w, v), angular part first, and every force
// (n, f), moment first; the two are distinct types. The 3-vector type V is a
// Vec3 for one value or a Vec3Pair for two values carried side by side (for
// instance a velocity and an acceleration through the same transform); every
// operation below is written once for both.
//
// Stored orders: Data's per-joint buffers (v, a, f, h, ...) keep a Vec6 in the
// same order; Jacobian-type columns (j, dJ, ag, ...) keep [v; w] and [f; n],
// linear part first. motion_of/force_of/store convert the former,
// *_of_column/store_column the latter; nothing else touches either layout.
#pragma once

#include "lanes.hpp"
#include "rotation.hpp"
#include "trelvar/spatial.hpp"

namespace trelvar::detail {

template <class V = Vec3>
struct Motion {
  V w;  // angular
  V v;  // linear
};

template <class V = Vec3>
struct Force {
  V n;  // moment
  V f;  // force
};

using MotionPair = Motion<Vec3Pair>;
using ForcePair = Force<Vec3Pair>;

inline Motion<> zero_motion() {
  return {Vec3::Zero(), Vec3::Zero()};
}
inline Force<> zero_force() {
  return {Vec3::Zero(), Vec3::Zero()};
}

template <class V>
inline Motion<V> operator+(const Motion<V>& a, const Motion<V>& b) {
  return {a.w + b.w, a.v + b.v};
}
template <class V>
inline Motion<V> operator-(const Motion<V>& a, const Motion<V>& b) {
  return {a.w - b.w, a.v - b.v};
}
template <class V>
inline Motion<V>& operator+=(Motion<V>& a, const Motion<V>& b) {
  return a = a + b;
}
template <class V>
inline Force<V> operator+(const Force<V>& a, const Force<V>& b) {
  return {a.n + b.n, a.f + b.f};
}
template <class V>
inline Force<V>& operator+=(Force<V>& a, const Force<V>& b) {
  return a = a + b;
}
template <class V>
inline Force<V> operator-(const Force<V>& a, const Force<V>& b) {
  return {a.n - b.n, a.f - b.f};
}
inline Motion<> operator*(double s, const Motion<>& m) {
  return {s * m.w, s * m.v};
}
inline Force<> operator*(double s, const Force<>& f) {
  return {s * f.n, s * f.f};
}

// ---------------------------------------------------------------------------
// Two values side by side, and each of them back.

inline MotionPair pair(const Motion<>& first, const Motion<>& second) {
  return {pair(first.w, second.w), pair(first.v, second.v)};
}
inline ForcePair pair(const Force<>& first, const Force<>& second) {
  return {pair(first.n, second.n), pair(first.f, second.f)};
}
inline Motion<> first(const MotionPair& m) {
  return {first(m.w), first(m.v)};
}
inline Motion<> second(const MotionPair& m) {
  return {second(m.w), second(m.v)};
}
inline Force<> first(const ForcePair& f) {
  return {first(f.n), first(f.f)};
}
inline Force<> second(const ForcePair& f) {
  return {second(f.n), second(f.f)};
}

// ---------------------------------------------------------------------------
// Transforms by a placement X = (R, t) in any of its forms (rotation.hpp).

// X m = (R w, R v + t x R w): a motion given in the child frame, expressed in
// the parent frame.
template <class X, class V>
inline Motion<V> act(const X& x, const Motion<V>& m) {
  const V rw = mul(x.rotation, m.w);
  const V rv = mul(x.rotation, m.v);
  return {rw, rv + cross(x.translation, rw)};
}

// X^-1 m = (R^T w, R^T (v - t x w)): parent frame to child frame.
template <class X, class V>
inline Motion<V> act_inv(const X& x, const Motion<V>& m) {
  const V d = m.v - cross(x.translation, m.w);
  return {mul_transpose(x.rotation, m.w), mul_transpose(x.rotation, d)};
}

// X F = (R n + t x R f, R f): a force given in the child frame, expressed in
// the parent frame.
template <class X, class V>
inline Force<V> act(const X& x, const Force<V>& f) {
  const V rf = mul(x.rotation, f.f);
  const V rn = mul(x.rotation, f.n);
  return {rn + cross(x.translation, rf), rf};
}

// X^-1 F = (R^T (n - t x f), R^T f).
template <class X, class V>
inline Force<V> act_inv(const X& x, const Force<V>& f) {
  const V d = f.n - cross(x.translation, f.f);
  return {mul_transpose(x.rotation, d), mul_transpose(x.rotation, f.f)};
}

// For one motion or force, its two halves go through the rotation side by
// side (the same products as above, two per instruction).
template <class X>
inline Motion<> act(const X& x, const Motion<>& m) {
  const Vec3Pair r = mul(x.rotation, pair(m.w, m.v));
  const Vec3 rw = first(r);
  return {rw, second(r) + cross(x.translation, rw)};
}
template <class X>
inline Motion<> act_inv(const X& x, const Motion<>& m) {
  const Vec3 d = m.v - cross(x.translation, m.w);
  const Vec3Pair r = mul_transpose(x.rotation, pair(m.w, d));
  return {first(r), second(r)};
}
template <class X>
inline Force<> act(const X& x, const Force<>& f) {
  const Vec3Pair r = mul(x.rotation, pair(f.n, f.f));
  const Vec3 rf = second(r);
  return {first(r) + cross(x.translation, rf), rf};
}
template <class X>
inline Force<> act_inv(const X& x, const Force<>& f) {
  const Vec3 d = f.n - cross(x.translation, f.f);
  const Vec3Pair r = mul_transpose(x.rotation, pair(d, f.f));
  return {first(r), second(r)};
}

// Motions with one half zero, as the motion subspace of a one-coordinate
// joint has them: (w, 0) and (0, v), w and v a Vec3 or a UnitAxis. Their
// transforms leave out the products with the zero half.
template <class A>
struct AngularMotion {
  A w;
};
template <class A>
struct LinearMotion {
  A v;
};

// X (w, 0) = (R w, t x R w).
template <class X, class A>
inline Motion<> act(const X& x, const AngularMotion<A>& m) {
  const Vec3 rw = mul(x.rotation, m.w);
  return {rw, cross(x.translation, rw)};
}
// X (0, v) = (0, R v).
template <class X, class A>
inline Motion<> act(const X& x, const LinearMotion<A>& m) {
  return {Vec3::Zero(), mul(x.rotation, m.v)};
}

// (w e_K, 0): a rotation about the coordinate axis K, the motion of a joint
// about +-e_K with the sign folded into w. S is double, or Lanes for two such
// motions side by side.
template <int K, class S = double>
struct AxisMotion {
  S w;
};
template <int K>
inline AxisMotion<K, Lanes> pair(const AxisMotion<K>& first, const AxisMotion<K>& second) {
  return {lanes(first.w, second.w)};
}
template <int K, class V, class S>
inline Motion<V>& operator+=(Motion<V>& m, const AxisMotion<K, S>& s) {
  m.w[K] += s.w;
  return m;
}

// ---------------------------------------------------------------------------
// Cross products. The two products with the angular part of m are carried
// side by side.

// m1 x m2 = (w1 x w2, w1 x v2 + v1 x w2).
inline Motion<> cross(const Motion<>& m1, const Motion<>& m2) {
  const Vec3Pair w1m2 = cross(m1.w, pair(m2.w, m2.v));
  return {first(w1m2), second(w1m2) + cross(m1.v, m2.w)};
}

// m x (s e_K, 0) = (w x s e_K, v x s e_K): two non-zero products per half
// (the products of the general form left out are exact zeros).
template <int K>
inline Motion<> cross(const Motion<>& m, const AxisMotion<K>& s) {
  constexpr int a = (K + 1) % 3, b = (K + 2) % 3;
  Motion<> out;
  out.w[a] = m.w[b] * s.w;
  out.w[b] = -(m.w[a] * s.w);
  out.w[K] = 0.0;
  out.v[a] = m.v[b] * s.w;
  out.v[b] = -(m.v[a] * s.w);
  out.v[K] = 0.0;
  return out;
}

// m x* F = (w x n + v x f, w x f).
inline Force<> cross(const Motion<>& m, const Force<>& f) {
  const Vec3Pair wf = cross(m.w, pair(f.n, f.f));
  return {first(wf) + cross(m.v, f.f), second(wf)};
}

// v + w x p: the velocity of the point p moving with the motion (w, v).
inline Vec3 velocity_at(const Motion<>& m, const Vec3& p) {
  return m.v + cross(m.w, p);
}

// <m, F> = v . f + w . n, a plain sum in that order.
inline double dot(const Motion<>& m, const Force<>& f) {
  return m.v[0] * f.f[0] + m.v[1] * f.f[1] + m.v[2] * f.f[2] + m.w[0] * f.n[0] + m.w[1] * f.n[1] +
         m.w[2] * f.n[2];
}

// ---------------------------------------------------------------------------
// The boundary with Data.

// Per-joint buffers, angular part first.
inline Motion<> motion_of(const Vec6& x) {
  return {x.head<3>(), x.tail<3>()};
}
inline Force<> force_of(const Vec6& x) {
  return {x.head<3>(), x.tail<3>()};
}
inline void store(Vec6& out, const Motion<>& m) {
  out.head<3>() = m.w;
  out.tail<3>() = m.v;
}
inline void store(Vec6& out, const Force<>& f) {
  out.head<3>() = f.n;
  out.tail<3>() = f.f;
}

// Two buffers side by side, and back.
inline MotionPair motions_of(const Vec6& first, const Vec6& second) {
  MotionPair out;
  for (int k = 0; k < 3; ++k) {
    out.w[k] = lanes(first[k], second[k]);
    out.v[k] = lanes(first[3 + k], second[3 + k]);
  }
  return out;
}
inline ForcePair forces_of(const Vec6& first, const Vec6& second) {
  const MotionPair m = motions_of(first, second);
  return {m.w, m.v};
}
inline void store(Vec6& first, Vec6& second, const MotionPair& m) {
  for (int k = 0; k < 3; ++k) {
    first[k] = m.w[k][0];
    first[3 + k] = m.v[k][0];
    second[k] = m.w[k][1];
    second[3 + k] = m.v[k][1];
  }
}
inline void store(Vec6& first, Vec6& second, const ForcePair& f) {
  store(first, second, MotionPair{f.n, f.f});
}

// Columns of Jacobian-type matrices (six doubles, linear part first).
inline Motion<> motion_of_column(const double* c) {
  return {Vec3(c[3], c[4], c[5]), Vec3(c[0], c[1], c[2])};
}
inline void store_column(double* c, const Motion<>& m) {
  for (int k = 0; k < 3; ++k) {
    c[k] = m.v[k];
    c[3 + k] = m.w[k];
  }
}
inline Force<> force_of_column(const double* c) {
  return {Vec3(c[3], c[4], c[5]), Vec3(c[0], c[1], c[2])};
}
inline void store_column(double* c, const Force<>& f) {
  for (int k = 0; k < 3; ++k) {
    c[k] = f.f[k];
    c[3 + k] = f.n[k];
  }
}

// A stored column held in three lane pairs, to be paired with many others.
// dot() is the pairing of a stored motion column with a stored force column
// (the plain 6-term dot product of the two layouts), summed as
// (0, 1) + ((2, 3) + (4, 5)) and then lane 0 + lane 1, which is also the order
// of Eigen's dot product of fixed 6-vectors.
class StoredColumn {
 public:
  explicit StoredColumn(const double* c)
      : p_{load_lanes(c), load_lanes(c + 2), load_lanes(c + 4)} {}
  double dot(const double* other) const {
    const Lanes s =
        p_[0] * load_lanes(other) + (p_[1] * load_lanes(other + 2) + p_[2] * load_lanes(other + 4));
    return s[0] + s[1];
  }

 private:
  Lanes p_[3];
};

inline double column_dot(const double* motion, const double* force) {
  return StoredColumn(motion).dot(force);
}

}  // namespace trelvar::detail

// Rotations and placements in their cheapest forms (internal).
//
// A placement X = (R, t) reaches the spatial operations as any value with a
// `rotation` and a `translation`: an SE3 (R a full 3x3 matrix), an
// AxisPlacement<K> (R a rotation about the coordinate axis K, the relative
// placement of most revolute joints) or a Translation (R the identity).
// mul(R, x) and mul_transpose(R, x) are overloaded for every form of R and
// for x a Vec3 or a Vec3Pair; each form forms exactly the non-zero products
// of the full 3x3 product, in the same order, so for finite values every form
// gives the full product's values.
#pragma once

#include <cmath>
#include <type_traits>

#include "lanes.hpp"
#include "sine_cosine.hpp"
#include "trelvar/spatial.hpp"

namespace trelvar::detail {

using trelvar::mul;
using trelvar::mul_transpose;

// R x and R^T x for a full rotation and both vectors of a pair.
inline Vec3Pair mul(const Mat3& m, const Vec3Pair& x) {
  return {{m(0, 0) * x[0] + m(0, 1) * x[1] + m(0, 2) * x[2],
           m(1, 0) * x[0] + m(1, 1) * x[1] + m(1, 2) * x[2],
           m(2, 0) * x[0] + m(2, 1) * x[1] + m(2, 2) * x[2]}};
}
inline Vec3Pair mul_transpose(const Mat3& m, const Vec3Pair& x) {
  return {{m(0, 0) * x[0] + m(1, 0) * x[1] + m(2, 0) * x[2],
           m(0, 1) * x[0] + m(1, 1) * x[1] + m(2, 1) * x[2],
           m(0, 2) * x[0] + m(1, 2) * x[1] + m(2, 2) * x[2]}};
}

// The rotation by an angle about the coordinate axis K, the sign of a -e_K
// axis folded into s: the matrix with columns a = (K+1)%3 -> c e_a + s e_b,
// b = (K+2)%3 -> -s e_a + c e_b, K -> e_K. The axis is a template argument so
// that every index is known when compiling.
template <int K>
struct AxisRotation {
  static constexpr int k = K, a = (K + 1) % 3, b = (K + 2) % 3;
  double c = 1.0, s = 0.0;

  AxisRotation(double cosine, double sine) : c(cosine), s(sine) {}
  // The rotation stored in m, which must be such a rotation about axis K.
  static AxisRotation of(const Mat3& m) { return AxisRotation(m(a, a), m(b, a)); }

  Mat3 matrix() const {
    Mat3 r = Mat3::Zero();
    r(k, k) = 1.0;
    r(a, a) = c;
    r(b, a) = s;
    r(a, b) = -s;
    r(b, b) = c;
    return r;
  }
};

template <int K, class V>
inline V mul(const AxisRotation<K>& r, const V& x) {
  constexpr int a = AxisRotation<K>::a, b = AxisRotation<K>::b;
  V out;
  out[a] = r.c * x[a] - r.s * x[b];
  out[b] = r.s * x[a] + r.c * x[b];
  out[K] = x[K];
  return out;
}
template <int K, class V>
inline V mul_transpose(const AxisRotation<K>& r, const V& x) {
  constexpr int a = AxisRotation<K>::a, b = AxisRotation<K>::b;
  V out;
  out[a] = r.c * x[a] + r.s * x[b];
  out[b] = r.c * x[b] - r.s * x[a];
  out[K] = x[K];
  return out;
}

// m R, column by column.
template <int K>
inline Mat3 matmul(const Mat3& m, const AxisRotation<K>& r) {
  constexpr int a = AxisRotation<K>::a, b = AxisRotation<K>::b;
  Mat3 out;
  out.col(a) = m.col(a) * r.c + m.col(b) * r.s;
  out.col(b) = m.col(b) * r.c - m.col(a) * r.s;
  out.col(K) = m.col(K);
  return out;
}
using trelvar::matmul;

// Calls f(AxisRotation<k>(c, s)) for a runtime axis k in 0..2.
template <class F>
inline decltype(auto) with_axis_rotation(int k, double c, double s, F&& f) {
  switch (k) {
    case 0:
      return f(AxisRotation<0>(c, s));
    case 1:
      return f(AxisRotation<1>(c, s));
    default:
      return f(AxisRotation<2>(c, s));
  }
}

// The identity rotation.
struct NoRotation {};
template <class V>
inline const V& mul(NoRotation, const V& x) {
  return x;
}
template <class V>
inline const V& mul_transpose(NoRotation, const V& x) {
  return x;
}

// A unit axis u and, when u is exactly +e_k or -e_k, that k (else -1): R u
// then reads one column of R.
struct UnitAxis {
  const Vec3& u;
  int k;
};
inline Vec3 mul(const Mat3& r, const UnitAxis& axis) {
  if (axis.k < 0) return mul(r, axis.u);
  const int k = axis.k;
  const double sign = axis.u[k];
  return Vec3(r(0, k) * sign, r(1, k) * sign, r(2, k) * sign);
}

// The index k when u is exactly +e_k or -e_k, otherwise -1.
inline int aligned_axis(const Vec3& u) {
  for (int k = 0; k < 3; ++k) {
    const int a = (k + 1) % 3, b = (k + 2) % 3;
    if (u[a] == 0.0 && u[b] == 0.0 && (u[k] == 1.0 || u[k] == -1.0)) return k;
  }
  return -1;
}

// Exactly the identity (a signed zero counts as zero), two entries per
// instruction.
inline bool is_identity(const Mat3& m) {
  using Mask = long long __attribute__((vector_size(16)));
  const double* d = m.data();  // column by column
  const Mask same = (load_lanes(d) == Lanes{1.0, 0.0}) & (load_lanes(d + 2) == Lanes{0.0, 0.0}) &
                    (load_lanes(d + 4) == Lanes{1.0, 0.0}) & (load_lanes(d + 6) == Lanes{0.0, 0.0});
  return same[0] != 0 && same[1] != 0 && d[8] == 1.0;
}

// Placement forms beside SE3 (the translation is referenced, not copied).
template <int K>
struct AxisPlacement {
  static constexpr int k = K;
  AxisRotation<K> rotation;
  const Vec3& translation;
};
template <class X>
struct IsAxisPlacement : std::false_type {};
template <int K>
struct IsAxisPlacement<AxisPlacement<K>> : std::true_type {};
struct Translation {
  NoRotation rotation;
  const Vec3& translation;
};

// Placements by shape, as joint transforms come: the identity, a rotation
// alone, a translation alone, or a general SE3.
struct IdentityPlacement {};
struct PureRotation {
  Mat3 rotation;
};
struct PureTranslation {
  Vec3 translation;
};

inline SE3 to_se3(IdentityPlacement) {
  return SE3();
}
inline SE3 to_se3(const PureRotation& x) {
  return SE3(x.rotation, Vec3::Zero());
}
inline SE3 to_se3(const PureTranslation& x) {
  return SE3(Mat3::Identity(), x.translation);
}
inline SE3 to_se3(const Translation& x) {
  return SE3(Mat3::Identity(), x.translation);
}
template <int K>
inline SE3 to_se3(const AxisPlacement<K>& x) {
  return SE3(x.rotation.matrix(), x.translation);
}
inline const SE3& to_se3(const SE3& x) {
  return x;
}

// a b, applying b first (SE3::compose), for each form of b: the products
// with b's identity rotation or zero translation are left out, a rotation
// about a coordinate axis is multiplied column by column.
inline SE3 compose(const SE3& a, const SE3& b) {
  return a.compose(b);
}
inline SE3 compose(const SE3& a, IdentityPlacement) {
  return a;
}
inline SE3 compose(const SE3& a, const PureRotation& b) {
  return SE3(matmul(a.rotation, b.rotation), a.translation);
}
inline SE3 compose(const SE3& a, const PureTranslation& b) {
  SE3 out(a.rotation, mul(a.rotation, b.translation));
  out.translation += a.translation;
  return out;
}
template <int K>
inline SE3 compose(const SE3& a, const AxisRotation<K>& b) {
  return SE3(matmul(a.rotation, b), a.translation);
}
template <int K>
inline SE3 compose(const SE3& a, const AxisPlacement<K>& b) {
  SE3 out(matmul(a.rotation, b.rotation), mul(a.rotation, b.translation));
  out.translation += a.translation;
  return out;
}

// X p = R p + t: a point given in the child frame, in the parent frame (the
// public SE3::act).
inline Vec3 act_on_point(const SE3& x, const Vec3& p) {
  return x.act(p);
}
// X^-1 p = R^T (p - t).
inline Vec3 act_inv_on_point(const SE3& x, const Vec3& p) {
  return mul_transpose(x.rotation, p - x.translation);
}

// x becomes the identity placement, written in place.
inline void set_identity(SE3& x) {
  x.rotation.setIdentity();
  x.translation.setZero();
}

}  // namespace trelvar::detail

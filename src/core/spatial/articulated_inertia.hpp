// Articulated-body inertias (internal): the symmetric 6x6 map from a motion
// to a force that a body with its subtree of joints presents, as the
// articulated-body algorithm builds them.
//
// Rows and columns are angular part first, like Motion and Force: with
// blocks Ia = [A, B; B^T, C], Ia (w, v) = (A w + B v, B^T w + C v).
//
// What the forward-dynamics pass finds here and in joint_kinds.hpp:
//   articulated(I)         a rigid-body inertia as an articulated inertia
//   Ia * m                 motion -> force
//   Ia * s                 a subspace column with one half zero -> force
//   act(X, Ia)             X* Ia X^-1, child frame -> parent frame
//   act_inv(X, Ia)         X^T Ia X, parent frame -> child frame
//   Ia += Ib               sum
//   subtract_projection(Ia, U, Dinv)   Ia - U D^-1 U^T (U one force for one
//                                      coordinate, D^-1 then a number)
// and for a joint kind (joint_kinds.hpp): S x (joint_motion), S^T F
// (project_force), U = Ia S (times_subspace) and D = S^T U (project_columns).
#pragma once

#include <Eigen/Core>

#include "motion.hpp"
#include "rotation.hpp"
#include "trelvar/spatial.hpp"

namespace trelvar::detail {

// A joint's columns: the motion subspace S, or U = Ia S (6 x nv, nv <= 6, rows
// angular part first). Fixed capacity, so none of them allocates.
using JointColumns = Eigen::Matrix<double, 6, Eigen::Dynamic, Eigen::ColMajor, 6, 6>;
// nv x nv matrices of a joint, D = S^T U and its inverse.
using JointMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor, 6, 6>;

struct ArticulatedInertia {
  Mat6 m = Mat6::Zero();

  Mat3 angular_block() const { return m.topLeftCorner<3, 3>(); }     // A
  Mat3 coupling_block() const { return m.topRightCorner<3, 3>(); }   // B
  Mat3 linear_block() const { return m.bottomRightCorner<3, 3>(); }  // C
};

// A rigid body's inertia: A = Ic + m [c]x [c]x^T (the rotational inertia
// about the body origin), B = m [c]x, C = m 1; Ia (w, v) is then I (w, v).
inline ArticulatedInertia articulated(const Inertia& in) {
  const Mat3 cx = skew(in.lever);
  ArticulatedInertia out;
  out.m.topLeftCorner<3, 3>() = in.rotational() + in.mass * (cx * cx.transpose());
  out.m.topRightCorner<3, 3>() = in.mass * cx;
  out.m.bottomLeftCorner<3, 3>() = in.mass * cx.transpose();
  out.m.bottomRightCorner<3, 3>() = in.mass * Mat3::Identity();
  return out;
}

// The matrix as Data and the public API store 6x6 spatial matrices: rows and
// columns linear part first ([C, B^T; B, A]).
inline Mat6 linear_first(const ArticulatedInertia& ia) {
  Mat6 out;
  out << ia.linear_block(), ia.coupling_block().transpose(), ia.coupling_block(),
      ia.angular_block();
  return out;
}

inline Force<> operator*(const ArticulatedInertia& ia, const Motion<>& x) {
  Vec6 in;
  in << x.w, x.v;
  const Vec6 out = ia.m * in;
  return {out.head<3>(), out.tail<3>()};
}

namespace articulated_detail {

// Column k of Ia as a force (Ia times the unit motion e_k).
inline Force<> column(const ArticulatedInertia& ia, int k) {
  return {ia.m.col(k).head<3>(), ia.m.col(k).tail<3>()};
}

// Ia times the motion that is u in the half starting at row `half` (0
// angular, 3 linear) and zero in the other: the columns of that half weighted
// by u, or one column, signed, for u = +-e_k.
inline Force<> times_half(const ArticulatedInertia& ia, int half, const Vec3& u) {
  const Force<> c0 = column(ia, half), c1 = column(ia, half + 1), c2 = column(ia, half + 2);
  return {c0.n * u[0] + c1.n * u[1] + c2.n * u[2], c0.f * u[0] + c1.f * u[1] + c2.f * u[2]};
}
inline Force<> times_half(const ArticulatedInertia& ia, int half, const UnitAxis& u) {
  if (u.k < 0) return times_half(ia, half, u.u);
  const Force<> c = column(ia, half + u.k);
  const double sign = u.u[u.k];
  return {sign * c.n, sign * c.f};
}

}  // namespace articulated_detail

// Ia (w, 0) = (A w, B^T w) and Ia (0, v) = (B v, C v): a motion with one
// half zero, as the subspace column of a one-coordinate joint.
template <class A>
inline Force<> operator*(const ArticulatedInertia& ia, const AngularMotion<A>& m) {
  return articulated_detail::times_half(ia, 0, m.w);
}
template <class A>
inline Force<> operator*(const ArticulatedInertia& ia, const LinearMotion<A>& m) {
  return articulated_detail::times_half(ia, 3, m.v);
}

inline ArticulatedInertia& operator+=(ArticulatedInertia& a, const ArticulatedInertia& b) {
  a.m += b.m;
  return a;
}

namespace articulated_detail {

// R M R^T for a 3x3 block M and any form of the rotation R (rotation.hpp), as
// R (R M^T)^T: R applied to the rows of M, then to the rows of the result. A
// rotation about a coordinate axis thus forms only its non-zero products.
template <class R>
inline Mat3 turned(const R& r, const Mat3& m) {
  Mat3 n;
  for (int j = 0; j < 3; ++j) n.col(j) = mul(r, Vec3(m.row(j).transpose()));
  Mat3 out;
  for (int j = 0; j < 3; ++j) out.col(j) = mul(r, Vec3(n.row(j).transpose()));
  return out;
}
// R^T M R, likewise.
template <class R>
inline Mat3 turned_back(const R& r, const Mat3& m) {
  Mat3 n;
  for (int j = 0; j < 3; ++j) n.col(j) = mul_transpose(r, Vec3(m.row(j).transpose()));
  Mat3 out;
  for (int j = 0; j < 3; ++j) out.col(j) = mul_transpose(r, Vec3(n.row(j).transpose()));
  return out;
}

// The three blocks on their own while an inertia changes frame, so that the
// steps below do not assemble the 6x6 matrix in between.
struct Blocks {
  Mat3 a, b, c;
};
inline Blocks blocks_of(const ArticulatedInertia& ia) {
  return {ia.angular_block(), ia.coupling_block(), ia.linear_block()};
}
inline ArticulatedInertia from_blocks(const Blocks& x) {
  ArticulatedInertia out{Mat6()};  // every entry written below
  out.m.topLeftCorner<3, 3>() = x.a;
  out.m.topRightCorner<3, 3>() = x.b;
  out.m.bottomLeftCorner<3, 3>() = x.b.transpose();
  out.m.bottomRightCorner<3, 3>() = x.c;
  return out;
}

// Every block turned by R: R A R^T, R B R^T, R C R^T.
template <class R>
inline Blocks rotated(const R& r, const Blocks& x) {
  return {turned(r, x.a), turned(r, x.b), turned(r, x.c)};
}
// R^T A R, R^T B R, R^T C R.
template <class R>
inline Blocks rotated_back(const R& r, const Blocks& x) {
  return {turned_back(r, x.a), turned_back(r, x.b), turned_back(r, x.c)};
}

// [1, T; 0, 1] Ia [1, 0; -T, 1] with T = [t]x: the inertia seen from a point
// moved by -t, that is A + T B^T - B T - T C T, B + T C, C. Column by column
// with cross products: (T C)_j = t x C_j, (T B^T)_j = t x (row j of B), and
// as C is symmetric, -T C T = T (T C)^T, (T (T C)^T)_j = t x (row j of T C).
inline Blocks translated(const Vec3& t, const Blocks& x) {
  Mat3 tc, tb;
  for (int j = 0; j < 3; ++j) {
    tc.col(j) = cross(t, Vec3(x.c.col(j)));
    tb.col(j) = cross(t, Vec3(x.b.row(j).transpose()));
  }
  Mat3 tct;
  for (int j = 0; j < 3; ++j) tct.col(j) = cross(t, Vec3(tc.row(j).transpose()));
  return {x.a + tb + tb.transpose() + tct, x.b + tc, x.c};
}

}  // namespace articulated_detail

// X* Ia X^-1: Ia given in the child frame of X = (R, t), expressed in the
// parent frame; X in any of its forms (an SE3, an AxisPlacement<K>, ...).
template <class X>
inline ArticulatedInertia act(const X& x, const ArticulatedInertia& ia) {
  using namespace articulated_detail;
  return from_blocks(translated(x.translation, rotated(x.rotation, blocks_of(ia))));
}

// X^T Ia X: Ia given in the parent frame, expressed in the child frame.
template <class X>
inline ArticulatedInertia act_inv(const X& x, const ArticulatedInertia& ia) {
  using namespace articulated_detail;
  return from_blocks(rotated_back(x.rotation, translated(-x.translation, blocks_of(ia))));
}

// Ia - U D^-1 U^T for U = Ia S and Dinv = (S^T U)^-1: the inertia a body with
// its subtree presents through a joint that moves freely along S.
inline void subtract_projection(ArticulatedInertia& ia, const JointColumns& u,
                                const JointMatrix& d_inverse) {
  ia.m.noalias() -= u * d_inverse * u.transpose();
}

// The same for one coordinate: Ia - U U^T / D with U one force and
// d_inverse = 1 / D.
inline void subtract_projection(ArticulatedInertia& ia, const Force<>& u, double d_inverse) {
  Vec6 u6;
  u6 << u.n, u.f;
  const Vec6 w = d_inverse * u6;
  ia.m.noalias() -= w * u6.transpose();
}

}  // namespace trelvar::detail

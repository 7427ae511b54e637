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
//   act(X, Ia)             X* Ia X^-1, child frame -> parent frame
//   act_inv(X, Ia)         X^T Ia X, parent frame -> child frame
//   Ia += Ib               sum
//   subtract_projection(Ia, U, Dinv)   Ia - U D^-1 U^T
// and for a joint kind (joint_kinds.hpp): S x (joint_motion), S^T F
// (project_force), U = Ia S (times_subspace) and D = S^T U (project_columns).
#pragma once

#include <Eigen/Core>

#include "motion.hpp"
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

inline ArticulatedInertia& operator+=(ArticulatedInertia& a, const ArticulatedInertia& b) {
  a.m += b.m;
  return a;
}

namespace articulated_detail {

// Ia with every block turned by R: R A R^T, R B R^T, R C R^T.
inline ArticulatedInertia rotated(const Mat3& r, const ArticulatedInertia& ia) {
  ArticulatedInertia out;
  const Mat3 a = r * ia.angular_block() * r.transpose();
  const Mat3 b = r * ia.coupling_block() * r.transpose();
  const Mat3 c = r * ia.linear_block() * r.transpose();
  out.m << a, b, b.transpose(), c;
  return out;
}

// [1, T; 0, 1] Ia [1, 0; -T, 1] with T = [t]x: the inertia seen from a point
// moved by -t, that is A + T B^T - B T - T C T, B + T C, C.
inline ArticulatedInertia translated(const Vec3& t, const ArticulatedInertia& ia) {
  const Mat3 tx = skew(t);
  const Mat3 a = ia.angular_block(), b = ia.coupling_block(), c = ia.linear_block();
  const Mat3 bt = b + tx * c;
  const Mat3 tb = tx * b.transpose();  // -B T is its transpose
  const Mat3 at = a + tb + tb.transpose() - tx * c * tx;
  ArticulatedInertia out;
  out.m << at, bt, bt.transpose(), c;
  return out;
}

}  // namespace articulated_detail

// X* Ia X^-1: Ia given in the child frame of X = (R, t), expressed in the
// parent frame.
inline ArticulatedInertia act(const SE3& x, const ArticulatedInertia& ia) {
  return articulated_detail::translated(x.translation, articulated_detail::rotated(x.rotation, ia));
}

// X^T Ia X: Ia given in the parent frame, expressed in the child frame.
inline ArticulatedInertia act_inv(const SE3& x, const ArticulatedInertia& ia) {
  return articulated_detail::rotated(x.rotation.transpose(),
                                     articulated_detail::translated(-x.translation, ia));
}

// Ia - U D^-1 U^T for U = Ia S and Dinv = (S^T U)^-1: the inertia a body with
// its subtree presents through a joint that moves freely along S.
inline void subtract_projection(ArticulatedInertia& ia, const JointColumns& u,
                                const JointMatrix& d_inverse) {
  ia.m.noalias() -= u * d_inverse * u.transpose();
}

}  // namespace trelvar::detail

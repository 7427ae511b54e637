// Articulated-body inertias (internal): the symmetric 6x6 map from a motion
// to a force that a body with its subtree of joints presents, as the
// articulated-body algorithm builds them.
//
// Rows and columns are angular part first, like Motion and Force: with
// blocks Ia = [A, B; B^T, C], Ia (w, v) = (A w + B v, B^T w + C v).
//
// What the forward-dynamics pass finds here and in joint_kinds.hpp:
//   articulated(I)         a rigid-body inertia as an articulated inertia
//                          (set_rigid, add_rigid: written to, added to one)
//   Ia * m                 motion -> force
//   Ia * s                 a subspace column with one half zero -> force
//   act(X, Ia)             X* Ia X^-1, child frame -> parent frame
//   act_inv(X, Ia)         X^T Ia X, parent frame -> child frame
//   add_act(P, X, Ia[, W, 1/D])  P += X* Ia X^-1 [- W W^T / D]: moved to
//                          the parent and summed there, for one coordinate
//                          with the projection below folded in (W = X* U)
//   Ia += Ib               sum
//   subtract_projection(Ia, U, Dinv)   Ia - U D^-1 U^T (U one force for one
//                                      coordinate, D^-1 then a number)
// and for a joint kind (joint_kinds.hpp): S x (joint_motion), S^T F
// (project_force), U = Ia S (times_subspace) and D = S^T U (project_columns).
#pragma once

#include <array>

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

// The matrix is held by value (ArticulatedInertia) or referenced where a pass
// keeps it in its work buffers (ArticulatedInertiaRef), so that the pass works
// on it in place instead of copying 36 numbers in and out.
template <class Storage>
struct ArticulatedInertiaOf {
  Storage m;

  const Mat6& matrix() const { return m; }
  Mat3 angular_block() const { return m.template topLeftCorner<3, 3>(); }     // A
  Mat3 coupling_block() const { return m.template topRightCorner<3, 3>(); }   // B
  Mat3 linear_block() const { return m.template bottomRightCorner<3, 3>(); }  // C
};
using ArticulatedInertia = ArticulatedInertiaOf<Mat6>;
using ArticulatedInertiaRef = ArticulatedInertiaOf<Mat6&>;

// A rigid body's inertia: A = Ic + m [c]x [c]x^T (the rotational inertia
// about the body origin), B = m [c]x, C = m 1; Ia (w, v) is then I (w, v).
// Formed entry by entry ([c]x [c]x^T = |c|^2 1 - c c^T) and handed to
// put(k, x) for entry k of the matrix, column by column.
template <class Put>
inline void rigid_entries(const Inertia& in, const Put& put) {
  const double m = in.mass;
  const Vec3& c = in.lever;
  const Vec3 mc = m * c;
  const std::array<double, 6>& i = in.inertia;  // (0,0) (1,0) (1,1) (2,0) (2,1) (2,2)
  const double a00 = i[0] + (mc[1] * c[1] + mc[2] * c[2]);
  const double a11 = i[2] + (mc[0] * c[0] + mc[2] * c[2]);
  const double a22 = i[5] + (mc[0] * c[0] + mc[1] * c[1]);
  const double a10 = i[1] - mc[1] * c[0], a20 = i[3] - mc[2] * c[0], a21 = i[4] - mc[2] * c[1];
  const auto column = [&](int j, double e0, double e1, double e2, double e3, double e4, double e5) {
    put(6 * j, e0), put(6 * j + 1, e1), put(6 * j + 2, e2);
    put(6 * j + 3, e3), put(6 * j + 4, e4), put(6 * j + 5, e5);
  };
  // A(:, 0), (B^T)(:, 0); A(:, 1), (B^T)(:, 1); ...
  column(0, a00, a10, a20, 0.0, -mc[2], mc[1]);
  column(1, a10, a11, a21, mc[2], 0.0, -mc[0]);
  column(2, a20, a21, a22, -mc[1], mc[0], 0.0);
  // B(:, 0), C(:, 0); ...
  column(3, 0.0, mc[2], -mc[1], m, 0.0, 0.0);
  column(4, -mc[2], 0.0, mc[0], 0.0, m, 0.0);
  column(5, mc[1], -mc[0], 0.0, 0.0, 0.0, m);
}

// out becomes the rigid body's inertia, written in its place.
template <class S>
inline void set_rigid(ArticulatedInertiaOf<S>& out, const Inertia& in) {
  double* e = out.m.data();
  rigid_entries(in, [e](int k, double x) { e[k] = x; });
}

// out += the rigid body's inertia: a body that moves rigidly with the one
// out belongs to, given in out's frame.
template <class S>
inline void add_rigid(ArticulatedInertiaOf<S>& out, const Inertia& in) {
  double* e = out.m.data();
  rigid_entries(in, [e](int k, double x) { e[k] += x; });
}
inline ArticulatedInertia articulated(const Inertia& in) {
  ArticulatedInertia out{Mat6()};
  set_rigid(out, in);
  return out;
}

// The matrix as Data and the public API store 6x6 spatial matrices: rows and
// columns linear part first ([C, B^T; B, A]).
template <class S>
inline Mat6 linear_first(const ArticulatedInertiaOf<S>& ia) {
  Mat6 out;
  out << ia.linear_block(), ia.coupling_block().transpose(), ia.coupling_block(),
      ia.angular_block();
  return out;
}

template <class S>
inline Force<> operator*(const ArticulatedInertiaOf<S>& ia, const Motion<>& x) {
  Vec6 in;
  in << x.w, x.v;
  const Vec6 out = ia.m * in;
  return {out.head<3>(), out.tail<3>()};
}

namespace articulated_detail {

// Column k of Ia as a force (Ia times the unit motion e_k).
template <class S>
inline Force<> column(const ArticulatedInertiaOf<S>& ia, int k) {
  const Mat6& x = ia.matrix();
  return {x.col(k).head<3>(), x.col(k).tail<3>()};
}

// Ia times the motion that is u in the half starting at row `half` (0
// angular, 3 linear) and zero in the other: the columns of that half weighted
// by u, or one column, signed, for u = +-e_k.
template <class S>
inline Force<> times_half(const ArticulatedInertiaOf<S>& ia, int half, const Vec3& u) {
  const Force<> c0 = column(ia, half), c1 = column(ia, half + 1), c2 = column(ia, half + 2);
  return {c0.n * u[0] + c1.n * u[1] + c2.n * u[2], c0.f * u[0] + c1.f * u[1] + c2.f * u[2]};
}
template <class S>
inline Force<> times_half(const ArticulatedInertiaOf<S>& ia, int half, const UnitAxis& u) {
  if (u.k < 0) return times_half(ia, half, u.u);
  const Force<> c = column(ia, half + u.k);
  const double sign = u.u[u.k];
  return {sign * c.n, sign * c.f};
}

}  // namespace articulated_detail

// Ia (w, 0) = (A w, B^T w) and Ia (0, v) = (B v, C v): a motion with one
// half zero, as the subspace column of a one-coordinate joint.
template <class A, class S>
inline Force<> operator*(const ArticulatedInertiaOf<S>& ia, const AngularMotion<A>& m) {
  return articulated_detail::times_half(ia, 0, m.w);
}
template <class A, class S>
inline Force<> operator*(const ArticulatedInertiaOf<S>& ia, const LinearMotion<A>& m) {
  return articulated_detail::times_half(ia, 3, m.v);
}

template <class S, class T>
inline ArticulatedInertiaOf<S>& operator+=(ArticulatedInertiaOf<S>& a,
                                           const ArticulatedInertiaOf<T>& b) {
  a.m += b.m;
  return a;
}

namespace articulated_detail {

// R M R^T for a 3x3 block M of Ia (rows from `row`, columns from `col`), as
// (R M) R^T: R applied to the columns of M, then to the rows of R M, with the
// mul of R's form. out[i][j] is entry (i, j); for a block on the diagonal
// only its upper triangle is read and only j >= i is used.
template <class R>
[[gnu::always_inline]] inline void turned_block(const Mat6& ia, const R& r, int row, int col,
                                                double out[3][3]) {
  const auto at = [&](int i, int j) {
    return row + i <= col + j ? ia(row + i, col + j) : ia(col + j, row + i);
  };
  Vec3 rm[3];  // columns of R M
  for (int j = 0; j < 3; ++j) rm[j] = mul(r, Vec3(at(0, j), at(1, j), at(2, j)));
  for (int i = 0; i < 3; ++i) {
    const Vec3 row_i = mul(r, Vec3(rm[0][i], rm[1][i], rm[2][i]));
    for (int j = 0; j < 3; ++j) out[i][j] = row_i[j];
  }
}

// X* Ia X^-1 for X = (R, t) in any of its forms and Ia = [A, B; B^T, C]
// symmetric. The force transform is [R, [t]x R; 0, R] = [1, [t]x; 0, 1]
// diag(R, R), so with the blocks turned first,
//   A~ = R A R^T,   B~ = R B R^T,   C~ = R C R^T,
// the shift by t gives
//   C' = C~,   B' = B~ + [t]x C~,   A' = A~ - B~ [t]x + [t]x B'^T,
// where entry (i, j) of A' is A~_ij + (t x B~(i, :))_j + (t x B'(j, :))_i.
// Only the 21 entries of the upper triangle are formed, from Ia's upper
// triangle: put(r, c, x) receives entry (r, c), r <= c, and the caller
// writes it to both triangles, so the result is exactly symmetric.
template <class X, class Put>
[[gnu::always_inline]] inline void moved_upper(const Mat6& ia, const X& x, const Put& put) {
  const Vec3& t = x.translation;
  double a[3][3], b[3][3], c[3][3];
  turned_block(ia, x.rotation, 0, 0, a);
  turned_block(ia, x.rotation, 0, 3, b);
  turned_block(ia, x.rotation, 3, 3, c);
  const auto sym = [](const double m[3][3], int i, int j) { return i <= j ? m[i][j] : m[j][i]; };
  // (t x v)_k.
  const auto cross_k = [&t](int k, const double v[3]) {
    const int p = (k + 1) % 3, q = (k + 2) % 3;
    return t[p] * v[q] - t[q] * v[p];
  };
  // B' = B~ + [t]x C~, column by column.
  double bp[3][3];
  for (int j = 0; j < 3; ++j) {
    const double cj[3] = {sym(c, 0, j), sym(c, 1, j), sym(c, 2, j)};
    for (int i = 0; i < 3; ++i) bp[i][j] = b[i][j] + cross_k(i, cj);
  }
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i <= j; ++i) put(i, j, a[i][j] + cross_k(j, b[i]) + cross_k(i, bp[j]));
  }
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) put(i, 3 + j, bp[i][j]);
  }
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i <= j; ++i) put(3 + i, 3 + j, c[i][j]);
  }
}

// out(r, c) = out(c, r) = x.
inline void put_symmetric(Mat6& out, int r, int c, double x) {
  out(r, c) = x;
  out(c, r) = x;
}

}  // namespace articulated_detail

// X* Ia X^-1: Ia given in the child frame of X = (R, t), expressed in the
// parent frame; X in any of its forms (an SE3, an AxisPlacement<K>, ...).
template <class X, class S>
inline ArticulatedInertia act(const X& x, const ArticulatedInertiaOf<S>& ia) {
  ArticulatedInertia out{Mat6()};  // every entry written below
  articulated_detail::moved_upper(
      ia.m, x, [&](int r, int c, double e) { articulated_detail::put_symmetric(out.m, r, c, e); });
  return out;
}

// X^T Ia X: Ia given in the parent frame, expressed in the child frame, as
// the move through X^-1.
template <class X, class S>
inline ArticulatedInertia act_inv(const X& x, const ArticulatedInertiaOf<S>& ia) {
  return act(to_se3(x).inverse(), ia);
}

// parent += X* Ia X^-1, for a parent inertia kept as its matrix: Ia moved
// from a child to its parent and summed there in one pass. The parent's
// upper triangle is read and both triangles written.
template <class X, class S>
[[gnu::always_inline]] inline void add_act(Mat6& parent, const X& x,
                                           const ArticulatedInertiaOf<S>& ia) {
  articulated_detail::moved_upper(ia.m, x, [&](int r, int c, double e) {
    articulated_detail::put_symmetric(parent, r, c, parent(r, c) + e);
  });
}

// parent += X* (Ia - U U^T / D) X^-1 for a joint with one coordinate, given
// W = X* U (U = Ia S, in the parent frame) and d_inverse = 1 / D: the
// projection and the change of frame in one pass, as
// X* Ia X^-1 - (W / D) W^T, so that the transform does not wait for the
// division.
template <class X, class S>
[[gnu::always_inline]] inline void add_act(Mat6& parent, const X& x,
                                           const ArticulatedInertiaOf<S>& ia, const Force<>& w,
                                           double d_inverse) {
  const double w6[6] = {w.n[0], w.n[1], w.n[2], w.f[0], w.f[1], w.f[2]};  // angular part first
  articulated_detail::moved_upper(ia.m, x, [&](int r, int c, double e) {
    articulated_detail::put_symmetric(parent, r, c,
                                      parent(r, c) + (e - (d_inverse * w6[c]) * w6[r]));
  });
}

// Ia - U D^-1 U^T for U = Ia S and Dinv = (S^T U)^-1: the inertia a body with
// its subtree presents through a joint that moves freely along S.
template <class S>
inline void subtract_projection(ArticulatedInertiaOf<S>& ia, const JointColumns& u,
                                const JointMatrix& d_inverse) {
  ia.m.noalias() -= u * d_inverse * u.transpose();
}

// The same for one coordinate: Ia - U U^T / D with U one force and
// d_inverse = 1 / D.
template <class S>
inline void subtract_projection(ArticulatedInertiaOf<S>& ia, const Force<>& u, double d_inverse) {
  Vec6 u6;
  u6 << u.n, u.f;
  const Vec6 w = d_inverse * u6;
  ia.m.noalias() -= w * u6.transpose();
}

}  // namespace trelvar::detail

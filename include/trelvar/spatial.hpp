// Spatial algebra: rigid placements (SE3), spatial inertias and the operations
// on six-component motion and force vectors.
//
// Two component orders coexist, each fixed to a family of quantities:
//  - motion vector [angular; linear] and force vector [moment; force]: body
//    velocities, accelerations, forces and momenta in the dynamics recursions;
//  - motion column [linear; angular]: columns of motion subspaces and
//    Jacobians, rows and columns of 6x6 spatial matrices.
// Every function below says which order it reads and writes. All of them work
// on fixed-size values and never allocate.
#pragma once

#include <Eigen/Core>
#include <array>

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar {

using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;
using Vec6 = Eigen::Matrix<double, 6, 1>;
using Mat6 = Eigen::Matrix<double, 6, 6>;
using Mat4 = Eigen::Matrix4d;
using VectorX = Eigen::VectorXd;
using MatrixX = Eigen::MatrixXd;
using Matrix6X = Eigen::Matrix<double, 6, Eigen::Dynamic>;
using Matrix3X = Eigen::Matrix<double, 3, Eigen::Dynamic>;

// ---------------------------------------------------------------------------
// Small written-out 3-vector helpers (kept explicit so that the order of the
// floating-point operations is fixed and identical everywhere).

inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return Vec3(a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]);
}

// R * x with R a 3x3 matrix, each row a plain three-term sum.
inline Vec3 mul(const Mat3& r, const Vec3& x) {
  return Vec3(r(0, 0) * x[0] + r(0, 1) * x[1] + r(0, 2) * x[2],
              r(1, 0) * x[0] + r(1, 1) * x[1] + r(1, 2) * x[2],
              r(2, 0) * x[0] + r(2, 1) * x[1] + r(2, 2) * x[2]);
}

// R^T * x.
inline Vec3 mul_transpose(const Mat3& r, const Vec3& x) {
  return Vec3(r(0, 0) * x[0] + r(1, 0) * x[1] + r(2, 0) * x[2],
              r(0, 1) * x[0] + r(1, 1) * x[1] + r(2, 1) * x[2],
              r(0, 2) * x[0] + r(1, 2) * x[1] + r(2, 2) * x[2]);
}

// A * B with every element the plain sum over k = 0, 1, 2.
inline Mat3 matmul(const Mat3& a, const Mat3& b) {
  Mat3 out;
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) {
      out(r, c) = a(r, 0) * b(0, c) + a(r, 1) * b(1, c) + a(r, 2) * b(2, c);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Rigid placement: x_parent = R * x_child + p. Twelve doubles, rotation stored
// column by column. Nothing re-orthonormalises the rotation.
struct SE3 {
  Mat3 rotation = Mat3::Identity();
  Vec3 translation = Vec3::Zero();

  SE3() = default;
  SE3(const Mat3& r, const Vec3& p) : rotation(r), translation(p) {}

  static SE3 identity() { return SE3(); }

  // self * other: applies other first.
  SE3 compose(const SE3& other) const {
    SE3 out;
    out.rotation = matmul(rotation, other.rotation);
    out.translation = mul(rotation, other.translation);
    out.translation += translation;
    return out;
  }

  // A point given in the child frame, expressed in the parent frame: R x + p.
  Vec3 act(const Vec3& point) const { return mul(rotation, point) + translation; }

  // (R^T, -(R^T p)).
  SE3 inverse() const {
    SE3 out;
    out.rotation = rotation.transpose();
    out.translation = -mul_transpose(rotation, translation);
    return out;
  }

  Mat4 to_homogeneous() const {
    Mat4 h = Mat4::Zero();
    h.topLeftCorner<3, 3>() = rotation;
    h.topRightCorner<3, 1>() = translation;
    h(3, 3) = 1.0;
    return h;
  }
};

// R = Rz(yaw) * Ry(pitch) * Rx(roll).
Mat3 rotation_from_rpy(double roll, double pitch, double yaw);
// Right-handed rotation by angle about axis; the axis is normalised first. An
// angle of exactly zero gives the identity whatever the axis.
Mat3 rotation_from_axis_angle(const Vec3& axis, double angle);
// The same for an axis already divided by its norm (no zero-angle shortcut).
Mat3 rotation_from_unit_axis_angle(const Vec3& u, double angle);
// Quaternion (x, y, z, w), scalar part last, normalised before use.
Mat3 rotation_from_quaternion(double x, double y, double z, double w);

// ---------------------------------------------------------------------------
// Motion vectors [w; v] (angular first) and force vectors [n; f].

inline Vec3 angular(const Vec6& m) { return m.head<3>(); }
inline Vec3 linear(const Vec6& m) { return m.tail<3>(); }
inline Vec6 make_vec6(const Vec3& top, const Vec3& bottom) {
  Vec6 out;
  out << top, bottom;
  return out;
}

// X . m: a motion given in the child frame, expressed in the parent frame.
Vec6 act_motion(const SE3& x, const Vec6& m);

// X^-1 . m: a motion given in the parent frame, expressed in the child frame.
Vec6 act_inv_motion(const SE3& x, const Vec6& m);

// X . F: a force given in the child frame, expressed in the parent frame.
Vec6 act_force(const SE3& x, const Vec6& f);

// X^-1 . F.
Vec6 act_inv_force(const SE3& x, const Vec6& f);

// m1 x m2 (motion cross product).
Vec6 cross_motion(const Vec6& m1, const Vec6& m2);

// m x* F (motion acting on a force).
Vec6 cross_force(const Vec6& m, const Vec6& f);

// ---------------------------------------------------------------------------
// Motion columns [v; w] (linear first).

// X . c.
Vec6 act_column(const SE3& x, const Vec6& c);

// X^-1 . c.
Vec6 act_inv_column(const SE3& x, const Vec6& c);

// m x c for a motion vector m = [w; u] (angular first) and a column c = [cv; cw]:
// the column [w x cv + u x cw; w x cw].
Vec6 cross_motion_column(const Vec6& m, const Vec6& c);

// Pairing of a motion column s = [sv; sw] with a force vector [n; f]:
// sv . f + sw . n.
double pair_column_force(const Vec6& s, const Vec6& f);

// Exchanges the halves: motion vector <-> motion column.
inline Vec6 swap_halves(const Vec6& x) { return make_vec6(x.tail<3>(), x.head<3>()); }

// [x]x, the cross-product matrix: skew(x) * y = x x y.
inline Mat3 skew(const Vec3& x) {
  Mat3 s;
  s << 0.0, -x[2], x[1], x[2], 0.0, -x[0], -x[1], x[0], 0.0;
  return s;
}

// ---------------------------------------------------------------------------
// Spatial inertia: ten doubles. `inertia` holds the rotational inertia about
// the centre of mass, lower triangle row by row (Ixx, Iyx, Iyy, Izx, Izy, Izz);
// `lever` is the centre of mass in the body frame.
struct Inertia {
  std::array<double, 6> inertia{};
  double mass = 0.0;
  Vec3 lever = Vec3::Zero();

  static Inertia zero() { return Inertia(); }
  static Inertia from_matrix(double mass, const Vec3& lever, const Mat3& rotational);

  // The full symmetric 3x3 rotational inertia about the centre of mass.
  Mat3 rotational() const {
    Mat3 i;
    i << inertia[0], inertia[1], inertia[3], inertia[1], inertia[2], inertia[4], inertia[3],
        inertia[4], inertia[5];
    return i;
  }

  // The 6x6 matrix in motion-column order (rows and columns linear first).
  Mat6 to_matrix6() const;

  // Applies the inertia to a motion vector [w; v], giving the force vector
  // [n; f] with f = m (v - c x w) and n = Ic w + c x f.
  Vec6 apply(const Vec6& motion) const;

  bool operator==(const Inertia& o) const {
    return inertia == o.inertia && mass == o.mass && lever == o.lever;
  }
};

// The inertia I (given in the child frame) expressed in the parent frame of X:
// mass unchanged, lever R c + p, rotational inertia R Ic R^T (each entry the
// plain three-term sums of R Ic, then of (R Ic) R^T).
Inertia se3_act_on_inertia(const SE3& x, const Inertia& in);

// a becomes the inertia of the union of a and b: mass ma + mb, centre of mass
// c = (ma ca + mb cb) / m, and about c the rotational inertias plus the
// parallel-axis terms m (|d|^2 1 - d d^T) of both offsets d. When the total
// mass is below 1e-10, a is left exactly as it was.
void add_inertias_inplace(Inertia& a, const Inertia& b);

}  // namespace trelvar

#pragma GCC visibility pop

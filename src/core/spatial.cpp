#include "trelvar/spatial.hpp"

#include <cmath>

#include "spatial/articulated_inertia.hpp"
#include "spatial/inertia.hpp"
#include "spatial/motion.hpp"
#include "spatial/sine_cosine.hpp"

namespace trelvar {

Mat3 rotation_from_rpy(double roll, double pitch, double yaw) {
  const double cr = std::cos(roll), sr = std::sin(roll);
  const double cp = std::cos(pitch), sp = std::sin(pitch);
  const double cy = std::cos(yaw), sy = std::sin(yaw);
  Mat3 r;
  r(0, 0) = cy * cp;
  r(1, 0) = sy * cp;
  r(2, 0) = -sp;
  r(0, 1) = cy * sp * sr - sy * cr;
  r(1, 1) = sy * sp * sr + cy * cr;
  r(2, 1) = cp * sr;
  r(0, 2) = cy * sp * cr + sy * sr;
  r(1, 2) = sy * sp * cr - cy * sr;
  r(2, 2) = cp * cr;
  return r;
}

Mat3 rotation_from_axis_angle(const Vec3& axis, double angle) {
  if (angle == 0.0) return Mat3::Identity();
  const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  return rotation_from_unit_axis_angle(Vec3(axis[0] / n, axis[1] / n, axis[2] / n), angle);
}

Mat3 rotation_from_unit_axis_angle(const Vec3& u, double angle) {
  const double ux = u[0], uy = u[1], uz = u[2];
  double s, c;
  detail::sin_cos(angle, s, c);  // the values the passes' fast placements take
  const double t = 1.0 - c;
  Mat3 r;
  r(0, 0) = ux * ux + (1.0 - ux * ux) * c;
  r(0, 1) = ux * uy * t - uz * s;
  r(0, 2) = ux * uz * t + uy * s;
  r(1, 0) = ux * uy * t + uz * s;
  r(1, 1) = uy * uy + (1.0 - uy * uy) * c;
  r(1, 2) = uy * uz * t - ux * s;
  r(2, 0) = ux * uz * t - uy * s;
  r(2, 1) = uy * uz * t + ux * s;
  r(2, 2) = uz * uz + (1.0 - uz * uz) * c;
  return r;
}

Mat3 rotation_from_quaternion(double x, double y, double z, double w) {
  const double n = std::sqrt(x * x + y * y + z * z + w * w);
  x /= n;
  y /= n;
  z /= n;
  w /= n;
  Mat3 r;
  r(0, 0) = w * w + x * x - y * y - z * z;
  r(0, 1) = 2.0 * (x * y - w * z);
  r(0, 2) = 2.0 * (x * z + w * y);
  r(1, 0) = 2.0 * (x * y + w * z);
  r(1, 1) = w * w - x * x + y * y - z * z;
  r(1, 2) = 2.0 * (y * z - w * x);
  r(2, 0) = 2.0 * (x * z - w * y);
  r(2, 1) = 2.0 * (y * z + w * x);
  r(2, 2) = w * w - x * x - y * y + z * z;
  return r;
}

Inertia Inertia::from_matrix(double mass, const Vec3& lever, const Mat3& rot) {
  Inertia out;
  out.mass = mass;
  out.lever = lever;
  out.inertia = {rot(0, 0), rot(1, 0), rot(1, 1), rot(2, 0), rot(2, 1), rot(2, 2)};
  return out;
}

Mat6 Inertia::to_matrix6() const {
  return detail::linear_first(detail::articulated(*this));
}

Vec6 Inertia::apply(const Vec6& motion) const {
  Vec6 out;
  detail::store(out, *this * detail::motion_of(motion));
  return out;
}

Inertia se3_act_on_inertia(const SE3& x, const Inertia& in) {
  return detail::act(x, in);
}

void add_inertias_inplace(Inertia& a, const Inertia& b) {
  detail::add_inertia(a, b);
}

// ---------------------------------------------------------------------------
// The Vec6 forms of the spatial operations: the conversion to the internal
// types and back around the one internal definition of each.

namespace {

template <class T>
Vec6 vector_of(const T& x) {
  Vec6 out;
  detail::store(out, x);
  return out;
}

template <class T>
Vec6 column_of(const T& x) {
  Vec6 out;
  detail::store_column(out.data(), x);
  return out;
}

}  // namespace

Vec6 act_motion(const SE3& x, const Vec6& m) {
  return vector_of(detail::act(x, detail::motion_of(m)));
}

Vec6 act_inv_motion(const SE3& x, const Vec6& m) {
  return vector_of(detail::act_inv(x, detail::motion_of(m)));
}

Vec6 act_force(const SE3& x, const Vec6& f) {
  return vector_of(detail::act(x, detail::force_of(f)));
}

Vec6 act_inv_force(const SE3& x, const Vec6& f) {
  return vector_of(detail::act_inv(x, detail::force_of(f)));
}

Vec6 cross_motion(const Vec6& m1, const Vec6& m2) {
  return vector_of(detail::cross(detail::motion_of(m1), detail::motion_of(m2)));
}

Vec6 cross_force(const Vec6& m, const Vec6& f) {
  return vector_of(detail::cross(detail::motion_of(m), detail::force_of(f)));
}

Vec6 act_column(const SE3& x, const Vec6& c) {
  return column_of(detail::act(x, detail::motion_of_column(c.data())));
}

Vec6 act_inv_column(const SE3& x, const Vec6& c) {
  return column_of(detail::act_inv(x, detail::motion_of_column(c.data())));
}

Vec6 cross_motion_column(const Vec6& m, const Vec6& c) {
  return column_of(detail::cross(detail::motion_of(m), detail::motion_of_column(c.data())));
}

double pair_column_force(const Vec6& s, const Vec6& f) {
  return detail::dot(detail::motion_of_column(s.data()), detail::force_of(f));
}

}  // namespace trelvar

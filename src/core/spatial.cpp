#include "trelvar/spatial.hpp"

#include <cmath>

#include "inertia_lanes.hpp"

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
  const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
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
  const Mat3 cx = skew(lever);
  Mat6 y;
  y.topLeftCorner<3, 3>() = mass * Mat3::Identity();
  y.topRightCorner<3, 3>() = -mass * cx;
  y.bottomLeftCorner<3, 3>() = mass * cx;
  y.bottomRightCorner<3, 3>() = rotational() + mass * (cx * cx.transpose());
  return y;
}

Inertia se3_act_on_inertia(const SE3& x, const Inertia& in) { return detail::act_on_inertia(x, in); }

void add_inertias_inplace(Inertia& a, const Inertia& b) { detail::add_inertia(a, b); }

}  // namespace trelvar

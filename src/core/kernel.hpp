// Unchecked, inlined joint kernel for the recursive algorithms. The callers
// have already checked the lengths of q and v against the model, so the
// pointers passed here always hold the joint's whole slice.
#pragma once

#include <cmath>

#include "trelvar/joint.hpp"
#include "trelvar/spatial.hpp"

namespace trelvar::detail {

// The axis divided by its Euclidean norm (a zero axis gives non-finite values).
inline Vec3 unit_axis(const Vec3& a) {
  const double n = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  return Vec3(a[0] / n, a[1] / n, a[2] / n);
}

// The unit axis where the kind reads one (Revolute, Continuous, Prismatic),
// zero otherwise. Models keep it per joint (Model::unit_axes).
inline Vec3 joint_unit_axis(const Joint& joint) {
  switch (joint.joint_type) {
    case JointType::Revolute:
    case JointType::Continuous:
    case JointType::Prismatic:
      return unit_axis(joint.axis);
    default:
      return Vec3::Zero();
  }
}

// Below, u is the joint's unit axis (joint_unit_axis).
inline SE3 joint_transform(const Joint& joint, const Vec3& u, const double* q) {
  SE3 t;
  switch (joint.joint_type) {
    case JointType::Fixed:
      break;
    case JointType::Revolute:
      if (q[0] != 0.0) t.rotation = rotation_from_unit_axis_angle(u, q[0]);
      break;
    case JointType::Continuous: {
      const double theta = std::atan2(q[1], q[0]);
      if (theta != 0.0) t.rotation = rotation_from_unit_axis_angle(u, theta);
      break;
    }
    case JointType::Prismatic:
      t.translation = q[0] * u;
      break;
    case JointType::Planar: {
      const double c = q[2], s = q[3];
      t.rotation << c, -s, 0.0, s, c, 0.0, 0.0, 0.0, 1.0;
      t.translation = Vec3(q[0], q[1], 0.0);
      break;
    }
    case JointType::Floating:
      t.rotation = rotation_from_quaternion(q[3], q[4], q[5], q[6]);
      t.translation = Vec3(q[0], q[1], q[2]);
      break;
    case JointType::Spherical:
      t.rotation = rotation_from_quaternion(q[0], q[1], q[2], q[3]);
      break;
  }
  return t;
}

// vJ in motion-vector order (angular first).
inline Vec6 joint_velocity(const Joint& joint, const Vec3& u, const double* v) {
  Vec6 out = Vec6::Zero();
  switch (joint.joint_type) {
    case JointType::Fixed:
      break;
    case JointType::Revolute:
    case JointType::Continuous:
      out.head<3>() = v[0] * u;
      break;
    case JointType::Prismatic:
      out.tail<3>() = v[0] * u;
      break;
    case JointType::Planar:
      out << 0.0, 0.0, v[2], v[0], v[1], 0.0;
      break;
    case JointType::Floating:
      out << v[3], v[4], v[5], v[0], v[1], v[2];
      break;
    case JointType::Spherical:
      out << v[0], v[1], v[2], 0.0, 0.0, 0.0;
      break;
  }
  return out;
}

// Column k of the motion subspace (motion-column order, linear first).
inline Vec6 subspace_column(const Joint& joint, const Vec3& u, std::size_t k) {
  Vec6 s = Vec6::Zero();
  switch (joint.joint_type) {
    case JointType::Fixed:
      break;
    case JointType::Revolute:
    case JointType::Continuous:
      s.tail<3>() = u;
      break;
    case JointType::Prismatic:
      s.head<3>() = u;
      break;
    case JointType::Planar:
      s[k == 2 ? 5 : k] = 1.0;
      break;
    case JointType::Floating:
      s[static_cast<Eigen::Index>(k)] = 1.0;
      break;
    case JointType::Spherical:
      s[static_cast<Eigen::Index>(3 + k)] = 1.0;
      break;
  }
  return s;
}

}  // namespace trelvar::detail

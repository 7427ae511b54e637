#include "trelvar/joint.hpp"

#include <ostream>
#include <string>

#include "kernel.hpp"
#include "trelvar/error.hpp"

namespace trelvar {

const char* joint_type_name(JointType type) {
  switch (type) {
    case JointType::Fixed: return "Fixed";
    case JointType::Revolute: return "Revolute";
    case JointType::Continuous: return "Continuous";
    case JointType::Prismatic: return "Prismatic";
    case JointType::Planar: return "Planar";
    case JointType::Floating: return "Floating";
    case JointType::Spherical: return "Spherical";
  }
  return "Unknown";
}

std::ostream& operator<<(std::ostream& os, JointType type) { return os << joint_type_name(type); }

Joint Joint::create(JointType type, const Vec3& axis) {
  Joint j;
  j.joint_type = type;
  const bool keeps_axis = type == JointType::Revolute || type == JointType::Continuous ||
                          type == JointType::Prismatic || type == JointType::Planar;
  j.axis = keeps_axis ? axis : Vec3::Zero();
  j.nq = joint_nq(type);
  j.nv = joint_nv(type);
  return j;
}

namespace {
void require_slice(const char* what, Eigen::Index size, std::size_t idx, std::size_t n) {
  if (idx > static_cast<std::size_t>(size) || n > static_cast<std::size_t>(size) - idx) {
    throw Error(std::string(what) + " slice out of bounds: start " + std::to_string(idx) +
                ", length " + std::to_string(n) + ", vector size " + std::to_string(size));
  }
}
}  // namespace

SE3 compute_joint_transform(const Joint& joint, const Eigen::Ref<const VectorX>& q,
                            std::size_t idx) {
  const std::size_t nq = joint_nq(joint.joint_type);
  require_slice("Configuration", q.size(), idx, nq);
  return nq == 0 ? SE3::identity() : detail::joint_transform(joint, detail::joint_unit_axis(joint), q.data() + idx);
}

MotionSubspace compute_joint_motion_subspace(const Joint& joint) {
  const std::size_t nv = joint_nv(joint.joint_type);
  MotionSubspace s(6, static_cast<Eigen::Index>(nv));
  const Vec3 u = detail::joint_unit_axis(joint);
  for (std::size_t k = 0; k < nv; ++k) {
    s.col(static_cast<Eigen::Index>(k)) = detail::subspace_column(joint, u, k);
  }
  return s;
}

Vec6 compute_joint_velocity(const Joint& joint, const Eigen::Ref<const VectorX>& v,
                            std::size_t idx) {
  const std::size_t nv = joint_nv(joint.joint_type);
  require_slice("Velocity", v.size(), idx, nv);
  return nv == 0 ? Vec6::Zero() : detail::joint_velocity(joint, detail::joint_unit_axis(joint), v.data() + idx);
}

}  // namespace trelvar

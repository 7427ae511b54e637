// The public joint functions: the kind table's lookups, the Joint record and
// the checked forms of the joint kinds' transform, subspace and motion.
#include "trelvar/joint.hpp"

#include <ostream>
#include <string>

#include "joint_kinds.hpp"
#include "trelvar/error.hpp"

namespace trelvar {

std::optional<JointType> joint_type_from_label(std::string_view label) {
  for (const JointKindInfo& kind : kJointKinds) {
    if (label == kind.label) return kind.type;
  }
  return std::nullopt;
}

const char* joint_type_name(JointType type) {
  const JointKindInfo* info = joint_kind_info(type);
  return info != nullptr ? info->name : "Unknown";
}

std::ostream& operator<<(std::ostream& os, JointType type) {
  return os << joint_type_name(type);
}

Joint Joint::create(JointType type, const Vec3& axis) {
  Joint j;
  j.joint_type = type;
  const JointKindInfo* info = joint_kind_info(type);
  j.axis = info != nullptr && info->keeps_axis ? axis : Vec3::Zero();
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

// The unit axis as Model::add_joint derives it.
struct JointAxis {
  Vec3 u;
  explicit JointAxis(const Joint& joint) : u(detail::joint_unit_axis(joint)) {}
  detail::UnitAxis unit() const { return {u, -1}; }
};

}  // namespace

SE3 compute_joint_transform(const Joint& joint, const Eigen::Ref<const VectorX>& q,
                            std::size_t idx) {
  const std::size_t nq = joint_nq(joint.joint_type);
  require_slice("Configuration", q.size(), idx, nq);
  if (nq == 0) return SE3::identity();
  const JointAxis axis(joint);
  return detail::joint_transform(joint.joint_type, axis.unit(), q.data() + idx);
}

MotionSubspace compute_joint_motion_subspace(const Joint& joint) {
  const std::size_t nv = joint_nv(joint.joint_type);
  MotionSubspace s(6, static_cast<Eigen::Index>(nv));
  const JointAxis axis(joint);
  for (std::size_t k = 0; k < nv; ++k) {
    const detail::Motion<> column = detail::subspace_column(joint.joint_type, axis.unit(), k);
    detail::store_column(s.col(static_cast<Eigen::Index>(k)).data(), column);
  }
  return s;
}

Vec6 compute_joint_velocity(const Joint& joint, const Eigen::Ref<const VectorX>& v,
                            std::size_t idx) {
  const std::size_t nv = joint_nv(joint.joint_type);
  require_slice("Velocity", v.size(), idx, nv);
  Vec6 out = Vec6::Zero();
  if (nv == 0) return out;
  const JointAxis axis(joint);
  detail::store(out, detail::joint_motion(joint.joint_type, axis.unit(), v.data() + idx));
  return out;
}

}  // namespace trelvar

// Joint kinds, the per-joint record and the joint kinematics kernel: the
// joint transform from q, the motion subspace and the joint velocity from v.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string_view>

#include "trelvar/spatial.hpp"

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar {

enum class JointType : std::uint8_t {
  Fixed = 0,
  Revolute = 1,
  Continuous = 2,
  Prismatic = 3,
  Planar = 4,
  Floating = 5,
  Spherical = 6,
};

// Names and sizes of each kind, one entry per JointType value in value order.
// `name` is the printed name (exactly the enumerator's name); `label` is the
// lower-case name a URDF joint's type attribute uses, which Model.add_joint
// in Python takes too; `keeps_axis` says whether a Joint record stores the
// axis it is given, `reads_axis` whether the kind's transform and motion
// subspace use it (normalised).
struct JointKindInfo {
  JointType type;
  const char* name;
  const char* label;
  std::size_t nq;
  std::size_t nv;
  bool keeps_axis;
  bool reads_axis;
};

inline constexpr JointKindInfo kJointKinds[] = {
    {JointType::Fixed, "Fixed", "fixed", 0, 0, false, false},
    {JointType::Revolute, "Revolute", "revolute", 1, 1, true, true},
    {JointType::Continuous, "Continuous", "continuous", 2, 1, true, true},
    {JointType::Prismatic, "Prismatic", "prismatic", 1, 1, true, true},
    {JointType::Planar, "Planar", "planar", 4, 3, true, false},
    {JointType::Floating, "Floating", "floating", 7, 6, false, false},
    {JointType::Spherical, "Spherical", "spherical", 4, 3, false, false},
};

// The table entry of a kind; nullptr for a value outside the enumeration.
constexpr const JointKindInfo* joint_kind_info(JointType type) {
  const auto k = static_cast<std::size_t>(type);
  return k < sizeof kJointKinds / sizeof kJointKinds[0] ? &kJointKinds[k] : nullptr;
}

// The kind whose label is `label` ("revolute", ...), if any.
std::optional<JointType> joint_type_from_label(std::string_view label);

// The printed name: exactly the enumerator's name ("Fixed", "Revolute", ...).
const char* joint_type_name(JointType type);
std::ostream& operator<<(std::ostream& os, JointType type);

// (nq, nv) of each kind (0 outside the enumeration).
// (Indexed, not through joint_kind_info: a pointer compared with nullptr is
// not a constant expression under GCC's undefined-behaviour sanitizer.)
constexpr std::size_t joint_nq(JointType type) {
  const auto k = static_cast<std::size_t>(type);
  return k < sizeof kJointKinds / sizeof kJointKinds[0] ? kJointKinds[k].nq : 0;
}
constexpr std::size_t joint_nv(JointType type) {
  const auto k = static_cast<std::size_t>(type);
  return k < sizeof kJointKinds / sizeof kJointKinds[0] ? kJointKinds[k].nv : 0;
}

// Per-joint record. nq and nv always come from the kind; the axis is kept only
// for the kinds that carry one (Revolute, Continuous, Prismatic, Planar) and is
// (0, 0, 0) for the others.
struct Joint {
  JointType joint_type = JointType::Fixed;
  Vec3 axis = Vec3::Zero();
  std::size_t nq = 0;
  std::size_t nv = 0;

  static Joint create(JointType type, const Vec3& axis = Vec3::Zero());
};

// Motion subspace: 6 x nv with nv <= 6, rows in motion-column order (linear
// rows 0-2, angular rows 3-5). Fixed capacity, so building one never allocates.
using MotionSubspace = Eigen::Matrix<double, 6, Eigen::Dynamic, Eigen::ColMajor, 6, 6>;

// Placement of the joint's moving frame in its fixed frame for the joint's
// slice of q starting at idx. Throws when q holds fewer than idx + nq values.
SE3 compute_joint_transform(const Joint& joint, const Eigen::Ref<const VectorX>& q,
                            std::size_t idx);

// The 6 x nv motion subspace S of the joint.
MotionSubspace compute_joint_motion_subspace(const Joint& joint);

// Joint velocity vJ = S v_slice in motion-vector order (angular first), for the
// joint's slice of v starting at idx. Throws when v holds fewer than idx + nv.
Vec6 compute_joint_velocity(const Joint& joint, const Eigen::Ref<const VectorX>& v,
                            std::size_t idx);

}  // namespace trelvar

#pragma GCC visibility pop

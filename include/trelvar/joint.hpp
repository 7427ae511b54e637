// Joint kinds, the per-joint record and the joint kinematics kernel: the
// joint transform from q, the motion subspace and the joint velocity from v.
#pragma once

#include <cstdint>
#include <iosfwd>

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

// The printed name: exactly the enumerator's name ("Fixed", "Revolute", ...).
const char* joint_type_name(JointType type);
std::ostream& operator<<(std::ostream& os, JointType type);

// (nq, nv) of each kind.
constexpr std::size_t joint_nq(JointType type) {
  switch (type) {
    case JointType::Fixed: return 0;
    case JointType::Revolute: return 1;
    case JointType::Continuous: return 2;
    case JointType::Prismatic: return 1;
    case JointType::Planar: return 4;
    case JointType::Floating: return 7;
    case JointType::Spherical: return 4;
  }
  return 0;
}
constexpr std::size_t joint_nv(JointType type) {
  switch (type) {
    case JointType::Fixed: return 0;
    case JointType::Revolute: return 1;
    case JointType::Continuous: return 1;
    case JointType::Prismatic: return 1;
    case JointType::Planar: return 3;
    case JointType::Floating: return 6;
    case JointType::Spherical: return 3;
  }
  return 0;
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

// Joint Jacobians, frame Jacobians in three reference frames and their time
// variation. Jacobian columns are motion columns: rows 0-2 linear, 3-5 angular.
#pragma once

#include <cstdint>

#include "trelvar/data.hpp"
#include "trelvar/model.hpp"

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar {

enum class ReferenceFrame : std::uint8_t {
  WORLD = 0,
  LOCAL = 1,
  LOCAL_WORLD_ALIGNED = 2,
};

// Forward kinematics, then every column of data.j: the world-frame motion that a
// unit rate of each velocity coordinate produces.
void compute_joint_jacobians(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q);

// The 6 x nv Jacobian of one joint expressed in that joint's own frame; walks
// only the joint's support chain (writes limi of the chain).
Matrix6X compute_joint_jacobian(const Model& model, Data& data,
                                const Eigen::Ref<const VectorX>& q, std::size_t joint_id);

// Kinematics with velocities: limi, omi, v, ov, the world Jacobian j and its
// time variation dJ.
void compute_joint_jacobians_time_variation(const Model& model, Data& data,
                                            const Eigen::Ref<const VectorX>& q,
                                            const Eigen::Ref<const VectorX>& v);

// The Jacobian of `joint` cut out of data.j, in the requested reference frame.
Matrix6X get_frame_jacobian(const Model& model, const Data& data, std::size_t joint,
                            ReferenceFrame reference_frame);

// The time variation of the Jacobian of frame `frame_id`, from data.dJ, data.j,
// data.v and data.ov, in the requested reference frame.
Matrix6X get_frame_jacobian_time_variation(const Model& model, const Data& data,
                                           std::size_t frame_id, ReferenceFrame reference_frame);

}  // namespace trelvar

#pragma GCC visibility pop

// Steps shared by the recursive algorithms (internal).
#pragma once

#include <string>

#include "kernel.hpp"
#include "trelvar/data.hpp"
#include "trelvar/error.hpp"
#include "trelvar/model.hpp"

namespace trelvar::detail {

inline void check_configuration(const Model& model, Eigen::Index size) {
  if (static_cast<std::size_t>(size) != model.nq) {
    throw Error(configuration_size_message(model.nq, static_cast<std::size_t>(size)));
  }
}

inline void check_velocity(const Model& model, Eigen::Index size) {
  if (static_cast<std::size_t>(size) != model.nv) {
    throw Error(velocity_size_message(model.nv, static_cast<std::size_t>(size)));
  }
}

// The body inertia of joint i; a joint beyond the inertia list carries none.
inline const Inertia& body_inertia(const Model& model, std::size_t i) {
  static const Inertia kZero;
  return i < model.inertias.size() ? model.inertias[i] : kZero;
}

// limi[i] = placements[i] * T(q), omi[i] = omi[parent] * limi[i] (a child of
// the universe gets limi[i] itself). A joint transform without translation
// (rotations) or without rotation (Prismatic) leaves that part of the placement
// as it is, so only the other part is multiplied out.
inline void placement_step(const Model& model, Data& data, std::size_t i, const double* q) {
  const Joint& joint = model.joints[i];
  const SE3& fixed = model.placements[i];
  SE3& limi = data.limi[i];
  const double* qi = q + model.idx_qs[i];
  switch (joint.joint_type) {
    case JointType::Fixed:
      limi = fixed;
      break;
    case JointType::Revolute:
    case JointType::Continuous:
    case JointType::Spherical:
      limi.rotation = matmul(fixed.rotation, joint_transform(joint, model.unit_axes[i], qi).rotation);
      limi.translation = fixed.translation;
      break;
    case JointType::Prismatic:
      limi.rotation = fixed.rotation;
      limi.translation = mul(fixed.rotation, qi[0] * model.unit_axes[i]) + fixed.translation;
      break;
    default:
      limi = fixed.compose(joint_transform(joint, model.unit_axes[i], qi));
      break;
  }
  const std::size_t p = model.parents[i];
  data.omi[i] = p != 0 ? data.omi[p].compose(limi) : limi;
}

// Calls f(first, count) for each run of consecutive velocity coordinates of the
// subtree of joint i (i >= 1): one run when the subtree occupies consecutive
// joint indices, otherwise one run per joint of the subtree.
template <class F>
inline void for_each_subtree_run(const Model& model, std::size_t i, F&& f) {
  if (model.subtree_is_consecutive(i)) {
    if (model.nv_subtree[i] > 0) f(model.idx_vs[i], model.nv_subtree[i]);
    return;
  }
  for (std::size_t k : model.subtrees[i]) {
    if (model.nvs[k] > 0) f(model.idx_vs[k], model.nvs[k]);
  }
}

// Fills columns idx_vs[i] .. of data.j with the world-frame subspace columns of
// joint i, whose placement omi[i] is already computed.
inline void world_jacobian_columns(const Model& model, Data& data, std::size_t i) {
  const Joint& joint = model.joints[i];
  const std::size_t b = model.idx_vs[i];
  const auto ncols = static_cast<std::size_t>(data.j.cols());
  for (std::size_t k = 0; k < model.nvs[i]; ++k) {
    if (b + k >= ncols) break;
    data.j.col(static_cast<Eigen::Index>(b + k)) = act_column(data.omi[i], subspace_column(joint, model.unit_axes[i], k));
  }
}

// One joint of the velocity sweep shared by the Jacobian time variation and
// the Coriolis matrix: limi[i], omi[i], the body velocity v[i] (a child of the
// universe takes its joint velocity alone), its world form ov[i], and the
// joint's columns of j and of dJ = ov[i] x j (columns past a matrix's width
// are left out).
inline void velocity_jacobian_step(const Model& model, Data& data, std::size_t i, const double* q,
                                   const double* v) {
  placement_step(model, data, i, q);
  const std::size_t p = model.parents[i];
  const Joint& joint = model.joints[i];
  const Vec3& u = model.unit_axes[i];
  Vec6 vi = p != 0 ? act_inv_motion(data.limi[i], data.v[p]) : Vec6::Zero();
  if (model.nvs[i] > 0) vi += joint_velocity(joint, u, v + model.idx_vs[i]);
  data.v[i] = vi;
  data.ov[i] = act_motion(data.omi[i], vi);
  const std::size_t b = model.idx_vs[i];
  const auto jcols = static_cast<std::size_t>(data.j.cols());
  const auto dcols = static_cast<std::size_t>(data.dJ.cols());
  for (std::size_t k = 0; k < model.nvs[i]; ++k) {
    const auto c = static_cast<Eigen::Index>(b + k);
    if (b + k < jcols) data.j.col(c) = act_column(data.omi[i], subspace_column(joint, u, k));
    if (b + k < dcols) data.dJ.col(c) = cross_motion_column(data.ov[i], data.j.col(c));
  }
}

// The whole velocity sweep of the Jacobian time variation (j and dJ cleared
// first), for inputs already checked.
void velocity_jacobian_pass(const Model& model, Data& data, const double* q, const double* v);

// Forward kinematics and every column of the world Jacobian in one sweep.
void kinematics_and_jacobian(const Model& model, Data& data, const double* q);

}  // namespace trelvar::detail

// Steps shared by the recursive algorithms (internal).
#pragma once

#include <cmath>
#include <string>

#include "kernel.hpp"
#include "motion.hpp"
#include "pairs.hpp"
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

// The joint angle of a Revolute (q) or Continuous ((cos, sin) pair) joint.
inline double joint_angle(JointType type, const double* q) {
  return type == JointType::Revolute ? q[0] : std::atan2(q[1], q[0]);
}

// Sine and cosine of the angle of every joint that turns about a coordinate
// axis (Revolute or Continuous with axis_index >= 0) into data.work.sincos,
// for placement_step<true>. Taken in a loop of their own, ahead of a sweep, the
// calls overlap and the sweep calls nothing, so its values stay in registers:
// this pays where the sweep carries much per joint (inverse dynamics), not in
// the lighter sweeps.
inline void joint_sines(const Model& model, Data& data, const double* q) {
  const std::size_t n = model.njoints;
  const Joint* joints = model.joints.data();
  const std::int8_t* axes = model.axis_index.data();
  const std::size_t* idx_qs = model.idx_qs.data();
  std::array<double, 2>* out = data.work.sincos.data();
  for (std::size_t i = 1; i < n; ++i) {
    const JointType type = joints[i].joint_type;
    if ((type == JointType::Revolute || type == JointType::Continuous) && axes[i] >= 0) {
      sin_cos(joint_angle(type, q + idx_qs[i]), out[i][0], out[i][1]);
    }
  }
}

// Does nothing: the continuation of placement_step for callers that only
// want the placements.
struct NoNext {
  template <class Rot>
  void operator()(const Rot&, const Vec3&) const {}
};

// limi[i] = placements[i] * T(q), omi[i] = omi[parent] * limi[i] (a child of
// the universe gets limi[i] itself). A joint transform without translation
// (rotations) or without rotation (Prismatic) leaves that part of the placement
// as it is, so only the other part is multiplied out; a rotation about a
// coordinate axis is multiplied column by column (AxisRotation).
//
// Then calls next(rotation, translation) with limi[i] in its cheapest form: an
// AxisRotation<k> when limi[i].rotation is a rotation about the coordinate axis
// k (a Revolute or Continuous joint about +-e_k with an unrotated placement),
// otherwise FullRotation{limi[i].rotation}. Returns that k, or -1.
// Such a joint's sine and cosine are computed here, or with kSinesAhead read
// from what joint_sines left in data.work.sincos.
template <bool kSinesAhead = false, class Next = NoNext>
[[gnu::always_inline]] inline int placement_step(const Model& model, Data& data, std::size_t i,
                                                 const double* q, Next&& next = Next()) {
  const Joint& joint = model.joints[i];
  const SE3& fixed = model.placements[i];
  SE3& limi = data.limi[i];
  const double* qi = q + model.idx_qs[i];
  const std::size_t p = model.parents[i];
  switch (joint.joint_type) {
    case JointType::Fixed:
      limi = fixed;
      break;
    case JointType::Revolute:
    case JointType::Continuous: {
      const Vec3& u = model.unit_axes[i];
      const int k = model.axis_index[i];
      if (k < 0) {
        limi.rotation = matmul(fixed.rotation, joint_transform(joint, u, qi).rotation);
        limi.translation = fixed.translation;
        break;
      }
      const double angle = kSinesAhead ? 0.0 : joint_angle(joint.joint_type, qi);
      limi.translation = fixed.translation;
      const bool plain = is_identity(fixed.rotation);
      double sine = 0.0, cosine = 1.0;
      if constexpr (kSinesAhead) {
        sine = data.work.sincos[i][0];
        cosine = data.work.sincos[i][1];
      } else {
        sin_cos(angle, sine, cosine);
      }
      with_axis_rotation(k, cosine, u[k] * sine, [&](const auto& r) {
        if (!plain) {
          limi.rotation = r.right_of(fixed.rotation);
          return;
        }
        limi.rotation = r.matrix();
        if (p == 0) {
          data.omi[i] = limi;
        } else {
          const SE3& parent = data.omi[p];
          SE3& omi = data.omi[i];
          omi.rotation = r.right_of(parent.rotation);
          omi.translation = mul(parent.rotation, fixed.translation);
          omi.translation += parent.translation;
        }
        next(r, fixed.translation);
      });
      if (plain) return k;
      break;
    }
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
  data.omi[i] = p != 0 ? data.omi[p].compose(limi) : limi;
  next(FullRotation{limi.rotation}, limi.translation);
  return -1;
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

// Writes column k of joint i's motion subspace acted on by its world placement
// omi[i], act_column(omi[i], subspace_column(...)), to the six doubles at out
// (a column of j, written in place: assigning a Vec6 to a column of the
// dynamic-width j costs more than the column itself). A one-column joint
// about +-e_a only reads column a of the rotation (the other products are with
// exact zeros, so the values are the same).
inline void world_subspace_column(const Model& model, const Data& data, std::size_t i,
                                  std::size_t k, double* out) {
  const JointType type = model.joints[i].joint_type;
  const Vec3& u = model.unit_axes[i];
  const SE3& x = data.omi[i];
  const bool rotation = type == JointType::Revolute || type == JointType::Continuous;
  const int axis = model.axis_index[i];
  if (axis >= 0 && (rotation || type == JointType::Prismatic)) {
    const double sign = u[axis];
    const Vec3 ru(x.rotation(0, axis) * sign, x.rotation(1, axis) * sign,
                  x.rotation(2, axis) * sign);
    const Vec3 top = rotation ? cross(x.translation, ru) : ru;
    for (int r = 0; r < 3; ++r) {
      out[r] = top[r];
      out[3 + r] = rotation ? ru[r] : 0.0;
    }
    return;
  }
  const Vec6 c = act_column(x, subspace_column(model.joints[i], u, k));
  for (int r = 0; r < 6; ++r) out[r] = c[r];
}

// Fills columns idx_vs[i] .. of data.j with the world-frame subspace columns of
// joint i, whose placement omi[i] is already computed.
inline void world_jacobian_columns(const Model& model, Data& data, std::size_t i) {
  const std::size_t b = model.idx_vs[i];
  const auto ncols = static_cast<std::size_t>(data.j.cols());
  for (std::size_t k = 0; k < model.nvs[i] && b + k < ncols; ++k) {
    world_subspace_column(model, data, i, k, data.j.data() + 6 * (b + k));
  }
}

// One joint of the velocity sweep shared by the Jacobian time variation and
// the Coriolis matrix: limi[i], omi[i], the body velocity v[i] (a child of the
// universe takes its joint velocity alone), its world form ov[i], and the
// joint's columns of j and of dJ = ov[i] x j (columns past a matrix's width
// are left out).
inline void velocity_jacobian_step(const Model& model, Data& data, std::size_t i, const double* q,
                                   const double* v) {
  const std::size_t p = model.parents[i];
  data.work.axis[i] = static_cast<std::int8_t>(placement_step(model, data, i, q, [&](const auto& rot, const Vec3& t) {
    Motion vi = Motion::zero();
    if (p != 0) vi = inv_act(rot, t, load(data.v[p]));
    if (model.nvs[i] > 0) vi += joint_motion(model.joints[i].joint_type, model.unit_axes[i], v + model.idx_vs[i]);
    store(data.v[i], vi);
  }));
  act_motion_paired(data.omi[i], data.v[i], data.ov[i]);
  const std::size_t b = model.idx_vs[i];
  const auto jcols = static_cast<std::size_t>(data.j.cols());
  const auto dcols = static_cast<std::size_t>(data.dJ.cols());
  for (std::size_t k = 0; k < model.nvs[i] && b + k < jcols; ++k) {
    double* column = data.j.data() + 6 * (b + k);
    world_subspace_column(model, data, i, k, column);
    if (b + k < dcols) cross_motion_column_paired(data.ov[i], column, data.dJ.data() + 6 * (b + k));
  }
}

// The whole velocity sweep of the Jacobian time variation (every column of j
// and dJ written), for inputs already checked.
void velocity_jacobian_pass(const Model& model, Data& data, const double* q, const double* v);

// Forward kinematics and every column of the world Jacobian in one sweep.
void kinematics_and_jacobian(const Model& model, Data& data, const double* q);

}  // namespace trelvar::detail

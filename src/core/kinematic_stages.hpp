// Stages that several passes share (internal): the input checks, the
// placement of a joint, the body velocity, the world-frame Jacobian columns
// and the coordinate ranges of a subtree.
//
// Notation in the comments: X_i = limi[i], the placement of joint i in its
// parent; oX_i = omi[i], in the world; X_T(i) the fixed placement, X_J(q_i)
// the joint transform; S_i the motion subspace; p the parent.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "joint_kinds.hpp"
#include "spatial/inertia.hpp"
#include "spatial/motion.hpp"
#include "spatial/rotation.hpp"
#include "trelvar/data.hpp"
#include "trelvar/error.hpp"
#include "trelvar/model.hpp"

namespace trelvar::detail {

// ---------------------------------------------------------------------------
// Inputs.

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

// Any other input vector: "Torque vector size mismatch: expected 7, got 6".
inline void check_vector(const char* what, std::size_t expected, Eigen::Index got) {
  if (static_cast<std::size_t>(got) != expected) {
    throw Error(std::string(what) + " vector size mismatch: expected " + std::to_string(expected) +
                ", got " + std::to_string(got));
  }
}

// The inertia of a joint beyond the model's inertia list: none.
inline const Inertia kNoInertia{};

// The body inertia of joint i.
inline const Inertia& body_inertia(const Model& model, std::size_t i) {
  return i < model.inertias.size() ? model.inertias[i] : kNoInertia;
}

// ---------------------------------------------------------------------------
// Placement: X_i = X_T(i) X_J(q_i), oX_i = oX_p X_i.

// Where place_joint finds the sine and cosine of a joint about a coordinate
// axis: SinesAhead takes them for all joints ahead of the sweep, four angles
// at a time (sine_cosine.hpp), so that the sweep calls nothing, keeps its
// values in registers and does not wait for them.
class SinesAhead {
 public:
  // Fills `store` (one entry per joint) for the configuration q.
  // The angles go four at a time to the vector sin_cos.
  SinesAhead(const Model& model, const double* q, std::vector<std::array<double, 2>>& store)
      : values_(store.data()) {
    double x[4] = {}, s[4], c[4];
    std::size_t joint[4];
    int n = 0;
    const auto flush = [&] {
      sin_cos(x, s, c);
      for (int j = 0; j < n; ++j) store[joint[j]] = {s[j], c[j]};
      n = 0;
    };
    for (std::size_t i = 1; i < model.njoints; ++i) {
      const JointType type = model.joints[i].joint_type;
      if (rotates_about_axis(type) && model.axis_index[i] >= 0) {
        joint[n] = i;
        x[n] = rotation_angle(type, q + model.idx_qs[i]);
        if (++n == 4) flush();
      }
    }
    if (n > 0) flush();
  }
  // The values a SinesAhead left in `store` for the same configuration.
  static SinesAhead kept(const std::vector<std::array<double, 2>>& store) {
    return SinesAhead(store.data());
  }
  void get(std::size_t i, JointType, const double*, double& s, double& c) const {
    s = values_[i][0];
    c = values_[i][1];
  }

 private:
  explicit SinesAhead(const std::array<double, 2>* values) : values_(values) {}
  const std::array<double, 2>* values_;
};

// Writes limi[i] = X_T(i) X_J(q_i) and omi[i] = omi[p] limi[i] (a child of the
// universe takes limi[i] itself), then hands limi[i] to next in its cheapest
// form, which it also returns for the stages after this one (see
// with_placement): an AxisPlacement<k> and k for a Revolute or Continuous
// joint about +-e_k whose fixed placement has no rotation, else the SE3 and
// -1. A joint transform without translation or without rotation leaves that
// part of the fixed placement as it is (compose() for its shape); a rotation
// about a coordinate axis is multiplied column by column.
//
// The placements go to Data's limi and omi, or to the buffers a pass keeps
// for itself (Placements); a pass without world placements leaves omi null.
struct Placements {
  SE3* limi;
  SE3* omi;
};

template <class Sines, class Next>
[[gnu::always_inline]] inline int place_joint(const Model& model, Placements out, std::size_t i,
                                              const double* q, const Sines& sines, Next&& next) {
  const JointType type = model.joints[i].joint_type;
  const SE3& fixed = model.placements[i];
  SE3& limi = out.limi[i];
  SE3* omi = out.omi != nullptr ? out.omi + i : nullptr;
  const std::size_t p = model.parents[i];
  const double* qi = q + model.idx_qs[i];
  const int k = model.axis_index[i];
  if (k >= 0 && rotates_about_axis(type)) {
    // X_J: the rotation about e_k by the joint angle, the sign of a -e_k axis
    // folded into the sine.
    double sine = 0.0, cosine = 1.0;
    sines.get(i, type, qi, sine, cosine);
    const bool plain = is_identity(fixed.rotation);
    with_axis_rotation(k, cosine, model.unit_axes[i][k] * sine, [&](const auto& r) {
      if (!plain) {
        limi = compose(fixed, r);
        return;
      }
      // X_T has no rotation: X_i = (R_k, t_T).
      const AxisPlacement<std::decay_t<decltype(r)>::k> x{r, fixed.translation};
      limi = to_se3(x);
      if (omi != nullptr) *omi = p != 0 ? compose(out.omi[p], x) : limi;
      next(x);
    });
    if (plain) return k;
  } else {
    limi = joint_placement(type, fixed, joint_axis(model, i), qi);
  }
  if (omi != nullptr) *omi = p != 0 ? compose(out.omi[p], limi) : limi;
  next(static_cast<const SE3&>(limi));
  return -1;
}

template <class Sines, class Next>
[[gnu::always_inline]] inline int place_joint(const Model& model, Data& data, std::size_t i,
                                              const double* q, const Sines& sines, Next&& next) {
  return place_joint(model, Placements{data.limi.data(), data.omi.data()}, i, q, sines,
                     std::forward<Next>(next));
}

// Hands the placement x to f in the form place_joint returned for it.
template <class F>
inline decltype(auto) with_placement(int form, const SE3& x, F&& f) {
  switch (form) {
    case 0:
      return f(AxisPlacement<0>{AxisRotation<0>::of(x.rotation), x.translation});
    case 1:
      return f(AxisPlacement<1>{AxisRotation<1>::of(x.rotation), x.translation});
    case 2:
      return f(AxisPlacement<2>{AxisRotation<2>::of(x.rotation), x.translation});
    default:
      return f(x);
  }
}

// ---------------------------------------------------------------------------
// World-frame Jacobian columns: J_c = oX_i S_i[k] for the coordinates
// c = idx_vs[i] + k of joint i (columns past the matrix width left out).

inline void world_jacobian_columns(const Model& model, Data& data, std::size_t i) {
  const std::size_t b = model.idx_vs[i];
  const auto ncols = static_cast<std::size_t>(data.j.cols());
  const JointType type = model.joints[i].joint_type;
  const UnitAxis axis = joint_axis(model, i);
  for (std::size_t k = 0; k < model.nvs[i] && b + k < ncols; ++k) {
    store_column(data.j.data() + 6 * (b + k), act_on_column(data.omi[i], type, axis, k));
  }
}

// One joint of the velocity sweep shared by the Jacobian time variation, the
// combined pass and the Coriolis matrix:
//   X_i, oX_i                 (place_joint)
//   v_i  = X_i^-1 v_p + S_i qd_i   (a child of the universe: S_i qd_i)
//   ov_i = oX_i v_i
//   J_c  = oX_i S_i[k],  dJ_c = ov_i x J_c   for the joint's coordinates c.
// Returns the form of X_i (place_joint).
template <class Sines>
[[gnu::always_inline]] inline int velocity_step(const Model& model, Data& data, std::size_t i,
                                                const double* q, const double* v,
                                                const Sines& sines) {
  const std::size_t p = model.parents[i];
  const JointType type = model.joints[i].joint_type;
  const UnitAxis axis = joint_axis(model, i);
  const int form = place_joint(model, data, i, q, sines, [&](const auto& x) {
    Motion<> vi = zero_motion();
    if (p != 0) vi = act_inv(x, motion_of(data.v[p]));
    if (model.nvs[i] > 0) vi += joint_motion(type, axis, v + model.idx_vs[i]);
    store(data.v[i], vi);
  });
  const Motion<> ov = act(data.omi[i], motion_of(data.v[i]));
  store(data.ov[i], ov);
  const std::size_t b = model.idx_vs[i];
  const auto jcols = static_cast<std::size_t>(data.j.cols());
  const auto dcols = static_cast<std::size_t>(data.dJ.cols());
  for (std::size_t k = 0; k < model.nvs[i] && b + k < jcols; ++k) {
    double* column = data.j.data() + 6 * (b + k);
    store_column(column, act_on_column(data.omi[i], type, axis, k));
    if (b + k < dcols)
      store_column(data.dJ.data() + 6 * (b + k),
                   cross(motion_of(data.ov[i]), motion_of_column(column)));
  }
  return form;
}

// ---------------------------------------------------------------------------
// Coordinates of a subtree.

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

// prev[c]: the previous coordinate on the support chain of coordinate c (the
// last coordinate of the nearest moving ancestor for a joint's first
// coordinate), -1 at the root. Following prev from a joint's first coordinate
// visits every coordinate of its strict ancestors, deepest first.
inline void support_chains(const Model& model, std::vector<std::int32_t>& prev) {
  for (std::size_t i = 1; i < model.njoints; ++i) {
    if (model.nvs[i] == 0) continue;
    const std::size_t s = model.idx_vs[i];
    prev[s] = -1;
    for (std::size_t a = model.parents[i]; a != 0; a = model.parents[a]) {
      if (model.nvs[a] > 0) {
        prev[s] = static_cast<std::int32_t>(model.idx_vs[a] + model.nvs[a] - 1);
        break;
      }
    }
    for (std::size_t k = 1; k < model.nvs[i]; ++k) {
      prev[s + k] = static_cast<std::int32_t>(s + k - 1);
    }
  }
}

// ---------------------------------------------------------------------------
// Whole sweeps that several algorithms start with (jacobians.cpp).

// Forward kinematics and every column of the world Jacobian.
void kinematics_and_jacobian(const Model& model, Data& data, const double* q);

// velocity_step for every joint (every column of j and dJ written); the form
// of each X_i goes to forms[i] when forms is not null.
void velocity_jacobian_pass(const Model& model, Data& data, const double* q, const double* v,
                            std::int8_t* forms = nullptr);

}  // namespace trelvar::detail

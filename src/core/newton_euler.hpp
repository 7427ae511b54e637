// The recursive Newton-Euler algorithm (internal), into buffers the caller
// names (inverse_dynamics.cpp names Data's own).
//
// With a_0 = -g (gravity enters as an acceleration of the base):
//   forward sweep, parents first:
//     X_i (and oX_i when kept)                   place_joint
//     v_i = X_i^-1 v_p + S_i qd_i
//     a_i = X_i^-1 a_p + S_i qdd_i + v_i x S_i qd_i
//     f_i = I_i a_i + v_i x* I_i v_i
//   backward sweep, children first:
//     tau_i = S_i^T f_i
//     f_p  += X_i f_i
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "joint_kinds.hpp"
#include "kinematic_stages.hpp"
#include "spatial/inertia.hpp"
#include "spatial/motion.hpp"

namespace trelvar::detail {

// Where one run writes: per joint the placements (omi may be null), v_i, a_i,
// f_i and the form of X_i; per velocity coordinate tau; sincos is the store of
// SinesAhead.
struct NewtonEulerBuffers {
  Placements placements;
  Vec6* v;
  Vec6* a;
  Vec6* f;
  std::int8_t* forms;
  double* tau;
  std::vector<std::array<double, 2>>* sincos;
};

// The two stages of one joint. v is read when kVelocity and a when
// kAcceleration; otherwise each is a zero vector (and may be null).
// kVelocity = false is the gravity pass: every body velocity is zero and the
// velocity products (all exact zeros) are left out.
template <bool kVelocity, bool kAcceleration>
struct NewtonEuler {
  const Model& model;
  const NewtonEulerBuffers& out;
  const double* v;
  const double* a;

  // v_i, a_i and f_i from the parent's v_p, a_p through X = X_i. Velocity and
  // acceleration travel side by side (lanes 0 and 1) through the transform and
  // the inertia.
  template <class X>
  [[gnu::always_inline]] void forward(std::size_t i, const X& x) const {
    const std::size_t p = model.parents[i];
    const JointType type = model.joints[i].joint_type;
    const UnitAxis axis = joint_axis(model, i);
    const std::size_t iv = model.idx_vs[i];
    const bool moves = model.nvs[i] > 0;
    const Inertia& inertia = body_inertia(model, i);
    if constexpr (!kVelocity) {
      Motion<> ai = act_inv(x, motion_of(out.a[p]));
      if (kAcceleration && moves) ai += joint_motion(type, axis, a + iv);
      out.v[i].setZero();
      store(out.a[i], ai);
      store(out.f[i], inertia * ai);
      return;
    }
    MotionPair va = act_inv(x, motions_of(out.v[p], out.a[p]));
    Motion<> vi;
    if constexpr (IsAxisPlacement<X>::value) {
      // A joint about +-e_k: S qd and S qdd have one non-zero component.
      constexpr int k = X::k;
      const AxisMotion<k> vj = RotationAboutAxis::motion_about<k>(axis, v + iv);
      const AxisMotion<k> aj =
          kAcceleration ? RotationAboutAxis::motion_about<k>(axis, a + iv) : AxisMotion<k>{0.0};
      va += pair(vj, aj);
      vi = first(va);
      va += pair(zero_motion(), cross(vi, vj));
    } else if (moves) {
      const Motion<> vj = joint_motion(type, axis, v + iv);
      const Motion<> aj = kAcceleration ? joint_motion(type, axis, a + iv) : zero_motion();
      va += pair(vj, aj);
      vi = first(va);
      va += pair(zero_motion(), cross(vi, vj));
    } else {
      vi = first(va);
    }
    store(out.v[i], out.a[i], va);
    // (I v_i, I a_i) side by side, then f_i = I a_i + v_i x* I v_i.
    const ForcePair inertial = inertia * va;
    store(out.f[i], second(inertial) + cross(vi, first(inertial)));
  }

  // tau_i = S_i^T f_i; f_p += X_i f_i, X_i in the form its placement
  // returned.
  [[gnu::always_inline]] void backward(std::size_t i, int form) const {
    const Force<> fi = force_of(out.f[i]);
    if (model.nvs[i] > 0) {
      project_force(model.joints[i].joint_type, joint_axis(model, i), fi,
                    out.tau + model.idx_vs[i]);
    }
    const std::size_t p = model.parents[i];
    if (p == 0) return;
    with_placement(form, out.placements.limi[i],
                   [&](const auto& x) { store(out.f[p], force_of(out.f[p]) + act(x, fi)); });
  }
};

// The pass, for inputs checked by the callers.
template <bool kVelocity, bool kAcceleration>
[[gnu::flatten]] inline void newton_euler_pass(const Model& model, const NewtonEulerBuffers& out,
                                               const double* q, const double* v, const double* a) {
  const NewtonEuler<kVelocity, kAcceleration> joint{model, out, v, a};
  out.v[0].setZero();
  out.a[0] = -model.gravity;
  if (out.placements.omi != nullptr) set_identity(out.placements.omi[0]);
  set_identity(out.placements.limi[0]);
  const SinesAhead sines(model, q, *out.sincos);
  // Forward sweep.
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const int form = place_joint(model, out.placements, i, q, sines,
                                 [&](const auto& x) { joint.forward(i, x); });
    out.forms[i] = static_cast<std::int8_t>(form);
  }
  // Backward sweep: every entry of tau belongs to exactly one joint and is
  // assigned there.
  for (std::size_t i = model.njoints - 1; i >= 1; --i) joint.backward(i, out.forms[i]);
}

}  // namespace trelvar::detail

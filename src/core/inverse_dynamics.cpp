// Inverse dynamics by the recursive Newton-Euler algorithm, and its two
// special cases: the non-linear effects (a = 0) and gravity (v = a = 0).
//
// With a_0 = -g (gravity enters as an acceleration of the base):
//   forward sweep, parents first:
//     X_i, oX_i                                  place_joint
//     v_i = X_i^-1 v_p + S_i qd_i
//     a_i = X_i^-1 a_p + S_i qdd_i + v_i x S_i qd_i
//     f_i = I_i a_i + v_i x* I_i v_i
//   backward sweep, children first:
//     tau_i = S_i^T f_i
//     f_p  += X_i f_i
#include <cstdint>
#include <string>
#include <type_traits>

#include "joint_kinds.hpp"
#include "kinematic_stages.hpp"
#include "spatial/inertia.hpp"
#include "spatial/motion.hpp"
#include "trelvar/dynamics.hpp"

namespace trelvar {

namespace detail {
namespace {

// The two stages of one joint. v is read when kVelocity and a when
// kAcceleration; otherwise each is a zero vector (and may be null).
// kVelocity = false is the gravity pass: every body velocity is zero and the
// velocity products (all exact zeros) are left out.
template <bool kVelocity, bool kAcceleration>
struct NewtonEuler {
  const Model& model;
  Data& data;
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
      Motion<> ai = act_inv(x, motion_of(data.a[p]));
      if (kAcceleration && moves) ai += joint_motion(type, axis, a + iv);
      data.v[i].setZero();
      store(data.a[i], ai);
      store(data.f[i], inertia * ai);
      return;
    }
    MotionPair va = act_inv(x, motions_of(data.v[p], data.a[p]));
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
    store(data.v[i], data.a[i], va);
    // (I v_i, I a_i) side by side, then f_i = I a_i + v_i x* I v_i.
    const ForcePair inertial = inertia * va;
    store(data.f[i], second(inertial) + cross(vi, first(inertial)));
  }

  // tau_i = S_i^T f_i; f_p += X_i f_i, X_i in the form its placement
  // returned.
  [[gnu::always_inline]] void backward(std::size_t i, int form) const {
    const Force<> fi = force_of(data.f[i]);
    if (model.nvs[i] > 0) {
      project_force(model.joints[i].joint_type, joint_axis(model, i), fi,
                    data.tau.data() + model.idx_vs[i]);
    }
    const std::size_t p = model.parents[i];
    if (p == 0) return;
    with_placement(form, data.limi[i],
                   [&](const auto& x) { store(data.f[p], force_of(data.f[p]) + act(x, fi)); });
  }
};

// The pass, for inputs checked by the callers.
template <bool kVelocity, bool kAcceleration>
[[gnu::flatten]] void newton_euler_pass(const Model& model, Data& data, const double* q,
                                        const double* v, const double* a) {
  const NewtonEuler<kVelocity, kAcceleration> joint{model, data, v, a};
  data.v[0].setZero();
  data.a[0] = -model.gravity;
  set_identity(data.omi[0]);
  set_identity(data.limi[0]);
  const SinesAhead sines(model, q, data.work.sincos);
  std::int8_t* forms = data.work.forms.data();
  // Forward sweep.
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const int form =
        place_joint(model, data, i, q, sines, [&](const auto& x) { joint.forward(i, x); });
    forms[i] = static_cast<std::int8_t>(form);
  }
  // Backward sweep: every entry of tau belongs to exactly one joint and is
  // assigned there.
  for (std::size_t i = model.njoints - 1; i >= 1; --i) joint.backward(i, forms[i]);
}

}  // namespace
}  // namespace detail

const VectorX& rnea(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                    const Eigen::Ref<const VectorX>& v, const Eigen::Ref<const VectorX>& a) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  detail::check_vector("Acceleration", model.nv, a.size());
  detail::newton_euler_pass<true, true>(model, data, q.data(), v.data(), a.data());
  return data.tau;
}

const VectorX& non_linear_effects(const Model& model, Data& data,
                                  const Eigen::Ref<const VectorX>& q,
                                  const Eigen::Ref<const VectorX>& v) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  detail::newton_euler_pass<true, false>(model, data, q.data(), v.data(), nullptr);
  data.nle = data.tau;
  return data.nle;
}

const VectorX& compute_gravity(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::newton_euler_pass<false, false>(model, data, q.data(), nullptr, nullptr);
  data.g = data.tau;
  return data.g;
}

}  // namespace trelvar

// Everything at (q, v) in one pass: kinematics, the Jacobian and its time
// variation, the mass matrix, the non-linear effects, gravity, centroidal
// quantities and energies.
//
//   velocity sweep (velocity_jacobian_pass): X_i and its form, oX_i, v_i,
//     ov_i, J, dJ
//   forward sweep, parents first, with a_0 = 0 and a_gf_0 = -g:
//     oI_i = oX_i I_i,  doI_i = ov_i x* oI_i - oI_i ov_i x
//     a_i    = X_i^-1 a_p    + v_i x S_i qd_i   (the acceleration at qdd = 0)
//     a_gf_i = X_i^-1 a_gf_p + v_i x S_i qd_i   (the same with gravity)
//     h_i = I_i v_i,  f_i = I_i a_gf_i + v_i x* h_i
//     the body's kinetic and potential energy
//   backward sweep, children first:
//     Ag_c = oIc_i J_c,  dAg_c = doIc_i J_c + oIc_i dJ_c   (coordinates c of i)
//     the rows of M (mass_matrix_rows),  nle_i = S_i^T f_i
//     oIc_p += oIc_i,  doIc_p += doIc_i,  h_p += X_i h_i,  f_p += X_i f_i
//     the subtree's mass, centre of mass and its velocity
//   centroidal stage: Ag, dAg, h_g and its rate about the centre of mass c,
//     the centre-of-mass Jacobian, g = -Ag_lin^T gravity.
#include <cstdint>
#include <type_traits>

#include "joint_kinds.hpp"
#include "kinematic_stages.hpp"
#include "mass_matrix.hpp"
#include "spatial/inertia.hpp"
#include "spatial/motion.hpp"
#include "trelvar/dynamics.hpp"

namespace trelvar {

namespace detail {
namespace {

struct AllTerms {
  const Model& model;
  Data& data;
  const double* qd;
  double kinetic = 0.0;
  double potential = 0.0;

  [[gnu::always_inline]] void forward(std::size_t i, int form) {
    const std::size_t p = model.parents[i];
    const Motion<> vi = motion_of(data.v[i]);
    const Inertia& body = body_inertia(model, i);
    // Bodies past the inertia list or without mass carry no energy.
    if (i < model.inertias.size() && !(body.mass < kNegligibleMass)) {
      kinetic += kinetic_energy(body, vi);
      potential -= body.mass * model.gravity_linear().dot(act_on_point(data.omi[i], body.lever));
    }
    data.oycrb[i] = act(data.omi[i], body);
    inertia_variation(data.oycrb[i], motion_of(data.ov[i]), data.doycrb[i]);
    // a (lane 0) and a_gf (lane 1) go through the same transform and take the
    // same bias v_i x S_i qd_i. A body on a fixed joint moves with its parent:
    // no bias.
    const MotionPair acc = with_placement(form, data.limi[i], [&](const auto& x) {
      MotionPair out = act_inv(x, motions_of(data.a[p], data.a_gf[p]));
      const UnitAxis axis = joint_axis(model, i);
      const double* qdi = qd + model.idx_vs[i];
      if constexpr (IsAxisPlacement<std::decay_t<decltype(x)>>::value) {
        constexpr int k = std::decay_t<decltype(x)>::k;
        const Motion<> bias = cross(vi, RotationAboutAxis::motion_about<k>(axis, qdi));
        out += pair(bias, bias);
      } else if (model.nvs[i] > 0) {
        const Motion<> bias = cross(vi, joint_motion(model.joints[i].joint_type, axis, qdi));
        out += pair(bias, bias);
      }
      return out;
    });
    store(data.a[i], data.a_gf[i], acc);
    // The body's momentum (lane 0, from v_i) and inertial force (lane 1, from a_gf_i).
    const ForcePair inertial = body * pair(vi, second(acc));
    const Force<> hi = first(inertial);
    store(data.h[i], hi);
    store(data.f[i], second(inertial) + cross(vi, hi));
  }

  [[gnu::always_inline]] void backward(std::size_t i, int form) {
    const std::size_t p = model.parents[i];
    Inertia& composite = data.oycrb[i];
    if (model.nvs[i] > 0) {
      const std::size_t b = model.idx_vs[i];
      for (std::size_t c = b; c < b + model.nvs[i]; ++c) {
        const auto col = static_cast<Eigen::Index>(c);
        store_column(data.ag.col(col).data(), composite * motion_of_column(data.j.col(col).data()));
        Vec6 moving;  // oIc_i dJ_c
        store_column(moving.data(), composite * motion_of_column(data.dJ.col(col).data()));
        data.dag.col(col) = data.doycrb[i] * data.j.col(col) + moving;
      }
      mass_matrix_rows(model, data.M, data.j, data.ag, i);
      project_force(model.joints[i].joint_type, joint_axis(model, i), force_of(data.f[i]),
                    data.nle.data() + b);
    }
    add_inertia(data.oycrb[p], composite);
    data.doycrb[p] += data.doycrb[i];
    // Momentum (lane 0) and force (lane 1) go to the parent through one transform.
    const ForcePair moved = with_placement(
        form, data.limi[i], [&](const auto& x) { return act(x, forces_of(data.h[i], data.f[i])); });
    store(data.h[p], data.f[p], forces_of(data.h[p], data.f[p]) + moved);

    data.mass[i] = composite.mass;
    if (data.mass[i] > kNegligibleMass) {
      data.com[i] = act_inv_on_point(data.omi[i], composite.lever);
      data.vcom[i] = force_of(data.h[i]).f / data.mass[i];
    } else {
      data.com[i].setZero();
      data.vcom[i].setZero();
    }
  }

  // The centre of mass c of the whole mechanism and its velocity; Ag and dAg
  // with their moments taken about c (d/dt (n - c x f) = dn - c x df - dc x f);
  // the centre-of-mass Jacobian and the gravity torques, which read the linear
  // rows that the moment shift leaves alone; h_g and its rate about c; the
  // centroidal inertia.
  void centroidal() {
    const double total = data.oycrb[0].mass;
    const bool has_mass = total > kNegligibleMass;
    data.mass[0] = total;
    if (has_mass) {
      data.com[0] = data.oycrb[0].lever;
      data.vcom[0] = force_of(data.h[0]).f / total;
    } else {
      data.com[0].setZero();
      data.vcom[0].setZero();
    }
    const Translation to_com{{}, data.com[0]};
    const Vec3 vcom = data.vcom[0];
    const Vec3 g = model.gravity_linear();
    double* jcom = data.jcom.data();
    for (std::size_t k = 0; k < model.nv; ++k) {
      double* ag = data.ag.data() + 6 * k;
      double* dag = data.dag.data() + 6 * k;
      const Force<> momentum = force_of_column(ag);
      const Force<> rate = force_of_column(dag);
      ForcePair about_com = act_inv(to_com, pair(momentum, rate));
      Force<> rate_about_com = second(about_com);
      rate_about_com.n -= cross(vcom, momentum.f);
      store_column(ag, first(about_com));
      store_column(dag, rate_about_com);
      for (int r = 0; r < 3; ++r) {
        if (has_mass) jcom[3 * k + static_cast<std::size_t>(r)] = ag[r] / total;
      }
      data.g[static_cast<Eigen::Index>(k)] = -(ag[0] * g[0] + ag[1] * g[1] + ag[2] * g[2]);
    }
    store(data.hg, act_inv(to_com, force_of(data.h[0])));
    store(data.dhg, act_inv(to_com, force_of(data.f[0])));
    data.ig = data.oycrb[0];
    data.ig.mass = total;
    data.ig.lever.setZero();
  }
};

// The pass, for inputs checked by the caller.
[[gnu::flatten]] void all_terms_pass(const Model& model, Data& data, const double* q,
                                     const double* qd) {
  std::int8_t* forms = data.work.forms.data();
  velocity_jacobian_pass(model, data, q, qd, forms);
  data.a[0].setZero();
  data.h[0].setZero();
  data.f[0].setZero();
  data.a_gf[0] = -model.gravity;
  set_zero(data.oycrb[0]);
  data.doycrb[0].setZero();
  AllTerms terms{model, data, qd};
  for (std::size_t i = 1; i < model.njoints; ++i) terms.forward(i, forms[i]);
  // Every column of Ag and dAg belongs to one moving joint and is written
  // whole here.
  for (std::size_t i = model.njoints - 1; i >= 1; --i) terms.backward(i, forms[i]);
  terms.centroidal();
  data.kinetic_energy = terms.kinetic;
  data.potential_energy = terms.potential;
  data.mechanical_energy = terms.kinetic + terms.potential;
}

}  // namespace
}  // namespace detail

void compute_all_terms(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                       const Eigen::Ref<const VectorX>& v) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  detail::all_terms_pass(model, data, q.data(), v.data());
}

}  // namespace trelvar

// Derivatives of inverse dynamics, with every body in the world frame.
//
// For body k: v_k its velocity, a_k its acceleration (a_0 = -g: gravity
// enters as an acceleration of the base), I_k its inertia, h_k = I_k v_k,
// f_k = I_k a_k + v_k x* h_k and
//   B_k = v_k x* I_k - I_k v_k x + h_k x-bar*,
// the change of f_k for a change of v_k at fixed a_k. IC_i, BC_i and F_i are
// the sums of I_k, B_k and f_k over the subtree of joint i, and
// tau_c = S_c . F_i for each coordinate c of joint i, S_c its world column.
//
// Moving q along coordinate d of joint j (parent l) turns the subtree of j by
// S_d: everything attached to its bodies turns with it (x + e S_d x x), which
// leaves S_c . F_i unchanged where both turn; in addition v_k changes by
// -sigma_d and a_k by beta_d - sigma_d x v_k, with
//   sigma_d = S_d x v_l,  beta_d = sigma_d x v_l - S_d x a_l.
// Changing qd_d changes v_k by S_d and a_k by S_d x v_k + psi_d, with
//   psi_d = (v_l + v_j) x S_d.
// The recurrence:
//   forward sweep, parents first:
//     X_i, oX_i, v_i, S_c                    (velocity_step)
//     a_i = a_l + S_i qdd_i + v_i x S_i qd_i
//     I_i = oX_i I_i, h_i, f_i, B_i; sigma_c, beta_c, psi_c for the
//     coordinates c of joint i
//   backward sweep, children first, for the coordinates c of joint i:
//     tau_c = S_c . F_i
//     P_c = IC_i S_c,  Q_c = BC_i^T S_c
//     for d of joint i and of its ancestors:
//       dtau_dq(c, d) = P_c . beta_d - Q_c . sigma_d
//       dtau_dv(c, d) = P_c . psi_d + Q_c . S_d
//       M(c, d) = M(d, c) = P_c . S_d
//     for d of joint i and c of its ancestors:
//       dtau_dq(c, d) = S_c . (S_d x* F_i + IC_i beta_d - BC_i sigma_d)
//       dtau_dv(c, d) = S_c . (IC_i psi_d + BC_i S_d)
//     IC_l += IC_i,  BC_l += BC_i,  F_l += F_i
// Entries of coordinates on different branches are zero.
//
// Forward dynamics: ddq = aba(q, v, tau) satisfies rnea(q, v, ddq) = tau for
// every state, so
//   d ddq / dq = -M^-1 d tau / dq |(q, v, ddq),  d ddq / dv likewise,
//   d ddq / dtau = M^-1.
#include "trelvar/derivatives.hpp"

#include <cmath>
#include <cstdint>
#include <string>

#include "inverse_mass.hpp"
#include "inverse_products.hpp"
#include "joint_kinds.hpp"
#include "kinematic_stages.hpp"
#include "spatial/inertia.hpp"
#include "spatial/motion.hpp"

namespace trelvar {

namespace detail {
namespace {

template <class Sines>
struct InverseDynamicsDerivatives {
  const Model& model;
  Data& data;
  const double* q;
  const double* v;
  const double* a;
  const Sines& sines;

  // Columns sigma_d, beta_d and psi_d of coordinate d (stored motion columns).
  double* sigma(std::size_t d) const { return data.work.dmotions.data() + 18 * d; }
  double* beta(std::size_t d) const { return sigma(d) + 6; }
  double* psi(std::size_t d) const { return sigma(d) + 12; }
  const double* column(std::size_t c) const { return data.j.data() + 6 * c; }
  const double* variation(std::size_t c) const { return data.dJ.data() + 6 * c; }

  void forward(std::size_t i) const {
    const std::size_t p = model.parents[i];
    velocity_step(model, data, i, q, v, sines);
    const Motion<> vp = motion_of(data.ov[p]);
    const Motion<> ap = motion_of(data.work.oa[p]);
    const Motion<> vi = motion_of(data.ov[i]);
    // For the coordinates c of joint i, from the world columns S_c and their
    // variation dJ_c = v_i x S_c that velocity_step left:
    //   a_i = a_l + sum_c (S_c qdd_c + dJ_c qd_c)   (= a_l + S_i qdd_i + v_i x S_i qd_i)
    //   sigma_c, beta_c, and psi_c = (v_l + v_i) x S_c = dJ_c - sigma_c.
    Motion<> ai = ap;
    const std::size_t iv = model.idx_vs[i];
    for (std::size_t c = iv; c < iv + model.nvs[i]; ++c) {
      const Motion<> s = motion_of_column(column(c));
      const Motion<> ds = motion_of_column(variation(c));
      ai += a[c] * s + v[c] * ds;
      const Motion<> sig = cross(s, vp);
      store_column(sigma(c), sig);
      store_column(beta(c), cross(sig, vp) - cross(s, ap));
      store_column(psi(c), ds - sig);
    }
    store(data.work.oa[i], ai);
    // I_i, h_i, f_i = I_i a_i + v_i x* h_i, B_i.
    Inertia& inertia = data.oycrb[i];
    inertia = act(data.omi[i], body_inertia(model, i));
    const Force<> h = inertia * vi;
    store(data.work.of[i], inertia * ai + cross(vi, h));
    Mat6& b = data.work.b[i];
    inertia_variation(inertia, vi, b);
    add_momentum_cross(h, b);
  }

  void backward(std::size_t i) const {
    if (model.nvs[i] > 0) entries(i);
    const std::size_t p = model.parents[i];
    if (p == 0) return;
    add_inertia(data.oycrb[p], data.oycrb[i]);
    data.work.b[p] += data.work.b[i];
    data.work.of[p] += data.work.of[i];
  }

  // The entries in the rows and columns of joint i's coordinates.
  void entries(std::size_t i) const {
    const std::size_t s = model.idx_vs[i], n = model.nvs[i];
    const auto ld = static_cast<std::size_t>(data.M.rows());
    double* dq = data.dtau_dq.data();
    double* dv = data.dtau_dv.data();
    double* m = data.M.data();
    const std::int32_t* prev = data.work.prev.data();
    const Inertia& ic = data.oycrb[i];
    const Mat6& bc = data.work.b[i];
    const Force<> fi = force_of(data.work.of[i]);
    for (std::size_t c = s; c < s + n; ++c) {
      const Motion<> sc = motion_of_column(column(c));
      data.tau[static_cast<Eigen::Index>(c)] = dot(sc, fi);
      // P_c = IC_i S_c and Q_c = BC_i^T S_c as stored force columns.
      Vec6 pc, qc;
      store_column(pc.data(), ic * sc);
      qc.noalias() = bc.transpose() * Eigen::Map<const Vec6>(column(c));
      const StoredColumn pcol(pc.data()), qcol(qc.data());
      const auto row = [&](std::size_t d) {
        dq[c + d * ld] = pcol.dot(beta(d)) - qcol.dot(sigma(d));
        dv[c + d * ld] = pcol.dot(psi(d)) + qcol.dot(column(d));
        const double mcd = pcol.dot(column(d));
        m[c + d * ld] = mcd;
        m[d + c * ld] = mcd;
      };
      for (std::size_t d = s; d < s + n; ++d) row(d);
      for (std::int32_t d = prev[s]; d >= 0; d = prev[d]) row(static_cast<std::size_t>(d));
    }
    if (prev[s] < 0) return;
    for (std::size_t d = s; d < s + n; ++d) {
      const Motion<> sd = motion_of_column(column(d));
      // S_d x* F_i + IC_i beta_d - BC_i sigma_d, IC_i psi_d + BC_i S_d.
      Vec6 phi, lambda;
      store_column(phi.data(), cross(sd, fi) + ic * motion_of_column(beta(d)));
      phi.noalias() -= bc * Eigen::Map<const Vec6>(sigma(d));
      store_column(lambda.data(), ic * motion_of_column(psi(d)));
      lambda.noalias() += bc * Eigen::Map<const Vec6>(column(d));
      const StoredColumn phicol(phi.data()), lambdacol(lambda.data());
      for (std::int32_t c = prev[s]; c >= 0; c = prev[c]) {
        const double* sc = column(static_cast<std::size_t>(c));
        dq[static_cast<std::size_t>(c) + d * ld] = phicol.dot(sc);
        dv[static_cast<std::size_t>(c) + d * ld] = lambdacol.dot(sc);
      }
    }
  }
};

// The pass, for inputs checked by the caller; the sines of the axis joints
// taken ahead of the sweep, or (sines_kept) those a SinesAhead left at the same q.
template <class Sines>
[[gnu::always_inline]] inline void derivative_sweeps(const Model& model, Data& data,
                                                     const double* q, const double* v,
                                                     const double* a, const Sines& sines) {
  const InverseDynamicsDerivatives<Sines> pass{model, data, q, v, a, sines};
  data.v[0].setZero();
  data.ov[0].setZero();
  store(data.work.oa[0], motion_of(-model.gravity));
  set_identity(data.omi[0]);
  set_identity(data.limi[0]);
  for (std::size_t i = 1; i < model.njoints; ++i) pass.forward(i);
  support_chains(model, data.work.prev);
  data.dtau_dq.setZero();
  data.dtau_dv.setZero();
  data.M.setZero();
  for (std::size_t i = model.njoints - 1; i >= 1; --i) pass.backward(i);
}

// The pass compiled twice, as the products (inverse_products.hpp): with AVX2
// and FMA where the processor has them.
[[gnu::always_inline]] inline void derivative_sweeps(const Model& model, Data& data,
                                                     const double* q, const double* v,
                                                     const double* a, bool sines_kept) {
  if (sines_kept) {
    derivative_sweeps(model, data, q, v, a, SinesAhead::kept(data.work.sincos));
  } else {
    derivative_sweeps(model, data, q, v, a, SinesAhead(model, q, data.work.sincos));
  }
}

void rnea_derivatives_pass(const Model& model, Data& data, const double* q, const double* v,
                           const double* a, bool sines_kept) {
  run_for_processor([&](auto) { derivative_sweeps(model, data, q, v, a, sines_kept); });
}

// ---------------------------------------------------------------------------
// Forward dynamics and its derivatives: ddq and M^-1 from one pass (the
// articulated-body algorithm run with the inverse mass matrix's sweeps), then
// the derivatives of inverse dynamics at (q, v, ddq), on the sines that pass
// left, and the products with M^-1. Data's fields change only once ddq and
// M^-1 are known; the derivatives that follow cannot fail.

void aba_derivatives_checked(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                             const Eigen::Ref<const VectorX>& v,
                             const Eigen::Ref<const VectorX>& tau) {
  accelerations_and_inverse_mass(model, data, q.data(), v.data(), tau.data());
  rnea_derivatives_pass(model, data, q.data(), v.data(), data.ddq.data(), true);
  // work.prev (the support chains) is free once the pass is done.
  solve_with_inverse(data.Minv, data.dtau_dq, data.dtau_dv, data.ddq_dq, data.ddq_dv,
                     data.work.prev.data());
}

}  // namespace
}  // namespace detail

void compute_rnea_derivatives(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                              const Eigen::Ref<const VectorX>& v,
                              const Eigen::Ref<const VectorX>& a) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  detail::check_vector("Acceleration", model.nv, a.size());
  detail::rnea_derivatives_pass(model, data, q.data(), v.data(), a.data(), false);
}

void compute_aba_derivatives(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                             const Eigen::Ref<const VectorX>& v,
                             const Eigen::Ref<const VectorX>& tau) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  detail::check_vector("Torque", model.nv, tau.size());
  detail::aba_derivatives_checked(model, data, q, v, tau);
}

}  // namespace trelvar

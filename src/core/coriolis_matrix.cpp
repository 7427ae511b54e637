// The Coriolis matrix C(q, v) of M qdd + C qd + g = tau, with composite
// bodies in the world frame:
//   forward sweep (velocity_step): X_i, oX_i, v_i, ov_i, J, dJ, and per body
//     oI_i = oX_i I_i,  h_i = oI_i ov_i,
//     B_i = (ov_i / 2) x* oI_i - oI_i (ov_i / 2) x + (h_i / 2) x-bar*
//   backward sweep, children first, with B and oI composite:
//     T_c = B_i J_c + oI_i dJ_c          for the coordinates c of joint i
//     C(r, l) = J_r . T_l                for r of joint i, l in its subtree
//     C(m, a) = dJ_a . oI_i J_m + J_m . B_i J_a   for a on its support chain
//     oI_p += oI_i,  B_p += B_i
#include "kinematic_stages.hpp"
#include "spatial/inertia.hpp"
#include "spatial/motion.hpp"
#include "trelvar/dynamics.hpp"

namespace trelvar {

namespace detail {
namespace {

struct Coriolis {
  const Model& model;
  Data& data;

  // oI_i, h_i and B_i (velocity_step has run for joint i).
  void body(std::size_t i) {
    data.oycrb[i] = act(data.omi[i], body_inertia(model, i));
    const Motion<> ov = motion_of(data.ov[i]);
    const Force<> h = data.oycrb[i] * ov;
    store(data.work.h[i], h);
    Mat6& b = data.work.b[i];
    inertia_variation(data.oycrb[i], {0.5 * ov.w, 0.5 * ov.v}, b);
    add_momentum_cross({0.5 * h.n, 0.5 * h.f}, b);
  }

  void backward(std::size_t i) {
    const std::size_t p = model.parents[i];
    if (model.nvs[i] > 0) rows(i);
    if (p != 0) {
      add_inertia(data.oycrb[p], data.oycrb[i]);
      data.work.b[p] += data.work.b[i];
    }
  }

  // The entries of C in the rows of joint i.
  void rows(std::size_t i) {
    const std::size_t s = model.idx_vs[i];
    const std::size_t n = model.nvs[i];
    const Mat6& bi = data.work.b[i];
    const Inertia& composite = data.oycrb[i];
    Matrix6X& t = data.work.cols;
    const double* jd = data.j.data();
    const double* djd = data.dJ.data();
    // T_c = B_i J_c + oI_i dJ_c.
    for (std::size_t k = 0; k < n; ++k) {
      const auto c = static_cast<Eigen::Index>(s + k);
      Vec6 moving;  // oI_i dJ_c
      store_column(moving.data(), composite * motion_of_column(djd + 6 * c));
      t.col(c) = bi * data.j.col(c) + moving;
    }
    // C(r, l) = J_r . T_l over the subtree.
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t r = s + k;
      const StoredColumn jr(jd + 6 * r);
      for_each_subtree_run(model, i, [&](std::size_t first, std::size_t count) {
        for (std::size_t l = first; l < first + count && l < model.nv; ++l) {
          data.C(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(l)) =
              jr.dot(t.data() + 6 * l);
        }
      });
    }
    // Ag_m = oI_i J_m (kept in data.ag).
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t m = s + k;
      store_column(data.ag.data() + 6 * m, composite * motion_of_column(jd + 6 * m));
    }
    // C(m, a) = dJ_a . Ag_m + J_m . B_i J_a up the support chain.
    for (std::int32_t a = data.work.prev[s]; a >= 0;
         a = data.work.prev[static_cast<std::size_t>(a)]) {
      const Vec6 bja = bi * data.j.col(a);
      for (std::size_t k = 0; k < n; ++k) {
        const std::size_t m = s + k;
        data.C(static_cast<Eigen::Index>(m), a) =
            column_dot(djd + 6 * a, data.ag.data() + 6 * m) + column_dot(jd + 6 * m, bja.data());
      }
    }
  }
};

// The pass, for inputs checked by the caller.
[[gnu::flatten]] void coriolis_pass(const Model& model, Data& data, const double* q,
                                    const double* v) {
  data.C.setZero();
  Coriolis coriolis{model, data};
  const SinesAhead sines(model, q, data.work.sincos);
  for (std::size_t i = 1; i < model.njoints; ++i) {
    velocity_step(model, data, i, q, v, sines);
    coriolis.body(i);
  }
  support_chains(model, data.work.prev);
  for (std::size_t i = model.njoints - 1; i >= 1; --i) coriolis.backward(i);
}

}  // namespace
}  // namespace detail

const MatrixX& compute_coriolis_matrix(const Model& model, Data& data,
                                       const Eigen::Ref<const VectorX>& q,
                                       const Eigen::Ref<const VectorX>& v) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  detail::coriolis_pass(model, data, q.data(), v.data());
  return data.C;
}

Mat6 compute_inertia_variation(const Inertia& inertia, const Vec6& w) {
  Mat6 out;
  detail::inertia_variation(inertia, detail::motion_of(w), out);
  return out;
}

}  // namespace trelvar

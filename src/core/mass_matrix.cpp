// The joint-space mass matrix by the composite rigid body algorithm, in the
// world frame:
//   forward:   oX_i and the world Jacobian columns J_c = oX_i S_i
//              (kinematics_and_jacobian); oI_i = oX_i I_i
//   backward, children first:
//     F_c = oIc_i J_c                    for the coordinates c of joint i
//     M(r, s) = J_r . F_s                for r of joint i, s in its subtree
//     oIc_p += oIc_i                     (composite inertias, no transform)
// Only the upper triangle of M is written.
#include "mass_matrix.hpp"
#include "kinematic_stages.hpp"
#include "spatial/inertia.hpp"
#include "spatial/motion.hpp"
#include "trelvar/dynamics.hpp"

namespace trelvar {

namespace detail {

namespace {

// The pass, for inputs checked by the caller.
[[gnu::flatten]] void composite_inertia_pass(const Model& model, Data& data, const double* q) {
  kinematics_and_jacobian(model, data, q);
  set_zero(data.oycrb[0]);
  for (std::size_t i = 1; i < model.njoints; ++i) {
    data.oycrb[i] = act(data.omi[i], body_inertia(model, i));
  }
  data.M.setZero();
  const double* jd = data.j.data();
  double* fd = data.work.cols.data();
  for (std::size_t i = model.njoints - 1; i >= 1; --i) {
    const Inertia& composite = data.oycrb[i];
    if (model.nvs[i] > 0) {
      const std::size_t b = model.idx_vs[i];
      for (std::size_t c = b; c < b + model.nvs[i]; ++c) {
        store_column(fd + 6 * c, composite * motion_of_column(jd + 6 * c));
      }
      mass_matrix_rows(model, data.M, data.j, data.work.cols, i);
    }
    const std::size_t p = model.parents[i];
    if (p != 0) add_inertia(data.oycrb[p], composite);
  }
}

}  // namespace
}  // namespace detail

const MatrixX& crba(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::composite_inertia_pass(model, data, q.data());
  return data.M;
}

}  // namespace trelvar

// The rows of the mass matrix that one joint contributes (internal), shared by
// the mass matrix and the combined pass.
#pragma once

#include <algorithm>

#include "kinematic_stages.hpp"
#include "spatial/motion.hpp"
#include "trelvar/model.hpp"

namespace trelvar::detail {

// M(min(r, s), max(r, s)) = J_r . F_s for each coordinate r of joint i and
// each coordinate s of its subtree, F holding the composite-inertia-weighted
// world Jacobian columns (F_s = oIc_k J_s for the joint k owning s). j and f
// have nv columns and M is nv x nv (Data's sizes are checked by the callers).
inline void mass_matrix_rows(const Model& model, MatrixX& m, const Matrix6X& j, const Matrix6X& f,
                             std::size_t i) {
  const std::size_t b = model.idx_vs[i], nv = model.nv;
  const auto ld = static_cast<std::size_t>(m.rows());
  double* md = m.data();
  for (std::size_t c = 0; c < model.nvs[i]; ++c) {
    const std::size_t r = b + c;
    const StoredColumn jr(j.data() + 6 * r);
    for_each_subtree_run(model, i, [&](std::size_t first, std::size_t count) {
      const std::size_t end = std::min(first + count, nv);
      for (std::size_t s = first; s < end; ++s) {
        const double x = jr.dot(f.data() + 6 * s);
        if (r <= s) {
          md[r + s * ld] = x;
        } else {
          md[s + r * ld] = x;
        }
      }
    });
  }
}

}  // namespace trelvar::detail

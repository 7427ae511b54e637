// Inverse dynamics, non-linear effects, gravity, mass matrix, Coriolis matrix
// and the combined pass with centroidal quantities and energies.
//
// Every function checks the sizes of its vectors and that `data` matches
// `model` before writing anything; results stay in `data` and the returned
// references point into it.
#pragma once

#include "trelvar/data.hpp"
#include "trelvar/model.hpp"

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar {

// tau = M(q) a + C(q, v) v + g(q) by the recursive Newton-Euler algorithm.
// Writes limi, omi, v, a, f, tau; returns data.tau.
const VectorX& rnea(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                    const Eigen::Ref<const VectorX>& v, const Eigen::Ref<const VectorX>& a);

// C(q, v) v + g(q); stored in data.nle (and data.tau).
const VectorX& non_linear_effects(const Model& model, Data& data,
                                  const Eigen::Ref<const VectorX>& q,
                                  const Eigen::Ref<const VectorX>& v);

// g(q); stored in data.g (and data.tau).
const VectorX& compute_gravity(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q);

// Joint-space mass matrix into data.M (upper triangle with the diagonal; the
// strict lower triangle is zero). Returns data.M.
const MatrixX& crba(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q);

// Everything at (q, v) in one pass: kinematics, Jacobians and their variation,
// mass matrix, non-linear effects, gravity, centroidal quantities, energies.
void compute_all_terms(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                       const Eigen::Ref<const VectorX>& v);

// The Coriolis matrix C(q, v) into data.C; returns data.C.
const MatrixX& compute_coriolis_matrix(const Model& model, Data& data,
                                       const Eigen::Ref<const VectorX>& q,
                                       const Eigen::Ref<const VectorX>& v);

// w x* Y - Y w x for the 6x6 matrix Y of `inertia` (rows and columns linear
// first) and the motion vector w (angular first): the time derivative of a
// world-frame inertia moving with spatial velocity w.
Mat6 compute_inertia_variation(const Inertia& inertia, const Vec6& w);

}  // namespace trelvar

#pragma GCC visibility pop

// Derivatives of inverse dynamics with respect to the state and the
// acceleration, and of forward dynamics with respect to the state and the
// joint forces.
//
// Derivatives with respect to q are taken in the tangent space of the
// configuration: column k is d/de of the quantity at integrate(q, e * e_k),
// at e = 0. Every matrix is therefore nv x nv, whatever the joint kinds
// (quaternions and (cos, sin) pairs included).
//
// Every function checks the sizes of its vectors and that `data` matches
// `model` before writing anything; results stay in `data`.
#pragma once

#include "trelvar/data.hpp"
#include "trelvar/model.hpp"

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar {

// The partial derivatives of tau = rnea(q, v, a): d tau / dq into
// data.dtau_dq, d tau / dv into data.dtau_dv and d tau / da, the mass matrix
// M(q), into data.M with both triangles filled. Also leaves tau in data.tau
// and writes limi, omi, v, ov, j, dJ and oycrb (composite inertias, world
// frame) on the way.
void compute_rnea_derivatives(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                              const Eigen::Ref<const VectorX>& v,
                              const Eigen::Ref<const VectorX>& a);

// The partial derivatives of ddq = aba(q, v, tau): d ddq / dq into
// data.ddq_dq, d ddq / dv into data.ddq_dv and d ddq / dtau = M(q)^-1 into
// data.Minv (both triangles); ddq itself into data.ddq. As
// M ddq + C v + g = tau holds along every motion,
//   d ddq / dq = -M^-1 d tau / dq,  d ddq / dv = -M^-1 d tau / dv,
// with the derivatives of tau taken at (q, v, ddq); these are left in
// data.dtau_dq and data.dtau_dv, and the other buffers
// compute_rnea_derivatives writes are written too. Fails as aba and
// compute_minverse fail (a singular articulated inertia, non-finite inputs or
// results), leaving every result field of data as it was.
void compute_aba_derivatives(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                             const Eigen::Ref<const VectorX>& v,
                             const Eigen::Ref<const VectorX>& tau);

}  // namespace trelvar

#pragma GCC visibility pop

// Forward dynamics: the joint accelerations that given joint forces produce
// (articulated-body algorithm), and the inverse of the mass matrix.
//
// Each function checks that `data` matches `model` and the sizes of its
// vectors, in argument order, before writing anything. A joint whose
// articulated inertia is singular (the bodies it carries have no inertia
// along its motion, for instance a massless leaf body on a moving joint), a
// non-finite input, or a result that does not fit in double precision raises
// an Error naming the cause. A call that fails leaves every result field of
// `data` as it was; only its work buffers (Data::work) may have changed.
// Nothing else in `data` (placements, body velocities and accelerations, ...)
// is read or written.
#pragma once

#include <vector>

#include "trelvar/data.hpp"
#include "trelvar/model.hpp"

#pragma GCC visibility push(default)

namespace trelvar {

// ddq solving M(q) ddq + C(q, v) v + g(q) = tau, by the articulated-body
// algorithm. Writes data.ddq and returns it.
const VectorX& aba(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                   const Eigen::Ref<const VectorX>& v, const Eigen::Ref<const VectorX>& tau);

// The same with external forces: fext[i] is the force applied to body i,
// expressed in joint i's frame, moment part first ([n; f], like Data::f);
// fext[0] is not read. Solves M ddq + C v + g = tau + sum_i J_i^T fext[i]
// with J_i the Jacobian of joint i in its own frame. fext has njoints entries.
const VectorX& aba(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                   const Eigen::Ref<const VectorX>& v, const Eigen::Ref<const VectorX>& tau,
                   const std::vector<Vec6>& fext);

// M(q)^-1, filled whole (both triangles), into data.Minv; returns it. By the
// sweeps of the articulated-body algorithm for unit joint forces, or, for a
// tree of at most 12 one-coordinate joints, by factoring M along the tree.
const MatrixX& compute_minverse(const Model& model, Data& data,
                                const Eigen::Ref<const VectorX>& q);

}  // namespace trelvar

#pragma GCC visibility pop

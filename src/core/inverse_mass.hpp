// The inverse mass matrix for inputs a caller has checked (internal).
#pragma once

#include "trelvar/data.hpp"
#include "trelvar/model.hpp"

namespace trelvar::detail {

// compute_minverse after its checks of the Data and the configuration's
// length: M^-1 into data.Minv, or an Error with data.Minv as it was. Leaves
// the placements X_i at q in data.work.fd.limi (their forms in fd.forms) and
// the sines of the axis joints in data.work.sincos (SinesAhead).
const MatrixX& inverse_mass_matrix(const Model& model, Data& data, const double* q);

// The same, with the joint accelerations aba(q, v, tau) taken in the same
// sweeps: ddq into data.ddq and M^-1 into data.Minv, or an Error (aba's own,
// where aba fails) with both as they were. Leaves what inverse_mass_matrix
// leaves.
void accelerations_and_inverse_mass(const Model& model, Data& data, const double* q,
                                    const double* v, const double* tau);

}  // namespace trelvar::detail

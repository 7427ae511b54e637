// Forward dynamics and the inverse mass matrix together, for inputs a caller
// has checked (internal).
#pragma once

#include "trelvar/data.hpp"
#include "trelvar/model.hpp"

namespace trelvar::detail {

// The joint accelerations aba(q, v, tau) and M^-1 from one pass, after the
// caller's checks of the Data and the vectors' lengths: ddq into data.ddq and
// M^-1 into data.Minv, or an Error (aba's own, where aba fails) with both as
// they were. Leaves the sines of the axis joints at q in data.work.sincos
// (SinesAhead), for the derivative pass that follows.
void accelerations_and_inverse_mass(const Model& model, Data& data, const double* q,
                                    const double* v, const double* tau);

}  // namespace trelvar::detail

// Configuration space (neutral, integrate) and forward kinematics.
#pragma once

#include "trelvar/data.hpp"
#include "trelvar/model.hpp"

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar {

// The reference configuration: every joint at its zero position.
VectorX neutral(const Model& model);

// The configuration reached from q by applying the velocity v for unit time,
// joint by joint (angles stored as (cos, sin) pairs and quaternions are
// updated on their manifold).
VectorX integrate(const Model& model, const Eigen::Ref<const VectorX>& q,
                  const Eigen::Ref<const VectorX>& v);

// Fills data.limi (placement of each joint in its parent) and data.omi
// (placement in the world) for the configuration q.
void forward_kinematics(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q);

}  // namespace trelvar

#pragma GCC visibility pop

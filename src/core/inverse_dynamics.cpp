// Inverse dynamics by the recursive Newton-Euler algorithm (newton_euler.hpp),
// and its two special cases: the non-linear effects (a = 0) and gravity
// (v = a = 0).
#include "newton_euler.hpp"
#include "trelvar/dynamics.hpp"

namespace trelvar {

namespace detail {
namespace {

// The pass into Data's own buffers, for inputs checked by the callers.
template <bool kVelocity, bool kAcceleration>
void newton_euler_in_data(const Model& model, Data& data, const double* q, const double* v,
                          const double* a) {
  const NewtonEulerBuffers out{Placements{data.limi.data(), data.omi.data()},
                               data.v.data(),
                               data.a.data(),
                               data.f.data(),
                               data.work.forms.data(),
                               data.tau.data(),
                               &data.work.sincos};
  newton_euler_pass<kVelocity, kAcceleration>(model, out, q, v, a);
}

}  // namespace
}  // namespace detail

const VectorX& rnea(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                    const Eigen::Ref<const VectorX>& v, const Eigen::Ref<const VectorX>& a) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  detail::check_vector("Acceleration", model.nv, a.size());
  detail::newton_euler_in_data<true, true>(model, data, q.data(), v.data(), a.data());
  return data.tau;
}

const VectorX& non_linear_effects(const Model& model, Data& data,
                                  const Eigen::Ref<const VectorX>& q,
                                  const Eigen::Ref<const VectorX>& v) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  detail::newton_euler_in_data<true, false>(model, data, q.data(), v.data(), nullptr);
  data.nle = data.tau;
  return data.nle;
}

const VectorX& compute_gravity(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::newton_euler_in_data<false, false>(model, data, q.data(), nullptr, nullptr);
  data.g = data.tau;
  return data.g;
}

}  // namespace trelvar

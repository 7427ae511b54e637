// libFuzzer target: URDF text -> reader -> builder -> a few algorithms on the
// resulting model. Any crash, sanitizer report, leak or hang is a failure;
// library errors (trelvar::Error) are the expected answer to bad input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "trelvar/derivatives.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/error.hpp"
#include "trelvar/forward_dynamics.hpp"
#include "trelvar/jacobians.hpp"
#include "trelvar/kinematics.hpp"
#include "trelvar/urdf.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  trelvar::Model model;
  try {
    model = trelvar::parse_urdf_from_string(text);
  } catch (const trelvar::Error&) {
    return 0;
  }
  // Keep the per-input work bounded: huge models only exercise the builder.
  if (model.njoints > 200) return 0;
  try {
    trelvar::Data data(model);
    const trelvar::VectorX q = trelvar::neutral(model);
    const trelvar::VectorX v = trelvar::VectorX::Ones(static_cast<Eigen::Index>(model.nv));
    const trelvar::VectorX qn = trelvar::integrate(model, q, v);
    trelvar::forward_kinematics(model, data, qn);
    trelvar::rnea(model, data, qn, v, v);
    trelvar::crba(model, data, qn);
    trelvar::compute_all_terms(model, data, qn, v);
    trelvar::compute_coriolis_matrix(model, data, qn, v);
    trelvar::compute_rnea_derivatives(model, data, qn, v, v);
    // Forward dynamics raises on a body without inertia along its joint's
    // motion (common in fuzzed models): each call is tried on its own.
    try {
      trelvar::aba(model, data, qn, v, v);
      trelvar::aba(model, data, qn, v, v, std::vector<trelvar::Vec6>(model.njoints, trelvar::Vec6::Ones()));
    } catch (const trelvar::Error&) {
    }
    try {
      trelvar::compute_minverse(model, data, qn);
    } catch (const trelvar::Error&) {
    }
    try {
      trelvar::compute_aba_derivatives(model, data, qn, v, v);
    } catch (const trelvar::Error&) {
    }
    for (std::size_t f = 0; f < model.nframes; ++f) {
      trelvar::get_frame_jacobian_time_variation(model, data, f, trelvar::ReferenceFrame::LOCAL);
    }
    trelvar::get_frame_jacobian(model, data, model.njoints - 1, trelvar::ReferenceFrame::LOCAL);
    trelvar::compute_joint_jacobian(model, data, qn, model.njoints - 1);
  } catch (const trelvar::Error&) {
  }
  return 0;
}

// Configuration space (neutral, integrate) and forward kinematics; each
// joint's part comes from its kind (joint_kinds.hpp).
#include "trelvar/kinematics.hpp"

#include "joint_kinds.hpp"
#include "kinematic_stages.hpp"
#include "trelvar/error.hpp"

namespace trelvar {

VectorX neutral(const Model& model) {
  VectorX q = VectorX::Zero(static_cast<Eigen::Index>(model.nq));
  std::size_t o = 0;
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const JointType type = model.joints[i].joint_type;
    double values[7] = {};
    detail::visit_kind(type, [&](auto kind) { kind.neutral(values); });
    // A model whose slices do not add up to nq gets nothing written past nq.
    for (std::size_t k = 0; k < joint_nq(type); ++k, ++o) {
      if (o < model.nq) q[static_cast<Eigen::Index>(o)] = values[k];
    }
  }
  if (o != model.nq) throw Error(configuration_size_message(model.nq, o));
  return q;
}

VectorX integrate(const Model& model, const Eigen::Ref<const VectorX>& q,
                  const Eigen::Ref<const VectorX>& v) {
  VectorX r(q.size());
  integrate(model, q, v, r);
  return r;
}

void integrate(const Model& model, const Eigen::Ref<const VectorX>& q,
               const Eigen::Ref<const VectorX>& v, Eigen::Ref<VectorX> r) {
  const auto qlen = static_cast<std::size_t>(q.size());
  const auto vlen = static_cast<std::size_t>(v.size());
  if (qlen != model.nq) throw Error(configuration_size_message(model.nq, qlen));
  if (vlen != model.nv) throw Error(velocity_size_message(model.nv, vlen));
  if (static_cast<std::size_t>(r.size()) != qlen) {
    throw Error("integrate: the output has " + std::to_string(r.size()) + " entries, expected nq = " +
                std::to_string(qlen));
  }

  r.setZero();
  std::size_t f = 0, e = 0;
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const JointType type = model.joints[i].joint_type;
    const std::size_t jnq = joint_nq(type), jnv = joint_nv(type);
    detail::visit_kind(type, [&](auto kind) {
      kind.check_slices(model, i, f, e, jnq, jnv, qlen, vlen);
      kind.integrate(q.data() + f, v.data() + e, r.data() + f);
    });
    f += jnq;
    e += jnv;
  }
}

void forward_kinematics(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::set_identity(data.omi[0]);
  detail::set_identity(data.limi[0]);
  const detail::SinesAhead sines(model, q.data(), data.work.sincos);
  for (std::size_t i = 1; i < model.njoints; ++i) {
    detail::place_joint(model, data, i, q.data(), sines, [](const auto&) {});
  }
}

}  // namespace trelvar

#include "trelvar/jacobians.hpp"

#include <string>

#include "algorithms.hpp"

namespace trelvar {

namespace detail {

[[gnu::flatten]] void kinematics_and_jacobian(const Model& model, Data& data, const double* q) {
  set_identity(data.omi[0]);
  set_identity(data.limi[0]);
  // Every column of j belongs to exactly one joint (the offsets are checked
  // running totals) and is written whole below, so j needs no clearing.
  for (std::size_t i = 1; i < model.njoints; ++i) {
    placement_step(model, data, i, q);
    if (model.nvs[i] > 0) world_jacobian_columns(model, data, i);
  }
}

[[gnu::flatten]] void velocity_jacobian_pass(const Model& model, Data& data, const double* q, const double* v) {
  // Every column of j and dJ is written whole by its joint's step.
  data.v[0].setZero();
  for (std::size_t i = 1; i < model.njoints; ++i) velocity_jacobian_step(model, data, i, q, v);
}

}  // namespace detail

void compute_joint_jacobians(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::kinematics_and_jacobian(model, data, q.data());
}

Matrix6X compute_joint_jacobian(const Model& model, Data& data, const Eigen::Ref<const VectorX>& q,
                                std::size_t joint_id) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  if (joint_id >= model.njoints) {
    throw Error("Joint ID " + std::to_string(joint_id) + " is out of range (njoints = " +
                std::to_string(model.njoints) + ")");
  }
  Matrix6X jac = Matrix6X::Zero(6, static_cast<Eigen::Index>(model.nv));
  if (joint_id == 0) return jac;

  // rel[a]: placement of joint_id's frame seen from joint a's frame.
  std::vector<SE3>& rel = data.work.rel;
  detail::set_identity(rel[joint_id]);
  for (std::size_t a = joint_id;;) {
    const std::size_t p = model.parents[a];
    const Joint& joint = model.joints[a];
    data.limi[a] = joint.nq == 0 ? model.placements[a]
                                 : model.placements[a].compose(detail::joint_transform(
                                       joint, model.unit_axes[a], q.data() + model.idx_qs[a]));
    if (p != 0) rel[p] = data.limi[a].compose(rel[a]);
    const std::size_t b = model.idx_vs[a];
    for (std::size_t k = 0; k < model.nvs[a] && b + k < model.nv; ++k) {
      jac.col(static_cast<Eigen::Index>(b + k)) =
          act_inv_column(rel[a], detail::subspace_column(joint, model.unit_axes[a], k));
    }
    if (p == 0) break;
    a = p;
  }
  return jac;
}

Matrix6X get_frame_jacobian(const Model& model, const Data& data, std::size_t joint,
                            ReferenceFrame reference_frame) {
  check_data_matches(model, data);
  if (joint >= model.njoints) {
    throw Error("Joint ID " + std::to_string(joint) + " out of bounds (njoints = " +
                std::to_string(model.njoints) + ")");
  }
  Matrix6X jac = Matrix6X::Zero(6, static_cast<Eigen::Index>(model.nv));
  if (joint == 0) return jac;
  const SE3& m = data.omi[joint];
  const auto ncols = static_cast<std::size_t>(data.j.cols());
  for (std::size_t a = joint; a != 0; a = model.parents[a]) {
    const std::size_t b = model.idx_vs[a];
    for (std::size_t c = b; c < b + model.nvs[a] && c < ncols; ++c) {
      const auto ci = static_cast<Eigen::Index>(c);
      const Vec6 col = data.j.col(ci);
      switch (reference_frame) {
        case ReferenceFrame::WORLD:
          jac.col(ci) = col;
          break;
        case ReferenceFrame::LOCAL:
          jac.col(ci) = act_inv_column(m, col);
          break;
        case ReferenceFrame::LOCAL_WORLD_ALIGNED:
          jac.col(ci) = make_vec6(Vec3(col.head<3>()) - cross(m.translation, col.tail<3>()),
                                  col.tail<3>());
          break;
      }
    }
  }
  return jac;
}

void compute_joint_jacobians_time_variation(const Model& model, Data& data,
                                            const Eigen::Ref<const VectorX>& q,
                                            const Eigen::Ref<const VectorX>& v) {
  check_data_matches(model, data);
  detail::check_configuration(model, q.size());
  detail::check_velocity(model, v.size());
  detail::velocity_jacobian_pass(model, data, q.data(), v.data());
}

Matrix6X get_frame_jacobian_time_variation(const Model& model, const Data& data,
                                           std::size_t frame_id, ReferenceFrame reference_frame) {
  check_data_matches(model, data);
  if (frame_id >= model.nframes || frame_id >= model.frames.size()) {
    throw Error("Frame ID " + std::to_string(frame_id) + " out of bounds (nframes = " +
                std::to_string(model.nframes) + ")");
  }
  const Frame& frame = model.frames[frame_id];
  const std::size_t joint = frame.parent;
  if (joint >= model.njoints) {
    throw Error("Frame " + std::to_string(frame_id) + " has invalid joint ID " +
                std::to_string(joint) + " (njoints = " + std::to_string(model.njoints) + ")");
  }
  Matrix6X out = Matrix6X::Zero(6, static_cast<Eigen::Index>(model.nv));
  if (joint == 0) return out;
  const SE3 omf = data.omi[joint].compose(frame.placement);
  const auto dcols = static_cast<std::size_t>(data.dJ.cols());
  const auto jcols = static_cast<std::size_t>(data.j.cols());

  // Runs f(c) for every chain column c below the given column count.
  auto for_chain_columns = [&](std::size_t limit, auto&& f) {
    for (std::size_t a = joint; a != 0; a = model.parents[a]) {
      const std::size_t b = model.idx_vs[a];
      for (std::size_t c = b; c < b + model.nvs[a] && c < limit; ++c) {
        f(static_cast<Eigen::Index>(c));
      }
    }
  };

  switch (reference_frame) {
    case ReferenceFrame::WORLD:
      for_chain_columns(dcols, [&](Eigen::Index c) { out.col(c) = data.dJ.col(c); });
      break;
    case ReferenceFrame::LOCAL: {
      for_chain_columns(dcols, [&](Eigen::Index c) {
        out.col(c) = act_inv_column(omf, data.dJ.col(c));
      });
      // The frame's own velocity in its own axes.
      const Vec6 vf = act_inv_motion(frame.placement, data.v[joint]);
      const Vec3 wf = angular(vf), uf = linear(vf);
      for_chain_columns(jcols, [&](Eigen::Index c) {
        const Vec6 l = act_inv_column(omf, data.j.col(c));
        const Vec3 lv = l.head<3>(), lw = l.tail<3>();
        out.col(c).head<3>() -= cross(wf, lv) + cross(uf, lw);
        out.col(c).tail<3>() -= cross(wf, lw);
      });
      break;
    }
    case ReferenceFrame::LOCAL_WORLD_ALIGNED: {
      const Vec3& t = omf.translation;
      for_chain_columns(dcols, [&](Eigen::Index c) {
        const Vec6 d = data.dJ.col(c);
        out.col(c) = make_vec6(Vec3(d.head<3>()) - cross(t, d.tail<3>()), d.tail<3>());
      });
      const Vec6& ov = data.ov[joint];
      const Vec3 origin_velocity = linear(ov) + cross(angular(ov), t);
      for_chain_columns(jcols, [&](Eigen::Index c) {
        out.col(c).head<3>() -= cross(origin_velocity, data.j.col(c).tail<3>());
      });
      break;
    }
  }
  return out;
}

}  // namespace trelvar

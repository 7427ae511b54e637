#include "trelvar/jacobians.hpp"

#include <algorithm>
#include <string>

#include "kinematic_stages.hpp"
#include "spatial/motion.hpp"

namespace trelvar {

namespace detail {

// Every column of j belongs to exactly one joint (the offsets are checked
// running totals) and is written whole below, so j needs no clearing.
[[gnu::flatten]] void kinematics_and_jacobian(const Model& model, Data& data, const double* q) {
  set_identity(data.omi[0]);
  set_identity(data.limi[0]);
  const SinesAhead sines(model, q, data.work.sincos);
  for (std::size_t i = 1; i < model.njoints; ++i) {
    place_joint(model, data, i, q, sines, [](const auto&) {});
    if (model.nvs[i] > 0) world_jacobian_columns(model, data, i);
  }
}

// Every column of j and dJ is written whole by its joint's step.
[[gnu::flatten]] void velocity_jacobian_pass(const Model& model, Data& data, const double* q,
                                             const double* v, std::int8_t* forms) {
  data.v[0].setZero();
  const SinesAhead sines(model, q, data.work.sincos);
  for (std::size_t i = 1; i < model.njoints; ++i) {
    const int form = velocity_step(model, data, i, q, v, sines);
    if (forms != nullptr) forms[i] = static_cast<std::int8_t>(form);
  }
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
    throw Error("Joint ID " + std::to_string(joint_id) +
                " is out of range (njoints = " + std::to_string(model.njoints) + ")");
  }
  Matrix6X jac = Matrix6X::Zero(6, static_cast<Eigen::Index>(model.nv));
  if (joint_id == 0) return jac;

  // rel[a]: placement of joint_id's frame seen from joint a's frame; the
  // columns of joint a are rel[a]^-1 S_a.
  std::vector<SE3>& rel = data.work.rel;
  detail::set_identity(rel[joint_id]);
  for (std::size_t a = joint_id;;) {
    const std::size_t p = model.parents[a];
    const JointType type = model.joints[a].joint_type;
    const detail::UnitAxis axis = detail::joint_axis(model, a);
    data.limi[a] =
        detail::joint_placement(type, model.placements[a], axis, q.data() + model.idx_qs[a]);
    if (p != 0) rel[p] = data.limi[a].compose(rel[a]);
    const std::size_t b = model.idx_vs[a];
    for (std::size_t k = 0; k < model.nvs[a] && b + k < model.nv; ++k) {
      detail::store_column(jac.col(static_cast<Eigen::Index>(b + k)).data(),
                           detail::act_inv(rel[a], detail::subspace_column(type, axis, k)));
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
    throw Error("Joint ID " + std::to_string(joint) +
                " out of bounds (njoints = " + std::to_string(model.njoints) + ")");
  }
  Matrix6X jac = Matrix6X::Zero(6, static_cast<Eigen::Index>(model.nv));
  if (joint == 0) return jac;
  const SE3& m = data.omi[joint];
  const auto ncols = static_cast<std::size_t>(data.j.cols());
  for (std::size_t a = joint; a != 0; a = model.parents[a]) {
    const std::size_t b = model.idx_vs[a];
    for (std::size_t c = b; c < b + model.nvs[a] && c < ncols; ++c) {
      const auto ci = static_cast<Eigen::Index>(c);
      const double* column = data.j.col(ci).data();
      double* out = jac.col(ci).data();
      switch (reference_frame) {
        case ReferenceFrame::WORLD:
          std::copy(column, column + 6, out);
          break;
        case ReferenceFrame::LOCAL:
          detail::store_column(out, detail::act_inv(m, detail::motion_of_column(column)));
          break;
        case ReferenceFrame::LOCAL_WORLD_ALIGNED:
          detail::store_column(out, detail::act_inv(detail::Translation{{}, m.translation},
                                                    detail::motion_of_column(column)));
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
    throw Error("Frame ID " + std::to_string(frame_id) +
                " out of bounds (nframes = " + std::to_string(model.nframes) + ")");
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

  using detail::Motion;
  using detail::motion_of_column;
  using detail::store_column;
  switch (reference_frame) {
    case ReferenceFrame::WORLD:
      for_chain_columns(dcols, [&](Eigen::Index c) { out.col(c) = data.dJ.col(c); });
      break;
    case ReferenceFrame::LOCAL: {
      // d/dt (oXf^-1 J) = oXf^-1 dJ - vf x (oXf^-1 J), vf the frame's own
      // velocity in its own axes.
      for_chain_columns(dcols, [&](Eigen::Index c) {
        store_column(out.col(c).data(),
                     detail::act_inv(omf, motion_of_column(data.dJ.col(c).data())));
      });
      const Motion<> vf = detail::act_inv(frame.placement, detail::motion_of(data.v[joint]));
      for_chain_columns(jcols, [&](Eigen::Index c) {
        const Motion<> local = detail::act_inv(omf, motion_of_column(data.j.col(c).data()));
        double* column = out.col(c).data();
        store_column(column, motion_of_column(column) - detail::cross(vf, local));
      });
      break;
    }
    case ReferenceFrame::LOCAL_WORLD_ALIGNED: {
      // The world columns moved to the frame origin t: d/dt (v - t x w, w) =
      // (dv - t x dw - (dt/dt) x w, dw), dt/dt the velocity of the point t.
      const Vec3& t = omf.translation;
      for_chain_columns(dcols, [&](Eigen::Index c) {
        store_column(out.col(c).data(), detail::act_inv(detail::Translation{{}, t},
                                                        motion_of_column(data.dJ.col(c).data())));
      });
      const Vec3 origin_velocity = detail::velocity_at(detail::motion_of(data.ov[joint]), t);
      for_chain_columns(jcols, [&](Eigen::Index c) {
        double* column = out.col(c).data();
        Motion<> moved = motion_of_column(column);
        moved.v -= cross(origin_velocity, motion_of_column(data.j.col(c).data()).w);
        store_column(column, moved);
      });
      break;
    }
  }
  return out;
}

}  // namespace trelvar

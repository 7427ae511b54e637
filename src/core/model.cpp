#include "trelvar/model.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "joint_kinds.hpp"
#include "spatial/rotation.hpp"
#include "trelvar/error.hpp"

namespace trelvar {

std::string FrameType::to_string() const {
  static constexpr std::pair<std::uint32_t, const char*> kFlags[] = {
      {OP_FRAME, "OP_FRAME"}, {JOINT, "JOINT"}, {FIXED_JOINT, "FIXED_JOINT"},
      {BODY, "BODY"},         {SENSOR, "SENSOR"}};
  if (bits == 0) return "FrameType(0x0)";
  std::string out = "FrameType(";
  bool first = true;
  for (const auto& [flag, label] : kFlags) {
    if ((bits & flag) == 0) continue;
    if (!first) out += " | ";
    out += label;
    first = false;
  }
  // Bits outside the five known flags are shown in hexadecimal.
  const std::uint32_t unknown = bits & ~std::uint32_t{31};
  if (unknown != 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", unknown);
    if (!first) out += " | ";
    out += buf;
  }
  return out + ")";
}

Model::Model() {
  inertias.push_back(Inertia::zero());
  placements.push_back(SE3::identity());
  joints.push_back(Joint::create(JointType::Fixed));
  names.emplace_back("universe");
  idx_qs.push_back(0);
  nqs.push_back(0);
  idx_vs.push_back(0);
  nvs.push_back(0);
  parents.push_back(0);
  children.emplace_back();
  supports.push_back({0});
  subtrees.emplace_back();
  frames.push_back(Frame{"universe", 0, SE3::identity(), FrameType(FrameType::FIXED_JOINT)});
  nv_subtree.push_back(0);
  subtree_end.push_back(1);
  unit_axes.push_back(Vec3::Zero());
  axis_index.push_back(-1);
}

std::size_t Model::add_joint(std::size_t parent, const Joint& joint, const SE3& placement,
                             std::string joint_name) {
  if (parent >= njoints) {
    throw Error("Parent joint index " + std::to_string(parent) +
                " is out of range (njoints = " + std::to_string(njoints) + ")");
  }
  const std::size_t n = njoints;
  // Reserve first so that the appends below cannot fail half-way.
  std::vector<std::size_t> support;
  support.reserve(supports[parent].size() + 1);
  support = supports[parent];
  support.push_back(n);

  idx_qs.push_back(nq);
  nqs.push_back(joint.nq);
  idx_vs.push_back(nv);
  nvs.push_back(joint.nv);
  nq += joint.nq;
  nv += joint.nv;
  joints.push_back(joint);
  placements.push_back(placement);
  inertias.push_back(Inertia::zero());
  names.push_back(std::move(joint_name));
  parents.push_back(parent);
  children.emplace_back();
  children[parent].push_back(n);
  supports.push_back(std::move(support));
  subtrees.push_back({n});
  nv_subtree.push_back(joint.nv);
  subtree_end.push_back(n + 1);
  unit_axes.push_back(detail::joint_unit_axis(joint));
  axis_index.push_back(static_cast<std::int8_t>(detail::aligned_axis(unit_axes.back())));
  for (std::size_t a = parent; a != 0; a = parents[a]) {
    subtrees[a].push_back(n);
    nv_subtree[a] += joint.nv;
    subtree_end[a] = n + 1;
  }
  subtrees[0].push_back(n);
  nv_subtree[0] += joint.nv;
  subtree_end[0] = n + 1;
  ++njoints;
  ++nbodies;
  return n;
}

void Model::set_joint_position_limits(std::size_t joint_id, const std::vector<double>& lower,
                                      const std::vector<double>& upper) {
  if (joint_id >= njoints) return;
  const std::size_t s = idx_vs[joint_id];
  const std::size_t w = nvs[joint_id];
  if (lower_position_limit.size() < s + w) {
    lower_position_limit.resize(s + w, -std::numeric_limits<double>::infinity());
  }
  if (upper_position_limit.size() < s + w) {
    upper_position_limit.resize(s + w, std::numeric_limits<double>::infinity());
  }
  for (std::size_t k = 0; k < w; ++k) {
    if (k < lower.size()) lower_position_limit[s + k] = lower[k];
    if (k < upper.size()) upper_position_limit[s + k] = upper[k];
  }
}

void Model::check_consistency() const {
  const std::size_t n = njoints;
  if (n == 0 || joints.size() != n || placements.size() != n || parents.size() != n ||
      idx_qs.size() != n || nqs.size() != n || idx_vs.size() != n || nvs.size() != n ||
      nv_subtree.size() != n || subtree_end.size() != n || subtrees.size() != n ||
      unit_axes.size() != n || axis_index.size() != n ||
      inertias.size() > n || frames.size() != nframes) {
    throw Error("Model lists do not match njoints = " + std::to_string(n));
  }
  std::size_t q = 0, v = 0;
  for (std::size_t i = 1; i < n; ++i) {
    const JointType type = joints[i].joint_type;
    if (parents[i] >= i || nqs[i] != joint_nq(type) || nvs[i] != joint_nv(type) ||
        idx_qs[i] != q || idx_vs[i] != v || subtree_end[i] > n || subtree_end[i] <= i ||
        axis_index[i] < -1 || axis_index[i] > 2) {
      throw Error("Model joint " + std::to_string(i) + " is inconsistent");
    }
    q += nqs[i];
    v += nvs[i];
  }
  if (q != nq || v != nv) throw Error("Model sizes nq, nv do not match its joints");
}

namespace {

void check_body_inertia(std::size_t joint_id, std::size_t njoints, const Inertia& inertia) {
  if (joint_id >= njoints) {
    throw Error("Joint index " + std::to_string(joint_id) + " is out of range (njoints = " +
                std::to_string(njoints) + ")");
  }
  if (!std::isfinite(inertia.mass) || inertia.mass < 0.0) {
    throw Error("Body mass must be finite and non-negative");
  }
  if (!inertia.lever.allFinite()) throw Error("Centre of mass must be finite");
  for (const double x : inertia.inertia) {
    if (!std::isfinite(x)) throw Error("Rotational inertia must be finite");
  }
}

}  // namespace

void Model::set_inertia(std::size_t joint_id, const Inertia& inertia) {
  check_body_inertia(joint_id, njoints, inertia);
  // A model edited by hand may hold fewer inertias than joints; the missing
  // ones are zero, as the algorithms read them.
  if (inertias.size() < njoints) inertias.resize(njoints, Inertia::zero());
  inertias[joint_id] = inertia;
}

void Model::set_inertia(std::size_t joint_id, double mass, const Vec3& lever,
                        const Mat3& rotational) {
  const Inertia inertia = Inertia::from_matrix(mass, lever, rotational);
  check_body_inertia(joint_id, njoints, inertia);
  if (!rotational.allFinite()) throw Error("Rotational inertia must be finite");
  const double tolerance = 1e-12 * rotational.cwiseAbs().maxCoeff();
  for (int r = 1; r < 3; ++r) {
    for (int c = 0; c < r; ++c) {
      if (std::abs(rotational(r, c) - rotational(c, r)) > tolerance) {
        throw Error("Rotational inertia must be symmetric");
      }
    }
  }
  set_inertia(joint_id, inertia);
}

std::size_t Model::add_frame(Frame frame) {
  frames.push_back(std::move(frame));
  nframes = frames.size();
  return nframes - 1;
}

std::optional<std::size_t> Model::get_joint_id(const std::string& joint_name) const {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == joint_name) return i;
  }
  return std::nullopt;
}

std::optional<std::size_t> Model::get_frame_id(const std::string& frame_name) const {
  for (std::size_t k = 0; k < frames.size(); ++k) {
    if (frames[k].name == frame_name) return k;
  }
  return std::nullopt;
}

}  // namespace trelvar

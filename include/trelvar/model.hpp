// The constant description of a mechanism: a tree of joints rooted at the
// universe (joint 0), with per-joint placements, inertias and coordinate
// slices, named frames, gravity and position limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trelvar/joint.hpp"
#include "trelvar/spatial.hpp"

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar {

// Set of frame-kind bit flags.
struct FrameType {
  static constexpr std::uint32_t OP_FRAME = 1;
  static constexpr std::uint32_t JOINT = 2;
  static constexpr std::uint32_t FIXED_JOINT = 4;
  static constexpr std::uint32_t BODY = 8;
  static constexpr std::uint32_t SENSOR = 16;

  std::uint32_t bits = 0;

  constexpr FrameType() = default;
  constexpr explicit FrameType(std::uint32_t b) : bits(b) {}
  constexpr bool contains(std::uint32_t flag) const { return (bits & flag) == flag; }
  constexpr bool operator==(FrameType o) const { return bits == o.bits; }

  // "FrameType(JOINT)", "FrameType(JOINT | BODY)", "FrameType(0x0)" for the empty set.
  std::string to_string() const;
};

struct Frame {
  std::string name;
  std::size_t parent = 0;  // joint the frame is attached to
  SE3 placement;           // placement in the parent joint's frame
  FrameType frame_type;
};

class Model {
 public:
  // Per-joint lists, entry i describing joint i.
  std::vector<Inertia> inertias;
  std::vector<SE3> placements;
  std::vector<Joint> joints;
  std::vector<std::string> names;
  std::vector<std::size_t> idx_qs;
  std::vector<std::size_t> nqs;
  std::vector<std::size_t> idx_vs;
  std::vector<std::size_t> nvs;
  std::vector<std::size_t> parents;
  std::vector<std::vector<std::size_t>> children;
  std::vector<std::vector<std::size_t>> supports;
  std::vector<std::vector<std::size_t>> subtrees;

  // Indexed by velocity coordinate; grow on demand.
  std::vector<double> lower_position_limit;
  std::vector<double> upper_position_limit;

  std::vector<Frame> frames;
  std::string name;

  std::size_t nq = 0;
  std::size_t nv = 0;
  std::size_t njoints = 1;
  std::size_t nbodies = 1;
  std::size_t nframes = 1;

  // Motion vector, angular part first.
  Vec6 gravity = make_vec6(Vec3::Zero(), Vec3(0.0, 0.0, -9.81));

  // Derived tree data kept alongside the lists above for the algorithms:
  // nv_subtree[i] is the number of velocity coordinates in the subtree of i
  // (joint i included); subtree_end[i] is one past the largest joint index in
  // the subtree of i. The subtree of i occupies the consecutive joint indices
  // i .. subtree_end[i]-1 exactly when subtree_end[i] - i equals the length of
  // subtrees[i] (always the case for models built in depth-first order).
  std::vector<std::size_t> nv_subtree;
  std::vector<std::size_t> subtree_end;
  // unit_axes[i]: joint i's axis divided by its norm for the kinds that read
  // an axis (Revolute, Continuous, Prismatic), zero for the others. Like the
  // two lists above it is derived by add_joint from the joint record.
  std::vector<Vec3> unit_axes;
  // axis_index[i]: k when unit_axes[i] is exactly +e_k or -e_k, else -1 (also
  // derived by add_joint); such joints take shorter paths in the algorithms.
  std::vector<std::int8_t> axis_index;

  // A model holding only the universe.
  Model();

  // Appends a joint under `parent` and returns its index. Throws (leaving the
  // model unchanged) when parent >= njoints.
  std::size_t add_joint(std::size_t parent, const Joint& joint, const SE3& placement,
                        std::string name);

  // Sets the position limits of the velocity coordinates of joint_id; grows the
  // limit lists with -inf / +inf as needed. Ignores an unknown joint_id.
  void set_joint_position_limits(std::size_t joint_id, const std::vector<double>& lower,
                                 const std::vector<double>& upper);

  // Sets the inertia of the body carried by joint_id (entry 0: the body fixed
  // to the world, which no algorithm moves). The mass must be finite and not
  // negative, the lever and the rotational inertia finite. Throws an Error,
  // leaving the model unchanged, for an unknown joint_id or an invalid value.
  // Sizes do not change, so every Data made from the model stays valid.
  void set_inertia(std::size_t joint_id, const Inertia& inertia);
  // The same from a full 3x3 rotational inertia about the centre of mass,
  // which must also be symmetric (to 1e-12 of its largest entry); its lower
  // triangle is stored.
  void set_inertia(std::size_t joint_id, double mass, const Vec3& lever, const Mat3& rotational);

  // Appends a frame; returns its index.
  std::size_t add_frame(Frame frame);

  // First joint / frame carrying `name`, in index order.
  std::optional<std::size_t> get_joint_id(const std::string& name) const;
  std::optional<std::size_t> get_frame_id(const std::string& name) const;

  // True when the subtree of joint i occupies consecutive joint indices, so
  // that its velocity coordinates form the range idx_vs[i] .. idx_vs[i] + nv_subtree[i].
  bool subtree_is_consecutive(std::size_t i) const {
    return subtree_end[i] - i == subtrees[i].size();
  }

  // Throws an Error unless the per-joint lists all have njoints entries, every
  // parent precedes its child, every joint's slice sizes match its kind and the
  // offsets are the running totals. The algorithms call this before they
  // index anything, so a model edited by hand cannot make them read or write
  // outside a buffer.
  void check_consistency() const;

  Vec3 gravity_linear() const { return gravity.tail<3>(); }
  Vec3 gravity_angular() const { return gravity.head<3>(); }
};

}  // namespace trelvar

#pragma GCC visibility pop

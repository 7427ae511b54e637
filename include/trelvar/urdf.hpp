// Building a Model from a URDF robot description.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "trelvar/model.hpp"

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar {
namespace urdf {

struct Origin {
  Vec3 xyz = Vec3::Zero();
  Vec3 rpy = Vec3::Zero();
};

struct LinkRecord {
  std::string name;
  Origin inertial_origin;
  double mass = 0.0;  // 0 when the link has no <inertial>
  double ixx = 0.0, ixy = 0.0, ixz = 0.0, iyy = 0.0, iyz = 0.0, izz = 0.0;
};

struct JointRecord {
  std::string name;
  JointType kind = JointType::Fixed;
  std::string parent_link;
  std::string child_link;
  Origin origin;
  Vec3 axis = Vec3(1.0, 0.0, 0.0);
  double lower = 0.0;
  double upper = 0.0;
};

struct RobotRecord {
  std::string name;
  std::vector<LinkRecord> links;    // document order
  std::vector<JointRecord> joints;  // document order
};

// Reads a URDF document into records. Throws an Error naming the element,
// attribute and value of the first malformed item.
RobotRecord read_robot(const std::string& text);

}  // namespace urdf

// `verbose` prints a progress report on the process's standard output.
// The links must form one tree: an Error names a joint whose parent or child
// link is not declared, two root links that both carry joints, a link that is
// the child of two joints, or a joint on or below a loop the root cannot reach.
// Links no joint mentions are ignored.
Model parse_urdf_file(const std::string& path, bool verbose = false);
Model parse_urdf_from_string(const std::string& text, bool verbose = false);
Model build_model_from_urdf(const urdf::RobotRecord& robot, bool verbose = false);
Inertia convert_inertia_from_urdf(const urdf::LinkRecord& link);

}  // namespace trelvar

#pragma GCC visibility pop

// Robot records -> Model: one model joint per URDF joint, in depth-first
// pre-order of the link tree (siblings in document order of their joints).
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "trelvar/error.hpp"
#include "trelvar/urdf.hpp"

namespace trelvar {

namespace {

void print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string fixed(double x, int precision) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", precision, x);
  return buf;
}

// Shortest text that reads back as the same double.
std::string shortest(double x) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x);
  return ec == std::errc() ? std::string(buf, end) : fixed(x, 17);
}

std::string vector_text(const Vec3& v) {
  return "[" + shortest(v[0]) + ", " + shortest(v[1]) + ", " + shortest(v[2]) + "]";
}

std::string matrix_text(const Mat3& m) {
  std::string s = "[";
  for (int r = 0; r < 3; ++r) {
    if (r > 0) s += ", ";
    s += vector_text(Vec3(m(r, 0), m(r, 1), m(r, 2)));
  }
  return s + "]";
}

// Name lookups over the records, built once.
struct Index {
  std::unordered_map<std::string, std::size_t> link_by_name;         // first link of a name
  std::unordered_map<std::string, std::size_t> joint_by_child;       // first joint of a child
  std::unordered_map<std::string, std::vector<std::size_t>> joints_by_parent;  // document order

  explicit Index(const urdf::RobotRecord& robot) {
    for (std::size_t k = 0; k < robot.links.size(); ++k) {
      link_by_name.emplace(robot.links[k].name, k);
    }
    for (std::size_t k = 0; k < robot.joints.size(); ++k) {
      const urdf::JointRecord& j = robot.joints[k];
      require_declared(j, "parent", j.parent_link);
      require_declared(j, "child", j.child_link);
      const auto [it, inserted] = joint_by_child.emplace(j.child_link, k);
      if (!inserted) {
        throw Error("Link '" + j.child_link + "' is the child of more than one joint ('" +
                    robot.joints[it->second].name + "' and '" + j.name +
                    "'): the links do not form a tree");
      }
      joints_by_parent[j.parent_link].push_back(k);
    }
  }

  // A joint may only name links the description declares: a misspelt name
  // would otherwise cut the joint and everything below it from the model.
  void require_declared(const urdf::JointRecord& j, const char* role,
                        const std::string& link) const {
    if (link_by_name.count(link) == 0) {
      throw Error("Joint '" + j.name + "' names " + role + " link '" + link +
                  "', which is not declared in the URDF");
    }
  }

  // Links reached from `link` through its joints, in document order.
  template <class F>
  void for_each_child(const urdf::RobotRecord& robot, const std::string& link, F&& f) const {
    const auto it = joints_by_parent.find(link);
    if (it == joints_by_parent.end()) return;
    for (std::size_t k : it->second) f(link_by_name.at(robot.joints[k].child_link));
  }
};

}  // namespace

Inertia convert_inertia_from_urdf(const urdf::LinkRecord& link) {
  if (link.mass == 0.0) return Inertia::zero();
  // Rotation of the inertial frame through the unit quaternion of the half
  // angles: q = qz(yaw) * qy(pitch) * qx(roll).
  const Vec3& rpy = link.inertial_origin.rpy;
  const double cr = std::cos(rpy[0] / 2), sr = std::sin(rpy[0] / 2);
  const double cp = std::cos(rpy[1] / 2), sp = std::sin(rpy[1] / 2);
  const double cy = std::cos(rpy[2] / 2), sy = std::sin(rpy[2] / 2);
  const double w = cr * cp * cy + sr * sp * sy;
  const double x = sr * cp * cy - cr * sp * sy;
  const double y = cr * sp * cy + sr * cp * sy;
  const double z = cr * cp * sy - sr * sp * cy;
  const Mat3 r = rotation_from_quaternion(x, y, z, w);
  Mat3 iu;
  iu << link.ixx, link.ixy, link.ixz, link.ixy, link.iyy, link.iyz, link.ixz, link.iyz, link.izz;
  // R Iu R^T, with the centre of mass at the inertial origin.
  return se3_act_on_inertia(SE3(r, link.inertial_origin.xyz),
                            Inertia::from_matrix(link.mass, Vec3::Zero(), iu));
}

Model build_model_from_urdf(const urdf::RobotRecord& robot, bool verbose) {
  Model model;
  model.name = robot.name;
  const Index index(robot);

  // The root is the first link that is never a child and carries joints. A
  // second such link would start a tree the model could not hold. A link no
  // joint mentions is ignored, unless no link carries any (a single body).
  const urdf::LinkRecord* root = nullptr;
  const urdf::LinkRecord* lone = nullptr;
  for (const urdf::LinkRecord& link : robot.links) {
    if (index.joint_by_child.count(link.name) != 0) continue;
    if (index.joints_by_parent.count(link.name) == 0) {
      if (lone == nullptr) lone = &link;
    } else if (root == nullptr) {
      root = &link;
    } else if (link.name != root->name) {
      throw Error("Links '" + root->name + "' and '" + link.name +
                  "' are both root links (never the child of a joint): the links do not form a "
                  "single tree");
    }
  }
  if (root == nullptr) root = lone;
  if (root == nullptr) throw Error("No root link found in URDF");

  const Inertia root_inertia = convert_inertia_from_urdf(*root);
  if (verbose) {
    print("Root link: " + root->name + "\n");
    print("Adding root link: " + root->name + " (mass: " + fixed(root_inertia.mass, 3) + " kg)\n");
  }
  model.inertias[0] = root_inertia;
  model.add_frame(Frame{root->name, 0, SE3::identity(), FrameType(FrameType::BODY)});

  // Depth-first pre-order with an explicit stack of (link, parent joint).
  std::vector<std::pair<std::size_t, std::size_t>> stack;
  std::vector<std::size_t> children;
  std::vector<bool> visited(robot.links.size(), false);
  visited[static_cast<std::size_t>(root - robot.links.data())] = true;
  auto push_children = [&](const std::string& link, std::size_t parent_joint) {
    children.clear();
    index.for_each_child(robot, link, [&](std::size_t child) { children.push_back(child); });
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      stack.emplace_back(*it, parent_joint);
    }
  };
  push_children(root->name, 0);

  while (!stack.empty()) {
    const auto [link_index, parent] = stack.back();
    stack.pop_back();
    const urdf::LinkRecord& link = robot.links[link_index];
    if (visited[link_index]) {
      throw Error("Link '" + link.name + "' is reached twice: the links do not form a tree");
    }
    visited[link_index] = true;
    const urdf::JointRecord& joint = robot.joints[index.joint_by_child.at(link.name)];

    if (verbose) {
      print("\nAdding Body\n\"" + link.name + "\" connected to parent through joint \"" +
            joint.name + "\"\n");
    }
    const SE3 placement(rotation_from_rpy(joint.origin.rpy[0], joint.origin.rpy[1],
                                          joint.origin.rpy[2]),
                        joint.origin.xyz);
    const Joint record = Joint::create(joint.kind, joint.axis);
    if (verbose) {
      print(std::string("joint type: ") + joint_type_name(joint.kind) + "\n" +
            "joint placement:\n  R = " + matrix_text(placement.rotation) + "\n  p = " +
            vector_text(placement.translation) + "\n");
    }
    const std::size_t id = model.add_joint(parent, record, placement, joint.name);
    if (joint.kind != JointType::Fixed) {
      const std::size_t n = joint_nv(joint.kind);
      model.set_joint_position_limits(id, std::vector<double>(n, joint.lower),
                                      std::vector<double>(n, joint.upper));
      if (verbose) {
        print("  position limits: [" + fixed(joint.lower, 4) + ", " + fixed(joint.upper, 4) + "]\n");
      }
    }
    const Inertia inertia = convert_inertia_from_urdf(link);
    if (verbose) {
      std::string elements;
      for (std::size_t k = 0; k < 6; ++k) {
        elements += (k == 0 ? "" : ", ") + fixed(inertia.inertia[k], 4);
      }
      print("body info:\n  mass: " + shortest(inertia.mass) + "\n  lever: " +
            vector_text(inertia.lever) + "\n  inertia elements (Ixx,Iyx,Iyy,Izx,Izy,Izz): [" +
            elements + "]\n");
    }
    model.inertias[id] = inertia;
    model.add_frame(Frame{joint.name, id, SE3::identity(), FrameType(FrameType::JOINT)});
    model.add_frame(Frame{link.name, id, SE3::identity(), FrameType(FrameType::BODY)});
    push_children(link.name, id);
  }

  // Every link is declared, the child of at most one joint, and no other root
  // carries joints: walking up from a joint left out here never reaches the
  // root, so it ends in a loop of joints detached from it.
  for (const urdf::JointRecord& joint : robot.joints) {
    if (!visited[index.link_by_name.at(joint.child_link)]) {
      throw Error("Joint '" + joint.name + "' cannot be reached from root link '" + root->name +
                  "' (the links above it form a loop): the links do not form a tree");
    }
  }

  if (verbose) {
    print("\n\xe2\x9c\x93 Model construction complete!\n  Total joints: " +
          std::to_string(model.njoints) + "\n  Total DOF: " + std::to_string(model.nq) + "\n");
  }
  return model;
}

Model parse_urdf_from_string(const std::string& text, bool verbose) {
  urdf::RobotRecord robot;
  try {
    robot = urdf::read_robot(text);
  } catch (const Error& e) {
    throw Error("Failed to parse URDF from string", e.full_message());
  }
  return build_model_from_urdf(robot, verbose);
}

Model parse_urdf_file(const std::string& path, bool verbose) {
  if (verbose) print("Loading URDF file: " + path + "\n");
  std::string text;
  urdf::RobotRecord robot;
  try {
    // The operating system stops a file name at its first NUL byte: refuse it
    // rather than open a shorter name.
    if (path.find('\0') != std::string::npos) throw Error("the file name contains a NUL byte");
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) throw Error(std::strerror(errno));
    char buf[65536];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
    const bool failed = std::ferror(file) != 0;
    const int err = errno;
    std::fclose(file);
    if (failed) throw Error(std::strerror(err));
    robot = urdf::read_robot(text);
  } catch (const Error& e) {
    throw Error("Failed to parse URDF file: " + path, e.full_message());
  }
  if (verbose) print("Successfully parsed URDF: " + robot.name + "\n");
  return build_model_from_urdf(robot, verbose);
}

}  // namespace trelvar

// Models built in code for tests and benchmarks: an arm, a branching tree,
// chains, and random trees with every joint kind.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "trelvar/kinematics.hpp"
#include "trelvar/model.hpp"

namespace trelvar::samples {

// A physically plausible body: principal moments from a box of the given mass
// and sides, rotated, with the centre of mass at `com`.
inline Inertia box_inertia(double mass, const Vec3& sides, const Vec3& com,
                           const Mat3& rotation = Mat3::Identity()) {
  const double x2 = sides[0] * sides[0], y2 = sides[1] * sides[1], z2 = sides[2] * sides[2];
  const Mat3 principal = (mass / 12.0 * Vec3(y2 + z2, x2 + z2, x2 + y2)).asDiagonal();
  return Inertia::from_matrix(mass, com, rotation * principal * rotation.transpose());
}

inline Inertia random_inertia(std::mt19937& rng) {
  std::uniform_real_distribution<double> mass(0.2, 5.0), side(0.02, 0.4), off(-0.15, 0.15);
  std::normal_distribution<double> n;
  const Mat3 r = rotation_from_quaternion(n(rng), n(rng), n(rng), n(rng));
  return box_inertia(mass(rng), Vec3(side(rng), side(rng), side(rng)),
                     Vec3(off(rng), off(rng), off(rng)), r);
}

inline SE3 random_placement(std::mt19937& rng, double reach = 0.3) {
  std::normal_distribution<double> n;
  std::uniform_real_distribution<double> u(-reach, reach);
  return SE3(rotation_from_quaternion(n(rng), n(rng), n(rng), n(rng)), Vec3(u(rng), u(rng), u(rng)));
}

inline std::size_t add_body(Model& m, std::size_t parent, const Joint& joint, const SE3& placement,
                            const Inertia& inertia, const std::string& name) {
  const std::size_t id = m.add_joint(parent, joint, placement, name);
  m.inertias[id] = inertia;
  return id;
}

// Seven revolute joints with alternating axes, ~0.3 m links, 1-4 kg bodies.
inline Model arm7() {
  Model m;
  m.name = "arm7";
  const Vec3 axes[7] = {Vec3::UnitZ(), Vec3::UnitY(), Vec3::UnitZ(), -Vec3::UnitY(),
                        Vec3::UnitZ(), Vec3::UnitY(), Vec3::UnitZ()};
  const double masses[7] = {4.0, 4.0, 3.0, 2.7, 1.7, 1.6, 0.7};
  std::size_t parent = 0;
  for (int k = 0; k < 7; ++k) {
    const SE3 placement(Mat3::Identity(), Vec3(0.0, k % 3 == 1 ? 0.05 : 0.0, k == 0 ? 0.33 : 0.3));
    parent = add_body(m, parent, Joint::create(JointType::Revolute, axes[k]), placement,
                      box_inertia(masses[k], Vec3(0.1, 0.1, 0.3), Vec3(0.0, 0.01, 0.15)),
                      "joint" + std::to_string(k + 1));
  }
  // A heavy gripper on a fixed joint.
  add_body(m, parent, Joint::create(JointType::Fixed), SE3(Mat3::Identity(), Vec3(0, 0, 0.1)),
           box_inertia(1.5, Vec3(0.15, 0.2, 0.1), Vec3(0, 0, 0.05)), "gripper");
  return m;
}

// A chain of n revolute joints with alternating axes.
inline Model chain(std::size_t n) {
  Model m;
  m.name = "chain_" + std::to_string(n);
  std::size_t parent = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const Vec3 axis = k % 3 == 0 ? Vec3::UnitZ() : (k % 3 == 1 ? Vec3::UnitY() : Vec3::UnitX());
    parent = add_body(m, parent, Joint::create(JointType::Revolute, axis),
                      SE3(Mat3::Identity(), Vec3(0.0, 0.0, 0.1)),
                      box_inertia(0.5, Vec3(0.04, 0.04, 0.1), Vec3(0.0, 0.0, 0.05)),
                      "j" + std::to_string(k + 1));
  }
  return m;
}

// A fixed-base tree of 32 revolute joints: a torso chain of 2 with four
// 7-joint limbs and a 2-joint head, numbered depth first.
inline Model tree32() {
  Model m;
  m.name = "tree32";
  std::size_t torso = 0;
  for (int k = 0; k < 2; ++k) {
    torso = add_body(m, torso, Joint::create(JointType::Revolute, k == 0 ? Vec3::UnitZ() : Vec3::UnitY()),
                     SE3(Mat3::Identity(), Vec3(0, 0, 0.2)),
                     box_inertia(8.0, Vec3(0.3, 0.2, 0.2), Vec3(0, 0, 0.1)), "torso" + std::to_string(k));
  }
  const Vec3 offsets[4] = {Vec3(0, 0.2, 0.2), Vec3(0, -0.2, 0.2), Vec3(0, 0.1, -0.2), Vec3(0, -0.1, -0.2)};
  for (int limb = 0; limb < 4; ++limb) {
    std::size_t parent = torso;
    for (int k = 0; k < 7; ++k) {
      const Vec3 axis = k % 3 == 0 ? Vec3::UnitX() : (k % 3 == 1 ? Vec3::UnitY() : Vec3::UnitZ());
      parent = add_body(m, parent, Joint::create(JointType::Revolute, axis),
                        SE3(Mat3::Identity(), k == 0 ? offsets[limb] : Vec3(0, 0, -0.25)),
                        box_inertia(2.0 - 0.2 * k, Vec3(0.08, 0.08, 0.25), Vec3(0, 0, -0.12)),
                        "limb" + std::to_string(limb) + "_" + std::to_string(k));
    }
  }
  std::size_t head = torso;
  for (int k = 0; k < 2; ++k) {
    head = add_body(m, head, Joint::create(JointType::Revolute, k == 0 ? Vec3::UnitZ() : Vec3::UnitY()),
                    SE3(Mat3::Identity(), Vec3(0, 0, 0.15)),
                    box_inertia(1.5, Vec3(0.15, 0.15, 0.15), Vec3(0, 0, 0.08)), "neck" + std::to_string(k));
  }
  return m;
}

// A random tree of n joints. Kinds cycle through every joint type (a Floating
// joint only as the first joint when `floating_base`); parents are random among
// earlier joints, so subtrees are generally not numbered consecutively.
inline Model random_tree(std::mt19937& rng, std::size_t n, bool floating_base = true) {
  static const JointType kinds[] = {JointType::Revolute, JointType::Prismatic,  JointType::Fixed,
                                    JointType::Continuous, JointType::Spherical, JointType::Planar,
                                    JointType::Revolute,  JointType::Floating};
  std::normal_distribution<double> normal;
  Model m;
  m.name = "random";
  for (std::size_t k = 0; k < n; ++k) {
    std::uniform_int_distribution<std::size_t> pick(k == 0 ? 0 : 1, m.njoints - 1);
    const std::size_t parent = k == 0 ? 0 : pick(rng);
    JointType type = kinds[k % 8];
    if (k == 0 && floating_base) type = JointType::Floating;
    const Vec3 axis(normal(rng), normal(rng), normal(rng));
    add_body(m, parent, Joint::create(type, axis), random_placement(rng), random_inertia(rng),
             "j" + std::to_string(k + 1));
  }
  return m;
}

// The same mechanism as `m`, with joints renumbered in depth-first pre-order
// (children in the order they were added). Returns the old -> new map in `order`.
inline Model renumber_depth_first(const Model& m, std::vector<std::size_t>* order = nullptr) {
  Model out;
  out.name = m.name;
  out.gravity = m.gravity;
  std::vector<std::size_t> new_index(m.njoints, 0);
  std::vector<std::size_t> stack(m.children[0].rbegin(), m.children[0].rend());
  while (!stack.empty()) {
    const std::size_t i = stack.back();
    stack.pop_back();
    new_index[i] = add_body(out, new_index[m.parents[i]], m.joints[i], m.placements[i],
                            m.inertias[i], m.names[i]);
    for (auto c = m.children[i].rbegin(); c != m.children[i].rend(); ++c) stack.push_back(*c);
  }
  if (order != nullptr) *order = new_index;
  return out;
}

inline VectorX random_vector(std::mt19937& rng, std::size_t n, double scale = 1.0) {
  std::normal_distribution<double> normal(0.0, scale);
  VectorX x(static_cast<Eigen::Index>(n));
  for (Eigen::Index k = 0; k < x.size(); ++k) x[k] = normal(rng);
  return x;
}

// A valid configuration: the neutral one moved by a random velocity.
inline VectorX random_configuration(std::mt19937& rng, const Model& m) {
  return integrate(m, neutral(m), random_vector(rng, m.nv));
}

}  // namespace trelvar::samples

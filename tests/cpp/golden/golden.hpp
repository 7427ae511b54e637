// Golden values: every output of every public algorithm on a fixed set of
// models and states, as named arrays of doubles.
//
// One code path serves both sides: `golden_dump` writes what
// `model_outputs` produces to tests/cpp/golden/reference.txt.gz, and
// test_golden recomputes the same outputs with the library under test and
// compares them with that file (relative tolerance 1e-13 per array).
//
// The models and states come from a generator of our own on top of
// std::mt19937_64 (whose sequence the standard fixes): no std::*_distribution,
// whose output differs between standard libraries, so GCC and Clang builds
// see the same inputs.
//
// Regenerate the reference only when a change is meant to alter results:
//   scripts/regen-golden [build-dir]      (or: make golden)
// and say in the commit why the values moved.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "trelvar/data.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/error.hpp"
#include "trelvar/jacobians.hpp"
#include "trelvar/joint.hpp"
#include "trelvar/kinematics.hpp"
#include "trelvar/model.hpp"
#include "trelvar/spatial.hpp"
#include "trelvar/urdf.hpp"

namespace trelvar::golden {

struct Output {
  std::string name;
  std::vector<double> values;
};

struct StateOutputs {
  std::string state;  // "static" for the model-only outputs, else "0", "1", ...
  std::vector<Output> outputs;
};

// ---------------------------------------------------------------------------
// Deterministic numbers: the mapping from 64 random bits to doubles is ours.

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : engine_(seed) {}
  // Uniform in [0, 1): the top 53 bits.
  double unit() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  double uniform(double lo, double hi) { return lo + (hi - lo) * unit(); }
  // Uniform in 0 .. n-1 (n small, so the modulo bias is irrelevant here).
  std::size_t index(std::size_t n) { return static_cast<std::size_t>(engine_() % n); }
  // Draws in a fixed order: never several draws in one argument list, whose
  // evaluation order differs between compilers.
  Vec3 vec3(double lo, double hi) {
    Vec3 x;
    for (int k = 0; k < 3; ++k) x[k] = uniform(lo, hi);
    return x;
  }
  VectorX vector(std::size_t n, double lo, double hi) {
    VectorX x(static_cast<Eigen::Index>(n));
    for (Eigen::Index k = 0; k < x.size(); ++k) x[k] = uniform(lo, hi);
    return x;
  }
  // A rotation from a quaternion with components uniform in [-1, 1]
  // (normalised by the builder; near-zero draws are redrawn).
  Mat3 rotation() {
    for (;;) {
      const double x = uniform(-1, 1), y = uniform(-1, 1), z = uniform(-1, 1), w = uniform(-1, 1);
      if (x * x + y * y + z * z + w * w > 0.01) return rotation_from_quaternion(x, y, z, w);
    }
  }

 private:
  std::mt19937_64 engine_;
};

// ---------------------------------------------------------------------------
// Random trees with every joint kind.

struct TreeSpec {
  const char* name;
  std::uint64_t seed;
  std::size_t joints;
  bool floating_base;
  bool angular_gravity;  // gravity with an angular part (the combined pass reads it)
};

inline const std::vector<TreeSpec>& tree_specs() {
  static const std::vector<TreeSpec> specs = {
      {"tree_a_floating", 101, 12, true, false},  {"tree_b_fixed", 202, 12, false, false},
      {"tree_c_floating", 303, 10, true, true},   {"tree_d_fixed", 404, 14, false, false},
      {"tree_e_fixed", 505, 9, false, true},      {"tree_f_floating", 606, 11, true, false},
  };
  return specs;
}

// Joint kinds: the first seven cover every kind once (in an order drawn from
// the generator), later ones are drawn freely. A floating base puts Floating
// first. Parents are drawn among all earlier joints, so subtrees are not
// numbered consecutively. Axes are +-e_k (the coordinate-axis paths) or
// general and unnormalised; placements are unrotated, rotated about a
// coordinate axis, or rotated generally. One leaf carries no mass.
inline Model random_tree(const TreeSpec& spec) {
  Generator gen(spec.seed);
  static const JointType kAll[] = {JointType::Fixed,    JointType::Revolute, JointType::Continuous,
                                   JointType::Prismatic, JointType::Planar,   JointType::Floating,
                                   JointType::Spherical};
  std::vector<JointType> kinds(std::begin(kAll), std::end(kAll));
  for (std::size_t k = kinds.size(); k > 1; --k) std::swap(kinds[k - 1], kinds[gen.index(k)]);
  if (spec.floating_base) {
    for (std::size_t k = 0; k < kinds.size(); ++k) {
      if (kinds[k] == JointType::Floating) std::swap(kinds[0], kinds[k]);
    }
  } else if (kinds[0] == JointType::Floating || kinds[0] == JointType::Fixed) {
    std::swap(kinds[0], kinds[3]);
  }
  while (kinds.size() < spec.joints) {
    // Mostly one-coordinate joints, as in real mechanisms.
    static const JointType kMore[] = {JointType::Revolute,  JointType::Revolute, JointType::Prismatic,
                                      JointType::Continuous, JointType::Revolute, JointType::Spherical,
                                      JointType::Fixed,      JointType::Planar};
    kinds.push_back(kMore[gen.index(8)]);
  }

  Model m;
  m.name = spec.name;
  if (spec.angular_gravity) m.gravity = make_vec6(Vec3(0.2, -0.1, 0.3), Vec3(0.5, -1.0, -9.7));
  for (std::size_t k = 0; k < spec.joints; ++k) {
    const std::size_t parent = k == 0 ? 0 : 1 + gen.index(m.njoints - 1);
    Vec3 axis;
    if (gen.index(2) == 0) {
      axis = Vec3::Zero();
      const auto k_axis = static_cast<Eigen::Index>(gen.index(3));
      axis[k_axis] = gen.index(2) == 0 ? 1.0 : -1.0;
    } else {
      axis = gen.vec3(-1, 1);
      if (axis.norm() < 0.2) axis[2] += 1.0;
    }
    Mat3 rot = Mat3::Identity();
    switch (gen.index(3)) {
      case 0: break;
      case 1: {
        Vec3 e = Vec3::Zero();
        e[static_cast<Eigen::Index>(gen.index(3))] = 1.0;
        rot = rotation_from_axis_angle(e, gen.uniform(-3, 3));
        break;
      }
      default: rot = gen.rotation(); break;
    }
    const SE3 placement(rot, gen.vec3(-0.4, 0.4));
    const std::size_t id = m.add_joint(parent, Joint::create(kinds[k], axis), placement,
                                       "j" + std::to_string(k + 1));
    m.add_frame(Frame{m.names[id], id, SE3::identity(), FrameType(FrameType::JOINT)});
    const bool massless = k + 1 == spec.joints;
    if (!massless) {
      const double mass = gen.uniform(0.2, 5.0);
      const Vec3 sides = gen.vec3(0.02, 0.4);
      const double x2 = sides[0] * sides[0], y2 = sides[1] * sides[1], z2 = sides[2] * sides[2];
      const Mat3 principal = (mass / 12.0 * Vec3(y2 + z2, x2 + z2, x2 + y2)).asDiagonal();
      const Mat3 r = gen.rotation();
      m.inertias[id] = Inertia::from_matrix(mass, gen.vec3(-0.15, 0.15), r * principal * r.transpose());
    }
  }
  return m;
}

inline const std::vector<std::string>& urdf_models() {
  static const std::vector<std::string> names = {"arm7", "arm6", "quadruped",
                                                 "humanoid", "tree30", "chain_16"};
  return names;
}

// Every model of the set, by name.
inline std::vector<std::string> model_names() {
  std::vector<std::string> names = urdf_models();
  for (const TreeSpec& s : tree_specs()) names.emplace_back(s.name);
  return names;
}

inline std::uint64_t seed_of(const std::string& name) {
  std::uint64_t h = 1469598103934665603ULL;  // FNV-1a
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ULL;
  return h;
}

// The model called `name`, with one extra operational frame at a general
// placement so that frame placements enter the frame Jacobians.
inline Model make_model(const std::string& name, const std::string& models_dir) {
  Model m;
  bool found = false;
  for (const std::string& u : urdf_models()) {
    if (u == name) {
      m = parse_urdf_file(models_dir + "/" + name + ".urdf");
      found = true;
    }
  }
  for (const TreeSpec& s : tree_specs()) {
    if (name == s.name) {
      m = random_tree(s);
      found = true;
    }
  }
  if (!found) throw Error("golden: unknown model " + name);
  Generator gen(seed_of(name) ^ 0xf4a3e);
  const std::size_t parent = m.njoints / 2;
  const Mat3 rotation = gen.rotation();
  const Vec3 translation = gen.vec3(-0.2, 0.2);
  m.add_frame(Frame{"golden_op", parent, SE3(rotation, translation), FrameType(FrameType::OP_FRAME)});
  return m;
}

struct State {
  VectorX q, v, a;
};

constexpr int kStates = 3;

// q is reached from the neutral configuration by integrate (so quaternions
// and (cos, sin) pairs are normalised by the library itself); v, a non-zero.
inline std::vector<State> make_states(const Model& m, const std::string& name) {
  Generator gen(seed_of(name));
  std::vector<State> states;
  for (int s = 0; s < kStates; ++s) {
    State st;
    st.q = integrate(m, neutral(m), gen.vector(m.nv, -1.5, 1.5));
    st.v = gen.vector(m.nv, -2.0, 2.0);
    st.a = gen.vector(m.nv, -2.0, 2.0);
    states.push_back(st);
  }
  return states;
}

// ---------------------------------------------------------------------------
// Flattening.

inline void put(std::vector<double>& out, const SE3& x) {
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) out.push_back(x.rotation(r, c));
  }
  for (int r = 0; r < 3; ++r) out.push_back(x.translation[r]);
}

inline void put(std::vector<double>& out, const Inertia& in) {
  for (double x : in.inertia) out.push_back(x);
  out.push_back(in.mass);
  for (int r = 0; r < 3; ++r) out.push_back(in.lever[r]);
}

template <typename Derived>
void put(std::vector<double>& out, const Eigen::DenseBase<Derived>& x) {
  // Column-major, whatever the expression.
  for (Eigen::Index c = 0; c < x.cols(); ++c) {
    for (Eigen::Index r = 0; r < x.rows(); ++r) out.push_back(x(r, c));
  }
}

inline void put(std::vector<double>& out, double x) { out.push_back(x); }

template <typename T>
void put(std::vector<double>& out, const std::vector<T>& xs) {
  for (const T& x : xs) put(out, x);
}

class Collector {
 public:
  template <typename T>
  void add(const std::string& name, const T& value) {
    Output o{name, {}};
    put(o.values, value);
    outputs_.push_back(std::move(o));
  }
  std::vector<Output> take() { return std::move(outputs_); }

 private:
  std::vector<Output> outputs_;
};

inline const char* frame_label(ReferenceFrame rf) {
  switch (rf) {
    case ReferenceFrame::WORLD: return "WORLD";
    case ReferenceFrame::LOCAL: return "LOCAL";
    case ReferenceFrame::LOCAL_WORLD_ALIGNED: return "LOCAL_WORLD_ALIGNED";
  }
  return "?";
}

constexpr ReferenceFrame kFrames[] = {ReferenceFrame::WORLD, ReferenceFrame::LOCAL,
                                      ReferenceFrame::LOCAL_WORLD_ALIGNED};

// Joints whose single-joint and frame Jacobians are recorded.
inline std::vector<std::size_t> sample_joints(const Model& m) {
  std::vector<std::size_t> out;
  for (std::size_t j : {std::size_t{1}, m.njoints / 2, m.njoints - 1}) {
    if (j >= 1 && j < m.njoints && (out.empty() || out.back() != j)) out.push_back(j);
  }
  return out;
}

// Frames whose Jacobian time variation is recorded: the first frame on the
// last joint and the operational frame that make_model adds (the last frame).
inline std::vector<std::size_t> sample_frames(const Model& m) {
  std::vector<std::size_t> out;
  for (std::size_t f = 0; f + 1 < m.nframes; ++f) {
    if (m.frames[f].parent == m.njoints - 1) {
      out.push_back(f);
      break;
    }
  }
  out.push_back(m.nframes - 1);
  return out;
}

// Outputs that depend on the model only.
inline std::vector<Output> static_outputs(const Model& m) {
  Collector c;
  c.add("neutral", neutral(m));
  std::vector<double> subspaces;
  for (std::size_t i = 1; i < m.njoints; ++i) put(subspaces, compute_joint_motion_subspace(m.joints[i]));
  c.add("kernel.motion_subspace", subspaces);
  return c.take();
}

// Every algorithm on one state, each on a fresh Data.
inline std::vector<Output> state_outputs(const Model& m, const State& s) {
  Collector c;
  const VectorX &q = s.q, &v = s.v, &a = s.a;
  c.add("input.q", q);
  c.add("input.v", v);
  c.add("input.a", a);
  c.add("integrate", integrate(m, q, v));

  // Joint kernel, joint by joint.
  std::vector<double> transforms, velocities;
  for (std::size_t i = 1; i < m.njoints; ++i) {
    put(transforms, compute_joint_transform(m.joints[i], q, m.idx_qs[i]));
    put(velocities, compute_joint_velocity(m.joints[i], v, m.idx_vs[i]));
  }
  c.add("kernel.transform", transforms);
  c.add("kernel.velocity", velocities);

  {
    Data d(m);
    forward_kinematics(m, d, q);
    c.add("forward_kinematics.limi", d.limi);
    c.add("forward_kinematics.omi", d.omi);
    // Inertias carried to the world and summed; the time variation of some
    // of them under a velocity taken from the state.
    std::vector<Inertia> world;
    Inertia sum;
    for (std::size_t i = 1; i < m.njoints; ++i) {
      world.push_back(se3_act_on_inertia(d.omi[i], m.inertias[i]));
      add_inertias_inplace(sum, world.back());
    }
    c.add("add_inertias_inplace", sum);
    std::vector<Inertia> moved;
    std::vector<double> variations;
    for (std::size_t i : sample_joints(m)) {
      moved.push_back(world[i - 1]);
      Vec6 w;
      for (std::size_t k = 0; k < 6; ++k) w[static_cast<Eigen::Index>(k)] = v[static_cast<Eigen::Index>((i + k) % m.nv)];
      put(variations, compute_inertia_variation(world[i - 1], w));
    }
    c.add("se3_act_on_inertia", moved);
    c.add("compute_inertia_variation", variations);
  }
  {
    Data d(m);
    c.add("rnea.tau", rnea(m, d, q, v, a));
    c.add("rnea.v", d.v);
    c.add("rnea.a", d.a);
    c.add("rnea.f", d.f);
    // The public spatial operations on values of this state.
    const std::size_t last = m.njoints - 1;
    const SE3& x = d.omi[last];
    const Vec6 &vm = d.v[last], &am = d.a[last], &fm = d.f[last];
    std::vector<double> ops;
    put(ops, act_motion(x, vm));
    put(ops, act_inv_motion(x, vm));
    put(ops, act_force(x, fm));
    put(ops, act_inv_force(x, fm));
    put(ops, cross_motion(vm, am));
    put(ops, cross_force(vm, fm));
    put(ops, act_column(x, swap_halves(am)));
    put(ops, act_inv_column(x, swap_halves(am)));
    put(ops, cross_motion_column(vm, swap_halves(am)));
    put(ops, pair_column_force(swap_halves(am), fm));
    put(ops, x.compose(d.limi[last]));
    put(ops, x.inverse());
    put(ops, m.inertias[last].apply(vm));
    put(ops, m.inertias[last].to_matrix6());
    put(ops, rotation_from_rpy(vm[0], vm[1], vm[2]));
    put(ops, rotation_from_axis_angle(angular(am), am[3]));
    put(ops, rotation_from_quaternion(fm[0], fm[1], fm[2], fm[3]));
    c.add("spatial", ops);
  }
  {
    Data d(m);
    c.add("non_linear_effects", non_linear_effects(m, d, q, v));
    c.add("compute_gravity", compute_gravity(m, d, q));
  }
  {
    Data d(m);
    c.add("crba.M", crba(m, d, q));
    c.add("crba.mass_matrix", d.get_mass_matrix());
    c.add("crba.oycrb", d.oycrb);
    c.add("crba.j", d.j);
  }
  {
    Data d(m);
    compute_joint_jacobians(m, d, q);
    c.add("compute_joint_jacobians.j", d.j);
    for (std::size_t j : sample_joints(m)) {
      for (ReferenceFrame rf : kFrames) {
        c.add("get_frame_jacobian." + std::to_string(j) + "." + frame_label(rf),
              get_frame_jacobian(m, d, j, rf));
      }
    }
  }
  for (std::size_t j : sample_joints(m)) {
    Data d(m);
    c.add("compute_joint_jacobian." + std::to_string(j), compute_joint_jacobian(m, d, q, j));
  }
  {
    Data d(m);
    compute_joint_jacobians_time_variation(m, d, q, v);
    c.add("time_variation.j", d.j);
    c.add("time_variation.dJ", d.dJ);
    c.add("time_variation.v", d.v);
    c.add("time_variation.ov", d.ov);
    for (std::size_t f : sample_frames(m)) {
      for (ReferenceFrame rf : kFrames) {
        c.add("get_frame_jacobian_time_variation." + std::to_string(f) + "." + frame_label(rf),
              get_frame_jacobian_time_variation(m, d, f, rf));
      }
    }
  }
  {
    Data d(m);
    compute_all_terms(m, d, q, v);
    c.add("all_terms.M", d.M);
    c.add("all_terms.nle", d.nle);
    c.add("all_terms.g", d.g);
    c.add("all_terms.ag", d.ag);
    c.add("all_terms.dag", d.dag);
    c.add("all_terms.jcom", d.jcom);
    c.add("all_terms.com", d.com);
    c.add("all_terms.vcom", d.vcom);
    c.add("all_terms.mass", d.mass);
    c.add("all_terms.hg", d.hg);
    c.add("all_terms.dhg", d.dhg);
    c.add("all_terms.ig", d.ig);
    c.add("all_terms.energies",
          Eigen::Vector3d(d.kinetic_energy, d.potential_energy, d.mechanical_energy));
    c.add("all_terms.a", d.a);
    c.add("all_terms.a_gf", d.a_gf);
    c.add("all_terms.f", d.f);
    c.add("all_terms.h", d.h);
    c.add("all_terms.oycrb", d.oycrb);
    c.add("all_terms.doycrb", d.doycrb);
  }
  {
    Data d(m);
    c.add("compute_coriolis_matrix.C", compute_coriolis_matrix(m, d, q, v));
  }
  return c.take();
}

// Everything recorded for one model: the static outputs, then each state's.
inline std::vector<StateOutputs> model_outputs(const std::string& name, const std::string& models_dir) {
  const Model m = make_model(name, models_dir);
  std::vector<StateOutputs> out;
  out.push_back({"static", static_outputs(m)});
  const std::vector<State> states = make_states(m, name);
  for (std::size_t s = 0; s < states.size(); ++s) {
    out.push_back({std::to_string(s), state_outputs(m, states[s])});
  }
  return out;
}

}  // namespace trelvar::golden

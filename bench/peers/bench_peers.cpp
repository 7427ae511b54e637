// Side-by-side timing of trelvar against three peer libraries (Orocos KDL,
// MuJoCo, DART) on the same URDF files and the same states, in one process.
//
// For every model and operation the program first checks that each peer's
// result agrees with trelvar's on a few states (after converting both to one
// convention), prints the largest relative discrepancy, and times only the
// implementations that agree. Timing is interleaved: each round runs one batch
// per library, the library order rotating from round to round, and every call
// in a batch takes the next of 64 precomputed random states. The table shows
// the median over rounds of the ns per call, and the ratio trelvar / fastest
// agreeing peer (on the medians and on the per-library minima).
//
// Conventions used for the comparison (trelvar's):
//  - joint order: trelvar's; each peer's coordinates are mapped by joint name;
//  - Jacobian columns: rows 0-2 linear, 3-5 angular, in the world frame, the
//    linear part being the velocity of the point at the world origin;
//  - mass matrix and its inverse: full symmetric matrices;
//  - forward dynamics: the joint forces are the random accelerations' vectors
//    (the states' `a`), no external forces;
//  - gravity (0, 0, -9.81) m/s^2 in every library.
//
// Usage: bench_peers [models-dir] [--rounds N] [--batch-us U] [--models a,b] [--ops x,y]
// (--models and --ops keep only the listed models and operations; an operation
// is named by the start of its label in the table, e.g. "forward dynamics").
#include <dart/dynamics/BodyNode.hpp>
#include <dart/dynamics/DegreeOfFreedom.hpp>
#include <dart/dynamics/Joint.hpp>
#include <dart/dynamics/Skeleton.hpp>
#include <dart/utils/urdf/DartLoader.hpp>
#include <kdl/chain.hpp>
#include <kdl/chaindynparam.hpp>
#include <kdl/chainfdsolver_recursive_newton_euler.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainidsolver_recursive_newton_euler.hpp>
#include <kdl/chainjnttojacsolver.hpp>
#include <kdl/jacobian.hpp>
#include <kdl/jntarray.hpp>
#include <kdl/jntspaceinertiamatrix.hpp>
#include <kdl/tree.hpp>
#include <kdl/treefksolverpos_recursive.hpp>
#include <kdl/treeidsolver_recursive_newton_euler.hpp>
#include <kdl/treejnttojacsolver.hpp>
#include <kdl_parser/kdl_parser.hpp>
#include <mujoco/mujoco.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "trelvar/derivatives.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/forward_dynamics.hpp"
#include "trelvar/jacobians.hpp"
#include "trelvar/kinematics.hpp"
#include "trelvar/urdf.hpp"

namespace {

using trelvar::Mat3;
using trelvar::MatrixX;
using trelvar::SE3;
using trelvar::Vec3;
using trelvar::Vec6;
using trelvar::VectorX;

constexpr std::size_t kStates = 64;       // states cycled through by the timed calls
constexpr std::size_t kCheckStates = 5;   // states compared before timing
constexpr double kTolerance = 1e-6;       // relative discrepancy that counts as agreement
const Vec3 kGravity(0.0, 0.0, -9.81);

// Keeps the optimiser from dropping a call whose output is never read.
volatile double g_sink = 0.0;
inline void consume(double x) { g_sink = g_sink + x; }

// ---------------------------------------------------------------------------
// Operations and results.

enum class Op { Fk, Rnea, Nle, Gravity, Mass, Fd, Minv, FdDerivatives, JacAll, JacTip };
const Op kOps[] = {Op::Fk,  Op::Rnea, Op::Nle,           Op::Gravity, Op::Mass,
                   Op::Fd, Op::Minv, Op::FdDerivatives, Op::JacAll,  Op::JacTip};

const char* op_name(Op op) {
  switch (op) {
    case Op::Fk: return "fk (all bodies)";
    case Op::Rnea: return "inverse dynamics";
    case Op::Nle: return "non-linear effects";
    case Op::Gravity: return "gravity";
    case Op::Mass: return "mass matrix";
    case Op::Fd: return "forward dynamics";
    case Op::Minv: return "inverse mass matrix";
    case Op::FdDerivatives: return "fd derivatives (q, v)";
    case Op::JacAll: return "jacobians (all joints)";
    case Op::JacTip: return "jacobian (one tip path)";
  }
  return "?";
}

// One library's implementation of one operation on one model: `run` is the
// timed call for state k; `result` runs the same call for state k and returns
// the output in trelvar's conventions (see the file comment). For forward
// kinematics the result has one column per trelvar joint 1..njoints-1:
// translation then the rotation column by column; NaN where the library has no
// body of that name.
struct Impl {
  std::string note;  // printed below the table when not empty
  std::function<void(std::size_t)> run;
  std::function<MatrixX(std::size_t)> result;
};

// impl.run: call(k), then one value of its output read back (probe());
// impl.result: call(k), then its output converted to trelvar's form.
template <class Call, class Probe, class Convert>
void set_calls(Impl& impl, Call call, Probe probe, Convert convert) {
  impl.run = [call, probe](std::size_t k) {
    call(k);
    consume(probe());
  };
  impl.result = [call, convert](std::size_t k) {
    call(k);
    return convert();
  };
}

constexpr int kLibraries = 4;
const char* const kLibraryNames[kLibraries] = {"trelvar", "KDL", "MuJoCo", "DART"};

// ---------------------------------------------------------------------------
// The shared problem: a model, its states, and the name maps peers need.

struct Problem {
  std::string name;
  std::string path;
  std::string tip_link;  // body whose Jacobian the one-tip-path job computes
  trelvar::Model model;
  std::vector<VectorX> q, v, a;
  std::vector<std::string> joint_names;        // per velocity coordinate (revolute only)
  std::map<std::string, std::size_t> body_of;  // link name -> trelvar joint index
  std::size_t tip_joint = 0;
};

Problem make_problem(const std::string& dir, const std::string& name, const std::string& tip) {
  Problem p;
  p.name = name;
  p.path = dir + "/" + name + ".urdf";
  p.tip_link = tip;
  p.model = trelvar::parse_urdf_file(p.path);
  const trelvar::Model& m = p.model;
  if (m.nq != m.nv) {
    throw std::runtime_error(name + ": nq != nv; the comparison expects one angle per joint");
  }
  p.joint_names.resize(m.nv);
  for (std::size_t j = 1; j < m.njoints; ++j) {
    if (m.nvs[j] == 0) continue;
    if (m.joints[j].joint_type != trelvar::JointType::Revolute || m.nvs[j] != 1 || m.nqs[j] != 1) {
      throw std::runtime_error(name + ": joint " + m.names[j] + " is not a one-angle revolute joint");
    }
    p.joint_names[m.idx_vs[j]] = m.names[j];
  }
  for (const trelvar::Frame& f : m.frames) {
    if (f.frame_type.contains(trelvar::FrameType::BODY) && f.parent != 0) p.body_of[f.name] = f.parent;
  }
  const auto tip_it = p.body_of.find(tip);
  if (tip_it == p.body_of.end()) throw std::runtime_error(name + ": no body " + tip);
  p.tip_joint = tip_it->second;
  // Random states drawn like trelvar's own benchmark: q moved from neutral by
  // a standard normal step, v and a standard normal.
  std::mt19937 rng(7);
  std::normal_distribution<double> normal(0.0, 1.0);
  auto draw = [&](std::size_t n) {
    VectorX x(static_cast<Eigen::Index>(n));
    for (Eigen::Index k = 0; k < x.size(); ++k) x[k] = normal(rng);
    return x;
  };
  for (std::size_t k = 0; k < kStates; ++k) {
    const VectorX step = draw(m.nv);
    p.q.push_back(trelvar::integrate(m, trelvar::neutral(m), step));
    // One plain angle per joint, so the peers can take q as it is: moving
    // from the zero configuration must give back the step itself.
    if (!(p.q.back() - step).isZero(1e-15)) {
      throw std::runtime_error(name + ": q is not one angle per joint");
    }
    p.v.push_back(draw(m.nv));
    p.a.push_back(draw(m.nv));
  }
  return p;
}

// Column of a rigid placement for the forward-kinematics result.
void put_placement(MatrixX& out, Eigen::Index col, const Vec3& p, const Mat3& r) {
  out.block<3, 1>(0, col) = p;
  for (int c = 0; c < 3; ++c) out.block<3, 1>(3 + 3 * c, col) = r.col(c);
}

MatrixX nan_matrix(Eigen::Index rows, Eigen::Index cols) {
  return MatrixX::Constant(rows, cols, std::numeric_limits<double>::quiet_NaN());
}

// Motion column (linear first) whose linear part is the velocity of point
// `at` -> the same motion with the linear part taken at the world origin.
Vec6 shift_to_origin(const Vec3& linear_at, const Vec3& angular, const Vec3& at) {
  Vec6 out;
  out.head<3>() = linear_at - angular.cross(at);
  out.tail<3>() = angular;
  return out;
}

// ---------------------------------------------------------------------------
// trelvar

struct TrelvarLib {
  const Problem& p;
  trelvar::Data data;
  explicit TrelvarLib(const Problem& problem) : p(problem), data(problem.model) {}

  Impl make(Op op) {
    Impl impl;
    switch (op) {
      case Op::Fk:
        impl.run = [this](std::size_t k) {
          trelvar::forward_kinematics(p.model, data, p.q[k]);
          consume(data.omi.back().translation[0]);
        };
        impl.result = [this](std::size_t k) {
          const trelvar::Model& m = p.model;
          trelvar::forward_kinematics(m, data, p.q[k]);
          MatrixX out(12, static_cast<Eigen::Index>(m.njoints - 1));
          for (std::size_t j = 1; j < m.njoints; ++j) {
            put_placement(out, static_cast<Eigen::Index>(j - 1), data.omi[j].translation,
                          data.omi[j].rotation);
          }
          return out;
        };
        break;
      case Op::Rnea:
        impl.run = [this](std::size_t k) { consume(trelvar::rnea(p.model, data, p.q[k], p.v[k], p.a[k])[0]); };
        impl.result = [this](std::size_t k) {
          return MatrixX(trelvar::rnea(p.model, data, p.q[k], p.v[k], p.a[k]));
        };
        break;
      case Op::Nle:
        impl.run = [this](std::size_t k) { consume(trelvar::non_linear_effects(p.model, data, p.q[k], p.v[k])[0]); };
        impl.result = [this](std::size_t k) {
          return MatrixX(trelvar::non_linear_effects(p.model, data, p.q[k], p.v[k]));
        };
        break;
      case Op::Gravity:
        impl.run = [this](std::size_t k) { consume(trelvar::compute_gravity(p.model, data, p.q[k])[0]); };
        impl.result = [this](std::size_t k) { return MatrixX(trelvar::compute_gravity(p.model, data, p.q[k])); };
        break;
      case Op::Mass:
        impl.run = [this](std::size_t k) { consume(trelvar::crba(p.model, data, p.q[k])(0, 0)); };
        impl.result = [this](std::size_t k) {
          trelvar::crba(p.model, data, p.q[k]);
          // crba fills the upper triangle; mirror it.
          return MatrixX(data.M.selfadjointView<Eigen::Upper>());
        };
        break;
      case Op::Fd:
        impl.run = [this](std::size_t k) { consume(trelvar::aba(p.model, data, p.q[k], p.v[k], p.a[k])[0]); };
        impl.result = [this](std::size_t k) {
          return MatrixX(trelvar::aba(p.model, data, p.q[k], p.v[k], p.a[k]));
        };
        break;
      case Op::Minv:
        impl.run = [this](std::size_t k) { consume(trelvar::compute_minverse(p.model, data, p.q[k])(0, 0)); };
        impl.result = [this](std::size_t k) { return MatrixX(trelvar::compute_minverse(p.model, data, p.q[k])); };
        break;
      case Op::FdDerivatives:
        // [d ddq / dq, d ddq / dv], analytical.
        impl.note = "trelvar fd derivatives: compute_aba_derivatives (analytical; also d ddq / dtau)";
        impl.run = [this](std::size_t k) {
          trelvar::compute_aba_derivatives(p.model, data, p.q[k], p.v[k], p.a[k]);
          consume(data.ddq_dq(0, 0));
        };
        impl.result = [this](std::size_t k) {
          trelvar::compute_aba_derivatives(p.model, data, p.q[k], p.v[k], p.a[k]);
          MatrixX out(data.ddq_dq.rows(), 2 * data.ddq_dq.cols());
          out << data.ddq_dq, data.ddq_dv;
          return out;
        };
        break;
      case Op::JacAll:
        impl.run = [this](std::size_t k) {
          trelvar::compute_joint_jacobians(p.model, data, p.q[k]);
          consume(data.j(0, 0));
        };
        impl.result = [this](std::size_t k) {
          trelvar::compute_joint_jacobians(p.model, data, p.q[k]);
          return MatrixX(data.j);
        };
        break;
      case Op::JacTip:
        // The tip's Jacobian along its support path only, in the tip's own frame.
        impl.note = "trelvar one-tip job: compute_joint_jacobian (tip frame, support path only)";
        impl.run = [this](std::size_t k) {
          consume(trelvar::compute_joint_jacobian(p.model, data, p.q[k], p.tip_joint)(0, 0));
        };
        impl.result = [this](std::size_t k) {
          const trelvar::Matrix6X local = trelvar::compute_joint_jacobian(p.model, data, p.q[k], p.tip_joint);
          trelvar::forward_kinematics(p.model, data, p.q[k]);
          const SE3& x = data.omi[p.tip_joint];
          MatrixX out(6, local.cols());
          for (Eigen::Index c = 0; c < local.cols(); ++c) {
            // Linear part: velocity of the tip origin, in the tip's axes.
            const Vec3 w = x.rotation * local.col(c).tail<3>();
            const Vec3 v = x.rotation * local.col(c).head<3>();
            out.col(c) = shift_to_origin(v, w, x.translation);
          }
          return out;
        };
        break;
    }
    return impl;
  }
};

// ---------------------------------------------------------------------------
// Orocos KDL. Serial models use the chain solvers (base to tip); the branched
// model uses the tree solvers, which cover inverse dynamics, forward
// kinematics one segment at a time, and one tip's Jacobian.

struct KdlLib {
  const Problem& p;
  KDL::Tree tree;
  KDL::Chain chain;
  bool serial = false;  // the tip path holds every joint of the model
  std::vector<KDL::JntArray> q, v, a;
  KDL::JntArray zero, out;
  std::vector<int> coord;            // KDL coordinate of each trelvar velocity coordinate
  std::vector<long> segment_body;    // chain segment -> trelvar joint index (-1: none)
  std::vector<std::string> segment_names;  // tree segments that are trelvar bodies
  std::vector<std::size_t> segment_body_tree;
  std::unique_ptr<KDL::ChainFkSolverPos_recursive> fk;
  std::unique_ptr<KDL::ChainIdSolver_RNE> id;
  std::unique_ptr<KDL::ChainDynParam> dyn;
  std::unique_ptr<KDL::ChainJntToJacSolver> jac;
  std::unique_ptr<KDL::ChainFdSolver_RNE> fd;
  std::unique_ptr<KDL::TreeFkSolverPos_recursive> tree_fk;
  std::unique_ptr<KDL::TreeIdSolver_RNE> tree_id;
  std::unique_ptr<KDL::TreeJntToJacSolver> tree_jac;
  std::vector<KDL::Frame> frames;
  KDL::Wrenches wrenches;
  KDL::WrenchMap wrench_map;
  KDL::JntSpaceInertiaMatrix mass;
  KDL::Jacobian jacobian;
  KDL::Frame frame;

  explicit KdlLib(const Problem& problem) : p(problem) {
    if (!kdl_parser::treeFromFile(p.path, tree)) throw std::runtime_error("kdl_parser failed on " + p.path);
    const std::string root = tree.getRootSegment()->first;
    if (!tree.getChain(root, p.tip_link, chain)) throw std::runtime_error("KDL: no chain to " + p.tip_link);
    const std::size_t nv = p.model.nv;
    serial = chain.getNrOfJoints() == nv && tree.getNrOfJoints() == nv;
    const KDL::Vector gravity(kGravity[0], kGravity[1], kGravity[2]);
    std::map<std::string, int> kdl_coord;
    if (serial) {
      int c = 0;
      for (unsigned s = 0; s < chain.getNrOfSegments(); ++s) {
        const KDL::Segment& seg = chain.getSegment(s);
        if (seg.getJoint().getType() != KDL::Joint::None) kdl_coord[seg.getJoint().getName()] = c++;
        const auto b = p.body_of.find(seg.getName());
        segment_body.push_back(b == p.body_of.end() ? -1 : static_cast<long>(b->second));
      }
      fk = std::make_unique<KDL::ChainFkSolverPos_recursive>(chain);
      id = std::make_unique<KDL::ChainIdSolver_RNE>(chain, gravity);
      dyn = std::make_unique<KDL::ChainDynParam>(chain, gravity);
      jac = std::make_unique<KDL::ChainJntToJacSolver>(chain);
      fd = std::make_unique<KDL::ChainFdSolver_RNE>(chain, gravity);
      frames.resize(chain.getNrOfSegments());
      wrenches.assign(chain.getNrOfSegments(), KDL::Wrench::Zero());
    } else {
      for (const auto& [seg_name, element] : tree.getSegments()) {
        const KDL::Segment& seg = GetTreeElementSegment(element);
        if (seg.getJoint().getType() != KDL::Joint::None) {
          kdl_coord[seg.getJoint().getName()] = static_cast<int>(GetTreeElementQNr(element));
        }
        const auto b = p.body_of.find(seg_name);
        if (b != p.body_of.end()) {
          segment_names.push_back(seg_name);
          segment_body_tree.push_back(b->second);
        }
      }
      tree_fk = std::make_unique<KDL::TreeFkSolverPos_recursive>(tree);
      tree_id = std::make_unique<KDL::TreeIdSolver_RNE>(tree, gravity);
      tree_jac = std::make_unique<KDL::TreeJntToJacSolver>(tree);
    }
    const unsigned n = serial ? chain.getNrOfJoints() : tree.getNrOfJoints();
    if (n != nv || kdl_coord.size() != nv) throw std::runtime_error("KDL: joint count differs from trelvar's");
    for (const std::string& jn : p.joint_names) coord.push_back(kdl_coord.at(jn));
    auto convert = [&](const VectorX& x) {
      KDL::JntArray y(n);
      for (std::size_t i = 0; i < nv; ++i) y(coord[i]) = x[static_cast<Eigen::Index>(i)];
      return y;
    };
    for (std::size_t k = 0; k < kStates; ++k) {
      q.push_back(convert(p.q[k]));
      v.push_back(convert(p.v[k]));
      a.push_back(convert(p.a[k]));
    }
    zero = KDL::JntArray(n);
    out = KDL::JntArray(n);
    mass = KDL::JntSpaceInertiaMatrix(n);
    jacobian = KDL::Jacobian(n);
  }

  VectorX to_trelvar(const KDL::JntArray& x) const {
    VectorX y(static_cast<Eigen::Index>(coord.size()));
    for (std::size_t i = 0; i < coord.size(); ++i) y[static_cast<Eigen::Index>(i)] = x(coord[i]);
    return y;
  }

  static Vec3 vec(const KDL::Vector& x) { return Vec3(x.x(), x.y(), x.z()); }
  static Mat3 mat(const KDL::Rotation& r) {
    Mat3 m;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m(i, j) = r(i, j);
    return m;
  }

  // KDL's Jacobian: linear rows first, in the base frame (the world here, the
  // root being fixed at the origin), reference point at the tip.
  MatrixX jacobian_to_trelvar(const Vec3& tip) const {
    MatrixX res = MatrixX::Zero(6, static_cast<Eigen::Index>(coord.size()));
    for (std::size_t i = 0; i < coord.size(); ++i) {
      const Vec3 lin(jacobian(0, coord[i]), jacobian(1, coord[i]), jacobian(2, coord[i]));
      const Vec3 ang(jacobian(3, coord[i]), jacobian(4, coord[i]), jacobian(5, coord[i]));
      res.col(static_cast<Eigen::Index>(i)) = shift_to_origin(lin, ang, tip);
    }
    return res;
  }

  bool make(Op op, Impl& impl) {
    const Eigen::Index nb = static_cast<Eigen::Index>(p.model.njoints - 1);
    if (serial) {
      switch (op) {
        case Op::Fk:
          impl.run = [this](std::size_t k) {
            fk->JntToCart(q[k], frames);
            consume(frames.back().p.x());
          };
          impl.result = [this, nb](std::size_t k) {
            fk->JntToCart(q[k], frames);
            MatrixX res = nan_matrix(12, nb);
            for (std::size_t s = 0; s < frames.size(); ++s) {
              if (segment_body[s] >= 0) put_placement(res, segment_body[s] - 1, vec(frames[s].p), mat(frames[s].M));
            }
            return res;
          };
          return true;
        case Op::Rnea:
        case Op::Nle: {
          const bool with_acc = op == Op::Rnea;
          impl.run = [this, with_acc](std::size_t k) {
            id->CartToJnt(q[k], v[k], with_acc ? a[k] : zero, wrenches, out);
            consume(out(0));
          };
          impl.result = [this, with_acc](std::size_t k) {
            id->CartToJnt(q[k], v[k], with_acc ? a[k] : zero, wrenches, out);
            return MatrixX(to_trelvar(out));
          };
          if (!with_acc) impl.note = "KDL non-linear effects: ChainIdSolver_RNE with zero acceleration";
          return true;
        }
        case Op::Gravity:
          impl.run = [this](std::size_t k) {
            dyn->JntToGravity(q[k], out);
            consume(out(0));
          };
          impl.result = [this](std::size_t k) {
            dyn->JntToGravity(q[k], out);
            return MatrixX(to_trelvar(out));
          };
          return true;
        case Op::Mass:
          impl.run = [this](std::size_t k) {
            dyn->JntToMass(q[k], mass);
            consume(mass(0, 0));
          };
          impl.result = [this](std::size_t k) {
            dyn->JntToMass(q[k], mass);
            const std::size_t n = coord.size();
            MatrixX res(n, n);
            for (std::size_t i = 0; i < n; ++i)
              for (std::size_t j = 0; j < n; ++j) res(i, j) = mass(coord[i], coord[j]);
            return res;
          };
          return true;
        case Op::Fd:
          // The joint forces are the states' accelerations; wrenches stays zero.
          impl.note = "KDL forward dynamics: ChainFdSolver_RNE (mass matrix, inverse dynamics, dense solve)";
          impl.run = [this](std::size_t k) {
            fd->CartToJnt(q[k], v[k], a[k], wrenches, out);
            consume(out(0));
          };
          impl.result = [this](std::size_t k) {
            fd->CartToJnt(q[k], v[k], a[k], wrenches, out);
            return MatrixX(to_trelvar(out));
          };
          return true;
        case Op::Minv:
        case Op::FdDerivatives:
        case Op::JacAll:
          return false;
        case Op::JacTip:
          impl.note = "KDL one-tip job: ChainJntToJacSolver (tip point, base frame)";
          impl.run = [this](std::size_t k) {
            jac->JntToJac(q[k], jacobian);
            consume(jacobian(0, 0));
          };
          impl.result = [this](std::size_t k) {
            jac->JntToJac(q[k], jacobian);
            KDL::Frame tip;
            fk->JntToCart(q[k], tip);
            return jacobian_to_trelvar(vec(tip.p));
          };
          return true;
      }
      return false;
    }
    switch (op) {
      case Op::Fk:
        impl.note = "KDL fk on a tree: TreeFkSolverPos_recursive, one call per body (no whole-tree pass)";
        impl.run = [this](std::size_t k) {
          double s = 0.0;
          for (const std::string& name : segment_names) {
            tree_fk->JntToCart(q[k], frame, name);
            s += frame.p.x();
          }
          consume(s);
        };
        impl.result = [this, nb](std::size_t k) {
          MatrixX res = nan_matrix(12, nb);
          for (std::size_t s = 0; s < segment_names.size(); ++s) {
            tree_fk->JntToCart(q[k], frame, segment_names[s]);
            put_placement(res, static_cast<Eigen::Index>(segment_body_tree[s] - 1), vec(frame.p), mat(frame.M));
          }
          return res;
        };
        return true;
      case Op::Rnea:
      case Op::Nle:
      case Op::Gravity: {
        const bool with_v = op != Op::Gravity, with_acc = op == Op::Rnea;
        impl.run = [this, with_v, with_acc](std::size_t k) {
          tree_id->CartToJnt(q[k], with_v ? v[k] : zero, with_acc ? a[k] : zero, wrench_map, out);
          consume(out(0));
        };
        impl.result = [this, with_v, with_acc](std::size_t k) {
          tree_id->CartToJnt(q[k], with_v ? v[k] : zero, with_acc ? a[k] : zero, wrench_map, out);
          return MatrixX(to_trelvar(out));
        };
        impl.note = "KDL on a tree: TreeIdSolver_RNE (zero velocity / acceleration for gravity and non-linear effects)";
        return true;
      }
      case Op::Mass:
      case Op::Fd:
      case Op::Minv:
      case Op::FdDerivatives:
      case Op::JacAll:
        return false;
      case Op::JacTip:
        impl.note = "KDL one-tip job on a tree: TreeJntToJacSolver (tip point, base frame)";
        impl.run = [this](std::size_t k) {
          tree_jac->JntToJac(q[k], jacobian, p.tip_link);
          consume(jacobian(0, 0));
        };
        impl.result = [this](std::size_t k) {
          tree_jac->JntToJac(q[k], jacobian, p.tip_link);
          tree_fk->JntToCart(q[k], frame, p.tip_link);
          return jacobian_to_trelvar(vec(frame.p));
        };
        return true;
    }
    return false;
  }
};

// ---------------------------------------------------------------------------
// MuJoCo. The URDF is loaded with compiler options that keep every link as a
// body (no merging of fixed-joint links) and take the inertias from the file.
// Every operation has its own mjData so that no operation reads what another
// left behind; the position-dependent stages are recomputed in each call.

struct MujocoLib {
  const Problem& p;
  mjModel* m = nullptr;
  std::vector<mjData*> datas;
  std::vector<std::vector<mjtNum>> q, v, a;
  std::vector<int> dof;   // MuJoCo dof of each trelvar velocity coordinate
  std::vector<int> qadr;  // MuJoCo qpos address of each trelvar velocity coordinate
  std::vector<long> body_joint;  // MuJoCo body -> trelvar joint index (-1: none)
  int tip_body = -1;
  std::vector<mjtNum> out, dense, jacp, jacr, rhs, qacc, identity, derivatives;

  explicit MujocoLib(const Problem& problem) : p(problem) {
    std::ifstream in(p.path);
    std::stringstream text;
    text << in.rdbuf();
    std::string urdf = text.str();
    const std::size_t robot = urdf.find("<robot");
    const std::size_t close = robot == std::string::npos ? robot : urdf.find('>', robot);
    if (close == std::string::npos) throw std::runtime_error("MuJoCo: no <robot> element in " + p.path);
    urdf.insert(close + 1,
                "\n  <mujoco><compiler fusestatic=\"false\" discardvisual=\"false\" "
                "inertiafromgeom=\"false\" balanceinertia=\"false\"/></mujoco>");
    auto vfs = std::make_unique<mjVFS>();
    mj_defaultVFS(vfs.get());
    const std::string file = p.name + ".urdf";
    if (mj_makeEmptyFileVFS(vfs.get(), file.c_str(), static_cast<int>(urdf.size())) != 0) {
      throw std::runtime_error("MuJoCo: cannot make a VFS file");
    }
    const int slot = mj_findFileVFS(vfs.get(), file.c_str());
    std::memcpy(vfs->filedata[slot], urdf.data(), urdf.size());
    char error[1000] = "";
    m = mj_loadXML(file.c_str(), vfs.get(), error, sizeof error);
    mj_deleteVFS(vfs.get());
    if (m == nullptr) throw std::runtime_error(std::string("MuJoCo: ") + error);
    // Pure rigid-body dynamics: no armature, damping, springs or constraints.
    m->opt.disableflags |= mjDSBL_CONSTRAINT | mjDSBL_PASSIVE;
    for (int i = 0; i < m->nv; ++i) m->dof_armature[i] = m->dof_damping[i] = 0.0;
    for (int i = 0; i < 3; ++i) m->opt.gravity[i] = kGravity[i];
    const std::size_t nv = p.model.nv;
    if (static_cast<std::size_t>(m->nv) != nv || static_cast<std::size_t>(m->nq) != nv) {
      throw std::runtime_error("MuJoCo: nv " + std::to_string(m->nv) + " differs from trelvar's");
    }
    std::map<std::string, int> by_name;
    for (int j = 0; j < m->njnt; ++j) {
      if (m->jnt_type[j] != mjJNT_HINGE) throw std::runtime_error("MuJoCo: non-hinge joint");
      by_name[mj_id2name(m, mjOBJ_JOINT, j)] = j;
    }
    for (const std::string& jn : p.joint_names) {
      const int j = by_name.at(jn);
      dof.push_back(m->jnt_dofadr[j]);
      qadr.push_back(m->jnt_qposadr[j]);
    }
    for (int b = 0; b < m->nbody; ++b) {
      const char* name = mj_id2name(m, mjOBJ_BODY, b);
      const auto it = name ? p.body_of.find(name) : p.body_of.end();
      body_joint.push_back(it == p.body_of.end() ? -1 : static_cast<long>(it->second));
    }
    tip_body = mj_name2id(m, mjOBJ_BODY, p.tip_link.c_str());
    if (tip_body < 0) throw std::runtime_error("MuJoCo: no body " + p.tip_link);
    auto convert = [&](const VectorX& x, const std::vector<int>& index) {
      std::vector<mjtNum> y(nv, 0.0);
      for (std::size_t i = 0; i < nv; ++i) y[static_cast<std::size_t>(index[i])] = x[static_cast<Eigen::Index>(i)];
      return y;
    };
    for (std::size_t k = 0; k < kStates; ++k) {
      q.push_back(convert(p.q[k], qadr));
      v.push_back(convert(p.v[k], dof));
      a.push_back(convert(p.a[k], dof));
    }
    out.resize(nv);
    rhs.resize(nv);
    qacc.resize(nv);
    identity.assign(nv * nv, 0.0);
    for (std::size_t i = 0; i < nv; ++i) identity[i * nv + i] = 1.0;
    dense.resize(nv * nv);
    derivatives.resize(2 * nv * nv);
    jacp.resize(3 * nv);
    jacr.resize(3 * nv);
  }
  ~MujocoLib() {
    for (mjData* d : datas) mj_deleteData(d);
    if (m) mj_deleteModel(m);
  }
  MujocoLib(const MujocoLib&) = delete;
  MujocoLib& operator=(const MujocoLib&) = delete;

  mjData* new_data() {
    datas.push_back(mj_makeData(m));
    return datas.back();
  }
  // The smooth forward pipeline without contacts (kinematics, composite
  // inertia, factorisation, bias forces, solve) at d's qpos and qvel, for the
  // joint forces tau: accelerations into qacc.
  void smooth_forward(mjData* d, const std::vector<mjtNum>& tau) {
    mj_kinematics(m, d);
    mj_comPos(m, d);
    mj_crb(m, d);
    mj_factorM(m, d);
    mj_comVel(m, d);
    mj_rne(m, d, 0, out.data());
    for (int i = 0; i < m->nv; ++i) rhs[static_cast<std::size_t>(i)] = tau[static_cast<std::size_t>(i)] - out[static_cast<std::size_t>(i)];
    mj_solveM(m, d, qacc.data(), rhs.data(), 1);
  }
  void set(const std::vector<mjtNum>& x, mjtNum* dst) const {
    std::memcpy(dst, x.data(), sizeof(mjtNum) * x.size());
  }
  VectorX to_trelvar(const mjtNum* x) const {
    VectorX y(static_cast<Eigen::Index>(dof.size()));
    for (std::size_t i = 0; i < dof.size(); ++i) y[static_cast<Eigen::Index>(i)] = x[dof[i]];
    return y;
  }

  bool make(Op op, Impl& impl) {
    mjData* d = new_data();
    const Eigen::Index nb = static_cast<Eigen::Index>(p.model.njoints - 1);
    switch (op) {
      case Op::Fk:
        impl.note = "MuJoCo fk: mj_kinematics";
        impl.run = [this, d](std::size_t k) {
          set(q[k], d->qpos);
          mj_kinematics(m, d);
          consume(d->xpos[3 * (m->nbody - 1)]);
        };
        impl.result = [this, d, nb](std::size_t k) {
          set(q[k], d->qpos);
          mj_kinematics(m, d);
          MatrixX res = nan_matrix(12, nb);
          for (int b = 0; b < m->nbody; ++b) {
            if (body_joint[static_cast<std::size_t>(b)] < 0) continue;
            Mat3 r;
            for (int i = 0; i < 3; ++i)
              for (int j = 0; j < 3; ++j) r(i, j) = d->xmat[9 * b + 3 * i + j];
            put_placement(res, body_joint[static_cast<std::size_t>(b)] - 1,
                          Vec3(d->xpos[3 * b], d->xpos[3 * b + 1], d->xpos[3 * b + 2]), r);
          }
          return res;
        };
        return true;
      case Op::Rnea:
      case Op::Nle: {
        const bool with_acc = op == Op::Rnea;
        auto call = [this, d, with_acc](std::size_t k) {
          set(q[k], d->qpos);
          set(v[k], d->qvel);
          if (with_acc) set(a[k], d->qacc);
          mj_kinematics(m, d);
          mj_comPos(m, d);
          mj_comVel(m, d);
          mj_rne(m, d, with_acc ? 1 : 0, out.data());
        };
        impl.note = "MuJoCo dynamics: mj_kinematics + mj_comPos + mj_comVel + mj_rne";
        set_calls(impl, call, [this] { return out[0]; }, [this] { return MatrixX(to_trelvar(out.data())); });
        return true;
      }
      case Op::Gravity: {
        // qvel stays zero in this mjData, so the velocity stage computed once
        // here (zero body velocities) holds for every call.
        std::fill(d->qvel, d->qvel + m->nv, 0.0);
        mj_kinematics(m, d);
        mj_comPos(m, d);
        mj_comVel(m, d);
        auto call = [this, d](std::size_t k) {
          set(q[k], d->qpos);
          mj_kinematics(m, d);
          mj_comPos(m, d);
          mj_rne(m, d, 0, out.data());
        };
        impl.note = "MuJoCo gravity: mj_kinematics + mj_comPos + mj_rne at zero velocity";
        set_calls(impl, call, [this] { return out[0]; }, [this] { return MatrixX(to_trelvar(out.data())); });
        return true;
      }
      case Op::Mass: {
        auto call = [this, d](std::size_t k) {
          set(q[k], d->qpos);
          mj_kinematics(m, d);
          mj_comPos(m, d);
          mj_crb(m, d);
        };
        impl.note = "MuJoCo mass matrix: mj_kinematics + mj_comPos + mj_crb (sparse qM, not expanded)";
        set_calls(impl, call, [d] { return d->qM[0]; }, [this, d] {
          mj_fullM(m, dense.data(), d->qM);
          const std::size_t n = dof.size();
          MatrixX res(n, n);
          for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
              res(i, j) = dense[static_cast<std::size_t>(dof[i]) * n + static_cast<std::size_t>(dof[j])];
          return res;
        });
        return true;
      }
      case Op::Fd: {
        auto call = [this, d](std::size_t k) {
          set(q[k], d->qpos);
          set(v[k], d->qvel);
          smooth_forward(d, a[k]);
        };
        impl.note = "MuJoCo forward dynamics: mj_kinematics + mj_comPos + mj_crb + mj_factorM + mj_comVel + "
                    "mj_rne + mj_solveM";
        set_calls(impl, call, [this] { return qacc[0]; }, [this] { return MatrixX(to_trelvar(qacc.data())); });
        return true;
      }
      case Op::FdDerivatives: {
        // Central differences of the smooth forward pipeline (step 1e-6 on
        // each joint angle and rate): 4 nv pipeline runs.
        auto call = [this, d](std::size_t k) {
          constexpr mjtNum h = 1e-6;
          const std::size_t n = dof.size();
          for (std::size_t i = 0; i < n; ++i) {
            for (int pass = 0; pass < 2; ++pass) {
              mjtNum* x = pass == 0 ? d->qpos + qadr[i] : d->qvel + dof[i];
              mjtNum* col = derivatives.data() + (pass * n + i) * n;
              for (int sign = 1; sign >= -1; sign -= 2) {
                set(q[k], d->qpos);
                set(v[k], d->qvel);
                *x += sign * h;
                smooth_forward(d, a[k]);
                for (std::size_t r = 0; r < n; ++r) {
                  const mjtNum y = qacc[static_cast<std::size_t>(dof[r])] / (2 * h);
                  col[r] = sign > 0 ? y : col[r] - y;
                }
              }
            }
          }
        };
        impl.note = "MuJoCo fd derivatives: central differences (step 1e-6) of the forward pipeline above, "
                    "4 nv runs";
        set_calls(impl, call, [this] { return derivatives[0]; }, [this] {
          const auto n = static_cast<Eigen::Index>(dof.size());
          return MatrixX(Eigen::Map<const MatrixX>(derivatives.data(), n, 2 * n));
        });
        return true;
      }
      case Op::Minv: {
        auto call = [this, d](std::size_t k) {
          set(q[k], d->qpos);
          mj_kinematics(m, d);
          mj_comPos(m, d);
          mj_crb(m, d);
          mj_factorM(m, d);
          mj_solveM(m, d, dense.data(), identity.data(), m->nv);
        };
        impl.note = "MuJoCo inverse mass matrix: mj_kinematics + mj_comPos + mj_crb + mj_factorM + mj_solveM of "
                    "the nv unit vectors";
        set_calls(impl, call, [this] { return dense[0]; }, [this] {
          const std::size_t n = dof.size();
          MatrixX res(n, n);
          for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
              res(i, j) = dense[static_cast<std::size_t>(dof[i]) * n + static_cast<std::size_t>(dof[j])];
          return res;
        });
        return true;
      }
      case Op::JacAll: {
        // cdof holds every dof's motion axis (angular first) in world axes,
        // the linear part taken at the subtree centre of mass of the dof's
        // top-level body.
        auto call = [this, d](std::size_t k) {
          set(q[k], d->qpos);
          mj_kinematics(m, d);
          mj_comPos(m, d);
        };
        impl.note = "MuJoCo all-joint Jacobians: mj_kinematics + mj_comPos (cdof)";
        set_calls(impl, call, [d] { return d->cdof[0]; }, [this, d] {
          MatrixX res(6, static_cast<Eigen::Index>(dof.size()));
          for (std::size_t i = 0; i < dof.size(); ++i) {
            const mjtNum* c = d->cdof + 6 * dof[i];
            const int root = m->body_rootid[m->dof_bodyid[dof[i]]];
            const Vec3 at(d->subtree_com[3 * root], d->subtree_com[3 * root + 1], d->subtree_com[3 * root + 2]);
            res.col(static_cast<Eigen::Index>(i)) = shift_to_origin(Vec3(c[3], c[4], c[5]), Vec3(c[0], c[1], c[2]), at);
          }
          return res;
        });
        return true;
      }
      case Op::JacTip: {
        auto call = [this, d](std::size_t k) {
          set(q[k], d->qpos);
          mj_kinematics(m, d);
          mj_comPos(m, d);
          mj_jacBody(m, d, jacp.data(), jacr.data(), tip_body);
        };
        impl.note = "MuJoCo one-tip job: mj_kinematics + mj_comPos + mj_jacBody";
        set_calls(impl, call, [this] { return jacp[0]; }, [this, d] {
          const std::size_t n = dof.size();
          const Vec3 at(d->xpos[3 * tip_body], d->xpos[3 * tip_body + 1], d->xpos[3 * tip_body + 2]);
          MatrixX res(6, static_cast<Eigen::Index>(n));
          for (std::size_t i = 0; i < n; ++i) {
            const std::size_t c = static_cast<std::size_t>(dof[i]);
            res.col(static_cast<Eigen::Index>(i)) =
                shift_to_origin(Vec3(jacp[c], jacp[n + c], jacp[2 * n + c]),
                                Vec3(jacr[c], jacr[n + c], jacr[2 * n + c]), at);
          }
          return res;
        });
        return true;
      }
    }
    return false;
  }
};

// ---------------------------------------------------------------------------
// DART, loaded with a fixed root joint. Its results are computed lazily and
// cached until the next setPositions / setVelocities, so every timed call sets
// the state first.

struct DartLib {
  const Problem& p;
  dart::dynamics::SkeletonPtr skel;
  std::vector<Eigen::VectorXd> q, v, a;
  std::vector<std::size_t> coord;        // DART dof of each trelvar velocity coordinate
  std::vector<long> body_joint;          // DART body -> trelvar joint index (-1: none)
  dart::dynamics::BodyNode* tip = nullptr;

  explicit DartLib(const Problem& problem) : p(problem) {
    dart::utils::DartLoader::Options options(nullptr, dart::utils::DartLoader::RootJointType::FIXED);
    dart::utils::DartLoader loader(options);
    skel = loader.parseSkeleton(dart::common::Uri::createFromPath(p.path));
    if (!skel) throw std::runtime_error("DART: cannot load " + p.path);
    skel->setGravity(kGravity);
    const std::size_t nv = p.model.nv;
    if (skel->getNumDofs() != nv) {
      throw std::runtime_error("DART: " + std::to_string(skel->getNumDofs()) + " dofs, trelvar " + std::to_string(nv));
    }
    for (const std::string& jn : p.joint_names) {
      dart::dynamics::Joint* j = skel->getJoint(jn);
      if (j == nullptr || j->getNumDofs() != 1) throw std::runtime_error("DART: no one-dof joint " + jn);
      coord.push_back(j->getIndexInSkeleton(0));
    }
    for (std::size_t b = 0; b < skel->getNumBodyNodes(); ++b) {
      const auto it = p.body_of.find(skel->getBodyNode(b)->getName());
      body_joint.push_back(it == p.body_of.end() ? -1 : static_cast<long>(it->second));
    }
    tip = skel->getBodyNode(p.tip_link);
    if (tip == nullptr) throw std::runtime_error("DART: no body " + p.tip_link);
    auto convert = [&](const VectorX& x) {
      Eigen::VectorXd y(static_cast<Eigen::Index>(nv));
      for (std::size_t i = 0; i < nv; ++i) y[static_cast<Eigen::Index>(coord[i])] = x[static_cast<Eigen::Index>(i)];
      return y;
    };
    for (std::size_t k = 0; k < kStates; ++k) {
      q.push_back(convert(p.q[k]));
      v.push_back(convert(p.v[k]));
      a.push_back(convert(p.a[k]));
    }
  }

  VectorX to_trelvar(const Eigen::VectorXd& x) const {
    VectorX y(static_cast<Eigen::Index>(coord.size()));
    for (std::size_t i = 0; i < coord.size(); ++i) y[static_cast<Eigen::Index>(i)] = x[static_cast<Eigen::Index>(coord[i])];
    return y;
  }

  // DART's world Jacobian: angular rows first, world axes, reference point at
  // the body origin, one column per dof the body depends on.
  MatrixX world_jacobian_to_trelvar(const dart::dynamics::BodyNode* body) const {
    const dart::math::Jacobian& jw = body->getWorldJacobian();
    const std::vector<std::size_t>& deps = body->getDependentGenCoordIndices();
    const Vec3 at = body->getWorldTransform().translation();
    std::vector<long> col_of(coord.size(), -1);
    for (std::size_t c = 0; c < deps.size(); ++c) {
      for (std::size_t i = 0; i < coord.size(); ++i)
        if (coord[i] == deps[c]) col_of[i] = static_cast<long>(c);
    }
    MatrixX res = MatrixX::Zero(6, static_cast<Eigen::Index>(coord.size()));
    for (std::size_t i = 0; i < coord.size(); ++i) {
      if (col_of[i] < 0) continue;
      const auto c = static_cast<Eigen::Index>(col_of[i]);
      res.col(static_cast<Eigen::Index>(i)) = shift_to_origin(jw.block<3, 1>(3, c), jw.block<3, 1>(0, c), at);
    }
    return res;
  }

  bool make(Op op, Impl& impl) {
    const Eigen::Index nb = static_cast<Eigen::Index>(p.model.njoints - 1);
    const std::size_t nbodies = skel->getNumBodyNodes();
    switch (op) {
      case Op::Fk:
        impl.note = "DART fk: setPositions + getWorldTransform of every body";
        impl.run = [this, nbodies](std::size_t k) {
          skel->setPositions(q[k]);
          double s = 0.0;
          for (std::size_t b = 0; b < nbodies; ++b) s += skel->getBodyNode(b)->getWorldTransform()(0, 3);
          consume(s);
        };
        impl.result = [this, nbodies, nb](std::size_t k) {
          skel->setPositions(q[k]);
          MatrixX res = nan_matrix(12, nb);
          for (std::size_t b = 0; b < nbodies; ++b) {
            if (body_joint[b] < 0) continue;
            const Eigen::Isometry3d& x = skel->getBodyNode(b)->getWorldTransform();
            put_placement(res, body_joint[b] - 1, x.translation(), x.linear());
          }
          return res;
        };
        return true;
      case Op::Rnea:
        impl.note = "DART inverse dynamics: computeInverseDynamics (no external, damping or spring forces)";
        impl.run = [this](std::size_t k) {
          skel->setPositions(q[k]);
          skel->setVelocities(v[k]);
          skel->setAccelerations(a[k]);
          skel->computeInverseDynamics(false, false, false);
          consume(skel->getForce(0));
        };
        impl.result = [this](std::size_t k) {
          skel->setPositions(q[k]);
          skel->setVelocities(v[k]);
          skel->setAccelerations(a[k]);
          skel->computeInverseDynamics(false, false, false);
          return MatrixX(to_trelvar(skel->getForces()));
        };
        return true;
      case Op::Nle:
        impl.run = [this](std::size_t k) {
          skel->setPositions(q[k]);
          skel->setVelocities(v[k]);
          consume(skel->getCoriolisAndGravityForces()[0]);
        };
        impl.result = [this](std::size_t k) {
          skel->setPositions(q[k]);
          skel->setVelocities(v[k]);
          return MatrixX(to_trelvar(skel->getCoriolisAndGravityForces()));
        };
        return true;
      case Op::Gravity:
        impl.run = [this](std::size_t k) {
          skel->setPositions(q[k]);
          consume(skel->getGravityForces()[0]);
        };
        impl.result = [this](std::size_t k) {
          skel->setPositions(q[k]);
          return MatrixX(to_trelvar(skel->getGravityForces()));
        };
        return true;
      case Op::Mass:
        impl.run = [this](std::size_t k) {
          skel->setPositions(q[k]);
          consume(skel->getMassMatrix()(0, 0));
        };
        impl.result = [this](std::size_t k) {
          skel->setPositions(q[k]);
          const Eigen::MatrixXd& mm = skel->getMassMatrix();
          const std::size_t n = coord.size();
          MatrixX res(n, n);
          for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
              res(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) =
                  mm(static_cast<Eigen::Index>(coord[i]), static_cast<Eigen::Index>(coord[j]));
          return res;
        };
        return true;
      case Op::Fd:
        impl.note = "DART forward dynamics: setForces + computeForwardDynamics";
        impl.run = [this](std::size_t k) {
          skel->setPositions(q[k]);
          skel->setVelocities(v[k]);
          skel->setForces(a[k]);
          skel->computeForwardDynamics();
          consume(skel->getAcceleration(0));
        };
        impl.result = [this](std::size_t k) {
          skel->setPositions(q[k]);
          skel->setVelocities(v[k]);
          skel->setForces(a[k]);
          skel->computeForwardDynamics();
          return MatrixX(to_trelvar(skel->getAccelerations()));
        };
        return true;
      case Op::Minv:
        impl.run = [this](std::size_t k) {
          skel->setPositions(q[k]);
          consume(skel->getInvMassMatrix()(0, 0));
        };
        impl.result = [this](std::size_t k) {
          skel->setPositions(q[k]);
          const Eigen::MatrixXd& mm = skel->getInvMassMatrix();
          const std::size_t n = coord.size();
          MatrixX res(n, n);
          for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
              res(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) =
                  mm(static_cast<Eigen::Index>(coord[i]), static_cast<Eigen::Index>(coord[j]));
          return res;
        };
        return true;
      case Op::FdDerivatives:
        return false;
      case Op::JacAll:
        // Every joint's world Jacobian = the world Jacobian of every body;
        // compared column by column with the world Jacobian of the body on
        // which each dof acts.
        impl.note = "DART all-joint Jacobians: getWorldJacobian of every body";
        impl.run = [this, nbodies](std::size_t k) {
          skel->setPositions(q[k]);
          double s = 0.0;
          for (std::size_t b = 0; b < nbodies; ++b) {
            const dart::math::Jacobian& jw = skel->getBodyNode(b)->getWorldJacobian();
            if (jw.cols() > 0) s += jw(0, 0);  // the welded root has no columns
          }
          consume(s);
        };
        impl.result = [this, nbodies](std::size_t k) {
          skel->setPositions(q[k]);
          MatrixX res = MatrixX::Zero(6, static_cast<Eigen::Index>(coord.size()));
          for (std::size_t b = 0; b < nbodies; ++b) skel->getBodyNode(b)->getWorldJacobian();
          for (std::size_t i = 0; i < coord.size(); ++i) {
            const dart::dynamics::BodyNode* body = skel->getDof(coord[i])->getChildBodyNode();
            res.col(static_cast<Eigen::Index>(i)) = world_jacobian_to_trelvar(body).col(static_cast<Eigen::Index>(i));
          }
          return res;
        };
        return true;
      case Op::JacTip:
        impl.note = "DART one-tip job: getWorldJacobian of the tip body";
        impl.run = [this](std::size_t k) {
          skel->setPositions(q[k]);
          consume(tip->getWorldJacobian()(0, 0));
        };
        impl.result = [this](std::size_t k) {
          skel->setPositions(q[k]);
          return world_jacobian_to_trelvar(tip);
        };
        return true;
    }
    return false;
  }
};

// ---------------------------------------------------------------------------
// Checking and timing.

// Largest |x - ref| / max(1, |ref|_max) over the entries both define; NaN in
// x marks an entry the library does not produce (forward kinematics of a body
// it does not have). Sets `compared` to the number of entries compared.
double discrepancy(const MatrixX& x, const MatrixX& ref, std::size_t& compared) {
  if (x.rows() != ref.rows() || x.cols() != ref.cols()) return std::numeric_limits<double>::infinity();
  const double scale = std::max(1.0, ref.cwiseAbs().maxCoeff());
  double worst = 0.0;
  for (Eigen::Index c = 0; c < x.cols(); ++c) {
    for (Eigen::Index r = 0; r < x.rows(); ++r) {
      if (std::isnan(x(r, c))) continue;
      ++compared;
      worst = std::max(worst, std::abs(x(r, c) - ref(r, c)) / scale);
    }
  }
  return worst;
}

using Clock = std::chrono::steady_clock;

double batch_ns(const Impl& impl, std::size_t calls, std::size_t& k) {
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < calls; ++i) impl.run((k++) & (kStates - 1));
  const auto t1 = Clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(calls);
}

struct Timing {
  double median = 0.0;
  double min = 0.0;
};

struct Options {
  std::string models_dir = TRELVAR_MODELS_DIR;
  int rounds = 15;
  double batch_us = 2000.0;
  std::string models;  // comma-separated; empty: all
  std::string ops;     // comma-separated operation labels; empty: all
};

// True when `list` is empty or one of its comma-separated entries begins
// `item` (an operation's label may hold a comma itself: "fd derivatives"
// names "fd derivatives (q, v)").
bool listed(const std::string& list, const std::string& item) {
  if (list.empty()) return true;
  std::size_t start = 0;
  while (start < list.size()) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    if (end > start && item.compare(0, end - start, list, start, end - start) == 0) return true;
    start = end + 1;
  }
  return false;
}

// Times the given implementations round-robin: `rounds` rounds, each running
// one batch (of about batch_us) per implementation, starting with a different
// implementation each round.
std::vector<Timing> time_interleaved(const std::vector<const Impl*>& impls, const Options& opt) {
  const std::size_t n = impls.size();
  std::vector<std::size_t> calls(n), cursor(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    // Warm up, then size the batch from a short trial.
    batch_ns(*impls[i], kStates, cursor[i]);
    const double ns = batch_ns(*impls[i], kStates, cursor[i]);
    calls[i] = std::max<std::size_t>(kStates, static_cast<std::size_t>(opt.batch_us * 1e3 / std::max(ns, 1.0)));
  }
  std::vector<std::vector<double>> samples(n);
  for (int r = 0; r < opt.rounds; ++r) {
    for (std::size_t s = 0; s < n; ++s) {
      const std::size_t i = (s + static_cast<std::size_t>(r)) % n;
      samples[i].push_back(batch_ns(*impls[i], calls[i], cursor[i]));
    }
  }
  std::vector<Timing> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double>& x = samples[i];
    std::sort(x.begin(), x.end());
    out[i].min = x.front();
    out[i].median = x.size() % 2 ? x[x.size() / 2] : 0.5 * (x[x.size() / 2 - 1] + x[x.size() / 2]);
  }
  return out;
}

struct Row {
  std::string model, op;
  double ns[kLibraries];      // median; NaN: not offered; -1: disagrees
  double ns_min[kLibraries];
};

std::string cell(double ns) {
  char buf[32];
  if (std::isnan(ns)) return "-";
  if (ns < 0) return "disagrees";
  std::snprintf(buf, sizeof buf, "%.0f", ns);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      opt.rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--batch-us" && i + 1 < argc) {
      opt.batch_us = std::max(10.0, std::atof(argv[++i]));
    } else if (arg == "--models" && i + 1 < argc) {
      opt.models = argv[++i];
    } else if (arg == "--ops" && i + 1 < argc) {
      opt.ops = argv[++i];
    } else if (!arg.empty() && arg[0] != '-') {
      opt.models_dir = arg;
    } else {
      std::fprintf(stderr, "usage: %s [models-dir] [--rounds N] [--batch-us U] [--models a,b] [--ops x,y]\n", argv[0]);
      return 2;
    }
  }
  const std::pair<const char*, const char*> models[] = {
      {"arm7", "gripper"}, {"tree30", "left_hand"}, {"chain_100", "link100"}, {"chain_256", "link256"}};

  std::printf("bench_peers: trelvar against KDL, MuJoCo %s, DART; %zu states per model, %d rounds of ~%.0f us per library\n",
              mj_versionString(), kStates, opt.rounds, opt.batch_us);
  std::printf("agreement: max over %zu states of max|peer - trelvar| / max(1, max|trelvar|); timed only below %.0e\n\n",
              kCheckStates, kTolerance);

  std::vector<Row> rows;
  std::map<std::string, std::string> notes;  // note -> first model it applies to
  std::vector<std::string> note_order;
  int disagreements = 0;
  for (const auto& [model_name, tip] : models) {
    if (!listed(opt.models, model_name)) continue;
    Problem problem = make_problem(opt.models_dir, model_name, tip);
    std::printf("== %s: nv = %zu, %zu joints incl. fixed, tip body %s\n", model_name, problem.model.nv,
                problem.model.njoints - 1, tip);
    TrelvarLib trel(problem);
    std::unique_ptr<KdlLib> kdl;
    std::unique_ptr<MujocoLib> mjc;
    std::unique_ptr<DartLib> dart;
    try { kdl = std::make_unique<KdlLib>(problem); } catch (const std::exception& e) { std::printf("   KDL unavailable: %s\n", e.what()); }
    try { mjc = std::make_unique<MujocoLib>(problem); } catch (const std::exception& e) { std::printf("   MuJoCo unavailable: %s\n", e.what()); }
    try { dart = std::make_unique<DartLib>(problem); } catch (const std::exception& e) { std::printf("   DART unavailable: %s\n", e.what()); }

    for (Op op : kOps) {
      if (!listed(opt.ops, op_name(op))) continue;
      Impl impls[kLibraries];
      bool offered[kLibraries] = {true, false, false, false};
      impls[0] = trel.make(op);
      if (kdl) offered[1] = kdl->make(op, impls[1]);
      if (mjc) offered[2] = mjc->make(op, impls[2]);
      if (dart) offered[3] = dart->make(op, impls[3]);

      // Reference: trelvar's whole-tree result; for the one-tip job the
      // columns of the tip's support cut out of the world Jacobian.
      TrelvarLib reference(problem);
      Row row{model_name, op_name(op), {}, {}};
      std::vector<const Impl*> timed;
      std::vector<int> timed_lib;
      std::string agreement;
      for (int lib = 0; lib < kLibraries; ++lib) {
        row.ns[lib] = row.ns_min[lib] = std::numeric_limits<double>::quiet_NaN();
        if (!offered[lib]) continue;
        double worst = 0.0;
        std::size_t compared = 0;
        for (std::size_t k = 0; k < kCheckStates; ++k) {
          MatrixX ref;
          if (op == Op::JacTip) {
            trelvar::compute_joint_jacobians(problem.model, reference.data, problem.q[k]);
            ref = trelvar::get_frame_jacobian(problem.model, reference.data, problem.tip_joint,
                                              trelvar::ReferenceFrame::WORLD);
          } else {
            ref = reference.make(op).result(k);
          }
          worst = std::max(worst, discrepancy(impls[lib].result(k), ref, compared));
        }
        const bool agrees = compared > 0 && worst <= kTolerance;
        char buf[96];
        if (lib == 0 && op != Op::JacTip) {
          agreement += "  trelvar (reference)";  // compared with itself: nothing to report
        } else {
          std::snprintf(buf, sizeof buf, "  %s %.1e%s", kLibraryNames[lib], worst, agrees ? "" : " DISAGREES");
          agreement += buf;
        }
        if (op == Op::Fk && lib > 0) {
          std::snprintf(buf, sizeof buf, " (%zu/%zu bodies)", compared / (12 * kCheckStates), problem.model.njoints - 1);
          agreement += buf;
        }
        if (!agrees) {
          row.ns[lib] = -1.0;
          ++disagreements;
          continue;
        }
        timed.push_back(&impls[lib]);
        timed_lib.push_back(lib);
        if (!impls[lib].note.empty() && notes.emplace(impls[lib].note, model_name).second) {
          note_order.push_back(impls[lib].note);
        }
      }
      std::printf("   %-24s agreement:%s\n", op_name(op), agreement.c_str());
      if (row.ns[0] < 0) {
        rows.push_back(row);
        continue;  // trelvar's own timed path disagrees with its reference: nothing to time
      }
      const std::vector<Timing> t = time_interleaved(timed, opt);
      for (std::size_t i = 0; i < timed.size(); ++i) {
        row.ns[timed_lib[i]] = t[i].median;
        row.ns_min[timed_lib[i]] = t[i].min;
      }
      rows.push_back(row);
    }
    std::printf("\n");
  }

  std::printf("ns per call (median over rounds); '-' not offered by the library, 'disagrees' failed the check\n");
  std::printf("%-10s %-24s %9s %9s %9s %9s  %-7s %10s %10s\n", "model", "operation", "trelvar", "KDL", "MuJoCo",
              "DART", "best", "ratio", "ratio(min)");
  for (const Row& r : rows) {
    int best = -1;
    for (int lib = 1; lib < kLibraries; ++lib) {
      if (std::isnan(r.ns[lib]) || r.ns[lib] < 0) continue;
      if (best < 0 || r.ns[lib] < r.ns[best]) best = lib;
    }
    double best_min = std::numeric_limits<double>::quiet_NaN();
    for (int lib = 1; lib < kLibraries; ++lib) {
      if (std::isnan(r.ns_min[lib]) || r.ns[lib] < 0) continue;
      if (std::isnan(best_min) || r.ns_min[lib] < best_min) best_min = r.ns_min[lib];
    }
    char ratio[32] = "-", ratio_min[32] = "-";
    if (best >= 0 && r.ns[0] > 0) {
      std::snprintf(ratio, sizeof ratio, "%.2f", r.ns[0] / r.ns[best]);
      std::snprintf(ratio_min, sizeof ratio_min, "%.2f", r.ns_min[0] / best_min);
    }
    std::printf("%-10s %-24s %9s %9s %9s %9s  %-7s %10s %10s\n", r.model.c_str(), r.op.c_str(), cell(r.ns[0]).c_str(),
                cell(r.ns[1]).c_str(), cell(r.ns[2]).c_str(), cell(r.ns[3]).c_str(),
                best >= 0 ? kLibraryNames[best] : "-", ratio, ratio_min);
  }
  std::printf("\nratio = trelvar / fastest agreeing peer (below 1: trelvar is faster); ratio(min) uses each library's fastest round\n");
  std::printf("what each timed call does where the libraries differ:\n");
  for (const std::string& n : note_order) std::printf("  - %s\n", n.c_str());
  std::printf("  - KDL drops the root link's inertia (its warning above); the root is fixed, so no result depends on it\n");
  if (disagreements > 0) std::printf("%d library/operation pairs disagreed with trelvar and were not timed\n", disagreements);
  return 0;
}

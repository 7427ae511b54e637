// Forward dynamics and the inverse mass matrix: identities with inverse
// dynamics and the mass matrix, external forces, singular articulated
// inertias, non-finite inputs, and energy conservation of a simulation.
#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>
#include <Eigen/LU>
#include <Eigen/Cholesky>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>

#include "sample_models.hpp"
#include "test_util.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/error.hpp"
#include "trelvar/forward_dynamics.hpp"
#include "trelvar/derivatives.hpp"
#include "trelvar/jacobians.hpp"
#include "trelvar/urdf.hpp"

namespace trelvar {
namespace {

using samples::random_configuration;
using samples::random_vector;
using testing::error_of;
using testing::rel_err;

struct ModelCase {
  const char* name;
  std::function<Model()> make;
};

Model bundled(const char* name) {
  return parse_urdf_file(std::string(TRELVAR_MODELS_DIR) + "/" + name + ".urdf");
}

// A random tree of n joints of the one-coordinate kinds and fixed joints
// (parents random among earlier joints, so subtrees are generally not
// numbered consecutively): the trees compute_minverse takes through M when
// they have at most 12 coordinates.
Model one_coordinate_tree(std::mt19937& rng, std::size_t n) {
  static const JointType kinds[] = {JointType::Revolute, JointType::Prismatic, JointType::Fixed,
                                    JointType::Continuous, JointType::Revolute};
  std::normal_distribution<double> normal;
  Model m;
  for (std::size_t k = 0; k < n; ++k) {
    std::uniform_int_distribution<std::size_t> pick(0, m.njoints - 1);
    const std::size_t parent = k == 0 ? 0 : pick(rng);
    const Vec3 axis(normal(rng), normal(rng), normal(rng));
    samples::add_body(m, parent, Joint::create(kinds[k % 5], axis), samples::random_placement(rng),
                      samples::random_inertia(rng), "j" + std::to_string(k + 1));
  }
  return m;
}

std::vector<ModelCase> model_cases() {
  std::vector<ModelCase> out = {
      {"one_coordinate_8",
       [] {
         std::mt19937 rng(8);
         return one_coordinate_tree(rng, 10);
       }},
      {"one_coordinate_12",
       [] {
         std::mt19937 rng(9);
         return one_coordinate_tree(rng, 15);
       }},
      {"arm7_code", samples::arm7},
      {"tree32", samples::tree32},
      {"chain20", [] { return samples::chain(20); }},
      {"random_floating",
       [] {
         std::mt19937 rng(5);
         return samples::random_tree(rng, 16, true);
       }},
      {"random_fixed_base",
       [] {
         std::mt19937 rng(6);
         return samples::random_tree(rng, 24, false);
       }},
      {"random_floating_depth_first",
       [] {
         std::mt19937 rng(12);
         return samples::renumber_depth_first(samples::random_tree(rng, 20, true));
       }},
  };
  for (const char* name : {"arm7", "arm6", "quadruped", "humanoid", "tree30", "chain_16", "chain_100"}) {
    out.push_back({name, [name] { return bundled(name); }});
  }
  return out;
}

class ForwardDynamics : public ::testing::TestWithParam<ModelCase> {};

// The condition number of the full mass matrix at q.
double condition(const Model& m, Data& d, const VectorX& q) {
  crba(m, d, q);
  const Eigen::SelfAdjointEigenSolver<MatrixX> eig(d.get_mass_matrix());
  return eig.eigenvalues().maxCoeff() / eig.eigenvalues().minCoeff();
}

// aba inverts rnea and rnea inverts aba, with non-zero velocities. Recovering
// a from tau = rnea(a) loses what the conditioning of M loses (a dense
// Cholesky solve with the full M does no better): on chain_100, whose M has a
// condition number near 1e7, the tolerance grows with it.
TEST_P(ForwardDynamics, InvertsInverseDynamics) {
  const Model m = GetParam().make();
  Data d(m);
  std::mt19937 rng(42);
  for (int trial = 0; trial < 4; ++trial) {
    const VectorX q = random_configuration(rng, m);
    const VectorX v = random_vector(rng, m.nv);
    const VectorX a = random_vector(rng, m.nv);
    const VectorX tau = rnea(m, d, q, v, a);
    const double tolerance = 1e-10 * std::max(1.0, condition(m, d, q) / 1e6);
    EXPECT_LT(rel_err(aba(m, d, q, v, tau), a), tolerance);
    const VectorX tau2 = random_vector(rng, m.nv, 10.0);
    const VectorX ddq = aba(m, d, q, v, tau2);
    EXPECT_EQ(ddq, d.ddq);
    EXPECT_LT(rel_err(rnea(m, d, q, v, ddq), tau2), 1e-10);
  }
}

// M^-1 M = I, and M^-1 is the symmetric inverse of the full mass matrix.
TEST_P(ForwardDynamics, InverseMassMatrix) {
  const Model m = GetParam().make();
  Data d(m);
  std::mt19937 rng(43);
  const auto n = static_cast<Eigen::Index>(m.nv);
  for (int trial = 0; trial < 3; ++trial) {
    const VectorX q = random_configuration(rng, m);
    crba(m, d, q);
    const MatrixX mass = d.get_mass_matrix();
    const MatrixX& minv = compute_minverse(m, d, q);
    EXPECT_EQ(&minv, &d.Minv);
    EXPECT_TRUE(minv.isApprox(minv.transpose(), 0));
    EXPECT_LT((minv * mass - MatrixX::Identity(n, n)).norm(), 1e-9 * std::max(1.0, static_cast<double>(n)));
    EXPECT_LT(rel_err(minv, mass.inverse()), 1e-9);
    // The columns are aba's accelerations for unit forces at rest without gravity.
    Model no_gravity = m;
    no_gravity.gravity.setZero();
    Data e(no_gravity);
    const VectorX zero = VectorX::Zero(n);
    for (Eigen::Index c = 0; c < n; c += std::max<Eigen::Index>(1, n / 5)) {
      EXPECT_LT(rel_err(aba(no_gravity, e, q, zero, VectorX::Unit(n, c)), minv.col(c)), 1e-10) << c;
    }
  }
}

TEST_P(ForwardDynamics, ResultsDoNotDependOnEarlierBufferContents) {
  const Model m = GetParam().make();
  std::mt19937 rng(44);
  const VectorX q = random_configuration(rng, m);
  const VectorX v = random_vector(rng, m.nv);
  const VectorX tau = random_vector(rng, m.nv);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Data clean(m), used(m);
  Data::Work::ForwardDynamics& fd = used.work.fd;
  used.ddq.setConstant(nan);
  used.Minv.setConstant(nan);
  for (auto* x : {&fd.v, &fd.c, &fd.pa, &fd.a}) {
    for (Vec6& e : *x) e.setConstant(nan);
  }
  for (Mat6& e : fd.ia) e.setConstant(nan);
  for (Matrix6X* x : {&fd.ia_s, &fd.u_parent, &fd.d_inv, &fd.s_world, &fd.u_world, &fd.acc}) {
    x->setConstant(nan);
  }
  for (auto& e : used.work.sincos) e = {nan, nan};
  for (MatrixX* x : {&fd.f, &fd.minv}) x->setConstant(nan);
  for (Inertia& e : fd.ic) e = Inertia::from_matrix(nan, Vec3::Constant(nan), Mat3::Constant(nan));
  fd.u.setConstant(nan);
  fd.ddq.setConstant(nan);
  EXPECT_EQ(aba(m, clean, q, v, tau), aba(m, used, q, v, tau));
  EXPECT_EQ(compute_minverse(m, clean, q), compute_minverse(m, used, q));
}

INSTANTIATE_TEST_SUITE_P(Models, ForwardDynamics, ::testing::ValuesIn(model_cases()),
                         [](const ::testing::TestParamInfo<ModelCase>& p) {
                           return std::string(p.param.name);
                         });

// ---- worked values ------------------------------------------------------

Model single(JointType type, const Vec3& axis, const Inertia& body) {
  Model m;
  const std::size_t id = m.add_joint(0, Joint::create(type, axis), SE3::identity(), "j");
  m.inertias[id] = body;
  return m;
}

TEST(Aba, PendulumReleasedFromHorizontal) {
  const double mass = 2.5, l = 0.4, iyy = 0.03;
  const Model m = single(JointType::Revolute, Vec3::UnitY(),
                         Inertia::from_matrix(mass, Vec3(l, 0, 0), Vec3(0.01, iyy, 0.02).asDiagonal()));
  Data d(m);
  const VectorX z = VectorX::Zero(1);
  // Gravity pulls the lever down: a positive rotation about y.
  EXPECT_NEAR(aba(m, d, z, z, z)[0], 9.81 * mass * l / (iyy + mass * l * l), 1e-13);
  // Holding torque: no acceleration.
  EXPECT_NEAR(aba(m, d, z, z, VectorX::Constant(1, -9.81 * mass * l))[0], 0.0, 1e-13);
}

TEST(Aba, FreeBodyUnderGravityAndAWrench) {
  const Vec3 moments(0.2, 0.3, 0.4);
  const double mass = 3.0;
  std::mt19937 rng(1);
  Model m = single(JointType::Floating, Vec3::Zero(),
                   Inertia::from_matrix(mass, Vec3(0.1, -0.2, 0.05), moments.asDiagonal()));
  Data d(m);
  const VectorX q = random_configuration(rng, m);
  const Mat3 r = rotation_from_quaternion(q[3], q[4], q[5], q[6]);
  const VectorX z = VectorX::Zero(6);
  // Released at rest: the body falls without turning, gravity seen in its axes.
  const VectorX ddq = aba(m, d, q, z, z);
  EXPECT_LT((ddq.head<3>() - r.transpose() * Vec3(0, 0, -9.81)).norm(), 1e-13);
  EXPECT_LT(ddq.tail<3>().norm(), 1e-13);
  // Without gravity and with the centre of mass at the origin, a wrench
  // (force, moment) gives force / m and moment / I.
  m.gravity.setZero();
  m.inertias[1] = Inertia::from_matrix(mass, Vec3::Zero(), moments.asDiagonal());
  VectorX wrench(6);
  wrench << 1.5, -3.0, 0.6, 0.2, 0.6, -0.8;
  const VectorX expected = (VectorX(6) << 0.5, -1.0, 0.2, 1.0, 2.0, -2.0).finished();
  EXPECT_LT((aba(m, d, q, z, wrench) - expected).norm(), 1e-13);
  EXPECT_LT((compute_minverse(m, d, q) * wrench - expected).norm(), 1e-13);
}

TEST(Aba, UniverseOnly) {
  const Model m;
  Data d(m);
  EXPECT_EQ(aba(m, d, VectorX(), VectorX(), VectorX()).size(), 0);
  EXPECT_EQ(aba(m, d, VectorX(), VectorX(), VectorX(), {Vec6::Ones()}).size(), 0);
  EXPECT_EQ(compute_minverse(m, d, VectorX()).rows(), 0);
}

// ---- external forces ------------------------------------------------------

// aba with forces f_i on the bodies solves M ddq = tau - nle + sum_i J_i^T f_i,
// J_i the Jacobian of joint i in its own frame (columns linear first, forces
// angular first).
TEST(Aba, ExternalForcesEnterThroughTheLocalJacobians) {
  std::mt19937 rng(13);
  for (const Model& m : {samples::tree32(), samples::random_tree(rng, 18, true),
                         samples::random_tree(rng, 14, false)}) {
    Data d(m);
    const VectorX q = random_configuration(rng, m);
    const VectorX v = random_vector(rng, m.nv);
    const VectorX tau = random_vector(rng, m.nv);
    std::vector<Vec6> fext(m.njoints);
    VectorX generalized = tau - non_linear_effects(m, d, q, v);
    for (std::size_t i = 0; i < m.njoints; ++i) {
      fext[i] = random_vector(rng, 6, 5.0);
      if (i > 0) generalized += compute_joint_jacobian(m, d, q, i).transpose() * swap_halves(fext[i]);
    }
    crba(m, d, q);
    const VectorX expected = d.get_mass_matrix().llt().solve(generalized);
    EXPECT_LT(rel_err(aba(m, d, q, v, tau, fext), expected), 1e-10);
    // The universe's entry is not read; zero forces change nothing.
    fext[0].setConstant(std::numeric_limits<double>::quiet_NaN());
    EXPECT_LT(rel_err(aba(m, d, q, v, tau, fext), expected), 1e-10);
    EXPECT_EQ(aba(m, d, q, v, tau, std::vector<Vec6>(m.njoints, Vec6::Zero())), aba(m, d, q, v, tau));
  }
}

// Fixed joints without children carry their bodies with the parent's, in
// every position: on the universe, on a floating base, on a fixed joint, on a
// spherical joint, two deep. Forward dynamics with forces on those bodies and
// the inverse mass matrix against the mass matrix and the Jacobians.
TEST(Aba, BodiesOnFixedLeavesMoveWithTheirParents) {
  std::mt19937 rng(29);
  for (const bool floating : {true, false}) {
    Model m = samples::random_tree(rng, 10, floating);
    std::size_t spherical = 0;
    for (std::size_t i = 1; i < m.njoints; ++i) {
      if (m.joints[i].joint_type == JointType::Spherical) spherical = i;
    }
    ASSERT_NE(spherical, 0u);
    const Joint fixed = Joint::create(JointType::Fixed, Vec3::Zero());
    const auto leaf = [&](std::size_t parent, const char* name) {
      return samples::add_body(m, parent, fixed, samples::random_placement(rng),
                               samples::random_inertia(rng), name);
    };
    leaf(0, "on_universe");
    leaf(1, "on_first");
    leaf(spherical, "on_spherical");
    leaf(leaf(m.njoints - 1, "mid"), "two_deep");
    Data d(m);
    const VectorX q = random_configuration(rng, m);
    const VectorX v = random_vector(rng, m.nv);
    const VectorX tau = random_vector(rng, m.nv);
    std::vector<Vec6> fext(m.njoints, Vec6::Zero());
    VectorX generalized = tau - non_linear_effects(m, d, q, v);
    for (std::size_t i = 1; i < m.njoints; ++i) {
      fext[i] = random_vector(rng, 6, 5.0);
      generalized += compute_joint_jacobian(m, d, q, i).transpose() * swap_halves(fext[i]);
    }
    crba(m, d, q);
    const MatrixX mass = d.get_mass_matrix();
    EXPECT_LT(rel_err(aba(m, d, q, v, tau, fext), mass.llt().solve(generalized)), 1e-10);
    EXPECT_LT(rel_err(compute_minverse(m, d, q), MatrixX(mass.inverse())), 1e-9);
  }
}

// ---- singular articulated inertias -------------------------------------------

struct SingularCase {
  const char* name;
  JointType type;
  Vec3 axis;
  Inertia body;
};

class Singular : public ::testing::TestWithParam<SingularCase> {};

// A body on a moving joint that has no inertia along the joint's motion: the
// call raises naming the joint and leaves the results as they were.
TEST_P(Singular, RaisesNamingTheJointAndChangesNoResult) {
  const SingularCase& c = GetParam();
  Model m = samples::arm7();
  const std::size_t parent = m.get_joint_id("joint7").value();
  const std::size_t id = m.add_joint(parent, Joint::create(c.type, c.axis),
                                     SE3(rotation_from_rpy(0.3, 0.2, 0.1), Vec3(0.1, 0, 0.2)), "tip");
  m.inertias[id] = c.body;
  Data d(m);
  std::mt19937 rng(3);
  const VectorX q = random_configuration(rng, m), v = random_vector(rng, m.nv);
  d.ddq.setConstant(1.5);
  d.Minv.setConstant(2.5);
  const std::string label = "joint 'tip' (index " + std::to_string(id) + ")";
  for (const auto& call : std::vector<std::function<void()>>{
           [&] { aba(m, d, q, v, v); }, [&] { compute_minverse(m, d, q); }}) {
    const std::string msg = error_of(call);
    EXPECT_NE(msg.find("Articulated inertia of " + label + " is singular"), std::string::npos) << msg;
    EXPECT_TRUE((d.ddq.array() == 1.5).all());
    EXPECT_TRUE((d.Minv.array() == 2.5).all());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, Singular,
    ::testing::Values(
        SingularCase{"massless_revolute", JointType::Revolute, Vec3(1, 2, 3), Inertia::zero()},
        SingularCase{"massless_prismatic", JointType::Prismatic, Vec3(0, 0, 1), Inertia::zero()},
        // A point mass on the axis of rotation.
        SingularCase{"point_on_axis", JointType::Revolute, Vec3(0, 0, 1),
                     Inertia::from_matrix(2.0, Vec3(0, 0, 0.4), Mat3::Zero())},
        SingularCase{"point_at_ball_centre", JointType::Spherical, Vec3::Zero(),
                     Inertia::from_matrix(2.0, Vec3::Zero(), Mat3::Zero())},
        SingularCase{"rod_along_continuous_axis", JointType::Continuous, Vec3(1, 0, 0),
                     Inertia::from_matrix(1.0, Vec3(0.3, 0, 0), Vec3(0, 0.1, 0.1).asDiagonal())},
        SingularCase{"massless_planar", JointType::Planar, Vec3::Zero(), Inertia::zero()},
        SingularCase{"point_mass_floating", JointType::Floating, Vec3::Zero(),
                     Inertia::from_matrix(1.0, Vec3::Zero(), Mat3::Zero())}),
    [](const ::testing::TestParamInfo<SingularCase>& p) { return std::string(p.param.name); });

TEST(Aba, BodiesWithoutInertiaThatDoNotStopAJointAreAccepted) {
  Model m = samples::arm7();
  std::mt19937 rng(4);
  // A massless body on a fixed joint, and a massless link between two
  // revolute joints whose child carries a real body (as URDF files often have).
  m.add_joint(m.get_joint_id("gripper").value(), Joint::create(JointType::Fixed), SE3::identity(), "marker");
  const std::size_t link = m.add_joint(m.get_joint_id("joint7").value(),
                                       Joint::create(JointType::Revolute, Vec3::UnitX()), SE3::identity(), "a");
  const std::size_t hand = m.add_joint(link, Joint::create(JointType::Revolute, Vec3::UnitY()), SE3::identity(), "b");
  m.inertias[hand] = samples::box_inertia(0.5, Vec3(0.1, 0.05, 0.2), Vec3(0.02, 0.0, 0.1));
  Data d(m);
  const VectorX q = random_configuration(rng, m), v = random_vector(rng, m.nv), a = random_vector(rng, m.nv);
  EXPECT_LT(rel_err(aba(m, d, q, v, rnea(m, d, q, v, a)), a), 1e-9);
  // Tiny but genuine inertias: the test is relative, so units do not matter.
  Model tiny = m;
  for (Inertia& body : tiny.inertias) {
    body.mass *= 1e-9;
    for (double& x : body.inertia) x *= 1e-9;
  }
  Data e(tiny);
  EXPECT_LT(rel_err(aba(tiny, e, q, v, 1e-9 * rnea(m, d, q, v, a)), a), 1e-9);
}

// ---- the inverse mass matrix of small trees, through M -----------------------

// Minv from the sweeps of unit joint forces, which compute_aba_derivatives
// always takes: the reference for compute_minverse's path through M.
MatrixX minverse_by_sweeps(const Model& m, const VectorX& q) {
  Data d(m);
  compute_aba_derivatives(m, d, q, VectorX::Zero(m.nv), VectorX::Zero(m.nv));
  return d.Minv;
}

// Trees of one-coordinate joints with 8 and 12 coordinates (the two widths of
// the factored path), the 7-joint arm, and 13 coordinates (the sweeps): both
// paths give the same M^-1.
TEST(ComputeMinverse, AgreesWithTheSweepsAroundTheSizeLimit) {
  std::mt19937 rng(21);
  std::vector<Model> models = {samples::arm7(), samples::chain(12), samples::chain(13)};
  for (std::size_t n : {10, 15}) {
    std::mt19937 tree_rng(static_cast<unsigned>(n));
    models.push_back(one_coordinate_tree(tree_rng, n));
  }
  for (const Model& m : models) {
    Data d(m);
    for (int trial = 0; trial < 3; ++trial) {
      const VectorX q = random_configuration(rng, m);
      EXPECT_LT(rel_err(compute_minverse(m, d, q), minverse_by_sweeps(m, q)), 1e-12) << m.nv;
    }
  }
}

// A pivot that passes the articulated-body test but not the factored path's
// margin, and massless bodies with rotational inertia (which the factored
// path leaves to the sweeps: summing composite inertias would drop them):
// the results are the sweeps'.
TEST(ComputeMinverse, NearlySingularAndMasslessBodiesAgreeWithTheSweeps) {
  std::mt19937 rng(22);
  const auto with_tip = [](const Inertia& a, const Inertia& b) {
    Model m = samples::arm7();
    const std::size_t j7 = m.get_joint_id("joint7").value();
    const std::size_t ja = m.add_joint(j7, Joint::create(JointType::Revolute, Vec3::UnitZ()),
                                       SE3(Mat3::Identity(), Vec3(0.1, 0, 0)), "a");
    const std::size_t jb = m.add_joint(ja, Joint::create(JointType::Revolute, Vec3::UnitX()),
                                       SE3(Mat3::Identity(), Vec3(0, 0.1, 0)), "b");
    m.inertias[ja] = a;
    m.inertias[jb] = b;
    return m;
  };
  const Inertia thin = Inertia::from_matrix(1.0, Vec3::Zero(), Vec3(1e-11, 1.0, 1.0).asDiagonal());
  const Inertia spinning = Inertia::from_matrix(0.0, Vec3::Zero(), Vec3(0.2, 0.3, 0.4).asDiagonal());
  const Inertia body = samples::box_inertia(0.5, Vec3(0.1, 0.05, 0.2), Vec3(0.02, 0.0, 0.1));
  // "thin" alone on its joint: pivot 1e-11 against a scale of 2 (the test
  // asks for 2e-12, the margin for 2e-9).
  for (const Model& m : {with_tip(body, thin), with_tip(spinning, spinning)}) {
    Data d(m);
    const VectorX q = random_configuration(rng, m);
    EXPECT_LT(rel_err(compute_minverse(m, d, q), minverse_by_sweeps(m, q)), 1e-12);
  }
}

// ---- failures -------------------------------------------------------------

TEST(Aba, WrongSizesAndForeignDataFailWithoutTouchingResults) {
  const Model m = samples::arm7();
  Data d(m);
  std::mt19937 rng(5);
  const VectorX q = random_configuration(rng, m), v = random_vector(rng, 7);
  aba(m, d, q, v, v);
  compute_minverse(m, d, q);
  const Data before = d;
  const VectorX bad = VectorX::Zero(8);
  const std::vector<Vec6> fext(m.njoints, Vec6::Zero());
  EXPECT_EQ(error_of([&] { aba(m, d, bad, bad, bad); }), "Configuration vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { aba(m, d, q, bad, bad); }), "Velocity vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { aba(m, d, q, v, bad); }), "Torque vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { aba(m, d, q, v, bad, fext); }), "Torque vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { aba(m, d, q, v, v, std::vector<Vec6>(3)); }),
            "External force vector size mismatch: expected 9, got 3");
  EXPECT_EQ(error_of([&] { compute_minverse(m, d, bad); }), "Configuration vector size mismatch: expected 7, got 8");
  Model grown = m;
  grown.add_joint(0, Joint::create(JointType::Revolute, Vec3::UnitX()), SE3::identity(), "extra");
  const VectorX q8 = VectorX::Zero(8);
  for (const std::string& msg : {error_of([&] { aba(grown, d, q8, q8, q8); }),
                                 error_of([&] { compute_minverse(grown, d, q8); })}) {
    EXPECT_NE(msg.find("njoints=9, nq=7, nv=7"), std::string::npos) << msg;
  }
  EXPECT_EQ(d.ddq, before.ddq);
  EXPECT_EQ(d.Minv, before.Minv);
}

TEST(Aba, NonFiniteInputsAndOverflowRaiseAndChangeNoResult) {
  std::mt19937 rng(6);
  const Model m = samples::random_tree(rng, 10, true);
  Data d(m);
  const VectorX q = random_configuration(rng, m), v = random_vector(rng, m.nv);
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  aba(m, d, q, v, v);
  compute_minverse(m, d, q);
  const VectorX ddq = d.ddq;
  const MatrixX minv = d.Minv;
  VectorX q_bad = q, v_bad = v;
  q_bad[4] = nan;
  v_bad[2] = -inf;
  std::vector<Vec6> fext(m.njoints, Vec6::Zero());
  fext[3][5] = nan;
  EXPECT_EQ(error_of([&] { aba(m, d, q_bad, v, v); }), "Configuration vector holds a non-finite value at index 4");
  EXPECT_EQ(error_of([&] { compute_minverse(m, d, q_bad); }),
            "Configuration vector holds a non-finite value at index 4");
  EXPECT_EQ(error_of([&] { aba(m, d, q, v_bad, v); }), "Velocity vector holds a non-finite value at index 2");
  EXPECT_EQ(error_of([&] { aba(m, d, q, v, v_bad); }), "Torque vector holds a non-finite value at index 2");
  EXPECT_EQ(error_of([&] { aba(m, d, q, v, v, fext); }),
            "External force on joint 'j3' (index 3) holds a non-finite value");
  // Finite but too large: the accelerations overflow.
  const std::string msg = error_of([&] { aba(m, d, q, VectorX::Constant(v.size(), 1e300), v); });
  EXPECT_EQ(msg.rfind("Joint accelerations are not finite", 0), 0u) << msg;
  EXPECT_EQ(d.ddq, ddq);
  EXPECT_EQ(d.Minv, minv);
}

TEST(Data, ResetAndSizeChecksCoverForwardDynamics) {
  const Model m = samples::arm7();
  Data d(m);
  std::mt19937 rng(7);
  const VectorX q = random_configuration(rng, m);
  aba(m, d, q, q, q);
  compute_minverse(m, d, q);
  d.reset();
  EXPECT_TRUE(d.ddq.isZero(0));
  EXPECT_TRUE(d.Minv.isZero(0));
  EXPECT_EQ(d.Minv.rows(), 7);
  for (int which = 0; which < 4; ++which) {
    Data shrunk = d;
    if (which == 0) shrunk.ddq.resize(6);
    if (which == 1) shrunk.Minv.resize(7, 6);
    if (which == 2) shrunk.work.fd.ia.pop_back();
    if (which == 3) shrunk.work.fd.acc.resize(6, 27);
    EXPECT_FALSE(shrunk.buffers_consistent()) << which;
    EXPECT_THROW(aba(m, shrunk, q, q, q), Error) << which;
    EXPECT_THROW(compute_minverse(m, shrunk, q), Error) << which;
  }
}

// ---- energy ---------------------------------------------------------------------

// q' = G(q) v: the rate of the configuration coordinates for the velocity v
// (joint-frame rates for planar, floating and spherical joints).
VectorX configuration_rate(const Model& m, const VectorX& q, const VectorX& v) {
  VectorX out(q.size());
  for (std::size_t i = 1; i < m.njoints; ++i) {
    const double* x = q.data() + m.idx_qs[i];
    const double* w = v.data() + m.idx_vs[i];
    double* r = out.data() + m.idx_qs[i];
    // Quaternion (x, y, z, w) times the pure quaternion (w, 0), halved.
    const auto quaternion_rate = [](const double* quat, const double* rate, double* dq) {
      const Vec3 qv(quat[0], quat[1], quat[2]), wv(rate[0], rate[1], rate[2]);
      const Vec3 d = 0.5 * (quat[3] * wv + qv.cross(wv));
      dq[0] = d[0];
      dq[1] = d[1];
      dq[2] = d[2];
      dq[3] = -0.5 * qv.dot(wv);
    };
    switch (m.joints[i].joint_type) {
      case JointType::Fixed: break;
      case JointType::Revolute:
      case JointType::Prismatic: r[0] = w[0]; break;
      case JointType::Continuous:
        r[0] = -x[1] * w[0];
        r[1] = x[0] * w[0];
        break;
      case JointType::Planar:
        r[0] = x[2] * w[0] - x[3] * w[1];
        r[1] = x[3] * w[0] + x[2] * w[1];
        r[2] = -x[3] * w[2];
        r[3] = x[2] * w[2];
        break;
      case JointType::Floating: {
        const Vec3 p = rotation_from_quaternion(x[3], x[4], x[5], x[6]) * Vec3(w[0], w[1], w[2]);
        r[0] = p[0];
        r[1] = p[1];
        r[2] = p[2];
        quaternion_rate(x + 3, w + 3, r + 3);
        break;
      }
      case JointType::Spherical: quaternion_rate(x, w, r); break;
    }
  }
  return out;
}

// The largest |E(t) - E(0)| over a passive simulation (tau = 0) of duration
// `time` with classical RK4 of step h on (q, v).
double energy_drift(const Model& m, VectorX q, VectorX v, double time, double h) {
  Data d(m);
  const VectorX zero = VectorX::Zero(v.size());
  compute_all_terms(m, d, q, v);
  const double e0 = d.mechanical_energy;
  double worst = 0.0;
  const auto steps = static_cast<int>(std::lround(time / h));
  for (int s = 0; s < steps; ++s) {
    const VectorX k1q = configuration_rate(m, q, v), k1v = aba(m, d, q, v, zero);
    const VectorX q2 = q + 0.5 * h * k1q, v2 = v + 0.5 * h * k1v;
    const VectorX k2q = configuration_rate(m, q2, v2), k2v = aba(m, d, q2, v2, zero);
    const VectorX q3 = q + 0.5 * h * k2q, v3 = v + 0.5 * h * k2v;
    const VectorX k3q = configuration_rate(m, q3, v3), k3v = aba(m, d, q3, v3, zero);
    const VectorX q4 = q + h * k3q, v4 = v + h * k3v;
    const VectorX k4q = configuration_rate(m, q4, v4), k4v = aba(m, d, q4, v4, zero);
    q += h / 6.0 * (k1q + 2.0 * k2q + 2.0 * k3q + k4q);
    v += h / 6.0 * (k1v + 2.0 * k2v + 2.0 * k3v + k4v);
    compute_all_terms(m, d, q, v);
    worst = std::max(worst, std::abs(d.mechanical_energy - e0));
  }
  return worst;
}

// A passive mechanism keeps its energy; with RK4 the drift falls as h^4, about
// 16 times when the step halves.
TEST(Aba, PassiveSimulationConservesEnergyToFourthOrder) {
  std::mt19937 rng(8);
  struct Case {
    const char* name;
    Model model;
  };
  const Case cases[] = {{"arm7", bundled("arm7")},
                        {"humanoid", bundled("humanoid")},
                        {"random_floating", samples::random_tree(rng, 8, true)}};
  for (const Case& c : cases) {
    const Model& m = c.model;
    const VectorX q = random_configuration(rng, m), v = random_vector(rng, m.nv, 0.5);
    const double coarse = energy_drift(m, q, v, 0.5, 4e-3);
    const double fine = energy_drift(m, q, v, 0.5, 2e-3);
    std::printf("%s: drift %.3e at h = 4 ms, %.3e at 2 ms, ratio %.1f\n", c.name, coarse, fine, coarse / fine);
    EXPECT_GT(coarse / fine, 12.0) << c.name;
    EXPECT_LT(coarse / fine, 20.0) << c.name;
  }
}

}  // namespace
}  // namespace trelvar

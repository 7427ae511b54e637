// Joint kernel, configuration space and forward kinematics.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <unsupported/Eigen/MatrixFunctions>

#include "test_util.hpp"
#include "trelvar/error.hpp"
#include "trelvar/kinematics.hpp"

namespace trelvar {
namespace {

using testing::error_of;

constexpr double kPi = 3.14159265358979323846;

VectorX vec(std::initializer_list<double> values) {
  VectorX x(static_cast<Eigen::Index>(values.size()));
  Eigen::Index i = 0;
  for (double v : values) x[i++] = v;
  return x;
}

Vec6 v6(double a, double b, double c, double d, double e, double f) {
  Vec6 x;
  x << a, b, c, d, e, f;
  return x;
}


// ---- joint kernel -------------------------------------------------------

TEST(JointKernel, RevoluteAboutScaledAxis) {
  const Joint j = Joint::create(JointType::Revolute, Vec3(0, 0, 5));
  const SE3 t = compute_joint_transform(j, vec({kPi / 2}), 0);
  EXPECT_TRUE((t.rotation * Vec3::UnitX()).isApprox(Vec3::UnitY(), 1e-15));
  EXPECT_EQ(t.translation, Vec3::Zero());
  const MotionSubspace s = compute_joint_motion_subspace(j);
  EXPECT_EQ(s.cols(), 1);
  EXPECT_EQ(Vec6(s.col(0)), v6(0, 0, 0, 0, 0, 1));
  EXPECT_EQ(compute_joint_velocity(j, vec({2.0}), 0), v6(0, 0, 2, 0, 0, 0));
}

TEST(JointKernel, PrismaticAlongScaledAxis) {
  const Joint j = Joint::create(JointType::Prismatic, Vec3(2, 0, 0));
  const SE3 t = compute_joint_transform(j, vec({0.3}), 0);
  EXPECT_EQ(t.rotation, Mat3::Identity());
  EXPECT_EQ(t.translation, Vec3(0.3, 0, 0));
  EXPECT_EQ(compute_joint_velocity(j, vec({1.0}), 0), v6(0, 0, 0, 1, 0, 0));
  EXPECT_EQ(Vec6(compute_joint_motion_subspace(j).col(0)), v6(1, 0, 0, 0, 0, 0));
}

TEST(JointKernel, ContinuousUsesAngleOfPair) {
  const Joint c = Joint::create(JointType::Continuous, Vec3::UnitZ());
  const Joint r = Joint::create(JointType::Revolute, Vec3::UnitZ());
  EXPECT_TRUE(compute_joint_transform(c, vec({0, 2}), 0)
                  .rotation.isApprox(compute_joint_transform(r, vec({kPi / 2}), 0).rotation));
  EXPECT_TRUE(compute_joint_transform(c, vec({-1, 0}), 0)
                  .rotation.isApprox(compute_joint_transform(r, vec({kPi}), 0).rotation));
  // A (0, 0) pair gives atan2 = 0 and so the identity, even with a zero axis.
  const Joint zero_axis = Joint::create(JointType::Continuous, Vec3::Zero());
  EXPECT_EQ(compute_joint_transform(zero_axis, vec({0, 0}), 0).rotation, Mat3::Identity());
  const Joint rz = Joint::create(JointType::Revolute, Vec3::Zero());
  EXPECT_EQ(compute_joint_transform(rz, vec({0}), 0).rotation, Mat3::Identity());
}

TEST(JointKernel, PlanarTakesPairAsStored) {
  const Joint j = Joint::create(JointType::Planar, Vec3(0, 1, 0));
  const SE3 t = compute_joint_transform(j, vec({1, 2, 0, 2}), 0);
  Mat3 expected;
  expected << 0, -2, 0, 2, 0, 0, 0, 0, 1;
  EXPECT_EQ(t.rotation, expected);
  EXPECT_EQ(t.translation, Vec3(1, 2, 0));
  EXPECT_EQ(compute_joint_velocity(j, vec({1, 2, 3}), 0), v6(0, 0, 3, 1, 2, 0));
  const MotionSubspace s = compute_joint_motion_subspace(j);
  EXPECT_EQ(Vec6(s.col(2)), v6(0, 0, 0, 0, 0, 1));
}

TEST(JointKernel, FloatingAndSpherical) {
  const Joint f = Joint::create(JointType::Floating);
  const SE3 t = compute_joint_transform(f, vec({1, 2, 3, 0, 0, 0, 2}), 0);
  EXPECT_TRUE(t.rotation.isApprox(Mat3::Identity(), 1e-15));
  EXPECT_EQ(t.translation, Vec3(1, 2, 3));
  EXPECT_EQ(compute_joint_velocity(f, vec({1, 2, 3, 4, 5, 6}), 0), v6(4, 5, 6, 1, 2, 3));
  EXPECT_TRUE(MatrixX(compute_joint_motion_subspace(f)).isIdentity(0));

  const Joint s = Joint::create(JointType::Spherical);
  const SE3 ts = compute_joint_transform(s, vec({0, 0, 1, 0}), 0);
  EXPECT_TRUE(ts.rotation.isApprox(Vec3(-1, -1, 1).asDiagonal().toDenseMatrix(), 1e-15));
  EXPECT_EQ(ts.translation, Vec3::Zero());
  EXPECT_EQ(compute_joint_velocity(s, vec({7, 8, 9}), 0), v6(7, 8, 9, 0, 0, 0));
}

TEST(JointKernel, FixedIgnoresInputs) {
  const Joint j = Joint::create(JointType::Fixed);
  const SE3 t = compute_joint_transform(j, vec({5, 6}), 1);
  EXPECT_EQ(t.rotation, Mat3::Identity());
  EXPECT_EQ(compute_joint_motion_subspace(j).cols(), 0);
  EXPECT_EQ(compute_joint_velocity(j, VectorX(), 0), Vec6::Zero());
}

TEST(JointKernel, VelocityIsSubspaceTimesSliceWithHalvesExchanged) {
  std::mt19937 rng(11);
  std::normal_distribution<double> n;
  for (JointType type : {JointType::Revolute, JointType::Continuous, JointType::Prismatic,
                         JointType::Planar, JointType::Floating, JointType::Spherical}) {
    const Joint j = Joint::create(type, Vec3(n(rng), n(rng), n(rng)));
    VectorX v(static_cast<Eigen::Index>(j.nv) + 2);
    for (Eigen::Index k = 0; k < v.size(); ++k) v[k] = n(rng);
    const Vec6 col = compute_joint_motion_subspace(j) * v.segment(2, static_cast<Eigen::Index>(j.nv));
    EXPECT_TRUE(compute_joint_velocity(j, v, 2).isApprox(swap_halves(col), 1e-14))
        << joint_type_name(type);
  }
}

TEST(JointKernel, ReadingPastTheEndIsAnError) {
  const Joint f = Joint::create(JointType::Floating);
  EXPECT_THROW(compute_joint_transform(f, VectorX::Zero(7), 1), Error);
  EXPECT_THROW(compute_joint_velocity(f, VectorX::Zero(5), 0), Error);
  EXPECT_THROW(compute_joint_transform(f, VectorX::Zero(7), std::size_t(-1)), Error);
}

// ---- configuration space ------------------------------------------------

Model every_kind_model() {
  Model m;
  std::size_t parent = 0;
  for (JointType type : {JointType::Revolute, JointType::Continuous, JointType::Prismatic,
                         JointType::Fixed, JointType::Planar, JointType::Floating,
                         JointType::Spherical}) {
    parent = m.add_joint(parent, Joint::create(type, Vec3(0.3, -0.4, 1.2)),
                         SE3(rotation_from_rpy(0.1, 0.2, 0.3), Vec3(0.1, 0.0, 0.2)),
                         joint_type_name(type));
  }
  return m;
}

TEST(Neutral, EveryKind) {
  const Model m = every_kind_model();
  EXPECT_EQ(neutral(m), vec({0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1}));
  EXPECT_EQ(neutral(Model()).size(), 0);
}

TEST(Integrate, ZeroVelocityKeepsNeutralExactly) {
  const Model m = every_kind_model();
  const VectorX q0 = neutral(m);
  EXPECT_EQ(integrate(m, q0, VectorX::Zero(static_cast<Eigen::Index>(m.nv))), q0);
  Model fixed_only;
  fixed_only.add_joint(0, Joint::create(JointType::Fixed), SE3::identity(), "f");
  EXPECT_EQ(integrate(fixed_only, VectorX(), VectorX()).size(), 0);
}

TEST(Integrate, SizeChecksComeFirstAndInOrder) {
  const Model m = every_kind_model();
  const VectorX q = neutral(m);
  EXPECT_EQ(error_of([&] { integrate(m, VectorX::Zero(20), VectorX::Zero(3)); }),
            "Configuration vector size mismatch: expected 19, got 20");
  EXPECT_EQ(error_of([&] { integrate(m, q, VectorX::Zero(3)); }),
            "Velocity vector size mismatch: expected 15, got 3");
}

struct SingleJointCase {
  JointType type;
  std::vector<double> q, v, expected;
  double tol;
};

class IntegrateSingleJoint : public ::testing::TestWithParam<SingleJointCase> {};

TEST_P(IntegrateSingleJoint, Worked) {
  const SingleJointCase& c = GetParam();
  Model m;
  m.add_joint(0, Joint::create(c.type, Vec3::UnitZ()), SE3::identity(), "j");
  const VectorX q = Eigen::Map<const VectorX>(c.q.data(), static_cast<Eigen::Index>(c.q.size()));
  const VectorX v = Eigen::Map<const VectorX>(c.v.data(), static_cast<Eigen::Index>(c.v.size()));
  const VectorX r = integrate(m, q, v);
  ASSERT_EQ(static_cast<std::size_t>(r.size()), c.expected.size());
  for (std::size_t k = 0; k < c.expected.size(); ++k) {
    EXPECT_NEAR(r[static_cast<Eigen::Index>(k)], c.expected[k], c.tol) << "entry " << k;
  }
}

const double s2 = std::sqrt(0.5);
INSTANTIATE_TEST_SUITE_P(
    Worked, IntegrateSingleJoint,
    ::testing::Values(
        SingleJointCase{JointType::Revolute, {0.5}, {0.25}, {0.75}, 0},
        SingleJointCase{JointType::Prismatic, {-1.0}, {2.0}, {1.0}, 0},
        SingleJointCase{JointType::Continuous, {1, 0}, {kPi / 2}, {0, 1}, 1e-15},
        SingleJointCase{JointType::Continuous, {2, 0}, {kPi / 2}, {0, 2}, 1e-15},
        SingleJointCase{JointType::Planar, {0, 0, 1, 0}, {1, 0, 0}, {1, 0, 1, 0}, 0},
        SingleJointCase{JointType::Planar, {0, 0, 1, 0}, {1, 0, kPi / 2},
                        {2 / kPi, 2 / kPi, 0, 1}, 1e-15},
        SingleJointCase{JointType::Planar, {0, 0, 0, 1}, {1, 0, 0}, {0, 1, 0, 1}, 0},
        SingleJointCase{JointType::Floating, {0, 0, 0, 0, 0, 0, 1}, {1, 0, 0, 0, 0, kPi},
                        {1, 0, 0, 0, 0, 1, 0}, 1e-15},
        // Non-unit stored quaternion: normalised before use.
        SingleJointCase{JointType::Spherical, {0, 0, 0, 3}, {0, 0, kPi / 2},
                        {0, 0, s2, s2}, 1e-15},
        // Rate just below the small-rotation bound: first-order increment.
        SingleJointCase{JointType::Spherical, {0, 0, 0, 1}, {0, 0, 0.99e-7},
                        {0, 0, 0.495e-7, 1}, 1e-14}),
    [](const ::testing::TestParamInfo<SingleJointCase>& p) {
      return std::string(joint_type_name(p.param.type)) + std::to_string(p.index);
    });

TEST(Integrate, QuaternionMatchesExponentialMap) {
  std::mt19937 rng(12);
  std::normal_distribution<double> n;
  Model m;
  m.add_joint(0, Joint::create(JointType::Spherical), SE3::identity(), "s");
  for (int k = 0; k < 20; ++k) {
    const Eigen::Vector4d q0 = Eigen::Vector4d(n(rng), n(rng), n(rng), n(rng)).normalized();
    const Vec3 w(n(rng), n(rng), n(rng));
    const VectorX r = integrate(m, q0, w);
    const Mat3 got = rotation_from_quaternion(r[0], r[1], r[2], r[3]);
    const Mat3 expected = rotation_from_quaternion(q0[0], q0[1], q0[2], q0[3]) *
                          rotation_from_axis_angle(w, w.norm());
    EXPECT_TRUE(got.isApprox(expected, 1e-12));
    EXPECT_NEAR(r.norm(), 1.0, 1e-12);
  }
}

// Planar integration is the SE(2) exponential: the pose (x, y, theta) times
// exp of the twist (vx, vy, w), here from the 3x3 matrix exponential, with
// every component non-zero (and w on both sides of pi).
TEST(Integrate, PlanarMatchesSe2Exponential) {
  Model m;
  m.add_joint(0, Joint::create(JointType::Planar), SE3::identity(), "p");
  const auto pose = [](double x, double y, double theta) {
    Eigen::Matrix3d g = Eigen::Matrix3d::Identity();
    g.topLeftCorner<2, 2>() << std::cos(theta), -std::sin(theta), std::sin(theta), std::cos(theta);
    g(0, 2) = x;
    g(1, 2) = y;
    return g;
  };
  struct Case {
    double x, y, theta, vx, vy, w;
  };
  for (const Case& c : {Case{0.3, -0.7, 0.9, 0.8, -1.3, 0.6}, Case{-1.1, 0.4, -2.2, -0.5, 0.9, -1.7},
                        Case{0.0, 0.0, 0.0, 1.2, 2.1, 4.0}, Case{2.0, 1.0, 3.0, -0.3, -0.4, -3.5}}) {
    Eigen::Matrix3d twist = Eigen::Matrix3d::Zero();
    twist(0, 1) = -c.w;
    twist(1, 0) = c.w;
    twist(0, 2) = c.vx;
    twist(1, 2) = c.vy;
    const Eigen::Matrix3d expected = pose(c.x, c.y, c.theta) * twist.exp();
    const VectorX r = integrate(m, vec({c.x, c.y, std::cos(c.theta), std::sin(c.theta)}),
                                vec({c.vx, c.vy, c.w}));
    const std::string label = "from (" + std::to_string(c.x) + ", " + std::to_string(c.y) + ", " +
                              std::to_string(c.theta) + ") by (" + std::to_string(c.vx) + ", " +
                              std::to_string(c.vy) + ", " + std::to_string(c.w) + ")";
    EXPECT_NEAR(r[0], expected(0, 2), 1e-13) << label;
    EXPECT_NEAR(r[1], expected(1, 2), 1e-13) << label;
    EXPECT_NEAR(r[2], expected(0, 0), 1e-13) << label;
    EXPECT_NEAR(r[3], expected(1, 0), 1e-13) << label;
  }
}

TEST(Integrate, PlanarNeedsFourCoordinates) {
  Model m;
  m.add_joint(0, Joint::create(JointType::Planar), SE3::identity(), "p");
  m.nqs[1] = 3;  // a hand-edited model
  EXPECT_EQ(error_of([&] { integrate(m, VectorX::Zero(4), VectorX::Zero(3)); }),
            "Planar joint requires nq>=4, got nq=3 at joint_id=1");
  m.nqs[1] = 4;
  m.nvs[1] = 2;
  EXPECT_EQ(error_of([&] { integrate(m, VectorX::Zero(4), VectorX::Zero(3)); }),
            "Planar joint requires nv>=3, got nv=2 at joint_id=1");
}

// ---- forward kinematics -------------------------------------------------

TEST(ForwardKinematics, UniverseOnly) {
  const Model m;
  Data d(m);
  d.omi[0].translation = Vec3(1, 1, 1);
  forward_kinematics(m, d, VectorX());
  EXPECT_EQ(d.omi[0].translation, Vec3::Zero());
}

TEST(ForwardKinematics, TwoRevoluteChain) {
  Model m;
  const SE3 offset(Mat3::Identity(), Vec3(1, 0, 0));
  m.add_joint(0, Joint::create(JointType::Revolute, Vec3::UnitZ()), offset, "j1");
  m.add_joint(1, Joint::create(JointType::Revolute, Vec3::UnitZ()), offset, "j2");
  Data d(m);
  forward_kinematics(m, d, vec({kPi / 2, 0}));
  EXPECT_EQ(d.omi[1].translation, Vec3(1, 0, 0));
  EXPECT_TRUE(d.omi[1].rotation.isApprox(rotation_from_axis_angle(Vec3::UnitZ(), kPi / 2)));
  EXPECT_TRUE(d.omi[2].translation.isApprox(Vec3(1, 1, 0), 1e-15));
  // A child of the universe gets its local placement exactly.
  EXPECT_EQ(d.omi[1].rotation, d.limi[1].rotation);
  EXPECT_EQ(d.omi[1].translation, d.limi[1].translation);
}

TEST(ForwardKinematics, WrongLengthLeavesDataUnchanged) {
  const Model m = every_kind_model();
  Data d(m);
  const VectorX q = neutral(m);
  forward_kinematics(m, d, q);
  const std::vector<SE3> before = d.omi;
  for (Eigen::Index len : {q.size() - 1, q.size() + 1}) {
    EXPECT_EQ(error_of([&] { forward_kinematics(m, d, VectorX::Zero(len)); }),
              "Configuration vector size mismatch: expected 19, got " + std::to_string(len));
  }
  for (std::size_t i = 0; i < m.njoints; ++i) EXPECT_EQ(d.omi[i].translation, before[i].translation);
}

TEST(ForwardKinematics, EqualsProductOfLocalPlacementsAlongSupport) {
  std::mt19937 rng(13);
  std::normal_distribution<double> n;
  // A branching tree with every kind.
  Model m;
  const JointType kinds[] = {JointType::Revolute, JointType::Continuous, JointType::Prismatic,
                             JointType::Fixed, JointType::Planar, JointType::Floating,
                             JointType::Spherical};
  for (int k = 0; k < 20; ++k) {
    std::uniform_int_distribution<std::size_t> pick(0, m.njoints - 1);
    m.add_joint(pick(rng), Joint::create(kinds[k % 7], Vec3(n(rng), n(rng), n(rng))),
                SE3(rotation_from_rpy(n(rng), n(rng), n(rng)), Vec3(n(rng), n(rng), n(rng))),
                "j" + std::to_string(k));
  }
  Data d(m);
  VectorX v(static_cast<Eigen::Index>(m.nv));
  for (Eigen::Index k = 0; k < v.size(); ++k) v[k] = n(rng);
  const VectorX q = integrate(m, neutral(m), v);
  forward_kinematics(m, d, q);
  for (std::size_t i = 1; i < m.njoints; ++i) {
    Mat4 expected = Mat4::Identity();
    for (std::size_t a : m.supports[i]) {
      if (a == 0) continue;
      const SE3 t = compute_joint_transform(m.joints[a], q, m.idx_qs[a]);
      expected = expected * m.placements[a].to_homogeneous() * t.to_homogeneous();
    }
    EXPECT_TRUE(d.omi[i].to_homogeneous().isApprox(expected, 1e-12)) << "joint " << i;
  }
}

TEST(ForwardKinematics, MismatchedDataIsRejectedBeforeWriting) {
  Model m = every_kind_model();
  Data d(m);
  m.add_joint(0, Joint::create(JointType::Revolute, Vec3::UnitX()), SE3::identity(), "extra");
  const VectorX q = neutral(m);
  EXPECT_THROW(forward_kinematics(m, d, q), Error);
  for (const SE3& x : d.omi) EXPECT_EQ(x.translation, Vec3::Zero());
}

}  // namespace
}  // namespace trelvar

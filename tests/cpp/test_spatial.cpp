// Placements, rotations, inertias and the motion/force operations.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "trelvar/spatial.hpp"

namespace trelvar {
namespace {

constexpr double kPi = 3.14159265358979323846;

Mat3 random_rotation(std::mt19937& rng) {
  std::normal_distribution<double> n;
  return rotation_from_quaternion(n(rng), n(rng), n(rng), n(rng));
}

SE3 random_se3(std::mt19937& rng) {
  std::normal_distribution<double> n;
  return SE3(random_rotation(rng), Vec3(n(rng), n(rng), n(rng)));
}

Vec6 random_vec6(std::mt19937& rng) {
  std::normal_distribution<double> n;
  Vec6 x;
  for (int i = 0; i < 6; ++i) x[i] = n(rng);
  return x;
}

Inertia random_inertia(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0.1, 2.0);
  const Vec3 p(u(rng), u(rng), u(rng));  // principal moments from three positive masses
  const Mat3 r = random_rotation(rng);
  const Mat3 principal = Vec3(p[1] + p[2], p[0] + p[2], p[0] + p[1]).asDiagonal();
  return Inertia::from_matrix(u(rng), Vec3(u(rng), -u(rng), u(rng)), r * principal * r.transpose());
}

// 6x6 action matrix of X on motion columns (linear first), used as an
// independent reference for the written-out operations.
Mat6 column_action_matrix(const SE3& x) {
  Mat6 m = Mat6::Zero();
  m.topLeftCorner<3, 3>() = x.rotation;
  m.topRightCorner<3, 3>() = skew(x.translation) * x.rotation;
  m.bottomRightCorner<3, 3>() = x.rotation;
  return m;
}

TEST(SE3, IdentityIsNeutralForComposeExactly) {
  std::mt19937 rng(1);
  const SE3 x = random_se3(rng);
  for (const SE3& y : {SE3::identity().compose(x), x.compose(SE3::identity())}) {
    EXPECT_EQ(y.rotation, x.rotation);
    EXPECT_EQ(y.translation, x.translation);
  }
}

TEST(SE3, ComposeWithInverseIsIdentity) {
  std::mt19937 rng(2);
  for (int k = 0; k < 50; ++k) {
    const SE3 x = random_se3(rng);
    for (const SE3& y : {x.compose(x.inverse()), x.inverse().compose(x)}) {
      EXPECT_TRUE(y.rotation.isApprox(Mat3::Identity(), 1e-14));
      EXPECT_LT(y.translation.norm(), 1e-14);
    }
  }
}

TEST(SE3, ComposeMatchesHomogeneousProduct) {
  std::mt19937 rng(3);
  const SE3 a = random_se3(rng), b = random_se3(rng);
  EXPECT_TRUE(a.compose(b).to_homogeneous().isApprox(a.to_homogeneous() * b.to_homogeneous(), 1e-14));
  EXPECT_FALSE(a.compose(b).to_homogeneous().isApprox(b.compose(a).to_homogeneous(), 1e-6));
}

TEST(SE3, ActOnPointIsTheTranslationOfTheComposition) {
  std::mt19937 rng(4);
  const SE3 x = random_se3(rng);
  const Vec3 p(0.3, -1.2, 2.0);
  // Composing with a pure translation moves its origin exactly as act moves the point.
  EXPECT_EQ(x.act(p), x.compose(SE3(Mat3::Identity(), p)).translation);
  EXPECT_EQ(x.act(Vec3::Zero()), x.translation);
  EXPECT_TRUE(x.inverse().act(x.act(p)).isApprox(p, 1e-14));
}

TEST(SE3, HomogeneousOfPureTranslation) {
  const SE3 x(Mat3::Identity(), Vec3(1, 2, 3));
  Mat4 expected;
  expected << 1, 0, 0, 1, 0, 1, 0, 2, 0, 0, 1, 3, 0, 0, 0, 1;
  EXPECT_EQ(x.to_homogeneous(), expected);
}

TEST(SE3, InverseOfNonOrthonormalRotationUsesTranspose) {
  const SE3 x(2.0 * Mat3::Identity(), Vec3(1, 0, 0));
  const SE3 inv = x.inverse();
  EXPECT_EQ(inv.rotation, 2.0 * Mat3::Identity());
  EXPECT_EQ(inv.translation, Vec3(-2, 0, 0));
}

TEST(Rotation, AxisLengthDoesNotMatter) {
  const Mat3 a = rotation_from_axis_angle(Vec3(0, 0, 2), kPi / 2);
  const Mat3 b = rotation_from_axis_angle(Vec3(0, 0, 1), kPi / 2);
  EXPECT_TRUE(a.isApprox(b, 1e-15));
  EXPECT_TRUE((a * Vec3::UnitX()).isApprox(Vec3::UnitY(), 1e-15));
}

TEST(Rotation, ZeroAngleIsIdentityEvenForZeroAxis) {
  EXPECT_EQ(rotation_from_axis_angle(Vec3::Zero(), 0.0), Mat3::Identity());
  EXPECT_FALSE(rotation_from_axis_angle(Vec3::Zero(), 0.1).allFinite());
}

TEST(Rotation, QuaternionIsNormalised) {
  EXPECT_TRUE(rotation_from_quaternion(0, 0, 0, 2).isApprox(Mat3::Identity(), 1e-15));
  const Mat3 flip = rotation_from_quaternion(1, 0, 0, 0);
  EXPECT_TRUE(flip.isApprox(Vec3(1, -1, -1).asDiagonal().toDenseMatrix(), 1e-15));
  EXPECT_FALSE(rotation_from_quaternion(0, 0, 0, 0).allFinite());
}

TEST(Rotation, RpyYawMapsXOntoY) {
  const Mat3 r = rotation_from_rpy(0, 0, kPi / 2);
  EXPECT_TRUE((r * Vec3::UnitX()).isApprox(Vec3::UnitY(), 1e-15));
}

TEST(Rotation, BuildersAgreeWithEachOther) {
  std::mt19937 rng(4);
  std::uniform_real_distribution<double> u(-kPi, kPi);
  for (int k = 0; k < 30; ++k) {
    const double r = u(rng), p = u(rng), y = u(rng);
    const Mat3 expected = rotation_from_axis_angle(Vec3::UnitZ(), y) *
                          rotation_from_axis_angle(Vec3::UnitY(), p) *
                          rotation_from_axis_angle(Vec3::UnitX(), r);
    EXPECT_TRUE(rotation_from_rpy(r, p, y).isApprox(expected, 1e-13));
    // Axis-angle and the quaternion of half angles describe the same rotation.
    Vec3 axis(u(rng), u(rng), u(rng));
    const double angle = u(rng);
    const Vec3 s = std::sin(angle / 2) * axis.normalized();
    EXPECT_TRUE(rotation_from_axis_angle(axis, angle)
                    .isApprox(rotation_from_quaternion(s[0], s[1], s[2], std::cos(angle / 2)),
                              1e-13));
  }
}

TEST(Inertia, PointMassMatrix) {
  const Inertia i = Inertia::from_matrix(2.0, Vec3(1, 0, 0), Mat3::Zero());
  const Mat6 y = i.to_matrix6();
  const Mat3 rot = y.bottomRightCorner<3, 3>();
  const Mat3 lin = y.topLeftCorner<3, 3>();
  EXPECT_TRUE(rot.isApprox(Vec3(0, 2, 2).asDiagonal().toDenseMatrix()));
  EXPECT_DOUBLE_EQ(y(1, 5), 2.0);
  EXPECT_DOUBLE_EQ(y(2, 4), -2.0);
  EXPECT_EQ(lin, 2.0 * Mat3::Identity());
  EXPECT_TRUE(y.isApprox(y.transpose()));
}

TEST(Inertia, AddTwoPointMasses) {
  Inertia a = Inertia::from_matrix(1.0, Vec3(1, 0, 0), Mat3::Zero());
  add_inertias_inplace(a, Inertia::from_matrix(1.0, Vec3(-1, 0, 0), Mat3::Zero()));
  EXPECT_DOUBLE_EQ(a.mass, 2.0);
  EXPECT_EQ(a.lever, Vec3::Zero());
  EXPECT_TRUE(a.rotational().isApprox(Vec3(0, 2, 2).asDiagonal().toDenseMatrix()));
}

TEST(Inertia, AddBelowMassThresholdLeavesTargetUntouched) {
  Inertia a;
  a.inertia = {1, 2, 3, 4, 5, 6};
  a.lever = Vec3(7, 8, 9);
  a.mass = 4e-11;
  const Inertia before = a;
  add_inertias_inplace(a, Inertia::from_matrix(5e-11, Vec3(1, 1, 1), Mat3::Identity()));
  EXPECT_EQ(a, before);
}

TEST(Inertia, AdditionMatchesSumOfMatrices) {
  std::mt19937 rng(5);
  for (int k = 0; k < 20; ++k) {
    Inertia a = random_inertia(rng);
    const Inertia b = random_inertia(rng);
    const Mat6 expected = a.to_matrix6() + b.to_matrix6();
    add_inertias_inplace(a, b);
    EXPECT_TRUE(a.to_matrix6().isApprox(expected, 1e-12));
  }
}

TEST(Inertia, ActOnInertiaMatchesMatrixTransform) {
  std::mt19937 rng(6);
  for (int k = 0; k < 20; ++k) {
    const SE3 x = random_se3(rng);
    const Inertia i = random_inertia(rng);
    // Y_parent = X^-T Y_child X^-1 with X the column action of x.
    const Mat6 xinv = column_action_matrix(x.inverse());
    const Mat6 expected = xinv.transpose() * i.to_matrix6() * xinv;
    EXPECT_TRUE(se3_act_on_inertia(x, i).to_matrix6().isApprox(expected, 1e-12));
  }
  // A pure translation keeps the rotational inertia and moves the lever.
  const Inertia i = Inertia::from_matrix(3.0, Vec3(1, 2, 3), Mat3::Identity());
  const Inertia moved = se3_act_on_inertia(SE3(Mat3::Identity(), Vec3(1, 0, 0)), i);
  EXPECT_EQ(moved.rotational(), Mat3::Identity());
  EXPECT_EQ(moved.lever, Vec3(2, 2, 3));
  EXPECT_EQ(moved.mass, 3.0);
}

TEST(Inertia, ApplyEqualsMatrixWithHalvesExchanged) {
  const Inertia p = Inertia::from_matrix(1.0, Vec3(0, 1, 0), Mat3::Zero());
  const Vec6 f = p.apply(make_vec6(Vec3(0, 0, 1), Vec3::Zero()));
  EXPECT_TRUE(f.isApprox(make_vec6(Vec3(0, 0, 1), Vec3(-1, 0, 0))));
  std::mt19937 rng(7);
  for (int k = 0; k < 20; ++k) {
    const Inertia i = random_inertia(rng);
    const Vec6 m = random_vec6(rng);
    EXPECT_TRUE(swap_halves(i.apply(m)).isApprox(i.to_matrix6() * swap_halves(m), 1e-12));
  }
}

TEST(Motion, WorkedActions) {
  const SE3 x(Mat3::Identity(), Vec3(1, 0, 0));
  EXPECT_EQ(act_inv_motion(x, make_vec6(Vec3(0, 0, 1), Vec3::Zero())),
            make_vec6(Vec3(0, 0, 1), Vec3(0, 1, 0)));
  EXPECT_EQ(act_force(x, make_vec6(Vec3::Zero(), Vec3(0, 1, 0))),
            make_vec6(Vec3(0, 0, 1), Vec3(0, 1, 0)));
  Vec6 s = Vec6::Zero();
  s[5] = 1.0;
  Vec6 force;
  force << 1, 2, 3, 4, 5, 6;
  EXPECT_EQ(pair_column_force(s, force), 3.0);
}

TEST(Motion, ActionsAreInversesAndMatchMatrices) {
  std::mt19937 rng(8);
  for (int k = 0; k < 50; ++k) {
    const SE3 x = random_se3(rng);
    const Vec6 m = random_vec6(rng);
    EXPECT_TRUE(act_inv_motion(x, act_motion(x, m)).isApprox(m, 1e-12));
    EXPECT_TRUE(act_inv_force(x, act_force(x, m)).isApprox(m, 1e-12));
    EXPECT_TRUE(act_inv_column(x, act_column(x, m)).isApprox(m, 1e-12));
    const Mat6 ax = column_action_matrix(x);
    EXPECT_TRUE(act_column(x, m).isApprox(ax * m, 1e-12));
    EXPECT_TRUE(swap_halves(act_motion(x, m)).isApprox(ax * swap_halves(m), 1e-12));
    // Forces transform with the inverse transpose: the pairing is invariant.
    const Vec6 f = random_vec6(rng);
    EXPECT_NEAR(swap_halves(act_motion(x, m)).dot(swap_halves(act_force(x, f))),
                swap_halves(m).dot(swap_halves(f)), 1e-10);
  }
}

TEST(Motion, CrossProductsAreDual) {
  std::mt19937 rng(9);
  for (int k = 0; k < 50; ++k) {
    const Vec6 m1 = random_vec6(rng), m2 = random_vec6(rng), f = random_vec6(rng);
    // <m1 x m2, f> = -<m2, m1 x* f>, with <m, f> = w.n + v.f.
    auto pair = [](const Vec6& m, const Vec6& force) { return m.dot(force); };
    EXPECT_NEAR(pair(cross_motion(m1, m2), f), -pair(m2, cross_force(m1, f)), 1e-10);
    EXPECT_TRUE(cross_motion(m1, m1).isZero(1e-12));
    EXPECT_TRUE(swap_halves(cross_motion(m1, m2))
                    .isApprox(cross_motion_column(m1, swap_halves(m2)), 1e-12));
  }
}

}  // namespace
}  // namespace trelvar

// Joints about a coordinate axis take shorter paths through the algorithms
// (fewer products, skipping exact zeros). Their results must be the values of
// the general path. A copy of the model whose axes carry a 1e-300 component
// takes the general path while describing the same mechanism to far below
// rounding, so every output must agree with the original to ~1e-300.
#include <gtest/gtest.h>

#include <random>

#include "sample_models.hpp"
#include "trelvar/data.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/jacobians.hpp"
#include "trelvar/kinematics.hpp"

namespace trelvar {
namespace {

// Differences this small can only come from the 1e-300 axis components: any
// rounding difference on the O(1) values here would be above 1e-20.
constexpr double kSame = 1e-200;

double max_diff(const MatrixX& a, const MatrixX& b) {
  EXPECT_EQ(a.rows(), b.rows());
  EXPECT_EQ(a.cols(), b.cols());
  return (a - b).cwiseAbs().maxCoeff();
}

double max_diff(const SE3& a, const SE3& b) {
  return std::max((a.rotation - b.rotation).cwiseAbs().maxCoeff(),
                  (a.translation - b.translation).cwiseAbs().maxCoeff());
}

struct Pair {
  Model aligned;
  Model general;
};

// A random tree whose Revolute, Continuous and Prismatic joints turn about or
// slide along +-e_k (scaled); placements are unrotated or randomly rotated.
Pair axis_tree(std::mt19937& rng, bool floating_base, bool rotated_placements) {
  static const JointType kinds[] = {JointType::Revolute, JointType::Continuous,
                                    JointType::Revolute, JointType::Prismatic, JointType::Fixed};
  std::uniform_int_distribution<int> axis(0, 2), sign(0, 1), coin(0, 2);
  std::uniform_real_distribution<double> scale(0.5, 3.0);
  Pair out;
  for (std::size_t k = 0; k < 24; ++k) {
    std::uniform_int_distribution<std::size_t> pick(k == 0 ? 0 : 1, out.aligned.njoints - 1);
    const std::size_t parent = k == 0 ? 0 : pick(rng);
    JointType type = kinds[k % 5];
    if (k == 0 && floating_base) type = JointType::Floating;
    const int a = axis(rng);
    Vec3 u = Vec3::Zero();
    u[a] = (sign(rng) != 0 ? -1.0 : 1.0) * scale(rng);
    Vec3 tilted = u;
    tilted[(a + 1) % 3] = 1e-300;
    SE3 placement = samples::random_placement(rng);
    if (!rotated_placements || coin(rng) == 0) placement.rotation = Mat3::Identity();
    const Inertia inertia = samples::random_inertia(rng);
    const std::string name = "j" + std::to_string(k + 1);
    samples::add_body(out.aligned, parent, Joint::create(type, u), placement, inertia, name);
    samples::add_body(out.general, parent, Joint::create(type, tilted), placement, inertia, name);
  }
  return out;
}

class AxisPaths : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(AxisPaths, EveryAlgorithmMatchesTheGeneralPath) {
  const auto [floating_base, rotated] = GetParam();
  std::mt19937 rng(floating_base ? 11 : 5);
  const Pair models = axis_tree(rng, floating_base, rotated);
  const Model& ma = models.aligned;
  const Model& mg = models.general;
  ASSERT_EQ(ma.nv, mg.nv);
  Data da(ma), dg(mg);
  for (int trial = 0; trial < 5; ++trial) {
    const VectorX q = samples::random_configuration(rng, ma);
    const VectorX v = samples::random_vector(rng, ma.nv);
    const VectorX acc = samples::random_vector(rng, ma.nv);

    forward_kinematics(ma, da, q);
    forward_kinematics(mg, dg, q);
    for (std::size_t i = 0; i < ma.njoints; ++i) {
      EXPECT_LE(max_diff(da.limi[i], dg.limi[i]), kSame) << "limi " << i;
      EXPECT_LE(max_diff(da.omi[i], dg.omi[i]), kSame) << "omi " << i;
    }
    EXPECT_LE(max_diff(rnea(ma, da, q, v, acc), rnea(mg, dg, q, v, acc)), kSame);
    EXPECT_LE(max_diff(non_linear_effects(ma, da, q, v), non_linear_effects(mg, dg, q, v)), kSame);
    EXPECT_LE(max_diff(compute_gravity(ma, da, q), compute_gravity(mg, dg, q)), kSame);
    EXPECT_LE(max_diff(crba(ma, da, q), crba(mg, dg, q)), kSame);
    compute_joint_jacobians(ma, da, q);
    compute_joint_jacobians(mg, dg, q);
    EXPECT_LE(max_diff(da.j, dg.j), kSame);
    compute_joint_jacobians_time_variation(ma, da, q, v);
    compute_joint_jacobians_time_variation(mg, dg, q, v);
    EXPECT_LE(max_diff(da.dJ, dg.dJ), kSame);
    compute_all_terms(ma, da, q, v);
    compute_all_terms(mg, dg, q, v);
    EXPECT_LE(max_diff(da.M, dg.M), kSame);
    EXPECT_LE(max_diff(da.nle, dg.nle), kSame);
    EXPECT_LE(max_diff(da.ag, dg.ag), kSame);
    EXPECT_LE(max_diff(da.dag, dg.dag), kSame);
    EXPECT_LE(std::abs(da.kinetic_energy - dg.kinetic_energy), kSame);
    EXPECT_LE(max_diff(compute_coriolis_matrix(ma, da, q, v), compute_coriolis_matrix(mg, dg, q, v)),
              kSame);
    for (std::size_t i = 1; i < ma.njoints; ++i) {
      EXPECT_LE(max_diff(compute_joint_jacobian(ma, da, q, i), compute_joint_jacobian(mg, dg, q, i)),
                kSame);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Trees, AxisPaths,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

}  // namespace
}  // namespace trelvar

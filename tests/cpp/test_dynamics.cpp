// Inverse dynamics, mass matrix, Coriolis matrix and the combined pass.
#include <gtest/gtest.h>

#include <Eigen/Cholesky>
#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "sample_models.hpp"
#include "trelvar/dynamics.hpp"
#include "test_util.hpp"
#include "trelvar/error.hpp"
#include "trelvar/jacobians.hpp"

namespace trelvar {
namespace {

using testing::error_of;
using testing::rel_err;

using samples::random_configuration;
using samples::random_vector;



Model single_revolute(const Vec3& axis, double mass, const Vec3& lever, double izz = 0.0) {
  Model m;
  const std::size_t id =
      m.add_joint(0, Joint::create(JointType::Revolute, axis), SE3::identity(), "j");
  m.inertias[id] = Inertia::from_matrix(mass, lever, Vec3(0, 0, izz).asDiagonal());
  return m;
}

// ---- worked values ------------------------------------------------------

TEST(Rnea, UniverseOnly) {
  const Model m;
  Data d(m);
  EXPECT_EQ(rnea(m, d, VectorX(), VectorX(), VectorX()).size(), 0);
  EXPECT_EQ(d.v[0], Vec6::Zero());
  EXPECT_EQ(d.a[0], -m.gravity);
  EXPECT_EQ(non_linear_effects(m, d, VectorX(), VectorX()).size(), 0);
  EXPECT_EQ(compute_gravity(m, d, VectorX()).size(), 0);
}

TEST(Rnea, BodyHeldAgainstGravity) {
  const double mass = 2.5, l = 0.4;
  const Model m = single_revolute(Vec3::UnitY(), mass, Vec3(l, 0, 0));
  Data d(m);
  const VectorX z = VectorX::Zero(1);
  EXPECT_NEAR(rnea(m, d, z, z, z)[0], -9.81 * mass * l, 1e-14);
  EXPECT_NEAR(compute_gravity(m, d, z)[0], -9.81 * mass * l, 1e-14);
  EXPECT_EQ(d.g, d.tau);
  Model no_gravity = m;
  no_gravity.gravity.setZero();
  EXPECT_EQ(rnea(no_gravity, d, z, z, z)[0], 0.0);
}

TEST(Rnea, FixedJointBetweenMovingJointsPassesItsBodyForce) {
  // Revolute about y at the origin, then a fixed joint 1 m along x carrying a
  // point mass, then a revolute joint: the first joint holds the fixed body.
  Model m;
  m.add_joint(0, Joint::create(JointType::Revolute, Vec3::UnitY()), SE3::identity(), "a");
  const std::size_t f = m.add_joint(1, Joint::create(JointType::Fixed),
                                    SE3(Mat3::Identity(), Vec3(1, 0, 0)), "fixed");
  m.inertias[f] = Inertia::from_matrix(3.0, Vec3::Zero(), Mat3::Zero());
  m.add_joint(f, Joint::create(JointType::Revolute, Vec3::UnitY()), SE3::identity(), "b");
  Data d(m);
  const VectorX z = VectorX::Zero(2);
  const VectorX tau = rnea(m, d, z, z, z);
  EXPECT_NEAR(tau[0], -9.81 * 3.0, 1e-13);
  EXPECT_EQ(tau[1], 0.0);
}

TEST(Crba, SingleRevoluteAndUniverse) {
  const double mass = 1.7, l = 0.3, izz = 0.05;
  const Model m = single_revolute(Vec3::UnitZ(), mass, Vec3(l, 0, 0), izz);
  Data d(m);
  EXPECT_NEAR(crba(m, d, VectorX::Constant(1, 0.7))(0, 0), izz + mass * l * l, 1e-15);
  const Model u;
  Data du(u);
  EXPECT_EQ(crba(u, du, VectorX()).rows(), 0);
}

TEST(Crba, TwoBranchesDoNotCouple) {
  Model m;
  for (std::size_t parent : {0, 1, 0, 3}) {
    const std::size_t id =
        m.add_joint(parent, Joint::create(JointType::Revolute, Vec3(1, 2, 3)),
                    SE3(rotation_from_rpy(0.1, 0.2, 0.3), Vec3(0.1, 0.2, 0.3)), "j");
    m.inertias[id] = samples::box_inertia(1.0, Vec3(0.1, 0.2, 0.3), Vec3(0.1, 0, 0));
  }
  Data d(m);
  std::mt19937 rng(1);
  const MatrixX& mm = crba(m, d, random_configuration(rng, m));
  for (int r : {0, 1}) {
    for (int c : {2, 3}) EXPECT_EQ(mm(r, c), 0.0);
  }
  EXPECT_NE(mm(0, 1), 0.0);
  EXPECT_NE(mm(2, 3), 0.0);
  EXPECT_TRUE(mm.triangularView<Eigen::StrictlyLower>().toDenseMatrix().isZero(0));
  EXPECT_TRUE(d.oycrb[0] == Inertia::zero());
}

// A joint with several velocity coordinates owns a diagonal block of M: the
// matrix the call returns (and the combined pass leaves) is the upper
// triangle, zero below the diagonal inside that block too.
class CrbaMultiCoordinate : public ::testing::TestWithParam<JointType> {};

TEST_P(CrbaMultiCoordinate, StrictLowerTriangleIsZeroInsideTheBlock) {
  Model m;
  std::mt19937 rng(21);
  // The kind as the root, under a revolute joint, and with a child of its own.
  const std::size_t root = samples::add_body(m, 0, Joint::create(GetParam(), Vec3(0.3, -0.5, 0.8)),
                                             samples::random_placement(rng),
                                             samples::random_inertia(rng), "root");
  const std::size_t rev = samples::add_body(m, root, Joint::create(JointType::Revolute, Vec3(1, 2, 3)),
                                            samples::random_placement(rng),
                                            samples::random_inertia(rng), "rev");
  const std::size_t mid = samples::add_body(m, rev, Joint::create(GetParam(), Vec3(-0.2, 0.1, 0.9)),
                                            samples::random_placement(rng),
                                            samples::random_inertia(rng), "mid");
  samples::add_body(m, mid, Joint::create(JointType::Prismatic, Vec3(0, 1, 1)),
                    samples::random_placement(rng), samples::random_inertia(rng), "tip");
  ASSERT_GT(m.nvs[root], 1u);
  const VectorX q = random_configuration(rng, m);
  const MatrixX full = [&] {
    Data d(m);
    const MatrixX& returned = crba(m, d, q);
    EXPECT_EQ(&returned, &d.M);
    const MatrixX lower = returned.triangularView<Eigen::StrictlyLower>();
    EXPECT_TRUE(lower.isZero(0)) << "crba wrote below the diagonal:\n" << lower;
    return d.get_mass_matrix();
  }();
  // The diagonal blocks have entries off the diagonal: a zero strict lower
  // triangle is not an accident.
  for (std::size_t i : {root, mid}) {
    const auto b = static_cast<Eigen::Index>(m.idx_vs[i]), n = static_cast<Eigen::Index>(m.nvs[i]);
    const MatrixX block = full.block(b, b, n, n);
    EXPECT_FALSE(MatrixX(block.triangularView<Eigen::StrictlyLower>()).isZero(0)) << block;
  }
  Data all(m);
  compute_all_terms(m, all, q, random_vector(rng, m.nv));
  const MatrixX lower = all.M.triangularView<Eigen::StrictlyLower>();
  EXPECT_TRUE(lower.isZero(0)) << "compute_all_terms wrote below the diagonal:\n" << lower;
  EXPECT_LT(rel_err(all.get_mass_matrix(), full), 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrbaMultiCoordinate,
                         ::testing::Values(JointType::Planar, JointType::Spherical,
                                           JointType::Floating),
                         [](const ::testing::TestParamInfo<JointType>& p) {
                           return std::string(joint_type_name(p.param));
                         });

TEST(Crba, FixedBodyEntersParentComposite) {
  Model with_fixed;
  with_fixed.add_joint(0, Joint::create(JointType::Revolute, Vec3::UnitZ()), SE3::identity(), "a");
  const std::size_t f = with_fixed.add_joint(1, Joint::create(JointType::Fixed),
                                             SE3(Mat3::Identity(), Vec3(0.5, 0, 0)), "f");
  with_fixed.inertias[f] = Inertia::from_matrix(2.0, Vec3::Zero(), Mat3::Zero());
  Data d(with_fixed);
  EXPECT_NEAR(crba(with_fixed, d, VectorX::Zero(1))(0, 0), 2.0 * 0.25, 1e-15);
}

TEST(InertiaVariation, PointMassTranslating) {
  const Inertia point = Inertia::from_matrix(2.0, Vec3::Zero(), Mat3::Zero());
  const Mat6 d = compute_inertia_variation(point, make_vec6(Vec3::Zero(), Vec3(1, 2, 3)));
  Mat3 top_right;
  top_right << 0, 6, -4, -6, 0, 2, 4, -2, 0;
  EXPECT_TRUE(Mat3(d.topRightCorner<3, 3>()).isApprox(top_right));
  EXPECT_TRUE(Mat3(d.bottomLeftCorner<3, 3>()).isApprox(-top_right));
  EXPECT_TRUE(Mat3(d.bottomRightCorner<3, 3>()).isZero(0));
  EXPECT_TRUE(Mat3(d.topLeftCorner<3, 3>()).isZero(0));
}

TEST(InertiaVariation, SymmetricWithZeroTopLeftAndMatchesFiniteDifference) {
  std::mt19937 rng(2);
  for (int k = 0; k < 20; ++k) {
    const Inertia inertia = samples::random_inertia(rng);
    const Vec6 w = random_vector(rng, 6);
    const Mat6 d = compute_inertia_variation(inertia, w);
    EXPECT_TRUE(d.isApprox(d.transpose(), 1e-12));
    EXPECT_TRUE(Mat3(d.topLeftCorner<3, 3>()).isZero(1e-12));
    EXPECT_TRUE(compute_inertia_variation(inertia, Vec6::Zero()).isZero(0));
    // Moving the inertia with the screw motion exp(t w) changes its matrix at rate d.
    const double eps = 1e-6;
    auto moved = [&](double t) {
      const Vec6 tw = t * w;
      const Mat3 r = rotation_from_axis_angle(angular(tw), angular(tw).norm());
      return se3_act_on_inertia(SE3(r, linear(tw)), inertia).to_matrix6();
    };
    EXPECT_LT(rel_err((moved(eps) - moved(-eps)) / (2 * eps), d), 1e-6);
  }
}

TEST(Coriolis, ZeroVelocityAndSingleJoint) {
  std::mt19937 rng(3);
  const Model m = samples::random_tree(rng, 12);
  Data d(m);
  EXPECT_TRUE(compute_coriolis_matrix(m, d, random_configuration(rng, m),
                                      VectorX::Zero(static_cast<Eigen::Index>(m.nv)))
                  .isZero(0));
  const Model one = single_revolute(Vec3(1, 1, 0), 2.0, Vec3(0.1, 0.2, 0.3), 0.3);
  Data d1(one);
  EXPECT_NEAR(compute_coriolis_matrix(one, d1, VectorX::Constant(1, 0.4), VectorX::Constant(1, 3.0))(0, 0),
              0.0, 1e-14);
}

// ---- identities on random models ---------------------------------------

struct ModelCase {
  const char* name;
  std::function<Model()> make;
};

class Identities : public ::testing::TestWithParam<ModelCase> {};

TEST_P(Identities, HoldOnRandomStates) {
  const Model m = GetParam().make();
  Data d(m);
  std::mt19937 rng(42);
  const auto nv = static_cast<Eigen::Index>(m.nv);
  for (int trial = 0; trial < 5; ++trial) {
    const VectorX q = random_configuration(rng, m);
    const VectorX v = random_vector(rng, m.nv);
    const VectorX a = random_vector(rng, m.nv);

    crba(m, d, q);
    const MatrixX M = d.get_mass_matrix();
    EXPECT_TRUE(M.isApprox(M.transpose(), 0));
    Eigen::LLT<MatrixX> llt(M);
    EXPECT_EQ(llt.info(), Eigen::Success) << "M not positive definite";

    const VectorX nle = non_linear_effects(m, d, q, v);
    const VectorX g = compute_gravity(m, d, q);
    const VectorX tau = rnea(m, d, q, v, a);
    EXPECT_LT(rel_err(tau, M * a + nle), 1e-9);
    EXPECT_LT(rel_err(non_linear_effects(m, d, q, VectorX::Zero(nv)), g), 1e-12);

    const MatrixX C = compute_coriolis_matrix(m, d, q, v);
    EXPECT_LT(rel_err(C * v, nle - g), 1e-9);

    // Mdot - 2C is skew-symmetric; Mdot by central differences along v.
    const double eps = 1e-6;
    crba(m, d, integrate(m, q, eps * v));
    const MatrixX mp = d.get_mass_matrix();
    crba(m, d, integrate(m, q, -eps * v));
    const MatrixX mm = d.get_mass_matrix();
    const MatrixX n = (mp - mm) / (2 * eps) - 2 * C;
    EXPECT_LT((n + n.transpose()).norm() / std::max(1.0, C.norm()), 1e-6);

    // The combined pass agrees with the separate algorithms.
    Data all(m);
    compute_all_terms(m, all, q, v);
    EXPECT_LT(rel_err(all.get_mass_matrix(), M), 1e-9);
    EXPECT_LT(rel_err(all.nle, nle), 1e-9);
    EXPECT_LT(rel_err(all.g, g), 1e-9);  // no angular gravity here
    EXPECT_NEAR(all.kinetic_energy, 0.5 * v.dot(M * v), 1e-9 * std::max(1.0, all.kinetic_energy));
    EXPECT_NEAR(all.mechanical_energy, all.kinetic_energy + all.potential_energy, 1e-12);
    // Centroidal momentum = ag v (ag columns linear first, hg angular first).
    EXPECT_LT(rel_err(swap_halves(all.hg), all.ag * v), 1e-9);
    // The centre-of-mass Jacobian gives the centre-of-mass velocity.
    EXPECT_LT(rel_err(all.jcom * v, all.vcom[0]), 1e-9);
  }
}

TEST_P(Identities, NonConsecutiveNumberingGivesTheSameMatrices) {
  const Model m = GetParam().make();
  std::vector<std::size_t> order;
  const Model dfs = samples::renumber_depth_first(m, &order);
  for (std::size_t i = 1; i < dfs.njoints; ++i) ASSERT_TRUE(dfs.subtree_is_consecutive(i));
  // Coordinate permutation old -> new.
  std::vector<Eigen::Index> perm(m.nv);
  for (std::size_t i = 1; i < m.njoints; ++i) {
    for (std::size_t k = 0; k < m.nvs[i]; ++k) {
      perm[m.idx_vs[i] + k] = static_cast<Eigen::Index>(dfs.idx_vs[order[i]] + k);
    }
  }
  std::mt19937 rng(7);
  const VectorX v = random_vector(rng, m.nv);
  VectorX q_new(static_cast<Eigen::Index>(m.nq));
  const VectorX q = random_configuration(rng, m);
  VectorX v_new(v.size());
  for (std::size_t i = 1; i < m.njoints; ++i) {
    q_new.segment(static_cast<Eigen::Index>(dfs.idx_qs[order[i]]), static_cast<Eigen::Index>(m.nqs[i])) =
        q.segment(static_cast<Eigen::Index>(m.idx_qs[i]), static_cast<Eigen::Index>(m.nqs[i]));
  }
  for (Eigen::Index c = 0; c < v.size(); ++c) v_new[perm[static_cast<std::size_t>(c)]] = v[c];

  Data d(m), e(dfs), all(m), all_dfs(dfs);
  crba(m, d, q);
  crba(dfs, e, q_new);
  compute_coriolis_matrix(m, d, q, v);
  compute_coriolis_matrix(dfs, e, q_new, v_new);
  compute_all_terms(m, all, q, v);
  compute_all_terms(dfs, all_dfs, q_new, v_new);
  const MatrixX M = d.get_mass_matrix(), Mn = e.get_mass_matrix(), Ma = all.get_mass_matrix();
  const MatrixX Man = all_dfs.get_mass_matrix();
  for (Eigen::Index r = 0; r < v.size(); ++r) {
    for (Eigen::Index c = 0; c < v.size(); ++c) {
      const auto pr = perm[static_cast<std::size_t>(r)], pc = perm[static_cast<std::size_t>(c)];
      EXPECT_NEAR(M(r, c), Mn(pr, pc), 1e-9) << r << "," << c;
      EXPECT_NEAR(Ma(r, c), Man(pr, pc), 1e-9) << r << "," << c;
      EXPECT_NEAR(d.C(r, c), e.C(pr, pc), 1e-9) << r << "," << c;
    }
  }
}

// Every algorithm writes its whole result: a Data whose buffers hold NaN from
// earlier use gives exactly the results of a fresh one.
TEST_P(Identities, ResultsDoNotDependOnEarlierBufferContents) {
  const Model m = GetParam().make();
  std::mt19937 rng(11);
  const VectorX q = random_configuration(rng, m);
  const VectorX v = random_vector(rng, m.nv);
  const VectorX a = random_vector(rng, m.nv);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto poison = [&](Data& d) {
    for (VectorX* x : {&d.tau, &d.nle, &d.g}) x->setConstant(nan);
    for (MatrixX* x : {&d.M, &d.C}) x->setConstant(nan);
    for (Matrix6X* x : {&d.j, &d.dJ, &d.ag, &d.dag}) x->setConstant(nan);
  };
  const auto same = [](const auto& x, const auto& y) {
    return x.size() == y.size() && (x.array() == y.array()).all();
  };
  Data used(m);
  const auto run = [&](const char* what, auto&& op, auto&& result) {
    Data clean(m);
    poison(used);
    op(clean);
    op(used);
    EXPECT_TRUE(same(result(clean), result(used))) << what;
  };
  run("rnea", [&](Data& d) { rnea(m, d, q, v, a); }, [](Data& d) { return d.tau; });
  run("nle", [&](Data& d) { non_linear_effects(m, d, q, v); }, [](Data& d) { return d.nle; });
  run("gravity", [&](Data& d) { compute_gravity(m, d, q); }, [](Data& d) { return d.g; });
  run("crba", [&](Data& d) { crba(m, d, q); }, [](Data& d) { return MatrixX(d.M); });
  run("jacobians", [&](Data& d) { compute_joint_jacobians(m, d, q); },
      [](Data& d) { return MatrixX(d.j); });
  run("time variation", [&](Data& d) { compute_joint_jacobians_time_variation(m, d, q, v); },
      [](Data& d) { return MatrixX(d.dJ); });
  run("coriolis", [&](Data& d) { compute_coriolis_matrix(m, d, q, v); },
      [](Data& d) { return MatrixX(d.C); });
  // The combined pass updates M in place (entries outside the subtree blocks
  // keep what they held), so only its other outputs are compared here.
  run("all terms", [&](Data& d) { compute_all_terms(m, d, q, v); }, [](Data& d) {
    VectorX out(4 * d.j.size() + d.nle.size());
    out << d.j.reshaped(), d.dJ.reshaped(), d.ag.reshaped(), d.dag.reshaped(), d.nle;
    return out;
  });
}

INSTANTIATE_TEST_SUITE_P(
    Models, Identities,
    ::testing::Values(ModelCase{"arm7", samples::arm7}, ModelCase{"tree32", samples::tree32},
                      ModelCase{"chain20", [] { return samples::chain(20); }},
                      ModelCase{"random_floating",
                                [] {
                                  std::mt19937 rng(5);
                                  return samples::random_tree(rng, 16, true);
                                }},
                      ModelCase{"random_fixed_base",
                                [] {
                                  std::mt19937 rng(6);
                                  return samples::random_tree(rng, 24, false);
                                }}),
    [](const ::testing::TestParamInfo<ModelCase>& p) { return std::string(p.param.name); });

TEST(AllTerms, GravityWithAngularPartDiffersFromRnea) {
  std::mt19937 rng(8);
  Model m = samples::arm7();
  m.gravity.head<3>() = Vec3(0.1, -0.2, 0.3);
  Data d(m), all(m);
  const VectorX q = random_configuration(rng, m);
  compute_all_terms(m, all, q, random_vector(rng, m.nv));
  const VectorX g = compute_gravity(m, d, q);
  EXPECT_GT((all.g - g).norm(), 1e-6);
}

TEST(AllTerms, CentroidalQuantities) {
  std::mt19937 rng(9);
  const Model m = samples::random_tree(rng, 14, true);
  Data d(m);
  const VectorX q = random_configuration(rng, m);
  compute_all_terms(m, d, q, VectorX::Zero(static_cast<Eigen::Index>(m.nv)));
  double total = 0.0;
  Vec3 weighted = Vec3::Zero();
  for (std::size_t i = 0; i < m.njoints; ++i) {
    if (i == 0) continue;
    const Inertia& body = m.inertias[i];
    total += body.mass;
    weighted += body.mass * (d.omi[i].rotation * body.lever + d.omi[i].translation);
  }
  EXPECT_NEAR(d.mass[0], total, 1e-12);
  EXPECT_LT((d.com[0] - weighted / total).norm(), 1e-12);
  EXPECT_LT(rel_err(d.ag.topRows<3>(), total * d.jcom), 1e-12);
  EXPECT_TRUE(d.hg.isZero(0));
  EXPECT_TRUE(d.dJ.isZero(0));
  EXPECT_TRUE(d.dag.isZero(0));
  EXPECT_EQ(d.kinetic_energy, 0.0);
  EXPECT_NEAR(d.ig.mass, total, 1e-12);  // summed in another order
  EXPECT_EQ(d.ig.lever, Vec3::Zero());
  // Potential energy is minus the work of gravity on the centre of mass.
  EXPECT_NEAR(d.potential_energy, -total * m.gravity_linear().dot(d.com[0]), 1e-9);

  const Model u;
  Data du(u);
  compute_all_terms(u, du, VectorX(), VectorX());
  EXPECT_EQ(du.mass[0], 0.0);
  EXPECT_EQ(du.mechanical_energy, 0.0);
  EXPECT_EQ(du.com[0], Vec3::Zero());
}

TEST(AllTerms, RateOfCentroidalMomentumMatchesFiniteDifference) {
  std::mt19937 rng(10);
  const Model m = samples::tree32();
  Data d(m);
  const VectorX q = random_configuration(rng, m);
  const VectorX v = random_vector(rng, m.nv);
  compute_all_terms(m, d, q, v);
  // With zero joint acceleration, d/dt (ag v) = dag v.
  const double eps = 1e-6;
  Data p(m), n(m);
  compute_all_terms(m, p, integrate(m, q, eps * v), v);
  compute_all_terms(m, n, integrate(m, q, -eps * v), v);
  const VectorX fd = (p.ag * v - n.ag * v) / (2 * eps);
  EXPECT_LT(rel_err(d.dag * v, fd), 1e-6);
}

// dag is the whole matrix d/dt ag along the motion, not only its product with
// v (dag v hides the terms along vcom, which vanish against the momentum).
class CentroidalVariation : public ::testing::TestWithParam<int> {};

TEST_P(CentroidalVariation, DagMatchesFiniteDifferenceOfAg) {
  std::mt19937 rng(static_cast<unsigned>(GetParam()));
  const Model m = samples::random_tree(rng, 14, GetParam() % 2 == 0);
  const VectorX q = random_configuration(rng, m);
  const VectorX v = random_vector(rng, m.nv);
  Data d(m);
  compute_all_terms(m, d, q, v);
  ASSERT_GT(d.vcom[0].norm(), 0.1) << "the centre of mass must move";
  const double eps = 1e-6;
  Data p(m), n(m);
  compute_all_terms(m, p, integrate(m, q, eps * v), v);
  compute_all_terms(m, n, integrate(m, q, -eps * v), v);
  const Matrix6X fd = (p.ag - n.ag) / (2 * eps);
  EXPECT_LT(rel_err(d.dag, fd), 1e-7) << "dag:\n" << d.dag << "\nfinite difference:\n" << fd;
}

INSTANTIATE_TEST_SUITE_P(RandomTrees, CentroidalVariation, ::testing::Values(30, 31, 32));

// ---- failures -------------------------------------------------------------

TEST(Dynamics, WrongSizesFailWithoutTouchingData) {
  const Model m = samples::arm7();
  Data d(m);
  std::mt19937 rng(11);
  const VectorX q = random_configuration(rng, m), v = random_vector(rng, 7);
  rnea(m, d, q, v, v);
  const Data before = d;
  const VectorX bad = VectorX::Zero(8);
  EXPECT_EQ(error_of([&] { rnea(m, d, bad, v, v); }),
            "Configuration vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { rnea(m, d, q, bad, v); }),
            "Velocity vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { rnea(m, d, q, v, bad); }),
            "Acceleration vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { non_linear_effects(m, d, q, bad); }),
            "Velocity vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { compute_gravity(m, d, bad); }),
            "Configuration vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { crba(m, d, bad); }),
            "Configuration vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { compute_all_terms(m, d, bad, bad); }),
            "Configuration vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { compute_all_terms(m, d, q, bad); }),
            "Velocity vector size mismatch: expected 7, got 8");
  EXPECT_EQ(error_of([&] { compute_coriolis_matrix(m, d, q, bad); }),
            "Velocity vector size mismatch: expected 7, got 8");
  EXPECT_EQ(d.tau, before.tau);
  EXPECT_EQ(d.M, before.M);
  EXPECT_EQ(d.f[3], before.f[3]);
  EXPECT_EQ(d.omi[5].translation, before.omi[5].translation);
}

TEST(Dynamics, DataFromAnotherModelIsRejected) {
  Model m = samples::arm7();
  Data d(m);
  const Data before = d;
  m.add_joint(0, Joint::create(JointType::Revolute, Vec3::UnitX()), SE3::identity(), "extra");
  const VectorX q = VectorX::Zero(8);
  for (const auto& call : std::vector<std::function<void()>>{
           [&] { rnea(m, d, q, q, q); }, [&] { non_linear_effects(m, d, q, q); },
           [&] { compute_gravity(m, d, q); }, [&] { crba(m, d, q); },
           [&] { compute_all_terms(m, d, q, q); }, [&] { compute_coriolis_matrix(m, d, q, q); },
           [&] { compute_joint_jacobians(m, d, q); },
           [&] { compute_joint_jacobians_time_variation(m, d, q, q); },
           [&] { compute_joint_jacobian(m, d, q, 1); },
           [&] { get_frame_jacobian(m, d, 1, ReferenceFrame::WORLD); },
           [&] { get_frame_jacobian_time_variation(m, d, 0, ReferenceFrame::WORLD); }}) {
    const std::string msg = error_of(call);
    EXPECT_NE(msg.find("njoints=9, nq=7, nv=7"), std::string::npos) << msg;
    EXPECT_NE(msg.find("njoints=10, nq=8, nv=8"), std::string::npos) << msg;
  }
  EXPECT_EQ(d.tau, before.tau);
}

}  // namespace
}  // namespace trelvar

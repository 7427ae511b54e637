// Joint Jacobians, frame Jacobians and their time variation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include "sample_models.hpp"
#include "test_util.hpp"
#include "trelvar/error.hpp"
#include "trelvar/jacobians.hpp"

namespace trelvar {
namespace {

using testing::error_of;
using testing::rel_err;

using samples::random_configuration;
using samples::random_vector;

constexpr ReferenceFrame kFrames[] = {ReferenceFrame::WORLD, ReferenceFrame::LOCAL,
                                      ReferenceFrame::LOCAL_WORLD_ALIGNED};

Vec6 col(double a, double b, double c, double d, double e, double f) {
  Vec6 x;
  x << a, b, c, d, e, f;
  return x;
}



// Two revolute joints about z, the second placed at (1, 0, 0) from the first.
Model two_revolute() {
  Model m;
  m.add_joint(0, Joint::create(JointType::Revolute, Vec3::UnitZ()), SE3::identity(), "j1");
  m.add_joint(1, Joint::create(JointType::Revolute, Vec3::UnitZ()),
              SE3(Mat3::Identity(), Vec3(1, 0, 0)), "j2");
  m.add_frame(Frame{"j1", 1, SE3::identity(), FrameType(FrameType::JOINT)});
  m.add_frame(Frame{"j2", 2, SE3::identity(), FrameType(FrameType::JOINT)});
  return m;
}

TEST(JointJacobians, SingleRevoluteWorkedColumns) {
  Model m;
  m.add_joint(0, Joint::create(JointType::Revolute, Vec3::UnitZ()),
              SE3(Mat3::Identity(), Vec3(1, 0, 0)), "j");
  Data d(m);
  compute_joint_jacobians(m, d, VectorX::Zero(1));
  EXPECT_EQ(Vec6(d.j.col(0)), col(0, -1, 0, 0, 0, 1));
  EXPECT_EQ(Vec6(get_frame_jacobian(m, d, 1, ReferenceFrame::WORLD).col(0)), col(0, -1, 0, 0, 0, 1));
  EXPECT_EQ(Vec6(get_frame_jacobian(m, d, 1, ReferenceFrame::LOCAL).col(0)), col(0, 0, 0, 0, 0, 1));
  EXPECT_EQ(Vec6(get_frame_jacobian(m, d, 1, ReferenceFrame::LOCAL_WORLD_ALIGNED).col(0)),
            col(0, 0, 0, 0, 0, 1));
}

TEST(JointJacobians, TwoJointChainWorkedColumns) {
  const Model m = two_revolute();
  Data d(m);
  compute_joint_jacobians(m, d, VectorX::Zero(2));
  EXPECT_EQ(Vec6(d.j.col(0)), col(0, 0, 0, 0, 0, 1));
  EXPECT_EQ(Vec6(d.j.col(1)), col(0, -1, 0, 0, 0, 1));
  const Matrix6X local = compute_joint_jacobian(m, d, VectorX::Zero(2), 2);
  EXPECT_EQ(Vec6(local.col(0)), col(0, 1, 0, 0, 0, 1));
  EXPECT_EQ(Vec6(local.col(1)), col(0, 0, 0, 0, 0, 1));
  for (ReferenceFrame rf : {ReferenceFrame::LOCAL, ReferenceFrame::LOCAL_WORLD_ALIGNED}) {
    const Matrix6X jf = get_frame_jacobian(m, d, 2, rf);
    EXPECT_EQ(Vec6(jf.col(0)), col(0, 1, 0, 0, 0, 1));
    EXPECT_EQ(Vec6(jf.col(1)), col(0, 0, 0, 0, 0, 1));
  }
  for (ReferenceFrame rf : kFrames) {
    const Matrix6X jf = get_frame_jacobian(m, d, 1, rf);
    EXPECT_EQ(Vec6(jf.col(0)), col(0, 0, 0, 0, 0, 1));
    EXPECT_EQ(Vec6(jf.col(1)), Vec6::Zero());
    EXPECT_TRUE(get_frame_jacobian(m, d, 0, rf).isZero(0));
  }
}

TEST(JointJacobians, UniverseOnlyAndJointZero) {
  const Model u;
  Data du(u);
  compute_joint_jacobians(u, du, VectorX());
  EXPECT_EQ(du.j.cols(), 0);
  EXPECT_EQ(compute_joint_jacobian(u, du, VectorX(), 0).cols(), 0);
  const Model m = two_revolute();
  Data d(m);
  d.limi[1].translation = Vec3(9, 9, 9);
  EXPECT_TRUE(compute_joint_jacobian(m, d, VectorX::Ones(2), 0).isZero(0));
  EXPECT_EQ(d.limi[1].translation, Vec3(9, 9, 9));
  EXPECT_EQ(error_of([&] { compute_joint_jacobian(m, d, VectorX::Ones(2), 3); }),
            "Joint ID 3 is out of range (njoints = 3)");
  EXPECT_EQ(error_of([&] { get_frame_jacobian(m, d, 3, ReferenceFrame::LOCAL); }),
            "Joint ID 3 out of bounds (njoints = 3)");
}

TEST(JointJacobians, WrongLengthIsRejectedBeforeKinematics) {
  const Model m = two_revolute();
  Data d(m);
  compute_joint_jacobians(m, d, VectorX::Ones(2));
  const SE3 before = d.omi[2];
  EXPECT_EQ(error_of([&] { compute_joint_jacobians(m, d, VectorX::Zero(3)); }),
            "Configuration vector size mismatch: expected 2, got 3");
  EXPECT_EQ(d.omi[2].translation, before.translation);
}

TEST(JointJacobians, NoAccumulationAcrossCalls) {
  std::mt19937 rng(1);
  const Model m = samples::tree32();
  Data once(m), twice(m);
  const VectorX q1 = random_configuration(rng, m), q2 = random_configuration(rng, m);
  compute_joint_jacobians(m, twice, q1);
  compute_joint_jacobians(m, twice, q2);
  compute_joint_jacobians(m, once, q2);
  EXPECT_EQ(once.j, twice.j);
}

TEST(FrameJacobianTimeVariation, TwoJointChainWorkedColumns) {
  const Model m = two_revolute();
  Data d(m);
  compute_joint_jacobians_time_variation(m, d, VectorX::Zero(2), (VectorX(2) << 1, 0).finished());
  EXPECT_EQ(d.v[2], col(0, 0, 1, 0, 1, 0));
  EXPECT_EQ(d.ov[2], col(0, 0, 1, 0, 0, 0));
  EXPECT_EQ(Vec6(d.dJ.col(0)), Vec6::Zero());
  EXPECT_EQ(Vec6(d.dJ.col(1)), col(1, 0, 0, 0, 0, 0));
  const std::size_t frame = 2;  // "j2"
  const Matrix6X world = get_frame_jacobian_time_variation(m, d, frame, ReferenceFrame::WORLD);
  EXPECT_EQ(Vec6(world.col(1)), col(1, 0, 0, 0, 0, 0));
  const Matrix6X lwa =
      get_frame_jacobian_time_variation(m, d, frame, ReferenceFrame::LOCAL_WORLD_ALIGNED);
  EXPECT_TRUE(Vec6(lwa.col(0)).isApprox(col(-1, 0, 0, 0, 0, 0)));
  EXPECT_TRUE(Vec6(lwa.col(1)).isZero(0));
  EXPECT_TRUE(get_frame_jacobian_time_variation(m, d, frame, ReferenceFrame::LOCAL).isZero(1e-15));
  for (ReferenceFrame rf : kFrames) {
    EXPECT_TRUE(get_frame_jacobian_time_variation(m, d, 0, rf).isZero(0));
  }
  EXPECT_EQ(error_of([&] { get_frame_jacobian_time_variation(m, d, 3, ReferenceFrame::WORLD); }),
            "Frame ID 3 out of bounds (nframes = 3)");
  Model broken = m;
  broken.frames[2].parent = 7;
  Data db(broken);
  EXPECT_EQ(error_of([&] { get_frame_jacobian_time_variation(broken, db, 2, ReferenceFrame::LOCAL); }),
            "Frame 2 has invalid joint ID 7 (njoints = 3)");
}

TEST(FrameJacobianTimeVariation, SingleJointOnUniverseHasNoVariation) {
  for (JointType type : {JointType::Revolute, JointType::Prismatic}) {
    Model m;
    m.add_joint(0, Joint::create(type, Vec3(1, 2, 3)), SE3(rotation_from_rpy(1, 2, 3), Vec3(1, 2, 3)), "j");
    Data d(m);
    compute_joint_jacobians_time_variation(m, d, VectorX::Constant(1, 0.7), VectorX::Constant(1, 2.0));
    EXPECT_TRUE(d.dJ.isZero(1e-15));
  }
}

// ---- identities on random trees ------------------------------------------

class JacobianIdentities : public ::testing::TestWithParam<int> {
 protected:
  Model model() const {
    std::mt19937 rng(static_cast<unsigned>(GetParam()));
    Model m = samples::random_tree(rng, 14, GetParam() % 2 == 0);
    // One frame per joint with a random placement (the joint frames use the
    // identity, as frames created for joints do).
    for (std::size_t i = 1; i < m.njoints; ++i) {
      m.add_frame(Frame{"f" + std::to_string(i), i, samples::random_placement(rng),
                        FrameType(FrameType::OP_FRAME)});
    }
    return m;
  }
};

TEST_P(JacobianIdentities, LocalFrameJacobianEqualsSingleJointJacobian) {
  const Model m = model();
  Data d(m);
  std::mt19937 rng(3);
  const VectorX q = random_configuration(rng, m);
  compute_joint_jacobians(m, d, q);
  for (std::size_t i = 0; i < m.njoints; ++i) {
    Data other(m);
    EXPECT_LT(rel_err(compute_joint_jacobian(m, other, q, i),
                      get_frame_jacobian(m, d, i, ReferenceFrame::LOCAL)),
              1e-12)
        << "joint " << i;
    EXPECT_EQ(other.omi[i].translation, Vec3::Zero());  // compute_joint_jacobian leaves omi alone
  }
}

TEST_P(JacobianIdentities, WorldJacobianMatchesFiniteDifferenceOfPlacements) {
  const Model m = model();
  Data d(m), dp(m), dm(m);
  std::mt19937 rng(4);
  const VectorX q = random_configuration(rng, m);
  const VectorX v = random_vector(rng, m.nv);
  compute_joint_jacobians(m, d, q);
  const double eps = 1e-6;
  forward_kinematics(m, dp, integrate(m, q, eps * v));
  forward_kinematics(m, dm, integrate(m, q, -eps * v));
  for (std::size_t i = 1; i < m.njoints; ++i) {
    const Mat3 rdot = (dp.omi[i].rotation - dm.omi[i].rotation) / (2 * eps);
    const Vec3 pdot = (dp.omi[i].translation - dm.omi[i].translation) / (2 * eps);
    const Mat3 wx = rdot * d.omi[i].rotation.transpose();
    const Vec3 w(wx(2, 1), wx(0, 2), wx(1, 0));
    // Spatial velocity at the world origin: linear part pdot - w x p.
    const Vec6 expected = make_vec6(pdot - cross(w, d.omi[i].translation), w);
    const Vec6 got = get_frame_jacobian(m, d, i, ReferenceFrame::WORLD) * v;
    EXPECT_LT((got - expected).norm() / std::max(1.0, expected.norm()), 1e-7) << "joint " << i;
  }
}

TEST_P(JacobianIdentities, TimeVariationMatchesFiniteDifferenceOfFrameJacobians) {
  const Model m = model();
  Data d(m), dp(m), dm(m);
  std::mt19937 rng(5);
  const VectorX q = random_configuration(rng, m);
  const VectorX v = random_vector(rng, m.nv);
  compute_joint_jacobians_time_variation(m, d, q, v);
  const double eps = 1e-6;
  compute_joint_jacobians(m, dp, integrate(m, q, eps * v));
  compute_joint_jacobians(m, dm, integrate(m, q, -eps * v));
  // Frame Jacobian with the frame's own placement: world columns re-expressed.
  auto frame_jacobian = [&](const Data& data, const Frame& f, ReferenceFrame rf) {
    Matrix6X jac = get_frame_jacobian(m, data, f.parent, ReferenceFrame::WORLD);
    const SE3 omf = data.omi[f.parent].compose(f.placement);
    for (Eigen::Index c = 0; c < jac.cols(); ++c) {
      const Vec6 w = jac.col(c);
      if (rf == ReferenceFrame::LOCAL) jac.col(c) = act_inv_column(omf, w);
      if (rf == ReferenceFrame::LOCAL_WORLD_ALIGNED) {
        jac.col(c) = make_vec6(Vec3(w.head<3>()) - cross(omf.translation, w.tail<3>()), w.tail<3>());
      }
    }
    return jac;
  };
  for (std::size_t f = 1; f < m.nframes; ++f) {
    for (ReferenceFrame rf : kFrames) {
      const Matrix6X fd =
          (frame_jacobian(dp, m.frames[f], rf) - frame_jacobian(dm, m.frames[f], rf)) / (2 * eps);
      EXPECT_LT(rel_err(get_frame_jacobian_time_variation(m, d, f, rf), fd), 1e-6)
          << "frame " << f << " reference " << static_cast<int>(rf);
    }
  }
  // j from the time-variation pass equals the plain Jacobian; v = 0 gives dJ = 0.
  Data plain(m);
  compute_joint_jacobians(m, plain, q);
  EXPECT_LT(rel_err(d.j, plain.j), 1e-15);
  compute_joint_jacobians_time_variation(m, d, q, VectorX::Zero(static_cast<Eigen::Index>(m.nv)));
  EXPECT_TRUE(d.dJ.isZero(0));
  for (const Vec6& x : d.ov) EXPECT_TRUE(x.isZero(0));
}

TEST_P(JacobianIdentities, SiblingColumnsStayZero) {
  const Model m = model();
  Data d(m);
  std::mt19937 rng(6);
  compute_joint_jacobians_time_variation(m, d, random_configuration(rng, m), random_vector(rng, m.nv));
  for (std::size_t i = 1; i < m.njoints; ++i) {
    const auto& support = m.supports[i];
    for (ReferenceFrame rf : kFrames) {
      const Matrix6X jac = get_frame_jacobian(m, d, i, rf);
      for (std::size_t k = 1; k < m.njoints; ++k) {
        if (std::find(support.begin(), support.end(), k) != support.end()) continue;
        for (std::size_t c = 0; c < m.nvs[k]; ++c) {
          EXPECT_TRUE(jac.col(static_cast<Eigen::Index>(m.idx_vs[k] + c)).isZero(0));
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RandomTrees, JacobianIdentities, ::testing::Range(10, 14));

TEST(JointJacobians, DataWithTooFewColumnsIsRejected) {
  const Model m = two_revolute();
  Data d(m);
  d.j.resize(6, 1);
  EXPECT_THROW(compute_joint_jacobians_time_variation(m, d, VectorX::Zero(2), VectorX::Zero(2)),
               Error);
  EXPECT_EQ(d.j.cols(), 1);
}

}  // namespace
}  // namespace trelvar

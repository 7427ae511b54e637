// Model construction, tree bookkeeping, limits, frames and Data buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "test_util.hpp"
#include "trelvar/data.hpp"
#include "trelvar/error.hpp"
#include "trelvar/model.hpp"

namespace trelvar {
namespace {

using Idx = std::vector<std::size_t>;
const double kInf = std::numeric_limits<double>::infinity();

Joint revolute_z() { return Joint::create(JointType::Revolute, Vec3::UnitZ()); }

// universe -> 1, 1 -> 2, 1 -> 3, all revolute.
Model small_tree() {
  Model m;
  m.add_joint(0, revolute_z(), SE3::identity(), "a");
  m.add_joint(1, revolute_z(), SE3::identity(), "b");
  m.add_joint(1, revolute_z(), SE3::identity(), "c");
  return m;
}

TEST(Joint, RecordTakesSizesFromKind) {
  struct Case {
    JointType type;
    std::size_t nq, nv;
    bool keeps_axis;
    const char* name;
  };
  const Case cases[] = {{JointType::Fixed, 0, 0, false, "Fixed"},
                        {JointType::Revolute, 1, 1, true, "Revolute"},
                        {JointType::Continuous, 2, 1, true, "Continuous"},
                        {JointType::Prismatic, 1, 1, true, "Prismatic"},
                        {JointType::Planar, 4, 3, true, "Planar"},
                        {JointType::Floating, 7, 6, false, "Floating"},
                        {JointType::Spherical, 4, 3, false, "Spherical"}};
  for (const Case& c : cases) {
    const Joint j = Joint::create(c.type, Vec3(1, 2, 3));
    EXPECT_EQ(j.nq, c.nq) << c.name;
    EXPECT_EQ(j.nv, c.nv) << c.name;
    EXPECT_EQ(j.axis, c.keeps_axis ? Vec3(1, 2, 3) : Vec3::Zero()) << c.name;
    EXPECT_STREQ(joint_type_name(c.type), c.name);
  }
}

TEST(Model, FreshModelHoldsOnlyTheUniverse) {
  const Model m;
  EXPECT_EQ(m.njoints, 1u);
  EXPECT_EQ(m.nbodies, 1u);
  EXPECT_EQ(m.nframes, 1u);
  EXPECT_EQ(m.nq, 0u);
  EXPECT_EQ(m.nv, 0u);
  EXPECT_EQ(m.names, std::vector<std::string>{"universe"});
  EXPECT_TRUE(m.lower_position_limit.empty());
  EXPECT_TRUE(m.upper_position_limit.empty());
  EXPECT_EQ(m.gravity_linear(), Vec3(0, 0, -9.81));
  EXPECT_EQ(m.gravity_angular(), Vec3::Zero());
  EXPECT_EQ(m.name, "");
  EXPECT_EQ(m.frames[0].name, "universe");
  EXPECT_EQ(m.frames[0].frame_type.to_string(), "FrameType(FIXED_JOINT)");
  EXPECT_STREQ(joint_type_name(m.joints[0].joint_type), "Fixed");
  EXPECT_EQ(m.joints[0].nq, 0u);
  EXPECT_EQ(m.supports[0], Idx{0});
  EXPECT_TRUE(m.subtrees[0].empty());
}

TEST(Model, FloatingThenRevoluteOffsets) {
  Model m;
  m.add_joint(0, Joint::create(JointType::Floating), SE3::identity(), "base");
  m.add_joint(0, revolute_z(), SE3::identity(), "arm");
  EXPECT_EQ(m.idx_qs, (Idx{0, 0, 7}));
  EXPECT_EQ(m.idx_vs, (Idx{0, 0, 6}));
  EXPECT_EQ(m.nq, 8u);
  EXPECT_EQ(m.nv, 7u);
  EXPECT_EQ(m.parents, (Idx{0, 0, 0}));
  EXPECT_EQ(m.children[0], (Idx{1, 2}));
}

TEST(Model, TreeSupportsAndSubtrees) {
  const Model m = small_tree();
  EXPECT_EQ(m.supports[3], (Idx{0, 1, 3}));
  EXPECT_EQ(m.subtrees[1], (Idx{1, 2, 3}));
  EXPECT_EQ(m.subtrees[0], (Idx{1, 2, 3}));
  EXPECT_EQ(m.subtrees[2], (Idx{2}));
  EXPECT_EQ(m.idx_qs, (Idx{0, 0, 1, 2}));
  EXPECT_EQ(m.nv_subtree, (Idx{3, 3, 1, 1}));
  for (std::size_t i = 1; i < m.njoints; ++i) EXPECT_TRUE(m.subtree_is_consecutive(i));
  EXPECT_NO_THROW(m.check_consistency());
}

TEST(Model, NonConsecutiveSubtreeIsDetected) {
  Model m;
  m.add_joint(0, revolute_z(), SE3::identity(), "a");
  m.add_joint(0, revolute_z(), SE3::identity(), "b");
  m.add_joint(1, revolute_z(), SE3::identity(), "c");
  EXPECT_EQ(m.subtrees[1], (Idx{1, 3}));
  EXPECT_FALSE(m.subtree_is_consecutive(1));
  EXPECT_TRUE(m.subtree_is_consecutive(2));
  EXPECT_TRUE(m.subtree_is_consecutive(3));
  EXPECT_EQ(m.nv_subtree[1], 2u);
}

TEST(Model, AddJointRejectsUnknownParentAndStaysUnchanged) {
  Model m = small_tree();
  try {
    m.add_joint(4, revolute_z(), SE3::identity(), "bad");
    FAIL() << "expected an error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Parent joint index 4 is out of range (njoints = 4)");
  }
  EXPECT_EQ(m.njoints, 4u);
  EXPECT_EQ(m.names.size(), 4u);
  EXPECT_EQ(m.nq, 3u);
  EXPECT_NO_THROW(m.check_consistency());
}

TEST(Model, PositionLimitsGrowByVelocityCoordinate) {
  Model m = small_tree();
  m.set_joint_position_limits(2, {-1.0}, {1.0});
  EXPECT_EQ(m.lower_position_limit, (std::vector<double>{-kInf, -1.0}));
  EXPECT_EQ(m.upper_position_limit, (std::vector<double>{kInf, 1.0}));
  // Out of range: nothing changes.
  m.set_joint_position_limits(m.njoints, {5.0}, {6.0});
  EXPECT_EQ(m.lower_position_limit.size(), 2u);
  // Missing values keep existing entries; extra values are ignored.
  m.set_joint_position_limits(1, {}, {2.0, 3.0});
  EXPECT_EQ(m.lower_position_limit, (std::vector<double>{-kInf, -1.0}));
  EXPECT_EQ(m.upper_position_limit, (std::vector<double>{2.0, 1.0}));
}

// After a joint whose nq exceeds its nv, the limits of the next joint go to
// its velocity coordinates, not its configuration coordinates.
class LimitsAfterJoint : public ::testing::TestWithParam<JointType> {};

TEST_P(LimitsAfterJoint, WrittenAtTheVelocityIndex) {
  Model m;
  m.add_joint(0, Joint::create(GetParam(), Vec3::UnitZ()), SE3::identity(), "first");
  const std::size_t limited = m.add_joint(1, revolute_z(), SE3::identity(), "limited");
  const std::size_t n = joint_nv(GetParam());
  ASSERT_LT(m.idx_vs[limited], m.idx_qs[limited]);
  m.set_joint_position_limits(limited, {-0.5}, {0.75});
  std::vector<double> lower(n, -kInf), upper(n, kInf);
  lower.push_back(-0.5);
  upper.push_back(0.75);
  EXPECT_EQ(m.lower_position_limit, lower);
  EXPECT_EQ(m.upper_position_limit, upper);
  // The first joint's own limits fill exactly its velocity slice.
  m.set_joint_position_limits(1, std::vector<double>(n, -1.0), std::vector<double>(n, 1.0));
  std::fill(lower.begin(), lower.begin() + static_cast<std::ptrdiff_t>(n), -1.0);
  std::fill(upper.begin(), upper.begin() + static_cast<std::ptrdiff_t>(n), 1.0);
  EXPECT_EQ(m.lower_position_limit, lower);
  EXPECT_EQ(m.upper_position_limit, upper);
}

INSTANTIATE_TEST_SUITE_P(Kinds, LimitsAfterJoint,
                         ::testing::Values(JointType::Continuous, JointType::Planar,
                                           JointType::Floating, JointType::Spherical),
                         [](const ::testing::TestParamInfo<JointType>& p) {
                           return std::string(joint_type_name(p.param));
                         });

TEST(Model, NameLookupReturnsFirstMatch) {
  Model m;
  m.add_joint(0, revolute_z(), SE3::identity(), "twin");
  m.add_joint(1, revolute_z(), SE3::identity(), "twin");
  EXPECT_EQ(m.get_joint_id("twin"), 1u);
  EXPECT_EQ(m.get_joint_id("universe"), 0u);
  EXPECT_FALSE(m.get_joint_id("nobody").has_value());
  m.add_frame(Frame{"f", 2, SE3::identity(), FrameType(FrameType::BODY)});
  m.add_frame(Frame{"f", 1, SE3::identity(), FrameType(FrameType::JOINT)});
  EXPECT_EQ(m.nframes, 3u);
  EXPECT_EQ(m.get_frame_id("f"), 1u);
  EXPECT_FALSE(m.get_frame_id("g").has_value());
}

TEST(Model, SetInertiaStoresTheBodyInertia) {
  Model m = small_tree();
  const Data earlier(m);
  const Mat3 r = rotation_from_rpy(0.3, -0.7, 1.1);
  // A rotated diagonal inertia: symmetric only to rounding, which is accepted.
  const Mat3 rotational = r * Vec3(0.2, 0.3, 0.4).asDiagonal() * r.transpose();
  m.set_inertia(2, 1.5, Vec3(0.1, -0.2, 0.3), rotational);
  EXPECT_EQ(m.inertias[2], Inertia::from_matrix(1.5, Vec3(0.1, -0.2, 0.3), rotational));
  EXPECT_EQ(m.inertias[2].rotational(), m.inertias[2].rotational().transpose());
  EXPECT_EQ(m.inertias[1], Inertia::zero());
  // Joint 0 carries the body fixed to the world (a URDF root link).
  m.set_inertia(0, Inertia::from_matrix(2.0, Vec3::Zero(), Mat3::Identity()));
  EXPECT_EQ(m.inertias[0].mass, 2.0);
  EXPECT_NO_THROW(check_data_matches(m, earlier));
  // A hand-edited model with too few inertias gets zeros for the missing ones.
  m.inertias.resize(2);
  m.set_inertia(3, 0.5, Vec3::Zero(), Mat3::Identity());
  ASSERT_EQ(m.inertias.size(), 4u);
  EXPECT_EQ(m.inertias[2], Inertia::zero());
  EXPECT_EQ(m.inertias[3].mass, 0.5);
}

TEST(Model, SetInertiaRejectsInvalidValuesAndStaysUnchanged) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Mat3 skewed = Mat3::Identity();
  skewed(0, 1) = 1e-3;
  Mat3 upper_inf = Mat3::Identity();
  upper_inf(0, 2) = kInf;
  struct Case {
    std::size_t joint;
    double mass;
    Vec3 lever;
    Mat3 rotational;
    const char* message;
  };
  const Case cases[] = {
      {4, 1.0, Vec3::Zero(), Mat3::Identity(), "Joint index 4 is out of range (njoints = 4)"},
      {1, -1e-9, Vec3::Zero(), Mat3::Identity(), "Body mass must be finite and non-negative"},
      {1, nan, Vec3::Zero(), Mat3::Identity(), "Body mass must be finite and non-negative"},
      {1, kInf, Vec3::Zero(), Mat3::Identity(), "Body mass must be finite and non-negative"},
      {1, 1.0, Vec3(0, nan, 0), Mat3::Identity(), "Centre of mass must be finite"},
      {1, 1.0, Vec3::Zero(), skewed, "Rotational inertia must be symmetric"},
      {1, 1.0, Vec3::Zero(), upper_inf, "Rotational inertia must be finite"},
      {1, 1.0, Vec3::Zero(), Mat3::Constant(nan), "Rotational inertia must be finite"},
  };
  for (const Case& c : cases) {
    Model m = small_tree();
    m.set_inertia(1, 3.0, Vec3(1, 2, 3), Mat3::Identity());
    const std::vector<Inertia> before = m.inertias;
    EXPECT_EQ(testing::error_of([&] { m.set_inertia(c.joint, c.mass, c.lever, c.rotational); }),
              c.message);
    EXPECT_EQ(m.inertias, before) << c.message;
  }
}

TEST(FrameType, Printing) {
  EXPECT_EQ(FrameType(FrameType::JOINT).to_string(), "FrameType(JOINT)");
  EXPECT_EQ(FrameType(0).to_string(), "FrameType(0x0)");
  EXPECT_EQ(FrameType(FrameType::OP_FRAME | FrameType::BODY | FrameType::SENSOR).to_string(),
            "FrameType(OP_FRAME | BODY | SENSOR)");
}

// universe -> 1 revolute -> 2 floating, 1 -> 3 spherical, universe -> 4
// continuous: slices of every width, q and v offsets that differ.
Model mixed_tree() {
  Model m;
  m.add_joint(0, revolute_z(), SE3::identity(), "r");
  m.add_joint(1, Joint::create(JointType::Floating), SE3::identity(), "free");
  m.add_joint(1, Joint::create(JointType::Spherical), SE3::identity(), "ball");
  m.add_joint(0, Joint::create(JointType::Continuous, Vec3::UnitX()), SE3::identity(), "c");
  return m;
}

// One hand edit of a model and the error every algorithm then reports.
struct ModelEdit {
  const char* what;
  std::function<void(Model&)> edit;
  std::string message;
};

const std::string kListsMessage = "Model lists do not match njoints = 5";
std::string joint_message(int i) {
  return "Model joint " + std::to_string(i) + " is inconsistent";
}
const std::string kSizesMessage = "Model sizes nq, nv do not match its joints";
const auto kHugeCount = std::size_t{1} << 62;

const ModelEdit kModelEdits[] = {
    // Every list against njoints, shorter and longer.
    {"njoints 0", [](Model& m) { m.njoints = 0; }, "Model lists do not match njoints = 0"},
    {"njoints + 1", [](Model& m) { m.njoints += 1; }, "Model lists do not match njoints = 6"},
    {"njoints huge", [](Model& m) { m.njoints = kHugeCount; },
     "Model lists do not match njoints = " + std::to_string(kHugeCount)},
    {"joints short", [](Model& m) { m.joints.pop_back(); }, kListsMessage},
    {"joints long", [](Model& m) { m.joints.push_back(m.joints[1]); }, kListsMessage},
    {"placements", [](Model& m) { m.placements.pop_back(); }, kListsMessage},
    {"parents", [](Model& m) { m.parents.pop_back(); }, kListsMessage},
    {"idx_qs", [](Model& m) { m.idx_qs.pop_back(); }, kListsMessage},
    {"nqs", [](Model& m) { m.nqs.push_back(0); }, kListsMessage},
    {"idx_vs", [](Model& m) { m.idx_vs.pop_back(); }, kListsMessage},
    {"nvs", [](Model& m) { m.nvs.pop_back(); }, kListsMessage},
    {"nv_subtree", [](Model& m) { m.nv_subtree.pop_back(); }, kListsMessage},
    {"subtree_end", [](Model& m) { m.subtree_end.push_back(5); }, kListsMessage},
    {"subtrees", [](Model& m) { m.subtrees.pop_back(); }, kListsMessage},
    {"unit_axes", [](Model& m) { m.unit_axes.pop_back(); }, kListsMessage},
    {"axis_index short", [](Model& m) { m.axis_index.pop_back(); }, kListsMessage},
    {"axis_index long", [](Model& m) { m.axis_index.push_back(-1); }, kListsMessage},
    {"inertias long", [](Model& m) { m.inertias.push_back(Inertia::zero()); }, kListsMessage},
    {"frames", [](Model& m) { m.frames.pop_back(); }, kListsMessage},
    {"nframes", [](Model& m) { m.nframes += 1; }, kListsMessage},
    // A list error comes before a joint's.
    {"lists before joints",
     [](Model& m) {
       m.parents[2] = 7;
       m.nvs.pop_back();
     },
     kListsMessage},
    // Each entry of one joint.
    {"parent after the joint", [](Model& m) { m.parents[2] = 3; }, joint_message(2)},
    {"parent is the joint", [](Model& m) { m.parents[2] = 2; }, joint_message(2)},
    {"nq not the kind's", [](Model& m) { m.nqs[3] = 3; }, joint_message(3)},
    {"nv not the kind's", [](Model& m) { m.nvs[3] = 4; }, joint_message(3)},
    {"kind changed", [](Model& m) { m.joints[3].joint_type = JointType::Floating; },
     joint_message(3)},
    {"kind outside the enumeration",
     [](Model& m) { m.joints[4].joint_type = static_cast<JointType>(200); }, joint_message(4)},
    {"q slice moved", [](Model& m) { m.idx_qs[3] += 1; }, joint_message(3)},
    {"v slice moved", [](Model& m) { m.idx_vs[4] -= 1; }, joint_message(4)},
    {"subtree end past the joints", [](Model& m) { m.subtree_end[3] = 6; }, joint_message(3)},
    {"subtree end at the joint", [](Model& m) { m.subtree_end[4] = 4; }, joint_message(4)},
    {"subtree end before the joint", [](Model& m) { m.subtree_end[2] = 0; }, joint_message(2)},
    {"axis index below -1", [](Model& m) { m.axis_index[1] = -2; }, joint_message(1)},
    {"axis index past z", [](Model& m) { m.axis_index[4] = 3; }, joint_message(4)},
    {"axis index far out", [](Model& m) { m.axis_index[4] = -128; }, joint_message(4)},
    // The first wrong joint is named; a joint error comes before the totals'.
    {"first of two",
     [](Model& m) {
       m.axis_index[4] = 5;
       m.parents[2] = 4;
     },
     joint_message(2)},
    {"joint before totals",
     [](Model& m) {
       m.nq += 1;
       m.idx_vs[3] = 0;
     },
     joint_message(3)},
    // The totals.
    {"nq", [](Model& m) { m.nq += 1; }, kSizesMessage},
    {"nv", [](Model& m) { m.nv -= 1; }, kSizesMessage},
};

TEST(Model, ConsistencyCheckNamesEachHandEdit) {
  ASSERT_EQ(testing::error_of([] { mixed_tree().check_consistency(); }), "<no error>");
  for (const ModelEdit& e : kModelEdits) {
    Model m = mixed_tree();
    e.edit(m);
    EXPECT_EQ(testing::error_of([&] { m.check_consistency(); }), e.message) << e.what;
    // Every algorithm goes through the same check first.
    const Data d(mixed_tree());
    EXPECT_EQ(testing::error_of([&] { check_data_matches(m, d); }), e.message) << e.what;
  }
}

TEST(Model, ConsistencyCheckAcceptsTheBoundaries) {
  const std::function<void(Model&)> edits[] = {
      // Fewer inertias than joints read as zero.
      [](Model& m) { m.inertias.pop_back(); },
      // A subtree may end at njoints, an axis index may be -1 or 2.
      [](Model& m) { m.subtree_end[1] = 5; },
      [](Model& m) { m.axis_index[1] = -1; },
      [](Model& m) { m.axis_index[4] = 2; },
      // A kind outside the enumeration has no coordinates (as joint_nq and
      // joint_nv say).
      [](Model& m) {
        m.joints[4].joint_type = static_cast<JointType>(200);
        m.nqs[4] = m.nvs[4] = 0;
        m.nq -= 2;
        m.nv -= 1;
      },
      // Unchecked lists.
      [](Model& m) { m.names.pop_back(); },
      [](Model& m) { m.children.pop_back(); },
  };
  for (std::size_t k = 0; k < std::size(edits); ++k) {
    Model m = mixed_tree();
    edits[k](m);
    EXPECT_EQ(testing::error_of([&] { m.check_consistency(); }), "<no error>") << k;
  }
  // A universe-only model.
  EXPECT_EQ(testing::error_of([] { Model().check_consistency(); }), "<no error>");
}

TEST(Model, AxisIndexNamesExactCoordinateAxes) {
  struct Case {
    JointType type;
    Vec3 axis;
    int expected;
  };
  const Case cases[] = {
      {JointType::Revolute, Vec3(0, 0, 1), 2},      {JointType::Revolute, Vec3(0, -2.5, 0), 1},
      {JointType::Continuous, Vec3(-1, 0, 0), 0},   {JointType::Prismatic, Vec3(0, 0, -0.1), 2},
      {JointType::Revolute, Vec3(1, 1, 0), -1},     {JointType::Revolute, Vec3(1e-300, 0, 1), -1},
      {JointType::Fixed, Vec3(0, 0, 1), -1},        {JointType::Spherical, Vec3(0, 0, 1), -1},
  };
  for (const Case& c : cases) {
    Model m;
    m.add_joint(0, Joint::create(c.type, c.axis), SE3::identity(), "j");
    EXPECT_EQ(m.axis_index[1], c.expected) << c.type << " " << c.axis.transpose();
    EXPECT_EQ(m.axis_index[0], -1);
  }
}

TEST(Data, FreshBuffersHaveModelSizes) {
  Model m = small_tree();
  m.add_joint(0, Joint::create(JointType::Floating), SE3::identity(), "free");
  const Data d(m);
  EXPECT_EQ(d.njoints, 5u);
  EXPECT_EQ(d.nq, 10u);
  EXPECT_EQ(d.nv, 9u);
  EXPECT_EQ(d.omi.size(), 5u);
  EXPECT_EQ(d.M.rows(), 9);
  EXPECT_EQ(d.j.cols(), 9);
  EXPECT_EQ(d.jcom.cols(), 9);
  EXPECT_TRUE(d.buffers_consistent());
  for (const SE3& x : d.omi) EXPECT_EQ(x.rotation, Mat3::Identity());
  EXPECT_TRUE(d.M.isZero(0));
  // Work buffers the algorithms index per joint: a short one is refused.
  for (int which = 0; which < 2; ++which) {
    Data shrunk = d;
    if (which == 0) {
      shrunk.work.b.pop_back();
    } else {
      shrunk.work.sincos.pop_back();
    }
    EXPECT_FALSE(shrunk.buffers_consistent()) << which;
    EXPECT_THROW(check_data_matches(m, shrunk), Error) << which;
  }
}

TEST(Data, UniverseOnly) {
  const Model m;
  Data d(m);
  EXPECT_EQ(d.v.size(), 1u);
  EXPECT_EQ(d.tau.size(), 0);
  EXPECT_EQ(d.j.cols(), 0);
  const MatrixX full = d.get_mass_matrix();
  EXPECT_EQ(full.rows(), 0);
  EXPECT_EQ(full.cols(), 0);
  d.reset();
  EXPECT_TRUE(d.buffers_consistent());
}

TEST(Data, MassMatrixMirrorsUpperTriangle) {
  const Model m = small_tree();
  Data d(m);
  d.M << 1, 2, 3, 0, 4, 5, 0, 0, 6;
  MatrixX expected(3, 3);
  expected << 1, 2, 3, 2, 4, 5, 3, 5, 6;
  EXPECT_EQ(d.get_mass_matrix(), expected);
  EXPECT_EQ(d.M(1, 0), 0.0);  // the stored matrix is not modified
  d.M.resize(2, 2);
  EXPECT_THROW(d.get_mass_matrix(), Error);
}

TEST(Data, ResetRestoresInitialValues) {
  const Model m = small_tree();
  Data d(m);
  const Data fresh(m);
  d.v[1].setConstant(3.0);
  d.omi[2].translation = Vec3(1, 2, 3);
  d.omi[2].rotation.setZero();
  d.M.setConstant(1.0);
  d.tau.setConstant(2.0);
  d.oycrb[1].mass = 4.0;
  d.doycrb[2].setConstant(5.0);
  d.ig.mass = 1.0;
  d.kinetic_energy = 3.0;
  d.hg.setConstant(1.0);
  d.reset();
  EXPECT_EQ(d.v[1], fresh.v[1]);
  EXPECT_EQ(d.omi[2].rotation, Mat3::Identity());
  EXPECT_EQ(d.omi[2].translation, Vec3::Zero());
  EXPECT_EQ(d.M, fresh.M);
  EXPECT_EQ(d.tau, fresh.tau);
  EXPECT_EQ(d.oycrb[1], Inertia::zero());
  EXPECT_EQ(d.doycrb[2], Mat6::Zero());
  EXPECT_EQ(d.ig, Inertia::zero());
  EXPECT_EQ(d.kinetic_energy, 0.0);
  EXPECT_EQ(d.hg, Vec6::Zero());
  EXPECT_EQ(d.njoints, 4u);
}

// reset() promises every result buffer: each one is spoiled in turn, and
// after reset() it equals the fresh Data's, same size, same storage.
TEST(Data, ResetClearsEveryBuffer) {
  Model m = small_tree();
  m.add_joint(2, Joint::create(JointType::Floating), SE3::identity(), "free");
  const Data fresh(m);
  struct Buffer {
    const char* name;
    std::function<void(Data&)> spoil;
    std::function<bool(const Data&)> as_fresh;
    std::function<const void*(const Data&)> storage;
  };
  const auto per_joint = [](auto member, auto value) {
    return [member, value](Data& d) {
      for (auto& x : d.*member) x = value;
    };
  };
  const auto equal = [&fresh](auto member) {
    return [member, &fresh](const Data& d) { return d.*member == fresh.*member; };
  };
  const auto dense_equal = [&fresh](auto member) {
    return [member, &fresh](const Data& d) {
      return (d.*member).rows() == (fresh.*member).rows() &&
             (d.*member).cols() == (fresh.*member).cols() && d.*member == fresh.*member;
    };
  };
  const auto address = [](auto member) {
    return [member](const Data& d) -> const void* { return (d.*member).data(); };
  };
  const auto none = [](const Data&) -> const void* { return nullptr; };
  Inertia heavy;
  heavy.mass = 2.0;
  heavy.lever = Vec3(1, 2, 3);
  heavy.inertia = {1, 2, 3, 4, 5, 6};
  const SE3 moved(2.0 * Mat3::Identity(), Vec3(1, 2, 3));
  const std::vector<Buffer> buffers = {
      {"v", per_joint(&Data::v, Vec6::Constant(1.0)), equal(&Data::v), address(&Data::v)},
      {"a", per_joint(&Data::a, Vec6::Constant(1.0)), equal(&Data::a), address(&Data::a)},
      {"f", per_joint(&Data::f, Vec6::Constant(1.0)), equal(&Data::f), address(&Data::f)},
      {"ov", per_joint(&Data::ov, Vec6::Constant(1.0)), equal(&Data::ov), address(&Data::ov)},
      {"omi", per_joint(&Data::omi, moved),
       [&](const Data& d) {
         for (const SE3& x : d.omi) {
           if (x.rotation != Mat3::Identity() || x.translation != Vec3::Zero()) return false;
         }
         return d.omi.size() == fresh.omi.size();
       },
       address(&Data::omi)},
      {"limi", per_joint(&Data::limi, moved),
       [&](const Data& d) {
         for (const SE3& x : d.limi) {
           if (x.rotation != Mat3::Identity() || x.translation != Vec3::Zero()) return false;
         }
         return d.limi.size() == fresh.limi.size();
       },
       address(&Data::limi)},
      {"oycrb", per_joint(&Data::oycrb, heavy), equal(&Data::oycrb), address(&Data::oycrb)},
      {"tau", [](Data& d) { d.tau.setConstant(1.0); }, dense_equal(&Data::tau), address(&Data::tau)},
      {"nle", [](Data& d) { d.nle.setConstant(1.0); }, dense_equal(&Data::nle), address(&Data::nle)},
      {"g", [](Data& d) { d.g.setConstant(1.0); }, dense_equal(&Data::g), address(&Data::g)},
      {"M", [](Data& d) { d.M.setConstant(1.0); }, dense_equal(&Data::M), address(&Data::M)},
      {"C", [](Data& d) { d.C.setConstant(1.0); }, dense_equal(&Data::C), address(&Data::C)},
      {"com", per_joint(&Data::com, Vec3::Constant(1.0)), equal(&Data::com), address(&Data::com)},
      {"vcom", per_joint(&Data::vcom, Vec3::Constant(1.0)), equal(&Data::vcom), address(&Data::vcom)},
      {"mass", per_joint(&Data::mass, 1.0), equal(&Data::mass), address(&Data::mass)},
      {"j", [](Data& d) { d.j.setConstant(1.0); }, dense_equal(&Data::j), address(&Data::j)},
      {"dJ", [](Data& d) { d.dJ.setConstant(1.0); }, dense_equal(&Data::dJ), address(&Data::dJ)},
      {"ag", [](Data& d) { d.ag.setConstant(1.0); }, dense_equal(&Data::ag), address(&Data::ag)},
      {"dag", [](Data& d) { d.dag.setConstant(1.0); }, dense_equal(&Data::dag), address(&Data::dag)},
      {"jcom", [](Data& d) { d.jcom.setConstant(1.0); }, dense_equal(&Data::jcom), address(&Data::jcom)},
      {"a_gf", per_joint(&Data::a_gf, Vec6::Constant(1.0)), equal(&Data::a_gf), address(&Data::a_gf)},
      {"h", per_joint(&Data::h, Vec6::Constant(1.0)), equal(&Data::h), address(&Data::h)},
      {"doycrb", per_joint(&Data::doycrb, Mat6::Constant(1.0)), equal(&Data::doycrb),
       address(&Data::doycrb)},
      {"hg", [](Data& d) { d.hg.setConstant(1.0); }, equal(&Data::hg), none},
      {"dhg", [](Data& d) { d.dhg.setConstant(1.0); }, equal(&Data::dhg), none},
      {"ig", [&](Data& d) { d.ig = heavy; }, equal(&Data::ig), none},
      {"kinetic_energy", [](Data& d) { d.kinetic_energy = 1.0; }, equal(&Data::kinetic_energy), none},
      {"potential_energy", [](Data& d) { d.potential_energy = 1.0; }, equal(&Data::potential_energy),
       none},
      {"mechanical_energy", [](Data& d) { d.mechanical_energy = 1.0; },
       equal(&Data::mechanical_energy), none},
  };
  for (const Buffer& b : buffers) {
    Data d(m);
    const void* before = b.storage(d);
    b.spoil(d);
    ASSERT_FALSE(b.as_fresh(d)) << b.name << " was not spoiled";
    d.reset();
    EXPECT_TRUE(b.as_fresh(d)) << b.name << " not restored by reset()";
    EXPECT_EQ(b.storage(d), before) << b.name << " reallocated by reset()";
    EXPECT_TRUE(d.buffers_consistent()) << b.name;
    EXPECT_EQ(d.njoints, fresh.njoints);
    EXPECT_EQ(d.nq, fresh.nq);
    EXPECT_EQ(d.nv, fresh.nv);
  }
}

TEST(Data, MismatchedModelIsRejectedNamingBothSizes) {
  Model m = small_tree();
  const Data d(m);
  EXPECT_NO_THROW(check_data_matches(m, d));
  m.add_joint(0, Joint::create(JointType::Prismatic, Vec3::UnitX()), SE3::identity(), "p");
  EXPECT_EQ(testing::error_of([&] { check_data_matches(m, d); }),
            "Data does not match the model: data has njoints=4, nq=3, nv=3 but the model has "
            "njoints=5, nq=4, nv=4; create a new Data from the model");
  // Each of the three sizes alone; the model's own errors come first.
  const Model tree = mixed_tree();
  for (int which = 0; which < 3; ++which) {
    Data other(tree);
    (which == 0 ? other.njoints : which == 1 ? other.nq : other.nv) += 1;
    const std::string msg = testing::error_of([&] { check_data_matches(tree, other); });
    EXPECT_EQ(msg.rfind("Data does not match the model: data has njoints=", 0), 0u) << msg;
    Model broken = tree;
    broken.parents[3] = 3;
    EXPECT_EQ(testing::error_of([&] { check_data_matches(broken, other); }), joint_message(3));
  }
}

// One buffer resized by hand: every size buffers_consistent compares.
struct BufferEdit {
  const char* name;
  std::function<void(Data&)> edit;
};

template <class T>
void shorten(std::vector<T>& v) {
  v.pop_back();
}
template <class Mat>
void fewer_rows(Mat& m) {
  m.resize(m.rows() - 1, m.cols());
}
template <class Mat>
void fewer_cols(Mat& m) {
  m.resize(m.rows(), m.cols() - 1);
}

const BufferEdit kBufferEdits[] = {
    {"v", [](Data& d) { shorten(d.v); }},
    {"a", [](Data& d) { shorten(d.a); }},
    {"f", [](Data& d) { shorten(d.f); }},
    {"ov", [](Data& d) { d.ov.emplace_back(); }},
    {"omi", [](Data& d) { shorten(d.omi); }},
    {"limi", [](Data& d) { shorten(d.limi); }},
    {"oycrb", [](Data& d) { shorten(d.oycrb); }},
    {"com", [](Data& d) { shorten(d.com); }},
    {"vcom", [](Data& d) { shorten(d.vcom); }},
    {"mass", [](Data& d) { d.mass.push_back(0.0); }},
    {"a_gf", [](Data& d) { shorten(d.a_gf); }},
    {"h", [](Data& d) { shorten(d.h); }},
    {"doycrb", [](Data& d) { shorten(d.doycrb); }},
    {"tau", [](Data& d) { fewer_rows(d.tau); }},
    {"nle", [](Data& d) { d.nle.resize(d.nle.size() + 1); }},
    {"g", [](Data& d) { d.g.resize(0); }},
    {"M rows", [](Data& d) { fewer_rows(d.M); }},
    {"M cols", [](Data& d) { fewer_cols(d.M); }},
    {"C rows", [](Data& d) { d.C.resize(d.C.rows() + 1, d.C.cols()); }},
    {"C cols", [](Data& d) { d.C.resize(d.C.rows(), d.C.cols() + 1); }},
    {"dtau_dq rows", [](Data& d) { fewer_rows(d.dtau_dq); }},
    {"dtau_dq cols", [](Data& d) { fewer_cols(d.dtau_dq); }},
    {"dtau_dv rows", [](Data& d) { fewer_rows(d.dtau_dv); }},
    {"dtau_dv cols", [](Data& d) { fewer_cols(d.dtau_dv); }},
    {"ddq_dq rows", [](Data& d) { fewer_rows(d.ddq_dq); }},
    {"ddq_dq cols", [](Data& d) { fewer_cols(d.ddq_dq); }},
    {"ddq_dv rows", [](Data& d) { fewer_rows(d.ddq_dv); }},
    {"ddq_dv cols", [](Data& d) { fewer_cols(d.ddq_dv); }},
    {"j", [](Data& d) { fewer_cols(d.j); }},
    {"dJ", [](Data& d) { fewer_cols(d.dJ); }},
    {"ag", [](Data& d) { d.ag.resize(6, d.ag.cols() + 1); }},
    {"dag", [](Data& d) { fewer_cols(d.dag); }},
    {"jcom", [](Data& d) { fewer_cols(d.jcom); }},
    {"work.cols", [](Data& d) { fewer_cols(d.work.cols); }},
    {"work.b", [](Data& d) { shorten(d.work.b); }},
    {"work.h", [](Data& d) { shorten(d.work.h); }},
    {"work.rel", [](Data& d) { shorten(d.work.rel); }},
    {"work.prev", [](Data& d) { shorten(d.work.prev); }},
    {"work.forms", [](Data& d) { d.work.forms.push_back(0); }},
    {"work.sincos", [](Data& d) { shorten(d.work.sincos); }},
    {"work.oa", [](Data& d) { shorten(d.work.oa); }},
    {"work.of", [](Data& d) { shorten(d.work.of); }},
    {"work.dmotions", [](Data& d) { fewer_cols(d.work.dmotions); }},
    {"ddq", [](Data& d) { fewer_rows(d.ddq); }},
    {"Minv rows", [](Data& d) { fewer_rows(d.Minv); }},
    {"Minv cols", [](Data& d) { fewer_cols(d.Minv); }},
    {"fd.limi", [](Data& d) { shorten(d.work.fd.limi); }},
    {"fd.forms", [](Data& d) { shorten(d.work.fd.forms); }},
    {"fd.v", [](Data& d) { shorten(d.work.fd.v); }},
    {"fd.c", [](Data& d) { shorten(d.work.fd.c); }},
    {"fd.pa", [](Data& d) { shorten(d.work.fd.pa); }},
    {"fd.a", [](Data& d) { shorten(d.work.fd.a); }},
    {"fd.ia", [](Data& d) { shorten(d.work.fd.ia); }},
    {"fd.ia_s", [](Data& d) { fewer_cols(d.work.fd.ia_s); }},
    {"fd.u_parent", [](Data& d) { fewer_cols(d.work.fd.u_parent); }},
    {"fd.d_inv", [](Data& d) { fewer_cols(d.work.fd.d_inv); }},
    {"fd.u", [](Data& d) { fewer_rows(d.work.fd.u); }},
    {"fd.ddq", [](Data& d) { fewer_rows(d.work.fd.ddq); }},
    {"fd.omi", [](Data& d) { shorten(d.work.fd.omi); }},
    {"fd.s_world", [](Data& d) { fewer_cols(d.work.fd.s_world); }},
    {"fd.u_world", [](Data& d) { fewer_cols(d.work.fd.u_world); }},
    {"fd.f rows", [](Data& d) { fewer_rows(d.work.fd.f); }},
    {"fd.f cols", [](Data& d) { fewer_cols(d.work.fd.f); }},
    {"fd.acc", [](Data& d) { fewer_cols(d.work.fd.acc); }},
    {"fd.acc_start", [](Data& d) { shorten(d.work.fd.acc_start); }},
    {"fd.acc_owner", [](Data& d) { shorten(d.work.fd.acc_owner); }},
    {"fd.ic", [](Data& d) { shorten(d.work.fd.ic); }},
    {"fd.minv rows", [](Data& d) { fewer_rows(d.work.fd.minv); }},
    {"fd.minv cols", [](Data& d) { fewer_cols(d.work.fd.minv); }},
};

TEST(Data, EveryBufferSizeIsChecked) {
  const Model m = mixed_tree();
  const Data fresh(m);
  ASSERT_EQ(fresh.nv, 11u);
  ASSERT_EQ(fresh.work.fd.acc.cols(), 66);
  ASSERT_TRUE(fresh.buffers_consistent());
  for (const BufferEdit& b : kBufferEdits) {
    Data d = fresh;
    b.edit(d);
    EXPECT_FALSE(d.buffers_consistent()) << b.name;
    EXPECT_EQ(testing::error_of([&] { check_data_matches(m, d); }),
              "Data buffers do not have the sizes njoints=5, nq=14, nv=11 give")
        << b.name;
  }
}

TEST(Data, SizesNoBufferCanHoldAreRefused) {
  // Counts far beyond memory, including ones whose byte counts wrap around.
  const std::size_t counts[] = {std::size_t{1} << 59, std::size_t{1} << 62,
                                (std::size_t{1} << 59) + 5, ~std::size_t{0}};
  for (const std::size_t n : counts) {
    Data d(mixed_tree());
    d.njoints = n;
    EXPECT_FALSE(d.buffers_consistent()) << n;
    d = Data(mixed_tree());
    d.nv = n;
    EXPECT_FALSE(d.buffers_consistent()) << n;
  }
}

}  // namespace
}  // namespace trelvar

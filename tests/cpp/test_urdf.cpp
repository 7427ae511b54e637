// URDF reader and model builder.
#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>
#include <chrono>
#include <clocale>
#include <cmath>
#include <fstream>
#include <functional>
#include <string>

#include "trelvar/dynamics.hpp"
#include "trelvar/error.hpp"
#include "trelvar/kinematics.hpp"
#include "trelvar/urdf.hpp"

namespace trelvar {
namespace {

std::string robot(const std::string& body, const std::string& name = "r") {
  return "<robot name=\"" + name + "\">" + body + "</robot>";
}

std::string link(const std::string& name, double mass = 0.0) {
  if (mass == 0.0) return "<link name=\"" + name + "\"/>";
  return "<link name=\"" + name + "\"><inertial><mass value=\"" + std::to_string(mass) +
         "\"/><inertia ixx=\"0.1\" ixy=\"0\" ixz=\"0\" iyy=\"0.1\" iyz=\"0\" izz=\"0.1\"/>"
         "</inertial></link>";
}

std::string joint(const std::string& name, const std::string& type, const std::string& parent,
                  const std::string& child, const std::string& extra = "") {
  return "<joint name=\"" + name + "\" type=\"" + type + "\"><parent link=\"" + parent +
         "\"/><child link=\"" + child + "\"/>" + extra + "</joint>";
}

// The error and its cause for an input that must fail.
std::pair<std::string, std::string> failure(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& e) {
    return {e.what(), e.cause()};
  }
  return {"<no error>", ""};
}

TEST(UrdfBuilder, SingleLinkNoJoints) {
  const Model m = parse_urdf_from_string(robot(link("base", 2.0), "solo"));
  EXPECT_EQ(m.njoints, 1u);
  EXPECT_EQ(m.nq, 0u);
  EXPECT_EQ(m.name, "solo");
  ASSERT_EQ(m.nframes, 2u);
  EXPECT_EQ(m.frames[1].name, "base");
  EXPECT_EQ(m.frames[1].frame_type.to_string(), "FrameType(BODY)");
  EXPECT_EQ(m.inertias[0].mass, 2.0);
}

TEST(UrdfBuilder, DepthFirstOrderWithSiblingsInJointOrder) {
  const Model m = parse_urdf_from_string(robot(
      link("root") + link("A") + link("B") + link("A1") + joint("j_b", "revolute", "root", "B") +
      joint("j_a", "revolute", "root", "A") + joint("j_a1", "revolute", "A", "A1")));
  EXPECT_EQ(m.names, (std::vector<std::string>{"universe", "j_b", "j_a", "j_a1"}));
  EXPECT_EQ(m.parents, (std::vector<std::size_t>{0, 0, 0, 2}));
  std::vector<std::string> frames;
  for (const Frame& f : m.frames) frames.push_back(f.name);
  EXPECT_EQ(frames, (std::vector<std::string>{"universe", "root", "j_b", "B", "j_a", "A", "j_a1", "A1"}));
  EXPECT_EQ(m.frames[6].frame_type.to_string(), "FrameType(JOINT)");
  EXPECT_EQ(m.frames[7].parent, 3u);
}

TEST(UrdfBuilder, FixedJointAddsJointFramesAndInertiaButNoLimits) {
  const Model m = parse_urdf_from_string(
      robot(link("a") + link("b", 1.5) + joint("f", "fixed", "a", "b", "<limit lower='-1' upper='1'/>")));
  EXPECT_EQ(m.njoints, 2u);
  EXPECT_EQ(m.joints[1].joint_type, JointType::Fixed);
  EXPECT_EQ(m.nframes, 4u);
  EXPECT_EQ(m.inertias[1].mass, 1.5);
  EXPECT_TRUE(m.lower_position_limit.empty());
}

struct LimitCase {
  const char* type;
  std::size_t entries;
};

class UrdfLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(UrdfLimits, OneEntryPerVelocityCoordinate) {
  const Model m = parse_urdf_from_string(robot(
      link("a") + link("b") +
      joint("j", GetParam().type, "a", "b", "<limit lower='-0.5' upper='0.7' effort='1' velocity='2'/>")));
  EXPECT_EQ(m.lower_position_limit, std::vector<double>(GetParam().entries, -0.5));
  EXPECT_EQ(m.upper_position_limit, std::vector<double>(GetParam().entries, 0.7));
}

INSTANTIATE_TEST_SUITE_P(Kinds, UrdfLimits,
                         ::testing::Values(LimitCase{"revolute", 1}, LimitCase{"continuous", 1},
                                           LimitCase{"prismatic", 1}, LimitCase{"planar", 3},
                                           LimitCase{"spherical", 3}, LimitCase{"floating", 6}));

// Limits are indexed by velocity coordinate: after a joint whose nq and nv
// differ, a limited joint's entries start at its velocity index.
class UrdfLimitsAfterJoint : public ::testing::TestWithParam<LimitCase> {};

TEST_P(UrdfLimitsAfterJoint, StartAtTheVelocityIndex) {
  const LimitCase& before = GetParam();
  const Model m = parse_urdf_from_string(robot(
      link("a") + link("b") + link("c") + link("d") +
      joint("first", before.type, "a", "b", "<limit lower='-1' upper='1'/>") +
      joint("limited", "revolute", "b", "c", "<limit lower='-0.25' upper='0.5'/>") +
      joint("slide", "prismatic", "c", "d", "<limit lower='-2' upper='3'/>")));
  ASSERT_EQ(m.idx_vs[2], before.entries);
  std::vector<double> lower(before.entries, -1.0), upper(before.entries, 1.0);
  lower.insert(lower.end(), {-0.25, -2.0});
  upper.insert(upper.end(), {0.5, 3.0});
  EXPECT_EQ(m.lower_position_limit, lower);
  EXPECT_EQ(m.upper_position_limit, upper);
}

INSTANTIATE_TEST_SUITE_P(Kinds, UrdfLimitsAfterJoint,
                         ::testing::Values(LimitCase{"continuous", 1}, LimitCase{"planar", 3},
                                           LimitCase{"floating", 6}, LimitCase{"spherical", 3}),
                         [](const ::testing::TestParamInfo<LimitCase>& p) { return std::string(p.param.type); });

TEST(UrdfBuilder, AbsentElementsTakeDefaults) {
  const Model m = parse_urdf_from_string(robot(link("a") + link("b") + joint("c", "continuous", "a", "b")));
  EXPECT_EQ(m.joints[1].axis, Vec3(1, 0, 0));
  EXPECT_EQ(m.placements[1].translation, Vec3::Zero());
  EXPECT_EQ(m.placements[1].rotation, Mat3::Identity());
  EXPECT_EQ(m.lower_position_limit, (std::vector<double>{0.0}));
  EXPECT_EQ(m.upper_position_limit, (std::vector<double>{0.0}));
  EXPECT_EQ(m.nq, 2u);
  EXPECT_EQ(m.inertias[1], Inertia::zero());
}

// An <axis> element without xyz means the x axis, as no <axis> element does;
// the joint then moves about / along x.
class UrdfAxisWithoutXyz : public ::testing::TestWithParam<const char*> {};

TEST_P(UrdfAxisWithoutXyz, MeansUnitX) {
  for (const char* element : {"<axis/>", "<axis></axis>", ""}) {
    const Model m = parse_urdf_from_string(
        robot(link("a") + link("b") + joint("j", GetParam(), "a", "b", element)));
    EXPECT_EQ(m.joints[1].axis, Vec3(1, 0, 0)) << "'" << element << "'";
    EXPECT_EQ(m.unit_axes[1], Vec3(1, 0, 0)) << "'" << element << "'";
    Data d(m);
    VectorX q = neutral(m);
    VectorX v = VectorX::Zero(static_cast<Eigen::Index>(m.nv));
    v[0] = 0.5;
    forward_kinematics(m, d, integrate(m, q, v));
    const SE3& x = d.omi[1];
    if (m.joints[1].joint_type == JointType::Prismatic) {
      EXPECT_EQ(x.translation, Vec3(0.5, 0, 0)) << "'" << element << "'";
    } else {
      // 0.5 rad about x: x stays fixed, y turns towards z.
      EXPECT_TRUE(x.rotation.col(0).isApprox(Vec3(1, 0, 0), 1e-15)) << "'" << element << "'";
      EXPECT_TRUE(x.rotation.col(1).isApprox(Vec3(0, std::cos(0.5), std::sin(0.5)), 1e-15))
          << "'" << element << "'";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, UrdfAxisWithoutXyz,
                         ::testing::Values("revolute", "continuous", "prismatic"),
                         [](const ::testing::TestParamInfo<const char*>& p) { return std::string(p.param); });

TEST(UrdfBuilder, JointKindsAndAxes) {
  const Model m = parse_urdf_from_string(robot(
      link("a") + link("b") + link("c") + link("d") +
      joint("p", "planar", "a", "b", "<axis xyz='0 0 2'/>") +
      joint("s", "spherical", "b", "c", "<axis xyz='0 0 2'/>") +
      joint("f", "floating", "c", "d", "<axis xyz='0 0 2'/>")));
  EXPECT_EQ(m.joints[1].joint_type, JointType::Planar);
  EXPECT_EQ(m.joints[1].axis, Vec3(0, 0, 2));
  EXPECT_EQ(m.joints[2].axis, Vec3::Zero());
  EXPECT_EQ(m.joints[3].axis, Vec3::Zero());
  EXPECT_EQ(m.nq, 4u + 4u + 7u);
  EXPECT_EQ(m.nv, 3u + 3u + 6u);
}

TEST(UrdfBuilder, JointPlacementFromOrigin) {
  const Model m = parse_urdf_from_string(robot(
      link("a") + link("b") +
      joint("j", "revolute", "a", "b", "<origin xyz='1 2 3' rpy='0.1 -0.2 0.3'/><axis xyz='0 1 0'/>")));
  EXPECT_EQ(m.placements[1].translation, Vec3(1, 2, 3));
  EXPECT_TRUE(m.placements[1].rotation.isApprox(rotation_from_rpy(0.1, -0.2, 0.3), 1e-15));
}

TEST(UrdfInertia, RotatedThroughHalfAngleQuaternion) {
  urdf::LinkRecord l;
  l.mass = 3.0;
  l.inertial_origin.xyz = Vec3(0.1, 0.2, 0.3);
  l.inertial_origin.rpy = Vec3(0.4, -0.5, 1.2);
  l.ixx = 0.3;
  l.ixy = 0.01;
  l.ixz = -0.02;
  l.iyy = 0.4;
  l.iyz = 0.03;
  l.izz = 0.5;
  Mat3 iu;
  iu << 0.3, 0.01, -0.02, 0.01, 0.4, 0.03, -0.02, 0.03, 0.5;
  const Mat3 r = rotation_from_rpy(0.4, -0.5, 1.2);
  const Inertia in = convert_inertia_from_urdf(l);
  EXPECT_EQ(in.mass, 3.0);
  EXPECT_EQ(in.lever, Vec3(0.1, 0.2, 0.3));
  EXPECT_TRUE(in.rotational().isApprox(r * iu * r.transpose(), 1e-14));
  // Zero mass (either sign): the zero inertia, whatever the other values.
  for (double zero : {0.0, -0.0}) {
    l.mass = zero;
    EXPECT_EQ(convert_inertia_from_urdf(l), Inertia::zero());
  }
}

TEST(UrdfBuilder, LinksNoJointMentionsAreIgnored) {
  const Model m =
      parse_urdf_from_string(robot(link("stray", 2.0) + link("base", 1.0) + link("arm", 3.0) +
                                   link("spare") + joint("j", "revolute", "base", "arm")));
  std::vector<std::string> frames;
  for (const Frame& f : m.frames) frames.push_back(f.name);
  EXPECT_EQ(frames, (std::vector<std::string>{"universe", "base", "j", "arm"}));
  EXPECT_EQ(m.inertias[0].mass, 1.0);
  EXPECT_EQ(m.inertias[1].mass, 3.0);
  // No joints at all: the first link is the body, the others are ignored.
  const Model solo = parse_urdf_from_string(robot(link("first", 1.0) + link("second", 2.0)));
  EXPECT_EQ(solo.nframes, 2u);
  EXPECT_EQ(solo.frames[1].name, "first");
  EXPECT_EQ(solo.inertias[0].mass, 1.0);
}

// A description that would lose joints if built: a typo in a link name, a
// second tree, or a loop of joints no path from the root enters.
struct TreeCase {
  const char* label;
  std::string text;
  std::string message;
};

class UrdfTreeErrors : public ::testing::TestWithParam<TreeCase> {};

TEST_P(UrdfTreeErrors, RejectedWithTheJointAndLinksNamed) {
  const auto [message, cause] = failure([&] { parse_urdf_from_string(GetParam().text); });
  EXPECT_EQ(message, GetParam().message);
  EXPECT_EQ(cause, "");
}

// The seven-joint arm of a user's description: base, l1 .. l7, joints j1 .. j7.
std::string arm(const std::string& replace_joint = "", const std::string& by = "") {
  std::string body = link("base");
  for (int k = 1; k <= 7; ++k) body += link("l" + std::to_string(k), 1.0);
  for (int k = 1; k <= 7; ++k) {
    const std::string name = "j" + std::to_string(k);
    body += name == replace_joint
                ? by
                : joint(name, "revolute", k == 1 ? "base" : "l" + std::to_string(k - 1),
                        "l" + std::to_string(k));
  }
  return robot(body);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, UrdfTreeErrors,
    ::testing::Values(
        TreeCase{"misspelt_parent", arm("j7", joint("j7", "revolute", "lnk6", "l7")),
                 "Joint 'j7' names parent link 'lnk6', which is not declared in the URDF"},
        TreeCase{"misspelt_child", arm("j3", joint("j3", "revolute", "l2", "l33")),
                 "Joint 'j3' names child link 'l33', which is not declared in the URDF"},
        TreeCase{"parent_reported_before_child", robot(link("a") + joint("j", "fixed", "x", "y")),
                 "Joint 'j' names parent link 'x', which is not declared in the URDF"},
        TreeCase{"first_joint_in_document_order",
                 robot(link("a") + link("b") + joint("k", "fixed", "a", "gone") +
                       joint("j", "fixed", "lost", "b")),
                 "Joint 'k' names child link 'gone', which is not declared in the URDF"},
        TreeCase{
            "two_joints_to_one_missing_child",
            robot(link("a") + joint("j", "fixed", "a", "gone") + joint("k", "fixed", "a", "gone")),
            "Joint 'j' names child link 'gone', which is not declared in the URDF"},
        TreeCase{"joints_but_no_links", robot(joint("j", "fixed", "a", "b")),
                 "Joint 'j' names parent link 'a', which is not declared in the URDF"},
        TreeCase{
            "deleted_joint_splits_the_arm", arm("j4"),
            "Links 'base' and 'l4' are both root links (never the child of a joint): the links "
            "do not form a single tree"},
        TreeCase{
            "two_trees",
            robot(link("r1") + link("r2") + link("x") + link("y") +
                  joint("j1", "revolute", "r1", "x") + joint("j2", "revolute", "r2", "y")),
            "Links 'r1' and 'r2' are both root links (never the child of a joint): the links do "
            "not form a single tree"},
        TreeCase{"unmentioned_link_is_no_root",
                 robot(link("world") + link("b1") + link("b2") + link("x") + link("y") +
                       joint("j1", "fixed", "b1", "x") + joint("j2", "fixed", "b2", "y")),
                 "Links 'b1' and 'b2' are both root links (never the child of a joint): the links "
                 "do not form a single tree"},
        TreeCase{
            "detached_loop",
            robot(link("r") + link("a") + link("b") + joint("j1", "fixed", "a", "b") +
                  joint("j2", "fixed", "b", "a")),
            "Joint 'j1' cannot be reached from root link 'r' (the links above it form a loop): "
            "the links do not form a tree"},
        TreeCase{
            "joint_hanging_from_a_detached_loop",
            robot(link("r") + link("a") + link("b") + link("c") + joint("r_a", "fixed", "r", "a") +
                  joint("jc", "fixed", "b", "c") + joint("self", "fixed", "b", "b")),
            "Joint 'jc' cannot be reached from root link 'r' (the links above it form a loop): "
            "the links do not form a tree"}),
    [](const ::testing::TestParamInfo<TreeCase>& p) { return std::string(p.param.label); });

TEST(UrdfBuilder, TreeErrorsFromAFileCarryNoCause) {
  const std::string path = ::testing::TempDir() + "misspelt.urdf";
  EXPECT_EQ(parse_urdf_from_string(arm()).nq, 7u);  // the intact arm loads
  std::ofstream(path) << arm("j7", joint("j7", "revolute", "lnk6", "l7"));
  const auto [message, cause] = failure([&] { parse_urdf_file(path); });
  EXPECT_EQ(message, "Joint 'j7' names parent link 'lnk6', which is not declared in the URDF");
  EXPECT_EQ(cause, "");
}

TEST(UrdfBuilder, NoRootLink) {
  EXPECT_EQ(failure([] { parse_urdf_from_string(robot("")); }).first, "No root link found in URDF");
  EXPECT_EQ(failure([] {
              parse_urdf_from_string(robot(link("a") + link("b") + joint("j", "fixed", "b", "a") +
                                           joint("k", "fixed", "a", "b")));
            }).first,
            "No root link found in URDF");
}

TEST(UrdfBuilder, LinkGraphsThatAreNotTreesAreRejected) {
  const auto twice = failure([] {
    parse_urdf_from_string(robot(link("r") + link("a") + link("b") + link("c") +
                                 joint("j1", "fixed", "r", "a") + joint("j2", "fixed", "r", "b") +
                                 joint("j3", "fixed", "a", "c") + joint("j4", "fixed", "b", "c")));
  });
  EXPECT_EQ(twice.first,
            "Link 'c' is the child of more than one joint ('j3' and 'j4'): the links do not form a tree");
  const auto cycle = failure([] {
    parse_urdf_from_string(robot(link("r") + link("a") + link("b") + joint("j1", "fixed", "r", "a") +
                                 joint("j2", "fixed", "a", "b") + joint("j3", "fixed", "b", "a")));
  });
  EXPECT_EQ(cycle.first,
            "Link 'a' is the child of more than one joint ('j1' and 'j3'): the links do not form a tree");
}

TEST(UrdfBuilder, DeepChainBuildsIteratively) {
  constexpr int n = 5000;
  std::string body = link("l0");
  for (int k = 1; k <= n; ++k) {
    body += link("l" + std::to_string(k), 0.1) +
            joint("j" + std::to_string(k), "revolute", "l" + std::to_string(k - 1),
                  "l" + std::to_string(k), "<origin xyz='0 0 0.01'/><axis xyz='0 0 1'/>");
  }
  const auto start = std::chrono::steady_clock::now();
  const Model m = parse_urdf_from_string(robot(body));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(m.njoints, static_cast<std::size_t>(n + 1));
  EXPECT_EQ(m.parents[n], static_cast<std::size_t>(n - 1));
  EXPECT_EQ(m.supports[n].size(), static_cast<std::size_t>(n + 1));
  EXPECT_LT(seconds, 30.0);  // generous: a recursion would have crashed long before
  Data d(m);
  forward_kinematics(m, d, neutral(m));
  EXPECT_NEAR(d.omi[n].translation[2], 0.01 * n, 1e-9);
}

// ---- reader errors -------------------------------------------------------------

struct ReaderCase {
  const char* label;
  std::string text;
  std::string cause;
};

class UrdfReaderErrors : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(UrdfReaderErrors, CauseNamesElementAttributeAndValue) {
  const auto [message, cause] = failure([&] { parse_urdf_from_string(GetParam().text); });
  EXPECT_EQ(message, "Failed to parse URDF from string");
  EXPECT_EQ(cause, GetParam().cause);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, UrdfReaderErrors,
    ::testing::Values(
        ReaderCase{"xyz_count",
                   robot(link("a") + link("b") + joint("elbow", "revolute", "a", "b", "<origin xyz='0 1'/>")),
                   "joint 'elbow': origin attribute 'xyz' has 2 values, expected 3: '0 1'"},
        ReaderCase{"rpy_count",
                   robot(link("a") + link("b") + joint("e", "revolute", "a", "b", "<origin rpy='0 1 2 3'/>")),
                   "joint 'e': origin attribute 'rpy' has 4 values, expected 3: '0 1 2 3'"},
        ReaderCase{"trailing_garbage",
                   robot(link("a") + link("b") + joint("e", "revolute", "a", "b", "<limit lower='1.0abc'/>")),
                   "joint 'e': limit attribute 'lower' is not a finite number: '1.0abc'"},
        ReaderCase{"comma_decimal",
                   robot(link("a") + link("b") + joint("e", "revolute", "a", "b", "<axis xyz='1,5 0 0'/>")),
                   "joint 'e': axis attribute 'xyz' is not a finite number: '1,5 0 0'"},
        ReaderCase{"nan", robot("<link name='a'><inertial><mass value='nan'/></inertial></link>"),
                   "link 'a': mass attribute 'value' is not a finite number: 'nan'"},
        ReaderCase{"overflow", robot("<link name='a'><inertial><mass value='1e999'/></inertial></link>"),
                   "link 'a': mass attribute 'value' is not a finite number: '1e999'"},
        ReaderCase{"empty", robot("<link name='a'><inertial><mass value=''/></inertial></link>"),
                   "link 'a': mass attribute 'value' has 0 values, expected 1: ''"},
        ReaderCase{"missing_attribute",
                   robot("<link name='a'><inertial><mass value='1'/><inertia ixx='1' ixy='0' ixz='0' "
                         "iyy='1' iyz='0'/></inertial></link>"),
                   "link 'a': inertia is missing attribute 'izz'"},
        ReaderCase{"unknown_type", robot(link("a") + link("b") + joint("e", "hinge", "a", "b")),
                   "joint 'e': joint attribute 'type' is not a known joint type: 'hinge'"},
        ReaderCase{"missing_type",
                   robot(link("a") + "<joint name='e'><parent link='a'/><child link='b'/></joint>"),
                   "joint 'e': joint is missing attribute 'type'"},
        ReaderCase{"no_parent",
                   robot(link("a") + "<joint name='e' type='fixed'><child link='b'/></joint>"),
                   "joint 'e': joint has no <parent> element"},
        ReaderCase{"no_child_link",
                   robot(link("a") + "<joint name='e' type='fixed'><parent link='a'/><child/></joint>"),
                   "joint 'e': child is missing attribute 'link'"},
        ReaderCase{"unnamed_link", robot("<link/>"), "link number 1 has no attribute 'name'"},
        ReaderCase{"wrong_root", "<robots name='r'/>", "root element is <robots>, expected <robot>"},
        ReaderCase{"not_xml", "not xml <<<", "XML error at offset 9: Could not determine tag type"}),
    [](const ::testing::TestParamInfo<ReaderCase>& p) { return std::string(p.param.label); });

TEST(UrdfReader, NumbersAcceptWhitespaceAndSigns) {
  const Model m = parse_urdf_from_string(robot(
      link("a") + link("b") +
      joint("e", "revolute", "a", "b", "<origin xyz='  +1.5\t-2e-1\n 3 ' rpy='0 0 0'/>")));
  EXPECT_EQ(m.placements[1].translation, Vec3(1.5, -0.2, 3.0));
}

TEST(UrdfReader, IndependentOfTheProcessLocale) {
  const char* comma_locales[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "fr_FR"};
  const char* chosen = nullptr;
  for (const char* name : comma_locales) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      chosen = name;
      break;
    }
  }
  if (chosen == nullptr) GTEST_SKIP() << "no comma-decimal locale installed on this machine";
  const Model m = parse_urdf_from_string(
      robot(link("a") + link("b") + joint("e", "revolute", "a", "b", "<origin xyz='1.5 0 0'/>")));
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(m.placements[1].translation[0], 1.5);
}

TEST(UrdfReader, EntityDeclarationsAreNotExpanded) {
  std::string doc = "<?xml version='1.0'?><!DOCTYPE robot [<!ENTITY a 'aaaaaaaaaa'>";
  for (int k = 1; k < 10; ++k) {
    doc += "<!ENTITY a" + std::to_string(k) + " '";
    for (int r = 0; r < 10; ++r) doc += "&a" + (k == 1 ? std::string() : std::to_string(k - 1)) + ";";
    doc += "'>";
  }
  doc += "]><robot name='&a9;'><link name='base'/></robot>";
  const auto [message, cause] = failure([&] {
    const Model m = parse_urdf_from_string(doc);
    EXPECT_LT(m.name.size(), 64u);  // if it parses at all, nothing was expanded
  });
  if (message != "<no error>") {
    EXPECT_EQ(message, "Failed to parse URDF from string");
  }
}

TEST(UrdfFile, ErrorsNameThePathAndTheCause) {
  const auto missing = failure([] { parse_urdf_file("/nonexistent/robot.urdf"); });
  EXPECT_EQ(missing.first, "Failed to parse URDF file: /nonexistent/robot.urdf");
  EXPECT_EQ(missing.second, "No such file or directory");
  const auto dir = failure([] { parse_urdf_file("/tmp"); });
  EXPECT_EQ(dir.first, "Failed to parse URDF file: /tmp");
  EXPECT_EQ(dir.second, "Is a directory");
}

TEST(UrdfFile, VerboseReport) {
  const std::string path = ::testing::TempDir() + "verbose.urdf";
  std::ofstream(path) << robot(link("base", 2.0) + link("arm", 1.0) +
                                   joint("shoulder", "revolute", "base", "arm",
                                         "<limit lower='-1' upper='1'/>"),
                               "demo");
  ::testing::internal::CaptureStdout();
  const Model m = parse_urdf_file(path, true);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(m.njoints, 2u);
  for (const std::string& piece :
       {"Loading URDF file: " + path + "\n", std::string("Successfully parsed URDF: demo\n"),
        std::string("Root link: base\n"), std::string("Adding root link: base (mass: 2.000 kg)\n"),
        std::string("\nAdding Body\n\"arm\" connected to parent through joint \"shoulder\"\n"),
        std::string("joint type: Revolute\n"), std::string("joint placement:\n  R = "),
        std::string("  position limits: [-1.0000, 1.0000]\n"), std::string("body info:\n  mass: 1\n"),
        std::string("  inertia elements (Ixx,Iyx,Iyy,Izx,Izy,Izz): [0.1000, 0.0000, 0.1000, 0.0000, "
                    "0.0000, 0.1000]\n"),
        std::string("\n\xe2\x9c\x93 Model construction complete!\n  Total joints: 2\n  Total DOF: 1\n")}) {
    EXPECT_NE(out.find(piece), std::string::npos) << piece;
  }
}

// ---- bundled models --------------------------------------------------------------

struct Bundled {
  const char* name;
  std::size_t njoints, nq, nv;
};

class BundledModels : public ::testing::TestWithParam<Bundled> {};

TEST_P(BundledModels, LoadWithPhysicalInertias) {
  const Bundled& b = GetParam();
  const Model m = parse_urdf_file(std::string(TRELVAR_MODELS_DIR) + "/" + b.name + ".urdf");
  EXPECT_EQ(m.name, b.name);
  EXPECT_EQ(m.njoints, b.njoints);
  EXPECT_EQ(m.nq, b.nq);
  EXPECT_EQ(m.nv, b.nv);
  EXPECT_EQ(m.nframes, 2 * m.njoints);
  double total = 0.0;
  for (const Inertia& in : m.inertias) {
    total += in.mass;
    if (in.mass == 0.0) continue;
    const Eigen::SelfAdjointEigenSolver<Mat3> eig(in.rotational());
    const Vec3 p = eig.eigenvalues();
    EXPECT_GT(p.minCoeff(), 0.0);
    EXPECT_GE(p[0] + p[1], p[2] * (1 - 1e-9));
    EXPECT_GE(p[0] + p[2], p[1] * (1 - 1e-9));
    EXPECT_GE(p[1] + p[2], p[0] * (1 - 1e-9));
  }
  EXPECT_GT(total, 0.0);
  Data d(m);
  compute_all_terms(m, d, neutral(m), VectorX::Zero(static_cast<Eigen::Index>(m.nv)));
  EXPECT_NEAR(d.mass[0], total - m.inertias[0].mass, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Models, BundledModels,
                         ::testing::Values(Bundled{"arm7", 9, 7, 7}, Bundled{"arm6", 8, 6, 6},
                                           Bundled{"quadruped", 18, 19, 18},
                                           Bundled{"humanoid", 36, 37, 36},
                                           Bundled{"chain_8", 9, 8, 8},
                                           Bundled{"chain_256", 257, 256, 256}),
                         [](const ::testing::TestParamInfo<Bundled>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace trelvar

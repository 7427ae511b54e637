// The internal spatial layer and joint kinds: articulated inertias against the
// rigid-body operations they extend, the joint-kind operations against the
// dense motion subspace, and every fast form against the general form it
// stands for.
#include <gtest/gtest.h>

#include <Eigen/LU>
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "joint_kinds.hpp"
#include "sample_models.hpp"
#include "spatial/articulated_inertia.hpp"
#include "spatial/inertia.hpp"
#include "spatial/motion.hpp"
#include "spatial/rotation.hpp"

namespace trelvar::detail {
namespace {

Vec6 as_vec6(const Motion<>& m) {
  Vec6 out;
  store(out, m);
  return out;
}
Vec6 as_vec6(const Force<>& f) {
  Vec6 out;
  store(out, f);
  return out;
}

Motion<> random_motion(std::mt19937& rng) {
  std::normal_distribution<double> n;
  return {Vec3(n(rng), n(rng), n(rng)), Vec3(n(rng), n(rng), n(rng))};
}
Force<> random_force(std::mt19937& rng) {
  const Motion<> m = random_motion(rng);
  return {m.w, m.v};
}

// A general articulated inertia: a few bodies summed, one joint projected out.
ArticulatedInertia random_articulated(std::mt19937& rng) {
  ArticulatedInertia ia = articulated(samples::random_inertia(rng));
  ia += act(samples::random_placement(rng), articulated(samples::random_inertia(rng)));
  const UnitAxis axis{Vec3::UnitZ(), 2};
  const JointColumns u = times_subspace(JointType::Revolute, axis, ia);
  const JointMatrix d = project_columns(JointType::Revolute, axis, u);
  ArticulatedInertia out = ia;
  subtract_projection(out, u, d.inverse());
  out += articulated(samples::random_inertia(rng));
  return out;
}

void expect_near(const Mat6& a, const Mat6& b, double tol) {
  EXPECT_LE((a - b).cwiseAbs().maxCoeff(), tol * (1.0 + b.cwiseAbs().maxCoeff())) << a << "\n\n"
                                                                                  << b;
}
void expect_near(const Vec6& a, const Vec6& b, double tol) {
  EXPECT_LE((a - b).cwiseAbs().maxCoeff(), tol * (1.0 + b.cwiseAbs().maxCoeff()))
      << a.transpose() << "\n"
      << b.transpose();
}

TEST(ArticulatedInertia, OfARigidBodyActsAsTheBody) {
  std::mt19937 rng(1);
  for (int k = 0; k < 20; ++k) {
    const Inertia in = samples::random_inertia(rng);
    const Motion<> m = random_motion(rng);
    const ArticulatedInertia ia = articulated(in);
    expect_near(as_vec6(ia * m), as_vec6(in * m), 1e-14);
    expect_near(ia.m, ia.m.transpose(), 1e-15);
    // Its matrix is the rigid 6x6 matrix with the halves exchanged.
    const Mat6 y = in.to_matrix6();
    Mat6 swapped;
    swapped << y.bottomRightCorner<3, 3>(), y.bottomLeftCorner<3, 3>(), y.topRightCorner<3, 3>(),
        y.topLeftCorner<3, 3>();
    expect_near(ia.m, swapped, 1e-14);
  }
}

TEST(ArticulatedInertia, ChangeOfFrameMatchesTheRigidBodyAndTheTransforms) {
  std::mt19937 rng(2);
  for (int k = 0; k < 20; ++k) {
    const SE3 x = samples::random_placement(rng, 1.0);
    const Inertia in = samples::random_inertia(rng);
    // X* I X^-1 of a rigid body is the body's inertia in the parent frame.
    expect_near(act(x, articulated(in)).m, articulated(act(x, in)).m, 1e-13);
    // For any articulated inertia: (X* Ia X^-1)(X m) = X* (Ia m), and act_inv
    // undoes act.
    const ArticulatedInertia ia = random_articulated(rng);
    const Motion<> m = random_motion(rng);
    expect_near(as_vec6(act(x, ia) * act(x, m)), as_vec6(act(x, ia * m)), 1e-12);
    expect_near(as_vec6(act_inv(x, ia) * act_inv(x, m)), as_vec6(act_inv(x, ia * m)), 1e-12);
    expect_near(act_inv(x, act(x, ia)).m, ia.m, 1e-12);
    const Mat6 moved = act(x, ia).m;
    expect_near(moved, moved.transpose(), 1e-14);
  }
}

// Ia times a subspace column with one zero half, and the rank-one projection,
// against the dense product and the general projection; Ia^a S = 0.
TEST(ArticulatedInertia, OneCoordinateFormsMatchTheGeneralForms) {
  std::mt19937 rng(7);
  const Vec3 tilted = Vec3(0.3, -0.5, 0.8).normalized();
  const Vec3 minus_y = -Vec3::UnitY();
  const Vec3 plus_x = Vec3::UnitX();
  const UnitAxis axes[] = {{tilted, -1}, {minus_y, 1}, {plus_x, 0}};
  for (const UnitAxis& axis : axes) {
    const ArticulatedInertia ia = random_articulated(rng);
    const Vec3& u = axis.u;
    EXPECT_EQ(as_vec6(ia * AngularMotion<UnitAxis>{axis}), as_vec6(ia * Motion<>{u, Vec3::Zero()}))
        << u.transpose();
    expect_near(as_vec6(ia * LinearMotion<UnitAxis>{axis}),
                as_vec6(ia * Motion<>{Vec3::Zero(), u}), 1e-15);
    for (const JointType type : {JointType::Revolute, JointType::Prismatic}) {
      const JointColumns cols = times_subspace(type, axis, ia);
      const JointMatrix d = project_columns(type, axis, cols);
      ArticulatedInertia general = ia, one = ia;
      subtract_projection(general, cols, d.inverse());
      const Force<> col{cols.col(0).head<3>(), cols.col(0).tail<3>()};
      subtract_projection(one, col, 1.0 / d(0, 0));
      expect_near(one.m, general.m, 1e-14);
      expect_near(as_vec6(one * subspace_column(type, axis, 0)), Vec6::Zero(), 1e-13);
      // Moved to a parent with the projection folded in (W = X* U in the
      // parent frame), and without: the parent's sum of the moved Ia^a.
      const SE3 x = samples::random_placement(rng, 1.0);
      const Mat6 start = random_articulated(rng).m;
      Mat6 folded = start, plain = start;
      add_act(folded, x, ia, act(x, col), 1.0 / d(0, 0));
      add_act(plain, x, general);
      expect_near(folded, start + act(x, general).m, 1e-12);
      expect_near(plain, folded, 1e-12);
    }
  }
}

// The force transform of X = (R, t) as a dense 6x6 matrix (angular rows
// first): [R, [t]x R; 0, R].
Mat6 dense_force_transform(const SE3& x) {
  Mat3 skew;
  const Vec3& t = x.translation;
  skew << 0.0, -t[2], t[1], t[2], 0.0, -t[0], -t[1], t[0], 0.0;
  Mat6 out = Mat6::Zero();
  out.topLeftCorner<3, 3>() = x.rotation;
  out.topRightCorner<3, 3>() = skew * x.rotation;
  out.bottomRightCorner<3, 3>() = x.rotation;
  return out;
}

// A random symmetric positive definite 6x6 matrix, every entry non-zero.
Mat6 random_positive(std::mt19937& rng) {
  std::normal_distribution<double> n;
  Mat6 l;
  for (int k = 0; k < 36; ++k) l.data()[k] = n(rng);
  const Mat6 out = l * l.transpose() + 0.5 * Mat6::Identity();
  return 0.5 * (out + out.transpose());  // exactly symmetric
}

double largest(const Mat6& m) {
  return m.cwiseAbs().maxCoeff();
}

// The move to the parent in every placement form against the dense products
// T Ia T^T (act, add_act, add_act with the one-coordinate projection) and
// T^-1 Ia T^-T (act_inv), and its result exactly symmetric.
template <class X>
void check_moves(const X& x, const SE3& same, std::mt19937& rng) {
  std::normal_distribution<double> n;
  const Mat6 t = dense_force_transform(same);
  const Mat6 t_inv = t.inverse();
  for (int k = 0; k < 4; ++k) {
    const ArticulatedInertia ia{random_positive(rng)};
    const Mat6 start = random_positive(rng);
    const Force<> u = random_force(rng);
    const double d_inverse = 1.0 / (1.0 + std::fabs(n(rng)));
    const Vec6 u6 = as_vec6(u);

    const Mat6 moved = act(x, ia).m;
    const Mat6 dense = t * ia.m * t.transpose();
    EXPECT_LE(largest(moved - dense), 1e-13 * largest(dense));
    EXPECT_EQ(moved, moved.transpose());

    const Mat6 back = act_inv(x, ia).m;
    const Mat6 dense_back = t_inv * ia.m * t_inv.transpose();
    EXPECT_LE(largest(back - dense_back), 1e-13 * largest(dense_back));
    EXPECT_EQ(back, back.transpose());

    Mat6 sum = start;
    add_act(sum, x, ia);
    const Mat6 dense_sum = start + dense;
    EXPECT_LE(largest(sum - dense_sum), 1e-13 * largest(dense_sum));
    EXPECT_EQ(sum, sum.transpose());

    Mat6 folded = start;
    add_act(folded, x, ia, act(x, u), d_inverse);
    const Mat6 projected = ia.m - d_inverse * u6 * u6.transpose();
    const Mat6 dense_folded = start + t * projected * t.transpose();
    EXPECT_LE(largest(folded - dense_folded), 1e-13 * largest(dense_folded));
    EXPECT_EQ(folded, folded.transpose());
  }
}

TEST(ArticulatedInertia, MovesInEveryFormMatchTheDenseProduct) {
  std::mt19937 rng(8);
  std::normal_distribution<double> n;
  for (int k = 0; k < 5; ++k) {
    const SE3 general = samples::random_placement(rng, 1.0);
    SCOPED_TRACE(k);
    check_moves(general, general, rng);
    const Translation shift{{}, general.translation};
    check_moves(shift, SE3(Mat3::Identity(), general.translation), rng);
    const double angle = n(rng);
    const Vec3 t(n(rng), n(rng), n(rng));
    const AxisPlacement<0> about_x{AxisRotation<0>(std::cos(angle), std::sin(angle)), t};
    const AxisPlacement<1> about_y{AxisRotation<1>(std::cos(angle), -std::sin(angle)), t};
    const AxisPlacement<2> about_z{AxisRotation<2>(std::cos(angle), std::sin(angle)), t};
    check_moves(about_x, to_se3(about_x), rng);
    check_moves(about_y, to_se3(about_y), rng);
    check_moves(about_z, to_se3(about_z), rng);
  }
  // The identity and a turn alone.
  check_moves(SE3(), SE3(), rng);
  const SE3 turn(samples::random_placement(rng).rotation, Vec3::Zero());
  check_moves(turn, turn, rng);
}

TEST(ArticulatedInertia, SumIsTheSumOfTheForces) {
  std::mt19937 rng(3);
  const ArticulatedInertia a = random_articulated(rng), b = random_articulated(rng);
  ArticulatedInertia c = a;
  c += b;
  const Motion<> m = random_motion(rng);
  expect_near(as_vec6(c * m), as_vec6(a * m + b * m), 1e-13);
}

// Every kind, a random unit axis where the kind reads one.
struct KindCase {
  JointType type;
  Vec3 u;
};

std::vector<KindCase> every_kind() {
  std::vector<KindCase> out;
  for (const JointKindInfo& info : kJointKinds) {
    out.push_back({info.type, info.reads_axis ? Vec3(0.6, -0.48, 0.64) : Vec3::Zero()});
  }
  return out;
}

TEST(JointKinds, OperationsAgreeWithTheDenseSubspace) {
  std::mt19937 rng(4);
  std::normal_distribution<double> n;
  for (const KindCase& c : every_kind()) {
    const UnitAxis axis{c.u, -1};
    const std::size_t nv = joint_nv(c.type);
    // The dense S, angular rows first.
    Eigen::Matrix<double, 6, Eigen::Dynamic> s(6, static_cast<Eigen::Index>(nv));
    for (std::size_t k = 0; k < nv; ++k)
      s.col(static_cast<Eigen::Index>(k)) = as_vec6(subspace_column(c.type, axis, k));
    double x[6];
    for (double& e : x) e = n(rng);
    const Eigen::Map<const Eigen::VectorXd> xs(x, static_cast<Eigen::Index>(nv));
    // S x.
    expect_near(as_vec6(joint_motion(c.type, axis, x)), nv == 0 ? Vec6::Zero() : Vec6(s * xs),
                1e-15);
    // S^T F: the pairing of each column with F.
    const Force<> f = random_force(rng);
    double projected[6] = {};
    project_force(c.type, axis, f, projected);
    for (std::size_t k = 0; k < nv; ++k) {
      EXPECT_NEAR(projected[k], s.col(static_cast<Eigen::Index>(k)).dot(as_vec6(f)), 1e-14)
          << joint_type_name(c.type);
    }
    // U = Ia S and D = S^T U.
    const ArticulatedInertia ia = random_articulated(rng);
    const JointColumns u = times_subspace(c.type, axis, ia);
    ASSERT_EQ(static_cast<std::size_t>(u.cols()), nv);
    if (nv == 0) continue;
    EXPECT_LE((u - ia.m * s).cwiseAbs().maxCoeff(), 1e-12) << joint_type_name(c.type);
    const JointMatrix d = project_columns(c.type, axis, u);
    EXPECT_LE((d - s.transpose() * ia.m * s).cwiseAbs().maxCoeff(), 1e-12)
        << joint_type_name(c.type);
    // Ia - U D^-1 U^T offers no resistance along S.
    ArticulatedInertia through = ia;
    subtract_projection(through, u, d.inverse());
    EXPECT_LE((through.m * s).cwiseAbs().maxCoeff(), 1e-12) << joint_type_name(c.type);
  }
}

TEST(JointKinds, TransformAndIntegrateAgreeForTheRotationKinds) {
  // A Continuous joint at (cos t, sin t) is a Revolute joint at t, and both
  // integrate by adding the rate to the angle.
  const UnitAxis axis{Vec3(0.0, 0.6, 0.8), -1};
  const double t = 0.7, rate = -0.3;
  const double pair[2] = {std::cos(t), std::sin(t)};
  const SE3 revolute = to_se3(Revolute::transform(axis, &t));
  const SE3 continuous = to_se3(Continuous::transform(axis, pair));
  EXPECT_LE((revolute.rotation - continuous.rotation).cwiseAbs().maxCoeff(), 1e-15);
  double next_angle = 0.0, next_pair[2] = {};
  Revolute::integrate(&t, &rate, &next_angle);
  Continuous::integrate(pair, &rate, next_pair);
  EXPECT_NEAR(next_pair[0], std::cos(next_angle), 1e-15);
  EXPECT_NEAR(next_pair[1], std::sin(next_angle), 1e-15);
}

TEST(JointKinds, TableNamesEveryKindOnce) {
  for (const JointKindInfo& info : kJointKinds) {
    EXPECT_EQ(joint_kind_info(info.type), &info);
    EXPECT_EQ(joint_type_from_label(info.label), info.type);
    EXPECT_STREQ(joint_type_name(info.type), info.name);
    EXPECT_EQ(info.nv <= info.nq, true);
  }
  EXPECT_FALSE(joint_type_from_label("Revolute").has_value());
  EXPECT_FALSE(joint_type_from_label("").has_value());
  EXPECT_EQ(joint_kind_info(static_cast<JointType>(7)), nullptr);
  EXPECT_EQ(joint_nq(static_cast<JointType>(200)), 0u);
}

// ---------------------------------------------------------------------------
// Fast forms: identical values to the general form.

template <int K>
void check_axis_forms(std::mt19937& rng) {
  std::normal_distribution<double> n;
  const double angle = n(rng);
  const AxisRotation<K> r(std::cos(angle), std::sin(angle));
  const Vec3 t(n(rng), n(rng), n(rng));
  const AxisPlacement<K> fast{r, t};
  const SE3 full(r.matrix(), t);
  const Motion<> m = random_motion(rng);
  const Force<> f = random_force(rng);
  EXPECT_EQ(as_vec6(act(fast, m)), as_vec6(act(full, m)));
  EXPECT_EQ(as_vec6(act_inv(fast, m)), as_vec6(act_inv(full, m)));
  EXPECT_EQ(as_vec6(act(fast, f)), as_vec6(act(full, f)));
  EXPECT_EQ(as_vec6(act_inv(fast, f)), as_vec6(act_inv(full, f)));
  const Mat3 a = samples::random_placement(rng).rotation;
  EXPECT_EQ(matmul(a, r), matmul(a, r.matrix()));
  // m x (s e_K, 0) against the dense cross product.
  const double s = n(rng);
  Motion<> dense_axis = zero_motion();
  dense_axis.w[K] = s;
  EXPECT_EQ(as_vec6(cross(m, AxisMotion<K>{s})), as_vec6(cross(m, dense_axis)));
  Motion<> sum = m;
  sum += AxisMotion<K>{s};
  EXPECT_EQ(as_vec6(sum), as_vec6(m + dense_axis));
  // Articulated inertias moved through the axis form.
  const ArticulatedInertia ia = random_articulated(rng);
  EXPECT_EQ(act(fast, ia).m, act(full, ia).m);
  EXPECT_EQ(act_inv(fast, ia).m, act_inv(full, ia).m);
  const Force<> u = random_force(rng);
  Mat6 parent_fast = random_articulated(rng).m;
  Mat6 parent_full = parent_fast;
  add_act(parent_fast, fast, ia, act(fast, u), 0.7);
  add_act(parent_full, full, ia, act(full, u), 0.7);
  EXPECT_EQ(parent_fast, parent_full);
}

TEST(FastForms, AxisRotationsGiveTheFullProducts) {
  std::mt19937 rng(5);
  for (int k = 0; k < 10; ++k) {
    check_axis_forms<0>(rng);
    check_axis_forms<1>(rng);
    check_axis_forms<2>(rng);
  }
}

TEST(FastForms, PairsGiveEachValueAlone) {
  std::mt19937 rng(6);
  for (int k = 0; k < 10; ++k) {
    const SE3 x = samples::random_placement(rng, 1.0);
    const Inertia in = samples::random_inertia(rng);
    const Motion<> a = random_motion(rng), b = random_motion(rng);
    const Force<> f = random_force(rng), g = random_force(rng);
    const MotionPair ab = pair(a, b);
    const ForcePair fg = pair(f, g);
    // The generic forms on pairs against the (differently grouped) forms on
    // one value.
    const MotionPair moved = act_inv(x, ab);
    EXPECT_EQ(as_vec6(first(moved)), as_vec6(act_inv(x, a)));
    EXPECT_EQ(as_vec6(second(moved)), as_vec6(act_inv(x, b)));
    const MotionPair there = act(x, ab);
    EXPECT_EQ(as_vec6(first(there)), as_vec6(act(x, a)));
    EXPECT_EQ(as_vec6(second(there)), as_vec6(act(x, b)));
    const ForcePair forces = act(x, fg);
    EXPECT_EQ(as_vec6(first(forces)), as_vec6(act(x, f)));
    EXPECT_EQ(as_vec6(second(forces)), as_vec6(act(x, g)));
    const ForcePair back = act_inv(x, fg);
    EXPECT_EQ(as_vec6(second(back)), as_vec6(act_inv(x, g)));
    const ForcePair momenta = in * ab;
    EXPECT_EQ(as_vec6(first(momenta)), as_vec6(in * a));
    EXPECT_EQ(as_vec6(second(momenta)), as_vec6(in * b));
  }
}

TEST(FastForms, UnitAxisColumnAndTranslation) {
  std::mt19937 rng(7);
  const SE3 x = samples::random_placement(rng, 1.0);
  for (int k = 0; k < 3; ++k) {
    for (double sign : {1.0, -1.0}) {
      Vec3 u = Vec3::Zero();
      u[k] = sign;
      const Motion<> fast = act(x, AngularMotion<UnitAxis>{UnitAxis{u, k}});
      const Motion<> general = act(x, Motion<>{u, Vec3::Zero()});
      EXPECT_LE((as_vec6(fast) - as_vec6(general)).cwiseAbs().maxCoeff(), 0.0);
      const Motion<> slide = act(x, LinearMotion<UnitAxis>{UnitAxis{u, k}});
      EXPECT_LE((as_vec6(slide) - as_vec6(act(x, Motion<>{Vec3::Zero(), u}))).cwiseAbs().maxCoeff(),
                0.0);
    }
  }
  const Motion<> m = random_motion(rng);
  const Translation shift{{}, x.translation};
  EXPECT_EQ(as_vec6(act_inv(shift, m)), as_vec6(act_inv(SE3(Mat3::Identity(), x.translation), m)));
}


// Error of x against the long double reference, in units of the last place of
// the reference as a double.
double ulps(double x, long double ref) {
  const double r = static_cast<double>(ref);
  const double ulp = std::nextafter(std::fabs(r), HUGE_VAL) - std::fabs(r);
  return static_cast<double>(std::fabs(static_cast<long double>(x) - ref) / ulp);
}

TEST(SineCosine, WithinOneUnitInTheLastPlaceAndTheSameFourAtATime) {
  std::mt19937 rng(11);
  std::vector<double> angles = {0.0, -0.0, 1e-300, -4.9e-324, 0.25, M_PI / 4, M_PI / 2, M_PI,
                                -M_PI / 2, 3 * M_PI / 2, 2 * M_PI, 99999.9, -99999.9};
  // Across the quadrants of several windings, and the doubles nearest to
  // multiples of pi/2 (where r is tiny and the reduction must keep its bits).
  for (int j = -40; j <= 40; ++j) {
    const double m = j * M_PI / 2;
    angles.insert(angles.end(), {m, std::nextafter(m, 1e9), std::nextafter(m, -1e9), m + 0.3, m - 0.7});
  }
  for (const double range : {1.0, 10.0, 1e3, 1e5}) {
    std::uniform_real_distribution<double> u(-range, range);
    for (int k = 0; k < 20000; ++k) angles.push_back(u(rng));
  }
  double worst = 0.0;
  for (const double x : angles) {
    double s, c;
    sin_cos(x, s, c);
    worst = std::max({worst, ulps(s, std::sin(static_cast<long double>(x))),
                      ulps(c, std::cos(static_cast<long double>(x)))});
  }
  EXPECT_LE(worst, 1.0);
  EXPECT_GT(worst, 0.0);  // the reference really is more precise than a double
  // The vector form gives the scalar form's values, whatever the lane.
  for (std::size_t k = 0; k + 4 <= angles.size(); k += 3) {
    double s[4], c[4];
    sin_cos(&angles[k], s, c);
    for (int j = 0; j < 4; ++j) {
      double sj, cj;
      sin_cos(angles[k + j], sj, cj);
      ASSERT_EQ(s[j], sj) << angles[k + j];
      ASSERT_EQ(c[j], cj) << angles[k + j];
    }
  }
}

TEST(SineCosine, LargeAndNonFiniteAnglesAsTheCLibrary) {
  const double inf = std::numeric_limits<double>::infinity();
  const double x[4] = {1e5 + 1.0, -3e17, inf, std::nan("")};
  double s[4], c[4];
  sin_cos(x, s, c);
  for (int j = 0; j < 2; ++j) {
    EXPECT_EQ(s[j], std::sin(x[j]));
    EXPECT_EQ(c[j], std::cos(x[j]));
  }
  for (int j = 2; j < 4; ++j) {
    EXPECT_TRUE(std::isnan(s[j]) && std::isnan(c[j]));
    double sj, cj;
    sin_cos(x[j], sj, cj);
    EXPECT_TRUE(std::isnan(sj) && std::isnan(cj));
  }
}

}  // namespace
}  // namespace trelvar::detail

// Derivatives of inverse dynamics: against central differences through
// integrate, and the identities they satisfy.
#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <string>

#include "sample_models.hpp"
#include "test_util.hpp"
#include "trelvar/derivatives.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/forward_dynamics.hpp"
#include "trelvar/kinematics.hpp"
#include "trelvar/serialization.hpp"
#include "trelvar/urdf.hpp"

namespace trelvar {
namespace {

using testing::error_of;

constexpr double kStep = 1e-6;

// d f / dq in the tangent space, column k from f at integrate(q, +-h e_k).
template <class F>
MatrixX tangent_difference(const Model& m, const VectorX& q, F&& f, double step = kStep) {
  const auto nv = static_cast<Eigen::Index>(m.nv);
  MatrixX out(nv, nv);
  for (Eigen::Index k = 0; k < nv; ++k) {
    VectorX e = VectorX::Zero(nv);
    e[k] = step;
    const VectorX plus = f(integrate(m, q, e));
    const VectorX minus = f(integrate(m, q, -e));
    out.col(k) = (plus - minus) / (2.0 * step);
  }
  return out;
}

// d f / dx for a vector argument.
template <class F>
MatrixX vector_difference(const VectorX& x, F&& f) {
  const Eigen::Index n = x.size();
  MatrixX out(n, n);
  for (Eigen::Index k = 0; k < n; ++k) {
    VectorX xp = x, xm = x;
    xp[k] += kStep;
    xm[k] -= kStep;
    out.col(k) = (f(xp) - f(xm)) / (2.0 * kStep);
  }
  return out;
}

// Largest entry of |a - b| relative to max(1, largest |b|).
double max_rel(const MatrixX& a, const MatrixX& b) {
  if (b.size() == 0) return 0.0;
  return (a - b).cwiseAbs().maxCoeff() / std::max(1.0, b.cwiseAbs().maxCoeff());
}

struct Case {
  std::string name;
  Model model;
};

Model bundled(const std::string& name) {
  return parse_urdf_file(std::string(TRELVAR_MODELS_DIR) + "/" + name + ".urdf");
}

// Every bundled model, a code-built tree and random trees with every kind,
// floating and fixed bases, non-consecutive numbering.
std::vector<std::string> case_names() {
  return {"arm7", "arm6", "quadruped", "humanoid", "tree30", "chain_8", "chain_16", "chain_32",
          "chain_64", "chain_100", "chain_128", "chain_256", "random_floating_1",
          "random_floating_2", "random_fixed_3", "random_fixed_4", "random_depth_first_5", "tree32"};
}

Model case_model(const std::string& name) {
  if (name.rfind("random", 0) == 0) {
    const unsigned seed = static_cast<unsigned>(name.back() - '0');
    std::mt19937 rng(seed);
    const bool floating = name.find("floating") != std::string::npos ||
                          name.find("depth") != std::string::npos;
    Model m = samples::random_tree(rng, 16, floating);
    if (name.find("depth") != std::string::npos) m = samples::renumber_depth_first(m);
    return m;
  }
  if (name == "tree32") return samples::tree32();
  return bundled(name);
}

class RneaDerivatives : public ::testing::TestWithParam<std::string> {};

TEST_P(RneaDerivatives, MatchCentralDifferences) {
  const Model m = case_model(GetParam());
  Data d(m), ref(m);
  std::mt19937 rng(7);
  const VectorX q = samples::random_configuration(rng, m);
  const VectorX v = samples::random_vector(rng, m.nv);
  const VectorX a = samples::random_vector(rng, m.nv);
  compute_rnea_derivatives(m, d, q, v, a);

  const MatrixX dq = tangent_difference(m, q, [&](const VectorX& x) { return VectorX(rnea(m, ref, x, v, a)); });
  const MatrixX dv = vector_difference(v, [&](const VectorX& x) { return VectorX(rnea(m, ref, q, x, a)); });
  EXPECT_LT(max_rel(d.dtau_dq, dq), 1e-6);
  EXPECT_LT(max_rel(d.dtau_dv, dv), 1e-6);
  // The derivative is not trivially zero on any of these models.
  EXPECT_GT(d.dtau_dq.cwiseAbs().maxCoeff(), 1e-3);
  EXPECT_GT(d.dtau_dv.cwiseAbs().maxCoeff(), 1e-3);
  // tau is left as rnea leaves it.
  EXPECT_LT(max_rel(d.tau, rnea(m, ref, q, v, a)), 1e-12);
}

TEST_P(RneaDerivatives, AccelerationDerivativeIsTheFullMassMatrix) {
  const Model m = case_model(GetParam());
  Data d(m), ref(m);
  std::mt19937 rng(11);
  const VectorX q = samples::random_configuration(rng, m);
  const VectorX v = samples::random_vector(rng, m.nv);
  const VectorX a = samples::random_vector(rng, m.nv);
  compute_rnea_derivatives(m, d, q, v, a);
  crba(m, ref, q);
  EXPECT_LT(max_rel(d.M, ref.get_mass_matrix()), 1e-9);
  EXPECT_EQ(d.M, d.M.transpose());
}

TEST_P(RneaDerivatives, VelocityDerivativeVanishesAtRest) {
  const Model m = case_model(GetParam());
  Data d(m);
  std::mt19937 rng(13);
  const VectorX q = samples::random_configuration(rng, m);
  const VectorX a = samples::random_vector(rng, m.nv);
  d.dtau_dv.setConstant(1.0);
  compute_rnea_derivatives(m, d, q, VectorX::Zero(static_cast<Eigen::Index>(m.nv)), a);
  EXPECT_LT(d.dtau_dv.cwiseAbs().maxCoeff(), 1e-9);
}

TEST_P(RneaDerivatives, AtRestTheConfigurationDerivativeIsTheGravityDerivative) {
  const Model m = case_model(GetParam());
  Data d(m), ref(m);
  std::mt19937 rng(17);
  const VectorX q = samples::random_configuration(rng, m);
  const VectorX zero = VectorX::Zero(static_cast<Eigen::Index>(m.nv));
  compute_rnea_derivatives(m, d, q, zero, zero);
  const MatrixX dg =
      tangent_difference(m, q, [&](const VectorX& x) { return VectorX(compute_gravity(m, ref, x)); });
  EXPECT_LT(max_rel(d.dtau_dq, dg), 1e-6);
  EXPECT_GT(dg.cwiseAbs().maxCoeff(), 1e-2);
}

INSTANTIATE_TEST_SUITE_P(Models, RneaDerivatives, ::testing::ValuesIn(case_names()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

class AbaDerivatives : public ::testing::TestWithParam<std::string> {};

TEST_P(AbaDerivatives, MatchCentralDifferences) {
  const Model m = case_model(GetParam());
  Data d(m), ref(m);
  std::mt19937 rng(19);
  const VectorX q = samples::random_configuration(rng, m);
  const VectorX v = samples::random_vector(rng, m.nv);
  const VectorX tau = samples::random_vector(rng, m.nv);
  compute_aba_derivatives(m, d, q, v, tau);

  // On the long chains (M's condition number up to 1e8) the rounding of the
  // differences at 1e-6 alone reaches about 1e-6 of the largest entry; a
  // step of 1e-5 keeps it ten times lower, the truncation error still far
  // below (seen on chain_128: 1.3e-6 at 1e-6, 1.3e-7 at 1e-5, 3.5e-8 at 1e-4).
  const double step = m.nv >= 100 ? 1e-5 : kStep;
  const MatrixX dq = tangent_difference(
      m, q, [&](const VectorX& x) { return VectorX(aba(m, ref, x, v, tau)); }, step);
  const MatrixX dv = vector_difference(v, [&](const VectorX& x) { return VectorX(aba(m, ref, q, x, tau)); });
  const MatrixX dtau = vector_difference(tau, [&](const VectorX& x) { return VectorX(aba(m, ref, q, v, x)); });
  EXPECT_LT(max_rel(d.ddq_dq, dq), 1e-6);
  EXPECT_LT(max_rel(d.ddq_dv, dv), 1e-6);
  EXPECT_LT(max_rel(d.Minv, dtau), 1e-6);
  EXPECT_GT(d.ddq_dq.cwiseAbs().maxCoeff(), 1e-3);
  EXPECT_GT(d.ddq_dv.cwiseAbs().maxCoeff(), 1e-3);
  // ddq comes from aba's own stages, run in the sweeps of the M^-1 pass:
  // the same operations on the same numbers, whatever the conditioning of M
  // (the long chains reach 1e8).
  EXPECT_LT(max_rel(d.ddq, aba(m, ref, q, v, tau)), 1e-14);
}

// d ddq / dq = -M^-1 d tau / dq and d ddq / dv = -M^-1 d tau / dv at
// (q, v, ddq), with M and the derivatives of tau from the other functions.
TEST_P(AbaDerivatives, AreTheInverseDynamicsDerivativesSolvedByTheMassMatrix) {
  const Model m = case_model(GetParam());
  Data d(m), ref(m);
  std::mt19937 rng(23);
  const VectorX q = samples::random_configuration(rng, m);
  const VectorX v = samples::random_vector(rng, m.nv);
  const VectorX tau = samples::random_vector(rng, m.nv);
  compute_aba_derivatives(m, d, q, v, tau);
  const VectorX ddq = aba(m, ref, q, v, tau);
  compute_rnea_derivatives(m, ref, q, v, ddq);
  const MatrixX dtau_dq = ref.dtau_dq, dtau_dv = ref.dtau_dv;
  crba(m, ref, q);
  const MatrixX mass = ref.get_mass_matrix();
  // What the inverse loses to the conditioning of M past 1e6 (the long chains
  // reach 1e8) the products lose too: the bound grows with it.
  const Eigen::SelfAdjointEigenSolver<MatrixX> eig(mass);
  const double tol = 1e-9 * std::max(1.0, eig.eigenvalues().maxCoeff() / eig.eigenvalues().minCoeff() / 1e6);
  EXPECT_LT(max_rel(d.Minv * mass, MatrixX::Identity(mass.rows(), mass.cols())), tol);
  EXPECT_LT(max_rel(mass * d.ddq_dq, -dtau_dq), tol);
  EXPECT_LT(max_rel(mass * d.ddq_dv, -dtau_dv), tol);
  EXPECT_EQ(d.Minv, d.Minv.transpose());
}

INSTANTIATE_TEST_SUITE_P(Models, AbaDerivatives, ::testing::ValuesIn(case_names()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

// A point mass m on a revolute joint about x, at (0, l, 0) for q = 0, under
// gravity -g z: its height is l sin q, so tau = m l^2 qdd + m g l cos q.
TEST(RneaDerivativesValues, Pendulum) {
  Model m;
  const double mass = 2.0, l = 0.5, g = 9.81;
  samples::add_body(m, 0, Joint::create(JointType::Revolute, Vec3::UnitX()), SE3::identity(),
                    Inertia::from_matrix(mass, Vec3(0.0, l, 0.0), Mat3::Zero()), "pendulum");
  Data d(m);
  const double q0 = 0.3;
  VectorX q(1), v(1), a(1);
  q << q0;
  v << 1.7;
  a << -0.4;
  compute_rnea_derivatives(m, d, q, v, a);
  EXPECT_NEAR(d.tau[0], mass * l * l * a[0] + mass * g * l * std::cos(q0), 1e-12);
  EXPECT_NEAR(d.dtau_dq(0, 0), -mass * g * l * std::sin(q0), 1e-12);
  EXPECT_NEAR(d.dtau_dv(0, 0), 0.0, 1e-12);
  EXPECT_NEAR(d.M(0, 0), mass * l * l, 1e-12);
}

// Checks first: a failed call leaves every buffer as it was.
TEST(RneaDerivativesChecks, WrongInputsThrowAndLeaveDataUnchanged) {
  const Model m = samples::arm7();
  Data d(m);
  std::mt19937 rng(3);
  const VectorX q = samples::random_configuration(rng, m);
  const VectorX v = samples::random_vector(rng, m.nv);
  compute_rnea_derivatives(m, d, q, v, v);
  const MatrixX dq = d.dtau_dq, dv = d.dtau_dv, mm = d.M;
  const VectorX q2 = samples::random_configuration(rng, m);
  EXPECT_EQ(error_of([&] { compute_rnea_derivatives(m, d, q2.head(6), v, v); }),
            "Configuration vector size mismatch: expected 7, got 6");
  EXPECT_EQ(error_of([&] { compute_rnea_derivatives(m, d, q2, v.head(6), v); }),
            "Velocity vector size mismatch: expected 7, got 6");
  EXPECT_EQ(error_of([&] { compute_rnea_derivatives(m, d, q2, v, v.head(3)); }),
            "Acceleration vector size mismatch: expected 7, got 3");
  Data other(samples::chain(3));
  EXPECT_NE(error_of([&] { compute_rnea_derivatives(m, other, q2, v, v); }).find("Data does not match"),
            std::string::npos);
  EXPECT_EQ(d.dtau_dq, dq);
  EXPECT_EQ(d.dtau_dv, dv);
  EXPECT_EQ(d.M, mm);
}

// A massless leaf on a moving joint: aba fails, and so does the derivatives
// call, leaving every result as it was.
TEST(AbaDerivativesChecks, FailuresLeaveDataUnchanged) {
  Model m = samples::arm7();
  Data d(m);
  std::mt19937 rng(29);
  const VectorX q = samples::random_configuration(rng, m);
  const VectorX v = samples::random_vector(rng, m.nv);
  compute_aba_derivatives(m, d, q, v, v);
  const MatrixX dq = d.ddq_dq, dv = d.ddq_dv, minv = d.Minv, dtau = d.dtau_dq;
  const VectorX ddq = d.ddq;
  const VectorX q2 = samples::random_configuration(rng, m);
  EXPECT_EQ(error_of([&] { compute_aba_derivatives(m, d, q2, v, v.head(5)); }),
            "Torque vector size mismatch: expected 7, got 5");
  EXPECT_EQ(error_of([&] { compute_aba_derivatives(m, d, q2.head(3), v, v); }),
            "Configuration vector size mismatch: expected 7, got 3");
  VectorX bad = v;
  bad[2] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_NE(error_of([&] { compute_aba_derivatives(m, d, q2, bad, v); }), "<no error>");

  Model leaf = samples::chain(3);
  leaf.inertias[3] = Inertia::zero();
  Data dl(leaf);
  const VectorX ql = VectorX::Constant(3, 0.2), vl = VectorX::Constant(3, 0.1);
  dl.ddq.setConstant(4.0);
  EXPECT_NE(error_of([&] { compute_aba_derivatives(leaf, dl, ql, vl, vl); }).find("singular"),
            std::string::npos);
  EXPECT_EQ(dl.ddq, VectorX::Constant(3, 4.0));
  EXPECT_EQ(dl.ddq_dq, MatrixX::Zero(3, 3));

  EXPECT_EQ(d.ddq_dq, dq);
  EXPECT_EQ(d.ddq_dv, dv);
  EXPECT_EQ(d.Minv, minv);
  EXPECT_EQ(d.ddq, ddq);
  EXPECT_EQ(d.dtau_dq, dtau);
}

// Whatever makes aba fail makes the derivatives call fail with aba's message,
// whichever way the call reaches it, and leaves the whole Data as it was;
// where aba succeeds, so does the call, with aba's ddq (to rounding).
struct AbaFailure {
  std::string name;
  std::string model;  // a bundled model, or "leaf": a chain whose last body has no mass
  std::function<void(VectorX& q, VectorX& v, VectorX& tau)> spoil;
};

void PrintTo(const AbaFailure& c, std::ostream* os) {
  *os << c.name;
}

class AbaDerivativesFailures : public ::testing::TestWithParam<AbaFailure> {};

TEST_P(AbaDerivativesFailures, FailAsAbaAndChangeNothing) {
  const AbaFailure& c = GetParam();
  Model m;
  if (c.model == "leaf") {
    m = samples::chain(3);
    m.inertias[3] = Inertia::zero();
  } else {
    m = bundled(c.model);
  }
  Data d(m), ref(m);
  std::mt19937 rng(31);
  VectorX q = samples::random_configuration(rng, m);
  VectorX v = samples::random_vector(rng, m.nv);
  VectorX tau = samples::random_vector(rng, m.nv);
  // Results of another state in the Data, so that a result of this one
  // would show.
  if (c.model != "leaf") compute_aba_derivatives(m, d, integrate(m, q, v), v, tau);
  d.ddq.setConstant(4.0);
  c.spoil(q, v, tau);
  const std::string before = serialize(d);
  const std::string expected = error_of([&] { aba(m, ref, q, v, tau); });
  const std::string got = error_of([&] { compute_aba_derivatives(m, d, q, v, tau); });
  EXPECT_EQ(got, expected);
  if (expected == "<no error>") {
    EXPECT_LT(max_rel(d.ddq, ref.ddq), 1e-12);
  } else {
    EXPECT_EQ(serialize(d), before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, AbaDerivativesFailures,
    ::testing::Values(
        AbaFailure{"nan_configuration", "humanoid",
                   [](VectorX& q, VectorX&, VectorX&) {
                     q[9] = std::numeric_limits<double>::quiet_NaN();
                   }},
        AbaFailure{"nan_base_position", "humanoid",
                   [](VectorX& q, VectorX&, VectorX&) {
                     q[0] = std::numeric_limits<double>::quiet_NaN();
                   }},
        AbaFailure{"infinite_velocity", "humanoid",
                   [](VectorX&, VectorX& v, VectorX&) {
                     v[2] = std::numeric_limits<double>::infinity();
                   }},
        AbaFailure{"nan_torque", "arm7",
                   [](VectorX&, VectorX&, VectorX& tau) {
                     tau[5] = std::numeric_limits<double>::quiet_NaN();
                   }},
        AbaFailure{"velocity_and_torque", "arm7",
                   [](VectorX&, VectorX& v, VectorX& tau) {
                     v[6] = std::numeric_limits<double>::infinity();
                     tau[1] = std::numeric_limits<double>::quiet_NaN();
                   }},
        AbaFailure{"huge_velocity", "humanoid",
                   [](VectorX&, VectorX& v, VectorX&) { v.setConstant(1e300); }},
        AbaFailure{"huge_torque", "humanoid",
                   [](VectorX&, VectorX&, VectorX& tau) { tau.setConstant(1e306); }},
        // M^-1 (tau - nle) overflows here, aba does not.
        AbaFailure{"large_torque", "humanoid",
                   [](VectorX&, VectorX&, VectorX& tau) { tau *= 1.2589e305; }},
        AbaFailure{"huge_torque_arm", "arm7",
                   [](VectorX&, VectorX&, VectorX& tau) { tau.setConstant(1e307); }},
        AbaFailure{"singular", "leaf", [](VectorX&, VectorX&, VectorX&) {}},
        AbaFailure{"singular_before_velocity", "leaf",
                   [](VectorX&, VectorX& v, VectorX&) {
                     v[0] = std::numeric_limits<double>::quiet_NaN();
                   }}),
    [](const ::testing::TestParamInfo<AbaFailure>& p) { return p.param.name; });

TEST(RneaDerivativesData, ResetClearsAndSizesAreChecked) {
  const Model m = samples::arm7();
  Data d(m);
  std::mt19937 rng(5);
  const VectorX q = samples::random_configuration(rng, m);
  const VectorX v = samples::random_vector(rng, m.nv);
  compute_rnea_derivatives(m, d, q, v, v);
  ASSERT_GT(d.dtau_dq.cwiseAbs().maxCoeff(), 0.0);
  d.reset();
  EXPECT_EQ(d.dtau_dq, MatrixX::Zero(7, 7));
  EXPECT_EQ(d.dtau_dv, MatrixX::Zero(7, 7));
  compute_aba_derivatives(m, d, q, v, v);
  ASSERT_GT(d.ddq_dv.cwiseAbs().maxCoeff(), 0.0);
  d.reset();
  EXPECT_EQ(d.ddq_dq, MatrixX::Zero(7, 7));
  EXPECT_EQ(d.ddq_dv, MatrixX::Zero(7, 7));
  d.dtau_dv.resize(6, 7);
  EXPECT_FALSE(d.buffers_consistent());
  EXPECT_NE(error_of([&] { compute_rnea_derivatives(m, d, q, v, v); }).find("Data buffers"),
            std::string::npos);
}

}  // namespace
}  // namespace trelvar

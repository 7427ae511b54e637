// Regression against golden values: every output of every algorithm, on the
// bundled models and random trees with every joint kind, equals the values in
// tests/cpp/golden/reference.txt.gz to 1e-13 relative. The outputs come from
// golden::model_outputs, the same function golden_dump wrote the reference
// with. When a change is meant to alter results, regenerate the reference
// with scripts/regen-golden (make golden) and say why in the commit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "golden/golden.hpp"
#include "golden/golden_file.hpp"

namespace trelvar {
namespace {

// Each value may differ from the reference by 1e-13 times the largest
// magnitude in its array, plus a tiny absolute floor for arrays that are
// exactly zero.
constexpr double kRelative = 1e-13;
constexpr double kAbsoluteFloor = 1e-15;

const golden::Reference& reference() {
  static const golden::Reference ref = golden::read_reference(TRELVAR_GOLDEN_REFERENCE);
  return ref;
}

TEST(Golden, ReferenceHoldsExactlyTheModelSet) {
  EXPECT_EQ(reference().models, golden::model_names());
}

// The random trees cover what the set promises: every kind, both axis paths,
// rotated and unrotated placements, floating and fixed bases, subtrees that
// are not numbered consecutively, a body without mass.
TEST(Golden, RandomTreesCoverTheCases) {
  std::set<JointType> kinds;
  bool floating_base = false, fixed_base = false;
  for (const golden::TreeSpec& spec : golden::tree_specs()) {
    const Model m = golden::random_tree(spec);
    bool scattered = false, aligned = false, general = false, unrotated = false, rotated = false,
         massless = false;
    for (std::size_t i = 1; i < m.njoints; ++i) {
      kinds.insert(m.joints[i].joint_type);
      scattered |= !m.subtree_is_consecutive(i);
      if (m.unit_axes[i] != Vec3::Zero()) (m.axis_index[i] >= 0 ? aligned : general) = true;
      (m.placements[i].rotation == Mat3::Identity() ? unrotated : rotated) = true;
      massless |= m.inertias[i].mass == 0.0;
    }
    EXPECT_TRUE(scattered && aligned && general && unrotated && rotated && massless) << spec.name;
    (m.joints[1].joint_type == JointType::Floating ? floating_base : fixed_base) = true;
  }
  EXPECT_EQ(kinds.size(), 7u);
  EXPECT_TRUE(floating_base && fixed_base);
}

class GoldenValues : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenValues, EveryOutputMatchesTheReference) {
  const std::string& model = GetParam();
  const golden::Reference& ref = reference();
  std::set<std::string> seen;
  int reported = 0;
  for (const golden::StateOutputs& state : golden::model_outputs(model, TRELVAR_MODELS_DIR)) {
    for (const golden::Output& out : state.outputs) {
      const std::string where = "model " + model + ", state " + state.state + ", output " + out.name;
      const std::string id = golden::key(model, state.state, out.name);
      seen.insert(id);
      const auto it = ref.values.find(id);
      if (it == ref.values.end()) {
        ADD_FAILURE() << where << ": not in the reference";
        continue;
      }
      const std::vector<double>& expected = it->second;
      if (expected.size() != out.values.size()) {
        ADD_FAILURE() << where << ": " << out.values.size() << " values, reference has "
                      << expected.size();
        continue;
      }
      double scale = 0.0;
      for (double x : expected) {
        if (std::isfinite(x)) scale = std::max(scale, std::abs(x));
      }
      const double tol = kRelative * scale + kAbsoluteFloor;
      for (std::size_t k = 0; k < expected.size(); ++k) {
        const double got = out.values[k], want = expected[k];
        const bool same = std::isfinite(want) ? std::abs(got - want) <= tol
                                              : (got == want || (std::isnan(got) && std::isnan(want)));
        if (!same && reported++ < 20) {
          ADD_FAILURE() << where << ", index " << k << " (column-major): got " << golden::format_value(got) << " ("
                        << got << "), reference " << golden::format_value(want) << " (" << want
                        << "), difference " << std::abs(got - want) << " > tolerance " << tol;
        }
      }
    }
  }
  EXPECT_LE(reported, 20) << reported - 20 << " further differences not shown";
  const std::string prefix = model + "/";
  for (auto it = ref.values.lower_bound(prefix);
       it != ref.values.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    EXPECT_EQ(seen.count(it->first), 1u) << it->first << ": in the reference, no longer computed";
  }
}

INSTANTIATE_TEST_SUITE_P(Models, GoldenValues, ::testing::ValuesIn(golden::model_names()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
}  // namespace trelvar

// The products -M^-1 X of the forward-dynamics derivatives, in both
// instruction-set versions, against Eigen's dense product: every size around
// the register blocks, right-hand sides with zero entries where either or both
// are zero, and every output entry written.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "inverse_products.hpp"

namespace trelvar::detail {
namespace {

struct Problem {
  MatrixX minv, xq, xv;
};

// A symmetric minv; xq and xv zero where a random pattern says so, and each
// also zero alone in some entries where the other is not.
Problem random_problem(std::mt19937& rng, Eigen::Index n) {
  std::uniform_real_distribution<double> value(-2.0, 2.0);
  std::uniform_int_distribution<int> pick(0, 5);
  Problem p;
  const MatrixX a = MatrixX::NullaryExpr(n, n, [&] { return value(rng); });
  p.minv = a + a.transpose();
  p.xq = MatrixX::Zero(n, n);
  p.xv = MatrixX::Zero(n, n);
  for (Eigen::Index d = 0; d < n; ++d) {
    for (Eigen::Index c = 0; c < n; ++c) {
      const int k = pick(rng);
      if (k >= 2) p.xq(c, d) = value(rng);
      if (k >= 3 || k == 1) p.xv(c, d) = value(rng);
    }
  }
  // A column zero in both.
  if (n > 2) {
    p.xq.col(1).setZero();
    p.xv.col(1).setZero();
  }
  return p;
}

using Kernel = void (*)(const MatrixX&, const MatrixX&, const MatrixX&, MatrixX&, MatrixX&,
                        std::int32_t*);

std::vector<std::pair<const char*, Kernel>> kernels() {
  std::vector<std::pair<const char*, Kernel>> out = {
      {"baseline",
       [](const MatrixX& m, const MatrixX& xq, const MatrixX& xv, MatrixX& oq, MatrixX& ov,
          std::int32_t* rows) { run_baseline_copy(SolveWithInverse{m, xq, xv, oq, ov, rows}); }},
      {"dispatched", &solve_with_inverse}};
#if TRELVAR_DISPATCH_AVX2
  if (has_avx2()) {
    out.push_back({"avx2", [](const MatrixX& m, const MatrixX& xq, const MatrixX& xv, MatrixX& oq,
                              MatrixX& ov, std::int32_t* rows) {
                     run_avx2_copy(SolveWithInverse{m, xq, xv, oq, ov, rows});
                   }});
  }
#endif
  return out;
}

class InverseProducts : public ::testing::TestWithParam<int> {};

TEST_P(InverseProducts, EqualTheDenseProducts) {
  const Eigen::Index n = GetParam();
  std::mt19937 rng(static_cast<unsigned>(n) + 101u);
  const Problem p = random_problem(rng, n);
  const MatrixX want_q = -(p.minv * p.xq), want_v = -(p.minv * p.xv);
  for (const auto& [name, kernel] : kernels()) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    MatrixX oq = MatrixX::Constant(n, n, nan), ov = MatrixX::Constant(n, n, nan);
    std::vector<std::int32_t> rows(static_cast<std::size_t>(n), -7);
    kernel(p.minv, p.xq, p.xv, oq, ov, rows.data());
    EXPECT_TRUE(oq.allFinite() && ov.allFinite()) << name;
    EXPECT_LT((oq - want_q).cwiseAbs().maxCoeff(), 1e-13 * n) << name;
    EXPECT_LT((ov - want_v).cwiseAbs().maxCoeff(), 1e-13 * n) << name;
    if (n > 2) {
      EXPECT_EQ(oq.col(1), VectorX::Zero(n)) << name;
      EXPECT_EQ(ov.col(1), VectorX::Zero(n)) << name;
    }
  }
}

// Sizes below, at and past the blocks of 4, 8 and 16 rows.
INSTANTIATE_TEST_SUITE_P(Sizes, InverseProducts,
                         ::testing::Values(1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 20, 23, 24, 27,
                                           31, 32, 33, 36, 43));

}  // namespace
}  // namespace trelvar::detail

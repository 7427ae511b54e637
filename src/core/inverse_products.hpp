// The products of the derivatives of forward dynamics (internal):
// d ddq / dq = -M^-1 d tau / dq and d ddq / dv = -M^-1 d tau / dv.
//
// Both right-hand sides have the zero entries the derivatives of tau leave
// between coordinates on different branches, at the same places. Column d of
// each output is minus the sum, over the rows c where either right-hand side
// is non-zero in column d, of x(c, d) times column c of M^-1 (the column
// stands for row c, M^-1 being symmetric): the rows c are gathered once for
// both, and each column of M^-1 read serves both sums. The sums run over a
// block of output rows at a time, kept in registers across the gathered rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "trelvar/spatial.hpp"
#include "wide_lanes.hpp"

namespace trelvar::detail {

// Rows [r, r + 4 kQuads) of both output columns (n >= 4), a quad that would
// pass row n taking the last four rows instead.
template <int kQuads>
[[gnu::always_inline]] inline void solve_block(const double* m, std::size_t n,
                                               const std::int32_t* rows, std::size_t count,
                                               const double* xq, const double* xv, double* oq,
                                               double* ov, std::size_t r) {
  std::size_t at[kQuads];
  for (int j = 0; j < kQuads; ++j) at[j] = r + 4 * j + 4 <= n ? r + 4 * j : n - 4;
  Quad sq[kQuads] = {}, sv[kQuads] = {};
  for (std::size_t k = 0; k < count; ++k) {
    const auto c = static_cast<std::size_t>(rows[k]);
    const double* mc = m + n * c;
    const double a = xq[c], b = xv[c];
    const Quad qa = {a, a, a, a}, qb = {b, b, b, b};
    for (int j = 0; j < kQuads; ++j) {
      Quad mj;
      load_wide<4>(mj, mc + at[j]);
      sq[j] += mj * qa;
      sv[j] += mj * qb;
    }
  }
  const Quad zero = {};
  for (int j = 0; j < kQuads; ++j) {
    const Quad yq = zero - sq[j], yv = zero - sv[j];
    store_wide<4>(oq + at[j], yq);
    store_wide<4>(ov + at[j], yv);
  }
}

// oq = -minv xq and ov = -minv xv; rows holds n entries of scratch. The
// output rows go in blocks of at most kMax + 1 quads (as many accumulators as
// the registers hold); fewer accumulators keep fewer sums in flight, so the
// quads are shared out between the blocks as evenly as these sizes allow. The
// last quad ends at row n, overlapping the one before where 4 does not divide
// n: the rows in both get the same values twice.
template <int kMax>
[[gnu::always_inline]] inline void solve_pair(const MatrixX& minv, const MatrixX& xq,
                                              const MatrixX& xv, MatrixX& oq, MatrixX& ov,
                                              std::int32_t* rows) {
  const auto n = static_cast<std::size_t>(minv.rows());
  const double* m = minv.data();
  const std::size_t quads = (n + 3) / 4;
  for (std::size_t d = 0; d < n; ++d) {
    const double* xqd = xq.data() + d * n;
    const double* xvd = xv.data() + d * n;
    double* oqd = oq.data() + d * n;
    double* ovd = ov.data() + d * n;
    std::size_t count = 0, row = 0;
    // Without a branch: the zero pattern follows the tree, not a predictable
    // rhythm. Four rows are tested at once (a true lane is -1).
    const Quad zero = {};
    for (; row + 4 <= n; row += 4) {
      Quad a, b;
      load_wide<4>(a, xqd + row);
      load_wide<4>(b, xvd + row);
      const auto nonzero = (a != zero) | (b != zero);
      for (int j = 0; j < 4; ++j) {
        rows[count] = static_cast<std::int32_t>(row + static_cast<std::size_t>(j));
        count -= static_cast<std::size_t>(nonzero[j]);
      }
    }
    for (; row < n; ++row) {
      rows[count] = static_cast<std::int32_t>(row);
      count += static_cast<std::size_t>((xqd[row] != 0.0) | (xvd[row] != 0.0));
    }
    if (n < 4) {
      for (std::size_t r = 0; r < n; ++r) {
        double sq = 0.0, sv = 0.0;
        for (std::size_t k = 0; k < count; ++k) {
          const auto c = static_cast<std::size_t>(rows[k]);
          sq += m[n * c + r] * xqd[c];
          sv += m[n * c + r] * xvd[c];
        }
        oqd[r] = 0.0 - sq;
        ovd[r] = 0.0 - sv;
      }
      continue;
    }
    for (std::size_t q = 0; q < quads;) {
      const std::size_t left = quads - q;
      const std::size_t size = left <= kMax + 1 ? left : left < 2 * kMax ? (left + 1) / 2 : kMax;
      const std::size_t r = 4 * q;
      switch (size) {
        case 1:
          solve_block<1>(m, n, rows, count, xqd, xvd, oqd, ovd, r);
          break;
        case 2:
          solve_block<2>(m, n, rows, count, xqd, xvd, oqd, ovd, r);
          break;
        case 3:
          solve_block<3>(m, n, rows, count, xqd, xvd, oqd, ovd, r);
          break;
        case 4:
          if constexpr (kMax >= 3) solve_block<4>(m, n, rows, count, xqd, xvd, oqd, ovd, r);
          break;
        default:
          if constexpr (kMax >= 4) solve_block<5>(m, n, rows, count, xqd, xvd, oqd, ovd, r);
          break;
      }
      q += size;
    }
  }
}

// The products as a pass of two copies (run_for_processor): the AVX2 copy
// keeps up to five quads of sums in its sixteen registers, the baseline one
// up to three.
struct SolveWithInverse {
  const MatrixX& minv;
  const MatrixX& xq;
  const MatrixX& xv;
  MatrixX& oq;
  MatrixX& ov;
  std::int32_t* rows;

  template <class Copy>
  [[gnu::always_inline]] void operator()(Copy) const {
    solve_pair<Copy::kAvx2 ? 4 : 2>(minv, xq, xv, oq, ov, rows);
  }
};

inline void solve_with_inverse(const MatrixX& minv, const MatrixX& xq, const MatrixX& xv,
                               MatrixX& oq, MatrixX& ov, std::int32_t* rows) {
  run_for_processor(SolveWithInverse{minv, xq, xv, oq, ov, rows});
}

}  // namespace trelvar::detail

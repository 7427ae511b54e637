// Many states per call: one algorithm over N stacked states, shared among the
// threads of a persistent pool, one Data per worker, results written straight
// into the caller's output rows. Row k of every output equals, bit for bit, the
// single-state function applied to row k of the inputs.
#pragma once

#include <cstddef>
#include <type_traits>

#include "trelvar/data.hpp"
#include "trelvar/model.hpp"

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar::batch {

// N rows of `cols` doubles: row k starts at data + k * stride (stride counted
// in doubles; zero or negative strides are fine for inputs). Every row is
// contiguous and aligned for double.
template <class T>
struct RowsOf {
  T* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t stride = 0;

  T* row(std::size_t k) const { return data + static_cast<std::ptrdiff_t>(k) * stride; }

  // Writable rows are readable too.
  template <class U = T, std::enable_if_t<!std::is_const_v<U>, int> = 0>
  operator RowsOf<const U>() const {
    return {data, rows, cols, stride};
  }
};
using ConstRows = RowsOf<const double>;
using Rows = RowsOf<double>;

// A dense row-major block of rows x cols doubles.
inline ConstRows rows_of(const double* data, std::size_t rows, std::size_t cols) {
  return {data, rows, cols, static_cast<std::ptrdiff_t>(cols)};
}
inline Rows rows_of(double* data, std::size_t rows, std::size_t cols) {
  return {data, rows, cols, static_cast<std::ptrdiff_t>(cols)};
}

struct Options {
  // 0: every thread of the pool; 1: the calling thread only; k: at most k
  // threads (never more than the pool has), the calling thread among them.
  std::size_t threads = 0;
};

// Number of threads of the shared pool, the calling thread counted: on first
// use, the processors this process may run on.
std::size_t pool_size();
// Resizes the shared pool (0: back to the processor count). Calls already
// running finish on the pool they started with.
void set_pool_size(std::size_t threads);

// Throws an Error unless `x` has `width` columns and, when `n` is not npos,
// `n` rows: "v has shape (99, 7), expected (N, nv) = (100, 7)"; for the first
// argument, which sets N: "q has shape (5, 6), expected (N, nq) = (N, 7)".
// Output arguments are also refused when their rows overlap.
inline constexpr std::size_t npos = static_cast<std::size_t>(-1);
void check_rows(const char* name, std::size_t rows, std::size_t cols, std::size_t n,
                std::size_t width, const char* width_name);
void check_input(const char* name, const ConstRows& x, std::size_t n, std::size_t width,
                 const char* width_name);
void check_output(const char* name, const Rows& x, std::size_t n, std::size_t width,
                  const char* width_name);

// ---------------------------------------------------------------------------
// The algorithms. q is N x nq; v, a are N x nv. Shapes are checked before any
// work; outputs must not overlap the inputs.

// tau = rnea(q_k, v_k, a_k): N x nv.
void rnea(const Model& model, const ConstRows& q, const ConstRows& v, const ConstRows& a,
          const Rows& tau, const Options& options = {});

// Non-linear effects: N x nv.
void non_linear_effects(const Model& model, const ConstRows& q, const ConstRows& v,
                        const Rows& nle, const Options& options = {});

// Generalized gravity: N x nv.
void compute_gravity(const Model& model, const ConstRows& q, const Rows& g,
                     const Options& options = {});

// The full symmetric mass matrix (Data::get_mass_matrix after crba), row k
// holding it row by row: N x (nv * nv).
void crba(const Model& model, const ConstRows& q, const Rows& mass_matrix,
          const Options& options = {});

// World placement of every joint (Data::omi after forward_kinematics) as a 4x4
// homogeneous matrix, row by row, joint after joint: N x (njoints * 16).
void forward_kinematics(const Model& model, const ConstRows& q, const Rows& placements,
                        const Options& options = {});

// The configuration reached from q_k with velocity v_k over unit time: N x nq.
void integrate(const Model& model, const ConstRows& q, const ConstRows& v, const Rows& q_next,
               const Options& options = {});

// Joint accelerations ddq = aba(q_k, v_k, tau_k): N x nv.
void aba(const Model& model, const ConstRows& q, const ConstRows& v, const ConstRows& tau,
         const Rows& ddq, const Options& options = {});

// The inverse mass matrix (Data::Minv after compute_minverse), row by row:
// N x (nv * nv).
void compute_minverse(const Model& model, const ConstRows& q, const Rows& minv,
                      const Options& options = {});

// The derivatives of inverse dynamics (Data::dtau_dq, Data::dtau_dv and the
// full Data::M after compute_rnea_derivatives), each row by row: N x (nv * nv).
void compute_rnea_derivatives(const Model& model, const ConstRows& q, const ConstRows& v,
                              const ConstRows& a, const Rows& dtau_dq, const Rows& dtau_dv,
                              const Rows& mass_matrix, const Options& options = {});

// The derivatives of forward dynamics (Data::ddq_dq, Data::ddq_dv and
// Data::Minv after compute_aba_derivatives), each row by row: N x (nv * nv).
void compute_aba_derivatives(const Model& model, const ConstRows& q, const ConstRows& v,
                             const ConstRows& tau, const Rows& ddq_dq, const Rows& ddq_dv,
                             const Rows& minv, const Options& options = {});

// ---------------------------------------------------------------------------
// The machinery behind them, for any per-state computation: calls
// body(context, data, begin, end) for consecutive ranges of [0, n) that
// together cover it once, each on a worker with its own Data for `model`.
// Returns when all ranges are done; the first exception thrown by a range is
// rethrown here (the remaining ranges are then skipped).
using RangeBody = void (*)(void* context, Data& data, std::size_t begin, std::size_t end);
void run_ranges(const Model& model, std::size_t n, const Options& options, RangeBody body,
                void* context);

// kernel(data, k) for every state k in [0, n).
template <class Kernel>
void for_each_state(const Model& model, std::size_t n, const Options& options, Kernel&& kernel) {
  auto range = [&kernel](Data& data, std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) kernel(data, k);
  };
  run_ranges(model, n, options,
             [](void* context, Data& data, std::size_t begin, std::size_t end) {
               (*static_cast<decltype(range)*>(context))(data, begin, end);
             },
             &range);
}

}  // namespace trelvar::batch

#pragma GCC visibility pop

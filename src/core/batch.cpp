#include "trelvar/batch.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "thread_pool.hpp"
#include "trelvar/derivatives.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/forward_dynamics.hpp"
#include "trelvar/error.hpp"
#include "trelvar/kinematics.hpp"

namespace trelvar::batch {

std::size_t pool_size() { return detail::shared_pool_size(); }

void set_pool_size(std::size_t threads) { detail::resize_shared_pool(threads); }

// ---------------------------------------------------------------------------
// Shapes

void check_rows(const char* name, std::size_t rows, std::size_t cols, std::size_t n,
                std::size_t width, const char* width_name) {
  if (cols == width && (n == npos || rows == n)) return;
  const std::string expected_n = n == npos ? "N" : std::to_string(n);
  throw Error(std::string(name) + " has shape (" + std::to_string(rows) + ", " +
              std::to_string(cols) + "), expected (N, " + width_name + ") = (" + expected_n +
              ", " + std::to_string(width) + ")");
}

void check_input(const char* name, const ConstRows& x, std::size_t n, std::size_t width,
                 const char* width_name) {
  check_rows(name, x.rows, x.cols, n, width, width_name);
  if (x.data == nullptr && x.rows > 0 && x.cols > 0) {
    throw Error(std::string(name) + " has no data");
  }
}

void check_output(const char* name, const Rows& x, std::size_t n, std::size_t width,
                  const char* width_name) {
  check_rows(name, x.rows, x.cols, n, width, width_name);
  if (x.rows > 0 && x.cols > 0) {
    const std::size_t step = static_cast<std::size_t>(x.stride < 0 ? -x.stride : x.stride);
    if (x.data == nullptr || (x.rows > 1 && step < x.cols)) {
      throw Error(std::string(name) + ": the output rows overlap");
    }
  }
}

// ---------------------------------------------------------------------------
// Running ranges of states on the pool

namespace {

// Ranges small enough to even out threads slowed by other work, large enough
// that taking one costs nothing next to the states in it.
std::size_t range_length(std::size_t n, std::size_t workers) {
  return std::clamp<std::size_t>(n / (workers * 16), 1, 256);
}

struct Shared {
  RangeBody body;
  void* context;
  std::vector<Data>* datas;
  std::size_t n;
  std::size_t step;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::exception_ptr error;
};

void run_slot(void* context, std::size_t slot) {
  auto& s = *static_cast<Shared*>(context);
  Data& data = (*s.datas)[slot];
  try {
    while (!s.failed.load(std::memory_order_relaxed)) {
      const std::size_t begin = s.next.fetch_add(s.step, std::memory_order_relaxed);
      if (begin >= s.n) return;
      s.body(s.context, data, begin, std::min(s.n, begin + s.step));
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(s.error_mutex);
    if (!s.error) s.error = std::current_exception();
    s.failed.store(true, std::memory_order_relaxed);
  }
}

}  // namespace

void run_ranges(const Model& model, std::size_t n, const Options& options, RangeBody body,
                void* context) {
  if (n == 0) return;
  std::shared_ptr<detail::ThreadPool> pool;
  std::size_t workers = 1;
  if (options.threads != 1) {
    pool = detail::shared_pool();
    workers = options.threads == 0 ? pool->size() : std::min(options.threads, pool->size());
    workers = std::min(workers, n);
  }
  std::vector<Data> datas;
  datas.reserve(workers);
  for (std::size_t k = 0; k < workers; ++k) datas.emplace_back(model);
  if (workers == 1) {
    body(context, datas[0], 0, n);
    return;
  }
  Shared s;
  s.body = body;
  s.context = context;
  s.datas = &datas;
  s.n = n;
  s.step = range_length(n, workers);
  pool->share(workers, run_slot, &s);
  if (s.error) std::rethrow_exception(s.error);
}

// ---------------------------------------------------------------------------
// The algorithms: check the shapes, then one core call per state.

namespace {

using VectorIn = Eigen::Map<const VectorX>;

VectorIn vector_of(const ConstRows& x, std::size_t k) {
  return VectorIn(x.row(k), static_cast<Eigen::Index>(x.cols));
}

void store(const VectorX& result, const Rows& out, std::size_t k) {
  // An empty vector has no buffer, which memcpy must not be given.
  if (out.cols != 0) std::memcpy(out.row(k), result.data(), out.cols * sizeof(double));
}

// An nv x nv matrix (column-major) as row k of `out`, row by row.
void store(const MatrixX& result, const Rows& out, std::size_t k) {
  Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
      out.row(k), result.rows(), result.cols()) = result;
}

// The first input fixes N.
std::size_t check_q(const Model& model, const ConstRows& q) {
  model.check_consistency();
  check_input("q", q, npos, model.nq, "nq");
  return q.rows;
}

}  // namespace

void rnea(const Model& model, const ConstRows& q, const ConstRows& v, const ConstRows& a,
          const Rows& tau, const Options& options) {
  const std::size_t n = check_q(model, q);
  check_input("v", v, n, model.nv, "nv");
  check_input("a", a, n, model.nv, "nv");
  check_output("tau", tau, n, model.nv, "nv");
  for_each_state(model, n, options, [&](Data& d, std::size_t k) {
    store(trelvar::rnea(model, d, vector_of(q, k), vector_of(v, k), vector_of(a, k)), tau, k);
  });
}

void non_linear_effects(const Model& model, const ConstRows& q, const ConstRows& v,
                        const Rows& nle, const Options& options) {
  const std::size_t n = check_q(model, q);
  check_input("v", v, n, model.nv, "nv");
  check_output("nle", nle, n, model.nv, "nv");
  for_each_state(model, n, options, [&](Data& d, std::size_t k) {
    store(trelvar::non_linear_effects(model, d, vector_of(q, k), vector_of(v, k)), nle, k);
  });
}

void compute_gravity(const Model& model, const ConstRows& q, const Rows& g,
                     const Options& options) {
  const std::size_t n = check_q(model, q);
  check_output("g", g, n, model.nv, "nv");
  for_each_state(model, n, options, [&](Data& d, std::size_t k) {
    store(trelvar::compute_gravity(model, d, vector_of(q, k)), g, k);
  });
}

void crba(const Model& model, const ConstRows& q, const Rows& mass_matrix,
          const Options& options) {
  const std::size_t n = check_q(model, q);
  const std::size_t nv = model.nv;
  check_output("M", mass_matrix, n, nv * nv, "nv*nv");
  for_each_state(model, n, options, [&](Data& d, std::size_t k) {
    // The symmetric matrix reads the same row by row as column by column:
    // copy M (upper triangle with the diagonal, column by column), then fill
    // the strict lower triangle from the upper one (as get_mass_matrix).
    const double* __restrict m = trelvar::crba(model, d, vector_of(q, k)).data();
    double* __restrict out = mass_matrix.row(k);
    if (nv != 0) std::memcpy(out, m, nv * nv * sizeof(double));
    for (std::size_t c = 0; c + 1 < nv; ++c) {
      for (std::size_t r = c + 1; r < nv; ++r) out[c * nv + r] = m[r * nv + c];
    }
  });
}

void forward_kinematics(const Model& model, const ConstRows& q, const Rows& placements,
                        const Options& options) {
  const std::size_t n = check_q(model, q);
  check_output("placements", placements, n, model.njoints * 16, "njoints*16");
  for_each_state(model, n, options, [&](Data& d, std::size_t k) {
    trelvar::forward_kinematics(model, d, vector_of(q, k));
    double* out = placements.row(k);
    for (std::size_t i = 0; i < model.njoints; ++i, out += 16) {
      const SE3& x = d.omi[i];
      // Row by row: [R p; 0 0 0 1].
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) out[4 * r + c] = x.rotation(r, c);
        out[4 * r + 3] = x.translation[r];
      }
      out[12] = 0.0;
      out[13] = 0.0;
      out[14] = 0.0;
      out[15] = 1.0;
    }
  });
}

void integrate(const Model& model, const ConstRows& q, const ConstRows& v, const Rows& q_next,
               const Options& options) {
  const std::size_t n = check_q(model, q);
  check_input("v", v, n, model.nv, "nv");
  check_output("q_next", q_next, n, model.nq, "nq");
  for_each_state(model, n, options, [&](Data&, std::size_t k) {
    Eigen::Map<VectorX> out(q_next.row(k), static_cast<Eigen::Index>(model.nq));
    trelvar::integrate(model, vector_of(q, k), vector_of(v, k), out);
  });
}

void aba(const Model& model, const ConstRows& q, const ConstRows& v, const ConstRows& tau,
         const Rows& ddq, const Options& options) {
  const std::size_t n = check_q(model, q);
  check_input("v", v, n, model.nv, "nv");
  check_input("tau", tau, n, model.nv, "nv");
  check_output("ddq", ddq, n, model.nv, "nv");
  for_each_state(model, n, options, [&](Data& d, std::size_t k) {
    store(trelvar::aba(model, d, vector_of(q, k), vector_of(v, k), vector_of(tau, k)), ddq, k);
  });
}

void compute_minverse(const Model& model, const ConstRows& q, const Rows& minv,
                      const Options& options) {
  const std::size_t n = check_q(model, q);
  check_output("Minv", minv, n, model.nv * model.nv, "nv*nv");
  for_each_state(model, n, options, [&](Data& d, std::size_t k) {
    store(trelvar::compute_minverse(model, d, vector_of(q, k)), minv, k);
  });
}

namespace {

// A pass of (q, v, x) whose three nv x nv results stay in `Data`: each state's
// matrices copied row by row into the three outputs.
struct MatrixResult {
  const char* name;
  MatrixX Data::*field;
  const Rows& out;
};

template <class Pass>
void three_matrices(const Model& model, const ConstRows& q, const ConstRows& v, const ConstRows& x,
                    const char* x_name, const std::array<MatrixResult, 3>& results,
                    const Options& options, Pass pass) {
  const std::size_t n = check_q(model, q);
  const std::size_t nv = model.nv;
  check_input("v", v, n, nv, "nv");
  check_input(x_name, x, n, nv, "nv");
  for (const MatrixResult& r : results) check_output(r.name, r.out, n, nv * nv, "nv*nv");
  for_each_state(model, n, options, [&](Data& d, std::size_t k) {
    pass(model, d, vector_of(q, k), vector_of(v, k), vector_of(x, k));
    for (const MatrixResult& r : results) store(d.*r.field, r.out, k);
  });
}

}  // namespace

void compute_rnea_derivatives(const Model& model, const ConstRows& q, const ConstRows& v,
                              const ConstRows& a, const Rows& dtau_dq, const Rows& dtau_dv,
                              const Rows& mass_matrix, const Options& options) {
  three_matrices(model, q, v, a, "a",
                 {{{"dtau_dq", &Data::dtau_dq, dtau_dq},
                   {"dtau_dv", &Data::dtau_dv, dtau_dv},
                   {"M", &Data::M, mass_matrix}}},
                 options, [](const Model& m, Data& d, VectorIn qk, VectorIn vk, VectorIn ak) {
                   trelvar::compute_rnea_derivatives(m, d, qk, vk, ak);
                 });
}

void compute_aba_derivatives(const Model& model, const ConstRows& q, const ConstRows& v,
                             const ConstRows& tau, const Rows& ddq_dq, const Rows& ddq_dv,
                             const Rows& minv, const Options& options) {
  three_matrices(model, q, v, tau, "tau",
                 {{{"ddq_dq", &Data::ddq_dq, ddq_dq},
                   {"ddq_dv", &Data::ddq_dv, ddq_dv},
                   {"Minv", &Data::Minv, minv}}},
                 options, [](const Model& m, Data& d, VectorIn qk, VectorIn vk, VectorIn tk) {
                   trelvar::compute_aba_derivatives(m, d, qk, vk, tk);
                 });
}

}  // namespace trelvar::batch

// The submodule trelvar.batch: one algorithm over N stacked states per call,
// computed without the interpreter lock on the library's thread pool. Each
// function is one table entry: its signature, the widths of its stacked
// arguments, the shapes of its results and the library call. One result is
// returned as an array, several as a tuple of arrays.
#include "batch.hpp"

#include <utility>

#include "toolkit.hpp"
#include "trelvar/batch.hpp"
#include "trelvar/error.hpp"

namespace trelvar::py {

namespace {

enum class Width { nq, nv };

// Shape of a result after the leading N.
enum class Result { none, nv, nq, nv_by_nv, placements };

constexpr std::size_t kMaxInputs = 3;
constexpr std::size_t kMaxResults = 3;

struct BatchFunction {
  // (model, the stacked arguments, threads): threads is the one with a default.
  const Signature* sig;
  Width inputs[kMaxInputs];
  Result results[kMaxResults];  // the used ones first, then Result::none
  void (*run)(const Model& model, const batch::ConstRows* in, const batch::Rows* out,
              const batch::Options& options);
};

std::size_t width_of(Width w, const Model& m) { return w == Width::nq ? m.nq : m.nv; }
const char* width_name(Width w) { return w == Width::nq ? "nq" : "nv"; }

// A new (N, ...) array for a result; `out` receives its rows.
PyObject* new_result(Result r, const Model& m, std::size_t n, batch::Rows& out) {
  const auto rows = static_cast<Py_ssize_t>(n);
  const auto nq = static_cast<Py_ssize_t>(m.nq), nv = static_cast<Py_ssize_t>(m.nv);
  double* data = nullptr;
  PyObject* a = nullptr;
  std::size_t width = 0;
  switch (r) {
    case Result::none: return nullptr;
    case Result::nv: a = new_array({rows, nv}, &data), width = m.nv; break;
    case Result::nq: a = new_array({rows, nq}, &data), width = m.nq; break;
    case Result::nv_by_nv: a = new_array({rows, nv, nv}, &data), width = m.nv * m.nv; break;
    case Result::placements:
      a = new_array({rows, static_cast<Py_ssize_t>(m.njoints), 4, 4}, &data), width = m.njoints * 16;
      break;
  }
  out = batch::rows_of(data, n, width);
  return a;
}

// Owned references released when the call ends.
template <std::size_t N>
struct Owned {
  PyObject* items[N] = {};
  ~Owned() {
    for (PyObject* o : items) Py_XDECREF(o);
  }
};

PyObject* call_batch(const BatchFunction& f, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kw) {
  return guarded([&]() -> PyObject* {
    Call call(*f.sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    // Conversion, in argument order. The model stays held shared until the
    // call returns: writers (add_joint, the setters) raise meanwhile.
    const Model* m = call.model(0);
    if (m == nullptr) return nullptr;
    const std::size_t ninputs = f.sig->params.size() - 2;
    ArrayArg arrays[kMaxInputs];
    for (std::size_t k = 0; k < ninputs; ++k) {
      if (!call.stack(static_cast<int>(k + 1), arrays[k], width_of(f.inputs[k], *m),
                      width_name(f.inputs[k]))) {
        return nullptr;
      }
    }
    std::size_t threads = 0;
    const int threads_index = static_cast<int>(ninputs + 1);
    if (call.arg(threads_index) != nullptr && !call.index(threads_index, threads)) return nullptr;
    // Checks: arrays still what they were, contiguity, then shapes.
    if (!check_arrays(arrays, ninputs)) return nullptr;
    const auto n = static_cast<std::size_t>(arrays[0].rows());
    for (std::size_t k = 0; k < ninputs; ++k) {
      batch::check_rows(arrays[k].name, static_cast<std::size_t>(arrays[k].rows()),
                        static_cast<std::size_t>(arrays[k].cols()), k == 0 ? batch::npos : n,
                        width_of(f.inputs[k], *m), width_name(f.inputs[k]));
    }
    Owned<kMaxInputs> holds;
    batch::ConstRows in[kMaxInputs];
    for (std::size_t k = 0; k < ninputs; ++k) {
      const double* data = nullptr;
      if (!stack_rows(arrays[k], &data, &holds.items[k])) return nullptr;
      in[k] = batch::rows_of(data, n, width_of(f.inputs[k], *m));
    }
    Owned<kMaxResults> results;
    batch::Rows out[kMaxResults];
    std::size_t nresults = 0;
    for (; nresults < kMaxResults && f.results[nresults] != Result::none; ++nresults) {
      results.items[nresults] = new_result(f.results[nresults], *m, n, out[nresults]);
      if (results.items[nresults] == nullptr) return nullptr;
    }
    without_interpreter_lock([&] { f.run(*m, in, out, batch::Options{threads}); });
    if (nresults == 1) return std::exchange(results.items[0], nullptr);
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(nresults));
    if (tuple == nullptr) return nullptr;
    for (std::size_t k = 0; k < nresults; ++k) {
      PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(k), std::exchange(results.items[k], nullptr));
    }
    return tuple;
  });
}

// ---- the table -------------------------------------------------------------------

const BatchFunction& rnea_function() {
  static const Signature sig{"rnea()", {"model", "q", "v", "a", "threads"}, 1};
  static const BatchFunction f{
      &sig,
      {Width::nq, Width::nv, Width::nv},
      {Result::nv},
      [](const Model& m, const batch::ConstRows* x, const batch::Rows* out, const batch::Options& o) {
        batch::rnea(m, x[0], x[1], x[2], out[0], o);
      }};
  return f;
}

const BatchFunction& non_linear_effects_function() {
  static const Signature sig{"non_linear_effects()", {"model", "q", "v", "threads"}, 1};
  static const BatchFunction f{
      &sig,
      {Width::nq, Width::nv},
      {Result::nv},
      [](const Model& m, const batch::ConstRows* x, const batch::Rows* out, const batch::Options& o) {
        batch::non_linear_effects(m, x[0], x[1], out[0], o);
      }};
  return f;
}

const BatchFunction& compute_gravity_function() {
  static const Signature sig{"compute_gravity()", {"model", "q", "threads"}, 1};
  static const BatchFunction f{
      &sig,
      {Width::nq},
      {Result::nv},
      [](const Model& m, const batch::ConstRows* x, const batch::Rows* out, const batch::Options& o) {
        batch::compute_gravity(m, x[0], out[0], o);
      }};
  return f;
}

const BatchFunction& crba_function() {
  static const Signature sig{"crba()", {"model", "q", "threads"}, 1};
  static const BatchFunction f{
      &sig,
      {Width::nq},
      {Result::nv_by_nv},
      [](const Model& m, const batch::ConstRows* x, const batch::Rows* out, const batch::Options& o) {
        batch::crba(m, x[0], out[0], o);
      }};
  return f;
}

const BatchFunction& forward_kinematics_function() {
  static const Signature sig{"forwardKinematics()", {"model", "q", "threads"}, 1};
  static const BatchFunction f{
      &sig,
      {Width::nq},
      {Result::placements},
      [](const Model& m, const batch::ConstRows* x, const batch::Rows* out, const batch::Options& o) {
        batch::forward_kinematics(m, x[0], out[0], o);
      }};
  return f;
}

const BatchFunction& integrate_function() {
  static const Signature sig{"integrate()", {"model", "q", "v", "threads"}, 1};
  static const BatchFunction f{
      &sig,
      {Width::nq, Width::nv},
      {Result::nq},
      [](const Model& m, const batch::ConstRows* x, const batch::Rows* out, const batch::Options& o) {
        batch::integrate(m, x[0], x[1], out[0], o);
      }};
  return f;
}

const BatchFunction& aba_function() {
  static const Signature sig{"aba()", {"model", "q", "v", "tau", "threads"}, 1};
  static const BatchFunction f{
      &sig,
      {Width::nq, Width::nv, Width::nv},
      {Result::nv},
      [](const Model& m, const batch::ConstRows* x, const batch::Rows* out, const batch::Options& o) {
        batch::aba(m, x[0], x[1], x[2], out[0], o);
      }};
  return f;
}

const BatchFunction& compute_minverse_function() {
  static const Signature sig{"computeMinverse()", {"model", "q", "threads"}, 1};
  static const BatchFunction f{
      &sig,
      {Width::nq},
      {Result::nv_by_nv},
      [](const Model& m, const batch::ConstRows* x, const batch::Rows* out, const batch::Options& o) {
        batch::compute_minverse(m, x[0], out[0], o);
      }};
  return f;
}

const BatchFunction& rnea_derivatives_function() {
  static const Signature sig{"computeRNEADerivatives()", {"model", "q", "v", "a", "threads"}, 1};
  static const BatchFunction f{
      &sig,
      {Width::nq, Width::nv, Width::nv},
      {Result::nv_by_nv, Result::nv_by_nv, Result::nv_by_nv},
      [](const Model& m, const batch::ConstRows* x, const batch::Rows* out, const batch::Options& o) {
        batch::compute_rnea_derivatives(m, x[0], x[1], x[2], out[0], out[1], out[2], o);
      }};
  return f;
}

const BatchFunction& aba_derivatives_function() {
  static const Signature sig{"computeABADerivatives()", {"model", "q", "v", "tau", "threads"}, 1};
  static const BatchFunction f{
      &sig,
      {Width::nq, Width::nv, Width::nv},
      {Result::nv_by_nv, Result::nv_by_nv, Result::nv_by_nv},
      [](const Model& m, const batch::ConstRows* x, const batch::Rows* out, const batch::Options& o) {
        batch::compute_aba_derivatives(m, x[0], x[1], x[2], out[0], out[1], out[2], o);
      }};
  return f;
}

template <const BatchFunction& (*F)()>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call_batch(F(), args, nargs, kw);
}

// ---- the pool ----------------------------------------------------------------------

PyObject* py_set_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"set_num_threads()", {"threads"}};
    Call call(sig, args, nargs, kw);
    std::size_t threads = 0;
    if (!call.ok() || !call.index(0, threads)) return nullptr;
    without_interpreter_lock([&] { batch::set_pool_size(threads); });
    Py_RETURN_NONE;
  });
}

PyObject* py_get_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"get_num_threads()", {}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    return PyLong_FromSize_t(batch::pool_size());
  });
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

#define TRELVAR_BATCH_NOTE                                                                   \
  "\n\nRow k is one state; the result is a new C-ordered float64 array whose row k equals, " \
  "bit for bit, the single-state function on row k. threads=0 uses every thread of the "     \
  "pool, threads=1 the calling thread only. The interpreter lock is released meanwhile."

PyMethodDef functions[] = {
    {"rnea", fast(entry<rnea_function>), kFlags,
     TRELVAR_DOC("rnea(model, q, v, a, threads=0)",
                 "Inverse dynamics of N states: q (N, nq), v and a (N, nv) give tau (N, nv)." TRELVAR_BATCH_NOTE)},
    {"non_linear_effects", fast(entry<non_linear_effects_function>), kFlags,
     TRELVAR_DOC("non_linear_effects(model, q, v, threads=0)",
                 "Coriolis, centrifugal and gravity forces of N states: q (N, nq), v (N, nv) give "
                 "(N, nv)." TRELVAR_BATCH_NOTE)},
    {"compute_gravity", fast(entry<compute_gravity_function>), kFlags,
     TRELVAR_DOC("compute_gravity(model, q, threads=0)",
                 "Generalized gravity of N configurations: q (N, nq) gives (N, nv)." TRELVAR_BATCH_NOTE)},
    {"crba", fast(entry<crba_function>), kFlags,
     TRELVAR_DOC("crba(model, q, threads=0)",
                 "Mass matrices of N configurations, full and symmetric (as Data.M): q (N, nq) "
                 "gives (N, nv, nv)." TRELVAR_BATCH_NOTE)},
    {"forwardKinematics", fast(entry<forward_kinematics_function>), kFlags,
     TRELVAR_DOC("forwardKinematics(model, q, threads=0)",
                 "World placements of every joint for N configurations, as homogeneous matrices "
                 "(as Data.oMi): q (N, nq) gives (N, njoints, 4, 4)." TRELVAR_BATCH_NOTE)},
    {"integrate", fast(entry<integrate_function>), kFlags,
     TRELVAR_DOC("integrate(model, q, v, threads=0)",
                 "Configurations reached from N configurations with N velocities over unit time: q "
                 "(N, nq), v (N, nv) give (N, nq)." TRELVAR_BATCH_NOTE)},
    {"aba", fast(entry<aba_function>), kFlags,
     TRELVAR_DOC("aba(model, q, v, tau, threads=0)",
                 "Forward dynamics of N states: q (N, nq), v and tau (N, nv) give the joint "
                 "accelerations (N, nv)." TRELVAR_BATCH_NOTE)},
    {"computeMinverse", fast(entry<compute_minverse_function>), kFlags,
     TRELVAR_DOC("computeMinverse(model, q, threads=0)",
                 "Inverse mass matrices of N configurations, full and symmetric (as Data.Minv): q "
                 "(N, nq) gives (N, nv, nv)." TRELVAR_BATCH_NOTE)},
    {"computeRNEADerivatives", fast(entry<rnea_derivatives_function>), kFlags,
     TRELVAR_DOC("computeRNEADerivatives(model, q, v, a, threads=0)",
                 "Derivatives of inverse dynamics for N states: q (N, nq), v and a (N, nv) give the "
                 "tuple (dtau_dq, dtau_dv, M), each (N, nv, nv)." TRELVAR_BATCH_NOTE)},
    {"computeABADerivatives", fast(entry<aba_derivatives_function>), kFlags,
     TRELVAR_DOC("computeABADerivatives(model, q, v, tau, threads=0)",
                 "Derivatives of forward dynamics for N states: q (N, nq), v and tau (N, nv) give "
                 "the tuple (ddq_dq, ddq_dv, Minv), each (N, nv, nv)." TRELVAR_BATCH_NOTE)},
    {"set_num_threads", fast(py_set_num_threads), kFlags,
     TRELVAR_DOC("set_num_threads(threads)",
                 "Resize the thread pool (the calling thread counted); 0 sizes it from the "
                 "processors this process may use.")},
    {"get_num_threads", fast(py_get_num_threads), kFlags,
     TRELVAR_DOC("get_num_threads()", "Number of threads of the pool, the calling thread counted.")},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef batch_def = {
    PyModuleDef_HEAD_INIT,
    "trelvar.batch",
    "Many states per call: the algorithms over stacked states, on every core.",
    -1,
    functions,
    nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyObject* create_batch_module() { return PyModule_Create(&batch_def); }

}  // namespace trelvar::py

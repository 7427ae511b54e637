// The binding toolkit: argument binding with the interpreter's wording, one
// converter per argument kind, access (borrow) flags, result conversion and the
// mapping of library errors to Python exceptions. Every function and method of
// the module is written with it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "trelvar/data.hpp"
#include "trelvar/jacobians.hpp"
#include "trelvar/model.hpp"
#include "trelvar/spatial.hpp"

namespace trelvar::py {

// ---------------------------------------------------------------------------
// Wrapped objects. Each holds one library value by value and an access flag:
// 0 free, n > 0 held by n readers, -1 held by one writer.

struct ModelObject {
  PyObject_HEAD
  Py_ssize_t borrow;
  Model value;
};

struct DataObject {
  PyObject_HEAD
  Py_ssize_t borrow;
  Data value;
};

struct SE3Object {
  PyObject_HEAD
  Py_ssize_t borrow;
  SE3 value;
};

// One frame of a model: a read-only record.
struct FrameObject {
  PyObject_HEAD
  Py_ssize_t borrow;
  Frame value;
};

struct ReferenceFrameObject {
  PyObject_HEAD
  std::uint8_t code;
};

// The module's types, created once at import.
extern PyTypeObject* model_type;
extern PyTypeObject* data_type;
extern PyTypeObject* se3_type;
extern PyTypeObject* reference_frame_type;
extern PyTypeObject* frame_type;

// A method table entry's function pointer for a METH_FASTCALL | METH_KEYWORDS function.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fast(FastFunction f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A new instance of `type` (ModelObject, DataObject or SE3Object) whose value
// is built from `args`, free of access holds. nullptr with a Python error when
// the allocation fails; an exception from the value's constructor propagates
// after the half-made object is freed.
template <class Object, class... Args>
PyObject* new_object(PyTypeObject* type, Args&&... args) {
  PyObject* o = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (o == nullptr) return nullptr;
  auto* object = reinterpret_cast<Object*>(o);
  object->borrow = 0;
  using Value = decltype(object->value);
  try {
    new (&object->value) Value(std::forward<Args>(args)...);
  } catch (...) {
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(o);
    Py_DECREF(type);  // the instance's reference to its heap type
    throw;
  }
  return o;
}

// tp_dealloc of those classes: destroy the value, free the object, release the type.
template <class Object>
void dealloc_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  using Value = decltype(Object::value);
  reinterpret_cast<Object*>(self)->value.~Value();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// New instances (nullptr with a Python error on failure).
PyObject* new_model(Model value);
PyObject* new_data(const Model& model);
PyObject* new_se3(const SE3& value);
PyObject* new_frame(const Frame& value);

// Type creation, one per class file.
PyTypeObject* create_se3_type();
PyTypeObject* create_reference_frame_type();
PyTypeObject* create_model_type();
PyTypeObject* create_data_type();
PyTypeObject* create_frame_type();

// ---------------------------------------------------------------------------
// Access flags.

class Access {
 public:
  Access() = default;
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  ~Access() { release(); }

  // Take the flag shared / exclusively; false with RuntimeError set when the
  // object is held in a conflicting way.
  bool shared(Py_ssize_t* flag);
  bool exclusive(Py_ssize_t* flag);
  void release();

 private:
  Py_ssize_t* flag_ = nullptr;
  bool exclusive_ = false;
};

// ---------------------------------------------------------------------------
// A 1-D or 2-D float64 array argument, type-checked at conversion. Its memory
// is looked at only in the check stage, after every argument has been
// converted: converting a later argument may run Python code (__index__).
class ArrayArg {
 public:
  PyObject* object = nullptr;
  const char* name = "";  // parameter name, for messages
  int ndim = 1;
  bool stack = false;     // a stack of vectors: must be contiguous like a vector

  // Still an array of `ndim` dimensions and a float64-equivalent dtype.
  bool still_valid() const;
  bool contiguous() const;
  Py_ssize_t size() const;
  // Read-only view of a contiguous 1-D array; data that is not aligned for
  // double is copied first, never read in place.
  Eigen::Map<const VectorX> vector();
  // Element (r, c) of a 2-D array, any strides.
  double at(Py_ssize_t r, Py_ssize_t c) const;
  Py_ssize_t rows() const;
  Py_ssize_t cols() const;

 private:
  std::vector<double> copy_;
};

// ---------------------------------------------------------------------------
// One call of a function or method: binds the arguments, converts each one by
// its kind, holds the access flags until the call ends.

struct Signature {
  const char* full_name;             // "crba()", "Model.add_joint()", "Data.__new__()"
  std::vector<const char*> params;   // parameter names, in order
  std::size_t optional = 0;          // how many of the last ones may be left out (arg() gives nullptr)
};

class Call {
 public:
  static constexpr int kMaxParams = 8;

  // Vectorcall arguments (METH_FASTCALL | METH_KEYWORDS).
  Call(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
  // Tuple and dict arguments (constructors).
  Call(const Signature& sig, PyObject* args, PyObject* kwargs);
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // False when binding failed (a TypeError is set).
  bool ok() const { return ok_; }
  PyObject* arg(int i) const { return values_[i]; }

  // Converters. Each returns false with a Python exception set; the TypeError
  // of a wrong type reads "argument '{}': '{}' object cannot be converted to '{}'".
  const Model* model(int i);
  Model* model_mut(int i);
  const Data* data(int i);
  Data* data_mut(int i);
  bool vector(int i, ArrayArg& out);
  bool matrix(int i, ArrayArg& out);
  // A stack of vectors, one per row: a float64 array of exactly 2 dimensions
  // with `width` columns (checked later). Any other dimension count is a
  // TypeError naming the expected shape (N, width_name) = (N, width).
  bool stack(int i, ArrayArg& out, std::size_t width, const char* width_name);
  bool bytes(int i, std::string_view& out);
  // A 1-D (vector rules) or 2-D (matrix rules) array.
  bool vector_or_matrix(int i, ArrayArg& out);
  bool index(int i, std::size_t& out);
  // A Python float or int (or an object with __float__ or __index__).
  bool number(int i, double& out);
  bool text(int i, std::string& out);
  bool placement(int i, SE3& out);
  bool frame_code(int i, ReferenceFrame& out);

  // Self access for methods.
  const Model* self_model(PyObject* self);
  Model* self_model_mut(PyObject* self);
  const Data* self_data(PyObject* self);
  Data* self_data_mut(PyObject* self);
  const SE3* self_se3(PyObject* self);

 private:
  bool bind(const Signature& sig, PyObject* const* pos, Py_ssize_t npos, PyObject* const* kwnames,
            PyObject* const* kwvalues, Py_ssize_t nkw);
  bool type_error(int i, const char* expected);
  // Puts "argument '{}': " in front of the pending TypeError of argument i.
  bool name_type_error(int i);
  Access& next_access();

  const Signature& sig_;
  PyObject* values_[kMaxParams] = {};
  Access access_[kMaxParams + 1];
  int naccess_ = 0;
  bool ok_ = false;
};

// Check stage, run once every argument is converted. First the array-type
// checks of the conversion stage are repeated (converting a later argument may
// have run Python code that reshaped an array), then every vector must be
// contiguous: TypeError "The given array is not contiguous".
bool check_arrays(std::initializer_list<const ArrayArg*> arrays);
bool check_arrays(const ArrayArg* arrays, std::size_t n);

// The rows of a checked stack argument, for code that runs without the
// interpreter lock: the array's own memory when it is C-contiguous and
// aligned (`hold` then keeps a weak reference, which stops NumPy from resizing
// the array meanwhile), otherwise a C-ordered aligned copy that `hold` owns.
// The caller releases `hold` (Py_XDECREF) once done. False with a Python
// error on failure.
bool stack_rows(const ArrayArg& a, const double** data, PyObject** hold);

// Fills the {} placeholders of `pattern` in order.
inline std::string to_text(const std::string& s) { return s; }
inline std::string to_text(const char* s) { return s; }
template <class T>
std::string to_text(T x) {
  return std::to_string(x);
}
inline void format_into(std::string& out, const char* p) { out += p; }
template <class T, class... Rest>
void format_into(std::string& out, const char* p, const T& first, const Rest&... rest) {
  for (; *p != '\0'; ++p) {
    if (p[0] == '{' && p[1] == '}') {
      out += to_text(first);
      format_into(out, p + 2, rest...);
      return;
    }
    out += *p;
  }
}
template <class... Args>
std::string format(const char* pattern, const Args&... args) {
  std::string out;
  format_into(out, pattern, args...);
  return out;
}

// ---------------------------------------------------------------------------
// Results: fresh, owning, C-contiguous float64 arrays.

// New arrays of shape (n,), (rows, cols) or any other; *data receives the buffer.
PyObject* new_array(Py_ssize_t n, double** data);
PyObject* new_array(Py_ssize_t rows, Py_ssize_t cols, double** data);
PyObject* new_array(std::initializer_list<Py_ssize_t> shape, double** data);

PyObject* to_array(const double* x, Py_ssize_t n);
inline PyObject* to_array(const VectorX& x) { return to_array(x.data(), x.size()); }
inline PyObject* to_array(const std::vector<double>& x) {
  return to_array(x.data(), static_cast<Py_ssize_t>(x.size()));
}
inline PyObject* to_array(const Vec3& x) { return to_array(x.data(), 3); }

// Row-major copy of a matrix; a matrix without rows gives shape (0, 0).
template <class Derived>
PyObject* to_array2d(const Eigen::MatrixBase<Derived>& m) {
  const auto r = static_cast<Py_ssize_t>(m.rows());
  const auto c = r == 0 ? 0 : static_cast<Py_ssize_t>(m.cols());
  double* out = nullptr;
  PyObject* array = new_array(r, c, &out);
  if (array == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < r; ++i) {
    for (Py_ssize_t j = 0; j < c; ++j) out[i * c + j] = m(i, j);
  }
  return array;
}

inline PyObject* to_array(const MatrixX& m) { return to_array2d(m); }
inline PyObject* to_array(const Matrix6X& m) { return to_array2d(m); }
inline PyObject* to_array(const Matrix3X& m) { return to_array2d(m); }
// One row per entry: shape (n, 3).
PyObject* to_array(const std::vector<Vec3>& rows);

// A tuple of fresh arrays of the matrices, in order (to_array2d each); null,
// with the exception set, when one of them cannot be made.
PyObject* to_tuple(std::initializer_list<const MatrixX*> matrices);

// 6-vectors are handed to Python linear part first, the order of the Jacobian
// columns, whatever their stored order. Motion and force vectors are stored
// angular part first ([w; v], [n; f]): these swap the halves, giving (6,) and
// one row per entry, (n, 6).
PyObject* to_array_linear_first(const Vec6& angular_first);
PyObject* to_array_linear_first(const std::vector<Vec6>& angular_first);
// Spatial inertias as 6x6 matrices, rows and columns linear part first:
// shapes (6, 6) and (n, 6, 6).
PyObject* to_array(const Inertia& inertia);
PyObject* to_array(const std::vector<Inertia>& inertias);

PyObject* to_float(const double& x);

PyObject* to_list(const std::vector<std::string>& names);
PyObject* to_list(const std::vector<std::size_t>& indices);
PyObject* to_list(const std::vector<std::vector<std::size_t>>& index_lists);
// A list of new SE3 objects.
PyObject* to_list(const std::vector<SE3>& placements);
// A list of new Frame records.
PyObject* to_list(const std::vector<Frame>& frames);

// A new str from UTF-8 text; bytes that are not valid UTF-8 (a name read from a
// file, say) become U+FFFD instead of failing, and NUL bytes are kept.
PyObject* to_str(const std::string& text);

// Imports NumPy's C API; called once by the module initialisation.
bool init_numpy();

// ---------------------------------------------------------------------------
// Errors.

// Sets the Python exception for the C++ exception being handled.
void set_error_from_current_exception();
PyObject* raise(PyObject* type, const std::string& message);
// Raises type(message) from type(cause): the traceback shows the cause first.
PyObject* raise(PyObject* type, const std::string& message, const std::string& cause);

// Runs body() and maps any C++ exception to a Python exception. The body
// returns a new reference or nullptr with a Python error set.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// Runs body() with the interpreter lock released: other Python threads run
// meanwhile, so body() touches no Python object. An exception it throws is
// rethrown once the lock is held again.
template <class F>
void without_interpreter_lock(F&& body) {
  std::exception_ptr error;
  PyThreadState* state = PyEval_SaveThread();
  try {
    body();
  } catch (...) {
    error = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (error) std::rethrow_exception(error);
}

// pickle support: (type(self)._from_bytes, (bytes,)).
PyObject* reduce_to_bytes(PyObject* self, const std::string& bytes);

// Writes text to the process's standard output stream (file descriptor 1).
void write_stdout(const std::string& text);

// Number formats of the information texts: right-aligned fixed point with
// `precision` digits in a field of `width`; non-finite values as NaN, inf, -inf.
std::string format_fixed(double x, int width, int precision);

// Docstring of a function or method: "name(args)\n--\n\n" followed by the text.
#define TRELVAR_DOC(signature, text) signature "\n--\n\n" text

}  // namespace trelvar::py

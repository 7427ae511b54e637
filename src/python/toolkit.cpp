#include "toolkit.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "trelvar/error.hpp"

namespace trelvar::py {

namespace {

PyArray_Descr* float64_descr = nullptr;

PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

bool is_float64_array(PyObject* o, int ndim) {
  if (!PyArray_Check(o)) return false;
  PyArrayObject* a = as_array(o);
  return PyArray_NDIM(a) == ndim && PyArray_EquivTypes(PyArray_DESCR(a), float64_descr);
}

std::string type_name(PyObject* o) {
  PyObject* name = PyType_GetName(Py_TYPE(o));
  if (name == nullptr) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &n);
  std::string out = utf8 != nullptr ? std::string(utf8, static_cast<std::size_t>(n)) : "?";
  if (utf8 == nullptr) PyErr_Clear();
  Py_DECREF(name);
  return out;
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

bool init_numpy() {
  if (_import_array() < 0) return false;
  float64_descr = PyArray_DescrFromType(NPY_FLOAT64);  // kept for the module's lifetime
  return float64_descr != nullptr;
}

// ---------------------------------------------------------------------------
// Access flags

bool Access::shared(Py_ssize_t* flag) {
  if (*flag < 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return false;
  }
  ++*flag;
  flag_ = flag;
  exclusive_ = false;
  return true;
}

bool Access::exclusive(Py_ssize_t* flag) {
  if (*flag != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
  }
  *flag = -1;
  flag_ = flag;
  exclusive_ = true;
  return true;
}

void Access::release() {
  if (flag_ == nullptr) return;
  if (exclusive_) {
    *flag_ = 0;
  } else {
    --*flag_;
  }
  flag_ = nullptr;
}

// ---------------------------------------------------------------------------
// Array arguments

bool ArrayArg::still_valid() const { return is_float64_array(object, ndim); }

bool ArrayArg::contiguous() const {
  PyArrayObject* a = as_array(object);
  return (PyArray_FLAGS(a) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0 &&
         PyArray_DATA(a) != nullptr;
}

Py_ssize_t ArrayArg::size() const { return PyArray_DIM(as_array(object), 0); }
Py_ssize_t ArrayArg::rows() const { return PyArray_DIM(as_array(object), 0); }
Py_ssize_t ArrayArg::cols() const { return PyArray_DIM(as_array(object), 1); }

Eigen::Map<const VectorX> ArrayArg::vector() {
  PyArrayObject* a = as_array(object);
  const Py_ssize_t n = PyArray_DIM(a, 0);
  const char* bytes = static_cast<const char*>(PyArray_DATA(a));
  if (reinterpret_cast<std::uintptr_t>(bytes) % alignof(double) == 0) {
    return Eigen::Map<const VectorX>(reinterpret_cast<const double*>(bytes), n);
  }
  copy_.resize(static_cast<std::size_t>(n));
  if (n > 0) std::memcpy(copy_.data(), bytes, static_cast<std::size_t>(n) * sizeof(double));
  return Eigen::Map<const VectorX>(copy_.data(), n);
}

double ArrayArg::at(Py_ssize_t r, Py_ssize_t c) const {
  PyArrayObject* a = as_array(object);
  const char* p = static_cast<const char*>(PyArray_DATA(a)) + r * PyArray_STRIDE(a, 0) +
                  c * PyArray_STRIDE(a, 1);
  double x;
  std::memcpy(&x, p, sizeof x);
  return x;
}

namespace {

template <class Each>
bool check_each(Each&& each) {
  bool ok = true;
  each([&](const ArrayArg& a) {
    if (ok && !a.still_valid()) {
      PyErr_SetString(PyExc_TypeError,
                      format("argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'",
                             a.name, type_name(a.object))
                          .c_str());
      ok = false;
    }
  });
  each([&](const ArrayArg& a) {
    if (ok && (a.ndim == 1 || a.stack) && !a.contiguous()) {
      PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
      ok = false;
    }
  });
  return ok;
}

}  // namespace

bool check_arrays(std::initializer_list<const ArrayArg*> arrays) {
  return check_each([&](auto&& f) {
    for (const ArrayArg* a : arrays) f(*a);
  });
}

bool check_arrays(const ArrayArg* arrays, std::size_t n) {
  return check_each([&](auto&& f) {
    for (std::size_t k = 0; k < n; ++k) f(arrays[k]);
  });
}

bool stack_rows(const ArrayArg& a, const double** data, PyObject** hold) {
  PyArrayObject* array = as_array(a.object);
  const int flags = PyArray_FLAGS(array);
  if ((flags & NPY_ARRAY_C_CONTIGUOUS) != 0 && (flags & NPY_ARRAY_ALIGNED) != 0) {
    *hold = PyWeakref_NewRef(a.object, nullptr);
    if (*hold != nullptr) {
      *data = static_cast<const double*>(PyArray_DATA(array));
      return true;
    }
    PyErr_Clear();  // no weak references to this object: read a copy instead
  }
  PyObject* copy = PyArray_NewCopy(array, NPY_CORDER);
  if (copy == nullptr) return false;
  *hold = copy;
  *data = static_cast<const double*>(PyArray_DATA(as_array(copy)));
  return true;
}

// ---------------------------------------------------------------------------
// Binding

Call::Call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : sig_(sig) {
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  PyObject* names[kMaxParams + 1];
  const Py_ssize_t limit = nkw < kMaxParams + 1 ? nkw : kMaxParams + 1;
  for (Py_ssize_t k = 0; k < limit; ++k) names[k] = PyTuple_GetItem(kwnames, k);
  ok_ = bind(sig, args, nargs, names, args + nargs, limit);
}

Call::Call(const Signature& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
  PyObject* pos[kMaxParams + 1];
  const Py_ssize_t npos = args != nullptr ? PyTuple_Size(args) : 0;
  for (Py_ssize_t k = 0; k < npos && k <= kMaxParams; ++k) pos[k] = PyTuple_GetItem(args, k);
  PyObject* names[kMaxParams + 1];
  PyObject* values[kMaxParams + 1];
  Py_ssize_t nkw = 0;
  if (kwargs != nullptr) {
    Py_ssize_t it = 0;
    PyObject *key, *value;
    while (nkw <= kMaxParams && PyDict_Next(kwargs, &it, &key, &value)) {
      names[nkw] = key;
      values[nkw] = value;
      ++nkw;
    }
  }
  ok_ = bind(sig, pos, npos, names, values, nkw);
}

bool Call::bind(const Signature& sig, PyObject* const* pos, Py_ssize_t npos,
                PyObject* const* kwnames, PyObject* const* kwvalues, Py_ssize_t nkw) {
  const auto n = static_cast<Py_ssize_t>(sig.params.size());
  const Py_ssize_t required = n - static_cast<Py_ssize_t>(sig.optional);
  if (npos > n) {
    const char* verb = npos == 1 ? "was" : "were";
    PyErr_SetString(PyExc_TypeError,
                    (required == n ? format("{} takes {} positional arguments but {} {} given",
                                            sig.full_name, n, npos, verb)
                                   : format("{} takes from {} to {} positional arguments but {} {} given",
                                            sig.full_name, required, n, npos, verb))
                        .c_str());
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) values_[i] = pos[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = kwnames[k];
    Py_ssize_t found = -1;
    if (PyUnicode_Check(key)) {
      for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[static_cast<std::size_t>(i)]) == 0) {
          found = i;
          break;
        }
      }
    }
    if (found < 0) {
      PyObject* text = PyObject_Str(key);
      Py_ssize_t len = 0;
      const char* utf8 = text != nullptr ? PyUnicode_AsUTF8AndSize(text, &len) : nullptr;
      const std::string name = utf8 != nullptr ? std::string(utf8, static_cast<std::size_t>(len)) : "?";
      Py_XDECREF(text);
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError,
                      format("{} got an unexpected keyword argument '{}'", sig.full_name, name).c_str());
      return false;
    }
    if (values_[found] != nullptr) {
      PyErr_SetString(PyExc_TypeError,
                      format("{} got multiple values for argument '{}'", sig.full_name,
                             sig.params[static_cast<std::size_t>(found)])
                          .c_str());
      return false;
    }
    values_[found] = kwvalues[k];
  }
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < required; ++i) {
    if (values_[i] == nullptr) missing.push_back(sig.params[static_cast<std::size_t>(i)]);
  }
  if (!missing.empty()) {
    PyErr_SetString(PyExc_TypeError,
                    format("{} missing {} required positional argument{}: ", sig.full_name,
                           missing.size(), missing.size() == 1 ? "" : "s")
                        .append(quoted_list(missing))
                        .c_str());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Converters

bool Call::type_error(int i, const char* expected) {
  PyErr_SetString(PyExc_TypeError,
                  format("argument '{}': '{}' object cannot be converted to '{}'",
                         sig_.params[static_cast<std::size_t>(i)], type_name(values_[i]), expected)
                      .c_str());
  return false;
}

Access& Call::next_access() { return access_[naccess_++]; }

const Model* Call::model(int i) {
  PyObject* o = values_[i];
  if (!PyObject_TypeCheck(o, model_type)) return type_error(i, "Model"), nullptr;
  auto* m = reinterpret_cast<ModelObject*>(o);
  return next_access().shared(&m->borrow) ? &m->value : nullptr;
}

Model* Call::model_mut(int i) {
  PyObject* o = values_[i];
  if (!PyObject_TypeCheck(o, model_type)) return type_error(i, "Model"), nullptr;
  auto* m = reinterpret_cast<ModelObject*>(o);
  return next_access().exclusive(&m->borrow) ? &m->value : nullptr;
}

const Data* Call::data(int i) {
  PyObject* o = values_[i];
  if (!PyObject_TypeCheck(o, data_type)) return type_error(i, "Data"), nullptr;
  auto* d = reinterpret_cast<DataObject*>(o);
  return next_access().shared(&d->borrow) ? &d->value : nullptr;
}

Data* Call::data_mut(int i) {
  PyObject* o = values_[i];
  if (!PyObject_TypeCheck(o, data_type)) return type_error(i, "Data"), nullptr;
  auto* d = reinterpret_cast<DataObject*>(o);
  return next_access().exclusive(&d->borrow) ? &d->value : nullptr;
}

bool Call::vector(int i, ArrayArg& out) {
  if (!is_float64_array(values_[i], 1)) return type_error(i, "PyArray<T, D>");
  out.object = values_[i];
  out.name = sig_.params[static_cast<std::size_t>(i)];
  out.ndim = 1;
  return true;
}

bool Call::stack(int i, ArrayArg& out, std::size_t width, const char* width_name) {
  PyObject* o = values_[i];
  if (!PyArray_Check(o) ||
      !PyArray_EquivTypes(PyArray_DESCR(as_array(o)), float64_descr)) {
    return type_error(i, "PyArray<T, D>");
  }
  PyArrayObject* a = as_array(o);
  if (PyArray_NDIM(a) != 2) {
    std::string shape = "(";
    for (int d = 0; d < PyArray_NDIM(a); ++d) {
      if (d > 0) shape += ", ";
      shape += std::to_string(PyArray_DIM(a, d));
    }
    shape += PyArray_NDIM(a) == 1 ? ",)" : ")";
    PyErr_SetString(PyExc_TypeError,
                    format("argument '{}': expected a 2-D array of shape (N, {}) = (N, {}), got a "
                           "{}-D array of shape {}",
                           sig_.params[static_cast<std::size_t>(i)], width_name, width,
                           PyArray_NDIM(a), shape)
                        .c_str());
    return false;
  }
  out.object = o;
  out.name = sig_.params[static_cast<std::size_t>(i)];
  out.ndim = 2;
  out.stack = true;
  return true;
}

bool Call::bytes(int i, std::string_view& out) {
  PyObject* o = values_[i];
  if (!PyBytes_Check(o)) return type_error(i, "PyBytes");
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(o, &data, &n) < 0) return false;
  out = std::string_view(data, static_cast<std::size_t>(n));
  return true;
}

bool Call::matrix(int i, ArrayArg& out) {
  if (!is_float64_array(values_[i], 2)) return type_error(i, "PyArray<T, D>");
  out.object = values_[i];
  out.name = sig_.params[static_cast<std::size_t>(i)];
  out.ndim = 2;
  return true;
}

bool Call::name_type_error(int i) {
  // A TypeError gets the argument's name in front; anything else passes unchanged.
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
    Py_ssize_t len = 0;
    const char* utf8 = text != nullptr ? PyUnicode_AsUTF8AndSize(text, &len) : nullptr;
    const std::string reason = utf8 != nullptr ? std::string(utf8, static_cast<std::size_t>(len)) : "";
    Py_XDECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(trace);
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError,
                    format("argument '{}': {}", sig_.params[static_cast<std::size_t>(i)], reason)
                        .c_str());
  }
  return false;
}

bool Call::vector_or_matrix(int i, ArrayArg& out) {
  return is_float64_array(values_[i], 1) ? vector(i, out) : matrix(i, out);
}

bool Call::index(int i, std::size_t& out) {
  PyObject* number = PyNumber_Index(values_[i]);
  if (number == nullptr) return name_type_error(i);
  const unsigned long long x = PyLong_AsUnsignedLongLong(number);
  Py_DECREF(number);
  if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
  out = static_cast<std::size_t>(x);
  return true;
}

bool Call::number(int i, double& out) {
  const double x = PyFloat_AsDouble(values_[i]);
  if (x == -1.0 && PyErr_Occurred() != nullptr) return name_type_error(i);
  out = x;
  return true;
}

bool Call::text(int i, std::string& out) {
  PyObject* o = values_[i];
  if (!PyUnicode_Check(o)) return type_error(i, "PyString");
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &len);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(len));
  return true;
}

bool Call::placement(int i, SE3& out) {
  PyObject* o = values_[i];
  if (!PyObject_TypeCheck(o, se3_type)) return type_error(i, "SE3");
  auto* s = reinterpret_cast<SE3Object*>(o);
  Access access;
  if (!access.shared(&s->borrow)) return false;
  out = s->value;
  return true;
}

bool Call::frame_code(int i, ReferenceFrame& out) {
  PyObject* o = values_[i];
  if (!PyObject_TypeCheck(o, reference_frame_type)) return type_error(i, "ReferenceFrame");
  const std::uint8_t code = reinterpret_cast<ReferenceFrameObject*>(o)->code;
  out = code == 0 ? ReferenceFrame::WORLD
                  : (code == 1 ? ReferenceFrame::LOCAL : ReferenceFrame::LOCAL_WORLD_ALIGNED);
  return true;
}

const Model* Call::self_model(PyObject* self) {
  auto* m = reinterpret_cast<ModelObject*>(self);
  return next_access().shared(&m->borrow) ? &m->value : nullptr;
}

Model* Call::self_model_mut(PyObject* self) {
  auto* m = reinterpret_cast<ModelObject*>(self);
  return next_access().exclusive(&m->borrow) ? &m->value : nullptr;
}

const Data* Call::self_data(PyObject* self) {
  auto* d = reinterpret_cast<DataObject*>(self);
  return next_access().shared(&d->borrow) ? &d->value : nullptr;
}

Data* Call::self_data_mut(PyObject* self) {
  auto* d = reinterpret_cast<DataObject*>(self);
  return next_access().exclusive(&d->borrow) ? &d->value : nullptr;
}

const SE3* Call::self_se3(PyObject* self) {
  auto* s = reinterpret_cast<SE3Object*>(self);
  return next_access().shared(&s->borrow) ? &s->value : nullptr;
}

// ---------------------------------------------------------------------------
// Results

PyObject* new_array(Py_ssize_t n, double** data) {
  npy_intp dims[1] = {n};
  PyObject* a = PyArray_SimpleNew(1, dims, NPY_FLOAT64);
  if (a != nullptr) *data = static_cast<double*>(PyArray_DATA(as_array(a)));
  return a;
}

PyObject* new_array(Py_ssize_t rows, Py_ssize_t cols, double** data) {
  npy_intp dims[2] = {rows, cols};
  PyObject* a = PyArray_SimpleNew(2, dims, NPY_FLOAT64);
  if (a != nullptr) *data = static_cast<double*>(PyArray_DATA(as_array(a)));
  return a;
}

PyObject* new_array(std::initializer_list<Py_ssize_t> shape, double** data) {
  npy_intp dims[NPY_MAXDIMS];
  int ndim = 0;
  for (const Py_ssize_t d : shape) dims[ndim++] = d;
  PyObject* a = PyArray_SimpleNew(ndim, dims, NPY_FLOAT64);
  if (a != nullptr) *data = static_cast<double*>(PyArray_DATA(as_array(a)));
  return a;
}

PyObject* reduce_to_bytes(PyObject* self, const std::string& bytes) {
  PyObject* loader = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_bytes");
  if (loader == nullptr) return nullptr;
  PyObject* payload = PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  if (payload == nullptr) {
    Py_DECREF(loader);
    return nullptr;
  }
  return Py_BuildValue("(N(N))", loader, payload);
}

PyObject* to_array(const double* x, Py_ssize_t n) {
  double* out = nullptr;
  PyObject* a = new_array(n, &out);
  if (a != nullptr && n > 0) std::memcpy(out, x, static_cast<std::size_t>(n) * sizeof(double));
  return a;
}

PyObject* to_tuple(std::initializer_list<const MatrixX*> matrices) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(matrices.size()));
  if (tuple == nullptr) return nullptr;
  Py_ssize_t k = 0;
  for (const MatrixX* m : matrices) {
    PyObject* item = to_array2d(*m);
    if (item == nullptr || PyTuple_SetItem(tuple, k++, item) != 0) {
      Py_DECREF(tuple);
      return nullptr;
    }
  }
  return tuple;
}

PyObject* to_array(const std::vector<Vec3>& rows) {
  double* out = nullptr;
  PyObject* a = new_array(static_cast<Py_ssize_t>(rows.size()), 3, &out);
  if (a == nullptr) return nullptr;
  for (const Vec3& x : rows) out = std::copy_n(x.data(), 3, out);
  return a;
}

PyObject* to_array_linear_first(const Vec6& angular_first) {
  const Vec6 x = swap_halves(angular_first);
  return to_array(x.data(), 6);
}

PyObject* to_array_linear_first(const std::vector<Vec6>& angular_first) {
  double* out = nullptr;
  PyObject* a = new_array(static_cast<Py_ssize_t>(angular_first.size()), 6, &out);
  if (a == nullptr) return nullptr;
  for (const Vec6& x : angular_first) {
    out = std::copy_n(x.data() + 3, 3, out);
    out = std::copy_n(x.data(), 3, out);
  }
  return a;
}

PyObject* to_array(const Inertia& inertia) { return to_array2d(inertia.to_matrix6()); }

PyObject* to_array(const std::vector<Inertia>& inertias) {
  double* out = nullptr;
  PyObject* a = new_array({static_cast<Py_ssize_t>(inertias.size()), 6, 6}, &out);
  if (a == nullptr) return nullptr;
  for (const Inertia& inertia : inertias) {
    const Mat6 y = inertia.to_matrix6();
    for (int r = 0; r < 6; ++r) {
      for (int c = 0; c < 6; ++c) *out++ = y(r, c);
    }
  }
  return a;
}

PyObject* to_float(const double& x) { return PyFloat_FromDouble(x); }

PyObject* to_str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}


// Fills a new list of n items made by item(k); nullptr when any fails.
template <class Item>
PyObject* make_list(std::size_t n, Item&& item) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return nullptr;
  for (std::size_t k = 0; k < n; ++k) {
    PyObject* x = item(k);
    if (x == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(k), x);
  }
  return list;
}

PyObject* to_list(const std::vector<std::string>& names) {
  return make_list(names.size(), [&](std::size_t k) { return to_str(names[k]); });
}

PyObject* to_list(const std::vector<std::size_t>& indices) {
  return make_list(indices.size(), [&](std::size_t k) { return PyLong_FromSize_t(indices[k]); });
}

PyObject* to_list(const std::vector<std::vector<std::size_t>>& index_lists) {
  return make_list(index_lists.size(), [&](std::size_t k) { return to_list(index_lists[k]); });
}

PyObject* to_list(const std::vector<SE3>& placements) {
  return make_list(placements.size(), [&](std::size_t k) { return new_se3(placements[k]); });
}

PyObject* to_list(const std::vector<Frame>& frames) {
  return make_list(frames.size(), [&](std::size_t k) { return new_frame(frames[k]); });
}

// ---------------------------------------------------------------------------
// Errors and output

void set_error_from_current_exception() {
  try {
    throw;
  } catch (const Error& e) {
    raise(PyExc_ValueError, e.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected error inside trelvar");
  }
}

PyObject* raise(PyObject* type, const std::string& message) {
  PyObject* text = to_str(message);
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  return nullptr;
}

namespace {

PyObject* new_exception(PyObject* type, const std::string& message) {
  PyObject* text = to_str(message);
  if (text == nullptr) return nullptr;
  PyObject* e = PyObject_CallFunctionObjArgs(type, text, nullptr);
  Py_DECREF(text);
  return e;
}

}  // namespace

PyObject* raise(PyObject* type, const std::string& message, const std::string& cause) {
  PyObject* inner = new_exception(type, cause);
  if (inner == nullptr) return nullptr;
  PyObject* outer = new_exception(type, message);
  if (outer == nullptr) {
    Py_DECREF(inner);
    return nullptr;
  }
  PyException_SetCause(outer, inner);  // steals `inner`
  PyErr_SetObject(type, outer);
  Py_DECREF(outer);
  return nullptr;
}

void write_stdout(const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(1, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere to report a closed or broken standard output
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::string format_fixed(double x, int width, int precision) {
  char buf[512];
  if (std::isnan(x)) {
    std::snprintf(buf, sizeof buf, "%*s", width, "NaN");
  } else if (std::isinf(x)) {
    std::snprintf(buf, sizeof buf, "%*s", width, x > 0 ? "inf" : "-inf");
  } else {
    const int n = std::snprintf(buf, sizeof buf, "%*.*f", width, precision, x);
    if (n >= static_cast<int>(sizeof buf)) {
      std::string big(static_cast<std::size_t>(n) + 1, '\0');
      std::snprintf(big.data(), big.size(), "%*.*f", width, precision, x);
      big.pop_back();
      return big;
    }
  }
  return buf;
}

}  // namespace trelvar::py

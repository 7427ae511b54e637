// The SE3 and ReferenceFrame classes.

#include <algorithm>

#include "toolkit.hpp"

namespace trelvar::py {

PyTypeObject* se3_type = nullptr;
PyTypeObject* reference_frame_type = nullptr;

namespace {

// ---- SE3 -------------------------------------------------------------------

PyObject* se3_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"SE3.__new__()", {"rotation", "translation"}};
    Call call(sig, args, kwargs);
    ArrayArg rotation, translation;
    if (!call.ok() || !call.matrix(0, rotation) || !call.vector(1, translation)) return nullptr;
    if (!check_arrays({&rotation, &translation})) return nullptr;
    if (rotation.rows() != 3 || rotation.cols() != 3 || translation.size() != 3) {
      return raise(PyExc_ValueError, "Rotation must be 3x3 matrix and translation must be 3D vector");
    }
    SE3 x;
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) x.rotation(r, c) = rotation.at(r, c);
    }
    x.translation = translation.vector();
    return new_se3(x);
  });
}

PyObject* se3_identity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"SE3.identity()", {}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    return new_se3(SE3::identity());
  });
}

PyObject* se3_compose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"SE3.compose()", {"other"}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const SE3* me = call.self_se3(self);
    SE3 other;
    if (me == nullptr || !call.placement(0, other)) return nullptr;
    return new_se3(me->compose(other));
  });
}

PyObject* se3_inverse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"SE3.inverse()", {}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const SE3* me = call.self_se3(self);
    return me != nullptr ? new_se3(me->inverse()) : nullptr;
  });
}

PyObject* se3_to_homogeneous(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"SE3.to_homogeneous()", {}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const SE3* me = call.self_se3(self);
    return me != nullptr ? to_array2d(me->to_homogeneous()) : nullptr;
  });
}

PyObject* se3_act(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"SE3.act()", {"point"}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const SE3* me = call.self_se3(self);
    ArrayArg point;
    if (me == nullptr || !call.vector_or_matrix(0, point) || !check_arrays({&point})) {
      return nullptr;
    }
    if (point.ndim == 1 ? point.size() != 3 : point.cols() != 3) {
      return raise(PyExc_ValueError, "Point must be a 3D vector or an (N, 3) array");
    }
    if (point.ndim == 1) return to_array(me->act(point.vector()));
    double* out = nullptr;
    PyObject* result = new_array(point.rows(), 3, &out);
    if (result == nullptr) return nullptr;
    for (Py_ssize_t r = 0; r < point.rows(); ++r) {
      const Vec3 x = me->act(Vec3(point.at(r, 0), point.at(r, 1), point.at(r, 2)));
      out = std::copy_n(x.data(), 3, out);
    }
    return result;
  });
}

// The read-only properties: the whole placement as a 4x4 matrix, and its parts.
template <class F>
PyObject* read_se3(PyObject* self, F&& body) {
  return guarded([&]() -> PyObject* {
    Access access;
    auto* s = reinterpret_cast<SE3Object*>(self);
    if (!access.shared(&s->borrow)) return nullptr;
    return body(static_cast<const SE3&>(s->value));
  });
}

PyObject* se3_homogeneous(PyObject* self, void*) {
  return read_se3(self, [](const SE3& x) { return to_array2d(x.to_homogeneous()); });
}
PyObject* se3_rotation(PyObject* self, void*) {
  return read_se3(self, [](const SE3& x) { return to_array2d(x.rotation); });
}
PyObject* se3_translation(PyObject* self, void*) {
  return read_se3(self, [](const SE3& x) { return to_array(x.translation); });
}

PyObject* se3_repr(PyObject*) { return PyUnicode_FromString("SE3(rotation=..., translation=...)"); }

PyMethodDef se3_methods[] = {
    {"identity", fast(se3_identity), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     TRELVAR_DOC("identity()", "")},
    {"compose", fast(se3_compose), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("compose($self, other)", "")},
    {"inverse", fast(se3_inverse), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("inverse($self)", "")},
    {"to_homogeneous", fast(se3_to_homogeneous), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("to_homogeneous($self)", "")},
    {"act", fast(se3_act), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("act($self, point)",
                 "Express a point (3,) or points (N, 3) of the child frame in the parent frame: "
                 "R p + t")},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef se3_getset[] = {
    {"homogeneous", se3_homogeneous, nullptr,
     "Get homogeneous matrix as a property (alias for to_homogeneous)", nullptr},
    {"rotation", se3_rotation, nullptr, "Rotation matrix (3 x 3)", nullptr},
    {"translation", se3_translation, nullptr, "Translation vector (3)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- ReferenceFrame ----------------------------------------------------------

PyObject* new_reference_frame(std::uint8_t code) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reference_frame_type, Py_tp_alloc));
  PyObject* o = alloc(reference_frame_type, 0);
  if (o != nullptr) reinterpret_cast<ReferenceFrameObject*>(o)->code = code;
  return o;
}

PyObject* reference_frame_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"ReferenceFrame.__new__()", {}};
    Call call(sig, args, kwargs);
    if (!call.ok()) return nullptr;
    return new_reference_frame(0);
  });
}

void reference_frame_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* reference_frame_repr(PyObject* self) {
  switch (reinterpret_cast<ReferenceFrameObject*>(self)->code) {
    case 0: return PyUnicode_FromString("ReferenceFrame.WORLD");
    case 1: return PyUnicode_FromString("ReferenceFrame.LOCAL");
    default: return PyUnicode_FromString("ReferenceFrame.LOCAL_WORLD_ALIGNED");
  }
}

}  // namespace

PyObject* new_se3(const SE3& value) { return new_object<SE3Object>(se3_type, value); }

PyTypeObject* create_se3_type() {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(se3_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<SE3Object>)},
      {Py_tp_methods, se3_methods},
      {Py_tp_getset, se3_getset},
      {Py_tp_repr, reinterpret_cast<void*>(se3_repr)},
      {Py_tp_str, reinterpret_cast<void*>(se3_repr)},
      {Py_tp_doc, const_cast<char*>("SE3(rotation, translation)\n--\n\n")},
      {0, nullptr}};
  PyType_Spec spec = {"trelvar.SE3", sizeof(SE3Object), 0, Py_TPFLAGS_DEFAULT, slots};
  se3_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return se3_type;
}

PyTypeObject* create_reference_frame_type() {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(reference_frame_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(reference_frame_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(reference_frame_repr)},
      {Py_tp_doc, const_cast<char*>("ReferenceFrame()\n--\n\n")},
      {0, nullptr}};
  PyType_Spec spec = {"trelvar.ReferenceFrame", sizeof(ReferenceFrameObject), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  reference_frame_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (reference_frame_type == nullptr) return nullptr;
  const char* names[] = {"WORLD", "LOCAL", "LOCAL_WORLD_ALIGNED"};
  for (std::uint8_t code = 0; code < 3; ++code) {
    PyObject* value = new_reference_frame(code);
    if (value == nullptr ||
        PyObject_SetAttrString(reinterpret_cast<PyObject*>(reference_frame_type), names[code],
                               value) < 0) {
      Py_XDECREF(value);
      Py_CLEAR(reference_frame_type);
      return nullptr;
    }
    Py_DECREF(value);
  }
  return reference_frame_type;
}

}  // namespace trelvar::py

// The Data class.
#include <algorithm>
#include <cmath>

#include "toolkit.hpp"
#include "trelvar/serialization.hpp"

namespace trelvar::py {

PyTypeObject* data_type = nullptr;

namespace {

bool any_above(const VectorX& x, double threshold) {
  for (Eigen::Index k = 0; k < x.size(); ++k) {
    if (std::abs(x[k]) > threshold) return true;
  }
  return false;
}

// Up to ten entries of a joint-space vector, then how many more.
void append_vector(std::string& s, const char* title, const char* label, const VectorX& x,
                   std::size_t nv) {
  s += format("\n{}\n", title);
  const std::size_t shown = std::min<std::size_t>(nv, 10);
  for (std::size_t i = 0; i < shown && i < static_cast<std::size_t>(x.size()); ++i) {
    s += format("  {}[{}] = ", label, i) + format_fixed(x[static_cast<Eigen::Index>(i)], 12, 6) + "\n";
  }
  if (nv > 10) s += format("  ... ({} more)\n", nv - 10);
}

std::string data_info(const Data& d) {
  std::string s;
  s += "========== Data Information ==========\n";
  s += "Dimensions:\n";
  s += format("  njoints: {}\n", d.njoints);
  s += format("  nq:      {}\n", d.nq);
  s += format("  nv:      {}\n", d.nv);
  if (d.njoints > 0) {
    const std::size_t k = std::min<std::size_t>(d.njoints, 5);
    s += format("\nJoint Placements (first {}):\n", k);
    for (std::size_t i = 0; i < k && i < d.omi.size(); ++i) {
      const Vec3& p = d.omi[i].translation;
      s += format("  Joint {}: position = [", i) + format_fixed(p[0], 8, 4) + ", " +
           format_fixed(p[1], 8, 4) + ", " + format_fixed(p[2], 8, 4) + "]\n";
    }
    if (d.njoints > 5) s += format("  ... ({} more joints)\n", d.njoints - 5);
  }
  if (d.nv > 0) {
    if (any_above(d.tau, 1e-10)) append_vector(s, "Joint Torques (tau):", "tau", d.tau, d.nv);
    if (any_above(d.g, 1e-10)) append_vector(s, "Gravity Vector (g):", "g", d.g, d.nv);
  }
  const Eigen::Index rows = d.M.rows(), cols = d.M.cols();
  if (rows > 0 && cols > 0 && (d.M.array().abs() > 1e-10).any()) {
    const Eigen::Index n = std::min<Eigen::Index>({rows, cols, 5});
    s += "\nMass Matrix (M):\n";
    s += format("  Size: {}x{}\n", rows, cols);
    s += format("  Top-left {}x{} block:\n", n, n);
    for (Eigen::Index r = 0; r < n; ++r) {
      s += "    ";
      for (Eigen::Index c = 0; c < n; ++c) s += format_fixed(d.M(r, c), 10, 4) + " ";
      s += "\n";
    }
    if (n < rows || n < cols) s += "  ... (larger matrix)\n";
  }
  s += "=====================================\n";
  return s;
}

template <class F>
PyObject* read_data(PyObject* self, F&& body) {
  return guarded([&]() -> PyObject* {
    Access access;
    auto* d = reinterpret_cast<DataObject*>(self);
    if (!access.shared(&d->borrow)) return nullptr;
    return body(static_cast<const Data&>(d->value));
  });
}

PyObject* data_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Data.__new__()", {"model"}};
    Call call(sig, args, kwargs);
    if (!call.ok()) return nullptr;
    const Model* m = call.model(0);
    return m != nullptr ? new_data(*m) : nullptr;
  });
}

PyObject* get_m(PyObject* self, void*) {
  return read_data(self, [](const Data& d) { return to_array2d(d.get_mass_matrix()); });
}
PyObject* get_c(PyObject* self, void*) {
  return read_data(self, [](const Data& d) { return to_array2d(d.C); });
}
PyObject* get_g(PyObject* self, void*) {
  return read_data(self, [](const Data& d) { return to_array(d.g); });
}
PyObject* get_omi(PyObject* self, void*) {
  return read_data(self, [](const Data& d) { return to_list(d.omi); });
}

// A read-only property: a fresh copy of one Data field made by `convert`
// (to_array_linear_first for the 6-vectors stored angular part first).
template <class T, T Data::*field, PyObject* (*convert)(const T&)>
PyObject* get_field(PyObject* self, void*) {
  return read_data(self, [](const Data& d) { return convert(d.*field); });
}

PyObject* data_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Data.reset()", {}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    Data* d = call.self_data_mut(self);
    if (d == nullptr) return nullptr;
    d->reset();
    Py_RETURN_NONE;
  });
}

// get_joint_placement / get_joint_translation: one joint of omi.
template <class Result>
PyObject* joint_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                      const Signature& sig, Result&& result) {
  return guarded([&]() -> PyObject* {
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const Data* d = call.self_data(self);
    std::size_t id = 0;
    if (d == nullptr || !call.index(0, id)) return nullptr;
    if (id >= d->omi.size()) {
      return raise(PyExc_IndexError, format("Joint ID {} out of range (max: {})", id,
                                            d->omi.empty() ? 0 : d->omi.size() - 1));
    }
    return result(d->omi[id]);
  });
}

PyObject* data_get_joint_placement(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kw) {
  static const Signature sig{"Data.get_joint_placement()", {"joint_id"}};
  return joint_entry(self, args, nargs, kw, sig, [](const SE3& x) { return new_se3(x); });
}

PyObject* data_get_joint_translation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kw) {
  static const Signature sig{"Data.get_joint_translation()", {"joint_id"}};
  return joint_entry(self, args, nargs, kw, sig,
                     [](const SE3& x) { return to_array(x.translation); });
}

PyObject* data_to_string_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Data.to_string_info()", {}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const Data* d = call.self_data(self);
    return d != nullptr ? to_str(data_info(*d)) : nullptr;
  });
}

PyObject* data_print_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Data.print_info()", {}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const Data* d = call.self_data(self);
    if (d == nullptr) return nullptr;
    write_stdout(data_info(*d) + "\n");
    Py_RETURN_NONE;
  });
}

PyObject* data_str(PyObject* self) {
  return read_data(self, [](const Data& d) { return to_str(data_info(d)); });
}

PyObject* data_repr(PyObject* self) {
  return read_data(self, [](const Data& d) {
    return to_str(format("Data(njoints={}, nq={}, nv={})", d.njoints, d.nq, d.nv));
  });
}

// ---- pickling -------------------------------------------------------------------

PyObject* data_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Data.__reduce__()", {}};
    Call call(sig, args, nargs, kw);
    const Data* d = call.ok() ? call.self_data(self) : nullptr;
    return d != nullptr ? reduce_to_bytes(self, serialize(*d)) : nullptr;
  });
}

PyObject* data_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Data._from_bytes()", {"data"}};
    Call call(sig, args, nargs, kw);
    std::string_view bytes;
    if (!call.ok() || !call.bytes(0, bytes)) return nullptr;
    return new_object<DataObject>(data_type, deserialize_data(bytes));
  });
}

PyMethodDef data_methods[] = {
    {"reset", fast(data_reset), METH_FASTCALL | METH_KEYWORDS, TRELVAR_DOC("reset($self)", "")},
    {"get_joint_placement", fast(data_get_joint_placement), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("get_joint_placement($self, joint_id)", "Get joint placement in world frame (oMi)")},
    {"get_joint_translation", fast(data_get_joint_translation), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("get_joint_translation($self, joint_id)",
                 "Get joint translation (position) in world frame")},
    {"to_string_info", fast(data_to_string_info), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("to_string_info($self)",
                 "Get string representation of data structure information")},
    {"print_info", fast(data_print_info), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("print_info($self)", "Print data structure information")},
    {"__reduce__", fast(data_reduce), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("__reduce__($self)", "Pickle support: every buffer as versioned bytes.")},
    {"_from_bytes", fast(data_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     TRELVAR_DOC("_from_bytes($type, data)", "The data stored by __reduce__.")},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef data_getset[] = {
    {"M", get_m, nullptr,
     "Get mass matrix M as a numpy array (nv x nv)\n\nReturns the full symmetric mass matrix. "
     "CRBA computes only the upper\ntriangular part internally, but this getter returns the "
     "complete matrix\nwith the lower triangular part mirrored from the upper.",
     nullptr},
    {"C", get_c, nullptr, "Get Coriolis matrix C as a numpy array (nv x nv)", nullptr},
    {"dtau_dq", get_field<MatrixX, &Data::dtau_dq, to_array>, nullptr,
     "Derivative of tau with respect to q in the tangent space (nv x nv), from computeRNEADerivatives",
     nullptr},
    {"dtau_dv", get_field<MatrixX, &Data::dtau_dv, to_array>, nullptr,
     "Derivative of tau with respect to v (nv x nv), from computeRNEADerivatives", nullptr},
    {"ddq_dq", get_field<MatrixX, &Data::ddq_dq, to_array>, nullptr,
     "Derivative of ddq with respect to q in the tangent space (nv x nv), from computeABADerivatives",
     nullptr},
    {"ddq_dv", get_field<MatrixX, &Data::ddq_dv, to_array>, nullptr,
     "Derivative of ddq with respect to v (nv x nv), from computeABADerivatives", nullptr},
    {"g", get_g, nullptr, "Get gravity vector g as a numpy array (nv)", nullptr},
    {"oMi", get_omi, nullptr, "Get joint placements in world frame (oMi) as a list of SE3", nullptr},
    {"tau", get_field<VectorX, &Data::tau, to_array>, nullptr,
     "Joint forces of the last inverse-dynamics run (nv)", nullptr},
    {"nle", get_field<VectorX, &Data::nle, to_array>, nullptr,
     "Non-linear effects C(q, v) v + g(q) (nv)", nullptr},
    {"ddq", get_field<VectorX, &Data::ddq, to_array>, nullptr,
     "Joint accelerations of the last forward-dynamics run (nv)", nullptr},
    {"Minv", get_field<MatrixX, &Data::Minv, to_array>, nullptr,
     "Inverse mass matrix of the last computeMinverse run (nv x nv), full and symmetric", nullptr},
    {"J", get_field<Matrix6X, &Data::j, to_array>, nullptr,
     "World Jacobian of every joint (6 x nv), linear part first", nullptr},
    {"dJ", get_field<Matrix6X, &Data::dJ, to_array>, nullptr,
     "Time variation of the world Jacobian (6 x nv), linear part first", nullptr},
    {"Ag", get_field<Matrix6X, &Data::ag, to_array>, nullptr,
     "Centroidal momentum matrix (6 x nv), linear part first", nullptr},
    {"dAg", get_field<Matrix6X, &Data::dag, to_array>, nullptr,
     "Time variation of the centroidal momentum matrix (6 x nv), linear part first", nullptr},
    {"Jcom", get_field<Matrix3X, &Data::jcom, to_array>, nullptr,
     "Centre-of-mass Jacobian (3 x nv)", nullptr},
    {"com", get_field<std::vector<Vec3>, &Data::com, to_array>, nullptr,
     "Centre of mass of each joint's subtree (njoints x 3), in the joint's frame; entry 0 in the world",
     nullptr},
    {"vcom", get_field<std::vector<Vec3>, &Data::vcom, to_array>, nullptr,
     "Velocity of each subtree's centre of mass (njoints x 3), in the joint's axes; entry 0 in the "
     "world", nullptr},
    {"mass", get_field<std::vector<double>, &Data::mass, to_array>, nullptr,
     "Mass of each joint's subtree (njoints); entry 0 the total", nullptr},
    {"v", get_field<std::vector<Vec6>, &Data::v, to_array_linear_first>, nullptr,
     "Spatial velocity of each joint in its own frame (njoints x 6), linear part first", nullptr},
    {"a", get_field<std::vector<Vec6>, &Data::a, to_array_linear_first>, nullptr,
     "Spatial acceleration of each joint in its own frame (njoints x 6), linear part first",
     nullptr},
    {"f", get_field<std::vector<Vec6>, &Data::f, to_array_linear_first>, nullptr,
     "Spatial force transmitted by each joint in its own frame (njoints x 6), force part first",
     nullptr},
    {"ov", get_field<std::vector<Vec6>, &Data::ov, to_array_linear_first>, nullptr,
     "Spatial velocity of each joint in the world frame (njoints x 6), linear part first", nullptr},
    {"a_gf", get_field<std::vector<Vec6>, &Data::a_gf, to_array_linear_first>, nullptr,
     "Spatial acceleration of each joint with the gravity offset, own frame (njoints x 6), linear "
     "part first", nullptr},
    {"h", get_field<std::vector<Vec6>, &Data::h, to_array_linear_first>, nullptr,
     "Spatial momentum of each joint's subtree, own frame (njoints x 6), linear part first",
     nullptr},
    {"liMi", get_field<std::vector<SE3>, &Data::limi, to_list>, nullptr,
     "Placement of each joint in its parent joint's frame, as a list of SE3", nullptr},
    {"oYcrb", get_field<std::vector<Inertia>, &Data::oycrb, to_array>, nullptr,
     "Composite inertia of each joint's subtree in the world frame (njoints x 6 x 6), linear part "
     "first", nullptr},
    {"hg", get_field<Vec6, &Data::hg, to_array_linear_first>, nullptr,
     "Centroidal momentum (6), linear part first", nullptr},
    {"dhg", get_field<Vec6, &Data::dhg, to_array_linear_first>, nullptr,
     "Rate of change of the centroidal momentum (6), linear part first", nullptr},
    {"Ig", get_field<Inertia, &Data::ig, to_array>, nullptr,
     "Centroidal composite inertia (6 x 6), linear part first", nullptr},
    {"kinetic_energy", get_field<double, &Data::kinetic_energy, to_float>, nullptr,
     "Kinetic energy", nullptr},
    {"potential_energy", get_field<double, &Data::potential_energy, to_float>, nullptr,
     "Potential energy in the gravity field", nullptr},
    {"mechanical_energy", get_field<double, &Data::mechanical_energy, to_float>, nullptr,
     "Kinetic plus potential energy", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyObject* new_data(const Model& model) { return new_object<DataObject>(data_type, model); }

PyTypeObject* create_data_type() {
  PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(data_new)},
                         {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<DataObject>)},
                         {Py_tp_methods, data_methods},
                         {Py_tp_getset, data_getset},
                         {Py_tp_repr, reinterpret_cast<void*>(data_repr)},
                         {Py_tp_str, reinterpret_cast<void*>(data_str)},
                         {Py_tp_doc, const_cast<char*>("Data(model)\n--\n\n")},
                         {0, nullptr}};
  PyType_Spec spec = {"trelvar.Data", sizeof(DataObject), 0, Py_TPFLAGS_DEFAULT, slots};
  data_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return data_type;
}

}  // namespace trelvar::py

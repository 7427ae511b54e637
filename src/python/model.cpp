// The Model class.

#include <algorithm>
#include <iterator>
#include <optional>

#include "toolkit.hpp"
#include "trelvar/serialization.hpp"

namespace trelvar::py {

PyTypeObject* model_type = nullptr;
PyTypeObject* frame_type = nullptr;

namespace {

std::string model_info(const Model& m) {
  std::string s;
  s += "========== Model Information ==========\n";
  s += format("Model name: {}\n", m.name);
  s += format("Number of joints: {}\n", m.njoints);
  s += format("Number of frames: {}\n", m.nframes);
  s += format("Number of bodies: {}\n", m.nbodies);
  s += format("Number of DOF (nq): {}\n", m.nq);
  s += format("Number of velocity DOF (nv): {}\n", m.nv);
  s += "\n========== Joint Information ==========\n";
  for (std::size_t i = 0; i < m.njoints && i < m.names.size() && i < m.parents.size(); ++i) {
    s += format("Joint {}: {} (parent: {})\n", i, m.names[i], m.parents[i]);
  }
  s += "\n========== Frame Information ==========\n";
  for (std::size_t k = 0; k < m.frames.size(); ++k) {
    const Frame& f = m.frames[k];
    s += format("Frame {}: {} (type: {}, parent: {})\n", k, f.name, f.frame_type.to_string(),
                f.parent);
  }
  s += "=======================================\n";
  return s;
}

// Runs body(model) with the model taken shared, for getters and read-only methods.
template <class F>
PyObject* read_model(PyObject* self, F&& body) {
  return guarded([&]() -> PyObject* {
    Access access;
    auto* m = reinterpret_cast<ModelObject*>(self);
    if (!access.shared(&m->borrow)) return nullptr;
    return body(static_cast<const Model&>(m->value));
  });
}

PyObject* model_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Model.__new__()", {}};
    Call call(sig, args, kwargs);
    if (!call.ok()) return nullptr;
    return new_model(Model());
  });
}

// ---- properties ----------------------------------------------------------------

PyObject* get_nq(PyObject* self, void*) {
  return read_model(self, [](const Model& m) { return PyLong_FromSize_t(m.nq); });
}
PyObject* get_nv(PyObject* self, void*) {
  return read_model(self, [](const Model& m) { return PyLong_FromSize_t(m.nv); });
}
PyObject* get_njoints(PyObject* self, void*) {
  return read_model(self, [](const Model& m) { return PyLong_FromSize_t(m.njoints); });
}
PyObject* get_nframes(PyObject* self, void*) {
  return read_model(self, [](const Model& m) { return PyLong_FromSize_t(m.nframes); });
}
PyObject* get_names(PyObject* self, void*) {
  return read_model(self, [](const Model& m) { return to_list(m.names); });
}
PyObject* get_name(PyObject* self, void*) {
  return read_model(self, [](const Model& m) {
    return to_str(m.name);
  });
}
PyObject* get_lower(PyObject* self, void*) {
  return read_model(self, [](const Model& m) { return to_array(m.lower_position_limit); });
}
PyObject* get_upper(PyObject* self, void*) {
  return read_model(self, [](const Model& m) { return to_array(m.upper_position_limit); });
}
PyObject* get_gravity(PyObject* self, void*) {
  return read_model(self, [](const Model& m) { return to_array(m.gravity_linear()); });
}
PyObject* get_gravity_angular(PyObject* self, void*) {
  return read_model(self, [](const Model& m) { return to_array(m.gravity_angular()); });
}
PyObject* get_gravity_full(PyObject* self, void*) {
  // Linear part first at the Python boundary.
  return read_model(self, [](const Model& m) {
    const Vec6 full = swap_halves(m.gravity);
    return to_array(full.data(), 6);
  });
}

// The structure and the bodies: fresh copies of the per-joint lists.

// A read-only property: a fresh copy of one Model field made by `convert`.
template <class T, T Model::*field, PyObject* (*convert)(const T&)>
PyObject* get_field(PyObject* self, void*) {
  return read_model(self, [](const Model& m) { return convert(m.*field); });
}

// The inertia of the body joint i carries; a model edited by hand may hold
// fewer inertias than joints, and the missing ones are zero.
const Inertia& body_inertia(const Model& m, std::size_t i) {
  static const Inertia none;
  return i < m.inertias.size() ? m.inertias[i] : none;
}

// The name of a joint kind: its label in the kind table, which is the name
// add_joint takes (and a URDF joint's type attribute uses).
std::string kind_name(JointType type) {
  const JointKindInfo* info = joint_kind_info(type);
  return info != nullptr ? info->label : "unknown";
}

PyObject* get_joint_types(PyObject* self, void*) {
  return read_model(self, [](const Model& m) {
    std::vector<std::string> names;
    names.reserve(m.joints.size());
    for (const Joint& joint : m.joints) names.push_back(kind_name(joint.joint_type));
    return to_list(names);
  });
}
PyObject* get_axes(PyObject* self, void*) {
  return read_model(self, [](const Model& m) {
    std::vector<Vec3> axes;
    axes.reserve(m.joints.size());
    for (const Joint& joint : m.joints) axes.push_back(joint.axis);
    return to_array(axes);
  });
}
PyObject* get_masses(PyObject* self, void*) {
  return read_model(self, [](const Model& m) {
    std::vector<double> masses(m.njoints);
    for (std::size_t i = 0; i < m.njoints; ++i) masses[i] = body_inertia(m, i).mass;
    return to_array(masses);
  });
}
PyObject* get_levers(PyObject* self, void*) {
  return read_model(self, [](const Model& m) {
    std::vector<Vec3> levers(m.njoints);
    for (std::size_t i = 0; i < m.njoints; ++i) levers[i] = body_inertia(m, i).lever;
    return to_array(levers);
  });
}
PyObject* get_rotational_inertias(PyObject* self, void*) {
  return read_model(self, [](const Model& m) -> PyObject* {
    double* out = nullptr;
    PyObject* array = new_array({static_cast<Py_ssize_t>(m.njoints), 3, 3}, &out);
    if (array == nullptr) return nullptr;
    for (std::size_t i = 0; i < m.njoints; ++i) {
      const Mat3 rotational = body_inertia(m, i).rotational();
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) *out++ = rotational(r, c);
      }
    }
    return array;
  });
}

// ---- methods ---------------------------------------------------------------------

// The three gravity setters: one vector argument of `size` entries written at
// `offset` (0 = linear part, 3 = angular part) of the linear-first gravity.
PyObject* set_gravity_part(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                           const Signature& sig, std::size_t size, std::size_t offset,
                           const char* length_message) {
  return guarded([&]() -> PyObject* {
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    Model* m = call.self_model_mut(self);
    ArrayArg g;
    if (m == nullptr || !call.vector(0, g) || !check_arrays({&g})) return nullptr;
    if (static_cast<std::size_t>(g.size()) != size) return raise(PyExc_ValueError, length_message);
    const auto values = g.vector();
    Vec6 full = swap_halves(m->gravity);
    for (std::size_t k = 0; k < size; ++k) {
      full[static_cast<Eigen::Index>(offset + k)] = values[static_cast<Eigen::Index>(k)];
    }
    m->gravity = swap_halves(full);
    Py_RETURN_NONE;
  });
}

PyObject* model_set_gravity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const Signature sig{"Model.set_gravity()", {"gravity"}};
  return set_gravity_part(self, args, nargs, kw, sig, 3, 0,
                          "Gravity vector must have 3 elements [x, y, z]");
}

PyObject* model_set_gravity_angular(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
  static const Signature sig{"Model.set_gravity_angular()", {"gravity_angular"}};
  return set_gravity_part(self, args, nargs, kw, sig, 3, 3,
                          "Gravity angular vector must have 3 elements [wx, wy, wz]");
}

PyObject* model_set_gravity_full(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kw) {
  static const Signature sig{"Model.set_gravity_full()", {"gravity"}};
  return set_gravity_part(self, args, nargs, kw, sig, 6, 0,
                          "Full gravity vector must have 6 elements [lx, ly, lz, wx, wy, wz]");
}

PyObject* model_add_joint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Model.add_joint()",
                               {"parent", "joint_type", "axis", "placement", "name"}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    Model* m = call.self_model_mut(self);
    std::size_t parent = 0;
    std::string type_name, name;
    ArrayArg axis;
    SE3 placement;
    if (m == nullptr || !call.index(0, parent) || !call.text(1, type_name) ||
        !call.vector(2, axis) || !call.placement(3, placement) || !call.text(4, name) ||
        !check_arrays({&axis})) {
      return nullptr;
    }
    // Kinds by their table label; this method offers four of them.
    static constexpr JointType kOffered[] = {JointType::Fixed, JointType::Revolute,
                                             JointType::Prismatic, JointType::Floating};
    const std::optional<JointType> type = joint_type_from_label(type_name);
    if (!type || std::find(std::begin(kOffered), std::end(kOffered), *type) == std::end(kOffered)) {
      return raise(PyExc_ValueError, "Unknown joint type: " + type_name);
    }
    const JointKindInfo* info = joint_kind_info(*type);
    const bool needs_axis = info != nullptr && info->reads_axis;
    Vec3 axis_value = Vec3::Zero();
    if (needs_axis) {
      if (axis.size() != 3) return raise(PyExc_ValueError, "Axis must be a 3D vector");
      axis_value = axis.vector();
    }
    const std::size_t id = m->add_joint(parent, Joint::create(*type, axis_value), placement,
                                        std::move(name));
    return PyLong_FromSize_t(id);
  });
}

PyObject* model_set_inertia(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Model.set_inertia()",
                               {"joint_id", "mass", "lever", "rotational_inertia"}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    Model* m = call.self_model_mut(self);
    std::size_t joint_id = 0;
    double mass = 0.0;
    ArrayArg lever, rotational;
    if (m == nullptr || !call.index(0, joint_id) || !call.number(1, mass) ||
        !call.vector(2, lever) || !call.matrix(3, rotational) ||
        !check_arrays({&lever, &rotational})) {
      return nullptr;
    }
    if (lever.size() != 3) return raise(PyExc_ValueError, "Lever must be a 3D vector");
    if (rotational.rows() != 3 || rotational.cols() != 3) {
      return raise(PyExc_ValueError, "Rotational inertia must be a 3x3 matrix");
    }
    Mat3 r;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) r(i, j) = rotational.at(i, j);
    }
    m->set_inertia(joint_id, mass, lever.vector(), r);
    Py_RETURN_NONE;
  });
}

// get_joint_id / getFrameId: index of the first match, or None.
template <class Lookup>
PyObject* lookup_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                      const Signature& sig, Lookup&& lookup) {
  return guarded([&]() -> PyObject* {
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const Model* m = call.self_model(self);
    std::string name;
    if (m == nullptr || !call.text(0, name)) return nullptr;
    const std::optional<std::size_t> id = lookup(*m, name);
    if (!id) Py_RETURN_NONE;
    return PyLong_FromSize_t(*id);
  });
}

PyObject* model_get_joint_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const Signature sig{"Model.get_joint_id()", {"name"}};
  return lookup_name(self, args, nargs, kw, sig,
                     [](const Model& m, const std::string& n) { return m.get_joint_id(n); });
}

PyObject* model_get_frame_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const Signature sig{"Model.getFrameId()", {"name"}};
  return lookup_name(self, args, nargs, kw, sig,
                     [](const Model& m, const std::string& n) { return m.get_frame_id(n); });
}

PyObject* model_set_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Model.set_name()", {"name"}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    Model* m = call.self_model_mut(self);
    std::string name;
    if (m == nullptr || !call.text(0, name)) return nullptr;
    m->name = std::move(name);
    Py_RETURN_NONE;
  });
}

PyObject* model_create_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Model.createData()", {}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const Model* m = call.self_model(self);
    return m != nullptr ? new_data(*m) : nullptr;
  });
}

PyObject* model_to_string_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Model.to_string_info()", {}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const Model* m = call.self_model(self);
    if (m == nullptr) return nullptr;
    const std::string text = model_info(*m);
    return to_str(text);
  });
}

PyObject* model_print_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Model.print_info()", {}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const Model* m = call.self_model(self);
    if (m == nullptr) return nullptr;
    write_stdout(model_info(*m) + "\n");
    Py_RETURN_NONE;
  });
}

PyObject* model_str(PyObject* self) {
  return read_model(self, [](const Model& m) {
    const std::string text = model_info(m);
    return to_str(text);
  });
}

PyObject* model_repr(PyObject* self) {
  return read_model(self, [](const Model& m) {
    const std::string text = format("Model(name='{}', njoints={}, nframes={}, nq={}, nv={})",
                                    m.name, m.njoints, m.nframes, m.nq, m.nv);
    return to_str(text);
  });
}

// ---- pickling -------------------------------------------------------------------

PyObject* model_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Model.__reduce__()", {}};
    Call call(sig, args, nargs, kw);
    const Model* m = call.ok() ? call.self_model(self) : nullptr;
    return m != nullptr ? reduce_to_bytes(self, serialize(*m)) : nullptr;
  });
}

PyObject* model_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"Model._from_bytes()", {"data"}};
    Call call(sig, args, nargs, kw);
    std::string_view bytes;
    if (!call.ok() || !call.bytes(0, bytes)) return nullptr;
    return new_model(deserialize_model(bytes));
  });
}

PyMethodDef model_methods[] = {
    {"set_gravity", fast(model_set_gravity), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("set_gravity($self, gravity)",
                 "Set gravity vector (linear part)\n\n# Arguments\n* `gravity` - Gravity vector "
                 "[x, y, z] in m/s\xc2\xb2")},
    {"set_gravity_angular", fast(model_set_gravity_angular), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("set_gravity_angular($self, gravity_angular)",
                 "Set gravity angular part\n\n# Arguments\n* `gravity_angular` - Angular gravity "
                 "vector [wx, wy, wz] in rad/s\xc2\xb2")},
    {"set_gravity_full", fast(model_set_gravity_full), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("set_gravity_full($self, gravity)",
                 "Set full 6D gravity\n\n# Arguments\n* `gravity` - Full 6D gravity [linear_x, "
                 "linear_y, linear_z, angular_x, angular_y, angular_z]\n  - linear part in "
                 "m/s\xc2\xb2\n  - angular part in rad/s\xc2\xb2")},
    {"add_joint", fast(model_add_joint), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("add_joint($self, parent, joint_type, axis, placement, name)", "")},
    {"set_inertia", fast(model_set_inertia), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("set_inertia($self, joint_id, mass, lever, rotational_inertia)",
                 "Set the inertia of the body a joint carries: mass, centre of mass in the joint "
                 "frame, rotational inertia about it")},
    {"get_joint_id", fast(model_get_joint_id), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("get_joint_id($self, name)", "")},
    {"getFrameId", fast(model_get_frame_id), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("getFrameId($self, name)", "")},
    {"set_name", fast(model_set_name), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("set_name($self, name)", "")},
    {"createData", fast(model_create_data), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("createData($self)", "Create a Data object for this model")},
    {"to_string_info", fast(model_to_string_info), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("to_string_info($self)", "Get string representation of model information")},
    {"print_info", fast(model_print_info), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("print_info($self)", "Print model information")},
    {"__reduce__", fast(model_reduce), METH_FASTCALL | METH_KEYWORDS,
     TRELVAR_DOC("__reduce__($self)", "Pickle support: the model as versioned bytes.")},
    {"_from_bytes", fast(model_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     TRELVAR_DOC("_from_bytes($type, data)", "The model stored by __reduce__.")},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef model_getset[] = {
    {"nq", get_nq, nullptr, nullptr, nullptr},
    {"nv", get_nv, nullptr, nullptr, nullptr},
    {"njoints", get_njoints, nullptr, nullptr, nullptr},
    {"nframes", get_nframes, nullptr, nullptr, nullptr},
    {"names", get_names, nullptr, nullptr, nullptr},
    {"name", get_name, nullptr, nullptr, nullptr},
    {"lowerPositionLimit", get_lower, nullptr, nullptr, nullptr},
    {"upperPositionLimit", get_upper, nullptr, nullptr, nullptr},
    {"gravity", get_gravity, nullptr, "Get gravity vector (linear part) [x, y, z] in m/s\xc2\xb2",
     nullptr},
    {"gravity_angular", get_gravity_angular, nullptr,
     "Get gravity angular part [wx, wy, wz] in rad/s\xc2\xb2", nullptr},
    {"gravity_full", get_gravity_full, nullptr,
     "Get full 6D gravity [linear_x, linear_y, linear_z, angular_x, angular_y, angular_z]",
     nullptr},
    {"parents", get_field<std::vector<std::size_t>, &Model::parents, to_list>, nullptr,
     "Parent of each joint (the universe is its own parent)", nullptr},
    {"idx_qs", get_field<std::vector<std::size_t>, &Model::idx_qs, to_list>, nullptr,
     "Start of each joint's slice of q", nullptr},
    {"nqs", get_field<std::vector<std::size_t>, &Model::nqs, to_list>, nullptr,
     "Size of each joint's slice of q", nullptr},
    {"idx_vs", get_field<std::vector<std::size_t>, &Model::idx_vs, to_list>, nullptr,
     "Start of each joint's slice of v", nullptr},
    {"nvs", get_field<std::vector<std::size_t>, &Model::nvs, to_list>, nullptr,
     "Size of each joint's slice of v", nullptr},
    {"joint_types", get_joint_types, nullptr, "Kind of each joint, named as add_joint takes it",
     nullptr},
    {"axes", get_axes, nullptr, "Axis of each joint (njoints x 3), zero for kinds without one",
     nullptr},
    {"placements", get_field<std::vector<SE3>, &Model::placements, to_list>, nullptr,
     "Placement of each joint in its parent joint's frame, as a list of SE3", nullptr},
    {"masses", get_masses, nullptr, "Mass of the body each joint carries (njoints)", nullptr},
    {"levers", get_levers, nullptr, "Centre of mass of each body in its joint's frame (njoints x 3)",
     nullptr},
    {"rotational_inertias", get_rotational_inertias, nullptr,
     "Rotational inertia of each body about its centre of mass (njoints x 3 x 3)", nullptr},
    {"children", get_field<std::vector<std::vector<std::size_t>>, &Model::children, to_list>,
     nullptr, "Child joints of each joint, in the order they were added", nullptr},
    {"supports", get_field<std::vector<std::vector<std::size_t>>, &Model::supports, to_list>,
     nullptr, "Path from the universe to each joint, both included", nullptr},
    {"subtrees", get_field<std::vector<std::vector<std::size_t>>, &Model::subtrees, to_list>,
     nullptr, "Each joint followed by its descendants (the universe: all other joints)", nullptr},
    {"frames", get_field<std::vector<Frame>, &Model::frames, to_list>, nullptr, "The model's frames, as read-only Frame records", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- Frame -------------------------------------------------------------------------

const Frame& frame_of(PyObject* self) { return reinterpret_cast<FrameObject*>(self)->value; }

PyObject* frame_name(PyObject* self, void*) {
  return guarded([&] { return to_str(frame_of(self).name); });
}
PyObject* frame_parent(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(frame_of(self).parent); });
}
PyObject* frame_placement(PyObject* self, void*) {
  return guarded([&] { return new_se3(frame_of(self).placement); });
}
PyObject* frame_kind(PyObject* self, void*) {
  return guarded([&] { return to_str(frame_of(self).frame_type.to_string()); });
}

PyObject* frame_repr(PyObject* self) {
  return guarded([&] {
    const Frame& f = frame_of(self);
    return to_str(format("Frame(name='{}', parent={}, type={})", f.name, f.parent,
                         f.frame_type.to_string()));
  });
}

PyGetSetDef frame_getset[] = {
    {"name", frame_name, nullptr, "The frame's name", nullptr},
    {"parent", frame_parent, nullptr, "The joint the frame is attached to", nullptr},
    {"placement", frame_placement, nullptr, "Placement of the frame in its joint's frame",
     nullptr},
    {"type", frame_kind, nullptr, "Kind of the frame, as printed: FrameType(JOINT), ...", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyObject* new_model(Model value) { return new_object<ModelObject>(model_type, std::move(value)); }

PyObject* new_frame(const Frame& value) { return new_object<FrameObject>(frame_type, value); }

PyTypeObject* create_model_type() {
  PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(model_new)},
                         {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ModelObject>)},
                         {Py_tp_methods, model_methods},
                         {Py_tp_getset, model_getset},
                         {Py_tp_repr, reinterpret_cast<void*>(model_repr)},
                         {Py_tp_str, reinterpret_cast<void*>(model_str)},
                         {Py_tp_doc, const_cast<char*>("Model()\n--\n\n")},
                         {0, nullptr}};
  PyType_Spec spec = {"trelvar.Model", sizeof(ModelObject), 0, Py_TPFLAGS_DEFAULT, slots};
  model_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return model_type;
}

// Frame records are made only by Model.frames: Python cannot create one.
PyTypeObject* create_frame_type() {
  PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<FrameObject>)},
                         {Py_tp_getset, frame_getset},
                         {Py_tp_repr, reinterpret_cast<void*>(frame_repr)},
                         {0, nullptr}};
  PyType_Spec spec = {"trelvar.Frame", sizeof(FrameObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  frame_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return frame_type;
}

}  // namespace trelvar::py

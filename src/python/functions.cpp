// The module functions. Each reads like its contract: bind and convert the
// arguments, check arrays, lengths and indices, make one library call, convert
// the result.
#include "functions.hpp"

#include "toolkit.hpp"
#include "trelvar/derivatives.hpp"
#include "trelvar/dynamics.hpp"
#include "trelvar/error.hpp"
#include "trelvar/forward_dynamics.hpp"
#include "trelvar/jacobians.hpp"
#include "trelvar/kinematics.hpp"
#include "trelvar/urdf.hpp"

namespace trelvar::py {

namespace {

// The length checks shared by the dynamics and Jacobian functions.
bool q_length_ok(ArrayArg& q, const Model& m) {
  if (static_cast<std::size_t>(q.size()) == m.nq) return true;
  raise(PyExc_ValueError, format("q length {} != nq {}", q.size(), m.nq));
  return false;
}
bool v_length_ok(ArrayArg& v, const Model& m, const char* name = "v") {
  if (static_cast<std::size_t>(v.size()) == m.nv) return true;
  raise(PyExc_ValueError, format("{} length {} != nv {}", name, v.size(), m.nv));
  return false;
}

// Functions taking (model, data, q[, v]) that fill the data and return None or
// a result: the common front part.
struct ModelDataQ {
  const Model* model = nullptr;
  Data* data = nullptr;
  ArrayArg q, v;
};

bool convert_model_data_q(Call& call, ModelDataQ& out, bool with_v) {
  if (!call.ok()) return false;
  out.model = call.model(0);
  if (out.model == nullptr) return false;
  out.data = call.data_mut(1);
  if (out.data == nullptr || !call.vector(2, out.q)) return false;
  if (with_v && !call.vector(3, out.v)) return false;
  if (with_v ? !check_arrays({&out.q, &out.v}) : !check_arrays({&out.q})) return false;
  if (!q_length_ok(out.q, *out.model)) return false;
  return !with_v || v_length_ok(out.v, *out.model);
}

// ---- configuration space and kinematics ----------------------------------------

PyObject* py_neutral(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"neutral()", {"model"}};
    Call call(sig, args, nargs, kw);
    const Model* m = call.ok() ? call.model(0) : nullptr;
    return m != nullptr ? to_array(neutral(*m)) : nullptr;
  });
}

PyObject* py_integrate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"integrate()", {"model", "q", "v"}};
    Call call(sig, args, nargs, kw);
    ArrayArg q, v;
    const Model* m = call.ok() ? call.model(0) : nullptr;
    if (m == nullptr || !call.vector(1, q) || !call.vector(2, v) || !check_arrays({&q, &v})) {
      return nullptr;
    }
    if (static_cast<std::size_t>(q.size()) != m->nq) {
      return raise(PyExc_ValueError, configuration_size_message(m->nq, static_cast<std::size_t>(q.size())));
    }
    if (static_cast<std::size_t>(v.size()) != m->nv) {
      return raise(PyExc_ValueError, velocity_size_message(m->nv, static_cast<std::size_t>(v.size())));
    }
    return to_array(integrate(*m, q.vector(), v.vector()));
  });
}

PyObject* py_forward_kinematics(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"forwardKinematics()", {"model", "data", "q"}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const Model* m = call.model(0);
    Data* d = m != nullptr ? call.data_mut(1) : nullptr;
    ArrayArg q;
    if (d == nullptr || !call.vector(2, q) || !check_arrays({&q})) return nullptr;
    if (static_cast<std::size_t>(q.size()) != m->nq) {
      return raise(PyExc_ValueError, format("Configuration vector length {} does not match model nq {}",
                                            q.size(), m->nq));
    }
    forward_kinematics(*m, *d, q.vector());
    Py_RETURN_NONE;
  });
}

// ---- dynamics ------------------------------------------------------------------

PyObject* py_rnea(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"rnea()", {"model", "data", "q", "v", "a"}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const Model* m = call.model(0);
    Data* d = m != nullptr ? call.data_mut(1) : nullptr;
    ArrayArg q, v, a;
    if (d == nullptr || !call.vector(2, q) || !call.vector(3, v) || !call.vector(4, a) ||
        !check_arrays({&q, &v, &a}) || !q_length_ok(q, *m) || !v_length_ok(v, *m) ||
        !v_length_ok(a, *m, "a")) {
      return nullptr;
    }
    return to_array(rnea(*m, *d, q.vector(), v.vector(), a.vector()));
  });
}

PyObject* py_non_linear_effects(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"non_linear_effects()", {"model", "data", "q", "v"}};
    Call call(sig, args, nargs, kw);
    ModelDataQ x;
    if (!convert_model_data_q(call, x, true)) return nullptr;
    return to_array(non_linear_effects(*x.model, *x.data, x.q.vector(), x.v.vector()));
  });
}

PyObject* py_compute_gravity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"compute_gravity()", {"model", "data", "q"}};
    Call call(sig, args, nargs, kw);
    ModelDataQ x;
    if (!convert_model_data_q(call, x, false)) return nullptr;
    return to_array(compute_gravity(*x.model, *x.data, x.q.vector()));
  });
}

PyObject* py_crba(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"crba()", {"model", "data", "q"}};
    Call call(sig, args, nargs, kw);
    ModelDataQ x;
    if (!convert_model_data_q(call, x, false)) return nullptr;
    return to_array2d(crba(*x.model, *x.data, x.q.vector()));
  });
}

PyObject* py_compute_all_terms(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"computeAllTerms()", {"model", "data", "q", "v"}};
    Call call(sig, args, nargs, kw);
    ModelDataQ x;
    if (!convert_model_data_q(call, x, true)) return nullptr;
    compute_all_terms(*x.model, *x.data, x.q.vector(), x.v.vector());
    Py_RETURN_NONE;
  });
}

PyObject* py_compute_coriolis_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"computeCoriolisMatrix()", {"model", "data", "q", "v"}};
    Call call(sig, args, nargs, kw);
    ModelDataQ x;
    if (!convert_model_data_q(call, x, true)) return nullptr;
    compute_coriolis_matrix(*x.model, *x.data, x.q.vector(), x.v.vector());
    Py_RETURN_NONE;
  });
}

// ---- forward dynamics --------------------------------------------------------------

// fext, when given, is float64 (njoints, 6): row i the force on body i in
// joint i's frame, linear part first; row 0 is not read. The core takes one
// force per joint, moment part first.
PyObject* py_aba(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"aba()", {"model", "data", "q", "v", "tau", "fext"}, 1};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const Model* m = call.model(0);
    Data* d = m != nullptr ? call.data_mut(1) : nullptr;
    ArrayArg q, v, tau, fext;
    const bool with_fext = call.arg(5) != nullptr && call.arg(5) != Py_None;
    if (d == nullptr || !call.vector(2, q) || !call.vector(3, v) || !call.vector(4, tau) ||
        (with_fext && !call.matrix(5, fext)) ||
        !(with_fext ? check_arrays({&q, &v, &tau, &fext}) : check_arrays({&q, &v, &tau})) ||
        !q_length_ok(q, *m) || !v_length_ok(v, *m) || !v_length_ok(tau, *m, "tau")) {
      return nullptr;
    }
    if (!with_fext) return to_array(aba(*m, *d, q.vector(), v.vector(), tau.vector()));
    const auto njoints = static_cast<Py_ssize_t>(m->njoints);
    if (fext.rows() != njoints || fext.cols() != 6) {
      return raise(PyExc_ValueError, format("fext shape ({}, {}) != (njoints, 6) = ({}, 6)", fext.rows(),
                                            fext.cols(), njoints));
    }
    std::vector<Vec6> forces(m->njoints);
    for (Py_ssize_t i = 0; i < njoints; ++i) {
      for (Py_ssize_t k = 0; k < 3; ++k) {
        forces[static_cast<std::size_t>(i)][k] = fext.at(i, 3 + k);
        forces[static_cast<std::size_t>(i)][3 + k] = fext.at(i, k);
      }
    }
    return to_array(aba(*m, *d, q.vector(), v.vector(), tau.vector(), forces));
  });
}

PyObject* py_compute_minverse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"computeMinverse()", {"model", "data", "q"}};
    Call call(sig, args, nargs, kw);
    ModelDataQ x;
    if (!convert_model_data_q(call, x, false)) return nullptr;
    return to_array2d(compute_minverse(*x.model, *x.data, x.q.vector()));
  });
}

// ---- derivatives -----------------------------------------------------------------

// Functions taking (model, data, q, v, x) with x of length nv named `x_name`.
bool convert_state_and(Call& call, const char* x_name, const Model*& m, Data*& d, ArrayArg& q,
                       ArrayArg& v, ArrayArg& x) {
  if (!call.ok()) return false;
  m = call.model(0);
  d = m != nullptr ? call.data_mut(1) : nullptr;
  return d != nullptr && call.vector(2, q) && call.vector(3, v) && call.vector(4, x) &&
         check_arrays({&q, &v, &x}) && q_length_ok(q, *m) && v_length_ok(v, *m) &&
         v_length_ok(x, *m, x_name);
}

PyObject* py_compute_rnea_derivatives(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"computeRNEADerivatives()", {"model", "data", "q", "v", "a"}};
    Call call(sig, args, nargs, kw);
    const Model* m = nullptr;
    Data* d = nullptr;
    ArrayArg q, v, a;
    if (!convert_state_and(call, "a", m, d, q, v, a)) return nullptr;
    compute_rnea_derivatives(*m, *d, q.vector(), v.vector(), a.vector());
    return to_tuple({&d->dtau_dq, &d->dtau_dv, &d->M});
  });
}

PyObject* py_compute_aba_derivatives(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"computeABADerivatives()", {"model", "data", "q", "v", "tau"}};
    Call call(sig, args, nargs, kw);
    const Model* m = nullptr;
    Data* d = nullptr;
    ArrayArg q, v, tau;
    if (!convert_state_and(call, "tau", m, d, q, v, tau)) return nullptr;
    compute_aba_derivatives(*m, *d, q.vector(), v.vector(), tau.vector());
    return to_tuple({&d->ddq_dq, &d->ddq_dv, &d->Minv});
  });
}

// ---- Jacobians -------------------------------------------------------------------

PyObject* py_compute_joint_jacobians(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"computeJointJacobians()", {"model", "data", "q"}};
    Call call(sig, args, nargs, kw);
    ModelDataQ x;
    if (!convert_model_data_q(call, x, false)) return nullptr;
    compute_joint_jacobians(*x.model, *x.data, x.q.vector());
    Py_RETURN_NONE;
  });
}

PyObject* py_compute_joint_jacobian(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"computeJointJacobian()", {"model", "data", "q", "joint_id"}};
    Call call(sig, args, nargs, kw);
    if (!call.ok()) return nullptr;
    const Model* m = call.model(0);
    Data* d = m != nullptr ? call.data_mut(1) : nullptr;
    ArrayArg q;
    std::size_t joint_id = 0;
    if (d == nullptr || !call.vector(2, q) || !call.index(3, joint_id) || !check_arrays({&q}) ||
        !q_length_ok(q, *m)) {
      return nullptr;
    }
    if (joint_id >= m->njoints) {
      return raise(PyExc_ValueError, format("joint_id {} >= njoints {}", joint_id, m->njoints));
    }
    return to_array2d(compute_joint_jacobian(*m, *d, q.vector(), joint_id));
  });
}

PyObject* py_compute_joint_jacobians_time_variation(PyObject*, PyObject* const* args,
                                                    Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"computeJointJacobiansTimeVariation()", {"model", "data", "q", "v"}};
    Call call(sig, args, nargs, kw);
    ModelDataQ x;
    if (!convert_model_data_q(call, x, true)) return nullptr;
    compute_joint_jacobians_time_variation(*x.model, *x.data, x.q.vector(), x.v.vector());
    Py_RETURN_NONE;
  });
}

// The two frame functions: (model, data read, frame_id, reference_frame) with
// the frame index checked against the model's frames.
struct FrameArgs {
  const Model* model = nullptr;
  const Data* data = nullptr;
  std::size_t frame_id = 0;
  ReferenceFrame reference_frame = ReferenceFrame::WORLD;
};

bool convert_frame_args(Call& call, FrameArgs& out) {
  if (!call.ok()) return false;
  out.model = call.model(0);
  out.data = out.model != nullptr ? call.data(1) : nullptr;
  if (out.data == nullptr || !call.index(2, out.frame_id) ||
      !call.frame_code(3, out.reference_frame)) {
    return false;
  }
  if (out.frame_id >= out.model->nframes) {
    raise(PyExc_ValueError, format("Frame ID {} out of range (max: {})", out.frame_id,
                                   out.model->nframes - 1));
    return false;
  }
  return true;
}

PyObject* py_get_frame_jacobian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"getFrameJacobian()", {"model", "data", "frame_id", "reference_frame"}};
    Call call(sig, args, nargs, kw);
    FrameArgs x;
    if (!convert_frame_args(call, x)) return nullptr;
    const std::size_t joint = x.model->frames.at(x.frame_id).parent;
    if (joint >= x.model->njoints) {
      return raise(PyExc_ValueError, format("Frame {} has invalid joint ID {} (max: {})", x.frame_id,
                                            joint, x.model->njoints - 1));
    }
    return to_array2d(get_frame_jacobian(*x.model, *x.data, joint, x.reference_frame));
  });
}

PyObject* py_get_frame_jacobian_time_variation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"getFrameJacobianTimeVariation()",
                               {"model", "data", "frame_id", "reference_frame"}};
    Call call(sig, args, nargs, kw);
    FrameArgs x;
    if (!convert_frame_args(call, x)) return nullptr;
    return to_array2d(
        get_frame_jacobian_time_variation(*x.model, *x.data, x.frame_id, x.reference_frame));
  });
}

// ---- URDF ------------------------------------------------------------------------

template <class Parse>
PyObject* urdf_function(PyObject* const* args, Py_ssize_t nargs, PyObject* kw, const Signature& sig,
                        Parse&& parse) {
  return guarded([&]() -> PyObject* {
    Call call(sig, args, nargs, kw);
    std::string text;
    if (!call.ok() || !call.text(0, text)) return nullptr;
    try {
      return new_model(parse(text));
    } catch (const Error& e) {
      // The outermost message only; the reader's or the I/O error follows as
      // the exception's __cause__.
      const std::string message = "Failed to parse URDF: " + e.message();
      return e.has_cause() ? raise(PyExc_RuntimeError, message, e.cause())
                           : raise(PyExc_RuntimeError, message);
    }
  });
}

PyObject* py_parse_urdf_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const Signature sig{"parse_urdf_file()", {"filename"}};
  return urdf_function(args, nargs, kw, sig,
                       [](const std::string& path) { return parse_urdf_file(path, false); });
}

PyObject* py_parse_urdf_from_string(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
  static const Signature sig{"parse_urdf_from_string()", {"urdf_string"}};
  return urdf_function(args, nargs, kw, sig,
                       [](const std::string& text) { return parse_urdf_from_string(text, false); });
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef functions[] = {
    {"neutral", fast(py_neutral), kFlags, TRELVAR_DOC("neutral(model)", "")},
    {"integrate", fast(py_integrate), kFlags, TRELVAR_DOC("integrate(model, q, v)", "")},
    {"forwardKinematics", fast(py_forward_kinematics), kFlags,
     TRELVAR_DOC("forwardKinematics(model, data, q)", "")},
    {"rnea", fast(py_rnea), kFlags, TRELVAR_DOC("rnea(model, data, q, v, a)", "")},
    {"crba", fast(py_crba), kFlags, TRELVAR_DOC("crba(model, data, q)", "")},
    {"computeJointJacobians", fast(py_compute_joint_jacobians), kFlags,
     TRELVAR_DOC("computeJointJacobians(model, data, q)", "")},
    {"computeJointJacobian", fast(py_compute_joint_jacobian), kFlags,
     TRELVAR_DOC("computeJointJacobian(model, data, q, joint_id)",
                 "Compute the Jacobian of a specific joint expressed in the local frame of the "
                 "joint\n\nThis function computes the Jacobian for a single joint without computing "
                 "the full model\nJacobian. It is more efficient when you only need the Jacobian for "
                 "one specific joint.\n\n# Arguments\n* `model` - The robot model\n* `data` - Data "
                 "structure to store intermediate results\n* `q` - Configuration vector (numpy "
                 "array of size model.nq)\n* `joint_id` - Index of the target joint\n\n# "
                 "Returns\n6\xc3\x97nv Jacobian matrix expressed in the local frame of the joint")},
    {"computeJointJacobiansTimeVariation", fast(py_compute_joint_jacobians_time_variation), kFlags,
     TRELVAR_DOC(
         "computeJointJacobiansTimeVariation(model, data, q, v)",
         "Compute the time variation of joint Jacobians (dJ/dt)\n\nThis function computes the "
         "time derivative of the joint Jacobians and stores\nthe result in `data.dJ`. It is an "
         "independent function that only requires\n`q` (configuration) and `v` (velocity) "
         "vectors.\n\n**Data Requirements:**\n- Only requires `q` and `v` as inputs\n- Computes "
         "internally: `data.limi`, `data.omi`, `data.v`, `data.ov`, `data.j`, `data.dJ`\n- Does "
         "NOT require `computeAllTerms` to be called first\n\n**What it computes:**\n- Joint "
         "transformations (`data.limi`, `data.omi`)\n- Joint velocities in local and world "
         "frames (`data.v`, `data.ov`)\n- Joint Jacobians in world frame (`data.j`)\n- Time "
         "derivative of Jacobians: `dJ = [ov]\xc3\x97 * J` (motion action) "
         "(`data.dJ`)\n\n**Usage:**\n```python\n# Can be used independently without "
         "computeAllTerms\ntrv.computeJointJacobiansTimeVariation(model, data, q, v)\n# Now "
         "data.dJ contains the Jacobian time variation\n\n# Or use "
         "getFrameJacobianTimeVariation to get dJ for a specific frame\njac_dot = "
         "trv.getFrameJacobianTimeVariation(\n    model, data, frame_id, "
         "trv.ReferenceFrame.WORLD\n)\n```\n\n**Note:** If `computeAllTerms` has already been "
         "called, `data.dJ` will be\nrecomputed. To avoid redundant computation, you can skip "
         "this call when\n`computeAllTerms` has already computed `data.dJ`.\n\n# Arguments\n* "
         "`model` - The robot model\n* `data` - Data structure to store results (will be "
         "modified)\n* `q` - Configuration vector (numpy array of size model.nq)\n* `v` - "
         "Velocity vector (numpy array of size model.nv)\n\n# Returns\nResult is stored in "
         "`data.dJ` (6\xc3\x97nv matrix)")},
    {"getFrameJacobian", fast(py_get_frame_jacobian), kFlags,
     TRELVAR_DOC("getFrameJacobian(model, data, frame_id, reference_frame)", "")},
    {"getFrameJacobianTimeVariation", fast(py_get_frame_jacobian_time_variation), kFlags,
     TRELVAR_DOC("getFrameJacobianTimeVariation(model, data, frame_id, reference_frame)", "")},
    {"non_linear_effects", fast(py_non_linear_effects), kFlags,
     TRELVAR_DOC("non_linear_effects(model, data, q, v)", "")},
    {"compute_gravity", fast(py_compute_gravity), kFlags,
     TRELVAR_DOC("compute_gravity(model, data, q)", "")},
    {"computeAllTerms", fast(py_compute_all_terms), kFlags,
     TRELVAR_DOC("computeAllTerms(model, data, q, v)",
                 "Compute all terms (forward kinematics, velocities, accelerations, etc.)\n\nThis "
                 "function computes all kinematic and dynamic quantities in a single pass:\n- "
                 "Forward kinematics (positions and orientations)\n- Velocities and "
                 "accelerations\n- Jacobians\n- Composite rigid body inertias\n- Centroidal "
                 "quantities\n\n# Arguments\n* `model` - The robot model\n* `data` - Data structure "
                 "to store results (will be modified)\n* `q` - Configuration vector of size "
                 "`model.nq`\n* `v` - Velocity vector of size `model.nv`")},
    {"computeCoriolisMatrix", fast(py_compute_coriolis_matrix), kFlags,
     TRELVAR_DOC("computeCoriolisMatrix(model, data, q, v)",
                 "Compute the Coriolis matrix C(q, v) of the Lagrangian dynamics\n\nThe dynamics "
                 "equation is:\nM(q) * ddq + C(q, dq) * dq + g(q) = tau\n\n# Arguments\n* `model` - "
                 "The robot model\n* `data` - Data structure to store results\n* `q` - "
                 "Configuration vector (numpy array of size model.nq)\n* `v` - Velocity vector "
                 "(numpy array of size model.nv)\n\n# Returns\nThe Coriolis matrix C is stored in "
                 "data.C")},
    {"parse_urdf_file", fast(py_parse_urdf_file), kFlags, TRELVAR_DOC("parse_urdf_file(filename)", "")},
    {"parse_urdf_from_string", fast(py_parse_urdf_from_string), kFlags,
     TRELVAR_DOC("parse_urdf_from_string(urdf_string)", "")},
    {"aba", fast(py_aba), kFlags,
     TRELVAR_DOC("aba(model, data, q, v, tau, fext=None)",
                 "Forward dynamics: the joint accelerations that the joint forces tau produce\n\n"
                 "Solves M(q) * ddq + C(q, v) * v + g(q) = tau (plus the joint forces of the external "
                 "forces fext) by the articulated-body algorithm. The result is also left in the "
                 "data; nothing else in it changes.\n\n# Arguments\n* `model` - The robot model\n* "
                 "`data` - Data structure to store results\n* `q` - Configuration vector (numpy array "
                 "of size model.nq)\n* `v` - Velocity vector (numpy array of size model.nv)\n* `tau` "
                 "- Joint force vector (numpy array of size model.nv)\n* `fext` - Optional external "
                 "forces (numpy array of shape (model.njoints, 6)): row i is the force on body i "
                 "expressed in joint i's frame, linear part first (force, then moment); row 0 is "
                 "ignored\n\n# Returns\nThe joint accelerations ddq (numpy array of size "
                 "model.nv)\n\n# Raises\nValueError when a joint's articulated inertia is singular "
                 "(the bodies it carries have no inertia along its motion), or when an input or the "
                 "result is not finite")},
    {"computeMinverse", fast(py_compute_minverse), kFlags,
     TRELVAR_DOC("computeMinverse(model, data, q)",
                 "Compute the inverse of the joint-space mass matrix M(q)\n\nComputed from the "
                 "articulated inertias without forming M; a tree of at most 12 one-coordinate "
                 "joints forms M and factors it along the tree instead. The result is also left in "
                 "the data; nothing else in it changes.\n\n# Arguments\n* `model` - The robot model\n"
                 "* `data` - Data structure to store results\n* `q` - Configuration vector (numpy "
                 "array of size model.nq)\n\n# Returns\nThe symmetric matrix M(q)^-1 (numpy array "
                 "of shape (model.nv, model.nv))\n\n# Raises\nValueError when a joint's articulated "
                 "inertia is singular, or when q or the result is not finite")},
    {"computeRNEADerivatives", fast(py_compute_rnea_derivatives), kFlags,
     TRELVAR_DOC("computeRNEADerivatives(model, data, q, v, a)",
                 "Partial derivatives of inverse dynamics tau = rnea(q, v, a)\n\nDerivatives with "
                 "respect to q are taken in the tangent space: column k is the derivative of tau at "
                 "integrate(model, q, eps * e_k) at eps = 0, so every matrix is nv x nv. The three "
                 "matrices are also left in data.dtau_dq, data.dtau_dv and data.M (both triangles), "
                 "and tau in data.tau.\n\n# Arguments\n* `model` - The robot model\n* `data` - "
                 "Data structure to store results\n* `q` - Configuration vector (numpy array of size "
                 "model.nq)\n* `v` - Velocity vector (numpy array of size model.nv)\n* `a` - "
                 "Acceleration vector (numpy array of size model.nv)\n\n# Returns\nThe tuple "
                 "(dtau_dq, dtau_dv, M) of numpy arrays of shape (model.nv, model.nv); M = dtau/da "
                 "is the mass matrix")},
    {"computeABADerivatives", fast(py_compute_aba_derivatives), kFlags,
     TRELVAR_DOC("computeABADerivatives(model, data, q, v, tau)",
                 "Partial derivatives of forward dynamics ddq = aba(q, v, tau)\n\nDerivatives with "
                 "respect to q are taken in the tangent space: column k is the derivative of ddq at "
                 "integrate(model, q, eps * e_k) at eps = 0, so every matrix is nv x nv. The three "
                 "matrices are also left in data.ddq_dq, data.ddq_dv and the inverse mass matrix in "
                 "the data, and ddq itself too.\n\n# Arguments\n* `model` - The robot model\n* "
                 "`data` - Data structure to store results\n* `q` - Configuration vector (numpy "
                 "array of size model.nq)\n* `v` - Velocity vector (numpy array of size model.nv)\n"
                 "* `tau` - Joint force vector (numpy array of size model.nv)\n\n# Returns\nThe "
                 "tuple (ddq_dq, ddq_dv, Minv) of numpy arrays of shape (model.nv, model.nv); Minv = "
                 "dddq/dtau is the inverse mass matrix\n\n# Raises\nValueError as aba: when a "
                 "joint's articulated inertia is singular, or when an input or the result is not "
                 "finite")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* module_functions() { return functions; }

}  // namespace trelvar::py

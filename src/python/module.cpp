// Module initialisation (single phase). The module object is created at most
// once per process: a second initialisation raises ImportError.
#include "functions.hpp"
#include "toolkit.hpp"
#include "trelvar/version.hpp"

namespace {

bool initialised = false;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "trelvar",
    "",  // empty module docstring
    0,   // a state size of 0 makes the interpreter call the entry point on re-import
    nullptr, nullptr, nullptr, nullptr, nullptr};

// Adds a class to the module; the class keeps no docstring text of its own.
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  PyObject* object = reinterpret_cast<PyObject*>(type);
  if (PyObject_SetAttrString(object, "__doc__", Py_None) < 0) return false;
  Py_INCREF(object);
  if (PyModule_AddObject(module, name, object) < 0) {
    Py_DECREF(object);
    return false;
  }
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_trelvar(void) {
  using namespace trelvar::py;
  if (initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "trelvar can be initialised only once per process; it is already loaded");
    return nullptr;
  }
  if (!init_numpy()) return nullptr;
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  if (!add_class(module, "SE3", create_se3_type()) ||
      !add_class(module, "Model", create_model_type()) ||
      !add_class(module, "Data", create_data_type()) ||
      !add_class(module, "ReferenceFrame", create_reference_frame_type()) ||
      !add_class(module, "Frame", create_frame_type()) ||
      PyModule_AddFunctions(module, module_functions()) < 0 ||
      PyModule_AddStringConstant(module, "__version__", TRELVAR_VERSION_STRING) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  initialised = true;
  return module;
}

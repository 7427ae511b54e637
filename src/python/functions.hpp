// The module-level functions, in the order the module adds them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace trelvar::py {

PyMethodDef* module_functions();

}  // namespace trelvar::py

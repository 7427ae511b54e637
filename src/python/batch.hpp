// The submodule trelvar.batch.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace trelvar::py {

// A new module object named "trelvar.batch" holding the batch functions.
PyObject* create_batch_module();

}  // namespace trelvar::py

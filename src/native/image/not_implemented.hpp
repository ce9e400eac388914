// Temporary body for methods whose implementation has not landed yet.
#pragma once

#include "pyobj/function.hpp"

namespace image {

inline PyObject* not_implemented(const pyobj::Call& call) {
    PyObject* name = PyObject_GetAttrString(call.function(), "__qualname__");
    if (name == nullptr) return nullptr;
    PyErr_Format(PyExc_NotImplementedError, "%U is not implemented yet", name);
    Py_DECREF(name);
    return nullptr;
}

}  // namespace image

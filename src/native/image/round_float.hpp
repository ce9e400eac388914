// round(x, digits) for a float, as the built-in computes it, without the
// call: the correctly rounded decimal text of x with that many digits after
// the point, read back as the nearest double. NaN and infinities stay as
// they are.
#pragma once

#include "pyobj/ref.hpp"

#include <Python.h>

#include <cmath>

namespace image {

inline pyobj::Ref round_float(double x, int digits) noexcept {
    if (!std::isfinite(x)) return pyobj::Ref::steal(PyFloat_FromDouble(x));
    char* text = PyOS_double_to_string(x, 'f', digits, 0, nullptr);
    if (text == nullptr) return {};
    const double rounded = PyOS_string_to_double(text, nullptr, nullptr);
    PyMem_Free(text);
    if (rounded == -1.0 && PyErr_Occurred()) return {};
    return pyobj::Ref::steal(PyFloat_FromDouble(rounded));
}

}  // namespace image

// The currently raised exception as one object, on every supported CPython.
#pragma once

#include "pyobj/ref.hpp"

namespace pyobj {

// Takes the raised exception (normalised) out of the error indicator.
inline Ref fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

// Puts an exception taken by fetch_exception back as the raised one.
inline void restore_exception(Ref exc) noexcept {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Whether the raised exception is an instance of `cls` (a class or tuple).
inline bool exception_matches(PyObject* cls) noexcept { return PyErr_ExceptionMatches(cls) != 0; }

}  // namespace pyobj

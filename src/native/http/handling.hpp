// While a caught exception is being handled, it is the thread's "handled"
// exception (sys.exc_info()), exactly as inside a Python `except` block: any
// exception raised meanwhile, by our code or by Python code we call, gets it
// as its __context__. The previous handled exception comes back at the end.
#pragma once

#include "pyobj/ref.hpp"

namespace http {

class HandlingScope {
public:
    explicit HandlingScope(PyObject* caught) noexcept : previous_(pyobj::Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(caught);
    }
    ~HandlingScope() { PyErr_SetHandledException(previous_.get()); }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    pyobj::Ref previous_;
};

// `raise exc` for an object a call returned: an exception instance is raised
// (chained to the handled exception), anything else is a TypeError.
inline void raise_object(PyObject* exc) noexcept {
    if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(PyExceptionInstance_Class(exc), exc);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

}  // namespace http

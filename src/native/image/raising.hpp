// Raising from C++ the way a Python `raise` statement inside or outside an
// `except` block does.
//
// HandledException: a scope in which a caught exception counts as "being
// handled", as inside a Python `except` block: any exception raised meanwhile
// (by C code or by Python code we call) gets it as __context__, exactly as
// Python chains errors raised in a handler.
//
// The scope swaps the exception slot of the thread's current exception
// stack item and puts the old value back at the end, which is what the
// interpreter itself does on entering and leaving an `except` block.
// PyErr_SetHandledException cannot be used for the restore: its getter
// counterpart looks through empty items (a running generator's), so saving
// with one and restoring with the other could leave a stale exception in a
// generator's slot. The error indicator itself is never touched.
#pragma once

#include "pyobj/ref.hpp"

namespace image {

class HandledException {
public:
    explicit HandledException(PyObject* caught) noexcept : item_(PyThreadState_Get()->exc_info) {
        previous_ = item_->exc_value;  // the slot's reference moves to previous_
        item_->exc_value = Py_NewRef(caught);
    }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;
    ~HandledException() {
        PyObject* caught = item_->exc_value;
        item_->exc_value = previous_;
        Py_XDECREF(caught);
    }

private:
    _PyErr_StackItem* item_;
    PyObject* previous_;
};

// `raise obj` for the result of calling an exception class: an instance is
// raised as it is, a class is instantiated, anything else is the TypeError
// Python gives. Always returns nullptr, for `return raise(...)`.
inline PyObject* raise(pyobj::Ref obj) noexcept {
    if (!obj) return nullptr;
    if (PyExceptionInstance_Check(obj.get()))
        PyErr_SetObject(PyExceptionInstance_Class(obj.get()), obj.get());
    else if (PyExceptionClass_Check(obj.get()))
        PyErr_SetNone(obj.get());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return nullptr;
}

}  // namespace image

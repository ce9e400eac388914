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

// While it lives, `caught` is the exception being handled (sys.exception()),
// as inside an `except` or `finally` block: anything raised meanwhile, by C
// code or by Python code we call, gets it as __context__.
//
// The scope swaps the exception slot of the thread's current exception stack
// item and puts the old value back at the end, which is what the interpreter
// itself does on entering and leaving an `except` block.
// PyErr_SetHandledException cannot be used for the restore: its getter
// counterpart looks through empty items (a running generator's), so saving
// with one and restoring with the other could leave a stale exception in a
// generator's slot. The error indicator itself is never touched.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* caught) noexcept : item_(PyThreadState_Get()->exc_info) {
        previous_ = item_->exc_value;  // the slot's reference moves to previous_
        item_->exc_value = Py_XNewRef(caught);
    }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;
    ~HandlingScope() {
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
inline PyObject* raise(Ref obj) noexcept {
    if (!obj) return nullptr;
    if (PyExceptionInstance_Check(obj.get()))
        PyErr_SetObject(PyExceptionInstance_Class(obj.get()), obj.get());
    else if (PyExceptionClass_Check(obj.get()))
        PyErr_SetNone(obj.get());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return nullptr;
}

}  // namespace pyobj

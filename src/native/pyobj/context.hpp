// The two halves of a `with` statement, and the "exception being handled"
// state that `except` and `finally` blocks run under, for C++ code that has
// to behave like the equivalent Python block.
#pragma once

#include "pyobj/ref.hpp"

namespace pyobj {

// While it lives, `exc` is the exception being handled (sys.exception()), so
// that anything raised meanwhile gets it as its __context__, as it would
// inside an `except` or `finally` block. The previous state comes back after.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exc) noexcept : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc);
    }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;
    ~HandlingScope() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }

private:
    PyObject* previous_;
};

// with manager as value: ...
//
//   WithBlock block;
//   Ref value = block.enter(manager);      // empty: the statement failed
//   const bool ok = body(value);           // false with an error set
//   if (!block.exit(!ok)) return nullptr;  // the error that leaves the block
class WithBlock {
public:
    // Looks up __enter__ and __exit__, then calls __enter__; its result, or
    // empty with the error set (the block is then not entered).
    Ref enter(PyObject* manager) noexcept;

    // Leaves the block. After a normal end (`failed` false) __exit__ gets
    // three Nones. After a failure (`failed` true, the error set) it gets the
    // exception's type, value and traceback while that exception is being
    // handled; a true result suppresses the exception. Returns true when
    // execution continues after the block, false with the error to raise
    // (the original one, or whatever __exit__ raised).
    bool exit(bool failed) noexcept;

private:
    Ref exit_;
};

}  // namespace pyobj

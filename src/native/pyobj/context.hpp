// The two halves of a `with` statement, for C++ code that has to behave like
// the equivalent Python block.
#pragma once

#include "pyobj/errors.hpp"  // HandlingScope
#include "pyobj/ref.hpp"

namespace pyobj {

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

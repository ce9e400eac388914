// The interpreter's recursion guard for calls into our functions.
#pragma once

#include <Python.h>

namespace pyobj {

// Entered for the length of one call into a C++ function object. It counts
// against the recursion limit like any call, and it also refuses the call
// when the thread's C stack is nearly used up: our frames and each Python
// frame called back from them take C stack that the limit does not see
// (re-entrant calls on a 256 KiB thread would overflow long before the
// limit), and a RecursionError is what a caller can handle, a SIGSEGV is
// not. `entered()` false means RecursionError is set.
class RecursionGuard {
public:
    RecursionGuard() noexcept;
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    bool entered() const noexcept { return entered_; }

private:
    bool entered_ = false;
};

}  // namespace pyobj

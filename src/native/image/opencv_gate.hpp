// Our calls into OpenCV and the interpreter's exit.
//
// OpenCV's Python binding releases the GIL around its work and takes it back
// in a destructor. While the interpreter finalises, CPython 3.11-3.13 ends a
// daemon thread that takes the GIL back with pthread_exit, whose unwinding
// meets that destructor, which may not throw: std::terminate, and the
// process aborts (plain Python code calling cv2.imdecode from a daemon
// thread does the same). Our own frames let such a thread go quietly
// (pyobj/thread_exit.cpp); OpenCV's we cannot change. So the interpreter's
// exit waits, in an atexit callback, until every call of ours that may enter
// OpenCV has left it, and from then on such calls do not start:
//   - on a daemon thread, the call waits for the end of the process with the
//     GIL released (CPython would end that thread a moment later anyway);
//   - on a side thread (pyobj/side_thread.hpp), the scope is refused and the
//     caller does the work itself, on its own thread, under these rules;
//   - on any other thread (the exiting thread itself, or one that an exit
//     function waits for), the call goes ahead as before.
#pragma once

#include <Python.h>

namespace image {

// Held, with the GIL, for the length of work that may call OpenCV. Scopes
// nest on a thread; only the outermost one counts.
class OpenCvScope {
public:
    OpenCvScope() noexcept;
    OpenCvScope(const OpenCvScope&) = delete;
    OpenCvScope& operator=(const OpenCvScope&) = delete;
    ~OpenCvScope();
    // False on a side thread once the interpreter is exiting: leave OpenCV
    // alone. Always true on other threads.
    bool entered() const noexcept { return entered_; }

private:
    bool entered_ = false;
    bool counted_ = false;
};

// Registers the atexit callback that closes the gate, and resets the count
// in a forked child (whose other threads, inside OpenCV in the parent, do
// not exist). Each extension module holding a copy of this file registers
// its own. False with an error set.
bool install_opencv_exit_gate() noexcept;

// Whether the interpreter's exit has begun (the gate is closed). From then
// on a new thread could be ended by CPython before it ever runs, and a
// caller waiting for it would wait for good.
bool opencv_gate_closed() noexcept;

}  // namespace image

#include "image/opencv_gate.hpp"

#include "pyobj/buffer.hpp"
#include "pyobj/call.hpp"
#include "pyobj/park.hpp"
#include "pyobj/ref.hpp"
#include "pyobj/side_thread.hpp"

#include <atomic>
#include <chrono>
#include <thread>

namespace image {

namespace {

using pyobj::Ref;

// Lock-free, so that a fork in the middle of a call leaves no lock behind.
// A caller increments `inside` and then reads `closing`; the exit stores
// `closing` and then reads `inside` (both sequentially consistent): either
// the caller sees the gate closed, or the exit sees the caller inside.
std::atomic<bool> closing{false};
std::atomic<long> inside{0};
thread_local int depth = 0;  // open scopes on this thread

[[noreturn]] void wait_for_process_end() noexcept {
    PyEval_SaveThread();
    pyobj::park_thread_forever();
}

// threading.current_thread().daemon, without importing threading; false
// when it cannot be told (the error is cleared).
bool daemon_thread() noexcept {
    Ref threading = Ref::steal(PyImport_GetModule(pyobj::id<"threading">()));
    Ref current = threading ? pyobj::call_method(threading.get(), pyobj::id<"current_thread">()) : Ref();
    Ref daemon = current ? pyobj::attr(current.get(), pyobj::id<"daemon">()) : Ref();
    const int truth = daemon ? PyObject_IsTrue(daemon.get()) : -1;
    if (truth < 0) PyErr_Clear();
    return truth == 1;
}

PyObject* close_gate(PyObject*, PyObject*) noexcept {
    closing.store(true);
    const long own = depth > 0 ? 1 : 0;
    if (inside.load() > own) {
        pyobj::GilRelease unlocked;
        while (inside.load() > own) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Py_RETURN_NONE;
}

PyObject* after_fork_in_child(PyObject*, PyObject*) noexcept {
    inside.store(depth > 0 ? 1 : 0);
    Py_RETURN_NONE;
}

PyMethodDef close_def = {"_close_opencv_gate", close_gate, METH_NOARGS, nullptr};
PyMethodDef fork_def = {"_reset_opencv_gate", after_fork_in_child, METH_NOARGS, nullptr};

}  // namespace

OpenCvScope::OpenCvScope() noexcept {
    if (depth > 0) {
        ++depth;
        entered_ = true;
        return;
    }
    inside.fetch_add(1);
    if (!closing.load()) {
        ++depth;
        entered_ = counted_ = true;
        return;
    }
    inside.fetch_sub(1);
    if (pyobj::SideThread::on_side_thread()) return;
    if (daemon_thread()) wait_for_process_end();
    ++depth;
    entered_ = true;
}

OpenCvScope::~OpenCvScope() {
    if (!entered_) return;
    --depth;
    if (counted_) inside.fetch_sub(1);
}

bool opencv_gate_closed() noexcept { return closing.load(); }

bool install_opencv_exit_gate() noexcept {
    Ref close = Ref::steal(PyCFunction_New(&close_def, nullptr));
    Ref reset = Ref::steal(PyCFunction_New(&fork_def, nullptr));
    Ref atexit = close && reset ? Ref::steal(PyImport_ImportModule("atexit")) : Ref();
    Ref os = atexit ? Ref::steal(PyImport_ImportModule("os")) : Ref();
    if (!os || !pyobj::call_method(atexit.get(), pyobj::id<"register">(), close.get())) return false;
    Ref register_at_fork = pyobj::attr(os.get(), pyobj::id<"register_at_fork">());
    return register_at_fork && pyobj::call_kw(register_at_fork.get(), {}, {{pyobj::id<"after_in_child">(), reset.get()}});
}

}  // namespace image

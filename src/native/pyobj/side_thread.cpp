#include "pyobj/side_thread.hpp"

#include "pyobj/buffer.hpp"

#include <system_error>

namespace pyobj {

namespace {

thread_local bool side_thread = false;

}  // namespace

bool SideThread::on_side_thread() noexcept { return side_thread; }

bool SideThread::start(Body body, void* context, Body last) noexcept {
    interpreter_ = PyInterpreterState_Get();
    body_ = body;
    last_ = last;
    context_ = context;
    ran_ = false;
    try {
        thread_ = std::thread([this]() noexcept { run(); });
    } catch (...) {
        // Out of threads or memory (std::system_error, std::bad_alloc).
        return false;
    }
    return true;
}

// At interpreter exit CPython ends a thread that waits here for the GIL;
// the unwinding stops at this frame (pyobj/thread_exit.cpp), and the thread
// stays parked while the process ends.
void SideThread::run() noexcept {
    side_thread = true;
    PyThreadState* state = PyThreadState_New(interpreter_);
    if (state != nullptr) {
        PyEval_RestoreThread(state);
        body_(context_);
        ran_ = true;
        PyThreadState_Clear(state);
        PyThreadState_DeleteCurrent();
    }
    if (last_ != nullptr) last_(context_);
}

bool SideThread::join() noexcept {
    if (!thread_.joinable()) return ran_;
    {
        GilRelease unlocked;
        thread_.join();
    }
    return ran_;
}

}  // namespace pyobj

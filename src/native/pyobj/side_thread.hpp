// A native thread that runs Python-facing work beside the caller: it takes
// its own thread state in the caller's interpreter (not PyGILState, which
// knows the main interpreter only), so the work may call Python while the
// caller's thread runs on, and each takes the GIL in turn whenever the other
// lets it go inside a decoder or a pixel loop.
#pragma once

#include <Python.h>

#include <thread>

namespace pyobj {

class SideThread {
public:
    using Body = void (*)(void* context) noexcept;

    SideThread() noexcept = default;
    SideThread(const SideThread&) = delete;
    SideThread& operator=(const SideThread&) = delete;
    // Waits for the thread if it was started and not joined. The GIL must be
    // held (it is released while waiting).
    ~SideThread() { join(); }

    // Starts body(context) on a new thread, with the GIL held. False when no
    // thread could be started: nothing runs, the caller does the work itself.
    // The body must leave no exception set; it runs with the GIL held and
    // may release it. `last`, if given, is called with `context` and without
    // the GIL as the thread ends, also when the body could not run (so a
    // caller waiting for a sign from the body is woken): on every path but
    // one, a thread CPython ends at exit while it waits for the GIL.
    bool start(Body body, void* context, Body last = nullptr) noexcept;

    // Waits for the thread with the GIL released (the body may need it).
    // True when the body ran; false when the thread could not get a thread
    // state, so the body never ran. Call with the GIL held, also while an
    // exception is set (it is left as it is).
    bool join() noexcept;

    // Whether the calling thread is a side thread: work that would start
    // another side thread from one runs inline instead, so that a call that
    // re-enters itself from the side stays on one thread and within the
    // recursion limit, instead of opening a new thread (with a fresh
    // recursion count) at every level.
    static bool on_side_thread() noexcept;

private:
    void run() noexcept;

    std::thread thread_;
    PyInterpreterState* interpreter_ = nullptr;
    Body body_ = nullptr;
    Body last_ = nullptr;
    void* context_ = nullptr;
    bool ran_ = false;
};

}  // namespace pyobj

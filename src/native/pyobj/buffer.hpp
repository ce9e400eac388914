// A held buffer view (the bytes stay alive and unmoved while it exists) and
// a scope that releases the GIL, for pixel loops that run without Python.
#pragma once

#include "pyobj/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace pyobj {

class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Acquires a contiguous read-only byte view of `obj`; false with an error set.
    bool acquire(PyObject* obj, int flags = PyBUF_SIMPLE) noexcept {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }

    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Releases the GIL for its lifetime. Touch no Python object inside. A
// daemon thread that CPython ends here at interpreter exit is parked
// instead (pyobj/thread_exit.cpp).
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

}  // namespace pyobj

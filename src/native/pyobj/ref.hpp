// Owning handle for a PyObject reference.
//
// Every reference the C++ code holds lives in a Ref; the only ways out are
// release() (hand the reference to the caller on the success path) and the
// destructor (drop it). Construction always says whether the reference is
// stolen (we already own it) or borrowed (we take a new one).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pyobj {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes ownership of a new reference (may be null: a failed call).
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to an object someone else owns.
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Gives the reference away; the handle becomes empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // A new reference for APIs that steal (PyTuple_SET_ITEM, return values).
    [[nodiscard]] PyObject* new_ref() const noexcept {
        Py_XINCREF(ptr_);
        return ptr_;
    }
    void reset() noexcept { Py_CLEAR(ptr_); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace pyobj

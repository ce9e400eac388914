// Interned attribute and key names, created on first use and kept for the
// life of the process (the modules are never unloaded).
//
//   PyObject_GetAttr(obj, pyobj::id<"status_code">())
//
// The result is borrowed; it is nullptr (with an error set) only if the very
// first creation failed, and creation is retried on the next use. Callers
// hold the GIL, which serialises the first use.
#pragma once

#include "pyobj/ref.hpp"

#include <algorithm>
#include <cstddef>

namespace pyobj {

template <std::size_t N>
struct Literal {
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
    char text[N];
};

template <Literal L>
PyObject* id() noexcept {
    static PyObject* name = nullptr;
    if (name == nullptr) name = PyUnicode_InternFromString(L.text);
    return name;
}

}  // namespace pyobj

// Interned attribute and key names, kept for the life of the process (the
// modules are never unloaded).
//
//   PyObject_GetAttr(obj, pyobj::id<"status_code">())
//
// Each name a module's code spells registers itself when the module's
// shared library loads; create_names() interns all of them at the start of
// the module's exec step, and a failure there fails the import. So id()
// never gives NULL to code that runs after exec began: no caller needs to
// check, and none can pass a NULL name on by mistake. The result is
// borrowed.
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

// One name of the registry; constructed only as name_slot<...> below.
struct NameSlot {
    explicit NameSlot(const char* text) noexcept;
    const char* const text;
    PyObject* object = nullptr;
    NameSlot* const next;
};

// Interns every registered name not created yet; false with an error set.
// Called with the GIL held, from the exec step.
bool create_names() noexcept;

template <Literal L>
inline NameSlot name_slot{L.text};

template <Literal L>
PyObject* id() noexcept {
    return name_slot<L>.object;
}

}  // namespace pyobj

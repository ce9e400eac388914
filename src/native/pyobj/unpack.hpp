// Python's `a, b, ... = value` for a fixed number of targets, with the
// interpreter's own errors for values of another length or non-iterables.
#pragma once

#include "pyobj/ref.hpp"

#include <span>

namespace pyobj {

// Fills every slot of `out` with a new reference, in order; false with the
// error set (TypeError for a non-iterable, ValueError for a wrong length, or
// whatever the iteration raised).
bool unpack_exact(PyObject* value, std::span<Ref> out) noexcept;

}  // namespace pyobj

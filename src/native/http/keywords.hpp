// Keyword-only calls: a fixed list of keywords first, then every entry of a
// **kwargs dict in its order, as `f(a=..., b=..., **kwargs)` would send them.
#pragma once

#include "pyobj/call.hpp"

#include <span>

namespace http {

// callable(**fixed, **extra); `extra` may be nullptr. The caller makes sure
// `extra` shares no key with `fixed`.
pyobj::Ref call_keywords(PyObject* callable, std::span<const pyobj::Kw> fixed, PyObject* extra) noexcept;

// For the shortcuts: when `extra` holds one of the fixed keywords, raises the
// TypeError a Python call `f(a=..., **extra)` gives for a repeated keyword
// and returns false.
bool reject_repeated_keywords(std::span<const pyobj::Kw> fixed, PyObject* extra) noexcept;

}  // namespace http

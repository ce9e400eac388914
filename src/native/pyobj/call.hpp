// Small helpers for calling Python from C++. Every helper returns an owning
// Ref that is empty when the call failed (the Python error stays set).
#pragma once

#include "pyobj/names.hpp"
#include "pyobj/ref.hpp"

#include <initializer_list>
#include <utility>

namespace pyobj {

// f(*args)
template <class... A>
Ref call(PyObject* f, A... args) noexcept {
    if (f == nullptr || ((args == nullptr) || ...)) return {};
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args), name an interned str
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) noexcept {
    if (obj == nullptr || name == nullptr || ((args == nullptr) || ...)) return {};
    PyObject* argv[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

struct Kw {
    PyObject* name;   // interned str
    PyObject* value;
};

// f(*positional, **{k.name: k.value for k in keywords}) in the given order.
Ref call_kw(PyObject* f, std::initializer_list<PyObject*> positional, std::initializer_list<Kw> keywords) noexcept;

// f(*positional, **kwargs_dict) with an optional dict; the dict is not changed.
Ref call_with_dict(PyObject* f, std::initializer_list<PyObject*> positional, PyObject* kwargs) noexcept;

// obj.name as an owning reference.
inline Ref attr(PyObject* obj, PyObject* name) noexcept {
    if (obj == nullptr || name == nullptr) return {};
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// A module global (falling back to builtins, as Python name lookup does),
// looked up now; NameError when neither has it.
Ref global(PyObject* globals, PyObject* name) noexcept;
Ref global(PyObject* globals, const char* name) noexcept;

// The module `name` (a str), from sys.modules when it is there, imported
// otherwise: for modules a function needs only now and then, so the calling
// module keeps no reference to them.
inline Ref imported(PyObject* name) noexcept {
    if (name == nullptr) return {};
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (module || PyErr_Occurred()) return module;
    return Ref::steal(PyImport_Import(name));
}

// isinstance(obj, cls) with the error case folded into -1.
inline int is_instance(PyObject* obj, PyObject* cls) noexcept { return PyObject_IsInstance(obj, cls); }

}  // namespace pyobj

#include "pyobj/call.hpp"

#include <vector>

namespace pyobj {

Ref call_kw(PyObject* f, std::initializer_list<PyObject*> positional, std::initializer_list<Kw> keywords) noexcept {
    if (f == nullptr) return {};
    Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    if (!kwnames) return {};
    PyObject* argv[1 + 16];
    if (positional.size() + keywords.size() > 16) {
        PyErr_SetString(PyExc_SystemError, "call_kw: too many arguments");
        return {};
    }
    std::size_t n = 1;
    for (PyObject* p : positional) {
        if (p == nullptr) return {};
        argv[n++] = p;
    }
    Py_ssize_t k = 0;
    for (const Kw& kw : keywords) {
        if (kw.name == nullptr || kw.value == nullptr) return {};
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(kw.name));
        argv[n++] = kw.value;
    }
    return Ref::steal(PyObject_Vectorcall(f, argv + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          keywords.size() ? kwnames.get() : nullptr));
}

Ref call_with_dict(PyObject* f, std::initializer_list<PyObject*> positional, PyObject* kwargs) noexcept {
    if (f == nullptr) return {};
    for (PyObject* p : positional)
        if (p == nullptr) return {};
    Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(positional.size())));
    if (!args) return {};
    Py_ssize_t i = 0;
    for (PyObject* p : positional) PyTuple_SET_ITEM(args.get(), i++, Py_NewRef(p));
    return Ref::steal(PyObject_Call(f, args.get(), kwargs));
}

Ref global(PyObject* globals, PyObject* name) noexcept {
    if (name == nullptr) return {};
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref global(PyObject* globals, const char* name) noexcept {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    return global(globals, key.get());
}

}  // namespace pyobj

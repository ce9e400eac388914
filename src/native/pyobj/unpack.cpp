#include "pyobj/unpack.hpp"

namespace pyobj {

namespace {

bool fill_from_items(PyObject* const* items, std::span<Ref> out) noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = Ref::borrow(items[i]);
    return true;
}

// The message the interpreter gives when an iterable yields more values than
// there are targets. Since 3.14 it also names the length of a list, tuple or
// dict.
void too_many_values(PyObject* value, Py_ssize_t expected) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value)) {
        const Py_ssize_t got = PyDict_CheckExact(value) ? PyDict_Size(value) : Py_SIZE(value);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd, got %zd)", expected, got);
        return;
    }
#else
    (void)value;
#endif
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

}  // namespace

bool unpack_exact(PyObject* value, std::span<Ref> out) noexcept {
    const auto expected = static_cast<Py_ssize_t>(out.size());
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == expected)
        return fill_from_items(&PyTuple_GET_ITEM(value, 0), out);
    if (PyList_CheckExact(value) && PyList_GET_SIZE(value) == expected)
        return fill_from_items(&PyList_GET_ITEM(value, 0), out);

    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < expected; ++i) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", expected, i);
            return false;
        }
        out[static_cast<std::size_t>(i)] = std::move(item);
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (!extra) return !PyErr_Occurred();
    too_many_values(value, expected);
    return false;
}

}  // namespace pyobj

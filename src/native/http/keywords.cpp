#include "http/keywords.hpp"

#include <vector>

namespace http {

namespace {

// Builds argv (slot 0 reserved for `self`) and the kwnames tuple. The dict's
// values stay borrowed: the dict is the caller's own and outlives the call.
bool gather(std::span<const pyobj::Kw> fixed, PyObject* extra, std::vector<PyObject*>& argv,
            pyobj::Ref& kwnames) noexcept {
    const Py_ssize_t nextra = extra != nullptr ? PyDict_GET_SIZE(extra) : 0;
    const Py_ssize_t total = static_cast<Py_ssize_t>(fixed.size()) + nextra;
    kwnames = pyobj::Ref::steal(PyTuple_New(total));
    if (!kwnames) return false;
    argv.reserve(static_cast<std::size_t>(total) + 1);
    argv.push_back(nullptr);
    Py_ssize_t k = 0;
    for (const pyobj::Kw& kw : fixed) {
        if (kw.name == nullptr || kw.value == nullptr) return false;
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(kw.name));
        argv.push_back(kw.value);
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (extra != nullptr && PyDict_Next(extra, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
        argv.push_back(value);
    }
    return true;
}

}  // namespace

pyobj::Ref call_keywords(PyObject* callable, std::span<const pyobj::Kw> fixed, PyObject* extra) noexcept {
    if (callable == nullptr) return {};
    std::vector<PyObject*> argv;
    pyobj::Ref kwnames;
    try {
        if (!gather(fixed, extra, argv, kwnames)) return {};
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
    return pyobj::Ref::steal(PyObject_Vectorcall(callable, argv.data() + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 kwnames.get()));
}

bool reject_repeated_keywords(std::span<const pyobj::Kw> fixed, PyObject* extra) noexcept {
    if (extra == nullptr || PyDict_GET_SIZE(extra) == 0) return true;
    for (const pyobj::Kw& kw : fixed) {
        const int present = PyDict_Contains(extra, kw.name);
        if (present < 0) return false;
        if (present == 1) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "function", kw.name);
            return false;
        }
    }
    return true;
}

}  // namespace http

#include "pyobj/params.hpp"

#include "pyobj/errors.hpp"

#include <cstring>

namespace pyobj {

namespace {

constexpr const char* kSubclassNote =
    "Subclasses of built-in types are rejected here: pass an instance of the exact type "
    "(for example str(value) or list(value)).";

bool is_none_default(const Param& p) noexcept { return p.dflt.kind == Default::Kind::None; }

PyTypeObject* exact_type_of(Rule rule) noexcept {
    switch (rule) {
        case Rule::ExactStr: return &PyUnicode_Type;
        case Rule::ExactDict: return &PyDict_Type;
        case Rule::ExactList: return &PyList_Type;
        default: return nullptr;
    }
}

bool name_equals(PyObject* key, const char* name) noexcept {
    // Keys are str here; compare the UTF-8 text without allocating.
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    return static_cast<std::size_t>(size) == std::strlen(name) && std::memcmp(text, name, size) == 0;
}

}  // namespace

std::size_t Signature::required_count() const noexcept {
    std::size_t n = 0;
    while (n < params.size() && params[n].dflt.kind == Default::Kind::Required) ++n;
    return n;
}

bool Signature::returns_bytes() const noexcept {
    return return_annotation != nullptr && std::strcmp(return_annotation, "bytes") == 0;
}

Rule rule_for(const char* annotation) noexcept {
    if (annotation == nullptr) return Rule::None;
    if (std::strcmp(annotation, "int") == 0) return Rule::Int;
    if (std::strcmp(annotation, "float") == 0) return Rule::Float;
    if (std::strcmp(annotation, "bool") == 0) return Rule::Bool;
    if (std::strcmp(annotation, "str") == 0) return Rule::ExactStr;
    if (std::strcmp(annotation, "dict") == 0) return Rule::ExactDict;
    if (std::strcmp(annotation, "Optional[List[str]]") == 0) return Rule::ExactList;
    return Rule::None;
}

void add_note_to_current(const char* note) noexcept {
    Ref exc = fetch_exception();
    if (!exc) return;
    Ref text = Ref::steal(PyUnicode_FromString(note));
    if (text) {
        Ref done = Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", text.get()));
        if (!done) {
            // The original error matters more than its note.
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    restore_exception(std::move(exc));
}

Ref apply_int_rule(const char* param, PyObject* value, bool none_ok) noexcept {
    if (PyLong_CheckExact(value) || (none_ok && value == Py_None)) return Ref::borrow(value);
    if (PyNumber_Check(value)) return Ref::steal(PyNumber_Long(value));
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.5s, got %.200s)",
                 param, "int", Py_TYPE(value)->tp_name);
    return {};
}

bool check_exact_type(const char* param, PyObject* value, PyTypeObject* type, bool none_ok) noexcept {
    if (Py_IS_TYPE(value, type) || (none_ok && value == Py_None)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, type->tp_name, Py_TYPE(value)->tp_name);
    if (PyObject_TypeCheck(value, type)) add_note_to_current(kSubclassNote);
    return false;
}

bool check_exact_result(PyObject* result, PyTypeObject* type) noexcept {
    if (result == Py_None || Py_IS_TYPE(result, type)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", type->tp_name, Py_TYPE(result)->tp_name);
    return false;
}

bool Binder::positional_count_error(std::size_t given) const noexcept {
    const std::size_t min = sig_.required_count();
    const std::size_t max = sig_.params.size();
    const bool exact = min == max;
    std::size_t bound = given < min ? min : max;
    const char* which = exact ? "exactly" : (given < min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig_.name, which,
                 static_cast<Py_ssize_t>(bound), bound == 1 ? "" : "s", static_cast<Py_ssize_t>(given));
    return false;
}

bool Binder::keyword(PyObject* key, PyObject* value, std::size_t nargs, BoundArgs& out) const noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig_.name);
        return false;
    }
    for (std::size_t i = 0; i < sig_.params.size(); ++i) {
        if (!name_equals(key, sig_.params[i].name)) continue;
        if (i < nargs || out.values_[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig_.name, key);
            return false;
        }
        out.values_[i] = Ref::borrow(value);
        return true;
    }
    if (sig_.kwargs_name == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig_.name, key);
        return false;
    }
    return PyDict_SetItem(out.kwargs_.get(), key, value) == 0;
}

bool Binder::bind(PyObject* const* args, std::size_t nargs, PyObject* kwnames, BoundArgs& out) const noexcept {
    const std::size_t nparams = sig_.params.size();
    const std::size_t nreq = sig_.required_count();
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > nparams || (nkw == 0 && nargs < nreq)) return positional_count_error(nargs);
    for (std::size_t i = 0; i < nargs; ++i) out.values_[i] = Ref::borrow(args[i]);
    if (sig_.kwargs_name != nullptr) {
        out.kwargs_ = Ref::steal(PyDict_New());
        if (!out.kwargs_) return false;
    }
    if (nkw > 0) {
        // A missing required parameter is reported before any keyword
        // problem, counting the leading required parameters supplied.
        for (std::size_t i = nargs; i < nreq; ++i) {
            bool found = false;
            for (Py_ssize_t k = 0; k < nkw && !found; ++k)
                found = name_equals(PyTuple_GET_ITEM(kwnames, k), sig_.params[i].name);
            if (!found) return positional_count_error(i);
        }
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
        }
    }
    return fill_defaults(out) && apply_rules(out);
}

bool Binder::bind_dict(PyObject* args, PyObject* kwargs, BoundArgs& out) const noexcept {
    const std::size_t nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    const std::size_t nparams = sig_.params.size();
    const std::size_t nreq = sig_.required_count();
    const bool has_kw = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0;
    if (nargs > nparams || (!has_kw && nargs < nreq)) return positional_count_error(nargs);
    for (std::size_t i = 0; i < nargs; ++i) out.values_[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    if (sig_.kwargs_name != nullptr) {
        out.kwargs_ = Ref::steal(PyDict_New());
        if (!out.kwargs_) return false;
    }
    if (has_kw) {
        for (std::size_t i = nargs; i < nreq; ++i) {
            bool found = false;
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (!found && PyDict_Next(kwargs, &pos, &key, &value))
                found = PyUnicode_Check(key) && name_equals(key, sig_.params[i].name);
            if (!found) return positional_count_error(i);
        }
        // Iterate over a snapshot: a key's __eq__ could mutate the dict.
        Ref items = Ref::steal(PyDict_Items(kwargs));
        if (!items) return false;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.get()); ++k) {
            PyObject* pair = PyList_GET_ITEM(items.get(), k);
            if (!keyword(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), nargs, out)) return false;
        }
    }
    return fill_defaults(out) && apply_rules(out);
}

bool Binder::fill_defaults(BoundArgs& out) const noexcept {
    const std::size_t nreq = sig_.required_count();
    for (std::size_t i = 0; i < sig_.params.size(); ++i) {
        if (out.values_[i]) continue;
        if (i < nreq) return positional_count_error(i);  // unreachable after the checks above
        const std::size_t d = i - nreq;
        if (defaults_ == nullptr || !PyTuple_Check(defaults_) ||
            static_cast<std::size_t>(PyTuple_GET_SIZE(defaults_)) <= d) {
            PyErr_Format(PyExc_SystemError, "%.200s(): missing default for '%s'", sig_.name, sig_.params[i].name);
            return false;
        }
        out.values_[i] = Ref::borrow(PyTuple_GET_ITEM(defaults_, d));
    }
    return true;
}

bool Binder::apply_rules(BoundArgs& out) const noexcept {
    // Entry handling runs in phases: every int, then every float, then every
    // bool, then the exact-type checks, each phase in parameter order.
    const auto& ps = sig_.params;
    for (std::size_t i = 0; i < ps.size(); ++i) {
        if (rule_for(ps[i].annotation) != Rule::Int) continue;
        Ref v = apply_int_rule(ps[i].name, out.values_[i].get(), is_none_default(ps[i]));
        if (!v) return false;
        out.values_[i] = std::move(v);
    }
    for (std::size_t i = 0; i < ps.size(); ++i) {
        if (rule_for(ps[i].annotation) != Rule::Float) continue;
        PyObject* v = out.values_[i].get();
        if (is_none_default(ps[i]) && v == Py_None) continue;
        const double d = PyFloat_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) return false;
        out.reals_[i] = d;
        if (!PyFloat_CheckExact(v)) {
            Ref f = Ref::steal(PyFloat_FromDouble(d));
            if (!f) return false;
            out.values_[i] = std::move(f);
        }
    }
    for (std::size_t i = 0; i < ps.size(); ++i) {
        if (rule_for(ps[i].annotation) != Rule::Bool) continue;
        const int truth = PyObject_IsTrue(out.values_[i].get());
        if (truth < 0) return false;
        out.values_[i] = Ref::borrow(truth ? Py_True : Py_False);
    }
    for (std::size_t i = 0; i < ps.size(); ++i) {
        PyTypeObject* type = exact_type_of(rule_for(ps[i].annotation));
        if (type == nullptr) continue;
        if (!check_exact_type(ps[i].name, out.values_[i].get(), type, is_none_default(ps[i]))) return false;
    }
    return true;
}

}  // namespace pyobj

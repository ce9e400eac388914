#include "pyobj/function.hpp"

#include "pyobj/call.hpp"
#include "pyobj/names.hpp"
#include "pyobj/recursion.hpp"

#include <exception>
#include <new>

namespace pyobj {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* annotations;
    PyObject* globals;
    PyObject* closure;
    PyObject* dict;
    PyObject* signature;
    PyObject* weakreflist;
};

FunctionObject* as_function(PyObject* self) noexcept { return reinterpret_cast<FunctionObject*>(self); }

// Runs the body behind the call border: C++ exceptions never reach CPython.
PyObject* run_body(FunctionObject* f, const BoundArgs& bound) noexcept {
    PyObject* result = nullptr;
    try {
        result = f->def->body(Call(bound, reinterpret_cast<PyObject*>(f), f->globals, f->closure));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%U(): internal error: %s", f->qualname, e.what());
        return nullptr;
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%U(): internal error", f->qualname);
        return nullptr;
    }
    if (result == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%U() returned NULL without setting an exception", f->qualname);
        return nullptr;
    }
    if (f->def->sig.returns_bytes() && !check_exact_result(result, &PyBytes_Type)) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(self);
    RecursionGuard guard;
    if (!guard.entered()) return nullptr;
    BoundArgs bound;
    if (!Binder(f->def->sig, f->defaults).bind(args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    return run_body(f, bound);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    FunctionObject* f = as_function(self);
    RecursionGuard guard;
    if (!guard.entered()) return nullptr;
    BoundArgs bound;
    if (!Binder(f->def->sig, f->defaults).bind_dict(args, kwargs, bound)) return nullptr;
    return run_body(f, bound);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->closure);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// --- attributes -----------------------------------------------------------

PyObject* get_field(PyObject* field) { return Py_NewRef(field != nullptr ? field : Py_None); }

int set_str_field(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_any_field(PyObject** slot, PyObject* value) {
    Py_XSETREF(*slot, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return get_field(as_function(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_str_field(&as_function(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return get_field(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(&as_function(self)->qualname, v, "__qualname__");
}
PyObject* get_module(PyObject* self, void*) { return get_field(as_function(self)->module); }
int set_module(PyObject* self, PyObject* v, void*) { return set_any_field(&as_function(self)->module, v); }
PyObject* get_doc(PyObject* self, void*) { return get_field(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) { return set_any_field(&as_function(self)->doc, v); }
PyObject* get_defaults(PyObject* self, void*) { return get_field(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) { return get_field(as_function(self)->annotations); }
int set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == nullptr || !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_NewRef(v));
    return 0;
}
PyObject* get_globals(PyObject* self, void*) { return get_field(as_function(self)->globals); }

Ref build_signature(FunctionObject* f) noexcept {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return {};
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = parameter ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature")) : Ref();
    if (!signature) return {};
    Ref positional = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref var_keyword = positional ? Ref::steal(PyObject_GetAttrString(parameter.get(), "VAR_KEYWORD")) : Ref();
    if (!var_keyword) return {};

    const Signature& sig = f->def->sig;
    const std::size_t nreq = sig.required_count();
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return {};
    auto add = [&](const char* name, PyObject* kind, const char* annotation, PyObject* dflt) -> bool {
        Ref pname = Ref::steal(PyUnicode_FromString(name));
        Ref kw = pname ? Ref::steal(PyDict_New()) : Ref();
        if (!kw) return false;
        if (annotation != nullptr) {
            Ref text = Ref::steal(PyUnicode_FromString(annotation));
            if (!text || PyDict_SetItemString(kw.get(), "annotation", text.get()) < 0) return false;
        }
        if (dflt != nullptr && PyDict_SetItemString(kw.get(), "default", dflt) < 0) return false;
        Ref args = Ref::steal(PyTuple_Pack(2, pname.get(), kind));
        Ref p = args ? Ref::steal(PyObject_Call(parameter.get(), args.get(), kw.get())) : Ref();
        return p && PyList_Append(params.get(), p.get()) == 0;
    };
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        PyObject* dflt = nullptr;
        if (i >= nreq && f->defaults != nullptr && PyTuple_Check(f->defaults) &&
            static_cast<std::size_t>(PyTuple_GET_SIZE(f->defaults)) > i - nreq)
            dflt = PyTuple_GET_ITEM(f->defaults, i - nreq);
        if (!add(sig.params[i].name, positional.get(), sig.params[i].annotation, dflt)) return {};
    }
    if (sig.kwargs_name != nullptr && !add(sig.kwargs_name, var_keyword.get(), sig.kwargs_annotation, nullptr))
        return {};
    Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    Ref kw = args ? Ref::steal(PyDict_New()) : Ref();
    if (!kw) return {};
    if (sig.return_annotation != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(sig.return_annotation));
        if (!text || PyDict_SetItemString(kw.get(), "return_annotation", text.get()) < 0) return {};
    }
    return Ref::steal(PyObject_Call(signature.get(), args.get(), kw.get()));
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->signature == nullptr) {
        Ref sig = build_signature(f);
        if (!sig) return nullptr;
        f->signature = sig.release();
    }
    return Py_NewRef(f->signature);
}

PyObject* function_reduce(PyObject* self, PyObject*) { return get_field(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// PyVarObject_HEAD_INIT fills only the object header; every other slot is
// meant to start zeroed, which is what the missing initialisers do.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "tessel.native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function implemented in C++ that behaves like a Python function.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();
#pragma GCC diagnostic pop

Ref default_value(const Default& d, PyObject* globals) noexcept {
    switch (d.kind) {
        case Default::Kind::None: return Ref::borrow(Py_None);
        case Default::Kind::Int: return Ref::steal(PyLong_FromLongLong(d.int_value));
        case Default::Kind::Float: return Ref::steal(PyFloat_FromDouble(d.float_value));
        case Default::Kind::Str: return Ref::steal(PyUnicode_FromString(d.text));
        case Default::Kind::Bool: return Ref::borrow(d.int_value ? Py_True : Py_False);
        case Default::Kind::ModuleGlobal: return global(globals, d.text);
        case Default::Kind::Required: break;
    }
    PyErr_SetString(PyExc_SystemError, "a required parameter has no default value");
    return {};
}

Ref make_annotations(const Signature& sig) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    auto put = [&](const char* key, const char* text) -> bool {
        Ref value = Ref::steal(PyUnicode_FromString(text));
        return value && PyDict_SetItemString(dict.get(), key, value.get()) == 0;
    };
    for (const Param& p : sig.params)
        if (p.annotation != nullptr && !put(p.name, p.annotation)) return {};
    if (sig.kwargs_name != nullptr && sig.kwargs_annotation != nullptr && !put(sig.kwargs_name, sig.kwargs_annotation))
        return {};
    if (sig.return_annotation != nullptr && !put("return", sig.return_annotation)) return {};
    return dict;
}

}  // namespace

bool ready_function_type() noexcept { return PyType_Ready(&function_type) == 0; }

Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* closure) noexcept {
    const Signature& sig = def.sig;
    if (sig.params.size() > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "%s(): too many parameters", sig.name);
        return {};
    }
    const std::size_t nreq = sig.required_count();
    Ref defaults;
    if (sig.params.size() > nreq) {
        defaults = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sig.params.size() - nreq)));
        if (!defaults) return {};
        for (std::size_t i = nreq; i < sig.params.size(); ++i) {
            Ref v = default_value(sig.params[i].dflt, globals);
            if (!v) return {};
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i - nreq), v.release());
        }
    }
    Ref name = Ref::steal(PyUnicode_FromString(sig.name));
    Ref qualname = name ? Ref::steal(PyUnicode_FromString(sig.qualname)) : Ref();
    Ref doc = qualname ? (sig.doc ? Ref::steal(PyUnicode_FromString(sig.doc)) : Ref::borrow(Py_None)) : Ref();
    Ref annotations = doc ? make_annotations(sig) : Ref();
    if (!annotations) return {};
    PyObject* module_name = PyDict_GetItemWithError(globals, id<"__name__">());
    if (module_name == nullptr && PyErr_Occurred()) return {};

    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (f == nullptr) return {};
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name != nullptr ? module_name : Py_None);
    f->doc = doc.release();
    f->defaults = defaults ? defaults.release() : Py_NewRef(Py_None);
    f->annotations = annotations.release();
    f->globals = Py_NewRef(globals);
    f->closure = Py_XNewRef(closure);
    f->dict = nullptr;
    f->signature = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace pyobj

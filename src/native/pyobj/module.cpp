#include "pyobj/module.hpp"

#include "pyobj/call.hpp"

namespace pyobj {

namespace {

// Copies spec.<from> to module.<to>; a missing attribute is skipped.
bool copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to, bool allow_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!allow_none && value.get() == Py_None) return true;
    return PyObject_SetAttrString(module, to, value.get()) == 0;
}

bool warn_on_version_mismatch(const char* full_name) noexcept {
    const int run_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int run_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (run_major == PY_MAJOR_VERSION && run_minor == PY_MINOR_VERSION) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match", run_major, run_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

bool enter_sys_modules(PyObject* module, const char* full_name) noexcept {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref key = Ref::steal(PyUnicode_FromString(full_name));
    if (!key) return false;
    const int present = PyDict_Contains(modules, key.get());
    if (present < 0) return false;
    return present == 1 || PyDict_SetItem(modules, key.get(), module) == 0;
}

bool check_builtins(std::span<const char* const> names) noexcept {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    for (const char* name : names) {
        Ref key = Ref::steal(PyUnicode_FromString(name));
        if (!key) return false;
        Ref value = Ref::steal(PyObject_GetAttr(builtins.get(), key.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
            return false;
        }
    }
    return true;
}

bool run_exec_steps(const ModuleFrame& frame, PyObject* module) noexcept {
    if (!create_names()) return false;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) return false;
    if (!warn_on_version_mismatch(frame.full_name)) return false;
    if (!enter_sys_modules(module, frame.full_name)) return false;
    if (!check_builtins(frame.builtins)) return false;
    return frame.populate(module);
}

}  // namespace

PyObject* frame_create(FrameState& state, PyObject* spec) noexcept {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    std::int64_t first = -1;
    if (!state.interpreter_id.compare_exchange_strong(first, current) && first != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module != nullptr) return Py_NewRef(state.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module) return nullptr;
    if (!copy_spec_attr(spec, module.get(), "loader", "__loader__", true) ||
        !copy_spec_attr(spec, module.get(), "origin", "__file__", true) ||
        !copy_spec_attr(spec, module.get(), "parent", "__package__", true) ||
        !copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

int frame_exec(FrameState& state, const ModuleFrame& frame, PyObject* module) noexcept {
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", frame.short_name);
        return -1;
    }
    state.module = Py_NewRef(module);
    if (run_exec_steps(frame, module)) return 0;
    // A failed initialisation leaves nothing behind: the next import, in this
    // interpreter or another, starts afresh.
    Py_CLEAR(state.module);
    state.interpreter_id = -1;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", frame.full_name);
    return -1;
}

bool import_module(PyObject* module, const char* name, const char* as_name) noexcept {
    Ref imported = Ref::steal(PyImport_ImportModule(name));
    return imported && PyObject_SetAttrString(module, as_name, imported.get()) == 0;
}

bool import_from(PyObject* module, const char* from_name, std::initializer_list<const char*> names,
                 int level) noexcept {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return false;
    for (const char* n : names) {
        Ref s = Ref::steal(PyUnicode_FromString(n));
        if (!s || PyList_Append(fromlist.get(), s.get()) < 0) return false;
    }
    Ref modname = Ref::steal(PyUnicode_FromString(from_name));
    if (!modname) return false;
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    Ref source = Ref::steal(PyImport_ImportModuleLevelObject(modname.get(), globals, nullptr, fromlist.get(), level));
    if (!source) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(fromlist.get(), i);
        Ref value = Ref::steal(PyObject_GetAttr(source.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            // An already loaded submodule of that name counts as well.
            Ref pkg = Ref::steal(PyObject_GetAttrString(source.get(), "__name__"));
            Ref full = pkg ? Ref::steal(PyUnicode_FromFormat("%U.%U", pkg.get(), name)) : Ref();
            PyObject* sub = full ? PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get()) : nullptr;
            if (sub == nullptr) {
                if (!pkg || !full || PyErr_Occurred()) PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
                return false;
            }
            value = Ref::borrow(sub);
        }
        if (PyObject_SetAttr(module, name, value.get()) < 0) return false;
    }
    return true;
}

}  // namespace pyobj

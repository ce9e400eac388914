// The module frame shared by the extension modules: multi-phase
// initialisation, one interpreter and one module object per process, the
// compile-time/run-time version warning, and import helpers that bind names
// one by one as they succeed.
#pragma once

#include "pyobj/ref.hpp"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace pyobj {

struct ModuleFrame {
    const char* short_name;  // the PyModuleDef name, e.g. "image"
    const char* full_name;   // the import name, e.g. "tessel.image"
    // Built-ins the module's functions use; a missing one fails the import.
    std::span<const char* const> builtins;
    // Binds the module's globals in order; returns false on failure.
    bool (*populate)(PyObject* module);
};

// Per-module process-wide state; one static instance per extension module.
struct FrameState {
    // The interpreter of the first creation, -1 again if its initialisation
    // fails. Interpreters with their own GIL may race for it.
    std::atomic<std::int64_t> interpreter_id{-1};
    PyObject* module = nullptr;  // the executed module, owned
};

PyObject* frame_create(FrameState& state, PyObject* spec) noexcept;
int frame_exec(FrameState& state, const ModuleFrame& frame, PyObject* module) noexcept;

// The slots every module of the package declares beyond create and exec.
// From 3.12 CPython checks Py_mod_multiple_interpreters before the create
// step runs, and answers a subinterpreter with its own text unless the slot
// says a per-interpreter GIL is fine (absent, it refuses isolated
// interpreters itself). The create step refuses every interpreter but the
// first, with the module's own message, and takes the first atomically, so
// no second interpreter ever runs this code and the slot's promise is never
// put to use. 3.13 also asks whether the module relies on the GIL: it does.
#if PY_VERSION_HEX >= 0x030D0000
#define PYOBJ_FRAME_EXTRA_SLOTS                                                      \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},         \
        {Py_mod_gil, Py_MOD_GIL_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define PYOBJ_FRAME_EXTRA_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define PYOBJ_FRAME_EXTRA_SLOTS
#endif

// The module definition of an extension module whose frame is `frame`
// (a pyobj::ModuleFrame in the same namespace), with its create and exec
// steps and the slots above. Use once per module, inside a namespace; then
// PyInit_<name> returns PyModuleDef_Init(&<namespace>::module_def).
#define PYOBJ_DEFINE_MODULE(short_name, frame)                                                      \
    pyobj::FrameState frame_state;                                                                  \
    PyObject* create(PyObject* spec, PyModuleDef*) noexcept { return pyobj::frame_create(frame_state, spec); } \
    int exec(PyObject* module) noexcept { return pyobj::frame_exec(frame_state, frame, module); }  \
    PyModuleDef_Slot slots[] = {                                                                    \
        {Py_mod_create, reinterpret_cast<void*>(create)},                                          \
        {Py_mod_exec, reinterpret_cast<void*>(exec)},                                              \
        PYOBJ_FRAME_EXTRA_SLOTS{0, nullptr},                                                        \
    };                                                                                              \
    PyModuleDef module_def = {                                                                      \
        PyModuleDef_HEAD_INIT, short_name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,  \
    }

// `import name` bound as `as_name` in the module.
bool import_module(PyObject* module, const char* name, const char* as_name) noexcept;
// `from <from_name> import n1, n2, ...` (level 1 for a relative import),
// binding each name as soon as it is found.
bool import_from(PyObject* module, const char* from_name, std::initializer_list<const char*> names,
                 int level = 0) noexcept;

}  // namespace pyobj

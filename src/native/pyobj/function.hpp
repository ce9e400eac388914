// A function type for C++ bodies that looks and binds like a Python function.
//
// Each object carries __name__, __qualname__, __module__, __doc__,
// __defaults__, __kwdefaults__, __annotations__ (annotation texts as str),
// __globals__ (the defining module's dict, so typing.get_type_hints can
// resolve the texts), __dict__, __signature__ (built on first use), a
// function-like repr, vectorcall, __get__ binding like a Python function,
// and __reduce__ naming its qualified name so pickle sends it by reference.
#pragma once

#include "pyobj/params.hpp"

#include <cstddef>

namespace pyobj {

class Call;

// A body returns a new reference, or nullptr with a Python error set. It may
// throw C++ exceptions only of std::exception kind; the call border turns
// them into Python errors.
using Body = PyObject* (*)(const Call& call);

struct FunctionDef {
    Signature sig;
    Body body;
};

// What a body receives: the converted arguments plus the function's context.
class Call {
public:
    Call(const BoundArgs& args, PyObject* function, PyObject* globals, PyObject* closure) noexcept
        : args_(args), function_(function), globals_(globals), closure_(closure) {}

    PyObject* operator[](std::size_t i) const noexcept { return args_[i]; }
    double real(std::size_t i) const noexcept { return args_.real(i); }
    PyObject* kwargs() const noexcept { return args_.kwargs(); }
    PyObject* function() const noexcept { return function_; }
    // The defining module's dict, for globals looked up at call time.
    PyObject* globals() const noexcept { return globals_; }
    // The object an inner function closes over (nullptr for module-level ones).
    PyObject* closure() const noexcept { return closure_; }

private:
    const BoundArgs& args_;
    PyObject* function_;
    PyObject* globals_;
    PyObject* closure_;
};

// Readies the function type; call once from the module's exec step.
bool ready_function_type() noexcept;

// Makes a function object. `globals` is the defining module's dict: it gives
// __globals__, __module__ (its "__name__") and the values of
// module_global() defaults. `closure` is kept alive by the function.
Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* closure = nullptr) noexcept;

}  // namespace pyobj

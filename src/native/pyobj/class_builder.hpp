// Builds a plain Python class the way a class statement would: the built-in
// `type` called with the name, no bases and a namespace holding __module__,
// __qualname__, __doc__ and then the functions in table order.
#pragma once

#include "pyobj/function.hpp"

#include <span>

namespace pyobj {

struct ClassMember {
    const FunctionDef* def;
    bool is_static;  // wrapped in the built-in staticmethod
};

// Makes each member's function object (in order, so defaults that read
// module globals see them as bound now), builds the class and binds it in
// `module` under `name`. False with an error set.
bool bind_class(PyObject* module, const char* module_name, const char* name, const char* doc,
                std::span<const ClassMember> members) noexcept;

}  // namespace pyobj

// HttpRequestClient: the five functions of the class namespace, each defined
// in its own file. The order of kClientFunctions is the namespace order.
#pragma once

#include "pyobj/class_builder.hpp"

#include <array>

namespace http {

using pyobj::Ref;

extern const pyobj::FunctionDef init_def;
extern const pyobj::FunctionDef calc_backoff_wait_def;
extern const pyobj::FunctionDef request_def;
extern const pyobj::FunctionDef post_def;
extern const pyobj::FunctionDef get_def;

// __init__ comes first: its user_agent default is DEFAULT_USER_AGENT as bound
// when the class is built.
inline const std::array<pyobj::ClassMember, 5> kClientFunctions = {{
    {&init_def, false},
    {&calc_backoff_wait_def, true},
    {&request_def, false},
    {&post_def, false},
    {&get_def, false},
}};

}  // namespace http

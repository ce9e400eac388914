// check_all: the four image checks of one source, for the internal module
// that tessel.check calls. Its function object needs the image module's
// globals as its closure (the names the checks look up at call time).
#pragma once

#include "pyobj/function.hpp"

namespace image {

extern const pyobj::FunctionDef check_all_def;

}  // namespace image

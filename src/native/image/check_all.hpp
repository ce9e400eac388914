// check_all: the four image checks of one source, for the internal module
// that tessel.check calls. Its function object needs the image module's
// globals as its closure (the names the checks look up at call time).
#pragma once

#include "pyobj/function.hpp"

namespace image {

extern const pyobj::FunctionDef check_all_def;

// _side_thread(mode): chooses when check_all decodes with OpenCV on a side
// thread ("auto", "always", "never"); returns the previous mode.
extern PyMethodDef* const side_thread_switch;

}  // namespace image

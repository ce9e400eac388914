// tessel._checks: the one-pass entry behind tessel.check, kept out of
// tessel.image, whose globals are its public surface. It works with the
// image module's globals, so the checks look up ImageTool, Image, cv2 and
// the rest where the ImageTool methods look them up.
#include "image/check_all.hpp"
#include "image/opencv_gate.hpp"
#include "pyobj/call.hpp"
#include "pyobj/module.hpp"

namespace checks {
namespace {

bool populate(PyObject* module) noexcept {
    if (!pyobj::ready_function_type()) return false;
    pyobj::Ref image = pyobj::Ref::steal(PyImport_ImportModule("tessel.image"));
    PyObject* image_globals = image ? PyModule_GetDict(image.get()) : nullptr;  // borrowed
    if (image_globals == nullptr) return false;
    pyobj::Ref check_all = pyobj::make_function(image::check_all_def, PyModule_GetDict(module), image_globals);
    if (!check_all || PyObject_SetAttrString(module, "check_all", check_all.get()) < 0) return false;
    pyobj::Ref side_thread = pyobj::Ref::steal(PyCFunction_NewEx(image::side_thread_switch, nullptr, nullptr));
    return side_thread && PyObject_SetAttrString(module, "_side_thread", side_thread.get()) == 0 &&
           image::install_opencv_exit_gate();
}

const pyobj::ModuleFrame kFrame{"_checks", "tessel._checks", {}, populate};
PYOBJ_DEFINE_MODULE("_checks", kFrame);

}  // namespace
}  // namespace checks

PyMODINIT_FUNC PyInit__checks(void) { return PyModuleDef_Init(&checks::module_def); }

// tessel.image: the module frame, its imports in order, and the ImageTool
// class assembled from the method table.
#include "image/methods.hpp"
#include "pyobj/call.hpp"
#include "pyobj/module.hpp"
#include "pyobj/names.hpp"

namespace image {
namespace {

constexpr const char* kClassDoc = "图片工具类，提供图像检测、处理、获取等操作。";

bool build_image_tool(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    Ref namespace_ = Ref::steal(PyDict_New());
    if (!namespace_) return false;
    Ref module_name = Ref::steal(PyUnicode_FromString("tessel.image"));
    Ref qualname = module_name ? Ref::steal(PyUnicode_FromString("ImageTool")) : Ref();
    Ref doc = qualname ? Ref::steal(PyUnicode_FromString(kClassDoc)) : Ref();
    if (!doc || PyDict_SetItemString(namespace_.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__doc__", doc.get()) < 0)
        return false;
    Ref staticmethod = pyobj::global(globals, "staticmethod");
    if (!staticmethod) return false;
    for (const pyobj::FunctionDef* def : kImageToolMethods) {
        Ref function = pyobj::make_function(*def, globals);
        Ref wrapped = pyobj::call(staticmethod.get(), function.get());
        if (!wrapped || PyDict_SetItemString(namespace_.get(), def->sig.name, wrapped.get()) < 0) return false;
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref cls = bases ? pyobj::call(reinterpret_cast<PyObject*>(&PyType_Type), qualname.get(), bases.get(),
                                  namespace_.get())
                    : Ref();
    return cls && PyObject_SetAttrString(module, "ImageTool", cls.get()) == 0;
}

bool populate(PyObject* module) noexcept {
    using pyobj::import_from;
    using pyobj::import_module;
    return pyobj::ready_function_type() &&                                                   //
           import_module(module, "os", "os") &&                                              //
           import_module(module, "time", "time") &&                                          //
           import_module(module, "cv2", "cv2") &&                                            //
           import_module(module, "requests", "requests") &&                                  //
           import_module(module, "numpy", "np") &&                                           //
           import_from(module, "io", {"BytesIO"}) &&                                         //
           import_from(module, "PIL", {"Image"}) &&                                          //
           import_from(module, "typing", {"Tuple", "Dict", "Any", "Optional", "Union", "List"}) &&  //
           import_from(module, "concurrent.futures", {"ThreadPoolExecutor", "as_completed"}) &&     //
           import_module(module, "logging", "logging") &&                                    //
           import_from(module, "utils", {"str_to_md5"}, 1) &&                                //
           import_from(module, "faultdefs", {"InvalidImageError", "ServiceError"}) &&        //
           build_image_tool(module);
}

constexpr const char* kBuiltins[] = {"staticmethod", "open", "round", "print", "sum"};

const pyobj::ModuleFrame kFrame{"image", "tessel.image", kBuiltins, populate};
pyobj::FrameState frame_state;

PyObject* create(PyObject* spec, PyModuleDef*) noexcept { return pyobj::frame_create(frame_state, spec); }
int exec(PyObject* module) noexcept { return pyobj::frame_exec(frame_state, kFrame, module); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    PYOBJ_FRAME_EXTRA_SLOTS{0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "image", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace image

PyMODINIT_FUNC PyInit_image(void) { return PyModuleDef_Init(&image::module_def); }

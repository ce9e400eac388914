// tessel.image: the module frame, its imports in order, and the ImageTool
// class assembled from the method table.
#include "image/methods.hpp"
#include "image/opencv_gate.hpp"
#include "pyobj/class_builder.hpp"
#include "pyobj/module.hpp"

namespace image {
namespace {

constexpr const char* kClassDoc = "图片工具类，提供图像检测、处理、获取等操作。";

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
           pyobj::bind_class(module, "tessel.image", "ImageTool", kClassDoc, kImageToolMethods) &&  //
           install_opencv_exit_gate();
}

constexpr const char* kBuiltins[] = {"staticmethod", "open", "round", "print", "sum"};

const pyobj::ModuleFrame kFrame{"image", "tessel.image", kBuiltins, populate};
PYOBJ_DEFINE_MODULE("image", kFrame);

}  // namespace
}  // namespace image

PyMODINIT_FUNC PyInit_image(void) { return PyModuleDef_Init(&image::module_def); }

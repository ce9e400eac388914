// tessel.http: the module frame, its globals in order, and the
// HttpRequestClient class built with `type` from the function table.
#include "http/client.hpp"
#include "pyobj/module.hpp"
#include "pyobj/class_builder.hpp"

namespace http {
namespace {

constexpr const char* kClassDoc = "通用带指数退避重试的 HTTP 请求客户端";

constexpr const char* kDefaultUserAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/150.0.0.0 Safari/537.36 Edg/150.0.0.0";

bool bind_default_user_agent(PyObject* module) noexcept {
    Ref value = Ref::steal(PyUnicode_FromString(kDefaultUserAgent));
    return value && PyObject_SetAttrString(module, "DEFAULT_USER_AGENT", value.get()) == 0;
}

bool populate(PyObject* module) noexcept {
    using pyobj::import_from;
    using pyobj::import_module;
    return pyobj::ready_function_type() &&                                                     //
           import_module(module, "time", "time") &&                                            //
           import_module(module, "requests", "requests") &&                                    //
           import_from(module, "requests.exceptions", {"ConnectionError", "RequestException"}) &&  //
           bind_default_user_agent(module) &&                                                  //
           pyobj::bind_class(module, "tessel.http", "HttpRequestClient", kClassDoc, kClientFunctions);
}

constexpr const char* kBuiltins[] = {"staticmethod", "range"};

const pyobj::ModuleFrame kFrame{"http", "tessel.http", kBuiltins, populate};
PYOBJ_DEFINE_MODULE("http", kFrame);

}  // namespace
}  // namespace http

PyMODINIT_FUNC PyInit_http(void) { return PyModuleDef_Init(&http::module_def); }

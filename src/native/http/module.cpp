// tessel.http: the module frame, its globals in order, and the
// HttpRequestClient class built with `type` from the function table.
#include "http/client.hpp"
#include "pyobj/call.hpp"
#include "pyobj/module.hpp"
#include "pyobj/names.hpp"

namespace http {
namespace {

constexpr const char* kClassDoc = "通用带指数退避重试的 HTTP 请求客户端";

constexpr const char* kDefaultUserAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/150.0.0.0 Safari/537.36 Edg/150.0.0.0";

bool build_client_class(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    Ref namespace_ = Ref::steal(PyDict_New());
    if (!namespace_) return false;
    Ref module_name = Ref::steal(PyUnicode_FromString("tessel.http"));
    Ref qualname = module_name ? Ref::steal(PyUnicode_FromString("HttpRequestClient")) : Ref();
    Ref doc = qualname ? Ref::steal(PyUnicode_FromString(kClassDoc)) : Ref();
    if (!doc || PyDict_SetItemString(namespace_.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__doc__", doc.get()) < 0)
        return false;
    Ref staticmethod = pyobj::global(globals, "staticmethod");
    if (!staticmethod) return false;
    // __init__ is made first: its user_agent default is DEFAULT_USER_AGENT as
    // bound right now.
    for (const ClientFunction& entry : kClientFunctions) {
        Ref function = pyobj::make_function(*entry.def, globals);
        Ref member = entry.is_static ? pyobj::call(staticmethod.get(), function.get()) : std::move(function);
        if (!member || PyDict_SetItemString(namespace_.get(), entry.def->sig.name, member.get()) < 0) return false;
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref cls = bases ? pyobj::call(reinterpret_cast<PyObject*>(&PyType_Type), qualname.get(), bases.get(),
                                  namespace_.get())
                    : Ref();
    return cls && PyObject_SetAttrString(module, "HttpRequestClient", cls.get()) == 0;
}

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
           build_client_class(module);
}

constexpr const char* kBuiltins[] = {"staticmethod", "range"};

const pyobj::ModuleFrame kFrame{"http", "tessel.http", kBuiltins, populate};
pyobj::FrameState frame_state;

PyObject* create(PyObject* spec, PyModuleDef*) noexcept { return pyobj::frame_create(frame_state, spec); }
int exec(PyObject* module) noexcept { return pyobj::frame_exec(frame_state, kFrame, module); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    PYOBJ_FRAME_EXTRA_SLOTS{0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "http", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace http

PyMODINIT_FUNC PyInit_http(void) { return PyModuleDef_Init(&http::module_def); }

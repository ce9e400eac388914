#include "pyobj/class_builder.hpp"

#include "pyobj/call.hpp"

namespace pyobj {

bool bind_class(PyObject* module, const char* module_name, const char* name, const char* doc,
                std::span<const ClassMember> members) noexcept {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    Ref namespace_ = Ref::steal(PyDict_New());
    if (!namespace_) return false;
    Ref module_text = Ref::steal(PyUnicode_FromString(module_name));
    Ref qualname = module_text ? Ref::steal(PyUnicode_FromString(name)) : Ref();
    Ref doc_text = qualname ? Ref::steal(PyUnicode_FromString(doc)) : Ref();
    if (!doc_text || PyDict_SetItemString(namespace_.get(), "__module__", module_text.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__doc__", doc_text.get()) < 0)
        return false;
    Ref staticmethod = global(globals, "staticmethod");
    if (!staticmethod) return false;
    for (const ClassMember& member : members) {
        Ref function = make_function(*member.def, globals);
        Ref value = member.is_static ? call(staticmethod.get(), function.get()) : std::move(function);
        if (!value || PyDict_SetItemString(namespace_.get(), member.def->sig.name, value.get()) < 0) return false;
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref cls = bases ? call(reinterpret_cast<PyObject*>(&PyType_Type), qualname.get(), bases.get(), namespace_.get())
                    : Ref();
    return cls && PyObject_SetAttr(module, qualname.get(), cls.get()) == 0;
}

}  // namespace pyobj

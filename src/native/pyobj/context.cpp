#include "pyobj/context.hpp"

#include "pyobj/call.hpp"
#include "pyobj/errors.hpp"
#include "pyobj/names.hpp"

namespace pyobj {

namespace {

Ref special_method(PyObject* manager, PyObject* name) noexcept {
    Ref method = attr(manager, name);
    if (!method && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager)->tp_name);
    }
    return method;
}

}  // namespace

Ref WithBlock::enter(PyObject* manager) noexcept {
    if (manager == nullptr) return {};
    Ref enter_method = special_method(manager, id<"__enter__">());
    if (!enter_method) return {};
    exit_ = special_method(manager, id<"__exit__">());
    if (!exit_) return {};
    Ref value = call(enter_method.get());
    if (!value) exit_.reset();
    return value;
}

bool WithBlock::exit(bool failed) noexcept {
    Ref exit_method = std::move(exit_);
    if (!exit_method) return !failed;
    if (!failed) return static_cast<bool>(call(exit_method.get(), Py_None, Py_None, Py_None));

    Ref exc = fetch_exception();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "leaving a with block after a failure without an exception");
        return false;
    }
    Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
    int suppress = -1;
    {
        HandlingScope handling(exc.get());
        Ref outcome = call(exit_method.get(), type, exc.get(), traceback ? traceback.get() : Py_None);
        if (outcome) suppress = PyObject_IsTrue(outcome.get());
    }
    if (suppress < 0) return false;  // __exit__'s own error, chained to exc
    if (suppress) return true;
    restore_exception(std::move(exc));
    return false;
}

}  // namespace pyobj

// Daemon threads at interpreter exit, for every frame of ours.
//
// While the interpreter finalises, CPython 3.11-3.13 ends a daemon thread
// that waits for the GIL with pthread_exit. On glibc that is a forced unwind
// through the whole stack. CPython's and the libraries' C frames have
// nothing to clean up, but ours do: a Ref's destructor would decref without
// the GIL, racing the finaliser, and a noexcept frame calls std::terminate,
// aborting the process. So the modules are linked with
// --wrap=__gxx_personality_v0 (see CMakeLists.txt): the unwinder asks this
// wrapper about each of our frames that has something to run, and at the
// first one it parks the thread for good, as CPython 3.14 does itself,
// before any of our cleanups runs. The thread holds no lock there (CPython
// gives the GIL's mutex back before ending the thread), and the process
// ends around it.
//
// A forced unwind at any other time (pthread_cancel or pthread_exit from
// someone else's code) goes on exactly as before.
#if defined(PYOBJ_WRAP_PERSONALITY)

#include <Python.h>
#include <unwind.h>

#include "pyobj/park.hpp"

namespace {

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

extern "C" {

_Unwind_Reason_Code __real___gxx_personality_v0(int version, _Unwind_Action actions,
                                                _Unwind_Exception_Class exception_class,
                                                _Unwind_Exception* exception, _Unwind_Context* context);

_Unwind_Reason_Code __wrap___gxx_personality_v0(int version, _Unwind_Action actions,
                                                _Unwind_Exception_Class exception_class,
                                                _Unwind_Exception* exception, _Unwind_Context* context) {
    if ((actions & _UA_FORCE_UNWIND) != 0 && interpreter_finalizing()) pyobj::park_thread_forever();
    return __real___gxx_personality_v0(version, actions, exception_class, exception, context);
}

}  // extern "C"

#endif

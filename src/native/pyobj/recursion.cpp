#include "pyobj/recursion.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#define PYOBJ_STACK_BOUNDS 1
#endif

namespace pyobj {

namespace {

constexpr const char* kWhere = " while calling a Python object";

#if defined(PYOBJ_STACK_BOUNDS)

// The lowest address a call may start from on this thread: the bottom of its
// stack (stacks grow down on every platform CPython supports here) plus a
// reserve for our body and the library calls it makes (decoders run on this
// same stack). The reserve is a quarter of a small stack, so that a call
// still fits in a thread made with a tiny stack_size.
constexpr std::size_t kReserve = 64 * 1024;

std::uintptr_t find_stack_floor() noexcept {
    void* low = nullptr;
    std::size_t size = 0;
#if defined(__APPLE__)
    pthread_t self = pthread_self();
    size = pthread_get_stacksize_np(self);
    low = static_cast<char*>(pthread_get_stackaddr_np(self)) - size;
#else
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    const int got = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (got != 0) return 0;
#endif
    return reinterpret_cast<std::uintptr_t>(low) + std::min(kReserve, size / 4);
}

// Per thread, found on the thread's first call (0 when unknown: no check).
std::uintptr_t stack_floor() noexcept {
    thread_local std::uintptr_t floor = 0;
    thread_local bool found = false;
    if (!found) {
        floor = find_stack_floor();
        found = true;
    }
    return floor;
}

bool stack_nearly_exhausted() noexcept {
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here < stack_floor();
}

#else

bool stack_nearly_exhausted() noexcept { return false; }

#endif

}  // namespace

RecursionGuard::RecursionGuard() noexcept {
    if (stack_nearly_exhausted()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kWhere);
        return;
    }
    entered_ = Py_EnterRecursiveCall(kWhere) == 0;
}

}  // namespace pyobj

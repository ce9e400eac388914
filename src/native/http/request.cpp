// HttpRequestClient.request: one call of session.request per attempt; only
// connection failures are retried, with exponential waits in between.
#include "http/client.hpp"
#include "http/keywords.hpp"
#include "pyobj/call.hpp"
#include "pyobj/errors.hpp"
#include "pyobj/names.hpp"

#include <climits>

namespace http {
namespace {

constexpr pyobj::Param kParams[] = {
    {"self", nullptr},
    {"method", "str"},
    {"url", "str"},
    {"headers", "dict", pyobj::none()},
    {"params", "dict", pyobj::none()},
    {"json", "dict", pyobj::none()},
    {"data", "dict", pyobj::none()},
    {"timeout", nullptr, pyobj::none()},
};

// request never returns None. A max_retries of 0 or less would make no
// attempt at all and fall off the loop; such a value reads as "no retries"
// (the constructor documents it as the maximum number of retries), so it gets
// exactly one attempt: the caller receives a real response or, after a
// connection failure, RequestException chained to that failure. The attempts
// are counted from max_retries read once at the start; if max_retries changes
// while retrying, the last planned attempt still raises RequestException
// (chained to its connection error) instead of ending the loop with None.
constexpr const char* kDoc = "通用请求入口";

constexpr const char* kConnectionFailed = "Service connection error";

// The number of attempts, from max_retries as range() reads it (an index),
// at least one (see kDoc).
bool attempt_count(PyObject* self, long long& count) noexcept {
    Ref max_retries = pyobj::attr(self, pyobj::id<"max_retries">());
    Ref index = max_retries ? Ref::steal(PyNumber_Index(max_retries.get())) : Ref();
    if (!index) return false;
    int overflow = 0;
    count = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (count == -1 && PyErr_Occurred()) return false;
    if (overflow > 0) count = LLONG_MAX;
    if (overflow < 0 || count < 1) count = 1;
    return true;
}

// "verify" defaults to the client's verify_ssl unless the caller gave one
// (None included). The new key goes last, as an update with {"verify": ...}.
bool add_default_verify(PyObject* self, PyObject* kwargs) noexcept {
    PyObject* key = pyobj::id<"verify">();
    const int present = PyDict_Contains(kwargs, key);
    if (present != 0) return present == 1;
    Ref verify = pyobj::attr(self, pyobj::id<"verify_ssl">());
    Ref entry = verify ? Ref::steal(PyDict_New()) : Ref();
    return entry && PyDict_SetItem(entry.get(), key, verify.get()) == 0 && PyDict_Update(kwargs, entry.get()) == 0;
}

// tessel.limits and the settings it gives for this call: None while every
// setting is at its default, and the session's own request is called.
struct Limits {
    Ref module;
    Ref settings;
};

// session.request, or under limits the same call through tessel.limits'
// guarded transport, mounted on the session.
Ref session_sender(PyObject* session, const Limits& limits) noexcept {
    if (session == nullptr) return {};
    if (limits.settings.get() == Py_None) return pyobj::attr(session, pyobj::id<"request">());
    Ref sender = pyobj::attr(limits.module.get(), pyobj::id<"_session_sender">());
    return pyobj::call(sender.get(), limits.settings.get(), session);
}

Ref send_once(const pyobj::Call& call, PyObject* timeout, PyObject* kwargs, const Limits& limits) noexcept {
    PyObject* self = call[0];
    if (!add_default_verify(self, kwargs)) return {};
    Ref session = pyobj::attr(self, pyobj::id<"session">());
    Ref session_request = session_sender(session.get(), limits);
    Ref method = session_request ? pyobj::call_method(call[1], pyobj::id<"upper">()) : Ref();
    if (!method) return {};
    const pyobj::Kw fixed[] = {
        {pyobj::id<"method">(), method.get()}, {pyobj::id<"url">(), call[2]},
        {pyobj::id<"headers">(), call[3]},     {pyobj::id<"params">(), call[4]},
        {pyobj::id<"json">(), call[5]},        {pyobj::id<"data">(), call[6]},
        {pyobj::id<"timeout">(), timeout},
    };
    return call_keywords(session_request.get(), fixed, kwargs);
}

// Raises RequestException("Service connection error"); called while the
// connection error is the handled exception, which becomes its context.
void raise_connection_failed(PyObject* globals) noexcept {
    Ref request_exception = pyobj::global(globals, pyobj::id<"RequestException">());
    Ref message = request_exception ? Ref::steal(PyUnicode_FromString(kConnectionFailed)) : Ref();
    pyobj::raise(pyobj::call(request_exception.get(), message.get()));
}

// A connection error on `attempt`: raise on the last attempt, otherwise wait
// and return true to go on. Returns false with an exception set.
bool handle_connection_error(const pyobj::Call& call, PyObject* caught, PyObject* attempt, bool final_planned) noexcept {
    PyObject* self = call[0];
    pyobj::HandlingScope handling(caught);
    // The last attempt is the one equal to max_retries - 1, with max_retries
    // read again now; the final attempt planned at the start ends the loop as
    // well, so a max_retries changed meanwhile cannot make request return None.
    Ref max_retries = pyobj::attr(self, pyobj::id<"max_retries">());
    Ref one = max_retries ? Ref::steal(PyLong_FromLong(1)) : Ref();
    Ref last = one ? Ref::steal(PyNumber_Subtract(max_retries.get(), one.get())) : Ref();
    if (!last) return false;
    const int is_last = PyObject_RichCompareBool(attempt, last.get(), Py_EQ);
    if (is_last < 0) return false;
    if (is_last == 1 || final_planned) {
        raise_connection_failed(call.globals());
        return false;
    }
    Ref wait = pyobj::call_method(self, pyobj::id<"_calc_backoff_wait">(), attempt);
    Ref time = wait ? pyobj::global(call.globals(), pyobj::id<"time">()) : Ref();
    Ref slept = pyobj::call_method(time.get(), pyobj::id<"sleep">(), wait.get());
    return static_cast<bool>(slept);
}

bool valid_except_target(PyObject* cls) noexcept {
    if (PyExceptionClass_Check(cls)) return true;
    if (!PyTuple_Check(cls)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i)
        if (!PyExceptionClass_Check(PyTuple_GET_ITEM(cls, i))) return false;
    return true;
}

// Whether `caught` matches the module global ConnectionError, looked up now,
// the way an `except ConnectionError:` clause decides. 1 or 0; -1 with an
// error set (a failed lookup or a global that is not an exception class),
// that error carrying `caught` as its context, as in a failing clause.
int is_connection_error(PyObject* globals, Ref& caught) noexcept {
    Ref cls = pyobj::global(globals, pyobj::id<"ConnectionError">());
    if (cls && !valid_except_target(cls.get()))
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    else if (cls)
        return PyErr_GivenExceptionMatches(caught.get(), cls.get()) ? 1 : 0;
    Ref failure = pyobj::fetch_exception();
    if (failure) PyException_SetContext(failure.get(), caught.release());
    pyobj::restore_exception(std::move(failure));
    return -1;
}

PyObject* request(const pyobj::Call& call) {
    PyObject* self = call[0];
    PyObject* kwargs = call.kwargs();  // this call's own dict

    // Any false timeout (None, 0, 0.0, ...) means the client's base_timeout.
    Ref timeout = Ref::borrow(call[7]);
    const int has_timeout = PyObject_IsTrue(timeout.get());
    if (has_timeout < 0) return nullptr;
    if (has_timeout == 0) {
        timeout = pyobj::attr(self, pyobj::id<"base_timeout">());
        if (!timeout) return nullptr;
    }

    long long count = 0;
    if (!attempt_count(self, count)) return nullptr;
    Limits limits;
    limits.module = pyobj::imported(pyobj::id<"tessel.limits">());
    limits.settings = pyobj::call_method(limits.module.get(), pyobj::id<"_for_call">());
    if (!limits.settings) return nullptr;
    for (long long i = 0; i < count; ++i) {
        Ref response = send_once(call, timeout.get(), kwargs, limits);
        if (response) return response.release();

        Ref caught = pyobj::fetch_exception();
        // Looked up at the moment of catching, as `except ConnectionError`.
        const int matches = is_connection_error(call.globals(), caught);
        if (matches < 0) return nullptr;
        if (matches == 0) {
            pyobj::restore_exception(std::move(caught));
            return nullptr;
        }
        Ref attempt = Ref::steal(PyLong_FromLongLong(i));
        if (!attempt) return nullptr;
        if (!handle_connection_error(call, caught.get(), attempt.get(), i + 1 == count)) return nullptr;
    }
    // Not reached: the final planned attempt either returns or raises.
    PyErr_SetString(PyExc_SystemError, "request(): retry loop ended without a result");
    return nullptr;
}

}  // namespace

const pyobj::FunctionDef request_def{
    {"request", "HttpRequestClient.request", kDoc, kParams, "kwargs", nullptr, "requests.Response"},
    request,
};

}  // namespace http

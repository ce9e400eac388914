// HttpRequestClient._calc_backoff_wait: 2 ** attempt with Python's integer
// power, so the wait is an exact int for attempt >= 0 (no cap) and a float
// for negative attempts.
#include "http/client.hpp"

namespace http {
namespace {

constexpr pyobj::Param kParams[] = {
    {"attempt", "int"},
};

constexpr const char* kDoc = "计算指数退避等待时间: 1s, 2s, 4s...";

// Exponents up to this one fit a shift of a 64-bit one.
constexpr long kShiftLimit = 62;

PyObject* calc_backoff_wait(const pyobj::Call& call) {
    PyObject* attempt = call[0];  // an exact int after the int rule
    int overflow = 0;
    const long exponent = PyLong_AsLongAndOverflow(attempt, &overflow);
    if (exponent == -1 && PyErr_Occurred()) return nullptr;
    if (overflow == 0 && exponent >= 0 && exponent <= kShiftLimit) return PyLong_FromLongLong(1LL << exponent);
    Ref two = Ref::steal(PyLong_FromLong(2));
    if (!two) return nullptr;
    return PyNumber_Power(two.get(), attempt, Py_None);
}

}  // namespace

const pyobj::FunctionDef calc_backoff_wait_def{
    {"_calc_backoff_wait", "HttpRequestClient._calc_backoff_wait", kDoc, kParams, nullptr, nullptr, "float"},
    calc_backoff_wait,
};

}  // namespace http

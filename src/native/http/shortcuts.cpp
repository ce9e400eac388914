// HttpRequestClient.get and HttpRequestClient.post: fill in the method and
// hand everything to self.request (looked up on the instance, so subclasses
// and instance attributes can replace it), keywords only.
#include "http/client.hpp"
#include "http/keywords.hpp"
#include "pyobj/names.hpp"

namespace http {
namespace {

constexpr pyobj::Param kGetParams[] = {
    {"self", nullptr},
    {"url", "str"},
    {"params", "dict", pyobj::none()},
    {"headers", "dict", pyobj::none()},
    // The only "int" parameter, so its rule runs before the exact-type checks.
    {"timeout", "int", pyobj::none()},
};

constexpr pyobj::Param kPostParams[] = {
    {"self", nullptr},
    {"url", "str"},
    {"json", "dict", pyobj::none()},
    {"data", "dict", pyobj::none()},
    {"headers", "dict", pyobj::none()},
    {"timeout", nullptr, pyobj::none()},  // passed on unchanged
};

PyObject* forward(PyObject* self, std::span<const pyobj::Kw> fixed, PyObject* kwargs) noexcept {
    // Every fixed keyword other than "method" names a parameter of the
    // shortcut, so only "method" can really turn up in kwargs.
    if (!reject_repeated_keywords(fixed, kwargs)) return nullptr;
    Ref request = pyobj::attr(self, pyobj::id<"request">());  // looked up on the instance
    return call_keywords(request.get(), fixed, kwargs).release();
}

PyObject* get(const pyobj::Call& call) {
    const pyobj::Kw fixed[] = {
        {pyobj::id<"method">(), pyobj::id<"GET">()}, {pyobj::id<"url">(), call[1]},
        {pyobj::id<"headers">(), call[3]},           {pyobj::id<"params">(), call[2]},
        {pyobj::id<"timeout">(), call[4]},
    };
    return forward(call[0], fixed, call.kwargs());
}

PyObject* post(const pyobj::Call& call) {
    const pyobj::Kw fixed[] = {
        {pyobj::id<"method">(), pyobj::id<"POST">()}, {pyobj::id<"url">(), call[1]},
        {pyobj::id<"headers">(), call[4]},            {pyobj::id<"json">(), call[2]},
        {pyobj::id<"data">(), call[3]},               {pyobj::id<"timeout">(), call[5]},
    };
    return forward(call[0], fixed, call.kwargs());
}

}  // namespace

const pyobj::FunctionDef get_def{
    {"get", "HttpRequestClient.get", "GET 请求快捷方法", kGetParams, "kwargs", nullptr, "requests.Response"},
    get,
};

const pyobj::FunctionDef post_def{
    {"post", "HttpRequestClient.post", "POST 请求快捷方法", kPostParams, "kwargs", nullptr, "requests.Response"},
    post,
};

}  // namespace http

// HttpRequestClient.__init__: the four settings, then the session with its
// User-Agent header.
#include "http/client.hpp"
#include "pyobj/call.hpp"
#include "pyobj/names.hpp"

namespace http {
namespace {

// The entry rules (int, int, bool, exact str) have turned the arguments into
// the values stored below by the time the body runs.
constexpr pyobj::Param kParams[] = {
    {"self", nullptr},
    {"max_retries", "int", pyobj::integer(3)},
    {"base_timeout", "int", pyobj::integer(300)},
    {"verify_ssl", "bool", pyobj::boolean(false)},
    // The module's DEFAULT_USER_AGENT as it is when the class is built;
    // rebinding the global later does not change this default.
    {"user_agent", "str", pyobj::module_global("DEFAULT_USER_AGENT")},
};

constexpr const char* kDoc =
    "\n"
    "        :param max_retries: 最大重试次数\n"
    "        :param base_timeout: 默认请求超时时间(秒)\n"
    "        :param verify_ssl: 是否校验 SSL 证书\n"
    "        :param user_agent: 自定义 User-Agent\n"
    "        ";

PyObject* init(const pyobj::Call& call) {
    PyObject* self = call[0];
    if (PyObject_SetAttr(self, pyobj::id<"max_retries">(), call[1]) < 0 ||
        PyObject_SetAttr(self, pyobj::id<"base_timeout">(), call[2]) < 0 ||
        PyObject_SetAttr(self, pyobj::id<"verify_ssl">(), call[3]) < 0)
        return nullptr;

    // `requests` is looked up now, so a rebound module global takes effect.
    Ref requests = pyobj::global(call.globals(), pyobj::id<"requests">());
    Ref session_class = pyobj::attr(requests.get(), pyobj::id<"Session">());
    Ref session = pyobj::call(session_class.get());
    if (!session || PyObject_SetAttr(self, pyobj::id<"session">(), session.get()) < 0) return nullptr;

    // The user agent lives only in the session's default headers.
    Ref stored = pyobj::attr(self, pyobj::id<"session">());
    Ref headers = pyobj::attr(stored.get(), pyobj::id<"headers">());
    if (!headers || PyObject_SetItem(headers.get(), pyobj::id<"User-Agent">(), call[4]) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

const pyobj::FunctionDef init_def{
    {"__init__", "HttpRequestClient.__init__", kDoc, kParams},
    init,
};

}  // namespace http

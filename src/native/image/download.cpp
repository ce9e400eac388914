// ImageTool.get_img_url_io and ImageTool.get_img_url_bytes
#include "image/methods.hpp"
#include "pyobj/call.hpp"
#include "pyobj/errors.hpp"
#include "pyobj/names.hpp"

#include <climits>
#include <cmath>
#include <initializer_list>

namespace image {
namespace {

constexpr pyobj::Param kIoParams[] = {
    {"url", "str"},
    {"max_retries", "int", pyobj::integer(3)},
    {"base_delay", "float", pyobj::real(0.5)},
    {"logger", "Optional[logging.Logger]", pyobj::none()},
};

constexpr const char* kIoDoc = R"(
        从 URL 获取图片内容并返回 BytesIO 对象，包含指数退避重试机制。

        Args:
            url: 图片的 URL
            max_retries: 最大重试次数（默认 3）
            base_delay: 基础等待时间（秒），实际等待时间为 base_delay * 2 ** retry_count（默认 0.5）
            logger: 可选的日志记录器，未提供时使用 print 输出
            **kwargs: 可选的请求设置：
                timeout: 请求超时时间（秒，默认 20）
                headers: 请求头字典，例如 User-Agent、Referer

        Returns:
            BytesIO: 包含完整图片内容的 BytesIO 对象（未回到开头）

        Raises:
            ServiceError: 所有尝试均失败时抛出
        )";

constexpr pyobj::Param kBytesParams[] = {
    {"url", "str"},
};

constexpr const char* kBytesDoc = R"(
        从 URL 获取图片内容并直接返回 bytes。

        复用 get_img_url_io，参数完全相同（max_retries、base_delay、logger、
        timeout、headers 以关键字参数传入）。

        Args:
            url: 图片的 URL
            **kwargs: 传给 get_img_url_io 的参数

        Returns:
            bytes: 图片的二进制数据

        Raises:
            ServiceError: 所有尝试均失败时抛出
        )";


using pyobj::id;

// --- the per-call message sink `log(msg)` ----------------------------------

constexpr pyobj::Param kLogParams[] = {
    {"msg", "str"},
};

// log(msg): logger.error(msg) when the captured logger is truthy, else
// print(msg).
PyObject* log_body(const pyobj::Call& call) {
    PyObject* logger = call.closure();
    const int use_logger = PyObject_IsTrue(logger);
    if (use_logger < 0) return nullptr;
    Ref done;
    if (use_logger) {
        done = pyobj::call_method(logger, id<"error">(), call[0]);
    } else {
        Ref print = pyobj::global(call.globals(), id<"print">());
        done = pyobj::call(print.get(), call[0]);
    }
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

const pyobj::FunctionDef kLogDef{
    {"log", "ImageTool.get_img_url_io.<locals>.log", nullptr, kLogParams},
    log_body,
};

// --- helpers ---------------------------------------------------------------

// The concatenation of str pieces; a null piece (a failed conversion) fails it.
Ref join(std::initializer_list<PyObject*> pieces) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) {
        if (piece == nullptr) return {};
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(piece));
    }
    return Ref::steal(PyUnicode_Join(id<"">(), tuple.get()));
}

// base_delay * 2 ** retry_count as a Python float: the power of two is exact
// up to 2 ** 1023; converting a larger one to float overflows.
Ref backoff_delay(double base_delay, long long retry_count) noexcept {
    if (retry_count >= 1024) {
        PyErr_SetString(PyExc_OverflowError, "int too large to convert to float");
        return {};
    }
    return Ref::steal(PyFloat_FromDouble(base_delay * std::ldexp(1.0, static_cast<int>(retry_count))));
}

// A body that decodes to more than this many bytes, at more than
// kInflationRatio times the bytes the server sent for it, is a decompression
// bomb: no image is compressed that well. Stopping there keeps a 1.5 MB
// response from filling the process with gigabytes of zeros.
constexpr long long kInflatedFloor = 64LL << 20;
constexpr long long kInflationRatio = 100;

// One get_img_url_io call: its settings and the state shared by its attempts.
struct Download {
    PyObject* globals;
    PyObject* url;
    double base_delay;
    PyObject* log;
    PyObject* timeout;
    PyObject* headers;
    // tessel.limits and its settings for this call (None while all are at
    // their defaults, when the request is requests.get's own).
    PyObject* limits_module;
    PyObject* limits;
    long long retry_count = 0;

    // time.sleep(delay), `time` looked up now.
    bool wait(PyObject* delay) const noexcept {
        Ref time = pyobj::global(globals, id<"time">());
        return static_cast<bool>(pyobj::call_method(time.get(), id<"sleep">(), delay));
    }

    bool say(Ref message) const noexcept { return message && pyobj::call(log, message.get()); }

    // The body of one attempt, everything inside its error handler. Returns
    // false with the attempt's error set; true when the attempt ended
    // without one, with `received` telling whether the body is in `im_io`.
    bool attempt(PyObject* im_io, Ref& response, bool& received) const noexcept {
        response = send();
        if (!response) return false;
        Ref status = pyobj::attr(response.get(), id<"status_code">());
        Ref ok = Ref::steal(PyLong_FromLong(200));
        Ref same = status && ok ? Ref::steal(PyObject_RichCompare(status.get(), ok.get(), Py_EQ)) : Ref();
        const int is_ok = same ? PyObject_IsTrue(same.get()) : -1;
        if (is_ok < 0) return false;
        if (is_ok) {
            received = read_body(response.get(), im_io);
            return received;
        }
        // A failed attempt's response is closed now rather than whenever it
        // is collected, so its connection is not held through the wait.
        if (!pyobj::call_method(response.get(), id<"close">())) return false;
        Ref delay = backoff_delay(base_delay, retry_count);
        if (!delay || !wait(delay.get())) return false;
        Ref code = pyobj::attr(response.get(), id<"status_code">());
        Ref code_text = code ? Ref::steal(PyObject_Str(code.get())) : Ref();
        Ref delay_text = code_text ? Ref::steal(PyObject_Str(delay.get())) : Ref();
        return say(join({id<"请求失败，状态码: ">(), code_text.get(), id<", ">(), delay_text.get(),
                         id<"s 后重试...: ">(), url}));
    }

    // requests.get(url, stream=True, timeout=..., verify=False, headers=...),
    // `requests` and its `get` looked up now; under limits the same GET goes
    // through tessel.limits' guarded transport instead.
    Ref send() const noexcept {
        Ref requests = pyobj::global(globals, id<"requests">());
        if (!requests) return {};
        if (limits != Py_None) {
            Ref open = pyobj::attr(limits_module, id<"_open_image">());
            return pyobj::call(open.get(), limits, requests.get(), url, timeout, headers);
        }
        Ref get = pyobj::attr(requests.get(), id<"get">());
        return pyobj::call_kw(get.get(), {url},
                              {{id<"stream">(), Py_True},
                               {id<"timeout">(), timeout},
                               {id<"verify">(), Py_False},
                               {id<"headers">(), headers}});
    }

    // for chunk in response.iter_content(chunk_size=4096): if chunk: im_io.write(chunk)
    // stopping at a decompression bomb (kInflatedFloor). Only a body that is
    // decoded on the way in has a wire meter (tessel.limits._wire_meter).
    bool read_body(PyObject* response, PyObject* im_io) const noexcept {
        Ref meter_for = pyobj::attr(limits_module, id<"_wire_meter">());
        Ref meter = pyobj::call(meter_for.get(), response);
        if (!meter) return false;
        Ref iter_content = pyobj::attr(response, id<"iter_content">());
        Ref size = Ref::steal(PyLong_FromLong(4096));
        Ref chunks = size ? pyobj::call_kw(iter_content.get(), {}, {{id<"chunk_size">(), size.get()}}) : Ref();
        Ref it = chunks ? Ref::steal(PyObject_GetIter(chunks.get())) : Ref();
        if (!it) return false;
        long long decoded = 0;
        while (Ref chunk = Ref::steal(PyIter_Next(it.get()))) {
            const int non_empty = PyObject_IsTrue(chunk.get());
            if (non_empty < 0) return false;
            if (!non_empty) continue;
            Ref written = pyobj::call_method(im_io, id<"write">(), chunk.get());
            if (!written) return false;
            const long long count = PyLong_AsLongLong(written.get());
            if (count == -1 && PyErr_Occurred()) return false;
            decoded += count;
            if (decoded > kInflatedFloor && meter.get() != Py_None && !check_inflation(meter.get(), decoded))
                return false;
        }
        return !PyErr_Occurred();
    }

    // Fails with tessel.limits.DownloadTooLarge when `decoded` bytes came
    // from fewer than decoded / kInflationRatio bytes on the wire (meter()).
    bool check_inflation(PyObject* meter, long long decoded) const noexcept {
        Ref told = pyobj::call(meter);
        if (!told) return false;
        const long long wire = PyLong_AsLongLong(told.get());
        if (wire == -1 && PyErr_Occurred()) return false;
        // wire * kInflationRatio < decoded, without the product overflowing.
        if (wire >= decoded || wire > (decoded - 1) / kInflationRatio) return true;
        Ref error_class = pyobj::attr(limits_module, id<"DownloadTooLarge">());
        Ref message = error_class ? Ref::steal(PyUnicode_FromFormat(
                                        "the body of %U decodes to more than %lld times the %lld bytes received "
                                        "(stopped at %lld bytes)",
                                        url, kInflationRatio, wire, decoded))
                                  : Ref();
        pyobj::raise(pyobj::call(error_class.get(), message.get()));
        return false;
    }

    // The handler of a failed attempt, with its error `err` being handled:
    // close the response, wait, report. Errors raised here leave the method.
    bool report_error(PyObject* err, Ref& response) const noexcept {
        pyobj::HandlingScope handling(err);
        if (response && !pyobj::call_method(response.get(), id<"close">())) {
            // The attempt's own error is what gets reported; only an
            // interrupt-like error from closing may end the method.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyErr_Clear();
        }
        response.reset();
        Ref delay = backoff_delay(base_delay, retry_count);
        if (!delay || !wait(delay.get())) return false;
        Ref err_text = Ref::steal(PyObject_Str(err));
        Ref delay_text = err_text ? Ref::steal(PyObject_Str(delay.get())) : Ref();
        return say(join({id<"请求发生错误: ">(), err_text.get(), id<", ">(), delay_text.get(),
                         id<"s 后重试...: ">(), url}));
    }

    bool report_retry() const noexcept {
        Ref number = Ref::steal(PyLong_FromLongLong(retry_count + 1));
        Ref number_text = number ? Ref::steal(PyObject_Str(number.get())) : Ref();
        return say(join({id<"第 ">(), number_text.get(), id<" 次重试...: ">(), url}));
    }
};

// The int max_retries as a C count; beyond the C range it is as good as
// unbounded (or as good as none, when negative).
bool attempt_limit(PyObject* max_retries, long long& limit) noexcept {
    int overflow = 0;
    limit = PyLong_AsLongLongAndOverflow(max_retries, &overflow);
    if (limit == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) limit = overflow > 0 ? LLONG_MAX : 0;
    return true;
}

// kwargs.get(key, fallback)
Ref kwargs_get(PyObject* kwargs, PyObject* key, Ref fallback) noexcept {
    if (kwargs == nullptr || key == nullptr) return fallback;
    PyObject* value = PyDict_GetItemWithError(kwargs, key);
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
    return fallback;
}

PyObject* get_img_url_io(const pyobj::Call& call) {
    PyObject* globals = call.globals();
    PyObject* url = call[0];
    long long max_retries = 0;
    if (!attempt_limit(call[1], max_retries)) return nullptr;

    Ref log = pyobj::make_function(kLogDef, globals, call[3]);
    if (!log) return nullptr;
    Ref timeout = kwargs_get(call.kwargs(), id<"timeout">(), Ref::steal(PyLong_FromLong(20)));
    if (!timeout) return nullptr;
    Ref headers = kwargs_get(call.kwargs(), id<"headers">(), Ref::borrow(Py_None));
    if (!headers) return nullptr;

    Ref limits_module = pyobj::imported(id<"tessel.limits">());
    Ref limits = pyobj::call_method(limits_module.get(), id<"_for_call">());
    if (!limits) return nullptr;

    Download download{globals,       url, call.real(2), log.get(), timeout.get(), headers.get(),
                      limits_module.get(), limits.get()};
    while (download.retry_count < max_retries) {
        Ref bytes_io = pyobj::global(globals, id<"BytesIO">());
        Ref im_io = pyobj::call(bytes_io.get());
        if (!im_io) return nullptr;
        Ref response;
        bool received = false;
        if (download.attempt(im_io.get(), response, received)) {
            if (received) return im_io.release();
        } else {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            Ref err = pyobj::fetch_exception();
            if (!download.report_error(err.get(), response)) return nullptr;
        }
        ++download.retry_count;
        if (download.retry_count < max_retries && !download.report_retry()) return nullptr;
    }

    Ref service_error = pyobj::global(globals, id<"ServiceError">());
    if (!service_error) return nullptr;
    Ref message = Ref::steal(PyUnicode_FromString("无效的图片资源，请确认图片链接可正常访问"));
    Ref extra = message ? Ref::steal(PyDict_New()) : Ref();
    if (!extra || PyDict_SetItem(extra.get(), id<"url">(), url) < 0) return nullptr;
    return pyobj::raise(pyobj::call_kw(service_error.get(), {message.get()}, {{id<"extra_data">(), extra.get()}}));
}

// ImageTool.get_img_url_io(url, **kwargs).getvalue()
PyObject* get_img_url_bytes(const pyobj::Call& call) {
    Ref tool = pyobj::global(call.globals(), id<"ImageTool">());
    Ref fetch = pyobj::attr(tool.get(), id<"get_img_url_io">());
    if (!fetch) return nullptr;
    Ref kwargs = Ref::steal(PyDict_Copy(call.kwargs()));
    Ref stream = kwargs ? pyobj::call_with_dict(fetch.get(), {call[0]}, kwargs.get()) : Ref();
    return pyobj::call_method(stream.get(), id<"getvalue">()).release();
}

}  // namespace

const pyobj::FunctionDef get_img_url_io_def{
    {"get_img_url_io", "ImageTool.get_img_url_io", kIoDoc, kIoParams, "kwargs", nullptr, "Optional[BytesIO]"},
    get_img_url_io,
};

const pyobj::FunctionDef get_img_url_bytes_def{
    {"get_img_url_bytes", "ImageTool.get_img_url_bytes", kBytesDoc, kBytesParams, "kwargs", nullptr, "bytes"},
    get_img_url_bytes,
};

}  // namespace image

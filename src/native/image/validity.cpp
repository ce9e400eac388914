// ImageTool.is_valid_image
#include "image/check_parts.hpp"
#include "image/methods.hpp"
#include "image/source.hpp"
#include "pyobj/call.hpp"
#include "pyobj/context.hpp"
#include "pyobj/errors.hpp"
#include "pyobj/names.hpp"

namespace image {
namespace {

constexpr pyobj::Param kParams[] = {
    {"image_data", "Union[bytes, str]"},
};

constexpr const char* kDoc = R"(
        判断图片是否有效（未损坏）。

        Args:
            image_data: 图片字节、文件路径或图片 URL
            **kwargs: 额外的上下文数据，会传递给 InvalidImageError.extra_data
                （例如 task_id="abc123", user_id=42）

        Returns:
            bool: True 表示图片有效

        Raises:
            FileNotFoundError: 文件路径不存在
            InvalidImageError: 图片损坏或不完整

        Example:
            >>> ImageTool.is_valid_image(data)
            True
            >>> try:
            ...     ImageTool.is_valid_image(bad_data, task_id="abc123", user_id=42)
            ... except InvalidImageError as e:
            ...     print(e.extra_data["task_id"])
            abc123
        )";

using pyobj::id;

// Image.open(BytesIO(data)) used as a context manager around load().
bool decodes_fully(PyObject* globals, PyObject* data) noexcept {
    Ref image_module = pyobj::global(globals, id<"Image">());
    Ref open = pyobj::attr(image_module.get(), id<"open">());
    Ref bytes_io = open ? pyobj::global(globals, id<"BytesIO">()) : Ref();
    Ref stream = pyobj::call(bytes_io.get(), data);
    Ref image = pyobj::call(open.get(), stream.get());
    pyobj::WithBlock block;
    Ref entered = block.enter(image.get());
    if (!entered) return false;
    const bool loaded = static_cast<bool>(pyobj::call_method(entered.get(), id<"load">()));
    return block.exit(!loaded);
}

// Raises InvalidImageError for the OSError `err` being handled. `image_data`
// is the value the source had when the error came: the bytes once they were
// read or downloaded, else still the URL or path text.
PyObject* raise_invalid(PyObject* globals, PyObject* err, PyObject* image_data, PyObject* kwargs) noexcept {
    pyobj::HandlingScope handling(err);
    Ref invalid_image_error = pyobj::global(globals, id<"InvalidImageError">());
    if (!invalid_image_error) return nullptr;
    Ref err_text = Ref::steal(PyObject_Str(err));
    Ref message = err_text ? Ref::steal(PyUnicode_Concat(id<"图片无效: ">(), err_text.get())) : Ref();
    if (!message) return nullptr;
    const Py_ssize_t size = PyObject_Length(image_data);
    if (size < 0) return nullptr;
    Ref image_size = Ref::steal(PyLong_FromSsize_t(size));
    if (!image_size) return nullptr;
    return pyobj::raise(pyobj::call_kw(invalid_image_error.get(), {message.get()},
                                {{id<"image_size">(), image_size.get()},
                                 {id<"original_error">(), err},
                                 {id<"extra_data">(), kwargs}}));
}

PyObject* is_valid_image(const pyobj::Call& call) {
    return validity_result(call.globals(), call[0], call.kwargs()).release();
}

}  // namespace

Ref validity_result(PyObject* globals, PyObject* image_data, PyObject* kwargs) noexcept {
    Ref data = source_bytes(globals, image_data);
    if (data && decodes_fully(globals, data.get())) return Ref::borrow(Py_True);
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return {};
    Ref err = pyobj::fetch_exception();
    raise_invalid(globals, err.get(), data ? data.get() : image_data, kwargs);
    return {};
}

bool raise_invalid_image(PyObject* globals, PyObject* err, PyObject* image_data) noexcept {
    Ref extra_data = Ref::steal(PyDict_New());
    if (extra_data) raise_invalid(globals, err, image_data, extra_data.get());
    return false;
}

const pyobj::FunctionDef is_valid_image_def{
    {"is_valid_image", "ImageTool.is_valid_image", kDoc, kParams, "kwargs", "Any", "bool"},
    is_valid_image,
};

}  // namespace image

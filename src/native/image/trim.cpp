// ImageTool.trim_transparent_edges
// Python.h (through methods.hpp) comes before any system header.
#include "image/methods.hpp"
#include "image/pixel_bands.hpp"
#include "image/source.hpp"
#include "pyobj/call.hpp"
#include "pyobj/names.hpp"

#include "image/kernels/content_box.hpp"

namespace image {
namespace {

using pyobj::id;

constexpr pyobj::Param kParams[] = {
    {"image_data", "Union[bytes, str, BytesIO]"},
    {"padding", "int", pyobj::integer(10)},
    {"output_format", "str", pyobj::text("PNG")},
};

constexpr const char* kDoc = R"(
        裁剪图片的透明/白色边缘，并可选添加 padding。

        自动找到非透明（且非纯白）区域的边界，裁掉多余的透明或白色边缘，
        然后在四周保留 padding 像素的边距（不超出图片本身的范围）。

        Args:
            image_data: 图片字节、文件路径、图片 URL 或 BytesIO
            padding: 四周保留的边距像素数（默认 10）
            output_format: 输出格式，例如 "PNG" 或 "WEBP"（默认 "PNG"）

        Returns:
            bytes: 裁剪后图片的字节

        Raises:
            FileNotFoundError: 文件路径不存在
        )";

// The decoded image converted to RGBA; the opened image is closed when this
// call made its source.
Ref open_rgba(PyObject* globals, PyObject* image_data) noexcept {
    bool holds_file = false;
    Ref opened = open_image(globals, image_data, holds_file);
    if (!opened) return {};
    Ref mode = Ref::steal(PyUnicode_FromString("RGBA"));
    Ref rgba = pyobj::call_method(opened.get(), id<"convert">(), mode.get());
    return close_after(std::move(rgba), opened.get(), holds_file);
}

Ref size_object(std::size_t v) noexcept { return Ref::steal(PyLong_FromSize_t(v)); }

// `edge - padding if edge - padding > 0 else 0`, in Python int arithmetic
// (padding may be any int, negative or beyond 64 bits).
Ref margin_low(PyObject* edge, PyObject* padding, PyObject* zero) noexcept {
    Ref moved = Ref::steal(PyNumber_Subtract(edge, padding));
    if (!moved) return {};
    const int above = PyObject_RichCompareBool(moved.get(), zero, Py_GT);
    if (above < 0) return {};
    return above ? std::move(moved) : Ref::borrow(zero);
}

// `edge + padding if edge + padding < limit else limit`, likewise.
Ref margin_high(PyObject* edge, PyObject* padding, PyObject* limit) noexcept {
    Ref moved = Ref::steal(PyNumber_Add(edge, padding));
    if (!moved) return {};
    const int below = PyObject_RichCompareBool(moved.get(), limit, Py_LT);
    if (below < 0) return {};
    return below ? std::move(moved) : Ref::borrow(limit);
}

// (left, top, right, bottom) of the content widened by the padding and
// clamped to the image, in this order.
Ref crop_box(const kernels::ContentBox& box, ImageSize size, PyObject* padding) noexcept {
    Ref zero = size_object(0), width = size_object(size.width), height = size_object(size.height);
    Ref left = size_object(box.left()), top = size_object(box.top());
    Ref right = size_object(box.right()), bottom = size_object(box.bottom());
    if (!zero || !width || !height || !left || !top || !right || !bottom) return {};
    left = margin_low(left.get(), padding, zero.get());
    if (left) top = margin_low(top.get(), padding, zero.get());
    if (top) right = margin_high(right.get(), padding, width.get());
    if (right) bottom = margin_high(bottom.get(), padding, height.get());
    if (!bottom) return {};
    return Ref::steal(PyTuple_Pack(4, left.get(), top.get(), right.get(), bottom.get()));
}

// image.save(buf, format=output_format) into a new BytesIO; its bytes.
Ref encode(PyObject* globals, PyObject* image, PyObject* output_format) noexcept {
    Ref bytes_io = pyobj::global(globals, id<"BytesIO">());
    Ref buf = pyobj::call(bytes_io.get());
    Ref save = pyobj::attr(image, id<"save">());
    if (!buf || !save) return {};
    Ref saved = pyobj::call_kw(save.get(), {buf.get()}, {{id<"format">(), output_format}});
    if (!saved) return {};
    return pyobj::call_method(buf.get(), id<"getvalue">());
}

PyObject* trim_transparent_edges(const pyobj::Call& call) {
    PyObject* padding = call[1];
    PyObject* output_format = call[2];
    Ref rgba = open_rgba(call.globals(), call[0]);
    ImageSize size;
    if (!rgba || !image_size(rgba.get(), size)) return nullptr;
    kernels::ContentBox box(size.width);
    auto scan = [&](const PixelBand& band) noexcept { box.scan_rows(band.pixels, band.first_row, band.rows); };
    if (!for_each_band(rgba.get(), size, "RGBA", scan)) return nullptr;

    // Nothing but background: the whole converted image, re-encoded.
    if (box.empty()) return encode(call.globals(), rgba.get(), output_format).release();
    Ref bounds = crop_box(box, size, padding);
    Ref cropped = bounds ? pyobj::call_method(rgba.get(), id<"crop">(), bounds.get()) : Ref();
    if (!cropped) return nullptr;
    return encode(call.globals(), cropped.get(), output_format).release();
}

}  // namespace

const pyobj::FunctionDef trim_transparent_edges_def{
    {"trim_transparent_edges", "ImageTool.trim_transparent_edges", kDoc, kParams, nullptr, nullptr, "bytes"},
    trim_transparent_edges,
};

}  // namespace image

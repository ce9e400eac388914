// ImageTool.has_multiple_transparency
#include "image/kernels/alpha_count.hpp"
#include "image/methods.hpp"
#include "image/source.hpp"
#include "pyobj/buffer.hpp"
#include "pyobj/call.hpp"
#include "pyobj/names.hpp"
#include "pyobj/unpack.hpp"

#include <array>

namespace image {
namespace {

using pyobj::id;

constexpr pyobj::Param kParams[] = {
    {"image_data", "Union[bytes, str, BytesIO]"},
    {"threshold", "int", pyobj::integer(5)},
};

constexpr const char* kDoc = R"(
        检测图片是否包含多个透明区域。

        支持调色板模式（P，索引透明）和 RGBA 模式（alpha 通道透明）。

        Args:
            image_data: 图片字节、文件路径、图片 URL 或 BytesIO
            threshold: 调色板模式下透明像素数量的阈值，超过即认为包含多个透明区域（默认 5）

        Returns:
            bool: True 表示包含多个透明区域，False 表示不包含

        Raises:
            FileNotFoundError: 文件路径不存在
        )";

// `a == b` / `a > b` as an `if` would test them: -1 on error.
int compare(PyObject* a, PyObject* b, int op) noexcept {
    Ref outcome = Ref::steal(PyObject_RichCompare(a, b, op));
    return outcome ? PyObject_IsTrue(outcome.get()) : -1;
}

Ref as_bool(int truth) noexcept { return truth < 0 ? Ref() : Ref::borrow(truth ? Py_True : Py_False); }

// Palette images: the pixels that use the palette's transparency index,
// counted from the colour histogram, against `threshold`.
Ref palette_verdict(PyObject* img, PyObject* threshold) noexcept {
    Ref info = pyobj::attr(img, id<"info">());
    Ref key = Ref::steal(PyUnicode_FromString("transparency"));
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    Ref transparent = pyobj::call_method(info.get(), id<"get">(), key.get(), minus_one.get());
    if (!transparent) return {};
    const int absent = compare(transparent.get(), minus_one.get(), Py_EQ);
    if (absent < 0) return {};
    if (absent) return Ref::borrow(Py_False);

    Ref colours = pyobj::call_method(img, id<"getcolors">());
    Ref items = colours ? Ref::steal(PyObject_GetIter(colours.get())) : Ref();
    if (!items) return {};
    Ref total = Ref::steal(PyLong_FromLong(0));
    if (!total) return {};
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
        std::array<Ref, 2> pair;  // (count, index)
        if (!pyobj::unpack_exact(item.get(), pair)) return {};
        const int hit = compare(pair[1].get(), transparent.get(), Py_EQ);
        if (hit < 0) return {};
        if (!hit) continue;
        total = Ref::steal(PyNumber_Add(total.get(), pair[0].get()));
        if (!total) return {};
    }
    if (PyErr_Occurred()) return {};
    return as_bool(compare(total.get(), threshold, Py_GT));
}

// RGBA images: the share of pixels whose alpha is below 255, against 5 %.
// The alpha plane is counted in C++ without the GIL; the share is then
// formed and compared as Python ints and floats, so the boundary behaves
// exactly as `transparent / total > 0.05` does.
Ref rgba_verdict(PyObject* img) noexcept {
    Ref size = pyobj::attr(img, id<"size">());
    if (!size) return {};
    std::array<Ref, 2> extent;  // (width, height)
    if (!pyobj::unpack_exact(size.get(), extent)) return {};
    Ref total = Ref::steal(PyNumber_Multiply(extent[0].get(), extent[1].get()));
    if (!total) return {};

    Ref raw = Ref::steal(PyUnicode_FromString("raw"));
    Ref band = Ref::steal(PyUnicode_FromString("A"));
    Ref alpha = pyobj::call_method(img, id<"tobytes">(), raw.get(), band.get());
    if (!alpha) return {};
    pyobj::BufferView view;
    if (!view.acquire(alpha.get())) return {};
    const auto bytes = view.bytes();
    std::size_t transparent = 0;
    {
        pyobj::GilRelease unlocked;
        transparent = kernels::count_not_opaque(bytes.data(), bytes.size(), 1);
    }

    Ref count = Ref::steal(PyLong_FromSize_t(transparent));
    Ref share = count ? Ref::steal(PyNumber_TrueDivide(count.get(), total.get())) : Ref();
    Ref limit = share ? Ref::steal(PyFloat_FromDouble(0.05)) : Ref();
    if (!limit) return {};
    return as_bool(compare(share.get(), limit.get(), Py_GT));
}

Ref verdict(PyObject* img, PyObject* threshold) noexcept {
    Ref mode = pyobj::attr(img, id<"mode">());
    if (!mode) return {};
    Ref palette = Ref::steal(PyUnicode_FromString("P"));
    const int is_palette = compare(mode.get(), palette.get(), Py_EQ);
    if (is_palette < 0) return {};
    if (is_palette) return palette_verdict(img, threshold);
    Ref rgba = Ref::steal(PyUnicode_FromString("RGBA"));
    const int is_rgba = compare(mode.get(), rgba.get(), Py_EQ);
    if (is_rgba < 0) return {};
    if (is_rgba) return rgba_verdict(img);
    return Ref::borrow(Py_False);
}

PyObject* has_multiple_transparency(const pyobj::Call& call) {
    bool made_here = false;
    Ref img = open_image(call.globals(), call[0], made_here);
    if (!img) return nullptr;
    Ref result = verdict(img.get(), call[1]);
    return close_after(std::move(result), img.get(), made_here).release();
}

}  // namespace

const pyobj::FunctionDef has_multiple_transparency_def{
    {"has_multiple_transparency", "ImageTool.has_multiple_transparency", kDoc, kParams, nullptr, nullptr, "bool"},
    has_multiple_transparency,
};

}  // namespace image

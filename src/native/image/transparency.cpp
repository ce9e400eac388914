// ImageTool.has_multiple_transparency
#include "image/check_parts.hpp"
#include "image/kernels/byte_count.hpp"
#include "image/kernels/parallel.hpp"
#include "image/methods.hpp"
#include "image/pixel_bands.hpp"
#include "image/source.hpp"
#include "pyobj/call.hpp"
#include "pyobj/names.hpp"
#include "pyobj/unpack.hpp"

#include <algorithm>
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

// How many pixels of `img` (mode "P" or "RGBA", named by `mode`) hold
// `value` in the byte at `offset` of each pixel. The count runs without the
// GIL over the image memory, in place or band by band. False with an error set.
bool count_equal_bytes(PyObject* img, const char* mode, std::size_t offset, std::uint8_t value,
                       std::size_t& hits, std::size_t& pixels) noexcept {
    ImageSize size;
    if (!image_size(img, size)) return false;
    const std::size_t stride = bytes_per_pixel(mode);
    hits = 0;
    pixels = size.width * size.height;
    // The strided alpha count is split over the cores for a large image
    // (slices of about a million pixels at least). The packed-byte count of
    // a palette image runs at memory speed on one core, where a helper
    // thread costs more to start than it saves at any image size.
    const std::size_t row_bytes = size.width * stride;
    const std::size_t min_rows =
        stride == 1 ? std::max<std::size_t>(1, size.height)
                    : std::max<std::size_t>(1, (std::size_t{1} << 20) / std::max<std::size_t>(1, size.width));
    auto count = [&](const PixelBand& band) noexcept {
        std::array<std::size_t, kernels::kMaxSlices> parts{};
        kernels::for_row_slices(band.rows, min_rows, [&](std::size_t part, std::size_t first, std::size_t end) noexcept {
            parts[part] = kernels::count_equal(band.pixels + first * row_bytes + offset, (end - first) * size.width,
                                               stride, value);
        });
        for (std::size_t n : parts) hits += n;
    };
    return for_each_band(img, size, mode, count);
}

// img.getcolors, looked up once as the histogram read would look it up.
// `library` is set when it is Pillow's own method bound to `img` (not
// overridden by a subclass or shadowed on the instance), whose result for a
// palette image is exactly the histogram of its 8-bit indices. The instance
// dict is never touched directly: asking CPython for it would turn the
// image's compact attribute storage into a real dict and slow down every
// later attribute access of the load and the close.
Ref lookup_getcolors(PyObject* globals, PyObject* img, bool& library) noexcept {
    library = false;
    Ref bound = pyobj::attr(img, id<"getcolors">());
    if (!bound || !PyMethod_Check(bound.get()) || PyMethod_GET_SELF(bound.get()) != img) return bound;
    Ref module = pyobj::global(globals, id<"Image">());
    Ref base = module ? pyobj::attr(module.get(), id<"Image">()) : Ref();
    Ref own = base ? pyobj::attr(base.get(), id<"getcolors">()) : Ref();
    if (!own) {
        PyErr_Clear();
        return bound;
    }
    library = PyMethod_GET_FUNCTION(bound.get()) == own.get();
    return bound;
}

// The number of pixels using palette entry `transparent` (an exact int),
// as summing getcolors() over the entries equal to it would give.
Ref palette_count_fast(PyObject* img, PyObject* transparent) noexcept {
    Ref loaded = pyobj::call_method(img, id<"load">());
    if (!loaded) return {};
    int overflow = 0;
    const long long index = PyLong_AsLongLongAndOverflow(transparent, &overflow);
    if (index == -1 && PyErr_Occurred()) return {};
    std::size_t hits = 0;
    std::size_t pixels = 0;
    if (overflow == 0 && index >= 0 && index <= 255 &&
        !count_equal_bytes(img, "P", 0, static_cast<std::uint8_t>(index), hits, pixels))
        return {};
    return Ref::steal(PyLong_FromSize_t(hits));
}

// The same by the book: sum(count for count, index in getcolors() if index == transparent).
Ref palette_count_generic(PyObject* getcolors, PyObject* transparent) noexcept {
    Ref colours = pyobj::call(getcolors);
    Ref items = colours ? Ref::steal(PyObject_GetIter(colours.get())) : Ref();
    if (!items) return {};
    Ref total = Ref::steal(PyLong_FromLong(0));
    if (!total) return {};
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
        std::array<Ref, 2> pair;  // (count, index)
        if (!pyobj::unpack_exact(item.get(), pair)) return {};
        const int hit = compare(pair[1].get(), transparent, Py_EQ);
        if (hit < 0) return {};
        if (!hit) continue;
        total = Ref::steal(PyNumber_Add(total.get(), pair[0].get()));
        if (!total) return {};
    }
    if (PyErr_Occurred()) return {};
    return total;
}

// Palette images: what is read before the pixels. An entry of -1 (or none)
// answers False at once.
bool plan_palette(PyObject* globals, PyObject* img, TransparencyPlan& plan) noexcept {
    Ref info = pyobj::attr(img, id<"info">());
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    Ref transparent = pyobj::call_method(info.get(), id<"get">(), id<"transparency">(), minus_one.get());
    if (!transparent) return false;
    const int absent = compare(transparent.get(), minus_one.get(), Py_EQ);
    if (absent < 0) return false;
    if (absent) {
        plan.answer = Ref::borrow(Py_False);
        return true;
    }
    plan.getcolors = lookup_getcolors(globals, img, plan.library);
    if (!plan.getcolors) return false;
    plan.kind = TransparencyPlan::Kind::palette;
    plan.transparent = std::move(transparent);
    return true;
}

// The pixels that use the palette's transparency entry, against `threshold`.
// An int entry compares with the int indices as ints do, so the count is the
// number of pixels holding that index. A bytes entry (an alpha table) equals
// no index, so the histogram's count is 0 once the pixels have loaded: only
// the load is left to do. Anything else goes through the histogram and
// Python equality.
Ref palette_verdict(PyObject* img, const TransparencyPlan& plan, PyObject* threshold) noexcept {
    PyObject* transparent = plan.transparent.get();
    Ref total;
    if (plan.library && PyLong_CheckExact(transparent)) {
        total = palette_count_fast(img, transparent);
    } else if (plan.library && PyBytes_CheckExact(transparent)) {
        // The histogram of a palette image has int indices only; a load that
        // changed the mode leaves the histogram to say what it holds.
        Ref loaded = pyobj::call_method(img, id<"load">());
        Ref mode = loaded ? pyobj::attr(img, id<"mode">()) : Ref();
        if (!mode) return {};
        const int still_palette = PyUnicode_Check(mode.get()) ? PyUnicode_CompareWithASCIIString(mode.get(), "P") == 0 : 0;
        total = still_palette ? Ref::steal(PyLong_FromLong(0)) : palette_count_generic(plan.getcolors.get(), transparent);
    } else {
        total = palette_count_generic(plan.getcolors.get(), transparent);
    }
    if (!total) return {};
    return as_bool(compare(total.get(), threshold, Py_GT));
}

// RGBA images: what is read before the pixels.
bool plan_rgba(PyObject* img, TransparencyPlan& plan) noexcept {
    Ref size = pyobj::attr(img, id<"size">());
    if (!size) return false;
    std::array<Ref, 2> extent;  // (width, height)
    if (!pyobj::unpack_exact(size.get(), extent)) return false;
    plan.total = Ref::steal(PyNumber_Multiply(extent[0].get(), extent[1].get()));
    plan.kind = TransparencyPlan::Kind::rgba;
    return static_cast<bool>(plan.total);
}

// RGBA images: the share of pixels whose alpha is below 255, against 5 %.
// The count is done in C++; the share is then formed and compared as Python
// ints and floats, so the boundary behaves exactly as
// `transparent / total > 0.05` does.
Ref rgba_verdict(PyObject* img, PyObject* total) noexcept {
    Ref loaded = pyobj::call_method(img, id<"load">());
    if (!loaded) return {};
    std::size_t opaque = 0;
    std::size_t pixels = 0;
    if (!count_equal_bytes(img, "RGBA", 3, 0xFF, opaque, pixels)) return {};

    Ref count = Ref::steal(PyLong_FromSize_t(pixels - opaque));
    Ref share = count ? Ref::steal(PyNumber_TrueDivide(count.get(), total)) : Ref();
    Ref limit = share ? Ref::steal(PyFloat_FromDouble(0.05)) : Ref();
    if (!limit) return {};
    return as_bool(compare(share.get(), limit.get(), Py_GT));
}

PyObject* has_multiple_transparency(const pyobj::Call& call) {
    return transparency_result(call.globals(), call[0], call[1]).release();
}

}  // namespace

bool plan_transparency(PyObject* globals, PyObject* img, TransparencyPlan& plan) noexcept {
    Ref mode = pyobj::attr(img, id<"mode">());
    if (!mode) return false;
    const int is_palette = compare(mode.get(), id<"P">(), Py_EQ);
    if (is_palette < 0) return false;
    if (is_palette) return plan_palette(globals, img, plan);
    const int is_rgba = compare(mode.get(), id<"RGBA">(), Py_EQ);
    if (is_rgba < 0) return false;
    if (is_rgba) return plan_rgba(img, plan);
    plan.answer = Ref::borrow(Py_False);
    return true;
}

Ref finish_transparency(PyObject* img, const TransparencyPlan& plan, PyObject* threshold) noexcept {
    switch (plan.kind) {
        case TransparencyPlan::Kind::palette:
            return palette_verdict(img, plan, threshold);
        case TransparencyPlan::Kind::rgba:
            return rgba_verdict(img, plan.total.get());
        case TransparencyPlan::Kind::answered:
            break;
    }
    return Ref::borrow(plan.answer.get());
}

Ref transparency_result(PyObject* globals, PyObject* image_data, PyObject* threshold) noexcept {
    bool holds_file = false;
    Ref img = open_image(globals, image_data, holds_file);
    if (!img) return {};
    TransparencyPlan plan;
    Ref result = plan_transparency(globals, img.get(), plan) ? finish_transparency(img.get(), plan, threshold) : Ref();
    return close_after(std::move(result), img.get(), holds_file);
}

const pyobj::FunctionDef has_multiple_transparency_def{
    {"has_multiple_transparency", "ImageTool.has_multiple_transparency", kDoc, kParams, nullptr, nullptr, "bool"},
    has_multiple_transparency,
};

}  // namespace image

// ImageTool.has_colored_lines
#include "image/check_parts.hpp"
#include "image/kernels/line_colors.hpp"
#include "image/methods.hpp"
#include "image/pixel_bands.hpp"
#include "image/source.hpp"
#include "pyobj/call.hpp"
#include "pyobj/names.hpp"

#include <climits>
#include <cstdint>

namespace image {
namespace {

using pyobj::id;

constexpr pyobj::Param kParams[] = {
    {"image_data", "Union[bytes, str, BytesIO]"},
    {"bg_threshold", "int", pyobj::integer(30)},
    {"color_gap", "int", pyobj::integer(30)},
    {"max_fill_ratio", "float", pyobj::real(0.3)},
    {"min_colored_ratio", "float", pyobj::real(0.85)},
    {"min_dual_color_ratio", "float", pyobj::real(0.15)},
    {"max_density_for_single_color", "float", pyobj::real(0.05)},
};

constexpr const char* kDoc = R"(
        检测图片中是否仅包含绿色线或红色线（黑色背景上的彩色线条）。

        适用于黑色或深色背景上只有绿色或红色线条的图片。防误判的过滤条件：
            - max_fill_ratio：非背景像素过多，判定为填充图
            - min_colored_ratio：非背景像素中红色加绿色占比过低，判定为多彩图
            - min_dual_color_ratio：红色或绿色一方占比过高，判定为单色文字或设计图
            - max_density_for_single_color：内容极其稀疏时跳过双色检测（不可能是文字）
            - 通道比例约束：排除粉色、青色等相近颜色

        Args:
            image_data: 图片字节、文件路径、图片 URL 或 BytesIO
            bg_threshold: 深色背景阈值，三个通道均不超过该值即为背景（默认 30）
            color_gap: 主通道需超过其他通道的差值（默认 30）
            max_fill_ratio: 非背景像素占比上限（默认 0.3）
            min_colored_ratio: 红绿像素占非背景像素的最低比例（默认 0.85）
            min_dual_color_ratio: 红、绿各自占非背景像素的最低比例（默认 0.15）
            max_density_for_single_color: 低于该非背景占比时跳过双色检测（默认 0.05）

        Returns:
            Dict[str, Any]:
                has_lines: 是否判定为红/绿线条图
                has_green: 是否包含绿色（绿色占比 > 0.1）
                has_red: 是否包含红色（红色占比 > 0.1）
                green_ratio: 绿色像素占非背景像素的比例
                red_ratio: 红色像素占非背景像素的比例
                total_non_bg_ratio: 非背景像素占全部像素的比例

        Raises:
            FileNotFoundError: 文件路径不存在
        )";

// An exact int as a long long, saturated at the type's limits (the
// clamping of the thresholds then gives the same result as the exact value).
bool saturated(PyObject* value, long long& out) noexcept {
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (out == -1 && PyErr_Occurred()) return false;
    if (overflow > 0) out = LLONG_MAX;
    if (overflow < 0) out = LLONG_MIN;
    return true;
}

struct Shares {
    bool has_lines;
    bool has_green;
    bool has_red;
    double green;
    double red;
    double non_background;
};

// The filters and the verdict over the pixel counts. Every count is far
// below 2**53, so each count converts to a double exactly and one IEEE
// division gives the correctly rounded quotient, as Python's int / int does.
Shares judge(const kernels::LineColorCounts& counts, std::uint64_t total_pixels, double max_fill_ratio,
             double min_colored_ratio, double min_dual_color_ratio, double max_density_for_single_color) noexcept {
    const auto non_bg = static_cast<double>(counts.non_background);
    const double green_ratio = static_cast<double>(counts.green) / non_bg;
    const double red_ratio = static_cast<double>(counts.red) / non_bg;
    const double colored_ratio = static_cast<double>(counts.green + counts.red) / non_bg;
    const double total_non_bg_ratio = non_bg / static_cast<double>(total_pixels);

    const bool is_fill = total_non_bg_ratio > max_fill_ratio;
    const bool is_multicolor = colored_ratio < min_colored_ratio;
    const bool is_sparse = total_non_bg_ratio < max_density_for_single_color;
    const double smaller = red_ratio < green_ratio ? red_ratio : green_ratio;
    const bool is_single_color = is_sparse ? false : smaller < min_dual_color_ratio;
    const bool has_lines = !is_fill && !is_multicolor && !is_single_color && colored_ratio > 0.5;
    return {has_lines, green_ratio > 0.1, red_ratio > 0.1, green_ratio, red_ratio, total_non_bg_ratio};
}

// round(value, 4) with the round function the module sees.
Ref rounded(PyObject* round, PyObject* digits, double value) noexcept {
    Ref number = Ref::steal(PyFloat_FromDouble(value));
    return pyobj::call(round, number.get(), digits);
}

bool set_item(PyObject* dict, PyObject* key, Ref value) noexcept {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

Ref result_dict(PyObject* globals, const Shares& shares) noexcept {
    Ref round = pyobj::global(globals, id<"round">());
    Ref digits = Ref::steal(PyLong_FromLong(4));
    Ref dict = Ref::steal(PyDict_New());
    if (!round || !digits || !dict) return {};
    PyObject* d = dict.get();
    const bool ok =
        set_item(d, id<"has_lines">(), Ref::steal(PyBool_FromLong(shares.has_lines))) &&
        set_item(d, id<"has_green">(), Ref::steal(PyBool_FromLong(shares.has_green))) &&
        set_item(d, id<"has_red">(), Ref::steal(PyBool_FromLong(shares.has_red))) &&
        set_item(d, id<"green_ratio">(), rounded(round.get(), digits.get(), shares.green)) &&
        set_item(d, id<"red_ratio">(), rounded(round.get(), digits.get(), shares.red)) &&
        set_item(d, id<"total_non_bg_ratio">(), rounded(round.get(), digits.get(), shares.non_background));
    return ok ? std::move(dict) : Ref();
}

// Every pixel is background: the fixed negative result, nothing rounded.
Ref background_only_dict() noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    PyObject* d = dict.get();
    const bool ok = set_item(d, id<"has_lines">(), Ref::borrow(Py_False)) &&
                    set_item(d, id<"has_green">(), Ref::borrow(Py_False)) &&
                    set_item(d, id<"has_red">(), Ref::borrow(Py_False)) &&
                    set_item(d, id<"green_ratio">(), Ref::steal(PyFloat_FromDouble(0.0))) &&
                    set_item(d, id<"red_ratio">(), Ref::steal(PyFloat_FromDouble(0.0))) &&
                    set_item(d, id<"total_non_bg_ratio">(), Ref::steal(PyFloat_FromDouble(0.0)));
    return ok ? std::move(dict) : Ref();
}

// The verdict over the pixels of `rgb`, an image of mode "RGB".
Ref count_and_judge(PyObject* globals, Ref rgb, const LineParams& params) noexcept {
    ImageSize size;
    if (!rgb || !image_size(rgb.get(), size)) return {};
    kernels::LineColorCounts counts;
    auto count = [&](const PixelBand& band) noexcept {
        kernels::count_line_colors({band.pixels, 4 * band.rows * size.width}, params.rule, counts);
    };
    if (!for_each_band(rgb.get(), size, "RGB", count)) return {};
    rgb.reset();

    if (counts.non_background == 0) return background_only_dict();
    const Shares shares = judge(counts, static_cast<std::uint64_t>(size.width) * size.height, params.max_fill_ratio,
                                params.min_colored_ratio, params.min_dual_color_ratio,
                                params.max_density_for_single_color);
    return result_dict(globals, shares);
}

Ref to_rgb(PyObject* opened) noexcept { return pyobj::call_method(opened, id<"convert">(), id<"RGB">()); }

PyObject* has_colored_lines(const pyobj::Call& call) {
    long long bg_threshold = 0, color_gap = 0;
    if (!saturated(call[1], bg_threshold) || !saturated(call[2], color_gap)) return nullptr;
    const LineParams params{{kernels::clamp_dark_max(bg_threshold), kernels::clamp_gap(color_gap)},
                            call.real(3), call.real(4), call.real(5), call.real(6)};
    return colored_lines_result(call.globals(), call[0], params).release();
}

}  // namespace

LineParams default_line_params() noexcept {
    return {{kernels::clamp_dark_max(30), kernels::clamp_gap(30)}, 0.3, 0.85, 0.15, 0.05};
}

// Whether converting `opened` to RGB would only copy it: its mode is
// already RGB and its convert is Pillow's own, which then returns
// self.copy() of the loaded image. False with an error set, or not.
bool converts_to_a_copy(PyObject* globals, PyObject* opened, bool& copy) noexcept {
    copy = false;
    Ref mode = pyobj::attr(opened, id<"mode">());
    if (!mode) return false;
    if (!PyUnicode_Check(mode.get()) || PyUnicode_CompareWithASCIIString(mode.get(), "RGB") != 0) return true;
    Ref image_module = pyobj::global(globals, id<"Image">());
    Ref image_class = pyobj::attr(image_module.get(), id<"Image">());
    Ref own = pyobj::attr(image_class.get(), id<"convert">());
    Ref used = own ? pyobj::attr(reinterpret_cast<PyObject*>(Py_TYPE(opened)), id<"convert">()) : Ref();
    if (!used) return false;
    copy = used.get() == own.get();
    return true;
}

// The opened image stays open for the caller, so where converting it would
// only copy it, its own pixels are counted: the same bytes without a
// full-size copy.
Ref colored_lines_of_image(PyObject* globals, PyObject* opened, const LineParams& params) noexcept {
    bool copy = false;
    if (!converts_to_a_copy(globals, opened, copy)) return {};
    return count_and_judge(globals, copy ? Ref::borrow(opened) : to_rgb(opened), params);
}

// The opened image is closed once converted when this call made its source.
Ref colored_lines_result(PyObject* globals, PyObject* image_data, const LineParams& params) noexcept {
    bool holds_file = false;
    Ref opened = open_image(globals, image_data, holds_file);
    if (!opened) return {};
    Ref rgb = close_after(to_rgb(opened.get()), opened.get(), holds_file);
    return count_and_judge(globals, std::move(rgb), params);
}

const pyobj::FunctionDef has_colored_lines_def{
    {"has_colored_lines", "ImageTool.has_colored_lines", kDoc, kParams, nullptr, nullptr, "Dict[str, Any]"},
    has_colored_lines,
};

}  // namespace image

// The image checks split where one decode can serve several of them: each
// method's body, and the part of it that works on an image already opened
// (and, for the transparency check, what it reads before the pixels).
#pragma once

// Python.h (through ref.hpp) comes before any system header.
#include "pyobj/ref.hpp"

#include "image/kernels/hand_over.hpp"
#include "image/kernels/line_colors.hpp"

namespace image {

using pyobj::Ref;

// --- is_plain_gray ---------------------------------------------------------

// What a thread computing is_plain_gray shares with a caller's thread that
// waits for it (see check_all): `decoding` is set just before OpenCV's
// decoder is called, and the measurements may be shared through `work`.
// Neither is closed by the computation itself.
struct PlainGrayPartner {
    kernels::Signal decoding;
    kernels::SharedTasks work;
};

// The method's body: its result for `image_data` (a handled failure is a
// result), or empty with an error outside the Exception family set.
// `logger` and `partner` may be nullptr.
Ref plain_gray_result(PyObject* globals, PyObject* image_data, double gray_thresh, double edge_thresh,
                      PyObject* logger, PlainGrayPartner* partner = nullptr) noexcept;

// (False, the fallback metrics, str(err)): the result for a handled `err`.
Ref plain_gray_failure(PyObject* err) noexcept;

// --- is_valid_image --------------------------------------------------------

// The method's body: True, or empty with the error it raises set. `kwargs`
// becomes the extra_data of its InvalidImageError.
Ref validity_result(PyObject* globals, PyObject* image_data, PyObject* kwargs) noexcept;

// Raises what the method raises for the OSError `err`: InvalidImageError
// with image_size len(image_data), original_error err and an empty
// extra_data, while `err` is being handled. Always returns false.
bool raise_invalid_image(PyObject* globals, PyObject* err, PyObject* image_data) noexcept;

// --- has_multiple_transparency ---------------------------------------------

// What the check reads of an opened image before its pixels: the mode and,
// for a palette image, the transparency entry and the histogram method; for
// an RGBA image, the pixel count from its size.
struct TransparencyPlan {
    enum class Kind { answered, palette, rgba };
    Kind kind = Kind::answered;
    Ref answer;       // answered: the result, no pixel read
    Ref transparent;  // palette: info["transparency"]
    Ref getcolors;    // palette: img.getcolors as looked up
    bool library = false;  // palette: getcolors is Pillow's own
    Ref total;        // rgba: width * height
};

// False with an error set.
bool plan_transparency(PyObject* globals, PyObject* img, TransparencyPlan& plan) noexcept;

// The result from the pixels (loading them if need be), or empty with an error set.
Ref finish_transparency(PyObject* img, const TransparencyPlan& plan, PyObject* threshold) noexcept;

// The method's body for `image_data`, threshold an exact int.
Ref transparency_result(PyObject* globals, PyObject* image_data, PyObject* threshold) noexcept;

// --- has_colored_lines -----------------------------------------------------

struct LineParams {
    kernels::LineColorRule rule;
    double max_fill_ratio, min_colored_ratio, min_dual_color_ratio, max_density_for_single_color;
};

// The method's defaults.
LineParams default_line_params() noexcept;

// The result for an opened image (converted to RGB here; not closed).
Ref colored_lines_of_image(PyObject* globals, PyObject* opened, const LineParams& params) noexcept;

// The method's body for `image_data`.
Ref colored_lines_result(PyObject* globals, PyObject* image_data, const LineParams& params) noexcept;

}  // namespace image

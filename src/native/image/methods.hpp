// The eight ImageTool methods, each defined in its own file. The order of
// kImageToolMethods is the order of the class namespace.
#pragma once

#include "pyobj/function.hpp"

#include <array>

namespace image {

using pyobj::Ref;

extern const pyobj::FunctionDef is_plain_gray_def;
extern const pyobj::FunctionDef get_img_url_io_def;
extern const pyobj::FunctionDef get_img_url_bytes_def;
extern const pyobj::FunctionDef is_valid_image_def;
extern const pyobj::FunctionDef has_multiple_transparency_def;
extern const pyobj::FunctionDef batch_has_multiple_transparency_def;
extern const pyobj::FunctionDef trim_transparent_edges_def;
extern const pyobj::FunctionDef has_colored_lines_def;

inline const std::array<const pyobj::FunctionDef*, 8> kImageToolMethods = {
    &is_plain_gray_def,
    &get_img_url_io_def,
    &get_img_url_bytes_def,
    &is_valid_image_def,
    &has_multiple_transparency_def,
    &batch_has_multiple_transparency_def,
    &trim_transparent_edges_def,
    &has_colored_lines_def,
};

}  // namespace image

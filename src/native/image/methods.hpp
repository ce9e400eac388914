// The eight ImageTool methods, each defined in its own file. The order of
// kImageToolMethods is the order of the class namespace.
#pragma once

#include "pyobj/class_builder.hpp"

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

inline const std::array<pyobj::ClassMember, 8> kImageToolMethods = {{
    {&is_plain_gray_def, true},
    {&get_img_url_io_def, true},
    {&get_img_url_bytes_def, true},
    {&is_valid_image_def, true},
    {&has_multiple_transparency_def, true},
    {&batch_has_multiple_transparency_def, true},
    {&trim_transparent_edges_def, true},
    {&has_colored_lines_def, true},
}};

}  // namespace image

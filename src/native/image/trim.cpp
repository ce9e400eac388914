// ImageTool.trim_transparent_edges
#include "image/methods.hpp"
#include "image/not_implemented.hpp"

namespace image {
namespace {

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

}  // namespace

const pyobj::FunctionDef trim_transparent_edges_def{
    {"trim_transparent_edges", "ImageTool.trim_transparent_edges", kDoc, kParams, nullptr, nullptr, "bytes"},
    not_implemented,
};

}  // namespace image

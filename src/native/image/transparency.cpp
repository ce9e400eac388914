// ImageTool.has_multiple_transparency
#include "image/methods.hpp"
#include "image/not_implemented.hpp"

namespace image {
namespace {

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

}  // namespace

const pyobj::FunctionDef has_multiple_transparency_def{
    {"has_multiple_transparency", "ImageTool.has_multiple_transparency", kDoc, kParams, nullptr, nullptr, "bool"},
    not_implemented,
};

}  // namespace image

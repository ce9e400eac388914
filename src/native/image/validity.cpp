// ImageTool.is_valid_image
#include "image/methods.hpp"
#include "image/not_implemented.hpp"

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

}  // namespace

const pyobj::FunctionDef is_valid_image_def{
    {"is_valid_image", "ImageTool.is_valid_image", kDoc, kParams, "kwargs", "Any", "bool"},
    not_implemented,
};

}  // namespace image

// ImageTool.has_colored_lines
#include "image/methods.hpp"
#include "image/not_implemented.hpp"

namespace image {
namespace {

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

}  // namespace

const pyobj::FunctionDef has_colored_lines_def{
    {"has_colored_lines", "ImageTool.has_colored_lines", kDoc, kParams, nullptr, nullptr, "Dict[str, Any]"},
    not_implemented,
};

}  // namespace image

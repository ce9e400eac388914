// ImageTool.is_plain_gray
#include "image/methods.hpp"
#include "image/not_implemented.hpp"

namespace image {
namespace {

constexpr pyobj::Param kParams[] = {
    {"image_data", "Union[bytes, str]"},
    {"gray_thresh", "float", pyobj::real(30.0)},
    {"edge_thresh", "float", pyobj::real(0.01)},
};

constexpr const char* kDoc = R"(
        检测图片是否为纯色图（无图案、无纹理、无明显色彩）。

        依次检测七个维度，任一维度超过阈值即判定为非纯色图：
            1. 灰度标准差：明暗变化
            2. Canny 边缘密度：图案或纹理
            3. HSV 饱和度：色彩强度
            4. Laplacian 局部对比度：微弱纹理
            5. FFT 高频能量占比：图案细节
            6. CLAHE 增强后的边缘密度：隐藏图案
            7. CLAHE 增强后的标准差：隐藏纹理

        Args:
            image_data: 图片原始字节、文件路径或图片 URL
            gray_thresh: 灰度标准差阈值，超过即判定为非纯色图（默认 30）
            edge_thresh: 边缘密度阈值，超过即判定为非纯色图（默认 0.01）
            **kwargs: 支持 logger，用于记录检测错误

        Returns:
            (is_gray, metrics, message)：是否纯色图、各项指标、判定说明
        )";

}  // namespace

const pyobj::FunctionDef is_plain_gray_def{
    {"is_plain_gray", "ImageTool.is_plain_gray", kDoc, kParams, "kwargs", nullptr,
     "Tuple[bool, Dict[str, Any], str]"},
    not_implemented,
};

}  // namespace image

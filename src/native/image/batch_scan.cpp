// ImageTool.batch_has_multiple_transparency
#include "image/methods.hpp"
#include "image/not_implemented.hpp"

namespace image {
namespace {

constexpr pyobj::Param kParams[] = {
    {"directory", "str"},
    {"threshold", "int", pyobj::integer(5)},
    {"max_workers", "int", pyobj::integer(4)},
    {"extensions", "Optional[List[str]]", pyobj::none()},
    {"desc", "str", pyobj::text("检测透明度")},
};

constexpr const char* kDoc = R"(
        批量检测目录下所有图片是否包含多个透明区域（多线程 + tqdm 进度条）。

        Args:
            directory: 要扫描的目录（递归包含子目录）
            threshold: 调色板模式下透明像素数量的阈值（默认 5）
            max_workers: 最大线程数（默认 4）
            extensions: 要检测的扩展名列表（含点，不区分大小写），默认为常见图片格式
                .png .jpg .jpeg .gif .bmp .webp .tiff .tif
            desc: 进度条描述（默认 "检测透明度"）

        Returns:
            Dict[str, bool]: 图片路径 -> 是否包含多个透明区域；
                检测失败的图片不在结果中，其错误写入日志

        Raises:
            FileNotFoundError: 目录不存在
        )";

}  // namespace

const pyobj::FunctionDef batch_has_multiple_transparency_def{
    {"batch_has_multiple_transparency", "ImageTool.batch_has_multiple_transparency", kDoc, kParams, nullptr, nullptr,
     "Dict[str, bool]"},
    not_implemented,
};

}  // namespace image

// ImageTool.get_img_url_io and ImageTool.get_img_url_bytes
#include "image/methods.hpp"
#include "image/not_implemented.hpp"

namespace image {
namespace {

constexpr pyobj::Param kIoParams[] = {
    {"url", "str"},
    {"max_retries", "int", pyobj::integer(3)},
    {"base_delay", "float", pyobj::real(0.5)},
    {"logger", "Optional[logging.Logger]", pyobj::none()},
};

constexpr const char* kIoDoc = R"(
        从 URL 获取图片内容并返回 BytesIO 对象，包含指数退避重试机制。

        Args:
            url: 图片的 URL
            max_retries: 最大重试次数（默认 3）
            base_delay: 基础等待时间（秒），实际等待时间为 base_delay * 2 ** retry_count（默认 0.5）
            logger: 可选的日志记录器，未提供时使用 print 输出
            **kwargs: 可选的请求设置：
                timeout: 请求超时时间（秒，默认 20）
                headers: 请求头字典，例如 User-Agent、Referer

        Returns:
            BytesIO: 包含完整图片内容的 BytesIO 对象（未回到开头）

        Raises:
            ServiceError: 所有尝试均失败时抛出
        )";

constexpr pyobj::Param kBytesParams[] = {
    {"url", "str"},
};

constexpr const char* kBytesDoc = R"(
        从 URL 获取图片内容并直接返回 bytes。

        复用 get_img_url_io，参数完全相同（max_retries、base_delay、logger、
        timeout、headers 以关键字参数传入）。

        Args:
            url: 图片的 URL
            **kwargs: 传给 get_img_url_io 的参数

        Returns:
            bytes: 图片的二进制数据

        Raises:
            ServiceError: 所有尝试均失败时抛出
        )";

}  // namespace

const pyobj::FunctionDef get_img_url_io_def{
    {"get_img_url_io", "ImageTool.get_img_url_io", kIoDoc, kIoParams, "kwargs", nullptr, "Optional[BytesIO]"},
    not_implemented,
};

const pyobj::FunctionDef get_img_url_bytes_def{
    {"get_img_url_bytes", "ImageTool.get_img_url_bytes", kBytesDoc, kBytesParams, "kwargs", nullptr, "bytes"},
    not_implemented,
};

}  // namespace image

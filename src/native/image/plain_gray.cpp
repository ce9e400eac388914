// ImageTool.is_plain_gray
#include "image/check_parts.hpp"
#include "image/kernels/apng_frames.hpp"
#include "image/kernels/image_header.hpp"
#include "image/kernels/plainness.hpp"
#include "image/kernels/png_chunks.hpp"
#include "image/methods.hpp"
#include "image/opencv_gate.hpp"
#include "image/round_float.hpp"
#include "image/source.hpp"
#include "pyobj/buffer.hpp"
#include "pyobj/call.hpp"
#include "pyobj/errors.hpp"
#include "pyobj/names.hpp"

#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <string>

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


using pyobj::id;
namespace kernels = image::kernels;

constexpr const char* kDecodeFailed = "图片为空";
constexpr const char* kPlain = "纯色图";
constexpr const char* kErrorPrefix = "图片检测错误: ";

// Files from this size on, or images declared this large, are scanned for
// animation hazards without the GIL.
constexpr std::size_t kApngUnlockedBytes = 1 << 18;
constexpr std::uint64_t kApngUnlockedPixels = 1 << 16;


struct Check {
    const char* prefix;
    int decimals;
    const char* suffix;
};

constexpr std::array<Check, 7> kChecks = {{
    {"标准差=", 1, "，有明显明暗变化"},
    {"边缘密度=", 4, "，有图案或纹理"},
    {"饱和度=", 1, "，有明显色彩"},
    {"局部对比度=", 2, "，有微弱纹理"},
    {"高频能量占比=", 6, "，有图案"},
    {"CLAHE增强边缘密度=", 4, "，有隐藏图案"},
    {"CLAHE增强标准差=", 1, "，有隐藏纹理"},
}};

// A C-contiguous uint8 array's bytes and shape, held for the kernels.
struct Pixels {
    pyobj::BufferView view;
    std::size_t height = 0, width = 0, channels = 1;

    // Views `array` as `ndim` dimensions of bytes (three per pixel when ndim
    // is 3). False with an error set; a view of another layout fails with
    // `layout_ok` false and no error set.
    bool acquire(PyObject* array, int ndim, bool& layout_ok) noexcept {
        layout_ok = true;
        if (!view.acquire(array, PyBUF_ND)) return false;
        const Py_buffer& b = view.view();
        if (b.itemsize != 1 || b.ndim != ndim || (ndim == 3 && b.shape[2] != 3)) {
            layout_ok = false;
            return false;
        }
        height = static_cast<std::size_t>(b.shape[0]);
        width = ndim >= 2 ? static_cast<std::size_t>(b.shape[1]) : 1;
        channels = ndim == 3 ? 3 : 1;
        return true;
    }
    const std::uint8_t* data() const noexcept { return view.bytes().data(); }
    std::size_t pixels() const noexcept { return height * width; }
};

Ref text(const std::string& s) noexcept { return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr)); }

// {"std": 0, "edge_ratio": 100, "saturation": 0}, a new dict every time.
Ref fallback_metrics() noexcept {
    Ref d = Ref::steal(PyDict_New());
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref hundred = Ref::steal(PyLong_FromLong(100));
    if (!d || !zero || !hundred || PyDict_SetItem(d.get(), id<"std">(), zero.get()) < 0 ||
        PyDict_SetItem(d.get(), id<"edge_ratio">(), hundred.get()) < 0 ||
        PyDict_SetItem(d.get(), id<"saturation">(), zero.get()) < 0)
        return {};
    return d;
}

Ref verdict(bool plain, Ref metrics, Ref message) noexcept {
    if (!metrics || !message) return {};
    return Ref::steal(PyTuple_Pack(3, plain ? Py_True : Py_False, metrics.get(), message.get()));
}

// Refuses an image whose header declares (`size`, if it says) more pixels
// than twice PIL.Image.MAX_IMAGE_PIXELS (read now; None means no limit),
// before any decoder allocates for it. False with an error set.
bool check_declared_size(PyObject* globals, const std::optional<kernels::DeclaredSize>& size) noexcept {
    if (!size) return true;
    Ref image_module = pyobj::global(globals, id<"Image">());
    Ref max_pixels = pyobj::attr(image_module.get(), id<"MAX_IMAGE_PIXELS">());
    if (!max_pixels) return false;
    if (max_pixels.get() == Py_None) return true;
    Ref two = Ref::steal(PyLong_FromLong(2));
    Ref limit = two ? Ref::steal(PyNumber_Multiply(max_pixels.get(), two.get())) : Ref();
    // Both sides are below 2^32, so the product is exact.
    Ref declared = limit ? Ref::steal(PyLong_FromUnsignedLongLong(size->pixels())) : Ref();
    if (!declared) return false;
    const int over = PyObject_RichCompareBool(declared.get(), limit.get(), Py_GT);
    if (over <= 0) return over == 0;
    Ref limit_text = Ref::steal(PyObject_Str(limit.get()));
    if (!limit_text) return false;
    // Non-ASCII text goes through %s: the format string itself must be ASCII.
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "%s%llux%llu%s%S%s%U%s", "图片尺寸过大: ", static_cast<unsigned long long>(size->width),
        static_cast<unsigned long long>(size->height), "，共 ", declared.get(), " 像素，超过上限 ", limit_text.get(),
        " 像素，拒绝解码"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return false;
}

// Whether `f` is the interpreter's own round(): a built-in function of the
// builtins module by that name.
bool is_builtin_round(PyObject* f) noexcept {
    if (!PyCFunction_Check(f)) return false;
    PyObject* owner = PyCFunction_GET_SELF(f);
    const char* name = reinterpret_cast<PyCFunctionObject*>(f)->m_ml->ml_name;
    if (owner == nullptr || !PyModule_Check(owner) || std::strcmp(name, "round") != 0) return false;
    const char* module = PyModule_GetName(owner);
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(module, "builtins") == 0;
}

// The metrics dict (rounded with round, as the module sees it now: the
// built-in's arithmetic is done here directly) and the first check that
// fires, compared on the unrounded values.
Ref judge(PyObject* globals, const kernels::PlainMetrics& m, double gray_thresh, double edge_thresh) {
    const std::array<double, 7> values = {m.std_dev,         m.edge_ratio,          m.saturation,  m.local_contrast,
                                          m.high_freq_ratio, m.enhanced_edge_ratio, m.enhanced_std};
    static constexpr std::array<int, 7> kDigits = {1, 4, 2, 2, 6, 4, 1};
    const std::array<PyObject*, 7> keys = {id<"std">(),           id<"edge_ratio">(),          id<"saturation">(),
                                           id<"local_contrast">(), id<"high_freq_ratio">(), id<"enhanced_edge_ratio">(),
                                           id<"enhanced_std">()};
    Ref round = pyobj::global(globals, id<"round">());
    Ref metrics = round ? Ref::steal(PyDict_New()) : Ref();
    if (!metrics) return {};
    const bool builtin = is_builtin_round(round.get());
    for (std::size_t i = 0; i < values.size(); ++i) {
        Ref rounded;
        if (builtin) {
            rounded = round_float(values[i], kDigits[i]);
        } else {
            Ref value = Ref::steal(PyFloat_FromDouble(values[i]));
            Ref digits = Ref::steal(PyLong_FromLong(kDigits[i]));
            rounded = value && digits ? pyobj::call(round.get(), value.get(), digits.get()) : Ref();
        }
        if (!rounded || PyDict_SetItem(metrics.get(), keys[i], rounded.get()) < 0) return {};
    }
    const std::array<double, 7> thresholds = {gray_thresh, edge_thresh, 20.0, 3.0, 0.001, 0.05, 60.0};
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!(values[i] > thresholds[i])) continue;
        char* number = PyOS_double_to_string(values[i], 'f', kChecks[i].decimals, 0, nullptr);
        if (number == nullptr) return {};
        std::string message = std::string(kChecks[i].prefix) + number + kChecks[i].suffix;
        PyMem_Free(number);
        return verdict(false, std::move(metrics), text(message));
    }
    return verdict(true, std::move(metrics), text(kPlain));
}

// The bytes up to `end` (the fcTL that starts the second frame) and an
// IEND chunk. OpenCV's reader composes the first frame identically whether
// an fcTL or IEND ends it; only after an fcTL does it go on to dispose of the
// frame, which is where it overruns greyscale buffers.
Ref first_frame_only(std::span<const std::uint8_t> data, std::size_t end) noexcept {
    static constexpr std::uint8_t kEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(end + sizeof kEnd)));
    if (!out) return {};
    char* p = PyBytes_AS_STRING(out.get());
    std::memcpy(p, data.data(), end);
    std::memcpy(p + end, kEnd, sizeof kEnd);
    return out;
}

// A decoded image that is not three channels of bytes: some decoders give
// other layouts whatever IMREAD_COLOR asks (a greyscale PFM decodes to one
// channel). The OpenCV calls that the metrics begin with, in their order, are
// made on it so that the first to refuse it raises its own error, the one a
// caller of the same steps in Python sees. Always leaves an error set.
void refuse_layout(PyObject* globals, PyObject* img) noexcept {
    Ref cv2 = pyobj::global(globals, id<"cv2">());
    Ref convert = pyobj::attr(cv2.get(), id<"cvtColor">());
    Ref canny = pyobj::attr(cv2.get(), id<"Canny">());
    Ref to_grey = pyobj::attr(cv2.get(), id<"COLOR_BGR2GRAY">());
    Ref to_hsv = pyobj::attr(cv2.get(), id<"COLOR_BGR2HSV">());
    Ref low = Ref::steal(PyLong_FromLong(10));  // the metrics' Canny thresholds
    Ref high = Ref::steal(PyLong_FromLong(50));
    if (!convert || !canny || !to_grey || !to_hsv || !low || !high) return;
    Ref grey = pyobj::call(convert.get(), img, to_grey.get());
    Ref edges = pyobj::call(canny.get(), grey.get(), low.get(), high.get());
    Ref hsv = edges ? pyobj::call(convert.get(), img, to_hsv.get()) : Ref();
    if (hsv) PyErr_SetString(PyExc_ValueError, "unexpected image array layout");
}

// Steps from the bytes to the verdict. Returns the result, or an empty Ref
// with the error set (handled by the caller).
Ref detect(PyObject* globals, PyObject* image_data, double gray_thresh, double edge_thresh,
           PlainGrayPartner* partner) {
    Ref data = source_bytes(globals, image_data);
    Ref np = data ? pyobj::global(globals, id<"np">()) : Ref();
    Ref frombuffer = pyobj::attr(np.get(), id<"frombuffer">());
    Ref uint8 = pyobj::attr(np.get(), id<"uint8">());
    // dtype is frombuffer's second positional parameter: no keyword dict needed.
    Ref encoded = frombuffer && uint8 ? pyobj::call(frombuffer.get(), data.get(), uint8.get()) : Ref();
    if (!encoded) return {};
    kernels::ApngCheck animation;
    Ref first_frame;
    {
        Pixels bytes;
        if (!bytes.view.acquire(encoded.get(), PyBUF_SIMPLE)) return {};
        const auto declared = kernels::declared_size(bytes.view.bytes());
        if (!check_declared_size(globals, declared)) return {};
        // OpenCV cannot decode a PNG whose chunk overruns the data (it
        // answers None), but first allocates the declared chunk length, up
        // to 4 GiB for a 45-byte input: answer as it would, without that.
        if (kernels::png_chunk_overruns(bytes.view.bytes()))
            return verdict(false, fallback_metrics(), text(kDecodeFailed));
        // Only an animated PNG costs this more than a few chunk headers: its
        // frame data is gathered and the first frame inflated, work bounded
        // by the file and the declared image. The GIL is let go where either
        // may be large, not at every call: each time it changes hands costs
        // a thread switch when another thread waits.
        std::optional<pyobj::GilRelease> unlocked;
        if (bytes.view.bytes().size() >= kApngUnlockedBytes || !declared || declared->pixels() >= kApngUnlockedPixels)
            unlocked.emplace();
        animation = kernels::apng_check(bytes.view.bytes());
        unlocked.reset();
        // Animated PNGs that would take OpenCV's reader out of bounds: the
        // ones it would crash on get the answer of undecodable data; where
        // only the disposal after the first frame overruns, the reader is
        // given the first frame alone (see first_frame_only).
        using kernels::ApngHazard;
        if (animation.hazard == ApngHazard::dead_jump_buffer ||
            (animation.hazard == ApngHazard::dispose_overrun && !animation.next_frame_fits))
            return verdict(false, fallback_metrics(), text(kDecodeFailed));
        if (animation.hazard == ApngHazard::dispose_overrun) {
            first_frame = first_frame_only(bytes.view.bytes(), animation.first_frame_end);
            if (!first_frame) return {};
        }
    }
    if (first_frame) {
        encoded = pyobj::call(frombuffer.get(), first_frame.get(), uint8.get());
        if (!encoded) return {};
    }
    Ref cv2 = pyobj::global(globals, id<"cv2">());
    Ref imdecode = pyobj::attr(cv2.get(), id<"imdecode">());
    Ref read_colour = pyobj::attr(cv2.get(), id<"IMREAD_COLOR">());
    if (partner != nullptr) partner->decoding.set();
    Ref img = imdecode && read_colour ? pyobj::call(imdecode.get(), encoded.get(), read_colour.get()) : Ref();
    if (!img) return {};
    encoded.reset();
    data.reset();
    if (img.get() == Py_None) return verdict(false, fallback_metrics(), text(kDecodeFailed));

    Pixels colour;
    bool layout_ok = true;
    if (!colour.acquire(img.get(), 3, layout_ok)) {
        if (!layout_ok) refuse_layout(globals, img.get());
        return {};
    }
    kernels::PlainMetrics m;
    {
        pyobj::GilRelease unlocked;
        m = kernels::measure_plainness(colour.data(), colour.height, colour.width,
                                       partner != nullptr ? &partner->work : nullptr);
    }
    return judge(globals, m, gray_thresh, edge_thresh);
}

// Handled failure: log "图片检测错误: " + str(err) when the logger is truthy,
// then (False, fallback metrics, str(err)). Errors of the logger itself, or
// of str(err), propagate with err as their context.
Ref report_failure(PyObject* logger) noexcept {
    Ref err = pyobj::fetch_exception();
    auto propagate = [&err]() -> Ref {
        Ref raised = pyobj::fetch_exception();
        if (raised) PyException_SetContext(raised.get(), err.release());
        pyobj::restore_exception(std::move(raised));
        return {};
    };
    const int log = logger != nullptr ? PyObject_IsTrue(logger) : 0;
    if (log < 0) return propagate();
    Ref message = Ref::steal(PyObject_Str(err.get()));
    if (!message) return propagate();
    if (log) {
        Ref prefix = text(kErrorPrefix);
        Ref line = prefix ? Ref::steal(PyUnicode_Concat(prefix.get(), message.get())) : Ref();
        Ref logged = pyobj::call_method(logger, id<"error">(), line.get());
        if (!logged) return propagate();
    }
    return verdict(false, fallback_metrics(), std::move(message));
}

PyObject* is_plain_gray(const pyobj::Call& call) {
    Ref logger;
    if (PyObject* kwargs = call.kwargs()) {
        PyObject* found = PyDict_GetItemWithError(kwargs, id<"logger">());
        if (found == nullptr && PyErr_Occurred()) return nullptr;
        logger = Ref::borrow(found);
    }
    return plain_gray_result(call.globals(), call[0], call.real(1), call.real(2), logger.get()).release();
}

}  // namespace

Ref plain_gray_result(PyObject* globals, PyObject* image_data, double gray_thresh, double edge_thresh,
                      PyObject* logger, PlainGrayPartner* partner) noexcept {
    Ref result;
    OpenCvScope opencv;  // never refused here: only side threads are
    try {
        result = detect(globals, image_data, gray_thresh, edge_thresh, partner);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (result) return result;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    return report_failure(logger == Py_None ? nullptr : logger);
}

Ref plain_gray_failure(PyObject* err) noexcept {
    pyobj::restore_exception(Ref::borrow(err));
    return report_failure(nullptr);
}

const pyobj::FunctionDef is_plain_gray_def{
    {"is_plain_gray", "ImageTool.is_plain_gray", kDoc, kParams, "kwargs", nullptr,
     "Tuple[bool, Dict[str, Any], str]"},
    is_plain_gray,
};

}  // namespace image

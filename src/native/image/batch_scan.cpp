// ImageTool.batch_has_multiple_transparency
#include "image/methods.hpp"
#include "pyobj/call.hpp"
#include "pyobj/context.hpp"
#include "pyobj/errors.hpp"
#include "pyobj/names.hpp"
#include "pyobj/unpack.hpp"

#include <array>

namespace image {
namespace {

using pyobj::id;

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

constexpr const char* kDefaultExtensions[] = {".png", ".jpg", ".jpeg", ".gif", ".bmp", ".webp", ".tiff", ".tif"};

// --- the per-file task ------------------------------------------------------

constexpr pyobj::Param kCheckParams[] = {
    {"filepath", "str"},
};

// _check(filepath) -> (filepath, ImageTool.has_multiple_transparency(filepath, threshold=threshold)),
// with the call's threshold as the closure and ImageTool looked up each time.
PyObject* check_one(const pyobj::Call& call) {
    PyObject* filepath = call[0];
    Ref tool = pyobj::global(call.globals(), id<"ImageTool">());
    Ref method = pyobj::attr(tool.get(), id<"has_multiple_transparency">());
    Ref verdict = pyobj::call_kw(method.get(), {filepath}, {{id<"threshold">(), call.closure()}});
    if (!verdict) return nullptr;
    return PyTuple_Pack(2, filepath, verdict.get());
}

const pyobj::FunctionDef check_def{
    {"_check", "ImageTool.batch_has_multiple_transparency.<locals>._check", nullptr, kCheckParams, nullptr, nullptr,
     "Tuple[str, bool]"},
    check_one,
};

// --- preparing the scan -----------------------------------------------------

// from tqdm import tqdm, done at call time through the current __import__.
Ref import_tqdm(PyObject* globals) noexcept {
    PyObject* name = id<"tqdm">();
    PyObject* import = PyDict_GetItemWithError(PyEval_GetBuiltins(), id<"__import__">());
    if (import == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return {};
    }
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
    Ref level = Ref::steal(PyLong_FromLong(0));
    Ref module = pyobj::call(import, name, globals, Py_None, fromlist.get(), level.get());
    if (!module) return {};
    Ref value = pyobj::attr(module.get(), name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    // A loaded submodule of that name counts too, as for any from-import.
    Ref package = pyobj::attr(module.get(), id<"__name__">());
    if (!package) {
        PyErr_Clear();
        package = Ref::steal(PyUnicode_FromString("<unknown module name>"));
        if (!package) return {};
    }
    Ref full = Ref::steal(PyUnicode_FromFormat("%S.%U", package.get(), name));
    PyObject* sub = full ? PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get()) : nullptr;
    if (sub != nullptr) return Ref::borrow(sub);
    if (PyErr_Occurred()) return {};
    // The interpreter's own from-import error, naming the module's file.
    Ref file = pyobj::attr(module.get(), id<"__file__">());
    if (!file) PyErr_Clear();
    const bool located = file && PyUnicode_Check(file.get());
    Ref message = located ? Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, package.get(),
                                                            file.get()))
                          : Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                                            package.get()));
    if (message) PyErr_SetImportError(message.get(), package.get(), located ? file.get() : nullptr);
    return {};
}

// os.path.<name>(args...), `os` looked up as a module global now.
template <class... A>
Ref os_path_call(PyObject* globals, PyObject* name, A... args) noexcept {
    Ref os = pyobj::global(globals, id<"os">());
    Ref os_path = pyobj::attr(os.get(), id<"path">());
    return pyobj::call_method(os_path.get(), name, args...);
}

bool require_directory(PyObject* globals, PyObject* directory) noexcept {
    Ref found = os_path_call(globals, id<"isdir">(), directory);
    if (!found) return false;
    const int is_dir = PyObject_IsTrue(found.get());
    if (is_dir < 0) return false;
    if (is_dir) return true;
    // Concatenated: PyUnicode_FromFormat accepts only an ASCII format.
    Ref prefix = Ref::steal(PyUnicode_FromString("目录不存在: "));
    Ref message = prefix ? Ref::steal(PyUnicode_Concat(prefix.get(), directory)) : Ref();
    if (message) PyErr_SetObject(PyExc_FileNotFoundError, message.get());
    return false;
}

// A new list of lower-case suffixes: the defaults, or the caller's items,
// each of which must be exactly a str (None included in the rejection: it
// cannot be lower-cased or matched against a suffix).
Ref settle_extensions(PyObject* extensions) noexcept {
    Ref settled = Ref::steal(PyList_New(0));
    if (!settled) return {};
    if (extensions == Py_None) {
        for (const char* suffix : kDefaultExtensions) {
            Ref item = Ref::steal(PyUnicode_FromString(suffix));
            if (!item || PyList_Append(settled.get(), item.get()) < 0) return {};
        }
        return settled;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(extensions); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(extensions, i));
        if (!PyUnicode_CheckExact(item.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "str", Py_TYPE(item.get())->tp_name);
            return {};
        }
        Ref lower = pyobj::call_method(item.get(), id<"lower">());
        if (!lower || PyList_Append(settled.get(), lower.get()) < 0) return {};
    }
    return settled;
}

// Every file under `directory` whose lower-cased suffix is in `suffixes`,
// as os.path.join(root, name), in the order os.walk yields them.
Ref gather(PyObject* globals, PyObject* directory, PyObject* suffixes) noexcept {
    Ref found = Ref::steal(PyList_New(0));
    Ref os = found ? pyobj::global(globals, id<"os">()) : Ref();
    Ref walk = pyobj::attr(os.get(), id<"walk">());
    Ref tree = pyobj::call(walk.get(), directory);
    Ref levels = tree ? Ref::steal(PyObject_GetIter(tree.get())) : Ref();
    if (!levels) return {};
    Ref suffix_index = Ref::steal(PyLong_FromLong(1));
    if (!suffix_index) return {};
    while (Ref level = Ref::steal(PyIter_Next(levels.get()))) {
        std::array<Ref, 3> parts;  // (root, dirs, files)
        if (!pyobj::unpack_exact(level.get(), parts)) return {};
        Ref names = Ref::steal(PyObject_GetIter(parts[2].get()));
        if (!names) return {};
        while (Ref fname = Ref::steal(PyIter_Next(names.get()))) {
            Ref split = os_path_call(globals, id<"splitext">(), fname.get());
            Ref suffix = split ? Ref::steal(PyObject_GetItem(split.get(), suffix_index.get())) : Ref();
            Ref lower = pyobj::call_method(suffix.get(), id<"lower">());
            if (!lower) return {};
            const int wanted = PySequence_Contains(suffixes, lower.get());
            if (wanted < 0) return {};
            if (!wanted) continue;
            Ref path = os_path_call(globals, id<"join">(), parts[0].get(), fname.get());
            if (!path || PyList_Append(found.get(), path.get()) < 0) return {};
        }
        if (PyErr_Occurred()) return {};
    }
    if (PyErr_Occurred()) return {};
    return found;
}

// --- consuming the results --------------------------------------------------

// path, has_trans = future.result(); results[path] = has_trans
bool record(PyObject* future, PyObject* results) noexcept {
    Ref outcome = pyobj::call_method(future, id<"result">());
    if (!outcome) return false;
    std::array<Ref, 2> pair;  // (path, has_trans)
    if (!pyobj::unpack_exact(outcome.get(), pair)) return false;
    return PyObject_SetItem(results, pair[0].get(), pair[1].get()) == 0;
}

// The `except Exception as exc:` branch: one WARNING record through the
// logging module. False with the error to raise when the exception is not an
// Exception or the logging call failed.
bool log_failure(PyObject* globals, PyObject* filepath) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    Ref exc = pyobj::fetch_exception();
    pyobj::HandlingScope handling(exc.get());
    Ref logging = pyobj::global(globals, id<"logging">());
    Ref warning = pyobj::attr(logging.get(), id<"warning">());
    Ref format = Ref::steal(PyUnicode_FromString("检测透明度失败 [%s]: %s"));
    return static_cast<bool>(pyobj::call(warning.get(), format.get(), filepath, exc.get()));
}

// The `finally:` clause: pbar.update(1), run while a pending error (if any)
// is being handled. An error of update() replaces the pending one.
bool advance(PyObject* pbar, bool ok) noexcept {
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (ok) return one && pyobj::call_method(pbar, id<"update">(), one.get());
    Ref pending = pyobj::fetch_exception();
    {
        pyobj::HandlingScope handling(pending.get());
        if (!one || !pyobj::call_method(pbar, id<"update">(), one.get())) return false;
    }
    pyobj::restore_exception(std::move(pending));
    return false;
}

bool consume(PyObject* globals, PyObject* futures, PyObject* pbar, PyObject* results) noexcept {
    Ref as_completed = pyobj::global(globals, id<"as_completed">());
    Ref completed = pyobj::call(as_completed.get(), futures);
    Ref it = completed ? Ref::steal(PyObject_GetIter(completed.get())) : Ref();
    if (!it) return false;
    while (Ref future = Ref::steal(PyIter_Next(it.get()))) {
        Ref filepath = Ref::steal(PyObject_GetItem(futures, future.get()));
        if (!filepath) return false;
        bool ok = record(future.get(), results);
        if (!ok) ok = log_failure(globals, filepath.get());
        if (!advance(pbar, ok) || !ok) return false;
    }
    return !PyErr_Occurred();
}

// Inside the executor's block: submit every file, then follow the results
// under a progress bar.
bool run_pool(PyObject* globals, PyObject* executor, PyObject* check, PyObject* files, PyObject* desc,
              PyObject* tqdm, PyObject* results) noexcept {
    Ref futures = Ref::steal(PyDict_New());
    if (!futures) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files); ++i) {
        PyObject* path = PyList_GET_ITEM(files, i);
        Ref future = pyobj::call_method(executor, id<"submit">(), check, path);
        if (!future || PyDict_SetItem(futures.get(), future.get(), path) < 0) return false;
    }
    Ref total = Ref::steal(PyLong_FromSsize_t(PyDict_GET_SIZE(futures.get())));
    Ref unit = total ? Ref::steal(PyUnicode_FromString("img")) : Ref();
    if (!unit) return false;
    Ref bar = pyobj::call_kw(tqdm, {}, {{id<"total">(), total.get()}, {id<"desc">(), desc}, {id<"unit">(), unit.get()}});
    pyobj::WithBlock bar_block;
    Ref pbar = bar_block.enter(bar.get());
    if (!pbar) return false;
    const bool ok = consume(globals, futures.get(), pbar.get(), results);
    return bar_block.exit(!ok);
}

PyObject* batch_has_multiple_transparency(const pyobj::Call& call) {
    PyObject* globals = call.globals();
    PyObject* directory = call[0];
    PyObject* threshold = call[1];
    PyObject* max_workers = call[2];
    PyObject* desc = call[4];

    Ref tqdm = import_tqdm(globals);
    if (!tqdm || !require_directory(globals, directory)) return nullptr;
    Ref extensions = settle_extensions(call[3]);
    Ref files = extensions ? gather(globals, directory, extensions.get()) : Ref();
    if (!files) return nullptr;

    Ref results = Ref::steal(PyDict_New());
    Ref check = results ? pyobj::make_function(check_def, globals, threshold) : Ref();
    Ref executor_type = check ? pyobj::global(globals, id<"ThreadPoolExecutor">()) : Ref();
    Ref pool = pyobj::call_kw(executor_type.get(), {}, {{id<"max_workers">(), max_workers}});
    pyobj::WithBlock pool_block;
    Ref executor = pool_block.enter(pool.get());
    if (!executor) return nullptr;
    const bool ok = run_pool(globals, executor.get(), check.get(), files.get(), desc, tqdm.get(), results.get());
    if (!pool_block.exit(!ok)) return nullptr;
    return results.release();
}

}  // namespace

const pyobj::FunctionDef batch_has_multiple_transparency_def{
    {"batch_has_multiple_transparency", "ImageTool.batch_has_multiple_transparency", kDoc, kParams, nullptr, nullptr,
     "Dict[str, bool]"},
    batch_has_multiple_transparency,
};

}  // namespace image

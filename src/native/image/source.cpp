#include "image/source.hpp"

#include "pyobj/call.hpp"
#include "pyobj/errors.hpp"
#include "pyobj/names.hpp"

namespace image {

using pyobj::id;

int is_url(PyObject* obj) noexcept {
    if (!PyUnicode_Check(obj)) return 0;
    for (const char* prefix : {"http://", "https://"}) {
        Ref p = Ref::steal(PyUnicode_FromString(prefix));
        if (!p) return -1;
        const Py_ssize_t hit = PyUnicode_Tailmatch(obj, p.get(), 0, PY_SSIZE_T_MAX, -1);
        if (hit != 0) return static_cast<int>(hit);
    }
    return 0;
}

Ref download(PyObject* globals, PyObject* url) noexcept {
    Ref tool = pyobj::global(globals, id<"ImageTool">());
    Ref fetch = pyobj::attr(tool.get(), id<"get_img_url_io">());
    if (!fetch) return {};
    Ref exact = PyUnicode_CheckExact(url) ? Ref::borrow(url) : Ref::steal(PyUnicode_FromObject(url));
    return pyobj::call(fetch.get(), exact.get());
}

bool require_file(PyObject* globals, PyObject* path) noexcept {
    Ref os = pyobj::global(globals, id<"os">());
    Ref os_path = pyobj::attr(os.get(), id<"path">());
    Ref found = pyobj::call_method(os_path.get(), id<"isfile">(), path);
    if (!found) return false;
    const int is_file = PyObject_IsTrue(found.get());
    if (is_file < 0) return false;
    if (is_file) return true;
    // Built by concatenation: PyUnicode_FromFormat takes only ASCII format text.
    Ref prefix = Ref::steal(PyUnicode_FromString("图片文件不存在: "));
    Ref message = prefix ? Ref::steal(PyUnicode_Concat(prefix.get(), path)) : Ref();
    if (message) PyErr_SetObject(PyExc_FileNotFoundError, message.get());
    return false;
}

namespace {

// open(path, "rb") as f: return f.read()
Ref read_file(PyObject* globals, PyObject* path) noexcept {
    Ref open = pyobj::global(globals, id<"open">());
    Ref mode = Ref::steal(PyUnicode_FromString("rb"));
    Ref file = pyobj::call(open.get(), path, mode.get());
    if (!file) return {};
    Ref data = pyobj::call_method(file.get(), id<"read">());
    Ref pending = data ? Ref() : pyobj::fetch_exception();
    Ref closed = pyobj::call_method(file.get(), id<"close">());
    if (pending) {
        // The read error wins; a close error raised on top of it is dropped.
        PyErr_Clear();
        pyobj::restore_exception(std::move(pending));
        return {};
    }
    if (!closed) return {};
    return data;
}

}  // namespace

Ref source_bytes(PyObject* globals, PyObject* image_data) noexcept {
    const int url = is_url(image_data);
    if (url < 0) return {};
    if (url) {
        Ref stream = download(globals, image_data);
        return pyobj::call_method(stream.get(), id<"getvalue">());
    }
    if (PyUnicode_Check(image_data)) {
        if (!require_file(globals, image_data)) return {};
        return read_file(globals, image_data);
    }
    return Ref::borrow(image_data);
}

Ref open_image(PyObject* globals, PyObject* image_data, bool& holds_file) noexcept {
    holds_file = false;
    Ref target;
    const int url = is_url(image_data);
    if (url < 0) return {};
    if (url) {
        target = download(globals, image_data);
    } else if (PyUnicode_Check(image_data)) {
        if (!require_file(globals, image_data)) return {};
        holds_file = true;
        target = Ref::borrow(image_data);
    } else {
        Ref bytes_io = pyobj::global(globals, id<"BytesIO">());
        if (!bytes_io) return {};
        const int is_stream = PyObject_IsInstance(image_data, bytes_io.get());
        if (is_stream < 0) return {};
        if (is_stream) {
            target = Ref::borrow(image_data);
        } else {
            target = pyobj::call(bytes_io.get(), image_data);
        }
    }
    if (!target) return {};
    Ref image_module = pyobj::global(globals, id<"Image">());
    return pyobj::call_method(image_module.get(), id<"open">(), target.get());
}

Ref close_after(Ref result, PyObject* image, bool holds_file) noexcept {
    if (!holds_file || image == nullptr) return result;
    Ref pending = result ? Ref() : pyobj::fetch_exception();
    Ref closed = pyobj::call_method(image, id<"close">());
    if (pending) {
        PyErr_Clear();
        pyobj::restore_exception(std::move(pending));
        return {};
    }
    if (!closed) return {};
    return result;
}

}  // namespace image

// The image source: how an `image_data` argument (URL, path, BytesIO or
// encoded bytes) becomes something to decode.
#pragma once

#include "pyobj/ref.hpp"

namespace image {

using pyobj::Ref;

// 1 when `obj` is a str (subclasses included) starting with "http://" or
// "https://" (case-sensitive), 0 when not, -1 with an error set.
int is_url(PyObject* obj) noexcept;

// ImageTool.get_img_url_io(url), ImageTool looked up as a module global now.
// A URL held in a str subclass is handed over as an exact str copy, since
// the download accepts only exact str.
Ref download(PyObject* globals, PyObject* url) noexcept;

// Raises FileNotFoundError("图片文件不存在: " + path) unless
// os.path.isfile(path); returns false with the error set.
bool require_file(PyObject* globals, PyObject* path) noexcept;

// Byte variant: a URL becomes the downloaded stream's getvalue(), a path the
// file's whole content (read in "rb" mode), anything else is returned as is.
Ref source_bytes(PyObject* globals, PyObject* image_data) noexcept;

// Stream variant: Image.open of the downloaded stream, the path, the given
// BytesIO (unchanged) or a new BytesIO around anything else. `made_here` is
// set when the opened file or stream belongs to this call (a path or a
// download or bytes), i.e. when the image may be closed before returning.
Ref open_image(PyObject* globals, PyObject* image_data, bool& made_here) noexcept;

// Finishes a call that opened `image`: closes it when it was opened from a
// source made by the call itself (never a stream the caller passed in), and
// returns `result`. An error already raised (empty `result`) is kept; a
// close error after success becomes the call's error.
Ref close_after(Ref result, PyObject* image, bool made_here) noexcept;

}  // namespace image

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
// BytesIO (unchanged) or a new BytesIO around anything else. `holds_file` is
// set when the image was opened from a path: it then holds an open file of
// the call's own. Images over streams hold only memory, released with them.
Ref open_image(PyObject* globals, PyObject* image_data, bool& holds_file) noexcept;

// Finishes a call that opened `image`: closes it when it holds a file the
// call opened (never a stream, least of all one the caller passed in), and
// returns `result`. An error already raised (empty `result`) is kept; a
// close error after success becomes the call's error.
Ref close_after(Ref result, PyObject* image, bool holds_file) noexcept;

}  // namespace image

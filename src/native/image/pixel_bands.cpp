#include "image/pixel_bands.hpp"

#include "image/arrow_abi.hpp"
#include "pyobj/buffer.hpp"
#include "pyobj/call.hpp"
#include "pyobj/names.hpp"

#include <algorithm>
#include <cstring>

namespace image {

using pyobj::id;
using pyobj::Ref;

namespace {

// The two capsules of an Arrow export; releasing them releases the export.
struct Export {
    Ref schema;
    Ref array;
};

// About this many bytes of pixels per band: a band stays in the CPU caches
// between the copy that makes it and the kernel that reads it, and the extra
// memory of a call stays small whatever the image size.
constexpr std::size_t kBandBytes = std::size_t{1} << 19;

bool size_value(PyObject* obj, std::size_t& out) noexcept {
    const Py_ssize_t v = PyLong_AsSsize_t(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0) {
        PyErr_SetString(PyExc_ValueError, "image size is negative");
        return false;
    }
    out = static_cast<std::size_t>(v);
    return true;
}

bool plain_uint8(const arrow::ArrowSchema* schema) noexcept {
    return schema != nullptr && schema->format != nullptr && std::strcmp(schema->format, "C") == 0;
}

// The values buffer of a uint8 Arrow array of at least `length` values.
const std::uint8_t* uint8_values(const arrow::ArrowArray* values, std::int64_t length) noexcept {
    if (values == nullptr || values->n_buffers != 2 || values->buffers == nullptr || values->buffers[1] == nullptr ||
        values->null_count != 0 || values->offset < 0 || values->length < length)
        return nullptr;
    return static_cast<const std::uint8_t*>(values->buffers[1]) + values->offset;
}

// The pixel memory behind an Arrow export of an image or band: a fixed-size
// list of 4 uint8 per pixel for 4-byte modes, plain uint8 for 1-byte modes.
// `schema_capsule` may be nullptr for the 1-byte modes, whose element type
// the mode fixes (8-bit palette indices or greys); the array's own layout is
// checked either way. nullptr (and no error) for any other layout; the
// caller then reads the band with tobytes instead.
const std::uint8_t* arrow_pixels(PyObject* schema_capsule, PyObject* array_capsule, std::size_t pixel_count,
                                 std::size_t channels) noexcept {
    arrow::ArrowSchema* schema = nullptr;
    if (schema_capsule != nullptr) {
        schema = static_cast<arrow::ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
        if (schema == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
    }
    auto* array = static_cast<arrow::ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
    if (array == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    const auto count = static_cast<std::int64_t>(pixel_count);
    if ((schema != nullptr && schema->release == nullptr) || array->release == nullptr || array->length != count ||
        array->offset != 0 || array->null_count != 0 || array->dictionary != nullptr)
        return nullptr;
    if (channels == 1) {
        if (schema != nullptr && (!plain_uint8(schema) || schema->n_children != 0)) return nullptr;
        return array->n_children == 0 ? uint8_values(array, count) : nullptr;
    }
    const bool schema_ok = schema != nullptr && schema->format != nullptr && std::strcmp(schema->format, "+w:4") == 0 &&
                           schema->n_children == 1 && schema->children != nullptr && plain_uint8(schema->children[0]);
    if (!schema_ok || array->n_children != 1 || array->children == nullptr) return nullptr;
    return uint8_values(array->children[0], 4 * count);
}

}  // namespace

bool image_size(PyObject* image, ImageSize& size) noexcept {
    Ref value = pyobj::attr(image, id<"size">());
    if (!value) return false;
    if (!PyTuple_Check(value.get()) || PyTuple_GET_SIZE(value.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "image size is not a pair");
        return false;
    }
    return size_value(PyTuple_GET_ITEM(value.get(), 0), size.width) &&
           size_value(PyTuple_GET_ITEM(value.get(), 1), size.height);
}

namespace {

// Pixels of `source` (a loaded image or a band of it) through the Arrow
// export: 1 with `pixels` set, 0 when the export is missing, refused (memory
// split over several blocks) or laid out otherwise, -1 with an error set.
// The image's own __arrow_c_array__ only loads the image (already done
// here) and then exports its core, so the core is asked directly; the
// image's method tells whether this Pillow has the export at all. A 1-byte
// mode skips the schema export: its element type is known, and building
// the schema (a capsule, its metadata text) costs more than counting a
// small image.
int exported_pixels(PyObject* source, std::size_t pixel_count, std::size_t channels, Export& exported,
                    const std::uint8_t*& pixels) noexcept {
    Ref method = pyobj::attr(reinterpret_cast<PyObject*>(Py_TYPE(source)), id<"__arrow_c_array__">());
    Ref core = method ? pyobj::attr(source, id<"im">()) : Ref();
    if (core && channels != 1) exported.schema = pyobj::call_method(core.get(), id<"__arrow_c_schema__">());
    if (core && (channels == 1 || exported.schema))
        exported.array = pyobj::call_method(core.get(), id<"__arrow_c_array__">());
    if (!exported.array) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }
    pixels = arrow_pixels(exported.schema.get(), exported.array.get(), pixel_count, channels);
    return pixels != nullptr ? 1 : 0;
}

}  // namespace

std::size_t bytes_per_pixel(const char* mode) noexcept {
    if (std::strcmp(mode, "RGB") == 0 || std::strcmp(mode, "RGBA") == 0) return 4;
    if (std::strcmp(mode, "P") == 0 || std::strcmp(mode, "L") == 0) return 1;
    return 0;
}

bool for_each_band(PyObject* image, ImageSize size, const char* mode, BandVisitor visit, void* context) noexcept {
    const std::size_t channels = bytes_per_pixel(mode);
    if (channels == 0) {
        PyErr_Format(PyExc_SystemError, "no pixel reader for mode %s", mode);
        return false;
    }
    if (size.width == 0 || size.height == 0) return true;

    // An image held in one memory block is read in place, in one go.
    {
        Export exported;
        const std::uint8_t* pixels = nullptr;
        const int whole = exported_pixels(image, size.width * size.height, channels, exported, pixels);
        if (whole < 0) return false;
        if (whole > 0) {
            pyobj::GilRelease unlocked;
            visit(context, PixelBand{pixels, 0, size.height});
            return true;
        }
    }

    // Otherwise band by band: each band is copied out by crop (one block,
    // so exported in place) or, failing that, packed by tobytes.
    // RGB images keep a fourth, unused byte per pixel in memory; "RGBX"
    // asks tobytes for that same four-byte layout.
    const bool rgb = std::strcmp(mode, "RGB") == 0;
    Ref raw = Ref::steal(PyUnicode_FromString("raw"));
    Ref raw_mode = Ref::steal(PyUnicode_FromString(rgb ? "RGBX" : mode));
    if (!raw || !raw_mode) return false;
    const std::size_t row_bytes = channels * size.width;
    const std::size_t band_rows = std::max<std::size_t>(1, kBandBytes / row_bytes);
    for (std::size_t top = 0; top < size.height; top += band_rows) {
        const std::size_t rows = std::min(band_rows, size.height - top);
        const std::size_t pixel_count = rows * size.width;
        Ref box = Ref::steal(Py_BuildValue("(nnnn)", Py_ssize_t{0}, static_cast<Py_ssize_t>(top),
                                           static_cast<Py_ssize_t>(size.width), static_cast<Py_ssize_t>(top + rows)));
        Ref band = pyobj::call_method(image, id<"crop">(), box.get());
        if (!band) return false;

        Export exported;
        const std::uint8_t* pixels = nullptr;
        if (exported_pixels(band.get(), pixel_count, channels, exported, pixels) < 0) return false;
        Ref bytes;
        pyobj::BufferView view;
        if (pixels == nullptr) {
            bytes = pyobj::call_method(band.get(), id<"tobytes">(), raw.get(), raw_mode.get());
            if (!bytes || !view.acquire(bytes.get())) return false;
            if (view.bytes().size() != channels * pixel_count) {
                PyErr_SetString(PyExc_RuntimeError, "unexpected pixel data length");
                return false;
            }
            pixels = view.bytes().data();
        }
        pyobj::GilRelease unlocked;
        visit(context, PixelBand{pixels, top, rows});
    }
    return true;
}

}  // namespace image

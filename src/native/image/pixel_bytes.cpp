#include "image/pixel_bytes.hpp"

#include "pyobj/call.hpp"
#include "pyobj/names.hpp"

namespace image {

namespace {

// The Arrow C data interface array (a stable ABI).
struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

// A primitive uint8 array of `length` values without nulls: its data buffer.
const std::uint8_t* plain_bytes(const ArrowArray* a, std::size_t length) noexcept {
    if (a == nullptr || a->release == nullptr || a->n_buffers != 2 || a->n_children != 0 || a->offset != 0 ||
        a->null_count > 0 || a->length < 0 || static_cast<std::size_t>(a->length) != length || a->buffers == nullptr ||
        a->buffers[0] != nullptr)
        return nullptr;
    return static_cast<const std::uint8_t*>(a->buffers[1]);
}

}  // namespace

bool export_pixels(PyObject* img, std::size_t channels, std::size_t pixels, PixelBytes& out, bool& failed) noexcept {
    failed = false;
    Ref core = pyobj::attr(img, pyobj::id<"im">());
    Ref capsule = pyobj::call_method(core.get(), pyobj::id<"__arrow_c_array__">());
    if (!capsule) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            failed = true;
            return false;
        }
        PyErr_Clear();
        return false;
    }
    auto* array = static_cast<const ArrowArray*>(PyCapsule_GetPointer(capsule.get(), "arrow_array"));
    if (array == nullptr) {
        PyErr_Clear();
        return false;
    }
    const std::uint8_t* data = nullptr;
    if (channels == 1) {
        data = plain_bytes(array, pixels);
    } else if (array->release != nullptr && array->n_children == 1 && array->offset == 0 && array->null_count <= 0 &&
               array->length >= 0 && static_cast<std::size_t>(array->length) == pixels && array->children != nullptr) {
        data = plain_bytes(array->children[0], pixels * channels);
    }
    if (data == nullptr) return false;
    out.capsule = std::move(capsule);
    out.data = data;
    out.pixels = pixels;
    return true;
}

}  // namespace image

// Zero-copy access to the pixel bytes of a loaded Pillow image, through the
// Arrow C data interface Pillow exports for images stored in one block.
#pragma once

#include "pyobj/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace image {

using pyobj::Ref;

// The bytes of `pixels` pixels of `channels` bytes each, interleaved. The
// capsule keeps the exported memory (and so the image storage) alive; the
// pointer is valid while it lives and may be read without the GIL.
struct PixelBytes {
    Ref capsule;
    const std::uint8_t* data = nullptr;
    std::size_t pixels = 0;
};

// Fills `out` from img.im (the image must be loaded) when the export is
// available and has the expected shape: one uint8 array for `channels` 1,
// a fixed-size list of `channels` uint8 otherwise. Returns false without an
// error when it is not (older Pillow, storage in several blocks): the caller
// then reads the bytes another way. Returns false with an error set only for
// failures that must propagate (memory).
bool export_pixels(PyObject* img, std::size_t channels, std::size_t pixels, PixelBytes& out, bool& failed) noexcept;

}  // namespace image

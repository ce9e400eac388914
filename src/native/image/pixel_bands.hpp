// Reading the pixels of a decoded 8-bit image so that a pixel kernel can scan
// them with the GIL released and without a full-size copy of the image: in
// place when the image memory is one block, else band by band. RGB and RGBA
// images come as four bytes per pixel (R, G, B, then alpha or one unused
// byte); one-byte modes (P, L) as one byte per pixel.
#pragma once

#include "pyobj/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace image {

struct PixelBand {
    const std::uint8_t* pixels;  // rows * width pixels, rows packed
    std::size_t first_row;
    std::size_t rows;
};

struct ImageSize {
    std::size_t width = 0;
    std::size_t height = 0;
};

// image.size as two non-negative sizes; false with an error set.
bool image_size(PyObject* image, ImageSize& size) noexcept;

// Called once per band (or once for the whole image), top band first, with
// the GIL released.
using BandVisitor = void (*)(void* context, const PixelBand& band) noexcept;

// Bytes per pixel in memory for a mode this reader handles ("RGB", "RGBA":
// 4; "P", "L": 1), or 0 for any other mode.
std::size_t bytes_per_pixel(const char* mode) noexcept;

// Visits every row of `image`, a loaded image (its pixels are read from its
// core as they are) whose mode must be one that bytes_per_pixel knows (named
// by `mode`). Returns false with an error set when reading a
// band fails.
bool for_each_band(PyObject* image, ImageSize size, const char* mode, BandVisitor visit, void* context) noexcept;

template <class F>
bool for_each_band(PyObject* image, ImageSize size, const char* mode, F& visit) noexcept {
    return for_each_band(
        image, size, mode, [](void* context, const PixelBand& band) noexcept { (*static_cast<F*>(context))(band); },
        &visit);
}

}  // namespace image

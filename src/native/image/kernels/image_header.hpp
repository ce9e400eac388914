// The pixel size an encoded image declares in its header, read without
// decoding anything, so that oversized images can be refused before a
// decoder allocates memory for them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace image::kernels {

// Sides of at least 1 and at most 2^32 - 1 (as declared_size returns them),
// so the pixel count is exact in 64 bits.
struct DeclaredSize {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t pixels() const noexcept { return width * height; }
};

// The size declared by a PNG, JPEG, JPEG 2000, WebP, GIF, BMP, TIFF or
// BigTIFF, PNM/PAM/PFM, Sun raster, Radiance HDR or AVIF/HEIF header. nullopt
// when the format is not recognised, the header is cut short, or it declares
// a size no image of its format can have (a zero side, a side beyond what
// the format holds): then the decoder has its say.
std::optional<DeclaredSize> declared_size(std::span<const std::uint8_t> data) noexcept;

// Whether the header says the pixels are stored at most one byte each: a
// GIF (always indexed), or a PNG of greyscale or palette colour type with at
// most 8 bits per sample. Such images decode several times faster per pixel
// than colour ones. False when the header is neither or is cut short.
bool one_byte_per_pixel(std::span<const std::uint8_t> data) noexcept;

}  // namespace image::kernels

// The pixel size an encoded image declares in its header, read without
// decoding anything, so that oversized images can be refused before a
// decoder allocates memory for them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace image::kernels {

struct DeclaredSize {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t pixels() const noexcept { return width * height; }
};

// The size declared by a PNG, JPEG, JPEG 2000, WebP, GIF, BMP, TIFF,
// PNM/PAM/PFM, Sun raster, Radiance HDR or AVIF header; nullopt when the
// format is not recognised or the header is cut short.
std::optional<DeclaredSize> declared_size(std::span<const std::uint8_t> data) noexcept;

}  // namespace image::kernels

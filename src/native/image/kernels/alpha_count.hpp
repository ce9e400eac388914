// Counting pixels that are not fully opaque, over raw alpha bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace image::kernels {

// Number of samples below 255 among `count` samples that start at `data` and
// lie `stride` bytes apart (1 for a plain alpha plane, 4 for the alpha byte
// of interleaved RGBA). `data` must cover (count - 1) * stride + 1 bytes.
std::size_t count_not_opaque(const std::uint8_t* data, std::size_t count, std::size_t stride) noexcept;

}  // namespace image::kernels

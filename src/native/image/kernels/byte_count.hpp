// Counting pixels by one byte of their storage (a palette index, an alpha).
#pragma once

#include <cstddef>
#include <cstdint>

namespace image::kernels {

// How many of `count` samples equal `value`. The samples start at `data` and
// lie `stride` bytes apart (1 for a plane of single bytes, 4 for one channel
// of interleaved RGBA); `data` covers (count - 1) * stride + 1 bytes.
std::size_t count_equal(const std::uint8_t* data, std::size_t count, std::size_t stride, std::uint8_t value) noexcept;

}  // namespace image::kernels

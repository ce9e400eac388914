// Counting pixels by one byte of their storage (a palette index, an alpha).
#pragma once

#include <cstddef>
#include <cstdint>

namespace image::kernels {

// How many of `count` samples equal `value`. The samples start at `data` and
// lie `stride` bytes apart (1 for a plane of single bytes, 4 for one channel
// of interleaved RGBA); `data` covers (count - 1) * stride + 1 bytes.
std::size_t count_equal(const std::uint8_t* data, std::size_t count, std::size_t stride, std::uint8_t value) noexcept;

// The instruction sets the packed-byte count can use. Best is the widest the
// CPU supports (chosen once); the others exist so that tests can hold each
// variant against the plain loop on any machine (a variant the CPU lacks
// falls back to the next narrower one).
enum class ByteKernel { Best, Plain, Sse2, Avx2 };

// count_equal with stride 1, by the given variant.
std::size_t count_equal_bytes(const std::uint8_t* data, std::size_t count, std::uint8_t value,
                              ByteKernel kernel) noexcept;

}  // namespace image::kernels

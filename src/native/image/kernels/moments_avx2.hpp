// Row sums of the grey moments and of the 3x3 Laplacian's moments with
// AVX2, thirty-two and sixteen pixels at a time: the same exact integers as
// the plain loops.
#pragma once

#include "image/kernels/simd.hpp"

#include <cstddef>
#include <cstdint>

#if TESSEL_HAVE_AVX2_KERNELS

namespace image::kernels {

// Adds the sum and sum of squares of row[0, n) for the largest n <= width
// that is a multiple of 32 to `sum`, `sum_sq`; returns n. Call only when
// cpu_has_avx2().
std::size_t grey_row_moments_avx2(const std::uint8_t* row, std::size_t width, std::uint64_t& sum,
                                  std::uint64_t& sum_sq) noexcept;

// Adds the Laplacian up + down + left + right - 4 centre (and its square)
// at x in [1, end) to `sum`, `sum_sq`, where end - 1 is the largest
// multiple of 16 with end < width; returns end (1 when the row is too
// short). Call only when cpu_has_avx2().
std::size_t laplacian_row_avx2(const std::uint8_t* up, const std::uint8_t* row, const std::uint8_t* down,
                               std::size_t width, std::int64_t& sum, std::int64_t& sum_sq) noexcept;

}  // namespace image::kernels

#endif

// The colour pass of the plain-colour check (grey bytes, grey sums, HSV
// saturation sum) sixteen BGR pixels at a time with AVX2. Same integer
// formulas as the scalar pass, so the same bytes and sums.
#pragma once

#include "image/kernels/simd.hpp"

#include <cstddef>
#include <cstdint>

#if TESSEL_HAVE_AVX2_KERNELS

namespace image::kernels {

struct ColourSums {
    std::uint64_t grey = 0, grey_sq = 0, saturation = 0;
};

// Converts the first (count / 16) * 16 pixels, adds their sums to `sums`
// and returns how many pixels it did. Call only when cpu_has_avx2().
std::size_t grey_and_saturation_avx2(const std::uint8_t* bgr, std::size_t count, std::uint8_t* grey,
                                     ColourSums& sums) noexcept;

}  // namespace image::kernels

#endif

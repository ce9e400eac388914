// The centre-square energy of a grey image's spectrum by direct DFT sums
// with AVX2 and FMA, four frequencies per vector.
//
// Row sums fold each row into its even and odd parts about x = 0 (real
// input: cos and sin are even and odd in x), and even-width rows once more
// about a quarter of the width, so each kept frequency costs a half or a
// quarter row of multiply-adds; column sums take ky and -ky together from
// the same cosine and sine sums. For the radii of images up to a few
// megapixels this is cheaper than the FFTs.
#pragma once

#include "image/kernels/simd.hpp"

#include <cstddef>
#include <cstdint>

#if TESSEL_HAVE_AVX2_KERNELS

namespace image::kernels {

// Sum of |F(ky, kx)|^2 over ky, kx in [-radius, radius), the DC term left
// out, where F is the DFT of grey - mean. Needs radius >= 1 and both sides
// at least 2 radius + 1. Call only when cpu_has_avx2_fma(). May throw std::bad_alloc.
double centre_square_energy_avx2(const std::uint8_t* grey, std::size_t height, std::size_t width, double mean,
                                 std::size_t radius);

}  // namespace image::kernels

#endif

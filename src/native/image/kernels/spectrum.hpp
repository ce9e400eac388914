// Share of a grey image's spectral energy outside the centre square of
// low frequencies of its (centred) two-dimensional DFT.
//
// With r = min(h, w) / 20 the centre square holds the frequencies
// ky, kx in [-r, r). The total energy comes from Parseval
// (sum |F|^2 = h w sum g^2) and the DC term from the grey sum, both exact
// integers; only the other (2r)^2 - 1 low coefficients are computed: row
// DFTs keep r + 1 columns (the rest follow by conjugate symmetry of real
// input), then column DFTs keep 2r + 1 rows.
#pragma once

#include "image/kernels/gray_stats.hpp"

#include <cstddef>
#include <cstdint>

namespace image::kernels {

enum class SpectrumMethod {
    Automatic,  // vector sums where the processor has AVX2 and the square is small enough; else
                // direct sums for small squares, FFTs otherwise
    Direct,     // direct DFT sums of the needed coefficients only
    Fft,        // full-length FFTs along rows and columns
    Vector,     // direct sums with AVX2 and FMA (Direct where the processor lacks them)
};

// `grey` holds `height` rows of `width` bytes; `moments` are its grey
// moments. Returns 0 for an all-black image. May throw std::bad_alloc.
double high_frequency_share(const std::uint8_t* grey, std::size_t height, std::size_t width,
                            const Moments& moments, SpectrumMethod method = SpectrumMethod::Automatic);

}  // namespace image::kernels

// Exact integer statistics of 8-bit images: grey moments, the 3x3
// Laplacian's moments, the mean HSV saturation of BGR pixels and non-zero
// counts. Plain loops over contiguous row-major bytes; no Python here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace image::kernels {

// Sum and sum of squares of a set of integer samples.
struct Moments {
    std::int64_t sum = 0;
    std::int64_t sum_sq = 0;
    std::uint64_t count = 0;

    void merge(const Moments& other) noexcept {
        sum += other.sum;
        sum_sq += other.sum_sq;
        count += other.count;
    }
    // Population standard deviation, from the exact integer variance
    // count^2 * var = count * sum_sq - sum^2.
    double std_dev() const noexcept;
    double mean() const noexcept;
};

// Moments of `height` x `width` grey bytes (rows `width` apart). Here and
// below, `vectorised` lets a function use AVX2 where the processor has it
// (the same results).
Moments grey_moments(const std::uint8_t* grey, std::size_t height, std::size_t width, bool vectorised = true) noexcept;

// Moments of the Laplacian with kernel [[0,1,0],[1,-4,1],[0,1,0]] over the
// grey image, borders mirrored without repeating the edge pixel
// (dcb|abcd|cba), a side of one pixel mirroring onto itself.
Moments laplacian_moments(const std::uint8_t* grey, std::size_t height, std::size_t width,
                          bool vectorised = true) noexcept;

// The HSV saturation (0..255) of one pixel: the 8-bit fixed-point formula
// of OpenCV's BGR->HSV conversion, which depends only on max and min.
std::uint8_t hsv_saturation(std::uint8_t b, std::uint8_t g, std::uint8_t r) noexcept;

// Sum of the saturation of `count` packed BGR pixels.
std::uint64_t saturation_sum(const std::uint8_t* bgr, std::size_t count) noexcept;

// Grey moments and saturation sum of packed BGR pixels, in one pass.
struct ColourStats {
    Moments grey;
    std::uint64_t saturation_sum = 0;
};

// Converts `count` packed BGR pixels to grey in `grey` with the library's
// 15-bit fixed-point weights (the bytes cvtColor BGR2GRAY gives) and
// measures the grey moments and the saturation sum on the way.
ColourStats grey_and_saturation(const std::uint8_t* bgr, std::size_t count, std::uint8_t* grey,
                                bool vectorised = true) noexcept;

// Number of non-zero bytes.
std::uint64_t count_nonzero(const std::uint8_t* data, std::size_t count) noexcept;

}  // namespace image::kernels

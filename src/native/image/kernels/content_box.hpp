// The bounding box of the content of an RGBA image: the pixels that are
// neither fully transparent nor pure white. Pure C++ over rows of 8-bit
// RGBA pixels, fed band by band from the top row down.
#pragma once

#include <cstddef>
#include <cstdint>

namespace image::kernels {

// A pixel is content when its alpha is above 0 and its colour is not pure
// white (255, 255, 255); pure white counts as background whatever its alpha.
inline bool is_content_pixel(const std::uint8_t* rgba) noexcept {
    return (rgba[3] != 0) & ((rgba[0] & rgba[1] & rgba[2]) != 0xFF);
}

class ContentBox {
public:
    explicit ContentBox(std::size_t width) noexcept : width_(width), left_(width) {}

    // Scans `rows` rows of `width` packed RGBA pixels that start at image
    // row `first_row`. Bands must come in increasing row order.
    void scan_rows(const std::uint8_t* rgba, std::size_t first_row, std::size_t rows) noexcept;

    bool empty() const noexcept { return !found_; }
    // Column and row of the first content pixel, and one past the last
    // (exclusive bounds); meaningful only when not empty().
    std::size_t left() const noexcept { return left_; }
    std::size_t top() const noexcept { return top_; }
    std::size_t right() const noexcept { return right_; }
    std::size_t bottom() const noexcept { return bottom_; }

private:
    std::size_t width_;
    bool found_ = false;
    std::size_t left_;
    std::size_t top_ = 0;
    std::size_t right_ = 0;
    std::size_t bottom_ = 0;
};

}  // namespace image::kernels

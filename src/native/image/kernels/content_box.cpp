#include "image/kernels/content_box.hpp"

namespace image::kernels {
namespace {

// Pixels tested together before branching: the fixed-size test compiles to
// straight-line (vectorisable) code, and only a chunk that holds content is
// looked at pixel by pixel.
constexpr std::size_t kChunk = 16;

bool chunk_has_content(const std::uint8_t* rgba) noexcept {
    bool any = false;
    for (std::size_t k = 0; k < kChunk; ++k) any |= is_content_pixel(rgba + 4 * k);
    return any;
}

// Column of the first content pixel in [from, to) of a row, or `to`.
std::size_t first_content(const std::uint8_t* row, std::size_t from, std::size_t to) noexcept {
    std::size_t x = from;
    for (; x + kChunk <= to; x += kChunk)
        if (chunk_has_content(row + 4 * x)) break;
    for (; x < to; ++x)
        if (is_content_pixel(row + 4 * x)) return x;
    return to;
}

// One past the column of the last content pixel in [from, to) of a row, or
// `from` when there is none.
std::size_t last_content_end(const std::uint8_t* row, std::size_t from, std::size_t to) noexcept {
    std::size_t x = to;
    for (; x >= from + kChunk; x -= kChunk)
        if (chunk_has_content(row + 4 * (x - kChunk))) break;
    for (; x > from; --x)
        if (is_content_pixel(row + 4 * (x - 1))) return x;
    return from;
}

}  // namespace

void ContentBox::scan_rows(const std::uint8_t* rgba, std::size_t first_row, std::size_t rows) noexcept {
    const std::size_t stride = 4 * width_;
    for (std::size_t y = 0; y < rows; ++y) {
        const std::uint8_t* row = rgba + y * stride;
        // Stops at the row's first content pixel, so a row that reaches
        // inside the box costs only its margin on each side.
        const std::size_t first = first_content(row, 0, width_);
        if (first == width_) continue;
        // The row's last content pixel matters only beyond the current right
        // edge (and is at least `first`).
        const std::size_t scan_from = right_ > first + 1 ? right_ : first + 1;
        const std::size_t end = last_content_end(row, scan_from, width_);
        const std::size_t row_right = end > scan_from ? end : first + 1;
        if (!found_) {
            found_ = true;
            top_ = first_row + y;
        }
        if (first < left_) left_ = first;
        if (row_right > right_) right_ = row_right;
        bottom_ = first_row + y + 1;
    }
}

}  // namespace image::kernels

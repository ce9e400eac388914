#include "image/kernels/byte_count.hpp"

namespace image::kernels {

namespace {

// Blocks small enough for a 32-bit counter keep the loops branch-free and
// let the compiler vectorise them.
constexpr std::size_t kBlock = std::size_t{1} << 24;

template <std::size_t Stride>
std::size_t count_fixed(const std::uint8_t* data, std::size_t count, std::uint8_t value) noexcept {
    std::size_t total = 0;
    while (count > 0) {
        const std::size_t n = count < kBlock ? count : kBlock;
        std::uint32_t hits = 0;
        for (std::size_t i = 0; i < n; ++i) hits += data[i * Stride] == value;
        total += hits;
        data += n * Stride;
        count -= n;
    }
    return total;
}

}  // namespace

std::size_t count_equal(const std::uint8_t* data, std::size_t count, std::size_t stride, std::uint8_t value) noexcept {
    if (stride == 1) return count_fixed<1>(data, count, value);
    if (stride == 4) return count_fixed<4>(data, count, value);
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += data[i * stride] == value;
    return total;
}

}  // namespace image::kernels

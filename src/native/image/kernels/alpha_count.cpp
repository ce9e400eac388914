#include "image/kernels/alpha_count.hpp"

namespace image::kernels {

namespace {

// The packed case is the one on the hot path; a branch-free loop whose
// per-block counter fits in 32 bits lets the compiler vectorise it.
std::size_t count_packed(const std::uint8_t* data, std::size_t count) noexcept {
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    std::size_t total = 0;
    while (count > 0) {
        const std::size_t n = count < kBlock ? count : kBlock;
        std::uint32_t below = 0;
        for (std::size_t i = 0; i < n; ++i) below += data[i] != 0xFF;
        total += below;
        data += n;
        count -= n;
    }
    return total;
}

}  // namespace

std::size_t count_not_opaque(const std::uint8_t* data, std::size_t count, std::size_t stride) noexcept {
    if (stride == 1) return count_packed(data, count);
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += data[i * stride] != 0xFF;
    return total;
}

}  // namespace image::kernels

// The 8-bit HSV saturation of a pixel depends only on its largest and
// smallest channel: ((max - min) * round((255 << 12) / max) + (1 << 11)) >> 12,
// the library's fixed-point formula. The rounded divisor per max fits a
// small table that stays in L1.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

namespace image::kernels {

constexpr int kSaturationShift = 12;

struct SaturationDivisors {
    std::array<std::int32_t, 256> by_max{};
    SaturationDivisors() noexcept {
        for (int hi = 1; hi < 256; ++hi)
            by_max[hi] = static_cast<std::int32_t>(std::lround((255 << kSaturationShift) / static_cast<double>(hi)));
    }
};

inline const SaturationDivisors kSaturationDivisors;

inline std::uint32_t saturation_of(std::uint32_t b, std::uint32_t g, std::uint32_t r) noexcept {
    const std::uint32_t hi = b > g ? (b > r ? b : r) : (g > r ? g : r);
    const std::uint32_t lo = b < g ? (b < r ? b : r) : (g < r ? g : r);
    return static_cast<std::uint32_t>(
        (static_cast<std::int32_t>(hi - lo) * kSaturationDivisors.by_max[hi] + (1 << (kSaturationShift - 1))) >>
        kSaturationShift);
}

}  // namespace image::kernels

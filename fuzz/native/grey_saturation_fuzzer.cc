// The colour pass of the plain-colour check: grey bytes, grey sums and the
// HSV saturation sum of packed BGR pixels, from the AVX2 pass (where the
// processor has it) and the plain loop, against the library's fixed-point
// formulas computed one pixel at a time. Everything here is integer, so
// every path must give the same bytes and sums, bit for bit.
#include "image/kernels/gray_stats.hpp"
#include "pixel_input.hpp"

#include <cstring>

namespace k = image::kernels;

namespace {

// BGR -> grey as the library converts: 15-bit weights, rounded.
std::uint8_t grey_of(std::uint32_t b, std::uint32_t g, std::uint32_t r) {
    return static_cast<std::uint8_t>((b * 3735 + g * 19235 + r * 9798 + (1 << 14)) >> 15);
}

// The library's 8-bit saturation: (max - min) * round(255 * 2^12 / max),
// scaled back by 2^12 with rounding; 0 for black.
std::uint32_t saturation_of(std::uint32_t b, std::uint32_t g, std::uint32_t r) {
    const std::uint32_t hi = std::max({b, g, r}), lo = std::min({b, g, r});
    if (hi == 0) return 0;
    const std::uint32_t divisor = ((255u << 12) * 2 + hi) / (2 * hi);  // round(255 * 2^12 / hi)
    return ((hi - lo) * divisor + (1u << 11)) >> 12;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const fuzz::Size s = fuzz::take_size(in, 1 << 14, 1 << 12);
    const std::size_t count = s.height * s.width;
    const std::vector<std::uint8_t> bgr = fuzz::take_pixels(in, 3 * count, 3 * s.width);

    std::vector<std::uint8_t> want(count);
    std::uint64_t sum = 0, sum_sq = 0, saturation = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* p = &bgr[3 * i];
        want[i] = grey_of(p[0], p[1], p[2]);
        sum += want[i];
        sum_sq += std::uint64_t{want[i]} * want[i];
        saturation += saturation_of(p[0], p[1], p[2]);
    }

    for (const bool vectorised : {true, false}) {
        std::vector<std::uint8_t> grey(count);
        const k::ColourStats got = k::grey_and_saturation(bgr.data(), count, grey.data(), vectorised);
        fuzz::expect(grey == want, "grey bytes");
        fuzz::expect(got.grey.sum == static_cast<std::int64_t>(sum), "grey sum");
        fuzz::expect(got.grey.sum_sq == static_cast<std::int64_t>(sum_sq), "grey sum of squares");
        fuzz::expect(got.grey.count == count, "grey count");
        fuzz::expect(got.saturation_sum == saturation, "saturation sum");
    }
    fuzz::expect(k::saturation_sum(bgr.data(), count) == saturation, "saturation-only sum");
    return 0;
}

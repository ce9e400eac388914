// Line-colour classes of packed 4-byte pixels with the thresholds clamped
// as the method clamps them, against the classification written out per
// pixel with the thresholds as given (any 64-bit value) in 64-bit
// arithmetic. Integer counts: exactly equal.
#include "image/kernels/line_colors.hpp"
#include "pixel_input.hpp"

namespace k = image::kernels;

namespace {

// A threshold near the channels' range, at its clamping edges, or anywhere.
long long take_threshold(fuzz::Input& in) {
    const std::uint8_t how = in.byte();
    if (how < 128) return static_cast<long long>(how) * 3 - 64;           // -64 .. 317
    if (how < 192) return static_cast<long long>(how % 8) - 260 + (how & 8 ? 516 : 0);  // around -256 and 256
    const std::uint64_t v = static_cast<std::uint64_t>(in.u32()) << 32 | in.u32();
    return static_cast<long long>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const long long dark = take_threshold(in), gap = take_threshold(in);
    const fuzz::Size s = fuzz::take_size(in, 1 << 14, 1 << 13);
    const std::size_t pixels = s.height * s.width;
    const std::vector<std::uint8_t> rgbx = fuzz::take_pixels(in, 4 * pixels, 4 * s.width);

    k::LineColorCounts want;
    for (std::size_t i = 0; i < pixels; ++i) {
        const long long r = rgbx[4 * i], g = rgbx[4 * i + 1], b = rgbx[4 * i + 2];
        const bool is_dark = r <= dark && g <= dark && b <= dark;
        const bool is_white = r >= 240 && g >= 240 && b >= 240;
        const bool non_bg = !(is_dark || is_white);
        const bool green_lead = non_bg && g - r > gap && g - b > gap;
        want.non_background += non_bg;
        want.green += green_lead && (b * 10 < g * 6 || (r < 120 && r < b));
        want.red += non_bg && r - g > gap && r - b > gap && b * 10 < r * 6;
    }

    k::LineColorCounts got;
    const k::LineColorRule rule{k::clamp_dark_max(dark), k::clamp_gap(gap)};
    // In two calls, as bands arrive: the counts add up.
    const std::size_t split = 4 * (pixels / 3);
    k::count_line_colors({rgbx.data(), split}, rule, got);
    k::count_line_colors({rgbx.data() + split, 4 * pixels - split}, rule, got);
    fuzz::expect(got.non_background == want.non_background, "non-background count");
    fuzz::expect(got.green == want.green, "green count");
    fuzz::expect(got.red == want.red, "red count");
    return 0;
}

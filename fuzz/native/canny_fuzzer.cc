// Canny edge maps from the AVX2 passes (where the processor has them) and
// the plain passes, against the detector written out pixel by pixel: 3x3
// Sobel over a replicated border, L1 magnitude, suppression across the
// gradient direction (sectors at 22.5 and 67.5 degrees in the library's
// 15-bit fixed point), then hysteresis as a flood fill. Integer throughout:
// the maps and counts are bit-identical on every path.
#include "image/kernels/canny.hpp"
#include "pixel_input.hpp"

#include <cstdlib>

namespace k = image::kernels;

namespace {

std::vector<std::uint8_t> reference_edges(const std::vector<std::uint8_t>& grey, std::size_t h, std::size_t w, int low,
                                          int high) {
    if (low > high) std::swap(low, high);
    const auto H = static_cast<std::ptrdiff_t>(h), W = static_cast<std::ptrdiff_t>(w);
    auto px = [&](std::ptrdiff_t y, std::ptrdiff_t x) -> int {
        return grey[static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(y, 0, H - 1)) * w +
                    static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(x, 0, W - 1))];
    };
    std::vector<int> dx(h * w), dy(h * w), mag(h * w);
    for (std::ptrdiff_t y = 0; y < H; ++y)
        for (std::ptrdiff_t x = 0; x < W; ++x) {
            const int gx = px(y - 1, x + 1) + 2 * px(y, x + 1) + px(y + 1, x + 1) - px(y - 1, x - 1) - 2 * px(y, x - 1) -
                           px(y + 1, x - 1);
            const int gy = px(y + 1, x - 1) + 2 * px(y + 1, x) + px(y + 1, x + 1) - px(y - 1, x - 1) - 2 * px(y - 1, x) -
                           px(y - 1, x + 1);
            const std::size_t i = static_cast<std::size_t>(y * W + x);
            dx[i] = gx;
            dy[i] = gy;
            mag[i] = std::abs(gx) + std::abs(gy);
        }
    // Magnitude outside the image is 0: no neighbour past the edge wins.
    auto m = [&](std::ptrdiff_t y, std::ptrdiff_t x) {
        return y < 0 || y >= H || x < 0 || x >= W ? 0 : mag[static_cast<std::size_t>(y * W + x)];
    };
    // 0: not an edge, 1: candidate, 2: edge.
    std::vector<std::uint8_t> state(h * w, 0);
    std::vector<std::size_t> stack;
    for (std::ptrdiff_t y = 0; y < H; ++y)
        for (std::ptrdiff_t x = 0; x < W; ++x) {
            const std::size_t i = static_cast<std::size_t>(y * W + x);
            const long long ax = std::abs(dx[i]), ay = static_cast<long long>(std::abs(dy[i])) << 15;
            const long long tg22 = ax * 13573, tg67 = tg22 + (ax << 16);
            const int v = mag[i];
            bool peak;
            if (ay < tg22)
                peak = v > m(y, x - 1) && v >= m(y, x + 1);
            else if (ay > tg67)
                peak = v > m(y - 1, x) && v >= m(y + 1, x);
            else {
                const std::ptrdiff_t s = (dx[i] < 0) != (dy[i] < 0) ? -1 : 1;
                peak = v > m(y - 1, x - s) && v > m(y + 1, x + s);
            }
            if (!peak || v <= low) continue;
            state[i] = v > high ? 2 : 1;
            if (state[i] == 2) stack.push_back(i);
        }
    while (!stack.empty()) {
        const std::size_t i = stack.back();
        stack.pop_back();
        const auto y = static_cast<std::ptrdiff_t>(i / w), x = static_cast<std::ptrdiff_t>(i % w);
        for (std::ptrdiff_t ny = y - 1; ny <= y + 1; ++ny)
            for (std::ptrdiff_t nx = x - 1; nx <= x + 1; ++nx) {
                if (ny < 0 || ny >= H || nx < 0 || nx >= W) continue;
                const std::size_t j = static_cast<std::size_t>(ny * W + nx);
                if (state[j] != 1) continue;
                state[j] = 2;
                stack.push_back(j);
            }
    }
    std::vector<std::uint8_t> edges(h * w);
    for (std::size_t i = 0; i < h * w; ++i) edges[i] = state[i] == 2 ? 255 : 0;
    return edges;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    // Thresholds around the magnitudes' range (0 to 2040) and beyond 16 bits.
    auto threshold = [&in]() -> int {
        const std::uint8_t how = in.byte();
        if (how < 200) return how % 100;
        if (how < 250) return static_cast<int>(in.u16() % 2100) - 20;
        return static_cast<int>(in.u32());
    };
    const int low = threshold(), high = threshold();
    const fuzz::Size s = fuzz::take_size(in, 1 << 14, 1 << 12);
    const std::vector<std::uint8_t> grey = fuzz::take_pixels(in, s.height * s.width, s.width);

    const std::vector<std::uint8_t> want = reference_edges(grey, s.height, s.width, low, high);
    std::uint64_t want_count = 0;
    for (std::uint8_t e : want) want_count += e != 0;
    for (const bool vectorised : {true, false}) {
        std::vector<std::uint8_t> got(want.size());
        fuzz::expect(k::canny_edges(grey.data(), s.height, s.width, low, high, got.data(), vectorised) == want_count,
                     "edge count of the map");
        fuzz::expect(got == want, "edge map");
        fuzz::expect(k::canny_edge_count(grey.data(), s.height, s.width, low, high, vectorised) == want_count,
                     "edge count");
    }
    return 0;
}

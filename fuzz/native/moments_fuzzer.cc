// Grey moments and the 3x3 Laplacian's moments (borders mirrored without
// repeating the edge pixel) from the AVX2 row sums (where the processor has
// them) and the plain loops, against sums over an explicitly mirrored
// image. Integer sums: bit-identical on every path.
#include "image/kernels/gray_stats.hpp"
#include "pixel_input.hpp"

namespace k = image::kernels;

namespace {

// Index p of [0, n) mirrored as dcb|abcd|cba; one sample mirrors onto itself.
std::size_t mirror(std::ptrdiff_t p, std::size_t n) {
    if (n == 1) return 0;
    if (p < 0) return static_cast<std::size_t>(-p);
    if (static_cast<std::size_t>(p) >= n) return 2 * (n - 1) - static_cast<std::size_t>(p);
    return static_cast<std::size_t>(p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const fuzz::Size s = fuzz::take_size(in, 1 << 15, 1 << 13);
    const std::size_t h = s.height, w = s.width;
    const std::vector<std::uint8_t> grey = fuzz::take_pixels(in, h * w, w);
    auto at = [&](std::ptrdiff_t y, std::ptrdiff_t x) -> std::int64_t { return grey[mirror(y, h) * w + mirror(x, w)]; };

    std::int64_t sum = 0, sum_sq = 0, lap_sum = 0, lap_sq = 0;
    for (std::ptrdiff_t y = 0; y < static_cast<std::ptrdiff_t>(h); ++y)
        for (std::ptrdiff_t x = 0; x < static_cast<std::ptrdiff_t>(w); ++x) {
            const std::int64_t v = at(y, x);
            sum += v;
            sum_sq += v * v;
            const std::int64_t l = at(y - 1, x) + at(y + 1, x) + at(y, x - 1) + at(y, x + 1) - 4 * v;
            lap_sum += l;
            lap_sq += l * l;
        }

    for (const bool vectorised : {true, false}) {
        const k::Moments g = k::grey_moments(grey.data(), h, w, vectorised);
        fuzz::expect(g.sum == sum && g.sum_sq == sum_sq && g.count == h * w, "grey moments");
        const k::Moments l = k::laplacian_moments(grey.data(), h, w, vectorised);
        fuzz::expect(l.sum == lap_sum && l.sum_sq == lap_sq && l.count == h * w, "Laplacian moments");
    }
    return 0;
}

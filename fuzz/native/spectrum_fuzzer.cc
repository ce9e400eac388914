// The high-frequency share of the spectrum from each way of computing the
// centre square's energy (direct sums, FFTs, the AVX2 sums where the
// processor has them with FMA) against a direct two-dimensional DFT in
// long double over every pixel.
//
// These are floating-point sums in different orders (and the vector sums
// fuse their multiply-adds), so they are not bit-identical to each other.
// What holds, and is checked: the share, a value in [0, 1] that the
// plain-colour check rounds to six decimals, is within 1e-12 of the exact
// DFT's on every path, so after that rounding all paths give the same
// number unless the exact value lies within 1e-12 of a rounding boundary.
// Black images give exactly 0, images with a side under 20 exactly 1.
#include "image/kernels/gray_stats.hpp"
#include "image/kernels/spectrum.hpp"
#include "pixel_input.hpp"

#include <cmath>
#include <complex>

namespace k = image::kernels;

namespace {

constexpr double kTolerance = 1e-12;

// e^(-2 pi i k t / n) for t in [0, n), k in [-r, r): row k + r.
std::vector<std::complex<long double>> twiddles(std::size_t n, std::size_t r) {
    const long double pi = 3.14159265358979323846264338327950288L;
    std::vector<std::complex<long double>> t(2 * r * n);
    for (std::size_t i = 0; i < 2 * r; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const long double k = static_cast<long double>(i) - static_cast<long double>(r);
            t[i * n + j] = std::polar(1.0L, -2 * pi * k * static_cast<long double>(j) / static_cast<long double>(n));
        }
    return t;
}

// The share for an image with a non-empty centre square (radius r >= 1).
long double reference_share(const std::vector<std::uint8_t>& grey, std::size_t h, std::size_t w, std::size_t r) {
    long double sum = 0, sum_sq = 0;
    for (std::uint8_t v : grey) {
        sum += v;
        sum_sq += static_cast<long double>(v) * v;
    }
    const long double n = static_cast<long double>(h * w), mean = sum / n;
    const long double total = n * sum_sq;  // Parseval: sum of |F|^2 over every frequency
    const long double without_dc = total - sum * sum;
    const auto ty = twiddles(h, r), tx = twiddles(w, r);
    long double low = 0;  // the centre square's energy, DC left out
    for (std::size_t i = 0; i < 2 * r; ++i)
        for (std::size_t j = 0; j < 2 * r; ++j) {
            if (i == r && j == r) continue;
            std::complex<long double> f = 0;
            for (std::size_t y = 0; y < h; ++y)
                for (std::size_t x = 0; x < w; ++x)
                    f += (static_cast<long double>(grey[y * w + x]) - mean) * ty[i * h + y] * tx[j * w + x];
            low += std::norm(f);
        }
    return std::max<long double>(0, without_dc - low) / total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    // Most inputs with both sides at least 20 (a non-empty centre square);
    // the direct DFT costs (2r)^2 h w, so the area stays small.
    const std::size_t min_side = in.byte() < 32 ? 1 : 20;
    const fuzz::Size s = fuzz::take_size(in, 2400, 400, min_side);
    const std::vector<std::uint8_t> grey = fuzz::take_pixels(in, s.height * s.width, s.width);
    const k::Moments moments = k::grey_moments(grey.data(), s.height, s.width);

    const std::size_t radius = std::min(s.height, s.width) / 20;
    const bool black = moments.sum == 0;
    const long double want = black || radius == 0 ? 0 : reference_share(grey, s.height, s.width, radius);
    for (const k::SpectrumMethod method : {k::SpectrumMethod::Automatic, k::SpectrumMethod::Direct,
                                           k::SpectrumMethod::Fft, k::SpectrumMethod::Vector}) {
        const double got = k::high_frequency_share(grey.data(), s.height, s.width, moments, method);
        if (black)
            fuzz::expect(got == 0.0, "share of a black image");
        else if (radius == 0)
            fuzz::expect(got == 1.0, "share of an image without a centre square");
        else
            fuzz::expect(std::fabs(static_cast<long double>(got) - want) <= kTolerance, "share within 1e-12");
    }
    return 0;
}

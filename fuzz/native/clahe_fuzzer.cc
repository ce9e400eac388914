// CLAHE from the AVX2 tables and blending (where the processor has them)
// and the plain loops, against the library's algorithm written out: the
// image extended by a mirrored border to whole tiles, per-tile clipped
// histograms with the cut pixels handed back, lookup tables scaled in
// single precision, and every pixel blended from its four nearest tiles
// in single precision, rounded to nearest even. The float operations are
// the same and in the same order everywhere (contraction is off), so the
// output bytes are bit-identical on every path.
#include "image/kernels/clahe.hpp"
#include "pixel_input.hpp"

#include <cmath>

namespace k = image::kernels;

namespace {

std::size_t mirror(std::size_t p, std::size_t n) {
    if (n == 1) return 0;
    // Only positions past the end occur here; they may go round more than once.
    std::ptrdiff_t q = static_cast<std::ptrdiff_t>(p);
    const auto last = static_cast<std::ptrdiff_t>(n - 1);
    while (q < 0 || q > last) q = q < 0 ? -q : 2 * last - q;
    return static_cast<std::size_t>(q);
}

std::uint8_t saturate(float v) {
    const long r = std::lrint(v);  // nearest, ties to even
    return static_cast<std::uint8_t>(std::clamp<long>(r, 0, 255));
}

std::vector<std::uint8_t> reference_clahe(const std::vector<std::uint8_t>& src, std::size_t h, std::size_t w,
                                          double clip_limit, int tiles_x, int tiles_y) {
    const auto tx = static_cast<std::size_t>(tiles_x), ty = static_cast<std::size_t>(tiles_y);
    // Uneven sides: both sides are extended (by a whole tile when even).
    std::size_t ew = w, eh = h;
    if (w % tx != 0 || h % ty != 0) {
        ew = w + tx - w % tx;
        eh = h + ty - h % ty;
    }
    const std::size_t tw = ew / tx, th = eh / ty;
    const int area = static_cast<int>(tw * th);
    int clip = 0;
    if (clip_limit > 0.0) clip = std::max(static_cast<int>(clip_limit * area / 256), 1);
    const float scale = 255.0f / static_cast<float>(area);

    std::vector<std::uint8_t> lut(tx * ty * 256);
    for (std::size_t j = 0; j < ty; ++j)
        for (std::size_t i = 0; i < tx; ++i) {
            int hist[256] = {};
            for (std::size_t y = j * th; y < (j + 1) * th; ++y)
                for (std::size_t x = i * tw; x < (i + 1) * tw; ++x) ++hist[src[mirror(y, h) * w + mirror(x, w)]];
            if (clip > 0) {
                int clipped = 0;
                for (int& b : hist)
                    if (b > clip) {
                        clipped += b - clip;
                        b = clip;
                    }
                const int batch = clipped / 256;
                int residual = clipped - batch * 256;
                for (int& b : hist) b += batch;
                if (residual != 0) {
                    const int step = std::max(256 / residual, 1);
                    for (int v = 0; v < 256 && residual > 0; v += step, --residual) ++hist[v];
                }
            }
            int sum = 0;
            for (int v = 0; v < 256; ++v) {
                sum += hist[v];
                lut[(j * tx + i) * 256 + static_cast<std::size_t>(v)] = saturate(static_cast<float>(sum) * scale);
            }
        }

    std::vector<std::uint8_t> out(h * w);
    const float inv_tw = 1.0f / static_cast<float>(tw), inv_th = 1.0f / static_cast<float>(th);
    for (std::size_t y = 0; y < h; ++y) {
        const float tyf = static_cast<float>(static_cast<int>(y)) * inv_th - 0.5f;
        const int ty1 = static_cast<int>(std::floor(tyf));
        const float ya = tyf - static_cast<float>(ty1), ya1 = 1.0f - ya;
        const std::size_t r1 = static_cast<std::size_t>(std::max(ty1, 0));
        const std::size_t r2 = static_cast<std::size_t>(std::min(ty1 + 1, tiles_y - 1));
        for (std::size_t x = 0; x < w; ++x) {
            const float txf = static_cast<float>(static_cast<int>(x)) * inv_tw - 0.5f;
            const int tx1 = static_cast<int>(std::floor(txf));
            const float xa = txf - static_cast<float>(tx1), xa1 = 1.0f - xa;
            const std::size_t c1 = static_cast<std::size_t>(std::max(tx1, 0));
            const std::size_t c2 = static_cast<std::size_t>(std::min(tx1 + 1, tiles_x - 1));
            const std::size_t v = src[y * w + x];
            auto t = [&](std::size_t r, std::size_t c) { return static_cast<float>(lut[(r * tx + c) * 256 + v]); };
            const float res = (t(r1, c1) * xa1 + t(r1, c2) * xa) * ya1 + (t(r2, c1) * xa1 + t(r2, c2) * xa) * ya;
            out[y * w + x] = saturate(res);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    // Clip limits: none, the plain-colour check's 4, one pixel per bin, and others.
    constexpr double kClips[] = {0.0, 4.0, 1e-6, 0.5, 1.0, 2.0, 3.7, 40.0, 1000.0, -1.0};
    const double clip = kClips[in.byte() % std::size(kClips)];
    const std::uint8_t tiles = in.byte();
    const int tiles_x = 1 + tiles % 16, tiles_y = 1 + (tiles >> 4);
    const fuzz::Size s = fuzz::take_size(in, 1 << 14, 1 << 12);
    const std::vector<std::uint8_t> grey = fuzz::take_pixels(in, s.height * s.width, s.width);

    const std::vector<std::uint8_t> want = reference_clahe(grey, s.height, s.width, clip, tiles_x, tiles_y);
    for (const bool vectorised : {true, false}) {
        std::vector<std::uint8_t> got(want.size());
        k::clahe(grey.data(), s.height, s.width, clip, tiles_x, tiles_y, got.data(), vectorised);
        fuzz::expect(got == want, vectorised ? "equalised bytes (vector path)" : "equalised bytes (plain path)");
    }
    return 0;
}

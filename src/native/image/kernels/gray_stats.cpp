#include "image/kernels/gray_stats.hpp"

#include "image/kernels/grey_saturation_avx2.hpp"
#include "image/kernels/moments_avx2.hpp"
#include "image/kernels/parallel.hpp"
#include "image/kernels/saturation.hpp"
#include "image/kernels/simd.hpp"

#include <array>
#include <cmath>

namespace image::kernels {

namespace {

// Rows per slice below which splitting over threads does not pay.
constexpr std::size_t kRowsPerSlicePixels = 1 << 18;

std::size_t min_rows_for(std::size_t width) noexcept {
    return std::max<std::size_t>(1, kRowsPerSlicePixels / std::max<std::size_t>(1, width));
}

}  // namespace

double Moments::std_dev() const noexcept {
    if (count == 0) return std::nan("");
    using wide = __int128;
    const wide scaled = static_cast<wide>(count) * static_cast<wide>(sum_sq) -
                        static_cast<wide>(sum) * static_cast<wide>(sum);
    const double n = static_cast<double>(count);
    return std::sqrt(static_cast<double>(scaled) / n / n);
}

double Moments::mean() const noexcept {
    if (count == 0) return std::nan("");
    return static_cast<double>(sum) / static_cast<double>(count);
}

Moments grey_moments(const std::uint8_t* grey, std::size_t height, std::size_t width, bool vectorised) noexcept {
    const bool avx2 = vectorised && cpu_has_avx2();
    std::array<Moments, kMaxSlices> parts{};
    for_row_slices(height, min_rows_for(width), [&](std::size_t part, std::size_t y0, std::size_t y1) {
        Moments m;
        for (std::size_t y = y0; y < y1; ++y) {
            const std::uint8_t* row = grey + y * width;
            std::uint64_t s = 0, s2 = 0;
#if TESSEL_HAVE_AVX2_KERNELS
            const std::size_t done = avx2 ? grey_row_moments_avx2(row, width, s, s2) : 0;
#else
            const std::size_t done = 0;
            (void)avx2;
#endif
            for (std::size_t x = done; x < width; ++x) {
                const std::uint32_t v = row[x];
                s += v;
                s2 += v * v;
            }
            m.sum += static_cast<std::int64_t>(s);
            m.sum_sq += static_cast<std::int64_t>(s2);
        }
        m.count = static_cast<std::uint64_t>(y1 - y0) * width;
        parts[part] = m;
    });
    Moments total;
    for (const Moments& m : parts) total.merge(m);
    return total;
}

namespace {

// Laplacian moments of row y, whose mirrored neighbours are `up` and `down`.
void laplacian_row(const std::uint8_t* up, const std::uint8_t* row, const std::uint8_t* down,
                   std::size_t width, bool avx2, std::int64_t& sum, std::int64_t& sum_sq) noexcept {
    auto at = [&](std::size_t x, std::int32_t left, std::int32_t right) {
        const std::int32_t l = up[x] + down[x] + left + right - 4 * static_cast<std::int32_t>(row[x]);
        sum += l;
        sum_sq += static_cast<std::int64_t>(l) * l;
    };
    if (width == 1) {
        at(0, row[0], row[0]);
        return;
    }
    at(0, row[1], row[1]);
    std::int64_t s = 0, s2 = 0;
#if TESSEL_HAVE_AVX2_KERNELS
    const std::size_t from = avx2 ? laplacian_row_avx2(up, row, down, width, s, s2) : 1;
#else
    const std::size_t from = 1;
    (void)avx2;
#endif
    for (std::size_t x = from; x + 1 < width; ++x) {
        const std::int32_t l = up[x] + down[x] + row[x - 1] + row[x + 1] - 4 * static_cast<std::int32_t>(row[x]);
        s += l;
        s2 += static_cast<std::int64_t>(l) * l;
    }
    sum += s;
    sum_sq += s2;
    at(width - 1, row[width - 2], row[width - 2]);
}

}  // namespace

Moments laplacian_moments(const std::uint8_t* grey, std::size_t height, std::size_t width, bool vectorised) noexcept {
    const bool avx2 = vectorised && cpu_has_avx2();
    std::array<Moments, kMaxSlices> parts{};
    for_row_slices(height, min_rows_for(width), [&](std::size_t part, std::size_t y0, std::size_t y1) {
        Moments m;
        for (std::size_t y = y0; y < y1; ++y) {
            // Mirror rows: -1 -> 1 and height -> height - 2; one row mirrors onto itself.
            const std::size_t up = y > 0 ? y - 1 : (height > 1 ? 1 : 0);
            const std::size_t down = y + 1 < height ? y + 1 : (height > 1 ? height - 2 : 0);
            laplacian_row(grey + up * width, grey + y * width, grey + down * width, width, avx2, m.sum, m.sum_sq);
        }
        m.count = static_cast<std::uint64_t>(y1 - y0) * width;
        parts[part] = m;
    });
    Moments total;
    for (const Moments& m : parts) total.merge(m);
    return total;
}

std::uint8_t hsv_saturation(std::uint8_t b, std::uint8_t g, std::uint8_t r) noexcept {
    return static_cast<std::uint8_t>(saturation_of(b, g, r));
}

std::uint64_t saturation_sum(const std::uint8_t* bgr, std::size_t count) noexcept {
    std::array<std::uint64_t, kMaxSlices> parts{};
    constexpr std::size_t kBlock = 4096;  // pixels per row-like block for slicing
    const std::size_t blocks = (count + kBlock - 1) / kBlock;
    for_row_slices(blocks, kRowsPerSlicePixels / kBlock, [&](std::size_t part, std::size_t b0, std::size_t b1) {
        const std::size_t end = std::min(count, b1 * kBlock);
        std::uint64_t s = 0;
        for (std::size_t i = b0 * kBlock; i < end; ++i) {
            const std::uint8_t* p = bgr + 3 * i;
            s += saturation_of(p[0], p[1], p[2]);
        }
        parts[part] = s;
    });
    std::uint64_t total = 0;
    for (std::uint64_t s : parts) total += s;
    return total;
}

ColourStats grey_and_saturation(const std::uint8_t* bgr, std::size_t count, std::uint8_t* grey, bool vectorised) noexcept {
    // Y = (3735 B + 19235 G + 9798 R + 2^14) >> 15.
    constexpr std::uint32_t kB = 3735, kG = 19235, kR = 9798, kHalf = 1u << 14;
    std::array<ColourStats, kMaxSlices> parts{};
    constexpr std::size_t kBlock = 4096;
    const std::size_t blocks = (count + kBlock - 1) / kBlock;
    for_row_slices(blocks, kRowsPerSlicePixels / kBlock, [&](std::size_t part, std::size_t b0, std::size_t b1) {
        const std::size_t begin = b0 * kBlock, end = std::min(count, b1 * kBlock);
        std::uint64_t s = 0, s2 = 0, sat = 0;
        std::size_t vector_done = 0;
#if TESSEL_HAVE_AVX2_KERNELS
        if (vectorised && cpu_has_avx2()) {
            ColourSums vector_sums;
            vector_done = grey_and_saturation_avx2(bgr + 3 * begin, end - begin, grey + begin, vector_sums);
            s = vector_sums.grey;
            s2 = vector_sums.grey_sq;
            sat = vector_sums.saturation;
        }
#else
        (void)vectorised;
#endif
        for (std::size_t i = begin + vector_done; i < end; ++i) {
            const std::uint32_t b = bgr[3 * i], g = bgr[3 * i + 1], r = bgr[3 * i + 2];
            const std::uint32_t y = (b * kB + g * kG + r * kR + kHalf) >> 15;
            grey[i] = static_cast<std::uint8_t>(y);
            s += y;
            s2 += y * y;
            sat += saturation_of(b, g, r);
        }
        ColourStats& out = parts[part];
        out.grey.sum = static_cast<std::int64_t>(s);
        out.grey.sum_sq = static_cast<std::int64_t>(s2);
        out.grey.count = end - begin;
        out.saturation_sum = sat;
    });
    ColourStats total;
    for (const ColourStats& p : parts) {
        total.grey.merge(p.grey);
        total.saturation_sum += p.saturation_sum;
    }
    return total;
}

std::uint64_t count_nonzero(const std::uint8_t* data, std::size_t count) noexcept {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < count; ++i) n += data[i] != 0;
    return n;
}

}  // namespace image::kernels

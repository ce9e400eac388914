#include "image/kernels/moments_avx2.hpp"

#include "image/kernels/simd.hpp"

#if TESSEL_HAVE_AVX2_KERNELS
#include <immintrin.h>

namespace image::kernels {

namespace {

// Lanes summed into 64 bits: eight 32-bit lanes, as signed values.
__attribute__((target("avx2"))) std::int64_t lane_sum32(__m256i v) noexcept {
    const __m256i lo = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(v));
    const __m256i hi = _mm256_cvtepi32_epi64(_mm256_extracti128_si256(v, 1));
    const __m256i s = _mm256_add_epi64(lo, hi);
    const __m128i t = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    return _mm_cvtsi128_si64(t) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(t, t));
}

// Rows are flushed from 32-bit lanes at least this often (in vectors):
// a lane gains at most 4 * 255^2 (grey) or 2 * 1020^2 (Laplacian) per step.
constexpr std::size_t kGreyFlush = 1 << 12;
constexpr std::size_t kLaplacianFlush = 1 << 9;

// Sixteen bytes widened to 16-bit lanes.
__attribute__((target("avx2"))) inline __m256i load(const std::uint8_t* p) noexcept {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

}  // namespace

__attribute__((target("avx2"))) std::size_t grey_row_moments_avx2(const std::uint8_t* row, std::size_t width,
                                                                   std::uint64_t& sum, std::uint64_t& sum_sq) noexcept {
    const std::size_t n = width / 32 * 32;
    __m256i s = _mm256_setzero_si256(), sq = _mm256_setzero_si256();
    std::size_t since = 0;
    for (std::size_t x = 0; x < n; x += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x));
        s = _mm256_add_epi64(s, _mm256_sad_epu8(v, _mm256_setzero_si256()));
        const __m256i lo = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v));
        const __m256i hi = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1));
        sq = _mm256_add_epi32(sq, _mm256_add_epi32(_mm256_madd_epi16(lo, lo), _mm256_madd_epi16(hi, hi)));
        if (++since == kGreyFlush) {
            sum_sq += static_cast<std::uint64_t>(lane_sum32(sq));
            sq = _mm256_setzero_si256();
            since = 0;
        }
    }
    sum_sq += static_cast<std::uint64_t>(lane_sum32(sq));
    const __m128i t = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    sum += static_cast<std::uint64_t>(_mm_cvtsi128_si64(t)) + static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(t, t)));
    return n;
}

__attribute__((target("avx2"))) std::size_t laplacian_row_avx2(const std::uint8_t* up, const std::uint8_t* row,
                                                                const std::uint8_t* down, std::size_t width,
                                                                std::int64_t& sum, std::int64_t& sum_sq) noexcept {
    if (width < 18) return 1;
    const std::size_t end = 1 + (width - 2) / 16 * 16;
    const __m256i ones = _mm256_set1_epi16(1);
    __m256i s = _mm256_setzero_si256(), sq = _mm256_setzero_si256();
    std::size_t since = 0;
    for (std::size_t x = 1; x < end; x += 16) {
        const __m256i around = _mm256_add_epi16(_mm256_add_epi16(load(up + x), load(down + x)),
                                                _mm256_add_epi16(load(row + x - 1), load(row + x + 1)));
        const __m256i l = _mm256_sub_epi16(around, _mm256_slli_epi16(load(row + x), 2));
        s = _mm256_add_epi32(s, _mm256_madd_epi16(l, ones));
        sq = _mm256_add_epi32(sq, _mm256_madd_epi16(l, l));
        if (++since == kLaplacianFlush) {
            sum += lane_sum32(s);
            sum_sq += lane_sum32(sq);
            s = sq = _mm256_setzero_si256();
            since = 0;
        }
    }
    sum += lane_sum32(s);
    sum_sq += lane_sum32(sq);
    return end;
}

}  // namespace image::kernels

#endif

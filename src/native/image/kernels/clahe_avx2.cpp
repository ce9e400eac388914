#include "image/kernels/clahe_avx2.hpp"

#include "image/kernels/simd.hpp"

#if TESSEL_HAVE_AVX2_KERNELS
#include <immintrin.h>

#include <algorithm>

namespace image::kernels {

namespace {

constexpr int kBins = 256;

// Sum of the eight 32-bit lanes.
__attribute__((target("avx2"))) int lane_sum(__m256i v) noexcept {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(s);
}

}  // namespace

__attribute__((target("avx2"))) void clahe_table_avx2(int* hist, int clip, float scale, std::uint8_t* lut) noexcept {
    auto* bins = reinterpret_cast<__m256i*>(hist);
    int batch = 0;
    if (clip > 0) {
        const __m256i limit = _mm256_set1_epi32(clip);
        __m256i excess = _mm256_setzero_si256();
        for (int i = 0; i < kBins / 8; ++i) {
            const __m256i h = _mm256_loadu_si256(bins + i);
            excess = _mm256_add_epi32(excess, _mm256_max_epi32(_mm256_sub_epi32(h, limit), _mm256_setzero_si256()));
            _mm256_storeu_si256(bins + i, _mm256_min_epi32(h, limit));
        }
        const int clipped = lane_sum(excess);
        batch = clipped / kBins;
        const int residual = clipped - batch * kBins;
        if (residual != 0) {
            const int step = std::max(kBins / residual, 1);
            for (int i = 0, left = residual; i < kBins && left > 0; i += step, --left) ++hist[i];
        }
    }
    const __m256i batch8 = _mm256_set1_epi32(batch);
    const __m256 scale8 = _mm256_set1_ps(scale);
    const __m256i last = _mm256_set1_epi32(7), low_lane_top = _mm256_set1_epi32(3);
    // Dwords 0 and 4 hold the two halves' four bytes after the packs.
    const __m256i gather_bytes = _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0);
    __m256i carry = _mm256_setzero_si256();
    for (int i = 0; i < kBins / 8; ++i) {
        __m256i v = _mm256_add_epi32(_mm256_loadu_si256(bins + i), batch8);
        _mm256_storeu_si256(bins + i, _mm256_setzero_si256());
        // Running sum: within each 128-bit half, then the low half's total
        // into the high half, then the sum of the bins before.
        v = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));
        v = _mm256_add_epi32(v, _mm256_slli_si256(v, 8));
        v = _mm256_add_epi32(v, _mm256_blend_epi32(_mm256_setzero_si256(), _mm256_permutevar8x32_epi32(v, low_lane_top), 0xF0));
        v = _mm256_add_epi32(v, carry);
        carry = _mm256_permutevar8x32_epi32(v, last);
        const __m256i rounded = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(v), scale8));
        const __m256i words = _mm256_packs_epi32(rounded, rounded);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), gather_bytes);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(lut + 8 * i), _mm256_castsi256_si128(bytes));
    }
}

}  // namespace image::kernels

#else

namespace image::kernels {

void clahe_table_avx2(int*, int, float, std::uint8_t*) noexcept {}

}  // namespace image::kernels

#endif

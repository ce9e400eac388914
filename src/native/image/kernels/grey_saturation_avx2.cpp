#include "image/kernels/grey_saturation_avx2.hpp"

#include "image/kernels/saturation.hpp"
#include "image/kernels/simd.hpp"

#if TESSEL_HAVE_AVX2_KERNELS
#include <immintrin.h>

#include <array>

namespace image::kernels {

namespace {

// Byte shuffles that pull channel c of sixteen packed BGR pixels out of the
// three 16-byte loads: for load `part`, lane p takes byte 3p + c - 16 part,
// or zero when that byte lies in another load.
struct Deinterleave {
    alignas(16) std::array<std::array<std::array<std::int8_t, 16>, 3>, 3> mask{};
    constexpr Deinterleave() {
        for (int c = 0; c < 3; ++c)
            for (int part = 0; part < 3; ++part)
                for (int p = 0; p < 16; ++p) {
                    const int k = 3 * p + c - 16 * part;
                    mask[c][part][p] = static_cast<std::int8_t>(k >= 0 && k < 16 ? k : -128);
                }
    }
};
constexpr Deinterleave kShuffle;

__attribute__((target("avx2"))) inline __m128i channel(__m128i a0, __m128i a1, __m128i a2, int c) noexcept {
    auto mask = [c](int part) { return _mm_load_si128(reinterpret_cast<const __m128i*>(kShuffle.mask[c][part].data())); };
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a0, mask(0)), _mm_shuffle_epi8(a1, mask(1))),
                        _mm_shuffle_epi8(a2, mask(2)));
}

// Sum of the saturations of eight pixels (their max and min as 32-bit lanes).
__attribute__((target("avx2"))) inline __m256i saturation8(__m128i hi8, __m128i lo8) noexcept {
    const __m256i hi = _mm256_cvtepu8_epi32(hi8), lo = _mm256_cvtepu8_epi32(lo8);
    const __m256i divisor = _mm256_i32gather_epi32(kSaturationDivisors.by_max.data(), hi, 4);
    const __m256i scaled = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(hi, lo), divisor), _mm256_set1_epi32(1 << (kSaturationShift - 1)));
    return _mm256_srli_epi32(scaled, kSaturationShift);
}

// Empties the 32-bit lane sums into `sums`.
__attribute__((target("avx2"))) void flush(__m256i& sq, __m256i& sat, __m128i& sum, ColourSums& sums) noexcept {
    alignas(32) std::uint32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sq);
    for (std::uint32_t v : lanes) sums.grey_sq += v;
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sat);
    for (std::uint32_t v : lanes) sums.saturation += v;
    alignas(16) std::uint64_t halves[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(halves), sum);
    sums.grey += halves[0] + halves[1];
    sq = sat = _mm256_setzero_si256();
    sum = _mm_setzero_si128();
}

}  // namespace

__attribute__((target("avx2"))) std::size_t grey_and_saturation_avx2(const std::uint8_t* bgr, std::size_t count,
                                                                       std::uint8_t* grey, ColourSums& sums) noexcept {
    // Y = (3735 B + 19235 G + 9798 R + 2^14) >> 15 as two 16-bit multiply-adds:
    // (B, G) . (3735, 19235) + (R, 1) . (9798, 2^14).
    const __m256i w_bg = _mm256_set1_epi32((19235 << 16) | 3735);
    const __m256i w_r1 = _mm256_set1_epi32((1 << 30) | 9798);
    const __m256i one16 = _mm256_set1_epi16(1);
    const std::size_t done = count / 16 * 16;
    // 32-bit lane sums, emptied into 64 bits before they can overflow.
    constexpr std::size_t kFlushEvery = 8192;
    __m256i sq = _mm256_setzero_si256(), sat = _mm256_setzero_si256();
    __m128i sum = _mm_setzero_si128();
    std::size_t since_flush = 0;
    for (std::size_t i = 0; i < done; i += 16) {
        const __m128i* p = reinterpret_cast<const __m128i*>(bgr + 3 * i);
        const __m128i a0 = _mm_loadu_si128(p), a1 = _mm_loadu_si128(p + 1), a2 = _mm_loadu_si128(p + 2);
        const __m128i b = channel(a0, a1, a2, 0), g = channel(a0, a1, a2, 1), r = channel(a0, a1, a2, 2);

        const __m256i b16 = _mm256_cvtepu8_epi16(b), g16 = _mm256_cvtepu8_epi16(g), r16 = _mm256_cvtepu8_epi16(r);
        // Per 128-bit half: unpacklo holds pixels 0-3 (8-11), unpackhi 4-7 (12-15).
        const __m256i y_lo = _mm256_srli_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(b16, g16), w_bg),
                                                                _mm256_madd_epi16(_mm256_unpacklo_epi16(r16, one16), w_r1)), 15);
        const __m256i y_hi = _mm256_srli_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(b16, g16), w_bg),
                                                                _mm256_madd_epi16(_mm256_unpackhi_epi16(r16, one16), w_r1)), 15);
        const __m256i y16 = _mm256_packus_epi32(y_lo, y_hi);  // pixels 0-7 | 8-15, in order
        const __m128i y8 = _mm_packus_epi16(_mm256_castsi256_si128(y16), _mm256_extracti128_si256(y16, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(grey + i), y8);
        sum = _mm_add_epi64(sum, _mm_sad_epu8(y8, _mm_setzero_si128()));
        sq = _mm256_add_epi32(sq, _mm256_madd_epi16(y16, y16));

        const __m128i hi = _mm_max_epu8(b, _mm_max_epu8(g, r)), lo = _mm_min_epu8(b, _mm_min_epu8(g, r));
        sat = _mm256_add_epi32(sat, saturation8(hi, lo));
        sat = _mm256_add_epi32(sat, saturation8(_mm_srli_si128(hi, 8), _mm_srli_si128(lo, 8)));
        if (++since_flush == kFlushEvery) {
            flush(sq, sat, sum, sums);
            since_flush = 0;
        }
    }
    flush(sq, sat, sum, sums);
    return done;
}

}  // namespace image::kernels

#endif
